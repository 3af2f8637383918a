#include "regf/diff.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/files.h"

namespace {

using hivemend::testing::utf16;
using regf::TreeKey;

TreeKey base_tree() {
  TreeKey root;
  root.name = u"ROOT";
  root.values = {{u"", regf::kRegSz, utf16(u"d")}, {u"Num", regf::kRegDword, {1, 0, 0, 0}}};
  TreeKey software{u"Software", std::nullopt, 0, {{u"Path", regf::kRegSz, utf16(u"C:\\x")}}, {}};
  software.subkeys.push_back(TreeKey{u"Vendor", u"cls", 0, {}, {}});
  root.subkeys.push_back(software);
  root.subkeys.push_back(TreeKey{u"Old", std::nullopt, 0, {}, {TreeKey{u"Child", {}, 0, {}, {}}}});
  return root;
}

TEST(DiffTrees, ReportsEachKindOfChange) {
  const struct {
    const char* what;
    std::function<void(TreeKey&)> edit;
    std::string lines;
  } cases[] = {
      {"nothing", [](TreeKey&) {}, ""},
      {"last-written time and value order are not changes",
       [](TreeKey& t) {
         t.last_written = 5;
         std::swap(t.values[0], t.values[1]);
       },
       ""},
      {"value data", [](TreeKey& t) { t.values[1].data[0] = 2; },
       " [HKLM\\X]\n-\"Num\"=dword:00000001\n+\"Num\"=dword:00000002\n"},
      {"value type", [](TreeKey& t) { t.values[1].type = regf::kRegBinary; },
       " [HKLM\\X]\n-\"Num\"=dword:00000001\n+\"Num\"=hex:01,00,00,00\n"},
      {"value name case", [](TreeKey& t) { t.values[1].name = u"NUM"; },
       " [HKLM\\X]\n-\"Num\"=dword:00000001\n+\"NUM\"=dword:00000001\n"},
      {"value added and removed below a subkey",
       [](TreeKey& t) {
         t.subkeys[0].values.clear();
         t.subkeys[0].values.push_back({u"New", regf::kRegNone, {}});
       },
       " [HKLM\\X\\Software]\n-\"Path\"=\"C:\\\\x\"\n+\"New\"=hex(0):\n"},
      {"default value removed", [](TreeKey& t) { t.values.erase(t.values.begin()); }, " [HKLM\\X]\n-@=\"d\"\n"},
      {"key removed once, with its subtree", [](TreeKey& t) { t.subkeys.pop_back(); }, "-[HKLM\\X\\Old]\n"},
      {"key added",
       [](TreeKey& t) {
         t.subkeys[0].subkeys.push_back(TreeKey{u"N\u00e9w", {}, 0, {}, {}});
       },
       "+[HKLM\\X\\Software\\N\u00e9w]\n"},
      {"key letter case", [](TreeKey& t) { t.subkeys[1].name = u"OLD"; }, "*[HKLM\\X\\Old] renamed to \"OLD\"\n"},
      {"class name", [](TreeKey& t) { t.subkeys[0].subkeys[0].class_name.reset(); },
       " [HKLM\\X\\Software\\Vendor]\n-class \"cls\"\n+class (none)\n"},
      {"letter case of a key is matched",
       [](TreeKey& t) {
         t.subkeys[0].name = u"SOFTWARE";
         t.subkeys[0].values[0].data = utf16(u"C:\\y");
       },
       "*[HKLM\\X\\Software] renamed to \"SOFTWARE\"\n [HKLM\\X\\Software]\n"
       "-\"Path\"=\"C:\\\\x\"\n+\"Path\"=\"C:\\\\y\"\n"},
  };
  for (const auto& c : cases) {
    const TreeKey a = base_tree();
    TreeKey b = base_tree();
    c.edit(b);
    const auto changes = regf::diff_trees(a, b);
    EXPECT_EQ(regf::format_changes(changes, u"HKLM\\X"), c.lines) << c.what;
    // The same comparison the other way round has as many changes.
    EXPECT_EQ(regf::diff_trees(b, a).size(), changes.size()) << c.what;
  }
}

}  // namespace
