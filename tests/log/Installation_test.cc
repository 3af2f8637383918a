// The log call of a program installed without the runtime or without the logging
// component: LogProbe runs from a folder of its own that holds only the files a case
// installs beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

const std::string kBin = HIVEMEND_BIN_DIR;

// Runs LogProbe with the arguments from a folder holding it, the platform library and
// `installed`; gives its output, or "exit <code>" when it failed.
std::string RunInstalled(const std::vector<std::string>& installed, const std::string& arguments) {
  TempDir folder;
  std::error_code ec;
  for (const char* file : {"LogProbe", "libhivemend_win32.so"})
    if (!ec) std::filesystem::copy_file(kBin + "/" + file, folder.path(file), ec);
  for (const std::string& file : installed)
    if (!ec) std::filesystem::copy_file(kBin + "/" + file, folder.path(file), ec);
  if (ec) return ec.message();
  // (Built by append: operator+ on a literal draws a false -Wrestrict from GCC 12.)
  const std::string command = std::string("'").append(folder.path("LogProbe")).append("' ").append(arguments);
  FILE* probe = popen(command.c_str(), "r");
  if (!probe) return "popen failed";
  std::string output;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof buffer, probe)) output.append(buffer, n);
  const int status = pclose(probe);
  return status == 0 ? output : std::string("exit ").append(std::to_string(status));
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
      {"runtime and component", {"mscorwks.dll", "TsoExtractAccess.dll"}, {{"CHivemendDlg", "m_bRescueTransfer = true"}},
       "00000000\n"},
      {"no component: FileNotFoundException", {"mscorwks.dll"}, {}, "80070002\n"},
      {"no runtime: CLR_E_SHIM_RUNTIMELOAD", {"TsoExtractAccess.dll"}, {}, "80131700\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    EXPECT_EQ(RunInstalled(c.installed, "log CHivemendDlg 'm_bRescueTransfer = true'"), "");
    EXPECT_EQ(read_log(prefix.log_path()), c.log);
    EXPECT_EQ(RunInstalled(c.installed, "call"), c.status);
  }
}

}  // namespace
