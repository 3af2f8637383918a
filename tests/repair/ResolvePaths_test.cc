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

class ResolvePathsTest : public VolumeSuite<ResolvePathsTest> {
 public:
  static bool LayOut(const NtfsVolume& v) {
    return lay_out_program_files(v, "PROGRA~1", "PROGRA~2", "COMMON~1") &&
           make_file(v.path("Program Files/App/longtoolname.exe"), "LONGTO~1.EXE") &&
           make_dir(v.path("dir/Programs")) && make_file(v.path("Program Files/Data~Files/y.txt"));
  }

 protected:
  // One top-level call, as one cycle of the check list makes it.
  std::optional<std::u16string> resolve(const std::u16string& text) {
    WCHAR result[kValueTextChars] = {};
    if (ResolvePaths(run_, text.c_str(), result, nullptr) == 0) return std::nullopt;
    return std::u16string(result);
  }

  RepairRun run_;
};

TEST_F(ResolvePathsTest, OneCycle) {
  const struct {
    std::u16string text;
    std::optional<std::u16string> resolved;
  } cases[] = {
      {u"C:\\PROGRA~1\\COMMON~1\\System\\foo.dll", u"C:\\Program Files\\Common Files\\System\\foo.dll"},
      // The digits do not choose: only Program Files holds App\tool.exe.
      {u"C:\\PROGRA~2\\App\\tool.exe", u"C:\\Program Files\\App\\tool.exe"},
      {u"\"C:\\PROGRA~1\\App\\tool.exe\" -x", u"\"C:\\Program Files\\App\\tool.exe\" -x"},
      {u"rundll32 C:\\PROGRA~1\\App\\tool.exe", u"rundll32 C:\\Program Files\\App\\tool.exe"},
      {u"C:\\PROGRA~1\\App\\tool.exe /s", u"C:\\Program Files\\App\\tool.exe /s"},
      {u"C:\\PROGRA~1\\App\\tool.exe,0", u"C:\\Program Files\\App\\tool.exe,0"},
      {u"C:\\PROGRA~1\\COMMON~1\\System\\foo.dll,2", u"C:\\Program Files\\Common Files\\System\\foo.dll,2"},
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
      // Chosen here: directly under the root the same shape takes the first entry too.
      {u"C:\\PROGRA~1\\", u"C:\\Program Files\\"},
      {u"C:\\Program Files\\App\\tool.exe", std::nullopt},
      {u"PROGRA~1\\App\\tool.exe", std::nullopt},
      {u":\\PROGRA~1\\App\\tool.exe", std::nullopt},
      {u"Q:\\PROGRA~1\\App\\tool.exe", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(resolve(c.text), c.resolved) << u8(c.text);
}

TEST_F(ResolvePathsTest, TextThatWouldOutgrowItsBufferIsNotResolved) {
  // Long names replace short ones, so a text that fits can outgrow the buffer: a result
  // of 499 characters and its terminator is the longest that fits.
  const std::string a(200, 'a'), b(200, 'b');
  for (const auto& [c_len, expect_resolved] : {std::pair{61, true}, std::pair{62, false}}) {
    const std::string c(c_len, 'c');
    ASSERT_TRUE(make_file(volume_->path("Program Files/Common Files/" + a + "/" + b + "/" + c + "/x.dll")));
    const std::u16string text = u16("C:\\PROGRA~1\\COMMON~1\\" + a + "\\" + b + "\\" + c + "\\x.dll");
    const std::string longer = "C:\\Program Files\\Common Files\\" + a + "\\" + b + "\\" + c + "\\x.dll";
    ASSERT_LT(text.size(), kValueTextChars);
    ASSERT_EQ(longer.size(), size_t(438 + c_len));
    EXPECT_EQ(resolve(text), expect_resolved ? std::optional(u16(longer)) : std::nullopt) << longer.size();
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
