// The repair run end to end: the run object's flags from the product settings, the hive
// pass driver over an installation on drive E (SOFTWARE, SYSTEM, user hives), the
// rescue-transfer section with the source system's SYSTEM hive, the guards of each
// section, the summary, and the real SYSTEM hive of the test data.
#include "app/HivemendDlg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "regf/diff.h"
#include "settings/Options.h"
#include "tests/support/repair_fixture.h"
#include "win32/registry.h"

namespace {

using namespace hivemend::testing;

constexpr DWORD kSig = 0x1A2B3C4D;
const std::u16string kTool = u"C:\\PROGRA~1\\App\\tool.exe";
const std::u16string kFoo = u"C:\\PROGRA~1\\COMMON~1\\System\\foo.dll";
const std::string kToolLong = "C:\\Program Files\\App\\tool.exe";
const std::string kFooLong = "C:\\Program Files\\Common Files\\System\\foo.dll";
const std::string kAttempted = "RegistryTraversal -> CheckList -> RESOLVE ATTEMPTED";

std::string ProductRegistry(const std::string& root_values, const std::string& wickmar_values) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n"
         "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\Product\"\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product]\r\n" +
         root_values + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product\\Wickmar]\r\n" + wickmar_values;
}

std::string Record(const std::string& keypath, const std::string& name, const std::u16string& old_text) {
  return "\r\nKEYPATH=\"" + keypath + "\"\r\nKEYNAME=\"" + name + "\"\r\nOLDVALUE=\"" + u8(old_text) +
         "\"\r\nNEWVALUE=\"\"";
}

std::string Summary(const std::string& accessed, const std::string& resolved, const std::string& skipped) {
  return utf16le("\r\n====== Registry Entries Resolved ========\r\n\r\n"
                 "HKEY_CLASSES_ROOT   - 0\r\nHKEY_CURRENT_USER   - 0\r\nHKEY_LOCAL_MACHINE  - 0\r\n"
                 "HKEY_USERS          - 0\r\nHKEY_CURRENT_CONFIG - 0\r\n"
                 "\r\nValues Accessed     - " + accessed + "\r\nPaths Resolved      - " + resolved +
                 "\r\nPaths Skipped       - " + skipped + "\r\n");
}

