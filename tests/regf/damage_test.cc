// Damaged and hostile hives: each crafted image ends in a clear error naming the offset,
// or opens with the damaged part skipped and reported; damaged hives are refused for
// writing; crafted lists cannot make lookups wrong or the work unbounded.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "base/unicode.h"
#include "regf/build.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/walk.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"

namespace {

using namespace hivemend::testing;
using regf::Hive;
using regf::KeyRef;
using Image = std::vector<uint8_t>;

// Where the structures of the base hive are, found through the engine on the clean image.
struct Places {
  uint32_t root, alpha, many, child, grandchild;
  uint32_t many_list, alpha_values;
  uint32_t dword_vk, cell_vk, cell_data, big_vk, big_db;
};

Image base_image() {
  regf::TreeKey root{u"ROOT", {}, 0, {}, {}};
  regf::TreeKey alpha{u"Alpha", u"AlphaClass", 0, {}, {}};
  alpha.values = {{u"dword", regf::kRegDword, {1, 0, 0, 0}},
                  {u"cell", regf::kRegBinary, Image(100, 0x5A)},
                  {u"big", regf::kRegBinary, Image(40000, 0xA5)},
                  {u"text", regf::kRegSz, {'h', 0, 'i', 0, 0, 0}}};
  regf::TreeKey many{u"Many", {}, 0, {}, {}};
  for (int i = 0; i < 30; ++i) many.subkeys.push_back({numbered(u"c", 10 + i), {}, 0, {}, {}});
  many.subkeys[5].subkeys.push_back({u"deep", {}, 0, {{u"v", regf::kRegSz, {'x', 0, 0, 0}}}, {}});
  root.subkeys = {alpha, many};
  return *regf::build_hive(root);
}

Places find_places(const Image& image) {
  auto opened = Hive::from_image(image, "base");
  const Hive& hive = *opened;
  Places p{};
  p.root = hive.root().cell;
  p.alpha = (*hive.find_subkey(hive.root(), u"Alpha"))->cell;
  p.many = (*hive.find_subkey(hive.root(), u"Many"))->cell;
  p.child = hive.subkey(KeyRef{p.many}, 5)->cell;
  p.grandchild = hive.subkey(KeyRef{p.child}, 0)->cell;
  p.many_list = regf::load_u32(&(*hive.cell(p.many))[28]);
  p.alpha_values = regf::load_u32(&(*hive.cell(p.alpha))[40]);
  p.dword_vk = hive.value(KeyRef{p.alpha}, 0)->cell;
  p.cell_vk = hive.value(KeyRef{p.alpha}, 1)->cell;
  p.big_vk = hive.value(KeyRef{p.alpha}, 2)->cell;
  p.cell_data = regf::load_u32(&(*hive.cell(p.cell_vk))[8]);
  p.big_db = regf::load_u32(&(*hive.cell(p.big_vk))[8]);
  return p;
}

// Byte position of a field in a cell's payload.
size_t at(uint32_t cell, size_t field) { return 4096 + cell + 4 + field; }

struct Case {
  const char* what;
  std::function<void(Image&, const Places&)> mutate;
  const char* open_error;  // expected in the error when opening must fail
  const char* damage;      // else expected in the first damage report
};

const Case kCases[] = {
    {"truncated inside the base block", [](Image& b, const Places&) { b.resize(2000); }, "too short", nullptr},
    {"truncated inside the hive bins", [](Image& b, const Places&) { b.resize(b.size() / 2); }, "beyond end of file",
     nullptr},
    {"wrong signature", [](Image& b, const Places&) { b[0] = 'x'; }, "signature", nullptr},
    {"format version 1.7", [](Image& b, const Places&) { regf::store_u32(&b[24], 7); }, "version", nullptr},
    {"log file type", [](Image& b, const Places&) { regf::store_u32(&b[28], 6); }, "file type", nullptr},
    {"hive bins size not whole bins", [](Image& b, const Places&) { regf::store_u32(&b[40], 5000); }, "multiple",
     nullptr},
    {"root beyond the file", [](Image& b, const Places&) { regf::store_u32(&b[36], 0x7FFFFFF8); }, "beyond hive bins",
     nullptr},
    {"root into the middle of a cell", [](Image& b, const Places& p) { regf::store_u32(&b[36], p.root + 16); },
     "not the start of a cell", nullptr},
    {"root is a value", [](Image& b, const Places& p) { regf::store_u32(&b[36], p.dword_vk); }, "\"nk\"", nullptr},
    {"first hive bin signature", [](Image& b, const Places&) { b[4096] = 'X'; }, "first hive bin", nullptr},
    {"later hive bin signature", [](Image& b, const Places&) { b[4096 + 4096] = 'X'; }, nullptr, "hive bin header"},
    {"impossible cell size", [](Image& b, const Places& p) { regf::store_i32(&b[4096 + p.cell_data], -3); }, nullptr,
     "cell size impossible"},
    {"subkey list count beyond its cell",
     [](Image& b, const Places& p) { regf::store_u16(&b[at(p.many_list, 2)], 60000); }, nullptr,
     "larger than its cell"},
    {"key count larger than its list", [](Image& b, const Places& p) { regf::store_u32(&b[at(p.many, 20)], 31); },
     nullptr, "fewer entries"},
    {"key count smaller than its list", [](Image& b, const Places& p) { regf::store_u32(&b[at(p.many, 20)], 29); },
     nullptr, "more entries"},
    {"key count absurd", [](Image& b, const Places& p) { regf::store_u32(&b[at(p.many, 20)], 0xFFFFFFF0); }, nullptr,
     "larger than the hive can hold"},
    {"subkey list into the middle of a cell",
     [](Image& b, const Places& p) { regf::store_u32(&b[at(p.many, 28)], p.many_list + 8); }, nullptr,
     "not the start of a cell"},
    {"subkey entry is a value", [](Image& b, const Places& p) { regf::store_u32(&b[at(p.many_list, 4)], p.cell_vk); },
     nullptr, "\"nk\""},
    {"key name beyond its cell", [](Image& b, const Places& p) { regf::store_u16(&b[at(p.child, 72)], 5000); }, nullptr,
     "key name longer than its cell"},
    {"class name beyond its cell", [](Image& b, const Places& p) { regf::store_u16(&b[at(p.alpha, 74)], 4000); },
     nullptr, "class name longer"},
    {"value count larger than its list", [](Image& b, const Places& p) { regf::store_u32(&b[at(p.alpha, 36)], 9); },
     nullptr, "value count larger than its list"},
    {"value name beyond its cell", [](Image& b, const Places& p) { regf::store_u16(&b[at(p.cell_vk, 2)], 900); },
     nullptr, "value name longer than its cell"},
    {"value data beyond its cell", [](Image& b, const Places& p) { regf::store_u32(&b[at(p.cell_vk, 4)], 5000); },
     nullptr, "beyond its cell"},
    {"inline data longer than 4 bytes",
     [](Image& b, const Places& p) { regf::store_u32(&b[at(p.dword_vk, 4)], 0x80000010u); }, nullptr,
     "inline value data longer"},
    {"value data in a free cell",
     [](Image& b, const Places& p) {
       regf::store_i32(&b[4096 + p.cell_data], -regf::load_i32(&b[4096 + p.cell_data]));
     },
     nullptr, "cell is free"},
    {"big data with too few segments", [](Image& b, const Places& p) { regf::store_u16(&b[at(p.big_db, 2)], 2); },
     nullptr, "too few segments"},
    {"big data segment outside the file",
     [](Image& b, const Places& p) {
       uint32_t list = regf::load_u32(&b[at(p.big_db, 4)]);
       regf::store_u32(&b[at(list, 4)], 0x7FFFFF00);
     },
     nullptr, "beyond hive bins"},
    {"big data segment list too short", [](Image& b, const Places& p) { regf::store_u16(&b[at(p.big_db, 2)], 9000); },
     nullptr, "segment count larger than its list"},
    {"subkey list cycles back to the root",
     [](Image& b, const Places& p) {
       uint32_t list = regf::load_u32(&b[at(p.child, 28)]);
       regf::store_u32(&b[at(list, 4)], p.root);
     },
     nullptr, "reached twice"},
    {"two keys share one subkey list",
     [](Image& b, const Places& p) {
       regf::store_u32(&b[at(p.alpha, 20)], 30);
       regf::store_u32(&b[at(p.alpha, 28)], p.many_list);
     },
     nullptr, "reached twice"},
    {"value listed twice",
     [](Image& b, const Places& p) {
       regf::store_u32(&b[at(p.alpha_values, 4)], regf::load_u32(&b[at(p.alpha_values, 0)]));
     },
     nullptr, "reached twice"},
    {"security record freed",
     [](Image& b, const Places& p) {
       const uint32_t sk = regf::load_u32(&b[at(p.root, 44)]);
       regf::store_i32(&b[4096 + sk], -regf::load_i32(&b[4096 + sk]));
     },
     nullptr, "security record: cell is free"},
    {"security offset names a value",
     [](Image& b, const Places& p) { regf::store_u32(&b[at(p.alpha, 44)], p.cell_vk); }, nullptr,
     "security record: expected a \"sk\""},
    {"security reference count one short",
     [](Image& b, const Places& p) {
       const uint32_t sk = regf::load_u32(&b[at(p.root, 44)]);
       regf::store_u32(&b[at(sk, 12)], regf::load_u32(&b[at(sk, 12)]) - 1);
     },
     nullptr, "reference count is 33 but 34 keys use it"},
    {"index root holding an index root",
     [](Image& b, const Places& p) {
       b[at(p.many_list, 0)] = 'r';
       b[at(p.many_list, 1)] = 'i';
       regf::store_u16(&b[at(p.many_list, 2)], 1);
       regf::store_u32(&b[at(p.many_list, 4)], p.many_list);
     },
     nullptr, "reached twice"},
};

TEST(DamagedHive, EachCraftedImageGivesItsErrorOrItsReport) {
  const Image clean = base_image();
  const Places places = find_places(clean);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Image bytes = clean;
    c.mutate(bytes, places);
    auto hive = Hive::from_image(bytes, "crafted.hiv");
    if (c.open_error) {
      ASSERT_FALSE(hive) << "opened";
      const regf::Error& e = hive.error();
      EXPECT_NE(e.message.find(c.open_error), std::string::npos) << e.to_string();
      EXPECT_EQ(e.file, "crafted.hiv");
      EXPECT_TRUE(e.offset.has_value()) << e.to_string();
      continue;
    }
    ASSERT_TRUE(hive) << hive.error().to_string();
    const auto& damage = hive->damage();
    ASSERT_FALSE(damage.empty()) << "no damage reported";
    EXPECT_NE(damage.front().reason.find(c.damage), std::string::npos) << damage.front().to_string();
    EXPECT_GE(damage.front().offset, 4096u);
    auto strict = regf::read_tree(*hive);
    EXPECT_FALSE(strict) << "strict read accepted damage: " << damage.front().to_string();
    // What is not damaged stays readable: at least the root.
    auto partial = regf::walk_tree(*hive);
    EXPECT_EQ(partial.root.name, u"ROOT");
    auto refused = hive->set_value(hive->root(), u"new", regf::kRegDword, Image{1, 0, 0, 0});
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("damaged"), std::string::npos) << refused.error().to_string();
    EXPECT_FALSE(hive->add_subkey(hive->root(), u"new"));
  }
}

