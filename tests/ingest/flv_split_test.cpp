// The FLV tag splitter of the HTTP source input, by tables: its set-up capture, bad tags
// and lost sync, wherever the stream is cut.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/amf0.h"
#include "ingest/flv_splitter.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// ---------------------------------------------------------------- FLV splitter

void put24(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 16));
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void put32(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 24));
  put24(b, v);
}
uint32_t get24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t get32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | get24(p + 1); }

// Tag header and data (no PreviousTagSize).
Bytes tag_body(int type, uint32_t ts, const Bytes& data) {
  Bytes b;
  b.push_back(static_cast<uint8_t>(type));
  put24(b, static_cast<uint32_t>(data.size()));
  put24(b, ts & 0xFFFFFF);
  b.push_back(static_cast<uint8_t>(ts >> 24));
  put24(b, 0);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A well-formed FLV stream: file header, PreviousTagSize0, tags each followed by its size.
struct FlvStream {
  Bytes out{'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
  void add(int type, uint32_t ts, const Bytes& data) {
    Bytes t = tag_body(type, ts, data);
    out.insert(out.end(), t.begin(), t.end());
    put32(out, static_cast<uint32_t>(t.size()));
  }
  void raw(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
};

Bytes meta_data(double width, double vrate, double arate) {
  uint8_t buf[512];
  kx::Amf0Writer w(buf, sizeof buf);
  w.string("onMetaData").begin_ecma_array(6);
  w.prop("duration", 0.0).prop("width", width).prop("height", 240.0).prop("framerate", 25.0);
  w.prop("videodatarate", vrate).prop("audiodatarate", arate).prop("videocodecid", 7.0);
  w.key("stereo").boolean(true);
  w.prop("encoder", "Lavf");
  w.end_object();
  return Bytes(buf, buf + w.size());
}

const Bytes kAvcSeq = {0x17, 0x00, 0, 0, 0, 0x01, 0x64, 0x00, 0x1f, 0xff, 0xe1, 0x00, 0x04, 0x67, 0x64,
                       0x00, 0x1f, 0x01, 0x00, 0x02, 0x68, 0xee};
const Bytes kAacSeq = {0xAF, 0x00, 0x12, 0x10};  // AAC LC, 44.1 kHz, stereo

Bytes video(bool key, std::size_t n, uint8_t fill) {
  Bytes d = {static_cast<uint8_t>(key ? 0x17 : 0x27), 0x01, 0, 0, 0};
  d.resize(n, fill);
  return d;
}
Bytes aac_raw(std::size_t n) {
  Bytes d = {0xAF, 0x01};
  d.resize(n, 0x21);
  return d;
}

struct StoredTag {
  int type;
  uint32_t ts;
  Bytes data;
  bool key;
  uint32_t prev;
};

struct SplitRun {
  std::vector<Bytes> slots;
  std::vector<bool> keys;
};

void collect_slot(void* user, const uint8_t* data, int len, bool keyframe) {
  auto* r = static_cast<SplitRun*>(user);
  ASSERT_GT(len, 0);
  ASSERT_LE(len, kx::kFlvSlotBytes);
  r->slots.emplace_back(data, data + len);
  r->keys.push_back(keyframe);
}

// Joins the slots back into tags; checks that pieces of a tag follow its first slot and
// that only first slots carry the keyframe mark.
std::vector<StoredTag> tags_of(const SplitRun& r) {
  std::vector<StoredTag> out;
  Bytes pending;
  bool key = false;
  for (std::size_t i = 0; i < r.slots.size(); ++i) {
    if (pending.empty()) key = r.keys[i];
    else EXPECT_FALSE(r.keys[i]) << "a continuation slot is not marked";
    pending.insert(pending.end(), r.slots[i].begin(), r.slots[i].end());
    if (pending.size() < 15) continue;
    const uint32_t size = get24(pending.data() + 5);
    if (pending.size() < 15 + size) continue;
    EXPECT_EQ(pending.size(), 15 + size) << "a slot holds one tag only";
    out.push_back({pending[4], get24(pending.data() + 8) | (uint32_t{pending[11]} << 24),
                   Bytes(pending.begin() + 15, pending.end()), key, get32(pending.data())});
    pending.clear();
  }
  EXPECT_TRUE(pending.empty()) << "no tag is left cut";
  return out;
}

SplitRun split(const Bytes& stream, const std::vector<std::size_t>& pieces, kx::FlvSplitter& s) {
  SplitRun r;
  s.start_connection();
  std::size_t off = 0, i = 0;
  while (off < stream.size()) {
    const std::size_t n = std::min(pieces[std::min(i++, pieces.size() - 1)], stream.size() - off);
    s.feed(stream.data() + off, n, collect_slot, &r);
    off += n;
  }
  return r;
}

// A stream with every kind of tag: script, both sequence headers, key and inter frames,
// AAC and MP3 audio, a tag larger than a slot.
FlvStream full_stream() {
  FlvStream f;
  f.add(18, 0, meta_data(320, 500, 64));
  f.add(9, 0, kAvcSeq);
  f.add(8, 0, kAacSeq);
  f.add(9, 0, video(true, 4000, 0x55));
  f.add(8, 10, aac_raw(300));
  f.add(9, 40, video(false, 900, 0x66));
  f.add(8, 33, Bytes{0x2F, 0xFF, 0xFB, 0x90});  // MP3: stored as it is
  f.add(9, 80, video(false, 1437, 0x77));       // exactly one slot with its 15 bytes
  f.add(9, 0x01000010, video(true, 100, 0x11)); // extended timestamp
  return f;
}

void expect_full_stream_tags(const std::vector<StoredTag>& t) {
  ASSERT_EQ(t.size(), 6u);
  EXPECT_EQ(t[0].type, 9);
  EXPECT_TRUE(t[0].key);
  EXPECT_EQ(t[0].data, video(true, 4000, 0x55));
  EXPECT_EQ(t[0].prev, 0u) << "the first stored tag starts the chain";
  EXPECT_EQ(t[1].type, 8);
  EXPECT_EQ(t[1].prev, 4000u + 11) << "PreviousTagSize names the stored tag before";
  EXPECT_FALSE(t[1].key);
  EXPECT_EQ(t[2].data, video(false, 900, 0x66));
  EXPECT_EQ(t[3].data, (Bytes{0x2F, 0xFF, 0xFB, 0x90}));
  EXPECT_EQ(t[4].data.size(), 1437u);
  EXPECT_EQ(t[5].ts, 0x01000010u);
  EXPECT_TRUE(t[5].key);
}

TEST(FlvSplit, StoresMediaTagsAndCapturesTheSetUp) {
  const FlvStream f = full_stream();
  kx::FlvSplitter s(1, false);
  const SplitRun r = split(f.out, {f.out.size()}, s);
  expect_full_stream_tags(tags_of(r));
  EXPECT_EQ(r.slots.size(), 3u + 5u) << "4015 bytes take three slots";
  EXPECT_EQ(r.slots[3].size(), 300u + 15);
  EXPECT_EQ(r.slots[6].size(), static_cast<std::size_t>(kx::kFlvSlotBytes));
  EXPECT_EQ(s.stats().tags, 9u);
  EXPECT_EQ(s.stats().dropped_bytes, 0u);
  EXPECT_EQ(s.buffered(), 4u) << "only the last PreviousTagSize is held";

  const kx::DecoderSetup d = s.setup();
  const Bytes meta = meta_data(320, 500, 64);
  Bytes header = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
  Bytes script = tag_body(18, 0, meta);
  header.insert(header.end(), script.begin(), script.end());
  EXPECT_EQ(d.flv_header, text(header));
  Bytes avc = {0x06, 0, 0, 0, 0, 0, static_cast<uint8_t>(kAvcSeq.size()), 9, 1, 0, 0, 0};
  avc.insert(avc.end(), kAvcSeq.begin(), kAvcSeq.end());
  EXPECT_EQ(d.avc_header, text(avc));
  EXPECT_TRUE(d.avc_chunk_header);
  Bytes prefix;
  put32(prefix, static_cast<uint32_t>(script.size()));
  Bytes vh = tag_body(9, 0, kAvcSeq);
  prefix.insert(prefix.end(), vh.begin(), vh.begin() + 11);
  EXPECT_EQ(d.video_tag_prefix, text(prefix));
  EXPECT_EQ(d.aac_config, text(kAacSeq));
  EXPECT_EQ(d.aac_channels, 2);
  EXPECT_EQ(d.aac_freq_index, 4);
  EXPECT_EQ(d.width, 320);
  EXPECT_EQ(d.height, 240);
  EXPECT_EQ(d.framerate, 25);
  EXPECT_EQ(d.audio_channels, 2);
  EXPECT_EQ(d.video_codec, "avc1");
  EXPECT_EQ(d.datarate, 564);
  EXPECT_EQ(s.meta_kbps(), 564);
}

TEST(FlvSplit, SameSlotsWhereverTheStreamIsCut) {
  const FlvStream f = full_stream();
  kx::FlvSplitter whole(1, false);
  const SplitRun ref = split(f.out, {f.out.size()}, whole);
  for (std::size_t cut = 1; cut < f.out.size(); cut += (cut < 200 ? 1 : 37)) {
    kx::FlvSplitter s(1, false);
    const SplitRun r = split(f.out, {cut, f.out.size()}, s);
    ASSERT_EQ(r.slots, ref.slots) << "cut at " << cut;
    ASSERT_EQ(r.keys, ref.keys) << "cut at " << cut;
    ASSERT_EQ(s.setup().flv_header, whole.setup().flv_header);
  }
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1452}, std::size_t{1316}}) {
    kx::FlvSplitter s(1, false);
    const SplitRun r = split(f.out, {piece}, s);
    EXPECT_EQ(r.slots, ref.slots) << "pieces of " << piece;
    EXPECT_EQ(s.setup().avc_header, whole.setup().avc_header);
  }
}

