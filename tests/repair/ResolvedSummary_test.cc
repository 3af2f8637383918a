// The summary block: the report file byte for byte.
#include "repair/ResolvedSummary.h"

#include <gtest/gtest.h>

#include <string>

#include "base/buffers.h"
#include "log/Log.h"
#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

TEST(FormatCount, GroupsDigitsInThrees) {
  const std::pair<DWORD, const char*> cases[] = {
      {0, "0"},
      {7, "7"},
      {999, "999"},
      {1000, "1,000"},
      {73456, "73,456"},
      {100000, "100,000"},
      {1234567, "1,234,567"},
      {1000000000, "1,000,000,000"},
      {4294967295u, "4,294,967,295"},
  };
  for (const auto& [count, text] : cases) {
    WCHAR out[kLetterListChars];
    std::fill(std::begin(out), std::end(out), u'#');
    FormatCount(out, count);
    EXPECT_EQ(u8(out), text);
  }
}

TEST(WriteResolvedSummary, AppendsOneUtf16BlockPerRun) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(""));
  CLog log;
  const std::string file = prefix.dir() + "/logs/hivemend-report.txt";
  WriteResolvedSummary(&log, 0, 0, 0, 0, 0, 0, 0, 0);
  // Created without byte-order mark, holding exactly one block.
  EXPECT_EQ(read_text(file), utf16le(summary_block("0", "0", "0")));
  WriteResolvedSummary(&log, 1234567, 999, 73456, 0, 0, 0, 0, 0);
  EXPECT_EQ(read_text(file), utf16le(summary_block("0", "0", "0") + summary_block("73,456", "1,234,567", "999")));
}

TEST(WriteResolvedSummary, AppendsAfterWhatTheFileHolds) {
  TestPrefix prefix;
  const std::string folder = prefix.folder("r");
  ASSERT_TRUE(prefix.define_drive('r', folder));
  ASSERT_TRUE(
      prefix.write_registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n"
                            "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\"\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Wickmar]\r\n"
                            "\"ReportFile\"=\"R:\\\\restore.log\"\r\n"));
  ASSERT_TRUE(make_file(folder + "/restore.log", "", "earlier"));
  CLog log;
  EXPECT_EQ(u8(log.m_szLogFile), "R:\\restore.log");
  WriteResolvedSummary(&log, 2, 1, 10, 0, 0, 0, 0, 0);
  EXPECT_EQ(read_text(folder + "/restore.log"), "earlier" + utf16le(summary_block("10", "2", "1")));

  // Held open by another handle (the file is opened without sharing): nothing is written.
  HANDLE other = CreateFileW(u"R:\\restore.log", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  WriteResolvedSummary(&log, 5, 5, 5, 0, 0, 0, 0, 0);
  CloseHandle(other);
  // Without a log object nothing is written either.
  WriteResolvedSummary(nullptr, 5, 5, 5, 0, 0, 0, 0, 0);
  EXPECT_EQ(read_text(folder + "/restore.log"), "earlier" + utf16le(summary_block("10", "2", "1")));
}

}  // namespace
