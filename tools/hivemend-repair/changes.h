// What a run changed, from the registry layer's journal: the net change of each value
// (its data before the first write and after the last), written as the --changes JSON
// and as the --undo folder of REGEDIT5 files that put the old data back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "win32/journal.h"

namespace hivemend::repair_tool {

// The summary block's counters, as hivemend writes them for programs
// (HIVEMEND_COUNTERS).
struct Counters {
  uint64_t values_accessed = 0, paths_resolved = 0, paths_skipped = 0;
};

// One entry per value whose data after the run differs from its data before, in the
// order of their first writes; values named in any letter case are one value.
std::vector<win32::JournalEntry> net_changes(const std::vector<win32::JournalEntry>& journal);

std::string changes_json(const std::vector<win32::JournalEntry>& changes, const std::optional<Counters>& counters);

// Writes one REGEDIT5 file per hive into `dir` (made when missing); false with the reason
// in *error. Each file names its hive in a comment line ("; hive E:\...") and its keys
// below HKEY_LOCAL_MACHINE\ and the hive file's name.
bool write_undo(const std::vector<win32::JournalEntry>& changes, const std::string& dir, size_t* files,
                std::string* error);

// The hive an undo file names (its "; hive " line) and the key path its keys begin with;
// nullopt when the file has no such line.
struct UndoFile {
  std::u16string hive;
  std::u16string root;
};
std::optional<UndoFile> read_undo_header(const std::string& path);

// The counters in the file hivemend wrote with HIVEMEND_COUNTERS=FILE (one JSON object
// of plain numbers); nullopt when the file is missing or lacks one of them.
std::optional<Counters> read_counters(const std::string& path);

}  // namespace hivemend::repair_tool