struct BadTagCase {
  const char* name;
  int type;
  Bytes data;
};

TEST(FlvSplit, BadTagsAreSkippedByTheirLengthOnly) {
  const BadTagCase cases[] = {
      {"video not AVC", 9, {0x12, 0x01, 0xAA, 0xBB}},
      {"AVC end of sequence", 9, {0x17, 0x02, 0, 0, 0}},
      {"video command frame", 9, {0x57, 0x01, 0, 0, 0}},
      {"AAC packet type 7", 8, {0xAF, 0x07, 0x01}},
      {"undefined tag type", 15, {1, 2, 3, 4, 5}},
      {"filtered tag", 0x20 | 9, {0x17, 0x01, 0, 0, 0}},
      {"empty video", 9, {}},
      {"empty audio", 8, {}},
  };
  for (const BadTagCase& c : cases) {
    SCOPED_TRACE(c.name);
    FlvStream f;
    f.add(9, 0, kAvcSeq);
    f.add(9, 0, video(true, 50, 1));
    f.add(c.type, 5, c.data);
    f.add(9, 40, video(false, 60, 2));  // in the same read as the bad tag
    f.add(8, 41, aac_raw(20));
    kx::FlvSplitter s(1, false);
    const std::vector<StoredTag> t = tags_of(split(f.out, {f.out.size()}, s));
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[1].data, video(false, 60, 2));
    EXPECT_EQ(t[1].prev, 50u + 11);
    EXPECT_EQ(s.stats().skipped_tags, 1u);
    EXPECT_EQ(s.stats().dropped_bytes, 0u) << "framing was never lost";
  }
}

