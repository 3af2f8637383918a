// The administrator check and the non-administrator hand-off. A non-administrator is a
// process of the user nobody (when the tests run as root): a copy of this test program,
// named like one of the product's tools, runs the hand-off in HandOffChild.Run and
// prints what it decided. The hand-off program is the real TsoHandOff.exe, which
// records its command line in the product's log.
#include "settings/HandOff.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "settings/Options.h"
#include "settings/RegistryHelpers.h"
#include "tests/support/repair_fixture.h"
#include "win32/host/prefix.h"
#include "win32/mfc/afxwin.h"

namespace {

using namespace hivemend::testing;
const std::string kBin = HIVEMEND_BIN_DIR;

std::string windows_path(const std::string& linux_path) {
  auto path = hivemend::win32::windows_path_of(linux_path);
  return path ? base::to_utf8(*path) : std::string();
}

// Run inside the tool copies: the hand-off with the English library as the resource
// handle and the command line in HIVEMEND_HANDOFF_CMDLINE, if any. "MachineCode" is
// written only now, after the settings object is built, so that the hand-off its
// construction runs finds the product not set up and the one below is the one tested.
TEST(HandOffChild, Run) {
  if (!std::getenv("HIVEMEND_HANDOFF_CHILD")) GTEST_SKIP() << "runs in the tool copies of the hand-off tests";
  const char* cmdline = std::getenv("HIVEMEND_HANDOFF_CMDLINE");
  const std::u16string text = base::from_utf8(cmdline ? cmdline : "");
  COrnOptions options(cmdline ? text.c_str() : nullptr);
  if (std::getenv("HIVEMEND_HANDOFF_MACHINE_CODE")) {
    const char16_t code[] = u"C1";
    ASSERT_TRUE(WriteRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tessaro\\Hivemend\\Settings\\Setup", u"MachineCode",
                              REG_SZ, reinterpret_cast<const BYTE*>(code), sizeof code));
  }
  const std::u16string eng = base::from_utf8(windows_path(kBin + "/resources.ENG.dll"));
  AfxSetResourceHandle(LoadLibraryW(eng.c_str()));
  options.HandOffIfNotAdmin();
  std::printf("admin=%d exit=%d\n", int(options.m_bIsAdmin), int(options.m_bExitRequested));
}

struct Decision {
  std::string out, err;
  bool ran() const { return out.find("admin=") != std::string::npos; }
  bool admin() const { return out.find("admin=1 ") != std::string::npos; }
  bool exit_requested() const { return out.find(" exit=1\n") != std::string::npos; }
};

// A product set up in a fresh prefix that nobody can use too, and a folder for the tool
// copies whose own path names no tool (the prefix's does: "hivemend-test-..."), made
// with the umask a login gives.
class Product {
 public:
  Product() : old_umask_(umask(022)) {
    chmod(prefix_.dir().c_str(), 0777);
    tools_ = (std::filesystem::temp_directory_path() / "tool-XXXXXX").string();
    if (mkdtemp(tools_.data())) chmod(tools_.c_str(), 0777);
  }
  ~Product() {
    std::error_code ignored;
    std::filesystem::remove_all(tools_, ignored);
    umask(old_umask_);
  }
  std::string folder(const std::string& name) const { return prefix_.folder(name); }
  const std::string& tools() const { return tools_; }
  std::string log() const { return read_text(prefix_.log_path()); }

  // The install directory ("": no "Path") and whether "MachineCode" exists ("MachineZone"
  // always does).
  void set_up(const std::string& install_dir, bool code) {
    ASSERT_TRUE(prefix_.write_registry(
        app_paths("Hivemend", install_dir.empty() ? "" : reg_line(u"Path", windows_path(install_dir) + "\\")) +
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Hivemend\\Settings\\Setup]\r\n" + "\"MachineZone\"=\"Z1\"\r\n"));
    machine_code_ = code;
    // The registry is written back by its owner only.
    if (geteuid() == 0) { EXPECT_EQ(chown(prefix_.system_reg().c_str(), kNobody, kNobody), 0); }
  }

  // Runs a copy of this program at `tool` below the tools folder, as nobody when the
  // test runs as root (and `as_admin` is not asked for).
  Decision run(const std::string& tool, const char* cmdline, bool as_admin = false) const {
    const std::filesystem::path program = tools_ + "/" + tool;
    std::filesystem::create_directories(program.parent_path());
    std::filesystem::copy_file("/proc/self/exe", program, std::filesystem::copy_options::overwrite_existing);
    std::vector<std::string> env = {"HIVEMEND_HANDOFF_CHILD=1", "LD_LIBRARY_PATH=" + kBin};
    if (cmdline) env.push_back(std::string("HIVEMEND_HANDOFF_CMDLINE=") + cmdline);
    if (machine_code_) env.push_back("HIVEMEND_HANDOFF_MACHINE_CODE=1");
    const ProgramRun run = run_program({program, "--gtest_filter=HandOffChild.Run"}, env, tools_, !as_admin);
    return Decision{run.out, run.err};
  }

 private:
  TestPrefix prefix_;
  mode_t old_umask_;
  std::string tools_;
  bool machine_code_ = false;
};

