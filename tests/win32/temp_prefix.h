// Helpers of the files-and-volumes tests: the shared prefix and file helpers under the
// names these tests use, and every name a directory search finds.
#pragma once

#include <string>
#include <vector>

#include "regf/unicode.h"
#include "tests/support/files.h"
#include "tests/support/prefix.h"
#include "win32/windows.h"

namespace win32_test {

using hivemend::testing::read_text;
using hivemend::testing::write_text;

class TempPrefix : public hivemend::testing::TestPrefix {
 public:
  bool define(char letter, const std::string& target) const { return define_drive(letter, target); }
};

inline std::string utf8(const char16_t* s) { return regf::to_utf8(s); }

// All names a search finds, in order, and the last error.
struct Found {
  std::vector<std::u16string> long_names, short_names;
  DWORD error = 0;
};

inline Found find_all(const std::u16string& pattern) {
  Found found;
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(pattern.c_str(), &data);
  for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileW(h, &data)) {
    found.long_names.push_back(data.cFileName);
    found.short_names.push_back(data.cAlternateFileName);
  }
  found.error = GetLastError();
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
  return found;
}

}  // namespace win32_test
