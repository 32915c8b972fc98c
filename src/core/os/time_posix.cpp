#include <time.h>

#include <chrono>
#include <thread>

#include "core/os/time.h"

namespace kx {

int64_t mono_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t wall_seconds() { return static_cast<int64_t>(::time(nullptr)); }

void local_time(std::tm& out, int64_t seconds) {
  time_t t = seconds < 0 ? ::time(nullptr) : static_cast<time_t>(seconds);
  localtime_r(&t, &out);
}

void sleep_ms(int64_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace kx
