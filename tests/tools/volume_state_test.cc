// The state that decides whether a volume may be written: a hibernation file at its
// root, the mount table's options, and ntfs-3g's reason as it printed it.
#include "tools/hivemend-repair/volume_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/files.h"

namespace hivemend::repair_tool {
namespace {

using testing::TempDir;

TEST(VolumeState, HibernationFileAtTheRoot) {
  struct Case {
    const char* name;
    std::string file;     // created at the root ("" for none)
    std::string content;  // its first bytes
    bool folder = false;  // a folder of that name instead
    std::optional<std::string> found;
  };
  const std::string rest(4092, '\0');
  const std::vector<Case> cases = {
      {"hibernated", "hiberfil.sys", "hibr" + rest, false, "hiberfil.sys"},
      {"upper-case signature and name", "HIBERFIL.SYS", "HIBR" + rest, false, "HIBERFIL.SYS"},
      {"resuming", "Hiberfil.sys", "wake" + rest, false, "Hiberfil.sys"},
      {"resuming, upper case", "hiberfil.sys", "WAKE" + rest, false, "hiberfil.sys"},
      {"zeroed after a cold start", "hiberfil.sys", std::string(4096, '\0'), false, std::nullopt},
      {"other signature", "hiberfil.sys", "RSTR" + rest, false, std::nullopt},
      {"too short", "hiberfil.sys", "hib", false, std::nullopt},
      {"a folder of that name", "hiberfil.sys", "", true, std::nullopt},
      {"another file", "pagefile.sys", "hibr" + rest, false, std::nullopt},
      {"none", "", "", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.folder) {
      ASSERT_EQ(mkdir(dir.path(c.file).c_str(), 0755), 0);
    } else if (!c.file.empty()) {
      ASSERT_TRUE(testing::write_text(dir.path(c.file), c.content));
    }
    EXPECT_EQ(hibernation_file(dir.root()), c.found);
  }
}

TEST(VolumeState, HibernationFileBelowTheRootIsNotTheVolumes) {
  TempDir dir;
  ASSERT_TRUE(testing::write_text(dir.path("Windows/hiberfil.sys"), "hibr" + std::string(4092, '\0')));
  EXPECT_EQ(hibernation_file(dir.root()), std::nullopt);
}

TEST(VolumeState, MountOptionsWritable) {
  struct Case {
    const char* options;
    bool writable;
  };
  for (const Case& c : std::vector<Case>{{"rw,relatime,user_id=0,group_id=0,allow_other", true},
                                         {"ro,relatime,user_id=0,group_id=0,allow_other", false},
                                         {"rw,nosuid,ro", false},
                                         {"relatime,errors=remount-ro", false},
                                         {"rw", true},
                                         {"", false}}) {
    EXPECT_EQ(mount_options_writable(c.options), c.writable) << c.options;
  }
}

// What ntfs-3g 2022.10.3 prints, as it prints it.
TEST(VolumeState, Ntfs3gReason) {
  struct Case {
    const char* printed;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"Mount is denied because the NTFS volume is already exclusively opened.\n"
       "The volume may be already mounted, or another software may use it which\n"
       "could be identified for example by the help of the 'fuser' command.\n",
       "Mount is denied because the NTFS volume is already exclusively opened."},
      {"Windows is hibernated, refused to mount.\n"
       "Falling back to read-only mount because the NTFS partition is in an\n"
       "unsafe state. Please resume and shutdown Windows fully (no hibernation\n"
       "or fast restarting.)\n"
       "Could not mount read-write, trying read-only\n",
       "Windows is hibernated, refused to mount."},
      {"The disk contains an unclean file system (0, 0).\n"
       "Metadata kept in Windows cache, refused to mount.\n"
       "Falling back to read-only mount because the NTFS partition is in an\n",
       "The disk contains an unclean file system (0, 0). Metadata kept in Windows cache, refused to mount."},
      {"NTFS signature is missing.\n"
       "Failed to mount '/srv/e.img': Invalid argument\n"
       "The device '/srv/e.img' doesn't seem to have a valid NTFS.\n",
       "NTFS signature is missing."},
      {"WARNING: Deficient Linux kernel detected. Some driver features are\n"
       "         not available (swap file on NTFS, boot from NTFS by LILO), and\n"
       "\n"
       "ntfs-3g: Failed to access volume '/srv/e.img': No such file or directory\n",
       "Failed to access volume '/srv/e.img': No such file or directory"},
      {"Version 2022.10.3 integrated FUSE 28\n"
       "Requested device e.img canonicalized as /srv/e.img\n"
       "Mounted /srv/e.img (Read-Only, label \"\", NTFS 3.1)\n",
       ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ntfs3g_reason(c.printed), c.reason) << c.printed;
}

}  // namespace
}  // namespace hivemend::repair_tool
