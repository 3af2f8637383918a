// The command line of hivemend-repair: its options, checked as a whole before anything
// is mounted, and its usage text.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/hivemend-repair/error.h"

namespace hivemend::repair_tool {

extern const char* const kUsage;

struct Options {
  bool help = false;                                 // --help: nothing else was read
  std::vector<std::pair<char, std::string>> drives;  // lower-case letter, volume
  std::string src, dst;                              // upper-case letters, each given a drive
  std::optional<std::string> sig;                    // 1 to 8 hex digits
  bool rescue_transfer = false, detailed_log = false, dry_run = false;
  bool cleanup = false;           // --cleanup: nothing else was given
  bool remove_hiberfile = false;  // --remove-hiberfile
  std::optional<std::string> summary, prefix, changes, undo, restore;
  // --list PATTERN... and --resolve PATH...: a look in place of a run; "-" alone reads
  // them from standard input.
  std::optional<std::vector<std::string>> list, resolve;

  bool looks() const { return list || resolve; }
};

// The options of argv[1..argc), or the refusal of the first wrong one ("unknown option
// --x"), to be shown with a pointer to --help. `--name=value` is taken for `--name
// value`; --list and --resolve take every following argument up to the next "--...".
Result<Options> parse_options(int argc, const char* const* argv);

}  // namespace hivemend::repair_tool
