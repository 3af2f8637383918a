// Registry text files (.reg), as regedit reads and writes them: "Windows Registry Editor
// Version 5.00" (UTF-16LE with a byte-order mark, or UTF-8) and the older "REGEDIT4"
// (8-bit text; our 8-bit code page is UTF-8).
//
// Export is lossless for key names, value names, value types and data bytes, so that
// reading back what was written gives the same tree byte for byte. Where regedit's
// readable forms would lose bytes, another form is written:
//  - REG_SZ data is written as "text" only when it is exactly UTF-16 text plus one
//    terminating NUL, with no other NUL, no line break and no unpaired surrogate;
//    otherwise as hex(1):. REG_EXPAND_SZ and REG_MULTI_SZ are always hex(2): / hex(7):.
//  - dword: only for REG_DWORD data of exactly 4 bytes; otherwise hex(4):.
//  - A value name holding a code unit below U+0020 or an unpaired surrogate has that
//    code unit written as \uXXXX (four hex digits) inside the quotes; \\ and \" are
//    regedit's own escapes. On reading, \n (as Wine writes a line feed) is also taken.
//  - A key name that is empty or holds a backslash, a code unit below U+0020 or an
//    unpaired surrogate is written after a doubled backslash as its UTF-16 code units
//    in hex, four digits each: [HKEY_LOCAL_MACHINE\Foo\\0061d800] is key "Foo" with the
//    subkey "a" U+D800. Windows never allows a backslash or an empty name in a key
//    name, so "\\" never occurs in a path regedit writes.
//  - So is a path's first name when it begins with '-': "[-" opens a deletion.
// Class names and last-written times have no place in .reg text and are not kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "regf/hive.h"
#include "regf/result.h"
#include "regf/tree.h"

namespace regf {

enum class RegFormat { kRegedit5, kRegedit4 };
// kUtf8Bom: UTF-8 that began with EF BB BF; written back the same way.
enum class RegEncoding { kUtf8, kUtf8Bom, kUtf16Le };

// One [key] section of a document.
struct RegEntry {
  std::vector<std::u16string> path;            // key path components, root first, exactly as named
  bool delete_key = false;                     // [-path]: remove the key and everything below it
  std::vector<TreeValue> values;               // in file order
  std::vector<std::u16string> deleted_values;  // "name"=-
  size_t line = 0;                             // line of the [path] line, from 1
};

struct RegDocument {
  RegFormat format = RegFormat::kRegedit5;
  RegEncoding encoding = RegEncoding::kUtf8;
  std::vector<RegEntry> entries;  // in file order; a key may appear more than once
};

// Reads a whole .reg file's bytes. Errors name the line: "FILE: line 12: bad hex byte".
Result<RegDocument> parse_reg(std::span<const uint8_t> bytes, std::string_view file_name = {});
Result<RegDocument> read_reg_file(const std::string& path);

// A key path as written between brackets (components joined by backslashes, awkward
// components in the doubled-backslash hex form), and its inverse for root paths given by
// users ("HKEY_LOCAL_MACHINE\SYSTEM"); a trailing backslash is ignored.
std::u16string join_key_path(std::span<const std::u16string> path);
Result<std::vector<std::u16string>> split_key_path(std::u16string_view text);

// Applies the document's entries in order (keys created along their path, values added
// or replaced by case-insensitive name, deletions applied) and gives the tree below each
// root, named by the root's last component. A key that lies below none of the roots is
// an error naming its line. Root paths compare case-insensitively.
Result<std::vector<TreeKey>> reg_subtrees(const RegDocument& doc, std::span<const std::u16string> roots,
                                          std::string_view file_name = {});
Result<TreeKey> reg_subtree(const RegDocument& doc, std::u16string_view root, std::string_view file_name = {});

// One tree to write below a root path ("HKEY_LOCAL_MACHINE\SYSTEM"); the tree's own name
// is not used.
struct RegRoot {
  std::u16string path;
  const TreeKey* key = nullptr;
};

struct RegWriteOptions {
  RegFormat format = RegFormat::kRegedit5;
  RegEncoding encoding = RegEncoding::kUtf8;  // REGEDIT4 text is 8-bit: no kUtf16Le
};

// The whole document: header, then every key in pre-order (its line, its values, a
// blank line), CR LF line ends. Fails only for REGEDIT4 when an REG_EXPAND_SZ or
// REG_MULTI_SZ value is not UTF-16 text that the 8-bit form can carry.
Result<std::vector<uint8_t>> write_reg(std::span<const RegRoot> roots, const RegWriteOptions& options = {});

// Where text goes as it is written, piece by piece; false stops the writing.
using RegSink = std::function<bool(std::span<const uint8_t>)>;

// The whole document of one hive below `root`, as write_reg gives it for the hive's tree,
// written straight from the hive's cells into `sink` in pieces: no tree and no whole text
// in memory. A damaged hive is refused, before anything is written, with the error
// read_tree gives; a REGEDIT4 refusal (as write_reg's) comes after the text before it;
// a refusal of the sink is "write error".
Status write_reg_hive(const Hive& hive, std::u16string_view root, const RegSink& sink,
                      const RegWriteOptions& options = {});

// One value as its line would read ("\"name\"=dword:00000001"), unwrapped; for reports.
std::u16string format_reg_value(const TreeValue& value);
// The same line in UTF-8, appended to `out`.
void append_reg_value_utf8(std::string& out, const TreeValue& value);

}  // namespace regf
