// Fuzz target: a hive image opened, edited as the input says, written out and opened
// again.
//
// The input's last bytes drive the edits (FuzzedDataProvider takes numbers from the end);
// the rest is the image. Unless the first flag bit says otherwise, the base block is made
// clean first, so most inputs get past the dirty check and reach the editing code.
//
// Promises checked: a dirty or damaged hive refuses every edit and keeps its bytes; a
// sound hive takes every edit (set_value replacing or adding values of sizes around the
// inline, one-cell and big data limits; add_subkey), its image() opens again clean and
// undamaged, and reads back as the tree before the edits with the edits applied.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/walk.h"

namespace {

using regf::KeyRef;
using regf::TreeKey;
using regf::TreeValue;

// Data sizes around the limits the engine switches storage at: inline (4 bytes), one
// cell, big data segments (16,344 bytes each).
constexpr std::array<uint32_t, 16> kSizes = {0,     1,     3,     4,     5,     8,     100,   1000,
                                             16343, 16344, 16345, 16352, 32688, 32689, 40000, 100000};

struct Edit {
  bool add_key = false;
  std::vector<uint8_t> path;  // subkey index picks from the root down
  uint8_t name_kind = 0;
  uint8_t name_pick = 0;
  uint32_t type = 0;
  uint32_t size = 0;
  uint8_t fill = 0;
};

std::u16string made_name(uint8_t kind, uint8_t pick) {
  switch (kind % 6) {
    case 0: return u"v" + std::u16string(1, char16_t(u'a' + pick % 26));
    case 1: return u"Name" + std::u16string(1, char16_t(u'0' + pick % 10));
    case 2: return std::u16string(1 + pick % 40, u'\u00e9');             // Latin-1: stored compressed
    case 3: return u"\u4e2d\u6587" + std::u16string(1, char16_t(pick));  // UTF-16 stored
    case 4: return std::u16string(200 + pick, u'k');                     // over 255 for high picks
    default: return pick % 2 ? u"" : u"a\\b";                            // refused as key names
  }
}

bool duplicate_names(const TreeKey& key) {
  for (size_t i = 0; i < key.subkeys.size(); ++i)
    for (size_t j = i + 1; j < key.subkeys.size(); ++j)
      if (base::equal_nocase(key.subkeys[i].name, key.subkeys[j].name)) return true;
  for (size_t i = 0; i < key.values.size(); ++i)
    for (size_t j = i + 1; j < key.values.size(); ++j)
      if (base::equal_nocase(key.values[i].name, key.values[j].name)) return true;
  return std::any_of(key.subkeys.begin(), key.subkeys.end(), duplicate_names);
}

void make_clean(std::vector<uint8_t>& image) {
  if (image.size() < regf::kBaseBlockSize) return;
  uint8_t* b = image.data();
  regf::store_u32(b + regf::base_block::kSecondarySequence, regf::load_u32(b + regf::base_block::kPrimarySequence));
  regf::store_u32(b + regf::base_block::kChecksum, regf::base_block_checksum(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t flags = in.ConsumeIntegral<uint8_t>();
  std::vector<Edit> edits(in.ConsumeIntegralInRange<size_t>(1, 8));
  for (Edit& e : edits) {
    e.add_key = in.ConsumeIntegralInRange<uint8_t>(0, 3) == 0;
    e.path.resize(in.ConsumeIntegralInRange<size_t>(0, 3));
    for (uint8_t& p : e.path) p = in.ConsumeIntegral<uint8_t>();
    e.name_kind = in.ConsumeIntegral<uint8_t>();
    e.name_pick = in.ConsumeIntegral<uint8_t>();
    const uint8_t type_pick = in.ConsumeIntegral<uint8_t>();
    e.type = type_pick < 12 ? type_pick : 0x10000u + type_pick;
    const uint8_t size_pick = in.ConsumeIntegral<uint8_t>();
    e.size = size_pick < 128 ? kSizes[size_pick % kSizes.size()] : size_pick - 128u;
    e.fill = in.ConsumeIntegral<uint8_t>();
  }
  std::vector<uint8_t> image = in.ConsumeRemainingBytes<uint8_t>();
  if (!(flags & 1)) make_clean(image);

  auto opened = regf::Hive::from_image(image, "fuzz.hive");
  if (!opened) return 0;
  regf::Hive& hive = *opened;

  if (hive.dirty() || !hive.damage().empty()) {
    const uint8_t one[] = {1, 2, 3, 4, 5, 6};
    FUZZ_CHECK(!hive.set_value(hive.root(), u"x", regf::kRegBinary, one), "an unsound hive took a value");
    FUZZ_CHECK(!hive.add_subkey(hive.root(), u"x"), "an unsound hive took a subkey");
    FUZZ_CHECK(std::equal(image.begin(), image.end(), hive.raw_image().begin(), hive.raw_image().end()),
               "a refused edit changed the image");
    return 0;
  }

  auto before = regf::read_tree(hive);
  FUZZ_CHECK(before.ok(), "a hive without damage failed to read");
  TreeKey model = std::move(*before);
  const bool compare = !duplicate_names(model);

  for (const Edit& e : edits) {
    // The same key in the hive and in the model: the same subkey indexes from the root,
    // the model's subkeys kept in the hive's stored order.
    KeyRef key = hive.root();
    TreeKey* node = &model;
    for (uint8_t pick : e.path) {
      if (node->subkeys.empty()) break;
      const uint32_t index = pick % node->subkeys.size();
      auto child = hive.subkey(key, index);
      FUZZ_CHECK(child.ok(), child.ok() ? "" : child.error().to_string());
      key = *child;
      node = &node->subkeys[index];
    }
    std::u16string name = made_name(e.name_kind, e.name_pick);

    if (e.add_key) {
      const bool exists = std::any_of(node->subkeys.begin(), node->subkeys.end(),
                                      [&](const TreeKey& k) { return base::equal_nocase(k.name, name); });
      const bool refused_name = name.empty() || name.size() > 255 || name.find(u'\\') != name.npos;
      auto added = hive.add_subkey(key, name);
      if (exists || refused_name) {
        FUZZ_CHECK(!added, "add_subkey took a name it must refuse");
        continue;
      }
      if (!added && node->subkeys.size() >= 0xFFFF) continue;  // a full leaf
      FUZZ_CHECK(added.ok(), added.ok() ? "" : added.error().to_string());
      auto count = hive.subkey_count(key);
      FUZZ_CHECK(count && *count == node->subkeys.size() + 1, "subkey count not raised by one");
      size_t at = 0;
      while (at < *count && hive.subkey(key, uint32_t(at))->cell != added->cell) ++at;
      FUZZ_CHECK(at < *count, "the added subkey is not in its parent's list");
      TreeKey fresh;
      fresh.name = name;
      node->subkeys.insert(node->subkeys.begin() + ptrdiff_t(at), std::move(fresh));
    } else {
      // A name of an existing value in another letter case replaces that value.
      if (e.name_kind % 7 == 6 && !node->values.empty()) {
        name = node->values[e.name_pick % node->values.size()].name;
        for (char16_t& c : name) c = base::upcase(c);
      }
      std::vector<uint8_t> bytes(e.size);
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(e.fill + i * 131 + (i >> 8));
      auto set = hive.set_value(key, name, e.type, bytes);
      FUZZ_CHECK(set.ok(), set.ok() ? "" : set.error().to_string());
      auto old = std::find_if(node->values.begin(), node->values.end(),
                              [&](const TreeValue& v) { return base::equal_nocase(v.name, name); });
      if (old != node->values.end()) {
        old->type = e.type;
        old->data = std::move(bytes);
      } else {
        node->values.push_back(TreeValue{name, e.type, std::move(bytes)});
      }
    }
  }

  auto reopened = regf::Hive::from_image(hive.image(), "fuzz.out");
  FUZZ_CHECK(reopened.ok(), reopened.ok() ? "" : reopened.error().to_string());
  FUZZ_CHECK(!reopened->dirty(), "the written image is dirty");
  const auto& damage = reopened->damage();
  FUZZ_CHECK(damage.empty(), damage.empty() ? "" : damage.front().to_string());
  auto after = regf::read_tree(*reopened);
  FUZZ_CHECK(after.ok(), "the written image failed to read");
  if (compare) {
    std::string difference = hivemend_fuzz::tree_difference(model, *after);
    FUZZ_CHECK(difference.empty(), difference);
  }
  return 0;
}
