#include "core/alloc.h"

#include <atomic>

namespace kx {

namespace {
std::atomic<int> g_failures_due{0};
}  // namespace

void fail_next_allocations(int n) { g_failures_due.store(n > 0 ? n : 0); }

bool allocation_failure_due() {
  int n = g_failures_due.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_failures_due.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}

}  // namespace kx
