// String resources: LoadStringW on the language resource libraries built beside the
// programs, and on this test program's own table (the null instance).
#include "win32/user32/resource.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/unicode.h"
#include "tests/support/prefix.h"
#include "win32/kernel32/module.h"

extern "C" __attribute__((visibility("default")))
const HIVEMEND_STRING_RESOURCE HivemendStringTable[] = {{100, u"Own program"}, {0, nullptr}};

namespace {

using hivemend::testing::TestPrefix;

// A component of the build's bin folder as a Windows path (Z: is the Linux root).
std::u16string bin_file(const char* name) {
  std::u16string path = u"Z:" + base::from_utf8(std::string(HIVEMEND_BIN_DIR) + "/" + name);
  for (auto& c : path)
    if (c == u'/') c = u'\\';
  return path;
}

constexpr DWORD kUntouched = 0xDEADBEEF;

TEST(LoadString, CopiesCutsAndReportsMissingStrings) {
  TestPrefix prefix;
  HMODULE eng = LoadLibraryW(bin_file("resources.ENG.dll").c_str());
  ASSERT_NE(eng, nullptr);
  // text: what the buffer holds afterwards.
  const struct {
    HINSTANCE module;
    UINT id;
    int size, result;
    const char16_t* text;
    DWORD error;
  } cases[] = {
      {eng, 10022, 64, 14, u"TsoHandOff.exe", kUntouched},
      {eng, 10022 | 0x50000, 64, 14, u"TsoHandOff.exe", kUntouched},  // only the low word counts
      {eng, 10022, 5, 4, u"TsoH", kUntouched},
      {eng, 10022, 1, 0, u"#", kUntouched},  // no room: nothing written
      {eng, 10001, 64, 0, u"", kUntouched},  // in a block with others: an empty string
      {eng, 4242, 64, 0, u"#", ERROR_RESOURCE_NAME_NOT_FOUND},
      {nullptr, 100, 64, 11, u"Own program", kUntouched},
      {nullptr, 10022, 64, 0, u"#", ERROR_RESOURCE_NAME_NOT_FOUND},
      {reinterpret_cast<HINSTANCE>(uintptr_t(0x7ff0)), 100, 64, 0, u"#", ERROR_RESOURCE_DATA_NOT_FOUND},
  };
  for (const auto& c : cases) {
    WCHAR buf[64] = u"#";
    SetLastError(kUntouched);
    EXPECT_EQ(LoadStringW(c.module, c.id, buf, c.size), c.result) << c.id;
    EXPECT_EQ(std::u16string(buf), c.text) << c.id;
    EXPECT_EQ(GetLastError(), c.error) << c.id;
  }
  const WCHAR* text = nullptr;
  EXPECT_EQ(LoadStringW(eng, 10023, reinterpret_cast<LPWSTR>(&text), 0), 8);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::u16string(text, 8), u"hivemend");

  // A library without a table of its own (it links the layer, which has none either).
  HMODULE security = LoadLibraryW(bin_file("Security.dll").c_str());
  ASSERT_NE(security, nullptr);
  WCHAR buf[8];
  EXPECT_EQ(LoadStringW(security, 100, buf, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
  FreeLibrary(security);
  FreeLibrary(eng);
}

TEST(LoadString, EveryLanguageLibraryNamesTheHandOffProgramInItsLanguage) {
  TestPrefix prefix;
  std::set<std::u16string> captions;
  for (const char* language : {"DEU", "ENG", "SPN", "FRC", "ITN", "JPN", "NTL"}) {
    HMODULE m = LoadLibraryW(bin_file((std::string("resources.") + language + ".dll").c_str()).c_str());
    ASSERT_NE(m, nullptr) << language;
    WCHAR buf[500];
    EXPECT_EQ(LoadStringW(m, 10022, buf, 500), 14) << language;
    EXPECT_GT(LoadStringW(m, 9002, buf, 500), 0) << language;
    EXPECT_GT(LoadStringW(m, 1005, buf, 500), 0) << language;
    captions.insert(buf);
    FreeLibrary(m);
  }
  EXPECT_EQ(captions.size(), 7u) << "each language its own caption";
}

}  // namespace
