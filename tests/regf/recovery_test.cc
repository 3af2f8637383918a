#include "regf/recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "regf/format.h"
#include "tests/support/files.h"
#include "tests/support/hive_logs.h"
#include "tests/support/hivexml.h"

namespace {

using namespace hivemend::testing;
using regf::LogFile;

constexpr uint32_t kBlock = 4096;

// A real clean hive to change, decompressed once for all cases.
class Recovery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TempDir dir;
    ASSERT_TRUE(unpack_hive("SYSTEM", dir.path("SYSTEM")));
    clean_ = read_bytes(dir.path("SYSTEM"));
    ASSERT_GT(clean_.size(), 64 * kBlock);
    sequence_ = primary_sequence(clean_);
  }

  // The hive in memory after a write that changed these blocks of its hive bins data.
  static Image changed(Image image, const std::vector<uint32_t>& blocks, uint8_t fill) {
    for (uint32_t block : blocks)
      for (uint32_t i = 64; i < kBlock; ++i) image[regf::kBaseBlockSize + block + i] = uint8_t(fill + i);
    return image;
  }
  // The hive grown by one new hive bin of two blocks; returns the new blocks' offsets.
  static std::vector<uint32_t> grow(Image& image) {
    uint32_t at = uint32_t(image.size() - regf::kBaseBlockSize);
    image.resize(image.size() + 2 * kBlock, 0);
    uint8_t* bin = image.data() + regf::kBaseBlockSize + at;
    std::copy_n("hbin", 4, bin);
    regf::store_u32(bin + 4, at);
    regf::store_u32(bin + 8, 2 * kBlock);
    regf::store_i32(bin + 32, 2 * kBlock - 32);  // one free cell
    regf::store_u32(image.data() + regf::base_block::kHiveBinsDataSize, at + 2 * kBlock);
    return {at, at + kBlock};
  }
  static Image clean_at(Image image, uint32_t sequence) {
    make_clean(image, sequence);
    return image;
  }

  static inline Image clean_;
  static inline uint32_t sequence_ = 0;
};

