// The MP4 duration and bit-rate probe over a file held in memory: no read outside the
// input, and a finite, non-negative answer. The first four bytes place the rest of the
// input inside a larger zero-filled file, so block boundaries and the search from the
// end are reached with small inputs.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/log.h"
#include "formats/mp4_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  if (size > 200000) return 0;
  std::vector<uint8_t> in(data, data + size);  // exact size, so any overread is caught
  double d = kx::mp4_duration_mem(in.data(), in.size());
  if (!std::isfinite(d) || d < 0) std::abort();
  if (kx::mp4_kbitrate_mem(in.data(), in.size()) < 0) std::abort();

  if (size >= 4) {
    size_t at = ((static_cast<size_t>(data[0]) << 8) | data[1]) % 40000;
    size_t total = at + (size - 4) + ((static_cast<size_t>(data[2]) << 8) | data[3]) % 40000;
    std::vector<uint8_t> file(total, 0);
    for (size_t i = 4; i < size; ++i) file[at + i - 4] = data[i];
    double e = kx::mp4_duration_mem(file.data(), file.size());
    if (!std::isfinite(e) || e < 0) std::abort();
  }
  return 0;
}
