// An open hive: the file image in memory, its base block and hive bins checked on
// opening, and access to its cells by offset. Every offset read from the file goes
// through cell(), which refuses offsets outside the hive bins, offsets that are not the
// start of a cell and free cells. The key, value, allocation and commit operations of
// this class live in node.cc, value.cc, alloc.cc and hive.cc, each beside the records
// it handles.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "regf/format.h"
#include "regf/free_cells.h"
#include "regf/node.h"
#include "regf/result.h"

namespace regf {

// A key node ("nk") or a key value ("vk") named by its cell offset (counted from the
// start of the hive bins data, as the file counts it). Cheap to copy; only meaningful
// with the Hive it came from.
struct KeyRef {
  uint32_t cell = 0;
  friend bool operator==(KeyRef, KeyRef) = default;
};
struct ValueRef {
  uint32_t cell = 0;
  friend bool operator==(ValueRef, ValueRef) = default;
};

// One damaged place found in a hive: the key path where known ("" for structures
// outside any key), the file offset and what is wrong.
struct Damage {
  std::string path;
  uint64_t offset = 0;
  std::string reason;
  std::string to_string() const;
};

// Values larger than this are stored as big data ("db") in format 1.4 and later.
constexpr uint32_t kBigDataSegmentSize = 16344;
// Windows refuses keys nested deeper than this.
constexpr unsigned kMaxKeyDepth = 512;

class Hive {
 public:
  static Result<Hive> open_file(const std::string& path);
  // `name_for_errors` is the file name put into every Error and Damage.
  static Result<Hive> from_image(std::vector<uint8_t> bytes, std::string name_for_errors);

  Hive(Hive&&) noexcept;
  Hive& operator=(Hive&&) noexcept;
  ~Hive();

  const std::string& name() const { return name_; }
  uint32_t minor_version() const { return minor_; }
  // Sequence numbers differ or the checksum is wrong: the last write did not finish and
  // the transaction logs hold newer data. Still readable; refused for writing.
  bool dirty() const { return dirty_; }
  // Every damaged place: those found in the hive bins on opening and, on the first call,
  // those found by a walk over the whole tree. Empty for a sound hive.
  const std::vector<Damage>& damage() const;

  // --- keys (node.cc) ---
  KeyRef root() const { return KeyRef{root_}; }
  Result<std::u16string> key_name(KeyRef key) const;
  // The key's name decoded into `name` when it fits; its length in characters either way.
  Result<uint32_t> read_key_name(KeyRef key, std::span<char16_t> name) const;
  // nullopt when the key has no class name.
  Result<std::optional<std::u16string>> class_name(KeyRef key) const;
  Result<uint64_t> last_written(KeyRef key) const;
  Result<uint32_t> subkey_count(KeyRef key) const;
  // Subkeys in stored order; O(1) after the key's first call (an index root list is
  // flattened once and kept).
  Result<KeyRef> subkey(KeyRef key, uint32_t index) const;
  // Case-insensitive lookup by Windows' upper-casing, by binary search over the sorted
  // subkey list; nullopt when there is no such subkey.
  Result<std::optional<KeyRef>> find_subkey(KeyRef key, std::u16string_view name) const;
  // Adds an empty subkey, keeping the list sorted and hashed as Windows does. Fails when
  // the name exists already.
  Result<KeyRef> add_subkey(KeyRef key, std::u16string_view name);
  // Deletes the subkey named `name` with everything below it (delete.cc); false when
  // there is no such subkey.
  Result<bool> delete_subkey(KeyRef key, std::u16string_view name);

