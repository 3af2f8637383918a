// The administrator check and the non-administrator hand-off. A non-administrator is a
// process of the user nobody (when the tests run as root): a copy of this test program,
// named like one of the product's tools, runs the hand-off in HandOffChild.Run and
// prints what it decided. The hand-off program is the real TsoHandOff.exe, which
// records its command line in the product's log.
#include "settings/HandOff.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/WinApp.h"
#include "regf/unicode.h"
#include "settings/Options.h"
#include "settings/RegistryHelpers.h"
#include "tests/support/repair_fixture.h"
#include "win32/prefix.h"

extern char** environ;

namespace {

using hivemend::testing::read_text;
using hivemend::testing::TestPrefix;
using hivemend::testing::write_text;

constexpr uid_t kNobody = 65534;
const std::string kSetupKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Hivemend\\Settings\\Setup]\r\n";
constexpr LPCWSTR kSetupSubKey = u"SOFTWARE\\Tessaro\\Hivemend\\Settings\\Setup";

std::string windows_path(const std::string& linux_path) {
  auto path = hivemend::win32::windows_path_of(linux_path);
  return path ? regf::to_utf8(*path) : std::string();
}

// A REGEDIT5 string value: each backslash doubled.
std::string reg_string(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return "\"" + out + "\"";
}

HMODULE load_english() {
  const std::u16string eng = regf::from_utf8(windows_path(std::string(HIVEMEND_BIN_DIR) + "/resources.ENG.dll"));
  return LoadLibraryW(eng.c_str());
}

// Run inside the tool copies: the hand-off with the English library as the resource
// handle and the command line given in HIVEMEND_HANDOFF_CMDLINE, if any. "MachineCode"
// is written only after the settings object is built, so that the hand-off which its
// construction runs finds the product not set up, and the one below is the one tested.
TEST(HandOffChild, Run) {
  if (!std::getenv("HIVEMEND_HANDOFF_CHILD")) GTEST_SKIP() << "runs in the tool copies of the hand-off tests";
  const char* cmdline = std::getenv("HIVEMEND_HANDOFF_CMDLINE");
  const std::u16string text = regf::from_utf8(cmdline ? cmdline : "");
  COrnOptions options(cmdline ? text.c_str() : nullptr);
  if (std::getenv("HIVEMEND_HANDOFF_MACHINE_CODE")) {
    const char16_t code[] = u"C1";
    ASSERT_TRUE(WriteRegValue(HKEY_LOCAL_MACHINE, kSetupSubKey, u"MachineCode", REG_SZ,
                              reinterpret_cast<const BYTE*>(code), sizeof code));
  }
  AfxSetResourceHandle(load_english());
  options.HandOffIfNotAdmin();
  std::printf("admin=%d exit=%d\n", int(options.m_bIsAdmin), int(options.m_bExitRequested));
}

struct Decision {
  int exit_code = -1;  // of the tool copy
  std::string out, err;
  bool admin() const { return out.find("admin=1 ") != std::string::npos; }
  bool exit_requested() const { return out.find(" exit=1\n") != std::string::npos; }
  bool ran() const { return out.find("admin=") != std::string::npos; }
};

// A product set up in a fresh prefix that a non-administrator can use, and copies of
// this test program under tool names in a folder whose path names no tool.
class Product {
 public:
  Product() : old_umask_(umask(0)) {
    chmod(prefix_.dir().c_str(), 0777);
    std::string pattern = (std::filesystem::temp_directory_path() / "tool-XXXXXX").string();
    if (mkdtemp(pattern.data())) tools_ = pattern;
    chmod(tools_.c_str(), 0777);
  }
  ~Product() {
    std::error_code ignored;
    std::filesystem::remove_all(tools_, ignored);
    umask(old_umask_);
  }

