// The repair run end to end: the run object's flags from the product settings, the hive
// pass driver over an installation on drive E (SOFTWARE, SYSTEM, user hives), the
// rescue-transfer section with the source system's SYSTEM hive, the guards of each
// section, the summary, and the real SYSTEM hive of the test data.
#include "app/HivemendDlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "regf/diff.h"
#include "settings/Options.h"
#include "tests/support/hivexml.h"
#include "tests/support/repair_fixture.h"
#include "win32/advapi32/registry.h"

namespace {

using namespace hivemend::testing;

constexpr DWORD kSig = 0x1A2B3C4D;

std::string ProductRegistry(const std::string& root_values, const std::string& wickmar_values) {
  return app_paths("Product") + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product]\r\n" + root_values +
         "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Product\\Wickmar]\r\n" + wickmar_values;
}
const std::string kRescue = "\"CDTransfer\"=\"YES\"\r\n";
std::string Summary(const std::string& accessed, const std::string& resolved, const std::string& skipped) {
  return utf16le(summary_block(accessed, resolved, skipped));
}
std::vector<LogEntry> RunLines(const std::string& src, bool rescue, bool detailed) {
  return {{"CHivemendDlg -> pSrcLetters = ", src},
          {"CHivemendDlg -> pDstLetters = ", "E"},
          {"CHivemendDlg", rescue ? "m_bRescueTransfer = true" : "m_bRescueTransfer = false"},
          {"CHivemendDlg", detailed ? "m_bDetailedLogging = true" : "m_bDetailedLogging = false"}};
}

// An installation on drive E (a plain folder) whose registry names files on the
// source disk, an NTFS volume: Program Files and Common Files with short names other
// than the stored ones, and the source system's own SYSTEM hive with its drive letters.
class HivemendDlgTest : public VolumeSuite<HivemendDlgTest> {
 public:
  static bool LayOut(const NtfsVolume& v) {
    return lay_out_program_files(v, "PROGRA~2", "PROGRA~1", "COMMON~7") &&
           write_hive(
               v.path("Windows/system32/config/SYSTEM"),
               key(u"SYSTEM", {},
                   {key(u"MountedDevices", {binary_value(u"\\DosDevices\\D:", mounted_device(kSig, 0x200000)),
                                            binary_value(u"\\DosDevices\\C:", mounted_device(kSig, 0x100000))})}));
  }

 protected:
  void SetUp() override {
    VolumeSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(enable_mount_privileges());
    ASSERT_TRUE(prefix_.define_drive('e', dst_ = prefix_.folder("e")));
    const std::string config = dst_ + "/Windows/system32/config/";
    ASSERT_TRUE(write_hive(
        config + "SOFTWARE",
        key(u"SOFTWARE", {},
            {key(u"Microsoft", {},
                 {key(u"Windows NT", {},
                      {key(u"CurrentVersion", {},
                           {key(u"ProfileList", {string_value(u"ProfilesDirectory", u"%SystemDrive%\\Users")})})})}),
             key(u"Vendor", {string_value(u"Tool", kTool), string_value(u"Plain", u"x")})})));
    ASSERT_TRUE(
        write_hive(config + "SYSTEM",
                   key(u"SYSTEM", {}, {key(u"Services", {}, {key(u"x", {string_value(u"ImagePath", kFoo)})})})));
    ASSERT_TRUE(write_hive(
        dst_ + "/Users/Alice/ntuser.dat",
        key(u"U", {},
            {key(u"Software", {string_value(u"Run", kTool), string_value(u"Gone", u"C:\\PROGRA~1\\Gone\\g.exe")})})));
    ASSERT_TRUE(
        write_hive(dst_ + "/Users/Bob/ntuser.dat", key(u"U", {}, {key(u"Software", {string_value(u"Run", kTool)})})));
    ASSERT_TRUE(prefix_.write_registry(ProductRegistry("", "")));
  }
  void TearDown() override {
    ReleaseOptions();
    // A section that failed leaves its hive mounted.
    for (const char16_t* name : {u"QRT-SOFTWARE", u"QRT-SYSTEM", u"QRT-USER", u"QRT-SRC-SYSTEM"})
      RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name);
  }

  std::string Text(const std::string& file, const std::vector<std::u16string>& path, const std::u16string& name) {
    const auto tree = read_hive(dst_ + "/" + file);
    return tree ? value_text(find_value(*tree, path, name)) : "<unreadable>";
  }
  std::string Report() { return read_text(prefix_.dir() + "/logs/hivemend-report.txt"); }

  std::string dst_;
};

