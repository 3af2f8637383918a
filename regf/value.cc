#include "regf/value.h"

#include <algorithm>

#include "base/unicode.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/node.h"

namespace regf {

namespace {

// The smallest key value cell: size field, fixed fields, rounded to 8.
constexpr uint32_t kMinValueCell = 24;

struct DataField {
  uint32_t size = 0;
  bool inline_data = false;
  uint32_t offset = 0;
};

DataField data_field(std::span<const uint8_t> vk_payload) {
  uint32_t raw = load_u32(&vk_payload[vk::kDataSize]);
  return {raw & ~vk::kDataInline, (raw & vk::kDataInline) != 0, load_u32(&vk_payload[vk::kDataOffset])};
}

// Whether `size` bytes of data stored in cell `data` of a hive of version 1.`minor` are
// big data (a "db" record naming segments) rather than the bytes themselves.
bool is_big_data(uint32_t minor, uint32_t size, std::span<const uint8_t> data) {
  return minor >= db::kMinMinorVersion && size > kBigDataSegmentSize && data.size() >= db::kSize && data[0] == 'd' &&
         data[1] == 'b';
}

}  // namespace

Result<uint32_t> Hive::value_count(KeyRef key) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  return load_u32(&(*p)[nk::kValueCount]);
}

Result<ValueRef> Hive::value(KeyRef key, uint32_t index) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  uint32_t count = load_u32(&(*p)[nk::kValueCount]);
  if (index >= count) return fault("value index out of range", key.cell);
  uint32_t list = load_u32(&(*p)[nk::kValueList]);
  auto l = cell(list);
  if (!l) return l.error();
  if (uint64_t(count) * kCellOffsetSize > l->size()) return fault("value count larger than its list", list);
  return ValueRef{load_u32(&(*l)[index * kCellOffsetSize])};
}

Result<std::optional<ValueRef>> Hive::value_at(KeyRef key, uint32_t index, uint32_t ahead) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  const uint32_t count = load_u32(&(*p)[nk::kValueCount]);
  if (index >= count) return std::optional<ValueRef>();
  const uint32_t list = load_u32(&(*p)[nk::kValueList]);
  auto l = cell(list);
  if (!l) return l.error();
  if (uint64_t(count) * kCellOffsetSize > l->size()) return fault("value count larger than its list", list);
  if (uint64_t(index) + ahead < count) prefetch(load_u32(&(*l)[(index + ahead) * kCellOffsetSize]));
  return std::optional<ValueRef>(ValueRef{load_u32(&(*l)[index * kCellOffsetSize])});
}

Result<Hive::ValueList> Hive::value_list(KeyRef key, bool ahead) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  return value_list(*p, ahead);
}

Result<Hive::ValueList> Hive::value_list(std::span<const uint8_t> node, bool ahead) const {
  ValueList list{load_u32(&node[nk::kValueList]), {}, load_u32(&node[nk::kValueCount])};
  if (list.count == 0) return list;
  auto l = cell(list.cell);
  if (!l) return l.error();
  if (uint64_t(list.count) * kCellOffsetSize > l->size()) return fault("value count larger than its list", list.cell);
  list.entries = *l;
  if (ahead)
    for (uint32_t i = 0; i < list.count; ++i) prefetch(list[i].cell);
  return list;
}

Result<std::optional<ValueRef>> Hive::find_value(KeyRef key, std::u16string_view name) const {
  // Value lists are not sorted in a hive: Windows searches them in order too.
  auto node = record(key.cell, "nk", nk::kName);
  if (!node) return node.error();
  if (load_u32(&(*node)[nk::kValueCount]) > bins_size_ / kMinValueCell)
    return fault("value count larger than the hive can hold", key.cell);
  // The index, where there is one, reads only the records whose names hash alike.
  auto list = value_list(*node, false);
  if (!list) return list.error();
  if (auto indexed = indexed_value(key, *list, name)) return *indexed;
  for (uint32_t i = 0; i < list->count; ++i) prefetch((*list)[i].cell);
  for (uint32_t i = 0; i < list->count; ++i) {
    const ValueRef v = (*list)[i];
    auto p = record(v.cell, "vk", vk::kName);
    if (!p) return p.error();
    auto stored = value_stored_name(*p, v.cell);
    if (!stored) return stored.error();
    if (stored->compare_nocase(name) == 0) return std::optional<ValueRef>(v);
  }
  return std::optional<ValueRef>();
}

