// Cell allocation inside the hive bins: free cells found on opening are reused (the
// smallest that fits, split when larger), new hive bins are appended when none fits,
// and freed cells are merged with free neighbours in the same bin. The Hive member
// functions doing this are in alloc.cc.
#pragma once

#include <cstdint>

#include "regf/format.h"

namespace regf {

inline uint32_t cell_size_for(uint32_t payload) {
  return (payload + kCellHeaderSize + kCellAlignment - 1) / kCellAlignment * kCellAlignment;
}

}  // namespace regf
