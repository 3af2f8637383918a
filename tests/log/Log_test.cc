// The diagnostic log: entries of the default sink, failing sinks, and the log object.
#include "log/Log.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

TEST(Log, AppendsOneEntryPerCallInOrder) {
  TestPrefix prefix;
  Log(u"CHivemendDlg -> pSrcLetters = ", u"CD");
  Log(u"CHivemendDlg", u"");  // an empty message is still delivered
  Log(u"RegistryTraversal -> CheckList -> RESOLVE ATTEMPTED", u"\r\nKEYPATH=\"a\"\r\nKEYNAME=\"b\"");
  Log(u"CHivemendDlg -> pSrcLetters = ", u"CD");  // the same line twice is two entries
  Log(u"Ünïcode -> ", u"C:\\Programme\\Gemeinsame Dateien");
  const std::vector<LogEntry> expected = {
      {"CHivemendDlg -> pSrcLetters = ", "CD"},
      {"CHivemendDlg", ""},
      {"RegistryTraversal -> CheckList -> RESOLVE ATTEMPTED", "\r\nKEYPATH=\"a\"\r\nKEYNAME=\"b\""},
      {"CHivemendDlg -> pSrcLetters = ", "CD"},
      {"Ünïcode -> ", "C:\\Programme\\Gemeinsame Dateien"},
  };
  EXPECT_EQ(read_log(prefix.log_path()), expected);
}

TEST(Log, FailingSinkNeverStopsTheCallerButOutOfMemoryPasses) {
  TestPrefix prefix;
  int calls = 0;
  SetLogSink([&](LPCWSTR, LPCWSTR) {
    ++calls;
    throw std::runtime_error("component missing");
  });
  EXPECT_NO_THROW(Log(u"a", u"b"));
  SetLogSink([&](LPCWSTR, LPCWSTR) {
    ++calls;
    throw 1;
  });
  EXPECT_NO_THROW(Log(u"a", u"b"));
  SetLogSink([&](LPCWSTR, LPCWSTR) {
    ++calls;
    throw std::bad_alloc();
  });
  EXPECT_THROW(Log(u"a", u"b"), std::bad_alloc);
  SetLogSink({});
  EXPECT_EQ(calls, 3);
  Log(u"back", u"to the file");
  EXPECT_EQ(read_log(prefix.log_path()), (std::vector<LogEntry>{{"back", "to the file"}}));
}

TEST(Log, WithoutAUsablePrefixNothingHappens) {
  TestPrefix prefix;
  setenv("HIVEMEND_PREFIX", "/proc/hivemend-no-such-prefix", 1);
  EXPECT_NO_THROW(Log(u"a", u"b"));
}

const std::string kRoot =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n"
    "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\Product\"\r\n\r\n";

TEST(CLog, ReadsTheSwitchAndTheReportFile) {
  struct Case {
    const char* what;
    std::string registry;
    DWORD detailed;
    std::string file;  // "" for the default in the prefix
  };
  const Case cases[] = {
      {"nothing set", kRoot, 0, ""},
      {"DetailedLog 1", kRoot + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product\\Wickmar]\r\n\"DetailedLog\"=dword:00000001\r\n",
       1, ""},
      {"ReportFile", kRoot + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product\\Wickmar]\r\n\"ReportFile\"=\"D:\\\\r.txt\"\r\n",
       0, "D:\\r.txt"},
      {"empty ReportFile", kRoot + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product\\Wickmar]\r\n\"ReportFile\"=\"\"\r\n",
       0, ""},
      // Without a product root the path is "\Wickmar", which the registry refuses for
      // its leading backslash, as Windows does: the switch stays off.
      {"no product root", "[HKEY_LOCAL_MACHINE\\Wickmar]\r\n\"DetailedLog\"=dword:00000005\r\n", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(c.registry));
    CLog log;
    EXPECT_EQ(log.m_dwDetailedLog, c.detailed);
    const std::string expected =
        c.file.empty() ? u8(*hivemend::win32::windows_path_of(prefix.dir() + "/logs/hivemend-report.txt")) : c.file;
    EXPECT_EQ(u8(log.m_szLogFile), expected);
  }
}

}  // namespace
