// Which forked copy of the process this is. A child made by fork() shares its parent's
// descriptors, inotify queues among them, and cannot tell whose events it reads; state
// tied to such a descriptor notes the generation it was made in and trusts nothing once
// it differs. Cheaper than asking the kernel for the process id on every call.
#pragma once

#include <cstdint>

namespace hivemend::win32 {

// 0 in the process that first asked; one more in a child at each fork() after that.
uint64_t fork_generation();

}  // namespace hivemend::win32