namespace {

constexpr uint32_t kMinIndexedValues = 8;  // below this, a search in order is as quick
constexpr unsigned kSearchesBeforeIndex = 2;

uint32_t stored_name_hash(const StoredName& name) {
  uint32_t hash = 0;
  for (uint32_t i = 0; i < name.length(); ++i) hash = hash * 37 + base::upcase(name[i]);
  return hash;
}

}  // namespace

std::optional<std::optional<ValueRef>> Hive::indexed_value(KeyRef key, const ValueList& list,
                                                           std::u16string_view name) const {
  ValueNameIndex& index = value_names_;
  if (index.key != key.cell || index.list != list.cell || index.count != list.count ||
      index.generation != value_lists_changed_) {
    index.key = key.cell;
    index.list = list.cell;
    index.count = list.count;
    index.generation = value_lists_changed_;
    index.searches = 0;
    index.slots.clear();
  }
  if (index.slots.empty()) {
    if (list.count < kMinIndexedValues || ++index.searches <= kSearchesBeforeIndex) return std::nullopt;
    index.hashes.resize(list.count);
    for (uint32_t i = 0; i < list.count; ++i) {
      auto p = record(list[i].cell, "vk", vk::kName);
      auto stored = p ? value_stored_name(*p, list[i].cell) : Result<StoredName>(p.error());
      // A record that does not read is reported by the search in order, at its place.
      if (!stored) return std::nullopt;
      index.hashes[i] = stored_name_hash(*stored);
    }
    size_t size = 16;
    while (size < 2 * size_t(list.count)) size *= 2;
    index.slots.assign(size, 0);
    for (uint32_t i = 0; i < list.count; ++i) {
      size_t slot = index.hashes[i] & (size - 1);
      while (index.slots[slot] != 0) slot = (slot + 1) & (size - 1);
      index.slots[slot] = i + 1;
    }
  }
  // Entries of one hash were placed in list order along the same probe sequence, so the
  // first whose name matches is the first match in the list.
  const uint32_t hash = name_hash(name);
  const size_t mask = index.slots.size() - 1;
  for (size_t slot = hash & mask; index.slots[slot] != 0; slot = (slot + 1) & mask) {
    const uint32_t i = index.slots[slot] - 1;
    if (index.hashes[i] != hash) continue;
    const StoredName stored = *value_stored_name(*record(list[i].cell, "vk", vk::kName), list[i].cell);  // read whole
    if (stored.compare_nocase(name) == 0) return std::optional<ValueRef>(list[i]);
  }
  return std::optional<ValueRef>();
}

Result<StoredName> Hive::value_stored_name(std::span<const uint8_t> vk_record, uint32_t cell) const {
  uint16_t length = load_u16(&vk_record[vk::kNameLength]);
  if (vk::kName + length > vk_record.size()) return fault("value name longer than its cell", cell);
  bool compressed = load_u16(&vk_record[vk::kFlags]) & vk::kFlagCompressedName;
  if (!compressed && length % 2 != 0) return fault("UTF-16 value name of odd byte length", cell);
  return StoredName{vk_record.subspan(vk::kName, length), compressed};
}

Result<std::u16string> Hive::value_name(ValueRef value) const {
  auto p = record(value.cell, "vk", vk::kName);
  if (!p) return p.error();
  auto name = value_stored_name(*p, value.cell);
  if (!name) return name.error();
  return decode_name(name->bytes, name->compressed);
}

