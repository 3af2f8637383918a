// A look at the drives instead of a run: what the program's directory search finds
// (--list) and how the repair resolves a path (--resolve), answered in this process
// through the Windows layer over the drive letters the run would have.
#pragma once

#include "tools/hivemend-repair/error.h"
#include "tools/hivemend-repair/options.h"

namespace hivemend::repair_tool {

// Answers o.list or o.resolve on standard output, with the drives linked in the prefix;
// "-" answers each line of standard input before reading the next. Then tells on
// standard error how often, and why, a directory was read through ntfs-3g rather than
// from the volume's records. Fails on a text that is not UTF-8 and on a write error.
Status look(const Options& o);

}  // namespace hivemend::repair_tool
