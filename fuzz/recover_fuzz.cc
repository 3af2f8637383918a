// Fuzz target: log recovery of a primary image from one or two transaction logs carved
// out of the input.
//
// Input: a flags byte, the primary's length and the first log's length (32-bit little
// endian, each taken modulo what is left), then the bytes; what follows the first log is
// the second log when flag bit 2 is set. Random bytes never carry right Marvin32 hashes,
// so for inputs with flag bit 0 the log entries found at 512-byte steps get their hashes
// recomputed (and flag bit 1 makes the primary's checksum right) before recovery.
//
// Promises checked: recovery either fails with a message or gives an image whose base
// block is clean (equal sequence numbers, right checksum, its hive bins data size within
// the image); that image opens without being dirty or is refused with a message, and a
// recovery of it alone (nothing left to apply) gives it back unchanged.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/recovery.h"
#include "regf/walk.h"

namespace {

constexpr size_t kSector = 512;
constexpr size_t kEntryHeader = 40;

// Makes the hashes of every "HvLE" entry at a sector boundary after the first sector
// right, the way Windows writes them: hash-1 over the entry after its header, then
// hash-2 over the header's first 32 bytes (hash-1 included).
void rehash_entries(std::vector<uint8_t>& log) {
  for (size_t off = kSector; off + kEntryHeader <= log.size(); off += kSector) {
    uint8_t* p = log.data() + off;
    if (std::memcmp(p, "HvLE", 4) != 0) continue;
    uint32_t size = regf::load_u32(p + 4);
    if (size < kEntryHeader || size > log.size() - off) continue;
    regf::store_u64(p + 24, regf::marvin32({p + kEntryHeader, size - kEntryHeader}, regf::kLogEntryHashSeed));
    regf::store_u64(p + 32, regf::marvin32({p, 32}, regf::kLogEntryHashSeed));
  }
}

void fix_checksum(std::vector<uint8_t>& block) {
  if (block.size() >= regf::kBaseBlockSize)
    regf::store_u32(block.data() + regf::base_block::kChecksum, regf::base_block_checksum(block.data()));
}

std::vector<uint8_t> take(const uint8_t*& p, size_t& left, uint32_t want) {
  size_t n = left == 0 ? 0 : want % (left + 1);
  std::vector<uint8_t> out(p, p + n);
  p += n;
  left -= n;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  const uint8_t flags = data[0];
  const uint32_t primary_size = regf::load_u32(data + 1), log1_size = regf::load_u32(data + 5);
  const uint8_t* p = data + 9;
  size_t left = size - 9;
  std::vector<uint8_t> primary = take(p, left, primary_size);
  std::vector<regf::LogFile> logs;
  logs.push_back({"fuzz.LOG1", take(p, left, log1_size)});
  if (flags & 4) logs.push_back({"fuzz.LOG2", std::vector<uint8_t>(p, p + left)});
  if (flags & 1)
    for (auto& log : logs) {
      fix_checksum(log.bytes);
      rehash_entries(log.bytes);
    }
  if (flags & 2) fix_checksum(primary);

  auto recovered = regf::recover(std::move(primary), logs);
  if (!recovered) {
    FUZZ_CHECK(!recovered.error().message.empty(), "an error without a message");
    return 0;
  }
  const std::vector<uint8_t>& image = recovered->image;
  FUZZ_CHECK(!recovered->report.to_string().empty(), "an empty report");
  FUZZ_CHECK(image.size() >= regf::kBaseBlockSize, "recovered image shorter than a base block");
  const uint8_t* b = image.data();
  FUZZ_CHECK(regf::load_u32(b + regf::base_block::kPrimarySequence) ==
                 regf::load_u32(b + regf::base_block::kSecondarySequence),
             "recovered base block has unequal sequence numbers");
  FUZZ_CHECK(regf::load_u32(b + regf::base_block::kChecksum) == regf::base_block_checksum(b),
             "recovered base block has a wrong checksum");

  auto again = regf::recover(image, {});
  FUZZ_CHECK(again.ok() && again->image == image, "recovering a clean image changed it");

  auto hive = regf::Hive::from_image(image, "fuzz.recovered");
  if (!hive) {
    FUZZ_CHECK(!hive.error().message.empty(), "an error without a message");
    return 0;
  }
  FUZZ_CHECK(!hive->dirty(), "a recovered hive opens dirty");
  (void)regf::check_tree(*hive);
  return 0;
}
