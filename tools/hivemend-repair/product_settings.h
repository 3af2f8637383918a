// The Windows environment's machine registry for one run: the product's settings that
// hivemend reads, as the options ask for them.
#pragma once

#include <optional>
#include <string>

#include "tools/hivemend-repair/error.h"
#include "tools/hivemend-repair/options.h"

namespace hivemend::repair_tool {

// Writes `prefix`/system.reg: the App Paths key naming the product's registry root
// (HKEY_LOCAL_MACHINE\SOFTWARE\Tessaro\Hivemend), rescue-transfer mode and detailed
// logging as the options say, English messages, the instance guard for all sessions,
// and the report file when one is given.
Status write_product_settings(const std::string& prefix, const Options& o,
                              const std::optional<std::u16string>& report_file);

}  // namespace hivemend::repair_tool
