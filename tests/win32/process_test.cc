// The calling process as Windows shows it to itself: waits on its own handle, its exit
// code while it runs, ending itself, and the thread message queue.
#include "win32/process.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "win32/error.h"

namespace {

using namespace hivemend::win32;

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

TEST(Process, WaitOnItselfRunsTheFullTimeout) {
  for (DWORD ms : {0u, 50u, 300u}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), ms), DWORD(WAIT_TIMEOUT)) << ms;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
  }
}

TEST(Process, HandlesThatCannotBeWaitedOn) {
  // (INVALID_HANDLE_VALUE is the current process's pseudo handle, as on Windows.)
  for (uintptr_t value : {uintptr_t(0), uintptr_t(3), uintptr_t(0x7ff0)}) {
    HANDLE h = reinterpret_cast<HANDLE>(value);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 10), DWORD(WAIT_FAILED));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
}

TEST(Process, ExitCodeOfTheRunningSelf) {
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
  EXPECT_EQ(code, DWORD(STILL_ACTIVE));
  EXPECT_FALSE(GetExitCodeProcess(reinterpret_cast<HANDLE>(uintptr_t(0x7ff0)), &code));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(uintptr_t(0x7ff0)), 3));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Process, WaysToEnd) {
  struct Case {
    const char* what;
    void (*end)();
    int exit_code;
    const char* output;
  } cases[] = {
      // Nothing of the runtime's exit runs, and unflushed output is lost.
      {"TerminateProcess 0", [] { std::fputs("lost", stdout); TerminateProcess(GetCurrentProcess(), 0); }, 0, ""},
      {"TerminateProcess 5", [] { TerminateProcess(GetCurrentProcess(), 5); }, 5, ""},
      // Output is flushed, exit handlers do not run.
      {"ExitProcess 2", [] { std::fputs("kept", stdout); ExitProcess(2); }, 2, "kept"},
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


}  // namespace
