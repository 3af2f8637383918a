// Owner of one resource that a C interface hands out as a plain value (a descriptor, a
// handle, a key, an interface pointer) and takes back through a close function.
#pragma once

#include <type_traits>
#include <utility>

namespace base {

// Traits name the value type, the value that owns nothing and the close function;
// CloseWith below makes them from two functions.
template <typename Traits>
class UniqueHandle {
 public:
  using type = typename Traits::type;

  UniqueHandle() = default;
  explicit UniqueHandle(type value) : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  type get() const { return value_; }
  // For an owner of a pointer (an interface reference): calls through it.
  type operator->() const requires std::is_pointer_v<type> { return value_; }
  explicit operator bool() const { return value_ != Traits::invalid(); }
  type release() { return std::exchange(value_, Traits::invalid()); }
  void reset(type value = Traits::invalid()) {
    if (value_ != Traits::invalid()) Traits::close(value_);
    value_ = value;
  }
  // Where a function that hands out a new resource through a pointer stores it; what
  // was owned before is closed first.
  type* put() {
    reset();
    return &value_;
  }

 private:
  type value_ = Traits::invalid();
};

// Traits from functions: Invalid() gives the value that owns nothing, Close(value) gives
// the resource back (what it returns is not looked at).
template <typename T, auto Invalid, auto Close>
struct CloseWith {
  using type = T;
  static T invalid() noexcept { return Invalid(); }
  static void close(T value) noexcept { Close(value); }
};

}  // namespace base
