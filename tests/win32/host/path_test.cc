// Windows paths and files through the drive letters, on a plain Linux folder (no NTFS
// metadata): case-insensitive names, generated short names, a volume that cannot be left,
// and files opened, written and shared as Windows does.
#include "win32/host/path.h"
#include "win32/kernel32/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "base/unicode.h"
#include "tests/support/prefix.h"
#include "tests/win32/search.h"

namespace {

using namespace hivemend::win32;
using namespace hivemend::testing;

TEST(WindowsPathParse, ComponentsAsWindowsSeesThem) {
  const struct {
    const char16_t* path;
    char16_t drive;
    std::vector<std::u16string_view> parts;
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
    SCOPED_TRACE(base::to_utf8(c.path));
    auto p = parse_windows_path(c.path);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->drive, c.drive);
    EXPECT_EQ(p->components, c.parts);
    EXPECT_EQ(p->trailing_separator, c.trailing);
    // Copies and moves keep their own components, short texts too.
    const WindowsPath copy = *p;
    WindowsPath moved = std::move(*p);
    *p = WindowsPath();
    EXPECT_EQ(copy.components, c.parts);
    EXPECT_EQ(moved.components, c.parts);
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
    prefix.folder("volume/Logs");
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
  const struct {
    const char16_t* path;
    DWORD attributes, error;
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
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes) << base::to_utf8(c.path);
    if (c.error) { EXPECT_EQ(GetLastError(), c.error) << base::to_utf8(c.path); }
  }
}

TEST_F(VolumeTest, LinksAndDotsNeverLeaveTheVolume) {
  for (const char16_t* path : {u"E:\\etc_link\\passwd",      // /etc is the volume's /etc: none
                               u"E:\\out_link\\secret.txt",  // absolute target, taken inside
                               u"E:\\up_link\\secret.txt",   // ".." stops at the root
                               u"E:\\..\\outside\\secret.txt", u"E:\\inside\\..\\..\\outside\\secret.txt"}) {
    EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES) << base::to_utf8(path);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND)) << base::to_utf8(path);
    EXPECT_EQ(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
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

  // A search handle is not closed by CloseHandle; a root has no "." and "..".
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(u"E:\\*", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"abs_inside");
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(FindClose(h));
}

// A change made beside the layer (through Linux, as another process would) shows in the
// next search after a listing was kept: a new file, a longer one, a read-only one, a
// removed one.
TEST_F(VolumeTest, ChangesBesideTheLayerShowInTheNextSearch) {
  const auto shown = [](const char16_t* pattern) {
    std::vector<std::string> out;
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(pattern, &d);
    for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &d))
      out.push_back(base::to_utf8(d.cFileName) + " " + std::to_string(d.nFileSizeLow) + " " +
                    std::to_string(d.dwFileAttributes));
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    return out;
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(shown(u"E:\\inside\\*.txt"), Lines{"file.txt 2 32"});
  const struct {
    const char* change;
    std::function<void()> make;
    Lines expected;
  } steps[] = {
      {"created", [&] { write_text(volume + "/inside/new.txt", "new"); }, {"file.txt 2 32", "new.txt 3 32"}},
      {"longer", [&] { write_text(volume + "/inside/file.txt", "longer"); }, {"file.txt 6 32", "new.txt 3 32"}},
      {"read-only", [&] { chmod((volume + "/inside/new.txt").c_str(), 0444); }, {"file.txt 6 32", "new.txt 3 33"}},
      {"removed", [&] { unlink((volume + "/inside/file.txt").c_str()); }, {"new.txt 3 33"}},
  };
  for (const auto& step : steps) {
    step.make();
    EXPECT_EQ(shown(u"E:\\inside\\*.txt"), step.expected) << step.change;
  }
}