  // --- values (value.cc) ---
  Result<uint32_t> value_count(KeyRef key) const;
  Result<ValueRef> value(KeyRef key, uint32_t index) const;
  // The same for an enumeration: nullopt past the last value (the list unread then),
  // and the record `ahead` places on asked for from memory meanwhile.
  Result<std::optional<ValueRef>> value_at(KeyRef key, uint32_t index, uint32_t ahead) const;
  Result<std::optional<ValueRef>> find_value(KeyRef key, std::u16string_view name) const;
  Result<std::u16string> value_name(ValueRef value) const;
  Result<uint32_t> value_type(ValueRef value) const;
  Result<uint32_t> value_size(ValueRef value) const;
  Result<std::vector<uint8_t>> value_data(ValueRef value) const;
  // The same into `data`, whose room is reused (for a caller that reads value after value).
  Status value_data(ValueRef value, std::vector<uint8_t>& data) const;
  // A value's name, type and data read from its record once, into the caller's buffers
  // (for callers that enumerate many values and would otherwise allocate per value).
  // The name is decoded into `name` and the data copied into `data` only when each
  // fits, and the data only when the name fits too; the result gives their full
  // lengths either way.
  struct ValueInfo {
    uint32_t type = 0;
    uint32_t name_length = 0;  // in characters
    uint32_t size = 0;         // data size in bytes
  };
  Result<ValueInfo> read_value(ValueRef value, std::span<char16_t> name, std::span<uint8_t> data) const;
  // Replaces the type and data of the value named `name` (case-insensitive), or adds the
  // value when the key has none of that name.
  Status set_value(KeyRef key, std::u16string_view name, uint32_t type, std::span<const uint8_t> data);
  // The same for a caller that looked the value up already: `existing` is what
  // find_value(key, name) gave on the hive as it stands (a key's values are searched in
  // order, so one search saves a second).
  Status set_value(KeyRef key, std::optional<ValueRef> existing, std::u16string_view name, uint32_t type,
                   std::span<const uint8_t> data);
  // Deletes the value named `name` (delete.cc); false when the key has none.
  Result<bool> delete_value(KeyRef key, std::u16string_view name);

  // --- writing (hive.cc) ---
  // The whole file with a fresh clean base block: sequence numbers advanced and equal,
  // last-written time now, checksum right.
  std::vector<uint8_t> image() const;
  // Writes image() over `path` through replace_file (crash-safe, the file keeps its
  // identity) and keeps the written base block as the current one. Refused for a dirty
  // or damaged hive.
  Status commit(const std::string& path);
  // The in-memory image as it stands, base block untouched (for tests and diagnostics).
  std::span<const uint8_t> raw_image() const { return bytes_; }

  // --- cells (hive.cc) ---
  // The payload (after the size field) of the allocated cell at `offset`, or an error
  // naming the file offset when `offset` is not such a cell.
  Result<std::span<const uint8_t>> cell(uint32_t offset) const {
    if (offset >= bins_size_ || offset % kCellAlignment != 0 || !is_cell_start(offset)) return cell_fault(offset);
    const int32_t raw = load_i32(&bytes_[kBaseBlockSize + offset]);
    if (raw >= 0) return cell_fault(offset);
    return std::span<const uint8_t>(&bytes_[kBaseBlockSize + offset + kCellHeaderSize],
                                    size_t(-int64_t(raw)) - kCellHeaderSize);
  }
  // The same check, with a record signature ("nk", "lh", ...) required.
  Result<std::span<const uint8_t>> record(uint32_t offset, const char* signature, size_t min_size) const {
    auto c = cell(offset);
    if (!c) return c;
    if (c->size() < min_size || std::memcmp(c->data(), signature, 2) != 0) return record_fault(offset, signature);
    return c;
  }
  Error fault(std::string message, uint32_t cell_offset) const;
  static uint64_t file_offset(uint32_t cell_offset) { return cell_offset + uint64_t(kBaseBlockSize); }
  size_t bins_size() const { return bins_size_; }
  // A hint that the cell at `offset` is read next: a walk asks for the records of a
  // whole value list before it reads them, so that their cache misses overlap.
  void prefetch(uint32_t offset) const {
    if (offset < bins_size_) __builtin_prefetch(&bytes_[kBaseBlockSize + offset]);
  }