// New-format logs: the hive in memory goes through four writes, logged as entries
// S..S+3; the primary file stays at S with its first sequence number raised.
TEST_F(Recovery, NewFormatLogsRecoverUpToTheLastGoodEntry) {
  const uint32_t S = sequence_;
  std::vector<Image> memory{clean_};
  std::vector<std::vector<uint32_t>> blocks{{}, {1 * kBlock, 7 * kBlock}, {7 * kBlock, 30 * kBlock, 31 * kBlock}};
  memory.push_back(changed(memory[0], blocks[1], 0x11));
  memory.push_back(changed(memory[1], blocks[2], 0x22));
  memory.push_back(memory[2]);
  blocks.push_back(grow(memory[3]));
  blocks.push_back({2 * kBlock, uint32_t(memory[3].size() - regf::kBaseBlockSize - kBlock)});
  memory.push_back(changed(memory[3], blocks[4], 0x44));
  std::vector<Entry> e{{}};
  for (uint32_t k = 1; k <= 4; ++k) e.push_back(entry_from(memory[k], S + k - 1, blocks[k]));
  Entry stale = entry_from(changed(clean_, {50 * kBlock}, 0x99), S - 1, {50 * kBlock});
  Entry older_round = entry_from(changed(clean_, {51 * kBlock}, 0x98), S - 7, {51 * kBlock});

  auto log = [&](const std::vector<Entry>& entries) {
    return new_format_log(clean_, entries.empty() ? S : entries.front().sequence, entries);
  };
  auto at = [&](const std::vector<Entry>& entries, size_t i) { return entry_offsets(entries)[i]; };
  const std::vector<Entry> all{e[1], e[2], e[3], e[4]};
  auto with = [&](std::vector<uint8_t> bytes, const std::function<void(std::vector<uint8_t>&)>& edit) {
    edit(bytes);
    return bytes;
  };
  Entry outside = e[2];
  outside.pages[0].offset = memory[2].size();  // beyond the hive bins data
  Entry huge = e[2];
  huge.hive_bins_data_size = 0xFFFFF000;
  huge.pages.push_back({0xFFFFE000, std::vector<uint8_t>(kBlock, 0)});
  Entry without_new_bin = e[3];
  without_new_bin.pages.pop_back();

  struct Case {
    const char* name;
    std::vector<LogFile> logs;
    size_t recovered;  // writes the result holds
    std::string stop;  // part of the stop reason; empty: complete
    std::optional<uint64_t> stop_offset;
  } cases[] = {
      {"one log", {{"H.LOG1", log(all)}}, 4, "", {}},
      {"continued in the other log", {{"H.LOG1", log({e[1], e[2]})}, {"H.LOG2", log({e[3], e[4]})}}, 4, "", {}},
      {"logs given in reverse", {{"H.LOG2", log({e[3], e[4]})}, {"H.LOG1", log({e[1], e[2]})}}, 4, "", {}},
      {"entries older than the primary skipped", {{"H.LOG2", log({stale})}, {"H.LOG1", log(all)}}, 4, "", {}},
      {"earlier round after the current one", {{"H.LOG1", log({e[1], e[2], e[3], e[4], older_round})}}, 4, "", {}},
      {"cut short in the third entry",
       {{"H.LOG1", with(log(all), [&](auto& b) { b.resize(at(all, 2) + 1000); })}},
       2,
       "cut short",
       at(all, 2)},
      {"hash-1 broken in the second entry",
       {{"H.LOG1", with(log(all), [&](auto& b) { b[at(all, 1) + 40 + 16 + 100] ^= 1; })}},
       1,
       "hash-1",
       at(all, 1)},
      {"hash-2 broken in the third entry",
       {{"H.LOG1", with(log(all), [&](auto& b) { b[at(all, 2) + 12] ^= 1; })}},
       2,
       "hash-2",
       at(all, 2)},
      {"page outside the hive bins data", {{"H.LOG1", log({e[1], outside, e[3]})}}, 1, "outside", at(all, 1)},
      {"hive bins data size out of reach", {{"H.LOG1", log({e[1], huge, e[3]})}}, 1, "holds no page", at(all, 1)},
      {"growth without its new bin",
       {{"H.LOG1", log({e[1], e[2], without_new_bin, e[4]})}},
       2,
       "holds no page",
       at(all, 2)},
      {"sequence missing from both logs",
       {{"H.LOG1", log({e[1], e[2]})}, {"H.LOG2", log({e[4]})}},
       2,
       "no log entry with sequence " + std::to_string(S + 2),
       entry_offsets({e[4]})[0]},
      {"no entry for the primary", {{"H.LOG1", log({stale})}}, 0, "no log entry with sequence", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Image primary = clean_;
    make_dirty(primary, S);
    auto r = regf::recover(primary, c.logs);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    Image expected = clean_at(memory[c.recovered], c.recovered ? S + uint32_t(c.recovered) - 1 : S + 1);
    EXPECT_TRUE(r->image == expected);
    EXPECT_TRUE(r->report.dirty);
    EXPECT_EQ(r->report.entries_applied(), c.recovered);
    EXPECT_EQ(r->report.sequence, regf::load_u32(expected.data() + regf::base_block::kPrimarySequence));
    if (c.stop.empty()) {
      EXPECT_FALSE(r->report.stopped_early()) << r->report.to_string();
    } else {
      EXPECT_NE(r->report.stop_reason.find(c.stop), std::string::npos) << r->report.to_string();
      EXPECT_EQ(r->report.stop_offset, c.stop_offset);
      EXPECT_NE(r->report.to_string().find("recovery stopped: " + r->report.stop_file), std::string::npos);
    }
  }
}

// A base block torn by a crash, in each way that makes it invalid: the newest copy in
// a log that describes this file takes its place, and replay starts from that copy.
TEST_F(Recovery, NewFormatRestoresAnInvalidPrimaryBaseBlockFromTheNewestLog) {
  const uint32_t S = sequence_;
  Image memory = changed(clean_, {3 * kBlock}, 0x33);
  const std::vector<LogFile> logs{{"H.LOG2", new_format_log(clean_, S - 3, {entry_from(clean_, S - 3, {})})},
                                  {"H.LOG1", new_format_log(clean_, S, {entry_from(memory, S, {3 * kBlock})})}};
  Image other_hive = clean_;  // a hive whose root key lies elsewhere
  regf::store_u32(other_hive.data() + regf::base_block::kRootCellOffset, 3 * kBlock);
  Image larger_hive = clean_;  // a hive whose bins do not fit in this file
  grow(larger_hive);
  auto torn = [&](size_t at, uint8_t x, bool checksum_right) {
    Image primary = clean_;
    make_dirty(primary, S);
    primary[at] ^= x;
    if (checksum_right)
      regf::store_u32(primary.data() + regf::base_block::kChecksum, regf::base_block_checksum(primary.data()));
    return primary;
  };
  Image zeroed = torn(0, 0, false);
  std::fill_n(zeroed.begin(), 512, 0);

  const struct {
    const char* name;
    Image primary;
    std::vector<LogFile> logs;
    std::string error;  // empty: recovered from H.LOG1
  } cases[] = {
      {"checksum wrong", torn(100, 0xFF, false), logs, ""},
      {"signature gone", torn(0, 0x20, false), logs, ""},
      {"version 1.1 under a right checksum", torn(regf::base_block::kMinorVersion, 4, true), logs, ""},
      {"first sector zeroed", zeroed, logs, ""},
      {"no log valid",
       torn(100, 0xFF, false),
       {{"H.LOG1",
         [&] {
           auto b = logs[1].bytes;
           b[8] ^= 1;
           return b;
         }()}},
       "wrong base block checksum"},
      {"logs of other hives",
       torn(100, 0xFF, false),
       {{"H.LOG1", new_format_log(other_hive, S, {})}, {"H.LOG2", new_format_log(larger_hive, S, {})}},
       "no transaction log holds a base block of this hive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = regf::recover(c.primary, c.logs);
    if (!c.error.empty()) {
      // Without a valid copy anywhere the image cannot be trusted at all.
      ASSERT_FALSE(r.ok());
      EXPECT_NE(r.error().message.find(c.error), std::string::npos) << r.error().message;
      continue;
    }
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_EQ(r->report.base_block_log, "H.LOG1");
    EXPECT_NE(r->report.to_string().find("base block: taken from H.LOG1"), std::string::npos);
    EXPECT_TRUE(r->image == clean_at(memory, S));
  }
}

// Old-format logs: one log with the dirty pages of a single write; the primary keeps its
// sequence number S+1 and only its second number is raised.
TEST_F(Recovery, OldFormatLogIsAppliedWholeOrNotAtAll) {
  const uint32_t S = sequence_;
  Image base = clean_;
  // The first hive bin keeps a copy of the last-written time, for a damaged base block.
  std::copy_n(base.begin() + regf::base_block::kLastWritten, 8, base.begin() + regf::kBaseBlockSize + 20);
  make_clean(base, S);
  const std::vector<uint32_t> blocks{2 * kBlock, 9 * kBlock, 10 * kBlock};
  Image memory = changed(base, blocks, 0x55);
  Image grown = memory;
  std::vector<uint32_t> grown_blocks = blocks;
  for (uint32_t b : grow(grown)) grown_blocks.push_back(b);
  Image broken_bin = memory;
  broken_bin[regf::kBaseBlockSize] = 'X';  // the first hive bin's signature

  auto log = [&](const Image& m, const std::vector<uint32_t>& b) { return old_format_log(m, S + 1, b); };
  auto edited = [](std::vector<uint8_t> bytes, size_t at, uint8_t x) {
    bytes[at] ^= x;
    return bytes;
  };
  std::vector<uint8_t> cut = log(memory, blocks);
  cut.resize(cut.size() - 512);
  std::vector<uint8_t> other_write = log(memory, blocks);
  other_write[regf::base_block::kLastWritten] ^= 1;
  regf::store_u32(other_write.data() + regf::base_block::kChecksum, regf::base_block_checksum(other_write.data()));

  struct Case {
    const char* name;
    std::vector<LogFile> logs;
    const Image* recovered;  // nullptr: the primary as it was
    std::string stop;
  } cases[] = {
      {"dirty pages applied", {{"H.LOG", log(memory, blocks)}}, &memory, ""},
      {"hive grown by a new bin", {{"H.LOG", log(grown, grown_blocks)}}, &grown, ""},
      {"growth without its new bin", {{"H.LOG", log(grown, blocks)}}, nullptr, "holds no page"},
      {"log of another write", {{"H.LOG", other_write}}, nullptr, "no transaction log belongs"},
      {"log cut short", {{"H.LOG", cut}}, nullptr, "cut short"},
      {"log base block checksum wrong",
       {{"H.LOG", edited(log(memory, blocks), 60, 1)}},
       nullptr,
       "no usable transaction log"},
      {"dirty hive bin invalid", {{"H.LOG", log(broken_bin, {0, 2 * kBlock})}}, nullptr, "hive bin at offset 0x0"},
      {"first log damaged, second applied", {{"H.LOG1", cut}, {"H.LOG2", log(memory, blocks)}}, &memory, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Image primary = base;
    make_dirty(primary, S);
    auto r = regf::recover(primary, c.logs);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_TRUE(r->image == clean_at(c.recovered ? *c.recovered : base, S + 1));
    EXPECT_FALSE(r->report.base_block_from_log());
    if (c.stop.empty())
      EXPECT_FALSE(r->report.stopped_early()) << r->report.to_string();
    else
      EXPECT_NE(r->report.stop_reason.find(c.stop), std::string::npos) << r->report.to_string();
    if (!c.recovered) continue;

    // The same primary with its base block torn by the crash (a version of 1.1 and a
    // wrong checksum): the copy in the log that was applied takes its place, and the
    // result is the same, byte for byte.
    regf::store_u32(primary.data() + regf::base_block::kMinorVersion, 1);
    auto from_log = regf::recover(primary, c.logs);
    ASSERT_TRUE(from_log.ok()) << from_log.error().to_string();
    EXPECT_NE(from_log->report.to_string().find("base block: taken from " + c.logs.back().name), std::string::npos);
    EXPECT_TRUE(from_log->image == r->image);
  }

  // A torn primary beside a log whose copy names another root key: that log's pages are
  // taken out again and the next log restores the hive.
  Image elsewhere = changed(memory, {4 * kBlock}, 0x66);
  regf::store_u32(elsewhere.data() + regf::base_block::kRootCellOffset, 3 * kBlock);
  Image torn = base;
  make_dirty(torn, S);
  regf::store_u32(torn.data() + regf::base_block::kMinorVersion, 1);
  auto r = regf::recover(torn, {{"H.LOG1", log(elsewhere, {4 * kBlock})}, {"H.LOG2", log(memory, blocks)}});
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->report.base_block_log, "H.LOG2");
  EXPECT_TRUE(r->image == clean_at(memory, S + 1));
}

TEST_F(Recovery, CleanOrUnusablePrimaries) {
  Image dirty = clean_;
  make_dirty(dirty, sequence_);
  auto log1 = new_format_log(clean_, sequence_, {entry_from(changed(clean_, {kBlock}, 1), sequence_, {kBlock})});

  auto clean = regf::recover(clean_, {{"H.LOG1", log1}});
  ASSERT_TRUE(clean.ok());
  EXPECT_FALSE(clean->report.dirty);
  EXPECT_TRUE(clean->image == clean_);
  EXPECT_NE(clean->report.to_string().find("dirty: no\n"), std::string::npos);

  // Dirty with no logs: the primary is all there is, taken with a clean base block.
  auto alone = regf::recover(dirty, {});
  ASSERT_TRUE(alone.ok());
  EXPECT_TRUE(alone->image == clean_at(clean_, sequence_ + 1));
  EXPECT_EQ(alone->report.stop_reason, "no usable transaction log");

  const struct {
    const char* name;
    Image primary;
    std::string error;
  } failures[] = {
      {"shorter than a base block", Image(clean_.begin(), clean_.begin() + 4000), "file too short"},
      {"no signature, no log", Image(4096 * 3, 0), "no regf signature"},
  };
  auto missing = regf::recover_file("/nonexistent/no such hive");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().file, "/nonexistent/no such hive");

  for (const auto& c : failures) {
    SCOPED_TRACE(c.name);
    auto r = regf::recover(c.primary, {});
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().message.find(c.error), std::string::npos) << r.error().message;
  }
}

