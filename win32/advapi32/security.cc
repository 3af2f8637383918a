#include "win32/advapi32/security.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/unicode.h"
#include "win32/host/error.h"

namespace hivemend::win32 {

namespace {

// The privileges of a Windows token, with the LUIDs Windows gives them (their order in
// the table is their number, from 2).
constexpr std::array<std::u16string_view, 35> kPrivilegeNames = {
    u"SeCreateTokenPrivilege",
    u"SeAssignPrimaryTokenPrivilege",
    u"SeLockMemoryPrivilege",
    u"SeIncreaseQuotaPrivilege",
    u"SeMachineAccountPrivilege",
    u"SeTcbPrivilege",
    u"SeSecurityPrivilege",
    u"SeTakeOwnershipPrivilege",
    u"SeLoadDriverPrivilege",
    u"SeSystemProfilePrivilege",
    u"SeSystemtimePrivilege",
    u"SeProfileSingleProcessPrivilege",
    u"SeIncreaseBasePriorityPrivilege",
    u"SeCreatePagefilePrivilege",
    u"SeCreatePermanentPrivilege",
    u"SeBackupPrivilege",
    u"SeRestorePrivilege",
    u"SeShutdownPrivilege",
    u"SeDebugPrivilege",
    u"SeAuditPrivilege",
    u"SeSystemEnvironmentPrivilege",
    u"SeChangeNotifyPrivilege",
    u"SeRemoteShutdownPrivilege",
    u"SeUndockPrivilege",
    u"SeSyncAgentPrivilege",
    u"SeEnableDelegationPrivilege",
    u"SeManageVolumePrivilege",
    u"SeImpersonatePrivilege",
    u"SeCreateGlobalPrivilege",
    u"SeTrustedCredManAccessPrivilege",
    u"SeRelabelPrivilege",
    u"SeIncreaseWorkingSetPrivilege",
    u"SeTimeZonePrivilege",
    u"SeCreateSymbolicLinkPrivilege",
    u"SeDelegateSessionUserImpersonatePrivilege",
};
constexpr DWORD kFirstLuid = 2;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentProcessToken = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4));

// The enabled privileges of the process token, one bit per LUID.
struct TokenState {
  std::mutex mutex;
  uint64_t enabled = 0;
};
TokenState& token() {
  static TokenState* state = new TokenState;  // never destroyed: used during exit
  return *state;
}

bool is_administrator() { return geteuid() == 0; }

bool is_known_luid(const LUID& luid) {
  return luid.HighPart == 0 && luid.LowPart >= kFirstLuid && luid.LowPart < kFirstLuid + kPrivilegeNames.size();
}

bool is_current_token(HANDLE h) { return h == kCurrentProcessToken; }

// The layout of a SID in memory, as Windows lays it out.
struct SidLayout {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[8];
};
constexpr size_t kSidHeader = offsetof(SidLayout, SubAuthority);

bool sid_is(const SidLayout* sid, BYTE authority, std::initializer_list<DWORD> rids) {
  static constexpr BYTE zeros[5] = {};
  if (sid->SubAuthorityCount != rids.size() || sid->IdentifierAuthority.Value[5] != authority ||
      std::memcmp(sid->IdentifierAuthority.Value, zeros, 5) != 0)
    return false;
  size_t i = 0;
  for (DWORD rid : rids)
    if (sid->SubAuthority[i++] != rid) return false;
  return true;
}

}  // namespace

bool privilege_enabled(const char16_t* name) {
  LUID luid;
  if (!is_administrator() || !LookupPrivilegeValueW(nullptr, name, &luid)) return false;
  std::lock_guard lock(token().mutex);
  return (token().enabled >> luid.LowPart) & 1;
}

}  // namespace hivemend::win32

using namespace hivemend::win32;

