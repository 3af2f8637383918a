// Processes and threads (processthreadsapi.h, synchapi.h waits, the thread message
// queue of winuser.h): the calling process, and child processes started from a Windows
// command line, whose process and thread handles live in the handle table.
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

#define DEBUG_PROCESS 0x00000001u
#define CREATE_SUSPENDED 0x00000004u
#define CREATE_NEW_CONSOLE 0x00000010u
#define NORMAL_PRIORITY_CLASS 0x00000020u
#define IDLE_PRIORITY_CLASS 0x00000040u
#define HIGH_PRIORITY_CLASS 0x00000080u
#define REALTIME_PRIORITY_CLASS 0x00000100u
#define CREATE_UNICODE_ENVIRONMENT 0x00000400u
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000u
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000u
#define CREATE_NO_WINDOW 0x08000000u

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;
static_assert(sizeof(STARTUPINFOW) == 104, "the 64-bit Windows layout");

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// Starts a program. Without lpApplicationName the program is the command line's first
// token: up to the closing quote when it begins with one; otherwise Windows' rule for an
// unquoted path with blanks: each text up to a blank is tried in turn, then the whole
// line ("C:\Program Files\Tessaro\X.exe a" tries C:\Program, C:\Program Files\Tessaro\X.exe,
// then the whole text). A candidate whose file name has no extension gets ".exe"; a
// name without a folder is looked for in the program's folder, then the current
// directory. lpApplicationName, when given, is the program's path as it stands.
// Paths go through the drive letters. The child's command line is lpCommandLine (else
// lpApplicationName); it receives it as GetCommandLineW and as its arguments, split by
// the Windows C runtime's rules, so a child reads what a Windows program would.
// lpEnvironment: NULL for the caller's environment, or a block of "NAME=value" texts
// ended by an empty one (wide with CREATE_UNICODE_ENVIRONMENT). lpCurrentDirectory: a
// Windows path, or NULL. Creation flags: the priority classes (all run at normal
// priority), CREATE_UNICODE_ENVIRONMENT, CREATE_NO_WINDOW. Without bInheritHandles the
// child gets only standard input, output and error. The process's handles and ids go to
// lpProcessInformation; the thread id is the process id (the Linux main thread's).
// Failures: ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND (no program), ERROR_ACCESS_DENIED
// (a folder, or not executable), ERROR_BAD_EXE_FORMAT, ERROR_DIRECTORY (no such current
// directory), ERROR_INVALID_PARAMETER (no command line at all, no lpProcessInformation or
// lpStartupInfo, other creation flags).
BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                           LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);

// The calling process's command line (processenv.h): the text its parent gave
// CreateProcessW, else the Linux arguments joined with blanks, those holding a blank,
// a tab or nothing in double quotes.
LPWSTR WINAPI GetCommandLineW();

// The pseudo handle of the calling process, (HANDLE)-1 (defined with the token
// functions in win32/advapi32/security.cc). It names the caller in every function here.
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
// gives WAIT_TIMEOUT. A child's process or thread handle is signalled once the child has
// ended; a change notification once a change was seen (win32/kernel32/change.h).
// WAIT_FAILED with ERROR_INVALID_HANDLE for a handle that cannot be waited on.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// STILL_ACTIVE for the calling process, which runs while it asks, and for a child that
// runs; an ended child's exit code (a child killed by a Linux signal: 128 + the signal,
// as a shell reports it). A thread handle or any other value: ERROR_INVALID_HANDLE.
BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);

// Ends the calling process at once with uExitCode: no destructors or exit handlers run
// and open files are not flushed, as on Windows. The registry's mounted hives are
// written back first, since nothing else would write them. A child process is killed
// and then reports uExitCode as its exit code (an ended child: FALSE with
// ERROR_ACCESS_DENIED). Any other value: FALSE with ERROR_INVALID_HANDLE.
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
