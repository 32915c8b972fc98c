// The messages a pulling client writes: connect, createStream, play and deleteStream, the
// window acknowledgement size, set buffer length, the keep-alive and acknowledgements,
// each appended whole (chunked at the default 128 bytes) so it goes out with one send.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

inline constexpr uint32_t kRtmpClientWindow = 1152000;  // our window acknowledgement size
inline constexpr uint32_t kRtmpClientBufferMs = 300;    // set buffer length

// Where a pull goes: "rtmp://ip:port/app" as tcUrl, the application, and the stream name.
struct RtmpPullTarget {
  std::string app;     // the path up to its last "/"
  std::string stream;  // the path after its last "/" (with any query); the whole path without one
  std::string tc_url;  // "rtmp://ip:port/app"
};
// path: the source URL's path without its leading "/".
RtmpPullTarget rtmp_pull_target(std::string_view ip, int port, std::string_view path);

// connect on chunk stream 3: "connect", transaction, {app, tcUrl, fpad, capabilities,
// audioCodecs, videoCodecs, videoFunction}.
bool rtmp_client_connect(std::vector<uint8_t>& out, double transaction, const RtmpPullTarget& t);
// User control event 3 (set buffer length) for stream_id, fmt 1 on chunk stream 2.
bool rtmp_client_buffer_length(std::vector<uint8_t>& out, uint32_t stream_id, uint32_t ms);
// createStream as an AMF3 command (a 0 byte, then AMF0): "createStream", transaction, null.
bool rtmp_client_create_stream(std::vector<uint8_t>& out, double transaction);
// play on chunk stream 8 for stream_id, as an AMF3 command: "play", 0, null, name.
bool rtmp_client_play(std::vector<uint8_t>& out, uint32_t stream_id, std::string_view name);
// deleteStream, fmt 1 on chunk stream 3: "deleteStream", transaction, null, stream_id.
bool rtmp_client_delete_stream(std::vector<uint8_t>& out, double transaction, uint32_t stream_id);
// Acknowledgement (type 3): the bytes received so far, modulo 2^32.
bool rtmp_client_ack(std::vector<uint8_t>& out, uint32_t received);

}  // namespace kx
