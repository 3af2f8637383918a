// Fuzz target: a hive image opened, walked whole and checked for damage.
//
// Promises checked beyond "no crash": an image that opens walks to the same damage report
// by both walks; read_tree() succeeds exactly when the walk found no damage; every
// subkey and value the walk kept can be found again by name.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "regf/hive.h"
#include "regf/walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto hive = regf::Hive::from_image(std::vector<uint8_t>(data, data + size), "fuzz.hive");
  if (!hive) {
    FUZZ_CHECK(!hive.error().message.empty(), "an error without a message");
    return 0;
  }
  regf::WalkReport report = regf::walk_tree(*hive);
  std::vector<regf::Damage> checked = regf::check_tree(*hive);
  FUZZ_CHECK(checked.size() == report.damage.size(), "check_tree and walk_tree disagree");
  for (const auto& d : report.damage) FUZZ_CHECK(!d.to_string().empty(), "");

  const auto& all = hive->damage();
  FUZZ_CHECK(all.size() >= report.damage.size(), "damage() lost part of the walk's report");
  auto tree = regf::read_tree(*hive);
  FUZZ_CHECK(tree.ok() == report.damage.empty(), "read_tree disagrees with the walk");

  // Lookups by name over what the walk kept of the root key.
  const regf::KeyRef root = hive->root();
  for (const auto& sub : report.root.subkeys) {
    auto found = hive->find_subkey(root, sub.name);
    if (!found || !*found) {
      FUZZ_CHECK(!report.damage.empty(), "a walked subkey not found by name in a sound hive");
      continue;
    }
    auto name = hive->key_name(**found);
    FUZZ_CHECK(name && base::equal_nocase(*name, sub.name), "find_subkey returned another key");
  }
  for (const auto& value : report.root.values) {
    auto found = hive->find_value(root, value.name);
    if (!found || !*found) {
      FUZZ_CHECK(!report.damage.empty(), "a walked value not found by name in a sound hive");
      continue;
    }
    auto name = hive->value_name(**found);
    FUZZ_CHECK(name && base::equal_nocase(*name, value.name), "find_value returned another value");
  }
  return 0;
}
