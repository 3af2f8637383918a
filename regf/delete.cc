// Deleting values and keys in place. Only the deleted records, their data and the lists
// that named them change; freed cells merge with their free neighbours as on any other
// release. Every edit first checks the hive (ensure_writable walks it once), so the
// offsets followed here are known good.
#include <cstring>

#include "regf/format.h"
#include "regf/hive.h"
#include "regf/node.h"
#include "regf/value.h"

namespace regf {

namespace {

// An index leaf ("li") holds bare offsets; fast and hash leaves pair each with a hint.
size_t leaf_stride(std::span<const uint8_t> leaf) {
  return leaf[1] == 'i' ? subkey_list::kOffsetEntrySize : subkey_list::kPairEntrySize;
}

// Takes entry `i` out of `count` entries of `stride` bytes: the later ones move up and
// the slot left free at the end is cleared.
void erase_entry(uint8_t* entries, size_t i, size_t count, size_t stride) {
  std::memmove(entries + i * stride, entries + (i + 1) * stride, (count - i - 1) * stride);
  std::memset(entries + (count - 1) * stride, 0, stride);
}

}  // namespace

void Hive::release_value(uint32_t value_cell) {
  auto record = *cell(value_cell);
  release_data(load_u32(&record[vk::kDataSize]), load_u32(&record[vk::kDataOffset]));
  release(value_cell);
}

Result<bool> Hive::delete_value(KeyRef key, std::u16string_view name) {
  if (auto st = ensure_writable(); !st) return st.error();
  auto found = find_value(key, name);
  if (!found) return found.error();
  if (!*found) return false;
  const uint32_t v = (*found)->cell;
  auto node = *cell(key.cell);
  const uint32_t count = load_u32(&node[nk::kValueCount]);
  const uint32_t list = load_u32(&node[nk::kValueList]);
  auto entries = cell_mut(list);
  uint32_t i = 0;
  while (i < count && load_u32(&entries[i * kCellOffsetSize]) != v) ++i;
  erase_entry(&entries[0], i, count, kCellOffsetSize);
  release_value(v);
  ++value_lists_changed_;
  auto n = cell_mut(key.cell);
  store_u32(&n[nk::kValueCount], count - 1);
  if (count == 1) {
    release(list);
    store_u32(&n[nk::kValueList], kNoCell);
  }
  return true;
}

Result<bool> Hive::delete_subkey(KeyRef parent, std::u16string_view name) {
  if (auto st = ensure_writable(); !st) return st.error();
  auto found = find_subkey(parent, name);
  if (!found) return found.error();
  if (!*found) return false;
  const uint32_t child = (*found)->cell;

  // Out of the parent's list: its own leaf, or a leaf under its index root. A leaf left
  // empty goes, and so does an index root left without leaves.
  auto node = *cell(parent.cell);
  const uint32_t count = load_u32(&node[nk::kSubkeyCount]);
  uint32_t list = load_u32(&node[nk::kSubkeyList]);
  auto remove_from_leaf = [&](uint32_t leaf) {
    auto l = cell_mut(leaf);
    const size_t n = load_u16(&l[subkey_list::kCount]), stride = leaf_stride(l);
    for (size_t i = 0; i < n; ++i) {
      if (load_u32(&l[subkey_list::kEntries + i * stride]) != child) continue;
      erase_entry(&l[subkey_list::kEntries], i, n, stride);
      store_u16(&l[subkey_list::kCount], uint16_t(n - 1));
      return true;
    }
    return false;
  };
  if ((*cell(list))[0] == 'r') {
    auto root_list = cell_mut(list);
    const size_t leaves = load_u16(&root_list[subkey_list::kCount]);
    for (size_t i = 0; i < leaves; ++i) {
      const uint32_t leaf = load_u32(&root_list[subkey_list::kEntries + i * kCellOffsetSize]);
      if (!remove_from_leaf(leaf)) continue;
      if (load_u16(&(*cell(leaf))[subkey_list::kCount]) == 0) {
        release(leaf);
        erase_entry(&root_list[subkey_list::kEntries], i, leaves, kCellOffsetSize);
        store_u16(&root_list[subkey_list::kCount], uint16_t(leaves - 1));
      }
      break;
    }
  } else {
    remove_from_leaf(list);
  }
  if (count == 1) {
    release(list);
    list = kNoCell;
  }
  auto n = cell_mut(parent.cell);
  store_u32(&n[nk::kSubkeyCount], count - 1);
  store_u32(&n[nk::kSubkeyList], list);
  subkey_indexes_.erase(parent.cell);
  release_key(child);
  return true;
}

// Frees a key node that no list names any more, with everything below it.
void Hive::release_key(uint32_t key) {
  ++value_lists_changed_;
  auto children = subkey_index(KeyRef{key}, false);
  const std::vector<uint32_t> subkeys = children ? (*children)->cells : std::vector<uint32_t>{};
  subkey_indexes_.erase(key);
  for (uint32_t sub : subkeys) release_key(sub);

  auto node = *cell(key);
  if (const uint32_t list = load_u32(&node[nk::kSubkeyList]); !subkeys.empty()) {
    auto top = *cell(list);
    if (top[0] == 'r')
      for (size_t i = 0, leaves = load_u16(&top[subkey_list::kCount]); i < leaves; ++i)
        release(load_u32(&top[subkey_list::kEntries + i * kCellOffsetSize]));
    release(list);
  }
  if (const uint32_t count = load_u32(&node[nk::kValueCount]); count > 0) {
    const uint32_t list = load_u32(&node[nk::kValueList]);
    for (uint32_t i = 0; i < count; ++i) release_value(load_u32(&(*cell(list))[i * kCellOffsetSize]));
    release(list);
  }
  if (const uint32_t class_cell = load_u32(&node[nk::kClassName]); class_cell != kNoCell && cell(class_cell))
    release(class_cell);
  if (const uint32_t security = load_u32(&node[nk::kSecurity]); record(security, "sk", sk::kMinSize)) {
    auto s = cell_mut(security);
    const uint32_t references = load_u32(&s[sk::kReferenceCount]);
    if (references > 1) {
      store_u32(&s[sk::kReferenceCount], references - 1);
    } else {
      const uint32_t forward = load_u32(&s[sk::kFlink]), backward = load_u32(&s[sk::kBlink]);
      if (forward != security && record(forward, "sk", sk::kMinSize) && record(backward, "sk", sk::kMinSize)) {
        store_u32(&cell_mut(backward)[sk::kFlink], forward);
        store_u32(&cell_mut(forward)[sk::kBlink], backward);
        release(security);
      }
    }
  }
  release(key);
}

}  // namespace regf