Result<uint32_t> Hive::value_type(ValueRef value) const {
  auto p = record(value.cell, "vk", vk::kName);
  if (!p) return p.error();
  return load_u32(&(*p)[vk::kType]);
}

Result<uint32_t> Hive::value_size(ValueRef value) const {
  auto p = record(value.cell, "vk", vk::kName);
  if (!p) return p.error();
  return data_field(*p).size;
}

Result<std::vector<uint8_t>> Hive::value_data(ValueRef value) const {
  std::vector<uint8_t> data;
  if (auto st = value_data(value, data); !st) return st.error();
  return data;
}

Status Hive::value_data(ValueRef value, std::vector<uint8_t>& data) const {
  data.clear();  // empty data is not copied
  auto read = read_data(
      value, [](uint32_t) { return true; }, &data);
  if (!read) return read.error();
  return Ok{};
}

Result<Hive::ValueInfo> Hive::read_value(ValueRef value, std::span<char16_t> name, std::span<uint8_t> data) const {
  auto p = record(value.cell, "vk", vk::kName);
  if (!p) return p.error();
  auto stored = value_stored_name(*p, value.cell);
  if (!stored) return stored.error();
  const DataField f = data_field(*p);
  const ValueInfo info{load_u32(&(*p)[vk::kType]), stored->length(), f.size};
  stored->copy_to(name);
  if (f.size > data.size() || stored->length() > name.size()) return info;
  if (f.inline_data) {
    if (f.size > vk::kInlineDataMax) return fault("inline value data longer than 4 bytes", value.cell);
    std::copy_n(p->begin() + vk::kDataOffset, f.size, data.begin());
    return info;
  }
  if (f.size == 0) return info;
  auto c = cell(f.offset);
  if (!c) return c.error();
  if (is_big_data(minor_, f.size, *c)) {
    // Segmented data is rare; the general reader gathers it.
    auto all = value_data(value);
    if (!all) return all.error();
    std::copy(all->begin(), all->end(), data.begin());
    return info;
  }
  if (f.size > c->size()) return fault("value data size beyond its cell", f.offset);
  std::copy_n(c->begin(), f.size, data.begin());
  return info;
}

Result<bool> Hive::read_data(ValueRef value, const CellVisitor& visit, std::vector<uint8_t>* out) const {
  auto p = record(value.cell, "vk", vk::kName);
  if (!p) return p.error();
  DataField f = data_field(*p);
  if (f.inline_data) {
    if (f.size > vk::kInlineDataMax) return fault("inline value data longer than 4 bytes", value.cell);
    if (out) out->assign(p->begin() + vk::kDataOffset, p->begin() + vk::kDataOffset + f.size);
    return true;
  }
  if (f.size == 0) return true;
  auto c = cell(f.offset);
  if (!c) return c.error();
  if (!visit(f.offset)) return false;
  if (!is_big_data(minor_, f.size, *c)) {
    if (f.size > c->size()) return fault("value data size beyond its cell", f.offset);
    if (out) out->assign(c->begin(), c->begin() + f.size);
    return true;
  }
  uint32_t segments = load_u16(&(*c)[db::kSegmentCount]);
  uint32_t list_offset = load_u32(&(*c)[db::kSegmentList]);
  if (uint64_t(segments) * kBigDataSegmentSize < f.size)
    return fault("big data has too few segments for its size", f.offset);
  auto list = cell(list_offset);
  if (!list) return list.error();
  if (!visit(list_offset)) return false;
  if (uint64_t(segments) * kCellOffsetSize > list->size())
    return fault("big data segment count larger than its list", list_offset);
  if (out) {
    out->clear();
    out->reserve(f.size);
  }
  size_t done = 0;
  for (uint32_t i = 0; i < segments && done < f.size; ++i) {
    uint32_t seg_offset = load_u32(&(*list)[i * kCellOffsetSize]);
    auto seg = cell(seg_offset);
    if (!seg) return seg.error();
    if (!visit(seg_offset)) return false;
    size_t want = std::min<size_t>(kBigDataSegmentSize, f.size - done);
    if (seg->size() < want) return fault("big data segment smaller than its share of the data", seg_offset);
    if (out) out->insert(out->end(), seg->begin(), seg->begin() + want);
    done += want;
  }
  return true;
}

