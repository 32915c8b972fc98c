// Clocks and sleeps.
#pragma once
#include <cstdint>
#include <ctime>

namespace kx {

int64_t mono_ms();          // monotonic milliseconds, for deadlines
int64_t wall_seconds();     // seconds since 1970
void local_time(std::tm& out, int64_t seconds = -1);  // local calendar time (now when -1)
void sleep_ms(int64_t ms);  // plain sleep; use Stop::sleep where a stop must cut it short

}  // namespace kx
