#include "win32/kernel32/process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/unicode.h"
#include "base/unique_fd.h"
#include "win32/host/detach.h"
#include "win32/host/error.h"
#include "win32/host/path.h"
#include "win32/host/prefix.h"
#include "win32/kernel32/change.h"
#include "win32/kernel32/handle_table.h"
#include "win32/kernel32/sync.h"

extern char** environ;

namespace hivemend::win32 {

namespace {

bool is_current_process(HANDLE h) { return h == GetCurrentProcess(); }

// Thread message queues of this process, by thread id.
std::mutex g_queues_mutex;
std::map<DWORD, std::deque<ThreadMessage>>& queues() {
  static auto* q = new std::map<DWORD, std::deque<ThreadMessage>>;  // never destroyed: used during exit
  return *q;
}

bool thread_of_this_process(DWORD tid) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  return tid != 0 && access(task.c_str(), F_OK) == 0;
}

void sleep_ms(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Before the process ends without the runtime's exit: what libraries would do on detach.
void flush_before_end() {
  run_process_detach();
  std::fflush(nullptr);
}

// The command line a parent gave CreateProcessW travels to the child in this variable;
// the child believes it only when it splits into the arguments the child really got.
constexpr const char* kCommandLineVariable = "HIVEMEND_COMMAND_LINE";

// A started child, shared by its process and thread handles. The child is reaped by
// the first wait or exit-code query that finds it ended.
class ChildProcess {
 public:
  explicit ChildProcess(pid_t pid) : pid_(pid), pidfd_(int(syscall(SYS_pidfd_open, pid, 0))) {}
  ~ChildProcess() {
    // A child nobody waited for: reaped when it has ended, else left to the system.
    reap();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Whether the child has ended (reaping it when it just did).
  bool reap() {
    std::lock_guard lock(mutex_);
    if (ended_) return true;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0) return false;
    ended_ = true;
    if (r == pid_ && WIFEXITED(status))
      exit_code_ = DWORD(WEXITSTATUS(status));
    else if (r == pid_ && WIFSIGNALED(status))
      exit_code_ = DWORD(128 + WTERMSIG(status));
    else
      exit_code_ = 0;  // reaped by someone else: the code is lost
    return true;
  }

  DWORD exit_code() {
    if (!reap()) return STILL_ACTIVE;
    std::lock_guard lock(mutex_);
    return exit_code_;
  }

  bool wait(DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (!reap()) {
      int timeout = -1;
      if (milliseconds != INFINITE) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        timeout = int(std::min<long long>(left, INT_MAX));
      }
      if (pidfd_) {
        pollfd p{pidfd_.get(), POLLIN, 0};
        poll(&p, 1, timeout);
      } else {
        sleep_ms(DWORD(timeout < 0 ? 10 : std::min(timeout, 10)));
      }
    }
    return true;
  }

  // Kills the running child; it then reports `code`. False when it had already ended.
  bool terminate(DWORD code) {
    std::lock_guard lock(mutex_);
    if (ended_ || kill(pid_, SIGKILL) != 0) return false;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
    ended_ = true;
    exit_code_ = code;
    return true;
  }

 private:
  const pid_t pid_;
  const base::UniqueFd pidfd_;
  std::mutex mutex_;
  bool ended_ = false;
  DWORD exit_code_ = STILL_ACTIVE;
};

class ProcessObject : public KernelObject {
 public:
  static constexpr ObjectKind kKind = ObjectKind::Process;
  explicit ProcessObject(std::shared_ptr<ChildProcess> c) : child(std::move(c)) {}
  ObjectKind kind() const override { return kKind; }
  std::shared_ptr<ChildProcess> child;
};

class ThreadObject : public KernelObject {
 public:
  static constexpr ObjectKind kKind = ObjectKind::Thread;
  explicit ThreadObject(std::shared_ptr<ChildProcess> c) : child(std::move(c)) {}
  ObjectKind kind() const override { return kKind; }
  std::shared_ptr<ChildProcess> child;
};

// The child behind a process or thread handle, or null.
std::shared_ptr<ChildProcess> child_of(HANDLE h) {
  auto& table = HandleTable::instance();
  if (auto p = table.get_as<ProcessObject>(h)) return p->child;
  if (auto t = table.get_as<ThreadObject>(h)) return t->child;
  return nullptr;
}

bool is_blank(char16_t c) { return c == u' ' || c == u'\t'; }

// Splits a command line the way the Windows C runtime fills argv: the program token up
// to the closing quote or the first blank or tab; then arguments separated by blanks and
// tabs, where double quotes group, 2n backslashes before a quote give n and the quote
// groups, 2n+1 give n and a literal quote, "" inside a group gives a literal quote, and
// other backslashes stand for themselves.
std::vector<std::u16string> split_command_line(std::u16string_view line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  // The program token knows no escapes.
  if (i < line.size() && line[i] == u'"') {
    const size_t close = line.find(u'"', 1);
    args.emplace_back(line.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1));
    i = close == std::u16string_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && !is_blank(line[i])) ++i;
    args.emplace_back(line.substr(0, i));
  }
  for (;;) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::u16string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !is_blank(line[i]))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == u'\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == u'"') {
        arg.append(backslashes / 2, u'\\');
        if (backslashes % 2) {
          arg += u'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          arg += u'"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(backslashes, u'\\');
        if (i < line.size() && (quoted || !is_blank(line[i]))) arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

// The Linux file of a Windows program path, which must name a regular file.
Expected<std::string> program_file(std::u16string_view windows_path) {
  auto path = parse_windows_path(windows_path);
  if (!path) return WinError{path.error()};
  if (path->components.empty()) return WinError{ERROR_ACCESS_DENIED};
  auto parent = open_directory(*path, path->components.size() - 1);
  if (!parent) return WinError{parent.error()};
  auto name = find_entry(*parent, path->components.back());
  if (!name) return WinError{name.error()};
  auto linux_path = linux_path_of(Location{parent->root, parent->child(*name)});
  if (!linux_path) return WinError{linux_path.error()};
  struct stat st;
  if (stat(linux_path->c_str(), &st) != 0) return WinError{error_from_errno(errno)};
  if (!S_ISREG(st.st_mode)) return WinError{ERROR_ACCESS_DENIED};
  return *linux_path;
}

// The program a command-line candidate names: ".exe" added to a file name without
// extension; a bare name looked for in the program's folder, then the current directory.
Expected<std::string> find_program(std::u16string name) {
  const size_t name_start = name.find_last_of(u"\\/:") + 1;  // 0 when there is none
  if (name.find(u'.', name_start) == std::u16string::npos) name += u".exe";
  if (name_start == 0) {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
      const std::string exe_path(exe, size_t(n));
      if (auto folder = windows_path_of(exe_path.substr(0, exe_path.rfind('/')))) {
        std::u16string candidate = *folder;
        if (candidate.back() != u'\\') candidate += u'\\';
        if (auto found = program_file(candidate + name)) return found;
      }
    }
  }
  return program_file(name);
}

