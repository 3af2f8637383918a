// A fresh prefix for registry tests: HIVEMEND_PREFIX points at a new temporary folder
// for the life of the object and is restored afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "tests/regf/hive_files.h"
#include "win32/registry.h"

namespace registry_test {

class ScopedPrefix {
 public:
  ScopedPrefix() {
    if (const char* old = std::getenv("HIVEMEND_PREFIX")) old_ = old;
    setenv("HIVEMEND_PREFIX", dir_.file("prefix").c_str(), 1);
  }
  ~ScopedPrefix() {
    if (old_) setenv("HIVEMEND_PREFIX", old_->c_str(), 1);
    else unsetenv("HIVEMEND_PREFIX");
  }
  ScopedPrefix(const ScopedPrefix&) = delete;
  ScopedPrefix& operator=(const ScopedPrefix&) = delete;

  const regf_test::TempDir& dir() const { return dir_; }
  std::string system_reg() const { return dir_.file("prefix/system.reg"); }

 private:
  regf_test::TempDir dir_;
  std::optional<std::string> old_;
};

// Owner of an open key.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY k) : key_(k) {}
  Key(Key&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  Key& operator=(Key&& other) noexcept {
    std::swap(key_, other.key_);
    return *this;
  }
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }
  HKEY* out() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace registry_test
