#include "regf/commit.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/ntfs_volume.h"

namespace {

namespace fs = std::filesystem;
using namespace hivemend::testing;

constexpr uid_t kNobody = 65534;
constexpr uint32_t kArchive = 0x20;  // FILE_ATTRIBUTE_ARCHIVE

// A deterministic image of `size` bytes that differs for each seed.
Bytes image(size_t size, uint32_t seed) {
  Bytes out(size);
  std::mt19937 gen(seed);
  for (auto& b : out) b = uint8_t(gen());
  return out;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The value of an extended attribute, or nullopt when the file has none of that name.
std::optional<Bytes> xattr(const std::string& path, const std::string& name) {
  Bytes buf(65536);
  const ssize_t n = getxattr(path.c_str(), name.c_str(), buf.data(), buf.size());
  if (n < 0) return std::nullopt;
  buf.resize(size_t(n));
  return buf;
}

bool set_xattr(const std::string& path, const std::string& name, const Bytes& value) {
  return setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// Runs replace_file in a child process as `uid` (when this process is root); "" on
// success, else the error line.
std::string replace_as(uid_t uid, const std::string& path, const Bytes& bytes) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
      _exit(2);
    auto st = regf::replace_file(path, bytes);
    const std::string line = st ? "" : st.error().to_string();
    (void)!write(fds[1], line.data(), line.size());
    _exit(0);
  }
  close(fds[1]);
  std::string line;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) line.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? line : "child could not run";
}

