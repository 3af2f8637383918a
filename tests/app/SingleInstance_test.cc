// The single-instance guard: which named object each tool index gives, in which
// namespace the product's setting puts it, and what a refusal leaves behind.
#include "app/SingleInstance.h"

#include <gtest/gtest.h>

#include <string>

#include "base/unicode.h"
#include "settings/Options.h"
#include "tests/support/repair_fixture.h"
#include "win32/kernel32/handle_table.h"
#include "win32/kernel32/process.h"
#include "win32/kernel32/sync.h"

namespace {

using hivemend::testing::semaphore_exists;
using hivemend::testing::TestPrefix;

const std::string kAppPaths = hivemend::testing::app_paths("Hivemend");

std::string install_global(const std::string& key, const std::string& data) {
  return "[" + key + "\\Settings\\Setup]\r\n\"InstallGlobal\"=" + data + "\r\n\r\n";
}

bool mutex_exists(const std::u16string& name) {
  HANDLE h = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name.c_str());
  if (h) CloseHandle(h);
  return h != nullptr;
}

TEST(SingleInstance, NamespaceFollowsInstallGlobal) {
  const std::string root = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Hivemend";
  struct Case {
    const char* what;
    std::string registry;
    const char16_t* expected_prefix;
  } cases[] = {
      {"NO", kAppPaths + install_global(root, "\"NO\""), u"Local\\"},
      {"missing", kAppPaths, u"Global\\"},
      {"no", kAppPaths + install_global(root, "\"no\""), u"Global\\"},
      {"NOT", kAppPaths + install_global(root, "\"NOT\""), u"Global\\"},
      {"NO and a blank", kAppPaths + install_global(root, "\"NO \""), u"Global\\"},
      {"empty", kAppPaths + install_global(root, "\"\""), u"Global\\"},
      {"NO under another product", install_global("HKEY_LOCAL_MACHINE\\SOFTWARE\\Other", "\"NO\""), u"Global\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(c.registry));
    COrnOptions options(nullptr);
    HANDLE guard = nullptr;
    EXPECT_TRUE(CheckSingleInstance(&options, kToolIndexTalvin, &guard));
    EXPECT_NE(guard, nullptr);
    const std::u16string other_prefix = std::u16string(c.expected_prefix) == u"Local\\" ? u"Global\\" : u"Local\\";
    EXPECT_TRUE(semaphore_exists(std::u16string(c.expected_prefix) + u"TALVIN99"));
    EXPECT_FALSE(semaphore_exists(other_prefix + u"TALVIN99"));
    CloseHandle(guard);
  }
}

TEST(SingleInstance, ToolIndexesPickTheirNames) {
  struct Case {
    DWORD index;
    const char16_t* mutex;  // nullptr: no row
    int slot;
    const char16_t* semaphore;
  } cases[] = {
      {0, nullptr, -1, nullptr},
      {1, u"TsoTalvin", 0, u"TALVIN99"},
      {2, u"TsoMorvel", 1, u"MORVEL99"},
      {3, u"TsoQuenby", 2, u"QUENBY99"},
      {4, u"TsoVendle", 3, u"VENDLE99"},
      {5, u"TsoKestin", 4, u"KESTIN99"},
      {6, u"TsoHolmby", 4, u"HOLMBY99"},
      {7, u"TsoAmbrel", 4, u"AMBREL99"},
      {8, nullptr, -1, nullptr},
      {10, u"TsoWickmar", 5, u"WICKMAR99"},
      {11, u"TsoHivemend", 5, u"HIVEMEND99"},
      {12, nullptr, -1, nullptr},
      {0xFFFFFFFF, nullptr, -1, nullptr},
  };
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(kAppPaths));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    COrnOptions options(nullptr);
    const size_t handles_before = hivemend::win32::HandleTable::instance().size();

    // Semaphore form.
    HANDLE guard = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(CheckSingleInstance(&options, c.index, &guard));
    if (c.semaphore) {
      ASSERT_NE(guard, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(semaphore_exists(u"Global\\" + std::u16string(c.semaphore)));
      CloseHandle(guard);
    } else {
      EXPECT_EQ(guard, INVALID_HANDLE_VALUE);
    }

    // Mutex form.
    EXPECT_TRUE(CheckSingleInstance(&options, c.index, nullptr));
    for (int slot = 0; slot < int(kToolMutexSlots); ++slot)
      EXPECT_EQ(options.m_hToolMutex[slot] != nullptr, slot == c.slot) << "slot " << slot;
    if (c.mutex) {
      EXPECT_TRUE(mutex_exists(u"Global\\" + std::u16string(c.mutex)));
      CloseHandle(options.m_hToolMutex[c.slot]);
    } else {
      EXPECT_EQ(hivemend::win32::HandleTable::instance().size(), handles_before);
    }
  }
}

