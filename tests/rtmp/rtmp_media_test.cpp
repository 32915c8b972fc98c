// RTMP messages into FLV: the file header with onMetaData first, one tag per message with
// the reassembler's per-chunk-stream times, metadata and its defaults, the decoder set-up
// recognised by its bytes, audio-only streams; and what the FLV splitter makes of the
// bytes. Plus the pulling client's own messages, read back by the chunk reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/amf0.h"
#include "formats/flv.h"
#include "ingest/flv_splitter.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/client_messages.h"
#include "rtmp/messages.h"
#include "rtmp/rtmp_media.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Whole chunk streams built by hand: fmt 0 for the first message on a chunk stream, then
// fmt 1 (delta, length, type) or fmt 3 continuation; chunk size 128.
struct Wire {
  Bytes bytes;
  void fmt0(uint8_t csid, uint32_t ts, uint8_t type, const Bytes& body) { msg(0, csid, ts, type, body); }
  void fmt1(uint8_t csid, uint32_t delta, uint8_t type, const Bytes& body) { msg(1, csid, delta, type, body); }
  void msg(int fmt, uint8_t csid, uint32_t ts, uint8_t type, const Bytes& body) {
    bytes.push_back(static_cast<uint8_t>((fmt << 6) | csid));
    const uint32_t t = ts >= 0xFFFFFF ? 0xFFFFFF : ts;
    bytes.insert(bytes.end(), {uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)});
    bytes.insert(bytes.end(), {uint8_t(body.size() >> 16), uint8_t(body.size() >> 8), uint8_t(body.size()), type});
    if (fmt == 0) bytes.insert(bytes.end(), {1, 0, 0, 0});
    if (t == 0xFFFFFF) bytes.insert(bytes.end(), {uint8_t(ts >> 24), uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts)});
    for (std::size_t i = 0; i < body.size(); ++i) {
      if (i > 0 && i % 128 == 0) bytes.push_back(static_cast<uint8_t>(0xC0 | csid));
      bytes.push_back(body[i]);
    }
  }
};

// What the writer made of a chunk stream.
struct Converted {
  kx::RtmpFlvWriter w;
  Bytes flv;
  static bool each(void* user, const kx::RtmpMessage& m) {
    auto* r = static_cast<Converted*>(user);
    if (m.type == 18) {
      kx::StreamMeta meta;
      if (kx::rtmp_read_metadata(m.body, m.length, meta)) r->w.metadata(meta, r->flv);
    } else {
      r->w.media(m, r->flv);
    }
    return true;
  }
  explicit Converted(const Bytes& wire) {
    w.start();
    kx::RtmpChunkReader reader;
    EXPECT_EQ(reader.feed(wire.data(), wire.size(), each, this), wire.size());
  }
};

struct Tag {
  int type;
  uint32_t ts;
  Bytes data;
};

// The FLV read back strictly: file header, PreviousTagSize chain, tags.
std::vector<Tag> tags_of(const Bytes& flv, Bytes* script = nullptr) {
  std::vector<Tag> out;
  kx::FlvFileHeader fh;
  EXPECT_EQ(kx::flv_parse_file_header(flv.data(), static_cast<int>(flv.size()), fh), 1);
  std::size_t off = fh.data_offset;
  uint32_t prev = 0;
  while (off + 4 + kx::kFlvTagHeaderSize <= flv.size()) {
    const uint32_t p = (uint32_t{flv[off]} << 24) | (flv[off + 1] << 16) | (flv[off + 2] << 8) | flv[off + 3];
    EXPECT_EQ(p, prev) << "PreviousTagSize at " << off;
    kx::FlvTagHeader h;
    EXPECT_EQ(kx::flv_parse_tag_header(flv.data() + off + 4, kx::kFlvTagHeaderSize, h), 1);
    const std::size_t data = off + 4 + kx::kFlvTagHeaderSize;
    EXPECT_LE(data + h.data_size, flv.size());
    Bytes body(flv.begin() + static_cast<long>(data), flv.begin() + static_cast<long>(data + h.data_size));
    if (h.type == kx::kFlvTagScript) {
      if (script) *script = body;
    } else {
      out.push_back({h.type, h.timestamp, body});
    }
    prev = h.data_size + kx::kFlvTagHeaderSize;
    off = data + h.data_size;
  }
  EXPECT_EQ(off + 0, flv.size());
  return out;
}

