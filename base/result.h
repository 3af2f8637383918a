// The result of an operation that may fail: its value, or the error that says why there
// is none. Each library names its own error type (the hive engine's regf::Error, the
// Windows layer's WinError) and an alias for its results.
#pragma once

#include <utility>
#include <variant>

namespace base {

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const { return v_.index() == 0; }
  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// The value of an operation that gives nothing back but may fail.
struct Ok {};

}  // namespace base
