#include "win32/host/fork.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace hivemend::win32 {

namespace {
std::atomic<uint64_t> g_forks{0};
}  // namespace

uint64_t fork_generation() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, [] { ++g_forks; }); });
  return g_forks.load(std::memory_order_relaxed);
}

}  // namespace hivemend::win32