 private:
  friend class HiveBuilder;
  friend class TreeWalker;
  Hive() = default;
  Status scan_bins();
  Status ensure_writable() const;
  // The allocated cell at `offset` for writing, unchecked: each caller has allocated it
  // or read it through cell() (or a walk that did) and says which in one line.
  std::span<uint8_t> cell_mut(uint32_t offset);

  // Subkeys of a key in stored order, and an order sorted by upper-cased name, made once
  // per key on first need.
  struct SubkeyIndex {
    std::vector<uint32_t> cells;
    std::vector<uint32_t> sorted;  // indexes into cells; empty when cells is sorted
    bool sort_checked = false;
  };
  Result<const SubkeyIndex*> subkey_index(KeyRef key, bool sorted) const;
  Result<std::u16string> node_name(uint32_t cell) const;
  // base::compare_nocase(name, the name of key node `cell`), without decoding that name.
  Result<int> compare_node_name(std::u16string_view name, uint32_t cell) const;
  // The stored name of key node `cell`, or of the value whose record is `vk_record`.
  Result<StoredName> node_stored_name(uint32_t cell) const;
  Result<StoredName> value_stored_name(std::span<const uint8_t> vk_record, uint32_t cell) const;
  // The cell offsets of a key's values, its list checked against its count (empty when
  // it has none); with `ahead`, every record asked for ahead, for a caller that walks the
  // whole list.
  struct ValueList {
    uint32_t cell = kNoCell;
    std::span<const uint8_t> entries;
    uint32_t count = 0;
    ValueRef operator[](uint32_t i) const { return ValueRef{load_u32(&entries[i * kCellOffsetSize])}; }
  };
  Result<ValueList> value_list(KeyRef key, bool ahead = true) const;
  // The same from the key's node record, read already.
  Result<ValueList> value_list(std::span<const uint8_t> node, bool ahead) const;
  // A key's value names by hash, for a key searched by name again and again (a walk that
  // writes back many values of one key): a search then reads only the records whose
  // names hash alike, in list order, so it finds the first match a search in order
  // finds. Made for one key at a time, on its third search, when every record reads
  // whole; dropped when any value list or record may have changed.
  struct ValueNameIndex {
    uint32_t key = kNoCell, list = kNoCell, count = 0;
    uint64_t generation = 0;
    unsigned searches = 0;
    std::vector<uint32_t> hashes;  // per list position
    std::vector<uint32_t> slots;   // open addressing: list position + 1; 0 is empty
  };
  // The index's answer for `name`, or nullopt when there is no index for this list.
  std::optional<std::optional<ValueRef>> indexed_value(KeyRef key, const ValueList& list,
                                                       std::u16string_view name) const;

  // Adding a subkey (node.cc). Where the new key's entry goes: the leaf that takes it
  // (kNoCell when the key has no subkeys yet) with its entry count, the entry's place in
  // it, and under an index root the root and the leaf's place there.
  struct SubkeySlot {
    uint32_t leaf = kNoCell;
    size_t leaf_count = 0;
    size_t entry = 0;
    uint32_t index_root = kNoCell;
    size_t root_entry = 0;
  };
  // The slot for the entry that is `position`th in the parent's sorted subkeys.
  SubkeySlot subkey_slot(KeyRef parent, size_t position) const;
  // A new key node named `name` under `parent`, sharing the parent's security record.
  Result<uint32_t> new_key_node(KeyRef parent, std::u16string_view name);
  // Writes the leaf with the entry for `node` inserted (in a larger cell when the old one
  // is full) and points the index root at it; returns the cell the parent's subkey list
  // field names from now on.
  Result<uint32_t> insert_subkey_entry(const SubkeySlot& slot, uint32_t node, std::u16string_view name);

