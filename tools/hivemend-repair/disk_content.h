// What an image file or device holds, told from its content and never from its name: an
// NTFS volume, a whole disk with a partition table, a virtual-machine disk file (read
// through QEMU's block layer), or a volume the repair cannot work on (encrypted, or of
// another file system).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "regf/result.h"

namespace hivemend::repair_tool {

enum class DiskContent {
  kUnknown,
  kNtfs,     // an NTFS volume on its own
  kMbrDisk,  // a whole disk with an MBR partition table
  kGptDisk,  // a whole disk with a GPT partition table
  kVhdx,     // Hyper-V's disk file
  kVhd,      // Virtual PC / Hyper-V's older disk file, fixed or dynamic
  kVmdk,     // VMware's disk file (sparse, or a descriptor naming its extents)
  kQcow2,    // QEMU's disk file
  kVdi,      // VirtualBox's disk file
  kBitLocker,
  kRefs,
  kFat,  // FAT12, FAT16 or FAT32
  kExfat,
};

// How many bytes from the start recognition looks at: the boot sector, and the GPT
// header, which follows the first logical sector (512 or 4096 bytes).
constexpr size_t kContentHeadBytes = 8192;
constexpr size_t kSectorBytes = 512;

// What the bytes hold: `head`, the first bytes (up to kContentHeadBytes; fewer for a
// short file), and `last_sector`, the last 512 bytes of the file, where a fixed VHD keeps
// its only footer (empty when unknown). A VM disk file is told first: a fixed VHD starts
// with the raw disk it holds.
DiskContent recognize_content(std::span<const uint8_t> head, std::span<const uint8_t> last_sector);

// Reads what recognize_content needs from a file or block device: the head at `offset`
// (a partition's start) and, when `offset` is 0, the last sector of the whole file.
regf::Result<DiskContent> read_content(const std::string& path, uint64_t offset = 0);

// True for the virtual-machine disk files, which are read through QEMU.
bool is_vm_disk(DiskContent content);

// QEMU's name of the block driver for a VM disk file ("vpc" for VHD), or nullptr.
const char* qemu_format(DiskContent content);

// One line for users about `volume` (the image, device or partition as named on the
// command line) holding `content`: what it is and, for what the repair cannot take, what
// to do instead ("E.img: a BitLocker-encrypted volume: unlock it first ..."). `unlock`:
// for a BitLocker volume that is no file or device of its own (a partition), the
// cryptsetup command that unlocks it ("cryptsetup bitlkOpen /dev/sdb2 NAME").
std::string content_line(DiskContent content, const std::string& volume, const std::string& unlock = "");

// Whether the repair can work on the content: an NTFS volume, a partitioned disk or a VM
// disk file (whose own content is told again once it is exported).
bool is_repairable(DiskContent content);

}  // namespace hivemend::repair_tool