// The program an application name or command line starts (see CreateProcessW).
Expected<std::string> program_of(LPCWSTR application_name, std::u16string_view command_line) {
  if (application_name) return program_file(application_name);
  if (!command_line.empty() && command_line[0] == u'"') {
    const size_t close = command_line.find(u'"', 1);
    return find_program(std::u16string(command_line.substr(1, close == std::u16string_view::npos ? close : close - 1)));
  }
  Expected<std::string> found = WinError{ERROR_FILE_NOT_FOUND};
  for (size_t end = 0; end <= command_line.size(); ++end) {
    if (end < command_line.size() && !is_blank(command_line[end])) continue;
    if (end == 0 || is_blank(command_line[end - 1])) continue;
    found = find_program(std::u16string(command_line.substr(0, end)));
    if (found) return found;
  }
  return found;
}

// The child's environment: an environment block of the caller's (wide with
// CREATE_UNICODE_ENVIRONMENT, else narrow), or the caller's own; then the command line.
std::vector<std::string> child_environment(LPVOID block, bool unicode, const std::string& command_line) {
  std::vector<std::string> env;
  if (block && unicode) {
    for (auto* p = static_cast<const char16_t*>(block); *p; p += std::char_traits<char16_t>::length(p) + 1)
      env.push_back(base::to_utf8(p));
  } else if (block) {
    for (auto* p = static_cast<const char*>(block); *p; p += std::strlen(p) + 1) env.emplace_back(p);
  } else {
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
  }
  const std::string prefix = std::string(kCommandLineVariable) + "=";
  std::erase_if(env, [&](const std::string& v) { return v.starts_with(prefix); });
  env.push_back(prefix + command_line);
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// The Linux arguments of this process, from the kernel's copy.
std::vector<std::u16string> own_arguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> args;
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(base::from_utf8(all.substr(start, end - start)));
    start = end + 1;
  }
  return args;
}

}  // namespace

