#include "tools/hivemend-repair/volumes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/unique_fd.h"
#include "win32/path.h"

namespace hivemend::repair_tool {

namespace {

volatile sig_atomic_t g_signal = 0;

void on_signal(int signal) { g_signal = signal; }

// The mount points of the mount table whose source is `source`.
std::vector<std::string> mounted_at(const std::string& source) {
  std::vector<std::string> points;
  for (const MountEntry& m : mount_table())
    if (m.source == source) points.push_back(m.point);
  return points;
}

bool is_mount_point(const std::string& point) {
  const auto table = mount_table();
  return std::any_of(table.begin(), table.end(), [&](const MountEntry& m) { return m.point == point; });
}

// The first line of a small file ("" when it cannot be read).
std::string first_line_of(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Where the bytes [offset, offset + size) of the image file `real` are mounted through a
// loop device that is not one of this run's ("/dev/loop3 is mounted at /mnt/x"), or "".
// Mounting the same NTFS volume twice, each driver unaware of the other, would corrupt it.
std::string mounted_through_loop(const std::string& real, uint64_t offset, uint64_t size,
                                 const std::vector<std::unique_ptr<Mount>>& mounts) {
  struct stat image;
  if (stat(real.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return "";
  std::error_code ec;
  for (const auto& block : std::filesystem::directory_iterator("/sys/block", ec)) {
    const std::string name = block.path().filename();
    if (name.rfind("loop", 0) != 0) continue;
    std::string backing = first_line_of(block.path() / "loop/backing_file");
    if (const size_t deleted = backing.rfind(" (deleted)"); deleted != std::string::npos) backing.resize(deleted);
    struct stat st;
    if (backing.empty() || stat(backing.c_str(), &st) != 0 || st.st_dev != image.st_dev || st.st_ino != image.st_ino)
      continue;
    const uint64_t start = std::strtoull(first_line_of(block.path() / "loop/offset").c_str(), nullptr, 10);
    const uint64_t limit = std::strtoull(first_line_of(block.path() / "loop/sizelimit").c_str(), nullptr, 10);
    if (start >= offset + size || (limit != 0 && start + limit <= offset)) continue;  // other bytes of the disk
    // The device itself or one of its partitions, mounted by someone else than this run.
    const std::string device = "/dev/" + name;
    for (const MountEntry& m : mount_table()) {
      if (m.source != device && m.source.rfind(device + "p", 0) != 0) continue;
      const bool ours =
          std::any_of(mounts.begin(), mounts.end(), [&](const auto& mount) { return mount->point() == m.point; });
      if (!ours) return m.source + " is mounted at " + m.point;
    }
  }
  return "";
}

// An NTFS boot sector (at `offset`, the volume's start) names its file system at byte 3.
bool holds_ntfs(const std::string& path, uint64_t offset) {
  char sector[11] = {};
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  return in.read(sector, sizeof sector) && std::memcmp(sector + 3, "NTFS    ", 8) == 0;
}

// Runs a program to its end, whatever signal came: the unmounting must finish. Its
// first line of output goes to `first_line` when given.
int run_to_end(const std::vector<std::string>& argv, std::string* first_line = nullptr) {
  int pipe_fds[2] = {-1, -1};
  if (first_line && pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(first_line ? pipe_fds[1] : null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (first_line) {
    close(pipe_fds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
      if (n > 0)
        out.append(buffer, size_t(n));
      else if (errno != EINTR)
        break;
    }
    close(pipe_fds[0]);
    *first_line = out.substr(0, out.find('\n'));
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

VolumeRoot found(std::string root) {
  VolumeRoot volume;
  volume.root = std::move(root);
  return volume;
}
VolumeRoot refused(std::string why) {
  VolumeRoot volume;
  volume.error = std::move(why);
  return volume;
}

// Mount points are numbered in the order made, for the life of the run.
int next_point = 0;

}  // namespace

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

int pending_signal() { return g_signal; }

std::vector<MountEntry> mount_table() {
  std::vector<MountEntry> table;
  std::ifstream in("/proc/self/mounts");
  std::string source, point, rest;
  while (in >> source >> point && std::getline(in, rest)) table.push_back({source, point});
  return table;
}

Mount::~Mount() {
  // The Windows layer keeps the drive roots it used open; this process must not be the
  // one that keeps the volume busy.
  win32::close_drive_roots();
  // A mount still busy (a process of ours gone astray keeps a file open) is retried
  // briefly, then detached lazily rather than left behind.
  bool done = false;
  for (int attempt = 0; attempt < 20 && !done; ++attempt) {
    done = run_to_end({"umount", point_}) == 0 || !is_mount_point(point_);
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!done) run_to_end({"umount", "-l", point_});
  // ntfs-3g ends once the volume is written out; a volume detached lazily stays alive
  // while another process holds a file on it, and the run waits for that only briefly.
  bool ended = false;
  for (int waited = 0; (done || waited < 300) && !ended; ++waited) {
    int status = 0;
    const pid_t r = waitpid(driver_, &status, WNOHANG);
    ended = r == driver_ || (r < 0 && errno != EINTR);
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!ended) {
    std::fprintf(stderr,
                 "hivemend-repair: %s: still in use by another process; it is written out when that "
                 "process lets it go\n",
                 source_.c_str());
  }
  // Only once ntfs-3g has closed the loop device does detaching it take effect at once;
  // otherwise it goes when closed.
  if (!loop_.empty()) run_to_end({"losetup", "--detach", loop_});
  rmdir(point_.c_str());
}

namespace {

// Mounts `device` (an image, a block device or our loop device) with ntfs-3g on a fresh
// folder below `mount_dir`; on success the mount is added to `mounts` under `source`.
VolumeRoot mount_ntfs(const std::string& volume, const std::string& device, const std::string& source,
                      const std::string& loop, const std::string& mount_dir, bool read_only,
                      std::vector<std::unique_ptr<Mount>>& mounts) {
  std::error_code ec;
  const std::string point = mount_dir + "/" + std::to_string(next_point++);
  std::filesystem::create_directories(point, ec);
  if (ec) return refused(point + ": " + ec.message());
  // no_detach keeps ntfs-3g our child, so that its end (after unmounting) says that
  // every write has reached the volume; a session of its own keeps a terminal's ^C
  // from killing it under a mounted volume.
  std::string options = "streams_interface=xattr,no_detach";
  if (read_only) options += ",ro";
  const std::string log = point + ".log";
  std::fflush(nullptr);
  const pid_t driver = fork();
  if (driver < 0) return refused(volume + ": cannot start ntfs-3g: " + std::strerror(errno));
  if (driver == 0) {
    setsid();
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execlp("ntfs-3g", "ntfs-3g", "-o", options.c_str(), device.c_str(), point.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int waited = 0;; waited += 20) {
    if (is_mount_point(point)) {
      mounts.push_back(std::make_unique<Mount>(source, point, driver, loop));
      return found(point);
    }
    int status = 0;
    if (waitpid(driver, &status, WNOHANG) == driver || waited > 30000) {
      if (waited > 30000) {
        kill(driver, SIGTERM);
        waitpid(driver, &status, 0);
      }
      rmdir(point.c_str());
      // ntfs-3g's last words say why (a volume in use, a hibernated or unclean volume).
      std::ifstream in(log);
      std::string line, last;
      while (std::getline(in, line))
        if (!line.empty()) last = line;
      return refused(volume + ": ntfs-3g could not mount it" + (last.empty() ? std::string() : ": " + last));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Mounts partition `p` of the disk `real` through a loop device of its own at the
// partition's offset and size: the device nodes of a scanned loop device's partitions
// only appear where udev runs.
VolumeRoot mount_partition(const std::string& volume, const std::string& real, const Partition& p,
                           const std::string& mount_dir, bool read_only, std::vector<std::unique_ptr<Mount>>& mounts) {
  const std::string source = real + ":" + std::to_string(p.number);
  const std::string name = volume + ":" + std::to_string(p.number);
  for (const auto& mount : mounts)
    if (mount->source() == source) return found(mount->point());
  if (!holds_ntfs(real, p.offset)) return refused(name + ": not an NTFS volume (no NTFS boot sector)");
  // A disk device's own partition nodes (/dev/sdb2, /dev/nvme0n1p2) may be mounted.
  for (const std::string& node : {real + std::to_string(p.number), real + "p" + std::to_string(p.number)})
    if (auto points = mounted_at(node); !points.empty())
      return refused(name + ": busy: " + node + " is mounted at " + points.front() +
                     " (unmount it, or give that folder)");
  if (const std::string elsewhere = mounted_through_loop(real, p.offset, p.size, mounts); !elsewhere.empty())
    return refused(name + ": busy: " + elsewhere + " (unmount it, or give that folder)");
  std::vector<std::string> attach = {
      "losetup", "--find", "--show", "--offset", std::to_string(p.offset), "--sizelimit", std::to_string(p.size)};
  if (read_only) attach.push_back("--read-only");
  attach.push_back(real);
  std::string loop;
  if (run_to_end(attach, &loop) != 0 || loop.empty()) return refused(name + ": losetup could not attach a loop device");
  VolumeRoot root = mount_ntfs(name, loop, source, loop, mount_dir, read_only, mounts);
  if (!root.error.empty()) run_to_end({"losetup", "--detach", loop});
  return root;
}

// Whether the volume at `root` holds Windows\System32\config\SYSTEM, each name matched
// as Windows matches it.
bool holds_windows(const std::string& root) {
  auto volume = win32::make_volume_root(base::UniqueFd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
  if (!volume) return false;
  win32::Location at{std::move(volume), ""};
  for (std::u16string_view name : {u"Windows", u"System32", u"config", u"SYSTEM"}) {
    auto entry = win32::find_entry(at, name);
    if (!entry) return false;
    at.relative = at.child(*entry);
  }
  return true;
}

std::string numbers(const std::vector<const Partition*>& partitions) {
  std::string text;
  for (const Partition* p : partitions) text += (text.empty() ? "" : ", ") + std::to_string(p->number);
  return text;
}

// The partition of a disk a drive takes when its VOLUME names none (see open_volume).
// Partitions not mounted by the run yet are looked into read-only.
regf::Result<const Partition*> choose_partition(const std::string& volume, const std::string& real,
                                                const DiskLayout& layout, char letter, const std::string& mount_dir,
                                                bool windows_required, std::vector<std::unique_ptr<Mount>>& mounts) {
  const std::string ask = std::string(": name one, as --drive ") + letter + "=" + volume + ":N";
  std::vector<const Partition*> ntfs, windows;
  std::string unreadable;  // why the first partition that could not be looked into was not
  for (const Partition& p : layout.partitions) {
    if (!holds_ntfs(real, p.offset)) continue;
    ntfs.push_back(&p);
    std::vector<std::unique_ptr<Mount>> look;
    const auto ours = std::find_if(mounts.begin(), mounts.end(),
                                   [&](const auto& m) { return m->source() == real + ":" + std::to_string(p.number); });
    VolumeRoot root =
        ours != mounts.end() ? found((*ours)->point()) : mount_partition(volume, real, p, mount_dir, true, look);
    if (!root.error.empty() && unreadable.empty()) unreadable = root.error;
    if (!root.root.empty() && holds_windows(root.root)) windows.push_back(&p);
  }
  if (windows.size() == 1) return windows.front();
  if (windows.size() > 1)
    return regf::make_error(volume + ": partitions " + numbers(windows) +
                            " each hold Windows\\System32\\config\\SYSTEM" + ask);
  // A partition ntfs-3g refused (hibernated, unclean) may be the one looked for.
  if (windows_required && !unreadable.empty()) return regf::make_error(unreadable);
  if (windows_required) return regf::make_error(volume + ": no partition holds Windows\\System32\\config\\SYSTEM");
  if (ntfs.size() == 1) return ntfs.front();
  if (ntfs.empty()) return regf::make_error(volume + ": no NTFS partition");
  return regf::make_error(volume + ": partitions " + numbers(ntfs) + " hold NTFS and none Windows" + ask);
}

}  // namespace

VolumeRoot open_volume(char letter, const std::string& volume, const std::string& mount_dir, bool read_only,
                       bool windows_required, std::vector<std::unique_ptr<Mount>>& mounts) {
  // A trailing ":N" names partition N of a disk.
  std::string path = volume;
  std::optional<int> number;
  if (const size_t colon = volume.rfind(':'); colon != volume.npos && colon + 1 < volume.size() &&
                                              colon + 5 > volume.size() &&
                                              volume.find_first_not_of("0123456789", colon + 1) == volume.npos) {
    path = volume.substr(0, colon);
    number = std::stoi(volume.substr(colon + 1));
  }
  std::error_code ec;
  const std::string real = std::filesystem::canonical(path, ec).string();
  if (ec) return refused(path + ": " + ec.message());
  struct stat st;
  if (stat(real.c_str(), &st) != 0) return refused(path + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) {
    if (number) return refused(volume + ": a folder has no partitions");
    return found(real);
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return refused(path + ": neither a folder, an image file nor a block device");

  auto layout = ReadDiskLayout(real);
  if (!layout) return refused(path + ": " + layout.error().message);
  if (layout->table != PartitionTable::kNone) {
    const Partition* partition = nullptr;
    if (number) {
      for (const Partition& p : layout->partitions)
        if (p.number == *number) partition = &p;
      if (!partition) {
        std::vector<const Partition*> all;
        for (const Partition& p : layout->partitions) all.push_back(&p);
        return refused(path + ": no partition " + std::to_string(*number) + " (the table has " + numbers(all) + ")");
      }
    } else {
      auto chosen = choose_partition(path, real, *layout, letter, mount_dir, windows_required, mounts);
      if (!chosen) return refused(chosen.error().message);
      partition = *chosen;
    }
    VolumeRoot root = mount_partition(path, real, *partition, mount_dir, read_only, mounts);
    root.table = layout->table;
    root.mbr_signature = layout->mbr_signature;
    return root;
  }

  if (number) return refused(path + ": no partition table, so no partition " + std::to_string(*number));
  for (const auto& mount : mounts)
    if (mount->source() == real) return found(mount->point());
  if (!holds_ntfs(real, 0)) return refused(volume + ": not an NTFS volume (no NTFS boot sector)");
  if (auto points = mounted_at(real); !points.empty())
    return refused(volume + ": busy: mounted at " + points.front() + " (unmount it, or give that folder)");
  if (const std::string elsewhere = mounted_through_loop(real, 0, UINT64_MAX / 2, mounts); !elsewhere.empty())
    return refused(volume + ": busy: " + elsewhere + " (unmount it, or give that folder)");
  return mount_ntfs(volume, real, real, "", mount_dir, read_only, mounts);
}

std::optional<int> run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const std::string& out_file, void (*on_tick)(void*), void* context, bool merge_errors) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    if (!out_file.empty()) dup2(open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    if (merge_errors) dup2(STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (pending_signal()) {
      kill(child, SIGTERM);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
      return std::nullopt;
    }
    if (on_tick) on_tick(context);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace hivemend::repair_tool
