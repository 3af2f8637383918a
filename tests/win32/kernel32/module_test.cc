// Library loading and the program's file name, with the test library TestModule.dll
// built beside the test programs.
#include "win32/kernel32/module.h"

#include <gtest/gtest.h>

#include "base/unicode.h"
#include "tests/support/files.h"
#include "tests/support/prefix.h"

namespace {

using namespace hivemend::testing;

std::u16string module_name(HMODULE m) {
  char16_t buf[MAX_PATH];
  const DWORD n = GetModuleFileNameW(m, buf, MAX_PATH);
  return n ? std::u16string(buf, n) : std::u16string();
}

TEST(LoadLibrary, BareNamesAreFoundInTheProgramsFolder) {
  TestPrefix prefix;
  const struct {
    const char16_t* name;
    bool loads;
    DWORD error;
  } cases[] = {
      {u"TestModule.dll", true, 0},
      {u"testmodule", true, 0},  // ".dll" added, any case
      {u"TESTMODULE.DLL", true, 0},
      {u"TestModule.", false, ERROR_MOD_NOT_FOUND},  // a trailing '.' means no extension
      {u"NoSuchModule.dll", false, ERROR_MOD_NOT_FOUND},
  };
  HMODULE first = LoadLibraryW(u"TestModule.dll");  // held, so every load below is the same module
  ASSERT_NE(first, nullptr);
  for (const auto& c : cases) {
    HMODULE m = LoadLibraryW(c.name);
    EXPECT_EQ(m != nullptr, c.loads) << base::to_utf8(c.name);
    if (!m) {
      EXPECT_EQ(GetLastError(), c.error) << base::to_utf8(c.name);
      continue;
    }
    EXPECT_EQ(m, first) << "one library, one module";
    EXPECT_TRUE(FreeLibrary(m));
  }
  HMODULE a = LoadLibraryA("TestModule.dll");
  EXPECT_EQ(a, first);
  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(LoadLibrary, ExportsByNameAndOrdinal) {
  TestPrefix prefix;
  HMODULE m = LoadLibraryW(u"TestModule.dll");
  ASSERT_NE(m, nullptr);
  auto add = reinterpret_cast<int (*)(int, int)>(GetProcAddress(m, "TestModuleAdd"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(m, MAKEINTRESOURCEA(7)));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);

  // By name, by an ordinal naming a missing symbol, by an ordinal not in the table.
  for (LPCSTR proc : {LPCSTR("NoSuchExport"), LPCSTR(MAKEINTRESOURCEA(9)), LPCSTR(MAKEINTRESOURCEA(3))}) {
    EXPECT_EQ(GetProcAddress(m, proc), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
  }
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1234), "TestModuleAdd"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(LoadLibrary, WindowsPathsThroughDriveLetters) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.define_drive('b', HIVEMEND_BIN_DIR));
  ASSERT_TRUE(write_text(prefix.dir() + "/other/Broken.dll", "not an ELF file"));
  ASSERT_TRUE(prefix.define_drive('o', prefix.dir() + "/other"));

  HMODULE m = LoadLibraryW(u"b:\\testmodule.DLL");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(module_name(m), u"B:\\TestModule.dll");
  EXPECT_TRUE(FreeLibrary(m));

  EXPECT_EQ(LoadLibraryW(u"O:\\broken.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
  EXPECT_EQ(LoadLibraryW(u"O:\\absent.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(GetModuleFileName, ProgramAsAWindowsPath) {
  TestPrefix prefix;
  // Under no other letter the program is under Z:.
  const std::u16string z_name = module_name(nullptr);
  ASSERT_TRUE(z_name.starts_with(u"Z:\\")) << base::to_utf8(z_name);
  EXPECT_TRUE(z_name.ends_with(u"\\win32_module_test")) << base::to_utf8(z_name);

  ASSERT_TRUE(prefix.define_drive('b', HIVEMEND_BIN_DIR));
  EXPECT_EQ(module_name(nullptr), u"B:\\win32_module_test");

  // A buffer too small: cut, terminated, nSize returned, ERROR_INSUFFICIENT_BUFFER.
  char16_t small[6];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 6u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(small), u"B:\\wi");
}

}  // namespace
