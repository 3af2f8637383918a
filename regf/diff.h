// Comparing two hive trees: the keys and values one has and the other lacks, and the
// values whose type or data differ.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "regf/tree.h"

namespace regf {

enum class ChangeKind {
  kKeyAdded,      // `after` holds the key with everything below it
  kKeyRemoved,    // `before` holds the key with everything below it
  kKeyRenamed,    // same name but for letter case
  kClassChanged,  // class name differs (or is present in one only)
  kValueAdded,
  kValueRemoved,
  kValueChanged,  // type, data or the name's letter case differ
};

struct TreeChange {
  ChangeKind kind;
  std::vector<std::u16string> path;  // the key's path below the compared roots (a's spelling)
  const TreeKey* key_before = nullptr;
  const TreeKey* key_after = nullptr;
  const TreeValue* value_before = nullptr;
  const TreeValue* value_after = nullptr;
};

// Keys and values are matched by name the way the registry matches them (Windows'
// case-insensitive comparison); order of keys and values and last-written times are not
// compared. Changes come in pre-order: a key's value changes, then its subkeys'. The
// pointers refer into `a` and `b`, which must outlive the result.
std::vector<TreeChange> diff_trees(const TreeKey& a, const TreeKey& b);

// The changes as text lines in .reg notation, each key path starting with `root`:
//   +[ROOT\Key]                 key added (with all below it)
//   -[ROOT\Key]                 key removed (with all below it)
//   *[ROOT\Key] renamed to "KEY"
//    [ROOT\Key]                 the key whose values or class follow:
//   -"name"=dword:00000001      value removed (or its old state)
//   +"name"=dword:00000002      value added (or its new state)
//   -class "old" / +class "new"
// Lines end with '\n'; text is UTF-8.
std::string format_changes(const std::vector<TreeChange>& changes, std::u16string_view root);

}  // namespace regf
