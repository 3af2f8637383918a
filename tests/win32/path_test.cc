// Windows paths through the drive letters, on a plain Linux folder (no NTFS metadata):
// case-insensitive names, generated short names, and a volume that cannot be left.
#include "win32/path.h"

#include <gtest/gtest.h>

#include "tests/win32/temp_prefix.h"

namespace {

using namespace hivemend::win32;
using namespace hivemend::testing;
using win32_test::find_all;

TEST(WindowsPathParse, ComponentsAsWindowsSeesThem) {
  const struct {
    const char16_t* path;
    char16_t drive;
    std::vector<std::u16string> components;
    bool trailing;
  } cases[] = {
      {u"C:\\Program Files\\App", u'C', {u"Program Files", u"App"}, false},
      {u"c:/a//b/", u'C', {u"a", u"b"}, true},
      {u"\\\\?\\E:\\x", u'E', {u"x"}, false},
      {u"C:\\a\\.\\b\\..\\c", u'C', {u"a", u"c"}, false},
      {u"C:\\..\\..\\etc", u'C', {u"etc"}, false},  // never above the root
      {u"C:\\name. . \\dir.", u'C', {u"name", u"dir"}, false},
      {u"C:\\PROGRA*.*", u'C', {u"PROGRA*.*"}, false},
      {u"D:", u'D', {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(regf::to_utf8(c.path));
    auto p = parse_windows_path(c.path);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->drive, c.drive);
    EXPECT_EQ(p->components, c.components);
    EXPECT_EQ(p->trailing_separator, c.trailing);
  }
  for (auto [path, error] : {std::pair{u"C:\\a|b", ERROR_INVALID_NAME}, std::pair{u"C:\\a\\b<", ERROR_INVALID_NAME},
                             std::pair{u"\\\\server\\share", ERROR_BAD_NETPATH}}) {
    auto p = parse_windows_path(path);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), error);
  }
}

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume = prefix.folder("volume");
    outside = prefix.folder("outside");
    prefix.folder("volume/ProgramData");
    write_text(outside + "/secret.txt", "outside");
    write_text(volume + "/Program Files/Common Files/System/foo.dll", "dll");
    write_text(volume + "/inside/file.txt", "in");
    symlink("/etc", (volume + "/etc_link").c_str());
    symlink(outside.c_str(), (volume + "/out_link").c_str());
    symlink("../outside", (volume + "/up_link").c_str());
    symlink("/inside", (volume + "/abs_inside").c_str());
    ASSERT_TRUE(prefix.define_drive('e', volume));
  }
  TestPrefix prefix;
  std::string volume, outside;
};

TEST_F(VolumeTest, AttributesByLongShortAndMixedCaseNames) {
  const struct { const char16_t* path; DWORD attributes, error; } cases[] = {
      {u"E:\\", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"E:\\Program Files", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"e:\\program files\\common files", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"E:\\PROGRA~1\\COMMON~1\\System\\foo.dll", FILE_ATTRIBUTE_ARCHIVE, 0},
      {u"E:\\PROGRA~2", FILE_ATTRIBUTE_DIRECTORY, 0},  // ProgramData, after "Program Files"
      {u"E:\\Program Files\\", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"E:\\missing.txt", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"E:\\missing\\foo.dll", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"E:\\inside\\file.txt\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"Q:\\anything", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},  // no such drive
  };
  for (const auto& c : cases) {
    SetLastError(0xDEAD);
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes) << regf::to_utf8(c.path);
    if (c.error) { EXPECT_EQ(GetLastError(), c.error) << regf::to_utf8(c.path); }
  }
}

TEST_F(VolumeTest, LinksAndDotsNeverLeaveTheVolume) {
  for (const char16_t* path : {
           u"E:\\etc_link\\passwd",     // /etc is the volume's /etc: none
           u"E:\\out_link\\secret.txt",  // absolute target, taken inside
           u"E:\\up_link\\secret.txt",   // ".." stops at the root
           u"E:\\..\\outside\\secret.txt", u"E:\\inside\\..\\..\\outside\\secret.txt"}) {
    EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES) << regf::to_utf8(path);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND)) << regf::to_utf8(path);
    EXPECT_EQ(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  }
  // Creating through a link that points outside creates nothing outside.
  HANDLE h = CreateFileW(u"E:\\out_link\\new.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(std::filesystem::exists(outside + "/new.txt"));
  // An absolute link target is the volume's own path.
  EXPECT_EQ(GetFileAttributesW(u"E:\\abs_inside\\FILE.TXT"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesW(u"E:\\ABS_IN~1\\file.txt"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(VolumeTest, SearchesGeneratedShortNamesInNameOrder) {
  auto found = find_all(u"E:\\PROGRA*.*");
  EXPECT_EQ(found.long_names, (std::vector<std::u16string>{u"Program Files", u"ProgramData"}));
  EXPECT_EQ(found.short_names, (std::vector<std::u16string>{u"PROGRA~1", u"PROGRA~2"}));
  EXPECT_EQ(found.error, DWORD(ERROR_NO_MORE_FILES));

  found = find_all(u"E:\\inside\\*");
  EXPECT_EQ(found.long_names, (std::vector<std::u16string>{u".", u"..", u"file.txt"}));
  found = find_all(u"E:\\*.txt");
  EXPECT_TRUE(found.long_names.empty());
  EXPECT_EQ(found.error, DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(WindowsName, LinuxPathsThroughTheDeepestDrive) {
  TestPrefix prefix;
  const std::string d = prefix.folder("d");
  ASSERT_TRUE(prefix.define_drive('d', d));
  std::u16string beside = u"Z:";  // a sibling whose name begins with the drive's
  for (char16_t c : regf::from_utf8(d + "x/y")) beside.push_back(c == u'/' ? u'\\' : c);
  const struct { std::string linux_path; std::u16string windows; } cases[] = {{"/srv/x", u"Z:\\srv\\x"}, {"/", u"Z:\\"}, {d, u"D:\\"}, {d + "/a/b.dll", u"D:\\a\\b.dll"}, {d + "x/y", beside}};
  for (const auto& c : cases) {
    auto w = windows_path_of(c.linux_path);
    ASSERT_TRUE(w) << c.linux_path;
    EXPECT_EQ(*w, c.windows) << c.linux_path;
  }
  ASSERT_TRUE(prefix.define_drive('z', ""));
  EXPECT_FALSE(windows_path_of("/srv/x"));
}

}  // namespace
