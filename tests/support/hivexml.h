// An independent hive reader for tests: runs hivex's `hivexml` on a file and parses its
// XML into a flat list of keys in visiting order (a key, its values in stored order,
// then its subkeys in stored order), and compares that with a regf::TreeKey.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "regf/tree.h"

namespace hivemend::testing {

struct ByteRun {
  uint64_t file_offset = 0;  // where the cell starts (its size field)
  uint64_t length = 0;       // hivexml's length: for a data cell, data size + 4
};

struct HivexmlValue {
  std::string name;     // UTF-8; empty for the default value
  std::string type;     // hivexml's type name: "string", "int32", "binary", ...
  bool base64 = false;  // data printed as base64: `bytes` holds it exactly
  std::vector<uint8_t> bytes;
  std::string text;                  // "value" attribute for strings and numbers, decoded
  std::vector<std::string> strings;  // for "string-list"
  std::vector<ByteRun> runs;         // the vk cell first, then the data cell when there is one
};

struct HivexmlKey {
  std::string path;  // names below the root joined by '\'; "" for the root
  std::string name;
  std::string mtime;  // "2012-04-07T13:05:14Z"
  std::vector<HivexmlValue> values;
};

struct HivexmlDump {
  std::vector<HivexmlKey> keys;  // the root first, then depth first in stored order
  size_t value_count() const;
};

// Runs `hivexml FILE` and parses its output; nullopt with the reason in *error when
// hivexml fails or prints something this parser does not know.
std::optional<HivexmlDump> run_hivexml(const std::string& hive_path, std::string* error);
// Parses hivexml output already at hand.
std::optional<HivexmlDump> parse_hivexml(std::string_view xml, std::string* error);

// The REG_* number hivexml's type name stands for (nullopt for "unknown").
std::optional<uint32_t> hivexml_type_number(const std::string& type);

// Differences between what hivexml read and `root` (a tree read from the same file
// whose bytes are `file`), one line each; empty when they agree. Checked: key paths and
// order, value names, order and types, and data: exactly where hivexml gives the bytes
// (base64, or the data cell's bytes in `file` through its byte run), else as decoded
// text or number. Stops after `max_lines` differences.
std::vector<std::string> compare_with_tree(const HivexmlDump& dump, const regf::TreeKey& root,
                                           std::span<const uint8_t> file, size_t max_lines = 20);

// Runs hivexml on the file at `path` and compares with `tree` (as compare_with_tree);
// empty when they agree, else the differences or why hivexml could not read the file.
std::vector<std::string> hivexml_differences(const std::string& path, const regf::TreeKey& tree);

}  // namespace hivemend::testing
