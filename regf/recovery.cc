// The dirty state of a hive, the choice of logs and of the sequence to resume from, and
// the clean base block of the result. The formats themselves: log_old.cc, log_new.cc.
#include "regf/recovery.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>

#include "base/unicode.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/log_formats.h"
#include "regf/node.h"

namespace regf {

using log_detail::hex;
using log_detail::kSectorSize;
using log_detail::LogBaseBlock;

namespace log_detail {

std::string hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

LogBaseBlock read_log_base_block(std::span<const uint8_t> log) {
  LogBaseBlock b;
  if (log.size() < kSectorSize) {
    b.state = "shorter than one sector (" + std::to_string(log.size()) + " bytes)";
    return b;
  }
  const uint8_t* p = log.data();
  if (std::memcmp(p + base_block::kSignature, "regf", 4) != 0) {
    b.state = "no regf signature";
    return b;
  }
  uint32_t type = load_u32(p + base_block::kFileType);
  if (type == kFileTypeLogOld || type == kFileTypeLogOldAlternate)
    b.format = LogFormat::old_format;
  else if (type == kFileTypeLogNew)
    b.format = LogFormat::new_format;
  b.sequence = load_u32(p + base_block::kPrimarySequence);
  b.last_written = load_u64(p + base_block::kLastWritten);
  b.hive_bins_data_size = load_u32(p + base_block::kHiveBinsDataSize);
  b.clustering_factor = load_u32(p + base_block::kClusteringFactor);
  uint32_t stored = load_u32(p + base_block::kChecksum);
  uint32_t secondary = load_u32(p + base_block::kSecondarySequence);
  if (b.format == LogFormat::unknown)
    b.state = "file type " + std::to_string(type) + " is not a transaction log";
  else if (stored != base_block_checksum(p))
    b.state = "wrong checksum (stored " + hex(stored) + ", computed " + hex(base_block_checksum(p)) + ")";
  else if (b.sequence != secondary)
    // The writer raises the second number only once the whole log is written.
    b.state = "sequence numbers differ (" + std::to_string(b.sequence) + ", " + std::to_string(secondary) +
              "): the log was not completely written";
  else {
    b.valid = true;
    b.state = "valid";
  }
  return b;
}

}  // namespace log_detail

const char* to_string(LogFormat format) {
  switch (format) {
    case LogFormat::old_format: return "old format";
    case LogFormat::new_format: return "new format";
    case LogFormat::unknown: break;
  }
  return "unknown format";
}

namespace {

struct Log {
  const LogFile* file;
  LogBaseBlock base;
  LogReport* report;
};

// Records where and why recovery stopped before the logs' last change.
void stop(RecoveryReport& report, const std::string& file, std::optional<uint64_t> offset, std::string reason) {
  report.stop_file = file;
  report.stop_offset = offset;
  report.stop_reason = std::move(reason);
}

// One new-format log's valid entries, and the next one not yet applied or passed over.
struct EntrySource {
  Log* log;
  log_detail::NewLog parsed;
  size_t next = 0;

