#include "regf/node.h"

#include <algorithm>

#include "base/unicode.h"
#include "regf/format.h"
#include "regf/hive.h"

namespace regf {

namespace {

// The smallest key node cell: the size field and the fixed fields (an empty name).
constexpr uint32_t kMinNodeCell = 80;
// Windows limits key names to 255 characters.
constexpr size_t kMaxKeyNameLength = 255;

bool is_leaf_signature(std::span<const uint8_t> p) {
  return p.size() >= subkey_list::kEntries && p[0] == 'l' && (p[1] == 'i' || p[1] == 'f' || p[1] == 'h');
}

bool is_index_root(std::span<const uint8_t> p) {
  return p.size() >= subkey_list::kEntries && p[0] == 'r' && p[1] == 'i';
}

// Index leaves and index roots ("li", "ri") hold bare offsets; the other leaves pairs.
size_t entry_size(std::span<const uint8_t> list) {
  return list[1] == 'i' ? subkey_list::kOffsetEntrySize : subkey_list::kPairEntrySize;
}

size_t list_count(std::span<const uint8_t> list) { return load_u16(&list[subkey_list::kCount]); }

// Whether `n` entries fit in the list's cell.
bool entries_fit(std::span<const uint8_t> list, size_t n) {
  return subkey_list::kEntries + n * entry_size(list) <= list.size();
}

// The cell offset in entry `i` of a list whose count was checked against its cell.
uint32_t entry_cell(std::span<const uint8_t> list, size_t i) {
  return load_u32(&list[subkey_list::kEntries + i * entry_size(list)]);
}

}  // namespace

std::u16string decode_name(std::span<const uint8_t> bytes, bool compressed) {
  std::u16string out;
  if (compressed) {
    out.assign(bytes.begin(), bytes.end());
  } else {
    out.resize(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = char16_t(load_u16(&bytes[2 * i]));
  }
  return out;
}

bool fits_latin1(std::u16string_view name) {
  return std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0xFF; });
}

std::string encode_name(std::u16string_view name, bool* compressed) {
  *compressed = fits_latin1(name);
  std::string out;
  for (char16_t c : name) {
    out.push_back(char(uint8_t(c)));
    if (!*compressed) out.push_back(char(uint8_t(c >> 8)));
  }
  return out;
}

uint32_t name_hash(std::u16string_view name) {
  uint32_t hash = 0;
  for (char16_t c : name) hash = hash * 37 + base::upcase(c);
  return hash;
}

bool StoredName::copy_to(std::span<char16_t> out) const {
  const uint32_t n = length();
  if (n > out.size()) return false;
  for (uint32_t i = 0; i < n; ++i) out[i] = (*this)[i];
  return true;
}

Result<StoredName> Hive::node_stored_name(uint32_t cell) const {
  auto p = record(cell, "nk", nk::kName);
  if (!p) return p.error();
  uint16_t length = load_u16(&(*p)[nk::kNameLength]);
  if (nk::kName + length > p->size()) return fault("key name longer than its cell", cell);
  bool compressed = load_u16(&(*p)[nk::kFlags]) & nk::kFlagCompressedName;
  if (!compressed && length % 2 != 0) return fault("UTF-16 key name of odd byte length", cell);
  return StoredName{p->subspan(nk::kName, length), compressed};
}

Result<std::u16string> Hive::node_name(uint32_t cell) const {
  auto name = node_stored_name(cell);
  if (!name) return name.error();
  return decode_name(name->bytes, name->compressed);
}

int StoredName::compare_nocase(std::u16string_view name) const {
  const size_t n = std::min<size_t>(name.size(), length());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = name[i], y = (*this)[i];
    if (x == y) continue;  // names are mostly asked for as stored
    x = base::upcase(x);
    y = base::upcase(y);
    if (x != y) return x < y ? -1 : 1;
  }
  if (name.size() == length()) return 0;
  return name.size() < length() ? -1 : 1;
}

Result<int> Hive::compare_node_name(std::u16string_view name, uint32_t cell) const {
  auto stored = node_stored_name(cell);
  if (!stored) return stored.error();
  return stored->compare_nocase(name);
}

Result<std::u16string> Hive::key_name(KeyRef key) const { return node_name(key.cell); }

Result<uint32_t> Hive::read_key_name(KeyRef key, std::span<char16_t> name) const {
  auto stored = node_stored_name(key.cell);
  if (!stored) return stored.error();
  stored->copy_to(name);
  return stored->length();
}

