#include "tools/hivemend-repair/progress.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "base/unicode.h"
#include "win32/journal.h"

namespace hivemend::repair_tool {

std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string counted(uint64_t n, const std::string& noun) { return grouped(n) + " " + noun + (n == 1 ? "" : "s"); }

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
    rewritten_ += size_t(std::count(buffer, buffer + in.gcount(), '\n'));
    journal_read_ += in.gcount();
  }
  std::fprintf(stderr, "\rhivemend-repair: %s: %s, %s, %s rewritten\033[K", base::to_utf8(done->hive).c_str(),
               counted(done->keys, "key").c_str(), counted(done->values, "value").c_str(), grouped(rewritten_).c_str());
  shown_ = true;
}

void Progress::clear() const {
  if (shown_) std::fprintf(stderr, "\r\033[K");
}

}  // namespace hivemend::repair_tool
