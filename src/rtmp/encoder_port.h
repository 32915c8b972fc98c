// Where a publishing encoder's RTMP session meets the input thread of the rtmpencoder
// channel it feeds. The session keeps its socket (it alone closes it) and lends it to the
// input together with the chunk reader's state and the bytes it read ahead of the
// hand-off, so nothing the encoder sent is lost; it then waits until the input gives the
// socket back (the input's read ended) or its own stop comes, when it shuts the socket
// down to wake the input and still waits for the give-back before closing.
//
// One port per channel (by 0-based index), process-wide. A channel has at most one
// publisher: a second claim is refused while the first holds the port.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "net/wait.h"
#include "rtmp/chunk_reader.h"

namespace kx {

// What the session lends the input.
struct EncoderFeed {
  int fd = -1;                              // the publisher's socket; never closed by the input
  std::unique_ptr<RtmpChunkReader> reader;  // the state after the publish command
  std::vector<uint8_t> ahead;               // bytes received but not yet fed to reader
  uint32_t session_no = 0;
  uint32_t chunk_size = 0;                  // the publisher's chunk size (reader's) at hand-off
};

class EncoderPort {
 public:
  // ---- the session's side ----
  // Claims the channel for one publisher; false when another one holds it (BadName).
  bool claim(uint32_t session_no);
  // Lends the socket; the input takes it with take().
  void offer(EncoderFeed feed);
  // Waits until the input gives the feed back, the stop fires or timeout_ms passes;
  // true when it came back (the session may close its socket then).
  bool wait_returned(const StopToken& stop, int timeout_ms);
  // Takes back an offer the input has not taken yet; the claim stays, so no other
  // publisher can offer before this one's socket is back.
  void withdraw(uint32_t session_no);
  // Ends the claim (after the give-back, or when no offer was made); also drops an offer
  // still waiting.
  void release(uint32_t session_no);

  // ---- the input's side ----
  // Waits for an offer up to timeout_ms, cut short by stop; false when none came.
  bool take(EncoderFeed& out, const StopToken& stop, int timeout_ms);
  // The input is done with the socket (its read ended or its channel stops).
  void give_back();

  bool claimed() const;
  bool lent() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  uint32_t owner_ = 0;      // claiming session, 0 when free
  bool offered_ = false;    // an offer waits for take()
  bool lent_ = false;       // taken and not yet given back
  EncoderFeed feed_;
};

// The port of channel index (0-based); created on first use, never freed while the
// process runs, so a pointer stays valid.
EncoderPort& encoder_port(int channel_index);

}  // namespace kx
