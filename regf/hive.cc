#include "regf/hive.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "regf/alloc.h"
#include "regf/commit.h"
#include "regf/format.h"
#include "regf/node.h"
#include "regf/walk.h"

namespace regf {

uint64_t filetime_now() {
  // FILETIME counts 100 ns steps from 1601-01-01; the Unix epoch is 11644473600 s later.
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100;
  return uint64_t(ticks) + 116444736000000000ull;
}

std::string Damage::to_string() const {
  char where[40];
  std::snprintf(where, sizeof where, "offset 0x%llx: ", static_cast<unsigned long long>(offset));
  return (path.empty() ? std::string() : path + ": ") + where + reason;
}

Hive::Hive(Hive&&) noexcept = default;
Hive& Hive::operator=(Hive&&) noexcept = default;
Hive::~Hive() = default;

namespace {

// New memory is handed out a page at a time, on the first write to each page, and on
// a virtual machine each of those faults is dear: a hive image of tens of megabytes
// costs thousands of them, more than the read itself. Asked for in 2 MB pages where the
// kernel has them, it costs a few dozen.
void ask_for_large_pages(const uint8_t* start, size_t capacity) {
  constexpr uintptr_t kLargePage = uintptr_t(2) << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + kLargePage - 1) & ~(kLargePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + capacity) & ~(kLargePage - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint only
}

}  // namespace

Result<std::vector<uint8_t>> read_file_image(const std::string& path, bool room) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error{"cannot open file", std::nullopt, path};
  in.seekg(0, std::ios::end);
  const size_t size = size_t(std::max<std::streamoff>(in.tellg(), 0));
  std::vector<uint8_t> bytes;
  // Edits append hive bins; moving a large image to a larger block would hold both
  // copies at once. Reserved pages cost no memory until they are written.
  bytes.reserve(room ? 2 * size : size);
  ask_for_large_pages(bytes.data(), bytes.capacity());
  bytes.resize(size);
  in.seekg(0);
  // One read of the whole file: hives run to tens of megabytes.
  if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())))
    return Error{"cannot read file", std::nullopt, path};
  return bytes;
}

Result<Hive> Hive::open_file(const std::string& path) {
  auto bytes = read_file_image(path);
  if (!bytes) return bytes.error();
  return from_image(std::move(*bytes), path);
}

Result<Hive> Hive::from_image(std::vector<uint8_t> bytes, std::string name_for_errors) {
  Hive hive;
  hive.name_ = std::move(name_for_errors);
  hive.bytes_ = std::move(bytes);
  auto fail = [&](std::string message, uint64_t offset) -> Error {
    return Error{std::move(message), offset, hive.name_};
  };
  const auto& b = hive.bytes_;
  if (b.size() < kBaseBlockSize) return fail("file too short for a base block", b.size());
  if (std::memcmp(b.data(), "regf", 4) != 0) return fail("not a hive file: no \"regf\" signature", 0);
  hive.minor_ = load_u32(&b[base_block::kMinorVersion]);
  if (!supported_version(b.data()))
    return fail("unsupported format version " + version_text(b.data()), base_block::kMajorVersion);
  uint32_t type = load_u32(&b[base_block::kFileType]);
  if (type != kFileTypePrimary)
    return fail("not a primary hive file (file type " + std::to_string(type) + ")", base_block::kFileType);
  uint32_t data_size = load_u32(&b[base_block::kHiveBinsDataSize]);
  if (data_size == 0 || data_size % kHiveBinAlignment != 0)
    return fail("hive bins data size is not a multiple of 4096", base_block::kHiveBinsDataSize);
  if (uint64_t(data_size) + kBaseBlockSize > b.size())
    return fail("hive bins data size beyond end of file (file truncated?)", base_block::kHiveBinsDataSize);
  hive.bins_size_ = data_size;
  hive.dirty_ = load_u32(&b[base_block::kPrimarySequence]) != load_u32(&b[base_block::kSecondarySequence]) ||
                load_u32(&b[base_block::kChecksum]) != base_block_checksum(b.data());
  if (auto st = hive.scan_bins(); !st) return st.error();
  hive.root_ = load_u32(&b[base_block::kRootCellOffset]);
  if (auto root = hive.record(hive.root_, "nk", nk::kName); !root) return root.error();
  return hive;
}