// The report names the key the damage was found under.
TEST(DamagedHive, ReportNamesThePath) {
  Image bytes = base_image();
  Places p = find_places(bytes);
  regf::store_u16(&bytes[at(p.grandchild, 72)], 5000);
  auto hive = Hive::from_image(bytes, "crafted.hiv");
  ASSERT_TRUE(hive);
  ASSERT_EQ(hive->damage().size(), 1u);
  EXPECT_EQ(hive->damage()[0].path, "Many\\c15");
  EXPECT_EQ(hive->damage()[0].offset, 4096u + p.grandchild);
  auto partial = regf::walk_tree(*hive);
  EXPECT_EQ(partial.root.subkeys[1].subkeys.size(), 30u);
  EXPECT_TRUE(partial.root.subkeys[1].subkeys[5].subkeys.empty());
}

// A list not in Windows' order still gives right answers, found or not found.
TEST(HostileHive, UnsortedSubkeyListStillFindsEveryName) {
  Image bytes = base_image();
  Places p = find_places(bytes);
  // Reverse the 30 entries of Many's hash leaf.
  for (int i = 0; i < 15; ++i)
    for (int k = 0; k < 8; ++k)
      std::swap(bytes[at(p.many_list, 4 + i * 8 + k)], bytes[at(p.many_list, 4 + (29 - i) * 8 + k)]);
  auto hive = Hive::from_image(bytes, "unsorted");
  ASSERT_TRUE(hive);
  KeyRef many{p.many};
  for (int i = 0; i < 30; ++i) {
    const std::u16string name = numbered(u"C", 10 + i);
    auto found = hive->find_subkey(many, name);
    ASSERT_TRUE(found && *found) << i;
    EXPECT_TRUE(base::equal_nocase(*hive->key_name(**found), name));
  }
  EXPECT_FALSE(*hive->find_subkey(many, u"c9"));
  EXPECT_FALSE(*hive->find_subkey(many, u"c40"));
}