// New content is written whole; a new file takes its mode from the umask, an existing
// one keeps its owner, mode and extended attributes.
TEST(ReplaceFile, WritesTheNewContentWholeAndKeepsTheFileIdentity) {
  using Attributes = std::vector<std::pair<std::string, Bytes>>;
  const Attributes user_attributes = {
      {"user.origin", text("restored")}, {"user.blob", Bytes{0, 1, 0xff, 0}}, {"user.empty", {}}};
  const Attributes other_attributes = {
      {"trusted.hivemend", text("t")}, {"security.hivemend", text("s")}, {"user.big", image(3000, 7)}};
  struct Case {
    const char* what;
    std::optional<size_t> old_size;  // nullopt: no file yet
    size_t new_size;
    mode_t mode;  // of the old file, or expected of a new one from `umask`
    mode_t umask = 022;
    uid_t uid = 0;
    gid_t gid = 0;
    Attributes xattrs = {};
  } cases[] = {
      {"creates a missing file", std::nullopt, 100, 0644},
      {"creates an empty file", std::nullopt, 0, 0600, 077},
      {"creates a group-writable file", std::nullopt, 9, 0664, 002},
      {"grows a file", 10, 3 << 20, 0644},
      {"shrinks a file", 3 << 20, 10, 0600},
      {"empties a file", 4096, 0, 0444},
      {"same size, set-group-id and odd bits", 8192, 8192, 02751},
      {"user attributes, binary and empty", 5000, 7000, 0640, 022, 0, 0, user_attributes},
      {"another owner with trusted and security attributes", 5000, 7000, 0660, 022, 1234, 5678, other_attributes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (geteuid() != 0 && (c.uid || !(c.mode & 0200))) {
      std::cout << "not root: case '" << c.what << "' not run\n";
      continue;
    }
    TempDir dir;
    const std::string path = dir.path("SOFTWARE");
    const mode_t saved = umask(c.umask);
    if (c.old_size) {
      write_bytes(path, image(*c.old_size, 1));
      ASSERT_EQ(chown(path.c_str(), c.uid, c.gid), 0);
      ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    }
    for (const auto& [name, value] : c.xattrs) ASSERT_TRUE(set_xattr(path, name, value)) << name;
    const Bytes next = image(c.new_size, 2);
    auto st = regf::replace_file(path, next);
    umask(saved);
    ASSERT_TRUE(st) << st.error().to_string();
    EXPECT_EQ(read_bytes(path), next);
    EXPECT_EQ(entries(dir.root()), std::vector<std::string>{"SOFTWARE"});
    struct stat sb;
    ASSERT_EQ(stat(path.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, c.mode);
    EXPECT_EQ(sb.st_uid, c.uid);
    EXPECT_EQ(sb.st_gid, c.gid);
    for (const auto& [name, value] : c.xattrs) EXPECT_EQ(xattr(path, name), value) << name;
  }
}

TEST(ReplaceFile, FollowsASymbolicLink) {
  TempDir dir;
  write_bytes(dir.path("real/system.reg"), text("old"));
  fs::create_symlink("real/system.reg", dir.path("link.reg"));
  auto st = regf::replace_file(dir.path("link.reg"), text("new"));
  ASSERT_TRUE(st) << st.error().to_string();
  EXPECT_TRUE(fs::is_symlink(dir.path("link.reg")));
  EXPECT_EQ(read_bytes(dir.path("real/system.reg")), text("new"));
  EXPECT_EQ(entries(dir.path("real")), std::vector<std::string>{"system.reg"});
}

TEST(ReplaceFile, RefusesWhatItCannotReplaceAndKeepsTheOldFile) {
  struct Case {
    const char* what;
    std::string name;            // the path handed to replace_file, below the folder
    const char* reason;          // expected in the error line
    mode_t dir_mode, file_mode;  // of hives/ and hives/SAM; written as nobody when not 0777
  } cases[] = {
      {"a directory", "hives", "Is a directory", 0777, 0666},
      {"a missing folder", "missing/SAM", "No such file or directory", 0777, 0666},
      {"a device", "null", "not a regular file", 0777, 0666},
      {"the folder itself", ".", "not the name of a file", 0777, 0666},
      {"folder not writable", "hives/SAM", "cannot create a temporary file beside it: Permission denied", 0555, 0666},
      {"file not writable", "hives/SAM", "cannot write the file: Permission denied", 0777, 0444},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_EQ(chmod(dir.root().c_str(), 0755), 0);
    write_bytes(dir.path("hives/SAM"), text("old content"));
    fs::create_symlink("/dev/null", dir.path("null"));
    ASSERT_EQ(chmod(dir.path("hives/SAM").c_str(), c.file_mode), 0);
    ASSERT_EQ(chmod(dir.path("hives").c_str(), c.dir_mode), 0);
    const std::string path = dir.path(c.name);
    const bool as_nobody = c.dir_mode != 0777 || c.file_mode != 0666;
    std::string line;
    if (as_nobody) {
      line = replace_as(geteuid() == 0 ? kNobody : geteuid(), path, text("new"));
    } else {
      auto st = regf::replace_file(path, text("new"));
      ASSERT_FALSE(st);
      EXPECT_EQ(st.error().file, path);
      line = st.error().to_string();
    }
    EXPECT_NE(line.find(c.reason), std::string::npos) << line;
    EXPECT_EQ(line.rfind(path + ": ", 0), 0u) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
    ASSERT_EQ(chmod(dir.path("hives").c_str(), 0777), 0);
    EXPECT_EQ(read_bytes(dir.path("hives/SAM")), text("old content"));
    EXPECT_EQ(entries(dir.root()), (std::vector<std::string>{"hives", "null"}));
    EXPECT_EQ(entries(dir.path("hives")), std::vector<std::string>{"SAM"});
  }
}

TEST(ReplaceFile, FullOrReadOnlyVolumeKeepsTheOldFileAndLeavesNoTemporary) {
  TempDir dir;
  const std::string root = dir.path("mnt"), file = root + "/COMPONENTS";
  fs::create_directory(root);
  if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root): test not run";
  }
  struct Unmount {
    const std::string& at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{root};
  const Bytes old = image(300 << 10, 1);
  write_bytes(file, old);
  auto st = regf::replace_file(file, image(2 << 20, 2));
  ASSERT_FALSE(st);
  EXPECT_NE(st.error().message.find("No space left on device"), std::string::npos) << st.error().to_string();
  EXPECT_EQ(read_bytes(file), old);
  EXPECT_EQ(entries(root), std::vector<std::string>{"COMPONENTS"});
  // The space the failed attempt took is given back: a fitting image goes through.
  const Bytes fits = image(600 << 10, 3);
  st = regf::replace_file(file, fits);
  ASSERT_TRUE(st) << st.error().to_string();
  EXPECT_EQ(read_bytes(file), fits);

  ASSERT_EQ(mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  for (const char* name : {"COMPONENTS", "NEWHIVE"}) {
    st = regf::replace_file(root + "/" + name, text("new"));
    ASSERT_FALSE(st) << name;
    EXPECT_NE(st.error().message.find("Read-only file system"), std::string::npos) << st.error().to_string();
  }
  EXPECT_EQ(read_bytes(file), fits);
  EXPECT_EQ(entries(root), std::vector<std::string>{"COMPONENTS"});
}

TEST(ReplaceFile, RemovesTemporariesOfDeadWritersOnly) {
  TempDir dir;
  const std::string path = dir.path("DEFAULT");
  write_bytes(path, text("old"));
  struct Case {
    std::string name;
    bool held;  // a live writer holds its lock
    bool survives;
  } cases[] = {
      {"DEFAULT.hmtmp-0badcafe", false, false},
      {"DEFAULT.hmtmp-12345678", false, false},
      {"DEFAULT.hmtmp-9abcdef0", true, true},
      {"DEFAULT.hmtmp-xyz", false, true},        // not a name this code makes
      {"DEFAULT.hmtmp-123456789", false, true},  // one digit too many
      {"OTHER.hmtmp-0badcafe", false, true},     // another file's temporary
      {"DEFAULT.LOG1", false, true},
  };
  std::vector<int> held_fds;
  for (const auto& c : cases) {
    write_bytes(dir.path(c.name), text("partial"));
    if (c.held) {
      held_fds.push_back(open(dir.path(c.name).c_str(), O_RDONLY));
      ASSERT_EQ(flock(held_fds.back(), LOCK_EX), 0);
    }
  }
  auto st = regf::replace_file(path, text("new"));
  ASSERT_TRUE(st) << st.error().to_string();
  for (const auto& c : cases) EXPECT_EQ(fs::exists(dir.path(c.name)), c.survives) << c.name;
  EXPECT_EQ(read_bytes(path), text("new"));
  for (int fd : held_fds) close(fd);
}

// Kills a process that replaces `path` in a loop at random moments, `rounds` times,
// and checks after every kill that the file is exactly one of the two images and that
// leftovers stay bounded; a last replacement must leave the file alone in its folder
// with its short name (when `dos_name` is given).
void kill_while_replacing(const std::string& dir, const std::string& name, const std::string& dos_name, size_t size,
                          int rounds) {
  const std::string path = dir + "/" + name;
  const Bytes a = image(size, 11), b = image(size, 12);
  ASSERT_TRUE(regf::replace_file(path, a));
  if (!dos_name.empty()) { ASSERT_TRUE(NtfsVolume::set_short_name(path, dos_name)) << strerror(errno); }

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(regf::replace_file(path, i % 2 ? a : b));
  const double one_us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / 4;

  const unsigned seed = std::random_device{}();
  std::mt19937 gen(seed);
  // Log-uniform from a microsecond to three replacements: the kill lands before,
  // inside and between replacements, in every one of their steps.
  std::uniform_real_distribution<double> log_delay(0.0, std::log(3 * one_us));
  int saw_a = 0, saw_b = 0, saw_temp = 0, saw_record = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
      for (unsigned i = 0;; ++i)
        if (!regf::replace_file(path, i % 2 ? a : b)) _exit(3);
    std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(std::exp(log_delay(gen))));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: replace_file failed";

    const Bytes now = read_bytes(path);
    ASSERT_TRUE(now == a || now == b) << "mixed or truncated content, " << now.size() << " bytes";
    (now == a ? saw_a : saw_b)++;
    int temps = 0, records = 0;
    for (const auto& e : entries(dir)) {
      if (e.starts_with(name + ".hmtmp-"))
        ++temps;
      else if (e == name + ".hmdos")
        ++records;
      else if (e != name)
        ADD_FAILURE() << "unexpected entry " << e;
    }
    EXPECT_LE(temps, 1);
    saw_temp += temps;
    saw_record += records;
    if (dos_name.empty()) continue;
    if (records == 1) {
      // Killed around the rename: the short name may be missing until the record is
      // acted on.
      auto st = regf::finish_interrupted_replace(path);
      ASSERT_TRUE(st) << st.error().to_string();
      EXPECT_FALSE(fs::exists(path + ".hmdos"));
    }
    EXPECT_EQ(NtfsVolume::short_name(path), dos_name);
  }
  std::cout << rounds << " kills: old/new image " << saw_a << "/" << saw_b << ", temporary left " << saw_temp
            << ", short-name record left " << saw_record << " (seed " << seed << ")" << std::endl;

  ASSERT_TRUE(regf::replace_file(path, a));
  EXPECT_EQ(read_bytes(path), a);
  EXPECT_EQ(entries(dir), std::vector<std::string>{name});
  if (!dos_name.empty()) { EXPECT_EQ(NtfsVolume::short_name(path), dos_name); }
}