  // Called with each cell a structure is made of, before it is read; returning false
  // stops the reading (the walk uses this to refuse cells referenced twice).
  using CellVisitor = std::function<bool(uint32_t)>;
  // The key's subkey cells in stored order, through an index root when there is one.
  // False when `visit` stopped it.
  Result<bool> list_subkeys(KeyRef key, std::vector<uint32_t>& out, const CellVisitor& visit) const;
  // Checks where the value's data lives and copies it into *out when out is not null.
  Result<bool> read_data(ValueRef value, const CellVisitor& visit, std::vector<uint8_t>* out) const;

  // Why `offset` is no allocated cell, or holds no record of `signature`: every cell
  // access inlines the checks and leaves making the error here.
  Error cell_fault(uint32_t offset) const;
  Error record_fault(uint32_t offset, const char* signature) const;

  // --- allocation (alloc.cc) ---
  bool is_cell_start(uint32_t offset) const {
    const size_t bit = offset / kCellAlignment;
    return bit / 64 < cell_starts_.size() && (cell_starts_[bit / 64] >> (bit % 64) & 1);
  }
  void set_cell_start(uint32_t offset, bool on);
  // The nearest cell start below `offset` and not below `lowest`.
  std::optional<uint32_t> previous_cell_start(uint32_t offset, uint32_t lowest) const;
  // A new allocated cell with room for `payload` bytes: `contents` first (no more than
  // `payload` bytes), then zeros.
  Result<uint32_t> allocate(uint32_t payload, std::span<const uint8_t> contents = {});
  // Marks the cell free and merges it with free neighbours in its hive bin.
  void release(uint32_t offset);
  // Appends a hive bin whose free space holds at least `min_cell_size` bytes.
  void append_bin(uint32_t min_cell_size);
  // (start, end) of the hive bin holding `offset`.
  std::pair<uint32_t, uint32_t> bin_of(uint32_t offset) const;
  // Records the hive bin just added to bins_, and the damaged pages before it.
  void add_bin_pages();
  Result<uint32_t> store_data(std::span<const uint8_t> data, uint32_t* size_field);
  void release_data(uint32_t size_field, uint32_t data_offset);
  // Frees a value record and its data.
  void release_value(uint32_t value_cell);
  void release_key(uint32_t key);  // delete.cc

  std::string name_;
  std::vector<uint8_t> bytes_;
  uint32_t minor_ = 0;
  uint32_t root_ = 0;
  bool dirty_ = false;                               // as found on opening
  size_t bins_size_ = 0;                             // hive bins data size as scanned
  std::vector<uint64_t> cell_starts_;                // one bit per 8 bytes of hive bins data
  std::vector<std::pair<uint32_t, uint32_t>> bins_;  // (offset, size) of each hive bin
  // For each 4 KB page of the hive bins data, the index in bins_ of the bin holding it
  // (pages of a damaged bin: the bin before them), so that freeing a cell finds its bin
  // without a search.
  std::vector<uint32_t> bin_of_page_;
  FreeCells free_cells_;
  std::vector<Damage> bin_damage_;
  mutable std::optional<std::vector<Damage>> damage_;
  mutable std::unordered_map<uint32_t, std::unique_ptr<SubkeyIndex>> subkey_indexes_;
  mutable ValueNameIndex value_names_;
  uint64_t value_lists_changed_ = 0;  // advanced by every change of a value list or record
};

// The whole file at `path`, read at once. `room`: the image may grow in place to twice
// its size (a hive mounted for editing).
Result<std::vector<uint8_t>> read_file_image(const std::string& path, bool room = false);

// The current time as a FILETIME (100 ns steps since 1601-01-01 UTC).
uint64_t filetime_now();

// Hash of a name in a hash leaf ("lh"): for each upper-cased UTF-16 code unit,
// hash = hash * 37 + unit.
uint32_t name_hash(std::u16string_view name);

}  // namespace regf
