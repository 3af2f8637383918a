#include "regf/build.h"

#include <algorithm>
#include <cstring>

#include "base/unicode.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/node.h"
#include "regf/value.h"

namespace regf {

namespace {

constexpr uint32_t kBuiltMinorVersion = 5;
// Subkey lists longer than this are split into leaves under an index root.
constexpr size_t kMaxLeafEntries = 1012;

// A self-relative security descriptor: owner Administrators, group SYSTEM, and a DACL
// giving SYSTEM and Administrators full control (KEY_ALL_ACCESS), inherited by subkeys.
std::vector<uint8_t> default_security_descriptor() {
  const uint8_t system_sid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  const uint8_t admins_sid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  std::vector<uint8_t> acl = {2, 0, 0, 0, 2, 0, 0, 0};  // revision 2, size later, 2 ACEs
  auto add_ace = [&](const uint8_t* sid, size_t sid_size) {
    size_t at = acl.size();
    acl.resize(at + 8);
    acl[at] = 0;      // ACCESS_ALLOWED_ACE_TYPE
    acl[at + 1] = 2;  // CONTAINER_INHERIT_ACE
    store_u16(&acl[at + 2], uint16_t(8 + sid_size));
    store_u32(&acl[at + 4], 0xF003F);
    acl.insert(acl.end(), sid, sid + sid_size);
  };
  add_ace(system_sid, sizeof system_sid);
  add_ace(admins_sid, sizeof admins_sid);
  store_u16(&acl[2], uint16_t(acl.size()));

  std::vector<uint8_t> sd(20);
  sd[0] = 1;
  store_u16(&sd[2], 0x8004);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
  store_u32(&sd[16], 20);     // DACL
  sd.insert(sd.end(), acl.begin(), acl.end());
  store_u32(&sd[4], uint32_t(sd.size()));  // owner
  sd.insert(sd.end(), admins_sid, admins_sid + sizeof admins_sid);
  store_u32(&sd[8], uint32_t(sd.size()));  // group
  sd.insert(sd.end(), system_sid, system_sid + sizeof system_sid);
  return sd;
}

}  // namespace

class HiveBuilder {
 public:
  Result<std::vector<uint8_t>> build(const TreeKey& root) {
    hive_.name_ = "new hive";
    hive_.minor_ = kBuiltMinorVersion;
    hive_.bytes_.assign(kBaseBlockSize, 0);

    auto sd = default_security_descriptor();
    auto security = hive_.allocate(uint32_t(sk::kDescriptor + sd.size()));
    if (!security) return security.error();
    security_ = *security;

    auto root_cell = key(root, kNoCell, 0);
    if (!root_cell) return root_cell.error();

    auto s = hive_.cell_mut(security_);  // allocated above with room for the descriptor
    s[0] = 's';
    s[1] = 'k';
    store_u32(&s[sk::kFlink], security_);  // the only entry: the list links to itself
    store_u32(&s[sk::kBlink], security_);
    store_u32(&s[sk::kReferenceCount], keys_);
    store_u32(&s[sk::kDescriptorSize], uint32_t(sd.size()));
    std::memcpy(&s[sk::kDescriptor], sd.data(), sd.size());

    uint8_t* b = hive_.bytes_.data();
    std::memcpy(b, "regf", 4);
    store_u32(b + base_block::kMajorVersion, kMajorVersion);
    store_u32(b + base_block::kMinorVersion, kBuiltMinorVersion);
    store_u32(b + base_block::kFileType, kFileTypePrimary);
    store_u32(b + base_block::kFileFormat, 1);
    store_u32(b + base_block::kRootCellOffset, *root_cell);
    store_u32(b + base_block::kClusteringFactor, 1);
    return hive_.image();
  }

