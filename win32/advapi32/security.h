// The process token and security identifiers (securitybaseapi.h, processthreadsapi.h).
//
// One token per process. Its user is an administrator, a member of the built-in
// Administrators group, when the effective Linux user is root (asked at each call, so a
// process that gives up root stops being one). Administrators hold every privilege of
// the table in security.cc; each privilege is disabled until AdjustTokenPrivileges
// enables it, as in a Windows token. Other users hold none.
#pragma once

#include "win32/host/error.h"
#include "win32/types.h"

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
using PLUID = LUID*;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];  // PrivilegeCount entries, as in the Windows header
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001u
#define SE_PRIVILEGE_ENABLED 0x00000002u
#define SE_PRIVILEGE_REMOVED 0x00000004u

#define TOKEN_ASSIGN_PRIMARY 0x0001u
#define TOKEN_DUPLICATE 0x0002u
#define TOKEN_IMPERSONATE 0x0004u
#define TOKEN_QUERY 0x0008u
#define TOKEN_QUERY_SOURCE 0x0010u
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_ADJUST_GROUPS 0x0040u
#define TOKEN_ADJUST_DEFAULT 0x0080u
#define TOKEN_ALL_ACCESS 0x000F01FFu

#define SE_BACKUP_NAME u"SeBackupPrivilege"
#define SE_RESTORE_NAME u"SeRestorePrivilege"
#define SE_SECURITY_NAME u"SeSecurityPrivilege"
#define SE_TAKE_OWNERSHIP_NAME u"SeTakeOwnershipPrivilege"
#define SE_DEBUG_NAME u"SeDebugPrivilege"
#define SE_SHUTDOWN_NAME u"SeShutdownPrivilege"
#define SE_CHANGE_NOTIFY_NAME u"SeChangeNotifyPrivilege"

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
using PSID_IDENTIFIER_AUTHORITY = SID_IDENTIFIER_AUTHORITY*;
using PSID = void*;

#define SECURITY_NULL_SID_AUTHORITY \
  {                                 \
    { 0, 0, 0, 0, 0, 0 }            \
  }
#define SECURITY_WORLD_SID_AUTHORITY \
  {                                  \
    { 0, 0, 0, 0, 0, 1 }             \
  }
#define SECURITY_NT_AUTHORITY \
  {                           \
    { 0, 0, 0, 0, 0, 5 }      \
  }
#define SECURITY_WORLD_RID 0x00000000u
#define SECURITY_LOCAL_SYSTEM_RID 0x00000012u
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020u
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220u
#define DOMAIN_ALIAS_RID_USERS 0x00000221u

// The pseudo handle of the calling process, (HANDLE)-1; closing it does nothing.
HANDLE WINAPI GetCurrentProcess();

// Gives a handle to the process's token. Only the calling process's own token exists
// here: the handle is the token pseudo handle (HANDLE)-4 (Windows' GetCurrentProcessToken),
// which needs no closing; CloseHandle on it reports ERROR_INVALID_HANDLE, which callers
// of this pattern ignore. Another process handle: FALSE with ERROR_INVALID_HANDLE.
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);

// The locally unique identifier of a privilege by name (any case), as Windows numbers
// them (SeBackupPrivilege is 17). Unknown name: FALSE with ERROR_NO_SUCH_PRIVILEGE. Only
// the local system (lpSystemName null or empty) is known.
BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);
BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);

// Enables (SE_PRIVILEGE_ENABLED) or disables privileges held by the token, or disables
// all of them. Succeeds when the call was well formed; the last error then tells whether
// every privilege named was held (ERROR_SUCCESS) or some were not (ERROR_NOT_ALL_ASSIGNED,
// and those stay untouched), exactly as Windows reports it. PreviousState receives the
// earlier state of each privilege changed; a buffer too small for it fails with
// ERROR_INSUFFICIENT_BUFFER and *ReturnLength the size needed, changing nothing.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

// Builds a SID with nSubAuthorityCount (1 to 8) of the eight sub-authorities given; free
// it with FreeSid. A count outside 1..8: FALSE with ERROR_INVALID_PARAMETER.
BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid);
// Frees a SID from AllocateAndInitializeSid; returns null.
PVOID WINAPI FreeSid(PSID pSid);
BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2);
BOOL WINAPI IsValidSid(PSID pSid);

// Whether the token (null: the caller's effective token) holds the group SidToCheck
// enabled: Everyone (S-1-1-0) and Users (S-1-5-32-545) always, Administrators
// (S-1-5-32-544) when the effective user is root, no other group. FALSE with
// ERROR_INVALID_PARAMETER for a missing SID or result pointer.
BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, BOOL* IsMember);

namespace hivemend::win32 {

// Whether the process token holds the privilege and has it enabled (the check behind
// functions that need one, such as RegLoadKeyW).
bool privilege_enabled(const char16_t* name);

}  // namespace hivemend::win32