  // The product's settings: its install directory (none: no "Path") and which of the
  // two setup values exist.
  void set_up(const std::optional<std::string>& install_dir, bool zone, bool code) {
    std::string reg =
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n"
        "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\Hivemend\"\r\n";
    if (install_dir) reg += "\"Path\"=" + reg_string(windows_path(*install_dir) + "\\") + "\r\n";
    reg += "\r\n" + kSetupKey;
    if (zone) reg += "\"MachineZone\"=\"Z1\"\r\n";
    machine_code_ = code;
    ASSERT_TRUE(prefix_.write_registry(reg));
    // Written back by its owner only (the write-back keeps the owner).
    if (geteuid() == 0) {
      EXPECT_EQ(chown(prefix_.system_reg().c_str(), kNobody, kNobody), 0);
    }
  }

  std::string folder(const std::string& name) const { return prefix_.folder(name); }
  std::string tools() const { return tools_; }
  std::string log() const { return read_text(prefix_.log_path()); }

  // Runs the copy `tool` (a path below the tools folder), as nobody when the test runs
  // as root.
  Decision run(const std::string& tool, const char* cmdline, bool as_admin = false) const {
    const std::string program = tools_ + "/" + tool;
    std::filesystem::create_directories(std::filesystem::path(program).parent_path());
    std::filesystem::copy_file("/proc/self/exe", program, std::filesystem::copy_options::overwrite_existing);
    chmod(program.c_str(), 0755);
    for (auto p = std::filesystem::path(program).parent_path(); p.string().size() > tools_.size(); p = p.parent_path())
      chmod(p.c_str(), 0777);

    std::vector<std::string> env = {"HIVEMEND_HANDOFF_CHILD=1",
                                    std::string("LD_LIBRARY_PATH=") + HIVEMEND_BIN_DIR};
    if (cmdline) env.push_back(std::string("HIVEMEND_HANDOFF_CMDLINE=") + cmdline);
    if (machine_code_) env.push_back("HIVEMEND_HANDOFF_MACHINE_CODE=1");
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=HandOffChild.Run";
    char* argv[] = {const_cast<char*>(program.c_str()), filter.data(), nullptr};
    const std::string out = tools_ + "/out.txt", err = tools_ + "/err.txt";

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
      if (geteuid() == 0 && !as_admin &&
          (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
           setresuid(kNobody, kNobody, kNobody) != 0))
        _exit(126);
      execve(program.c_str(), argv, envp.data());
      _exit(127);
    }
    Decision d;
    int status = 0;
    waitpid(pid, &status, 0);
    d.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    d.out = read_text(out);
    d.err = read_text(err);
    return d;
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

TEST(IsUserAdmin, RootIsAnAdministrator) { EXPECT_EQ(IsUserAdmin(), geteuid() == 0); }

TEST(HandOff, Decisions) {
  const std::string bin = HIVEMEND_BIN_DIR;
  const std::string bin_program = windows_path(bin) + "\\TsoHandOff.exe";
  struct Case {
    const char* what;
    std::string tool;           // the tool copy's path below the tools folder
    bool zone, code;            // setup values present
    const char* install;        // "bin", "blanks" (a folder with blanks), "empty", or none
    const char* cmdline;
    const char16_t* running;    // a mutex the tool finds taken
    bool exit_requested;
    std::string log_line;       // "": nothing handed off
    std::string err;
  } cases[] = {
      {"tool 2 with a command line", "TsoMorvel.exe", true, true, "bin", kToolCmdLine, nullptr, true,
       handoff_line("QRT-2", bin_program + " QRT-2 " + kToolCmdLine), ""},
      {"tool 2 without a command line", "TsoMorvel.exe", true, true, "bin", nullptr, nullptr, true,
       handoff_line("QRT-2", bin_program + " QRT-2 "), ""},
      {"not armed: MachineCode missing", "TsoMorvel.exe", true, false, "bin", kToolCmdLine, nullptr, false, "", ""},
      {"not armed: MachineZone missing", "TsoMorvel.exe", false, true, "bin", kToolCmdLine, nullptr, false, "", ""},
      {"no tool recognised", "OtherTool.exe", true, true, "bin", kToolCmdLine, nullptr, false, "", ""},
      // TsoQuenby.exe (row 3) comes first in the path, TsoMorvel.exe first in the table.
      {"two rows: the earlier row of the table", "TsoQuenby.exe.d/x-TsoMorvel.exe", true, true, "bin", nullptr,
       nullptr, true, handoff_line("QRT-2", bin_program + " QRT-2 "), ""},
      {"this program", "hivemend", true, true, "bin", nullptr, nullptr, true,
       handoff_line("QRT-11", bin_program + " QRT-11 "), ""},
      {"this program already running: runs normally", "hivemend", true, true, "bin", kToolCmdLine,
       u"Global\\TsoHivemend", false, "", ""},
      {"tool 1 already running: ends, nothing started", "TsoTalvin.exe", true, true, "bin", kToolCmdLine,
       u"Global\\TsoTalvin", true, "", ""},
      {"install directory with blanks", "TsoKestin.exe", true, true, "blanks", nullptr, nullptr, true, "blanks", ""},
      {"no hand-off program", "TsoVendle.exe", true, true, "empty", kToolCmdLine, nullptr, true, "", kCannotStart},
      {"no install directory: the bare name, beside the tool", "TsoHolmby.exe", true, true, nullptr, kToolCmdLine,
       nullptr, true, handoff_line("QRT-6", std::string("TsoHandOff.exe QRT-6 ") + kToolCmdLine), ""},
      // The whole command line with its terminator fills the 500 characters, or one more.
      {"command line that just fits", "TsoWickmar.exe", true, true, "bin", nullptr /* set below */, nullptr, true,
       "fits", ""},
      {"command line too long", "TsoWickmar.exe", true, true, "bin", nullptr /* set below */, nullptr, true, "",
       kCannotStart},
  };
  const size_t fixed_part = bin_program.size() + std::string(" QRT-10 ").size();
  const std::string fits(499 - fixed_part, 'x'), too_long(500 - fixed_part, 'x');
  cases[std::size(cases) - 2].cmdline = fits.c_str();
  cases[std::size(cases) - 2].log_line = handoff_line("QRT-10", bin_program + " QRT-10 " + fits);
  cases[std::size(cases) - 1].cmdline = too_long.c_str();

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Product product;
    std::optional<std::string> install;
    std::string expected_line = c.log_line;
    if (c.install && std::string(c.install) == "bin") install = bin;
    if (c.install && std::string(c.install) == "empty") install = product.folder("empty");
    if (c.install && std::string(c.install) == "blanks") {
      install = product.folder("Tessaro Install Dir");
      std::filesystem::create_symlink(bin + "/TsoHandOff.exe", *install + "/TsoHandOff.exe");
      expected_line = handoff_line("QRT-5", windows_path(*install) + "\\TsoHandOff.exe QRT-5 ");
    }
    if (!c.install) std::filesystem::create_symlink(bin + "/TsoHandOff.exe", product.tools() + "/TsoHandOff.exe");
    product.set_up(install, c.zone, c.code);
    HANDLE running = c.running ? CreateMutexW(nullptr, FALSE, c.running) : nullptr;

    const Decision d = product.run(c.tool, c.cmdline);
    if (running) CloseHandle(running);
    ASSERT_TRUE(d.ran()) << d.exit_code << "\n" << d.out << d.err;
    EXPECT_FALSE(d.admin());
    EXPECT_EQ(d.exit_requested(), c.exit_requested);
    const std::string log = product.log();
    if (expected_line.empty())
      EXPECT_EQ(log.find("TsoHandOff"), std::string::npos) << log;
    else
      EXPECT_NE(log.find(expected_line), std::string::npos) << log;
    EXPECT_EQ(d.err.find(kCannotStart) != std::string::npos, !c.err.empty()) << d.err;
  }
}

TEST(HandOff, AdministratorRunsNormally) {
  if (geteuid() != 0) GTEST_SKIP() << "needs an administrator (root)";
  Product product;
  product.set_up(std::string(HIVEMEND_BIN_DIR), true, true);
  const Decision d = product.run("TsoMorvel.exe", kToolCmdLine, /*as_admin=*/true);
  ASSERT_TRUE(d.ran()) << d.out << d.err;
  EXPECT_TRUE(d.admin());
  EXPECT_FALSE(d.exit_requested());
  EXPECT_EQ(product.log().find("TsoHandOff"), std::string::npos);
}

}  // namespace
