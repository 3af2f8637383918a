#include "regf/result.h"

#include <cstdio>

namespace regf {

std::string Error::to_string() const {
  std::string out;
  if (!file.empty()) out += file + ": ";
  if (offset) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "offset 0x%llx: ", static_cast<unsigned long long>(*offset));
    out += buf;
  }
  return out + message;
}

}  // namespace regf
