// The IP-to-country table parser and the address parser on arbitrary text: no crash,
// every row within its field widths with finite range ends, and an address number that
// prints back to the same number.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "subscribers/ip_country.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const kx::CountryTable t = kx::parse_ip_country_text(text);
  if (t.display < 1 || t.display > 3 || t.enabled != !t.rows.empty()) std::abort();
  for (const auto& r : t.rows) {
    if (!std::isfinite(r.start) || !std::isfinite(r.end) || r.code2.size() > 2 || r.code3.size() > 3 ||
        r.name.size() > 31)
      std::abort();
  }

  uint32_t n = 0;
  if (kx::ip_number(text, n)) {
    const std::string dotted = std::to_string(n >> 24) + "." + std::to_string((n >> 16) & 255) + "." +
                               std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
    uint32_t again = 0;
    if (!kx::ip_number(dotted, again) || again != n || text.size() > 15) std::abort();
  }
  return 0;
}
