// RTMP chunk stream reassembly: bytes in any splits (one at a time works) become whole
// messages. A bounded state machine: a fixed number of chunk streams, a per-message size
// cap and a cap on what all unfinished messages may hold together; any breach is an error
// the caller answers by closing the connection.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx {

// One reassembled message. body points into the reader and stays valid only during the
// callback.
struct RtmpMessage {
  uint32_t csid = 0;       // chunk stream id
  uint8_t type = 0;        // message type id
  uint32_t stream_id = 0;  // message stream id
  uint32_t timestamp = 0;  // absolute, per the chunk stream's clock (wraps at 2^32)
  const uint8_t* body = nullptr;
  std::size_t length = 0;
};

struct RtmpReaderLimits {
  uint32_t command_max = 64 * 1024;        // every type but audio, video and aggregate
  uint32_t media_max = 2 * 1024 * 1024;    // audio (8), video (9), aggregate (22)
  uint32_t pending_max = 4 * 1024 * 1024;  // declared lengths of unfinished messages, summed
};

inline constexpr int kRtmpMaxChunkStreams = 64;
inline constexpr uint32_t kRtmpDefaultChunkSize = 128;
inline constexpr uint32_t kRtmpMaxChunkSize = 1u << 24;

// Called for each whole message in order; false stops the feed right after it (the bytes
// behind it are left unconsumed).
using RtmpMessageFn = bool (*)(void* user, const RtmpMessage& msg);

class RtmpChunkReader {
 public:
  explicit RtmpChunkReader(RtmpReaderLimits limits = {});

  // Consumes bytes up to the end, an error, or a callback asking to stop; returns how many
  // were consumed. Set chunk size (type 1) and abort (type 2) take effect before the
  // callback sees them.
  std::size_t feed(const uint8_t* p, std::size_t n, RtmpMessageFn fn, void* user);

  bool failed() const { return error_ != nullptr; }
  const char* error() const { return error_ ? error_ : ""; }  // a fixed text
  uint32_t chunk_size() const { return chunk_size_; }
  uint64_t bytes_fed() const { return bytes_; }

 private:
  struct Stream {
    uint32_t csid = 0;
    uint32_t timestamp = 0;  // of the last message started
    uint32_t delta = 0;      // what a fmt 3 starting a new message adds
    uint32_t length = 0;
    uint32_t stream_id = 0;
    uint8_t type = 0;
    bool extended = false;   // the last fmt 0/1/2 header carried an extended timestamp
    bool in_message = false;
    std::vector<uint8_t> body;
  };
  enum class State { kBasic, kHeader, kPayload };

  bool fail(const char* why);
  int header_need() const;
  Stream* find_stream(uint32_t csid, bool create);
  bool start_chunk();
  bool open_message(Stream& s);
  bool begin_message(Stream& s, int fmt, const uint8_t* h);
  bool finish_message(Stream& s, RtmpMessageFn fn, void* user, bool& go_on);
  bool apply_control(const RtmpMessage& m);
  uint32_t cap_for(uint8_t type) const;

  RtmpReaderLimits limits_;
  uint32_t chunk_size_ = kRtmpDefaultChunkSize;
  Stream streams_[kRtmpMaxChunkStreams];
  int n_streams_ = 0;
  uint64_t pending_ = 0;  // declared lengths of the messages in progress
  uint64_t bytes_ = 0;
  const char* error_ = nullptr;

  // The chunk being read.
  State state_ = State::kBasic;
  uint8_t hdr_[18] = {};  // basic header (up to 3) + message header (11) + extended (4)
  int hdr_len_ = 0;
  Stream* cur_ = nullptr;
  uint32_t chunk_left_ = 0;  // payload bytes of this chunk still to come
};

}  // namespace kx
