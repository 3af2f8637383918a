#include "tools/hivemend-repair/session.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/counts.h"
#include "base/mount_table.h"
#include "tools/hivemend-repair/process.h"
#include "win32/host/path.h"
#include "win32/host/prefix.h"

namespace hivemend::repair_tool {

namespace {

constexpr const char* kScratchName = "hivemend-repair-";

std::string scratch_parent() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

// A process told apart from a later one with the same number: its number and the time it
// started, in clock ticks after boot ("" when it is gone).
std::string process_identity(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t end_of_name = stat.rfind(')');
  if (end_of_name == std::string::npos) return "";
  std::istringstream fields(stat.substr(end_of_name + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {}  // field 22: starttime
  return std::to_string(pid) + " " + field;
}

bool nothing_mounted_below(const std::string& dir) {
  for (const base::MountEntry& m : base::read_mount_table())
    if (m.point.rfind(dir + "/", 0) == 0) return false;
  return true;
}

// Whether the run whose scratch folder is `dir` has ended: the process it names is gone
// or another. A folder that names none is left alone: it may be a run's in the moment
// it is made.
bool owner_gone(const std::filesystem::path& dir) {
  std::ifstream in(dir / "owner");
  std::string owner;
  if (!std::getline(in, owner)) return false;
  const pid_t pid = std::atoi(owner.c_str());
  return pid <= 0 || process_identity(pid) != owner;
}

}  // namespace

size_t remove_leftovers() {
  size_t runs = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratch_parent(), ec)) {
    const std::string dir = entry.path().string();
    if (!entry.path().filename().string().starts_with(kScratchName) || !entry.is_directory(ec) ||
        entry.is_symlink(ec) || !owner_gone(entry.path()))
      continue;
    const Leftovers left = give_up_leftovers(dir + "/mnt");
    std::string what;
    if (left.mounts) what += base::counted(left.mounts, "mount") + ", ";
    if (left.loops) what += base::counted(left.loops, "loop device") + ", ";
    if (left.exports) what += base::counted(left.exports, "disk file export") + ", ";
    const bool removed = nothing_mounted_below(dir) && std::filesystem::remove_all(dir, ec) > 0 && !ec;
    std::fprintf(stderr, "hivemend-repair: a run that ended without cleaning up left %s%s: %s\n", what.c_str(),
                 dir.c_str(), removed ? "removed" : "still in use, not removed");
    ++runs;
  }
  return runs;
}

Status Session::start() {
  remove_leftovers();
  std::string tmpl = scratch_parent() + "/" + kScratchName + "XXXXXX";
  if (!mkdtemp(tmpl.data()))
    return Error{"cannot make a scratch folder in " + scratch_parent() + ": " + std::strerror(errno)};
  dir_ = tmpl;
  std::ofstream owner(path("owner"));
  if (!(owner << process_identity(getpid()) << '\n' << std::flush)) return Error{path("owner") + ": cannot write"};
  return base::Ok{};
}

Session::~Session() {
  mounts.clear();
  if (dir_.empty()) return;
  // Drive links of a kept prefix that point into the scratch would name nothing.
  std::error_code ec;
  if (!prefix_.empty())
    for (const auto& link : std::filesystem::directory_iterator(prefix_ + "/dosdevices", ec))
      if (link.is_symlink(ec) && std::filesystem::read_symlink(link.path(), ec).string().starts_with(dir_ + "/"))
        std::filesystem::remove(link.path(), ec);
  if (!nothing_mounted_below(dir_)) return;  // never delete through a mount
  std::filesystem::remove_all(dir_, ec);
}

Status Session::make_prefix(const std::string& prefix) {
  std::error_code ec;
  std::filesystem::create_directories(prefix + "/dosdevices", ec);
  if (ec) return Error{prefix + ": " + ec.message()};
  prefix_ = prefix;
  setenv("HIVEMEND_PREFIX", prefix.c_str(), 1);
  if (!win32::define_drive('z', "/")) return Error{prefix + ": cannot link drive Z:"};
  return base::Ok{};
}

Result<OpenedVolume> open_drives(const Options& o, Session& session, bool read_only) {
  OpenedVolume source;
  for (const auto& [letter, volume] : o.drives) {
    if (pending_signal()) return Error{interrupted() + "; volumes unmounted"};
    // A drive whose hives are written must be a disk's Windows partition; a drive only
    // looked up in may be its only NTFS partition.
    const char upper = char(std::toupper(letter));
    const DriveUse use{.read_only = read_only,
                       .written = o.restore || o.dst.find(upper) != std::string::npos,
                       .remove_hiberfile = o.remove_hiberfile};
    auto root = open_volume(upper, volume, session.path("mnt"), use, session.mounts);
    if (!root) return root.error();
    if (root->hiberfile_removed) session.hiberfile_removed += upper;
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
