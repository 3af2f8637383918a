// The change journal and the dry run of mounted hives, for tools that run the program
// and want to know what it wrote (the program itself knows neither).
//
// HIVEMEND_JOURNAL=FILE: every value written into a mounted hive is appended to FILE
// as one line, in the order written, in blocks of whole lines, each block with one
// write(), so that a process killed at any moment leaves whole lines behind; every line
// is in the file before the hive it names is written back. The line format is in
// docs/journal.md and read back by JournalReader.
// HIVEMEND_DRY_RUN=1: hives are mounted read-only, and unmounting and process end drop
// their changes instead of writing them back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "win32/host/expected.h"

namespace hivemend::win32 {

// One value as it stood: its type and data.
struct JournalData {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  friend bool operator==(const JournalData&, const JournalData&) = default;
};

// One write of a value of a mounted hive.
struct JournalEntry {
  std::u16string hive;                  // the hive file as given to RegLoadKeyW ("E:\Windows\...\SOFTWARE")
  std::u16string key;                   // the key path inside the hive, without the mount name; "" for its root
  std::u16string value;                 // "" for the default value
  std::optional<JournalData> old_data;  // nullopt: the value did not exist
  JournalData new_data;
};

// A value's type and data where they lie, for a line made without copying them.
struct JournalDataView {
  uint32_t type = 0;
  std::span<const uint8_t> data;
};

// HIVEMEND_PROGRESS=FILE: the layer keeps a small record in FILE (shared memory) up to
// date while it works: the hive file mounted last and the keys and values enumerated in
// mounted hives so far, for a tool that shows a run's progress.
struct Progress {
  uint64_t keys = 0;
  uint64_t values = 0;
  std::u16string hive;
};
void progress_mounted(std::u16string_view hive_file);
void progress_key();
void progress_value();
// The record as it stands (fields may be a moment apart); nullopt when there is none.
std::optional<Progress> read_progress(const std::string& path);

// True when HIVEMEND_DRY_RUN is "1".
bool dry_run();

// True when HIVEMEND_JOURNAL names a file to record writes in.
bool journal_enabled();
// Appends one entry to the journal file (opened on first use) as the write's line,
// which waits for a block of lines to fill. Failures are reported on standard error;
// the write itself goes on.
void journal_append(const JournalEntry& entry);
// The same for a line made by format_journal_line below.
void journal_append_line(std::string_view line);
// Writes the lines still waiting: before a hive is written back or dropped.
void journal_flush();

// One entry as its journal line, without the line end, and the inverse.
std::string format_journal_line(const JournalEntry& entry);
// The same from the entry's parts, into `line` (its content replaced, its room kept).
void format_journal_line(std::string& line, std::u16string_view hive, std::u16string_view key,
                         std::u16string_view value, const std::optional<JournalDataView>& old_data,
                         const JournalDataView& new_data);
std::optional<JournalEntry> parse_journal_line(std::string_view line);
// The same into `entry`, whose room is reused; false for a line that is no journal line
// (`entry` then holds parts of it).
bool parse_journal_line(std::string_view line, JournalEntry& entry);

// One journal line with its texts decoded and its data checked but left as written
// (hex digits), for a reader that only compares data.
struct JournalLineView {
  std::u16string hive, key, value;
  std::optional<uint32_t> old_type;  // nullopt: the value did not exist
  uint32_t new_type = 0;
  std::string_view old_hex, new_hex;  // valid as long as the line
};
// False for a line that is no journal line; the view's room is reused.
bool parse_journal_line(std::string_view line, JournalLineView& view);
// The entry a view gives, its data decoded, into `entry` (its room reused).
void entry_of(const JournalLineView& view, JournalEntry& entry);
// Whether `data` (nullopt: no value) is the data a view gives as `type` and `hex`.
bool same_data(const std::optional<JournalData>& data, std::optional<uint32_t> type, std::string_view hex);

// A journal file read from the front one line at a time through a buffer of its own, so
// that memory does not grow with the file. A last line without its line end (a process
// killed while writing it, or still writing it) is where the journal ends for now: a read
// after the end goes on from that line's start with whatever was appended since, so that
// a journal is read while it grows.
class JournalReader {
 public:
  // The file opened for reading; the error of open(2) when it cannot be.
  static Expected<JournalReader> open(const std::string& path);

  // The next entry; nullopt at the end; ERROR_INVALID_DATA for a line that is no journal
  // line (line() names it), the error of read(2) when the file cannot be read.
  Expected<std::optional<JournalEntry>> next();
  // The same into `entry`, reusing its room (for a reader of many lines): false at the end.
  Expected<bool> next(JournalEntry& entry);
  // The same as a view, valid until the next read.
  Expected<bool> next(JournalLineView& view);
  // Passes over the next line without reading its entry: false at the end.
  Expected<bool> skip();
  // The number of the line read last, from 1, and the offset in the file it begins at.
  uint64_t line() const { return line_; }
  uint64_t offset() const { return offset_; }
  // The offset in the file the line after it begins at.
  uint64_t next_offset() const { return buffer_offset_ + start_; }
  // The entry whose line begins at `offset` (an offset() seen before), read apart from
  // the reading from the front.
  Expected<JournalEntry> entry_at(uint64_t offset) const;

 private:
  explicit JournalReader(base::UniqueFd fd) : fd_(std::move(fd)) {}
  // The next line without its line end, valid until the next read; nullopt at the end.
  Expected<std::optional<std::string_view>> next_line();
  // The next line parsed into an entry or a view; false at the end.
  template <typename Line>
  Expected<bool> next_into(Line& into);
  base::UniqueFd fd_;
  std::unique_ptr<char[]> buffer_;  // read into without clearing it first
  size_t size_ = 0, capacity_ = 0;  // the bytes read into buffer_, and its room
  size_t start_ = 0;                // where the next line begins in buffer_
  uint64_t buffer_offset_ = 0;      // the file offset of buffer_[0]
  uint64_t line_ = 0, offset_ = 0;
  bool at_end_ = false;
};

// Every entry of a journal file, in the order written (JournalReader); any bad line is
// ERROR_INVALID_DATA.
Expected<std::vector<JournalEntry>> read_journal(const std::string& path);

}  // namespace hivemend::win32
