#include "win32/kernel32/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "win32/host/error.h"

namespace {

class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~ScopedVariable() { unsetenv(name_); }

 private:
  const char* name_;
};

TEST(ExpandEnvironmentStrings, ReplacesKnownVariablesOnlyAndGivesTheSizeNeeded) {
  ScopedVariable root("HIVEMEND_TEST_ROOT", "C:\\Windows");
  ScopedVariable empty("HIVEMEND_TEST_EMPTY", "");
  const struct {
    const char *source, *result;
  } cases[] = {
      {"%HIVEMEND_TEST_ROOT%\\system32", "C:\\Windows\\system32"},
      {"%hivemend_test_root%", "C:\\Windows"},  // names in any case
      {"[%HIVEMEND_TEST_EMPTY%]", "[]"},
      {"%HIVEMEND_TEST_UNSET%\\x", "%HIVEMEND_TEST_UNSET%\\x"},
      {"100%", "100%"},
      {"%%", "%%"},
      {"a%HIVEMEND_TEST_UNSET%HIVEMEND_TEST_ROOT%", "a%HIVEMEND_TEST_UNSET%HIVEMEND_TEST_ROOT%"},
      {"%HIVEMEND_TEST_ROOT%%HIVEMEND_TEST_ROOT%", "C:\\WindowsC:\\Windows"},
      {"plain", "plain"},
  };
  for (const auto& c : cases) {
    char buf[128];
    const DWORD n = ExpandEnvironmentStringsA(c.source, buf, sizeof buf);
    EXPECT_EQ(std::string(buf), c.result) << c.source;
    EXPECT_EQ(n, std::string(c.result).size() + 1) << c.source;
  }
  // A small buffer gets the size needed.
  char buf[4] = "xy";
  EXPECT_EQ(ExpandEnvironmentStringsA("%HIVEMEND_TEST_ROOT%", buf, sizeof buf), 11u);
  EXPECT_EQ(ExpandEnvironmentStringsA("%HIVEMEND_TEST_ROOT%", nullptr, 0), 11u);
  EXPECT_EQ(ExpandEnvironmentStringsA(nullptr, buf, sizeof buf), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