// The hive from a Windows 10 user profile left dirty, with both its logs.
TEST(RecoveryOfRealLogs, AppliesTheChangesOnlyTheLogsHold) {
  TempDir dir;
  // Restored copies may have changed the names' case; the logs are still found.
  const std::pair<const char*, const char*> files[] = {
      {"", "ntuser.dat"}, {".LOG1", "ntuser.dat.log1"}, {".LOG2", "NTUSER.DAT.Log2"}};
  for (auto [from, to] : files) ASSERT_TRUE(unpack_hive(std::string("transactions_NTUSER.DAT") + from, dir.path(to)));

  auto r = regf::recover_file(dir.path("ntuser.dat"));
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const regf::RecoveryReport& report = r->report;
  EXPECT_TRUE(report.dirty);
  // .LOG1 is found under its other letter case; every entry's Marvin32 hashes check out,
  // and all are replayed from 566 on. .LOG2 holds one older entry (562), from before the
  // switch to .LOG1: nothing to add.
  ASSERT_EQ(report.logs.size(), 2u);
  EXPECT_EQ(report.logs[0].format, regf::LogFormat::new_format);
  EXPECT_EQ(report.logs[1].entries_valid, 1u);
  EXPECT_EQ(report.logs[1].entries_applied, 0u);
  EXPECT_FALSE(report.stopped_early()) << report.to_string();
  const std::string text = report.to_string();
  for (const char* line :
       {"dirty: yes (sequence numbers differ (567, 566))\n",
        "log ntuser.dat.log1: new format, base block valid (sequence 566); entries: 23 valid, 23 "
        "applied (sequences 566-588); 132 pages, 1032192 bytes; ends at offset 0x113000: end of file\n",
        "recovered: sequence 588, hive bins data size 0xe2000, 132 pages applied from 23 log entries\n",
        "recovery complete\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  EXPECT_EQ(regf::load_u32(r->image.data() + regf::base_block::kChecksum), regf::base_block_checksum(r->image.data()));

  // The same primary with its base block torn (a version of 1.1 under a right checksum):
  // the copy in .LOG1 takes its place and the result is the same, byte for byte.
  Image torn = read_bytes(dir.path("ntuser.dat"));
  regf::store_u32(torn.data() + regf::base_block::kMinorVersion, 1);
  regf::store_u32(torn.data() + regf::base_block::kChecksum, regf::base_block_checksum(torn.data()));
  auto from_log = regf::recover(torn, {{"ntuser.dat.log1", read_bytes(dir.path("ntuser.dat.log1"))},
                                       {"NTUSER.DAT.Log2", read_bytes(dir.path("NTUSER.DAT.Log2"))}});
  ASSERT_TRUE(from_log.ok()) << from_log.error().to_string();
  EXPECT_EQ(from_log->report.base_block_log, "ntuser.dat.log1");
  EXPECT_TRUE(from_log->image == r->image);

  // Key paths as the independent reader hivexml sees them, before and after.
  ASSERT_TRUE(write_bytes(dir.path("recovered"), r->image));
  std::set<std::string> before, after;
  for (auto [file, paths] : {std::pair{"ntuser.dat", &before}, std::pair{"recovered", &after}}) {
    std::string error;
    const auto dump = run_hivexml(dir.path(file), &error);
    ASSERT_TRUE(dump) << error;
    for (const auto& k : dump->keys) paths->insert(k.path);
  }
  std::vector<std::string> changed;
  std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(changed));
  EXPECT_EQ(changed.size(), 527u);
  struct Key {
    const char* path;
    bool before, after;
  } keys[] = {
      {"Software\\Microsoft\\Payment\\PaymentApps", false, true},
      {"Software\\Microsoft\\Poom\\Indexing", false, true},
      {"Software\\Microsoft\\OneDrive\\Installer\\BITS\\UpdateBinary", false, true},
      {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\"
       "{2b8dca72-672e-11e7-bce1-806e6f6e6963}\\shell",
       true, false},
      {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", true, true},
  };
  for (const auto& key : keys) {
    EXPECT_EQ(before.count(key.path), key.before ? 1u : 0u) << key.path;
    EXPECT_EQ(after.count(key.path), key.after ? 1u : 0u) << key.path;
  }
}

}  // namespace
