// The answers this server writes, byte for byte against bytes spelled out here, and the
// bounded reading of incoming commands.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rtmp/chunk_reader.h"
#include "rtmp/hex_dump.h"
#include "rtmp/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

// AMF0 spelled out by hand: markers, big-endian lengths, IEEE doubles.
Bytes S(const std::string& s) {
  Bytes b = {0x02, uint8_t(s.size() >> 8), uint8_t(s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return b;
}
Bytes K(const std::string& s) {  // a property name
  Bytes b = {uint8_t(s.size() >> 8), uint8_t(s.size())};
  b.insert(b.end(), s.begin(), s.end());
  return b;
}
Bytes N(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  Bytes b = {0x00};
  for (int i = 7; i >= 0; --i) b.push_back(uint8_t(bits >> (8 * i)));
  return b;
}
const Bytes kNull = {0x05}, kObj = {0x03}, kEnd = {0x00, 0x00, 0x09}, kTrue = {0x01, 0x01};
const Bytes kEcma0 = {0x08, 0, 0, 0, 0};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A fmt 0 header: basic byte, timestamp 0, length, type, little-endian stream id.
Bytes H0(uint8_t basic, std::size_t len, uint8_t type, uint32_t sid) {
  return {basic, 0, 0, 0, uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len), type,
          uint8_t(sid), uint8_t(sid >> 8), uint8_t(sid >> 16), uint8_t(sid >> 24)};
}
Bytes msg0(uint8_t basic, uint8_t type, uint32_t sid, const Bytes& body) { return cat({H0(basic, body.size(), type, sid), body}); }
Bytes data45(const Bytes& body) {
  return cat({{0x45, 0, 0, 0, uint8_t(body.size() >> 16), uint8_t(body.size() >> 8), uint8_t(body.size()), 18}, body});
}

TEST(RtmpMessages, ProtocolControl) {
  Bytes out;
  ASSERT_TRUE(kx::rtmp_window_ack_size(out, 1152000));
  ASSERT_TRUE(kx::rtmp_set_peer_bandwidth(out, 2500000, 2));
  ASSERT_TRUE(kx::rtmp_user_control(out, 0, 1));
  ASSERT_TRUE(kx::rtmp_set_chunk_size(out, 1452));
  const Bytes want = cat({msg0(0x02, 5, 0, {0x00, 0x11, 0x94, 0x00}), msg0(0x02, 6, 0, {0x00, 0x26, 0x25, 0xA0, 0x02}),
                          msg0(0x02, 4, 0, {0, 0, 0, 0, 0, 1}), msg0(0x02, 1, 0, {0, 0, 0x05, 0xAC})});
  EXPECT_EQ(out, want);
  EXPECT_FALSE(kx::rtmp_set_chunk_size(out, 0));
  EXPECT_EQ(out, want) << "a refused message appends nothing";
}

TEST(RtmpMessages, ConnectAnswerIsFiveMessagesWithOneChunkResult) {
  for (bool ok : {true, false}) {
    SCOPED_TRACE(ok ? "success" : "invalid app");
    const std::string code = ok ? "NetConnection.Connect.Success" : "NetConnection.Connect.InvalidApp";
    const std::string desc = ok ? "Connection succeeded." : "Connection failed.";
    const Bytes result = cat({S("_result"), N(1.0), kObj, K("fmsVer"), S("Kestrix/12.1.001"), K("capabilities"), N(31.0),
                              K("mode"), N(1.0), kEnd, kObj, K("level"), S("status"), K("code"), S(code),
                              K("description"), S(desc), K("data"), kEcma0, K("version"), S("12.1.001"), kEnd,
                              K("clientid"), N(17.0), K("objectEncoding"), N(3.0), kEnd});
    // The fields listed add up to 261 bytes for both codes (the longer code and the
    // shorter description cancel out); either way a single chunk under 1452.
    EXPECT_EQ(result.size(), 261u);
    const Bytes want = cat({msg0(0x02, 5, 0, {0x00, 0x26, 0x25, 0xA0}), msg0(0x02, 6, 0, {0x00, 0x26, 0x25, 0xA0, 0x02}),
                            msg0(0x02, 4, 0, {0, 0, 0, 0, 0, 0}), msg0(0x02, 1, 0, {0, 0, 0x05, 0xAC}),
                            msg0(0x03, 20, 0, result)});
    Bytes out;
    ASSERT_TRUE(kx::rtmp_connect_answer(out, ok, 17));
    EXPECT_EQ(out, want);
  }
}

TEST(RtmpMessages, CreateStreamEchoesTheTransactionId) {
  Bytes out;
  ASSERT_TRUE(kx::rtmp_create_stream_result(out, 4, 1452));
  const Bytes body = {0x02, 0x00, 0x07, '_', 'r', 'e', 's', 'u', 'l', 't',
                      0x00, 0x40, 0x10, 0, 0, 0, 0, 0, 0,  // 4.0
                      0x05,
                      0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};  // 1.0
  EXPECT_EQ(out, cat({{0x03, 0, 0, 0, 0, 0, 29, 20, 0, 0, 0, 0}, body}));
}

TEST(RtmpMessages, StatusTable) {
  struct Row {
    kx::RtmpStatus which;
    uint8_t basic;
    uint32_t sid;
    std::string name, code, desc;
  };
  const Row rows[] = {
      {kx::RtmpStatus::kPlayFailed, 0x03, 0, "onStatus", "NetStream.Play.Failed", "Play Failed."},
      {kx::RtmpStatus::kPublishNotify, 0x05, 0, "onStatus", "NetStream.Play.PublishNotify", "news is now published"},
      {kx::RtmpStatus::kFCPublish, 0x03, 0, "onFCPublish", "NetStream.Publish.Start", "FCPublish to stream live."},
      {kx::RtmpStatus::kFCUnpublish, 0x03, 0, "onFCUnpublish", "NetStream.Publish.Stop", "FCUnpublish to stream live."},
      {kx::RtmpStatus::kUnpublishSuccess, 0x03, 0, "onStatus", "NetStream.Unpublish.Success", "live is now unpublished."},
      {kx::RtmpStatus::kPublishStart, 0x03, 1, "onStatus", "NetStream.Publish.Start", "Publishing live."},
      {kx::RtmpStatus::kPublishBadName, 0x03, 1, "onStatus", "NetStream.Publish.BadName", "Publish failed."},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.code);
    Bytes out;
    ASSERT_TRUE(kx::rtmp_status(out, r.which, 9, "news", 1452));
    const Bytes body = cat({S(r.name), N(0), kNull, kObj, K("level"), S("status"), K("code"), S(r.code),
                            K("description"), S(r.desc), K("clientid"), N(9), kEnd});
    EXPECT_EQ(out, msg0(r.basic, 20, r.sid, body));
  }
  Bytes out;
  EXPECT_FALSE(kx::rtmp_status(out, kx::RtmpStatus::kPublishNotify, 9, std::string(5000, 'x'), 1452));
  EXPECT_TRUE(out.empty());
}

