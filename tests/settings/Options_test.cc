// The settings object: the language and its resource library, the product's settings
// and security values, the device records saved at the end,
// and the one object that GetOptions keeps. The cases without a loadable library run in
// copies of this program in folders that hold only the libraries the case needs.
#include "settings/Options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "settings/RegistryHelpers.h"
#include "tests/settings/child_process.h"
#include "tests/support/repair_fixture.h"
#include "win32/mfc/afxwin.h"

namespace {

using namespace hivemend::testing;

constexpr LPCWSTR kRootKey = u"SOFTWARE\\Tessaro\\Product";

// The product registry root holding `values`, and a subkey of it holding its own.
std::string Product(const std::string& values) {
  return app_paths("Product") + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product]\r\n" + values;
}
std::string Subkey(const std::string& name, const std::string& values) {
  return "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product\\" + name + "]\r\n" + values;
}

// The locale of messages, for the system default language.
void SetLocale(const char* lang) {
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  setenv("LANG", lang, 1);
}

std::optional<DWORD> StoredNumber(LPCWSTR pszKey, LPCWSTR pszName) {
  DWORD value = 0;
  if (!ReadRegValue(HKEY_LOCAL_MACHINE, pszKey, pszName, reinterpret_cast<LPBYTE>(&value), sizeof value))
    return std::nullopt;
  return value;
}

// The file name of the language library, or "none".
std::string LibraryName(HINSTANCE hResources) {
  if (hResources == nullptr) return "none";
  WCHAR path[MAX_PATH] = {};
  if (GetModuleFileNameW(hResources, path, MAX_PATH) == 0) return "<unknown module>";
  const std::string text = u8(path);
  return text.substr(text.rfind('\\') + 1);
}

TEST(Options, ChoosesTheLanguageAndItsLibrary) {
  struct Case {
    const char* stored;  // the "LangID" value as REGEDIT5 data, or nullptr for none
    const char* locale;
    const char* library;
    DWORD lang_id;     // in use, and stored afterwards
    bool root = true;  // the product has a registry root to store it in
  } cases[] = {
      {"dword:00000007", "C", "resources.DEU.dll", 0x0407},
      {"dword:0000000a", "C", "resources.SPN.dll", 0x0C0A},
      {"dword:0000080c", "C", "resources.FRC.dll", 0x080C},
      {"dword:00000010", "C", "resources.ITN.dll", 0x0410},
      {"dword:00000411", "C", "resources.JPN.dll", 0x0411},
      {"dword:00000013", "C", "resources.NTL.dll", 0x0413},
      {"dword:00000419", "de_DE.UTF-8", "resources.ENG.dll", 0x0419},  // a sub-language stays
      {"dword:00000019", "de_DE.UTF-8", "resources.ENG.dll", 0x0409},
      {"dword:00000400", "de_DE.UTF-8", "resources.ENG.dll", 0x0400},  // the first with a sub-language
      {"dword:00010007", "C", "resources.DEU.dll", 0x0407},            // only the low 16 bits count as bare
      {nullptr, "de_AT.UTF-8", "resources.DEU.dll", 0x0C07},
      {nullptr, "C", "resources.ENG.dll", 0x0409},
      {"\"German\"", "it_IT.UTF-8", "resources.ITN.dll", 0x0410},  // unreadable as 4 bytes
      {nullptr, "fr_FR.UTF-8", "resources.FRC.dll", 0x040C, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stored ? c.stored : "no LangID") + ", " + c.locale);
    TestPrefix prefix;
    SetLocale(c.locale);
    ASSERT_TRUE(
        prefix.write_registry(c.root ? Product(c.stored ? std::string("\"LangID\"=") + c.stored + "\r\n" : "") : ""));
    {
      COrnOptions options(nullptr);
      EXPECT_EQ(options.m_dwLangID, c.lang_id);
      EXPECT_EQ(LibraryName(options.m_hResources), c.library);
      EXPECT_EQ(AfxGetResourceHandle(), options.m_hResources);
      EXPECT_EQ(StoredNumber(kRootKey, u"LangID"), c.root ? std::optional(c.lang_id) : std::nullopt);
      EXPECT_EQ(read_text(prefix.system_reg()).find("LangID") != std::string::npos, c.root);
      // No "Settings" key: the defaults.
      EXPECT_EQ(options.m_dwBackgroundMinutes, 60u);
      EXPECT_EQ(options.m_dwReminderDays, 7u);
    }
    EXPECT_EQ(AfxGetResourceHandle(), AfxGetInstanceHandle());
  }
}

TEST(Options, LoadsTheProductValues) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(
      Product("") +
      Subkey("Settings",
             "\"OrnAlwaysAvail\"=\"YES\"\r\n\"DetailedProgress\"=\"yes\"\r\n\"RestoreFiles\"=\"YES \"\r\n"
             "\"Reminder\"=hex(1):59,00,45,00,53,00\r\n\"BackgroundMinutes\"=dword:0000001e\r\n") +
      Subkey("Settings\\Setup", "\"TPD\"=dword:0000002a\r\n") + Subkey("Wickmar", "\"UseArchiveBit\"=\"YES\"\r\n") +
      Subkey("Security",
             "\"01\"=dword:00000001\r\n\"04\"=dword:00000080\r\n\"07\"=dword:ffffff12\r\n"
             "\"19\"=hex:01\r\n\"22\"=hex:01,02,03,04,05\r\n\"24\"=hex:\r\n")));
  COrnOptions options(nullptr);
  EXPECT_TRUE(options.m_bAlwaysAvail);
  EXPECT_TRUE(options.m_bAlwaysAvailAtLoad);
  EXPECT_FALSE(options.m_bDetailedProgress);
  EXPECT_FALSE(options.m_bRestoreFiles);
  EXPECT_TRUE(options.m_bReminder);  // stored without terminator
  EXPECT_EQ(options.m_dwBackgroundMinutes, 30u);
  EXPECT_EQ(options.m_dwReminderDays, 7u);
  EXPECT_EQ(options.m_dwTPD, 42u);
  EXPECT_EQ(options.m_dwOptionFlags, kOptionUseArchiveBit);

  const SecurityRecord& s = *options.m_pSecurity;
  EXPECT_EQ(std::vector<int>({s.b01, s.b02, s.w04, s.b07, s.w19}), std::vector<int>({0x40, 0, 0x02, 0x90, 0x40}));
  ASSERT_EQ(s.cb22, 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.p22), 5), "\1\2\3\4\5");
  EXPECT_EQ(s.cb23, 0);
  EXPECT_EQ(s.p23, nullptr);
  EXPECT_EQ(s.cb24, 0);  // a value of no bytes gets no block
  EXPECT_EQ(s.p24, nullptr);
}

