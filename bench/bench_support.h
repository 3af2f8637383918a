// Set-up the benchmarks share: a temporary folder for the run, the shared test hives
// unpacked into it, a prefix of the run's own with its drive letters, and the
// privileges that mounting a hive needs.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

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

}  // namespace hivemend::bench
