#include "regf/diff.h"

#include <optional>
#include <unordered_map>

#include "base/unicode.h"
#include "regf/regtext.h"

namespace regf {
namespace {

template <typename T>
std::unordered_map<std::u16string, const T*> index_by_name(const std::vector<T>& items) {
  std::unordered_map<std::u16string, const T*> index;
  index.reserve(items.size());
  for (const T& item : items) index.emplace(base::upcase(item.name), &item);
  return index;
}

void diff_key(const TreeKey& a, const TreeKey& b, std::vector<std::u16string>& path, std::vector<TreeChange>& out) {
  if (a.class_name != b.class_name) out.push_back({ChangeKind::kClassChanged, path, &a, &b, nullptr, nullptr});

  const auto b_values = index_by_name(b.values);
  const auto a_values = index_by_name(a.values);
  for (const TreeValue& va : a.values) {
    auto it = b_values.find(base::upcase(va.name));
    if (it == b_values.end()) {
      out.push_back({ChangeKind::kValueRemoved, path, &a, &b, &va, nullptr});
    } else if (va.name != it->second->name || va.type != it->second->type || va.data != it->second->data) {
      out.push_back({ChangeKind::kValueChanged, path, &a, &b, &va, it->second});
    }
  }
  for (const TreeValue& vb : b.values)
    if (!a_values.contains(base::upcase(vb.name))) out.push_back({ChangeKind::kValueAdded, path, &a, &b, nullptr, &vb});

  const auto b_keys = index_by_name(b.subkeys);
  const auto a_keys = index_by_name(a.subkeys);
  for (const TreeKey& ka : a.subkeys) {
    path.push_back(ka.name);
    auto it = b_keys.find(base::upcase(ka.name));
    if (it == b_keys.end()) {
      out.push_back({ChangeKind::kKeyRemoved, path, &ka, nullptr, nullptr, nullptr});
    } else {
      if (ka.name != it->second->name)
        out.push_back({ChangeKind::kKeyRenamed, path, &ka, it->second, nullptr, nullptr});
      diff_key(ka, *it->second, path, out);
    }
    path.pop_back();
  }
  for (const TreeKey& kb : b.subkeys) {
    if (a_keys.contains(base::upcase(kb.name))) continue;
    path.push_back(kb.name);
    out.push_back({ChangeKind::kKeyAdded, path, nullptr, &kb, nullptr, nullptr});
    path.pop_back();
  }
}

std::string quoted(const std::optional<std::u16string>& s) {
  if (!s) return "(none)";
  std::string out(1, '"');
  for (char c : base::to_utf8(*s)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::vector<TreeChange> diff_trees(const TreeKey& a, const TreeKey& b) {
  std::vector<TreeChange> out;
  std::vector<std::u16string> path;
  diff_key(a, b, path, out);
  return out;
}

std::string format_changes(const std::vector<TreeChange>& changes, std::u16string_view root) {
  std::string out;
  const TreeKey* header_for = nullptr;  // the key whose " [path]" line was written last
  // One line: a marker character, the key's path in brackets, and what follows.
  auto key_line = [&](char marker, const TreeChange& c, std::string_view tail) {
    std::u16string path(root);
    if (!c.path.empty()) {
      if (!path.empty() && path.back() != u'\\') path += u'\\';
      path += join_key_path(c.path);
    }
    out += marker;
    out += '[';
    out += base::to_utf8(path);
    out += ']';
    out += tail;
    out += '\n';
  };
  auto value_line = [&](char marker, const TreeValue& v) {
    out += marker;
    out += base::to_utf8(format_reg_value(v));
    out += '\n';
  };
  auto class_line = [&](char marker, const std::optional<std::u16string>& name) {
    out += marker;
    out += "class ";
    out += quoted(name);
    out += '\n';
  };
  for (const TreeChange& c : changes) {
    switch (c.kind) {
      case ChangeKind::kKeyAdded:
        key_line('+', c, {});
        header_for = nullptr;
        break;
      case ChangeKind::kKeyRemoved:
        key_line('-', c, {});
        header_for = nullptr;
        break;
      case ChangeKind::kKeyRenamed:
        key_line('*', c, " renamed to " + quoted(c.key_after->name));
        header_for = nullptr;
        break;
      case ChangeKind::kClassChanged:
      case ChangeKind::kValueAdded:
      case ChangeKind::kValueRemoved:
      case ChangeKind::kValueChanged:
        if (header_for != c.key_before) {
          key_line(' ', c, {});
          header_for = c.key_before;
        }
        if (c.kind == ChangeKind::kClassChanged) {
          class_line('-', c.key_before->class_name);
          class_line('+', c.key_after->class_name);
        }
        if (c.value_before) value_line('-', *c.value_before);
        if (c.value_after) value_line('+', *c.value_after);
        break;
    }
  }
  return out;
}

}  // namespace regf
