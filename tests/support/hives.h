// Hives for tests: files read and written as trees, trees compared line by line, and
// the subkey lists of a hive checked as Windows writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "regf/hive.h"
#include "regf/tree.h"

namespace hivemend::testing {

// A name made of a prefix and a number ("Key12").
std::u16string numbered(std::u16string prefix, int n);
// `n` bytes of value data, a different run for each seed.
std::vector<uint8_t> sample_bytes(size_t n, uint8_t seed);

// A text value's REGEDIT5 line, CR LF ended, as the registry export writes it ("@=" for
// the default value; REG_EXPAND_SZ as hex(2)).
std::string reg_line(const std::u16string& name, const std::string& text, uint32_t type = regf::kRegSz);

// A tree written as a new hive file (its folder made first); false on failure.
bool write_hive(const std::string& path, const regf::TreeKey& root);
// A hive file read whole with the engine; nullopt when it does not open or read.
std::optional<regf::TreeKey> read_hive(const std::string& path);

// One line per key (its path; with `details` also its class name and time) and one per
// value (path, name, type, data in hex), in stored order.
std::vector<std::string> tree_lines(const regf::TreeKey& root, bool details = false);
// "" when both trees give the same lines, else the first line that differs.
std::string tree_difference(const regf::TreeKey& want, const regf::TreeKey& got, bool details = false);

// What is wrong with the hive's subkey lists, one line each: every list is a hash leaf
// ("lh") or, beyond 1012 subkeys, an index root of hash leaves; names strictly in
// Windows' order, each entry with the name's hash.
std::vector<std::string> subkey_list_problems(const regf::Hive& hive);

}  // namespace hivemend::testing
