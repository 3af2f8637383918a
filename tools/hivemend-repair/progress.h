// The status line on a terminal while hivemend runs: the hive being walked, keys and
// values done (from the registry layer's progress record) and values rewritten so far
// (the journal's lines), at most ten updates a second.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

namespace hivemend::repair_tool {

class Progress {
 public:
  explicit Progress(std::string record) : record_(std::move(record)) {}
  const std::string& record() const { return record_; }

  // Shows the line anew, with `rewritten` lines of the journal read so far.
  void update(size_t rewritten);
  // Takes the line away again, if one was shown.
  void clear() const;

 private:
  std::string record_;
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;
};

}  // namespace hivemend::repair_tool