struct JunkCase {
  const char* name;
  Bytes junk;
};

TEST(FlvSplit, LostSyncIsFoundAgainByPreviousTagSize) {
  // Junk that looks like a tag start: plausible header, but no matching size after it.
  Bytes fake = {0, 0, 0, 0, 9, 0, 0, 20, 0, 0, 0, 0, 0, 0, 0};
  fake.resize(60, 0x09);
  Bytes huge = {0, 0, 0, 0, 9, 0x7F, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0};  // beyond the tag limit
  const JunkCase cases[] = {
      {"zeros", Bytes(100, 0)},
      {"a fake tag header", fake},
      {"a huge size", huge},
      {"one byte", Bytes{0x42}},
  };
  for (const JunkCase& c : cases) {
    SCOPED_TRACE(c.name);
    FlvStream f;
    f.add(9, 0, video(true, 300, 1));
    f.add(9, 40, video(false, 200, 2));
    f.raw(c.junk);  // between a tag's PreviousTagSize and the next tag
    f.add(9, 80, video(false, 250, 3));
    f.add(8, 81, aac_raw(30));
    for (std::size_t piece : {f.out.size(), std::size_t{1}, std::size_t{64}}) {
      kx::FlvSplitter s(1, false);
      const std::vector<StoredTag> t = tags_of(split(f.out, {piece}, s));
      ASSERT_EQ(t.size(), 4u);
      EXPECT_EQ(t[2].data, video(false, 250, 3));
      EXPECT_EQ(t[3].data, aac_raw(30));
      EXPECT_EQ(s.stats().dropped_bytes, c.junk.size());
      EXPECT_EQ(s.stats().resyncs, 1u);
    }
  }
}

