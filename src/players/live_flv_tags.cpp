#include "players/live_flv_tags.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/log.h"
#include "formats/flv.h"
#include "formats/flv_to_ts.h"
#include "formats/h264.h"
#include "formats/ts.h"
#include "formats/ts_to_flv.h"
#include "ingest/channel_info.h"
#include "ingest/flv_splitter.h"
#include "players/flv_tag_assembler.h"
#include "players/live_flv_reader.h"
#include "players/live_source.h"
#include "players/live_ts_reader.h"

namespace kx {

namespace {

constexpr int kInputFlv = 1;
constexpr int kSoundAac = 10, kCodecAvc = 7;
constexpr int kSleepQuantumMs = 100;     // paced waits are gathered up to this and slept at once
constexpr int kMaxTagDeltaMs = 2000;     // a single tag is never worth a longer wait
constexpr std::size_t kMaxBatchTags = 256;
// A source clock that jumps further than this (backwards, or forwards) is a new
// timeline: the tags after it go on from where the player's timeline was.
constexpr int32_t kBackJumpMs = 1000;
constexpr int32_t kForwardJumpMs = 10000;
constexpr int64_t kRestartGapMs = 40;    // between the last tag sent and the first after a restart
constexpr int kPkt = static_cast<int>(kTsPacketSize);

uint32_t get24(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

bool is_avc_keyframe(const uint8_t* d, uint32_t n) { return n >= 2 && d[0] == 0x17 && d[1] == 1; }

bool is_config(int type, const uint8_t* d, uint32_t n) {
  if (n < 2 || d[1] != 0) return false;
  if (type == kFlvTagVideo) return (d[0] & 0x0F) == kCodecAvc;
  if (type == kFlvTagAudio) return (d[0] >> 4) == kSoundAac;
  return false;
}

// The body of the script tag in a header block (file header, PreviousTagSize0, script
// tag); false when the block holds none that checks out.
bool script_body(const std::string& block, std::string& out) {
  constexpr std::size_t at = kFlvFileHeaderSize + 4;
  if (block.size() < at + kFlvTagHeaderSize) return false;
  const auto* h = reinterpret_cast<const uint8_t*>(block.data()) + at;
  const uint32_t size = get24(h + 1);
  if (h[0] != kFlvTagScript || size == 0 || size > block.size() - at - kFlvTagHeaderSize) return false;
  out.assign(block, at + kFlvTagHeaderSize, size);
  return true;
}

}  // namespace

// The player's timeline: 0 at the first media tag, and continuous across restarts and
// clock jumps of the source.
class TagTimeline {
 public:
  void restart() { restart_ = true; }
  bool started() const { return have_; }
  uint32_t now() const { return static_cast<uint32_t>(std::max<int64_t>(max_out_, 0)); }
  // The player's time of a tag at source time src; below 0 for a tag from before the
  // first one (audio muxed ahead of the picture the player starts at), which is left out.
  int64_t map(uint32_t src) {
    if (!have_) {
      have_ = true;
      restart_ = false;
      last_src_ = src;
      cur_ = max_out_ = 0;
      return 0;
    }
    const int32_t d = static_cast<int32_t>(src - last_src_);  // wraps of the 32-bit clock included
    last_src_ = src;
    if (restart_ || d < -kBackJumpMs || d > kForwardJumpMs) {
      restart_ = false;
      cur_ = max_out_ + kRestartGapMs;
    } else {
      cur_ += d;
    }
    max_out_ = std::max(max_out_, cur_);
    return std::min<int64_t>(cur_, UINT32_MAX);
  }

 private:
  bool have_ = false, restart_ = false;
  uint32_t last_src_ = 0;
  int64_t cur_ = 0, max_out_ = 0;
};

// Tag-timestamp pacing of an FLV ring: the first unslept_ms of stream time go out at
// once; afterwards each tag's delta is slept while the player is ahead of the first
// quarter of the ring. A player that the input pulled away from (or that pulled away
// from the input) by more than a tenth of the ring gets the unslept allowance again.
class TagPacer {
 public:
  explicit TagPacer(int unslept_ms) : unslept_ms_(unslept_ms) {}
  void positions(uint64_t in, uint64_t out, int ring) {
    if (have_pos_) {
      const int64_t moved = static_cast<int64_t>(in - last_in_) - static_cast<int64_t>(out - last_out_);
      if (ring > 0 && (moved > ring / 10 || -moved > ring / 10)) summed_ = 0;
    }
    have_pos_ = true;
    last_in_ = in;
    last_out_ = out;
  }
  // ms to owe after the tag at time t.
  int on_tag(uint32_t t, bool ahead) {
    int64_t delta = have_prev_ ? static_cast<int64_t>(t) - static_cast<int64_t>(prev_) : 0;
    have_prev_ = true;
    prev_ = t;
    delta = std::clamp<int64_t>(delta, 0, kMaxTagDeltaMs);
    if (summed_ <= unslept_ms_) {
      summed_ += delta;
      return 0;
    }
    return ahead ? static_cast<int>(delta) : 0;
  }

