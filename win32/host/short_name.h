// 8.3 short names for file systems that record none, generated the way NTFS generates
// them, and the test of whether a name is its own short name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hivemend::win32 {

// True when NTFS would keep `name` as its own DOS name and give it no separate short
// name: a stem of 1 to 8 and an extension of 0 to 3 characters that are all valid in
// short names, one dot at most, no blank (case does not matter).
bool is_8dot3_name(std::u16string_view name);

// NTFS' checksum of a long name, the four hex digits of the hashed short-name form.
uint16_t short_name_checksum(std::u16string_view name);

// The short name NTFS would give `long_name` in a directory where `taken` tells which
// names (upper case) are already in use: the upper-cased stem without blanks and dots,
// characters not valid in short names as '_', cut to six characters, then ~1 to ~4;
// after that two characters of the stem, the checksum in hex and ~1, ~2, ...; the
// first three characters after the last dot as the extension.
std::u16string generate_short_name(std::u16string_view long_name,
                                   const std::function<bool(std::u16string_view)>& taken);

// Short names for all entries of one directory, deterministic for the same set of
// names whatever order they come in: names are given out in upper-case name order (the
// order of an NTFS index), avoiding every name that is its own short name. An entry
// whose name is its own short name gets "".
std::vector<std::u16string> generate_short_names(const std::vector<std::u16string>& long_names);

}  // namespace hivemend::win32
