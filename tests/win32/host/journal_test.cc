// The journal's line format: names and data as written, read back unchanged.
#include "win32/host/journal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace hivemend::win32 {
namespace {

TEST(JournalLine, WrittenAndReadBack) {
  struct Case {
    const char* name;
    JournalEntry entry;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"a path, its backslashes doubled, data as lower-case hex",
       {u"E:\\Windows\\SOFTWARE", u"A\\B", u"", JournalData{1, {0x43, 0x00}}, {4, {0xAB, 0x01, 0xFF, 0x10}}},
       "E:\\\\Windows\\\\SOFTWARE\tA\\\\B\t\t1\t4300\t4\tab01ff10"},
      {"a value that did not exist, empty data", {u"h", u"", u"v", std::nullopt, {3, {}}}, "h\t\tv\t-\t\t3\t"},
      {"tab, line ends, a control character and an unpaired surrogate escaped",
       {u"h", u"a\tb\nc\rd", u"\x01\xD800x", std::nullopt, {1, {}}},
       "h\ta\\tb\\nc\\rd\t\\u0001\\ud800x\t-\t\t1\t"},
      {"letters beyond ASCII and a surrogate pair as UTF-8",
       {u"h", u"Caf\u00E9\\\u65E5", u"\U0001D11Ez", std::nullopt, {1, {}}},
       "h\tCaf\xC3\xA9\\\\\xE6\x97\xA5\t\xF0\x9D\x84\x9Ez\t-\t\t1\t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(format_journal_line(c.entry), c.line);
    auto back = parse_journal_line(c.line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->hive, c.entry.hive);
    EXPECT_EQ(back->key, c.entry.key);
    EXPECT_EQ(back->value, c.entry.value);
    EXPECT_EQ(back->old_data, c.entry.old_data);
    EXPECT_EQ(back->new_data, c.entry.new_data);
  }
  // Upper-case hex is read too; anything else in the data is no line.
  EXPECT_EQ(parse_journal_line("h\t\tv\t-\t\t3\tAB0f")->new_data.data, (std::vector<uint8_t>{0xAB, 0x0F}));
  for (const char* bad : {"h\t\tv\t-\t\t3\tag", "h\t\tv\t-\t\t3\tabc", "h\t\tv\t-\t\t3", "h\t\\q\tv\t-\t\t3\t"})
    EXPECT_FALSE(parse_journal_line(bad)) << bad;
}

// Data longer than a few digits: every digit of either case is taken, and any other
// character anywhere in it (those next to the digits' ranges, one that upper- or
// lower-casing would make a digit, one beyond ASCII) makes it no line.
TEST(JournalLine, LongDataCheckedAtEveryDigit) {
  const std::string digits = "0123456789abcdefABCDEF0f";
  ASSERT_TRUE(parse_journal_line("h\t\tv\t-\t\t3\t" + digits));
  for (char bad : {'/', ':', '@', 'G', '`', 'g', '\x10', '\x1a', 'P', '\xc3'})
    for (size_t at = 0; at < digits.size(); ++at) {
      std::string data = digits;
      data[at] = bad;
      EXPECT_FALSE(parse_journal_line("h\t\tv\t-\t\t3\t" + data)) << int(bad) << " at " << at;
    }
}

// A journal read while it grows: each read gives the lines ended so far, a line comes
// whole once its line end is written, however it was cut, and reading goes on after the
// end with what was appended since.
TEST(JournalReader, ReadsWhileTheJournalGrows) {
  testing::TempDir dir;
  const std::string path = dir.path("journal");
  const std::string a = "h\tk\ta\t-\t\t3\t01\n", b = "h\tk\tb\t3\t01\t3\t0203\n", c = "h\t\tc\t-\t\t4\t\n";
  std::ofstream out(path, std::ios::binary);
  auto reader = JournalReader::open(path);
  ASSERT_TRUE(reader);
  // The text appended before each read, and the values of the lines that read gives.
  const std::vector<std::pair<std::string, std::vector<std::u16string>>> steps = {
      {"", {}},
      {a + b.substr(0, 5), {u"a"}},
      {b.substr(5, 7), {}},
      {b.substr(12) + c.substr(0, c.size() - 1), {u"b"}},
      {"", {}},
      {"\n", {u"c"}},
  };
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    out << steps[i].first << std::flush;
    std::vector<std::u16string> got;
    JournalEntry entry;
    for (;;) {
      auto read = reader->next(entry);
      ASSERT_TRUE(read);
      if (!*read) break;
      got.push_back(entry.value);
      offsets.push_back(reader->offset());
    }
    EXPECT_EQ(got, steps[i].second);
  }
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, a.size(), a.size() + b.size()}));
  EXPECT_EQ(reader->line(), 3u);
}

}  // namespace
}  // namespace hivemend::win32
