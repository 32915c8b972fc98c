// Random bytes from the operating system's cryptographic source.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx {

// Fills buf; false only when the source is unavailable.
bool random_bytes(void* buf, std::size_t len);
// A uniform number in [0, bound) (bound > 0), without modulo bias.
uint64_t random_below(uint64_t bound);

}  // namespace kx
