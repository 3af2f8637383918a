// The command's one error: the line a user reads, naming what failed (a volume, a file,
// an option) and why. Every fallible step of the command gives a Result with it.
#pragma once

#include <string>

#include "base/result.h"

namespace hivemend::repair_tool {

struct Error {
  std::string message;
};

template <typename T>
using Result = base::Result<T, Error>;
using Status = Result<base::Ok>;

}  // namespace hivemend::repair_tool
