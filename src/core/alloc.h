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

// An array of n default-initialised T, or nullptr when it cannot be had.
template <class T>
std::unique_ptr<T[]> try_new_array(std::size_t n) noexcept {
  if (!fits_in_memory(n, sizeof(T))) return nullptr;
  return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

}  // namespace kx
