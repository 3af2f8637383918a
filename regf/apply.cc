#include "regf/apply.h"

#include <algorithm>
#include <vector>

#include "base/unicode.h"

namespace regf {

namespace {

// The key at `names` below `key`: created along the way when `create`, nullopt when a
// key is missing and not to be created.
Result<std::optional<KeyRef>> walk_to(Hive& hive, KeyRef key, std::span<const std::u16string> names, bool create) {
  for (const std::u16string& name : names) {
    auto sub = hive.find_subkey(key, name);
    if (!sub) return sub.error();
    if (*sub) {
      key = **sub;
    } else if (!create) {
      return std::optional<KeyRef>();
    } else {
      auto added = hive.add_subkey(key, name);
      if (!added) return added.error();
      key = *added;
    }
  }
  return std::optional<KeyRef>(key);
}

// [-ROOT]: every value and subkey of the root key goes.
Status empty_key(Hive& hive, KeyRef key, ApplyCounts& counts) {
  auto keys = hive.subkey_count(key);
  if (!keys) return keys.error();
  auto values = hive.value_count(key);
  if (!values) return values.error();
  std::vector<std::u16string> subkey_names, value_names;
  for (uint32_t i = 0; i < *keys; ++i) {
    auto sub = hive.subkey(key, i);
    auto name = sub ? hive.key_name(*sub) : Result<std::u16string>(sub.error());
    if (!name) return name.error();
    subkey_names.push_back(std::move(*name));
  }
  for (uint32_t i = 0; i < *values; ++i) {
    auto value = hive.value(key, i);
    auto name = value ? hive.value_name(*value) : Result<std::u16string>(value.error());
    if (!name) return name.error();
    value_names.push_back(std::move(*name));
  }
  for (const auto& name : value_names) {
    auto r = hive.delete_value(key, name);
    if (!r) return r.error();
    counts.values_deleted += *r;
  }
  for (const auto& name : subkey_names) {
    auto r = hive.delete_subkey(key, name);
    if (!r) return r.error();
    counts.keys_deleted += *r;
  }
  return Ok{};
}

}  // namespace

Result<ApplyCounts> apply_reg(Hive& hive, const RegDocument& doc, std::span<const std::u16string> root,
                              std::string_view reg_file) {
  ApplyCounts counts;
  for (const RegEntry& entry : doc.entries) {
    const bool below_root = entry.path.size() >= root.size() &&
                            std::equal(root.begin(), root.end(), entry.path.begin(), base::equal_nocase);
    if (!below_root)
      return Error{"line " + std::to_string(entry.line) + ": key " + base::to_utf8(join_key_path(entry.path)) +
                       " lies outside " + base::to_utf8(join_key_path(root)),
                   std::nullopt, std::string(reg_file)};
    const std::span<const std::u16string> names(entry.path.begin() + root.size(), entry.path.end());
    if (entry.delete_key) {
      if (names.empty()) {
        if (auto st = empty_key(hive, hive.root(), counts); !st) return st.error();
        continue;
      }
      auto parent = walk_to(hive, hive.root(), names.first(names.size() - 1), false);
      if (!parent) return parent.error();
      if (!*parent) continue;
      auto r = hive.delete_subkey(**parent, names.back());
      if (!r) return r.error();
      counts.keys_deleted += *r;
      continue;
    }
    auto key = walk_to(hive, hive.root(), names, true);
    if (!key) return key.error();
    for (const TreeValue& v : entry.values) {
      if (auto st = hive.set_value(**key, v.name, v.type, v.data); !st) return st.error();
      ++counts.values_set;
    }
    for (const std::u16string& name : entry.deleted_values) {
      auto r = hive.delete_value(**key, name);
      if (!r) return r.error();
      counts.values_deleted += *r;
    }
  }
  return counts;
}

}  // namespace regf