// An installation on drive E (a plain folder) whose registry names files on the
// source disk, an NTFS volume: Program Files and Common Files with short names other
// than the stored ones, and the source system's own SYSTEM hive with its drive letters.
class HivemendDlgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    volume_ = NtfsVolume::create(&why_not_).release();
    if (!volume_) return;
    const auto& v = *volume_;
    ok_ = make_dir(v.path("Program Files"), "PROGRA~2") && make_dir(v.path("ProgramData"), "PROGRA~1") &&
          make_dir(v.path("Program Files/Common Files/System")) &&
          NtfsVolume::set_short_name(v.path("Program Files/Common Files"), "COMMON~7") &&
          make_file(v.path("Program Files/Common Files/System/foo.dll")) &&
          make_file(v.path("Program Files/App/tool.exe")) &&
          write_hive(v.path("Windows/system32/config/SYSTEM"),
                     key(u"SYSTEM", {}, {key(u"MountedDevices", {binary_value(u"\\DosDevices\\D:", Sig(0x200000)),
                                                                  binary_value(u"\\DosDevices\\C:", Sig(0x100000))})}));
  }
  static void TearDownTestSuite() {
    delete volume_;
    volume_ = nullptr;
  }
  static std::vector<uint8_t> Sig(uint64_t offset) {
    std::vector<uint8_t> d;
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(kSig >> (8 * i)));
    for (int i = 0; i < 8; ++i) d.push_back(static_cast<uint8_t>(offset >> (8 * i)));
    return d;
  }

  void SetUp() override {
    if (!volume_) GTEST_SKIP() << "NO NTFS VOLUME ON THIS MACHINE, test not run: " << why_not_;
    ASSERT_TRUE(ok_) << "could not lay out the test volume";
    ASSERT_TRUE(enable_mount_privileges());
    char tmpl[] = "/tmp/hivemend-dst-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dst_ = tmpl;
    ASSERT_TRUE(prefix_.define_drive('e', dst_));
    ASSERT_TRUE(prefix_.define_drive('c', volume_->root()));
    const std::string config = dst_ + "/Windows/system32/config/";
    ASSERT_TRUE(write_hive(config + "SOFTWARE",
                           key(u"SOFTWARE", {},
                               {key(u"Microsoft", {},
                                    {key(u"Windows NT", {},
                                         {key(u"CurrentVersion", {},
                                              {key(u"ProfileList",
                                                   {string_value(u"ProfilesDirectory", u"%SystemDrive%\\Users")})})})}),
                                key(u"Vendor", {string_value(u"Tool", kTool), string_value(u"Plain", u"x")})})));
    ASSERT_TRUE(write_hive(config + "SYSTEM",
                           key(u"SYSTEM", {}, {key(u"Services", {}, {key(u"x", {string_value(u"ImagePath", kFoo)})})})));
    ASSERT_TRUE(write_hive(dst_ + "/Users/Alice/ntuser.dat",
                           key(u"U", {}, {key(u"Software", {string_value(u"Run", kTool),
                                                            string_value(u"Gone", u"C:\\PROGRA~1\\Gone\\g.exe")})})));
    ASSERT_TRUE(write_hive(dst_ + "/Users/Bob/ntuser.dat", key(u"U", {}, {key(u"Software", {string_value(u"Run", kTool)})})));
    ASSERT_TRUE(make_dir(dst_ + "/Users/Carol"));
    ASSERT_TRUE(make_file(dst_ + "/Users/Dave", "", "a plain file"));
    ASSERT_TRUE(prefix_.write_registry(ProductRegistry("", "")));
  }
  void TearDown() override {
    SetLogSink({});
    ReleaseOptions();
    // A section that failed leaves its hive mounted.
    for (const char16_t* name : {u"QRT-SOFTWARE", u"QRT-SYSTEM", u"QRT-USER", u"QRT-SRC-SYSTEM"})
      RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name);
    std::error_code ec;
    std::filesystem::remove_all(dst_, ec);
  }

  std::string Text(const std::string& file, const std::vector<std::u16string>& path, const std::u16string& name) {
    const auto tree = read_hive(dst_ + "/" + file);
    return tree ? value_text(find_value(*tree, path, name)) : "<unreadable>";
  }
  std::string Report() { return file_bytes(prefix_.dir() + "/logs/hivemend-report.txt"); }

  static NtfsVolume* volume_;
  static std::string why_not_;
  static bool ok_;
  TestPrefix prefix_;
  std::string dst_;
};
NtfsVolume* HivemendDlgTest::volume_ = nullptr;
std::string HivemendDlgTest::why_not_;
bool HivemendDlgTest::ok_ = false;

TEST_F(HivemendDlgTest, FlagsComeFromTheProductSettings) {
  struct Case {
    std::string root_values, wickmar_values;
    bool rescue, detailed;
  };
  const Case cases[] = {
      {"\"CDTransfer\"=\"YES\"\r\n", "\"DetailedLog\"=dword:00000001\r\n", true, true},
      {"\"CDTransfer\"=\"NO\"\r\n", "\"DetailedLog\"=dword:00000000\r\n", false, false},
      {"\"CDTransfer\"=\"yes\"\r\n", "\"DetailedLog\"=dword:00000002\r\n", false, true},
      {"\"CDTransfer\"=\"YES \"\r\n", "", false, false},
      {"", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root_values + c.wickmar_values);
    ASSERT_TRUE(prefix_.write_registry(ProductRegistry(c.root_values, c.wickmar_values)));
    std::filesystem::remove(prefix_.log_path());
    // No positions: nothing is mounted, the summary is still written.
    std::filesystem::remove(prefix_.dir() + "/logs/hivemend-report.txt");
    CHivemendDlg run(u"", u"E", kSig);
    EXPECT_EQ(run.m_bRescueTransfer, c.rescue);
    EXPECT_EQ(run.m_bDetailedLogging, c.detailed);
    EXPECT_EQ(run.m_nIDTemplate, 9503u);
    const std::vector<LogEntry> expected = {
        {"CHivemendDlg -> pSrcLetters = ", ""},
        {"CHivemendDlg -> pDstLetters = ", "E"},
        {"CHivemendDlg", c.rescue ? "m_bRescueTransfer = true" : "m_bRescueTransfer = false"},
        {"CHivemendDlg", c.detailed ? "m_bDetailedLogging = true" : "m_bDetailedLogging = false"},
    };
    EXPECT_EQ(read_log(prefix_.log_path()), expected);
    EXPECT_EQ(Report(), Summary("0", "0", "0"));
  }
}

