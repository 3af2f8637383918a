// The HTML Help loader: the engine's path from its COM registration, and the engine
// found, loaded and called once per process. Each case that calls the engine runs in a
// process of its own, for the engine and its failure latch live once per process. The
// engine is a stand-in (HtmlHelpStandIn.ocx) that records its calls.
#include "settings/HtmlHelp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "regf/unicode.h"
#include "settings/Options.h"
#include "tests/settings/child_process.h"
#include "tests/settings/stand_in/HtmlHelpStandIn.h"
#include "tests/support/prefix.h"
#include "win32/prefix.h"

namespace {

using hivemend::testing::TestPrefix;
using settings_test::InChild;
using settings_test::ProgramCopy;

const std::string kServerKey =
    "[HKEY_CLASSES_ROOT\\CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32]\r\n";

std::string WindowsPath(const std::string& linux_path) {
  auto path = hivemend::win32::windows_path_of(linux_path);
  return path ? regf::to_utf8(*path) : "<no windows path>";
}
std::string StandInPath() { return WindowsPath(std::string(HIVEMEND_BIN_DIR) + "/HtmlHelpStandIn.ocx"); }

// The registration's default value, as REG_SZ or as REG_EXPAND_SZ.
std::string Registration(const std::string& path) {
  std::string escaped;
  for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return kServerKey + "@=\"" + escaped + "\"\r\n";
}
std::string ExpandRegistration(const std::string& path) {
  std::string line = kServerKey + "@=hex(2):";
  char byte[4];
  const std::u16string wide = regf::from_utf8(path) + u'\0';
  for (size_t i = 0; i < wide.size(); ++i)
    for (int shift : {0, 8}) {
      std::snprintf(byte, sizeof byte, "%02x", (wide[i] >> shift) & 0xFF);
      line += std::string(i || shift ? "," : "") + byte;
    }
  return line + "\r\n";
}

TEST(GetHtmlHelpServerPath, ReadsTheRegistration) {
  struct Case {
    const char* what;
    std::string registry;
    bool found;
    std::string path;
  } cases[] = {
      {"no registration", "", false, ""},
      {"no default value", kServerKey + "\"ThreadingModel\"=\"Apartment\"\r\n", false, ""},
      {"a plain path", Registration("C:\\Windows\\System32\\hhctrl.ocx"), true, "C:\\Windows\\System32\\hhctrl.ocx"},
      {"expanded", ExpandRegistration("%HH_TEST_DIR%\\hhctrl.ocx"), true, "C:\\Help Files\\hhctrl.ocx"},
      {"an unset variable stays", ExpandRegistration("%HH_TEST_UNSET%\\hhctrl.ocx"), true,
       "%HH_TEST_UNSET%\\hhctrl.ocx"},
      {"an expansion over 260 bytes", ExpandRegistration("%HH_TEST_LONG%\\hhctrl.ocx"), false, ""},
      {"a path that does not fit 260 bytes", Registration("C:\\" + std::string(260, 'x')), false, ""},
  };
  setenv("HH_TEST_DIR", "C:\\Help Files", 1);
  setenv("HH_TEST_LONG", ("C:\\" + std::string(250, 'y')).c_str(), 1);
  unsetenv("HH_TEST_UNSET");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(c.registry));
    char path[kHtmlHelpPathBytes] = {};
    EXPECT_EQ(GetHtmlHelpServerPath(path) != FALSE, c.found);
    if (c.found) {
      EXPECT_EQ(std::string(path), c.path);
    }
  }
}

std::string Hex(ULONG_PTR value) {
  char text[24];
  std::snprintf(text, sizeof text, "%zx", size_t(value));
  return text;
}

// The record of the stand-in loaded as `name`, as text: the number of calls and the
// last call's arguments (its data shown as "cookie" when it is pdwCookie's address).
std::string StandInRecord(const std::string& name, const DWORD* pdwCookie) {
  const HMODULE hStandIn = LoadLibraryA(name.c_str());
  const auto record = reinterpret_cast<HtmlHelpStandInCallsProc>(
      hStandIn ? GetProcAddress(hStandIn, kStandInRecordExport) : nullptr);
  std::string text = "<no stand-in>";
  if (record) {
    const HtmlHelpStandInCalls& calls = *record();
    text = "calls=" + std::to_string(calls.nCalls);
    if (calls.nCalls > 0)
      text += " hwnd=" + Hex(ULONG_PTR(calls.hwndCaller)) + " file=" + regf::to_utf8(calls.szFile) + " command=" +
              Hex(calls.uCommand) + " data=" + (calls.dwData == DWORD_PTR(pdwCookie) ? "cookie" : Hex(calls.dwData));
  }
  if (hStandIn) FreeLibrary(hStandIn);
  return text;
}

