// What every FLV source feeds its channel with, however the FLV bytes come (an HTTP body,
// or RTMP messages turned into FLV): the raw stream in 1452-byte entries of the ring, the
// stream split at tag boundaries into the channel's FLV tag ring, the decoder set-up
// published as it is captured, and the bit rate the FLV outputs pace by (from the
// metadata, else estimated from the bytes received).
#pragma once
#include <cstddef>
#include <cstdint>

#include "ingest/flv_splitter.h"
#include "ingest/input.h"

namespace kx {

inline constexpr int kFlvEntryBytes = 1452;  // raw bytes per ring entry

class FlvFeed {
 public:
  // log_rate: log the bit rate taken from the metadata (sources that log it themselves
  // pass false).
  explicit FlvFeed(InputContext& ctx, bool log_rate = true);

  // A new connection: the channel's FLV tag ring (made on its first use), a fresh start
  // of the splitter, and no bit rate yet. false when the tag ring cannot be had (logged).
  bool start();
  // The next bytes of the FLV stream.
  void take(const uint8_t* p, std::size_t len);
  // The connection ended: a partly filled entry is committed.
  void finish();

  const FlvSplitter& splitter() const { return split_; }
  uint64_t bytes() const { return bytes_; }

 private:
  static void commit_slot(void* user, const uint8_t* data, int len, bool keyframe);
  void publish_setup();
  void update_rate();

  InputContext& ctx_;
  bool log_rate_;
  FlvSplitter split_;
  RealBufferPtr slots_;
  uint32_t published_ = 0;
  uint8_t entry_[kFlvEntryBytes];
  int entry_len_ = 0;
  uint64_t bytes_ = 0;
  bool rate_from_meta_ = false;
  int64_t started_ = 0;
  int64_t next_estimate_ = 0;
};

}  // namespace kx
