// The live FLV tag view: an FLV channel's tag ring (set-up first, from a keyframe, tags
// put together across entries, times from 0, laps, broken tags) and a TS channel's ring
// converted on the way, both with rings filled by hand and no socket.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/os/time.h"
#include "formats/flv.h"
#include "formats/flv_to_ts.h"
#include "formats/h264.h"
#include "ingest/channel_info.h"
#include "ingest/flv_splitter.h"
#include "players/flv_tag_assembler.h"
#include "players/live_flv_tags.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kx::LiveFlvTags;
using Next = kx::LiveFlvTags::Next;

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xAB, 0xCD, 0x40};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kAac = {0xAF, 0x00, 0x12, 0x10};

// A tag as a test sees it: everything copied out of the batch.
struct Tag {
  int type = 0;
  uint32_t ts = 0;
  Bytes data;
  bool key = false, config = false;
};

Bytes avc_seq() {
  kx::AvcConfig cfg;
  EXPECT_EQ(kx::avc_config_build(kSps.data(), int(kSps.size()), kPps.data(), int(kPps.size()), cfg), 1);
  return Bytes(cfg.header, cfg.header + cfg.len);
}

void put32(Bytes& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

// A video tag body with one NAL unit of n bytes (no zero bytes in it).
Bytes video(bool key, std::size_t n, int seed) {
  Bytes b{uint8_t(key ? 0x17 : 0x27), 1, 0, 0, 0};
  put32(b, uint32_t(n));
  b.push_back(key ? 0x65 : 0x41);
  for (std::size_t i = 1; i < n; ++i) b.push_back(static_cast<uint8_t>(1 + (i * 7 + std::size_t(seed)) % 250));
  return b;
}

Bytes audio(std::size_t n, int seed) {
  Bytes b{0xAF, 0x01};
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(i * 13 + std::size_t(seed)));
  return b;
}

class FlvTagsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ch = std::make_shared<kx::Channel_Info>();
    ch->def.tolerance = 1.0f;
    ch->rt.nThread_Finished.store(0);
    ch->rt.nChannel_Status.store(kx::kStatusOn);
  }

  // An FLV channel: its tag ring and the set-up its input captured.
  void flv_channel(int entries, bool with_aac = true) {
    ch->rt.nInput_Format.store(1);
    ring = std::make_shared<kx::RealBuffer>(entries, 0);
    ch->rt.set_flv_ring(ring);
    auto s = std::make_shared<kx::DecoderSetup>();
    uint8_t head[kx::kFlvHeaderCapacity];
    kx::StreamMeta m;
    m.width = 320;
    m.height = 240;
    m.framerate = 25;
    m.videocodecid = 7;
    m.audiocodecid = 10;
    const int n = kx::flv_build_header(m, head, sizeof head);
    s->flv_header.assign(reinterpret_cast<const char*>(head), std::size_t(n));
    const Bytes seq = avc_seq();
    s->avc_header.assign(12, '\0');  // the RTMP chunk header the inputs keep it behind
    s->avc_header.append(seq.begin(), seq.end());
    s->avc_chunk_header = true;
    if (with_aac) s->aac_config.assign(kAac.begin(), kAac.end());
    s->width = 320;
    s->height = 240;
    s->framerate = 25;
    ch->rt.set_setup(s);
  }

  // One tag as the FLV splitter stores it: PreviousTagSize, header and data, in pieces
  // of at most 1452 bytes, the first piece of a keyframe marked.
  void store(int type, uint32_t ts, const Bytes& data, bool key = false) {
    Bytes t;
    t.reserve(15 + data.size());
    put32(t, prev_);
    uint8_t h[kx::kFlvTagHeaderSize];
    ASSERT_EQ(kx::flv_write_tag_header(h, type, uint32_t(data.size()), ts), 1);
    t.insert(t.end(), h, h + sizeof h);
    t.insert(t.end(), data.begin(), data.end());
    prev_ = uint32_t(data.size()) + 11;
    for (std::size_t off = 0; off < t.size(); off += 1452) {
      kx::EntryMeta m;
      m.keyframe_offset = key && off == 0 ? 0 : -1;
      ring->commit(t.data() + off, int(std::min<std::size_t>(1452, t.size() - off)), m);
    }
  }

  // A group of pictures: a keyframe of key_bytes, then frames inter frames, each followed
  // by an audio frame, 40 ms apart from t0.
  void gop(uint32_t t0, int frames, std::size_t key_bytes = 4000) {
    for (int i = 0; i <= frames; ++i) {
      const uint32_t t = t0 + uint32_t(i) * 40;
      store(9, t, video(i == 0, i == 0 ? key_bytes : 300, i), i == 0);
      store(8, t + 10, audio(120, i));
    }
  }

  std::unique_ptr<LiveFlvTags> open(int source_wait_ms = 0) {
    kx::LiveFlvOptions o;
    o.tolerance = 1.0f;
    o.source_wait_ms = source_wait_ms;
    auto t = std::make_unique<LiveFlvTags>(ch, kx::SessionLog(1, "u", 0, 4), o);
    EXPECT_TRUE(t->open());
    return t;
  }

  // Asks until at least want tags came (or the view ends, or a lap when stop_at_lap);
  // bounded in time.
  Next pull(LiveFlvTags& t, std::vector<Tag>& got, std::size_t want, bool stop_at_lap = false) {
    const int64_t end = kx::mono_ms() + 20000;
    Next n = Next::kWait;
    while (got.size() < want && kx::mono_ms() < end) {
      kx::LiveTagBatch b;
      n = t.next(b);
      for (const kx::LiveTag& x : b.tags)
        got.push_back({x.type, x.timestamp, Bytes(x.data, x.data + x.size), x.keyframe, x.config});
      if (n == Next::kOff || (stop_at_lap && n == Next::kLapped)) break;
    }
    return n;
  }

  std::shared_ptr<kx::Channel_Info> ch;
  kx::RealBufferPtr ring;
  uint32_t prev_ = 0;
};