std::string Result(HWND hResult) { return hResult == kStandInResult ? "engine" : Hex(ULONG_PTR(hResult)); }

// Two calls, with the registry replaced by `between` (unless empty) after the first:
// the first's result, cookie and arguments as the engine saw them, then the second's
// result and the engine's call count.
std::string TwoCalls(const TestPrefix* prefix, const std::string& between, const std::string& standIn) {
  DWORD dwCookie = 0;
  const HWND hFirst = CallHtmlHelp(reinterpret_cast<HWND>(ULONG_PTR(0x77)), u"Tessaro.chm", HH_INITIALIZE,
                                   reinterpret_cast<DWORD_PTR>(&dwCookie));
  std::string text = Result(hFirst) + " cookie=" + Hex(dwCookie) + " " + StandInRecord(standIn, &dwCookie);
  if (!between.empty() && !prefix->write_registry(between)) return "<registry not written>";
  const HWND hSecond = CallHtmlHelp(nullptr, nullptr, 0x0F, 42);
  const std::string second = StandInRecord(standIn, nullptr);
  return text + " | " + Result(hSecond) + " " + second.substr(0, second.find(' '));
}

const std::string kEngineUsed =
    "engine cookie=5eed calls=1 hwnd=77 file=Tessaro.chm command=1c data=cookie | engine calls=2";
const std::string kNoEngine = "0 cookie=0 calls=0 | 0 calls=0";

TEST(CallHtmlHelp, LoadsTheRegisteredEngineOnceOrGivesUpForGood) {
  TestPrefix prefix;
  const std::string standIn = StandInPath();
  const std::string bin = WindowsPath(HIVEMEND_BIN_DIR);
  setenv("HH_TEST_BIN", bin.c_str(), 1);
  struct Case {
    const char* what;
    std::string registry, between;
    std::string expected;
  } cases[] = {
      {"registered path", Registration(standIn), "", kEngineUsed},
      {"registered through a variable", ExpandRegistration("%HH_TEST_BIN%\\HtmlHelpStandIn.ocx"), "", kEngineUsed},
      {"nothing registered, no hhctrl.ocx: the latch holds after a registration appears", "",
       Registration(standIn), kNoEngine},
      {"registered file missing, no hhctrl.ocx", Registration(bin + "\\Missing.ocx"), "", kNoEngine},
      {"registered library without HtmlHelpW", Registration(bin + "\\resources.ENG.dll"), "", kNoEngine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(prefix.write_registry(c.registry));
    EXPECT_EQ(InChild([&] { return TwoCalls(&prefix, c.between, standIn); }), c.expected);
  }
}

// Run in a program copy whose folder holds the stand-in as hhctrl.ocx.
TEST(HtmlHelpChild, TwoCalls) {
  if (!settings_test::IsChildRun()) GTEST_SKIP() << "runs in a program copy of CallHtmlHelp's tests";
  ASSERT_TRUE(settings_test::WriteChildResult(TwoCalls(nullptr, "", "hhctrl.ocx")));
}

TEST(CallHtmlHelp, FallsBackToTheBareNameInTheProgramFolder) {
  TestPrefix prefix;
  ProgramCopy copy;
  copy.add_from_bin("HtmlHelpStandIn.ocx", "hhctrl.ocx");
  for (const std::string& registry : {std::string(), Registration(WindowsPath(HIVEMEND_BIN_DIR) + "\\Missing.ocx")}) {
    SCOPED_TRACE(registry);
    ASSERT_TRUE(prefix.write_registry(registry));
    EXPECT_EQ(copy.run("HtmlHelpChild.TwoCalls", {}), kEngineUsed);
  }
}

TEST(CallHtmlHelp, TheSettingsObjectInitialisesTheEngine) {
  TestPrefix prefix;
  const std::string standIn = StandInPath();
  const auto build = [&] {
    COrnOptions options(nullptr);
    return Hex(options.m_dwHelpCookie) + " " + StandInRecord(standIn, &options.m_dwHelpCookie);
  };
  ASSERT_TRUE(prefix.write_registry(Registration(standIn)));
  EXPECT_EQ(InChild(build), "5eed calls=1 hwnd=0 file=(null) command=1c data=cookie");
  ASSERT_TRUE(prefix.write_registry(""));
  EXPECT_EQ(InChild(build), "0 calls=0");
}

}  // namespace
