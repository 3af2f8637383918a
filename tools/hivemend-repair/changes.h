// What a run changed, from the registry layer's journal: the net change of each value
// (its data before the first write and after the last), written as the --changes JSON
// and as the --undo folder of REGEDIT5 files that put the old data back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/hivemend-repair/error.h"
#include "win32/host/journal.h"

namespace hivemend::repair_tool {

// The summary block's counters, as hivemend writes them for programs
// (HIVEMEND_COUNTERS).
struct Counters {
  uint64_t values_accessed = 0, paths_resolved = 0, paths_skipped = 0;
};

// One entry per value whose data after the run differs from its data before, in the
// order of their first writes; values named in any letter case are one value.
std::vector<win32::JournalEntry> net_changes(const std::vector<win32::JournalEntry>& journal);

// The record of a run: its changes, counters, and the drives whose hibernation file it
// removed (`hiberfile_removed`, their letters).
std::string changes_json(const std::vector<win32::JournalEntry>& changes, const Counters& counters,
                         const std::string& hiberfile_removed);

// Drive letters as a list for people or JSON ("E:, F:", or with quotes around each).
std::string drive_list(const std::string& letters, const std::string& before = "", const std::string& after = "");

// Writes one REGEDIT5 file per hive into `dir` (made when missing): how many. Each file
// names its hive in a comment line ("; hive E:\...") and its keys below
// HKEY_LOCAL_MACHINE\ and the hive file's name.
Result<size_t> write_undo(const std::vector<win32::JournalEntry>& changes, const std::string& dir);

// The hive an undo file names (its "; hive " line) and the key path its keys begin with;
// an error when the file has no such line.
struct UndoFile {
  std::u16string hive;
  std::u16string root;
};
Result<UndoFile> read_undo_header(const std::string& path);

// The counters in the file hivemend wrote with HIVEMEND_COUNTERS=FILE (one JSON object
// of plain numbers); an error when the file is missing or lacks one of them.
Result<Counters> read_counters(const std::string& path);

}  // namespace hivemend::repair_tool
