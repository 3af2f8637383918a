// New-format transaction logs (Windows 8.1 and later): after the base block copy, log
// entries "HvLE", each at a 512-byte boundary, each a header, page references and pages.
#include <algorithm>
#include <bit>

#include "regf/format.h"
#include "regf/log_formats.h"

namespace regf {

namespace {

void marvin_round(uint32_t& lo, uint32_t& hi) {
  hi ^= lo;
  lo = std::rotl(lo, 20);
  lo += hi;
  hi = std::rotl(hi, 9);
  hi ^= lo;
  lo = std::rotl(lo, 27);
  lo += hi;
  hi = std::rotl(hi, 19);
}

}  // namespace

uint64_t marvin32(std::span<const uint8_t> data, uint64_t seed) {
  uint32_t lo = uint32_t(seed);
  uint32_t hi = uint32_t(seed >> 32);
  size_t i = 0;
  for (; i + 4 <= data.size(); i += 4) {
    lo += load_u32(data.data() + i);
    marvin_round(lo, hi);
  }
  // The last 0-3 bytes are closed by a 0x80 byte and zeros to a full word.
  uint32_t last = 0x80u << (8 * (data.size() - i));
  for (size_t k = 0; i + k < data.size(); ++k) last |= uint32_t(data[i + k]) << (8 * k);
  lo += last;
  marvin_round(lo, hi);
  marvin_round(lo, hi);
  return uint64_t(hi) << 32 | lo;
}

namespace log_detail {

namespace entry {
constexpr size_t kSignature = 0;  // "HvLE"
constexpr size_t kSize = 4;
constexpr size_t kSequence = 12;
constexpr size_t kHiveBinsDataSize = 16;
constexpr size_t kPageCount = 20;
constexpr size_t kHash1 = 24;  // Marvin32 of everything after the header
constexpr size_t kHash2 = 32;  // Marvin32 of the header's first 32 bytes
constexpr size_t kHeaderSize = 40;
constexpr size_t kPageRefSize = 8;
}  // namespace entry

NewLog read_new_log(std::span<const uint8_t> log) {
  NewLog out;
  uint64_t off = kSectorSize;
  auto end = [&](std::string reason, bool fault) {
    out.end = LogEnd{off, std::move(reason), fault};
    return out;
  };
  for (;;) {
    if (off + entry::kHeaderSize > log.size()) return end("end of file", false);
    const uint8_t* p = log.data() + off;
    if (std::memcmp(p + entry::kSignature, "HvLE", 4) != 0) return end("no further log entry", false);

    uint32_t size = load_u32(p + entry::kSize);
    if (size < entry::kHeaderSize || size % kSectorSize != 0)
      return end("log entry size " + hex(size) + " is not a positive multiple of 512", true);
    if (off + size > log.size())
      return end("log entry of " + hex(size) + " bytes runs past the end of the file (cut short)", true);
    // Hash-2 covers the header including hash-1, so it is checked first and cheaply.
    if (marvin32({p, entry::kHash2}, kLogEntryHashSeed) != load_u64(p + entry::kHash2))
      return end("log entry hash-2 mismatch", true);
    if (marvin32({p + entry::kHeaderSize, size - entry::kHeaderSize}, kLogEntryHashSeed) != load_u64(p + entry::kHash1))
      return end("log entry hash-1 mismatch", true);

    uint32_t sequence = load_u32(p + entry::kSequence);
    if (!out.entries.empty()) {
      uint32_t previous = out.entries.back().sequence;
      // Windows rewrites a log from its start, so entries of an earlier round may follow
      // the current ones: an older sequence number is the log's natural end.
      if (sequence <= previous)
        return end("older log entry (sequence " + std::to_string(sequence) + " after " + std::to_string(previous) + ")",
                   false);
      if (sequence != previous + 1)
        return end("log entry sequence jumps from " + std::to_string(previous) + " to " + std::to_string(sequence),
                   true);
    }

    uint32_t bins_size = load_u32(p + entry::kHiveBinsDataSize);
    if (bins_size == 0 || bins_size % kHiveBinAlignment != 0)
      return end("log entry hive bins data size " + hex(bins_size) + " is not a multiple of 4096", true);

    uint32_t count = load_u32(p + entry::kPageCount);
    uint64_t refs_end = entry::kHeaderSize + uint64_t(count) * entry::kPageRefSize;
    if (refs_end > size) return end("log entry page count " + std::to_string(count) + " does not fit its size", true);

    LogEntry e{off, size, sequence, bins_size, {}};
    e.pages.reserve(count);
    uint64_t data = off + refs_end;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* ref = p + entry::kHeaderSize + size_t(i) * entry::kPageRefSize;
      uint32_t page_offset = load_u32(ref);
      uint32_t page_size = load_u32(ref + 4);
      // Windows tracks and logs the hive bins data in whole 4096-byte blocks.
      if (page_size == 0 || page_offset % kHiveBinAlignment != 0 || page_size % kHiveBinAlignment != 0 ||
          uint64_t(page_offset) + page_size > bins_size)
        return end("log entry page " + std::to_string(i) + " (offset " + hex(page_offset) + ", size " + hex(page_size) +
                       ") outside the hive bins data of " + hex(bins_size) + " bytes",
                   true);
      if (data + page_size > off + size) return end("log entry pages run past the entry's end", true);
      e.pages.push_back(PageRef{page_offset, page_size, data});
      data += page_size;
    }
    out.entries.push_back(std::move(e));
    off += size;
  }
}

std::optional<std::string> apply_new_entry(std::vector<uint8_t>& image, std::span<const uint8_t> log,
                                           const LogEntry& entry) {
  uint64_t bins_length = image.size() - kBaseBlockSize;
  if (entry.hive_bins_data_size > bins_length) {
    // A hive grows by whole new hive bins, and a new bin is dirty from its first to its
    // last byte: the entry must hold every byte the image gains.
    std::vector<std::pair<uint64_t, uint64_t>> gained;
    for (const PageRef& page : entry.pages)
      if (uint64_t(page.offset) + page.size > bins_length)
        gained.emplace_back(page.offset, uint64_t(page.offset) + page.size);
    std::sort(gained.begin(), gained.end());
    uint64_t covered = bins_length;
    for (auto [from, to] : gained) {
      if (from > covered) break;
      covered = std::max(covered, to);
    }
    if (covered < entry.hive_bins_data_size)
      return "log entry grows the hive bins data to " + hex(entry.hive_bins_data_size) + " but holds no page at " +
             hex(covered);
    image.resize(kBaseBlockSize + uint64_t(entry.hive_bins_data_size), 0);
  }
  for (const PageRef& page : entry.pages)
    std::memcpy(image.data() + kBaseBlockSize + page.offset, log.data() + page.data, page.size);
  return std::nullopt;
}

}  // namespace log_detail
}  // namespace regf