// A data message: name(s) then an object of numbers and strings.
Bytes meta_body(const std::vector<std::string>& names, const std::vector<std::pair<std::string, double>>& nums,
                const std::vector<std::pair<std::string, std::string>>& texts = {}) {
  uint8_t buf[2048];
  kx::Amf0Writer w(buf, sizeof buf);
  for (const auto& n : names) w.string(n);
  w.begin_ecma_array(0);
  for (const auto& [k, v] : nums) w.prop(k, v);
  for (const auto& [k, v] : texts) w.prop(k, std::string_view(v));
  w.end_object();
  return Bytes(buf, buf + w.size());
}

const Bytes kAvcHeader = {0x17, 0x00, 0, 0, 0, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x04, 0x67, 0x64, 0x00, 0x1F,
                          0x01, 0x00, 0x04, 0x68, 0xEE, 0x3C, 0x80};
const Bytes kAacHeader = {0xAF, 0x00, 0x12, 0x10};  // AAC LC, 44.1 kHz (index 4), stereo

Bytes video(bool key, std::size_t n) {
  Bytes b = {uint8_t(key ? 0x17 : 0x27), 0x01, 0, 0, 0};
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(i * 7));
  return b;
}
Bytes audio(std::size_t n) {
  Bytes b = {0xAF, 0x01};
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(i * 3));
  return b;
}

TEST(RtmpMedia, TimesFollowEachChunkStream) {
  // Video on chunk stream 6 and audio on 4, each with its own clock; a fmt 1 delta adds
  // to its own stream's clock only; an extended time stands for itself.
  Wire w;
  w.fmt0(6, 1000, 9, kAvcHeader);
  w.fmt0(4, 990, 8, kAacHeader);
  w.fmt1(6, 0, 9, video(true, 300));  // delta 0: the same time
  w.fmt1(4, 23, 8, audio(200));
  w.fmt1(6, 40, 9, video(false, 40));
  w.fmt1(4, 23, 8, audio(10));
  w.fmt0(6, 0x01000000, 9, video(false, 5));
  Converted r(w.bytes);
  const std::vector<Tag> tags = tags_of(r.flv);
  struct Want {
    int type;
    uint32_t ts;
    std::size_t size;
  };
  const Want want[] = {{9, 1000, kAvcHeader.size()}, {8, 990, kAacHeader.size()}, {9, 1000, 305}, {8, 1013, 202},
                       {9, 1040, 45},   {8, 1036, 12},   {9, 0x01000000, 10}};
  ASSERT_EQ(tags.size(), std::size(want));
  for (std::size_t i = 0; i < tags.size(); ++i) {
    EXPECT_EQ(tags[i].type, want[i].type) << i;
    EXPECT_EQ(tags[i].ts, want[i].ts) << i;
    EXPECT_EQ(tags[i].data.size(), want[i].size) << i;
  }
  EXPECT_EQ(tags[2].data, video(true, 300));  // bodies whole across chunk boundaries
}

