// Reading real hives: everything the engine reads from the Windows 7 SYSTEM hive equals
// what hivex's hivexml reads, navigation by handle agrees with the whole-tree walk, and
// lookups by name find every subkey in any letter case.
#include "regf/hive.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "base/unicode.h"
#include "regf/format.h"
#include "regf/walk.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/hivexml.h"

namespace {

using namespace hivemend::testing;
using regf::Hive;
using regf::KeyRef;

class SystemHive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    ASSERT_TRUE(unpack_hive("SYSTEM", path_ = dir_->path("SYSTEM")));
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static inline std::unique_ptr<TempDir> dir_;
  static inline std::string path_;
};

TEST_F(SystemHive, EveryKeyAndValueEqualsWhatHivexmlReads) {
  auto hive = Hive::open_file(path_);
  ASSERT_TRUE(hive) << hive.error().to_string();
  EXPECT_FALSE(hive->dirty());
  EXPECT_TRUE(hive->damage().empty()) << hive->damage().front().to_string();
  auto tree = regf::read_tree(*hive);
  ASSERT_TRUE(tree) << tree.error().to_string();
  std::string error;
  auto dump = run_hivexml(path_, &error);
  ASSERT_TRUE(dump) << error;
  EXPECT_EQ(dump->keys.size(), 30756u);
  EXPECT_EQ(dump->value_count(), 73456u);
  EXPECT_EQ(compare_with_tree(*dump, *tree, hive->raw_image()), std::vector<std::string>{});

  // The comparison itself catches a changed byte in each kind of data.
  for (uint32_t type : {regf::kRegSz, regf::kRegBinary, regf::kRegDword, regf::kRegMultiSz}) {
    auto changed = *tree;
    std::function<bool(regf::TreeKey&)> change = [&](regf::TreeKey& k) {
      for (auto& v : k.values)
        if (v.type == type && v.data.size() >= 4) return v.data[0] ^= 0x20, true;
      for (auto& c : k.subkeys)
        if (change(c)) return true;
      return false;
    };
    ASSERT_TRUE(change(changed));
    EXPECT_FALSE(compare_with_tree(*dump, changed, hive->raw_image()).empty()) << type;
  }
}

// Walking by handle (subkey(i), value(i)) gives the same tree as the walk; every subkey
// is found by its name, upper- and lower-cased, and a name that sorts between existing
// ones is reported absent.
TEST_F(SystemHive, HandlesAndLookupsAgreeWithTheWalk) {
  auto hive = Hive::open_file(path_);
  ASSERT_TRUE(hive) << hive.error().to_string();
  auto tree = regf::read_tree(*hive);
  ASSERT_TRUE(tree);
  size_t lookups = 0;
  std::function<void(KeyRef, const regf::TreeKey&)> check = [&](KeyRef k, const regf::TreeKey& t) {
    ASSERT_EQ(*hive->key_name(k), t.name);
    ASSERT_EQ(*hive->class_name(k), t.class_name);
    ASSERT_EQ(*hive->last_written(k), t.last_written);
    ASSERT_EQ(*hive->value_count(k), t.values.size());
    for (uint32_t i = 0; i < t.values.size(); ++i) {
      auto v = *hive->value(k, i);
      ASSERT_EQ(*hive->value_name(v), t.values[i].name);
      ASSERT_EQ(*hive->value_type(v), t.values[i].type);
      ASSERT_EQ(*hive->value_size(v), t.values[i].data.size());
      ASSERT_EQ(*hive->value_data(v), t.values[i].data);
    }
    ASSERT_EQ(*hive->subkey_count(k), t.subkeys.size());
    for (uint32_t i = 0; i < t.subkeys.size(); ++i) {
      const KeyRef child = *hive->subkey(k, i);
      std::u16string lower;
      for (char16_t c : t.subkeys[i].name) lower += (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
      for (const auto& probe : {t.subkeys[i].name, base::upcase(t.subkeys[i].name), lower}) {
        auto found = hive->find_subkey(k, probe);
        ASSERT_TRUE(found && *found) << base::to_utf8(probe);
        ASSERT_EQ((*found)->cell, child.cell);
        ++lookups;
      }
      auto absent = hive->find_subkey(k, t.subkeys[i].name + u"\x01");
      ASSERT_TRUE(absent && !*absent) << base::to_utf8(t.subkeys[i].name);
      check(child, t.subkeys[i]);
    }
  };
  check(hive->root(), *tree);
  EXPECT_EQ(lookups, 3u * 30755u);
  // A path opened component by component, in a case Windows would accept.
  KeyRef k = hive->root();
  for (const char16_t* part : {u"controlset001", u"SERVICES", u"Tcpip", u"parameters"}) {
    auto next = hive->find_subkey(k, part);
    ASSERT_TRUE(next && *next) << base::to_utf8(part);
    k = **next;
  }
  EXPECT_EQ(*hive->key_name(k), u"Parameters");
}

// Sequence numbers that differ or a wrong checksum make a hive dirty, still readable.
TEST_F(SystemHive, DirtyBaseBlocksAreReportedAndStillRead) {
  const auto clean = read_bytes(path_);
  const struct {
    const char* what;
    size_t offset;
    uint32_t xor_mask;
    bool fix_checksum;
  } cases[] = {
      {"primary sequence ahead", regf::base_block::kPrimarySequence, 1, true},
      {"secondary sequence changed", regf::base_block::kSecondarySequence, 4, true},
      {"checksum wrong", regf::base_block::kChecksum, 0x100, false},
  };
  for (const auto& c : cases) {
    auto bytes = clean;
    regf::store_u32(&bytes[c.offset], regf::load_u32(&bytes[c.offset]) ^ c.xor_mask);
    if (c.fix_checksum) regf::store_u32(&bytes[regf::base_block::kChecksum], regf::base_block_checksum(bytes.data()));
    auto hive = Hive::from_image(bytes, "SYSTEM");
    ASSERT_TRUE(hive) << c.what;
    EXPECT_TRUE(hive->dirty()) << c.what;
    EXPECT_TRUE(*hive->subkey_count(hive->root()) > 0) << c.what;
    auto refused = hive->set_value(hive->root(), u"x", regf::kRegDword, std::vector<uint8_t>{1, 0, 0, 0});
    ASSERT_FALSE(refused) << c.what;
    EXPECT_NE(refused.error().message.find("dirty"), std::string::npos) << c.what;
  }
}

}  // namespace
