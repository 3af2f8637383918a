// Result type of the layer's own pieces: a value, or the Windows error code that the API
// function in front of them reports through SetLastError.
#pragma once

#include <utility>
#include <variant>

#include "win32/types.h"

namespace hivemend::win32 {

struct WinError {
  DWORD code;
};

template <typename T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}
  Expected(WinError error) : v_(error) {}

  explicit operator bool() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  DWORD error() const { return std::get<1>(v_).code; }

 private:
  std::variant<T, WinError> v_;
};

}  // namespace hivemend::win32