TEST(RtmpMessages, PlayStartSequence) {
  Bytes out;
  ASSERT_TRUE(kx::rtmp_play_start(out, 1452));
  const Bytes status = cat({S("onStatus"), N(0), kNull, kObj, K("level"), S("status"), K("code"),
                            S("NetStream.Play.Start"), K("description"), S("Start live"), kEnd});
  const Bytes want = cat({msg0(0x02, 4, 0, {0, 0, 0, 0, 0, 1}), msg0(0x05, 20, 1, status),
                          data45(cat({S("|RtmpSampleAccess"), kTrue, kTrue})), msg0(0x02, 4, 0, {0, 0x20, 0, 0, 0, 1})});
  EXPECT_EQ(out, want);
}

TEST(RtmpMessages, MetadataCodecsByNameOrNumber) {
  kx::RtmpStreamMeta m;
  m.width = 1280, m.height = 720, m.framerate = 25, m.videodatarate = 2000, m.audiodatarate = 128;
  m.videocodecid = 7, m.audiocodecid = 10;
  Bytes out;
  ASSERT_TRUE(kx::rtmp_on_metadata(out, m, 1452));
  EXPECT_EQ(out, data45(cat({S("onMetaData"), kObj, K("width"), N(1280), K("height"), N(720), K("framerate"), N(25),
                             K("videodatarate"), N(2000), K("videocodecid"), N(7), K("audiodatarate"), N(128),
                             K("audiocodecid"), N(10), kEnd})));
  m.video_codec_name = "avc1", m.audio_codec_name = "mp4a";
  out.clear();
  ASSERT_TRUE(kx::rtmp_on_metadata(out, m, 1452));
  EXPECT_EQ(out, data45(cat({S("onMetaData"), kObj, K("width"), N(1280), K("height"), N(720), K("framerate"), N(25),
                             K("videodatarate"), N(2000), K("videocodecid"), S("avc1"), K("audiodatarate"), N(128),
                             K("audiocodecid"), S("mp4a"), kEnd})));
}

