// The calling process as Windows shows it to itself (waits on its own handle, its exit
// code while it runs, ending itself, the thread message queue), and child processes
// started from Windows command lines: which program starts, the arguments and command
// line it gets, waiting for it and its exit code.
#include "win32/kernel32/process.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "base/unicode.h"
#include "tests/support/prefix.h"
#include "win32/host/error.h"
#include "win32/kernel32/handle.h"

namespace {

using namespace hivemend::win32;
using namespace hivemend::testing;

struct Ended {
  int exit_code = -1;
  std::string output;  // what the child wrote to standard output
};

// Runs `body` in a child process whose standard output is a pipe, and collects how it
// ended. A body that returns ends the child with 77.
template <typename Body>
Ended run_child(Body body) {
  int out[2];
  if (pipe(out) != 0) return {};
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    dup2(out[1], 1);
    body();
    _exit(77);
  }
  close(out[1]);
  Ended ended;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) ended.output.append(buf, size_t(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) ended.exit_code = WEXITSTATUS(status);
  return ended;
}

void print_at_exit() { std::fputs("[exit handler]", stdout); }

TEST(Process, ItsOwnHandleAndHandlesOfNothing) {
  // A wait on itself runs the full timeout; its exit code says it still runs.
  for (DWORD ms : {0u, 50u, 300u}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), ms), DWORD(WAIT_TIMEOUT)) << ms;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
  }
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
  EXPECT_EQ(code, DWORD(STILL_ACTIVE));
  // (INVALID_HANDLE_VALUE is the current process's pseudo handle, as on Windows.)
  for (uintptr_t value : {uintptr_t(0), uintptr_t(3), uintptr_t(0x7ff0)}) {
    HANDLE h = reinterpret_cast<HANDLE>(value);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 10), DWORD(WAIT_FAILED));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
  EXPECT_FALSE(GetExitCodeProcess(reinterpret_cast<HANDLE>(uintptr_t(0x7ff0)), &code));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(uintptr_t(0x7ff0)), 3));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Process, WaysToEnd) {
  const struct {
    const char* what;
    void (*end)();
    int exit_code;
    const char* output;
  } cases[] = {
      // Nothing of the runtime's exit runs, and unflushed output is lost.
      {"TerminateProcess 0",
       [] {
         std::fputs("lost", stdout);
         TerminateProcess(GetCurrentProcess(), 0);
       },
       0, ""},
      {"TerminateProcess 5", [] { TerminateProcess(GetCurrentProcess(), 5); }, 5, ""},
      // Output is flushed, exit handlers do not run.
      {"ExitProcess 2",
       [] {
         std::fputs("kept", stdout);
         ExitProcess(2);
       },
       2, "kept"},
      // The runtime's exit, for comparison: the exit handler runs.
      {"exit 2", [] { std::exit(2); }, 2, "[exit handler]"},
  };
  for (const auto& c : cases) {
    Ended ended = run_child([&c] {
      std::atexit(print_at_exit);
      c.end();
    });
    EXPECT_EQ(ended.exit_code, c.exit_code) << c.what;
    EXPECT_EQ(ended.output, c.output) << c.what;
  }
}

TEST(Process, ThreadIdsAndMessageQueues) {
  const DWORD self = GetCurrentThreadId();
  EXPECT_EQ(self, DWORD(gettid()));
  EXPECT_EQ(GetCurrentProcessId(), DWORD(getpid()));

  EXPECT_TRUE(PostThreadMessageW(self, WM_CLOSE, 0, 0));
  EXPECT_TRUE(PostThreadMessageW(self, WM_QUIT, 7, -1));
  ThreadMessage m{};
  ASSERT_TRUE(take_thread_message(m));
  EXPECT_EQ(m.message, UINT(WM_CLOSE));
  ASSERT_TRUE(take_thread_message(m));
  EXPECT_EQ(m.message, UINT(WM_QUIT));
  EXPECT_EQ(m.wParam, WPARAM(7));
  EXPECT_EQ(m.lParam, LPARAM(-1));
  EXPECT_FALSE(take_thread_message(m));

  DWORD other = 0;
  std::thread([&other] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, self);
  // Threads that do not exist here: ended, or never were.
  for (DWORD id : {DWORD(0), other, DWORD(0x7ffffff0)}) {
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(id, WM_CLOSE, 0, 0)) << id;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID)) << id;
  }
}

// A file that may be run, made with `mode`.
void write_file(const std::string& path, const std::string& text, mode_t mode = 0755) {
  write_text(path, text);
  chmod(path.c_str(), mode);
}

// A shell script as a program file: it writes its arguments, one a line, to `record`
// and ends with `exit_code`.
void write_program(const std::string& path, const std::string& record, int exit_code, mode_t mode = 0755) {
  write_file(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\nexit " + std::to_string(exit_code) + "\n",
             mode);
}

