#include "win32/process.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "win32/error.h"
#include "win32/registry.h"
#include "win32/sync.h"

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
  commit_mounted_hives();
  std::fflush(nullptr);
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

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  using Clock = std::chrono::steady_clock;
  if (is_current_process(hHandle)) {
    // The caller is running, so its own handle is not signalled: the wait times out.
    if (dwMilliseconds == INFINITE)
      for (;;) sleep_ms(60000);
    sleep_ms(dwMilliseconds);
    return WAIT_TIMEOUT;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
  // Objects shared with other processes change without notice here: poll them, more
  // slowly the longer the wait lasts.
  DWORD pause = 1;
  for (;;) {
    switch (try_take(hHandle)) {
      case TakeResult::Taken: return WAIT_OBJECT_0;
      case TakeResult::Abandoned: return WAIT_ABANDONED;
      case TakeResult::NotSyncObject: return fail(ERROR_INVALID_HANDLE, DWORD(WAIT_FAILED));
      case TakeResult::Busy: break;
    }
    if (dwMilliseconds != INFINITE) {
      const auto now = Clock::now();
      if (now >= deadline) return WAIT_TIMEOUT;
      pause = std::min<DWORD>(pause, DWORD(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
    }
    sleep_ms(pause);
    pause = std::min<DWORD>(pause * 2, 50);
  }
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (!is_current_process(hProcess)) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpExitCode) return fail(ERROR_NOACCESS, FALSE);
  *lpExitCode = STILL_ACTIVE;
  return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (!is_current_process(hProcess)) return fail(ERROR_INVALID_HANDLE, FALSE);
  commit_mounted_hives();
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