 private:
  const int64_t unslept_ms_;
  int64_t summed_ = 0;
  bool have_prev_ = false;
  uint32_t prev_ = 0;
  bool have_pos_ = false;
  uint64_t last_in_ = 0, last_out_ = 0;
};

struct LiveFlvTags::Impl {
  Impl(std::shared_ptr<Channel_Info> c, const SessionLog& l, const LiveFlvOptions& o, LiveStreamInfo& i)
      : ch(std::move(c)), log(l), opt(o), info(i), pacer(o.unslept_ms) {}

  bool open();
  Next next(LiveTagBatch& out);

  // ---- FLV channels
  bool open_flv();
  Next flv_next(LiveTagBatch& out);
  bool flv_begin(const LiveFlvReader::Batch& b, LiveTagBatch& out);
  void flv_setup_tags(const DecoderSetup& s, bool first, LiveTagBatch& out);
  void flv_info(const DecoderSetup& s);
  bool flv_tag(const FlvRingTag& t, LiveTagBatch& out);

  // ---- TS channels
  bool open_ts();
  Next ts_next(LiveTagBatch& out);
  void ts_feed(const uint8_t* p, int len);
  static void on_ts_tag(void* ctx, const FlvTagView& t);
  void ts_tag(const FlvTagView& t);
  void keep(int type, uint32_t ts, const uint8_t* d, std::size_t n, bool key, bool config);

  std::shared_ptr<Channel_Info> ch;
  const SessionLog log;
  const LiveFlvOptions opt;
  LiveStreamInfo& info;
  TagTimeline times;
  TagPacer pacer;
  bool from_ts = false;
  bool streaming = false;  // "Start Streaming" said
  int owed_ms = 0;

  std::unique_ptr<LiveFlvReader> flv;
  FlvTagAssembler tags{kFlvTagDataMax};
  DecoderSetupPtr setup;
  std::string script, avc, aac;  // the set-up tag bodies handed out
  bool setup_sent = false;
  int check_key_index = -1;      // the starting entry, until its tag is looked at

