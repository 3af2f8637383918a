// Start-up and end of the program: the command line it reads, and the real program's
// exit codes, output and guard against a second instance, run as a separate process.
#include "app/HivemendApp.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/unicode.h"
#include "tests/support/repair_fixture.h"
#include "win32/host/prefix.h"
#include "win32/kernel32/handle.h"
#include "win32/kernel32/sync.h"

namespace {

using namespace hivemend::testing;
using Status = RepairCommandLine::Status;

TEST(CommandLine, Switches) {
  struct Case {
    const char16_t* line;
    Status status;
    const char16_t* src;
    const char16_t* dst;
    DWORD signature;
  } cases[] = {
      {u"/SrcDrives %CDE% /DstDrives %FGH% /SrcSig %1A2B3C4D%", Status::Ok, u"CDE", u"FGH", 0x1A2B3C4D},
      {u"/SrcDrives %C% /DstDrives %E% /SrcSig %8000ABCD%", Status::Ok, u"C", u"E", 0x8000ABCD},
      {u"/SrcDrives %C% /DstDrives %E% /SrcSig %0000000001%", Status::Ok, u"C", u"E", 1},
      {u"/SrcDrives %% /DstDrives %% /SrcSig %0%", Status::Ok, u"", u"", 0},
      // Any order, anything around them.
      {u"/SrcSig %abc% /DstDrives %de% /SrcDrives %cd%", Status::Ok, u"cd", u"de", 0xABC},
      {u"\"x y\" /SrcDrives %C% junk /DstDrives %E%/SrcSig %12%", Status::Ok, u"C", u"E", 0x12},
      // The digits start two characters after "/SrcSig", whatever those are.
      {u"/SrcDrives %C% /DstDrives %E% /SrcSig:%7F", Status::Ok, u"C", u"E", 0x7F},
      {u"/SrcDrives %CDEFGHIJKLMNOPQ% /DstDrives %E% /SrcSig %1%", Status::Ok, u"CDEFGHIJKLMNOPQ", u"E", 1},
      // The first occurrence of a switch counts.
      {u"/SrcDrives %C% /SrcDrives %D% /DstDrives %E% /SrcSig %1%", Status::Ok, u"C", u"E", 1},
      // A switch that is not there, in any form the search accepts.
      {u"", Status::MissingSwitch, u"", u"", 0},
      {u"/DstDrives %E% /SrcSig %1%", Status::MissingSwitch, u"", u"", 0},
      {u"/SrcDrives %C% /SrcSig %1%", Status::MissingSwitch, u"C", u"", 0},
      {u"/SrcDrives %C% /DstDrives %E%", Status::MissingSwitch, u"C", u"E", 0},
      {u"/srcdrives %C% /DstDrives %E% /SrcSig %1%", Status::MissingSwitch, u"", u"", 0},
      {u"/SrcDrives %C% /DstDrives %E% /srcsig %1%", Status::MissingSwitch, u"C", u"E", 0},
      // List characters stand as written; the digits end at the first other character
      // (none: 0); beyond 32 bits the signature saturates.
      {u"/SrcDrives %C:% /DstDrives %E1% /SrcSig %%", Status::Ok, u"C:", u"E1", 0},
      {u"/SrcDrives %C /DstDrives %E% /SrcSig %1%", Status::Ok, u"C /DstDrives ", u"E", 1},
      {u"/SrcDrives %C% /DstDrives %E% /SrcSig \"%1A2B%\"", Status::Ok, u"C", u"E", 0},
      {u"/SrcDrives %C% /DstDrives %E% /SrcSig %0x1A%", Status::Ok, u"C", u"E", 0},
      {u"/SrcDrives %C% /DstDrives %E% /SrcSig %100000000%", Status::Ok, u"C", u"E", 0xFFFFFFFF},
      {u"/SrcDrives %C% /DstDrives %E% /SrcSig", Status::Ok, u"C", u"E", 0},
      // What the letter buffers cannot take.
      {u"/SrcDrives C /DstDrives %E% /SrcSig %1%", Status::Malformed, u"", u"", 0},
      {u"/SrcDrives %CDEFGHIJKLMNOPQR% /DstDrives %E% /SrcSig %1%", Status::Malformed, u"", u"", 0},
      {u"/SrcDrives %C% /DstDrives %E", Status::Malformed, u"C", u"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(base::to_utf8(c.line));
    const RepairCommandLine parsed = ParseRepairCommandLine(c.line);
    EXPECT_EQ(parsed.status, c.status);
    EXPECT_EQ(std::u16string(parsed.szSrcLetters), c.src);
    EXPECT_EQ(std::u16string(parsed.szDstLetters), c.dst);
    if (c.status == Status::Ok) { EXPECT_EQ(parsed.dwSrcSignature, c.signature); }
    EXPECT_EQ(parsed.strError.empty(), c.status != Status::Malformed) << parsed.strError;
  }
  EXPECT_EQ(ParseRepairCommandLine(nullptr).status, Status::MissingSwitch);
}

const std::string kProgram = std::string(HIVEMEND_BIN_DIR) + "/hivemend";
std::vector<std::string> Program(std::vector<std::string> args) {
  args.insert(args.begin(), kProgram);
  return args;
}
const std::vector<std::string> kFullLine = Program({"/SrcDrives", "%C%", "/DstDrives", "%E%", "/SrcSig", "%1A2B3C4D%"});

const std::u16string kStoredTool = u"C:\\PROGRA~1\\Vendor\\tool.exe";

// A prefix with the product's settings and an installation on drive E: (also C:, the
// letter its paths are written with) whose SOFTWARE hive holds one short-name path.
class Installation {
 public:
  Installation() {
    built_ = make_file(volume() + "/Program Files/Vendor/tool.exe", "", "x") &&
             write_hive(hive(), key(u"SOFTWARE", {}, {key(u"Vendor", {string_value(u"Tool", kStoredTool)})})) &&
             prefix_.define_drive('c', volume()) && prefix_.define_drive('e', volume()) &&
             prefix_.write_registry(app_paths("Hivemend"));
  }
  bool built() const { return built_; }
  bool define_drive(char letter, const std::string& target) const { return prefix_.define_drive(letter, target); }
  bool write_registry(const std::string& body) const {
    // The registry is written back by its owner only; the user nobody shares it.
    return prefix_.write_registry(body) && chown(prefix_.system_reg().c_str(), kNobody, kNobody) == 0;
  }
  std::string volume() const { return prefix_.dir() + "/volume"; }
  // The SOFTWARE hive as REGEDIT5 text.
  std::string exported() const {
    const std::string out = prefix_.dir() + "/after.reg";
    const std::string command = std::string(HIVEMEND_BIN_DIR) + "/hivetool export " + hive() + " > " + out;
    return std::system(command.c_str()) == 0 ? read_text(out) : "";
  }
  const std::string& dir() const { return prefix_.dir(); }
  std::string hive() const { return volume() + "/Windows/system32/config/SOFTWARE"; }
  std::string log() const { return read_text(prefix_.dir() + "/logs/hivemend.log"); }
  std::string report() const { return read_text(prefix_.dir() + "/logs/hivemend-report.txt"); }

 private:
  TestPrefix prefix_;
  bool built_ = false;
};

bool root_user() { return geteuid() == 0; }
const std::string kRepairedTool = "\"Tool\"=\"C:\\\\Program Files\\\\Vendor\\\\tool.exe\"";

TEST(Program, ExitCodes) {
  const std::vector<std::string> tablet = {"HIVEMEND_TABLETPC=1"};
  const auto no_sig = Program({"/SrcDrives", "%C%", "/DstDrives", "%E%"});
  const auto too_many = Program({"/SrcDrives", "%CDEFGHIJKLMNOPQR%", "/DstDrives", "%E%", "/SrcSig", "%1%"});
  const std::vector<std::string> quoted = {"HIVEMEND_COMMAND_LINE=" + kProgram +
                                           " /SrcDrives \"%C%\" /DstDrives %E% /SrcSig %1%"};
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exit_code;
    bool runs;             // a repair run took place: parameters logged, hive repaired, summary written
    bool waits;            // self-termination: a second's wait on its own handle first
    const char* err = "";  // expected start of standard error, "" for none
    std::vector<std::string> env = {};
  } cases[] = {
      {"run", kFullLine, 2, true, false},
      {"run on a Tablet PC", kFullLine, 0, true, true, "", tablet},
      {"no arguments", Program({}), 0, false, false},
      // (Each missing switch is told apart by the command-line cases above.)
      {"no /SrcSig", no_sig, 0, false, false},
      {"no /SrcSig on a Tablet PC", no_sig, 0, false, true, "", tablet},
      {"empty signature", Program({"/SrcDrives", "%C%", "/DstDrives", "%E%", "/SrcSig", "%%"}), 2, true, false},
      // The command line as the parent wrote it, not as rebuilt from the arguments.
      {"quoted list", Program({"/SrcDrives", "%C%", "/DstDrives", "%E%", "/SrcSig", "%1%"}), 0, false, false,
       "hivemend: bad command line: /SrcDrives is not followed by \" %\"\n", quoted},
      {"too many letters", too_many, 0, false, false,
       "hivemend: bad command line: /SrcDrives: more than 15 drive letters\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Installation installation;
    ASSERT_TRUE(installation.built());
    const auto start = std::chrono::steady_clock::now();
    const ProgramRun run = run_program(c.args, c.env, installation.dir());
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(installation.log().find("CHivemendDlg -> pSrcLetters = ") != std::string::npos, c.runs);
    EXPECT_EQ(!installation.report().empty(), c.runs);
    if (root_user()) { EXPECT_EQ(installation.exported().find(kRepairedTool) != std::string::npos, c.runs); }
    EXPECT_EQ(took >= std::chrono::milliseconds(1000), c.waits) << took.count() << " ms";
  }
}

TEST(Program, InformationalOptionsTouchNothing) {
  struct Case {
    const char* option;
    const char* output_start;
  } cases[] = {{"--help", "Usage: hivemend /SrcDrives %"}, {"--version", "hivemend 0.1.0\n"}};
  TestPrefix scratch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    const std::string unused = scratch.dir() + "/never-created";
    const ProgramRun run = run_program(Program({c.option}), {"HIVEMEND_PREFIX=" + unused}, scratch.dir());
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out.rfind(c.output_start, 0), 0u) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(std::filesystem::exists(unused));
  }
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// One prefix used by root and by a user who is no administrator, with the umask a login
// gives, on a product set up for the hand-off. Root's start repairs. The other user's
// start, in the named-object folders root made, takes the tool's mutex and hands off: it
// starts TsoHandOff.exe from the install directory with its label and command line,
// runs no repair and ends with 1. Then one instance at a time again, between real
// processes: while one holds the guard, a second start ends at once with 0 and touches
// no hive; once the holder is killed (-9), a start runs.
TEST(Program, SharedPrefixHandsOffAndGuardsOneInstance) {
  if (!root_user()) GTEST_SKIP() << "needs an administrator (root) and the user nobody";
  const mode_t old_umask = umask(022);
  Installation installation;
  ASSERT_TRUE(installation.built());
  const auto bin = hivemend::win32::windows_path_of(HIVEMEND_BIN_DIR);
  ASSERT_TRUE(bin);
  ASSERT_EQ(chmod(installation.dir().c_str(), 0777), 0);  // a prefix both users write in
  ASSERT_TRUE(installation.write_registry(app_paths("Hivemend", reg_line(u"Path", base::to_utf8(*bin) + "\\")) +
                                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Hivemend\\Settings\\Setup]\r\n"
                                          "\"MachineZone\"=\"Z1\"\r\n\"MachineCode\"=\"C1\"\r\n"));
  EXPECT_EQ(run_program(kFullLine, {}, installation.dir()).exit_code, 2);
  EXPECT_NE(installation.exported().find(kRepairedTool), std::string::npos);

