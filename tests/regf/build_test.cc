// Building new hives: a tree with every value type, big data, class names and names in
// and beyond Latin-1 reads back equal through the engine and through hivexml, with a
// clean base block, sorted hashed subkey lists and one shared security cell.
#include "regf/build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "base/unicode.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/walk.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/hivexml.h"

namespace {

using namespace hivemend::testing;
using regf::TreeKey;

TreeKey sample_tree() {
  TreeKey root{u"CMI-CreateHive{TEST}", {}, 0x01D0000000000000ull, {}, {}};
  TreeKey types{u"Types", u"TypesClass", 0x01D1000000000000ull, {}, {}};
  types.values = {
      {u"", regf::kRegSz, utf16(u"default")},
      {u"none", regf::kRegNone, {}},
      {u"sz", regf::kRegSz, utf16(u"C:\\PROGRA~1\\COMMON~1")},
      {u"expand", regf::kRegExpandSz, utf16(u"%SystemRoot%\\x")},
      {u"binary", regf::kRegBinary, sample_bytes(300, 1)},
      {u"dword", regf::kRegDword, {0x78, 0x56, 0x34, 0x12}},
      {u"dword_be", regf::kRegDwordBigEndian, {0x12, 0x34, 0x56, 0x78}},
      {u"link", regf::kRegLink, utf16(u"\\Registry\\Machine\\X")},
      {u"multi", regf::kRegMultiSz, utf16(std::u16string(u"one\0two\0", 8))},
      {u"reslist", regf::kRegResourceList, sample_bytes(40, 2)},
      {u"fullres", regf::kRegFullResourceDescriptor, sample_bytes(36, 3)},
      {u"resreq", regf::kRegResourceRequirementsList, sample_bytes(72, 4)},
      {u"qword", regf::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
      {u"custom type", 0x12345, sample_bytes(9, 5)},
      {u"odd sized", regf::kRegSz, {'a', 0, 'b'}},
      {u"three bytes", regf::kRegBinary, {1, 2, 3}},
      {u"big exactly", regf::kRegBinary, sample_bytes(16344, 6)},
      {u"big plus one", regf::kRegBinary, sample_bytes(16345, 7)},
      {u"big", regf::kRegBinary, sample_bytes(100000, 8)},
      {u"Gr\u00fc\u00dfe \u65e5\u672c", regf::kRegSz, utf16(u"\u65e5\u672c\u8a9e")},
  };
  TreeKey wide{u"Wide", {}, 0, {}, {}};
  // More than one leaf's worth: stored under an index root. Given unsorted on purpose.
  for (int i = 2999; i >= 0; --i) wide.subkeys.push_back({numbered(u"Key", i), {}, 0, {}, {}});
  TreeKey names{u"Names", {}, 0, {}, {}};
  for (const char16_t* n : {u"zulu", u"Alpha", u"\u00e9cole", u"\u0416\u0443\u043a", u"_under", u"[bracket", u"Beta"})
    names.subkeys.push_back({n, u"k", 0, {{n, regf::kRegDword, {1, 0, 0, 0}}}, {}});
  root.subkeys = {types, wide, names};
  return root;
}

void sort_like_windows(TreeKey& k) {
  std::stable_sort(k.subkeys.begin(), k.subkeys.end(),
                   [](const TreeKey& a, const TreeKey& b) { return base::compare_nocase(a.name, b.name) < 0; });
  for (auto& c : k.subkeys) sort_like_windows(c);
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
  EXPECT_EQ(back->name, expected.name);
  EXPECT_EQ(tree_difference(expected, *back, true), "");
  TempDir dir;
  ASSERT_TRUE(write_bytes(dir.path("built"), *image));
  EXPECT_EQ(hivexml_differences(dir.path("built"), expected), std::vector<std::string>{});
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
  EXPECT_EQ(subkey_list_problems(*hive), std::vector<std::string>{});
  // One security cell, shared by every key and counting them.
  const uint32_t security = regf::load_u32(&(*hive->cell(hive->root().cell))[44]);
  size_t keys = 0;
  std::function<void(regf::KeyRef)> visit = [&](regf::KeyRef k) {
    ++keys;
    ASSERT_EQ(regf::load_u32(&(*hive->cell(k.cell))[44]), security);
    for (uint32_t i = 0; i < *hive->subkey_count(k); ++i) visit(*hive->subkey(k, i));
  };
  visit(hive->root());
  auto sk = *hive->cell(security);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sk.data()), 2), "sk");
  EXPECT_EQ(regf::load_u32(&sk[12]), keys);
  EXPECT_EQ(regf::load_u32(&sk[4]), security);
}

TEST(BuildHive, RefusesWhatWindowsWouldRefuse) {
  const struct {
    const char* what;
    std::function<void(TreeKey&)> spoil;
    const char* error;
  } cases[] = {
      {"two subkeys differing in case",
       [](TreeKey& k) {
         k.subkeys = {{u"abc", {}, 0, {}, {}}, {u"ABC", {}, 0, {}, {}}};
       },
       "two subkeys named"},
      {"two values differing in case",
       [](TreeKey& k) {
         k.values = {{u"v", regf::kRegNone, {}}, {u"V", regf::kRegNone, {}}};
       },
       "two values named"},
      {"key name of 256 characters",
       [](TreeKey& k) {
         k.subkeys = {{std::u16string(256, u'x'), {}, 0, {}, {}}};
       },
       "longer than 255"},
      {"empty subkey name",
       [](TreeKey& k) {
         k.subkeys = {{u"", {}, 0, {}, {}}};
       },
       "key name empty"},
      {"nesting deeper than Windows allows",
       [](TreeKey& k) {
         TreeKey* at = &k;
         for (int i = 0; i < 520; ++i) at = &at->subkeys.emplace_back(TreeKey{u"d", {}, 0, {}, {}});
       },
       "deeper"},
  };
  for (const auto& c : cases) {
    TreeKey root{u"ROOT", {}, 0, {}, {}};
    c.spoil(root);
    auto built = regf::build_hive(root);
    ASSERT_FALSE(built) << c.what;
    EXPECT_NE(built.error().message.find(c.error), std::string::npos) << c.what << ": " << built.error().message;
  }
}

}  // namespace
