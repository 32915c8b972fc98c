// The two format converters: MPEG-TS to FLV and FLV to MPEG-TS, on hand-built streams
// checked byte by byte and in round trips, and on a real clip when ffmpeg is installed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "formats/flv.h"
#include "formats/flv_to_ts.h"
#include "formats/h264.h"
#include "formats/pes.h"
#include "formats/psi.h"
#include "formats/ts.h"
#include "formats/ts_mux.h"
#include "formats/ts_to_flv.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Tag {
  int type = 0;
  uint32_t ts = 0;
  Bytes data;
  bool operator==(const Tag&) const = default;
};

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xAB, 0xCD, 0x40};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};

// A NAL unit of n bytes with no zero byte, so no start code can hide in it.
Bytes nal(uint8_t header, std::size_t n, int seed) {
  Bytes b{header};
  for (std::size_t i = 1; i < n; ++i) b.push_back(static_cast<uint8_t>(1 + (i * 7 + static_cast<std::size_t>(seed)) % 250));
  return b;
}

void put32(Bytes& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

Bytes avc_seq() {
  kx::AvcConfig cfg;
  EXPECT_EQ(kx::avc_config_build(kSps.data(), int(kSps.size()), kPps.data(), int(kPps.size()), cfg), 1);
  return Bytes(cfg.header, cfg.header + cfg.len);
}

Bytes video_body(bool key, int cts, const std::vector<Bytes>& nals) {
  Bytes b{uint8_t(key ? 0x17 : 0x27), 1, uint8_t(cts >> 16), uint8_t(cts >> 8), uint8_t(cts)};
  for (const Bytes& n : nals) {
    put32(b, uint32_t(n.size()));
    b.insert(b.end(), n.begin(), n.end());
  }
  return b;
}

Bytes audio_raw(std::size_t n, int seed) {
  Bytes b{0xAF, 0x01};
  for (std::size_t i = 0; i < n; ++i) b.push_back(uint8_t(i * 13 + std::size_t(seed)));
  return b;
}

// A stream of the usual shape: configurations, then frames (a keyframe every ten, the
// pictures shown 80 ms after decoding) with an AAC frame after each.
std::vector<Tag> sample_tags(int frames) {
  std::vector<Tag> t{{9, 0, avc_seq()}, {8, 0, {0xAF, 0x00, 0x12, 0x10}}};
  for (int i = 0; i < frames; ++i) {
    const bool key = i % 10 == 0;
    const uint32_t ms = uint32_t(i) * 40;
    t.push_back({9, ms, video_body(key, 80, {nal(key ? 0x65 : 0x41, key ? 3000 : 150 + std::size_t(i), i)})});
    t.push_back({8, ms + 10, audio_raw(100 + std::size_t(i % 7), i)});
  }
  return t;
}

struct TsOut {
  Bytes ts;
  std::vector<std::size_t> groups;
};

void collect(void* ctx, const uint8_t* data, std::size_t len) {
  auto* o = static_cast<TsOut*>(ctx);
  o->groups.push_back(len);
  o->ts.insert(o->ts.end(), data, data + len);
}

TsOut to_ts(const std::vector<Tag>& tags, kx::FlvToTsStats* stats = nullptr) {
  TsOut o;
  kx::FlvToTs conv(collect, &o);
  for (const Tag& t : tags) conv.add_tag(t.type, t.ts, t.data.data(), t.data.size());
  if (stats) *stats = conv.stats();
  return o;
}

void take_tag(void* ctx, const kx::FlvTagView& t) {
  static_cast<std::vector<Tag>*>(ctx)->push_back({t.type, t.timestamp, Bytes(t.data, t.data + t.size)});
}

// Splits FLV bytes fed in pieces of `piece` bytes.
std::vector<Tag> split(const Bytes& flv, std::size_t piece = 1 << 20, bool* failed = nullptr) {
  std::vector<Tag> tags;
  kx::FlvTagReader r;
  for (std::size_t off = 0; off < flv.size(); off += piece)
    r.feed(flv.data() + off, std::min(piece, flv.size() - off), take_tag, &tags);
  if (failed) *failed = r.failed();
  return tags;
}

Bytes to_flv(const Bytes& ts, std::size_t packets_per_feed = 1000, kx::TsToFlvStats* stats = nullptr) {
  kx::TsToFlv conv;
  Bytes out;
  const std::size_t step = packets_per_feed * kx::kTsPacketSize;
  for (std::size_t off = 0; off < ts.size(); off += step) conv.feed(ts.data() + off, std::min(step, ts.size() - off), out);
  conv.finish(out);
  if (stats) *stats = conv.stats();
  return out;
}

// The PES packets of each PID, rebuilt from the packets, and checks of the packet layer:
// sync bytes, continuity counters running modulo 16 on the packets with payload.
struct Demuxed {
  std::map<int, std::vector<Bytes>> pes;
  std::map<int, int> pcr_count;
  std::vector<int> pids;  // of every packet, in order
};

Demuxed demux(const Bytes& ts) {
  Demuxed d;
  std::map<int, int> cc;
  EXPECT_EQ(ts.size() % kx::kTsPacketSize, 0u);
  for (std::size_t off = 0; off + kx::kTsPacketSize <= ts.size(); off += kx::kTsPacketSize) {
    const uint8_t* p = ts.data() + off;
    kx::TsHeader h;
    EXPECT_EQ(kx::ts_parse_header(p, h), 1) << "packet at " << off;
    d.pids.push_back(h.pid);
    uint64_t pcr = 0;
    if (kx::ts_read_pcr_value(p, pcr)) ++d.pcr_count[h.pid];
    if (h.payload_size == 0) {
      if (cc.count(h.pid)) {
        EXPECT_EQ(h.continuity, cc[h.pid]) << "a packet without payload repeats the counter";
      }
      continue;
    }
    if (cc.count(h.pid)) {
      EXPECT_EQ(h.continuity, (cc[h.pid] + 1) & 15) << "PID " << h.pid << " at " << off;
    }
    cc[h.pid] = h.continuity;
    if (h.pid == 0 || h.pid == kx::kMuxPmtPid) continue;
    auto& list = d.pes[h.pid];
    if (h.payload_start) list.emplace_back();
    if (!list.empty()) list.back().insert(list.back().end(), p + h.payload_offset, p + kx::kTsPacketSize);
  }
  return d;
}

// The payload of a PES packet, its header checked.
Bytes pes_payload(const Bytes& pes, kx::PesHeader& h) {
  EXPECT_EQ(kx::pes_parse_header(pes.data(), pes.size(), h), 1);
  std::size_t n = pes.size() - std::size_t(h.header_size);
  if (h.payload_length >= 0) {
    EXPECT_LE(std::size_t(h.payload_length), n);
    n = std::size_t(h.payload_length);
  }
  return Bytes(pes.begin() + h.header_size, pes.begin() + h.header_size + long(n));
}

Bytes annexb(const std::vector<Bytes>& nals) {
  Bytes b;
  for (const Bytes& n : nals) {
    b.insert(b.end(), {0, 0, 0, 1});
    b.insert(b.end(), n.begin(), n.end());
  }
  return b;
}

}  // namespace

