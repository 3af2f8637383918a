// The process token: privilege names and numbers, enabling and disabling with Windows'
// results, and Administrators membership by the effective user.
#include "win32/advapi32/security.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "win32/host/error.h"

namespace {

HANDLE token() {
  HANDLE t = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &t));
  return t;
}

// Sets one privilege; the result and the last error.
std::pair<BOOL, DWORD> adjust(const char16_t* name, DWORD attributes) {
  TOKEN_PRIVILEGES p{1, {{{0, 0}, attributes}}};
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &p.Privileges[0].Luid));
  SetLastError(0xdead);
  const BOOL ok = AdjustTokenPrivileges(token(), FALSE, &p, 0, nullptr, nullptr);
  return {ok, GetLastError()};
}

TEST(SecurityTest, PrivilegeNamesHaveWindowsNumbers) {
  const struct {
    const char16_t* name;
    BOOL ok;
    DWORD luid;
  } cases[] = {
      {u"SeSecurityPrivilege", TRUE, 8},
      {u"SeTakeOwnershipPrivilege", TRUE, 9},
      {u"SeBackupPrivilege", TRUE, 17},
      {u"serestoreprivilege", TRUE, 18},
      {u"SeDebugPrivilege", TRUE, 20},
      {u"SeChangeNotifyPrivilege", TRUE, 23},
      {u"SeCreateSymbolicLinkPrivilege", TRUE, 35},
      {u"SeNoSuchPrivilege", FALSE, 0},
      {u"", FALSE, 0},
  };
  for (const auto& c : cases) {
    LUID luid{0xffff, -1};
    SetLastError(0);
    EXPECT_EQ(LookupPrivilegeValueW(nullptr, c.name, &luid), c.ok);
    if (c.ok) {
      EXPECT_EQ(luid.LowPart, c.luid);
      EXPECT_EQ(luid.HighPart, 0);
    } else {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_PRIVILEGE));
    }
  }
  LUID luid;
  EXPECT_TRUE(LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &luid));
  EXPECT_EQ(luid.LowPart, 17u);
  EXPECT_FALSE(LookupPrivilegeValueW(u"\\\\elsewhere", u"SeBackupPrivilege", &luid));
}

