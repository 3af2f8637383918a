// Files, attributes and searches as Windows gives them, on a real NTFS volume (ntfs-3g,
// short names as the volume records them) and on a plain Linux folder.
#include "win32/file.h"

#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/ntfs_volume.h"
#include "tests/win32/temp_prefix.h"
#include "win32/directory.h"

namespace {

using namespace hivemend::testing;
using win32_test::Found;
using win32_test::find_all;
using Names = std::vector<std::u16string>;

// A fresh NTFS volume as drive C, laid out as a Windows system drive with short names
// given out as Windows would.
class NtfsSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why_not;
    volume_ = NtfsVolume::create(&why_not);
    if (!volume_) GTEST_SKIP() << "NO NTFS VOLUME ON THIS MACHINE, test not run: " << why_not;
    const auto& v = *volume_;
    for (const char* dir : {"Program Files/Common Files/System", "Program Files/App", "ProgramData"})
      std::filesystem::create_directories(v.path(dir));
    write_text(v.path("Program Files/Common Files/System/foo.dll"), "foo");
    write_text(v.path("Program Files/App/tool.exe"), "tool");
    write_text(v.path("Program Files/App/longtoolname.exe"), "long tool");
    ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Program Files"), "PROGRA~1"));
    ASSERT_TRUE(NtfsVolume::set_short_name(v.path("ProgramData"), "PROGRA~2"));
    ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Program Files/Common Files"), "COMMON~1"));
    ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Program Files/App/longtoolname.exe"), "LONGTO~1.EXE"));
    ASSERT_TRUE(prefix_.define_drive('c', v.root()));
  }
  TestPrefix prefix_;
  std::unique_ptr<NtfsVolume> volume_;
};

