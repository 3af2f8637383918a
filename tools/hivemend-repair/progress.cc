#include "tools/hivemend-repair/progress.h"

#include <cstdio>

#include "base/counts.h"
#include "base/unicode.h"
#include "win32/host/journal.h"

namespace hivemend::repair_tool {

void Progress::update(size_t rewritten) {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  const auto done = win32::read_progress(record_);
  if (!done) return;
  std::fprintf(stderr, "\rhivemend-repair: %s: %s, %s, %s rewritten\033[K", base::to_utf8(done->hive).c_str(),
               base::counted(done->keys, "key").c_str(), base::counted(done->values, "value").c_str(),
               base::grouped(rewritten).c_str());
  shown_ = true;
}

void Progress::clear() const {
  if (shown_) std::fprintf(stderr, "\r\033[K");
}

}  // namespace hivemend::repair_tool