bool take_thread_message(ThreadMessage& out) {
  std::lock_guard lock(g_queues_mutex);
  auto it = queues().find(GetCurrentThreadId());
  if (it == queues().end() || it->second.empty()) return false;
  out = it->second.front();
  it->second.pop_front();
  return true;
}

}  // namespace hivemend::win32

using namespace hivemend::win32;

DWORD WINAPI GetCurrentProcessId() { return DWORD(getpid()); }

DWORD WINAPI GetCurrentThreadId() { return DWORD(gettid()); }

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  constexpr DWORD kSupportedFlags = NORMAL_PRIORITY_CLASS | IDLE_PRIORITY_CLASS | HIGH_PRIORITY_CLASS |
                                    REALTIME_PRIORITY_CLASS | BELOW_NORMAL_PRIORITY_CLASS |
                                    ABOVE_NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;
  if ((!lpApplicationName && !lpCommandLine) || !lpStartupInfo || !lpProcessInformation ||
      (dwCreationFlags & ~kSupportedFlags))
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::u16string command_line = lpCommandLine ? lpCommandLine : lpApplicationName;
  auto program = program_of(lpApplicationName, command_line);
  if (!program) return fail(program.error(), FALSE);

  std::vector<std::string> argv_strings;
  for (const auto& arg : split_command_line(command_line)) argv_strings.push_back(base::to_utf8(arg));
  if (argv_strings.empty() || argv_strings[0].empty()) argv_strings.insert(argv_strings.begin(), *program);
  std::vector<std::string> env_strings = child_environment(
      lpEnvironment, (dwCreationFlags & CREATE_UNICODE_ENVIRONMENT) != 0, base::to_utf8(command_line));

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> actions_owner(
      &actions, posix_spawn_file_actions_destroy);
  // Kernel objects travel as descriptors here; without inheritance the child must not
  // keep named objects alive or hold files open.
  if (!bInheritHandles) posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string directory;
  if (lpCurrentDirectory) {
    auto path = parse_windows_path(lpCurrentDirectory);
    if (!path) return fail(path.error(), FALSE);
    auto dir = open_directory(*path, path->components.size());
    if (!dir) return fail(ERROR_DIRECTORY, FALSE);
    auto linux_dir = linux_path_of(*dir);
    if (!linux_dir) return fail(linux_dir.error(), FALSE);
    directory = *linux_dir;
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  }

  std::fflush(nullptr);  // the child shares standard output and error
  pid_t pid = 0;
  auto argv = c_strings(argv_strings);
  auto envp = c_strings(env_strings);
  const int err = posix_spawn(&pid, program->c_str(), &actions, nullptr, argv.data(), envp.data());
  if (err != 0) return fail(err == ENOEXEC ? DWORD(ERROR_BAD_EXE_FORMAT) : error_from_errno(err), FALSE);

  auto child = std::make_shared<ChildProcess>(pid);
  auto& table = HandleTable::instance();
  lpProcessInformation->hProcess = table.insert(std::make_shared<ProcessObject>(child));
  lpProcessInformation->hThread = table.insert(std::make_shared<ThreadObject>(child));
  lpProcessInformation->dwProcessId = DWORD(pid);
  lpProcessInformation->dwThreadId = DWORD(pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

LPWSTR WINAPI GetCommandLineW() {
  static std::u16string* text = [] {
    const std::vector<std::u16string> args = own_arguments();
    if (const char* given = std::getenv(kCommandLineVariable)) {
      std::u16string line = base::from_utf8(given);
      if (split_command_line(line) == args) return new std::u16string(std::move(line));
    }
    auto* joined = new std::u16string;
    for (const auto& arg : args) {
      if (!joined->empty()) *joined += u' ';
      const bool quote = arg.empty() || arg.find_first_of(u" \t") != std::u16string::npos;
      *joined += quote ? u"\"" + arg + u"\"" : arg;
    }
    return joined;
  }();
  return text->data();
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  using Clock = std::chrono::steady_clock;
  if (is_current_process(hHandle)) {
    // The caller is running, so its own handle is not signalled: the wait times out.
    if (dwMilliseconds == INFINITE)
      for (;;) sleep_ms(60000);
    sleep_ms(dwMilliseconds);
    return WAIT_TIMEOUT;
  }
  if (auto child = child_of(hHandle)) return child->wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  // A wait of no time looks once and reads no clock: callers poll that way per item.
  const bool timed = dwMilliseconds != 0 && dwMilliseconds != INFINITE;
  const auto deadline = timed ? Clock::now() + std::chrono::milliseconds(dwMilliseconds) : Clock::time_point();
  // Objects shared with other processes change without notice here: poll them, more
  // slowly the longer the wait lasts.
  DWORD pause = 1;
  for (;;) {
    if (const int change = change_signalled(hHandle); change >= 0) {
      if (change) return WAIT_OBJECT_0;
    } else {
      switch (try_take(hHandle)) {
        case TakeResult::Taken: return WAIT_OBJECT_0;
        case TakeResult::Abandoned: return WAIT_ABANDONED;
        case TakeResult::NotSyncObject: return fail(ERROR_INVALID_HANDLE, DWORD(WAIT_FAILED));
        case TakeResult::Busy: break;
      }
    }
    if (dwMilliseconds == 0) return WAIT_TIMEOUT;
    if (timed) {
      const auto now = Clock::now();
      if (now >= deadline) return WAIT_TIMEOUT;
      pause = std::min<DWORD>(pause, DWORD(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
    }
    sleep_ms(pause);
    pause = std::min<DWORD>(pause * 2, 50);
  }
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  auto process = HandleTable::instance().get_as<ProcessObject>(hProcess);
  if (!is_current_process(hProcess) && !process) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpExitCode) return fail(ERROR_NOACCESS, FALSE);
  *lpExitCode = process ? process->child->exit_code() : DWORD(STILL_ACTIVE);
  return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (auto process = HandleTable::instance().get_as<ProcessObject>(hProcess))
    return process->child->terminate(uExitCode) ? TRUE : fail(ERROR_ACCESS_DENIED, FALSE);
  if (!is_current_process(hProcess)) return fail(ERROR_INVALID_HANDLE, FALSE);
  run_process_detach();
  _exit(int(uExitCode));
}

void WINAPI ExitProcess(UINT uExitCode) {
  flush_before_end();
  _exit(int(uExitCode));
}

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (!thread_of_this_process(idThread)) return fail(ERROR_INVALID_THREAD_ID, FALSE);
  std::lock_guard lock(g_queues_mutex);
  queues()[idThread].push_back(ThreadMessage{Msg, wParam, lParam});
  return TRUE;
}
