#include "tests/support/ntfs_volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "tests/support/files.h"

namespace hivemend::testing {
namespace {

// Runs a program with arguments, output discarded; returns its exit status (-1 when
// it could not be started).
int run(const std::vector<std::string>& argv) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // dup2 rather than freopen: the child must not flush the parent's stdio buffers.
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// No volume, for `reason`.
std::nullptr_t refuse(std::string* why_not, std::string reason) {
  if (why_not) *why_not = std::move(reason);
  return nullptr;
}

// When process `pid` started (field 22 of its /proc stat), "" when there is no such
// process: with the pid, it names one process whatever pids are handed out again.
std::string start_time_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return "";
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {}
  return field;
}

constexpr const char* kVolumeFolders = "/tmp";
constexpr const char* kVolumePrefix = "hivemend-ntfs-";

// Volumes of test processes that died before their volume was unmounted (killed, or
// ended by a closed pipe): each folder names its owner, and a folder whose owner is
// gone is unmounted and removed, so that no run leaves mounts behind for good.
void remove_leftovers() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(kVolumeFolders, ec)) {
    if (!entry.path().filename().string().starts_with(kVolumePrefix)) continue;
    std::ifstream owner(entry.path() / "owner");
    pid_t pid = 0;
    std::string started;
    if (!(owner >> pid >> started) || start_time_of(pid) == started) continue;
    const std::string point = (entry.path() / "mnt").string();
    if (run({"mountpoint", "-q", point}) == 0 && run({"umount", point}) != 0) run({"umount", "-l", point});
    std::filesystem::remove_all(entry.path(), ec);
  }
}

}  // namespace

std::unique_ptr<NtfsVolume> NtfsVolume::prepare(std::string* why_not) {
  if (geteuid() != 0) return refuse(why_not, "not root (ntfs-3g mounts need it here)");
  if (access("/dev/fuse", R_OK | W_OK) != 0) return refuse(why_not, "/dev/fuse is missing or not usable");

  remove_leftovers();
  std::string tmpl = std::string(kVolumeFolders) + "/" + kVolumePrefix + "XXXXXX";
  if (!mkdtemp(tmpl.data())) return refuse(why_not, "cannot make a temporary folder");
  std::unique_ptr<NtfsVolume> vol(new NtfsVolume);
  vol->dir_ = tmpl;
  std::ofstream(vol->dir_ + "/owner") << getpid() << ' ' << start_time_of(getpid()) << '\n';
  mkdir((vol->dir_ + "/mnt").c_str(), 0755);
  return vol;
}

bool NtfsVolume::mount() {
  // streams_interface=xattr keeps named streams apart from the ntfs_* attributes;
  // no automatic DOS names: a name has a short form only when a test gives it one.
  if (run({"ntfs-3g", "-o", "streams_interface=xattr,noatime", image(), dir_ + "/mnt"}) != 0) return false;
  root_ = dir_ + "/mnt";
  return true;
}

std::unique_ptr<NtfsVolume> NtfsVolume::create(std::string* why_not, int megabytes) {
  auto vol = prepare(why_not);
  if (!vol) return nullptr;
  const std::string image = vol->image();
  if (FILE* f = fopen(image.c_str(), "w")) fclose(f);
  if (truncate(image.c_str(), off_t(megabytes) << 20) != 0) return refuse(why_not, "cannot size the image file");
  if (run({"mkntfs", "-F", "-Q", "-q", image}) != 0) return refuse(why_not, "mkntfs failed or is not installed");
  if (!vol->mount()) return refuse(why_not, "ntfs-3g could not mount the image");
  return vol;
}

std::unique_ptr<NtfsVolume> NtfsVolume::of_image(const std::vector<uint8_t>& image, std::string* why_not) {
  auto vol = prepare(why_not);
  if (!vol) return nullptr;
  if (!write_bytes(vol->image(), image)) return refuse(why_not, "cannot write the image file");
  if (!vol->mount()) return refuse(why_not, "ntfs-3g could not mount the image");
  return vol;
}

NtfsVolume::~NtfsVolume() {
  if (!root_.empty()) {
    // A busy mount point (a file still open) is detached lazily rather than left behind.
    if (run({"umount", root_}) != 0) run({"umount", "-l", root_});
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

bool NtfsVolume::set_short_name(const std::string& path, const std::string& short_name) {
  return setxattr(path.c_str(), "system.ntfs_dos_name", short_name.data(), short_name.size(), 0) == 0;
}

bool NtfsVolume::make_junction(const std::string& path, const std::u16string& target) {
  // A mount point reparse buffer: tag, data length, reserved, then the substitute name
  // ("\\??\\" + target) and the print name (target), each with its terminator.
  const std::u16string substitute = u"\\??\\" + target;
  std::vector<uint8_t> data;
  auto u16 = [&](uint32_t v) { data.push_back(uint8_t(v)), data.push_back(uint8_t(v >> 8)); };
  auto text = [&](const std::u16string& t) {
    for (char16_t c : t) u16(c);
    u16(0);
  };
  const uint32_t substitute_bytes = uint32_t(substitute.size() * 2), print_bytes = uint32_t(target.size() * 2);
  const uint32_t paths = substitute_bytes + 2 + print_bytes + 2;
  u16(0x0003), u16(0xA000);  // IO_REPARSE_TAG_MOUNT_POINT
  u16(8 + paths), u16(0);
  u16(0), u16(substitute_bytes), u16(substitute_bytes + 2), u16(print_bytes);
  text(substitute);
  text(target);
  return setxattr(path.c_str(), "system.ntfs_reparse_data", data.data(), data.size(), 0) == 0;
}

std::string NtfsVolume::short_name(const std::string& path) {
  char buf[64];
  ssize_t n = getxattr(path.c_str(), "system.ntfs_dos_name", buf, sizeof buf);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

}  // namespace hivemend::testing