TEST(FlvToTs, TablesPesTimestampsAndCounters) {
  const std::vector<Tag> tags = sample_tags(40);
  kx::FlvToTsStats st;
  const TsOut o = to_ts(tags, &st);
  EXPECT_EQ(st.video_pes, 40u);
  EXPECT_EQ(st.audio_pes, 40u);
  EXPECT_EQ(st.bad_tags, 0u);
  for (std::size_t g : o.groups) {
    EXPECT_GT(g, 0u);
    EXPECT_LE(g, kx::kFlvToTsGroupBytes);
    EXPECT_EQ(g % kx::kTsPacketSize, 0u);
  }
  const Demuxed d = demux(o.ts);
  ASSERT_GE(d.pids.size(), 3u);
  EXPECT_EQ(d.pids[0], 0);
  EXPECT_EQ(d.pids[1], kx::kMuxPmtPid);
  EXPECT_EQ(d.pids[2], kx::kMuxVideoPid);
  EXPECT_EQ(d.pcr_count.at(kx::kMuxVideoPid), 40);  // one per picture

  // The first packet of the keyframe: PCR 0 and the random-access mark.
  const uint8_t* first = o.ts.data() + 2 * kx::kTsPacketSize;
  EXPECT_EQ(first[1] & 0x40, 0x40);
  EXPECT_EQ(first[5], 0x50);
  uint64_t pcr = 1;
  ASSERT_EQ(kx::ts_read_pcr_value(first, pcr), 1);
  EXPECT_EQ(pcr, 0u);

  const auto& video = d.pes.at(kx::kMuxVideoPid);
  const auto& audio = d.pes.at(kx::kMuxAudioPid);
  ASSERT_EQ(video.size(), 40u);
  ASSERT_EQ(audio.size(), 40u);
  const Bytes aud = {0, 0, 0, 1, 9, 0xF0};
  for (std::size_t i = 0; i < video.size(); ++i) {
    kx::PesHeader h;
    const Bytes es = pes_payload(video[i], h);
    EXPECT_EQ(h.stream_id, 0xE0);
    ASSERT_TRUE(h.has_pts && h.has_dts);
    EXPECT_EQ(h.dts, kx::kFlvToTsDelay90k + i * 40 * 90);
    EXPECT_EQ(h.pts, h.dts + 80 * 90);
    const Tag& t = tags[2 + 2 * i];
    Bytes want = aud;
    const bool key = i % 10 == 0;
    const Bytes pic = Bytes(t.data.begin() + 9, t.data.end());
    Bytes body = key ? annexb({kSps, kPps, pic}) : annexb({pic});
    want.insert(want.end(), body.begin(), body.end());
    EXPECT_EQ(es, want) << "picture " << i;
  }
  for (std::size_t i = 0; i < audio.size(); ++i) {
    kx::PesHeader h;
    const Bytes es = pes_payload(audio[i], h);
    EXPECT_EQ(h.stream_id, 0xC0);
    EXPECT_TRUE(h.has_pts && !h.has_dts);
    EXPECT_EQ(h.pts, kx::kFlvToTsDelay90k + (i * 40 + 10) * 90);
    const Bytes& raw = tags[3 + 2 * i].data;
    const std::size_t flen = 7 + raw.size() - 2;
    const Bytes adts = {0xFF, 0xF1, 0x50, uint8_t(0x80 | (flen >> 11)), uint8_t(flen >> 3), uint8_t(((flen & 7) << 5) | 0x1F), 0xFC};
    ASSERT_EQ(es.size(), flen);
    EXPECT_EQ(Bytes(es.begin(), es.begin() + 7), adts);
    EXPECT_EQ(Bytes(es.begin() + 7, es.end()), Bytes(raw.begin() + 2, raw.end()));
  }
}