TEST(ReplaceFile, SurvivesKillsAtRandomMoments) {
  TempDir dir;
  kill_while_replacing(dir.root(), "SOFTWARE", "", 4 << 20, 100);
}

TEST(ReplaceFileNtfs, SurvivesKillsAtRandomMoments) {
  HIVEMEND_NTFS_VOLUME_OR_SKIP(vol);
  fs::create_directory(vol->path("config"));
  kill_while_replacing(vol->path("config"), "Software Hive.dat", "SOFTWA~1.DAT", 3 << 20, 100);
}

// The security descriptor of `path` with the first access-allowed entry's mask
// changed, so that a copy made from defaults would differ from it.
std::optional<Bytes> altered_acl(const std::string& path) {
  auto sd = xattr(path, "system.ntfs_acl");
  // Self-relative descriptor: DACL offset at 16; ACL header 8 bytes, then the first
  // ACE: type, flags, size (2), access mask (4).
  if (!sd || sd->size() < 20) return std::nullopt;
  const uint32_t dacl = (*sd)[16] | (*sd)[17] << 8 | (*sd)[18] << 16 | uint32_t((*sd)[19]) << 24;
  if (dacl == 0 || dacl + 16 > sd->size()) return std::nullopt;
  const Bytes read_only_mask = le32(0x00120089);
  std::copy(read_only_mask.begin(), read_only_mask.end(), sd->begin() + dacl + 12);
  return sd;
}