// An index root repeating one leaf thousands of times, under a key claiming that many
// subkeys: refused quickly instead of expanding to millions of entries.
TEST(HostileHive, RepeatedLeafUnderIndexRootStaysBounded) {
  regf::TreeKey root{u"ROOT", {}, 0, {}, {}};
  regf::TreeKey wide{u"Wide", {}, 0, {}, {}};
  for (int i = 0; i < 1000; ++i) wide.subkeys.push_back({numbered(u"k", i), {}, 0, {}, {}});
  regf::TreeKey filler{u"Filler", {}, 0, {{u"pad", regf::kRegBinary, Image(60000, 0)}}, {}};
  root.subkeys = {filler, wide};
  Image bytes = *regf::build_hive(root);
  auto opened = Hive::from_image(bytes, "base");
  const Hive& clean = *opened;
  uint32_t wide_cell = (*clean.find_subkey(clean.root(), u"Wide"))->cell;
  uint32_t leaf = regf::load_u32(&(*clean.cell(wide_cell))[28]);
  // Turn the 60000-byte data cell into an index root of 14000 pointers to the same leaf.
  auto pad = **clean.find_value(*clean.find_subkey(clean.root(), u"Filler").value(), u"pad");
  uint32_t db = regf::load_u32(&(*clean.cell(pad.cell))[8]);
  uint32_t segments = regf::load_u32(&(*clean.cell(db))[4]);
  uint32_t first_segment = regf::load_u32(&(*clean.cell(segments))[0]);
  bytes[at(first_segment, 0)] = 'r';
  bytes[at(first_segment, 1)] = 'i';
  regf::store_u16(&bytes[at(first_segment, 2)], 4000);
  for (int i = 0; i < 4000; ++i) regf::store_u32(&bytes[at(first_segment, 4 + 4 * i)], leaf);
  regf::store_u32(&bytes[at(wide_cell, 28)], first_segment);
  regf::store_u32(&bytes[at(wide_cell, 20)], 4000 * 1000);

  auto start = std::chrono::steady_clock::now();
  auto hive = Hive::from_image(bytes, "hostile");
  ASSERT_TRUE(hive);
  EXPECT_FALSE(hive->damage().empty());
  EXPECT_FALSE(hive->subkey(KeyRef{wide_cell}, 5000));
  EXPECT_FALSE(hive->find_subkey(KeyRef{wide_cell}, u"k5"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// The damaged SYSTEM hive of the test data (zeroed hive bins): opened, its damage
// reported with paths, everything else read, writing refused.
TEST(DamagedHive, RealDamagedSystemHiveIsReadAroundItsDamage) {
  TempDir dir;
  ASSERT_TRUE(unpack_hive("corrupted_system_hive", dir.path("hive")));
  auto hive = Hive::open_file(dir.path("hive"));
  ASSERT_TRUE(hive) << hive.error().to_string();
  const auto& damage = hive->damage();
  EXPECT_GT(damage.size(), 100u);
  size_t with_path = 0;
  for (const auto& d : damage) {
    EXPECT_GE(d.offset, 4096u);
    EXPECT_LT(d.offset, hive->raw_image().size());
    with_path += !d.path.empty();
  }
  EXPECT_GT(with_path, 10u);
  size_t keys = 0;
  for (const auto& line : tree_lines(regf::walk_tree(*hive).root)) keys += line.find('|') == std::string::npos;
  EXPECT_GT(keys, 1500u);  // 1,687 keys lie outside the zeroed bins
  EXPECT_FALSE(hive->set_value(hive->root(), u"x", regf::kRegDword, Image{1, 0, 0, 0}));
}

}  // namespace