Result<std::optional<std::u16string>> Hive::class_name(KeyRef key) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  uint32_t offset = load_u32(&(*p)[nk::kClassName]);
  uint16_t length = load_u16(&(*p)[nk::kClassNameLength]);
  if (offset == kNoCell || length == 0) return std::optional<std::u16string>();
  auto c = cell(offset);
  if (!c) return c.error();
  if (length > c->size()) return fault("class name longer than its cell", offset);
  if (length % 2 != 0) return fault("class name of odd byte length", offset);
  return std::optional<std::u16string>(decode_name(c->first(length), false));
}

Result<uint64_t> Hive::last_written(KeyRef key) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  return load_u64(&(*p)[nk::kLastWritten]);
}

Result<uint32_t> Hive::subkey_count(KeyRef key) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  return load_u32(&(*p)[nk::kSubkeyCount]);
}

// Flattens the key's subkey list (through an index root when there is one) into stored
// order. The work is bounded by the key's subkey count, itself bounded by the number of
// key nodes the hive bins could hold, so a crafted index root that repeats one big leaf
// cannot make it quadratic.
Result<bool> Hive::list_subkeys(KeyRef key, std::vector<uint32_t>& out, const CellVisitor& visit) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  uint32_t count = load_u32(&(*p)[nk::kSubkeyCount]);
  uint32_t list = load_u32(&(*p)[nk::kSubkeyList]);
  if (count == 0) return true;
  if (count > bins_size_ / kMinNodeCell) return fault("subkey count larger than the hive can hold", key.cell);
  auto top = cell(list);
  if (!top) return top.error();
  if (!visit(list)) return false;
  size_t first = out.size();
  auto append_leaf = [&](uint32_t leaf_cell, std::span<const uint8_t> leaf) -> Status {
    if (!is_leaf_signature(leaf)) return fault("expected a subkey list (li, lf or lh)", leaf_cell);
    const size_t n = list_count(leaf);
    if (!entries_fit(leaf, n)) return fault("subkey list count larger than its cell", leaf_cell);
    if (out.size() - first + n > count) return fault("subkey list holds more entries than the key's count", leaf_cell);
    for (size_t i = 0; i < n; ++i) out.push_back(entry_cell(leaf, i));
    return Ok{};
  };
  if (is_index_root(*top)) {
    const size_t n = list_count(*top);
    if (!entries_fit(*top, n)) return fault("index root count larger than its cell", list);
    for (size_t i = 0; i < n; ++i) {
      uint32_t leaf_cell = entry_cell(*top, i);
      auto leaf = cell(leaf_cell);
      if (!leaf) return leaf.error();
      if (!visit(leaf_cell)) return false;
      if (auto st = append_leaf(leaf_cell, *leaf); !st) return st.error();
    }
  } else if (auto st = append_leaf(list, *top); !st) {
    return st.error();
  }
  if (out.size() - first != count) return fault("subkey list holds fewer entries than the key's count", list);
  return true;
}

Result<const Hive::SubkeyIndex*> Hive::subkey_index(KeyRef key, bool sorted) const {
  auto found = subkey_indexes_.find(key.cell);
  if (found == subkey_indexes_.end()) {
    auto index = std::make_unique<SubkeyIndex>();
    auto listed = list_subkeys(key, index->cells, [](uint32_t) { return true; });
    if (!listed) return listed.error();
    found = subkey_indexes_.emplace(key.cell, std::move(index)).first;
  }
  SubkeyIndex& index = *found->second;
  if (sorted && !index.sort_checked) {
    // Windows keeps subkey lists sorted by upper-cased name; a list that is not (a
    // crafted file) gets a sorted order of its own so lookups stay right.
    std::vector<std::u16string> names;
    names.reserve(index.cells.size());
    bool in_order = true;
    for (uint32_t c : index.cells) {
      auto name = node_name(c);
      if (!name) return name.error();
      if (!names.empty() && base::compare_nocase(names.back(), *name) > 0) in_order = false;
      names.push_back(std::move(*name));
    }
    if (!in_order) {
      index.sorted.resize(index.cells.size());
      for (uint32_t i = 0; i < index.sorted.size(); ++i) index.sorted[i] = i;
      std::stable_sort(index.sorted.begin(), index.sorted.end(),
                       [&](uint32_t a, uint32_t b) { return base::compare_nocase(names[a], names[b]) < 0; });
    }
    index.sort_checked = true;
  }
  return &index;
}