TEST_F(NtfsSearch, FindsByLongAndShortNamesAsWindows) {
  const struct {
    const char16_t* pattern;
    Names long_names, short_names;
    DWORD error;  // after the last entry, or of FindFirstFileW when nothing is found
  } cases[] = {
      {u"C:\\PROGRA*.*", {u"Program Files", u"ProgramData"}, {u"PROGRA~1", u"PROGRA~2"}, ERROR_NO_MORE_FILES},
      {u"C:\\progra*.*", {u"Program Files", u"ProgramData"}, {u"PROGRA~1", u"PROGRA~2"}, ERROR_NO_MORE_FILES},
      {u"C:\\PROGRA~1", {u"Program Files"}, {u"PROGRA~1"}, ERROR_NO_MORE_FILES},
      {u"C:\\progra~2", {u"ProgramData"}, {u"PROGRA~2"}, ERROR_NO_MORE_FILES},
      {u"C:\\program files", {u"Program Files"}, {u"PROGRA~1"}, ERROR_NO_MORE_FILES},
      {u"C:\\PROGRA~1\\COMMON*.*", {u"Common Files"}, {u"COMMON~1"}, ERROR_NO_MORE_FILES},
      {u"C:\\PROGRA~1\\COMMON~1\\*", {u".", u"..", u"System"}, {u"", u"", u""}, ERROR_NO_MORE_FILES},
      {u"C:\\Program Files\\App\\LONGTO~1.EXE*.*", {u"longtoolname.exe"}, {u"LONGTO~1.EXE"}, ERROR_NO_MORE_FILES},
      {u"C:\\Program Files\\App\\LONGTO~1.EXE", {u"longtoolname.exe"}, {u"LONGTO~1.EXE"}, ERROR_NO_MORE_FILES},
      {u"C:\\PROGRA~1\\APP\\longtoolname.exe", {u"longtoolname.exe"}, {u"LONGTO~1.EXE"}, ERROR_NO_MORE_FILES},
      {u"C:\\PROGRA~1\\App\\*.exe", {u"longtoolname.exe", u"tool.exe"}, {u"LONGTO~1.EXE", u""}, ERROR_NO_MORE_FILES},
      {u"C:\\PROGRA~2\\*.*", {u".", u".."}, {u"", u""}, ERROR_NO_MORE_FILES},
      {u"C:\\missing.txt", {}, {}, ERROR_FILE_NOT_FOUND},
      {u"C:\\PROGRA~1\\Nothing*.*", {}, {}, ERROR_FILE_NOT_FOUND},
      {u"C:\\Program Files\\", {}, {}, ERROR_FILE_NOT_FOUND},
      {u"C:\\missing\\x.dll", {}, {}, ERROR_PATH_NOT_FOUND},
      {u"C:\\PROGRA~3\\*.*", {}, {}, ERROR_PATH_NOT_FOUND},
      {u"C:\\PROGRA~1\\App\\tool.exe\\*", {}, {}, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(regf::to_utf8(c.pattern));
    const Found found = find_all(c.pattern);
    EXPECT_EQ(found.long_names, c.long_names);
    EXPECT_EQ(found.short_names, c.short_names);
    EXPECT_EQ(found.error, c.error);
  }
}

TEST_F(NtfsSearch, FindDataAndAttributesAreTheVolumes) {
  // Hidden and archive on tool.exe; the attributes Windows gives a system drive's root
  // and "Program Files".
  for (auto [path, attributes] : {std::pair{volume_->path("Program Files/App/tool.exe"), 0x22},
                                  std::pair{volume_->root(), 0x16}, std::pair{volume_->path("Program Files"), 0x11}}) {
    const uint8_t bytes[4] = {uint8_t(attributes), 0, 0, 0};
    ASSERT_EQ(setxattr(path.c_str(), "system.ntfs_attrib", bytes, 4, 0), 0);
  }

  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(u"C:\\PROGRA~1\\App\\TOOL.EXE", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"tool.exe");
  EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(data.nFileSizeLow, 4u);
  EXPECT_FALSE(FindNextFileW(h, &data));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(h));
  EXPECT_FALSE(FindClose(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

  const struct { const char16_t* path; DWORD attributes, error; } cases[] = {
      {u"C:\\", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0},
      {u"C:\\PROGRA~1", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY, 0},
      {u"c:\\program files\\app\\tool.exe", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, 0},
      {u"C:\\PROGRA~1\\App\\LONGTO~1.EXE", FILE_ATTRIBUTE_ARCHIVE, 0},
      {u"C:\\PROGRA~1\\App\\nothing.exe", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"C:\\PROGRA~1\\Nothing\\tool.exe", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes) << regf::to_utf8(c.path);
    if (c.error) { EXPECT_EQ(GetLastError(), c.error) << regf::to_utf8(c.path); }
  }
}

TEST_F(NtfsSearch, ListingIsReadOnceAndKeptTrueByOwnWrites) {
  EXPECT_EQ(find_all(u"C:\\PROGRA~1\\App\\*.exe").long_names.size(), 2u);
  const uint64_t reads = hivemend::win32::directory_reads();
  for (int i = 0; i < 20; ++i) find_all(u"C:\\PROGRA~1\\App\\T*.*");
  EXPECT_EQ(hivemend::win32::directory_reads(), reads);

  HANDLE h = CreateFileW(u"C:\\PROGRA~1\\App\\new.exe", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "12345", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  const Found found = find_all(u"C:\\PROGRA~1\\App\\N*.*");
  EXPECT_EQ(found.long_names, Names{u"new.exe"});
  WIN32_FIND_DATAW data;
  HANDLE f = FindFirstFileW(u"C:\\Program Files\\App\\new.exe", &data);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  FindClose(f);
  EXPECT_TRUE(CloseHandle(h));
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix.folder("volume/Logs");
    ASSERT_TRUE(prefix.define_drive('e', volume = prefix.folder("volume")));
  }
  TestPrefix prefix;
  std::string volume;
};

TEST_F(FileTest, OpenAlwaysAppendsAtTheEnd) {
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

TEST_F(FileTest, CreationDispositions) {
  write_text(volume + "/Logs/old.txt", "old content");
  const struct {
    const char16_t* path;
    DWORD disposition;
    bool opens;
    DWORD error;
    const char* content_after;  // of Logs/old.txt
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
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << regf::to_utf8(c.path) << " " << c.disposition;
    EXPECT_EQ(GetLastError(), c.error) << regf::to_utf8(c.path) << " " << c.disposition;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(read_text(volume + "/Logs/old.txt"), c.content_after);
  }
  EXPECT_FALSE(std::filesystem::exists(volume + "/Logs/none.txt"));
}

TEST_F(FileTest, ShareModesAmongOpenHandles) {
  write_text(volume + "/Logs/shared.txt", "x");
  constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  const struct { DWORD access1, share1, access2, share2; bool second_opens; } cases[] = {
      {W, 0, R, SR | SW, false},       // share mode 0 refuses every second open
      {W, 0, W, 0, false},
      {R, SR, R, SR, true},
      {R, SR, W, SR | SW, false},      // the first does not share writing
      {R, SR | SW, W, SR, true},
      {W, SR | SW, R, SR, false},      // the second does not share the first's writing
      {R | W, SR | SW, R | W, SR | SW, true},
  };
  for (const auto& c : cases) {
    HANDLE first = CreateFileW(u"E:\\Logs\\shared.txt", c.access1, c.share1, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = CreateFileW(u"e:\\logs\\SHARED.TXT", c.access2, c.share2, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second_opens) << c.access1 << "/" << c.share1 << " then " << c.access2 << "/" << c.share2;
    if (second == INVALID_HANDLE_VALUE) { EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)); }
    else CloseHandle(second);
    CloseHandle(first);
  }
  // Once closed, the file opens again.
  HANDLE again = CreateFileW(u"E:\\Logs\\shared.txt", W, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(FileTest, SearchHandlesAreNotClosedByCloseHandle) {
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(u"E:\\*", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"Logs");  // a root has no "." and ".."
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(FindClose(h));
}

}  // namespace
