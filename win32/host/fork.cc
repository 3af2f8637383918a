#include "win32/host/fork.h"

#include <pthread.h>

#include <atomic>

namespace hivemend::win32 {

namespace {
std::atomic<uint64_t> g_forks{0};
}  // namespace

uint64_t fork_generation() {
  // A local static rather than std::call_once: this runs on every file-system call, and
  // after the first its guard is one load, where call_once goes through libc and TLS.
  [[maybe_unused]] static const bool counting = pthread_atfork(nullptr, nullptr, [] { ++g_forks; }) == 0;
  return g_forks.load(std::memory_order_relaxed);
}

}  // namespace hivemend::win32