  const log_detail::LogEntry* next_entry() const {
    return next < parsed.entries.size() ? &parsed.entries[next] : nullptr;
  }
  // Passes over the entries below sequence number `sequence`, or up to it.
  void skip_below(uint32_t sequence) {
    while (next < parsed.entries.size() && parsed.entries[next].sequence < sequence) ++next;
  }
  void skip_through(uint32_t sequence) {
    while (next < parsed.entries.size() && parsed.entries[next].sequence <= sequence) ++next;
  }
};

// Each log's entries, read into its line of the report; entries older than `start` were
// in the primary before the write it was left in.
std::vector<EntrySource> read_entry_sources(std::vector<Log>& logs, uint32_t start) {
  std::vector<EntrySource> sources;
  for (Log& log : logs) {
    EntrySource s{&log, log_detail::read_new_log(log.file->bytes)};
    log.report->entries_valid = uint32_t(s.parsed.entries.size());
    log.report->end_offset = s.parsed.end.offset;
    log.report->end_reason = s.parsed.end.reason;
    log.report->end_is_fault = s.parsed.end.fault;
    s.skip_below(start);
    sources.push_back(std::move(s));
  }
  return sources;
}

// The log holding the next entry to apply: the lowest sequence number to begin with,
// then exactly `expected`, staying in the log being read when both logs hold it.
EntrySource* next_source(std::vector<EntrySource>& sources, std::optional<uint32_t> expected,
                         const EntrySource* current) {
  EntrySource* pick = nullptr;
  for (EntrySource& s : sources) {
    const log_detail::LogEntry* entry = s.next_entry();
    if (!entry) continue;
    if (!expected) {
      if (!pick || entry->sequence < pick->next_entry()->sequence) pick = &s;
    } else if (entry->sequence == *expected && (!pick || &s == current)) {
      pick = &s;
    }
  }
  return pick;
}

void count_applied(LogReport& r, const log_detail::LogEntry& entry) {
  ++r.entries_applied;
  if (!r.first_applied_sequence) r.first_applied_sequence = entry.sequence;
  r.last_applied_sequence = entry.sequence;
  r.pages_applied += uint32_t(entry.pages.size());
  for (const auto& page : entry.pages) r.bytes_applied += page.size;
}

// Why the chain of entries ended before some log's last entry, if it did: damage where
// the next entry would be, or a sequence number no log holds.
void report_chain_end(const std::vector<EntrySource>& sources, std::optional<uint32_t> expected, uint32_t start,
                      RecoveryReport& report) {
  const uint32_t wanted = expected.value_or(start);
  for (const EntrySource& s : sources) {
    const auto& entries = s.parsed.entries;
    const bool could_hold_next = entries.empty() || entries.back().sequence < wanted;
    if (s.parsed.end.fault && could_hold_next)
      return stop(report, s.log->file->name, s.parsed.end.offset, s.parsed.end.reason);
  }
  for (const EntrySource& s : sources)
    if (const log_detail::LogEntry* entry = s.next_entry())
      return stop(report, s.log->file->name, entry->offset,
                  "no log entry with sequence " + std::to_string(wanted) + "; later entries from " +
                      std::to_string(entry->sequence) + " not applied");
  if (!expected) report.stop_reason = "no log entry with sequence " + std::to_string(start) + " or later";
}

// Applies new-format entries from all logs in sequence order, from `start` on. Windows
// writes .LOG1 until it switches to .LOG2 (and back), so the chain of sequence numbers
// may continue in the other file where one ends.
// Returns the sequence number of the last entry applied.
std::optional<uint32_t> apply_new_format(std::vector<uint8_t>& image, std::vector<Log>& logs, uint32_t start,
                                         RecoveryReport& report) {
  std::vector<EntrySource> sources = read_entry_sources(logs, start);
  std::optional<uint32_t> expected, sequence;
  const EntrySource* current = nullptr;
  uint32_t last_bins_size = load_u32(image.data() + base_block::kHiveBinsDataSize);
  while (EntrySource* pick = next_source(sources, expected, current)) {
    const log_detail::LogEntry& entry = *pick->next_entry();
    if (auto fault = log_detail::apply_new_entry(image, pick->log->file->bytes, entry)) {
      stop(report, pick->log->file->name, entry.offset, *fault);
      break;
    }
    count_applied(*pick->log->report, entry);
    sequence = entry.sequence;
    last_bins_size = entry.hive_bins_data_size;
    current = pick;
    expected = entry.sequence + 1;
    for (EntrySource& s : sources) s.skip_through(entry.sequence);
  }
  store_u32(image.data() + base_block::kHiveBinsDataSize, last_bins_size);
  if (!report.stopped_early()) report_chain_end(sources, expected, start, report);
  return sequence;
}

}  // namespace

uint32_t RecoveryReport::entries_applied() const {
  uint32_t n = 0;
  for (const auto& log : logs) n += log.entries_applied;
  return n;
}

uint32_t RecoveryReport::pages_applied() const {
  uint32_t n = 0;
  for (const auto& log : logs) n += log.pages_applied;
  return n;
}

std::string RecoveryReport::to_string() const {
  std::string out = dirty ? "dirty: yes (" + dirty_reason + ")\n" : "dirty: no\n";
  for (const LogReport& log : logs) {
    out += "log " + log.name + ": " + regf::to_string(log.format) + ", base block " + log.base_block_state;
    if (log.base_block_valid) out += " (sequence " + std::to_string(log.base_sequence) + ")";
    if (log.format == LogFormat::new_format && log.base_block_valid)
      out += "; entries: " + std::to_string(log.entries_valid) + " valid, " + std::to_string(log.entries_applied) +
             " applied";
    if (log.first_applied_sequence)
      out += " (sequences " + std::to_string(*log.first_applied_sequence) + "-" +
             std::to_string(*log.last_applied_sequence) + ")";
    if (log.pages_applied)
      out += "; " + std::to_string(log.pages_applied) + " pages, " + std::to_string(log.bytes_applied) + " bytes";
    if (log.end_offset) out += "; ends at offset " + hex(*log.end_offset) + ": " + log.end_reason;
    out += "\n";
  }
  if (!dirty) return out;
  if (base_block_from_log()) out += "base block: taken from " + base_block_log + " (the primary's is invalid)\n";
  out += "recovered: sequence " + std::to_string(sequence) + ", hive bins data size " + hex(hive_bins_data_size) +
         ", " + std::to_string(pages_applied()) + " pages applied";
  if (format_applied == LogFormat::new_format) out += " from " + std::to_string(entries_applied()) + " log entries";
  out += "\n";
  if (stopped_early())
    out += "recovery stopped: " + Error{stop_reason, stop_offset, stop_file}.to_string() + "\n";
  else
    out += "recovery complete\n";
  return out;
}

namespace {

// Why the primary's base block cannot be taken as it stands; empty when it can.
std::string base_block_fault(const uint8_t* bb) {
  if (std::memcmp(bb + base_block::kSignature, "regf", 4) != 0) return "no regf signature in the base block";
  const uint32_t stored = load_u32(bb + base_block::kChecksum);
  if (stored != base_block_checksum(bb))
    return "wrong base block checksum (stored " + hex(stored) + ", computed " + hex(base_block_checksum(bb)) + ")";
  if (!supported_version(bb)) return "unsupported format version " + version_text(bb) + " in the base block";
  return {};
}

// Whether a log's base block copy may stand in for the primary's invalid one. Windows
// takes the copy as it finds it; a copy made for another file would turn this one into
// garbage, so it must at least describe this file: a version we read, hive bins that
// fit in the file, and a root cell that is the file's root key node. A new-format copy
// is made when its log is begun, before the entries' changes; an old-format copy after
// the one write the log holds, so it describes the image with that write applied.
bool describes_primary(const std::vector<uint8_t>& image, const LogFile& log) {
  const uint8_t* copy = log.bytes.data();
  if (!supported_version(copy)) return false;
  const uint32_t bins = load_u32(copy + base_block::kHiveBinsDataSize);
  if (bins == 0 || bins % kHiveBinAlignment != 0 || kBaseBlockSize + uint64_t(bins) > image.size()) return false;
  const uint32_t root = load_u32(copy + base_block::kRootCellOffset);
  if (root >= bins || root + kCellHeaderSize + nk::kName > bins) return false;
  const uint8_t* cell = image.data() + kBaseBlockSize + root;
  const int32_t size = load_i32(cell);
  return size < 0 && uint32_t(-int64_t(size)) >= kCellHeaderSize + nk::kName &&
         std::memcmp(cell + kCellHeaderSize, "nk", 2) == 0 &&
         (load_u16(cell + kCellHeaderSize + nk::kFlags) & nk::kFlagHiveEntry) != 0;
}

// Takes the base block copy from a log (its first sector) into the image, as a primary's.
void take_base_block(std::vector<uint8_t>& image, const Log& log, RecoveryReport& report) {
  std::memcpy(image.data(), log.file->bytes.data(), kSectorSize);
  store_u32(image.data() + base_block::kFileType, kFileTypePrimary);
  report.base_block_log = log.file->name;
}

// Each log's base block, read into its line of the report; the logs whose copy is valid.
std::vector<Log> read_logs(const std::vector<LogFile>& files, RecoveryReport& report) {
  report.logs.reserve(files.size());
  std::vector<Log> logs;
  for (const LogFile& f : files) {
    LogReport& lr = report.logs.emplace_back();
    lr.name = f.name;
    LogBaseBlock base = log_detail::read_log_base_block(f.bytes);
    lr.format = base.format;
    lr.base_block_valid = base.valid;
    lr.base_block_state = base.state;
    lr.base_sequence = base.sequence;
    if (base.valid) logs.push_back(Log{&f, base, &lr});
  }
  return logs;
}

// Replays new-format logs; returns the sequence number of the result. An entry holds the
// changes made to the hive at its sequence number. A primary left mid-write holds all
// changes before its second number and an unknown part of the rest, so replay resumes
// there (a Windows 10 user hive at 567/566 lacks entry 566). Without a valid primary
// base block, replay starts from the newest copy of it, written when that log was begun.
uint32_t recover_new_format(std::vector<uint8_t>& image, std::vector<Log>& logs, bool base_valid,
                            RecoveryReport& report) {
  const uint32_t seq1 = load_u32(image.data() + base_block::kPrimarySequence);
  uint32_t start = std::min(seq1, load_u32(image.data() + base_block::kSecondarySequence));
  if (!base_valid) {
    const Log* newest = nullptr;
    for (const Log& log : logs)
      if (describes_primary(image, *log.file) && (!newest || log.base.sequence > newest->base.sequence)) newest = &log;
    if (!newest) {
      report.stop_reason = "no transaction log holds a base block of this hive";
      return seq1;
    }
    take_base_block(image, *newest, report);
    start = newest->base.sequence;
  }
  return apply_new_format(image, logs, start, report).value_or(load_u32(image.data() + base_block::kPrimarySequence));
}

// Applies the first old-format log that belongs to the primary; returns the sequence
// number of the result. An old-format log belongs to the primary that has its
// last-written time; without a usable base block, the first hive bin keeps a copy of
// that time.
uint32_t recover_old_format(std::vector<uint8_t>& image, std::vector<Log>& logs, bool base_valid,
                            RecoveryReport& report) {
  const uint8_t* bb = image.data();
  std::optional<uint64_t> written;
  if (base_valid)
    written = load_u64(bb + base_block::kLastWritten);
  else if (image.size() >= kBaseBlockSize + kHiveBinHeaderSize &&
           std::memcmp(bb + kBaseBlockSize + hbin::kSignature, "hbin", 4) == 0)
    written = load_u64(bb + kBaseBlockSize + hbin::kTimestamp);
  for (Log& log : logs) {
    if (!written || log.base.last_written != *written) {
      log.report->end_reason = "not this primary's log (last-written time differs)";
      continue;
    }
    std::vector<uint8_t> before;
    const LogReport as_read = *log.report;
    if (!base_valid) before = image;
    // Failing logs leave the image as it was, so the next one may still be tried.
    if (auto fault = log_detail::apply_old_log(image, log.file->bytes, log.base, *log.report)) {
      log.report->end_offset = fault->offset;
      log.report->end_reason = fault->reason;
      log.report->end_is_fault = true;
      stop(report, log.file->name, fault->offset, fault->reason);
      continue;
    }
    if (!base_valid && !describes_primary(image, *log.file)) {
      image = std::move(before);
      *log.report = as_read;
      log.report->end_reason = "not this primary's log (its base block describes another hive)";
      continue;
    }
    if (!base_valid) take_base_block(image, log, report);
    store_u32(image.data() + base_block::kHiveBinsDataSize, log.base.hive_bins_data_size);
    stop(report, "", std::nullopt, "");
    return base_valid ? load_u32(image.data() + base_block::kPrimarySequence) : log.base.sequence;
  }
  if (report.stop_reason.empty()) report.stop_reason = "no transaction log belongs to this primary";
  return load_u32(image.data() + base_block::kPrimarySequence);
}

}  // namespace

Result<Recovery> recover(std::vector<uint8_t> primary, const std::vector<LogFile>& files) {
  if (primary.size() < kBaseBlockSize)
    return make_error("file too short for a base block (" + std::to_string(primary.size()) + " bytes)", 0);
  Recovery r;
  RecoveryReport& report = r.report;
  std::vector<uint8_t>& image = r.image;
  image = std::move(primary);

  const uint8_t* bb = image.data();
  const uint32_t seq1 = load_u32(bb + base_block::kPrimarySequence);
  const uint32_t seq2 = load_u32(bb + base_block::kSecondarySequence);
  report.dirty_reason = base_block_fault(bb);
  const bool base_valid = report.dirty_reason.empty();
  if (base_valid && seq1 != seq2)
    report.dirty_reason = "sequence numbers differ (" + std::to_string(seq1) + ", " + std::to_string(seq2) + ")";
  report.dirty = !report.dirty_reason.empty();
  std::vector<Log> logs = read_logs(files, report);
  report.sequence = seq1;
  report.hive_bins_data_size = load_u32(bb + base_block::kHiveBinsDataSize);
  if (!report.dirty) return r;

  std::vector<Log> new_logs, old_logs;
  for (const Log& log : logs) (log.base.format == LogFormat::new_format ? new_logs : old_logs).push_back(log);
  uint32_t sequence = seq1;
  if (!new_logs.empty()) {
    report.format_applied = LogFormat::new_format;
    sequence = recover_new_format(image, new_logs, base_valid, report);
  } else if (!old_logs.empty()) {
    report.format_applied = LogFormat::old_format;
    sequence = recover_old_format(image, old_logs, base_valid, report);
  } else {
    report.stop_reason = "no usable transaction log";
  }

  if (!base_valid && !report.base_block_from_log()) {
    Error e = make_error("base block invalid (" + report.dirty_reason + ") and no transaction log restores it", 0);
    if (report.stopped_early())
      e.message += ": " + Error{report.stop_reason, report.stop_offset, report.stop_file}.to_string();
    return e;
  }
  uint8_t* out = image.data();
  store_u32(out + base_block::kPrimarySequence, sequence);
  store_u32(out + base_block::kSecondarySequence, sequence);
  store_u32(out + base_block::kChecksum, base_block_checksum(out));
  report.sequence = sequence;
  report.hive_bins_data_size = load_u32(out + base_block::kHiveBinsDataSize);
  return r;
}

Result<Recovery> recover_file(const std::string& primary_path) {
  namespace fs = std::filesystem;
  fs::path primary(primary_path);
  auto bytes = read_file_image(primary.string(), true);
  if (!bytes) return bytes.error();

  // Windows names the logs after the primary (NTUSER.DAT.LOG1); copies made elsewhere may
  // have changed the case of either part.
  const std::u16string primary_name = base::from_utf8(primary.filename().string());
  const std::u16string suffixes[] = {u".LOG", u".LOG1", u".LOG2"};
  std::vector<fs::path> found(std::size(suffixes));
  fs::path dir = primary.parent_path().empty() ? fs::path(".") : primary.parent_path();
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::u16string name = base::from_utf8(it->path().filename().string());
    for (size_t i = 0; i < std::size(suffixes); ++i)
      if (base::equal_nocase(name, primary_name + suffixes[i]) && it->is_regular_file() &&
          (found[i].empty() || it->path().filename() < found[i].filename()))
        found[i] = it->path();
  }
  std::vector<LogFile> logs;
  for (const fs::path& p : found) {
    if (p.empty()) continue;
    auto log = read_file_image(p.string());
    if (!log) return log.error();
    logs.push_back(LogFile{p.filename().string(), std::move(*log)});
  }
  auto r = recover(std::move(*bytes), logs);
  if (!r) {
    Error e = r.error();
    if (e.file.empty()) e.file = primary.string();
    return e;
  }
  return r;
}

}  // namespace regf
