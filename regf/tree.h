// A hive's content as a plain tree: what .reg text describes, what a new hive is built
// from, and what two hives are compared by. Names and data are kept exactly: names as
// raw UTF-16 code units, data as the stored bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace regf {

// Value types as stored in the hive (REG_NONE = 0 ... REG_QWORD = 11; any other
// 32-bit number is kept as it is).
enum : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegDwordBigEndian = 5,
  kRegLink = 6,
  kRegMultiSz = 7,
  kRegResourceList = 8,
  kRegFullResourceDescriptor = 9,
  kRegResourceRequirementsList = 10,
  kRegQword = 11,
};

struct TreeValue {
  std::u16string name;  // empty: the key's default value
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
};

struct TreeKey {
  std::u16string name;
  std::optional<std::u16string> class_name;
  uint64_t last_written = 0;  // FILETIME; 0 when unknown
  std::vector<TreeValue> values;
  std::vector<TreeKey> subkeys;
};

}  // namespace regf
