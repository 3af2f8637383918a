#include "base/counts.h"

namespace base {

std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string counted(uint64_t n, std::string_view noun) {
  return grouped(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}

}  // namespace base
