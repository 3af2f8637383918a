#include "tools/hivemend-repair/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/unique_fd.h"

namespace hivemend::repair_tool {

namespace {

volatile sig_atomic_t g_signal = 0;

void on_signal(int signal) { g_signal = signal; }

// In the child, between fork and exec: only what is safe there, then exec or _exit.
[[noreturn]] void become(const std::vector<std::string>& argv, const ChildSetup& setup, pid_t parent) {
  if (setup.own_session) setsid();
  // A parent that ended before the request was made is not seen by it.
  if (setup.ends_with_parent && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) _exit(126);
  for (const auto& e : setup.env) putenv(const_cast<char*>(e.c_str()));
  auto output_file = [](const std::string& path) {
    return path.empty() ? open("/dev/null", O_WRONLY) : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  };
  if (!setup.inherit_output) {
    const int out = output_file(setup.output);
    dup2(out, STDOUT_FILENO);
    dup2(setup.errors.empty() ? out : output_file(setup.errors), STDERR_FILENO);
  }
  if (setup.listen_fd >= 0) {
    constexpr int kFirstPassedFd = 3;
    if (setup.listen_fd == kFirstPassedFd)
      fcntl(setup.listen_fd, F_SETFD, 0);
    else
      dup2(setup.listen_fd, kFirstPassedFd);
    // The child's own pid, which only it knows before exec.
    static char listen_pid[32];
    std::snprintf(listen_pid, sizeof listen_pid, "LISTEN_PID=%d", int(getpid()));
    putenv(listen_pid);
    putenv(const_cast<char*>("LISTEN_FDS=1"));
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// A descriptor that becomes readable when `child` ends, so that a wait wakes at its end
// rather than at the next tick of a clock; none on a kernel before Linux 5.3.
base::UniqueFd end_of(pid_t child) { return base::UniqueFd(int(syscall(SYS_pidfd_open, child, 0))); }

// Sleeps until the child of `end` ends, `limit` passes or a signal comes.
void sleep_until_end(const base::UniqueFd& end, std::chrono::milliseconds limit) {
  if (!end) return std::this_thread::sleep_for(limit);
  pollfd ends{end.get(), POLLIN, 0};
  poll(&ends, 1, int(limit.count()));
}

}  // namespace

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int pending_signal() { return g_signal; }

std::string interrupted() {
  const char* name = sigabbrev_np(g_signal);
  return std::string("interrupted by a signal") + (name ? std::string(" (SIG") + name + ")" : std::string());
}

Result<pid_t> start_child(const std::vector<std::string>& argv, const ChildSetup& setup) {
  std::fflush(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) return Error{"cannot start " + argv.front() + ": " + std::strerror(errno)};
  if (child == 0) become(argv, setup, parent);
  return child;
}

std::optional<int> wait_child(pid_t child, void (*on_tick)(void*), void* context, std::chrono::milliseconds every) {
  const base::UniqueFd end = end_of(child);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    // A terminal's ^C reaches the child too, which may end of it first.
    if (done == child) return pending_signal() ? std::nullopt : std::optional<int>(exit_code(status));
    if (pending_signal()) {
      kill(child, SIGTERM);
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
      return std::nullopt;
    }
    if (on_tick) on_tick(context);
    sleep_until_end(end, every);
  }
}

std::optional<int> wait_child_for(pid_t child, std::chrono::milliseconds limit) {
  using std::chrono::steady_clock;
  const auto deadline = limit == kForever ? steady_clock::time_point::max() : steady_clock::now() + limit;
  const base::UniqueFd end = limit.count() > 0 ? end_of(child) : base::UniqueFd();
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done < 0 && errno != EINTR) return 0;  // not ours to wait for any more
    const auto now = steady_clock::now();
    if (now >= deadline) return std::nullopt;
    // Waking now and then also where no descriptor tells of the end.
    sleep_until_end(
        end, std::min(std::chrono::milliseconds(20), std::chrono::ceil<std::chrono::milliseconds>(deadline - now)));
  }
}

void end_child(pid_t child, std::chrono::milliseconds limit) {
  if (child <= 0 || wait_child_for(child, limit)) return;
  kill(child, SIGTERM);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
}

int run_to_end(const std::vector<std::string>& argv, const ChildSetup& setup) {
  ChildSetup apart = setup;
  apart.own_session = true;
  const auto child = start_child(argv, apart);
  if (!child) return -1;
  int status = 0;
  while (waitpid(*child, &status, 0) < 0 && errno == EINTR) {}
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_whole_file(const std::string& path) {
  // A folder opens as a stream, and its first read throws.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return "";
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace hivemend::repair_tool