Result<KeyRef> Hive::subkey(KeyRef key, uint32_t index) const {
  auto p = record(key.cell, "nk", nk::kName);
  if (!p) return p.error();
  uint32_t count = load_u32(&(*p)[nk::kSubkeyCount]);
  if (index >= count) return fault("subkey index out of range", key.cell);
  uint32_t list = load_u32(&(*p)[nk::kSubkeyList]);
  auto top = cell(list);
  if (!top) return top.error();
  if (is_leaf_signature(*top)) {
    // A leaf is read in place: no preparation needed.
    const size_t n = list_count(*top);
    if (n != count) return fault("subkey list count differs from the key's count", list);
    if (!entries_fit(*top, n)) return fault("subkey list count larger than its cell", list);
    return KeyRef{entry_cell(*top, index)};
  }
  auto flat = subkey_index(key, false);
  if (!flat) return flat.error();
  return KeyRef{(*flat)->cells[index]};
}

Result<std::optional<KeyRef>> Hive::find_subkey(KeyRef key, std::u16string_view name) const {
  auto count = subkey_count(key);
  if (!count) return count.error();
  constexpr uint32_t kLinearLimit = 8;
  if (*count <= kLinearLimit) {
    for (uint32_t i = 0; i < *count; ++i) {
      auto child = subkey(key, i);
      if (!child) return child.error();
      auto order = compare_node_name(name, child->cell);
      if (!order) return order.error();
      if (*order == 0) return std::optional<KeyRef>(*child);
    }
    return std::optional<KeyRef>();
  }
  auto index = subkey_index(key, true);
  if (!index) return index.error();
  const SubkeyIndex& ix = **index;
  size_t lo = 0, hi = ix.cells.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    uint32_t c = ix.cells[ix.sorted.empty() ? mid : ix.sorted[mid]];
    auto compared = compare_node_name(name, c);
    if (!compared) return compared.error();
    const int order = *compared;
    if (order == 0) return std::optional<KeyRef>(KeyRef{c});
    if (order < 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  return std::optional<KeyRef>();
}

// Adding a subkey runs only on a hive that ensure_writable() passed: the walk has read
// the key nodes, subkey lists and security records reachable from the root without a
// fault, so the parent's cells are read here without checking them again. Spans into
// the image are taken afresh after each allocation, which may move it.
Result<KeyRef> Hive::add_subkey(KeyRef parent, std::u16string_view name) {
  if (auto st = ensure_writable(); !st) return st.error();
  if (name.empty() || name.size() > kMaxKeyNameLength || name.find(u'\\') != name.npos)
    return fault("key name empty, longer than 255 characters or holding a backslash", parent.cell);
  auto existing = find_subkey(parent, name);
  if (!existing) return existing.error();
  if (*existing) return fault("key exists already", (*existing)->cell);
  auto index = subkey_index(parent, true);
  if (!index) return index.error();

  // Where the new key goes in sorted order.
  std::vector<std::u16string> names;
  for (uint32_t c : (*index)->cells) {
    auto n = node_name(c);
    if (!n) return n.error();
    names.push_back(std::move(*n));
  }
  const size_t position =
      std::lower_bound(names.begin(), names.end(), name,
                       [](const std::u16string& a, std::u16string_view b) { return base::compare_nocase(a, b) < 0; }) -
      names.begin();
  const SubkeySlot slot = subkey_slot(parent, position);
  if (slot.leaf != kNoCell && slot.leaf_count + 1 > subkey_list::kMaxCount) return fault("subkey list full", slot.leaf);

  auto node = new_key_node(parent, name);
  if (!node) return node.error();
  auto list = insert_subkey_entry(slot, *node, name);
  if (!list) return list.error();

  auto pn = cell_mut(parent.cell);  // checked by the walk
  store_u32(&pn[nk::kSubkeyCount], uint32_t(names.size() + 1));
  store_u32(&pn[nk::kSubkeyList], *list);
  uint32_t max_name = load_u32(&pn[nk::kMaxSubkeyNameLength]);
  if ((max_name & 0xFFFF) < name.size() * 2)
    store_u32(&pn[nk::kMaxSubkeyNameLength], (max_name & 0xFFFF0000u) | uint32_t(name.size() * 2));
  subkey_indexes_.erase(parent.cell);
  return KeyRef{*node};
}

Hive::SubkeySlot Hive::subkey_slot(KeyRef parent, size_t position) const {
  SubkeySlot slot;
  auto node = *cell(parent.cell);  // checked by the walk, as its lists below
  if (load_u32(&node[nk::kSubkeyCount]) == 0) return slot;
  const uint32_t list = load_u32(&node[nk::kSubkeyList]);
  auto top = *cell(list);
  if (!is_index_root(top)) {
    slot.leaf = list;
    slot.leaf_count = list_count(top);
    slot.entry = position;
    return slot;
  }
  // Under an index root: the leaf that holds the entry before the new one (the first
  // leaf when the new name sorts first, the last when it sorts last).
  slot.index_root = list;
  const size_t n = list_count(top);
  size_t seen = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t leaf = entry_cell(top, i);
    const size_t in_leaf = list_count(*cell(leaf));
    if (position <= seen + in_leaf || i + 1 == n) {
      slot.leaf = leaf;
      slot.leaf_count = in_leaf;
      slot.root_entry = i;
      slot.entry = position - seen;
      break;
    }
    seen += in_leaf;
  }
  return slot;
}

