// The value check list: cache hits, counting, resolution cycles, drive-letter
// translation in rescue-transfer mode, and its two failure sections.
#include "repair/CheckList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <optional>
#include <string>

#include "repair/RepairRun.h"
#include "repair/ResolvePaths.h"
#include "tests/support/repair_fixture.h"
#include "win32/host/directory.h"

// Allocation hook of this test program: the next array allocation of exactly this many
// bytes fails, as a process heap out of memory would. The cache's text blocks are array
// allocations, so a test can make one particular cache entry fail.
static size_t g_fail_array_bytes = 0;

void* operator new[](size_t n) {
  if (n != 0 && n == g_fail_array_bytes) {
    g_fail_array_bytes = 0;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace hivemend::testing;

class CheckListTest : public VolumeSuite<CheckListTest> {
 public:
  static bool LayOut(const NtfsVolume& v) {
    return lay_out_program_files(v, "PROGRA~3", "PROGRA~1", "COMMON~2") &&
           make_file(v.path("Program Files/App/longtoolname.exe"), "LONGTO~2.EXE") &&
           make_file(v.path("Program Files/Data~Files/y.txt"));
  }

 protected:
  // One call, as the traversal makes it; the result, or nullopt when there is none.
  static std::optional<std::u16string> check(RepairRun& run, const std::u16string& text) {
    WCHAR input[kValueTextChars] = {}, result[kValueTextChars] = {};
    text.copy(input, text.size());
    if (CheckList(run, input, result) == 0) return std::nullopt;
    return std::u16string(result);
  }
  std::optional<std::u16string> check(const std::u16string& text) { return check(run_, text); }
  static void rescue(RepairRun& run, const char16_t* source_letters, const char16_t* letters, WCHAR for_c) {
    run.m_bRescueTransfer = true;
    wcscpy(run.m_szSrcHiveLetters, source_letters);
    wcscpy(run.m_szSrcLetters, letters);
    run.m_chSrcLetterForC = for_c;
  }

  RepairRun run_;
};

TEST_F(CheckListTest, CyclesUntilNoShortNameIsLeft) {
  const struct {
    std::u16string text;
    std::optional<std::u16string> resolved;
  } cases[] = {
      {u"C:\\PROGRA~1\\COMMON~1\\System\\foo.dll", u"C:\\Program Files\\Common Files\\System\\foo.dll"},
      // Directories in the first cycle, the short file name in the second; the file
      // name's digits are part of its pattern and must be the volume's own.
      {u"C:\\PROGRA~1\\App\\LONGTO~2.EXE", u"C:\\Program Files\\App\\longtoolname.exe"},
      {u"C:\\PROGRA~1\\App\\LONGTO~1.EXE", std::nullopt},
      // First cycle succeeds (the file exists by its short name), second fails: no result.
      {u"C:\\PROGRA~1\\App\\LONGTO~2.EXE /s", std::nullopt},
      // A long name holding '~' keeps the text looking short for all 65 cycles; the
      // last one succeeded, so its result is given.
      {u"C:\\PROGRA~1\\Data~Files\\y.txt", u"C:\\Program Files\\Data~Files\\y.txt"},
      {u"C:\\PROGRA~1\\Missing\\x.dll", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(check(c.text), c.resolved) << u8(c.text);
  EXPECT_EQ(run_.m_dwPathsResolved, 6u);
  // Only the texts that got a result are cached, in the order met.
  ASSERT_EQ(run_.m_vecResolved.size(), 3u);
  EXPECT_EQ(u8(run_.m_vecResolved[0]->pszOldText.get()), "C:\\PROGRA~1\\COMMON~1\\System\\foo.dll");
  EXPECT_EQ(u8(run_.m_vecResolved[1]->pszNewText.get()), "C:\\Program Files\\App\\longtoolname.exe");
  EXPECT_EQ(u8(run_.m_vecResolved[2]->pszOldText.get()), "C:\\PROGRA~1\\Data~Files\\y.txt");
}

// The Data~Files text keeps its '~' however often it is resolved: the first cycle, then
// 64 more, each reading the directories of one resolution of the text it left.
TEST_F(CheckListTest, SixtyFiveCyclesAtMost) {
  namespace win32 = hivemend::win32;
  win32::set_listing_cache_enabled(false);
  const auto reads = [](auto call) {
    const uint64_t before = win32::directory_reads();
    call();
    return win32::directory_reads() - before;
  };
  const std::u16string text = u"C:\\PROGRA~1\\Data~Files\\y.txt";
  WCHAR first[kValueTextChars] = {}, again[kValueTextChars] = {};
  const uint64_t first_reads = reads([&] { ResolvePaths(run_, text.c_str(), first, nullptr); });
  const uint64_t later_reads = reads([&] { ResolvePaths(run_, first, again, nullptr); });
  const uint64_t all_reads = reads([&] { check(text); });
  win32::set_listing_cache_enabled(true);
  EXPECT_EQ(u8(again), "C:\\Program Files\\Data~Files\\y.txt");
  EXPECT_GT(later_reads, 0u);
  EXPECT_EQ(all_reads, first_reads + 64 * later_reads);
}

TEST_F(CheckListTest, RepeatedTextIsAnsweredFromTheCacheWithoutTheDisk) {
  const std::u16string text = u"C:\\PROGRA~1\\App\\tool.exe";
  ASSERT_EQ(check(text), u16(kToolLong));
  ASSERT_EQ(check(u"C:\\PROGRA~1\\Missing\\x.dll"), std::nullopt);

  // Without the drive only the cache can answer.
  ASSERT_TRUE(prefix_.define_drive('c', ""));
  const struct {
    std::u16string text;
    bool answered;
  } cases[] = {
      {text, true},
      {u"c:\\PROGRA~1\\App\\tool.exe", false},   // differs in case: not the cached text
      {u"C:\\PROGRA~1\\App\\tool.exe ", false},  // differs by a blank
      {u"C:\\PROGRA~1\\Missing\\x.dll", false},  // never cached, resolved again
  };
  for (const auto& c : cases)
    EXPECT_EQ(check(c.text), c.answered ? std::optional(u16(kToolLong)) : std::nullopt) << u8(c.text);
  EXPECT_EQ(run_.m_dwPathsResolved, 6u);  // every call counts, hits included
  EXPECT_EQ(run_.m_vecResolved.size(), 1u);
}

// A text that did not resolve is answered without a search while drive C's volume is
// unchanged, and resolved again after any change: each answer is the one a run that never
// met the text gives. The directories read tell a search from a kept answer.
TEST_F(CheckListTest, UnresolvedTextIsSearchedAgainOnlyAfterAChange) {
  namespace win32 = hivemend::win32;
  win32::set_listing_cache_enabled(false);
  const std::u16string text = u"C:\\PROGRA~1\\COMMON~1\\System\\late.dll";
  const std::string late = volume_->path("Program Files/Common Files/System/late.dll");
  std::filesystem::remove(late);
  const struct {
    const char* step;
    std::function<void()> change;
    bool searched;
  } steps[] = {
      {"first meeting", [] {}, true},
      {"met again", [] {}, false},
      {"a file made elsewhere on the volume", [&] { make_file(volume_->path("elsewhere.txt")); }, true},
      {"met again after it", [] {}, false},
      {"the file made", [&] { make_file(late); }, true},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    s.change();
    const uint64_t before = win32::directory_reads();
    const auto answer = check(text);
    EXPECT_EQ(win32::directory_reads() > before, s.searched);
    RepairRun fresh;
    EXPECT_EQ(answer, check(fresh, text));
  }
  EXPECT_EQ(check(text), u"C:\\Program Files\\Common Files\\System\\late.dll");
  win32::set_listing_cache_enabled(true);
  std::filesystem::remove(late);
  std::filesystem::remove(volume_->path("elsewhere.txt"));
}

TEST_F(CheckListTest, RescueTransferSearchesUnderTheCurrentLetterAndKeepsTheOldOne) {
  // The source system called its partitions C, D, E; they are F, G, H now. Only F and G
  // hold the volume, so a text is found only when its letter was translated.
  ASSERT_TRUE(prefix_.define_drive('c', ""));
  ASSERT_TRUE(prefix_.define_drive('f', volume_->root()));
  ASSERT_TRUE(prefix_.define_drive('g', volume_->root()));
  const struct {
    WCHAR chSrcLetterForC;
    std::u16string text;
    std::optional<std::u16string> resolved;
  } cases[] = {
      {u'F', u"D:\\PROGRA~1\\App\\tool.exe", u"D:\\Program Files\\App\\tool.exe"},
      {u'F', u"C:\\PROGRA~1\\App\\tool.exe", u"C:\\Program Files\\App\\tool.exe"},
      {u'F', u"E:\\PROGRA~1\\App\\tool.exe", std::nullopt},      // H holds nothing
      {u'F', u"Z:\\PROGRA~1\\App\\tool.exe", std::nullopt},      // not a source letter
      {u'F', u"\"D:\\PROGRA~1\\App\\tool.exe\"", std::nullopt},  // only the first character counts
      {u'F', u"d:\\PROGRA~1\\App\\tool.exe", std::nullopt},
      {0, u"C:\\PROGRA~1\\COMMON~1\\System\\foo.dll", std::nullopt},  // no C among the letters
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(u8(c.text));
    RepairRun run;
    rescue(run, u"CDE", u"FGH", c.chSrcLetterForC);
    EXPECT_EQ(check(run, c.text), c.resolved);
    // Cached under the text as it came, answered with the old letter.
    ASSERT_EQ(run.m_vecResolved.size(), c.resolved ? 1u : 0u);
    if (!c.resolved) continue;
    EXPECT_EQ(u8(run.m_vecResolved[0]->pszOldText.get()), u8(c.text));
    EXPECT_EQ(u8(run.m_vecResolved[0]->pszNewText.get()), u8(*c.resolved));
  }
  // Outside rescue transfer the letter is never changed: F holds the volume, D does not.
  EXPECT_EQ(check(u"F:\\PROGRA~1\\App\\tool.exe"), u"F:\\Program Files\\App\\tool.exe");
  EXPECT_FALSE(check(u"D:\\PROGRA~1\\App\\tool.exe"));
}

TEST_F(CheckListTest, FailedCacheEntryIsLoggedTwiceAndRaised) {
  const std::u16string resolved = u16(kFooLong);
  g_fail_array_bytes = (resolved.size() + 1) * sizeof(WCHAR);
  EXPECT_THROW(check(kFoo), RepairFailure);
  EXPECT_EQ(g_fail_array_bytes, 0u) << "the cache never asked for the block";
  EXPECT_TRUE(run_.m_vecResolved.empty());
  EXPECT_EQ(run_.m_dwPathsResolved, 1u);
  const std::vector<LogEntry> expected = {
      {"CheckList -> HeapAlloc -> exception ", u8(resolved)},
      {"CheckList -> outer loop -> exception ", u8(resolved)},
  };
  EXPECT_EQ(read_log(prefix_.log_path()), expected);

  // Nothing half-made stays behind: the next meeting resolves and caches it.
  EXPECT_EQ(check(kFoo), resolved);
  EXPECT_EQ(run_.m_vecResolved.size(), 1u);

  // In rescue-transfer mode the failure is raised without a line.
  RepairRun run;
  rescue(run, u"C", u"C", u'C');
  g_fail_array_bytes = (resolved.size() + 1) * sizeof(WCHAR);
  EXPECT_THROW(check(run, kFoo), RepairFailure);
  EXPECT_EQ(read_log(prefix_.log_path()).size(), 2u);
}

}  // namespace