// Puts `data` where a value can point to: inline (returned as the offset field), one
// cell, or big data segments. Sets *size_field to the vk data size field to store.
Result<uint32_t> Hive::store_data(std::span<const uint8_t> data, uint32_t* size_field) {
  uint32_t size = uint32_t(data.size());
  if (size <= vk::kInlineDataMax) {
    uint8_t inline_bytes[vk::kInlineDataMax] = {};
    std::copy(data.begin(), data.end(), inline_bytes);
    *size_field = size | vk::kDataInline;
    return load_u32(inline_bytes);
  }
  *size_field = size;
  if (minor_ < db::kMinMinorVersion || size <= kBigDataSegmentSize) { return allocate(size, data); }
  uint32_t segments = (size + kBigDataSegmentSize - 1) / kBigDataSegmentSize;
  if (segments > 0xFFFF) return Error{"value data too large for a hive", std::nullopt, name_};
  auto list = allocate(segments * uint32_t(kCellOffsetSize));
  if (!list) return list;
  for (uint32_t i = 0; i < segments; ++i) {
    size_t from = size_t(i) * kBigDataSegmentSize;
    size_t n = std::min<size_t>(kBigDataSegmentSize, size - from);
    // Four spare bytes per segment: a full segment fills its 16,352-byte cell as Windows
    // writes it, and readers that take a segment's length as its cell size less 8 (hivex)
    // read the last one whole.
    auto seg = allocate(uint32_t(n + 4), data.subspan(from, n));
    if (!seg) return seg;
    store_u32(&cell_mut(*list)[i * kCellOffsetSize], *seg);  // allocated above with room for every entry
  }
  auto head = allocate(db::kSize);
  if (!head) return head;
  auto h = cell_mut(*head);  // allocated just above
  h[0] = 'd';
  h[1] = 'b';
  store_u16(&h[db::kSegmentCount], uint16_t(segments));
  store_u32(&h[db::kSegmentList], *list);
  return head;
}

// Frees the cells holding a value's data (nothing for inline data). The hive has been
// walked without damage before any edit, so every offset here is known good.
void Hive::release_data(uint32_t size_field, uint32_t data_offset) {
  uint32_t size = size_field & ~vk::kDataInline;
  if ((size_field & vk::kDataInline) || size == 0) return;
  auto c = *cell(data_offset);
  if (is_big_data(minor_, size, c)) {
    // A list may name more segments than the data fills; the walk checked only those the
    // data fills, so only those are ours to free.
    uint32_t segments =
        std::min<uint32_t>(load_u16(&c[db::kSegmentCount]), (size + kBigDataSegmentSize - 1) / kBigDataSegmentSize);
    uint32_t list = load_u32(&c[db::kSegmentList]);
    auto l = *cell(list);
    for (uint32_t i = 0; i < segments; ++i) release(load_u32(&l[i * kCellOffsetSize]));
    release(list);
  }
  release(data_offset);
}

Status Hive::set_value(KeyRef key, std::u16string_view name, uint32_t type, std::span<const uint8_t> data) {
  if (auto st = ensure_writable(); !st) return st.error();
  auto existing = find_value(key, name);
  if (!existing) return existing.error();
  return set_value(key, *existing, name, type, data);
}