TEST(SecurityTest, TokenOfAnotherProcessIsRefused) {
  HANDLE t = nullptr;
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(uintptr_t(0x44)), TOKEN_QUERY, &t));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  TOKEN_PRIVILEGES p{0, {}};
  EXPECT_FALSE(AdjustTokenPrivileges(reinterpret_cast<HANDLE>(uintptr_t(0x44)), FALSE, &p, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(SecurityTest, AdministratorEnablesHeldPrivilegesOneByOne) {
  if (geteuid() != 0) GTEST_SKIP() << "the administrator is root";
  ASSERT_TRUE(AdjustTokenPrivileges(token(), TRUE, nullptr, 0, nullptr, nullptr));
  // Held but disabled until enabled.
  EXPECT_FALSE(hivemend::win32::privilege_enabled(SE_BACKUP_NAME));
  EXPECT_EQ(adjust(SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED), std::make_pair(TRUE, DWORD(ERROR_SUCCESS)));
  EXPECT_TRUE(hivemend::win32::privilege_enabled(SE_BACKUP_NAME));
  EXPECT_FALSE(hivemend::win32::privilege_enabled(SE_RESTORE_NAME));

  // PreviousState reports what changed; too small a buffer changes nothing.
  TOKEN_PRIVILEGES p{1, {{{0, 0}, 0}}};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &p.Privileges[0].Luid));
  TOKEN_PRIVILEGES previous{};
  DWORD needed = 0;
  EXPECT_FALSE(AdjustTokenPrivileges(token(), FALSE, &p, 4, &previous, &needed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, DWORD(sizeof(TOKEN_PRIVILEGES)));
  EXPECT_TRUE(hivemend::win32::privilege_enabled(SE_BACKUP_NAME));
  EXPECT_TRUE(AdjustTokenPrivileges(token(), FALSE, &p, sizeof previous, &previous, &needed));
  EXPECT_EQ(previous.PrivilegeCount, 1u);
  EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 17u);
  EXPECT_EQ(previous.Privileges[0].Attributes, SE_PRIVILEGE_ENABLED);
  EXPECT_FALSE(hivemend::win32::privilege_enabled(SE_BACKUP_NAME));

  // An unknown LUID among known ones: the known ones change, the call says not all.
  struct {
    DWORD count;
    LUID_AND_ATTRIBUTES entries[2];
  } two = {2, {{{18, 0}, SE_PRIVILEGE_ENABLED}, {{999, 0}, SE_PRIVILEGE_ENABLED}}};
  EXPECT_TRUE(AdjustTokenPrivileges(token(), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&two), 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_TRUE(hivemend::win32::privilege_enabled(SE_RESTORE_NAME));
  ASSERT_TRUE(AdjustTokenPrivileges(token(), TRUE, nullptr, 0, nullptr, nullptr));
  EXPECT_FALSE(hivemend::win32::privilege_enabled(SE_RESTORE_NAME));
}

// Runs `body` in a child process whose effective user is not root; its exit code.
template <typename Body>
int as_ordinary_user(Body body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (setresuid(65534, 65534, 65534) != 0) _exit(90);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(SecurityTest, OrdinaryUserHoldsNoPrivilege) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  const int code = as_ordinary_user([] {
    const auto result = adjust(SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED);
    if (result.first != TRUE) return 1;
    if (result.second != DWORD(ERROR_NOT_ALL_ASSIGNED)) return 2;
    return hivemend::win32::privilege_enabled(SE_BACKUP_NAME) ? 3 : 0;
  });
  EXPECT_EQ(code, 0);
}

TEST(SecurityTest, MembershipOfWellKnownGroups) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  const struct {
    SID_IDENTIFIER_AUTHORITY* authority;
    BYTE count;
    DWORD rid0, rid1;
    BOOL as_root, as_user;
  } cases[] = {
      {&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, TRUE, FALSE},
      {&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, TRUE, TRUE},
      {&world, 1, SECURITY_WORLD_RID, 0, TRUE, TRUE},
      {&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, FALSE, FALSE},
      {&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, 0x222, FALSE, FALSE},
  };
  for (const auto& c : cases) {
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(c.authority, c.count, c.rid0, c.rid1, 0, 0, 0, 0, 0, 0, &sid));
    BOOL member = 2;
    EXPECT_TRUE(CheckTokenMembership(nullptr, sid, &member));
    EXPECT_EQ(member, geteuid() == 0 ? c.as_root : c.as_user) << c.rid1;
    if (geteuid() == 0) {
      EXPECT_EQ(as_ordinary_user([sid, &c] {
                  BOOL m = 2;
                  return CheckTokenMembership(nullptr, sid, &m) && m == c.as_user ? 0 : 1;
                }),
                0)
          << c.rid1;
    }
    EXPECT_EQ(FreeSid(sid), nullptr);
  }
  PSID sid = nullptr;
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 0, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  BOOL member;
  EXPECT_FALSE(CheckTokenMembership(nullptr, nullptr, &member));
}

TEST(SecurityTest, EqualSidComparesAuthorityAndSubAuthorities) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID a, b, c, d;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &a));
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 9, 9, 9, 9, 9, 9, &b));  // unused sub-authorities ignored
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &c));
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 2, 32, 544, 0, 0, 0, 0, 0, 0, &d));
  EXPECT_TRUE(EqualSid(a, b));
  EXPECT_FALSE(EqualSid(a, c));
  EXPECT_FALSE(EqualSid(a, d));
  for (PSID s : {a, b, c, d}) FreeSid(s);
}

}  // namespace