TEST(ReplaceFileNtfs, KeepsNtfsIdentity) {
  HIVEMEND_NTFS_VOLUME_OR_SKIP(vol);
  struct Case {
    const char* name;
    const char* dos_name;  // "" for none
    uint32_t attrib;
    bool alter_acl;
    bool stream;
  } cases[] = {
      {"Software Hive.dat", "SOFTWA~1.DAT", 0x26, true, true},  // hidden, system, archive
      {"ntuser.dat", "", 0x06, false, false},
      {"Read Only Hive", "READON~1", 0x21, true, false},
      {"usrclass.dat.bak", "USRCLA~1.BAK", 0x2020, false, true},  // not content indexed
      {"Hive.dat", "HIVE.DAT", 0x20, false, false},               // short name is the long name in capitals
      {"SAM", "SAM", 0x06, true, false},                          // as Windows records an 8.3 long name
  };
  const std::vector<std::string> identity = {"system.ntfs_attrib", "system.ntfs_acl", "system.ntfs_crtime",
                                             "system.ntfs_dos_name", "user.Zone.Identifier"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = vol->path(c.name);
    write_bytes(path, image(70000, 1));
    if (*c.dos_name) { ASSERT_TRUE(NtfsVolume::set_short_name(path, c.dos_name)) << strerror(errno); }
    if (c.stream) { ASSERT_TRUE(set_xattr(path, "user.Zone.Identifier", text("[ZoneTransfer]\r\nZoneId=3\r\n"))); }
    auto acl = altered_acl(path);
    if (c.alter_acl) { ASSERT_TRUE(acl && set_xattr(path, "system.ntfs_acl", *acl)); }
    ASSERT_TRUE(set_xattr(path, "system.ntfs_attrib", le32(c.attrib)));
    std::vector<std::optional<Bytes>> before;
    for (const auto& n : identity) before.push_back(xattr(path, n));
    ASSERT_EQ(before[0], le32(c.attrib));
    ASSERT_EQ(before[3].has_value(), *c.dos_name != '\0');
    // Creation times must differ measurably from the replacement's own.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const Bytes next = image(90000, 2);
    auto st = regf::replace_file(path, next);
    ASSERT_TRUE(st) << st.error().to_string();
    EXPECT_EQ(read_bytes(path), next);
    // New content is a write: the archive flag is set, as Windows sets it on any
    // write; every other flag stays.
    before[0] = le32(c.attrib | kArchive);
    for (size_t i = 0; i < identity.size(); ++i) EXPECT_EQ(xattr(path, identity[i]), before[i]) << identity[i];
  }
  EXPECT_EQ(entries(vol->root()).size(), std::size(cases));
}

TEST(ReplaceFileNtfs, FinishesAnInterruptedShortNameRestore) {
  HIVEMEND_NTFS_VOLUME_OR_SKIP(vol);
  struct Case {
    const char* what;
    std::string record;      // content of the record left beside the file
    const char* set_before;  // short name the file has when the call comes ("" none)
    const char* expected;    // short name afterwards
  } cases[] = {
      {"killed after the rename", "SYSTEM~1.HIV\n", "", "SYSTEM~1.HIV"},
      {"killed before the rename", "SYSTEM~1.HIV\n", "SYSTEM~1.HIV", "SYSTEM~1.HIV"},
      {"record cut short", "SYSTEM~1.H", "", ""},
      {"empty record", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = vol->path("System Hive.hiv");
    write_bytes(path, text("content"));
    if (*c.set_before) { ASSERT_TRUE(NtfsVolume::set_short_name(path, c.set_before)); }
    write_bytes(path + ".hmdos", text(c.record));
    auto st = regf::finish_interrupted_replace(path);
    ASSERT_TRUE(st) << st.error().to_string();
    EXPECT_EQ(NtfsVolume::short_name(path), c.expected);
    EXPECT_EQ(read_bytes(path), text("content"));
    EXPECT_EQ(entries(vol->root()), std::vector<std::string>{"System Hive.hiv"});
    fs::remove(path);
  }
}

}  // namespace
