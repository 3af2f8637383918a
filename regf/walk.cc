#include "regf/walk.h"

#include <map>
#include <string>

#include "base/unicode.h"
#include "regf/format.h"
#include "regf/node.h"
#include "regf/value.h"

namespace regf {

class TreeWalker {
 public:
  explicit TreeWalker(const Hive& hive) : hive_(hive), seen_((hive.bins_size() / 8 + 63) / 64) {}

  void walk(KeyRef root, TreeKey* out) {
    key(root, out, 0);
    security_counts();
  }
  std::vector<Damage> damage;

 private:
  // First sight of a cell: true. A cell reached twice means a cycle or a structure
  // shared where the format shares none.
  bool first_sight(uint32_t cell) {
    size_t bit = cell / 8;
    uint64_t mask = uint64_t(1) << (bit % 64);
    if (seen_[bit / 64] & mask) return false;
    seen_[bit / 64] |= mask;
    return true;
  }

  // The names are decoded only for a report: a check of a sound hive decodes none.
  std::string path() const {
    std::string out;
    for (uint32_t cell : path_) {
      if (!out.empty()) out += '\\';
      const auto name = hive_.node_name(cell);
      out += name ? base::to_utf8(*name) : "?";
    }
    return out;
  }

  void report(uint64_t offset, std::string reason) { damage.push_back({path(), offset, std::move(reason)}); }
  void report(const Error& e) { damage.push_back({path(), e.offset.value_or(0), e.message}); }

  // Returns false when the key itself is unreadable (it is then left out).
  bool key(KeyRef k, TreeKey* out, unsigned depth) {
    if (depth > kMaxKeyDepth) {
      report(Hive::file_offset(k.cell), "key nested deeper than 512 levels; skipped");
      return false;
    }
    // Read only to be checked when the tree is not kept.
    Result<std::u16string> name = std::u16string();
    if (out)
      name = hive_.key_name(k);
    else if (auto stored = hive_.node_stored_name(k.cell); !stored)
      name = stored.error();
    if (!name) return report(name.error()), false;
    if (!first_sight(k.cell)) {
      report(Hive::file_offset(k.cell), "key reached twice (cyclic or shared subkey list); skipped");
      return false;
    }
    auto class_name = hive_.class_name(k);
    if (!class_name) report(class_name.error());
    if (depth > 0) path_.push_back(k.cell);
    security(k);
    if (out) {
      out->name = std::move(*name);
      if (class_name) out->class_name = *class_name;
      out->last_written = *hive_.last_written(k);
    }
    values(k, out);
    subkeys(k, out, depth);
    if (depth > 0) path_.pop_back();
    return true;
  }

  // Many keys share one security record ("sk"), so it may be reached any number of times
  // as a security record, but never also as another structure: adding a subkey raises
  // the record's reference count in place, which would write into that structure's
  // bytes. Windows gives every key a security record and frees one when the last key
  // using it goes, so a key naming a free cell or another structure is damage.
  void security(KeyRef k) {
    const uint32_t record = load_u32(&(*hive_.cell(k.cell))[nk::kSecurity]);
    if (auto sk = hive_.record(record, "sk", sk::kMinSize); !sk) {
      const Error& e = sk.error();
      return report(e.offset.value_or(Hive::file_offset(k.cell)), "key's security record: " + e.message);
    }
    auto [users, first] = security_users_.try_emplace(record, 0);
    ++users->second;
    if (first && !first_sight(record))
      report(Hive::file_offset(record), "security record is also another structure's cell");
  }

  // Each security record's reference count against the keys found using it: a count
  // too low frees the record while keys still use it. Counted only over a whole tree:
  // keys skipped as damaged would make any count look wrong.
  void security_counts() {
    if (!damage.empty()) return;
    for (auto [record, users] : security_users_) {
      const uint32_t count = load_u32(&(*hive_.cell(record))[sk::kReferenceCount]);
      if (count != users)
        report(Hive::file_offset(record), "security record's reference count is " + std::to_string(count) + " but " +
                                              std::to_string(users) + " keys use it");
    }
  }

  void values(KeyRef k, TreeKey* out) {
    auto count = hive_.value_count(k);
    if (!count || *count == 0) return;
    auto list = hive_.value_list(k);
    if (!list) return report(list.error());
    // A value list shared by two keys is read once.
    if (!first_sight(list->cell))
      return report(Hive::file_offset(list->cell), "value list reached twice; values skipped");
    auto visit = [this](uint32_t c) { return first_sight(c); };
    for (uint32_t i = 0; i < list->count; ++i) {
      const ValueRef v = (*list)[i];
      Result<std::u16string> name = std::u16string();
      if (out) {
        name = hive_.value_name(v);
      } else if (auto vk = hive_.record(v.cell, "vk", vk::kName); !vk) {
        name = vk.error();
      } else if (auto stored = hive_.value_stored_name(*vk, v.cell); !stored) {
        name = stored.error();
      }
      if (!name) {
        report(name.error());
        continue;
      }
      if (!first_sight(v.cell)) {
        report(Hive::file_offset(v.cell), "value record reached twice; skipped");
        continue;
      }
      TreeValue tv;
      auto read = hive_.read_data(v, visit, out ? &tv.data : nullptr);
      if (!read) {
        report(read.error());
        continue;
      }
      if (!*read) {
        report(Hive::file_offset(v.cell), "value data cell reached twice; value skipped");
        continue;
      }
      if (out) {
        tv.name = std::move(*name);
        tv.type = *hive_.value_type(v);
        out->values.push_back(std::move(tv));
      }
    }
  }

  void subkeys(KeyRef k, TreeKey* out, unsigned depth) {
    std::vector<uint32_t> cells;
    auto listed = hive_.list_subkeys(k, cells, [this](uint32_t c) { return first_sight(c); });
    if (!listed) return report(listed.error());
    if (!*listed) return report(Hive::file_offset(k.cell), "subkey list reached twice; subkeys skipped");
    if (out) out->subkeys.reserve(cells.size());
    for (uint32_t c : cells) {
      if (out) {
        TreeKey child;
        if (key(KeyRef{c}, &child, depth + 1)) out->subkeys.push_back(std::move(child));
      } else {
        key(KeyRef{c}, nullptr, depth + 1);
      }
    }
  }

  const Hive& hive_;
  std::vector<uint64_t> seen_;
  std::map<uint32_t, uint32_t> security_users_;  // record -> keys using it, in file order
  std::vector<uint32_t> path_;                   // the key cells from below the root to the current key
};

WalkReport walk_tree(const Hive& hive) {
  WalkReport report;
  TreeWalker walker(hive);
  walker.walk(hive.root(), &report.root);
  report.damage = std::move(walker.damage);
  return report;
}

namespace {

Error first_damage(const Hive& hive, const std::vector<Damage>& damage) {
  const Damage& d = damage.front();
  return Error{(d.path.empty() ? "" : d.path + ": ") + d.reason, d.offset, hive.name()};
}

}  // namespace

Result<TreeKey> read_tree(const Hive& hive) {
  WalkReport report = walk_tree(hive);
  if (!report.damage.empty()) return first_damage(hive, report.damage);
  return std::move(report.root);
}

std::vector<Damage> check_tree(const Hive& hive) {
  TreeWalker walker(hive);
  walker.walk(hive.root(), nullptr);
  return std::move(walker.damage);
}

Status check_sound(const Hive& hive) {
  const std::vector<Damage> damage = check_tree(hive);
  if (!damage.empty()) return first_damage(hive, damage);
  return Ok{};
}

}  // namespace regf
