// The real program started by a user who is no administrator (nobody, when the tests
// run as root): on a product set up for the hand-off it starts TsoHandOff.exe from the
// install directory with its label and command line and ends with exit code 1; without
// the setup it runs the repair as usual (exit code 2).
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "regf/unicode.h"
#include "tests/support/repair_fixture.h"
#include "win32/prefix.h"

namespace {

using hivemend::testing::read_text;
using hivemend::testing::TestPrefix;

constexpr uid_t kNobody = 65534;

TEST(Program, NonAdministratorStartIsHandedOff) {
  const std::string program = std::string(HIVEMEND_BIN_DIR) + "/hivemend";
  const auto bin = hivemend::win32::windows_path_of(HIVEMEND_BIN_DIR);
  ASSERT_TRUE(bin);
  std::string reg_bin;  // as a REGEDIT5 string: backslashes doubled
  for (char c : regf::to_utf8(*bin)) reg_bin += c == '\\' ? std::string("\\\\") : std::string(1, c);
  const std::string handoff = "\tTsoHandOff -> QRT-11 \t" + regf::to_utf8(*bin) +
                              "\\TsoHandOff.exe QRT-11 /SrcDrives %C% /DstDrives %E% /SrcSig %1A2B3C4D%\n";
  struct Case {
    const char* what;
    const char* setup;  // values under the product's "\Settings\Setup"
    int exit_code;
    bool handed_off;
  } cases[] = {
      {"set up for the hand-off", "\"MachineZone\"=\"Z1\"\r\n\"MachineCode\"=\"C1\"\r\n", 1, true},
      {"MachineCode missing: a normal run", "\"MachineZone\"=\"Z1\"\r\n", 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const mode_t old_umask = umask(0);  // the prefix must serve the user nobody too
    TestPrefix prefix;
    chmod(prefix.dir().c_str(), 0777);
    ASSERT_TRUE(prefix.write_registry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n"
        "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\Hivemend\"\r\n"
        "\"Path\"=\"" + reg_bin + "\\\\\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessaro\\Hivemend\\Settings\\Setup]\r\n" + c.setup));
    if (geteuid() == 0) {  // the registry is written back by its owner only
      EXPECT_EQ(chown(prefix.system_reg().c_str(), kNobody, kNobody), 0);
    }

    const std::string err = prefix.dir() + "/err.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
      if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                             setresuid(kNobody, kNobody, kNobody) != 0))
        _exit(126);
      execl(program.c_str(), program.c_str(), "/SrcDrives", "%C%", "/DstDrives", "%E%", "/SrcSig", "%1A2B3C4D%",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    umask(old_umask);

    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.exit_code) << read_text(err);
    const std::string log = read_text(prefix.log_path());
    EXPECT_EQ(log.find(handoff) != std::string::npos, c.handed_off) << log;
    EXPECT_EQ(log.find("CHivemendDlg -> pSrcLetters = ") != std::string::npos, !c.handed_off) << log;
  }
}

}  // namespace
