#include "players/live_ts_reader.h"

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "core/os/time.h"
#include "formats/ts.h"
#include "ingest/channel_info.h"
#include "players/live_source.h"

namespace kx {

namespace {

constexpr int kRingWaitMs = 200;   // waits for new data end this often to look at the flags
// At the live edge the entries of this long are gathered and sent together: one wake-up
// per batch rather than one per entry.
constexpr int kCoalesceMs = 100;
// Paced waits are gathered until they come to this much and then slept at once, so the
// entries between them go out in one send: the same pace with fewer wake-ups.
constexpr int kSleepQuantumMs = 100;
constexpr int kScanStep = 64;  // entries looked at per call in the PAT search
// Entries further than size / this from the oldest go out in place (see take).
constexpr int kInPlaceMarginDiv = 8;
constexpr int64_t kPatSearchMs = 10000;
// How long a new player waits for a random-access picture ahead when none is held behind
// (a ring younger than a group of pictures); after it, any PAT with its PMT will do.
constexpr int64_t kRandomAccessWaitMs = 5000;
constexpr int kPkt = static_cast<int>(kTsPacketSize);

const char* const kOff4 = "4. CH[%d] is OFF\n";
const char* const kOff1 = "1. CH[%d] is OFF\n";
const char* const kOff21 = "2.1 CH[%d] is OFF\n";

PcrPaceConfig live_pace(float tolerance) {
  PcrPaceConfig pc;
  pc.tolerance = tolerance;
  pc.us_per_second = 1000000.0;
  pc.unslept_ms = 3000;
  pc.lag_test = true;
  return pc;
}

}  // namespace

LiveTsReader::LiveTsReader(std::shared_ptr<Channel_Info> ch, const SessionLog& log, const LiveTsOptions& opt)
    : ch_(std::move(ch)), log_(log), opt_(opt), pacer_(live_pace(opt.tolerance)) {}

LiveTsReader::~LiveTsReader() = default;

// Reads ring from now on; how far from the writer an entry may go out in place follows
// its size.
void LiveTsReader::follow(RealBufferPtr ring) {
  ring_ = std::move(ring);
  rd_ = std::make_unique<RingReader>(ring_);
  const int auto_margin = std::max(ring_->size() / kInPlaceMarginDiv, kInPlaceMinMargin);
  margin_ = static_cast<uint64_t>(opt_.in_place_margin > 0 ? opt_.in_place_margin : auto_margin);
}

bool LiveTsReader::open() {
  ring_ = ch_->rt.ring();
  if (!ring_ || !input_on(*ch_)) {
    log_(kOff4, log_.no);
    return false;
  }
  buf_ = live_batch_buffer();
  if (!buf_) return false;
  follow(ring_);
  bool first = false;
  if (ch_->def.nCache_On_Demand == 1) {
    int expected = 0;
    first = ch_->rt.nFirst_Player.compare_exchange_strong(expected, 1);
  }
  if (first) {
    log_("Username [%s] is the first player\n", log_.user);
    rd_->seek_oldest();
  } else {
    log_("Username [%s] Head [%d] Tail [%d]\n", log_.user, ring_->head(), ring_->tail());
    rd_->seek_start_point();
    log_("Username [%s] CH [%d] nHas_Data_Buffer_Size=[%d] nReal_Buffer_output_index=[%d]\n", log_.user, log_.no,
         ring_->filled(), static_cast<int>(rd_->position() % static_cast<uint64_t>(ring_->size())));
  }
  connection_ = ch_->rt.connections.load();
  to_start(rd_->position(), 0);
  return true;
}

// A new connection of the input began while the player was following: what comes next
// is another stream, to be joined where a decoder can begin, after what was sent.
bool LiveTsReader::source_replaced() {
  const uint32_t now = ch_->rt.connections.load();
  if (now == connection_) return false;
  connection_ = now;
  if (state_ != State::kBurst && state_ != State::kSteady) return false;
  to_start(rd_->position(), rd_->position());
  log_("Username [%s] CH [%d] source is back; continuing from [%d]\n", log_.user, log_.no,
       static_cast<int>(rd_->position() % static_cast<uint64_t>(ring_->size())));
  return true;
}

LiveTsReader::Next LiveTsReader::next_batch(LiveBatch& out) {
  out = LiveBatch{};
  if (source_replaced()) return Next::kWait;
  switch (state_) {
    case State::kDecodable: return decodable(out);
    case State::kPat: return pat(out);
    case State::kBurst: return burst(out);
    case State::kSteady: return steady(out);
    case State::kSourceWait: return source_wait();
  }
  return Next::kOff;
}

LiveTsReader::Next LiveTsReader::off(const char* fmt) {
  log_(fmt, log_.no);
  return Next::kOff;
}

// The input stopped delivering. A player waits for it (up to source_wait_ms) unless the
// channel is over for good; then it ends with the line of the phase it was in.
LiveTsReader::Next LiveTsReader::input_gone(const char* off_fmt) {
  if (opt_.source_wait_ms <= 0 || input_ended(*ch_)) return off(off_fmt);
  off_fmt_ = off_fmt;
  wait_end_ = mono_ms() + opt_.source_wait_ms;
  state_ = State::kSourceWait;
  log_("Username [%s] CH [%d] source is off; waiting up to [%d] ms for it\n", log_.user, log_.no,
       opt_.source_wait_ms);
  return Next::kWait;
}

LiveTsReader::Next LiveTsReader::source_wait() {
  if (input_ended(*ch_)) return off(off_fmt_);
  RealBufferPtr now = ch_->rt.ring();
  if (now && input_on(*ch_)) {
    connection_ = ch_->rt.connections.load();
    if (now != ring_) {
      // The input started over with a new ring: all of it is new to this player.
      follow(std::move(now));
      rd_->seek_oldest();
      to_start(rd_->position(), 0);
    } else {
      to_start(rd_->position(), rd_->position());  // what is behind was sent already
    }
    log_("Username [%s] CH [%d] source is back; continuing from [%d]\n", log_.user, log_.no,
         static_cast<int>(rd_->position() % static_cast<uint64_t>(ring_->size())));
    return Next::kWait;
  }
  if (mono_ms() >= wait_end_) return off(off_fmt_);
  if (now)
    now->wait_beyond(now->commits(), kRingWaitMs);
  else
    sleep_ms(kRingWaitMs);
  return Next::kWait;
}

void LiveTsReader::to_start(uint64_t from, uint64_t floor) {
  state_ = State::kDecodable;
  from_ = from;
  floor_ = floor;
  deadline_ = mono_ms() + kRandomAccessWaitMs;
}

// The entry of start.seq from its PAT on, when the writer has not taken it meanwhile.
LiveTsReader::Next LiveTsReader::start_found(const TsStart& found, LiveBatch& out, bool& taken) {
  TsStart start = found;
  int len = 0;
  rd_->seek(start.seq);
  taken = rd_->next(buf_.get(), len) == RingReader::kData && rd_->position() == start.seq + 1 &&
          start.pos + kPkt <= len;
  if (!taken) return Next::kWait;
  if (start.pmt_pid < 0) {
    int pids[TsStartFinder::kMaxPmts];
    if (pat_pmt_pids(buf_.get() + start.pos, pids, TsStartFinder::kMaxPmts) > 0) start.pmt_pid = pids[0];
  }
  log_("Username [%s] Thread[%x]: Channel_HTTP_DataThread : CH no.[%d] Found Video PAT in Index [%d] POS[%d] "
       "nRemider_Length=[%d]\n",
       log_.user, log_.tid, log_.no, static_cast<int>(start.seq % static_cast<uint64_t>(ring_->size())), start.pos,
       len - start.pos);
  pmt_pid_ = start.pmt_pid;
  out.add(buf_.get() + start.pos, len - start.pos);
  out.copied = len;
  out.stage = "Sending PAT";
  out.phase = LivePhase::kStart;
  state_ = State::kBurst;
  burst_left_ = -1;  // measured when the burst begins
  return Next::kData;
}

// A PAT followed by a random-access picture, nearest the start: a player decodes from
// its first frame. Behind first, then a while ahead; then any PAT with its PMT.
LiveTsReader::Next LiveTsReader::decodable(LiveBatch& out) {
  if (!input_on(*ch_)) return input_gone(kOff4);
  out.stage = "Find PAT";
  TsStart start;
  start.pmt_pid = -1;
  const DecodableScan d = ts_find_decodable_start(*ring_, from_, start, floor_);
  if (d == DecodableScan::kFound) {
    bool taken = false;
    const Next n = start_found(start, out, taken);
    if (taken) return n;
  }
  if (d == DecodableScan::kNoMarks || mono_ms() > deadline_) {
    rd_->seek(from_);
    finder_.reset();
    state_ = State::kPat;
    deadline_ = mono_ms() + kPatSearchMs;
    return Next::kWait;
  }
  if (d == DecodableScan::kNone) ring_->wait_beyond(ring_->commits(), kRingWaitMs);
  return Next::kWait;
}

// The PAT with its PMT after the reader's position, bounded by one ring's worth of
// entries or a few seconds at the live edge.
LiveTsReader::Next LiveTsReader::pat(LiveBatch& out) {
  if (!input_on(*ch_)) return input_gone(kOff4);
  out.stage = "Find PAT";
  TsStart start;
  const TsScan r = ts_scan_start(*rd_, finder_, buf_.get(), kScanStep, start);
  if (r == TsScan::kLapped) return Next::kWait;  // rd_ stands at the start point again
  if (r == TsScan::kFound) {
    bool taken = false;
    const Next n = start_found(start, out, taken);
    if (taken) return n;
    rd_->seek_start_point();  // the writer took the PAT's entry meanwhile
    if (rd_->position() < floor_) rd_->seek(floor_);
    finder_.reset();
    return Next::kWait;
  }
  if (finder_.entries_seen() > ring_->size() || mono_ms() > deadline_) {
    log_("Warning: Thread[%x]: Channel_HTTP_DataThread : CH no.[%d] NO PAT in Buffer\n", log_.tid, log_.no);
    return Next::kOff;
  }
  if (r == TsScan::kCaughtUp) rd_->wait(kRingWaitMs);
  return Next::kWait;
}

// The writer overtook the player: what it would send next is gone. Again from the start
// point, at a PAT.
LiveTsReader::Next LiveTsReader::lapped() {
  log_("Username [%s] CH[%d] fell a whole buffer behind; starting again from [%d]\n", log_.user, log_.no,
       static_cast<int>(rd_->position() % static_cast<uint64_t>(ring_->size())));
  to_start(rd_->position(), 0);
  return Next::kLapped;
}

// Up to a quarter of what lies ahead, capped by the prebuffer, as fast as the player
// takes it.
LiveTsReader::Next LiveTsReader::burst(LiveBatch& out) {
  if (burst_left_ < 0) {
    const uint64_t c = ring_->commits(), pos = rd_->position();
    const int ahead =
        c > pos ? static_cast<int>(std::min<uint64_t>(c - pos, static_cast<uint64_t>(ring_->size()))) : 0;
    log_("Username [%s] CH [%d] Real nHas_Data_Buffer_Size=[%d] nReal_Buffer_output_index=[%d]\n", log_.user,
         log_.no, ahead, static_cast<int>(pos % static_cast<uint64_t>(ring_->size())));
    burst_left_ = std::min(ahead / 4, opt_.prebuffer > 0 ? opt_.prebuffer : ring_->size() / 4);
  }
  if (!input_on(*ch_)) return input_gone(kOff1);
  if (burst_left_ <= 0) {
    enter_steady();
    return steady(out);
  }
  int n = 0;
  bool lap = false, caught_up = false;
  while (n < kLiveBatchEntries && n < burst_left_) {
    EntryMeta m;
    const RingReader::Result r = take(out, m);
    if (r == RingReader::kCaughtUp) {
      caught_up = true;
      break;
    }
    if (r == RingReader::kLapped) {
      lap = true;
      break;
    }
    ++n;
  }
  burst_left_ -= n;
  const int bytes = out.bytes;
  out.stage = "Sending Data";
  out.phase = LivePhase::kBurst;
  if (lap) {
    const Next l = lapped();  // the entries gathered before the lap are still whole
    return bytes > 0 ? Next::kData : l;
  }
  if (caught_up || burst_left_ <= 0) enter_steady();
  return bytes > 0 ? Next::kData : Next::kWait;
}

// One entry onto the batch: in place when it lies well clear of the writer's next
// overwrites, so the kernel takes it long before the writer comes round; copied into the
// player's buffer when the player trails near the oldest entry.
RingReader::Result LiveTsReader::take(LiveBatch& out, EntryMeta& m) {
  int len = 0;
  if (rd_->position() >= ring_->oldest() + margin_) {
    const uint8_t* p = nullptr;
    const RingReader::Result r = rd_->next_view(p, len, &m);
    if (r == RingReader::kData) out.add(p, len, rd_->position() - 1);
    return r;
  }
  uint8_t* dst = buf_.get() + out.copied;
  const RingReader::Result r = rd_->next(dst, len, &m);
  if (r != RingReader::kData) return r;
  out.copied += len;
  out.add(dst, len);
  return r;
}

void LiveTsReader::overtaken(uint64_t seq) {
  log_("Username [%s] CH[%d] was overtaken while sending from [%d]; starting again\n", log_.user, log_.no,
       static_cast<int>(seq % static_cast<uint64_t>(ring_->size())));
  rd_->seek_start_point();  // a whole ring behind: as after a lap
  to_start(rd_->position(), 0);
}

bool LiveTsReader::sent(const LiveBatch& b) {
  if (b.ring_from == kNoSeq || ring_->intact(b.ring_from)) return true;
  overtaken(b.ring_from);
  return false;
}

// The payload of an in-place span from off on, into the player's buffer after what the
// batch already uses there.
bool LiveTsReader::copy_out(const LiveSpan& span, int off, LiveBatch& rest) {
  if (rest.copied + kEntryBytes > kLiveBatchEntries * kEntryBytes) return false;  // cannot happen: one entry per span
  uint8_t* dst = buf_.get() + rest.copied;
  EntryMeta m;
  const int n = ring_->read(span.seq, dst, &m);
  if (n < 0) return false;
  const int header = m.header_len > 0 && m.header_len < n ? m.header_len : 0;
  const int take = std::min(n - header - off, span.len - off);
  if (take <= 0) return true;
  std::memmove(dst, dst + header + off, static_cast<std::size_t>(take));
  rest.copied += take;
  rest.add(dst, take);
  return true;
}

bool LiveTsReader::settle(LiveBatch& b, std::size_t done) {
  LiveBatch rest;
  bool whole = sent(b);  // false: what the kernel took was already torn
  rest.copied = b.copied;
  for (int i = 0; i < b.span_count; ++i) {
    const LiveSpan& sp = b.spans[i];
    if (done >= static_cast<std::size_t>(sp.len)) {
      done -= static_cast<std::size_t>(sp.len);
      continue;
    }
    const int off = static_cast<int>(done);
    done = 0;
    if (sp.seq == kNoSeq) {
      rest.add(sp.data + off, sp.len - off);
    } else if (whole && !copy_out(sp, off, rest)) {
      overtaken(sp.seq);
      whole = false;
    }
  }
  if (!whole) {
    b.span_count = 0;
    b.bytes = 0;
    return false;
  }
  std::copy(rest.spans, rest.spans + rest.span_count, b.spans);
  b.span_count = rest.span_count;
  b.bytes = rest.bytes;
  b.copied = rest.copied;
  b.ring_from = kNoSeq;
  return true;
}

void LiveTsReader::enter_steady() {
  state_ = State::kSteady;
  pacer_.reset();
  owed_ms_ = 0;
  gathered_ = false;
  log_("Username [%s] Thread[%x]: CH [%d] Start Streaming from [%d]\n", log_.user, log_.tid, log_.no,
       static_cast<int>(rd_->position() % static_cast<uint64_t>(ring_->size())));
}

// Paced streaming. The pacing looks at the first PCR of each entry; the entries between
// pauses go out together.
LiveTsReader::Next LiveTsReader::steady(LiveBatch& out) {
  if (!input_on(*ch_)) return input_gone(kOff1);
  int n = 0;
  bool lap = false;
  while (n < kLiveBatchEntries) {
    EntryMeta m;
    const RingReader::Result r = take(out, m);
    if (r == RingReader::kCaughtUp) break;
    if (r == RingReader::kLapped) {
      lap = true;
      break;
    }
    if (m.pcr >= 0) {
      const uint64_t seq = rd_->position() - 1;
      const uint64_t c = ring_->commits(), old = ring_->oldest();
      const bool ahead = seq >= old && seq - old > (c - old) / 4;
      const PcrPacer::Step st = pacer_.on_pcr(static_cast<uint64_t>(m.pcr), ahead);
      if (st.first) log_("Username [%s] Video first time=[%5.3f]\n", log_.user, pacer_.first_time());
      owed_ms_ += st.sleep_ms;
    }
    ++n;
    if (owed_ms_ >= kSleepQuantumMs) break;
  }
  const int bytes = out.bytes;
  out.phase = LivePhase::kSteady;
  out.stage = "Sending Data";
  if (lap) {
    const Next l = lapped();
    return bytes > 0 ? Next::kData : l;
  }
  if (owed_ms_ >= kSleepQuantumMs) {
    out.pause_ms = owed_ms_;
    owed_ms_ = 0;
    if (bytes == 0) out.stage = "Finding PCR";
    return bytes > 0 ? Next::kData : Next::kWait;
  }
  if (n > 0) {
    gathered_ = false;
    return Next::kData;
  }
  // Caught up with the live edge: waiting for the source is pause enough.
  owed_ms_ = 0;
  out.stage = "Empty Data";
  if (!input_on(*ch_)) return input_gone(kOff21);
  if (!gathered_) {
    // A running source has committed more by the end of this pause; only when it has not
    // does the player wait on the ring.
    gathered_ = true;
    out.pause_ms = kCoalesceMs;
    return Next::kWait;
  }
  // Quiet for a while and the input has started over with a new ring: this one will get
  // nothing more.
  if (!rd_->wait(kRingWaitMs) && ch_->rt.ring() != ring_) return input_gone(kOff21);
  return Next::kWait;
}

}  // namespace kx
