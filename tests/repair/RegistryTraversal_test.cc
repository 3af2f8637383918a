// The registry traversal over a real hive built with the hive engine, mounted from an
// NTFS volume whose short names differ from those stored in the values.
#include "repair/RegistryTraversal.h"

#include <gtest/gtest.h>

#include <new>
#include <set>
#include <string>
#include <vector>

#include "regf/diff.h"
#include "repair/RepairRun.h"
#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

const std::u16string kMissing = u"C:\\PROGRA~1\\Missing\\x.dll";

regf::TreeKey TestHive() {
  std::u16string big = u"C:\\PROGRA~1\\";
  big.append(300, u'x');
  return key(u"ROOT",
             {string_value(u"Plain", u16(kToolLong)), string_value(u"Expand", kTool, regf::kRegExpandSz),
              string_value(u"Multi", kTool + u'\0', regf::kRegMultiSz), string_value(u"NoDrive", u"PROGRA~1"),
              string_value(u"Tool", kTool), regf::TreeValue{u"Dword", regf::kRegDword, {1, 0, 0, 0}}},
             {key(u"A", {string_value(u"", kFoo), string_value(u"Missing", kMissing)},
                  // A text stored without its terminator, read after a longer one: the
                  // buffer holds nothing of the longer one.
                  {key(u"B", {string_value(u"Filler", std::u16string(200, u'y')),
                              regf::TreeValue{u"Again", regf::kRegSz, utf16(kTool, false)}})}),
              key(u"Empty"), key(u"Long", {string_value(u"Big", big)})});
}

// A hive built on a volume whose short names differ from those stored in the values.
class RegistryTraversalTest : public VolumeSuite<RegistryTraversalTest> {
 public:
  static bool LayOut(const NtfsVolume& v) { return lay_out_program_files(v, "PROGRA~4", "PROGRA~1", "COMMON~3"); }

 protected:
  void SetUp() override {
    VolumeSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(enable_mount_privileges());
    ASSERT_TRUE(write_hive(volume_->path("hives/TEST"), TestHive()));
    before_ = *read_hive(volume_->path("hives/TEST"));
  }

  // Mounts the test hive as built, walks it, unmounts it (writing it back) and reads it again.
  regf::TreeKey Walk(RepairRun& run) {
    EXPECT_TRUE(write_hive(volume_->path("hives/TEST"), TestHive()));
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-TEST", u"C:\\hives\\TEST"), ERROR_SUCCESS);
    try {
      RegistryTraversal(run, HKEY_LOCAL_MACHINE, u"QRT-TEST");
    } catch (...) {
      RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-TEST");
      throw;
    }
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-TEST"), ERROR_SUCCESS);
    return *read_hive(volume_->path("hives/TEST"));
  }

  // The names of the values that differ from the hive as built.
  std::set<std::string> Changed(const regf::TreeKey& after) {
    std::set<std::string> names;
    for (const auto& change : regf::diff_trees(before_, after)) {
      EXPECT_EQ(change.kind, regf::ChangeKind::kValueChanged);
      if (change.value_after) names.insert(u8(change.value_after->name));
    }
    return names;
  }

  regf::TreeKey before_;
};

