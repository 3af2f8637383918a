// Result type of the hive engine: a value or an error that says what is wrong where.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/result.h"

namespace regf {

struct Error {
  std::string message;             // what is wrong, in one line ("cell size beyond hive bin")
  std::optional<uint64_t> offset;  // file offset the fault was found at, when there is one
  std::string file;                // file name, when known

  // "FILE: offset 0x1234: message" (parts that are missing are left out)
  std::string to_string() const;
};

template <typename T>
using Result = base::Result<T, Error>;

// For operations that give nothing back but may fail.
using base::Ok;
using Status = Result<Ok>;

inline Error make_error(std::string message, std::optional<uint64_t> offset = std::nullopt) {
  return Error{std::move(message), offset, {}};
}

}  // namespace regf
