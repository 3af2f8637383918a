// Files, attributes and searches as Windows gives them on a real NTFS volume (ntfs-3g,
// short names as the volume records them).
#include "win32/kernel32/file.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "base/unicode.h"
#include "tests/support/ntfs_volume.h"
#include "tests/support/prefix.h"
#include "tests/win32/search.h"
#include "win32/host/directory.h"
#include "win32/host/ntfs_records.h"

namespace {

using namespace hivemend::testing;
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
    SCOPED_TRACE(base::to_utf8(c.pattern));
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

  const struct {
    const char16_t* path;
    DWORD attributes, error;
  } cases[] = {
      {u"C:\\", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0},
      {u"C:\\PROGRA~1", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY, 0},
      {u"c:\\program files\\app\\tool.exe", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, 0},
      {u"C:\\PROGRA~1\\App\\LONGTO~1.EXE", FILE_ATTRIBUTE_ARCHIVE, 0},
      {u"C:\\PROGRA~1\\App\\nothing.exe", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"C:\\PROGRA~1\\Nothing\\tool.exe", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes) << base::to_utf8(c.path);
    if (c.error) { EXPECT_EQ(GetLastError(), c.error) << base::to_utf8(c.path); }
  }
  // "." carries the directory's own attributes.
  h = FindFirstFileW(u"C:\\PROGRA~1\\*", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u".");
  EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(FindClose(h));
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

  // Changes made outside the layer are seen by the next call: a new entry, a new short
  // name, a directory renamed above a kept listing.
  write_text(volume_->path("Program Files/App/outside.exe"), "x");
  EXPECT_EQ(find_all(u"C:\\PROGRA~1\\App\\O*.*").long_names, Names{u"outside.exe"});
  ASSERT_TRUE(NtfsVolume::set_short_name(volume_->path("Program Files/App/outside.exe"), "OUTSID~9.EXE"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\PROGRA~1\\App\\OUTSID~9.EXE"), DWORD(FILE_ATTRIBUTE_ARCHIVE));
  std::filesystem::rename(volume_->path("Program Files/App"), volume_->path("Program Files/Moved"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\PROGRA~1\\App\\tool.exe"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(find_all(u"C:\\PROGRA~1\\Moved\\T*.*").long_names, Names{u"tool.exe"});
  // The old path's last name, now the short name of the moved one, leads there.
  ASSERT_TRUE(NtfsVolume::set_short_name(volume_->path("Program Files/Moved"), "APP"));
  EXPECT_EQ(find_all(u"C:\\PROGRA~1\\App\\T*.*").long_names, Names{u"tool.exe"});
}

// Every field of the find data, as one comparable text.
std::vector<std::string> FindData(const std::u16string& pattern) {
  std::vector<std::string> out;
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(pattern.c_str(), &d);
  for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &d)) {
    // A directory's access time moves as the searches themselves read it.
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) d.ftLastAccessTime = {};
    char fields[160];
    std::snprintf(fields, sizeof fields, " attr=%x size=%u:%u write=%u:%u access=%u:%u created=%u:%u",
                  d.dwFileAttributes, d.nFileSizeHigh, d.nFileSizeLow, d.ftLastWriteTime.dwHighDateTime,
                  d.ftLastWriteTime.dwLowDateTime, d.ftLastAccessTime.dwHighDateTime, d.ftLastAccessTime.dwLowDateTime,
                  d.ftCreationTime.dwHighDateTime, d.ftCreationTime.dwLowDateTime);
    out.push_back(base::to_utf8(d.cFileName) + "|" + base::to_utf8(d.cAlternateFileName) + fields);
  }
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
  return out;
}

// The MFT records read from the volume's image give what ntfs-3g's extended attributes
// and lstat give, for every kind of entry; those the records cannot vouch for (links,
// reparse points) are asked of ntfs-3g.
TEST_F(NtfsSearch, RecordsReadFromTheImageMatchNtfs3g) {
  const auto& v = *volume_;
  std::filesystem::create_directories(v.path("Mixed/Sub dir"));
  write_text(v.path("Mixed/plain.txt"), "");
  write_text(v.path("Mixed/big data file.bin"), std::string(70000, 'b'));  // non-resident data
  write_text(v.path("Mixed/README.TXT"), "8.3 as it stands");
  write_text(v.path("Mixed/\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt"), "unicode");
  write_text(v.path("Mixed/hidden system.dat"), "hs");
  ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Mixed/big data file.bin"), "BIGDAT~1.BIN"));
  ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Mixed/hidden system.dat"), "HIDDEN~3.DAT"));
  ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Mixed/Sub dir"), "SUBDIR~1"));
  const uint8_t hidden_system_readonly[4] = {0x07, 0, 0, 0};
  ASSERT_EQ(setxattr(v.path("Mixed/hidden system.dat").c_str(), "system.ntfs_attrib", hidden_system_readonly, 4, 0), 0);
  ASSERT_EQ(link(v.path("Mixed/plain.txt").c_str(), v.path("Mixed/Sub dir/hard link.txt").c_str()), 0);
  ASSERT_EQ(symlink("plain.txt", v.path("Mixed/link to plain").c_str()), 0);
  // A junction, as Windows puts "Documents and Settings" in a system drive's root.
  std::filesystem::create_directories(v.path("Mixed/Junction"));
  ASSERT_TRUE(NtfsVolume::make_junction(v.path("Mixed/Junction"), u"C:\\Mixed\\Sub dir"));
  struct stat junction;  // ntfs-3g fails the first look at a junction just made
  lstat(v.path("Mixed/Junction").c_str(), &junction);
  ASSERT_EQ(lstat(v.path("Mixed/Junction").c_str(), &junction), 0);
  // Names too long for one MFT record: the record gets an attribute list.
  for (char c : {'x', 'y', 'z'})
    ASSERT_EQ(link(v.path("Mixed/plain.txt").c_str(), v.path("Mixed/" + std::string(200, c)).c_str()), 0);
  for (int i = 0; i < 300; ++i) write_text(v.path("Mixed/Sub dir/entry number " + std::to_string(i)), "e");

  const std::u16string patterns[] = {u"C:\\Mixed\\*", u"C:\\MIXED\\SUBDIR~1\\*", u"C:\\*", u"C:\\Mixed\\BIGDAT~1.BIN",
                                     u"C:\\Mixed\\hidden system.dat"};
  auto all = [&](bool records) {
    hivemend::win32::set_ntfs_records_enabled(records);
    hivemend::win32::set_listing_cache_enabled(false);
    std::vector<std::string> out;
    for (const auto& p : patterns)
      for (std::string& line : FindData(p)) out.push_back(base::to_utf8(p) + " " + line);
    hivemend::win32::set_listing_cache_enabled(true);
    hivemend::win32::set_ntfs_records_enabled(true);
    return out;
  };
  const auto through_ntfs3g = all(false);
  ASSERT_GT(through_ntfs3g.size(), 300u);
  const auto from_records = all(true);
  // The first difference, rather than two long lists.
  const auto [theirs, ours] =
      std::mismatch(through_ntfs3g.begin(), through_ntfs3g.end(), from_records.begin(), from_records.end());
  EXPECT_TRUE(theirs == through_ntfs3g.end() && ours == from_records.end())
      << "ntfs-3g: " << (theirs == through_ntfs3g.end() ? "(end)" : *theirs)
      << "\nrecords: " << (ours == from_records.end() ? "(end)" : *ours);
}

}  // namespace