  const ProgramRun handed_off = run_program(kFullLine, {}, installation.dir(), /*as_nobody=*/true);
  umask(old_umask);
  EXPECT_EQ(handed_off.exit_code, 1);
  EXPECT_EQ(handed_off.err, "");
  EXPECT_NE(installation.log().find("\tTsoHandOff -> QRT-11 \t" + base::to_utf8(*bin) +
                                    "\\TsoHandOff.exe QRT-11 /SrcDrives %C% /DstDrives %E% /SrcSig %1A2B3C4D%\n"),
            std::string::npos)
      << installation.log();
  EXPECT_EQ(count(installation.log(), "CHivemendDlg -> pSrcLetters = "), 1u);

  // The first instance: on a Tablet PC it keeps its guard for a second after its run.
  using Clock = std::chrono::steady_clock;
  const pid_t first = start_program(kFullLine, {"HIVEMEND_TABLETPC=1"}, installation.dir(), "first");
  ASSERT_GT(first, 0);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!semaphore_exists(u"Global\\TALVIN99") && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(semaphore_exists(u"Global\\TALVIN99"));
  ASSERT_EQ(kill(first, SIGSTOP), 0);

  const std::string hive_before = read_text(installation.hive());
  const std::string log_before = installation.log();
  const std::string report_before = installation.report();
  const ProgramRun second = run_program(kFullLine, {}, installation.dir());
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(read_text(installation.hive()), hive_before);
  EXPECT_EQ(installation.log(), log_before);
  EXPECT_EQ(installation.report(), report_before);
  EXPECT_TRUE(semaphore_exists(u"Global\\TALVIN99"));

