// A virtual-machine disk file (VHDX, VHD, VMDK, qcow2, VDI) seen as a raw file for the
// life of a run, read and written in place through QEMU's block layer.
//
// qemu-nbd (Debian's qemu-utils) serves the file over a Unix socket and nbdfuse
// (libnbd-bin) shows what it serves as one regular file on a FUSE mount, which ntfs-3g
// and libblkid then take like any image; no kernel module (nbd) is needed.
// qemu-storage-daemon's FUSE export would do it in one process, but Debian bookworm
// ships it only in qemu-system-common, which brings the emulators' graphics, sound and
// USB libraries with it, while qemu-utils is needed anyway (qemu-img) and libnbd-bin is
// small.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "regf/result.h"
#include "tools/hivemend-repair/disk_content.h"

namespace hivemend::repair_tool {

// Bytes of the disk the file holds: a partition, exported as a volume of its own.
struct ByteRange {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// "" when the programs an export needs are installed, else one line naming what is
// missing and the Debian packages that bring it.
std::string missing_export_programs();

// What `qemu-img info --output=json` tells of a VM disk file of QEMU's `format`: the
// size of the disk it holds, and whether QEMU can only read it (a VMDK of compressed
// grains, streamOptimized, which QEMU writes only when making it). An error carries
// qemu-img's own reason (a file in use by a running machine, a missing backing file).
// `shared`: the file may be open for writing elsewhere (in this run's own export).
struct VmDiskInfo {
  uint64_t size = 0;
  bool read_only = false;
};
regf::Result<VmDiskInfo> vm_disk_info(const std::string& file, const char* format, bool shared = false);

// The export of one VM disk file. It ends when the object goes: the FUSE mount is
// unmounted, nbdfuse and qemu-nbd are waited for (qemu-nbd closes the file only once
// everything written has reached it) and the export's folder is removed; nothing is
// left mounted or running.
class VmDiskExport {
 public:
  // Exports `file`, holding `content`, read-only (nothing can be written to the file, and
  // qemu opens it read-only) or read-write, and waits until the raw file can be used.
  // `dir` is a folder to be made for the export (its mount point, socket and logs);
  // `range` exports only those bytes of the disk. A read-only export that is `shared`
  // does not keep others from writing the file (qemu's force-share), so that it may look
  // into a disk whose other partition this run writes. Errors are one line naming `file`.
  static regf::Result<std::unique_ptr<VmDiskExport>> start(const std::string& file, DiskContent content,
                                                           const std::string& dir, bool read_only,
                                                           std::optional<ByteRange> range = std::nullopt,
                                                           bool shared = false);
  ~VmDiskExport();
  VmDiskExport(const VmDiskExport&) = delete;
  VmDiskExport& operator=(const VmDiskExport&) = delete;

  // The raw file: the whole disk, or the range.
  const std::string& path() const { return path_; }
  uint64_t size() const { return size_; }
  // The folder, nbdfuse's and qemu-nbd's processes: what a later run needs to end the
  // export should this run be killed.
  const std::string& dir() const { return dir_; }
  pid_t client() const { return client_; }
  pid_t server() const { return server_; }

 private:
  VmDiskExport(std::string dir) : dir_(std::move(dir)) {}

  std::string dir_, path_;
  uint64_t size_ = 0;
  pid_t server_ = -1;  // qemu-nbd
  pid_t client_ = -1;  // nbdfuse
};

}  // namespace hivemend::repair_tool