TEST(Options, SavesAndFreesItsDeviceRecords) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(Product("")));
  {
    COrnOptions options(nullptr);
    auto* device = new (HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(DeviceRecord))) DeviceRecord;
    device->pszDeviceString = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
    wcscpy_s(device->pszDeviceString, 32, u"\\\\.\\PhysicalDrive1");
    device->dwSigniture = 0x1A2B3C4D;
    device->dwFlags = kDeviceHasExtra;
    device->pExtra = HeapAlloc(GetProcessHeap(), 0, 16);
    options.m_Devices.push_back(device);
  }
  const std::u16string key = std::u16string(kRootKey) + u"\\Device\\PhysicalDrive1";
  EXPECT_EQ(StoredNumber(key.c_str(), u"Signiture"), 0x1A2B3C4Du);
  DWORD size = 0;
  EXPECT_TRUE(QueryRegValue(HKEY_LOCAL_MACHINE, key.c_str(), u"IDE Enabled", nullptr, &size));
  EXPECT_EQ(size, 1u);
  EXPECT_FALSE(QueryRegValue(HKEY_LOCAL_MACHINE, key.c_str(), u"DriveLetters", nullptr, &size));
}

TEST(GetOptions, KeepsTheFirstObject) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(Product("")));
  COrnOptions* first = GetOptions(u"/SrcDrives %C%");
  ASSERT_NE(first->m_pszCmdLine, nullptr);
  EXPECT_EQ(u8(first->m_pszCmdLine), "/SrcDrives %C%");
  EXPECT_EQ(GetOptions(u"/SrcDrives %D%"), first);
  EXPECT_EQ(GetOptions(), first);
  EXPECT_EQ(u8(first->m_pszCmdLine), "/SrcDrives %C%");
  ReleaseOptions();
  EXPECT_EQ(GetOptions()->m_pszCmdLine, nullptr);
  ReleaseOptions();
}

// Run in a program copy: what the settings object chose, as one line.
TEST(OptionsChild, Report) {
  if (!settings_test::IsChildRun()) GTEST_SKIP() << "runs in a program copy of the language tests";
  COrnOptions options(nullptr);
  const std::optional<DWORD> stored = StoredNumber(kRootKey, u"LangID");
  char text[300], storedText[16] = "none";
  if (stored) std::snprintf(storedText, sizeof storedText, "%x", *stored);
  std::snprintf(text, sizeof text, "lang=%x resources=%s minutes=%u reminder=%d security01=%x stored=%s",
                options.m_dwLangID, LibraryName(options.m_hResources).c_str(), options.m_dwBackgroundMinutes,
                int(options.m_bReminder), options.m_pSecurity ? options.m_pSecurity->b01 : 0xFFu, storedText);
  ASSERT_TRUE(settings_test::WriteChildResult(text));
}

TEST(Options, LibrariesThatCannotBeLoaded) {
  const std::string settings = Subkey("Settings", "\"Reminder\"=\"YES\"\r\n\"BackgroundMinutes\"=dword:00000005\r\n") +
                               Subkey("Security", "\"01\"=dword:00000001\r\n");
  struct Case {
    const char* what;
    std::string lang_id;  // REGEDIT5 line, or empty
    bool not_elf_deu, x64_deu;
    std::string expected;
  } cases[] = {
      {"none: nothing is read, the bare language is stored unchanged", "\"LangID\"=dword:00000007\r\n", false, false,
       "lang=407 resources=none minutes=0 reminder=0 security01=0 stored=7"},
      {"none: the locale's language is stored at once", "", false, false,
       "lang=407 resources=none minutes=0 reminder=0 security01=0 stored=407"},
      {"the first name is no library: the 64-bit name", "\"LangID\"=dword:00000007\r\n", true, true,
       "lang=407 resources=resources-x64.DEU.dll minutes=5 reminder=1 security01=40 stored=407"},
      {"neither loads", "\"LangID\"=dword:00000007\r\n", true, false,
       "lang=407 resources=none minutes=0 reminder=0 security01=0 stored=7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(Product(c.lang_id) + settings));
    settings_test::ProgramCopy copy;
    if (c.not_elf_deu) { ASSERT_TRUE(write_text(copy.path("resources.DEU.dll"), "MZ: a 32-bit library")); }
    if (c.x64_deu) copy.add_from_bin("resources.DEU.dll", "resources-x64.DEU.dll");
    EXPECT_EQ(copy.run("OptionsChild.Report", {"LC_ALL=", "LC_MESSAGES=", "LANG=de_DE.UTF-8"}), c.expected);
  }
}

}  // namespace
