// The diagnostic log: lines through the managed logging component into the prefix's
// logs/hivemend.log, a new instance of the component for each, failing sinks, and the
// log object.
#include "log/Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>

#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

TEST(Log, EachLineReachesTheComponentInOrder) {
  TestPrefix prefix;
  const HIVEMEND_RUNTIME_COUNTERS before = runtime_counters(/*required=*/false);
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
  const HIVEMEND_RUNTIME_COUNTERS after = runtime_counters(/*required=*/false);
  EXPECT_EQ(after.instancesCreated - before.instancesCreated, 5u);  // one instance per line
  EXPECT_EQ(after.instancesAlive, 0u);
  EXPECT_EQ(after.starts - before.starts, 5u);
  EXPECT_EQ(after.stops - before.stops, 5u);
}

// The file stays open between lines, but a line after the file was renamed away (a
// rotation) or removed with its folder goes to a new file.
TEST(Log, LinesFollowTheFileThroughRotationAndRemoval) {
  TestPrefix prefix;
  const std::string log = prefix.log_path();
  Log(u"one", u"");
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  Log(u"two", u"");
  Log(u"three", u"");
  EXPECT_EQ(read_log(log + ".1"), (std::vector<LogEntry>{{"one", ""}}));
  EXPECT_EQ(read_log(log), (std::vector<LogEntry>{{"two", ""}, {"three", ""}}));
  std::filesystem::remove_all(std::filesystem::path(log).parent_path());
  Log(u"four", u"");
  EXPECT_EQ(read_log(log), (std::vector<LogEntry>{{"four", ""}}));
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
    throw std::bad_alloc();
  });
  EXPECT_THROW(Log(u"a", u"b"), std::bad_alloc);
  SetLogSink({});
  EXPECT_EQ(calls, 2);
  Log(u"back", u"to the component");
  EXPECT_EQ(read_log(prefix.log_path()), (std::vector<LogEntry>{{"back", "to the component"}}));
}

// The component cannot write its file: the method throws, and the line is dropped.
TEST(Log, WithoutAUsablePrefixNothingHappens) {
  TestPrefix prefix;
  setenv("HIVEMEND_PREFIX", "/proc/hivemend-no-such-prefix", 1);
  const HIVEMEND_RUNTIME_COUNTERS before = runtime_counters(/*required=*/false);
  EXPECT_NO_THROW(Log(u"a", u"b"));
  EXPECT_EQ(runtime_counters(/*required=*/false).stops, before.stops);  // the invocation failed
}

// The product's Wickmar key holding `values`.
std::string Wickmar(const std::string& values) {
  return app_paths("Product") + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product\\Wickmar]\r\n" + values;
}

TEST(CLog, ReadsTheSwitchAndTheReportFile) {
  struct Case {
    const char* what;
    std::string registry;
    DWORD detailed;
    std::string file;  // "" for the default in the prefix
  };
  const Case cases[] = {
      {"nothing set", app_paths("Product"), 0, ""},
      {"DetailedLog 1", Wickmar("\"DetailedLog\"=dword:00000001\r\n"), 1, ""},
      {"ReportFile", Wickmar("\"ReportFile\"=\"D:\\\\r.txt\"\r\n"), 0, "D:\\r.txt"},
      {"empty ReportFile", Wickmar("\"ReportFile\"=\"\"\r\n"), 0, ""},
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