// ---------------------------------------------------------------- FLV channels

TEST_F(FlvTagsTest, FlvChannelStartsWithTheSetUpAndAKeyframe) {
  kxt::WorkDirScope wd({"log"});
  flv_channel(256);
  store(9, 900, video(false, 300, 1));  // before any keyframe: never sent
  store(8, 910, audio(100, 1));
  gop(1000, 5, 5000);                   // the keyframe spans four entries
  auto t = open();
  std::vector<Tag> got;
  pull(*t, got, 3 + 12);
  ASSERT_GE(got.size(), 15u);
  // onMetaData, then the two sequence headers, all at 0.
  EXPECT_EQ(got[0].type, 18);
  EXPECT_EQ(std::string(got[0].data.begin() + 3, got[0].data.begin() + 13), "onMetaData");
  EXPECT_EQ(got[1].type, 9);
  EXPECT_TRUE(got[1].config);
  EXPECT_EQ(got[1].data, avc_seq()) << "the chunk header is left out";
  EXPECT_EQ(got[2].type, 8);
  EXPECT_TRUE(got[2].config);
  EXPECT_EQ(got[2].data, kAac);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(got[std::size_t(i)].ts, 0u);
  // The keyframe, whole, at 0; then its stream at its own pace.
  EXPECT_EQ(got[3].type, 9);
  EXPECT_TRUE(got[3].key);
  EXPECT_EQ(got[3].data, video(true, 5000, 0));
  for (std::size_t i = 3; i < 15; ++i) {
    const std::size_t k = (i - 3) / 2;
    EXPECT_EQ(got[i].type, (i - 3) % 2 == 0 ? 9 : 8) << i;
    EXPECT_EQ(got[i].ts, uint32_t(k * 40 + ((i - 3) % 2) * 10)) << i;
  }
  EXPECT_EQ(t->info().width, 320);
  EXPECT_TRUE(t->info().has_audio);
  const std::string log = kxt::slurp(wd / "log/system.log");
  EXPECT_NE(log.find("FLV Keyframe Starting Index=["), std::string::npos) << log;
  EXPECT_NE(log.find("is Video Keyframe\n"), std::string::npos) << log;
  EXPECT_NE(log.find("CH[4] Sends [4] Audio bytes\n"), std::string::npos) << log;
}

