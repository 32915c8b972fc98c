// The runtime half of a channel's record: what its input thread publishes for the outputs
// (status, ring, counters) and the commands other threads give it.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
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

struct ChannelRuntime {
  // Set by the source-URL check (slots 0-2). The input thread copies a slot under
  // src_lock at every connect, so a check or a redirect never changes it under a reader.
  mutable std::mutex src_lock;
  std::array<Source_URL_Info, 3> src;
  bool has_sources = false;  // false: the definition did not parse (no input at all)

  std::atomic<int> nSource_Valid{0};
  std::atomic<int> nCurrent_URL_Index{0};
  std::atomic<int> nChannel_Status{kStatusOff};
  std::atomic<int64_t> tStart_Time{0};
  std::atomic<int> status{kStInit};
  std::atomic<int> nInput_Format{0};
  std::atomic<int> nBitrate{0};
  std::atomic<int> nSleep_Time{0};

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
};

}  // namespace kx
