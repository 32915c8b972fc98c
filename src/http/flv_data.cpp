#include "http/flv_data.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "formats/flv.h"
#include "formats/flv_to_ts.h"
#include "http/data_io.h"
#include "ingest/channel_info.h"
#include "players/live_flv_tags.h"

namespace kx {

namespace {

constexpr long kVideoPtsIncrement = 9009;

struct FlvPlayer {
  PlayerSession& s;
  int sno;
  int no;
  uint32_t tid;
};

LiveFlvOptions flv_options(const Channel_Info& ch) {
  const ConfigPtr c = config();
  LiveFlvOptions o;
  o.prebuffer = c->i(Key::channel_prebuffer_no);
  o.tolerance = ch.def.tolerance;
  o.source_wait_ms = c->i(Key::player_source_wait) * 1000;
  return o;
}

bool stop_seen(const FlvPlayer& p) {
  if (!http_serving()) return true;
  if (p.s.stop.load(std::memory_order_relaxed) == 0) return false;
  log_sys("Session[%d]: Username [%s] CH[%d] STOP\n", p.sno, p.s.user, p.no);
  return true;
}

// Sends what the batch made; false when the player is gone (logged, stop flag set) or
// a stop came first.
bool send_out(FlvPlayer& p, const std::vector<uint8_t>& out) {
  if (out.empty()) return true;
  int err = 0;
  const int r = send_body(p.s, out.data(), out.size(), err);
  if (r == kSendDone) return true;
  if (r == kSendFailed) {
    log_sys("Session[%d]: Username [%s] CH[%d] iret=[%d] errorno is [%d]\n", p.sno, p.s.user, p.no, err ? -1 : 0,
            err);
    p.s.stop.store(1);
  } else {
    stop_seen(p);
  }
  return false;
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v)};
  out.insert(out.end(), b, b + 4);
}

// "FLV", version 1, the streams' flags, header size 9, and PreviousTagSize0.
void put_file_header(const LiveStreamInfo& info, std::vector<uint8_t>& out) {
  const uint8_t flags = static_cast<uint8_t>((info.has_audio ? 4 : 0) | (info.has_video ? 1 : 0));
  const uint8_t h[kFlvFileHeaderSize] = {'F', 'L', 'V', 1, flags ? flags : uint8_t{5}, 0, 0, 0, kFlvFileHeaderSize};
  out.insert(out.end(), h, h + sizeof h);
  put32(out, 0);
}

// The whole tag and the PreviousTagSize that closes it.
void put_tag(const LiveTag& t, std::vector<uint8_t>& out) {
  uint8_t h[kFlvTagHeaderSize];
  if (!flv_write_tag_header(h, t.type, t.size, t.timestamp)) return;
  out.insert(out.end(), h, h + sizeof h);
  out.insert(out.end(), t.data, t.data + t.size);
  put32(out, t.size + kFlvTagHeaderSize);
}

// The loop every tag output shares: a batch, made into bytes by `make`, sent; the pause
// it asks for; again.
template <typename Make>
void tag_loop(FlvPlayer& p, LiveFlvTags& tags, Make make) {
  set_state(p.s, "RUNNING", "Sending Data");
  std::vector<uint8_t> out;
  LiveTagBatch b;
  for (;;) {
    if (stop_seen(p)) return;
    const LiveFlvTags::Next n = tags.next(b);
    if (n == LiveFlvTags::Next::kOff) return;
    if (b.stage) p.s.stage.store(b.stage);
    out.clear();
    if (n == LiveFlvTags::Next::kTags) make(b, out);
    if (!send_out(p, out)) return;
    if (b.pause_ms > 0) pause_ms(p.s, b.pause_ms);  // a stop that cuts it short is seen above
  }
}

}  // namespace

void stream_live_flv(PlayerSession& s, int channel_no, uint32_t tid) {
  FlvPlayer p{s, static_cast<int>(s.session_no), channel_no, tid};
  LiveFlvTags tags(s.channel, SessionLog(p.sno, s.user, tid, channel_no), flv_options(*s.channel));
  if (!tags.open()) return;
  bool head_sent = false;
  tag_loop(p, tags, [&](const LiveTagBatch& b, std::vector<uint8_t>& out) {
    if (!head_sent) {
      // After the first tags: a TS channel's streams are known by then.
      put_file_header(tags.info(), out);
      head_sent = true;
    }
    for (const LiveTag& t : b.tags) put_tag(t, out);
  });
}

void stream_flv_as_ts(PlayerSession& s, int channel_no, uint32_t tid) {
  FlvPlayer p{s, static_cast<int>(s.session_no), channel_no, tid};
  LiveFlvTags tags(s.channel, SessionLog(p.sno, s.user, tid, channel_no), flv_options(*s.channel));
  if (!tags.open()) return;
  const DecoderSetupPtr setup = s.channel->rt.setup();
  log_sys("nRTMP_Video_FrameRate=[%f] u32VideoPTSIncrement=[%ld]\n", setup ? setup->framerate : 0.0,
          kVideoPtsIncrement);
  log_sys("nRTMP_Audio_Sample_Rate=[%f] nRTMP_Audio_Channel_No=[%d]\n", setup ? setup->audio_samplerate : 0.0,
          setup ? static_cast<int>(setup->audio_channels) : 0);
  std::fill(std::begin(s.cc), std::end(s.cc), uint8_t{0});
  std::vector<uint8_t>* sink = nullptr;
  const TsGroupFn take = [](void* ctx, const uint8_t* data, std::size_t len) {
    auto* out = *static_cast<std::vector<uint8_t>**>(ctx);
    if (out) out->insert(out->end(), data, data + len);
  };
  FlvToTs conv(take, &sink);
  tag_loop(p, tags, [&](const LiveTagBatch& b, std::vector<uint8_t>& out) {
    sink = &out;
    for (const LiveTag& t : b.tags) conv.add_tag(t.type, t.timestamp, t.data, t.size);
    sink = nullptr;
  });
}

}  // namespace kx
