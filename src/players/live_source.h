// What the live readers ask of a channel's input, and the one buffer each player has.
#pragma once
#include <cstdint>
#include <memory>

namespace kx {

struct Channel_Info;

inline constexpr int kLiveBatchEntries = 32;  // ring entries handed out at once

// The input delivers data now.
bool input_on(const Channel_Info& ch);
// Stopped, made inactive, or its input thread is gone: no data will come back.
bool input_ended(const Channel_Info& ch);
// One batch of ring entries; null, with "Real Buffer allocated failed" logged, when the
// memory cannot be had.
std::unique_ptr<uint8_t[]> live_batch_buffer();

}  // namespace kx