TEST(RtmpMedia, MetadataBecomesTheScriptTag) {
  struct Case {
    const char* what;
    Bytes body;
    double width, height, framerate, vid, aid, vrate, arate;
    std::string vname;
  };
  const Case cases[] = {
      {"onMetaData", meta_body({"onMetaData"}, {{"width", 1280}, {"height", 720}, {"framerate", 30},
                                                {"videocodecid", 7}, {"audiocodecid", 10}, {"videodatarate", 2000},
                                                {"audiodatarate", 128}}),
       1280, 720, 30, 7, 10, 2000, 128, ""},
      {"@setDataFrame, display sizes, zero ids",
       meta_body({"@setDataFrame", "onMetaData"}, {{"displayWidth", 320}, {"displayHeight", 240},
                                                   {"videocodecid", 0}, {"audiocodecid", 0}}),
       320, 240, 25, 7, 10, 0, 0, ""},
      {"a rate for the audio only: no rate",
       meta_body({"onMetaData"}, {{"videocodecid", 7}, {"audiocodecid", 10}, {"audiodatarate", 62}}), 640, 480, 25,
       7, 10, 0, 0, ""},
      {"audio only, with its rate", meta_body({"onMetaData"}, {{"audiocodecid", 10}, {"audiodatarate", 62}}), 640,
       480, 25, 0, 10, 0, 62, ""},
      {"codec by name, nothing else", meta_body({"onMetaData"}, {}, {{"videocodecid", "avc1"}}), 640, 480, 25, -1, 0,
       0, 0, "avc1"},
  };
  for (const Case& c : cases) {
    kx::StreamMeta m;
    ASSERT_TRUE(kx::rtmp_read_metadata(c.body.data(), c.body.size(), m)) << c.what;
    EXPECT_EQ(m.width, c.width) << c.what;
    EXPECT_EQ(m.height, c.height) << c.what;
    EXPECT_EQ(m.framerate, c.framerate) << c.what;
    EXPECT_EQ(m.videocodecid, c.vid) << c.what;
    EXPECT_EQ(m.audiocodecid, c.aid) << c.what;
    EXPECT_EQ(m.videodatarate, c.vrate) << c.what;
    EXPECT_EQ(m.audiodatarate, c.arate) << c.what;
    EXPECT_EQ(m.video_codec, c.vname) << c.what;

    // Through the writer and the splitter: the script tag carries the same values.
    Wire w;
    w.fmt0(5, 0, 18, c.body);
    w.fmt0(6, 0, 9, kAvcHeader);
    w.fmt1(6, 40, 9, video(true, 50));
    w.fmt1(6, 40, 9, video(false, 50));
    Converted r(w.bytes);
    Bytes script;
    tags_of(r.flv, &script);
    double width = 0;
    ASSERT_GT(script.size(), 13u) << c.what;
    EXPECT_EQ(kx::amf0_find_number(script.data() + 13, static_cast<int>(script.size() - 13), "width", width), 1);
    EXPECT_EQ(width, c.width) << c.what;
    kx::FlvSplitter split(1, false);
    split.start_connection();
    split.feed(r.flv.data(), r.flv.size(), nullptr, nullptr);
    EXPECT_EQ(split.meta_kbps(), static_cast<int>(c.vrate + c.arate)) << c.what;
    EXPECT_EQ(split.setup().width, c.width) << c.what;
  }
  const Bytes other = meta_body({"onCuePoint"}, {{"width", 1}});
  kx::StreamMeta m;
  EXPECT_FALSE(kx::rtmp_read_metadata(other.data(), other.size(), m));
  EXPECT_FALSE(kx::rtmp_read_metadata(nullptr, 0, m));
}

TEST(RtmpMedia, WithoutMetadataTheDefaultsDescribeTheStream) {
  Wire w;
  w.fmt0(6, 0, 9, kAvcHeader);
  w.fmt1(6, 40, 9, video(true, 20));
  w.fmt1(6, 40, 9, video(false, 20));
  Converted r(w.bytes);
  kx::FlvSplitter split(1, false);
  split.start_connection();
  split.feed(r.flv.data(), r.flv.size(), nullptr, nullptr);
  const kx::DecoderSetup s = split.setup();
  EXPECT_EQ(s.width, 640);
  EXPECT_EQ(s.height, 480);
  EXPECT_EQ(s.framerate, 25);
  EXPECT_EQ(split.meta_kbps(), 637);
  EXPECT_FALSE(s.avc_header.empty());
  // Later metadata changes nothing: the stream keeps one description.
  Bytes more;
  EXPECT_FALSE(r.w.metadata(kx::StreamMeta{}, more));
  EXPECT_TRUE(more.empty());
}

TEST(RtmpMedia, AudioOnlyStreamFeedsTheSplitter) {
  Wire w;
  w.fmt0(4, 0, 8, kAacHeader);
  for (int i = 0; i < 5; ++i) w.fmt1(4, 23, 8, audio(100 + static_cast<std::size_t>(i)));
  Converted r(w.bytes);
  const std::vector<Tag> tags = tags_of(r.flv);
  ASSERT_EQ(tags.size(), 6u);
  EXPECT_EQ(tags.back().ts, 5u * 23);
  kx::FlvSplitter split(1, false);
  split.start_connection();
  int slots = 0;
  split.feed(r.flv.data(), r.flv.size(), [](void* u, const uint8_t*, int, bool) { ++*static_cast<int*>(u); }, &slots);
  EXPECT_EQ(slots, 4);  // the last tag waits for the PreviousTagSize behind it
  const kx::DecoderSetup s = split.setup();
  EXPECT_EQ(s.aac_config, std::string(kAacHeader.begin(), kAacHeader.end()));
  EXPECT_EQ(s.aac_freq_index, 4);
  EXPECT_EQ(s.aac_channels, 2);
  EXPECT_TRUE(s.avc_header.empty());
}