TEST(FlvSplit, CorruptSizeAndCutTagAreNeverStoredPartly) {
  FlvStream f;
  f.add(9, 0, video(true, 300, 1));
  const std::size_t corrupt_at = f.out.size() + 1;  // the size field of the next tag
  f.add(9, 40, video(false, 200, 2));
  f.add(9, 80, video(false, 250, 3));
  Bytes stream = f.out;
  stream[corrupt_at + 1] = 0x10;  // 200 becomes 4296: its own size check fails
  kx::FlvSplitter s(1, false);
  std::vector<StoredTag> t = tags_of(split(stream, {stream.size()}, s));
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].data, video(false, 250, 3));
  EXPECT_EQ(s.stats().dropped_bytes, 4u + 11 + 200) << "the broken tag with its leading size";

  // A connection that ends inside a tag leaves nothing of it; the next one starts clean.
  Bytes cut(f.out.begin(), f.out.end() - 100);
  SplitRun r = split(cut, {cut.size()}, s);
  EXPECT_EQ(tags_of(r).size(), 2u);
  r = split(f.out, {f.out.size()}, s);
  t = tags_of(r);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].prev, 200u + 11) << "the chain goes on across connections";
}

TEST(FlvSplit, NoFileHeaderLargeScriptAndBoundedCaptures) {
  // A stream joined without its file header is taken from the first tag that checks out.
  FlvStream f;
  f.add(9, 0, video(true, 30, 1));
  f.add(9, 40, video(false, 30, 2));
  Bytes headless(f.out.begin() + 9 + 4 + 5, f.out.end());
  kx::FlvSplitter s(1, false);
  std::vector<StoredTag> t = tags_of(split(headless, {headless.size()}, s));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(s.setup().flv_header.empty());

  // A script tag of 5000 bytes is kept whole; an AAC set-up beyond 32 bytes is not kept.
  FlvStream g;
  Bytes big = meta_data(640, 0, 0);
  big.resize(5000, 0x05);
  g.add(18, 0, big);
  Bytes long_aac = kAacSeq;
  long_aac.resize(40, 0);
  g.add(8, 0, long_aac);
  g.add(18, 0, meta_data(1, 1, 1));  // a second script tag changes nothing
  g.add(8, 1, aac_raw(10));
  kx::FlvSplitter s2(1, false);
  t = tags_of(split(g.out, {333}, s2));
  ASSERT_EQ(t.size(), 1u);
  const kx::DecoderSetup d = s2.setup();
  EXPECT_EQ(d.flv_header.size(), 9u + 4 + 11 + 5000);
  EXPECT_EQ(d.width, 640);
  EXPECT_TRUE(d.aac_config.empty());
  EXPECT_EQ(s2.meta_kbps(), 0);
}

