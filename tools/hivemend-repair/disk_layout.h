// The layout of a disk image or disk device: its partition table, read with libblkid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/hivemend-repair/error.h"

namespace hivemend::repair_tool {

struct Partition {
  int number = 0;       // as the table numbers it (1 for the first entry, as /dev/sdb1)
  uint64_t offset = 0;  // bytes from the start of the disk
  uint64_t size = 0;    // bytes
};

enum class PartitionTable { kNone, kMbr, kGpt };

struct DiskLayout {
  PartitionTable table = PartitionTable::kNone;
  // The MBR disk signature (the 32-bit number at byte 440), which Windows records in
  // MountedDevices for every partition of the disk; GPT disks have none.
  std::optional<uint32_t> mbr_signature;
  // Data partitions in table order; extended-partition containers are left out.
  std::vector<Partition> partitions;
};

// A file or device without a partition table (a volume on its own) gives kNone and no
// partitions. Other table types than MBR and GPT are refused; an error names `path`.
Result<DiskLayout> ReadDiskLayout(const std::string& path);

}  // namespace hivemend::repair_tool
