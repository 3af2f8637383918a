#include "tests/support/hives.h"

#include <functional>

#include "base/unicode.h"
#include "regf/build.h"
#include "regf/format.h"
#include "regf/regtext.h"
#include "regf/walk.h"
#include "tests/support/files.h"

namespace hivemend::testing {

std::u16string numbered(std::u16string prefix, int n) {
  // Appended, not "literal" + std::to_string(n): GCC 12 warns falsely (-Wrestrict) there.
  for (char c : std::to_string(n)) prefix += char16_t(c);
  return prefix;
}

std::vector<uint8_t> sample_bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = uint8_t(seed + i * 7);
  return out;
}

std::string reg_line(const std::u16string& name, const std::string& text, uint32_t type) {
  return base::to_utf8(regf::format_reg_value({name, type, utf16(base::from_utf8(text))})) + "\r\n";
}

bool write_hive(const std::string& path, const regf::TreeKey& root) {
  auto image = regf::build_hive(root);
  return image && write_bytes(path, *image);
}

std::optional<regf::TreeKey> read_hive(const std::string& path) {
  auto hive = regf::Hive::open_file(path);
  if (!hive) return std::nullopt;
  auto tree = regf::read_tree(*hive);
  if (!tree) return std::nullopt;
  return std::move(*tree);
}

namespace {

void add_lines(const regf::TreeKey& key, const std::string& path, bool details, std::vector<std::string>& out) {
  std::string line = path;
  if (details) {
    line.append(key.class_name ? "|class " : "|no class").append(key.class_name ? base::to_utf8(*key.class_name) : "");
    line.append("|time ").append(std::to_string(key.last_written));
  }
  out.push_back(line);
  for (const auto& v : key.values) {
    line = path + "|" + base::to_utf8(v.name) + "|" + std::to_string(v.type) + "|";
    for (uint8_t b : v.data) line += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    out.push_back(line);
  }
  for (const auto& sub : key.subkeys) add_lines(sub, path + "\\" + base::to_utf8(sub.name), details, out);
}

}  // namespace

std::vector<std::string> tree_lines(const regf::TreeKey& root, bool details) {
  std::vector<std::string> out;
  add_lines(root, "", details, out);
  return out;
}

std::string tree_difference(const regf::TreeKey& want, const regf::TreeKey& got, bool details) {
  const auto a = tree_lines(want, details), b = tree_lines(got, details);
  for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
    const std::string x = i < a.size() ? a[i] : "(nothing)", y = i < b.size() ? b[i] : "(nothing)";
    const std::string at = std::to_string(i);
    if (x != y) return "line " + at + ": want " + x.substr(0, 200) + "\n got " + y.substr(0, 200);
  }
  return "";
}

std::vector<std::string> subkey_list_problems(const regf::Hive& hive) {
  std::vector<std::string> out;
  std::function<void(regf::KeyRef, const std::string&)> visit = [&](regf::KeyRef k, const std::string& path) {
    auto nk = *hive.cell(k.cell);
    const uint32_t count = regf::load_u32(&nk[20]), list = regf::load_u32(&nk[28]);
    if (count == 0) return;
    auto top = *hive.cell(list);
    std::vector<uint32_t> leaves{list};
    if (top[0] == 'r') {
      leaves.clear();
      for (size_t i = 0; i < regf::load_u16(&top[2]); ++i) leaves.push_back(regf::load_u32(&top[4 + 4 * i]));
    }
    if ((top[0] == 'r') != (count > 1012))
      out.push_back(path + ": index root with " + std::to_string(count) + " subkeys");
    std::u16string previous;
    for (uint32_t leaf : leaves) {
      auto l = *hive.cell(leaf);
      if (l[0] != 'l' || l[1] != 'h') {
        out.push_back(path + ": list is not a hash leaf");
        continue;
      }
      for (size_t i = 0; i < regf::load_u16(&l[2]); ++i) {
        const regf::KeyRef child{regf::load_u32(&l[4 + 8 * i])};
        const std::u16string name = *hive.key_name(child);
        const std::string child_path = path + "\\" + base::to_utf8(name);
        if (regf::load_u32(&l[8 + 8 * i]) != regf::name_hash(name)) out.push_back(child_path + ": wrong hash");
        if (base::compare_nocase(previous, name) >= 0) out.push_back(child_path + ": out of order");
        previous = name;
        visit(child, child_path);
      }
    }
  };
  visit(hive.root(), "");
  return out;
}

}  // namespace hivemend::testing