TEST_F(RegistryTraversalTest, RewritesShortPathsAndLogsEachCandidate) {
  const std::string resolved = "RegistryTraversal -> CheckList -> ITEM RESOLVED";
  const LogEntry tool{kAttempted, keypath_record("QRT-TEST", "Tool", kTool)},
      foo{kAttempted, keypath_record("QRT-TEST\\A", "", kFoo)},
      missing{kAttempted, keypath_record("QRT-TEST\\A", "Missing", kMissing)},
      again{kAttempted, keypath_record("QRT-TEST\\A\\B", "Again", kTool)};
  const struct {
    bool rescue, detailed;
    std::vector<LogEntry> log;
  } cases[] = {
      {false, false, {tool, foo, missing, again}},
      {false,
       true,
       {tool,
        {resolved, keypath_record("QRT-TEST", "Tool", kTool, kToolLong)},
        foo,
        {resolved, keypath_record("QRT-TEST\\A", "", kFoo, kFooLong)},
        missing,
        again,
        {resolved, keypath_record("QRT-TEST\\A\\B", "Again", kTool, kToolLong)}}},
      // Rescue transfer: nothing of this walk is logged, detailed or not.
      {true, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "rescue " << c.rescue << ", detailed " << c.detailed);
    std::filesystem::remove(prefix_.log_path());
    RepairRun run;
    run.m_bRescueTransfer = c.rescue;
    run.m_bDetailedLogging = c.detailed;
    wcscpy(run.m_szSrcHiveLetters, u"C");
    wcscpy(run.m_szSrcLetters, u"C");
    run.m_chSrcLetterForC = u'C';
    const regf::TreeKey after = Walk(run);

    EXPECT_EQ(read_log(prefix_.log_path()), c.log);
    // Every value counts as accessed, the one too big to read included.
    EXPECT_EQ(run.m_dwValuesAccessed, 11u);
    EXPECT_EQ(run.m_dwPathsResolved, 4u);
    EXPECT_EQ(run.m_dwPathsSkipped, 1u);
    EXPECT_EQ(run.m_vecResolved.size(), 2u);  // the second tool.exe came from the cache
    EXPECT_EQ(Changed(after), (std::set<std::string>{"Tool", "", "Again"}));
    // Written as REG_SZ with the terminator stored.
    const regf::TreeValue* v = find_value(after, {u"A"}, u"");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, regf::kRegSz);
    EXPECT_EQ(v->data, utf16(u16(kFooLong)));
    EXPECT_EQ(value_text(find_value(after, {u"A", u"B"}, u"Again")), kToolLong);
    EXPECT_EQ(value_text(find_value(after, {}, u"Expand")), u8(kTool));
  }
}

TEST_F(RegistryTraversalTest, FailuresEndTheirSectionAndTheWalkGoesOn) {
  const std::string attempted = kAttempted;
  const std::string candidate = "RegistryTraversal -> CheckList section -> exception ";
  const std::string values = "RegistryTraversal -> RegEnumValue section -> exception ";
  const std::string outer = "RegistryTraversal -> outer loop -> exception ";
  struct Case {
    std::vector<std::string> failing;  // log contexts whose delivery runs out of memory
    std::vector<LogEntry> log;         // the lines that were delivered
    DWORD accessed;
    bool escapes;
  };
  const auto abandoned = [](const std::string& keypath, const std::string& name, const std::u16string& text) {
    return "KEYPATH=\"" + keypath + "\" KEYNAME=\"" + name + "\" VALUENAME=\"" + u8(text) + "\"";
  };
  const Case cases[] = {
      // Each candidate is abandoned: not written, not counted as skipped.
      {{attempted},
       {{candidate, abandoned("QRT-TEST", "Tool", kTool)},
        {candidate, abandoned("QRT-TEST\\A", "", kFoo)},
        {candidate, abandoned("QRT-TEST\\A", "Missing", kMissing)},
        {candidate, abandoned("QRT-TEST\\A\\B", "Again", kTool)}},
       11,
       false},
      // The value loop of each key ends at its first candidate; its subkeys are walked.
      {{attempted, candidate}, {{values, "QRT-TEST"}, {values, "QRT-TEST\\A"}, {values, "QRT-TEST\\A\\B"}}, 9, false},
      // The key is given up, subkeys and all.
      {{attempted, candidate, values}, {{outer, "QRT-TEST"}}, 5, false},
      {{attempted, candidate, values, outer}, {}, 5, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing.size());
    std::vector<LogEntry> log;
    CapturedLog capture(log, c.failing);
    RepairRun run;
    if (c.escapes) {
      EXPECT_THROW(Walk(run), std::bad_alloc);
    } else {
      EXPECT_TRUE(Changed(Walk(run)).empty());
    }
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(run.m_dwValuesAccessed, c.accessed);
    EXPECT_EQ(run.m_dwPathsResolved, 0u);
    EXPECT_EQ(run.m_dwPathsSkipped, 0u);
  }
}

TEST_F(RegistryTraversalTest, KeyThatCannotBeOpenedContributesNothing) {
  RepairRun run;
  RegistryTraversal(run, HKEY_LOCAL_MACHINE, u"QRT-NOT-MOUNTED");
  EXPECT_EQ(run.m_dwValuesAccessed, 0u);
  EXPECT_TRUE(read_log(prefix_.log_path()).empty());
}

}  // namespace