TEST(RtmpMessages, StreamLengthAndDeleteStream) {
  Bytes out;
  ASSERT_TRUE(kx::rtmp_stream_length_answer(out, 1452));
  EXPECT_EQ(out, data45(cat({S("onMetaData"), kObj, K("duration"), N(0.0), kEnd})));
  out.clear();
  ASSERT_TRUE(kx::rtmp_delete_stream(out, 128));
  EXPECT_EQ(out, msg0(0x03, 20, 0, cat({S("deleteStream"), N(0), kNull, N(1.0)})));
}

TEST(RtmpMessages, LongBodiesAreChunkedAtTheGivenSize) {
  kx::RtmpStreamMeta m;
  m.video_codec_name = std::string(300, 'v');
  Bytes out;
  ASSERT_TRUE(kx::rtmp_on_metadata(out, m, 128));
  // Read back through the reassembler: one message, the same as written in one chunk.
  Bytes whole;
  ASSERT_TRUE(kx::rtmp_on_metadata(whole, m, 4096));
  EXPECT_GT(out.size(), whole.size());
  kx::RtmpChunkReader r;
  Bytes body;
  auto fn = [](void* u, const kx::RtmpMessage& msg) {
    static_cast<Bytes*>(u)->assign(msg.body, msg.body + msg.length);
    return true;
  };
  // A fmt 1 header on a chunk stream not seen before is taken with stream id 0.
  EXPECT_EQ(r.feed(out.data(), out.size(), fn, &body), out.size());
  ASSERT_FALSE(r.failed()) << r.error();
  EXPECT_EQ(body, Bytes(whole.begin() + 8, whole.end()));
}

// ---- command parsing ----

TEST(RtmpCommands, NameTransactionAndWholeNamePropertyLookup) {
  // "tcUrl" also appears inside another name and inside a value; only the property counts.
  const Bytes body = cat({S("connect"), N(1.0), kObj, K("app"), S("news"), K("xtcUrl"), S("wrong"), K("flashVer"),
                          S("tcUrl"), K("tcUrl"), S("rtmp://127.0.0.1/news"), K("capabilities"), N(15), kEnd});
  kx::RtmpCommand c;
  ASSERT_TRUE(kx::rtmp_parse_command(20, body.data(), body.size(), c));
  EXPECT_EQ(c.name, "connect");
  EXPECT_EQ(c.transaction_id, 1.0);
  std::string_view text;
  double num = 0;
  EXPECT_EQ(kx::rtmp_command_property(c, "tcUrl", text, num), 2);
  EXPECT_EQ(text, "rtmp://127.0.0.1/news");
  EXPECT_EQ(kx::rtmp_command_property(c, "capabilities", text, num), 1);
  EXPECT_EQ(num, 15);
  EXPECT_EQ(kx::rtmp_command_property(c, "Url", text, num), 0);
  EXPECT_EQ(kx::rtmp_command_property(c, "capabilitie", text, num), 0);

  // The same with the AMF3 command form (one leading byte).
  Bytes amf3 = cat({{0x00}, body});
  ASSERT_TRUE(kx::rtmp_parse_command(17, amf3.data(), amf3.size(), c));
  EXPECT_EQ(c.name, "connect");
  EXPECT_EQ(kx::rtmp_command_property(c, "app", text, num), 2);
  EXPECT_EQ(text, "news");
}

