// RTMP chunking of outgoing messages: one message's header and body cut into chunks of the
// outgoing chunk size, appended to a buffer so whole answers go out with one send.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx {

// The header a message starts with. timestamp is absolute for fmt 0 and a delta for fmt 1
// and 2; fmt 1 carries no stream id, fmt 2 neither length nor type, fmt 3 nothing.
struct RtmpChunkHeader {
  int fmt = 0;
  uint32_t csid = 3;  // 2 to 65599
  uint32_t timestamp = 0;
  uint8_t type = 0;
  uint32_t stream_id = 0;
};

// Message type ids.
enum RtmpType : uint8_t {
  kRtmpSetChunkSize = 1,
  kRtmpAbort = 2,
  kRtmpAck = 3,
  kRtmpUserControl = 4,
  kRtmpWindowAckSize = 5,
  kRtmpSetPeerBandwidth = 6,
  kRtmpAudio = 8,
  kRtmpVideo = 9,
  kRtmpAmf3Command = 17,
  kRtmpData = 18,
  kRtmpCommand = 20,
};

// The header forms this server writes.
namespace rtmp_form {
// 0x02: protocol control on chunk stream 2, stream 0.
inline RtmpChunkHeader control(uint8_t type) { return {0, 2, 0, type, 0}; }
// 0x03: a command on chunk stream 3.
inline RtmpChunkHeader command(uint32_t stream_id) { return {0, 3, 0, kRtmpCommand, stream_id}; }
// 0x05: a status command on chunk stream 5.
inline RtmpChunkHeader status(uint32_t stream_id) { return {0, 5, 0, kRtmpCommand, stream_id}; }
// 0x45: a data message on chunk stream 5, timestamp delta 0.
inline RtmpChunkHeader data() { return {1, 5, 0, kRtmpData, 0}; }
// 0x06 / 0x07: media with a full header on stream 1.
inline RtmpChunkHeader media_full(uint32_t csid, uint8_t type, uint32_t ts) { return {0, csid, ts, type, 1}; }
// 0x46 / 0x47: media with a delta header.
inline RtmpChunkHeader media_delta(uint32_t csid, uint8_t type, uint32_t delta) { return {1, csid, delta, type, 0}; }
}  // namespace rtmp_form

// Appends header and body, cut every chunk_size bytes with a fmt 3 continuation header
// (repeating the extended timestamp when the first header has one). False, with nothing
// appended, when the body is longer than 0xFFFFFF, the chunk size is 0 or the form is not
// one of fmt 0 to 3 or the chunk stream id is out of range.
bool rtmp_append_message(std::vector<uint8_t>& out, const RtmpChunkHeader& h, const uint8_t* body,
                         std::size_t len, uint32_t chunk_size);

// The bytes rtmp_append_message writes for len body bytes (0 when it would refuse).
std::size_t rtmp_chunked_size(const RtmpChunkHeader& h, std::size_t len, uint32_t chunk_size);

}  // namespace kx