 private:
  Result<uint32_t> key(const TreeKey& k, uint32_t parent, unsigned depth) {
    if (depth > kMaxKeyDepth) return make_error("keys nested deeper than 512 levels");
    if (k.name.size() > 255 || (depth > 0 && k.name.empty()))
      return make_error("key name empty or longer than 255 characters: " + base::to_utf8(k.name));
    ++keys_;
    bool compressed = false;
    std::string stored_name = encode_name(k.name, &compressed);
    auto node = hive_.allocate(uint32_t(nk::kName + stored_name.size()));
    if (!node) return node;

    uint32_t class_cell = kNoCell, class_length = 0;
    if (k.class_name && !k.class_name->empty()) {
      class_length = uint32_t(k.class_name->size() * 2);
      if (class_length > 0xFFFF) return make_error("class name too long: " + base::to_utf8(k.name));
      auto c = hive_.allocate(class_length);
      if (!c) return c;
      class_cell = *c;
      auto p = hive_.cell_mut(class_cell);  // allocated just above
      for (size_t i = 0; i < k.class_name->size(); ++i) store_u16(&p[2 * i], (*k.class_name)[i]);
    }

    auto values = value_list(k);
    if (!values) return values.error();

    // Subkeys are stored in Windows' order: by upper-cased name.
    std::vector<const TreeKey*> children;
    for (const auto& c : k.subkeys) children.push_back(&c);
    std::stable_sort(children.begin(), children.end(),
                     [](const TreeKey* a, const TreeKey* b) { return base::compare_nocase(a->name, b->name) < 0; });
    uint32_t max_child_name = 0, max_child_class = 0;
    std::vector<std::pair<uint32_t, uint32_t>> entries;  // (nk cell, hash)
    for (size_t i = 0; i < children.size(); ++i) {
      if (i > 0 && base::equal_nocase(children[i - 1]->name, children[i]->name))
        return make_error("two subkeys named " + base::to_utf8(children[i]->name));
      auto child = key(*children[i], *node, depth + 1);
      if (!child) return child;
      entries.emplace_back(*child, name_hash(children[i]->name));
      max_child_name = std::max(max_child_name, uint32_t(children[i]->name.size() * 2));
      if (children[i]->class_name)
        max_child_class = std::max(max_child_class, uint32_t(children[i]->class_name->size() * 2));
    }
    auto list = subkey_list(entries);
    if (!list) return list;

    auto n = hive_.cell_mut(*node);  // allocated above with room for the name
    n[0] = 'n';
    n[1] = 'k';
    uint16_t flags = compressed ? nk::kFlagCompressedName : 0;
    if (depth == 0) flags |= nk::kFlagHiveEntry | nk::kFlagNoDelete;
    store_u16(&n[nk::kFlags], flags);
    store_u64(&n[nk::kLastWritten], k.last_written ? k.last_written : filetime_now());
    store_u32(&n[nk::kParent], parent);
    store_u32(&n[nk::kSubkeyCount], uint32_t(entries.size()));
    store_u32(&n[nk::kSubkeyList], *list);
    store_u32(&n[nk::kVolatileSubkeyList], kNoCell);
    store_u32(&n[nk::kValueCount], uint32_t(k.values.size()));
    store_u32(&n[nk::kValueList], *values);
    store_u32(&n[nk::kSecurity], security_);
    store_u32(&n[nk::kClassName], class_cell);
    store_u32(&n[nk::kMaxSubkeyNameLength], max_child_name);
    store_u32(&n[nk::kMaxSubkeyClassLength], max_child_class);
    uint32_t max_value_name = 0, max_value_data = 0;
    for (const auto& v : k.values) {
      max_value_name = std::max(max_value_name, uint32_t(v.name.size() * 2));
      max_value_data = std::max(max_value_data, uint32_t(v.data.size()));
    }
    store_u32(&n[nk::kMaxValueNameLength], max_value_name);
    store_u32(&n[nk::kMaxValueDataSize], max_value_data);
    store_u16(&n[nk::kNameLength], uint16_t(stored_name.size()));
    store_u16(&n[nk::kClassNameLength], uint16_t(class_length));
    std::memcpy(&n[nk::kName], stored_name.data(), stored_name.size());
    return node;
  }

