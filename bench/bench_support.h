// Set-up the benchmarks share: a temporary folder for the run, the shared test hives
// unpacked into it, a prefix of the run's own with its drive letters, and the
// privileges that mounting a hive needs.
#pragma once

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace hivemend::bench {

// A temporary folder for the whole run, removed at exit ("" when none could be made).
const std::string& run_dir();

// The shared test hive NAME (testdata/hives/NAME.xz) unpacked into run_dir() once;
// "" when that failed.
const std::string& test_hive(const std::string& name = "SYSTEM");

// Points HIVEMEND_PREFIX at a folder of its own in run_dir() and makes each letter a
// drive whose root is the folder given; false when one could not be defined.
bool use_prefix(std::initializer_list<std::pair<char, std::string>> drives);

// Enables the backup and restore privileges (held by an administrator, disabled).
void enable_mount_privileges();

// Google Benchmark's own main: runs the benchmarks the arguments select; false on an
// argument it does not know. A benchmark's main prints its ratios after it.
bool run_benchmarks(int argc, char** argv);

// One side of a comparison, run in a process of its own so that its peak resident
// memory is its own.
struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system time of the process: steadier on a busy machine
  double peak_mb = 0;
  bool ok = false;
  // The part a child marked (part_begins, part_ends), timed inside it; else the whole.
  double part_seconds = 0, part_cpu_seconds = 0;
};

// A part of a child's work timed inside the child, so that what comes before it (a
// mount, whose page clearing varies from child to child) stays out of its figure.
// Shared with the parent through a mapping made before the fork.
struct PartClock {
  double wall_begin = 0, cpu_begin = 0, wall_end = 0, cpu_end = 0;
  bool begun = false, ended = false;
};
PartClock& part_clock();
// In a child of in_child: the part begins here; it ends at part_ends, else with the child.
void part_begins();
void part_ends();

// Runs `child` in a forked process (its result is the exit code).
// `name`, when given, names the child's process (as profilers and ps show it).
template <typename F>
Measure in_child(F child, const char* name = nullptr) {
  PartClock& part = part_clock();
  part = PartClock{};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (name) prctl(PR_SET_NAME, name);
    const int code = child();
    if (part.begun && !part.ended) part_ends();
    _exit(code);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measure m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  m.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  m.part_seconds = part.begun ? part.wall_end - part.wall_begin : m.seconds;
  m.part_cpu_seconds = part.begun ? part.cpu_end - part.cpu_begin : m.cpu_seconds;
  return m;
}

// Runs a program (found on PATH when `argv[0]` holds no '/') with its standard output
// thrown away.
Measure run_program(const std::vector<std::string>& argv);

}  // namespace hivemend::bench
