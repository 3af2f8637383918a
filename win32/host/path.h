// Windows paths on Linux: parsing a Windows path, and finding what it names inside the
// volume of its drive letter. Every component matches case-insensitively by long name,
// else by short name; '.' and '..' are applied to the text and never climb above the
// volume root; every Linux open goes through openat2 with RESOLVE_IN_ROOT against the
// volume root, so no symbolic link on a volume leads outside it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "win32/host/expected.h"

namespace hivemend::win32 {

struct WindowsPath;
Expected<WindowsPath> parse_windows_path(std::u16string_view path);

// A parsed path: its components are views of its own copy of the text, which follows
// it through copies and moves.
struct WindowsPath {
  char16_t drive = 0;                           // upper case
  std::vector<std::u16string_view> components;  // '.', '..', empty ones applied
  bool trailing_separator = false;              // the text ended in '\' or '/'

  WindowsPath() = default;
  WindowsPath(const WindowsPath& other) { *this = other; }
  WindowsPath(WindowsPath&& other) noexcept { *this = std::move(other); }
  WindowsPath& operator=(const WindowsPath& other);
  WindowsPath& operator=(WindowsPath&& other) noexcept;

 private:
  friend Expected<WindowsPath> parse_windows_path(std::u16string_view path);
  std::u16string text_;
};

// Parses "X:\a\b", "X:/a", "\\?\X:\a", "\a" (the current drive) and relative paths (the
// current directory's Windows name in front). Trailing dots and blanks of a component
// are dropped, as Windows drops them. ERROR_INVALID_NAME for characters no Windows name
// may hold ('*' and '?' are allowed: they are patterns to searches); ERROR_BAD_NETPATH
// for UNC paths; ERROR_PATH_NOT_FOUND when a relative path has no Windows name.
Expected<WindowsPath> parse_windows_path(std::u16string_view path);

class Listing;
class VolumeListings;

// The root directory of a volume, opened, its identity, and the listings kept of it,
// which every root has from its making on.
struct VolumeRoot {
  VolumeRoot(base::UniqueFd root, dev_t device, ino_t inode);
  base::UniqueFd fd;
  dev_t dev = 0;
  ino_t ino = 0;
  std::shared_ptr<VolumeListings> listings;
  int get() const { return fd.get(); }
};

// The root of the drive `letter` (either case): opened once per process and prefix, and
// again after define_drive. ERROR_PATH_NOT_FOUND without a prefix or such a drive.
Expected<std::shared_ptr<const VolumeRoot>> drive_root(char16_t letter);

// The root of the volume whose directory `fd` is; nullptr when it cannot be asked.
std::shared_ptr<const VolumeRoot> make_volume_root(base::UniqueFd fd);

// A place inside one volume: the volume's root and the Linux path below it, made of the
// entries' real names ("" is the root itself).
struct Location {
  std::shared_ptr<const VolumeRoot> root;
  std::string relative;

  // The Linux path of an entry of this directory, relative to the root.
  std::string child(const std::string& name) const { return relative.empty() ? name : relative + "/" + name; }
  // Opens the location (or `relative` below the root) inside the volume; -1 and errno on failure.
  int open(int flags, mode_t mode = 0) const;
  int open(const std::string& path, int flags, mode_t mode = 0) const;
};

// openat2(root_fd, path, RESOLVE_IN_ROOT): a fd or -1 with errno.
int open_in_root(int root_fd, const std::string& path, int flags, mode_t mode = 0);

// The directory named by the drive and the first `count` components. Any of them
// missing or not a directory: ERROR_PATH_NOT_FOUND. A drive's root is opened once per
// process and prefix (again after define_drive), and a component that a kept listing
// shows as a plain directory is taken without asking the file system. `listing`, when
// given, receives the directory's listing if the same look found it kept (else nullptr).
Expected<Location> open_directory(const WindowsPath& path, size_t count,
                                  std::shared_ptr<const Listing>* listing = nullptr);

// Closes the drive roots this process keeps open, so that the volumes behind them can
// be unmounted; each is opened again when next used.
void close_drive_roots();

// The real Linux name of the entry of `dir` that `name` names (long or short name, any
// case; an exact match first). ERROR_FILE_NOT_FOUND when there is none.
Expected<std::string> find_entry(const Location& dir, std::u16string_view name);

// The Linux path that a resolved location stands for (through /proc, the real one).
Expected<std::string> linux_path_of(const Location& location);

}  // namespace hivemend::win32
