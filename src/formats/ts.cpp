#include "formats/ts.h"

namespace kx {

int ts_pid(const uint8_t* pkt) {
  if (pkt[0] != kTsSync) return -1;
  return ((pkt[1] & 0x1F) << 8) | pkt[2];
}

bool ts_is_pat(const uint8_t* pkt) { return ts_pid(pkt) == kTsPatPid; }

int ts_parse_header(const uint8_t* pkt, TsHeader& h) {
  h = TsHeader{};
  if (pkt[0] != kTsSync) return 0;
  h.pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
  h.transport_error = (pkt[1] & 0x80) != 0;
  h.payload_start = (pkt[1] & 0x40) != 0;
  h.adaptation_control = (pkt[3] >> 4) & 3;
  h.continuity = pkt[3] & 0x0F;
  int offset = 4;
  if (h.adaptation_control & 2) {
    h.af_length = pkt[4];
    // The length byte itself takes one of the 184 bytes after the header.
    if (h.af_length > 183) return 0;
    offset = 5 + h.af_length;
  }
  h.payload_offset = offset;
  // Control 0 is reserved and carries nothing we may read.
  h.payload_size = (h.adaptation_control & 1) ? static_cast<int>(kTsPacketSize) - offset : 0;
  return h.adaptation_control != 0 ? 1 : 0;
}

int ts_read_pcr_value(const uint8_t* pkt, uint64_t& pcr27) {
  TsHeader h;
  if (!ts_parse_header(pkt, h) || h.af_length < 7) return 0;
  if ((pkt[5] & 0x10) == 0) return 0;
  const uint8_t* p = pkt + 6;
  const uint64_t base = (uint64_t{p[0]} << 25) | (uint64_t{p[1]} << 17) | (uint64_t{p[2]} << 9) |
                        (uint64_t{p[3]} << 1) | (p[4] >> 7);
  const uint64_t ext = (uint64_t{p[4] & 1u} << 8) | p[5];
  pcr27 = base * 300 + ext;
  return 1;
}

int ts_read_pcr(const uint8_t* pkt, TsTiming& t) {
  uint64_t pcr = 0;
  if (!ts_read_pcr_value(pkt, pcr)) return 0;
  t.pcr_seconds = static_cast<double>(pcr) / 27000000.0;
  return 1;
}

}  // namespace kx