TEST_F(HivemendDlgTest, RepairsSoftwareSystemAndEveryUserHive) {
  {
    CHivemendDlg run(u"C", u"E", kSig);
    EXPECT_EQ(run.m_dwValuesAccessed, 7u);
    EXPECT_EQ(run.m_dwPathsResolved, 5u);
    EXPECT_EQ(run.m_dwPathsSkipped, 1u);
  }
  const std::vector<LogEntry> expected = {
      {"CHivemendDlg -> pSrcLetters = ", "C"},
      {"CHivemendDlg -> pDstLetters = ", "E"},
      {"CHivemendDlg", "m_bRescueTransfer = false"},
      {"CHivemendDlg", "m_bDetailedLogging = false"},
      {kAttempted, Record("QRT-SOFTWARE\\Vendor", "Tool", kTool)},
      {kAttempted, Record("QRT-SYSTEM\\Services\\x", "ImagePath", kFoo)},
      {kAttempted, Record("QRT-USER\\Software", "Run", kTool)},
      {kAttempted, Record("QRT-USER\\Software", "Gone", u"C:\\PROGRA~1\\Gone\\g.exe")},
      {kAttempted, Record("QRT-USER\\Software", "Run", kTool)},
  };
  EXPECT_EQ(read_log(prefix_.log_path()), expected);
  const std::string config = "Windows/system32/config/";
  EXPECT_EQ(Text(config + "SOFTWARE", {u"Vendor"}, u"Tool"), kToolLong);
  EXPECT_EQ(Text(config + "SYSTEM", {u"Services", u"x"}, u"ImagePath"), kFooLong);
  EXPECT_EQ(Text("Users/Alice/ntuser.dat", {u"Software"}, u"Run"), kToolLong);
  EXPECT_EQ(Text("Users/Alice/ntuser.dat", {u"Software"}, u"Gone"), "C:\\PROGRA~1\\Gone\\g.exe");
  EXPECT_EQ(Text("Users/Bob/ntuser.dat", {u"Software"}, u"Run"), kToolLong);
  EXPECT_EQ(Report(), Summary("7", "5", "1"));
}

TEST_F(HivemendDlgTest, RescueTransferLearnsTheSourceLettersAndKeepsThem) {
  // The source disk is S now; its system called that partition C. No drive C exists
  // here, so the paths are found only through the translation.
  ASSERT_TRUE(prefix_.define_drive('c', ""));
  ASSERT_TRUE(prefix_.define_drive('s', volume_->root()));
  ASSERT_TRUE(prefix_.write_registry(ProductRegistry("\"CDTransfer\"=\"YES\"\r\n", "\"DetailedLog\"=dword:00000001\r\n")));
  {
    CHivemendDlg run(u"S", u"E", kSig);
    EXPECT_EQ(u8(run.m_szSrcHiveLetters), "CD");
    EXPECT_EQ(run.m_chSrcLetterForC, u'S');
    EXPECT_EQ(run.m_dwPathsResolved, 5u);
    EXPECT_EQ(run.m_dwPathsSkipped, 1u);
  }
  // No per-value lines in this mode, detailed or not.
  const std::vector<LogEntry> expected = {
      {"CHivemendDlg -> pSrcLetters = ", "S"},
      {"CHivemendDlg -> pDstLetters = ", "E"},
      {"CHivemendDlg", "m_bRescueTransfer = true"},
      {"CHivemendDlg", "m_bDetailedLogging = true"},
      {"Hivemend -> m_szSrcHiveLetters = ", "CD"},
  };
  EXPECT_EQ(read_log(prefix_.log_path()), expected);
  EXPECT_EQ(Text("Windows/system32/config/SYSTEM", {u"Services", u"x"}, u"ImagePath"), kFooLong);
  EXPECT_EQ(Text("Users/Bob/ntuser.dat", {u"Software"}, u"Run"), kToolLong);
}

