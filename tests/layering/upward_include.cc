// The log sits below the repair, so the log's library does not see the repair's
// headers: built as a part of the log, this include must fail.
#include "repair/RepairRun.h"