TEST_F(VolumeTest, OpenAlwaysAppendsAtTheEnd) {
  const char16_t* path = u"E:\\LOGS\\report.txt";
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));  // created
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "first\n", 6, &n, nullptr));
  EXPECT_TRUE(CloseHandle(h));

  h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 6u);
  ASSERT_TRUE(WriteFile(h, "second\n", 7, &n, nullptr));
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 13u);  // unchanged by the refused move
  char buf[4];
  EXPECT_FALSE(ReadFile(h, buf, 4, &n, nullptr));  // opened for writing only
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(read_text(volume + "/Logs/report.txt"), "first\nsecond\n");

  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(VolumeTest, CreationDispositions) {
  write_text(volume + "/Logs/old.txt", "old content");
  // after: the content of Logs/old.txt afterwards.
  const struct {
    const char16_t* path;
    DWORD disposition;
    bool opens;
    DWORD error;
    const char* after;
  } cases[] = {
      {u"E:\\Logs\\old.txt", CREATE_NEW, false, ERROR_FILE_EXISTS, "old content"},
      {u"E:\\Logs\\OLD.TXT", OPEN_EXISTING, true, ERROR_SUCCESS, "old content"},
      {u"E:\\Logs\\none.txt", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, "old content"},
      {u"E:\\Nope\\none.txt", OPEN_ALWAYS, false, ERROR_PATH_NOT_FOUND, "old content"},
      {u"E:\\Logs\\none.txt", TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, "old content"},
      {u"E:\\Logs", OPEN_EXISTING, false, ERROR_ACCESS_DENIED, "old content"},
      {u"E:\\Logs\\old.txt", CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
  };
  for (const auto& c : cases) {
    HANDLE h = CreateFileW(c.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition, 0, nullptr);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << base::to_utf8(c.path) << " " << c.disposition;
    EXPECT_EQ(GetLastError(), c.error) << base::to_utf8(c.path) << " " << c.disposition;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(read_text(volume + "/Logs/old.txt"), c.after);
  }
  EXPECT_FALSE(std::filesystem::exists(volume + "/Logs/none.txt"));
}

TEST_F(VolumeTest, ShareModesAmongOpenHandles) {
  write_text(volume + "/Logs/shared.txt", "x");
  constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  const struct {
    DWORD access1, share1, access2, share2;
    bool second_opens;
  } cases[] = {
      {W, 0, R, SR | SW, false},  // share mode 0 refuses every second open
      {W, 0, W, 0, false},
      {R, SR, R, SR, true},
      {R, SR, W, SR | SW, false},  // the first does not share writing
      {R, SR | SW, W, SR, true},
      {W, SR | SW, R, SR, false},  // the second does not share the first's writing
      {R | W, SR | SW, R | W, SR | SW, true},
  };
  for (const auto& c : cases) {
    HANDLE first = CreateFileW(u"E:\\Logs\\shared.txt", c.access1, c.share1, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileW(u"e:\\logs\\SHARED.TXT", c.access2, c.share2, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second_opens)
        << c.access1 << "/" << c.share1 << " then " << c.access2 << "/" << c.share2;
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    } else
      CloseHandle(second);
    CloseHandle(first);
  }
  // Once closed, the file opens again.
  HANDLE again = CreateFileW(u"E:\\Logs\\shared.txt", W, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST(WindowsName, DrivesFollowTheEnvironmentsPrefix) {
  TestPrefix first;
  ASSERT_TRUE(first.define_drive('e', first.folder("one")));
  ASSERT_TRUE(write_text(first.dir() + "/one/first.txt", "1"));
  TestPrefix second;
  ASSERT_TRUE(second.define_drive('e', second.folder("two")));
  EXPECT_EQ(GetFileAttributesW(u"E:\\first.txt"), INVALID_FILE_ATTRIBUTES);
  // Back to the first prefix without a drive defined meanwhile: its E: answers.
  setenv("HIVEMEND_PREFIX", first.dir().c_str(), 1);
  EXPECT_EQ(GetFileAttributesW(u"E:\\first.txt"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
  setenv("HIVEMEND_PREFIX", second.dir().c_str(), 1);
  EXPECT_EQ(GetFileAttributesW(u"E:\\first.txt"), INVALID_FILE_ATTRIBUTES);
}

TEST(WindowsName, LinuxPathsThroughTheDeepestDrive) {
  TestPrefix prefix;
  const std::string d = prefix.folder("d");
  ASSERT_TRUE(prefix.define_drive('d', d));
  std::u16string beside = u"Z:";  // a sibling whose name begins with the drive's
  for (char16_t c : base::from_utf8(d + "x/y")) beside.push_back(c == u'/' ? u'\\' : c);
  const struct {
    std::string linux_path;
    std::u16string windows;
  } cases[] = {
      {"/srv/x", u"Z:\\srv\\x"}, {"/", u"Z:\\"}, {d, u"D:\\"}, {d + "/a/b.dll", u"D:\\a\\b.dll"}, {d + "x/y", beside}};
  for (const auto& c : cases) {
    auto w = windows_path_of(c.linux_path);
    ASSERT_TRUE(w) << c.linux_path;
    EXPECT_EQ(*w, c.windows) << c.linux_path;
  }
  // Without a z: link Z: is "/"; a z: link elsewhere is honoured.
  ASSERT_TRUE(prefix.define_drive('z', ""));
  auto z = windows_path_of("/srv/x");
  EXPECT_TRUE(z && *z == u"Z:\\srv\\x");
  beside.resize(beside.size() - 3);  // the folder of drive d by its Z: name
  EXPECT_EQ(GetFileAttributesW(beside.c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
  ASSERT_TRUE(prefix.define_drive('z', d));
  EXPECT_FALSE(windows_path_of("/srv/x"));
  EXPECT_EQ(GetFileAttributesW(u"Z:\\srv"), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