TEST_F(FlvTagsTest, FlvChannelLapStartsAgainAtAKeyframeWithTimeGoingOn) {
  flv_channel(32, false);
  gop(0, 3);
  auto t = open();
  std::vector<Tag> got;
  pull(*t, got, 2 + 8);  // set-up (no audio config), then the group
  ASSERT_GE(got.size(), 10u);
  const uint32_t last = got.back().ts;
  for (int g = 1; g <= 6; ++g) gop(50000 + uint32_t(g) * 1000, 3);  // round the ring while the player sleeps
  std::vector<Tag> after;
  const Next n = pull(*t, after, 100, true);
  EXPECT_EQ(n, Next::kLapped);
  after.clear();
  pull(*t, after, 1);
  ASSERT_FALSE(after.empty());
  EXPECT_TRUE(after[0].key) << "again from a keyframe";
  EXPECT_GT(after[0].ts, last);
  EXPECT_LT(after[0].ts, last + 1000) << "times go on from where they were, not from the source's jump";
}

// Pacing by tag times: the first 12 s of stream go out at once, then each tag's delta is
// owed while the player is ahead of the ring's first quarter; an input that runs away
// from the player by more than a tenth of the ring gives the allowance back.
TEST_F(FlvTagsTest, FlvChannelPacingByTagTimes) {
  flv_channel(4096, false);
  uint32_t t0 = 0;
  for (int g = 0; g < 40; ++g, t0 += 1000) gop(t0, 24, 300);  // 40 s, 2000 entries
  auto t = open();
  int64_t paused = 0;
  uint32_t first_pause_at = 0, last = 0;
  const int64_t end = kx::mono_ms() + 20000;
  while (last < 20000 && kx::mono_ms() < end) {
    kx::LiveTagBatch b;
    if (t->next(b) == Next::kOff) break;
    for (const kx::LiveTag& x : b.tags) last = std::max(last, x.timestamp);
    if (b.pause_ms > 0 && first_pause_at == 0) first_pause_at = last;
    paused += b.pause_ms;
  }
  EXPECT_GE(first_pause_at, 12000u);
  EXPECT_LE(first_pause_at, 12300u);
  EXPECT_NEAR(double(paused), double(last) - 12000.0, 300.0) << "every delta after the first 12 s";
  for (int g = 0; g < 20; ++g, t0 += 1000) gop(t0, 24, 300);  // the input runs 1000 entries ahead
  int64_t paused_after = 0;
  const uint32_t from = last;
  while (last < from + 5000 && kx::mono_ms() < end + 20000) {
    kx::LiveTagBatch b;
    if (t->next(b) == Next::kOff) break;
    for (const kx::LiveTag& x : b.tags) last = std::max(last, x.timestamp);
    paused_after += b.pause_ms;
  }
  EXPECT_GE(last, from + 5000);
  // Only the tags of the entries read before the input ran away are still paced.
  EXPECT_LE(paused_after, 1500) << "the allowance was given back (5 s would be owed without it)";
}

// A video body that says which frame it is: the number, then bytes made from it.
Bytes numbered(bool key, uint32_t frame, std::size_t n) {
  Bytes b{uint8_t(key ? 0x17 : 0x27), 1, 0, 0, 0};
  put32(b, frame);
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(frame * 31 + i));
  return b;
}

bool whole(const Tag& t) {
  if (t.type != 9 || t.config || t.data.size() < 9) return true;
  const uint32_t frame = (uint32_t(t.data[5]) << 24) | (uint32_t(t.data[6]) << 16) | (uint32_t(t.data[7]) << 8) | t.data[8];
  return t.data == numbered(t.key, frame, t.data.size() - 9);
}