TEST(FlvToTs, ConfigurationsAreRecognisedByTheirBytes) {
  struct Case {
    const char* what;
    std::vector<Tag> tags;
    uint64_t audio_pes, video_pes, skipped;
  };
  const Bytes pic = video_body(true, 0, {nal(0x65, 100, 1)});
  const std::vector<Case> cases = {
      // An AudioSpecificConfig with an SBR extension after the usual two bytes.
      {"long AAC config", {{8, 0, {0xAF, 0x00, 0x12, 0x10, 0x56, 0xE5, 0x00}}, {8, 20, audio_raw(2, 0)}}, 1, 0, 0},
      // A raw frame as short as a configuration is still a frame.
      {"4-byte frame", {{8, 0, {0xAF, 0x00, 0x11, 0x90}}, {8, 20, {0xAF, 0x01, 0x21, 0x10}}}, 1, 0, 0},
      {"frame before config", {{8, 20, audio_raw(10, 0)}}, 0, 0, 1},
      {"picture before config", {{9, 0, pic}}, 0, 0, 1},
      {"MP3 audio", {{8, 0, {0x2F, 0xFF, 0xFB}}}, 0, 0, 1},
      {"script data", {{18, 0, {2, 0, 1, 'x'}}}, 0, 0, 1},
      {"picture after config", {{9, 0, avc_seq()}, {9, 0, pic}}, 0, 1, 0},
  };
  for (const Case& c : cases) {
    kx::FlvToTsStats st;
    to_ts(c.tags, &st);
    EXPECT_EQ(st.audio_pes, c.audio_pes) << c.what;
    EXPECT_EQ(st.video_pes, c.video_pes) << c.what;
    EXPECT_EQ(st.skipped_tags, c.skipped) << c.what;
    EXPECT_EQ(st.bad_tags, 0u) << c.what;
  }
}

TEST(FlvToTs, MalformedTagsGiveNoPes) {
  const std::vector<std::pair<const char*, Tag>> cases = {
      {"NAL length past the end", {9, 0, {0x17, 1, 0, 0, 0, 0, 0, 0, 50, 0x65, 1}}},
      {"cut length field", {9, 0, {0x27, 1, 0, 0, 0, 0, 0}}},
      {"short video tag", {9, 0, {0x17, 1}}},
      {"short audio tag", {8, 0, {0xAF}}},
      {"empty AAC frame", {8, 0, {0xAF, 0x01}}},
      {"HE-AAC config", {8, 0, {0xAF, 0x00, 0x2B, 0x92}}},
      {"bad AVC config", {9, 0, {0x17, 0, 0, 0, 0, 1, 0x42, 0, 0x1E, 0xFF, 0xE1, 0, 99}}},
  };
  for (const auto& [what, tag] : cases) {
    std::vector<Tag> tags{{9, 0, avc_seq()}, {8, 0, {0xAF, 0x00, 0x12, 0x10}}, tag};
    kx::FlvToTsStats st;
    const TsOut o = to_ts(tags, &st);
    EXPECT_EQ(st.bad_tags, 1u) << what;
    EXPECT_EQ(st.video_pes + st.audio_pes, 0u) << what;
    EXPECT_TRUE(o.ts.empty()) << what;
  }
}