  ASSERT_EQ(kill(first, SIGKILL), 0);
  waitpid(first, nullptr, 0);
  EXPECT_FALSE(semaphore_exists(u"Global\\TALVIN99"));
  EXPECT_EQ(run_program(kFullLine, {}, installation.dir()).exit_code, 2);
  EXPECT_GT(installation.report().size(), report_before.size());
}

// The program's own Windows name comes through z:, which is "/" when the prefix has no
// z: link. When it has none (a z: link elsewhere), Security.dll cannot be loaded: the
// run changes nothing, and an administrator is told why on standard error.
TEST(Program, OwnPathThroughDriveZ) {
  if (!root_user()) GTEST_SKIP() << "mounting hives needs the privileges of an administrator (root)";
  struct Case {
    const char* what;
    const char* z;  // "/" as made, "" no link, "volume" the installation's volume
    bool repaired;
    const char* err;
  } cases[] = {
      {"z: link to /", "/", true, ""},
      {"no z: link", "", true, ""},
      {"z: link elsewhere", "volume", false,
       "hivemend: the program's own file has no Windows name in the prefix, so no hive can be mounted: remove the "
       "prefix's dosdevices/z: link or point it at /\n"},
  };
  std::string report_with_z;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Installation installation;
    ASSERT_TRUE(installation.built());
    const std::string z = c.z == std::string("volume") ? installation.volume() : c.z;
    ASSERT_TRUE(installation.define_drive('z', z));
    const ProgramRun run = run_program(kFullLine, {}, installation.dir());
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(installation.exported().find(kRepairedTool) != std::string::npos, c.repaired);
    if (report_with_z.empty()) report_with_z = installation.report();
    EXPECT_EQ(installation.report() == report_with_z, c.repaired) << installation.report();
  }
}

}  // namespace
