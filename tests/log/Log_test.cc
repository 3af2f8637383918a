// The diagnostic log: lines through the managed logging component into the prefix's
// logs/hivemend.log, a new instance of the component for each, failing sinks, and the
// log object.
#include "log/Log.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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
  const HIVEMEND_RUNTIME_COUNTERS after = runtime_counters(/*required=*/false);
  EXPECT_EQ(read_log(prefix.log_path()), expected);
  EXPECT_EQ(after.instancesCreated - before.instancesCreated, 5u);  // one instance per line
  EXPECT_EQ(after.instancesAlive, 0u);
  EXPECT_EQ(after.starts - before.starts, 5u);
  EXPECT_EQ(after.stops - before.stops, 5u);
}

// A text ends at its terminator whatever its length and wherever in memory it begins
// (the component finds the end several units at a time).
TEST(Log, EachTextEndsAtItsTerminator) {
  TestPrefix prefix;
  std::vector<LogEntry> expected;
  for (size_t start = 0; start < 4; ++start)
    for (size_t length = 0; length < 10; ++length) {
      alignas(8) char16_t text[16];
      std::fill(std::begin(text), std::end(text), u'x');
      std::fill_n(text + start, length, u'a');
      text[start + length] = 0;
      Log(text + start, u"");
      expected.push_back({std::string(length, 'a'), ""});
    }
  EXPECT_EQ(read_log(prefix.log_path()), expected);
}

// The file stays open between blocks, but a block after the file was renamed away (a
// rotation) or removed with its folder goes to a new file.
TEST(Log, LinesFollowTheFileThroughRotationAndRemoval) {
  TestPrefix prefix;
  const std::string log = prefix.log_path();
  Log(u"one", u"");
  FlushLog();
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  Log(u"two", u"");
  Log(u"three", u"");
  EXPECT_EQ(read_log(log + ".1"), (std::vector<LogEntry>{{"one", ""}}));
  EXPECT_EQ(read_log(log), (std::vector<LogEntry>{{"two", ""}, {"three", ""}}));
  std::filesystem::remove_all(std::filesystem::path(log).parent_path());
  Log(u"four", u"");
  EXPECT_EQ(read_log(log), (std::vector<LogEntry>{{"four", ""}}));
}

// Logs `count` numbered lines with context `what`, as long as the traversal's, and
// adds them to `logged`.
void LogBurst(const std::string& what, int count, std::vector<LogEntry>& logged) {
  for (int i = 0; i < count; ++i) {
    const std::string message = "\r\nKEYPATH=\"Key" + std::to_string(i) + "\"\r\nKEYNAME=\"v\"";
    Log(u16(what).c_str(), u16(message).c_str());
    logged.push_back({what, message});
  }
}

// More than a block (64 KB): the full ones are written at once, the rest by the
// component's own thread, without a flush.
TEST(Log, ABurstReachesTheFileWholeAndInOrderWithoutAFlush) {
  TestPrefix prefix;
  std::vector<LogEntry> logged;
  LogBurst("burst", 2000, logged);
  std::vector<LogEntry> written;
  for (int wait = 0; wait < 200 && written != logged; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    written = log_entries(read_text(prefix.log_path()));
  }
  EXPECT_EQ(written, logged);
}

// A rotation between blocks: blocks written before it stay in the renamed file, the
// entries still waiting and the later ones go to the new file; none is lost or doubled.
TEST(Log, ARotationBetweenBlocksLosesNoEntry) {
  TestPrefix prefix;
  const std::string log = prefix.log_path();
  std::vector<LogEntry> logged, after;
  LogBurst("before", 2000, logged);
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  LogBurst("after", 10, after);
  logged.insert(logged.end(), after.begin(), after.end());
  std::vector<LogEntry> both = read_log(log + ".1");
  const std::vector<LogEntry> newer = read_log(log);
  EXPECT_FALSE(both.empty());
  ASSERT_GE(newer.size(), after.size());
  EXPECT_TRUE(std::equal(after.begin(), after.end(), newer.end() - after.size()));
  both.insert(both.end(), newer.begin(), newer.end());
  EXPECT_EQ(both, logged);
}

// However a forked child ends, its entries reach the file once, and the entries its
// parent had waiting at the fork appear once, written by the parent.
TEST(Log, AForkedChildsEntriesAppearOnceHoweverItEnds) {
  struct Case {
    const char* what;
    void (*end)();
  };
  const Case cases[] = {
      {"exit", [] { std::exit(0); }},
      {"ExitProcess", [] { ExitProcess(0); }},
      {"TerminateProcess of itself", [] { TerminateProcess(GetCurrentProcess(), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    Log(u"parent", u"before the fork");
    const pid_t child = fork();
    if (child == 0) {
      Log(u"child", u16(c.what).c_str());
      c.end();
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    Log(u"parent", u"after");
    std::vector<LogEntry> log = read_log(prefix.log_path());
    std::sort(log.begin(), log.end(), [](const LogEntry& a, const LogEntry& b) {
      return std::tie(a.context, a.message) < std::tie(b.context, b.message);
    });
    EXPECT_EQ(log, (std::vector<LogEntry>{{"child", c.what}, {"parent", "after"}, {"parent", "before the fork"}}));
  }
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
