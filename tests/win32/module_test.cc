// Library loading and the program's file name, with the test library TestModule.dll
// built beside the test programs.
#include "win32/module.h"

#include <gtest/gtest.h>

#include "tests/win32/temp_prefix.h"

namespace {

using win32_test::TempPrefix;

std::u16string module_name(HMODULE m) {
  char16_t buf[MAX_PATH];
  const DWORD n = GetModuleFileNameW(m, buf, MAX_PATH);
  return n ? std::u16string(buf, n) : std::u16string();
}

TEST(LoadLibrary, BareNamesAreFoundInTheProgramsFolder) {
  TempPrefix prefix;
  struct Case {
    const char16_t* name;
    bool loads;
    DWORD error;
  } cases[] = {
      {u"TestModule.dll", true, 0},
      {u"testmodule", true, 0},        // ".dll" added, any case
      {u"TESTMODULE.DLL", true, 0},
      {u"TestModule.", false, ERROR_MOD_NOT_FOUND},  // a trailing '.' means no extension
      {u"NoSuchModule.dll", false, ERROR_MOD_NOT_FOUND},
  };
  HMODULE first = LoadLibraryW(u"TestModule.dll");  // held, so every load below is the same module
  ASSERT_NE(first, nullptr);
  for (const auto& c : cases) {
    HMODULE m = LoadLibraryW(c.name);
    EXPECT_EQ(m != nullptr, c.loads) << win32_test::utf8(c.name);
    if (!m) {
      EXPECT_EQ(GetLastError(), c.error) << win32_test::utf8(c.name);
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
  TempPrefix prefix;
  HMODULE m = LoadLibraryW(u"TestModule.dll");
  ASSERT_NE(m, nullptr);
  auto add = reinterpret_cast<int (*)(int, int)>(GetProcAddress(m, "TestModuleAdd"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(m, MAKEINTRESOURCEA(7)));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);

  struct Case {
    LPCSTR proc;
    const char* what;
  } missing[] = {{"NoSuchExport", "name"}, {MAKEINTRESOURCEA(9), "ordinal naming a missing symbol"},
                 {MAKEINTRESOURCEA(3), "ordinal not in the table"}};
  for (const auto& c : missing) {
    EXPECT_EQ(GetProcAddress(m, c.proc), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND)) << c.what;
  }
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1234), "TestModuleAdd"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

TEST(LoadLibrary, WindowsPathsThroughDriveLetters) {
  TempPrefix prefix;
  ASSERT_TRUE(prefix.define('b', HIVEMEND_BIN_DIR));
  const std::string other = prefix.folder("other");
  win32_test::write_text(other + "/Broken.dll", "not an ELF file");
  ASSERT_TRUE(prefix.define('o', other));

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
  TempPrefix prefix;
  // Under no other letter the program is under Z:.
  const std::u16string z_name = module_name(nullptr);
  ASSERT_TRUE(z_name.starts_with(u"Z:\\")) << regf::to_utf8(z_name);
  EXPECT_TRUE(z_name.ends_with(u"\\win32_module_test")) << regf::to_utf8(z_name);

  ASSERT_TRUE(prefix.define('b', HIVEMEND_BIN_DIR));
  EXPECT_EQ(module_name(nullptr), u"B:\\win32_module_test");

  // A buffer too small: cut, terminated, nSize returned, ERROR_INSUFFICIENT_BUFFER.
  char16_t small[6];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 6u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(small), u"B:\\wi");
}

}  // namespace
