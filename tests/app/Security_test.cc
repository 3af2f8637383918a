// Security.dll as the program meets it: loaded by its Windows name from the program's
// folder, SET_PRIVILEGE found by name, and the privilege then enabled in the token.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/unicode.h"
#include "win32/advapi32/security.h"
#include "win32/host/error.h"
#include "win32/kernel32/module.h"

namespace {

using SetPrivilege = BOOL (*)(const WCHAR*, int);

SetPrivilege load_set_privilege() {
  HMODULE library = LoadLibraryW(u"Security.dll");
  if (!library) return nullptr;
  // Through void(*)(), the generic function pointer type, as GCC wants for such casts.
  return reinterpret_cast<SetPrivilege>(reinterpret_cast<void (*)()>(GetProcAddress(library, "SET_PRIVILEGE")));
}

TEST(SecurityDll, EnablesAndDisablesPrivilegesOfAnAdministrator) {
  if (geteuid() != 0) GTEST_SKIP() << "privileges are held by administrators (root) only";
  SetPrivilege set_privilege = load_set_privilege();
  ASSERT_NE(set_privilege, nullptr);
  const char16_t* names[] = {u"SeBackupPrivilege", u"SeSecurityPrivilege", u"SeTakeOwnershipPrivilege",
                             u"SeRestorePrivilege", u"sebackupprivilege"};
  for (const char16_t* name : names) {
    SCOPED_TRACE(base::to_utf8(name));
    EXPECT_TRUE(set_privilege(name, 0));
    EXPECT_FALSE(hivemend::win32::privilege_enabled(name));
    EXPECT_TRUE(set_privilege(name, 1));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_TRUE(hivemend::win32::privilege_enabled(name));
  }
  // Enabling one leaves the others as they were.
  EXPECT_TRUE(set_privilege(u"SeRestorePrivilege", 0));
  EXPECT_TRUE(hivemend::win32::privilege_enabled(u"SeBackupPrivilege"));
  EXPECT_FALSE(hivemend::win32::privilege_enabled(u"SeRestorePrivilege"));
}

TEST(SecurityDll, RefusesUnknownNamesAndPrivilegesNotHeld) {
  SetPrivilege set_privilege = load_set_privilege();
  ASSERT_NE(set_privilege, nullptr);
  EXPECT_FALSE(set_privilege(u"SeNoSuchPrivilege", 1));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_PRIVILEGE));
  EXPECT_FALSE(set_privilege(u"", 1));

  if (geteuid() != 0) {
    EXPECT_FALSE(set_privilege(u"SeBackupPrivilege", 1));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
    return;
  }
  // A user who is no administrator holds no privilege to enable.
  const pid_t pid = fork();
  if (pid == 0) {
    if (setuid(65534) != 0) _exit(2);
    const bool refused = !set_privilege(u"SeBackupPrivilege", 1) && GetLastError() == DWORD(ERROR_NOT_ALL_ASSIGNED) &&
                         !hivemend::win32::privilege_enabled(u"SeBackupPrivilege");
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
