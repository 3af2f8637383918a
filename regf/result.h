// Result type of the hive engine: a value or an error that says what is wrong where.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace regf {

struct Error {
  std::string message;                 // what is wrong, in one line ("cell size beyond hive bin")
  std::optional<uint64_t> offset;      // file offset the fault was found at, when there is one
  std::string file;                    // file name, when known

  // "FILE: offset 0x1234: message" (parts that are missing are left out)
  std::string to_string() const;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}

  explicit operator bool() const { return v_.index() == 0; }
  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// For operations that give nothing back but may fail.
struct Ok {};
using Status = Result<Ok>;

inline Error make_error(std::string message, std::optional<uint64_t> offset = std::nullopt) {
  return Error{std::move(message), offset, {}};
}

}  // namespace regf
