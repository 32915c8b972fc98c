// The machine's memory, as the operating system reports it.
#pragma once
#include <cstdint>

namespace kx {

// Bytes of physical memory; 0 when the system does not say.
uint64_t physical_memory_bytes();

}  // namespace kx
