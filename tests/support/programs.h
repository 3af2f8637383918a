// Programs run by a test in a child process of their own: their exit code, standard
// output and error, optionally as a user who is no administrator.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace hivemend::testing {

// A program run in a child process: its exit code (128 + the signal when it was killed),
// standard output and standard error.
struct ProgramRun {
  int exit_code = -1;
  std::string out, err;
};

// The user a test runs a program as when it needs one who is no administrator.
constexpr uid_t kNobody = 65534;

// Starts `argv[0]` with the further arguments and this process's environment plus `env`
// ("NAME=value"), standard output and error going to `scratch`/`tag`.out and .err; as
// the user nobody when `as_nobody` and the test runs as root.
inline pid_t start_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                           const std::string& scratch, const std::string& tag = "run", bool as_nobody = false) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
  dup2(open((scratch + "/" + tag + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
  dup2(open((scratch + "/" + tag + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
  if (as_nobody && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
       setresuid(kNobody, kNobody, kNobody) != 0))
    _exit(126);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}
inline ProgramRun finish_program(pid_t pid, const std::string& scratch, const std::string& tag = "run") {
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_text(scratch + "/" + tag + ".out"),
          read_text(scratch + "/" + tag + ".err")};
}
inline ProgramRun run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              const std::string& scratch, bool as_nobody = false) {
  return finish_program(start_program(argv, env, scratch, "run", as_nobody), scratch);
}

}  // namespace hivemend::testing
