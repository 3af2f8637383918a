#include "tools/hivemend-repair/session.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/mount_table.h"
#include "tools/hivemend-repair/process.h"
#include "win32/path.h"
#include "win32/prefix.h"

namespace hivemend::repair_tool {

Status Session::start() {
  char tmpl[] = "/tmp/hivemend-repair-XXXXXX";
  if (!mkdtemp(tmpl)) return Error{std::string("cannot make a scratch folder: ") + std::strerror(errno)};
  dir_ = tmpl;
  return base::Ok{};
}

Session::~Session() {
  mounts.clear();
  if (dir_.empty()) return;
  for (const base::MountEntry& m : base::read_mount_table())
    if (m.point.rfind(dir_ + "/", 0) == 0) return;  // never delete through a mount
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

Status make_prefix(const std::string& prefix) {
  std::error_code ec;
  std::filesystem::create_directories(prefix + "/dosdevices", ec);
  if (ec) return Error{prefix + ": " + ec.message()};
  setenv("HIVEMEND_PREFIX", prefix.c_str(), 1);
  if (!win32::define_drive('z', "/")) return Error{prefix + ": cannot link drive Z:"};
  return base::Ok{};
}

Result<OpenedVolume> open_drives(const Options& o, Session& session, bool read_only) {
  OpenedVolume source;
  for (const auto& [letter, volume] : o.drives) {
    if (pending_signal()) return Error{"interrupted by a signal; volumes unmounted"};
    // A drive whose hives are written must be a disk's Windows partition; a drive only
    // looked up in may be its only NTFS partition.
    const char upper = char(std::toupper(letter));
    const bool windows_required = o.restore || o.dst.find(upper) != std::string::npos;
    auto root = open_volume(upper, volume, session.path("mnt"), read_only, windows_required, session.mounts);
    if (!root) return root.error();
    if (upper == o.src.front()) source = *root;
    if (!win32::define_drive(letter, root->root))
      return Error{std::string("cannot link drive ") + upper + ": in the prefix"};
  }
  return source;
}

std::optional<std::string> linux_path(const std::u16string& windows) {
  auto parsed = win32::parse_windows_path(windows);
  if (!parsed || parsed->components.empty()) return std::nullopt;
  auto dir = win32::open_directory(*parsed, parsed->components.size() - 1);
  if (!dir) return std::nullopt;
  auto entry = win32::find_entry(*dir, parsed->components.back());
  if (!entry) return std::nullopt;
  auto path = win32::linux_path_of(win32::Location{dir->root, dir->child(*entry)});
  return path ? std::optional<std::string>(*path) : std::nullopt;
}

}  // namespace hivemend::repair_tool
