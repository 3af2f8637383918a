// Editing in place: replaced and added values read back through hivexml exactly as set,
// everything else unchanged; data that fits stays in its cell and the file does not
// grow; freed cells merge with free neighbours; added subkeys keep the list sorted and
// hashed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "base/unicode.h"
#include "regf/alloc.h"
#include "regf/build.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/walk.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/hivexml.h"

namespace {

using namespace hivemend::testing;
using regf::Hive;
using regf::KeyRef;

KeyRef open_path(const Hive& hive, std::initializer_list<std::u16string_view> parts) {
  KeyRef k = hive.root();
  for (auto part : parts) {
    auto next = hive.find_subkey(k, part);
    EXPECT_TRUE(next && *next) << base::to_utf8(part);
    if (!next || !*next) return k;
    k = **next;
  }
  return k;
}

regf::TreeKey* tree_path(regf::TreeKey& k, std::initializer_list<std::u16string_view> parts) {
  regf::TreeKey* at = &k;
  for (auto part : parts) {
    auto it = std::find_if(at->subkeys.begin(), at->subkeys.end(),
                           [&](const regf::TreeKey& c) { return base::equal_nocase(c.name, part); });
    if (it == at->subkeys.end()) return nullptr;
    at = &*it;
  }
  return at;
}

// Applies the same change to the expected tree.
void set_in_tree(regf::TreeKey& key, std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
  for (auto& v : key.values)
    if (base::equal_nocase(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  key.values.push_back({std::u16string(name), type, std::move(data)});
}

struct Edit {
  std::initializer_list<std::u16string_view> key;
  std::u16string_view name;
  uint32_t type;
  std::vector<uint8_t> data;
};

class EditSystemHive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(unpack_hive("SYSTEM", path_ = dir_.path("SYSTEM")));
    original_ = read_bytes(path_);
  }
  TempDir dir_;
  std::string path_;
  std::vector<uint8_t> original_;
};

// Replacements and additions of every size class: inline, one cell, big data; in place,
// moved, and new. hivexml reads the committed file equal to the original tree with the
// same changes made.
TEST_F(EditSystemHive, ChangedValuesReadBackThroughHivexml) {
  auto hive = Hive::open_file(path_);
  ASSERT_TRUE(hive) << hive.error().to_string();
  auto expected = regf::read_tree(*hive);
  ASSERT_TRUE(expected);
  const std::initializer_list<std::u16string_view> control = {u"ControlSet001", u"Control"};
  const std::initializer_list<std::u16string_view> tcpip = {u"ControlSet001", u"Services", u"Tcpip", u"Parameters"};
  std::vector<Edit> edits = {
      {control, u"SystemBootDevice", regf::kRegSz, utf16(u"multi(0)disk(0)")},                   // smaller, in place
      {control, u"waittokillservicetimeout", regf::kRegSz, utf16(u"20000 and some more text")},  // larger, moved
      {control, u"BootDriverFlags", regf::kRegDword, {7, 0, 0, 0}},                              // inline stays inline
      {control, u"CurrentUser", regf::kRegBinary, {1, 2, 3}},                                    // cell to inline
      {control, u"PreshutdownOrder", regf::kRegMultiSz, sample_bytes(40000, 3)},                 // to big data
      {tcpip, u"Hostname", regf::kRegExpandSz, utf16(u"C:\\PROGRA~1\\HOST")},
      {tcpip, u"HivemendNew", regf::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},  // added
      {tcpip, u"", regf::kRegSz, utf16(u"default value")},                 // added default
      {tcpip, u"HivemendBig", regf::kRegBinary, sample_bytes(50000, 9)},   // added big data
      {tcpip, u"Sm\u00e9\u4e2d", regf::kRegNone, {}},                      // UTF-16 name, no data
  };
  // commit() writes the image over the file, half way and at the end; each commit
  // advances the sequence numbers.
  for (size_t i = 0; i < edits.size(); ++i) {
    const Edit& e = edits[i];
    auto st = hive->set_value(open_path(*hive, e.key), e.name, e.type, e.data);
    ASSERT_TRUE(st) << base::to_utf8(e.name) << ": " << st.error().to_string();
    set_in_tree(*tree_path(*expected, e.key), e.name, e.type, e.data);
    if (i == 4 || i + 1 == edits.size()) { ASSERT_TRUE(hive->commit(path_)); }
  }
  auto reopened = Hive::open_file(path_);
  ASSERT_TRUE(reopened) << reopened.error().to_string();
  EXPECT_FALSE(reopened->dirty());
  EXPECT_TRUE(reopened->damage().empty()) << reopened->damage().front().to_string();
  EXPECT_EQ(regf::load_u32(&reopened->raw_image()[regf::base_block::kPrimarySequence]),
            regf::load_u32(&original_[regf::base_block::kPrimarySequence]) + 2);
  auto tree = regf::read_tree(*reopened);
  ASSERT_TRUE(tree);
  EXPECT_EQ(hivexml_differences(path_, *expected), std::vector<std::string>{});
  EXPECT_EQ(tree_difference(*expected, *tree), "");
}

// Data no larger than the old cell stays there: the file keeps its size, and outside the
// base block's sequence numbers, time and checksum only the touched value and data cells
// differ.
TEST_F(EditSystemHive, DataThatFitsChangesOnlyItsCells) {
  auto hive = Hive::open_file(path_);
  ASSERT_TRUE(hive);
  KeyRef control = open_path(*hive, {u"ControlSet001", u"Control"});
  KeyRef services = open_path(*hive, {u"ControlSet001", u"Services"});
  std::vector<std::pair<uint32_t, uint32_t>> allowed;  // cell ranges an edit may change
  auto allow_cell = [&](uint32_t cell) {
    int32_t raw = regf::load_i32(&original_[4096 + cell]);
    allowed.emplace_back(4096 + cell, 4096 + cell + uint32_t(raw < 0 ? -raw : raw));
  };
  size_t edited = 0;
  // Every REG_SZ of more than 4 bytes under Services gets text of the same length or less.
  std::function<void(KeyRef)> edit_all = [&](KeyRef k) {
    for (uint32_t i = 0; i < *hive->value_count(k); ++i) {
      auto v = *hive->value(k, i);
      if (*hive->value_type(v) != regf::kRegSz || *hive->value_size(v) <= 8 || *hive->value_size(v) > 16000) continue;
      size_t chars = *hive->value_size(v) / 2 - 1;
      std::u16string text(chars / 2 + 1, u'Z');
      allow_cell(v.cell);
      allow_cell(regf::load_u32(&original_[4096 + v.cell + 4 + 8]));
      ASSERT_TRUE(hive->set_value(k, *hive->value_name(v), regf::kRegExpandSz, utf16(text)));
      ++edited;
    }
    for (uint32_t i = 0; i < *hive->subkey_count(k); ++i) edit_all(*hive->subkey(k, i));
  };
  edit_all(services);
  ASSERT_TRUE(hive->set_value(control, u"BootDriverFlags", regf::kRegDword, std::vector<uint8_t>{9, 9, 9, 9}));
  allow_cell(hive->find_value(control, u"BootDriverFlags").value()->cell);
  EXPECT_GT(edited, 1000u);

  auto image = hive->image();
  ASSERT_EQ(image.size(), original_.size());
  auto in_allowed = [&](size_t at) {
    using namespace regf::base_block;
    if ((at >= kPrimarySequence && at < kLastWritten + 8) || (at >= kChecksum && at < kChecksum + 4)) return true;
    return std::any_of(allowed.begin(), allowed.end(), [&](auto r) { return at >= r.first && at < r.second; });
  };
  size_t changed = 0;
  for (size_t at = 0; at < image.size(); ++at) {
    if (image[at] == original_[at]) continue;
    ++changed;
    ASSERT_TRUE(in_allowed(at)) << "byte changed outside the edited cells at file offset " << at;
  }
  EXPECT_GT(changed, edited);
  // The base block is clean and advanced.
  EXPECT_EQ(regf::load_u32(&image[regf::base_block::kPrimarySequence]),
            regf::load_u32(&image[regf::base_block::kSecondarySequence]));
  EXPECT_EQ(regf::load_u32(&image[regf::base_block::kPrimarySequence]),
            regf::load_u32(&original_[regf::base_block::kPrimarySequence]) + 1);
  EXPECT_EQ(regf::load_u32(&image[regf::base_block::kChecksum]), regf::base_block_checksum(image.data()));
}

// Free cells as the hive bins hold them: (file offset, size), in file order.
std::vector<std::pair<size_t, uint32_t>> free_cells(std::span<const uint8_t> image) {
  std::vector<std::pair<size_t, uint32_t>> out;
  size_t end = 4096 + regf::load_u32(&image[regf::base_block::kHiveBinsDataSize]);
  for (size_t bin = 4096; bin < end;) {
    uint32_t bin_size = regf::load_u32(&image[bin + 8]);
    for (size_t c = bin + 32; c < bin + bin_size;) {
      int32_t raw = regf::load_i32(&image[c]);
      if (raw > 0) out.emplace_back(c, uint32_t(raw));
      c += uint32_t(raw < 0 ? -raw : raw);
    }
    bin += bin_size;
  }
  return out;
}

// Values growing and shrinking in turn: freed cells are reused before the file grows,
// and no two free cells are ever left side by side in a bin.
TEST(EditAllocation, FreedCellsAreReusedAndMerged) {
  regf::TreeKey root;
  root.name = u"ROOT";
  for (int i = 0; i < 20; ++i) {
    regf::TreeKey k;
    k.name = u"Key" + std::u16string(1, char16_t(u'A' + i));
    for (int j = 0; j < 10; ++j)
      k.values.push_back(
          {std::u16string(1, char16_t(u'a' + j)), regf::kRegBinary, sample_bytes(100 + j * 30, uint8_t(j))});
    root.subkeys.push_back(std::move(k));
  }
  auto built = regf::build_hive(root);
  ASSERT_TRUE(built) << built.error().to_string();
  auto hive = Hive::from_image(*built, "built");
  ASSERT_TRUE(hive) << hive.error().to_string();
  size_t start_size = hive->raw_image().size();

  for (int round = 0; round < 6; ++round) {
    for (uint32_t i = 0; i < 20; ++i) {
      KeyRef k = *hive->subkey(hive->root(), i);
      for (int j = 0; j < 10; ++j) {
        size_t size = (round % 2 == 0) ? 300 + size_t(j) * 50 + size_t(round) * 10 : 20 + size_t(j);
        auto st = hive->set_value(k, std::u16string(1, char16_t(u'a' + j)), regf::kRegBinary,
                                  sample_bytes(size, uint8_t(round)));
        ASSERT_TRUE(st) << st.error().to_string();
      }
    }
    auto cells = free_cells(hive->raw_image());
    for (size_t c = 1; c < cells.size(); ++c)
      ASSERT_NE(cells[c - 1].first + cells[c - 1].second, cells[c].first)
          << "round " << round << ": adjacent free cells at " << cells[c - 1].first;
  }
  // Growth is bounded by the largest generation of data, not by the number of rounds.
  EXPECT_LT(hive->raw_image().size(), start_size + 200 * 1000);
  auto reopened = Hive::from_image(hive->image(), "edited");
  ASSERT_TRUE(reopened) << reopened.error().to_string();
  EXPECT_TRUE(reopened->damage().empty());
  KeyRef k = *reopened->subkey(reopened->root(), 3);
  EXPECT_EQ(*reopened->value_data(**reopened->find_value(k, u"e")), sample_bytes(20 + 4, 5));
}

// A freed data cell is where the next value of that size goes.
TEST(EditAllocation, FreedDataCellIsReusedForTheNextValue) {
  regf::TreeKey root;
  root.name = u"ROOT";
  root.values.push_back({u"old", regf::kRegBinary, sample_bytes(200, 1)});
  auto hive = Hive::from_image(*regf::build_hive(root), "built");
  ASSERT_TRUE(hive);
  auto old = **hive->find_value(hive->root(), u"old");
  uint32_t old_cell = regf::load_u32(&hive->raw_image()[4096 + old.cell + 4 + 8]);
  ASSERT_TRUE(hive->set_value(hive->root(), u"old", regf::kRegBinary, sample_bytes(2000, 2)));
  EXPECT_GT(regf::load_i32(&hive->raw_image()[4096 + old_cell]), 0) << "old data cell not marked free";
  ASSERT_TRUE(hive->set_value(hive->root(), u"new", regf::kRegBinary, sample_bytes(190, 3)));
  auto fresh = **hive->find_value(hive->root(), u"new");
  EXPECT_EQ(regf::load_u32(&hive->raw_image()[4096 + fresh.cell + 4 + 8]), old_cell);
}

// A key searched by name again and again (a walk writing back many of its values)
// answers as a search in order does: the first of two names equal but for case (a
// damaged hive may hold both), the right one of names whose hashes collide, none for a
// missing name; also after values are added and deleted.
TEST(EditValues, RepeatedSearchesFindWhatASearchInOrderFinds) {
  regf::TreeKey root;
  root.name = u"ROOT";
  for (int i = 0; i < 20; ++i) root.values.push_back({numbered(u"v", i), regf::kRegDword, sample_bytes(4, uint8_t(i))});
  for (const char16_t* name : {u"1Z", u"25", u"dupe", u"DUPX"})  // "1Z" and "25" hash alike
    root.values.push_back({name, regf::kRegDword, sample_bytes(4, 0)});
  auto image = *regf::build_hive(root);
  const std::string dupx = "DUPX";
  auto at = std::search(image.begin(), image.end(), dupx.begin(), dupx.end());
  ASSERT_NE(at, image.end());
  at[3] = 'E';  // now "DUPE", after "dupe"
  auto hive = Hive::from_image(std::move(image), "built");
  ASSERT_TRUE(hive) << hive.error().to_string();
  const KeyRef k = hive->root();
  auto in_order = [&](std::u16string_view name) -> std::optional<regf::ValueRef> {
    for (uint32_t i = 0; i < *hive->value_count(k); ++i)
      if (base::equal_nocase(*hive->value_name(*hive->value(k, i)), name)) return *hive->value(k, i);
    return std::nullopt;
  };
  auto check = [&](const char* when) {
    for (int round = 0; round < 4; ++round)
      for (std::u16string_view name : {u"v0", u"V13", u"1z", u"25", u"DUPE", u"dupe", u"v3", u"late", u"v", u""}) {
        auto found = hive->find_value(k, name);
        ASSERT_TRUE(found) << found.error().to_string();
        EXPECT_EQ(*found, in_order(name)) << when << " " << base::to_utf8(name) << " round " << round;
      }
  };
  check("as built");
  ASSERT_TRUE(hive->delete_value(k, u"v3").value());
  check("after a deletion");
  ASSERT_TRUE(hive->set_value(k, u"late", regf::kRegSz, sample_bytes(40, 1)));
  ASSERT_TRUE(hive->set_value(k, u"v0", regf::kRegSz, sample_bytes(400, 2)));
  check("after an addition");
}

// Subkeys added to a key with none, a hash leaf and an index root come out sorted,
// hashed, findable, and read by hivexml.
TEST(EditSubkeys, AddedSubkeysKeepTheListSortedAndHashed) {
  regf::TreeKey root{
      u"ROOT", {}, 0, {}, {{u"Empty", {}, 0, {}, {}}, {u"Few", {}, 0, {}, {}}, {u"Many", {}, 0, {}, {}}}};
  for (const char16_t* n : {u"b", u"D", u"f"}) root.subkeys[1].subkeys.push_back({n, {}, 0, {}, {}});
  for (int i = 0; i < 2500; ++i) root.subkeys[2].subkeys.push_back({numbered(u"k", i * 2), {}, 0, {}, {}});
  auto hive = Hive::from_image(*regf::build_hive(root), "built");
  ASSERT_TRUE(hive);
  regf::TreeKey expected = root;
  const struct {
    const char16_t* parent;
    std::vector<std::u16string> names;
  } cases[] = {
      {u"Empty", {u"zeta", u"Alpha", u"mid"}},
      {u"Few", {u"a", u"C", u"e", u"G", u"\u00e9t\u00e9"}},
      {u"Many", {u"k1", u"k4999", u"k5", u"K00", u"zz", u"a"}},
  };
  for (const auto& c : cases) {
    KeyRef parent = **hive->find_subkey(hive->root(), c.parent);
    for (const auto& name : c.names) {
      auto added = hive->add_subkey(parent, name);
      ASSERT_TRUE(added) << added.error().to_string();
      tree_path(expected, {c.parent})->subkeys.push_back({name, {}, 0, {}, {}});
    }
    EXPECT_FALSE(hive->add_subkey(parent, base::upcase(c.names[0]))) << "a name differing only in case was added twice";
    for (const auto& name : c.names) ASSERT_TRUE(*hive->find_subkey(parent, name)) << base::to_utf8(name);
  }
  TempDir dir;
  ASSERT_TRUE(write_bytes(dir.path("hive"), hive->image()));
  auto reopened = Hive::open_file(dir.path("hive"));
  ASSERT_TRUE(reopened);
  EXPECT_TRUE(reopened->damage().empty());
  // Stored order is sorted order, each entry with the name hash Windows computes; hivexml
  // must see the same keys.
  EXPECT_EQ(subkey_list_problems(*reopened), std::vector<std::string>{});
  std::function<void(regf::TreeKey&)> sort_tree = [&](regf::TreeKey& k) {
    std::sort(k.subkeys.begin(), k.subkeys.end(),
              [](const regf::TreeKey& a, const regf::TreeKey& b) { return base::compare_nocase(a.name, b.name) < 0; });
    for (auto& c : k.subkeys) sort_tree(c);
  };
  sort_tree(expected);
  EXPECT_EQ(hivexml_differences(dir.path("hive"), expected), std::vector<std::string>{});
}

}  // namespace