// Walks every hive bin and every cell once, recording where cells start and which are
// free. A bin whose header is wrong is skipped (its cells stay unreachable) and reported;
// a cell whose size is impossible ends the walk of its bin.
Status Hive::scan_bins() {
  cell_starts_.assign((bins_size_ / kCellAlignment + 63) / 64, 0);
  size_t pos = 0;
  while (pos < bins_size_) {
    const uint8_t* h = &bytes_[kBaseBlockSize + pos];
    uint32_t size = load_u32(h + hbin::kSize);
    bool ok = std::memcmp(h + hbin::kSignature, "hbin", 4) == 0 && load_u32(h + hbin::kOffset) == pos &&
              size >= kHiveBinAlignment && size % kHiveBinAlignment == 0 && pos + size <= bins_size_;
    if (!ok) {
      if (pos == 0) return Error{"first hive bin is damaged", kBaseBlockSize, name_};
      bin_damage_.push_back({"", kBaseBlockSize + pos, "hive bin header damaged; its cells skipped"});
      pos += kHiveBinAlignment;
      continue;
    }
    bins_.emplace_back(uint32_t(pos), size);
    add_bin_pages();
    size_t end = pos + size;
    for (size_t c = pos + kHiveBinHeaderSize; c < end;) {
      int64_t raw = load_i32(&bytes_[kBaseBlockSize + c]);
      uint64_t cell_size = raw < 0 ? uint64_t(-raw) : uint64_t(raw);
      if (cell_size < kCellAlignment || cell_size % kCellAlignment != 0 || c + cell_size > end) {
        bin_damage_.push_back({"", kBaseBlockSize + c, "cell size impossible; rest of hive bin skipped"});
        break;
      }
      set_cell_start(uint32_t(c), true);
      if (raw > 0) free_cells_.insert(uint32_t(cell_size), uint32_t(c));
      c += cell_size;
    }
    pos = end;
  }
  return Ok{};
}

const std::vector<Damage>& Hive::damage() const {
  if (!damage_) {
    std::vector<Damage> all = bin_damage_;
    auto walked = check_tree(*this);
    all.insert(all.end(), walked.begin(), walked.end());
    damage_ = std::move(all);
  }
  return *damage_;
}

Status Hive::ensure_writable() const {
  if (dirty())
    return Error{"hive is dirty (sequence numbers or checksum); recover it from its logs before writing", std::nullopt,
                 name_};
  const auto& found = damage();
  if (!found.empty())
    return Error{"hive is damaged, refused for writing: " + found.front().to_string() +
                     (found.size() > 1 ? " (and " + std::to_string(found.size() - 1) + " more)" : ""),
                 std::nullopt, name_};
  return Ok{};
}

Error Hive::fault(std::string message, uint32_t cell_offset) const {
  return Error{std::move(message), file_offset(cell_offset), name_};
}

Error Hive::cell_fault(uint32_t offset) const {
  if (offset >= bins_size_) return fault("cell offset beyond hive bins", offset);
  if (offset % kCellAlignment != 0 || !is_cell_start(offset)) return fault("offset is not the start of a cell", offset);
  return fault("cell is free", offset);
}

Error Hive::record_fault(uint32_t offset, const char* signature) const {
  return fault(std::string("expected a \"") + signature + "\" record", offset);
}

std::span<uint8_t> Hive::cell_mut(uint32_t offset) {
  int32_t raw = load_i32(&bytes_[kBaseBlockSize + offset]);
  return std::span<uint8_t>(&bytes_[kBaseBlockSize + offset + kCellHeaderSize],
                            size_t(-int64_t(raw)) - kCellHeaderSize);
}

namespace {

// Turns base block `b` into the clean one of the next write: sequence numbers advanced
// and equal, last-written time now, size and checksum right.
void stamp_base_block(uint8_t* b, size_t bins_size) {
  uint32_t sequence = load_u32(b + base_block::kPrimarySequence) + 1;
  store_u32(b + base_block::kPrimarySequence, sequence);
  store_u32(b + base_block::kSecondarySequence, sequence);
  store_u64(b + base_block::kLastWritten, filetime_now());
  store_u32(b + base_block::kHiveBinsDataSize, uint32_t(bins_size));
  store_u32(b + base_block::kChecksum, base_block_checksum(b));
}

}  // namespace

std::vector<uint8_t> Hive::image() const {
  std::vector<uint8_t> out = bytes_;
  stamp_base_block(out.data(), bins_size_);
  return out;
}

Status Hive::commit(const std::string& path) {
  if (auto st = ensure_writable(); !st) return st;
  // The new base block goes in place of the old one, which is put back if the write
  // fails: no second copy of the hive in memory.
  std::array<uint8_t, kBaseBlockSize> old;
  std::copy_n(bytes_.begin(), kBaseBlockSize, old.begin());
  stamp_base_block(bytes_.data(), bins_size_);
  if (auto st = replace_file(path, bytes_); !st) {
    std::copy(old.begin(), old.end(), bytes_.begin());
    return st;
  }
  return Ok{};
}

}  // namespace regf
