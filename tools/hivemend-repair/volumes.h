// The volumes behind the drive letters of a run: folders taken as they are, NTFS images
// and block devices mounted with ntfs-3g for the life of the run (a partition of a whole
// disk through a loop device of its own, a VM disk file through an export of it), all
// given up cleanly on an error or a signal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/hivemend-repair/disk_layout.h"
#include "tools/hivemend-repair/error.h"
#include "tools/hivemend-repair/vm_disk.h"

namespace hivemend::repair_tool {

// Bytes [start, end) of the file or whole disk a volume lies on: a regular file (its
// device and inode), or a disk (its device number, inode 0). A loop device's bytes are
// its backing file's, and a partition's those of its disk, so that one volume named in
// two forms (an image and a loop device over it, a disk and its partition node) is
// known as one.
struct DiskBytes {
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t start = 0, end = 0;
  bool overlaps(const DiskBytes& o) const { return dev == o.dev && ino == o.ino && start < o.end && o.start < end; }
};

// A mounted NTFS volume, unmounted (and its ntfs-3g process waited for, so that every
// write has reached the image) when the object goes; the loop device it was mounted
// from, if any, is detached after that, and the export of a VM disk file it was mounted
// from ended.
class Mount {
 public:
  // `source` tells volumes apart: the image or device, with ":N" for its partition N.
  Mount(std::string source, std::string point, pid_t driver, std::string loop = "",
        std::unique_ptr<VmDiskExport> exported = nullptr)
      : source_(std::move(source)),
        point_(std::move(point)),
        driver_(driver),
        loop_(std::move(loop)),
        exported_(std::move(exported)) {}
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  const std::string& source() const { return source_; }
  const std::string& point() const { return point_; }

  // The hibernation file was removed when this volume was mounted (--remove-hiberfile).
  bool hiberfile_removed = false;
  // The bytes the volume lies on (see DiskBytes), when it was mounted from an image file
  // or block device.
  std::optional<DiskBytes> bytes;

 private:
  std::string source_, point_;
  pid_t driver_;
  std::string loop_;
  std::unique_ptr<VmDiskExport> exported_;
};

// What a run killed before it could clean up (SIGKILL, a crash) left below its mount
// folder `mount_dir`, given up: every volume mounted there unmounted and its ntfs-3g
// waited for, then the loop devices the run attached detached. How many of each.
struct Leftovers {
  size_t mounts = 0, loops = 0, exports = 0;
};
Leftovers give_up_leftovers(const std::string& mount_dir);

// What a --drive VOLUME names once open: a folder (a volume mounted already), an NTFS
// image file or block device, or a whole-disk image or disk with a partition table
// (VOLUME:N for its partition N).
struct OpenedVolume {
  std::string root;  // the folder that is the volume's root
  // The partition table of the disk the volume is a partition of (kNone for a folder or
  // a volume on its own), and the disk's MBR signature.
  PartitionTable table = PartitionTable::kNone;
  std::optional<uint32_t> mbr_signature{};
  bool hiberfile_removed = false;  // see Mount
};

// How a run uses a drive.
struct DriveUse {
  bool read_only = false;  // a dry run: nothing is written to any volume
  // The run writes the drive's hives (a destination, or a restore): the volume must hold
  // Windows and, unless read_only, be mounted read-write and not hibernated.
  bool written = false;
  bool remove_hiberfile = false;  // --remove-hiberfile
};

// Opens the volume for the run: a folder is taken as it is; an image file or block device
// must hold NTFS (told from its content) and be mounted nowhere, and is mounted with
// ntfs-3g on a fresh folder below `mount_dir`, read-only when `use.read_only` or when the
// image file's owner may not write it. A VM disk file is exported as a raw file first
// (read-only when the run does not write the drive) and then taken as an image. On a disk
// with a partition table the partition is VOLUME's ":N", else the one holding
// Windows\System32\config\SYSTEM (several: refused); where none does, a drive the run
// does not write takes the disk's only NTFS partition; a refusal asks for
// `letter`=VOLUME:N. A drive the run writes is refused when it is mounted read-only or
// holds a hibernated Windows (unless its hibernation file is removed, with
// `use.remove_hiberfile`). Mounts made are added to `mounts`. The error names VOLUME and
// says why.
Result<OpenedVolume> open_volume(char letter, const std::string& volume, const std::string& mount_dir,
                                 const DriveUse& use, std::vector<std::unique_ptr<Mount>>& mounts);

}  // namespace hivemend::repair_tool
