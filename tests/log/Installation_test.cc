// The log call of a program installed without the runtime or without the logging
// component: LogProbe runs from a folder of its own that holds only the files a case
// installs beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

const std::string kBin = HIVEMEND_BIN_DIR;

// Runs LogProbe with the arguments from a folder holding it, the platform library and
// `installed`; gives its output, or "exit <code>" when it failed.
std::string RunInstalled(const std::vector<std::string>& installed, std::vector<std::string> arguments) {
  TempDir folder;
  std::error_code ec;
  for (const char* file : {"LogProbe", "libhivemend_win32.so"})
    if (!ec) std::filesystem::copy_file(kBin + "/" + file, folder.path(file), ec);
  for (const std::string& file : installed)
    if (!ec) std::filesystem::copy_file(kBin + "/" + file, folder.path(file), ec);
  if (ec) return ec.message();
  arguments.insert(arguments.begin(), folder.path("LogProbe"));
  const ProgramRun run = run_program(arguments, {}, folder.root());
  return run.exit_code == 0 ? run.out : "exit " + std::to_string(run.exit_code);
}

// What the log call leaves in the log, and the status of the bare managed call, for each
// installation.
TEST(Installation, WithoutRuntimeOrComponentLogLinesAreDropped) {
  struct Case {
    const char* what;
    std::vector<std::string> installed;
    std::vector<LogEntry> log;
    const char* status;
  };
  const Case cases[] = {
      {"runtime and component",
       {"mscorwks.dll", "TsoExtractAccess.dll"},
       {{"CHivemendDlg", "m_bRescueTransfer = true"}},
       "00000000\n"},
      {"no component: FileNotFoundException", {"mscorwks.dll"}, {}, "80070002\n"},
      {"no runtime: CLR_E_SHIM_RUNTIMELOAD", {"TsoExtractAccess.dll"}, {}, "80131700\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    EXPECT_EQ(RunInstalled(c.installed, {"log", "CHivemendDlg", "m_bRescueTransfer = true"}), "");
    EXPECT_EQ(read_log(prefix.log_path()), c.log);
    EXPECT_EQ(RunInstalled(c.installed, {"call"}), c.status);
  }
}

}  // namespace