TEST(FlvToTs, PmtListsTheStreamsThatCame) {
  const Tag avc{9, 0, avc_seq()}, aac{8, 0, {0xAF, 0x00, 0x12, 0x10}};
  const Tag pic{9, 0, video_body(true, 0, {nal(0x65, 400, 1)})}, frame{8, 0, audio_raw(50, 1)};
  struct Case {
    const char* what;
    std::vector<Tag> tags;
    int video, audio, pcr;
  };
  const std::vector<Case> cases = {
      {"both", {avc, aac, pic, frame}, kx::kMuxVideoPid, kx::kMuxAudioPid, kx::kMuxVideoPid},
      {"video only", {avc, pic}, kx::kMuxVideoPid, -1, kx::kMuxVideoPid},
      {"audio only", {aac, frame, frame}, -1, kx::kMuxAudioPid, kx::kMuxAudioPid},
  };
  for (const Case& c : cases) {
    const TsOut o = to_ts(c.tags);
    ASSERT_GE(o.ts.size(), 3 * kx::kTsPacketSize) << c.what;
    kx::TsPids pids;
    ASSERT_EQ(kx::psi_parse_pmt_packet(o.ts.data() + kx::kTsPacketSize, pids, "test"), 1) << c.what;
    EXPECT_EQ(pids.video, c.video) << c.what;
    EXPECT_EQ(pids.audio, c.audio) << c.what;
    EXPECT_EQ(pids.pcr, c.pcr) << c.what;
    const Demuxed d = demux(o.ts);
    EXPECT_EQ(d.pcr_count.size(), 1u) << c.what;
    EXPECT_GE(d.pcr_count.count(c.pcr), 1u) << c.what;
  }
}

TEST(TsToFlv, RoundTripKeepsTagsTimesAndHeaders) {
  const std::vector<Tag> tags = sample_tags(30);
  const TsOut o = to_ts(tags);
  kx::TsToFlvStats st;
  const Bytes flv = to_flv(o.ts, 1000, &st);
  EXPECT_EQ(st.video_tags, 30u);
  EXPECT_EQ(st.audio_tags, 30u);
  EXPECT_EQ(st.dropped_pes + st.dropped_frames + st.bad_packets, 0u);
  // The same bytes whatever the feeding: one packet at a time, or seven.
  EXPECT_EQ(to_flv(o.ts, 1), flv);
  EXPECT_EQ(to_flv(o.ts, 7), flv);

  const Bytes head = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0, 18};
  ASSERT_GT(flv.size(), head.size());
  EXPECT_EQ(Bytes(flv.begin(), flv.begin() + long(head.size())), head);
  bool failed = true;
  const std::vector<Tag> out = split(flv, 1 << 20, &failed);
  EXPECT_FALSE(failed);
  ASSERT_EQ(out.size(), 1 + 2 + 60u);
  EXPECT_EQ(out[0].type, 18);
  const std::string meta(out[0].data.begin(), out[0].data.end());
  for (const char* key : {"onMetaData", "width", "height", "framerate", "avc1", "mp4a"})
    EXPECT_NE(meta.find(key), std::string::npos) << key;
  EXPECT_EQ(out[1], (Tag{9, 0, avc_seq()}));
  std::vector<Tag> want(tags.begin() + 2, tags.end());
  // The keyframes come back with the parameter sets the TS carried in front of them.
  for (std::size_t i = 0; i < want.size(); i += 20)
    want[i].data = video_body(true, 80, {kSps, kPps, Bytes(want[i].data.begin() + 9, want[i].data.end())});
  // The AAC header comes with the first audio frame, at its time.
  EXPECT_EQ(out[3], (Tag{8, 10, {0xAF, 0x00, 0x12, 0x10}}));
  std::vector<Tag> got(out.begin() + 2, out.end());
  got.erase(got.begin() + 1);
  EXPECT_EQ(got, want);
}