TEST_F(HivemendDlgTest, FlagsComeFromTheProductSettings) {
  const struct {
    std::string root_values, wickmar_values;
    bool rescue, detailed;
  } cases[] = {
      {kRescue, "\"DetailedLog\"=dword:00000001\r\n", true, true},
      {"\"CDTransfer\"=\"NO\"\r\n", "\"DetailedLog\"=dword:00000000\r\n", false, false},
      {"\"CDTransfer\"=\"yes\"\r\n", "\"DetailedLog\"=dword:00000002\r\n", false, true},
      {"\"CDTransfer\"=\"YES \"\r\n", "", false, false},
      {"", "", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root_values + c.wickmar_values);
    ASSERT_TRUE(prefix_.write_registry(ProductRegistry(c.root_values, c.wickmar_values)));
    std::filesystem::remove(prefix_.log_path());
    // No positions: nothing is mounted, the summary is still written.
    std::filesystem::remove(prefix_.dir() + "/logs/hivemend-report.txt");
    CHivemendDlg run(u"", u"E", kSig);
    EXPECT_EQ(run.m_bRescueTransfer, c.rescue);
    EXPECT_EQ(run.m_bDetailedLogging, c.detailed);
    EXPECT_EQ(read_log(prefix_.log_path()), RunLines("", c.rescue, c.detailed));
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
  std::vector<LogEntry> expected = RunLines("C", false, false);
  for (auto [keypath, name, text] :
       {std::tuple{"QRT-SOFTWARE\\Vendor", "Tool", kTool}, std::tuple{"QRT-SYSTEM\\Services\\x", "ImagePath", kFoo},
        std::tuple{"QRT-USER\\Software", "Run", kTool},
        std::tuple{"QRT-USER\\Software", "Gone", std::u16string(u"C:\\PROGRA~1\\Gone\\g.exe")},
        std::tuple{"QRT-USER\\Software", "Run", kTool}})
    expected.push_back({kAttempted, keypath_record(keypath, name, text)});
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
  ASSERT_TRUE(prefix_.write_registry(ProductRegistry(kRescue, "\"DetailedLog\"=dword:00000001\r\n")));
  {
    CHivemendDlg run(u"S", u"E", kSig);
    EXPECT_EQ(u8(run.m_szSrcHiveLetters), "CD");
    EXPECT_EQ(run.m_chSrcLetterForC, u'S');
    EXPECT_EQ(run.m_dwPathsResolved, 5u);
    EXPECT_EQ(run.m_dwPathsSkipped, 1u);
  }
  // No per-value lines in this mode, detailed or not.
  std::vector<LogEntry> expected = RunLines("S", true, true);
  expected.push_back({"Hivemend -> m_szSrcHiveLetters = ", "CD"});
  EXPECT_EQ(read_log(prefix_.log_path()), expected);
  EXPECT_EQ(Text("Windows/system32/config/SYSTEM", {u"Services", u"x"}, u"ImagePath"), kFooLong);
  EXPECT_EQ(Text("Users/Bob/ntuser.dat", {u"Software"}, u"Run"), kToolLong);
}

TEST_F(HivemendDlgTest, RescueTransferMountsTheSourceSystemAgainAtEachPosition) {
  // Every position mounts its source SYSTEM hive under the same name: the first must be
  // unmounted before the second learns its letters.
  ASSERT_TRUE(prefix_.define_drive('s', volume_->root()));
  ASSERT_TRUE(prefix_.write_registry(ProductRegistry(kRescue, "")));
  { CHivemendDlg run(u"SS", u"EE", kSig); }
  const auto log = read_log(prefix_.log_path());
  EXPECT_EQ(std::count(log.begin(), log.end(), LogEntry{"Hivemend -> m_szSrcHiveLetters = ", "CD"}), 2);
}

TEST_F(HivemendDlgTest, RescueSectionWithoutMountedDevicesSkipsThePosition) {
  // E holds a SYSTEM hive without MountedDevices: as the source drive it fails the
  // discovery, and its position is not repaired.
  ASSERT_TRUE(prefix_.write_registry(ProductRegistry(kRescue, "")));
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
  const struct {
    std::u16string src, dst;
    DWORD accessed;
  } cases[] = {
      {u"C", u"", 0},     // no destination letter: the hive paths are empty texts
      {u"CD", u"XE", 7},  // X holds nothing, E is repaired at the second position
      {u"C", u"EX", 7},   // the extra destination letter is never visited
  };
  for (const auto& c : cases) {
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
      {"every walk fails: SOFTWARE and SYSTEM sections give up, no profile pass",
       "RegistryTraversal",
       false,
       {{"Hivemend -> SOFTWARE section -> exception ", config + "SOFTWARE"},
        {"Hivemend -> SYSTEM section -> exception ", config + "SYSTEM"}},
       3},
      {"the rescue section fails: the position is skipped",
       "Hivemend -> m_szSrcHiveLetters",
       true,
       {{"Hivemend -> rescue disk section -> exception ", "C:\\Windows\\system32\\config\\SYSTEM"}},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(prefix_.write_registry(ProductRegistry(c.rescue ? kRescue : "", "")));
    std::vector<LogEntry> log;
    std::filesystem::remove(prefix_.dir() + "/logs/hivemend-report.txt");
    {
      CapturedLog capture(log, {c.failing_prefix});
      CHivemendDlg run(u"C", u"E", kSig);
      EXPECT_EQ(run.m_dwValuesAccessed, c.accessed);
    }
    std::erase_if(log, [](const LogEntry& e) { return e.context.find("section -> exception") == std::string::npos; });
    EXPECT_EQ(log, c.guard_lines);
    EXPECT_EQ(Report(), Summary(std::to_string(c.accessed), "0", "0"));
    for (const char16_t* name : {u"QRT-SOFTWARE", u"QRT-SYSTEM"}) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name);
  }
}

TEST_F(HivemendDlgTest, RealSystemHiveKeepsEverythingButItsShortPaths) {
  // The test data's SYSTEM hive names Office files in 10 values; lay them out on C with
  // short names other than the stored ones.
  const std::string config = dst_ + "/Windows/system32/config/";
  std::filesystem::remove(config + "SOFTWARE");
  ASSERT_TRUE(unpack_hive("SYSTEM", config + "SYSTEM"));
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
  for (const std::string& file :
       {shared + "Office14/OFFREL.DLL", shared + "Office14/MSORES.DLL", shared + "DW/DW20.EXE",
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
      {"C:\\PROGRA~1\\MICROS~2\\Office14\\1033\\MAPIR.DLL",
       "C:\\Program Files\\Microsoft Office\\Office14\\1033\\MAPIR.DLL"},
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
  std::string error;
  EXPECT_TRUE(run_hivexml(config + "SYSTEM", &error)) << error;
}

}  // namespace
