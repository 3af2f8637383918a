#include "tools/hivemend-repair/disk_content.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"

namespace hivemend::repair_tool {
namespace {

// Whether `bytes` hold `text` at `offset`.
bool holds(std::span<const uint8_t> bytes, size_t offset, std::string_view text) {
  return bytes.size() >= offset + text.size() && std::memcmp(bytes.data() + offset, text.data(), text.size()) == 0;
}

uint32_t big_endian32(std::span<const uint8_t> bytes, size_t offset) {
  return uint32_t(bytes[offset]) << 24 | uint32_t(bytes[offset + 1]) << 16 | uint32_t(bytes[offset + 2]) << 8 |
         bytes[offset + 3];
}

uint32_t little_endian32(std::span<const uint8_t> bytes, size_t offset) {
  return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
         uint32_t(bytes[offset + 3]) << 24;
}

// Every x86 boot sector, a volume's or an MBR, ends with 55 AA.
bool has_boot_mark(std::span<const uint8_t> head) {
  return head.size() >= 512 && head[510] == 0x55 && head[511] == 0xAA;
}

// An MBR's four partition entries (16 bytes each from byte 446) each start with a boot
// flag of 00 or 80, and a table in use has an entry with a type.
bool has_partition_entries(std::span<const uint8_t> head) {
  bool any_type = false;
  for (size_t entry = 446; entry < 510; entry += 16) {
    if (head[entry] != 0x00 && head[entry] != 0x80) return false;
    any_type = any_type || head[entry + 4] != 0;
  }
  return any_type;
}

// The VHD footer starts with the cookie "conectix"; a dynamic VHD keeps a copy of it
// at the file's start, a fixed VHD only the one in its last sector.
constexpr std::string_view kVhdCookie = "conectix";
// VHDX: the file type identifier at the start of its first 64 KiB.
constexpr std::string_view kVhdxSignature = "vhdxfile";
// VMDK: a hosted sparse extent ("KDMV"), an ESX sparse extent ("COWD"), or the text
// descriptor of a disk whose extents are files of their own.
constexpr std::string_view kVmdkSparse = "KDMV";
constexpr std::string_view kVmdkEsxSparse = "COWD";
constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
// qcow2: "QFI" 0xFB, then the version (big-endian), 2 or 3; version 1 is the older qcow.
constexpr std::string_view kQcowMagic = "QFI\xfb";
// VDI: after a 64-byte text banner, the signature 0xBEDA107F (little-endian).
constexpr size_t kVdiSignatureOffset = 0x40;
constexpr uint32_t kVdiSignature = 0xBEDA107F;
// A volume boot sector names its file system at byte 3 (the OEM name field).
constexpr size_t kOemName = 3;
// A FAT12/16 boot sector names its type at byte 54, a FAT32 one at byte 82.
constexpr size_t kFat16Type = 54, kFat32Type = 82;
// The GPT header is at the second logical sector: byte 512, or 4096 on 4K-sector disks.
constexpr std::string_view kGptSignature = "EFI PART";

}  // namespace

DiskContent recognize_content(std::span<const uint8_t> head, std::span<const uint8_t> last_sector) {
  if (holds(last_sector, 0, kVhdCookie) || holds(head, 0, kVhdCookie)) return DiskContent::kVhd;
  if (holds(head, 0, kVhdxSignature)) return DiskContent::kVhdx;
  if (holds(head, 0, kVmdkSparse) || holds(head, 0, kVmdkEsxSparse) || holds(head, 0, kVmdkDescriptor))
    return DiskContent::kVmdk;
  if (holds(head, 0, kQcowMagic) && head.size() >= 8 && (big_endian32(head, 4) == 2 || big_endian32(head, 4) == 3))
    return DiskContent::kQcow2;
  if (head.size() >= kVdiSignatureOffset + 4 && little_endian32(head, kVdiSignatureOffset) == kVdiSignature)
    return DiskContent::kVdi;
  if (holds(head, kOemName, "-FVE-FS-")) return DiskContent::kBitLocker;
  if (holds(head, kOemName, "NTFS    ")) return DiskContent::kNtfs;
  if (holds(head, kOemName, std::string_view("ReFS\0\0\0\0", 8))) return DiskContent::kRefs;
  if (holds(head, kOemName, "EXFAT   ")) return DiskContent::kExfat;
  if (holds(head, 512, kGptSignature) || holds(head, 4096, kGptSignature)) return DiskContent::kGptDisk;
  if (!has_boot_mark(head)) return DiskContent::kUnknown;
  // A FAT boot sector's code fills the bytes where an MBR keeps its table: its type
  // names are looked for first.
  for (std::string_view type : {"FAT12   ", "FAT16   ", "FAT     "})
    if (holds(head, kFat16Type, type)) return DiskContent::kFat;
  if (holds(head, kFat32Type, "FAT32   ")) return DiskContent::kFat;
  return has_partition_entries(head) ? DiskContent::kMbrDisk : DiskContent::kUnknown;
}

regf::Result<DiskContent> read_content(const std::string& path, uint64_t offset) {
  auto failed = [&](const std::string& why) {
    regf::Error error = regf::make_error(why + ": " + std::strerror(errno));
    error.file = path;
    return error;
  };
  base::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return failed("cannot be opened for reading");
  std::vector<uint8_t> head(kContentHeadBytes), last(kSectorBytes);
  const ssize_t got = pread(fd.get(), head.data(), head.size(), off_t(offset));
  if (got < 0) return failed("cannot be read");
  head.resize(size_t(got));
  last.clear();
  // The size of a regular file or a block device alike.
  const off_t size = lseek(fd.get(), 0, SEEK_END);
  if (offset == 0 && size >= off_t(kSectorBytes)) {
    last.resize(kSectorBytes);
    if (pread(fd.get(), last.data(), last.size(), size - off_t(kSectorBytes)) != ssize_t(kSectorBytes)) last.clear();
  }
  return recognize_content(head, last);
}

bool is_vm_disk(DiskContent content) { return qemu_format(content) != nullptr; }

const char* qemu_format(DiskContent content) {
  switch (content) {
    case DiskContent::kVhdx: return "vhdx";
    case DiskContent::kVhd: return "vpc";
    case DiskContent::kVmdk: return "vmdk";
    case DiskContent::kQcow2: return "qcow2";
    case DiskContent::kVdi: return "vdi";
    default: return nullptr;
  }
}

bool is_repairable(DiskContent content) {
  return content == DiskContent::kNtfs || content == DiskContent::kMbrDisk || content == DiskContent::kGptDisk ||
         is_vm_disk(content);
}

std::string content_line(DiskContent content, const std::string& volume, const std::string& unlock) {
  const std::string ntfs_only = "; the repair works on NTFS volumes only: name the volume that holds Windows";
  switch (content) {
    case DiskContent::kNtfs: return volume + ": an NTFS volume";
    case DiskContent::kMbrDisk: return volume + ": a whole disk with an MBR partition table";
    case DiskContent::kGptDisk: return volume + ": a whole disk with a GPT partition table";
    case DiskContent::kVhdx: return volume + ": a VHDX disk file (Hyper-V), read and written in place through QEMU";
    case DiskContent::kVhd:
      return volume + ": a VHD disk file (Virtual PC, Hyper-V), read and written in place through QEMU";
    case DiskContent::kVmdk: return volume + ": a VMDK disk file (VMware), read and written in place through QEMU";
    case DiskContent::kQcow2: return volume + ": a qcow2 disk file (QEMU), read and written in place through QEMU";
    case DiskContent::kVdi: return volume + ": a VDI disk file (VirtualBox), read and written in place through QEMU";
    case DiskContent::kBitLocker:
      return volume + ": a BitLocker-encrypted volume: unlock it first (" +
             (unlock.empty() ? "cryptsetup bitlkOpen " + volume + " NAME" : unlock) +
             ", with the recovery key) and name the unlocked device, /dev/mapper/NAME";
    case DiskContent::kRefs: return volume + ": a ReFS volume" + ntfs_only;
    case DiskContent::kFat: return volume + ": a FAT volume (an EFI system or data partition)" + ntfs_only;
    case DiskContent::kExfat: return volume + ": an exFAT volume" + ntfs_only;
    case DiskContent::kUnknown: break;
  }
  return volume +
         ": neither an NTFS volume, a disk with an MBR or GPT partition table, nor a VHDX, VHD, VMDK, qcow2 or "
         "VDI disk file";
}

}  // namespace hivemend::repair_tool
