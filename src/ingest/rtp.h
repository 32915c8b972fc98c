// The fixed RTP header (RFC 3550, section 5.1) and where the payload of a packet lies:
// after the CSRC list and the header extension, before the padding.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx {

inline constexpr int kRtpFixedHeaderBytes = 12;

struct RtpPacket {
  uint32_t first_word = 0;  // the first four header bytes, in the order they arrived
  int payload_offset = 0;
  int payload_len = 0;
  int payload_type = 0;
  int csrc_count = 0;
  bool marker = false;
  bool extension = false;
  int padding = 0;  // bytes of padding at the end, 0 without
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
};

// Parses the header of one packet of len bytes. 1 when it is a version 2 packet whose
// CSRC list, extension and padding all fit (the payload may be empty); 0 otherwise, with
// out left cleared.
int rtp_parse(const uint8_t* data, std::size_t len, RtpPacket& out);

}  // namespace kx
