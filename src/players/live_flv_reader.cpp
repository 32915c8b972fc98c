#include "players/live_flv_reader.h"

#include <algorithm>

#include "core/log.h"
#include "core/os/time.h"
#include "ingest/channel_info.h"
#include "players/live_source.h"

namespace kx {

namespace {

constexpr int kRingWaitMs = 200;
constexpr int kCoalesceMs = 100;   // at the live edge, entries of this long go out together
constexpr int64_t kKeyframeWaitMs = 10000;  // a group of pictures longer than this has no start

}  // namespace

bool flv_find_keyframe(const RealBuffer& ring, uint64_t from, uint64_t floor, uint64_t& seq) {
  const uint64_t c = ring.commits(), old = std::max(ring.oldest(), floor);
  if (c == 0 || old >= c) return false;
  from = std::clamp(from, old, c - 1);
  EntryMeta m;
  for (uint64_t s = from + 1; s > old;) {
    --s;
    if (!ring.peek(s, m)) break;
    if (m.keyframe_offset == 0) return (seq = s), true;
  }
  for (uint64_t s = from + 1; s < c; ++s)
    if (ring.peek(s, m) && m.keyframe_offset == 0) return (seq = s), true;
  return false;
}

LiveFlvReader::LiveFlvReader(std::shared_ptr<Channel_Info> ch, const SessionLog& log, int source_wait_ms)
    : ch_(std::move(ch)), log_(log), source_wait_ms_(source_wait_ms) {}

LiveFlvReader::~LiveFlvReader() = default;

bool LiveFlvReader::open() {
  ring_ = ch_->rt.flv_ring();
  if (!ring_ || !input_on(*ch_)) {
    log_("4. CH[%d] is OFF\n", log_.no);
    return false;
  }
  buf_ = live_batch_buffer();
  if (!buf_) return false;
  rd_ = std::make_unique<RingReader>(ring_);
  bool first = false;
  if (ch_->def.nCache_On_Demand == 1) {
    int expected = 0;
    first = ch_->rt.nFirst_Player.compare_exchange_strong(expected, 1);
  }
  if (first) {
    log_("Username [%s] is the first player\n", log_.user);
    rd_->seek_oldest();
  } else {
    rd_->seek_start_point();
    log_("Username [%s] nHas_Data_Buffer_Size=[%d] nReal_Buffer_output_index=[%d]\n", log_.user, ring_->filled(),
         static_cast<int>(rd_->position() % static_cast<uint64_t>(ring_->size())));
  }
  restart_at_keyframe(rd_->position(), 0);
  return true;
}

void LiveFlvReader::restart_at_keyframe(uint64_t from, uint64_t floor) {
  from_ = from;
  floor_ = floor;
  deadline_ = mono_ms() + kKeyframeWaitMs;
  state_ = State::kKeyframe;
}

bool LiveFlvReader::ahead() const {
  if (!rd_) return false;
  const uint64_t seq = rd_->position(), c = ring_->commits(), old = ring_->oldest();
  return seq >= old && c >= old && seq - old > (c - old) / 4;
}

LiveFlvReader::Next LiveFlvReader::next_batch(Batch& out) {
  out = Batch{};
  if (lap_pending_) {
    lap_pending_ = false;
    return Next::kLapped;
  }
  if (state_ != State::kOutage && !input_on(*ch_)) {
    if (source_wait_ms_ <= 0 || input_ended(*ch_)) return log_("1. CH[%d] is OFF\n", log_.no), Next::kOff;
    state_ = State::kOutage;
    deadline_ = mono_ms() + source_wait_ms_;
    return Next::kWait;
  }
  switch (state_) {
    case State::kKeyframe: return find_keyframe();
    case State::kFollow: return follow(out);
    case State::kOutage: return outage();
  }
  return Next::kOff;
}

LiveFlvReader::Next LiveFlvReader::find_keyframe() {
  uint64_t seq = 0;
  if (flv_find_keyframe(*ring_, from_, floor_, seq)) {
    rd_->seek(seq);
    state_ = State::kFollow;
    gathered_ = false;
    start_index_ = static_cast<int>(seq % static_cast<uint64_t>(ring_->size()));
    return Next::kWait;
  }
  if (mono_ms() > deadline_) {
    log_("Username [%s] CH[%d] Can not Find Keyframe\n", log_.user, log_.no);
    return Next::kOff;
  }
  ring_->wait_beyond(ring_->commits(), kRingWaitMs);
  return Next::kWait;
}

void LiveFlvReader::mark_start(Batch& out) {
  if (start_index_ < 0 || out.bytes <= 0) return;
  out.from_keyframe = true;
  out.start_index = start_index_;
  start_index_ = -1;
}

LiveFlvReader::Next LiveFlvReader::follow(Batch& out) {
  int bytes = 0, n = 0;
  while (n < kLiveBatchEntries) {
    int len = 0;
    const RingReader::Result r = rd_->next(buf_.get() + bytes, len);
    if (r == RingReader::kCaughtUp) break;
    if (r == RingReader::kLapped) {
      // What would come next is gone: again from a keyframe. What was gathered before
      // the lap is whole and goes out first; the lap is said on the next call.
      restart_at_keyframe(rd_->position(), 0);
      out.data = buf_.get();
      out.bytes = bytes;
      mark_start(out);
      lap_pending_ = bytes > 0;
      return bytes > 0 ? Next::kData : Next::kLapped;
    }
    bytes += len;
    ++n;
  }
  out.data = buf_.get();
  out.bytes = bytes;
  if (n > 0) {
    mark_start(out);
    gathered_ = false;
    return Next::kData;
  }
  if (!gathered_) {
    gathered_ = true;
    out.pause_ms = kCoalesceMs;
    return Next::kWait;
  }
  if (!rd_->wait(kRingWaitMs) && ch_->rt.flv_ring() != ring_) {
    // The input started over with a new ring: this one gets nothing more.
    if (source_wait_ms_ <= 0) return log_("2.1 CH[%d] is OFF\n", log_.no), Next::kOff;
    state_ = State::kOutage;
    deadline_ = mono_ms() + source_wait_ms_;
  }
  return Next::kWait;
}

LiveFlvReader::Next LiveFlvReader::outage() {
  if (input_ended(*ch_)) return log_("1. CH[%d] is OFF\n", log_.no), Next::kOff;
  RealBufferPtr now = ch_->rt.flv_ring();
  if (now && input_on(*ch_)) {
    if (now != ring_) {
      ring_ = std::move(now);
      rd_ = std::make_unique<RingReader>(ring_);
      rd_->seek_oldest();
      floor_ = 0;
    } else {
      floor_ = rd_->position();  // what is behind was sent already
    }
    restart_at_keyframe(rd_->position(), floor_);
    return Next::kWait;
  }
  if (mono_ms() >= deadline_) return log_("1. CH[%d] is OFF\n", log_.no), Next::kOff;
  sleep_ms(kRingWaitMs);
  return Next::kWait;
}

}  // namespace kx
