#include "tools/hivemend-repair/progress.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "base/unicode.h"
#include "win32/journal.h"

namespace hivemend::repair_tool {

void Progress::update() {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  const auto done = win32::read_progress(record_);
  if (!done) return;
  std::ifstream in(journal_, std::ios::binary);
  in.seekg(journal_read_);
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    resolved_ += size_t(std::count(buffer, buffer + in.gcount(), '\n'));
    journal_read_ += in.gcount();
  }
  std::fprintf(stderr, "\rhivemend-repair: %s: %llu keys, %llu values, %zu resolved\033[K",
               base::to_utf8(done->hive).c_str(), static_cast<unsigned long long>(done->keys),
               static_cast<unsigned long long>(done->values), resolved_);
  shown_ = true;
}

void Progress::clear() const {
  if (shown_) std::fprintf(stderr, "\r\033[K");
}

}  // namespace hivemend::repair_tool
