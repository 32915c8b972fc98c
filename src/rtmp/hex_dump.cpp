#include "rtmp/hex_dump.h"

namespace kx {

std::string rtmp_hex_dump(const uint8_t* p, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (!p) return {};
  if (n > kRtmpHexDumpMax) n = kRtmpHexDumpMax;
  std::string out;
  out.reserve(n * 3 + n / 16 + 1);
  for (std::size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 0x0F];
    out += ' ';
    if (i % 16 == 15 || i + 1 == n) out += '\n';
  }
  return out;
}

}  // namespace kx
