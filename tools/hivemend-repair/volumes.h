// The volumes behind the drive letters of a run: folders taken as they are, NTFS images
// and block devices mounted with ntfs-3g for the life of the run (a partition of a whole
// disk through a loop device of its own), and the child processes the run waits for, all
// given up cleanly on an error or a signal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/hivemend-repair/disk_layout.h"

namespace hivemend::repair_tool {

// Set by SIGINT, SIGTERM and SIGHUP once the handlers are installed: the number of the
// signal that asked the run to end, 0 while none did.
void install_signal_handlers();
int pending_signal();

// The mount table as this process sees it (/proc/self/mounts): each mount's source and
// mount point, in mounting order.
struct MountEntry {
  std::string source, point;
};
std::vector<MountEntry> mount_table();

// A mounted NTFS volume, unmounted (and its ntfs-3g process waited for, so that every
// write has reached the image) when the object goes; the loop device it was mounted
// from, if any, is detached after that.
class Mount {
 public:
  // `source` tells volumes apart: the image or device, with ":N" for its partition N.
  Mount(std::string source, std::string point, pid_t driver, std::string loop = "")
      : source_(std::move(source)), point_(std::move(point)), driver_(driver), loop_(std::move(loop)) {}
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  const std::string& source() const { return source_; }
  const std::string& point() const { return point_; }

 private:
  std::string source_, point_;
  pid_t driver_;
  std::string loop_;
};

// What a --drive VOLUME names: a folder (a volume mounted already), an NTFS image file or
// block device, or a whole-disk image or disk with a partition table (VOLUME:N for its
// partition N). The folder, or a reason for one line of error.
struct VolumeRoot {
  std::string root;   // the folder that is the volume's root
  std::string error;  // set on failure: "VOLUME: reason"
  // The partition table of the disk the volume is a partition of (kNone for a folder or
  // a volume on its own), and the disk's MBR signature.
  PartitionTable table = PartitionTable::kNone;
  std::optional<uint32_t> mbr_signature;
};

// Opens the volume for the run: a folder is taken as it is; an image file or block device
// must hold NTFS and be mounted nowhere, and is mounted with ntfs-3g (read-only when
// `read_only`) on a fresh folder below `mount_dir`. On a disk with a partition table the
// partition is VOLUME's ":N", else the one holding Windows\System32\config\SYSTEM (several:
// refused); where none does, a drive that need not hold Windows (`windows_required`
// false) takes the disk's only NTFS partition; a refusal asks for `letter`=VOLUME:N. Mounts
// made are added to `mounts`.
VolumeRoot open_volume(char letter, const std::string& volume, const std::string& mount_dir, bool read_only,
                       bool windows_required, std::vector<std::unique_ptr<Mount>>& mounts);

// Runs a program as a child with extra environment entries, waiting for it while
// `on_tick` is called about every 50 ms; a pending signal stops the child (SIGTERM) and
// gives nullopt. Otherwise the child's exit code (128 + the signal that killed it).
// Standard output (and standard error too with `merge_errors`) goes to `out_file` when given.
std::optional<int> run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const std::string& out_file, void (*on_tick)(void*) = nullptr, void* context = nullptr,
                             bool merge_errors = false);

}  // namespace hivemend::repair_tool
