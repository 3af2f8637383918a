// Walking a whole hive: its content as a TreeKey, and the report of every damaged place.
// A walk skips only what is damaged (a key, a value, a subkey list) and says so; it
// refuses a cell reached twice (a cyclic or shared list, a value listed twice) and keys
// nested deeper than Windows allows, so its work stays bounded by the file's size.
#pragma once

#include <vector>

#include "regf/hive.h"
#include "regf/result.h"
#include "regf/tree.h"

namespace regf {

struct WalkReport {
  TreeKey root;
  std::vector<Damage> damage;  // empty for a sound hive
};

// Everything readable, with the damaged places left out and listed.
WalkReport walk_tree(const Hive& hive);
// The whole content; an Error naming the first damaged place when there is any.
Result<TreeKey> read_tree(const Hive& hive);
// The first damaged place as read_tree names it, without copying the content.
Status check_sound(const Hive& hive);
// Only the damage report (no content is copied).
std::vector<Damage> check_tree(const Hive& hive);

}  // namespace regf