TEST(SingleInstance, SemaphoreRefusalKeepsAHandleToTheExistingOne) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(kAppPaths));
  HANDLE other_tool = CreateSemaphoreW(nullptr, 0, 1, u"Global\\TALVIN99");
  ASSERT_NE(other_tool, nullptr);
  COrnOptions options(nullptr);
  HANDLE guard = nullptr;
  EXPECT_FALSE(CheckSingleInstance(&options, kToolIndexTalvin, &guard));
  ASSERT_NE(guard, nullptr);
  // The same semaphore: what one handle releases, the other takes.
  EXPECT_TRUE(ReleaseSemaphore(guard, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(other_tool, 0), DWORD(WAIT_OBJECT_0));
  CloseHandle(guard);
  CloseHandle(other_tool);
  // Once nobody holds it, the guard lets the caller go on.
  EXPECT_TRUE(CheckSingleInstance(&options, kToolIndexTalvin, &guard));
  CloseHandle(guard);
}

TEST(SingleInstance, MutexRefusalStoresTheExistingMutexInItsSlot) {
  TestPrefix prefix;
  ASSERT_TRUE(
      prefix.write_registry(kAppPaths + install_global("HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Hivemend", "\"NO\"")));
  HANDLE running = CreateMutexW(nullptr, FALSE, u"Local\\TsoHivemend");
  ASSERT_NE(running, nullptr);
  COrnOptions options(nullptr);
  HANDLE earlier = reinterpret_cast<HANDLE>(uintptr_t(0x1000));
  options.m_hToolMutex[5] = earlier;
  EXPECT_FALSE(CheckSingleInstance(&options, kToolIndexHivemend, nullptr));
  HANDLE slot = options.m_hToolMutex[5];
  ASSERT_NE(slot, nullptr);
  ASSERT_NE(slot, earlier);
  // The same mutex: taken once through each handle, it releases twice.
  EXPECT_EQ(WaitForSingleObject(slot, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_EQ(WaitForSingleObject(running, 0), DWORD(WAIT_OBJECT_0));
  EXPECT_TRUE(ReleaseMutex(running));
  EXPECT_TRUE(ReleaseMutex(running));
  EXPECT_FALSE(ReleaseMutex(slot));
  CloseHandle(slot);
  CloseHandle(running);
}

TEST(SingleInstance, FailuresOtherThanExistence) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(kAppPaths));
  // The tool's names held by objects of the other kind: neither can be created.
  HANDLE semaphore_named_like_mutex = CreateSemaphoreW(nullptr, 0, 1, u"Global\\TsoTalvin");
  HANDLE mutex_named_like_semaphore = CreateMutexW(nullptr, FALSE, u"Global\\TALVIN99");
  COrnOptions options(nullptr);
  // Mutex form: a failed creation refuses, and the slot holds the null handle.
  options.m_hToolMutex[0] = reinterpret_cast<HANDLE>(uintptr_t(0x1000));
  EXPECT_FALSE(CheckSingleInstance(&options, kToolIndexTalvin, nullptr));
  EXPECT_EQ(options.m_hToolMutex[0], nullptr);
  // Semaphore form: a failed creation lets the caller go on without an object.
  HANDLE guard = INVALID_HANDLE_VALUE;
  EXPECT_TRUE(CheckSingleInstance(&options, kToolIndexTalvin, &guard));
  EXPECT_EQ(guard, nullptr);
  CloseHandle(semaphore_named_like_mutex);
  CloseHandle(mutex_named_like_semaphore);
}

}  // namespace
