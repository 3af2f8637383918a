// Path resolution on a real NTFS volume whose short names are chosen by the test, so
// that they differ from the digits stored in the value texts.
#include "repair/ResolvePaths.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "repair/RepairRun.h"
#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

class ResolvePathsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    volume_ = NtfsVolume::create(&why_not_).release();
    if (!volume_) return;
    const auto& v = *volume_;
    ok_ = make_dir(v.path("Program Files"), "PROGRA~1") && make_dir(v.path("ProgramData"), "PROGRA~2") &&
          make_dir(v.path("Program Files/Common Files/System")) &&
          NtfsVolume::set_short_name(v.path("Program Files/Common Files"), "COMMON~1") &&
          make_file(v.path("Program Files/Common Files/System/foo.dll")) &&
          make_file(v.path("Program Files/App/tool.exe")) &&
          make_file(v.path("Program Files/App/longtoolname.exe"), "LONGTO~1.EXE") &&
          make_dir(v.path("dir/Programs")) && make_file(v.path("Program Files/Data~Files/y.txt"));
  }
  static void TearDownTestSuite() {
    delete volume_;
    volume_ = nullptr;
  }
  void SetUp() override {
    if (!volume_) GTEST_SKIP() << "NO NTFS VOLUME ON THIS MACHINE, test not run: " << why_not_;
    ASSERT_TRUE(ok_) << "could not lay out the test volume";
    ASSERT_TRUE(prefix_.define_drive('c', volume_->root()));
  }

  // One top-level call, as one cycle of the check list makes it.
  std::optional<std::u16string> resolve(const std::u16string& text) {
    WCHAR result[kValueTextChars] = {};
    if (ResolvePaths(run_, text.c_str(), result, nullptr) == 0) return std::nullopt;
    return std::u16string(result);
  }

  static NtfsVolume* volume_;
  static std::string why_not_;
  static bool ok_;
  TestPrefix prefix_;
  RepairRun run_;
};
NtfsVolume* ResolvePathsTest::volume_ = nullptr;
std::string ResolvePathsTest::why_not_;
bool ResolvePathsTest::ok_ = false;

TEST_F(ResolvePathsTest, OneCycleOfTheDesignsExamples) {
  struct Case {
    std::u16string text;
    std::optional<std::u16string> resolved;
  };
  const Case cases[] = {
      {u"C:\\PROGRA~1\\COMMON~1\\System\\foo.dll", u"C:\\Program Files\\Common Files\\System\\foo.dll"},
      // The digits do not choose: only Program Files holds App\tool.exe.
      {u"C:\\PROGRA~2\\App\\tool.exe", u"C:\\Program Files\\App\\tool.exe"},
      {u"\"C:\\PROGRA~1\\App\\tool.exe\" -x", u"\"C:\\Program Files\\App\\tool.exe\" -x"},
      {u"rundll32 C:\\PROGRA~1\\App\\tool.exe", u"rundll32 C:\\Program Files\\App\\tool.exe"},
      {u"C:\\PROGRA~1\\App\\tool.exe /s", u"C:\\Program Files\\App\\tool.exe /s"},
      {u"C:\\PROGRA~1\\App\\tool.exe,0", u"C:\\Program Files\\App\\tool.exe,0"},
      {u"C:\\PROGRA~1\\App\\tool.exe   ", u"C:\\Program Files\\App\\tool.exe   "},
      // ".exe" counts in lower case only, so the argument stays in the existence check.
      {u"C:\\PROGRA~1\\App\\TOOL.EXE -x", std::nullopt},
      {u"C:\\Program Files\\App\\LONGTO~1.EXE", u"C:\\Program Files\\App\\longtoolname.exe"},
      {u"C:\\Program Files\\App\\LONGTO~1.EXE -x", std::nullopt},
      {u"\"C:\\Program Files\\App\\LONGTO~1.EXE\"", std::nullopt},
      // A short file name behind short directories stays for the next cycle; the
      // existence check finds the file by its short name.
      {u"C:\\PROGRA~1\\App\\LONGTO~1.EXE", u"C:\\Program Files\\App\\LONGTO~1.EXE"},
      {u"C:\\PROGRA~1\\Missing\\x.dll", std::nullopt},
      {u"C:\\PROGRA~1\\App\\missing.exe", std::nullopt},
      {u"C:\\dir\\PROGRA~1\\", u"C:\\dir\\Programs\\"},
      // Our choice: directly under the root the same shape takes the first entry too.
      {u"C:\\PROGRA~1\\", u"C:\\Program Files\\"},
      {u"C:\\Program Files\\App\\tool.exe", std::nullopt},
      {u"PROGRA~1\\App\\tool.exe", std::nullopt},
      {u":\\PROGRA~1\\App\\tool.exe", std::nullopt},
      {u"Q:\\PROGRA~1\\App\\tool.exe", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.text));
    const auto got = resolve(c.text);
    ASSERT_EQ(got.has_value(), c.resolved.has_value()) << (got ? u8(*got) : "not resolved");
    if (got) {
      EXPECT_EQ(u8(*got), u8(*c.resolved));
    }
  }
}

TEST_F(ResolvePathsTest, TextThatWouldOutgrowItsBufferIsNotResolved) {
  // Long names replace short ones, so a text that fits can outgrow the buffer.
  const std::string a(200, 'a'), b(200, 'b');
  for (const auto& [c_len, expect_resolved] : {std::pair{50, true}, std::pair{70, false}}) {
    const std::string c(c_len, 'c');
    ASSERT_TRUE(make_file(volume_->path("Program Files/Common Files/" + a + "/" + b + "/" + c + "/x.dll")));
    const std::u16string text = u16("C:\\PROGRA~1\\COMMON~1\\" + a + "\\" + b + "\\" + c + "\\x.dll");
    const std::string longer = "C:\\Program Files\\Common Files\\" + a + "\\" + b + "\\" + c + "\\x.dll";
    ASSERT_LT(text.size(), kValueTextChars);
    SCOPED_TRACE(longer.size());
    const auto got = resolve(text);
    ASSERT_EQ(got.has_value(), expect_resolved);
    if (got) {
      EXPECT_EQ(u8(*got), longer);
    }
  }
}

TEST_F(ResolvePathsTest, SearchesFollowTheVolumesOrderAndKeepTheFirstThatFits) {
  // Both PROGRA* folders hold Shared\z.txt: the first in the volume's order wins, whatever
  // the digits say.
  ASSERT_TRUE(make_file(volume_->path("Program Files/Shared/z.txt")));
  ASSERT_TRUE(make_file(volume_->path("ProgramData/Shared/z.txt")));
  EXPECT_EQ(u8(*resolve(u"C:\\PROGRA~2\\Shared\\z.txt")), "C:\\Program Files\\Shared\\z.txt");
  // Only ProgramData holds Only\w.txt.
  ASSERT_TRUE(make_file(volume_->path("ProgramData/Only/w.txt")));
  EXPECT_EQ(u8(*resolve(u"C:\\PROGRA~1\\Only\\w.txt")), "C:\\ProgramData\\Only\\w.txt");
}

}  // namespace
