// Building new hives: a tree with every value type, big data, class names and names in
// and beyond Latin-1 reads back equal through the engine and through hivexml, with a
// clean base block, sorted hashed subkey lists and one shared security cell.
#include "regf/build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "regf/format.h"
#include "regf/hive.h"
#include "regf/unicode.h"
#include "regf/walk.h"
#include "tests/regf/hive_files.h"
#include "tests/support/hivexml.h"

namespace {

using regf::TreeKey;
using regf::TreeValue;

std::vector<uint8_t> bytes_of(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = uint8_t(seed ^ (i * 13));
  return out;
}

std::vector<uint8_t> utf16z(std::u16string_view s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) out.push_back(uint8_t(c)), out.push_back(uint8_t(c >> 8));
  out.push_back(0), out.push_back(0);
  return out;
}

TreeKey sample_tree() {
  TreeKey root{u"CMI-CreateHive{TEST}", {}, 0x01D0000000000000ull, {}, {}};
  TreeKey types{u"Types", u"TypesClass", 0x01D1000000000000ull, {}, {}};
  types.values = {
      {u"", regf::kRegSz, utf16z(u"default")},
      {u"none", regf::kRegNone, {}},
      {u"sz", regf::kRegSz, utf16z(u"C:\\PROGRA~1\\COMMON~1")},
      {u"expand", regf::kRegExpandSz, utf16z(u"%SystemRoot%\\x")},
      {u"binary", regf::kRegBinary, bytes_of(300, 1)},
      {u"dword", regf::kRegDword, {0x78, 0x56, 0x34, 0x12}},
      {u"dword_be", regf::kRegDwordBigEndian, {0x12, 0x34, 0x56, 0x78}},
      {u"link", regf::kRegLink, utf16z(u"\\Registry\\Machine\\X")},
      {u"multi", regf::kRegMultiSz, [] {
         auto a = utf16z(u"one"), b = utf16z(u"two");
         a.insert(a.end(), b.begin(), b.end());
         a.push_back(0), a.push_back(0);
         return a;
       }()},
      {u"reslist", regf::kRegResourceList, bytes_of(40, 2)},
      {u"fullres", regf::kRegFullResourceDescriptor, bytes_of(36, 3)},
      {u"resreq", regf::kRegResourceRequirementsList, bytes_of(72, 4)},
      {u"qword", regf::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
      {u"custom type", 0x12345, bytes_of(9, 5)},
      {u"odd sized", regf::kRegSz, {'a', 0, 'b'}},
      {u"three bytes", regf::kRegBinary, {1, 2, 3}},
      {u"big exactly", regf::kRegBinary, bytes_of(16344, 6)},
      {u"big plus one", regf::kRegBinary, bytes_of(16345, 7)},
      {u"big", regf::kRegBinary, bytes_of(100000, 8)},
      {u"Gr\u00fc\u00dfe \u65e5\u672c", regf::kRegSz, utf16z(u"\u65e5\u672c\u8a9e")},
  };
  TreeKey wide{u"Wide", {}, 0, {}, {}};
  // More than one leaf's worth: stored under an index root. Given unsorted on purpose.
  for (int i = 2999; i >= 0; --i) wide.subkeys.push_back({regf::from_utf8("Key" + std::to_string(i)), {}, 0, {}, {}});
  TreeKey names{u"Names", {}, 0, {}, {}};
  for (const char16_t* n : {u"zulu", u"Alpha", u"\u00e9cole", u"\u0416\u0443\u043a", u"_under", u"[bracket", u"Beta"})
    names.subkeys.push_back({n, u"k", 0, {{n, regf::kRegDword, {1, 0, 0, 0}}}, {}});
  root.subkeys = {types, wide, names};
  return root;
}

void sort_like_windows(TreeKey& k) {
  std::stable_sort(k.subkeys.begin(), k.subkeys.end(),
                   [](const TreeKey& a, const TreeKey& b) { return regf::compare_nocase(a.name, b.name) < 0; });
  for (auto& c : k.subkeys) sort_like_windows(c);
}

void expect_equal_trees(const TreeKey& a, const TreeKey& b, const std::string& path) {
  ASSERT_EQ(a.name, b.name) << path;
  ASSERT_EQ(a.class_name, b.class_name) << path;
  ASSERT_EQ(a.last_written, b.last_written) << path;
  ASSERT_EQ(a.values.size(), b.values.size()) << path;
  for (size_t i = 0; i < a.values.size(); ++i) {
    ASSERT_EQ(a.values[i].name, b.values[i].name) << path;
    ASSERT_EQ(a.values[i].type, b.values[i].type) << path;
    ASSERT_EQ(a.values[i].data, b.values[i].data) << path << "\\" << regf::to_utf8(a.values[i].name);
  }
  ASSERT_EQ(a.subkeys.size(), b.subkeys.size()) << path;
  for (size_t i = 0; i < a.subkeys.size(); ++i)
    expect_equal_trees(a.subkeys[i], b.subkeys[i], path + "\\" + regf::to_utf8(a.subkeys[i].name));
}

TEST(BuildHive, TreeReadsBackEqualThroughTheEngineAndHivexml) {
  TreeKey tree = sample_tree();
  // Keys without a time get the build time; give every key one to compare exactly.
  std::function<void(TreeKey&)> stamp = [&](TreeKey& k) {
    if (!k.last_written) k.last_written = 0x01D2000000000000ull;
    for (auto& c : k.subkeys) stamp(c);
  };
  stamp(tree);
  auto image = regf::build_hive(tree);
  ASSERT_TRUE(image) << image.error().to_string();

  auto hive = regf::Hive::from_image(*image, "built");
  ASSERT_TRUE(hive) << hive.error().to_string();
  EXPECT_FALSE(hive->dirty());
  EXPECT_TRUE(hive->damage().empty()) << hive->damage().front().to_string();
  auto back = regf::read_tree(*hive);
  ASSERT_TRUE(back) << back.error().to_string();
  TreeKey expected = tree;
  sort_like_windows(expected);
  expect_equal_trees(*back, expected, "");

  regf_test::TempDir dir;
  ASSERT_TRUE(regf_test::write_bytes(dir.file("built"), *image));
  std::string error;
  auto dump = hivemend::testing::run_hivexml(dir.file("built"), &error);
  ASSERT_TRUE(dump) << error;
  for (const auto& line : hivemend::testing::compare_with_tree(*dump, expected, *image)) ADD_FAILURE() << line;
}

TEST(BuildHive, BaseBlockIsCleanAndListsAreAsWindowsWritesThem) {
  auto image = regf::build_hive(sample_tree());
  ASSERT_TRUE(image);
  const uint8_t* b = image->data();
  using namespace regf::base_block;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 4), "regf");
  EXPECT_EQ(regf::load_u32(b + kPrimarySequence), regf::load_u32(b + kSecondarySequence));
  EXPECT_EQ(regf::load_u32(b + kChecksum), regf::base_block_checksum(b));
  EXPECT_EQ(regf::load_u32(b + kMajorVersion), 1u);
  EXPECT_EQ(regf::load_u32(b + kMinorVersion), 5u);
  EXPECT_EQ(regf::load_u32(b + kHiveBinsDataSize) + 4096, image->size());
  EXPECT_EQ(image->size() % 4096, 0u);

  auto hive = regf::Hive::from_image(*image, "built");
  ASSERT_TRUE(hive);
  // One security cell, shared by every key and counting them.
  size_t keys = 0;
  uint32_t security = regf::load_u32(&(*hive->cell(hive->root().cell))[44]);
  std::function<void(regf::KeyRef)> visit = [&](regf::KeyRef k) {
    ++keys;
    auto nk = *hive->cell(k.cell);
    ASSERT_EQ(regf::load_u32(&nk[44]), security);
    uint32_t n = regf::load_u32(&nk[20]);
    if (n == 0) return;
    auto top = *hive->cell(regf::load_u32(&nk[28]));
    std::vector<uint32_t> leaves;
    if (top[0] == 'r') {
      for (size_t i = 0; i < regf::load_u16(&top[2]); ++i) leaves.push_back(regf::load_u32(&top[4 + 4 * i]));
    } else {
      leaves.push_back(regf::load_u32(&nk[28]));
    }
    EXPECT_EQ(top[0] == 'r', n > 1012u);
    std::u16string previous;
    for (uint32_t leaf : leaves) {
      auto l = *hive->cell(leaf);
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(l.data()), 2), "lh");
      for (size_t i = 0; i < regf::load_u16(&l[2]); ++i) {
        regf::KeyRef child{regf::load_u32(&l[4 + 8 * i])};
        std::u16string name = *hive->key_name(child);
        ASSERT_EQ(regf::load_u32(&l[8 + 8 * i]), regf::name_hash(name));
        ASSERT_LT(regf::compare_nocase(previous, name), 0);
        previous = name;
        visit(child);
      }
    }
  };
  visit(hive->root());
  auto sk = *hive->cell(security);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sk.data()), 2), "sk");
  EXPECT_EQ(regf::load_u32(&sk[12]), keys);
  EXPECT_EQ(regf::load_u32(&sk[4]), security);
}

TEST(BuildHive, RefusesNamesWindowsWouldRefuse) {
  struct Case {
    const char* what;
    std::function<void(TreeKey&)> spoil;
  } cases[] = {
      {"two subkeys differing in case", [](TreeKey& k) { k.subkeys = {{u"abc", {}, 0, {}, {}}, {u"ABC", {}, 0, {}, {}}}; }},
      {"two values differing in case",
       [](TreeKey& k) { k.values = {{u"v", regf::kRegNone, {}}, {u"V", regf::kRegNone, {}}}; }},
      {"key name of 256 characters", [](TreeKey& k) { k.subkeys = {{std::u16string(256, u'x'), {}, 0, {}, {}}}; }},
      {"empty subkey name", [](TreeKey& k) { k.subkeys = {{u"", {}, 0, {}, {}}}; }},
  };
  for (const auto& c : cases) {
    TreeKey root{u"ROOT", {}, 0, {}, {}};
    c.spoil(root);
    EXPECT_FALSE(regf::build_hive(root)) << c.what;
  }
}

}  // namespace
