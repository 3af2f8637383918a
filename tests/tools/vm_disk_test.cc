// VM disk files made by qemu-img, exported through qemu-nbd and nbdfuse, written through
// the export and read back with qemu-img convert; after each export nothing of it is
// left mounted or running.
#include "tools/hivemend-repair/vm_disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/programs.h"

namespace hivemend::repair_tool {
namespace {

using testing::Bytes;
using testing::TempDir;

constexpr uint64_t kMiB = 1024 * 1024;

bool sh(const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0; }

// The disk a VM disk file holds, as raw bytes.
Bytes raw_disk(const TempDir& dir, const std::string& file) {
  const std::string raw = dir.path("back.raw");
  if (!sh("qemu-img convert -O raw " + file + " " + raw)) return {};
  Bytes bytes = testing::read_bytes(raw);
  unlink(raw.c_str());
  return bytes;
}

// Nothing of an export is left: no process of ours, nothing mounted below `dir`.
void expect_nothing_left(const std::string& dir) {
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a process is left";
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(testing::read_text("/proc/self/mounts").find(dir), std::string::npos) << "a mount is left";
  EXPECT_NE(access(dir.c_str(), F_OK), 0) << "the export's folder is left";
}

bool write_at(const std::string& path, uint64_t offset, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY);
  const bool written =
      fd >= 0 && pwrite(fd, text.data(), text.size(), off_t(offset)) == ssize_t(text.size()) && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  return written;
}

TEST(VmDisk, WritesReachTheFileInEachFormat) {
  struct Case {
    const char* format;  // qemu-img's name
    DiskContent content;
  };
  for (const Case& c : std::vector<Case>{{"qcow2", DiskContent::kQcow2},
                                         {"vhdx", DiskContent::kVhdx},
                                         {"vpc", DiskContent::kVhd},
                                         {"vmdk", DiskContent::kVmdk},
                                         {"vdi", DiskContent::kVdi}}) {
    SCOPED_TRACE(c.format);
    TempDir dir;
    const std::string file = dir.path("disk");
    ASSERT_TRUE(sh(std::string("qemu-img create -q -f ") + c.format + " " + file + " 16M"));
    Bytes expected = raw_disk(dir, file);
    ASSERT_FALSE(expected.empty());
    const std::vector<std::pair<uint64_t, std::string>> writes = {
        {0, "first sector"}, {10 * kMiB + 7, "inside"}, {expected.size() - 4, "last"}};
    {
      auto disk = VmDiskExport::start(file, c.content, dir.path("export"), false);
      ASSERT_TRUE(disk) << disk.error().to_string();
      EXPECT_EQ((*disk)->size(), expected.size());
      for (const auto& [offset, text] : writes) {
        ASSERT_TRUE(write_at((*disk)->path(), offset, text));
        std::copy(text.begin(), text.end(), expected.begin() + offset);
      }
    }
    expect_nothing_left(dir.path("export"));
    EXPECT_EQ(raw_disk(dir, file), expected);
  }
}

TEST(VmDisk, ReadOnlyExportLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string file = dir.path("disk.qcow2");
  ASSERT_TRUE(
      sh("cd " + dir.root() + " && truncate -s 32M v && mkntfs -F -q -Q v && qemu-img convert -O qcow2 v " + file));
  const Bytes before = testing::read_bytes(file);
  {
    auto disk = VmDiskExport::start(file, DiskContent::kQcow2, dir.path("export"), true);
    ASSERT_TRUE(disk) << disk.error().to_string();
    EXPECT_EQ(read_content((*disk)->path()).value(), DiskContent::kNtfs);
    EXPECT_FALSE(write_at((*disk)->path(), 0, "x"));
  }
  expect_nothing_left(dir.path("export"));
  EXPECT_EQ(testing::read_bytes(file), before);
}

TEST(VmDisk, RangeIsExportedAsAVolumeOfItsOwn) {
  TempDir dir;
  // A disk whose partition at 1 MiB holds an NTFS volume.
  const std::string file = dir.path("disk,with comma.vmdk");
  ASSERT_TRUE(sh("cd " + dir.root() +
                 " && truncate -s 64M d && printf 'label: dos\\n1MiB,32MiB,7\\n' | sfdisk -q d"
                 " && truncate -s 32M v && mkntfs -F -q -Q v && dd if=v of=d bs=1M seek=1 conv=notrunc"
                 " && qemu-img convert -O vmdk d 'disk,with comma.vmdk'"));
  Bytes expected = raw_disk(dir, "'" + file + "'");
  {
    auto volume = VmDiskExport::start(file, DiskContent::kVmdk, dir.path("export"), false, ByteRange{kMiB, 32 * kMiB});
    ASSERT_TRUE(volume) << volume.error().to_string();
    EXPECT_EQ((*volume)->size(), 32 * kMiB);
    EXPECT_EQ(read_content((*volume)->path()).value(), DiskContent::kNtfs);
    ASSERT_TRUE(write_at((*volume)->path(), 32 * kMiB - 3, "end"));
  }
  expect_nothing_left(dir.path("export"));
  std::copy_n("end", 3, expected.begin() + 33 * kMiB - 3);
  EXPECT_EQ(raw_disk(dir, "'" + file + "'"), expected);
}

TEST(VmDisk, NtfsVolumeInTheFileIsMountedThroughTheExport) {
  TempDir dir;
  const std::string file = dir.path("disk.vhdx");
  ASSERT_TRUE(sh("cd " + dir.root() + " && truncate -s 32M v && mkntfs -F -q -Q v && qemu-img convert -O vhdx v " +
                 file + " && mkdir point"));
  {
    auto disk = VmDiskExport::start(file, DiskContent::kVhdx, dir.path("export"), false);
    ASSERT_TRUE(disk) << disk.error().to_string();
    // ntfs-3g takes the exported file as it takes an image, kept a child until unmounted.
    const pid_t ntfs3g = testing::start_program(
        {"/usr/bin/ntfs-3g", "-o", "no_detach", (*disk)->path(), dir.path("point")}, {}, dir.root(), "ntfs-3g");
    for (int tries = 0;
         tries < 500 && testing::read_text("/proc/self/mounts").find(dir.path("point")) == std::string::npos; ++tries)
      usleep(20000);
    EXPECT_TRUE(testing::write_text(dir.path("point/Windows/repaired.txt"), "repaired"));
    EXPECT_TRUE(sh("umount " + dir.path("point")));
    EXPECT_EQ(testing::finish_program(ntfs3g, dir.root(), "ntfs-3g").exit_code, 0);
  }
  expect_nothing_left(dir.path("export"));
  ASSERT_TRUE(sh("cd " + dir.root() + " && qemu-img convert -O raw " + file +
                 " back.raw && ntfscat back.raw Windows/repaired.txt > read.txt"));
  EXPECT_EQ(testing::read_text(dir.path("read.txt")), "repaired");
}

TEST(VmDisk, RefusalsCarryTheReason) {
  TempDir dir;
  const std::string file = dir.path("disk.qcow2");
  ASSERT_TRUE(sh("qemu-img create -q -f qcow2 " + file + " 64M"));
  {
    // A file in use (here by a first export, as by a running machine) is locked by qemu.
    auto first = VmDiskExport::start(file, DiskContent::kQcow2, dir.path("first"), false);
    ASSERT_TRUE(first) << first.error().to_string();
    auto second = VmDiskExport::start(file, DiskContent::kQcow2, dir.path("second"), false);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().to_string().rfind(file + ": qemu cannot open it as qcow2: ", 0), 0u)
        << second.error().to_string();
    EXPECT_NE(second.error().to_string().find("lock"), std::string::npos) << second.error().to_string();
  }
  expect_nothing_left(dir.path("first"));
  auto beyond =
      VmDiskExport::start(file, DiskContent::kQcow2, dir.path("beyond"), true, ByteRange{60 * kMiB, 8 * kMiB});
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().to_string(), file + ": bytes 62914560 to 71303168 lie beyond the disk's 67108864");

  // A VMDK of compressed grains is only read by QEMU: a write would fail on the volume.
  const std::string stream = dir.path("stream.vmdk");
  ASSERT_TRUE(sh("qemu-img create -q -f vmdk -o subformat=streamOptimized " + stream + " 64M"));
  auto written = VmDiskExport::start(stream, DiskContent::kVmdk, dir.path("stream"), false);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().to_string(), stream +
                                             ": a VMDK of compressed grains (streamOptimized), which QEMU can only "
                                             "read: convert it for the repair (qemu-img convert -O vmdk " +
                                             stream + " NEW.vmdk) and name NEW.vmdk");
  EXPECT_TRUE(VmDiskExport::start(stream, DiskContent::kVmdk, dir.path("stream"), true));

  const std::string path = std::getenv("PATH");
  setenv("PATH", dir.root().c_str(), 1);
  auto missing = VmDiskExport::start(file, DiskContent::kQcow2, dir.path("missing"), true);
  setenv("PATH", path.c_str(), 1);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string(),
            file +
                ": reading VM disk files needs qemu-img, qemu-nbd, nbdfuse, fusermount3, which are not installed "
                "(Debian packages qemu-utils, libnbd-bin and fuse3: apt-get install qemu-utils libnbd-bin fuse3)");
}

}  // namespace
}  // namespace hivemend::repair_tool
