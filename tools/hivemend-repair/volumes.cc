#include "tools/hivemend-repair/volumes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace hivemend::repair_tool {

namespace {

volatile sig_atomic_t g_signal = 0;

void on_signal(int signal) { g_signal = signal; }

// The mount points of the mount table whose source is `source`.
std::vector<std::string> mounted_at(const std::string& source) {
  std::vector<std::string> points;
  std::ifstream table("/proc/self/mounts");
  std::string device, point, rest;
  while (table >> device >> point && std::getline(table, rest))
    if (device == source) points.push_back(point);
  return points;
}

bool is_mount_point(const std::string& point) {
  std::ifstream table("/proc/self/mounts");
  std::string device, at, rest;
  while (table >> device >> at && std::getline(table, rest))
    if (at == point) return true;
  return false;
}

// An NTFS boot sector names its file system at byte 3.
bool holds_ntfs(const std::string& path) {
  char sector[11] = {};
  std::ifstream in(path, std::ios::binary);
  return in.read(sector, sizeof sector) && std::memcmp(sector + 3, "NTFS    ", 8) == 0;
}

// Runs a program to its end, whatever signal came: the unmounting must finish.
int run_to_end(const std::vector<std::string>& argv) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

int pending_signal() { return g_signal; }

Mount::~Mount() {
  // A mount still busy (a process of ours gone astray keeps a file open) is retried
  // briefly, then detached lazily rather than left behind.
  bool done = false;
  for (int attempt = 0; attempt < 20 && !done; ++attempt) {
    done = run_to_end({"umount", point_}) == 0 || !is_mount_point(point_);
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!done) run_to_end({"umount", "-l", point_});
  int status = 0;
  while (waitpid(driver_, &status, 0) < 0 && errno == EINTR) {
  }
  rmdir(point_.c_str());
}

VolumeRoot open_volume(const std::string& volume, const std::string& mount_dir, bool read_only,
                       std::vector<std::unique_ptr<Mount>>& mounts) {
  std::error_code ec;
  const std::string real = std::filesystem::canonical(volume, ec).string();
  if (ec) return {"", volume + ": " + ec.message()};
  struct stat st;
  if (stat(real.c_str(), &st) != 0) return {"", volume + ": " + std::strerror(errno)};
  if (S_ISDIR(st.st_mode)) return {real, ""};
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return {"", volume + ": neither a folder, an image file nor a block device"};
  for (const auto& mount : mounts)
    if (mount->source() == real) return {mount->point(), ""};
  if (!holds_ntfs(real)) return {"", volume + ": not an NTFS volume (no NTFS boot sector)"};
  if (auto points = mounted_at(real); !points.empty())
    return {"", volume + ": busy: mounted at " + points.front() + " (unmount it, or give that folder)"};

  const std::string point = mount_dir + "/" + std::to_string(mounts.size());
  std::filesystem::create_directories(point, ec);
  if (ec) return {"", point + ": " + ec.message()};
  // no_detach keeps ntfs-3g our child, so that its end (after unmounting) says that
  // every write has reached the volume; a session of its own keeps a terminal's ^C
  // from killing it under a mounted volume.
  std::string options = "streams_interface=xattr,no_detach";
  if (read_only) options += ",ro";
  const std::string log = point + ".log";
  std::fflush(nullptr);
  const pid_t driver = fork();
  if (driver < 0) return {"", volume + ": cannot start ntfs-3g: " + std::strerror(errno)};
  if (driver == 0) {
    setsid();
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execlp("ntfs-3g", "ntfs-3g", "-o", options.c_str(), real.c_str(), point.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int waited = 0;; waited += 20) {
    if (is_mount_point(point)) {
      mounts.push_back(std::make_unique<Mount>(real, point, driver));
      return {point, ""};
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
      return {"", volume + ": ntfs-3g could not mount it" + (last.empty() ? std::string() : ": " + last)};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<int> run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const std::string& out_file, void (*on_tick)(void*), void* context,
                             bool merge_errors) {
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
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return std::nullopt;
    }
    if (on_tick) on_tick(context);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace hivemend::repair_tool
