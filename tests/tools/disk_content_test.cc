// What a file holds, told from its content: VM disk files made by qemu-img, volumes made
// by mkntfs and mkfs.vfat, partition tables by sfdisk, and the boot sectors of volumes
// Linux cannot make (BitLocker, ReFS, exFAT) written from their public layout.
#include "tools/hivemend-repair/disk_content.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace hivemend::repair_tool {
namespace {

using testing::Bytes;
using testing::TempDir;

// The first MiB of a volume whose boot sector has `oem` at byte 3 (the file system's name)
// and the 55 AA mark; `extra` bytes are written at their offsets.
Bytes boot_sector(const std::string& oem, std::vector<std::pair<size_t, std::string>> extra = {}) {
  Bytes volume(1024 * 1024);
  volume[0] = 0xEB, volume[1] = 0x52, volume[2] = 0x90;
  std::copy(oem.begin(), oem.end(), volume.begin() + 3);
  for (const auto& [offset, text] : extra) std::copy(text.begin(), text.end(), volume.begin() + offset);
  volume[510] = 0x55, volume[511] = 0xAA;
  return volume;
}

bool sh(const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0; }

TEST(DiskContent, EachKindByItsContent) {
  struct Case {
    const char* name;
    std::string make;  // shell command making f (in the case's folder), or "" for `bytes`
    Bytes bytes;
    DiskContent content;
    const char* said;  // in the line for users
  };
  const std::string ntfs = "truncate -s 32M v && mkntfs -F -q -Q v";
  const std::vector<Case> cases = {
      {"NTFS volume", ntfs + " && mv v f", {}, DiskContent::kNtfs, "an NTFS volume"},
      {"MBR disk",
       "truncate -s 64M f && printf 'label: dos\\n1MiB,,7\\n' | sfdisk -q f",
       {},
       DiskContent::kMbrDisk,
       "MBR partition table"},
      {"GPT disk",
       "truncate -s 64M f && printf 'label: gpt\\n1MiB,,\\n' | sfdisk -q f",
       {},
       DiskContent::kGptDisk,
       "GPT partition table"},
      {"FAT32 volume",
       "truncate -s 64M f && mkfs.vfat -F 32 f",
       {},
       DiskContent::kFat,
       "FAT volume (an EFI system or data partition); the repair works on NTFS volumes only"},
      {"FAT16 volume", "truncate -s 32M f && mkfs.vfat -F 16 f", {}, DiskContent::kFat, "FAT volume"},
      {"VHDX", "qemu-img create -q -f vhdx f 64M", {}, DiskContent::kVhdx, "a VHDX disk file (Hyper-V)"},
      {"dynamic VHD", "qemu-img create -q -f vpc f 64M", {}, DiskContent::kVhd, "a VHD disk file"},
      // A fixed VHD is the raw volume with a footer: its start is NTFS.
      {"fixed VHD of an NTFS volume",
       ntfs + " && qemu-img convert -O vpc -o subformat=fixed v f",
       {},
       DiskContent::kVhd,
       "a VHD disk file"},
      {"sparse VMDK", "qemu-img create -q -f vmdk f 64M", {}, DiskContent::kVmdk, "a VMDK disk file (VMware)"},
      {"VMDK descriptor of a flat extent",
       "qemu-img create -q -f vmdk -o subformat=monolithicFlat f 64M",
       {},
       DiskContent::kVmdk,
       "a VMDK disk file"},
      {"qcow2", "qemu-img create -q -f qcow2 f 64M", {}, DiskContent::kQcow2, "a qcow2 disk file (QEMU)"},
      {"VDI", "qemu-img create -q -f vdi f 64M", {}, DiskContent::kVdi, "a VDI disk file (VirtualBox)"},
      {"BitLocker volume", "", boot_sector("-FVE-FS-"), DiskContent::kBitLocker,
       "a BitLocker-encrypted volume: unlock it first (cryptsetup bitlkOpen "},
      {"ReFS volume", "", boot_sector(std::string("ReFS\0\0\0\0", 8), {{16, "FSRS"}}), DiskContent::kRefs,
       "a ReFS volume; the repair works on NTFS volumes only"},
      {"exFAT volume", "", boot_sector("EXFAT   "), DiskContent::kExfat, "an exFAT volume; the repair works"},
      {"boot mark without a partition table", "", boot_sector("MSDOS5.0", {{446, "\x12"}}), DiskContent::kUnknown,
       "neither an NTFS volume"},
      {"zeros", "truncate -s 1M f", {}, DiskContent::kUnknown, "neither an NTFS volume"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string file = dir.path("f");
    ASSERT_TRUE(c.make.empty() ? testing::write_bytes(file, c.bytes) : sh("cd " + dir.root() + " && " + c.make));
    auto content = read_content(file);
    ASSERT_TRUE(content) << content.error().to_string();
    EXPECT_EQ(*content, c.content);
    const std::string line = content_line(*content, file);
    EXPECT_EQ(line.rfind(file + ": ", 0), 0u) << line;
    EXPECT_NE(line.find(c.said), std::string::npos) << line;
    EXPECT_EQ(is_repairable(*content), c.content != DiskContent::kUnknown && c.content != DiskContent::kBitLocker &&
                                           c.content != DiskContent::kRefs && c.content != DiskContent::kFat &&
                                           c.content != DiskContent::kExfat);
  }
}

TEST(DiskContent, PartitionReadAtItsOffset) {
  TempDir dir;
  ASSERT_TRUE(sh("cd " + dir.root() +
                 " && truncate -s 64M d && printf 'label: dos\\n1MiB,,7\\n' | sfdisk -q d"
                 " && truncate -s 32M v && mkntfs -F -q -Q v && dd if=v of=d bs=1M seek=1 conv=notrunc"));
  auto disk = read_content(dir.path("d"));
  auto partition = read_content(dir.path("d"), 1024 * 1024);
  ASSERT_TRUE(disk && partition);
  EXPECT_EQ(*disk, DiskContent::kMbrDisk);
  EXPECT_EQ(*partition, DiskContent::kNtfs);
}

TEST(DiskContent, MissingFileIsNamedInTheError) {
  auto content = read_content("/nonexistent/disk.vhdx");
  ASSERT_FALSE(content);
  EXPECT_EQ(content.error().to_string(),
            "/nonexistent/disk.vhdx: cannot be opened for reading: No such file or directory");
}

}  // namespace
}  // namespace hivemend::repair_tool