TEST(FlvSplit, SleepTimeTable) {
  struct Case {
    int kbps;
    double tolerance;
    bool estimated;
    int ms;
  } cases[] = {
      {0, 0.9, false, 0},      {-5, 0.9, false, 0},    {1000, 0.9, false, 580},
      {1000, 0.9, true, 508},  {1000, 1.0, false, 0},  {1000, 1.5, false, 0},
      {1000, 2.0, true, 0},    {5808, 0.0, false, 1000}, {1, 0.0, false, 60000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(kx::flv_sleep_time_ms(c.kbps, c.tolerance, c.estimated), c.ms) << c.kbps << " " << c.tolerance;
}

// A real FLV from ffmpeg: every audio and video tag but the sequence headers comes out,
// in order, and the set-up matches the file's own sequence headers.
TEST(FlvSplit, FfmpegFileRoundTrip) {
  kxt::TempDir dir;
  const std::string out = dir / "in.flv";
  const std::string r = kxt::run_tool({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                                       "testsrc=size=160x120:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=44100",
                                       "-t", "2", "-c:v", "libx264", "-g", "10", "-c:a", "aac", "-f", "flv", out},
                                      60000);
  const std::string file = kxt::slurp(out);
  if (r == "<failed>" || file.size() < 1000) GTEST_SKIP() << "ffmpeg with libx264 and aac is needed";
  const Bytes stream(file.begin(), file.end());

  // The file's own tags.
  std::vector<Bytes> media;
  Bytes avc_seq, aac_seq;
  uint64_t end_of_sequence = 0;
  std::size_t pos = 9 + 4;
  while (pos + 11 <= stream.size()) {
    const uint32_t size = get24(&stream[pos + 1]);
    const int type = stream[pos] & 0x1F;
    Bytes data(stream.begin() + static_cast<std::ptrdiff_t>(pos + 11),
               stream.begin() + static_cast<std::ptrdiff_t>(pos + 11 + size));
    if (type == 9 && data.size() > 1 && data[1] == 0) avc_seq = data;
    else if (type == 8 && data.size() > 1 && data[1] == 0) aac_seq = data;
    else if (type == 9 && data.size() > 1 && data[1] == 2) ++end_of_sequence;  // skipped, not stored
    else if (type == 8 || type == 9) media.push_back(data);
    pos += 11 + size + 4;
  }
  ASSERT_FALSE(avc_seq.empty());
  ASSERT_FALSE(aac_seq.empty());

  kx::FlvSplitter s(1, false);
  const std::vector<StoredTag> t = tags_of(split(stream, {1452}, s));
  ASSERT_EQ(t.size(), media.size());
  for (std::size_t i = 0; i < t.size(); ++i) ASSERT_EQ(t[i].data, media[i]) << i;
  EXPECT_TRUE(t[0].key);
  EXPECT_EQ(s.setup().avc_header.substr(12), text(avc_seq));
  EXPECT_EQ(s.setup().aac_config, text(aac_seq));
  EXPECT_EQ(s.setup().aac_channels, 1);
  EXPECT_EQ(s.setup().width, 160);
  EXPECT_EQ(s.stats().dropped_bytes, 0u);
  EXPECT_EQ(s.stats().skipped_tags, end_of_sequence);
}

}  // namespace