Result<uint32_t> Hive::new_key_node(KeyRef parent, std::u16string_view name) {
  bool compressed = false;
  const std::string stored = encode_name(name, &compressed);
  auto node = allocate(uint32_t(nk::kName + stored.size()));
  if (!node) return node;
  const uint32_t security = load_u32(&(*cell(parent.cell))[nk::kSecurity]);  // checked by the walk
  auto n = cell_mut(*node);                                                  // allocated above with room for the name
  std::memcpy(n.data(), "nk", 2);
  store_u16(&n[nk::kFlags], compressed ? nk::kFlagCompressedName : 0);
  store_u64(&n[nk::kLastWritten], filetime_now());
  store_u32(&n[nk::kParent], parent.cell);
  store_u32(&n[nk::kSubkeyList], kNoCell);
  store_u32(&n[nk::kVolatileSubkeyList], kNoCell);
  store_u32(&n[nk::kValueList], kNoCell);
  store_u32(&n[nk::kSecurity], security);
  store_u32(&n[nk::kClassName], kNoCell);
  store_u16(&n[nk::kNameLength], uint16_t(stored.size()));
  std::memcpy(&n[nk::kName], stored.data(), stored.size());
  // A parent whose security offset names no security record passes none on to count.
  if (record(security, "sk", sk::kMinSize)) {
    auto s = cell_mut(security);
    store_u32(&s[sk::kReferenceCount], load_u32(&s[sk::kReferenceCount]) + 1);
  }
  return node;
}

Result<uint32_t> Hive::insert_subkey_entry(const SubkeySlot& slot, uint32_t node, std::u16string_view name) {
  char kind = minor_ >= 5 ? 'h' : 'f';
  std::vector<uint8_t> entries;  // the leaf's entries after insertion
  if (slot.leaf != kNoCell) {
    auto l = *cell(slot.leaf);  // read by subkey_slot
    kind = char(l[1]);
    entries.assign(l.begin() + subkey_list::kEntries,
                   l.begin() + subkey_list::kEntries + slot.leaf_count * entry_size(l));
  }
  const size_t stride = kind == 'i' ? subkey_list::kOffsetEntrySize : subkey_list::kPairEntrySize;
  std::vector<uint8_t> entry(stride);
  store_u32(entry.data(), node);
  if (kind == 'h') {
    store_u32(entry.data() + subkey_list::kEntryHint, name_hash(name));
  } else if (kind == 'f') {
    for (size_t i = 0; i < subkey_list::kHintLength && i < name.size(); ++i)
      entry[subkey_list::kEntryHint + i] = uint8_t(name[i]);
  }
  entries.insert(entries.begin() + slot.entry * stride, entry.begin(), entry.end());

  uint32_t leaf = slot.leaf;
  const uint32_t payload = uint32_t(subkey_list::kEntries + entries.size());
  if (leaf == kNoCell || cell(leaf)->size() < payload) {
    auto fresh = allocate(payload);
    if (!fresh) return fresh.error();
    if (leaf != kNoCell) release(leaf);
    leaf = *fresh;
  }
  auto l = cell_mut(leaf);  // the old leaf with room to spare, or allocated above
  l[0] = 'l';
  l[1] = uint8_t(kind);
  store_u16(&l[subkey_list::kCount], uint16_t(slot.leaf_count + 1));
  std::memcpy(&l[subkey_list::kEntries], entries.data(), entries.size());
  if (slot.index_root == kNoCell) return leaf;
  // The index root was read by subkey_slot; the leaf keeps its place in it.
  store_u32(&cell_mut(slot.index_root)[subkey_list::kEntries + slot.root_entry * subkey_list::kOffsetEntrySize], leaf);
  return slot.index_root;
}

}  // namespace regf
