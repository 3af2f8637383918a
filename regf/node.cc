#include "regf/node.h"

#include <algorithm>

#include "regf/format.h"
#include "regf/hive.h"
#include "regf/unicode.h"

namespace regf {

namespace {

// The smallest key node cell: the size field and the fixed fields (an empty name).
constexpr uint32_t kMinNodeCell = 80;
// Windows limits key names to 255 characters.
constexpr size_t kMaxKeyNameLength = 255;

bool is_leaf_signature(std::span<const uint8_t> p) {
  return p.size() >= 4 && p[0] == 'l' && (p[1] == 'i' || p[1] == 'f' || p[1] == 'h');
}

size_t leaf_stride(std::span<const uint8_t> p) { return p[1] == 'i' ? 4 : 8; }

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
  for (char16_t c : name) hash = hash * 37 + upcase(c);
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

Result<int> Hive::compare_node_name(std::u16string_view name, uint32_t cell) const {
  auto stored = node_stored_name(cell);
  if (!stored) return stored.error();
  // Compared in place, as compare_nocase would compare the decoded name: a lookup
  // touches several names per level and decoding each one would allocate.
  const size_t length = stored->length();
  const size_t n = std::min(name.size(), length);
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = upcase(name[i]), y = upcase((*stored)[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (name.size() == length) return 0;
  return name.size() < length ? -1 : 1;
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
    size_t n = load_u16(&leaf[2]), stride = leaf_stride(leaf);
    if (4 + n * stride > leaf.size()) return fault("subkey list count larger than its cell", leaf_cell);
    if (out.size() - first + n > count)
      return fault("subkey list holds more entries than the key's count", leaf_cell);
    for (size_t i = 0; i < n; ++i) out.push_back(load_u32(&leaf[4 + i * stride]));
    return Ok{};
  };
  if (top->size() >= 4 && (*top)[0] == 'r' && (*top)[1] == 'i') {
    size_t n = load_u16(&(*top)[2]);
    if (4 + n * 4 > top->size()) return fault("index root count larger than its cell", list);
    for (size_t i = 0; i < n; ++i) {
      uint32_t leaf_cell = load_u32(&(*top)[4 + i * 4]);
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
      if (!names.empty() && compare_nocase(names.back(), *name) > 0) in_order = false;
      names.push_back(std::move(*name));
    }
    if (!in_order) {
      index.sorted.resize(index.cells.size());
      for (uint32_t i = 0; i < index.sorted.size(); ++i) index.sorted[i] = i;
      std::stable_sort(index.sorted.begin(), index.sorted.end(),
                       [&](uint32_t a, uint32_t b) { return compare_nocase(names[a], names[b]) < 0; });
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
    size_t n = load_u16(&(*top)[2]), stride = leaf_stride(*top);
    if (n != count) return fault("subkey list count differs from the key's count", list);
    if (4 + n * stride > top->size()) return fault("subkey list count larger than its cell", list);
    return KeyRef{load_u32(&(*top)[4 + index * stride])};
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
    if (order < 0) hi = mid;
    else lo = mid + 1;
  }
  return std::optional<KeyRef>();
}

Result<KeyRef> Hive::add_subkey(KeyRef parent, std::u16string_view name) {
  if (auto st = ensure_writable(); !st) return st.error();
  if (name.empty() || name.size() > kMaxKeyNameLength || name.find(u'\\') != name.npos)
    return fault("key name empty, longer than 255 characters or holding a backslash", parent.cell);
  auto existing = find_subkey(parent, name);
  if (!existing) return existing.error();
  if (*existing) return fault("key exists already", (*existing)->cell);
  auto index = subkey_index(parent, true);
  if (!index) return index.error();

  // Where the new key goes in sorted order, and which leaf and slot that is.
  std::vector<std::u16string> names;
  for (uint32_t c : (*index)->cells) {
    auto n = node_name(c);
    if (!n) return n.error();
    names.push_back(std::move(*n));
  }
  size_t position = std::lower_bound(names.begin(), names.end(), name,
                                     [](const std::u16string& a, std::u16string_view b) {
                                       return compare_nocase(a, b) < 0;
                                     }) - names.begin();

  bool compressed = false;
  std::string stored = encode_name(name, &compressed);
  auto node = allocate(uint32_t(nk::kName + stored.size()));
  if (!node) return node.error();
  std::span<const uint8_t> pp = *cell(parent.cell);
  uint32_t security = load_u32(&pp[nk::kSecurity]);
  {
    auto n = cell_mut(*node);
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
  }
  if (auto sk = record(security, "sk", 16); sk) {
    auto s = cell_mut(security);
    store_u32(&s[12], load_u32(&s[12]) + 1);
  }

  // The leaf to insert into: the parent's own leaf, or under an index root the leaf that
  // holds the entry before the new one (the first leaf when the new name sorts first).
  uint32_t count = uint32_t(names.size());
  uint32_t list = load_u32(&(*cell(parent.cell))[nk::kSubkeyList]);
  uint32_t root_list = kNoCell, leaf = kNoCell, root_slot = 0;
  size_t slot = 0;
  if (count > 0) {
    auto top = *cell(list);
    if (top[0] == 'r') {
      root_list = list;
      size_t seen = 0, n = load_u16(&top[2]);
      for (size_t i = 0; i < n; ++i) {
        uint32_t leaf_cell = load_u32(&top[4 + i * 4]);
        size_t in_leaf = load_u16(&(*cell(leaf_cell))[2]);
        if (position <= seen + in_leaf || i + 1 == n) {
          leaf = leaf_cell, root_slot = uint32_t(i), slot = position - seen;
          break;
        }
        seen += in_leaf;
      }
    } else {
      leaf = list, slot = position;
    }
  }

  char kind = minor_ >= 5 ? 'h' : 'f';
  size_t old_n = 0;
  std::vector<uint8_t> entries;  // the leaf's entries after insertion
  if (leaf != kNoCell) {
    auto l = *cell(leaf);
    kind = char(l[1]);
    old_n = load_u16(&l[2]);
    entries.assign(l.begin() + 4, l.begin() + 4 + old_n * leaf_stride(l));
  }
  size_t stride = kind == 'i' ? 4 : 8;
  if (old_n + 1 > 0xFFFF) return fault("subkey list full", leaf);
  std::vector<uint8_t> entry(stride);
  store_u32(entry.data(), *node);
  if (kind == 'h') {
    store_u32(entry.data() + 4, name_hash(name));
  } else if (kind == 'f') {
    // A fast leaf keeps the first four characters of the name as a hint.
    for (size_t i = 0; i < 4 && i < name.size(); ++i) entry[4 + i] = uint8_t(name[i]);
  }
  entries.insert(entries.begin() + slot * stride, entry.begin(), entry.end());

  uint32_t new_leaf;
  uint32_t leaf_payload = uint32_t(4 + entries.size());
  if (leaf != kNoCell && cell(leaf)->size() >= leaf_payload) {
    new_leaf = leaf;
  } else {
    auto fresh = allocate(leaf_payload);
    if (!fresh) return fresh.error();
    new_leaf = *fresh;
    if (leaf != kNoCell) release(leaf);
  }
  {
    auto l = cell_mut(new_leaf);
    l[0] = 'l';
    l[1] = uint8_t(kind);
    store_u16(&l[2], uint16_t(old_n + 1));
    std::memcpy(&l[4], entries.data(), entries.size());
  }
  if (root_list != kNoCell) {
    store_u32(&cell_mut(root_list)[4 + root_slot * 4], new_leaf);
    new_leaf = root_list;
  }

  auto pn = cell_mut(parent.cell);
  store_u32(&pn[nk::kSubkeyCount], count + 1);
  store_u32(&pn[nk::kSubkeyList], new_leaf);
  uint32_t max_name = load_u32(&pn[nk::kMaxSubkeyNameLength]);
  if ((max_name & 0xFFFF) < name.size() * 2)
    store_u32(&pn[nk::kMaxSubkeyNameLength], (max_name & 0xFFFF0000u) | uint32_t(name.size() * 2));
  subkey_indexes_.erase(parent.cell);
  return KeyRef{*node};
}

}  // namespace regf
