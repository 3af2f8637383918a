// Writing a new hive file from a plain tree: key nodes with their class names, values
// of every type (big data above 16,344 bytes), hash leaf subkey lists sorted by
// upper-cased name as Windows keeps them, and one security cell shared by all keys.
#pragma once

#include <cstdint>
#include <vector>

#include "regf/result.h"
#include "regf/tree.h"

namespace regf {

// The image of a new format 1.5 hive holding `root` and everything below it, with a
// clean base block. Fails on names Windows would refuse (two subkeys or two values whose
// names differ only in case, key names longer than 255 characters) or nesting deeper
// than 512 levels.
Result<std::vector<uint8_t>> build_hive(const TreeKey& root);

}  // namespace regf
