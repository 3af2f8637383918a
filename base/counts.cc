#include "base/counts.h"

namespace base {

std::string grouped(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string counted(uint64_t n, std::string_view noun) {
  return grouped(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}

}  // namespace base
