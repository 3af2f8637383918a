// Security.dll: enables or disables one privilege of the process token by name, the way
// the product's programs ask for what they need at start-up.
#include "win32/advapi32/security.h"
#include "win32/host/error.h"
#include "win32/kernel32/handle.h"
#include "win32/types.h"

// Turns the privilege on (enable non-zero) or off in the calling process's token.
// Returns TRUE when the token now has it in that state; FALSE when the name is unknown,
// the token does not hold the privilege (a user who is no administrator) or the token
// cannot be opened, with the reason in the last error.
extern "C" __attribute__((visibility("default"))) BOOL SET_PRIVILEGE(const WCHAR* name, int enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return FALSE;
  TOKEN_PRIVILEGES wanted{};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  BOOL ok = LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr);
  // AdjustTokenPrivileges succeeds also for a privilege the token lacks; only the last
  // error tells.
  if (ok && GetLastError() == ERROR_NOT_ALL_ASSIGNED) ok = FALSE;
  const DWORD error = GetLastError();
  CloseHandle(token);
  SetLastError(ok ? DWORD(ERROR_SUCCESS) : error);
  return ok;
}
