// The runtime half of a channel's record: what its input thread publishes for the outputs
// (status, ring, counters) and the commands other threads give it.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <memory>
#include <string>

#include "core/os/sync.h"
#include "ingest/ring.h"

namespace kx {

struct ThreadRecord;

// Source types assigned by the source-URL check.
enum SourceType : int {
  kSrcLocal = 0,        // playlist or folder: no input thread
  kSrcRtpMulticast = 1,
  kSrcRtpPort = 2,
  kSrcRtsp = 3,
  kSrcHttp = 5,
  kSrcUdpMulticast = 8,
  kSrcUdpPort = 9,
  kSrcRtmp = 19,
  kSrcRtmpEncoder = 21,
  kSrcHls = 22,
  kSrcHttpFlv = 23,
  kSrcHttpMovie = 24,
  kSrcHttpTsMovie = 25,
  kSrcHttpFlvMovie = 26,
  kSrcHttpUdpRelay = 27,
};

// One source URL of a channel, as the check parsed it.
struct Source_URL_Info {
  int type = -1;            // a SourceType; 0 or less: no input thread
  std::string path;         // request path without the leading "/", up to 511
  std::string host;         // as written in the URL
  std::string ip;           // dotted IPv4 text, once known
  int port = 0;
  std::string credentials;  // "user:password" for Basic authorisation, up to 127
  int buffer_size = 0;
};

enum ChannelStatus : int { kStatusOff = 0, kStatusOn = 1, kStatusConnecting = 2 };

// Status texts of the channel reports; "ON (%d,%d)" is filled in from the ring when shown.
enum StatusCode : int {
  kStInit, kStNameToIp, kStTcpOpen, kStTcpOpened, kStTcpFailed, kStHttpRequest,
  kStHttpResponse, kStCheckFormat, kStConnected, kStOn, kStOnParse, kStUsed, kStNextTsFile,
  kStRtmpReturned, kStReconnect, kStReconnected, kStWaitReconnect, kStFreeMemory, kStCount
};
const char* status_text(int code);

// What players need before the media to set up their decoders, captured by the input.
// Published whole as an immutable snapshot: a reader keeps the one it took, and a
// reconnect publishes a new one.
struct DecoderSetup {
  // H.264 configuration in FLV tag-body form (0x17 0x00 ...); FLV and RTMP sources keep it
  // behind a 12-byte RTMP chunk header (avc_chunk_header set).
  std::string avc_header;
  bool avc_chunk_header = false;
  std::string aac_config;  // AudioSpecificConfig tag data, at most 32 bytes
  int aac_channels = 0;
  int aac_freq_index = 0;
  std::string flv_header;  // FLV file header, then the first onMetaData tag when there was one
  std::string video_tag_prefix;  // PreviousTagSize + tag header of the AVC sequence header (15)
  // onMetaData values of FLV and RTMP sources.
  std::string video_codec;
  double width = 0, height = 0, framerate = 0, audio_channels = 0, audio_samplerate = 0;
  double duration = 0, datarate = 0;
};
using DecoderSetupPtr = std::shared_ptr<const DecoderSetup>;

struct ChannelRuntime {
  // Set by the source-URL check (slots 0-2). The input thread copies a slot under
  // src_lock at every connect, so a check or a redirect never changes it under a reader.
  mutable std::mutex src_lock;
  std::array<Source_URL_Info, 3> src;
  bool has_sources = false;  // false: the definition did not parse (no input at all)

  std::atomic<int> nSource_Valid{0};
  std::atomic<int> nCurrent_URL_Index{0};
  std::atomic<int> nChannel_Status{kStatusOff};
  // Counts the input's connections that delivered data: a player that sees it change
  // knows the stream it follows was replaced (a reconnect, a failover), even when the
  // moment the status was off went by unseen.
  std::atomic<uint32_t> connections{0};
  void set_on() {
    connections.fetch_add(1);
    nChannel_Status.store(kStatusOn);
  }
  std::atomic<int64_t> tStart_Time{0};
  std::atomic<int> status{kStInit};
  std::atomic<int> nInput_Format{0};
  std::atomic<int> nBitrate{0};
  std::atomic<int> nSleep_Time{0};
  // The length of an HTTP source's body as its last answer gave it (the whole file for a
  // remote file channel); -1 when it did not say.
  std::atomic<int64_t> content_length{-1};

  // Commands, polled by the input thread.
  std::atomic<int> nRefresh{0};
  std::atomic<int> nStop{0};
  std::atomic<int> nThread_Finished{1};
  std::atomic<int> nFirst_Player{0};

  // Viewer counters: changed only under hCounter_Lock, readable at any time.
  Mutex hCounter_Lock;
  std::atomic<int> Active_No{0};
  std::atomic<int> Watched_No{0};

  ThreadRecord* input_thread = nullptr;  // owned by the reader process

  // The decoder set-up of the current connection; null until captured.
  DecoderSetupPtr setup() const {
    std::lock_guard<std::mutex> l(ring_lock_);
    return setup_;
  }
  void set_setup(DecoderSetupPtr s) {
    std::lock_guard<std::mutex> l(ring_lock_);
    setup_ = std::move(s);
  }

  // FLV sources also keep their stream split at tag boundaries: one tag (or the part of
  // it that fits) per entry, keyframe tags marked with keyframe_offset 0.
  RealBufferPtr flv_ring() const {
    std::lock_guard<std::mutex> l(ring_lock_);
    return flv_ring_;
  }
  void set_flv_ring(RealBufferPtr r) {
    RealBufferPtr old;
    {
      std::lock_guard<std::mutex> l(ring_lock_);
      old = std::move(flv_ring_);
      flv_ring_ = std::move(r);
    }
    if (old) old->wake_all();
  }

  // The ring of the current source branch; null between branches. Readers keep the
  // pointer they took, so a ring is never freed under a reader.
  RealBufferPtr ring() const {
    std::lock_guard<std::mutex> l(ring_lock_);
    return ring_;
  }
  void set_ring(RealBufferPtr r) {
    RealBufferPtr old;
    {
      std::lock_guard<std::mutex> l(ring_lock_);
      old = std::move(ring_);
      ring_ = std::move(r);
    }
    if (old) old->wake_all();
  }

 private:
  mutable std::mutex ring_lock_;
  RealBufferPtr ring_;
  RealBufferPtr flv_ring_;
  DecoderSetupPtr setup_;
};

}  // namespace kx
