#include "tools/hivemend-repair/disk_layout.h"

#include <blkid/blkid.h>

#include <cstdlib>
#include <memory>

namespace hivemend::repair_tool {
namespace {

struct ProbeDeleter {
  void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
using Probe = std::unique_ptr<blkid_struct_probe, ProbeDeleter>;

Error DiskError(const std::string& path, const std::string& message) { return Error{path + ": " + message}; }

}  // namespace

Result<DiskLayout> ReadDiskLayout(const std::string& path) {
  Probe probe(blkid_new_probe_from_filename(path.c_str()));
  if (!probe) return DiskError(path, "cannot be opened for reading");
  // Only the partition table is wanted; a volume's own boot sector (NTFS has the MBR's
  // 0x55AA mark) must not be taken for one, which libblkid checks by itself.
  blkid_probe_enable_superblocks(probe.get(), 0);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);

  DiskLayout layout;
  blkid_partlist list = blkid_probe_get_partitions(probe.get());
  if (!list) return layout;
  blkid_parttable root = blkid_partlist_get_table(list);
  if (!root) return layout;
  const std::string type = blkid_parttable_get_type(root) ? blkid_parttable_get_type(root) : "";
  if (type == "dos") {
    layout.table = PartitionTable::kMbr;
    // libblkid gives the disk signature as eight hexadecimal digits ("1a2b3c4d").
    if (const char* id = blkid_parttable_get_id(root); id && *id) {
      layout.mbr_signature = static_cast<uint32_t>(std::strtoul(id, nullptr, 16));
    }
  } else if (type == "gpt") {
    layout.table = PartitionTable::kGpt;
  } else {
    return DiskError(path, "partition table of type '" + type + "' is not supported (MBR and GPT are)");
  }

  const uint64_t sector = 512;  // libblkid counts partition starts and sizes in 512-byte units
  const int count = blkid_partlist_numof_partitions(list);
  for (int i = 0; i < count; ++i) {
    blkid_partition partition = blkid_partlist_get_partition(list, i);
    if (!partition || blkid_partition_is_extended(partition)) continue;
    layout.partitions.push_back(Partition{blkid_partition_get_partno(partition),
                                          static_cast<uint64_t>(blkid_partition_get_start(partition)) * sector,
                                          static_cast<uint64_t>(blkid_partition_get_size(partition)) * sector});
  }
  return layout;
}

}  // namespace hivemend::repair_tool
