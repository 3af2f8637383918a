// The HTML Help loader against a stand-in engine (HtmlHelpStandIn.ocx) that records its
// calls. The engine and its failure latch live once per process, so each case that
// calls it runs in a process of its own.
#include "settings/HtmlHelp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/unicode.h"
#include "settings/Options.h"
#include "tests/settings/child_process.h"
#include "tests/settings/stand_in/HtmlHelpStandIn.h"
#include "tests/support/hives.h"
#include "tests/support/prefix.h"
#include "win32/host/prefix.h"

namespace {

using hivemend::testing::TestPrefix;
using settings_test::InChild;

std::string WindowsPath(const std::string& linux_path) {
  auto path = hivemend::win32::windows_path_of(linux_path);
  return path ? base::to_utf8(*path) : "<no windows path>";
}
// Windows names of the test programs' folder and the stand-in, in the current prefix.
std::string Bin() { return WindowsPath(HIVEMEND_BIN_DIR); }
std::string StandIn() { return Bin() + "\\HtmlHelpStandIn.ocx"; }

// The registration's default value: REG_SZ, or REG_EXPAND_SZ written as hex(2).
std::string Registration(const std::string& path, bool expand = false) {
  return "[HKEY_CLASSES_ROOT\\CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32]\r\n" +
         hivemend::testing::reg_line(u"", path, expand ? regf::kRegExpandSz : regf::kRegSz);
}

TEST(GetHtmlHelpServerPath, ReadsTheRegistration) {
  setenv("HH_TEST_DIR", "C:\\Help Files", 1);
  setenv("HH_TEST_LONG", ("C:\\" + std::string(250, 'y')).c_str(), 1);
  const std::pair<std::string, const char*> cases[] = {
      {"", nullptr},
      {Registration("C:\\Windows\\System32\\hhctrl.ocx"), "C:\\Windows\\System32\\hhctrl.ocx"},
      {Registration("%HH_TEST_DIR%\\hhctrl.ocx", true), "C:\\Help Files\\hhctrl.ocx"},
      {Registration("%HH_TEST_LONG%\\hhctrl.ocx", true), nullptr},  // over 260 bytes expanded
  };
  for (const auto& [registry, expected] : cases) {
    SCOPED_TRACE(registry);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(registry));
    char path[kHtmlHelpPathBytes] = {};
    EXPECT_EQ(GetHtmlHelpServerPath(path) != FALSE, expected != nullptr);
    if (expected) { EXPECT_STREQ(path, expected); }
  }
}

// The stand-in's count of calls and its last call's arguments, the data shown as
// "cookie" when it is pdwCookie's address.
std::string StandInRecord(const std::string& name, const DWORD* pdwCookie = nullptr) {
  const HMODULE hStandIn = LoadLibraryA(name.c_str());
  const auto record = reinterpret_cast<HtmlHelpStandInCallsProc>(GetProcAddress(hStandIn, kStandInRecordExport));
  if (!record) return "<no stand-in>";
  const HtmlHelpStandInCalls& calls = *record();
  char text[400];
  std::snprintf(text, sizeof text, "calls=%d hwnd=%zx file=%s command=%x data=%s", calls.nCalls,
                size_t(calls.hwndCaller), base::to_utf8(calls.szFile).c_str(), calls.uCommand,
                calls.dwData == DWORD_PTR(pdwCookie) ? "cookie" : "other");
  const std::string result = calls.nCalls ? text : "calls=0";
  FreeLibrary(hStandIn);
  return result;
}

std::string Result(HWND hResult) { return hResult == kStandInResult ? "engine" : hResult ? "other" : "0"; }

// A first call, the registry replaced by `later` (unless empty), a second call: both
// results, the first's cookie and the engine's record after the first.
std::string TwoCalls(const TestPrefix* prefix, const std::string& later, const std::string& standIn) {
  DWORD dwCookie = 0;
  const HWND hFirst = CallHtmlHelp(reinterpret_cast<HWND>(ULONG_PTR(0x77)), u"Tessaro.chm", HH_INITIALIZE,
                                   reinterpret_cast<DWORD_PTR>(&dwCookie));
  const std::string record = StandInRecord(standIn, &dwCookie);
  if (!later.empty() && !prefix->write_registry(later)) return "<registry not written>";
  const HWND hSecond = CallHtmlHelp(nullptr, nullptr, HH_INITIALIZE, 0);
  return Result(hFirst) + " " + Result(hSecond) + " cookie=" + std::to_string(dwCookie) + " " + record;
}

const std::string kEngineUsed = "engine engine cookie=24301 calls=1 hwnd=77 file=Tessaro.chm command=1c data=cookie";
const std::string kNoEngine = "0 0 cookie=0 calls=0";

TEST(CallHtmlHelp, LoadsTheRegisteredEngineOnceOrGivesUpForGood) {
  TestPrefix prefix;
  setenv("HH_TEST_BIN", Bin().c_str(), 1);
  const struct {
    std::string registry, later, expected;
  } cases[] = {
      {Registration(StandIn()), "", kEngineUsed},
      {Registration("%HH_TEST_BIN%\\HtmlHelpStandIn.ocx", true), "", kEngineUsed},
      {"", Registration(StandIn()), kNoEngine},                      // the latch holds when a registration appears
      {Registration(Bin() + "\\resources.ENG.dll"), "", kNoEngine},  // no HtmlHelpW
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.registry);
    ASSERT_TRUE(prefix.write_registry(c.registry));
    EXPECT_EQ(InChild([&] { return TwoCalls(&prefix, c.later, StandIn()); }), c.expected);
  }
}

// Run in a program copy whose folder holds the stand-in as hhctrl.ocx.
TEST(HtmlHelpChild, TwoCalls) {
  if (!settings_test::IsChildRun()) GTEST_SKIP() << "runs in a program copy of CallHtmlHelp's tests";
  ASSERT_TRUE(settings_test::WriteChildResult(TwoCalls(nullptr, "", "hhctrl.ocx")));
}

TEST(CallHtmlHelp, FallsBackToTheBareNameInTheProgramFolder) {
  TestPrefix prefix;
  settings_test::ProgramCopy copy;
  copy.add_from_bin("HtmlHelpStandIn.ocx", "hhctrl.ocx");
  for (const std::string& registry : {std::string(), Registration(Bin() + "\\Missing.ocx")}) {
    SCOPED_TRACE(registry);
    ASSERT_TRUE(prefix.write_registry(registry));
    EXPECT_EQ(copy.run("HtmlHelpChild.TwoCalls", {}), kEngineUsed);
  }
}

TEST(CallHtmlHelp, TheSettingsObjectInitialisesTheEngine) {
  TestPrefix prefix;
  const auto build = [] {
    COrnOptions options(nullptr);
    return std::to_string(options.m_dwHelpCookie) + " " + StandInRecord(StandIn(), &options.m_dwHelpCookie);
  };
  ASSERT_TRUE(prefix.write_registry(Registration(StandIn())));
  EXPECT_EQ(InChild(build), "24301 calls=1 hwnd=0 file=(null) command=1c data=cookie");
  ASSERT_TRUE(prefix.write_registry(""));
  EXPECT_EQ(InChild(build), "0 calls=0");
}

}  // namespace