struct Started {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD exit_code = 0;
};

BOOL start(std::u16string command_line, PROCESS_INFORMATION& pi, DWORD flags = 0) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  return CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi);
}

Started start_and_wait(std::u16string command_line) {
  PROCESS_INFORMATION pi{};
  Started s;
  s.ok = start(command_line, pi, NORMAL_PRIORITY_CLASS);
  s.error = GetLastError();
  if (!s.ok) return s;
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), DWORD(WAIT_OBJECT_0));
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &s.exit_code));
  EXPECT_EQ(pi.dwProcessId, pi.dwThreadId);
  EXPECT_TRUE(CloseHandle(pi.hProcess));
  EXPECT_TRUE(CloseHandle(pi.hThread));
  return s;
}

TEST(CreateProcess, FindsTheProgramAndHandsItTheArguments) {
  TestPrefix prefix;
  const std::string c = prefix.folder("c");
  ASSERT_TRUE(prefix.define_drive('c', c));
  const std::string record = c + "/record.txt";
  write_program(c + "/Program Files/Tessaro/Record.exe", record, 3);
  write_program(c + "/Program Files/Tessaro/Plain", record, 4);  // no extension: never found
  write_program(c + "/Tools/NotExecutable.exe", record, 0, 0644);
  write_file(c + "/Tools/NoFormat.exe", "no program\n");

  // error 0: it starts; arguments: what the child got after its own name, one a line.
  const struct {
    const char16_t* command_line;
    DWORD error, exit_code;
    const char* arguments;
  } cases[] = {
      // Unquoted with blanks: C:\Program.exe and C:\Program Files\Tessaro\Record.exe are
      // tried in turn, and the child's C runtime splits the text where the blanks are.
      {u"C:\\Program Files\\Tessaro\\Record.exe a \"b c\" d\\\"e f\\\\\"g h\"", 0, 3,
       "Files\\Tessaro\\Record.exe\na\nb c\nd\"e\nf\\g h\n"},
      {u"c:\\PROGRAM FILES\\tessaro\\record", 0, 3, "FILES\\tessaro\\record\n"},  // ".exe" added, any case
      {u"\"C:\\Program Files\\Tessaro\\Record.exe\"  \"\" x\"\"\"y\"", 0, 3, "\nx\"y\n"},
      {u"\"C:\\Program Files\\Tessaro\\Plain\" a", ERROR_FILE_NOT_FOUND, 0, nullptr},
      {u"C:\\Tools\\Missing.exe", ERROR_FILE_NOT_FOUND, 0, nullptr},
      {u"C:\\Nowhere\\Missing.exe", ERROR_PATH_NOT_FOUND, 0, nullptr},
      {u"C:\\Tools\\NotExecutable.exe", ERROR_ACCESS_DENIED, 0, nullptr},
      {u"C:\\Tools\\NoFormat.exe", ERROR_BAD_EXE_FORMAT, 0, nullptr},
  };
  for (const auto& k : cases) {
    std::filesystem::remove(record);
    const Started s = start_and_wait(k.command_line);
    const std::string what = base::to_utf8(k.command_line);
    EXPECT_EQ(s.ok, k.error == 0) << what;
    if (!s.ok) {
      EXPECT_EQ(s.error, k.error) << what;
      continue;
    }
    EXPECT_EQ(s.exit_code, k.exit_code) << what;
    EXPECT_EQ(read_text(record), k.arguments) << what;
  }

  // A program at an earlier blank wins, as on Windows.
  write_program(c + "/Program.exe", record, 5);
  EXPECT_EQ(start_and_wait(u"C:\\Program Files\\Tessaro\\Record.exe a").exit_code, 5u);
}

TEST(CreateProcess, WaitsWithATimeLimitAndTerminates) {
  TestPrefix prefix;
  const std::string c = prefix.folder("c");
  ASSERT_TRUE(prefix.define_drive('c', c));
  write_file(c + "/Sleeper.exe", "#!/bin/sh\nexec sleep 30\n");
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(start(u"C:\\Sleeper.exe", pi));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 50), DWORD(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), DWORD(WAIT_TIMEOUT));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, DWORD(STILL_ACTIVE));

  EXPECT_TRUE(TerminateProcess(pi.hProcess, 9));
  EXPECT_EQ(WaitForSingleObject(pi.hThread, INFINITE), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 9u);
  EXPECT_FALSE(TerminateProcess(pi.hProcess, 1));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(pi.hProcess));
  EXPECT_TRUE(CloseHandle(pi.hThread));
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), DWORD(WAIT_FAILED));
}

}  // namespace
