// The net changes read from a run's journal: each value once, in the order of its first
// write, with its first old and last new data; a value that ends as it began is none.
#include "tools/hivemend-repair/changes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace hivemend::repair_tool {
namespace {

using testing::TempDir;
using win32::JournalData;
using win32::JournalEntry;

JournalEntry Write(std::u16string key, std::u16string value, std::optional<uint8_t> old_data, uint8_t new_data,
                   size_t size = 4) {
  JournalEntry e{u"E:\\Windows\\system32\\config\\SOFTWARE", std::move(key), std::move(value), std::nullopt,
                 JournalData{4, std::vector<uint8_t>(size, new_data)}};
  if (old_data) e.old_data = JournalData{4, std::vector<uint8_t>(size, *old_data)};
  return e;
}

std::string Lines(const std::vector<JournalEntry>& entries) {
  std::string text;
  for (const auto& e : entries) text += win32::format_journal_line(e) + '\n';
  return text;
}

TEST(NetChanges, OfJournal) {
  struct Case {
    const char* name;
    std::string journal;
    std::vector<JournalEntry> expected;
  };
  // More lines than the reader's buffer holds, each value written twice.
  std::vector<JournalEntry> many, many_net;
  for (int i = 0; i < 3000; ++i) {
    char name[16];
    const int n = std::snprintf(name, sizeof name, "v%d", i);
    many.push_back(Write(u"Key", std::u16string(name, name + n), 1, 2, 40));
    many_net.push_back(Write(many.back().key, many.back().value, 1, 3, 40));
  }
  for (int i = 0; i < 3000; ++i) many.push_back(Write(u"Key", many[i].value, 2, 3, 40));
  const std::vector<Case> cases = {
      {"a value written twice: its first old and last new data, where it was first written",
       Lines({Write(u"A", u"x", 1, 2), Write(u"B", u"", std::nullopt, 5), Write(u"A", u"x", 2, 3)}),
       {Write(u"A", u"x", 1, 3), Write(u"B", u"", std::nullopt, 5)}},
      {"written back to what it was, the name in another letter case: no change",
       Lines({Write(u"Key", u"x", 1, 2), Write(u"B", u"y", 1, 2), Write(u"KEY", u"X", 2, 1)}),
       {Write(u"B", u"y", 1, 2)}},
      {"the same data written: no change", Lines({Write(u"A", u"x", 7, 7)}), {}},
      {"hex digits in either case: the same data",
       Lines({Write(u"A", u"x", 0xab, 0xcd)}) +
           "E:\\\\Windows\\\\system32\\\\config\\\\SOFTWARE\tA\tx\t4\tCDCDCDCD\t4\tABABABAB\n" +
           "E:\\\\Windows\\\\system32\\\\config\\\\SOFTWARE\tA\ty\t4\t0A0A0A0A\t4\t0a0a0a0a\n",
       {}},
      {"a last line cut off by a killed writer is left out",
       Lines({Write(u"A", u"x", 1, 2)}) + "E:\\\\Windows\\\\system32\\\\config\\\\SOFTWARE\tA\tx\t4\t01",
       {Write(u"A", u"x", 1, 2)}},
      {"a journal longer than the reader's buffer", Lines(many), many_net},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(testing::write_text(dir.path("journal"), c.journal));
    auto net = NetChanges::of_journal(dir.path("journal"));
    ASSERT_TRUE(net) << net.error().message;
    std::vector<JournalEntry> got;
    ASSERT_TRUE(net->for_each([&](const JournalEntry& e) -> Status {
      got.push_back(e);
      return base::Ok{};
    }));
    EXPECT_EQ(net->size(), c.expected.size());
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(win32::format_journal_line(got[i]), win32::format_journal_line(c.expected[i])) << i;
    }
  }
}

TEST(NetChanges, MissingAndBadJournals) {
  TempDir dir;
  auto none = NetChanges::of_journal(dir.path("journal"));
  ASSERT_TRUE(none);
  EXPECT_EQ(none->size(), 0u);
  ASSERT_TRUE(testing::write_text(dir.path("journal"), Lines({Write(u"A", u"x", 1, 2)}) + "not a journal line\n"));
  auto bad = NetChanges::of_journal(dir.path("journal"));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, dir.path("journal") + ": line 2: not a line of the change journal");
}

std::vector<JournalEntry> EachChange(const NetChanges& net) {
  std::vector<JournalEntry> got;
  EXPECT_TRUE(net.for_each([&](const JournalEntry& e) -> Status {
    got.push_back(e);
    return base::Ok{};
  }));
  return got;
}

std::vector<std::string> LinesOf(const std::vector<JournalEntry>& entries) {
  std::vector<std::string> lines;
  for (const auto& e : entries) lines.push_back(win32::format_journal_line(e));
  return lines;
}

