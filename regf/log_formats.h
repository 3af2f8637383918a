// Reading the two transaction log formats; shared by recovery.cc, log_old.cc and
// log_new.cc only (the public interface is recovery.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "regf/recovery.h"

namespace regf::log_detail {

// Every log starts with a sector holding a copy of the hive's base block (only its first
// 512 bytes are meaningful there), its file type telling the log's format.
constexpr size_t kSectorSize = 512;

// "0x1f00", for offsets and sizes in messages.
std::string hex(uint64_t v);

struct LogBaseBlock {
  bool valid = false;
  std::string state;  // "valid" or why not
  LogFormat format = LogFormat::unknown;
  uint32_t sequence = 0;
  uint64_t last_written = 0;
  uint32_t hive_bins_data_size = 0;
  uint32_t clustering_factor = 0;
};
LogBaseBlock read_log_base_block(std::span<const uint8_t> log);

// A place in a log where reading ended, and why.
struct LogEnd {
  uint64_t offset = 0;
  std::string reason;
  bool fault = false;
};

// ---- Old format ----------------------------------------------------------------------

// Applies one old-format log to `image` (whose base block stays as it is). All or
// nothing: on a fault `image` is untouched and the fault is returned.
std::optional<LogEnd> apply_old_log(std::vector<uint8_t>& image, std::span<const uint8_t> log, const LogBaseBlock& base,
                                    LogReport& report);

// ---- New format ----------------------------------------------------------------------

struct PageRef {
  uint32_t offset;  // in the hive bins data
  uint32_t size;
  uint64_t data;  // where the page's bytes start in the log
};

struct LogEntry {
  uint64_t offset;  // of the entry in its log
  uint32_t size;
  uint32_t sequence;
  uint32_t hive_bins_data_size;
  std::vector<PageRef> pages;
};

// The entries of one new-format log that pass their checks, in file order, each with a
// sequence number one above the one before; and where that run of entries ends.
struct NewLog {
  std::vector<LogEntry> entries;
  LogEnd end;
};
NewLog read_new_log(std::span<const uint8_t> log);

// Writes one entry's pages into `image`, growing it to the entry's hive bins data size.
// Fails, leaving `image` untouched, when the entry lacks pages for part of the growth (a
// crafted size would otherwise make us allocate gigabytes of zeros).
std::optional<std::string> apply_new_entry(std::vector<uint8_t>& image, std::span<const uint8_t> log,
                                           const LogEntry& entry);

}  // namespace regf::log_detail
