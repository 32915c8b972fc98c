// A live player's view of a channel's FLV tag ring (one tag, or a piece of one, per
// entry; the first piece of each video keyframe tag marked): it starts at a keyframe tag
// at or before the start point, hands out the entries in order, starts again at a
// keyframe when the writer laps it, and waits through a source outage as the TS reader
// does. No socket, no FLV header: the output sends the decoder set-up first.
#pragma once
#include <cstdint>
#include <memory>

#include "ingest/ring.h"
#include "players/session_log.h"

namespace kx {

struct Channel_Info;

class LiveFlvReader {
 public:
  enum class Next { kData, kWait, kOff, kLapped };
  struct Batch {
    const uint8_t* data = nullptr;  // whole entries, in order; valid until the next call
    int bytes = 0;
    int pause_ms = 0;
    // The bytes begin at a keyframe's first piece where the reader (re)started: anything
    // left unfinished before them is void.
    bool from_keyframe = false;
    int start_index = -1;  // the keyframe entry's ring index, when from_keyframe
  };

  LiveFlvReader(std::shared_ptr<Channel_Info> ch, const SessionLog& log, int source_wait_ms);
  ~LiveFlvReader();
  LiveFlvReader(const LiveFlvReader&) = delete;
  LiveFlvReader& operator=(const LiveFlvReader&) = delete;

  // false (logged) when the channel has no FLV ring running or the buffer cannot be had.
  bool open();
  Next next_batch(Batch& out);

  // Where the player stands: more than a quarter of the filled ring past the oldest entry
  // (pacing sleeps only then), and the entries read and committed so far.
  bool ahead() const;
  uint64_t position() const { return rd_ ? rd_->position() : 0; }
  uint64_t commits() const { return ring_ ? ring_->commits() : 0; }
  int ring_size() const { return ring_ ? ring_->size() : 0; }

 private:
  Next find_keyframe();
  Next follow(Batch& out);
  Next outage();
  void restart_at_keyframe(uint64_t from, uint64_t floor);
  void mark_start(Batch& out);

  std::shared_ptr<Channel_Info> ch_;
  const SessionLog log_;
  const int source_wait_ms_;
  RealBufferPtr ring_;
  std::unique_ptr<RingReader> rd_;
  std::unique_ptr<uint8_t[]> buf_;
  enum class State { kKeyframe, kFollow, kOutage } state_ = State::kKeyframe;
  uint64_t from_ = 0, floor_ = 0;
  int64_t deadline_ = 0;
  bool gathered_ = false;
  bool lap_pending_ = false;  // a lap came after bytes still handed out: said next time
  int start_index_ = -1;      // the keyframe found, until its bytes go out
};

// The entry holding the first piece of a keyframe tag nearest from: behind first (not
// before floor), then ahead to the newest commit. false when the ring holds none.
bool flv_find_keyframe(const RealBuffer& ring, uint64_t from, uint64_t floor, uint64_t& seq);

}  // namespace kx
