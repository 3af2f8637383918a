// Recovery of a dirty hive from its transaction logs, on raw bytes: the primary file's
// image and its log files in, the recovered image and a report of what was applied out.
//
// Windows writes changes to a log first and to the primary file later; a hive copied
// from a running or crashed system is therefore often "dirty" (its base block's two
// sequence numbers differ, or its checksum is wrong) and its newest changes exist only
// in HIVE.LOG1/HIVE.LOG2 (Windows 8.1 and later) or HIVE.LOG (older systems). Windows
// applies them when it loads the hive; a tool that edits the primary and writes it back
// clean must apply them first, or they are lost.
//
// Both log formats of the public format description are read: the old one (a base block
// copy, a dirty vector "DIRT" and 512-byte dirty pages) and the new one (log entries
// "HvLE" protected by Marvin32 hashes, chained by sequence number across both log files).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "regf/result.h"

namespace regf {

struct LogFile {
  std::string name;  // for the report ("NTUSER.DAT.LOG1")
  std::vector<uint8_t> bytes;
};

enum class LogFormat {
  unknown,     // not a transaction log, or its base block is unreadable
  old_format,  // base block copy, dirty vector, dirty pages (file type 1 or 2)
  new_format,  // base block copy, log entries (file type 6)
};
const char* to_string(LogFormat format);

// What one log file held and what was taken from it.
struct LogReport {
  std::string name;
  LogFormat format = LogFormat::unknown;
  bool base_block_valid = false;
  std::string base_block_state;  // "valid", or why the log's base block is unusable
  uint32_t base_sequence = 0;    // primary sequence number of the log's base block
  uint32_t entries_valid = 0;    // new format: entries that passed their checks
  uint32_t entries_applied = 0;  // new format: entries written into the image
  std::optional<uint32_t> first_applied_sequence, last_applied_sequence;
  uint32_t pages_applied = 0;  // page references (new format) or 512-byte pages (old)
  uint64_t bytes_applied = 0;
  // Where reading this log ended and why ("end of file", "hash-1 mismatch", ...).
  std::optional<uint64_t> end_offset;
  std::string end_reason;
  bool end_is_fault = false;  // ended on damaged data rather than on its natural end
};

struct RecoveryReport {
  bool dirty = false;
  std::string dirty_reason;  // "sequence numbers differ (567, 566)", "wrong base block checksum"
  // The log whose base block copy replaced the primary's invalid one; empty when the
  // primary's own was used.
  std::string base_block_log;
  LogFormat format_applied = LogFormat::unknown;
  std::vector<LogReport> logs;
  // Where and why recovery stopped early (a damaged entry or page, a missing sequence
  // number); empty when every change the logs hold was applied.
  std::string stop_file;
  std::optional<uint64_t> stop_offset;
  std::string stop_reason;
  uint32_t sequence = 0;             // both sequence numbers of the recovered base block
  uint32_t hive_bins_data_size = 0;  // of the recovered base block

  bool stopped_early() const { return !stop_reason.empty(); }
  bool base_block_from_log() const { return !base_block_log.empty(); }
  uint32_t entries_applied() const;
  uint32_t pages_applied() const;
  // Several lines, for `hivetool check`: dirty state, each log, the outcome.
  std::string to_string() const;
};

struct Recovery {
  // The primary image with the logs applied and a clean base block (equal sequence
  // numbers, right checksum); a clean primary is returned unchanged.
  std::vector<uint8_t> image;
  RecoveryReport report;
};

// Recovers `primary` from `logs` (any order; each log's format is read from its base
// block). Fails only when no usable image results: a primary shorter than a base block,
// or a primary base block that is invalid (no signature, a wrong checksum, an unknown
// version) with no log holding a valid copy of it that describes this file.
Result<Recovery> recover(std::vector<uint8_t> primary, const std::vector<LogFile>& logs);

// Reads the file at `primary_path` and the logs beside it named like it plus ".LOG",
// ".LOG1" or ".LOG2", matched case-insensitively, and recovers them.
Result<Recovery> recover_file(const std::string& primary_path);

// Marvin32 (the keyed hash of Windows' runtime) of `data`; new-format log entries carry
// two of these hashes made with kLogEntryHashSeed.
uint64_t marvin32(std::span<const uint8_t> data, uint64_t seed);
// The format document writes this seed as the decimal 14219357686671994754, which is
// this number with its bytes reversed; the logs Windows writes check out with this one.
constexpr uint64_t kLogEntryHashSeed = 0x82EF4D887A4E55C5ull;

}  // namespace regf