TEST_F(HivemendDlgTest, RescueSectionWithoutMountedDevicesSkipsThePosition) {
  // E holds a SYSTEM hive without MountedDevices: as the source drive it fails the
  // discovery, and its position is not repaired.
  ASSERT_TRUE(prefix_.write_registry(ProductRegistry("\"CDTransfer\"=\"YES\"\r\n", "")));
  {
    CHivemendDlg run(u"E", u"E", kSig);
    EXPECT_EQ(run.m_dwValuesAccessed, 0u);
  }
  const auto log = read_log(prefix_.log_path());
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[4], (LogEntry{"Hivemend -> rescue disk section -> WinPE_GetDriveLetters failed ",
                              "E:\\Windows\\system32\\config\\SYSTEM"}));
  EXPECT_EQ(Text("Users/Bob/ntuser.dat", {u"Software"}, u"Run"), u8(kTool));
  EXPECT_EQ(Report(), Summary("0", "0", "0"));
}

TEST_F(HivemendDlgTest, PositionsFollowTheSourceLetters) {
  struct Case {
    std::u16string src, dst;
    DWORD accessed;
  };
  const Case cases[] = {
      {u"C", u"", 0},     // no destination letter: the hive paths are empty texts
      {u"CD", u"XE", 7},  // X holds nothing, E is repaired at the second position
      {u"C", u"EX", 7},   // the extra destination letter is never visited
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(u8(c.src) + "/" + u8(c.dst));
    CHivemendDlg run(c.src.c_str(), c.dst.c_str(), kSig);
    EXPECT_EQ(run.m_dwValuesAccessed, c.accessed);
  }
}

