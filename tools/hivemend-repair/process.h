// The child processes of a run (hivemend, hivetool, ntfs-3g, losetup, umount), all
// started one way, and the signals that ask the run to end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/hivemend-repair/error.h"

namespace hivemend::repair_tool {

// Set by SIGINT, SIGTERM and SIGHUP once the handlers are installed: the number of the
// signal that asked the run to end, 0 while none did. SIGPIPE is ignored from then on,
// so that a write to a closed pipe is an error the command reports, not its end.
void install_signal_handlers();
int pending_signal();
// The line a run ended by a signal says: "interrupted by a signal (SIGINT)".
std::string interrupted();

struct ChildSetup {
  std::vector<std::string> env{};  // NAME=VALUE entries added to the child's environment
  // Standard output and standard error go to this file (made or emptied), or to
  // /dev/null when empty; with `inherit_output`, they stay the command's own.
  std::string output{};
  bool inherit_output = false;
  // Standard error to a file of its own (made or emptied) instead of with the output.
  std::string errors{};
  // A session of its own keeps a terminal's ^C from reaching the child.
  bool own_session = false;
  // Killed when this process ends, however it ends (SIGKILL too): a program that works
  // on the run's volumes must not outlive the run that mounted them.
  bool ends_with_parent = false;
  // A listening socket handed over as systemd's socket activation hands one: as
  // descriptor 3, named by LISTEN_PID and LISTEN_FDS (-1: none).
  int listen_fd = -1;
};

// Starts argv[0] (searched in PATH when it has no slash) as a child of this process.
Result<pid_t> start_child(const std::vector<std::string>& argv, const ChildSetup& setup);

// Waits for the child while `on_tick` is called about every `every`; a pending signal
// stops the child (SIGTERM) and gives nullopt. Otherwise the child's exit code (128 +
// the signal that killed it).
std::optional<int> wait_child(pid_t child, void (*on_tick)(void*) = nullptr, void* context = nullptr,
                              std::chrono::milliseconds every = std::chrono::milliseconds(50));

// Waits up to `limit` (kForever: as long as it takes) for the child to end: its wait
// status, or nullopt while it runs.
constexpr std::chrono::milliseconds kForever = std::chrono::milliseconds::max();
std::optional<int> wait_child_for(pid_t child, std::chrono::milliseconds limit);

// Ends the child for good: waits `limit`, then asks it to end (SIGTERM) and waits as long
// as it takes.
void end_child(pid_t child, std::chrono::milliseconds limit);

// The whole of a file, such as the output a child wrote to its file; "" when unreadable.
std::string read_whole_file(const std::string& path);

// Runs a program to its end whatever signal comes (the unmounting must finish), in a
// session of its own that a terminal's signals do not reach: its exit code, or -1 when it
// could not run or was killed. Its output goes as `setup` says.
int run_to_end(const std::vector<std::string>& argv, const ChildSetup& setup = {});

}  // namespace hivemend::repair_tool
