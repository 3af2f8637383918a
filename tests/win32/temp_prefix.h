// Test helpers for the files-and-volumes tests: a fresh prefix in a temporary folder
// (HIVEMEND_PREFIX restored afterwards), and small file helpers.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "regf/unicode.h"
#include "win32/prefix.h"
#include "win32/windows.h"

namespace win32_test {

class TempPrefix {
 public:
  TempPrefix() {
    std::string pattern = (std::filesystem::temp_directory_path() / "win32_test_XXXXXX").string();
    if (mkdtemp(pattern.data())) dir_ = pattern;
    if (const char* old = std::getenv("HIVEMEND_PREFIX")) old_ = old;
    setenv("HIVEMEND_PREFIX", (dir_ + "/prefix").c_str(), 1);
  }
  ~TempPrefix() {
    if (old_) setenv("HIVEMEND_PREFIX", old_->c_str(), 1);
    else unsetenv("HIVEMEND_PREFIX");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;

  // A folder of its own beside the prefix.
  std::string folder(const std::string& name) const {
    std::filesystem::create_directories(dir_ + "/" + name);
    return dir_ + "/" + name;
  }
  bool define(char letter, const std::string& target) const {
    return bool(hivemend::win32::define_drive(letter, target));
  }

 private:
  std::string dir_;
  std::optional<std::string> old_;
};

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string utf8(const char16_t* s) { return regf::to_utf8(s); }

// All names a search finds, in order ("" when it finds nothing), and the last error.
struct Found {
  std::vector<std::u16string> long_names, short_names;
  DWORD error = 0;
};

inline Found find_all(const std::u16string& pattern) {
  Found found;
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(pattern.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    found.error = GetLastError();
    return found;
  }
  do {
    found.long_names.push_back(data.cFileName);
    found.short_names.push_back(data.cAlternateFileName);
  } while (FindNextFileW(h, &data));
  found.error = GetLastError();
  FindClose(h);
  return found;
}

}  // namespace win32_test
