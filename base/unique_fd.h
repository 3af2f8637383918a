// Owner of one Linux file descriptor.
#pragma once

#include <unistd.h>

#include "base/unique_handle.h"

namespace base {

inline int no_fd() noexcept { return -1; }
using UniqueFd = UniqueHandle<CloseWith<int, no_fd, ::close>>;

}  // namespace base
