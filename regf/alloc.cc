#include "regf/alloc.h"

#include <algorithm>

#include "regf/format.h"
#include "regf/hive.h"

namespace regf {

void Hive::set_cell_start(uint32_t offset, bool on) {
  size_t bit = offset / kCellAlignment;
  if (on)
    cell_starts_[bit / 64] |= uint64_t(1) << (bit % 64);
  else
    cell_starts_[bit / 64] &= ~(uint64_t(1) << (bit % 64));
}

std::optional<uint32_t> Hive::previous_cell_start(uint32_t offset, uint32_t lowest) const {
  if (offset <= lowest) return std::nullopt;
  size_t bit = offset / kCellAlignment - 1, low_bit = lowest / kCellAlignment;
  while (true) {
    uint64_t word = cell_starts_[bit / 64] & (~uint64_t(0) >> (63 - bit % 64));
    if (word) {
      size_t found = bit / 64 * 64 + (63 - size_t(__builtin_clzll(word)));
      if (found < low_bit) return std::nullopt;
      return uint32_t(found * kCellAlignment);
    }
    if (bit / 64 * 64 <= low_bit) return std::nullopt;
    bit = bit / 64 * 64 - 1;
  }
}

std::pair<uint32_t, uint32_t> Hive::bin_of(uint32_t offset) const {
  // The first bin starts at 0, and offset lies in the hive bins.
  const auto [start, size] = bins_[bin_of_page_[offset / kHiveBinAlignment]];
  return {start, start + size};
}

void Hive::add_bin_pages() {
  const auto [start, size] = bins_.back();
  bin_of_page_.resize(start / kHiveBinAlignment, uint32_t(bins_.size() - 2));
  bin_of_page_.resize((start + size) / kHiveBinAlignment, uint32_t(bins_.size() - 1));
}

void Hive::append_bin(uint32_t min_cell_size) {
  uint32_t size =
      uint32_t((min_cell_size + kHiveBinHeaderSize + kHiveBinAlignment - 1) / kHiveBinAlignment * kHiveBinAlignment);
  uint32_t start = uint32_t(bins_size_);
  // Bytes after the hive bins data (padding some writers leave) stay after it.
  bytes_.insert(bytes_.begin() + kBaseBlockSize + start, size, 0);
  uint8_t* h = &bytes_[kBaseBlockSize + start];
  std::memcpy(h + hbin::kSignature, "hbin", 4);
  store_u32(h + hbin::kOffset, start);
  store_u32(h + hbin::kSize, size);
  store_u64(h + hbin::kTimestamp, filetime_now());
  uint32_t free_cell = start + kHiveBinHeaderSize;
  store_i32(&bytes_[kBaseBlockSize + free_cell], int32_t(size - kHiveBinHeaderSize));
  bins_size_ += size;
  bins_.emplace_back(start, size);
  add_bin_pages();
  cell_starts_.resize((bins_size_ / kCellAlignment + 63) / 64, 0);
  set_cell_start(free_cell, true);
  free_cells_.insert(size - kHiveBinHeaderSize, free_cell);
  store_u32(&bytes_[base_block::kHiveBinsDataSize], uint32_t(bins_size_));
}

Result<uint32_t> Hive::allocate(uint32_t payload, std::span<const uint8_t> contents) {
  if (payload > 0x7FFFFFF0u - 4) return Error{"cell too large", std::nullopt, name_};
  uint32_t need = cell_size_for(payload);
  auto is_free = [&](uint32_t size, uint32_t offset) {
    return is_cell_start(offset) && load_i32(&bytes_[kBaseBlockSize + offset]) == int32_t(size);
  };
  auto taken = free_cells_.take(need, is_free);
  if (!taken) {
    append_bin(need);
    taken = free_cells_.take(need, is_free);
  }
  auto [size, offset] = *taken;
  if (size - need >= kCellAlignment * 2) {
    uint32_t rest = offset + need;
    store_i32(&bytes_[kBaseBlockSize + rest], int32_t(size - need));
    set_cell_start(rest, true);
    free_cells_.insert(size - need, rest);
    size = need;
  }
  store_i32(&bytes_[kBaseBlockSize + offset], -int32_t(size));
  auto p = cell_mut(offset);  // the free cell just taken, with room for the contents
  std::fill(std::copy(contents.begin(), contents.end(), p.begin()), p.end(), 0);
  return offset;
}

void Hive::release(uint32_t offset) {
  uint32_t size = uint32_t(-load_i32(&bytes_[kBaseBlockSize + offset]));
  auto [bin_start, bin_end] = bin_of(offset);
  auto free_size_at = [&](uint32_t at) { return load_i32(&bytes_[kBaseBlockSize + at]); };

  uint32_t next = offset + size;
  if (next < bin_end && is_cell_start(next) && free_size_at(next) > 0) {
    uint32_t next_size = uint32_t(free_size_at(next));
    free_cells_.erase(next_size, next);
    set_cell_start(next, false);
    size += next_size;
  }
  // The previous cell is the nearest cell start before this one in the same bin,
  // searched a 64-bit word of the map at a time.
  if (auto prev = previous_cell_start(offset, bin_start + kHiveBinHeaderSize)) {
    int32_t prev_size = free_size_at(*prev);
    if (prev_size > 0 && *prev + uint32_t(prev_size) == offset) {
      free_cells_.erase(uint32_t(prev_size), *prev);
      set_cell_start(offset, false);
      offset = *prev;
      size += uint32_t(prev_size);
    }
  }
  store_i32(&bytes_[kBaseBlockSize + offset], int32_t(size));
  free_cells_.insert(size, offset);
}

}  // namespace regf