// Audio muxed after the first picture but timed before it is left out: at time 0 it
// would pile up there.
TEST(TsToFlv, AudioTimedBeforeTheFirstPesIsLeftOut) {
  const std::vector<Tag> in{{9, 0, avc_seq()},
                            {8, 0, {0xAF, 0x00, 0x12, 0x10}},
                            {9, 1000, video_body(true, 0, {nal(0x65, 500, 1)})},
                            {8, 900, audio_raw(50, 1)},
                            {8, 950, audio_raw(50, 2)},
                            {8, 1010, audio_raw(50, 3)},
                            {9, 1040, video_body(false, 0, {nal(0x41, 100, 2)})}};
  kx::TsToFlvStats st;
  const std::vector<Tag> out = split(to_flv(to_ts(in).ts, 1000, &st));
  std::vector<uint32_t> audio;
  for (const Tag& t : out)
    if (t.type == 8 && t.data.size() > 1 && t.data[1] == 1) audio.push_back(t.ts);
  EXPECT_EQ(audio, std::vector<uint32_t>{10});
  EXPECT_EQ(st.dropped_frames, 2u);
  EXPECT_EQ(st.audio_tags, 1u);
}

// Hand-built TS: a PMT of our choosing and PES packets cut into packets.
namespace {

struct TsBuilder {
  Bytes ts;
  std::map<int, int> cc;

  void packet(int pid, bool start, const uint8_t* pay, std::size_t n) {
    uint8_t p[188];
    std::memset(p, 0xFF, sizeof p);
    p[0] = 0x47;
    p[1] = uint8_t((start ? 0x40 : 0) | (pid >> 8));
    p[2] = uint8_t(pid);
    const std::size_t af = 184 - n;
    p[3] = uint8_t((af ? 0x30 : 0x10) | (cc[pid]++ & 15));
    if (af) {
      p[4] = uint8_t(af - 1);
      if (af > 1) p[5] = 0;
    }
    std::memcpy(p + 4 + af, pay, n);
    ts.insert(ts.end(), p, p + 188);
  }
  void pes(int pid, const Bytes& pes) {
    for (std::size_t off = 0; off < pes.size(); off += 184)
      packet(pid, off == 0, pes.data() + off, std::min<std::size_t>(184, pes.size() - off));
  }
  void tables(const std::vector<std::pair<int, int>>& streams) {
    kx::TsMuxState s;
    uint8_t pat[188];
    kx::ts_mux_pat(s, pat);
    ts.insert(ts.end(), pat, pat + 188);
    Bytes sec = {0x02, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0xE0 | 0x01, 0x00, 0xF0, 0};
    for (auto [type, pid] : streams) sec.insert(sec.end(), {uint8_t(type), uint8_t(0xE0 | (pid >> 8)), uint8_t(pid), 0xF0, 0});
    sec[2] = uint8_t(sec.size() + 4 - 3);
    put32(sec, kx::mpeg_crc32(sec.data(), sec.size()));
    sec.insert(sec.begin(), 0);  // pointer field
    packet(kx::kMuxPmtPid, true, sec.data(), sec.size());
  }
};

Bytes pes_bytes(int sid, uint64_t pts, uint64_t dts, const Bytes& es, bool bounded = true) {
  const bool both = pts != dts;
  Bytes h = {0, 0, 1, uint8_t(sid), 0, 0, 0x80, uint8_t(both ? 0xC0 : 0x80), uint8_t(both ? 10 : 5)};
  h.resize(h.size() + (both ? 10 : 5));
  kx::pes_write_timestamp(h.data() + 9, both ? 0x31 : 0x21, pts);
  if (both) kx::pes_write_timestamp(h.data() + 14, 0x11, dts);
  const std::size_t len = h.size() - 6 + es.size();
  if (bounded) h[4] = uint8_t(len >> 8), h[5] = uint8_t(len);
  h.insert(h.end(), es.begin(), es.end());
  return h;
}

Bytes adts_frames(uint8_t b2, uint8_t b3hi, int count, std::size_t raw) {
  Bytes es;
  for (int k = 0; k < count; ++k) {
    const std::size_t flen = 7 + raw;
    for (uint8_t x : {uint8_t{0xFF}, uint8_t{0xF1}, b2, uint8_t(b3hi | (flen >> 11)), uint8_t(flen >> 3),
                      uint8_t(((flen & 7) << 5) | 0x1F), uint8_t{0xFC}})
      es.push_back(x);
    for (std::size_t i = 0; i < raw; ++i) es.push_back(uint8_t(k * 31 + int(i)));
  }
  return es;
}

}  // namespace

