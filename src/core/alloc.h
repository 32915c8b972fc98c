// Memory a thread may fail to get without taking the process down: the caller gets
// nullptr (or false) and ends its own work, logging what the design says.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "core/os/memory.h"

namespace kx {

// True when count objects of size bytes could be had at all: the product does not
// overflow and is no larger than the machine's physical memory. Larger requests are
// refused without asking the allocator: none could be met for real (an overcommitting
// system would grant them and kill the process later, and sanitizing allocators abort).
inline bool fits_in_memory(uint64_t count, uint64_t size) {
  if (size != 0 && count > UINT64_MAX / size) return false;
  const uint64_t mem = physical_memory_bytes();
  return mem == 0 || count * size <= mem;
}

// Test hook: the next n allocations through try_new and try_new_array fail, so a test
// can reach the path a real shortage takes (n 0 ends it).
void fail_next_allocations(int n);
// True when the hook takes this allocation (it counts one down).
bool allocation_failure_due();

// An array of n default-initialised T, or nullptr when it cannot be had.
template <class T>
std::unique_ptr<T[]> try_new_array(std::size_t n) noexcept {
  if (allocation_failure_due() || !fits_in_memory(n, sizeof(T))) return nullptr;
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

// One value-initialised T, or nullptr when it cannot be had. T's constructor must not
// throw.
template <class T>
T* try_new() noexcept {
  if (allocation_failure_due()) return nullptr;
  return new (std::nothrow) T();
}

}  // namespace kx
