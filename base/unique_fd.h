// Owner of one Linux file descriptor.
#pragma once

#include <unistd.h>

#include "base/unique_handle.h"

namespace base {

struct FdTraits {
  using type = int;
  static int invalid() noexcept { return -1; }
  static void close(int fd) noexcept { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace base