TEST(TsToFlv, AdtsHeadersGiveTheAudioConfiguration) {
  struct Case {
    uint8_t b2, b3;      // ADTS bytes 2 and 3 (frame length bits clear)
    Bytes seq;           // the FLV sequence-header tag body
    const char* what;
  };
  const std::vector<Case> cases = {
      {0x50, 0x80, {0xAF, 0x00, 0x12, 0x10}, "LC 44.1 kHz stereo"},
      {0x4C, 0x80, {0xAF, 0x00, 0x11, 0x90}, "LC 48 kHz stereo"},
      {0x5C, 0x40, {0xAA, 0x00, 0x13, 0x88}, "LC 22.05 kHz mono"},
      {0x4D, 0x80, {0xAF, 0x00, 0x11, 0xB0}, "LC 48 kHz 5.1"},
      {0x51, 0xC0, {0xAF, 0x00, 0x12, 0x38}, "LC 44.1 kHz 7.1"},
      {0x10, 0x80, {0xAF, 0x00, 0x0A, 0x10}, "Main 44.1 kHz stereo"},
      {0x6C, 0x40, {0xAE, 0x00, 0x15, 0x88}, "LC 8 kHz mono"},
  };
  for (const Case& c : cases) {
    TsBuilder b;
    b.tables({{0x0F, 0x45}});
    b.pes(0x45, pes_bytes(0xC0, 90000, 90000, adts_frames(c.b2, c.b3, 1, 20)));
    const std::vector<Tag> out = split(to_flv(b.ts));
    ASSERT_EQ(out.size(), 3u) << c.what;
    EXPECT_EQ(out[1], (Tag{8, 0, c.seq})) << c.what;
    EXPECT_EQ(out[2].data[0], c.seq[0]) << c.what;
    EXPECT_EQ(out[2].data.size(), 22u) << c.what;
  }
}

TEST(TsToFlv, OneStreamAloneAndSeveralFramesInOnePes) {
  // PIDs of another muxer's choosing, a private stream beside them; three AAC frames in
  // one PES (1024 samples each at 48 kHz: 21.33 ms apart).
  const Bytes video_es = annexb({{9, 0xF0}, kSps, kPps, nal(0x65, 500, 3)});
  const Bytes audio_es = adts_frames(0x4C, 0x80, 3, 30);
  struct Case {
    const char* what;
    std::vector<std::pair<int, int>> streams;
    std::size_t video, audio;
    uint8_t flags;  // of the FLV file header: 4 audio, 1 video
  };
  const std::vector<Case> cases = {
      {"both", {{0x1B, 0x44}, {0x06, 0x46}, {0x0F, 0x45}}, 1, 3, 5},
      {"video only", {{0x1B, 0x44}}, 1, 0, 1},
      {"audio only", {{0x0F, 0x45}}, 0, 3, 4},
  };
  for (const Case& c : cases) {
    TsBuilder b;
    b.tables(c.streams);
    b.pes(0x44, pes_bytes(0xE0, 900000 + 3600, 900000, video_es, false));
    b.pes(0x46, pes_bytes(0xBD, 900000, 900000, Bytes(50, 7)));
    b.pes(0x45, pes_bytes(0xC0, 900000 + 9000, 900000 + 9000, audio_es));
    kx::TsToFlvStats st;
    const Bytes flv = to_flv(b.ts, 1000, &st);
    ASSERT_GT(flv.size(), 13u) << c.what;
    EXPECT_EQ(flv[4], c.flags) << c.what;
    const std::vector<Tag> out = split(flv);
    ASSERT_FALSE(out.empty()) << c.what;
    const std::string meta(out[0].data.begin(), out[0].data.end());
    EXPECT_EQ(meta.find("videocodecid") != std::string::npos, c.video > 0) << c.what;
    EXPECT_EQ(meta.find("audiocodecid") != std::string::npos, c.audio > 0) << c.what;
    EXPECT_EQ(st.video_tags, c.video) << c.what;
    EXPECT_EQ(st.audio_tags, c.audio) << c.what;
    std::vector<Tag> want{out[0]};
    if (c.audio) {
      want.push_back({8, c.video ? 100u : 0u, {0xAF, 0x00, 0x11, 0x90}});
      for (uint32_t k = 0; k < 3; ++k) {
        Bytes body{0xAF, 0x01};
        body.insert(body.end(), audio_es.begin() + 37 * k + 7, audio_es.begin() + 37 * (k + 1));
        want.push_back({8, (c.video ? 100u : 0u) + k * 1024 * 1000 / 48000, body});
      }
    }
    if (c.video) {  // a PES of unbounded length is complete at the end of the input
      want.push_back({9, 0, avc_seq()});
      want.push_back({9, 0, video_body(true, 40, {kSps, kPps, nal(0x65, 500, 3)})});
    }
    EXPECT_EQ(out, want) << c.what;
  }
}

