// Running part of a settings test in a process of its own: forked, for state that lives
// once per process (the HTML Help engine's latch), or as a copy of the test program in
// a folder of the test's own, for the library search that looks in the program's
// folder first.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/programs.h"

namespace settings_test {

// Names the file into which a test run in a program copy writes its findings.
inline constexpr const char* kResultVariable = "HIVEMEND_SETTINGS_CHILD_RESULT";

// In a program copy: writes the findings for the test that started it. Outside one
// (the variable unset): false, and the calling test should skip itself.
inline bool WriteChildResult(const std::string& text) {
  const char* path = std::getenv(kResultVariable);
  return path != nullptr && hivemend::testing::write_text(path, text);
}
inline bool IsChildRun() { return std::getenv(kResultVariable) != nullptr; }

// What `body` returns, computed in a forked child; "<child failed>" when the child
// died or threw.
inline std::string InChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "<no pipe>";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int code = 0;
    try {
      const std::string text = body();
      code = write(fds[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 2;
    } catch (...) { code = 3; }
    _exit(code);  // no destructors: the parent's objects belong to the parent
  }
  close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "<child failed>";
}

// A copy of this test program, with the platform library beside it, in a fresh folder
// that holds nothing else until the test adds files.
class ProgramCopy {
 public:
  ProgramCopy() {
    namespace fs = std::filesystem;
    fs::copy_file("/proc/self/exe", dir_.path("test-program"));
    fs::copy_file(std::string(HIVEMEND_BIN_DIR) + "/libhivemend_win32.so", dir_.path("libhivemend_win32.so"));
  }
  std::string path(const std::string& name) const { return dir_.path(name); }
  // Copies a file of the build's program folder into this folder under `name`.
  void add_from_bin(const std::string& bin_name, const std::string& name) const {
    std::filesystem::copy_file(std::string(HIVEMEND_BIN_DIR) + "/" + bin_name, dir_.path(name));
  }

  // Runs the copy with only the test `filter` and the variables `env` added to this
  // process's environment. The test run there writes its findings to the file that
  // kResultVariable names (WriteChildResult); they are returned, or "<exit N>" when the
  // copy did not exit with 0.
  std::string run(const std::string& filter, std::vector<std::string> env) const {
    const std::string result = dir_.path("result.txt");
    env.push_back(std::string(kResultVariable) + "=" + result);
    const auto run =
        hivemend::testing::run_program({dir_.path("test-program"), "--gtest_filter=" + filter}, env, dir_.root());
    if (run.exit_code != 0) return "<exit " + std::to_string(run.exit_code) + ">";
    return hivemend::testing::read_text(result);
  }

 private:
  hivemend::testing::TempDir dir_;
};

}  // namespace settings_test