// The log line of a hand-off with this label and command line.
std::string handoff_line(const std::string& label, const std::string& command_line) {
  return "\tTsoHandOff -> " + label + " \t" + command_line + "\n";
}

const char* const kToolCmdLine = "/SrcDrives %C% /DstDrives %E% /SrcSig %1A2B3C4D%";
const std::string kCannotStart =
    "Tessaro Error: The program that starts this tool for users without administrator rights could not be "
    "started.\n";

TEST(HandOff, Decisions) {
  const std::string program = windows_path(kBin) + "\\TsoHandOff.exe";
  // Command lines that fill the 500 characters with the terminator, or one more.
  const size_t fixed = program.size() + std::string(" QRT-10 ").size();
  const std::string fits(499 - fixed, 'x'), too_long(500 - fixed, 'x');
  struct Case {
    const char* what;
    std::string tool;     // the tool copy's path below the tools folder
    bool code;            // "MachineCode" present ("MachineZone" always is)
    std::string install;  // "bin", "blanks" (a link in a folder with blanks), "empty", "" (none)
    const char* cmdline;
    const char16_t* running;  // a mutex the tool finds taken
    bool exit_requested;
    std::string log_line;  // "": nothing handed off
    bool error_box;
    bool as_admin = false;  // run as an administrator (root), not as nobody
  } cases[] = {
      {"tool 2 with a command line", "TsoMorvel.exe", true, "bin", kToolCmdLine, nullptr, true,
       handoff_line("QRT-2", program + " QRT-2 " + kToolCmdLine), false},
      {"tool 2 without a command line", "TsoMorvel.exe", true, "bin", nullptr, nullptr, true,
       handoff_line("QRT-2", program + " QRT-2 "), false},
      {"not set up: MachineCode missing", "TsoMorvel.exe", false, "bin", kToolCmdLine, nullptr, false, "", false},
      {"no tool recognised", "OtherTool.exe", true, "bin", kToolCmdLine, nullptr, false, "", false},
      // TsoQuenby.exe (row 3) comes first in the path, TsoMorvel.exe first in the table.
      {"two rows: the earlier row of the table", "TsoQuenby.exe.d/x-TsoMorvel.exe", true, "bin", nullptr, nullptr, true,
       handoff_line("QRT-2", program + " QRT-2 "), false},
      {"this program", "hivemend", true, "bin", nullptr, nullptr, true, handoff_line("QRT-11", program + " QRT-11 "),
       false},
      {"this program already running: runs normally", "hivemend", true, "bin", kToolCmdLine, u"Global\\TsoHivemend",
       false, "", false},
      {"tool 1 already running: ends, nothing started", "TsoTalvin.exe", true, "bin", kToolCmdLine,
       u"Global\\TsoTalvin", true, "", false},
      {"install directory with blanks", "TsoKestin.exe", true, "blanks", nullptr, nullptr, true, "blanks", false},
      {"no hand-off program", "TsoVendle.exe", true, "empty", kToolCmdLine, nullptr, true, "", true},
      {"no install directory: the bare name, beside the tool", "TsoHolmby.exe", true, "", kToolCmdLine, nullptr, true,
       handoff_line("QRT-6", std::string("TsoHandOff.exe QRT-6 ") + kToolCmdLine), false},
      {"command line that just fits", "TsoWickmar.exe", true, "bin", fits.c_str(), nullptr, true,
       handoff_line("QRT-10", program + " QRT-10 " + fits), false},
      {"command line too long", "TsoWickmar.exe", true, "bin", too_long.c_str(), nullptr, true, "", true},
      {"an administrator runs normally", "TsoMorvel.exe", true, "bin", kToolCmdLine, nullptr, false, "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.as_admin && geteuid() != 0) continue;  // needs an administrator (root)
    Product product;
    std::string install = c.install == "bin" ? kBin : c.install == "" ? "" : product.folder(c.install);
    std::string expected_line = c.log_line;
    if (c.install == "blanks") {
      install = product.folder("Tessaro Install Dir");
      expected_line = handoff_line("QRT-5", windows_path(install) + "\\TsoHandOff.exe QRT-5 ");
    }
    if (c.install == "blanks" || c.install == "")
      std::filesystem::create_symlink(kBin + "/TsoHandOff.exe",
                                      (c.install == "" ? product.tools() : install) + "/TsoHandOff.exe");
    product.set_up(install, c.code);
    HANDLE running = c.running ? CreateMutexW(nullptr, FALSE, c.running) : nullptr;
    const Decision d = product.run(c.tool, c.cmdline, c.as_admin);
    if (running) CloseHandle(running);

    ASSERT_TRUE(d.ran()) << d.out << d.err;
    EXPECT_EQ(d.admin(), c.as_admin);
    EXPECT_EQ(d.exit_requested(), c.exit_requested);
    const std::string log = product.log();
    EXPECT_EQ(expected_line.empty() ? log.find("TsoHandOff") == std::string::npos
                                    : log.find(expected_line) != std::string::npos,
              true)
        << log;
    EXPECT_EQ(d.err.find(kCannotStart) != std::string::npos, c.error_box) << d.err;
  }
}

}  // namespace
