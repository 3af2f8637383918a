// Writes hive transaction logs the way Windows does, to make dirty hives on purpose:
// start from a clean image, change some of its hive bins data in memory, write the
// changes to logs, and leave the primary file behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hivemend::testing {

// The hive as it stands in memory: its base block holds the hive bins data size and
// last-written time the logs copy.
using Image = std::vector<uint8_t>;

// The base block as a clean write would leave it: both sequence numbers `sequence`,
// the hive bins data size of the image, the checksum made right.
void make_clean(Image& image, uint32_t sequence);
// Marks the primary as left behind mid-write: sequence numbers `sequence + 1` and `sequence`.
void make_dirty(Image& image, uint32_t sequence);
uint32_t primary_sequence(const Image& image);

// ---- Old format: one log, the base block copy, the dirty vector, the dirty pages.

// `dirty_blocks` are offsets in the hive bins data of 4096-byte blocks that differ from
// the primary (Windows tracks changes in such blocks and marks their eight 512-byte pages).
std::vector<uint8_t> old_format_log(const Image& memory, uint32_t sequence, const std::vector<uint32_t>& dirty_blocks);

// ---- New format: a base block copy and log entries "HvLE" with Marvin32 hashes.

struct EntryPage {
  uint32_t offset;             // in the hive bins data
  std::vector<uint8_t> bytes;  // a multiple of 4096 bytes
};
struct Entry {
  uint32_t sequence;
  uint32_t hive_bins_data_size;
  std::vector<EntryPage> pages;
};
// An entry writing the blocks `block_offsets` (4096 bytes each) of `memory` as they are now.
Entry entry_from(const Image& memory, uint32_t sequence, const std::vector<uint32_t>& block_offsets);

// A log whose base block copy is `memory`'s with sequence `base_sequence`, followed by
// `entries` in order (each padded to a 512-byte boundary, hashes made right).
std::vector<uint8_t> new_format_log(const Image& memory, uint32_t base_sequence, const std::vector<Entry>& entries);
// File offsets of the entries in a log made by new_format_log.
std::vector<uint64_t> entry_offsets(const std::vector<Entry>& entries);

}  // namespace hivemend::testing
