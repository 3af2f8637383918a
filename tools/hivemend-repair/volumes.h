// The volumes behind the drive letters of a run: folders taken as they are, NTFS images
// and block devices mounted with ntfs-3g for the life of the run, and the child
// processes the run waits for, all given up cleanly on an error or a signal.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hivemend::repair_tool {

// Set by SIGINT, SIGTERM and SIGHUP once the handlers are installed: the number of the
// signal that asked the run to end, 0 while none did.
void install_signal_handlers();
int pending_signal();

// A mounted NTFS volume, unmounted (and its ntfs-3g process waited for, so that every
// write has reached the image) when the object goes.
class Mount {
 public:
  Mount(std::string source, std::string point, pid_t driver) : source_(std::move(source)), point_(std::move(point)), driver_(driver) {}
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  const std::string& source() const { return source_; }
  const std::string& point() const { return point_; }

 private:
  std::string source_, point_;
  pid_t driver_;
};

// What a --drive VOLUME names: a folder (a volume mounted already), or an NTFS image file
// or block device to mount. The folder, or a reason for one line of error.
struct VolumeRoot {
  std::string root;     // the folder that is the volume's root
  std::string error;    // set on failure: "VOLUME: reason"
};

// Opens the volume for the run: a folder is taken as it is; an image file or block device
// must hold NTFS and be mounted nowhere, and is mounted with ntfs-3g (read-only when
// `read_only`) on a fresh folder below `mount_dir`. Mounts made are added to `mounts`.
VolumeRoot open_volume(const std::string& volume, const std::string& mount_dir, bool read_only,
                       std::vector<std::unique_ptr<Mount>>& mounts);

// Runs a program as a child with extra environment entries, waiting for it while
// `on_tick` is called about every 50 ms; a pending signal stops the child (SIGTERM) and
// gives nullopt. Otherwise the child's exit code (128 + the signal that killed it).
// Standard output (and standard error too with `merge_errors`) goes to `out_file` when given.
std::optional<int> run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const std::string& out_file, void (*on_tick)(void*) = nullptr, void* context = nullptr,
                             bool merge_errors = false);

}  // namespace hivemend::repair_tool
