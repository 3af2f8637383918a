// The platform layer for a test: a prefix of its own (HIVEMEND_PREFIX points at a fresh
// temporary folder for the life of the object and is restored afterwards), the mount
// privileges, an owner of an open registry key. Header-only: it uses the platform layer,
// which not every test program links.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/files.h"
#include "win32/advapi32/registry.h"
#include "win32/advapi32/security.h"
#include "win32/host/prefix.h"

namespace hivemend::testing {

class TestPrefix {
 public:
  TestPrefix() {
    if (const char* old = std::getenv("HIVEMEND_PREFIX")) old_ = old;
    setenv("HIVEMEND_PREFIX", dir_.root().c_str(), 1);
  }
  ~TestPrefix() {
    if (old_)
      setenv("HIVEMEND_PREFIX", old_->c_str(), 1);
    else
      unsetenv("HIVEMEND_PREFIX");
  }
  TestPrefix(const TestPrefix&) = delete;
  TestPrefix& operator=(const TestPrefix&) = delete;

  const std::string& dir() const { return dir_.root(); }
  // A folder of the test's own inside the prefix folder, made with its parents.
  std::string folder(const std::string& name) const {
    std::filesystem::create_directories(dir_.path(name));
    return dir_.path(name);
  }
  bool define_drive(char letter, const std::string& target) const { return bool(win32::define_drive(letter, target)); }
  std::string log_path() const { return dir_.path("logs/hivemend.log"); }
  std::string system_reg() const { return dir_.path("system.reg"); }
  // Replaces the machine registry with REGEDIT5 text (the header is added).
  bool write_registry(const std::string& body) const {
    return write_text(system_reg(), "Windows Registry Editor Version 5.00\r\n\r\n" + body);
  }

 private:
  TempDir dir_;
  std::optional<std::string> old_;
};

// Enables or disables one privilege of the process token; false on failure.
inline bool set_privilege(const char16_t* name, bool enable) {
  HANDLE token = nullptr;
  TOKEN_PRIVILEGES privileges{1, {{{0, 0}, enable ? SE_PRIVILEGE_ENABLED : 0u}}};
  return OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) &&
         LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
         AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

// Enables the backup and restore privileges that mounting a hive needs (tests run as
// an administrator, who holds them disabled), or disables them.
inline bool enable_mount_privileges(bool enable = true) {
  return set_privilege(SE_BACKUP_NAME, enable) && set_privilege(SE_RESTORE_NAME, enable);
}

}  // namespace hivemend::testing
