#include "win32/host/prefix.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "base/unicode.h"
#include "win32/host/error.h"

namespace hivemend::win32 {

namespace {

std::string home_dir() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

constexpr std::string_view kHomePrefix = "/.hivemend";  // in the home folder, without HIVEMEND_PREFIX

std::string link_path(const std::string& prefix, char letter) {
  return prefix + "/dosdevices/" + char(letter | 0x20) + ":";
}

// What a drive letter's root is: its link, or "/" for z: when the prefix has no z: link,
// so that every Linux path keeps a Windows name on a prefix made by hand.
std::string drive_root_path(const std::string& prefix, char letter) {
  std::string link = link_path(prefix, letter);
  struct stat st;
  if (letter == 'z' && lstat(link.c_str(), &st) != 0 && errno == ENOENT) return "/";
  return link;
}

std::atomic<uint64_t> g_drive_changes{0};

}  // namespace

Expected<std::string> prefix_dir() {
  const char* env = std::getenv("HIVEMEND_PREFIX");
  const std::string dir = env && *env ? std::string(env) : home_dir() + std::string(kHomePrefix);
  // Made once per process and folder: every path and log line asks for the prefix.
  static std::mutex mutex;
  static std::string prepared;
  {
    std::lock_guard lock(mutex);
    if (dir == prepared) return dir;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return WinError{error_from_errno(ec.value())};
  const std::string devices = dir + "/dosdevices";
  if (mkdir(devices.c_str(), 0755) == 0) {
    // A new prefix gives every Linux path a Windows name through Z:.
    if (symlink("/", link_path(dir, 'z').c_str()) != 0 && errno != EEXIST) return WinError{error_from_errno(errno)};
  } else if (errno != EEXIST) {
    return WinError{error_from_errno(errno)};
  }
  std::lock_guard lock(mutex);
  prepared = dir;
  return dir;
}

bool is_prefix_dir(std::string_view dir) {
  if (const char* env = std::getenv("HIVEMEND_PREFIX"); env && *env) return dir == env;
  const char* home = std::getenv("HOME");
  if (!home || !*home) return false;
  const std::string_view h(home);
  return dir.size() == h.size() + kHomePrefix.size() && dir.starts_with(h) && dir.ends_with(kHomePrefix);
}

bool make_shared_folder(const std::string& path) {
  constexpr mode_t kShared = S_ISVTX | 0777;
  if (mkdir(path.c_str(), kShared) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if ((st.st_mode & 07777) != kShared && st.st_uid == geteuid()) chmod(path.c_str(), kShared);
  return true;
}

base::UniqueFd open_shared_file(const std::string& path, int flags) {
  for (;;) {
    base::UniqueFd fd(open(path.c_str(), flags | O_CLOEXEC));
    if (fd || errno != ENOENT) return fd;
    fd = base::UniqueFd(open(path.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) {
      fchmod(fd.get(), 0666);
      return fd;
    }
    if (errno != EEXIST) return fd;
  }
}

Expected<bool> define_drive(char letter, const std::string& target) {
  if (!((letter | 0x20) >= 'a' && (letter | 0x20) <= 'z')) return WinError{ERROR_INVALID_DRIVE};
  auto prefix = prefix_dir();
  if (!prefix) return WinError{prefix.error()};
  const std::string link = link_path(*prefix, letter);
  if (unlink(link.c_str()) != 0 && errno != ENOENT) return WinError{error_from_errno(errno)};
  const bool linked = target.empty() || symlink(target.c_str(), link.c_str()) == 0;
  ++g_drive_changes;
  if (!linked) return WinError{error_from_errno(errno)};
  return true;
}

Expected<base::UniqueFd> open_drive_root(char16_t letter) {
  const char16_t lower = char16_t(letter | 0x20);
  if (lower < u'a' || lower > u'z') return WinError{ERROR_PATH_NOT_FOUND};
  auto prefix = prefix_dir();
  if (!prefix) return WinError{prefix.error()};
  base::UniqueFd fd(open(drive_root_path(*prefix, char(lower)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return WinError{ERROR_PATH_NOT_FOUND};
  return fd;
}

uint64_t drive_changes() { return g_drive_changes.load(); }

Expected<std::u16string> windows_path_of(const std::string& linux_path) {
  auto prefix = prefix_dir();
  if (!prefix) return WinError{prefix.error()};
  std::string best_root;
  char best_letter = 0;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    char resolved[PATH_MAX];
    if (!realpath(drive_root_path(*prefix, letter).c_str(), resolved)) continue;
    std::string root = resolved;
    const bool covers = root == "/" || linux_path == root ||
                        (linux_path.size() > root.size() && linux_path.compare(0, root.size(), root) == 0 &&
                         linux_path[root.size()] == '/');
    if (covers && (best_letter == 0 || root.size() > best_root.size())) {
      best_root = root;
      best_letter = letter;
    }
  }
  if (!best_letter) return WinError{ERROR_PATH_NOT_FOUND};
  std::string rest = linux_path.substr(best_root == "/" ? 0 : best_root.size());
  std::u16string result;
  result.push_back(char16_t(best_letter & ~0x20));
  result += u":";
  for (char16_t c : base::from_utf8(rest)) result.push_back(c == u'/' ? u'\\' : c);
  if (result.size() == 2) result.push_back(u'\\');
  return result;
}

}  // namespace hivemend::win32
