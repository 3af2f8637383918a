#include "tests/support/hive_logs.h"

#include <algorithm>

#include "regf/format.h"

namespace hivemend::testing {

namespace {

constexpr size_t kSector = 512;
constexpr size_t kBlock = 4096;

size_t padded(size_t n) { return (n + kSector - 1) / kSector * kSector; }

// The first sector of a log: the in-memory base block with the log's file type and
// sequence number, checksummed.
void put_base_block(std::vector<uint8_t>& log, const Image& memory, uint32_t type, uint32_t sequence) {
  std::copy(memory.begin(), memory.begin() + kSector, log.begin());
  regf::store_u32(log.data() + regf::base_block::kFileType, type);
  regf::store_u32(log.data() + regf::base_block::kPrimarySequence, sequence);
  regf::store_u32(log.data() + regf::base_block::kSecondarySequence, sequence);
  regf::store_u32(log.data() + regf::base_block::kChecksum, regf::base_block_checksum(log.data()));
}

uint32_t bins_size(const Image& image) { return uint32_t(image.size() - regf::kBaseBlockSize); }

// Marvin32 written out again here, independently of the engine's, so that the logs
// check the engine's hashes instead of repeating them.
constexpr uint64_t kEntryHashSeed = 0x82EF4D887A4E55C5ull;

uint64_t entry_hash(const uint8_t* data, size_t length) {
  uint32_t s0 = uint32_t(kEntryHashSeed), s1 = uint32_t(kEntryHashSeed >> 32);
  auto mix = [&](uint32_t word) {
    s0 += word;
    s1 ^= s0;
    s0 = (s0 << 20) | (s0 >> 12);
    s0 += s1;
    s1 = (s1 << 9) | (s1 >> 23);
    s1 ^= s0;
    s0 = (s0 << 27) | (s0 >> 5);
    s0 += s1;
    s1 = (s1 << 19) | (s1 >> 13);
  };
  // Bytes in, one word at a time; the tail is closed with a 0x80 byte.
  std::vector<uint8_t> padded_data(data, data + length);
  padded_data.push_back(0x80);
  while (padded_data.size() % 4) padded_data.push_back(0);
  for (size_t i = 0; i < padded_data.size(); i += 4) mix(regf::load_u32(&padded_data[i]));
  mix(0);
  return uint64_t(s1) << 32 | s0;
}

}  // namespace

void make_clean(Image& image, uint32_t sequence) {
  regf::store_u32(image.data() + regf::base_block::kPrimarySequence, sequence);
  regf::store_u32(image.data() + regf::base_block::kSecondarySequence, sequence);
  regf::store_u32(image.data() + regf::base_block::kHiveBinsDataSize, bins_size(image));
  regf::store_u32(image.data() + regf::base_block::kChecksum, regf::base_block_checksum(image.data()));
}

void make_dirty(Image& image, uint32_t sequence) {
  make_clean(image, sequence);
  regf::store_u32(image.data() + regf::base_block::kPrimarySequence, sequence + 1);
  regf::store_u32(image.data() + regf::base_block::kChecksum, regf::base_block_checksum(image.data()));
}

uint32_t primary_sequence(const Image& image) {
  return regf::load_u32(image.data() + regf::base_block::kPrimarySequence);
}

std::vector<uint8_t> old_format_log(const Image& memory, uint32_t sequence, const std::vector<uint32_t>& dirty_blocks) {
  size_t pages = bins_size(memory) / kSector;
  std::vector<uint8_t> bitmap((pages + 7) / 8, 0);
  for (uint32_t block : dirty_blocks)
    for (size_t page = block / kSector; page < (block + kBlock) / kSector; ++page)
      bitmap[page / 8] |= uint8_t(1u << (page % 8));
  size_t pages_at = padded(kSector + 4 + bitmap.size());
  size_t dirty = 0;
  for (size_t page = 0; page < pages; ++page) dirty += (bitmap[page / 8] >> (page % 8)) & 1;

  std::vector<uint8_t> log(pages_at + dirty * kSector, 0);
  Image copy = memory;
  regf::store_u32(copy.data() + regf::base_block::kHiveBinsDataSize, bins_size(memory));
  put_base_block(log, copy, regf::kFileTypeLogOld, sequence);
  std::copy_n("DIRT", 4, log.begin() + kSector);
  std::copy(bitmap.begin(), bitmap.end(), log.begin() + kSector + 4);
  size_t at = pages_at;
  for (size_t page = 0; page < pages; ++page)
    if ((bitmap[page / 8] >> (page % 8)) & 1) {
      std::copy_n(memory.begin() + regf::kBaseBlockSize + page * kSector, kSector, log.begin() + at);
      at += kSector;
    }
  return log;
}

Entry entry_from(const Image& memory, uint32_t sequence, const std::vector<uint32_t>& block_offsets) {
  Entry e{sequence, bins_size(memory), {}};
  for (uint32_t offset : block_offsets) {
    auto from = memory.begin() + regf::kBaseBlockSize + offset;
    e.pages.push_back(EntryPage{offset, std::vector<uint8_t>(from, from + kBlock)});
  }
  return e;
}

static size_t entry_size(const Entry& e) {
  size_t n = 40 + 8 * e.pages.size();
  for (const auto& page : e.pages) n += page.bytes.size();
  return padded(n);
}

std::vector<uint64_t> entry_offsets(const std::vector<Entry>& entries) {
  std::vector<uint64_t> out;
  uint64_t at = kSector;
  for (const Entry& e : entries) {
    out.push_back(at);
    at += entry_size(e);
  }
  return out;
}

std::vector<uint8_t> new_format_log(const Image& memory, uint32_t base_sequence, const std::vector<Entry>& entries) {
  std::vector<uint8_t> log(kSector, 0);
  put_base_block(log, memory, regf::kFileTypeLogNew, base_sequence);
  for (const Entry& e : entries) {
    size_t at = log.size();
    size_t size = entry_size(e);
    log.resize(at + size, 0);
    uint8_t* p = log.data() + at;
    std::copy_n("HvLE", 4, p);
    regf::store_u32(p + 4, uint32_t(size));
    regf::store_u32(p + 12, e.sequence);
    regf::store_u32(p + 16, e.hive_bins_data_size);
    regf::store_u32(p + 20, uint32_t(e.pages.size()));
    uint8_t* ref = p + 40;
    uint8_t* data = ref + 8 * e.pages.size();
    for (const auto& page : e.pages) {
      regf::store_u32(ref, page.offset);
      regf::store_u32(ref + 4, uint32_t(page.bytes.size()));
      ref += 8;
      data = std::copy(page.bytes.begin(), page.bytes.end(), data);
    }
    regf::store_u64(p + 24, entry_hash(p + 40, size - 40));
    regf::store_u64(p + 32, entry_hash(p, 32));
  }
  return log;
}

}  // namespace hivemend::testing