// A writer filling the ring while the player reads it, in a ring roomy enough to keep up
// and in one so small that the writer laps the player again and again: every tag handed
// out is whole and in order, and times never go back.
TEST_F(FlvTagsTest, FlvChannelFollowsALiveWriter) {
  for (int entries : {4096, 48}) {
    SCOPED_TRACE(entries);
    prev_ = 0;
    flv_channel(entries, false);
    auto t = open();
    constexpr uint32_t kFrames = 1500;
    std::thread writer([&] {
      for (uint32_t f = 0; f < kFrames; ++f) {
        const bool key = f % 25 == 0;
        store(9, 1000 + f * 40, numbered(key, f, key ? 3000 : 200), key);
      }
    });
    uint32_t last_video = 0;
    int laps = 0, tags = 0;
    bool saw_last = false, ended = false, torn = false, back = false;
    const Bytes last_frame = numbered(false, kFrames - 1, 200);
    const int64_t end = kx::mono_ms() + 30000;
    while (!saw_last && !ended && !torn && kx::mono_ms() < end) {
      kx::LiveTagBatch b;
      const Next n = t->next(b);
      ended = n == Next::kOff;
      if (n == Next::kLapped) ++laps;
      for (const kx::LiveTag& x : b.tags) {
        const Tag got{x.type, x.timestamp, Bytes(x.data, x.data + x.size), x.keyframe, x.config};
        torn = torn || !whole(got);
        if (x.type == 9 && !x.config) {
          back = back || x.timestamp < last_video;
          last_video = x.timestamp;
          saw_last = got.data == last_frame;
        }
        ++tags;
      }
    }
    writer.join();  // before any assertion can leave the scope
    EXPECT_FALSE(ended);
    EXPECT_FALSE(torn) << "after " << tags << " tags";
    EXPECT_FALSE(back);
    EXPECT_TRUE(saw_last) << "the player reached the writer's last frame";
    if (entries > 1000) {
      EXPECT_EQ(laps, 0);
    }
  }
}

TEST_F(FlvTagsTest, BrokenTagsEndTheView) {
  struct Case {
    const char* name;
    int type;         // of the bad tag
    uint32_t size;    // its declared data size
    const char* line; // in the log
  } cases[] = {
      {"type", 7, 20, "CH[4] FLV TagType Error[7]\n"},
      {"script", 18, 20, "CH[4] FLV TagType Error[18]\n"},
      {"size", 9, kx::kFlvTagDataMax + 1, "CH[4] FLV Tag Size Error[8388609]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kxt::WorkDirScope wd({"log"});
    prev_ = 0;
    flv_channel(64, false);
    gop(0, 1);
    Bytes bad;
    put32(bad, prev_);
    bad.push_back(uint8_t(c.type));
    bad.push_back(uint8_t(c.size >> 16));
    bad.push_back(uint8_t(c.size >> 8));
    bad.push_back(uint8_t(c.size));
    bad.resize(bad.size() + 7 + 20, 0);
    ring->commit(bad.data(), int(bad.size()));
    gop(1000, 1);
    auto t = open();
    std::vector<Tag> got;
    const Next n = pull(*t, got, 1000);
    EXPECT_EQ(n, Next::kOff);
    EXPECT_EQ(got.size(), 2u + 4u) << "the set-up and the tags before the bad one";
    const std::string log = kxt::slurp(wd / "log/system.log");
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
  }
}

TEST(FlvTagAssembler, TagsAcrossPiecesOfAnySize) {
  Bytes stream;
  std::vector<Bytes> bodies;
  for (int i = 0; i < 6; ++i) {
    bodies.push_back(video(i % 3 == 0, 50 + std::size_t(i) * 900, i));
    put32(stream, 0);
    uint8_t h[11];
    kx::flv_write_tag_header(h, 9, uint32_t(bodies.back().size()), uint32_t(i) * 40);
    stream.insert(stream.end(), h, h + 11);
    stream.insert(stream.end(), bodies.back().begin(), bodies.back().end());
  }
  for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(1452), stream.size()}) {
    kx::FlvTagAssembler a(kx::kFlvTagDataMax);
    std::size_t n = 0;
    for (std::size_t off = 0; off < stream.size(); off += piece) {
      a.compact();
      a.append(stream.data() + off, std::min(piece, stream.size() - off));
      kx::FlvRingTag t;
      while (a.next(t) == kx::FlvTagAssembler::kTag) {
        ASSERT_LT(n, bodies.size());
        EXPECT_EQ(Bytes(t.data, t.data + t.size), bodies[n]) << piece;
        EXPECT_EQ(t.timestamp, uint32_t(n) * 40);
        ++n;
      }
    }
    EXPECT_EQ(n, bodies.size()) << piece;
    EXPECT_EQ(a.held(), 0u);
  }
}

