// Windows paths through the drive letters, on a plain Linux folder (no NTFS metadata):
// case-insensitive names, generated short names, and a volume that cannot be left.
#include "win32/path.h"

#include <gtest/gtest.h>

#include "tests/win32/temp_prefix.h"

namespace {

using namespace hivemend::win32;
using win32_test::TempPrefix;

TEST(WindowsPathParse, ComponentsAsWindowsSeesThem) {
  struct Case {
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
    auto p = parse_windows_path(c.path);
    ASSERT_TRUE(p) << win32_test::utf8(c.path);
    EXPECT_EQ(p->drive, c.drive);
    EXPECT_EQ(p->components, c.components) << win32_test::utf8(c.path);
    EXPECT_EQ(p->trailing_separator, c.trailing) << win32_test::utf8(c.path);
  }
  struct Bad {
    const char16_t* path;
    DWORD error;
  } bad[] = {{u"C:\\a|b", ERROR_INVALID_NAME}, {u"C:\\a\\b<", ERROR_INVALID_NAME}, {u"\\\\server\\share", ERROR_BAD_NETPATH}};
  for (const auto& b : bad) {
    auto p = parse_windows_path(b.path);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), b.error);
  }
}

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume = prefix.folder("volume");
    outside = prefix.folder("outside");
    win32_test::write_text(outside + "/secret.txt", "outside");
    std::filesystem::create_directories(volume + "/Program Files/Common Files/System");
    std::filesystem::create_directories(volume + "/ProgramData");
    std::filesystem::create_directories(volume + "/inside");
    win32_test::write_text(volume + "/Program Files/Common Files/System/foo.dll", "dll");
    win32_test::write_text(volume + "/inside/file.txt", "in");
    symlink("/etc", (volume + "/etc_link").c_str());
    symlink(outside.c_str(), (volume + "/out_link").c_str());
    symlink("../outside", (volume + "/up_link").c_str());
    symlink("/inside", (volume + "/abs_inside").c_str());
    ASSERT_TRUE(prefix.define('e', volume));
  }
  TempPrefix prefix;
  std::string volume, outside;
};

TEST_F(VolumeTest, AttributesByLongShortAndMixedCaseNames) {
  struct Case {
    const char16_t* path;
    DWORD attributes;
    DWORD error;
  } cases[] = {
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
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes) << win32_test::utf8(c.path);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error) << win32_test::utf8(c.path);
    }
  }
}

TEST_F(VolumeTest, LinksAndDotsNeverLeaveTheVolume) {
  struct Case {
    const char16_t* path;
    DWORD error;
  } cases[] = {
      {u"E:\\etc_link\\passwd", ERROR_PATH_NOT_FOUND},     // /etc is the volume's /etc: none
      {u"E:\\out_link\\secret.txt", ERROR_PATH_NOT_FOUND},  // absolute target, taken inside
      {u"E:\\up_link\\secret.txt", ERROR_PATH_NOT_FOUND},   // ".." stops at the root
      {u"E:\\..\\outside\\secret.txt", ERROR_PATH_NOT_FOUND},
      {u"E:\\inside\\..\\..\\outside\\secret.txt", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileAttributesW(c.path), INVALID_FILE_ATTRIBUTES) << win32_test::utf8(c.path);
    EXPECT_EQ(GetLastError(), c.error) << win32_test::utf8(c.path);
    HANDLE h = CreateFileW(c.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << win32_test::utf8(c.path);
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
  auto found = win32_test::find_all(u"E:\\PROGRA*.*");
  EXPECT_EQ(found.long_names, (std::vector<std::u16string>{u"Program Files", u"ProgramData"}));
  EXPECT_EQ(found.short_names, (std::vector<std::u16string>{u"PROGRA~1", u"PROGRA~2"}));
  EXPECT_EQ(found.error, DWORD(ERROR_NO_MORE_FILES));

  found = win32_test::find_all(u"E:\\inside\\*");
  EXPECT_EQ(found.long_names, (std::vector<std::u16string>{u".", u"..", u"file.txt"}));
  found = win32_test::find_all(u"E:\\*.txt");
  EXPECT_TRUE(found.long_names.empty());
  EXPECT_EQ(found.error, DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(WindowsName, LinuxPathsThroughTheDeepestDrive) {
  TempPrefix prefix;
  const std::string d = prefix.folder("d");
  ASSERT_TRUE(prefix.define('d', d));
  struct Case {
    std::string linux_path;
    std::u16string windows;
  } cases[] = {
      {"/srv/x", u"Z:\\srv\\x"},
      {"/", u"Z:\\"},
      {d, u"D:\\"},
      {d + "/a/b.dll", u"D:\\a\\b.dll"},
      {d + "x/y", u"Z:" + regf::from_utf8(d + "x\\y").substr(0)},
  };
  cases[4].windows = u"Z:";
  for (char16_t c : regf::from_utf8(d + "x/y")) cases[4].windows.push_back(c == u'/' ? u'\\' : c);
  for (const auto& c : cases) {
    auto w = windows_path_of(c.linux_path);
    ASSERT_TRUE(w) << c.linux_path;
    EXPECT_EQ(*w, c.windows) << c.linux_path;
  }
  ASSERT_TRUE(prefix.define('z', ""));
  EXPECT_FALSE(windows_path_of("/srv/x"));
}

}  // namespace