TEST(TsToFlv, OversizedAndBrokenPesAreDropped) {
  TsBuilder b;
  b.tables({{0x1B, 0x44}});
  const Bytes good = pes_bytes(0xE0, 9000, 9000, annexb({kSps, kPps, nal(0x65, 300, 1)}));
  b.pes(0x44, good);
  // An unbounded PES beyond the cap.
  b.pes(0x44, pes_bytes(0xE0, 12600, 12600, Bytes(kx::kTsToFlvPesCap + 1000, 0x11), false));
  b.pes(0x44, pes_bytes(0xE0, 16200, 16200, annexb({nal(0x41, 300, 2)})));
  // One that loses its second packet.
  const std::size_t before = b.ts.size();
  b.pes(0x44, pes_bytes(0xE0, 19800, 19800, annexb({nal(0x41, 600, 3)})));
  b.ts.erase(b.ts.begin() + long(before + 188), b.ts.begin() + long(before + 376));
  b.pes(0x44, pes_bytes(0xE0, 23400, 23400, annexb({nal(0x41, 300, 4)})));
  kx::TsToFlvStats st;
  const std::vector<Tag> out = split(to_flv(b.ts, 1000, &st));
  EXPECT_EQ(st.dropped_pes, 2u);
  EXPECT_EQ(st.video_tags, 3u);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[3].ts, 80u);
  EXPECT_EQ(out[4].ts, 160u);
}

TEST(FlvTagReader, SplitsInAnyPiecesAndStopsOnGarbage) {
  Bytes flv = {'F', 'L', 'V', 1, 5, 0, 0, 0, 12, 0xAA, 0xBB, 0xCC, 0, 0, 0, 0};  // 3 bytes of header extension
  const std::vector<Tag> tags = sample_tags(5);
  for (const Tag& t : tags) {
    uint8_t th[11];
    kx::flv_write_tag_header(th, t.type, uint32_t(t.data.size()), t.ts + 0x1000000);
    flv.insert(flv.end(), th, th + 11);
    flv.insert(flv.end(), t.data.begin(), t.data.end());
    put32(flv, uint32_t(t.data.size() + 11));
  }
  std::vector<Tag> want = tags;
  for (Tag& t : want) t.ts += 0x1000000;  // the extended timestamp byte
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{188}, flv.size()})
    EXPECT_EQ(split(flv, piece), want) << piece;

  bool failed = false;
  EXPECT_TRUE(split({'F', 'L', 'X', 1, 5, 0, 0, 0, 9}, 1, &failed).empty());
  EXPECT_TRUE(failed);
  Bytes bad = flv;
  bad[16] = 0xC9;  // reserved bits of the first tag header
  EXPECT_TRUE(split(bad, 7, &failed).empty());
  EXPECT_TRUE(failed);

  // A tag over the cap is passed over; the one after it is read.
  Bytes big(flv.begin(), flv.begin() + 16);
  uint8_t th[11];
  kx::flv_write_tag_header(th, 9, uint32_t(kx::kFlvTagCap + 1), 0);
  big.insert(big.end(), th, th + 11);
  big.resize(big.size() + kx::kFlvTagCap + 1, 0x17);
  put32(big, uint32_t(kx::kFlvTagCap + 12));
  kx::flv_write_tag_header(th, 8, 4, 7);
  big.insert(big.end(), th, th + 11);
  big.insert(big.end(), {0xAF, 0, 0x12, 0x10});
  EXPECT_EQ(split(big, 65536, &failed), (std::vector<Tag>{{8, 7, {0xAF, 0, 0x12, 0x10}}}));
  EXPECT_FALSE(failed);
}

namespace {

// A tool run through the shell with its error output joined to its output; the paths
// are our own temporary files.
std::string run_joined(const std::string& cmd) { return kxt::run_tool({"sh", "-c", cmd + " 2>&1"}, 120000); }

void write_ts_group(void* ctx, const uint8_t* data, std::size_t len) {
  static_cast<Bytes*>(ctx)->insert(static_cast<Bytes*>(ctx)->end(), data, data + len);
}

void convert_tag(void* ctx, const kx::FlvTagView& t) { static_cast<kx::FlvToTs*>(ctx)->add_tag(t.type, t.timestamp, t.data, t.size); }

Bytes flv_file_to_ts(const Bytes& flv) {
  Bytes ts;
  kx::FlvToTs conv(write_ts_group, &ts);
  kx::FlvTagReader r;
  for (std::size_t off = 0; off < flv.size(); off += 4096)
    r.feed(flv.data() + off, std::min<std::size_t>(4096, flv.size() - off), convert_tag, &conv);
  EXPECT_FALSE(r.failed());
  return ts;
}

Bytes load(const std::string& path) {
  const std::string s = kxt::slurp(path);
  return Bytes(s.begin(), s.end());
}

// ffprobe finds H.264 at the clip's size and AAC without a complaint, and ffmpeg decodes
// the whole file without an error line.
void expect_plays(const std::string& path, const char* what) {
  const std::string probe =
      run_joined("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" + path + "'");
  EXPECT_NE(probe.find("h264,320,240\n"), std::string::npos) << what << ": " << probe;
  EXPECT_NE(probe.find("aac"), std::string::npos) << what << ": " << probe;
  EXPECT_EQ(probe.find("rror"), std::string::npos) << what << ": " << probe;
  EXPECT_EQ(run_joined("ffmpeg -hide_banner -nostdin -v error -i '" + path + "' -f null -"), "") << what;
}

}  // namespace

