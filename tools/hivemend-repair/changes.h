// What a run changed, from the registry layer's journal: the net change of each value
// (its data before the first write and after the last), written as the --changes JSON
// and as the --undo folder of REGEDIT5 files that put the old data back, each change
// as it is read, in memory that does not grow with the data changed.
#pragma once

#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "regf/tree.h"
#include "tools/hivemend-repair/error.h"
#include "win32/host/journal.h"

namespace hivemend::repair_tool {

// The summary block's counters, as hivemend writes them for programs
// (HIVEMEND_COUNTERS).
struct Counters {
  uint64_t values_accessed = 0, paths_resolved = 0, paths_skipped = 0;
};

// The net change of each value a run wrote (its data before the first write and after
// the last), found in one pass over the journal, which may be read while it grows. Only
// each value's name and where its first and last lines lie in the file are held, never
// the data, so memory grows with the names of the values changed, not with the journal.
class NetChanges {
 public:
  // The changes of the journal at `path`, none read yet.
  explicit NetChanges(std::string path);
  NetChanges(NetChanges&&) noexcept;
  NetChanges& operator=(NetChanges&&) noexcept;
  ~NetChanges();

  // Reads the journal at `path` once; a journal that is missing holds no change. An
  // error names the file and the line that is no journal line.
  static Result<NetChanges> of_journal(const std::string& path);

  // Reads the lines the journal has ended since the last read (a journal still missing
  // has none), with the errors of_journal gives; after an error nothing more is read and
  // each read gives it again. While no value has been met twice, `ahead` is called with
  // each line that changes its value: until then each such line is the value's net
  // change, in the order for_each gives them.
  using Ahead = std::function<void(const win32::JournalEntry&)>;
  Status read(const Ahead& ahead = {});
  // Whether a value has been met twice, so that what `ahead` was given is not the whole
  // of the net changes.
  bool met_twice() const { return met_twice_; }
  // How many lines (writes) have been read so far.
  size_t lines() const { return lines_; }

  // How many values differ after the run from before it.
  size_t size() const { return changed_; }

  // Calls `f` with each value that changed, in the order of their first writes: the
  // entry of the first write with the new data of the last; values named in any letter
  // case are one value. Stops at the first error of `f` or of reading the journal.
  Status for_each(const std::function<Status(const win32::JournalEntry&)>& f) const;

  // Calls `f` with one change of each hive that has any (its first, as for_each gives
  // it), each read apart: a hive file is replaced whole or not at all, so what one of
  // its values holds after the run tells whether its changes were written.
  Status for_each_hive(const std::function<Status(const win32::JournalEntry&)>& f) const;

 private:
  struct Value {
    uint64_t first = 0, last = 0;  // the offsets of its first and last lines
    uint64_t old_digest = 0;       // of its data before the first write
    uint32_t hive = 0;             // the hive's number, in the order first written
    bool changed = false;
  };
  // Gives `change`, the entry of the first line of `value`, the new data of its last.
  Status take_last(const win32::JournalReader& reader, const Value& value, win32::JournalEntry& change) const;
  struct Reading;  // the open journal and the names seen in it
  Status read_lines(const Ahead& ahead);
  std::string path_;
  std::unique_ptr<Reading> reading_;
  std::deque<Value> values_;  // in the order of first writes; never moved as it grows
  size_t changed_ = 0;
  bool met_twice_ = false;
  size_t lines_ = 0;
  std::optional<Error> error_;
};

// A file of ours written in blocks: text appended to it waits in memory until a block
// is full, so that a change costs no write of its own.
class BlockFile {
 public:
  explicit BlockFile(const std::string& path);
  BlockFile(BlockFile&&) = default;
  BlockFile& operator=(BlockFile&&) = default;
  // What waits is written, as a stream writes its buffer when it closes.
  ~BlockFile();
  // Where the next text is appended.
  std::string& text() { return pending_; }
  // Writes the waiting text once a block is full (`all`: whatever waits); false when
  // the file cannot be written.
  bool write(bool all = false);

 private:
  std::ofstream out_;
  std::string pending_;
};

// The record of a run (--changes), written to its file change by change: its changes,
// then its counters (null when hivemend ended before its summary) and the drives whose
// hibernation file it removed (`hiberfile_removed`, their letters).
class ChangesRecord {
 public:
  static Result<ChangesRecord> create(const std::string& path);
  Status add(const win32::JournalEntry& change);
  Status finish(const std::optional<Counters>& counters, const std::string& hiberfile_removed);

 private:
  explicit ChangesRecord(const std::string& path);
  Status written(bool all = false);
  std::string path_;
  BlockFile out_;
  size_t count_ = 0;
  std::u16string text_;  // room for one string's text, reused
};

// The undo folder (--undo): one REGEDIT5 file per hive, made at its first change, with
// each changed value's old data. Each file names its hive in a comment line ("; hive
// E:\...") and its keys below HKEY_LOCAL_MACHINE\ and the hive file's name.
class UndoFiles {
 public:
  // `dir` made when missing.
  static Result<UndoFiles> create(const std::string& dir);
  Status add(const win32::JournalEntry& change);
  // Every file written out: how many.
  Result<size_t> finish();

 private:
  struct File {
    std::u16string hive, root;
    std::string path;
    BlockFile out;
    std::optional<std::u16string> last_key;
  };
  explicit UndoFiles(std::string dir) : dir_(std::move(dir)) {}
  std::string dir_;
  std::vector<File> files_;  // in the order of their hives' first changes
  regf::TreeValue value_;    // room for one undo line's value, reused
};

// An --undo folder for a run: missing, or holding no .reg file. A restore applies every
// file there, and this run's file of a hive would replace an earlier run's of it, whose
// old data would be lost.
Status check_undo_folder(const std::string& dir);

// Drive letters as a list for people or JSON ("E:, F:", or with quotes around each).
std::string drive_list(const std::string& letters, const std::string& before = "", const std::string& after = "");

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
