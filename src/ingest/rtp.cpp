#include "ingest/rtp.h"

namespace kx {

namespace {

uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

int rtp_parse(const uint8_t* data, std::size_t len, RtpPacket& out) {
  out = RtpPacket{};
  if (data == nullptr || len < static_cast<std::size_t>(kRtpFixedHeaderBytes) || len > 0x7FFFFFFF)
    return 0;
  if ((data[0] >> 6) != 2) return 0;
  const bool padded = (data[0] & 0x20) != 0;
  const bool extended = (data[0] & 0x10) != 0;
  const int csrcs = data[0] & 0x0F;

  std::size_t off = static_cast<std::size_t>(kRtpFixedHeaderBytes) + 4u * static_cast<std::size_t>(csrcs);
  if (off > len) return 0;
  if (extended) {
    // Profile-defined 16 bits, then the extension's length in 32-bit words.
    if (len - off < 4) return 0;
    const std::size_t words = (static_cast<std::size_t>(data[off + 2]) << 8) | data[off + 3];
    off += 4;
    if ((len - off) / 4 < words) return 0;
    off += 4 * words;
  }
  std::size_t end = len;
  int pad = 0;
  if (padded) {
    // The last byte counts the padding, itself included.
    pad = data[len - 1];
    if (pad == 0 || static_cast<std::size_t>(pad) > end - off) return 0;
    end -= static_cast<std::size_t>(pad);
  }

  RtpPacket p;
  p.first_word = be32(data);
  p.payload_offset = static_cast<int>(off);
  p.payload_len = static_cast<int>(end - off);
  p.payload_type = data[1] & 0x7F;
  p.marker = (data[1] & 0x80) != 0;
  p.csrc_count = csrcs;
  p.extension = extended;
  p.padding = pad;
  p.sequence = static_cast<uint16_t>((data[2] << 8) | data[3]);
  p.timestamp = be32(data + 4);
  p.ssrc = be32(data + 8);
  out = p;
  return 1;
}

}  // namespace kx
