// The status line on a terminal while hivemend runs: the hive being walked, keys and
// values done (from the registry layer's progress record) and values rewritten so far
// (the journal's lines), at most ten updates a second.
#pragma once

#include <chrono>
#include <cstddef>
#include <ios>
#include <string>
#include <utility>

namespace hivemend::repair_tool {

class Progress {
 public:
  Progress(std::string record, std::string journal) : record_(std::move(record)), journal_(std::move(journal)) {}
  const std::string& record() const { return record_; }

  // For wait_child's tick: `self` is a Progress.
  static void tick(void* self) { static_cast<Progress*>(self)->update(); }
  void update();
  // Takes the line away again, if one was shown.
  void clear() const;

 private:
  std::string record_, journal_;
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;
  std::streamoff journal_read_ = 0;  // the journal's lines are counted as they come
  size_t rewritten_ = 0;
};

}  // namespace hivemend::repair_tool