  Result<uint32_t> value_list(const TreeKey& k) {
    if (k.values.empty()) return kNoCell;
    for (size_t i = 0; i < k.values.size(); ++i)
      for (size_t j = 0; j < i; ++j)
        if (base::equal_nocase(k.values[i].name, k.values[j].name))
          return make_error("two values named \"" + base::to_utf8(k.values[i].name) + "\" in " + base::to_utf8(k.name));
    std::vector<uint32_t> cells;
    for (const auto& v : k.values) {
      if (v.name.size() > 16383) return make_error("value name too long in " + base::to_utf8(k.name));
      bool compressed = false;
      std::string stored_name = encode_name(v.name, &compressed);
      uint32_t size_field = 0;
      auto data = hive_.store_data(v.data, &size_field);
      if (!data) return data;
      auto cell = hive_.allocate(uint32_t(vk::kName + stored_name.size()));
      if (!cell) return cell;
      auto p = hive_.cell_mut(*cell);  // allocated just above
      p[0] = 'v';
      p[1] = 'k';
      store_u16(&p[vk::kNameLength], uint16_t(stored_name.size()));
      store_u32(&p[vk::kDataSize], size_field);
      store_u32(&p[vk::kDataOffset], *data);
      store_u32(&p[vk::kType], v.type);
      store_u16(&p[vk::kFlags], compressed ? vk::kFlagCompressedName : 0);
      std::memcpy(&p[vk::kName], stored_name.data(), stored_name.size());
      cells.push_back(*cell);
    }
    auto list = hive_.allocate(uint32_t(cells.size() * kCellOffsetSize));
    if (!list) return list;
    auto p = hive_.cell_mut(*list);  // allocated just above
    for (size_t i = 0; i < cells.size(); ++i) store_u32(&p[i * kCellOffsetSize], cells[i]);
    return list;
  }

  Result<uint32_t> leaf(std::span<const std::pair<uint32_t, uint32_t>> entries) {
    auto list = hive_.allocate(uint32_t(subkey_list::kEntries + entries.size() * subkey_list::kPairEntrySize));
    if (!list) return list;
    auto p = hive_.cell_mut(*list);  // allocated just above
    p[0] = 'l';
    p[1] = 'h';
    store_u16(&p[subkey_list::kCount], uint16_t(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
      uint8_t* entry = &p[subkey_list::kEntries + i * subkey_list::kPairEntrySize];
      store_u32(entry, entries[i].first);
      store_u32(entry + subkey_list::kEntryHint, entries[i].second);
    }
    return list;
  }

  Result<uint32_t> subkey_list(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
    if (entries.empty()) return kNoCell;
    std::span<const std::pair<uint32_t, uint32_t>> all(entries);
    if (entries.size() <= kMaxLeafEntries) return leaf(all);
    std::vector<uint32_t> leaves;
    for (size_t from = 0; from < entries.size(); from += kMaxLeafEntries) {
      auto l = leaf(all.subspan(from, std::min(kMaxLeafEntries, entries.size() - from)));
      if (!l) return l;
      leaves.push_back(*l);
    }
    if (leaves.size() > subkey_list::kMaxCount) return make_error("too many subkeys in one key");
    auto root = hive_.allocate(uint32_t(subkey_list::kEntries + leaves.size() * subkey_list::kOffsetEntrySize));
    if (!root) return root;
    auto p = hive_.cell_mut(*root);  // allocated just above
    p[0] = 'r';
    p[1] = 'i';
    store_u16(&p[subkey_list::kCount], uint16_t(leaves.size()));
    for (size_t i = 0; i < leaves.size(); ++i)
      store_u32(&p[subkey_list::kEntries + i * subkey_list::kOffsetEntrySize], leaves[i]);
    return root;
  }

  Hive hive_;
  uint32_t security_ = 0;
  uint32_t keys_ = 0;
};

Result<std::vector<uint8_t>> build_hive(const TreeKey& root) {
  HiveBuilder builder;
  return builder.build(root);
}

}  // namespace regf