Status Hive::set_value(KeyRef key, std::optional<ValueRef> existing, std::u16string_view name, uint32_t type,
                       std::span<const uint8_t> data) {
  if (auto st = ensure_writable(); !st) return st.error();
  if (data.size() > 0x7FFFFFFFu) return Error{"value data too large for a hive", std::nullopt, name_};
  auto node = record(key.cell, "nk", nk::kName);
  if (!node) return node.error();

  if (existing) {
    uint32_t v = existing->cell;
    // find_value read the record, and the walk ensure_writable ran its data.
    const auto record = *cell(v);
    DataField old = data_field(record);
    uint32_t old_raw = load_u32(&record[vk::kDataSize]);
    // New data that fits the old data cell goes there: the file keeps its layout.
    bool plain_old =
        !old.inline_data && old.size > 0 && !(minor_ >= db::kMinMinorVersion && old.size > kBigDataSegmentSize);
    bool plain_new =
        data.size() > vk::kInlineDataMax && (minor_ < db::kMinMinorVersion || data.size() <= kBigDataSegmentSize);
    uint32_t size_field, offset_field;
    if (plain_old && plain_new && cell(old.offset)->size() >= data.size()) {
      auto c = cell_mut(old.offset);  // read just above
      std::fill(std::copy(data.begin(), data.end(), c.begin()), c.end(), 0);
      size_field = uint32_t(data.size());
      offset_field = old.offset;
    } else {
      release_data(old_raw, old.offset);
      auto stored = store_data(data, &size_field);
      if (!stored) return stored.error();
      offset_field = *stored;
    }
    auto p = cell_mut(v);  // read above
    store_u32(&p[vk::kDataSize], size_field);
    store_u32(&p[vk::kDataOffset], offset_field);
    store_u32(&p[vk::kType], type);
  } else {
    if (name.size() > 16383) return fault("value name longer than 16,383 characters", key.cell);
    uint32_t count = load_u32(&(*node)[nk::kValueCount]);
    uint32_t list = load_u32(&(*node)[nk::kValueList]);
    bool compressed = false;
    std::string stored_name = encode_name(name, &compressed);
    uint32_t size_field;
    auto stored = store_data(data, &size_field);
    if (!stored) return stored.error();
    auto v = allocate(uint32_t(vk::kName + stored_name.size()));
    if (!v) return v.error();
    {
      auto p = cell_mut(*v);  // allocated just above
      p[0] = 'v';
      p[1] = 'k';
      store_u16(&p[vk::kNameLength], uint16_t(stored_name.size()));
      store_u32(&p[vk::kDataSize], size_field);
      store_u32(&p[vk::kDataOffset], *stored);
      store_u32(&p[vk::kType], type);
      store_u16(&p[vk::kFlags], compressed ? vk::kFlagCompressedName : 0);
      std::memcpy(&p[vk::kName], stored_name.data(), stored_name.size());
    }
    uint32_t new_list = list;
    // The key's value list was read by the walk; the new one is allocated here.
    if (count == 0 || cell(list)->size() < (count + 1) * kCellOffsetSize) {
      auto fresh = allocate((count + 1) * uint32_t(kCellOffsetSize));
      if (!fresh) return fresh.error();
      new_list = *fresh;
      if (count > 0) {
        auto from = *cell(list);
        std::copy(from.begin(), from.begin() + count * kCellOffsetSize, cell_mut(new_list).begin());
        release(list);
      }
    }
    store_u32(&cell_mut(new_list)[count * kCellOffsetSize], *v);
    ++value_lists_changed_;
    auto n = cell_mut(key.cell);  // read by record() above
    store_u32(&n[nk::kValueCount], count + 1);
    store_u32(&n[nk::kValueList], new_list);
    if (load_u32(&n[nk::kMaxValueNameLength]) < name.size() * 2)
      store_u32(&n[nk::kMaxValueNameLength], uint32_t(name.size() * 2));
  }
  auto n = cell_mut(key.cell);  // read by record() above
  if (load_u32(&n[nk::kMaxValueDataSize]) < data.size()) store_u32(&n[nk::kMaxValueDataSize], uint32_t(data.size()));
  return Ok{};
}

}  // namespace regf