TEST(RtmpMedia, DecoderSetupRecognisedByItsBytes) {
  struct Case {
    Bytes body;
    bool aac;
    int object_type, freq_index, channels;
  };
  const Case cases[] = {
      {{0xAF, 0x00, 0x12, 0x10}, true, 2, 4, 2},              // LC, 44.1 kHz, stereo
      {{0xAF, 0x00, 0x11, 0x90}, true, 2, 3, 2},              // 48 kHz: the index spans two bytes
      {{0xAE, 0x00, 0x15, 0x88}, true, 2, 11, 1},             // 8 kHz mono, another tag byte
      {{0xAF, 0x00, 0xF8, 0xE2, 0x00}, true, 39, 1, 0},       // escaped object type
      {{0xAF, 0x01, 0x12, 0x10}, false, 0, 0, 0},             // raw AAC
      {{0x2F, 0x00, 0x12, 0x10}, false, 0, 0, 0},             // MP3
      {{0xAF, 0x00, 0x12}, false, 0, 0, 0},                   // cut short
      {{0xAF, 0x00, 0x17, 0x80, 0x00, 0x00}, false, 0, 0, 0},  // explicit rate, cut short
  };
  for (const Case& c : cases) {
    kx::RtmpAacInfo info;
    ASSERT_EQ(kx::rtmp_aac_sequence_header(c.body.data(), c.body.size(), info), c.aac) << int(c.body[2]);
    if (!c.aac) continue;
    EXPECT_EQ(info.object_type, c.object_type);
    EXPECT_EQ(info.freq_index, c.freq_index);
    EXPECT_EQ(info.channels, c.channels);
  }
  EXPECT_TRUE(kx::rtmp_is_avc_sequence_header(kAvcHeader.data(), kAvcHeader.size()));
  const Bytes not_avc[] = {{0x17, 0x01, 0, 0, 0}, {0x27, 0x00}, {0x12, 0x00}, {0x17}};
  for (const Bytes& b : not_avc) EXPECT_FALSE(kx::rtmp_is_avc_sequence_header(b.data(), b.size()));
}

TEST(RtmpMedia, AggregateMessagesUnpack) {
  // Two FLV tags in one message, times 500 and 540: they land at the message's time and
  // 40 ms after it.
  Bytes agg;
  auto add = [&agg](int type, uint32_t ts, const Bytes& data) {
    uint8_t h[kx::kFlvTagHeaderSize];
    kx::flv_write_tag_header(h, type, static_cast<uint32_t>(data.size()), ts);
    agg.insert(agg.end(), h, h + sizeof h);
    agg.insert(agg.end(), data.begin(), data.end());
    const uint32_t prev = static_cast<uint32_t>(data.size()) + kx::kFlvTagHeaderSize;
    agg.insert(agg.end(), {uint8_t(prev >> 24), uint8_t(prev >> 16), uint8_t(prev >> 8), uint8_t(prev)});
  };
  add(9, 500, video(true, 30));
  add(8, 540, audio(30));
  Wire w;
  w.fmt0(7, 2000, 22, agg);
  Bytes cut = agg;
  cut.resize(agg.size() - 20);  // the second tag runs past the end: dropped
  w.fmt1(7, 100, 22, cut);
  Converted r(w.bytes);
  const std::vector<Tag> tags = tags_of(r.flv);
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].ts, 2000u);
  EXPECT_EQ(tags[1].ts, 2040u);
  EXPECT_EQ(tags[1].type, 8);
  EXPECT_EQ(tags[2].ts, 2100u);
}

// ---- the client's messages, read back as a server would ----

struct Seen {
  std::vector<kx::RtmpMessage> msgs;
  std::vector<Bytes> bodies;
  static bool each(void* user, const kx::RtmpMessage& m) {
    auto* s = static_cast<Seen*>(user);
    s->msgs.push_back(m);
    s->bodies.emplace_back(m.body, m.body + m.length);
    return true;
  }
};

