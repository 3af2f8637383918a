// Every name a directory search of the platform layer finds, for the file tests.
#pragma once

#include <string>
#include <vector>

#include "win32/kernel32/file.h"

namespace hivemend::testing {

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

}  // namespace hivemend::testing