// ---------------------------------------------------------------- TS channels

void collect_ts(void* ctx, const uint8_t* data, std::size_t len) {
  auto* out = static_cast<Bytes*>(ctx);
  out->insert(out->end(), data, data + len);
}

TEST_F(FlvTagsTest, TsChannelIsConvertedFromAKeyframeWithTheSetUpFirst) {
  kxt::WorkDirScope wd({"log"});
  ch->rt.nInput_Format.store(2);
  ring = std::make_shared<kx::RealBuffer>(1024, 0);
  ch->rt.set_ring(ring);
  // The channel's TS, made from tags of a known shape: a keyframe every ten frames.
  Bytes ts;
  kx::FlvToTs mux(collect_ts, &ts);
  const Bytes seq = avc_seq();
  mux.add_tag(9, 0, seq.data(), seq.size());
  mux.add_tag(8, 0, kAac.data(), kAac.size());
  for (int i = 0; i < 60; ++i) {
    const Bytes v = video(i % 10 == 0, i % 10 == 0 ? 3000 : 200, i);
    const Bytes a = audio(100, i);
    mux.add_tag(9, 2000 + uint32_t(i) * 40, v.data(), v.size());
    mux.add_tag(8, 2000 + uint32_t(i) * 40 + 10, a.data(), a.size());
  }
  for (std::size_t off = 0; off < ts.size(); off += 1316)
    ring->commit(ts.data() + off, int(std::min<std::size_t>(1316, ts.size() - off)));
  auto t = open();
  EXPECT_TRUE(t->info().from_ts);
  EXPECT_EQ(t->info().width, 720);
  EXPECT_EQ(t->info().video_codec_name, "avc1");
  std::vector<Tag> got;
  pull(*t, got, 20);
  ASSERT_GE(got.size(), 20u);
  EXPECT_EQ(got[0].type, 18);
  std::size_t i = 1;
  bool avc = false, aac = false;
  for (; i < got.size() && got[i].config; ++i) {
    if (got[i].type == 9) avc = got[i].data == seq;
    if (got[i].type == 8) aac = got[i].data == kAac;
  }
  EXPECT_TRUE(avc);
  EXPECT_TRUE(aac);
  ASSERT_LT(i, got.size());
  EXPECT_TRUE(got[i].key) << "media from a keyframe";
  EXPECT_EQ(got[i].ts, 0u);
  EXPECT_GT(got[i].data.size(), video(true, 3000, 0).size()) << "with the parameter sets in front";
  uint32_t last_video = 0;
  int videos = 0, audios = 0;
  for (std::size_t k = i + 1; k < got.size(); ++k) {
    if (got[k].type == 9) {
      EXPECT_EQ(got[k].ts, last_video + 40) << k;
      last_video = got[k].ts;
      ++videos;
    } else {
      ++audios;
    }
  }
  EXPECT_GT(videos, 3);
  EXPECT_GT(audios, 3);
  EXPECT_TRUE(t->info().has_video);
  EXPECT_TRUE(t->info().has_audio);
  const std::string log = kxt::slurp(wd / "log/system.log");
  EXPECT_NE(log.find("TS to FLV Streaming\n"), std::string::npos) << log;
  EXPECT_NE(log.find("CH[4] SPS Len is ["), std::string::npos) << log;
}

TEST_F(FlvTagsTest, FlvChannelWithoutItsAvcConfigurationIsRefused) {
  kxt::WorkDirScope wd({"log"});
  flv_channel(64);
  gop(0, 1);
  auto s = std::make_shared<kx::DecoderSetup>(*ch->rt.setup());
  s->avc_header.clear();
  ch->rt.set_setup(s);
  kx::LiveFlvOptions o;
  LiveFlvTags t(ch, kx::SessionLog(1, "u", 0, 4), o);
  EXPECT_FALSE(t.open());
  EXPECT_NE(kxt::slurp(wd / "log/system.log").find("CH[4] does not have SPS Information (PPS Len=0)\n"),
            std::string::npos);
}

}  // namespace