HANDLE WINAPI GetCurrentProcess() { return kCurrentProcess; }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD /*DesiredAccess*/, PHANDLE TokenHandle) {
  if (!TokenHandle) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (ProcessHandle != kCurrentProcess) return fail(ERROR_INVALID_HANDLE, FALSE);
  *TokenHandle = kCurrentProcessToken;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (!lpName || !lpLuid) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (lpSystemName && *lpSystemName) return fail(ERROR_BAD_NETPATH, FALSE);
  const std::u16string_view name(lpName);
  for (size_t i = 0; i < kPrivilegeNames.size(); ++i) {
    if (base::equal_nocase(name, kPrivilegeNames[i])) {
      *lpLuid = LUID{DWORD(kFirstLuid + i), 0};
      return TRUE;
    }
  }
  return fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  if (!lpName) return fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::u16string system = lpSystemName ? base::from_utf8(lpSystemName) : std::u16string();
  const std::u16string name = base::from_utf8(lpName);
  return LookupPrivilegeValueW(lpSystemName ? system.c_str() : nullptr, name.c_str(), lpLuid);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  if (!is_current_token(TokenHandle)) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DisableAllPrivileges && !NewState) return fail(ERROR_INVALID_PARAMETER, FALSE);
  const bool held = is_administrator();
  TokenState& state = token();
  std::lock_guard lock(state.mutex);

  // The privileges that change and the state they go to.
  uint64_t target = state.enabled;
  bool all_assigned = true;
  if (DisableAllPrivileges) {
    target = 0;
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
      if (!is_known_luid(entry.Luid) || !held) {
        all_assigned = false;
        continue;
      }
      const uint64_t bit = uint64_t(1) << entry.Luid.LowPart;
      if (entry.Attributes & (SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT))
        target |= bit;
      else
        target &= ~bit;
    }
  }
  const uint64_t changed = target ^ state.enabled;

  if (PreviousState) {
    const DWORD count = DWORD(__builtin_popcountll(changed));
    const DWORD needed = DWORD(offsetof(TOKEN_PRIVILEGES, Privileges) + count * sizeof(LUID_AND_ATTRIBUTES));
    if (ReturnLength) *ReturnLength = needed;
    if (BufferLength < needed) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    PreviousState->PrivilegeCount = count;
    DWORD n = 0;
    for (DWORD luid = 0; luid < 64; ++luid) {
      if (!((changed >> luid) & 1)) continue;
      PreviousState->Privileges[n].Luid = LUID{luid, 0};
      PreviousState->Privileges[n].Attributes = ((state.enabled >> luid) & 1) ? SE_PRIVILEGE_ENABLED : 0;
      ++n;
    }
  }
  state.enabled = target;
  SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
  if (!pIdentifierAuthority || !pSid || nSubAuthorityCount == 0 || nSubAuthorityCount > 8)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  // A C interface: the caller owns the block until FreeSid gives it back.
  auto* sid = static_cast<SidLayout*>(std::calloc(1, sizeof(SidLayout)));
  if (!sid) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  sid->Revision = 1;
  sid->SubAuthorityCount = nSubAuthorityCount;
  sid->IdentifierAuthority = *pIdentifierAuthority;
  const DWORD rids[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                         nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  std::memcpy(sid->SubAuthority, rids, nSubAuthorityCount * sizeof(DWORD));
  *pSid = sid;
  return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid) {
  std::free(pSid);
  return nullptr;
}

BOOL WINAPI IsValidSid(PSID pSid) {
  const auto* sid = static_cast<const SidLayout*>(pSid);
  return sid && sid->Revision == 1 && sid->SubAuthorityCount <= 8;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  if (!IsValidSid(pSid1) || !IsValidSid(pSid2)) return fail(ERROR_INVALID_PARAMETER, FALSE);
  const auto* a = static_cast<const SidLayout*>(pSid1);
  const auto* b = static_cast<const SidLayout*>(pSid2);
  SetLastError(ERROR_SUCCESS);
  return std::memcmp(a, b, kSidHeader + a->SubAuthorityCount * sizeof(DWORD)) == 0;
}

BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, BOOL* IsMember) {
  if (!IsMember || !IsValidSid(SidToCheck)) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (TokenHandle && !is_current_token(TokenHandle)) return fail(ERROR_INVALID_HANDLE, FALSE);
  const auto* sid = static_cast<const SidLayout*>(SidToCheck);
  const bool everyone = sid_is(sid, 1, {SECURITY_WORLD_RID});
  const bool users = sid_is(sid, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
  const bool admins = sid_is(sid, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  *IsMember = everyone || users || (admins && is_administrator());
  return TRUE;
}