// A journal read while it grows, in pieces that cut lines anywhere, gives what one read
// of the whole gives; until a value is met twice, the changes handed ahead are the net
// changes themselves, so the outputs can be written from them in the same pass.
TEST(NetChanges, ReadWhileGrowing) {
  struct Case {
    const char* name;
    std::vector<JournalEntry> lines;
    bool met_twice;
  };
  const std::vector<Case> cases = {
      {"no value written twice, one with the data it had",
       {Write(u"A", u"x", 1, 2), Write(u"B", u"", std::nullopt, 5), Write(u"C", u"y", 7, 7)},
       false},
      {"a value written twice", {Write(u"A", u"x", 1, 2), Write(u"B", u"", 1, 5), Write(u"a", u"X", 2, 3)}, true},
      {"a value written back to its old data", {Write(u"A", u"x", 1, 2), Write(u"A", u"x", 2, 1)}, true},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.path(std::string("journal-") + c.name), text = Lines(c.lines);
    NetChanges growing(path);
    std::vector<JournalEntry> ahead;
    auto give = [&](const JournalEntry& e) { ahead.push_back(e); };
    ASSERT_TRUE(growing.read(give));  // before the first write there is no journal
    {
      std::ofstream out(path, std::ios::binary);
      for (size_t at = 0; at < text.size(); at += 7) {
        out << text.substr(at, 7) << std::flush;
        ASSERT_TRUE(growing.read(give));
      }
    }
    auto whole = NetChanges::of_journal(path);
    ASSERT_TRUE(whole);
    EXPECT_EQ(growing.met_twice(), c.met_twice);
    EXPECT_EQ(growing.size(), whole->size());
    EXPECT_EQ(LinesOf(EachChange(growing)), LinesOf(EachChange(*whole)));
    if (!c.met_twice) { EXPECT_EQ(LinesOf(ahead), LinesOf(EachChange(*whole))); }
  }
}

// The record's JSON: texts in UTF-8 with quotes, backslashes and control characters
// escaped (non-ASCII as it is), string data without its terminator, other data in .reg hex.
TEST(ChangesRecord, EscapesTextsAndShowsData) {
  TempDir dir;
  auto record = ChangesRecord::create(dir.path("changes.json"));
  ASSERT_TRUE(record);
  // A surrogate without its other half is kept as an escape: UTF-8 cannot carry it.
  const std::u16string text = u"C:\\\"\u00e9\U0001F600\t" + std::u16string(1, char16_t(0xDC00));
  std::vector<uint8_t> sz;
  for (char16_t c : text + u'\0') sz.insert(sz.end(), {uint8_t(c), uint8_t(c >> 8)});
  ASSERT_TRUE(
      record->add(JournalEntry{u"E:\\SOFTWARE", u"K\"ey", u"", JournalData{1, sz}, JournalData{4, {1, 0, 0, 0}}}));
  ASSERT_TRUE(record->finish(Counters{1, 2, 3}, ""));
  EXPECT_EQ(testing::read_text(dir.path("changes.json")),
            "{\"changes\": [\n  {\"hive\": \"E:\\\\SOFTWARE\", \"key\": \"K\\\"ey\", \"value\": \"\", \"type\": 4, "
            "\"old\": \"C:\\\\\\\"\u00e9\U0001F600\\u0009\\udc00\", \"new\": \"dword:00000001\"}\n],\n"
            " \"counters\": {\"values_accessed\": 1, \"paths_resolved\": 2, \"paths_skipped\": 3},\n"
            " \"hiberfile_removed\": []}\n");
}

// One undo file per hive, also for hives whose paths give the same file name, each
// naming its own hive.
TEST(UndoFiles, OneFilePerHive) {
  TempDir dir;
  auto undo = UndoFiles::create(dir.path("undo"));
  ASSERT_TRUE(undo);
  const std::vector<std::u16string> hives = {u"E:\\Users\\a\\ntuser.dat", u"E:\\Users\\a-\\ntuser.dat",
                                             u"E:\\Users\\-a\\ntuser.dat", u"E:\\Users\\A\\NTUSER.DAT"};
  for (const auto& hive : hives) {
    JournalEntry change = Write(u"K", u"v", 1, 2);
    change.hive = hive;
    ASSERT_TRUE(undo->add(change));
  }
  auto files = undo->finish();
  ASSERT_TRUE(files);
  EXPECT_EQ(*files, 3u);
  std::vector<std::u16string> named;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path("undo")))
    named.push_back(read_undo_header(entry.path().string())->hive);
  std::vector<std::u16string> expected(hives.begin(), hives.begin() + 3);  // the last is the first's
  std::sort(named.begin(), named.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(named, expected);
}

}  // namespace
}  // namespace hivemend::repair_tool