TEST(FlvTsConversion, RealClipPlaysAfterEachConversion) {
  if (kxt::run_tool({"sh", "-c", "command -v ffprobe && command -v ffmpeg"}) == "<failed>")
    GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  kxt::TempDir dir;
  const std::string src_ts = dir / "src.ts", src_flv = dir / "src.flv";
  const std::string flv = dir / "out.flv", ts = dir / "out.ts", ts2 = dir / "again.ts";
  ASSERT_EQ(run_joined("ffmpeg -hide_banner -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 "
                       "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 -c:v libx264 -preset veryfast "
                       "-g 25 -bf 2 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 64k -f mpegts '" + src_ts + "'"),
            "");
  ASSERT_EQ(run_joined("ffmpeg -hide_banner -nostdin -v error -y -i '" + src_ts + "' -c copy -f flv '" + src_flv + "'"),
            "");

  kx::TsToFlvStats st;
  ASSERT_TRUE(kxt::spit(flv, [&] {
    const Bytes b = to_flv(load(src_ts), 7, &st);
    return std::string(b.begin(), b.end());
  }()));
  EXPECT_EQ(st.video_tags, 75u);
  EXPECT_GT(st.audio_tags, 120u);
  EXPECT_EQ(st.dropped_pes + st.bad_packets, 0u);
  expect_plays(flv, "TS to FLV");

  for (const auto& [from, to] : {std::pair{src_flv, ts}, std::pair{flv, ts2}}) {
    const Bytes out = flv_file_to_ts(load(from));
    ASSERT_TRUE(kxt::spit(to, std::string(out.begin(), out.end())));
    expect_plays(to, from == flv ? "our FLV to TS" : "ffmpeg's FLV to TS");
  }
}

TEST(FlvTsConversion, OneStreamClipsAnnounceOnlyThatStream) {
  if (kxt::run_tool({"sh", "-c", "command -v ffprobe && command -v ffmpeg"}) == "<failed>")
    GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  struct Case {
    const char* what;
    std::string input;
    const char* streams;  // ffprobe's codec names
  };
  const std::vector<Case> cases = {
      {"video only", "-f lavfi -i testsrc=size=320x240:rate=25 -c:v libx264 -preset veryfast -pix_fmt yuv420p",
       "h264\n"},
      {"audio only", "-f lavfi -i sine=frequency=440:sample_rate=48000 -c:a aac -ac 1", "aac\n"},
  };
  for (const Case& c : cases) {
    kxt::TempDir dir;
    const std::string src = dir / "src.ts", flv = dir / "out.flv", ts = dir / "back.ts";
    ASSERT_EQ(run_joined("ffmpeg -hide_banner -nostdin -v error -y " + c.input + " -t 2 -f mpegts '" + src + "'"), "")
        << c.what;
    const Bytes out = to_flv(load(src));
    ASSERT_TRUE(kxt::spit(flv, std::string(out.begin(), out.end())));
    EXPECT_EQ(run_joined("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + flv + "'"), c.streams)
        << c.what;
    EXPECT_EQ(run_joined("ffmpeg -hide_banner -nostdin -v error -i '" + flv + "' -f null -"), "") << c.what;
    const Bytes back = flv_file_to_ts(out);
    ASSERT_TRUE(kxt::spit(ts, std::string(back.begin(), back.end())));
    EXPECT_EQ(run_joined("ffprobe -v error -show_entries format=nb_streams -of csv=p=0 '" + ts + "'"), "1\n")
        << c.what;
    EXPECT_NE(run_joined("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + ts + "'").find(c.streams),
              std::string::npos)
        << c.what;
    EXPECT_EQ(run_joined("ffmpeg -hide_banner -nostdin -v error -i '" + ts + "' -f null -"), "") << c.what;
  }
}