TEST(RtmpCommands, StreamNameAndMetadata) {
  const Bytes play = cat({S("play"), N(0), kNull, S("5.ch?u=a&p=b"), N(-2000)});
  kx::RtmpCommand c;
  ASSERT_TRUE(kx::rtmp_parse_command(20, play.data(), play.size(), c));
  std::string_view name;
  ASSERT_TRUE(kx::rtmp_command_stream_name(c, name));
  EXPECT_EQ(name, "5.ch?u=a&p=b");

  // A data message has no transaction id; its ECMA array is searched like an object.
  const Bytes meta = cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 2}, K("width"), N(640),
                          K("videocodecid"), S("avc1"), kEnd});
  ASSERT_TRUE(kx::rtmp_parse_command(18, meta.data(), meta.size(), c));
  EXPECT_EQ(c.name, "@setDataFrame");
  EXPECT_EQ(c.transaction_id, 0);
  std::string_view text;
  double num = 0;
  EXPECT_EQ(kx::rtmp_command_property(c, "width", text, num), 1);
  EXPECT_EQ(num, 640);
  EXPECT_EQ(kx::rtmp_command_property(c, "videocodecid", text, num), 2);
  EXPECT_EQ(text, "avc1");
  EXPECT_EQ(kx::rtmp_command_property(c, "height", text, num), 0);
}

TEST(RtmpCommands, TruncatedOrForeignBodiesAreRefusedWithinBounds) {
  const Bytes full = cat({S("connect"), N(1.0), kObj, K("tcUrl"), S("rtmp://h/app"), kEnd});
  for (std::size_t n = 0; n < full.size(); ++n) {
    const Bytes cut(full.begin(), full.begin() + static_cast<long>(n));  // exact size: ASan sees any overread
    kx::RtmpCommand c;
    if (!kx::rtmp_parse_command(20, cut.data(), cut.size(), c)) continue;
    std::string_view text;
    double num = 0;
    const int found = kx::rtmp_command_property(c, "tcUrl", text, num);
    EXPECT_EQ(found, n >= full.size() - 3 ? 2 : 0) << n;  // found once its whole value is there
  }
  kx::RtmpCommand c;
  EXPECT_FALSE(kx::rtmp_parse_command(9, full.data(), full.size(), c)) << "video is not a command";
  EXPECT_FALSE(kx::rtmp_parse_command(20, nullptr, 0, c));
}

}  // namespace

namespace {

TEST(RtmpHexDump, SixteenPerLineUpToTheLimit) {
  std::vector<uint8_t> b(2000);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(kx::rtmp_hex_dump(b.data(), 3), "00 01 02 \n");
  const std::string two = kx::rtmp_hex_dump(b.data() + 0x0A, 17);
  EXPECT_EQ(two, "0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 18 19 \n1a \n");
  const std::string all = kx::rtmp_hex_dump(b.data(), b.size());
  EXPECT_EQ(all.size(), 1000u * 3 + 63);  // 62 full lines and one of 8
  EXPECT_EQ(all.substr(all.size() - 4), "e7 \n");
  EXPECT_EQ(kx::rtmp_hex_dump(nullptr, 5), "");
}

}  // namespace
