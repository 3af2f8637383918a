// Counts as the tools' lines give them to people: digits grouped by thousands, as the
// summary block writes its counters, and the noun singular for one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace base {

// "600,004"
std::string grouped(uint64_t n);
// "1 value", "0 values", "1,100 values": the noun takes an "s" for any count but one.
std::string counted(uint64_t n, std::string_view noun);

}  // namespace base
