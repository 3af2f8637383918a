// A .reg document's changes made in place in an open hive, as regedit imports a file:
// keys created along each [KEY] path, values set, "name"=- and [-KEY] deleted. Only the
// cells those edits touch change; nothing is written to disk (Hive::commit does that).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "regf/hive.h"
#include "regf/regtext.h"
#include "regf/result.h"

namespace regf {

struct ApplyCounts {
  size_t values_set = 0;
  size_t values_deleted = 0;
  size_t keys_deleted = 0;
  bool changed() const { return values_set + values_deleted + keys_deleted > 0; }
};

// Applies `doc`'s entries in file order to `hive`, whose root key stands for the key path
// `root` (compared case-insensitively). [-ROOT] empties the root key, which itself stays;
// deleting what does not exist is no error and is not counted. A key outside `root` is
// an error naming `reg_file` and its line; the hive may then hold the entries before it.
Result<ApplyCounts> apply_reg(Hive& hive, const RegDocument& doc, std::span<const std::u16string> root,
                              std::string_view reg_file = {});

}  // namespace regf
