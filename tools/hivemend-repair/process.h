// The child processes of a run (hivemend, hivetool, ntfs-3g, losetup, umount), all
// started one way, and the signals that ask the run to end.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/hivemend-repair/error.h"

namespace hivemend::repair_tool {

// Set by SIGINT, SIGTERM and SIGHUP once the handlers are installed: the number of the
// signal that asked the run to end, 0 while none did.
void install_signal_handlers();
int pending_signal();

struct ChildSetup {
  std::vector<std::string> env{};  // NAME=VALUE entries added to the child's environment
  // Standard output and standard error go to this file (made or emptied), or to
  // /dev/null when empty; with `inherit_output`, they stay the command's own.
  std::string output{};
  bool inherit_output = false;
  // A session of its own keeps a terminal's ^C from reaching the child.
  bool own_session = false;
};

// Starts argv[0] (searched in PATH when it has no slash) as a child of this process.
Result<pid_t> start_child(const std::vector<std::string>& argv, const ChildSetup& setup);

// Waits for the child while `on_tick` is called about every 50 ms; a pending signal
// stops the child (SIGTERM) and gives nullopt. Otherwise the child's exit code (128 +
// the signal that killed it).
std::optional<int> wait_child(pid_t child, void (*on_tick)(void*) = nullptr, void* context = nullptr);

// Runs a program to its end whatever signal comes (the unmounting must finish): its exit
// code, or -1 when it could not run or was killed. Its output goes as `setup` says.
int run_to_end(const std::vector<std::string>& argv, const ChildSetup& setup = {});

}  // namespace hivemend::repair_tool
