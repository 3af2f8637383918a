#include "win32/host/path.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <mutex>

#include "base/unicode.h"
#include "win32/host/directory.h"
#include "win32/host/error.h"
#include "win32/host/prefix.h"

namespace hivemend::win32 {

namespace {

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

// Characters Windows refuses in any name ('*' and '?' pass: searches take them).
bool is_invalid_name_char(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|';
}

}  // namespace

Expected<WindowsPath> parse_windows_path(std::u16string_view path) {
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\")) path.remove_prefix(4);
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return WinError{ERROR_BAD_NETPATH};
  if (path.empty()) return WinError{ERROR_PATH_NOT_FOUND};

  WindowsPath result;
  std::u16string_view rest;
  std::u16string absolute;
  const char16_t first = char16_t(path[0] | 0x20);
  if (path.size() >= 2 && path[1] == u':' && first >= u'a' && first <= u'z') {
    result.drive = char16_t(first & ~0x20);
    rest = path.substr(2);
  } else {
    // Relative to the current directory, or to the root of its drive.
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    if (ec) return WinError{ERROR_PATH_NOT_FOUND};
    auto cwd_name = windows_path_of(cwd.string());
    if (!cwd_name) return WinError{ERROR_PATH_NOT_FOUND};
    absolute = is_separator(path[0]) ? cwd_name->substr(0, 2) + std::u16string(path)
                                     : *cwd_name + u"\\" + std::u16string(path);
    return parse_windows_path(absolute);
  }

  result.trailing_separator = !rest.empty() && is_separator(rest.back());
  // Every character is a separator or in a component; those that are dropped ('.', '..',
  // trailing dots and blanks) hold no invalid one, so the text is checked once, whole.
  size_t separators = 0;
  for (char16_t c : rest) {
    if (is_separator(c))
      ++separators;
    else if (is_invalid_name_char(c))
      return WinError{ERROR_INVALID_NAME};
  }
  result.text_ = rest;
  rest = result.text_;
  result.components.reserve(separators + 1);
  size_t i = 0;
  while (i <= rest.size()) {
    size_t end = i;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    std::u16string_view component = rest.substr(i, end - i);
    i = end + 1;
    if (component == u"..") {
      if (!result.components.empty()) result.components.pop_back();
      continue;
    }
    if (component == u".") continue;
    while (!component.empty() && (component.back() == u'.' || component.back() == u' ')) component.remove_suffix(1);
    if (component.empty()) continue;
    result.components.push_back(component);
  }
  return result;
}

WindowsPath& WindowsPath::operator=(const WindowsPath& other) {
  if (this == &other) return *this;
  drive = other.drive;
  trailing_separator = other.trailing_separator;
  text_ = other.text_;
  components.clear();
  for (std::u16string_view c : other.components)
    components.emplace_back(text_.data() + (c.data() - other.text_.data()), c.size());
  return *this;
}

WindowsPath& WindowsPath::operator=(WindowsPath&& other) noexcept {
  if (this == &other) return *this;
  drive = other.drive;
  trailing_separator = other.trailing_separator;
  const char16_t* before = other.text_.data();
  text_ = std::move(other.text_);
  components = std::move(other.components);
  // A short text lives inside the string object, and moves.
  if (text_.data() != before)
    for (std::u16string_view& c : components) c = std::u16string_view(text_.data() + (c.data() - before), c.size());
  other.components.clear();
  return *this;
}

int open_in_root(int root_fd, const std::string& path, int flags, mode_t mode) {
  open_how how{};
  how.flags = uint64_t(flags | O_CLOEXEC);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  const std::string& p = path.empty() ? std::string(".") : path;
  long fd;
  do { fd = syscall(SYS_openat2, root_fd, p.c_str(), &how, sizeof how); } while (fd < 0 && errno == EAGAIN);
  return int(fd);
}

int Location::open(int flags, mode_t mode) const { return open_in_root(root->get(), relative, flags, mode); }

int Location::open(const std::string& path, int flags, mode_t mode) const {
  return open_in_root(root->get(), path, flags, mode);
}

Expected<std::string> find_entry(const Location& dir, std::u16string_view name) {
  FileSystemCall call;
  if (name.find_first_of(std::u16string_view(u"/\0", 2)) != name.npos) return WinError{ERROR_INVALID_NAME};
  if (auto known = known_listing(dir)) {
    // A kept listing answers without asking the file system (on FUSE a name in the
    // wrong case is one more request to the daemon each time).
    const DirEntry* entry = known->find(name);
    if (!entry) return WinError{ERROR_FILE_NOT_FOUND};
    return entry->linux_name;
  }
  {
    // Without one, the name as written may exist: no need to read the whole directory.
    // A short name is looked up in the listing, so that paths are made of real names
    // only (changes are watched per spelling).
    base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
    if (!fd) return WinError{ERROR_PATH_NOT_FOUND};
    const std::string utf8 = base::to_utf8(name);
    struct stat st;
    if (fstatat(fd.get(), utf8.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !is_short_name_spelling(fd.get(), utf8))
      return utf8;
  }
  auto listing = list_directory(dir);
  if (!listing) return WinError{listing.error()};
  const DirEntry* entry = (*listing)->find(name);
  if (!entry) return WinError{ERROR_FILE_NOT_FOUND};
  return entry->linux_name;
}

namespace {

// The roots of the drives, opened once per prefix and letter.
struct DriveRoots {
  std::mutex mutex;
  std::string prefix;
  uint64_t changes = 0;
  std::map<char16_t, std::shared_ptr<const VolumeRoot>> roots;
};

DriveRoots& drive_roots() {
  static auto* roots = new DriveRoots;  // lives to the end of the process
  return *roots;
}

}  // namespace

Expected<std::shared_ptr<const VolumeRoot>> drive_root(char16_t letter) {
  DriveRoots& d = drive_roots();
  const char16_t key = char16_t(letter | 0x20);
  std::lock_guard lock(d.mutex);
  // The prefix may change between calls (tests point HIVEMEND_PREFIX elsewhere): the
  // one the roots belong to is checked against the environment at every call.
  if (d.prefix.empty() || !is_prefix_dir(d.prefix) || d.changes != drive_changes()) {
    auto prefix = prefix_dir();
    if (!prefix) return WinError{ERROR_PATH_NOT_FOUND};
    if (d.prefix != *prefix || d.changes != drive_changes()) {
      d.roots.clear();
      d.prefix = *prefix;
      d.changes = drive_changes();
    }
  }
  if (auto it = d.roots.find(key); it != d.roots.end()) return it->second;
  auto fd = open_drive_root(letter);
  if (!fd) return WinError{fd.error()};
  auto root = make_volume_root(std::move(*fd));
  if (!root) return WinError{ERROR_PATH_NOT_FOUND};
  d.roots.emplace(key, root);
  return root;
}

std::shared_ptr<const VolumeRoot> make_volume_root(base::UniqueFd fd) {
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0) return nullptr;
  return std::make_shared<const VolumeRoot>(std::move(fd), st.st_dev, st.st_ino);
}

VolumeRoot::VolumeRoot(base::UniqueFd root, dev_t device, ino_t inode)
    : fd(std::move(root)), dev(device), ino(inode), listings(std::make_shared<VolumeListings>(fd.get())) {}

void close_drive_roots() {
  DriveRoots& d = drive_roots();
  std::lock_guard lock(d.mutex);
  d.roots.clear();
}

Expected<Location> open_directory(const WindowsPath& path, size_t count, std::shared_ptr<const Listing>* listing) {
  FileSystemCall call;
  auto root = drive_root(path.drive);
  if (!root) return WinError{ERROR_PATH_NOT_FOUND};
  Location location{std::move(*root), std::string()};
  count = std::min(count, path.components.size());
  if (count == 0) return location;
  VolumeListings& volume = *location.root->listings;
  thread_local std::u16string walk;  // its room is kept from call to call
  walk.clear();
  for (size_t i = 0; i < count; ++i) (walk += path.components[i]) += u'\\';
  auto walked = volume.walked(walk);
  if (walked.relative) {
    location.relative = std::move(*walked.relative);
    if (listing) *listing = std::move(walked.listing);
    return location;
  }
  const uint64_t generation = walked.generation;
  bool through_listings = true;  // every directory on the way taken from a kept listing
  for (size_t i = 0; i < count; ++i) {
    if (auto known = known_listing(location)) {
      const DirEntry* entry = known->find(path.components[i]);
      if (!entry) return WinError{ERROR_PATH_NOT_FOUND};
      location.relative = location.child(entry->linux_name);
      // A link is followed (inside the volume) by the open below, which also tells a loop.
      if ((entry->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY)
        continue;
      if (!(entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return WinError{ERROR_PATH_NOT_FOUND};
      through_listings = false;
    } else {
      through_listings = false;
      auto name = find_entry(location, path.components[i]);
      if (!name)
        return WinError{name.error() == ERROR_INVALID_NAME ? DWORD(ERROR_INVALID_NAME) : DWORD(ERROR_PATH_NOT_FOUND)};
      location.relative = location.child(*name);
    }
    base::UniqueFd fd(location.open(O_PATH | O_DIRECTORY));
    if (!fd) return WinError{errno == ELOOP ? DWORD(ERROR_CANT_RESOLVE_FILENAME) : DWORD(ERROR_PATH_NOT_FOUND)};
  }
  if (through_listings) volume.keep_walk(walk, location.relative, generation);
  return location;
}

Expected<std::string> linux_path_of(const Location& location) {
  base::UniqueFd fd(location.open(O_PATH));
  if (!fd) return WinError{error_from_errno(errno)};
  char buf[PATH_MAX];
  const std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
  const ssize_t n = readlink(proc.c_str(), buf, sizeof buf - 1);
  if (n < 0) return WinError{error_from_errno(errno)};
  return std::string(buf, size_t(n));
}

}  // namespace hivemend::win32
