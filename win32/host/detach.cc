#include "win32/host/detach.h"

#include <mutex>
#include <vector>

namespace hivemend::win32 {

namespace {

struct DetachSteps {
  std::mutex mutex;
  std::vector<DetachStep> steps;
};

DetachSteps& detach_steps() {
  static DetachSteps* steps = new DetachSteps;  // never destroyed: used during exit
  return *steps;
}

}  // namespace

void on_process_detach(DetachStep step) {
  auto& state = detach_steps();
  std::lock_guard lock(state.mutex);
  state.steps.push_back(step);
}

void run_process_detach() {
  auto& state = detach_steps();
  std::vector<DetachStep> steps;
  {
    std::lock_guard lock(state.mutex);
    steps = state.steps;
  }
  for (DetachStep step : steps) step();
}

}  // namespace hivemend::win32
