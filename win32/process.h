// Processes and threads (processthreadsapi.h, synchapi.h waits, the thread message
// queue of winuser.h). The calling process is the one process known so far; starting
// other programs comes later and adds process handles to the handle table.
#pragma once

#include "win32/types.h"

using WPARAM = ULONG_PTR;
using LPARAM = LONG_PTR;

#define STILL_ACTIVE 259L
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED 0xFFFFFFFFu
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define ERROR_INVALID_THREAD_ID 1444L

// The pseudo handle of the calling process, (HANDLE)-1 (defined with the token
// functions in win32/security.cc). It names the caller in every function here.
HANDLE WINAPI GetCurrentProcess();
DWORD WINAPI GetCurrentProcessId();
// The Linux thread id, which is unique among the running threads of the machine as a
// Windows thread id is.
DWORD WINAPI GetCurrentThreadId();

// Waits until the object is signalled or dwMilliseconds have passed (INFINITE: no
// limit). A mutex is signalled when no thread owns it (taking it gives WAIT_OBJECT_0, or
// WAIT_ABANDONED when its owner ended without releasing it), a semaphore while its count
// is above zero (taking it lowers the count). A process is signalled once it has ended,
// so the calling process's own handle never is: that wait always runs its full time and
// gives WAIT_TIMEOUT. WAIT_FAILED with ERROR_INVALID_HANDLE for a handle that cannot be
// waited on.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// STILL_ACTIVE for the calling process, which runs while it asks.
BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);

// Ends the calling process at once with uExitCode: no destructors or exit handlers run
// and open files are not flushed, as on Windows. The registry's mounted hives are
// written back first, since nothing else would write them. Any other process handle:
// FALSE with ERROR_INVALID_HANDLE.
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);

// Ends the calling process with uExitCode. The C runtime's exit handlers and static
// destructors do not run (the program's own clean-up is the runtime's exit(), not
// this); standard output and error are flushed and mounted hives written back, as the
// libraries' detach routines would on Windows.
[[noreturn]] void WINAPI ExitProcess(UINT uExitCode);

// Puts a message on the queue of the thread idThread. Only threads of this process that
// live have a queue; another id: FALSE with ERROR_INVALID_THREAD_ID. A queue that nobody
// reads simply keeps its messages.
BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);

namespace hivemend::win32 {

struct ThreadMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// Takes the oldest message posted to the calling thread, if any (what a message loop's
// PeekMessage with PM_REMOVE does).
bool take_thread_message(ThreadMessage& out);

}  // namespace hivemend::win32
