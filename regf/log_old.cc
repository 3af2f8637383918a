// Old-format transaction logs (up to Windows 8): after the base block copy, in the next
// sector, the dirty vector "DIRT" (one bit per 512-byte page of the hive bins data), then,
// from the following sector on, one 512-byte copy for each bit that is set.
#include <algorithm>
#include <bit>

#include "regf/format.h"
#include "regf/log_formats.h"

namespace regf::log_detail {

namespace {

constexpr size_t kPageSize = 512;

bool bit_set(std::span<const uint8_t> bitmap, uint64_t i) { return (bitmap[i / 8] >> (i % 8)) & 1; }

// Every hive bin holding a dirty page must start with a sound header after the pages are
// applied: the signature, and its own offset. Returns the fault, if any.
std::optional<LogEnd> check_dirty_bins(const std::vector<uint8_t>& image, uint32_t bins_size,
                                       std::span<const uint8_t> bitmap, uint64_t bits) {
  auto dirty_from = [&](uint64_t pos) {
    for (uint64_t i = pos / kPageSize; i < bits; ++i)
      if (bit_set(bitmap, i)) return true;
    return false;
  };
  uint64_t pos = 0;
  while (pos < bins_size) {
    const uint8_t* bin = image.data() + kBaseBlockSize + pos;
    uint32_t size = load_u32(bin + hbin::kSize);
    bool sound = std::memcmp(bin + hbin::kSignature, "hbin", 4) == 0 && load_u32(bin + hbin::kOffset) == pos &&
                 size != 0 && size % kHiveBinAlignment == 0 && pos + size <= bins_size;
    if (!sound) {
      // Past a damaged header the bins cannot be walked; that is only the log's fault
      // when it wrote pages there.
      if (dirty_from(pos))
        return LogEnd{kBaseBlockSize + pos, "hive bin at offset " + hex(pos) + " of the recovered image is invalid",
                      true};
      return std::nullopt;
    }
    pos += size;
  }
  return std::nullopt;
}

}  // namespace

std::optional<LogEnd> apply_old_log(std::vector<uint8_t>& image, std::span<const uint8_t> log, const LogBaseBlock& base,
                                    LogReport& report) {
  // The log's base block copy fills its first sector; the sector size is the clustering
  // factor times 512.
  uint64_t sector = uint64_t(std::clamp<uint32_t>(base.clustering_factor, 1, 64)) * kSectorSize;
  uint32_t bins_size = base.hive_bins_data_size;
  if (bins_size == 0 || bins_size % kHiveBinAlignment != 0)
    return LogEnd{uint64_t(base_block::kHiveBinsDataSize),
                  "hive bins data size " + hex(bins_size) + " is not a multiple of 4096", true};

  uint64_t vector_at = sector;
  if (vector_at + 4 > log.size() || std::memcmp(log.data() + vector_at, "DIRT", 4) != 0)
    return LogEnd{vector_at, "no dirty vector (DIRT)", true};
  uint64_t bits = bins_size / kPageSize;
  uint64_t bitmap_at = vector_at + 4;
  if (bitmap_at + (bits + 7) / 8 > log.size())
    return LogEnd{bitmap_at, "dirty vector runs past the end of the file", true};
  std::span<const uint8_t> bitmap = log.subspan(bitmap_at, (bits + 7) / 8);

  uint64_t bins_length = image.size() - kBaseBlockSize;
  uint64_t dirty = 0;
  std::optional<uint64_t> clean_gained;  // first page beyond the image the log does not hold
  for (uint64_t i = 0; i < bits; ++i) {
    if (bit_set(bitmap, i))
      ++dirty;
    else if (i * kPageSize >= bins_length && !clean_gained)
      clean_gained = i * kPageSize;
  }
  uint64_t pages_at = (bitmap_at + bitmap.size() + sector - 1) / sector * sector;
  if (pages_at + dirty * kPageSize > log.size())
    return LogEnd{log.size(),
                  "log holds " + std::to_string(log.size() > pages_at ? (log.size() - pages_at) / kPageSize : 0) +
                      " of the " + std::to_string(dirty) + " dirty pages its dirty vector marks (cut short)",
                  true};
  // A hive grows by whole new hive bins, each dirty from its first to its last byte, so
  // every page the image gains must be in the log.
  if (clean_gained)
    return LogEnd{
        uint64_t(base_block::kHiveBinsDataSize),
        "hive bins data size " + hex(bins_size) + " grows the hive but the log holds no page at " + hex(*clean_gained),
        true};

  std::vector<uint8_t> out = image;
  if (out.size() < kBaseBlockSize + uint64_t(bins_size)) out.resize(kBaseBlockSize + bins_size, 0);
  uint64_t page = pages_at;
  for (uint64_t i = 0; i < bits; ++i)
    if (bit_set(bitmap, i)) {
      std::memcpy(out.data() + kBaseBlockSize + i * kPageSize, log.data() + page, kPageSize);
      page += kPageSize;
    }
  if (auto fault = check_dirty_bins(out, bins_size, bitmap, bits)) return fault;

  image = std::move(out);
  report.pages_applied = uint32_t(dirty);
  report.bytes_applied = dirty * kPageSize;
  report.end_offset = page;
  report.end_reason = "end of the dirty pages";
  return std::nullopt;
}

}  // namespace regf::log_detail
