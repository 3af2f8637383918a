// The user profile pass over a profile folder on drive E: which folders are mounted and
// walked, and what its two guards log.
#include "repair/UserProfiles.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "base/buffers.h"
#include "repair/RepairRun.h"
#include "tests/support/repair_fixture.h"
#include "win32/advapi32/registry.h"

namespace {

using namespace hivemend::testing;

class UserProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(enable_mount_privileges());
    ASSERT_TRUE(prefix_.define_drive('e', dst_ = prefix_.folder("e")));
    // Short paths that do not resolve (no drive C): candidates, counted as skipped.
    ASSERT_TRUE(write_hive(dst_ + "/Users/Alice/ntuser.dat",
                           key(u"U", {string_value(u"A1", u"C:\\PROGRA~1\\a.exe"), string_value(u"A2", u"x")})));
    ASSERT_TRUE(write_hive(dst_ + "/Users/Bob/ntuser.dat", key(u"U", {string_value(u"B1", u"C:\\PROGRA~1\\b.exe")})));
    ASSERT_TRUE(make_dir(dst_ + "/Users/Carol"));
    ASSERT_TRUE(make_file(dst_ + "/Users/Dave", "", "not a folder"));
    ASSERT_TRUE(make_file(dst_ + "/Users/ntuser.dat", "", "not in a user folder"));
    ASSERT_TRUE(make_dir(dst_ + "/Empty"));
  }
  void TearDown() override { RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER"); }

  TestPrefix prefix_;
  std::string dst_;
};

TEST_F(UserProfilesTest, WalksEachUserFolderThatHoldsAHive) {
  struct Case {
    std::u16string folder;
    DWORD accessed;
    std::vector<std::string> names;  // value names of the candidates, in the order met
  };
  const Case cases[] = {
      {u"E:\\Users", 3, {"A1", "B1"}},
      {u"E:\\Empty", 0, {}},
      {u"E:\\Missing", 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.folder));
    std::vector<LogEntry> log;
    CapturedLog capture(log);
    RepairRun run;
    WCHAR folder[kPathChars] = {};
    c.folder.copy(folder, c.folder.size());
    RepairUserProfiles(run, folder);
    EXPECT_EQ(run.m_dwValuesAccessed, c.accessed);
    EXPECT_EQ(run.m_dwPathsSkipped, c.names.size());
    std::vector<std::string> names;
    for (const auto& [context, message] : log) {
      EXPECT_EQ(context, kAttempted);
      const size_t at = message.find("KEYNAME=\"") + 9;
      names.push_back(message.substr(at, message.find('"', at) - at));
    }
    EXPECT_EQ(names, c.names);
    // The caller's buffer holds the search pattern afterwards.
    EXPECT_EQ(u8(folder), u8(c.folder) + "\\*.*");
  }
  // Nothing stays mounted.
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER"), ERROR_FILE_NOT_FOUND);
}

TEST_F(UserProfilesTest, GuardsLogAndGoOn) {
  const std::string inner = "RepairUserProfiles -> inner loop -> exception ";
  const std::string outer = "RepairUserProfiles -> outer loop -> exception ";
  struct Case {
    std::vector<std::string> failing;  // context prefixes whose delivery runs out of memory
    std::vector<LogEntry> log;
    DWORD accessed;
  };
  const Case cases[] = {
      // Alice's walk fails out of the traversal; her hive stays mounted, so Bob's mount
      // fails silently.
      {{"RegistryTraversal"}, {{inner, "E:\\Users\\Alice\\ntuser.dat"}}, 1},
      {{"RegistryTraversal", inner}, {{outer, "E:\\Users\\*.*"}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing.size());
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER");
    std::vector<LogEntry> log;
    CapturedLog capture(log, c.failing);
    RepairRun run;
    WCHAR folder[kPathChars] = u"E:\\Users";
    EXPECT_NO_THROW(RepairUserProfiles(run, folder));
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(run.m_dwValuesAccessed, c.accessed);
  }
}

}  // namespace
