// The messages this server writes, built whole (chunked for the outgoing chunk size) so each
// answer goes out with one send, and the bounded reading of incoming AMF0 commands. The
// builders are pure: they append bytes to out and return false, appending nothing, only when
// a value does not fit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

inline constexpr uint32_t kRtmpServerChunkSize = 1452;      // announced in the connect answer
inline constexpr uint32_t kRtmpConnectWindow = 2500000;     // window and peer bandwidth
inline constexpr uint32_t kRtmpAnswerWindow = 1152000;      // answer to a peer's window size
inline constexpr int kRtmpPeerBandwidthDynamic = 2;

// ---- protocol control and user control (chunk stream 2, stream 0) ----
bool rtmp_window_ack_size(std::vector<uint8_t>& out, uint32_t size);
bool rtmp_set_peer_bandwidth(std::vector<uint8_t>& out, uint32_t size, int limit_type);
bool rtmp_user_control(std::vector<uint8_t>& out, uint16_t event, uint32_t stream_id);
bool rtmp_set_chunk_size(std::vector<uint8_t>& out, uint32_t size);

// ---- command answers ----

// The five messages of the connect answer; from it on this server writes chunks of
// kRtmpServerChunkSize. valid_app picks Success or InvalidApp (both are "_result").
bool rtmp_connect_answer(std::vector<uint8_t>& out, bool valid_app, double client_id);

// "_result", the request's transaction id, null, 1.0 on chunk stream 3, stream 0.
bool rtmp_create_stream_result(std::vector<uint8_t>& out, double transaction_id, uint32_t chunk_size);

enum class RtmpStatus {
  kPlayFailed,          // onStatus NetStream.Play.Failed
  kPublishNotify,       // onStatus NetStream.Play.PublishNotify (needs the watching name)
  kFCPublish,           // onFCPublish NetStream.Publish.Start
  kFCUnpublish,         // onFCUnpublish NetStream.Publish.Stop
  kUnpublishSuccess,    // onStatus NetStream.Unpublish.Success
  kPublishStart,        // onStatus NetStream.Publish.Start on stream 1
  kPublishBadName,      // onStatus NetStream.Publish.BadName on stream 1
};

// One status answer: name, 0, null, {level, code, description, clientid}.
bool rtmp_status(std::vector<uint8_t>& out, RtmpStatus which, double client_id, std::string_view watching_name,
                 uint32_t chunk_size);

// Stream begin, onStatus Play.Start, |RtmpSampleAccess and user control event 32: one write.
bool rtmp_play_start(std::vector<uint8_t>& out, uint32_t chunk_size);

// What onMetaData tells a player. A codec known only by name is written as that name,
// otherwise as its number.
struct RtmpStreamMeta {
  double width = 0, height = 0, framerate = 0;
  double videodatarate = 0, audiodatarate = 0;
  double videocodecid = 0, audiocodecid = 0;
  std::string video_codec_name, audio_codec_name;
};
bool rtmp_on_metadata(std::vector<uint8_t>& out, const RtmpStreamMeta& meta, uint32_t chunk_size);

// The getStreamLength answer: data message onMetaData {duration: 0.0}.
bool rtmp_stream_length_answer(std::vector<uint8_t>& out, uint32_t chunk_size);

// deleteStream, 0, null, 1.0 on chunk stream 3, stream 0 (sent when a play cannot start).
bool rtmp_delete_stream(std::vector<uint8_t>& out, uint32_t chunk_size);

// ---- incoming commands ----

// An AMF0 command (type 20) or data message (18), or an AMF3 command (17, its first byte
// skipped): name, transaction id (0 when the second value is not a number, as data
// messages have none), and the values after them.
struct RtmpCommand {
  std::string_view name;
  double transaction_id = 0;
  const uint8_t* args = nullptr;  // the values after the transaction id (after the name
  std::size_t args_len = 0;       // for a message without one)
};
bool rtmp_parse_command(uint8_t type, const uint8_t* body, std::size_t len, RtmpCommand& out);

// The first object or ECMA array among the command's values that holds the top-level
// property named exactly `name`: 2 with its string, 1 with its number, 0 when no such
// property holds a string or number.
int rtmp_command_property(const RtmpCommand& cmd, std::string_view name, std::string_view& text, double& number);

// The stream name of play and publish: the string after the value that follows the
// transaction id (the null command object).
bool rtmp_command_stream_name(const RtmpCommand& cmd, std::string_view& name);

}  // namespace kx
