// A live player's view of a channel's MPEG-TS ring, with no socket in it: where it starts
// (the designed start point, then a PAT a decoder can begin at), the burst that fills the
// player's buffer, pacing by the stream's PCR, recovery when the writer laps it, and the
// wait through a source outage. Every output of live TS is a loop over next_batch:
// send the batch, pause as asked, ask again.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ingest/ring.h"
#include "players/live_source.h"
#include "players/pacing.h"
#include "players/session_log.h"
#include "players/ts_start.h"

namespace kx {

struct Channel_Info;

// The fewest entries between an entry sent in place and the writer's next overwrite: a
// small ring (a few dozen entries) has its players copy.
inline constexpr int kInPlaceMinMargin = 64;

struct LiveTsOptions {
  int prebuffer = 0;         // the burst's cap, in entries; 0 or less: a quarter of the ring
  float tolerance = 0;       // the channel's share of each PCR interval not slept
  int source_wait_ms = 0;    // how long an outage of the input is waited through
  // Entries at least this many past the oldest go out in place (see LiveTsReader::take);
  // 0: an eighth of the ring and never fewer than kInPlaceMinMargin.
  int in_place_margin = 0;
};

// Where the player is; each phase has its own designed lines.
enum class LivePhase { kStart, kBurst, kSteady };

inline constexpr uint64_t kNoSeq = ~uint64_t{0};

// One piece of a batch: bytes in the ring itself (seq names the entry), or in the
// player's own buffer (seq kNoSeq).
struct LiveSpan {
  const uint8_t* data;
  int len;
  uint64_t seq;
};

struct LiveBatch {
  // The bytes, in order; valid until the next call. Pieces in the ring must be confirmed
  // with LiveTsReader::sent once the kernel has taken them, or copied out with
  // LiveTsReader::settle when it cannot take them at once.
  LiveSpan spans[kLiveBatchEntries];
  int span_count = 0;
  int bytes = 0;
  uint64_t ring_from = kNoSeq;    // the first entry sent in place, kNoSeq when none
  int copied = 0;                 // bytes of the player's buffer the batch uses
  int pause_ms = 0;               // to sleep after sending the bytes
  const char* stage = nullptr;    // the activity text (static)
  LivePhase phase = LivePhase::kStart;

  void add(const uint8_t* data, int len, uint64_t seq = kNoSeq) {
    spans[span_count++] = {data, len, seq};
    bytes += len;
    if (seq != kNoSeq && ring_from == kNoSeq) ring_from = seq;
  }
};

class LiveTsReader {
 public:
  enum class Next {
    kData,    // bytes to send (and perhaps a pause)
    kWait,    // nothing yet: the reader waited a short while; ask again
    kOff,     // the player ends (the reason is logged)
    kLapped,  // the writer overtook the player: it starts again at a PAT (logged)
  };

  LiveTsReader(std::shared_ptr<Channel_Info> ch, const SessionLog& log, const LiveTsOptions& opt);
  ~LiveTsReader();
  LiveTsReader(const LiveTsReader&) = delete;
  LiveTsReader& operator=(const LiveTsReader&) = delete;

  // Takes the channel's ring and the player's buffer; false (logged) when the channel is
  // off or the buffer cannot be had.
  bool open();
  Next next_batch(LiveBatch& out);
  // After the batch went out: false when the writer overwrote the entries sent in place
  // while the kernel took them, so the player got torn bytes; the reader then starts
  // again at a PAT, as after a lap (logged).
  bool sent(const LiveBatch& b);
  // The kernel took only the first done bytes (the player's socket is full): what is
  // left of the batch is copied out of the ring (stamp-checked) into the player's own
  // buffer, so a send that has to wait never has the writer come round under bytes
  // still to go. False when the writer got there first: the reader starts again at a
  // PAT (logged) and the rest of the batch is dropped.
  bool settle(LiveBatch& b, std::size_t done);

  // The stream state the reports show.
  int pmt_pid() const { return pmt_pid_; }
  const PcrPacer& pacer() const { return pacer_; }

 private:
  enum class State { kDecodable, kPat, kBurst, kSteady, kSourceWait };

  void enter_steady();
  Next off(const char* fmt);
  Next input_gone(const char* off_fmt);
  Next source_wait();
  bool source_replaced();
  void to_start(uint64_t from, uint64_t floor);
  Next start_found(const TsStart& start, LiveBatch& out, bool& taken);
  Next decodable(LiveBatch& out);
  Next pat(LiveBatch& out);
  void begin_burst();
  Next burst(LiveBatch& out);
  Next steady(LiveBatch& out);
  Next lapped();
  void follow(RealBufferPtr ring);
  RingReader::Result take(LiveBatch& out, EntryMeta& m);
  bool copy_out(const LiveSpan& span, int off, LiveBatch& rest);
  void overtaken(uint64_t seq);

  std::shared_ptr<Channel_Info> ch_;
  const SessionLog log_;
  const LiveTsOptions opt_;
  RealBufferPtr ring_;
  std::unique_ptr<RingReader> rd_;
  std::unique_ptr<uint8_t[]> buf_;
  uint64_t margin_ = 0;  // entries between one sent in place and the writer (see take)  // one batch of entries: the player's only buffer
  State state_ = State::kDecodable;
  PcrPacer pacer_;
  TsStartFinder finder_;
  uint64_t from_ = 0, floor_ = 0;  // the start search: its origin and its lower bound
  int64_t deadline_ = 0;
  int burst_left_ = 0;
  int owed_ms_ = 0;
  bool gathered_ = false;
  int pmt_pid_ = 0;
  const char* off_fmt_ = nullptr;  // the "is OFF" line of the phase the outage began in
  int64_t wait_end_ = 0;
  uint32_t connection_ = 0;  // the input connection the player follows
};

}  // namespace kx