  std::unique_ptr<LiveTsReader> ts;
  std::unique_ptr<TsToFlv> conv;
  FlvTagReader tag_reader;
  std::vector<uint8_t> conv_out;
  uint8_t carry[kTsPacketSize];  // a packet cut between two pieces
  int carry_len = 0;
  bool header_seen = false, script_sent = false, need_key = true;
  std::vector<uint8_t> store;     // this batch's converted tag bodies
  std::vector<std::size_t> offs;  // where each tag's body starts in store
  int first_media = -1;           // this batch's first media tag
  LiveTagBatch* filling = nullptr;
};

// ---------------------------------------------------------------- FLV channels

bool LiveFlvTags::Impl::open_flv() {
  setup = ch->rt.setup();
  if (setup && !setup->avc_header.empty()) {
    flv_info(*setup);
  } else if (RealBufferPtr ring = ch->rt.flv_ring()) {
    // Media is stored only after its set-up was captured: a keyframe without an AVC
    // configuration means the source never gave one.
    uint64_t seq = 0;
    if (flv_find_keyframe(*ring, ring->commits(), 0, seq)) {
      log_sys("CH[%d] does not have SPS Information (PPS Len=0)\n", log.no);
      return false;
    }
  }
  flv = std::make_unique<LiveFlvReader>(ch, log, opt.source_wait_ms);
  return flv->open();
}

void LiveFlvTags::Impl::flv_info(const DecoderSetup& s) {
  info.width = s.width;
  info.height = s.height;
  info.framerate = s.framerate;
  info.videodatarate = s.datarate;
  info.audiodatarate = 0;
  info.videocodecid = kCodecAvc;
  info.video_codec_name = s.video_codec.empty() ? "avc1" : s.video_codec;
  info.audiocodecid = s.aac_config.empty() ? 0 : kSoundAac;
  info.audio_codec_name = s.aac_config.empty() ? "" : "mp4a";
  info.from_ts = false;
  const int flags = s.flv_header.size() >= kFlvFileHeaderSize ? (static_cast<uint8_t>(s.flv_header[4]) & 5) : 0;
  info.has_video = flags ? (flags & 1) != 0 : true;
  info.has_audio = flags ? (flags & 4) != 0 : !s.aac_config.empty();
}

// The decoder set-up as tags: onMetaData first (only at the start), then the AVC and AAC
// sequence headers.
void LiveFlvTags::Impl::flv_setup_tags(const DecoderSetup& s, bool first, LiveTagBatch& out) {
  const uint32_t t = times.now();
  if (first) {
    if (!script_body(s.flv_header, script)) {
      // No onMetaData from the source: ours, from what is known.
      StreamMeta m;
      m.width = s.width;
      m.height = s.height;
      m.framerate = s.framerate;
      m.videocodecid = kCodecAvc;
      m.audiocodecid = s.aac_config.empty() ? -2 : kSoundAac;
      uint8_t block[kFlvHeaderCapacity];
      const int n = flv_build_header(m, block, sizeof block);
      if (n > 0) script_body(std::string(reinterpret_cast<const char*>(block), static_cast<std::size_t>(n)), script);
    }
    if (!script.empty())
      out.tags.push_back({kFlvTagScript, 0, reinterpret_cast<const uint8_t*>(script.data()),
                          static_cast<uint32_t>(script.size()), false, false});
  }
  const std::size_t skip = s.avc_chunk_header ? kAvcRtmpPrefix : 0;
  avc = s.avc_header.size() > skip ? s.avc_header.substr(skip) : std::string();
  if (!avc.empty())
    out.tags.push_back({kFlvTagVideo, t, reinterpret_cast<const uint8_t*>(avc.data()),
                        static_cast<uint32_t>(avc.size()), false, true});
  aac = s.aac_config;
  if (aac.size() >= 2) {
    out.tags.push_back({kFlvTagAudio, t, reinterpret_cast<const uint8_t*>(aac.data()),
                        static_cast<uint32_t>(aac.size()), false, true});
    log("CH[%d] Sends [%d] Audio bytes\n", log.no, static_cast<int>(aac.size()));
  }
  out.stage = "Sending SPS";
}

// A batch that starts at a keyframe: the player's first (set-up first), or a new start
// after a lap or an outage (the set-up again only when the source's changed).
bool LiveFlvTags::Impl::flv_begin(const LiveFlvReader::Batch& b, LiveTagBatch& out) {
  tags.reset();
  log("Username [%s] CH[%d] FLV Keyframe Starting Index=[%d]\n", log.user, log.no, b.start_index);
  check_key_index = b.start_index;
  DecoderSetupPtr now = ch->rt.setup();
  if (!setup_sent) {
    if (!now || now->avc_header.empty()) {
      log("CH[%d] does not have SPS Information (PPS Len=0)\n", log.no);
      return false;
    }
    setup = now;
    flv_info(*setup);
    flv_setup_tags(*setup, true, out);
    setup_sent = true;
    return true;
  }
  times.restart();
  if (now && now != setup && (now->avc_header != setup->avc_header || now->aac_config != setup->aac_config) &&
      !now->avc_header.empty()) {
    setup = now;
    flv_setup_tags(*setup, false, out);
  }
  return true;
}

bool LiveFlvTags::Impl::flv_tag(const FlvRingTag& t, LiveTagBatch& out) {
  const bool key = t.type == kFlvTagVideo && is_avc_keyframe(t.data, t.size);
  if (check_key_index >= 0) {
    log(key ? "Username [%s] CH[%d] Index [%d] is Video Keyframe\n" : "Username [%s] CH[%d] Index [%d] Not Video Keyframe\n",
        log.user, log.no, check_key_index);
    check_key_index = -1;
  }
  const bool config = is_config(t.type, t.data, t.size);
  const int64_t at = config ? times.now() : times.map(t.timestamp);
  if (at < 0) return true;
  const uint32_t ts = static_cast<uint32_t>(at);
  out.tags.push_back({t.type, ts, t.data, t.size, key, config});
  if (config) return true;
  if (!streaming) {
    streaming = true;
    log("Username [%s] CH[%d] Start Streaming\n", log.user, log.no);
  }
  owed_ms += pacer.on_tag(ts, flv->ahead());
  return owed_ms < kSleepQuantumMs;
}

LiveFlvTags::Next LiveFlvTags::Impl::flv_next(LiveTagBatch& out) {
  tags.compact();  // the tags of the last call are sent
  for (;;) {
    while (out.tags.size() < kMaxBatchTags) {
      FlvRingTag t;
      const FlvTagAssembler::Result r = tags.next(t);
      if (r == FlvTagAssembler::kNeedMore) break;
      if (r != FlvTagAssembler::kTag && !out.tags.empty()) return Next::kTags;  // the tags before it go out
      if (r == FlvTagAssembler::kBadType) {
        log("Username [%s] CH[%d] FLV TagType Error[%d]\n", log.user, log.no, tags.bad_type());
        return Next::kOff;
      }
      if (r == FlvTagAssembler::kBadSize) {
        // The ring's writer never stores such a tag: what follows cannot be trusted either.
        log("Username [%s] CH[%d] FLV Tag Size Error[%u]\n", log.user, log.no, tags.bad_size());
        return Next::kOff;
      }
      if (!out.stage) out.stage = "Sending Data";
      if (!flv_tag(t, out)) {
        out.pause_ms = owed_ms;
        owed_ms = 0;
        return Next::kTags;
      }
    }
    if (!out.tags.empty()) return Next::kTags;
    LiveFlvReader::Batch b;
    switch (flv->next_batch(b)) {
      case LiveFlvReader::Next::kOff:
        return Next::kOff;
      case LiveFlvReader::Next::kLapped:
        tags.reset();
        times.restart();
        return Next::kLapped;
      case LiveFlvReader::Next::kWait:
        out.pause_ms = b.pause_ms;
        out.stage = "Empty Data";
        return Next::kWait;
      case LiveFlvReader::Next::kData:
        break;
    }
    if (b.from_keyframe && !flv_begin(b, out)) return Next::kOff;
    if (!setup_sent) continue;  // nothing before the first keyframe is usable
    pacer.positions(flv->commits(), flv->position(), flv->ring_size());
    tags.append(b.data, static_cast<std::size_t>(b.bytes));
  }
}

// ---------------------------------------------------------------- TS channels

bool LiveFlvTags::Impl::open_ts() {
  log_sys("TS to FLV Streaming\n");
  const StreamMeta m = ts_to_flv_default_meta();
  info.width = m.width;
  info.height = m.height;
  info.framerate = m.framerate;
  info.videodatarate = info.audiodatarate = 0;
  info.videocodecid = m.videocodecid;
  info.audiocodecid = m.audiocodecid;
  info.video_codec_name = m.video_codec;
  info.audio_codec_name = m.audio_codec;
  info.from_ts = true;
  conv = std::make_unique<TsToFlv>(m);
  LiveTsOptions o;
  o.prebuffer = opt.prebuffer;
  o.tolerance = opt.tolerance;
  o.source_wait_ms = opt.source_wait_ms;
  o.in_place_margin = INT_MAX;  // the converter reads every byte: always the player's own copy
  ts = std::make_unique<LiveTsReader>(ch, log, o);
  return ts->open();
}

void LiveFlvTags::Impl::keep(int type, uint32_t ts_ms, const uint8_t* d, std::size_t n, bool key, bool config) {
  const LiveTag tag{static_cast<uint8_t>(type), ts_ms, nullptr, static_cast<uint32_t>(n), key, config};
  std::size_t at = filling->tags.size();
  if (config && first_media >= 0) {
    // A sequence header that comes after this batch's first media tag (the audio one
    // comes with the first audio frame) goes before it: the set-up first.
    at = static_cast<std::size_t>(first_media++);
  } else if (!config && type != kFlvTagScript && first_media < 0) {
    first_media = static_cast<int>(at);
  }
  offs.insert(offs.begin() + static_cast<std::ptrdiff_t>(at), store.size());
  filling->tags.insert(filling->tags.begin() + static_cast<std::ptrdiff_t>(at), tag);
  store.insert(store.end(), d, d + n);
}

void LiveFlvTags::Impl::on_ts_tag(void* ctx, const FlvTagView& t) { static_cast<Impl*>(ctx)->ts_tag(t); }

void LiveFlvTags::Impl::ts_tag(const FlvTagView& t) {
  const uint8_t* d = t.data;
  const uint32_t n = static_cast<uint32_t>(t.size);
  if (t.type == kFlvTagScript) {
    if (!script_sent) keep(t.type, 0, d, n, false, false);
    script_sent = true;
    return;
  }
  if (is_config(t.type, d, n)) {
    if (t.type == kFlvTagVideo) {
      log("CH[%d] SPS Len is [%d]\n", log.no, static_cast<int>(n));
    } else if (n >= 4) {
      log_sys("Profile_Object_Type=[%d], Sampling_Frequecy_index=[%d],Channel_Configuration=[%d]\n", d[2] >> 3,
              ((d[2] & 7) << 1) | (d[3] >> 7), (d[3] >> 3) & 0x0F);
      log("CH[%d] Sends Audio bytes\n", log.no);
    }
    keep(t.type, times.now(), d, n, false, true);
    return;
  }
  const bool key = t.type == kFlvTagVideo && is_avc_keyframe(d, n);
  if (need_key) {
    // Media from a video keyframe on; audio only streams go at once.
    const bool video_stream = conv->video_pid() >= 0;
    if (!key && (t.type == kFlvTagVideo || video_stream)) return;
    need_key = false;
  }
  const int64_t ms = times.map(t.timestamp);
  if (ms < 0) return;
  keep(t.type, static_cast<uint32_t>(ms), d, n, key, false);
  if (!streaming) {
    streaming = true;
    log("Username [%s] CH[%d] Start Streaming\n", log.user, log.no);
  }
}

// Whole packets to the converter (a packet cut between pieces is put together first),
// then its FLV bytes to the tag reader.
void LiveFlvTags::Impl::ts_feed(const uint8_t* p, int len) {
  if (carry_len > 0) {
    const int k = std::min(kPkt - carry_len, len);
    std::memcpy(carry + carry_len, p, static_cast<std::size_t>(k));
    carry_len += k;
    p += k;
    len -= k;
    if (carry_len < kPkt) return;
    conv->feed(carry, kTsPacketSize, conv_out);
    carry_len = 0;
  }
  const int whole = len - len % kPkt;
  conv->feed(p, static_cast<std::size_t>(whole), conv_out);
  carry_len = len - whole;
  if (carry_len > 0) std::memcpy(carry, p + whole, static_cast<std::size_t>(carry_len));
}

LiveFlvTags::Next LiveFlvTags::Impl::ts_next(LiveTagBatch& out) {
  LiveBatch b;
  const LiveTsReader::Next n = ts->next_batch(b);
  out.pause_ms = b.pause_ms;
  out.stage = b.stage;
  if (n == LiveTsReader::Next::kOff) return Next::kOff;
  if (n == LiveTsReader::Next::kLapped) {
    carry_len = 0;
    need_key = true;
    times.restart();
    return Next::kLapped;
  }
  if (n == LiveTsReader::Next::kWait || b.bytes <= 0) return Next::kWait;
  conv_out.clear();
  for (int i = 0; i < b.span_count; ++i) ts_feed(b.spans[i].data, b.spans[i].len);
  ts->sent(b);  // nothing in place: the player's own copy was converted
  if (!header_seen && conv_out.size() >= kFlvFileHeaderSize && conv_out[0] == 'F') {
    header_seen = true;
    info.has_video = (conv_out[4] & 1) != 0;
    info.has_audio = (conv_out[4] & 4) != 0;
  }
  store.clear();
  offs.clear();
  first_media = -1;
  filling = &out;
  tag_reader.feed(conv_out.data(), conv_out.size(), on_ts_tag, this);
  filling = nullptr;
  if (tag_reader.failed()) {
    log("CH[%d] TS to FLV conversion failed\n", log.no);
    return Next::kOff;
  }
  for (std::size_t i = 0; i < out.tags.size(); ++i) out.tags[i].data = store.data() + offs[i];
  return out.tags.empty() ? Next::kWait : Next::kTags;
}

// ---------------------------------------------------------------- both

bool LiveFlvTags::Impl::open() {
  from_ts = ch->rt.nInput_Format.load() != kInputFlv;
  return from_ts ? open_ts() : open_flv();
}

LiveFlvTags::Next LiveFlvTags::Impl::next(LiveTagBatch& out) {
  out.clear();
  return from_ts ? ts_next(out) : flv_next(out);
}

LiveFlvTags::LiveFlvTags(std::shared_ptr<Channel_Info> ch, const SessionLog& log, const LiveFlvOptions& opt)
    : impl_(std::make_unique<Impl>(std::move(ch), log, opt, info_)) {}

LiveFlvTags::~LiveFlvTags() = default;

bool LiveFlvTags::open() { return impl_->open(); }

LiveFlvTags::Next LiveFlvTags::next(LiveTagBatch& out) { return impl_->next(out); }

}  // namespace kx