TEST_F(HivemendDlgTest, SectionFailuresAreLoggedAndTheRunGoesOn) {
  struct Case {
    const char* what;
    std::string failing_prefix;  // log contexts beginning with it run out of memory
    bool rescue;
    std::vector<LogEntry> guard_lines;
    DWORD accessed;
  };
  const std::string config = "E:\\Windows\\system32\\config\\";
  const Case cases[] = {
      {"every walk fails: SOFTWARE and SYSTEM sections give up, no profile pass", "RegistryTraversal", false,
       {{"Hivemend -> SOFTWARE section -> exception ", config + "SOFTWARE"},
        {"Hivemend -> SYSTEM section -> exception ", config + "SYSTEM"}},
       3},
      {"the rescue section fails: the position is skipped", "Hivemend -> m_szSrcHiveLetters", true,
       {{"Hivemend -> rescue disk section -> exception ", "C:\\Windows\\system32\\config\\SYSTEM"}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(prefix_.write_registry(ProductRegistry(c.rescue ? "\"CDTransfer\"=\"YES\"\r\n" : "", "")));
    std::vector<LogEntry> guard_lines;
    SetLogSink([&](LPCWSTR context, LPCWSTR message) {
      const std::string text = u8(context);
      if (text.rfind(c.failing_prefix, 0) == 0) throw std::bad_alloc();
      if (text.find("section -> exception") != std::string::npos) guard_lines.push_back({text, u8(message)});
    });
    std::filesystem::remove(prefix_.dir() + "/logs/hivemend-report.txt");
    {
      CHivemendDlg run(u"C", u"E", kSig);
      EXPECT_EQ(run.m_dwValuesAccessed, c.accessed);
    }
    EXPECT_EQ(guard_lines, c.guard_lines);
    EXPECT_EQ(Report(), Summary(std::to_string(c.accessed), "0", "0"));
    SetLogSink({});
    for (const char16_t* name : {u"QRT-SOFTWARE", u"QRT-SYSTEM"}) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name);
  }
}

TEST_F(HivemendDlgTest, RealSystemHiveKeepsEverythingButItsShortPaths) {
  // The test data's SYSTEM hive names Office files in 10 values; lay them out on C with
  // short names other than the stored ones.
  const std::string config = dst_ + "/Windows/system32/config/";
  std::filesystem::remove(config + "SOFTWARE");
  const std::string cmd = "xz -dc '" HIVEMEND_TESTDATA "/hives/SYSTEM.xz' > '" + config + "SYSTEM'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const auto before = read_hive(config + "SYSTEM");
  ASSERT_TRUE(before);

  const auto& v = *volume_;
  // A decoy first in the volume's order, and short names other than the stored ones.
  ASSERT_TRUE(make_dir(v.path("Program Files/Microsoft Games"), "MICROS~2"));
  ASSERT_TRUE(make_dir(v.path("Program Files/Microsoft Office/Office14/1033")));
  ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Program Files/Microsoft Office"), "MICROS~3"));
  ASSERT_TRUE(make_dir(v.path("Program Files/Common Files/microsoft shared/Office14"), ""));
  ASSERT_TRUE(NtfsVolume::set_short_name(v.path("Program Files/Common Files/microsoft shared"), "MICROS~4"));
  const std::string shared = "Program Files/Common Files/microsoft shared/";
  for (const std::string& file : {shared + "Office14/OFFREL.DLL", shared + "Office14/MSORES.DLL", shared + "DW/DW20.EXE",
                                 std::string("Program Files/Microsoft Office/Office14/1033/MAPIR.DLL"),
                                 std::string("Program Files/Microsoft Office/Office14/OLMAPI32.DLL")})
    ASSERT_TRUE(make_file(v.path(file)));

  {
    CHivemendDlg run(u"C", u"E", kSig);
    EXPECT_EQ(run.m_dwValuesAccessed, 73456u);
    EXPECT_EQ(run.m_dwPathsResolved, 10u);
    // Two values join two paths with ';', which no directory search matches.
    EXPECT_EQ(run.m_dwPathsSkipped, 2u);
  }
  const auto after = read_hive(config + "SYSTEM");
  ASSERT_TRUE(after);
  const std::map<std::string, std::string> expected = {
      {"C:\\PROGRA~1\\COMMON~1\\MICROS~1\\OFFICE14\\OFFREL.DLL",
       "C:\\Program Files\\Common Files\\microsoft shared\\Office14\\OFFREL.DLL"},
      {"C:\\PROGRA~1\\MICROS~2\\Office14\\1033\\MAPIR.DLL", "C:\\Program Files\\Microsoft Office\\Office14\\1033\\MAPIR.DLL"},
      {"C:\\PROGRA~1\\MICROS~2\\Office14\\OLMAPI32.DLL", "C:\\Program Files\\Microsoft Office\\Office14\\OLMAPI32.DLL"},
  };
  // Every other byte of content is as before: the only changes are these values.
  size_t changed = 0;
  for (const auto& change : regf::diff_trees(*before, *after)) {
    ASSERT_EQ(change.kind, regf::ChangeKind::kValueChanged) << regf::format_changes({change}, u"SYSTEM");
    ASSERT_EQ(change.value_after->type, regf::kRegSz);
    ++changed;
    const std::string old_text = value_text(change.value_before);
    ASSERT_TRUE(expected.count(old_text)) << old_text;
    EXPECT_EQ(value_text(change.value_after), expected.at(old_text));
  }
  EXPECT_EQ(changed, 8u);
  EXPECT_EQ(std::system(("hivexml '" + config + "SYSTEM' > /dev/null 2>&1").c_str()), 0);
}

}  // namespace