TEST(RtmpClientMessages, TargetFromThePath) {
  struct Case {
    const char* path;
    const char* app;
    const char* stream;
  };
  const Case cases[] = {{"live/stream1", "live", "stream1"},
                        {"app/inst/name?token=1", "app/inst", "name?token=1"},
                        {"live", "live", ""},
                        {"", "", ""}};
  for (const Case& c : cases) {
    const kx::RtmpPullTarget t = kx::rtmp_pull_target("10.1.2.3", 1935, c.path);
    EXPECT_EQ(t.app, c.app) << c.path;
    EXPECT_EQ(t.stream, c.stream) << c.path;
    EXPECT_EQ(t.tc_url, std::string("rtmp://10.1.2.3:1935/") + c.app) << c.path;
  }
}

TEST(RtmpClientMessages, ReadBackWhole) {
  const kx::RtmpPullTarget t = kx::rtmp_pull_target("127.0.0.1", 19350, "live/" + std::string(300, 'n'));
  Bytes out;
  ASSERT_TRUE(kx::rtmp_client_connect(out, 1, t));
  ASSERT_TRUE(kx::rtmp_window_ack_size(out, kx::kRtmpClientWindow));
  ASSERT_TRUE(kx::rtmp_client_buffer_length(out, 0, kx::kRtmpClientBufferMs));
  ASSERT_TRUE(kx::rtmp_client_create_stream(out, 2));
  ASSERT_TRUE(kx::rtmp_client_play(out, 1, t.stream));
  ASSERT_TRUE(kx::rtmp_client_ack(out, 5000000));
  ASSERT_TRUE(kx::rtmp_client_delete_stream(out, 3, 1));
  EXPECT_EQ(out[0], 0x03);  // connect: fmt 0 on chunk stream 3

  Seen seen;
  kx::RtmpChunkReader reader;
  ASSERT_EQ(reader.feed(out.data(), out.size(), Seen::each, &seen), out.size());
  ASSERT_EQ(seen.msgs.size(), 7u);
  struct Want {
    uint8_t type;
    uint32_t csid, stream_id;
    const char* name;
    double transaction;
  };
  const Want want[] = {{20, 3, 0, "connect", 1}, {5, 2, 0, nullptr, 0},         {4, 2, 0, nullptr, 0},
                       {17, 3, 0, "createStream", 2}, {17, 8, 1, "play", 0}, {3, 2, 0, nullptr, 0},
                       {20, 3, 0, "deleteStream", 3}};
  for (std::size_t i = 0; i < std::size(want); ++i) {
    const Bytes& b = seen.bodies[i];
    EXPECT_EQ(seen.msgs[i].type, want[i].type) << i;
    EXPECT_EQ(seen.msgs[i].csid, want[i].csid) << i;
    EXPECT_EQ(seen.msgs[i].stream_id, want[i].stream_id) << i;
    if (!want[i].name) continue;
    kx::RtmpCommand cmd;
    ASSERT_TRUE(kx::rtmp_parse_command(want[i].type, b.data(), b.size(), cmd)) << i;
    EXPECT_EQ(cmd.name, want[i].name);
    EXPECT_EQ(cmd.transaction_id, want[i].transaction);
  }
  kx::RtmpCommand connect;
  ASSERT_TRUE(kx::rtmp_parse_command(20, seen.bodies[0].data(), seen.bodies[0].size(), connect));
  std::string_view text;
  double number = 0;
  EXPECT_EQ(kx::rtmp_command_property(connect, "app", text, number), 2);
  EXPECT_EQ(text, "live");
  EXPECT_EQ(kx::rtmp_command_property(connect, "tcUrl", text, number), 2);
  EXPECT_EQ(text, "rtmp://127.0.0.1:19350/live");
  EXPECT_EQ(kx::rtmp_command_property(connect, "capabilities", text, number), 1);
  EXPECT_EQ(number, 15.0);
  kx::RtmpCommand play;
  ASSERT_TRUE(kx::rtmp_parse_command(17, seen.bodies[4].data(), seen.bodies[4].size(), play));
  ASSERT_TRUE(kx::rtmp_command_stream_name(play, text));
  EXPECT_EQ(text, std::string(300, 'n'));  // across three 128-byte chunks
  const Bytes ack = {0x00, 0x4C, 0x4B, 0x40};
  EXPECT_EQ(seen.bodies[5], ack);
  const Bytes buffer = {0, 3, 0, 0, 0, 0, 0, 0, 0x01, 0x2C};
  EXPECT_EQ(seen.bodies[2], buffer);
}

}  // namespace
