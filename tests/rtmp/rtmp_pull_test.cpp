// The pulling client against an RTMP server scripted by the test on loopback: what the
// client sends (connect with app and tcUrl from the URL, createStream, play on the stream
// id the server gave, keep-alives, acknowledgements of the server's window, deleteStream
// on the way out), and what it makes of the answers: StreamNotFound reconnects, media
// turns the channel on, a stop ends it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "core/process_state.h"
#include "formats/amf0.h"
#include "ingest/input.h"
#include "net/socket.h"
#include "net/wait.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/handshake.h"
#include "rtmp/messages.h"
#include "rtmp/rtmp_input.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kChannelNo = 42;
constexpr uint32_t kStreamId = 5;
constexpr uint32_t kWindow = 4096;
constexpr uint32_t kChunk = kx::kRtmpServerChunkSize;  // announced by the connect answer

// One message the client sent, as the server read it.
struct Got {
  int conn = 0;
  uint8_t type = 0;
  uint32_t stream_id = 0;
  std::string name;  // commands
  double transaction = 0;
  std::string app, tc_url, play_name;
  uint16_t event = 0;  // user control
  uint32_t value = 0;  // user control's stream id, or an acknowledgement's count
};

Bytes command(std::initializer_list<double> numbers, const char* name, const char* code = nullptr) {
  uint8_t buf[512];
  kx::Amf0Writer w(buf, sizeof buf);
  w.string(name);
  for (double n : numbers) w.number(n);
  w.null();
  if (code) w.begin_object().prop("level", "status").prop("code", code).end_object();
  return Bytes(buf, buf + w.size());
}

const Bytes kAvc = {0x17, 0x00, 0, 0, 0, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x04, 0x67, 0x64, 0x00,
                   0x1F, 0x01, 0x00, 0x04, 0x68, 0xEE, 0x3C, 0x80};

// The server: the first connection's play gets StreamNotFound unless audio_first, the
// others play a video frame per turn. With audio_first every connection plays at once:
// metadata naming H.264, the AAC header and audio frames, and the H.264 header and
// video only once video() was called.
class ScriptedServer {
 public:
  explicit ScriptedServer(bool audio_first = false) : audio_first_(audio_first) {
    kx::tcp_listen("127.0.0.1", 0, 8, listen_);
    port_ = kx::local_port(listen_.fd());
    stop_tok_.on(stop_);
    thread_ = std::thread([this] { run(); });
  }
  ~ScriptedServer() {
    stop_.store(1);
    thread_.join();
  }
  int port() const { return port_; }
  std::vector<Got> got() {
    std::lock_guard<std::mutex> l(lock_);
    return got_;
  }
  int connections() const { return conns_.load(); }
  void video() { video_.store(1); }

 private:
  struct Conn {
    ScriptedServer* self;
    int no;
    int fd;
    bool playing = false;
    bool video_sent = false;
  };

  // A video frame each turn, in one send of its own; audio while video is held back.
  bool send_turn(Conn& c, uint32_t& ts) {
    Bytes out;
    if (audio_first_ && !video_.load()) {
      Bytes a = {0xAF, 0x01};
      a.resize(100, 0x22);
      kx::rtmp_append_message(out, {1, 4, 23, kx::kRtmpAudio, 0}, a.data(), a.size(), kChunk);
    } else {
      if (!c.video_sent) kx::rtmp_append_message(out, {0, 6, ts, kx::kRtmpVideo, kStreamId}, kAvc.data(), kAvc.size(), kChunk);
      c.video_sent = true;
      Bytes v = {uint8_t(ts % 1000 == 0 ? 0x17 : 0x27), 0x01, 0, 0, 0};
      v.resize(300, 0x11);
      kx::rtmp_append_message(out, {1, 6, 40, kx::kRtmpVideo, 0}, v.data(), v.size(), kChunk);
    }
    ts += 40;
    return kx::send_all(c.fd, out.data(), out.size(), 5000);
  }

  void run() {
    while (!stop_.load()) {
      kx::Socket s;
      if (kx::tcp_accept(listen_.fd(), 100, s) != 1) continue;
      serve(conns_.fetch_add(1), s.fd());
    }
  }

  void serve(int no, int fd) {
    std::vector<uint8_t> surplus;
    if (kx::rtmp_server_handshake(fd, stop_tok_, 10000, surplus) != kx::HandshakeEnd::kDone) return;
    kx::RtmpChunkReader reader;
    Conn c{this, no, fd};
    if (!feed(reader, c, surplus.data(), surplus.size())) return;
    uint8_t buf[4096];
    uint32_t ts = 0;
    for (int turns = 0; turns < 20000 && !stop_.load(); ++turns) {
      const int r = kx::poll_readable(fd, c.playing ? 3 : 100);
      if (r < 0) return;
      if (r > 0) {
        const long n = kx::recv_some(fd, buf, sizeof buf, 0);
        if (n <= 0 || !feed(reader, c, buf, static_cast<std::size_t>(n))) return;
      }
      if (c.playing && !send_turn(c, ts)) return;
    }
  }

  static bool on_message(void* user, const kx::RtmpMessage& m) {
    auto* c = static_cast<Conn*>(user);
    Got g;
    g.conn = c->no;
    g.type = m.type;
    g.stream_id = m.stream_id;
    if (m.type == kx::kRtmpUserControl && m.length >= 6) {
      g.event = static_cast<uint16_t>((m.body[0] << 8) | m.body[1]);
      g.value = (uint32_t{m.body[2]} << 24) | (m.body[3] << 16) | (m.body[4] << 8) | m.body[5];
    } else if (m.type == kx::kRtmpAck && m.length >= 4) {
      g.value = (uint32_t{m.body[0]} << 24) | (m.body[1] << 16) | (m.body[2] << 8) | m.body[3];
    }
    kx::RtmpCommand cmd;
    if ((m.type == kx::kRtmpCommand || m.type == kx::kRtmpAmf3Command) &&
        kx::rtmp_parse_command(m.type, m.body, m.length, cmd)) {
      g.name = std::string(cmd.name);
      g.transaction = cmd.transaction_id;
      std::string_view text;
      double num = 0;
      if (kx::rtmp_command_property(cmd, "app", text, num) == 2) g.app = std::string(text);
      if (kx::rtmp_command_property(cmd, "tcUrl", text, num) == 2) g.tc_url = std::string(text);
      if (g.name == "play" && kx::rtmp_command_stream_name(cmd, text)) g.play_name = std::string(text);
    }
    {
      std::lock_guard<std::mutex> l(c->self->lock_);
      c->self->got_.push_back(g);
    }
    return c->self->answer(*c, g);
  }

  bool feed(kx::RtmpChunkReader& reader, Conn& c, const uint8_t* p, std::size_t n) {
    reader.feed(p, n, on_message, &c);
    return !reader.failed();
  }

  bool answer(Conn& c, const Got& g) {
    Bytes out;
    if (g.name == "connect") {
      kx::rtmp_connect_answer(out, true, 1);
      kx::rtmp_window_ack_size(out, kWindow);
    } else if (g.name == "createStream") {
      const Bytes b = command({g.transaction}, "_result");
      Bytes body = b;
      uint8_t id[9];
      kx::Amf0Writer w(id, sizeof id);
      w.number(kStreamId);
      body.insert(body.end(), id, id + w.size());
      kx::rtmp_append_message(out, kx::rtmp_form::command(0), body.data(), body.size(), kChunk);
    } else if (g.name == "play") {
      const bool serve = c.no >= 1 || audio_first_;
      const Bytes b = command({0}, "onStatus", serve ? "NetStream.Play.Start" : "NetStream.Play.StreamNotFound");
      kx::rtmp_append_message(out, kx::rtmp_form::status(kStreamId), b.data(), b.size(), kChunk);
      if (serve && audio_first_) {
        uint8_t buf[256];
        kx::Amf0Writer w(buf, sizeof buf);
        w.string("onMetaData").begin_ecma_array(0).prop("videocodecid", 7.0).prop("audiocodecid", 10.0).end_object();
        kx::rtmp_append_message(out, kx::rtmp_form::data(), buf, static_cast<std::size_t>(w.size()), kChunk);
        const Bytes aac = {0xAF, 0x00, 0x12, 0x10};
        kx::rtmp_append_message(out, {0, 4, 0, kx::kRtmpAudio, kStreamId}, aac.data(), aac.size(), kChunk);
      }
      c.playing = serve;
    }
    return out.empty() || kx::send_all(c.fd, out.data(), out.size(), 5000);
  }

  const bool audio_first_;
  std::atomic<int> video_{0};
  kx::Socket listen_;
  int port_ = 0;
  std::atomic<int> stop_{0};
  kx::StopToken stop_tok_;
  std::atomic<int> conns_{0};
  std::mutex lock_;
  std::vector<Got> got_;
  std::thread thread_;
};

class RtmpPull : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::Config c = kx::Config::defaults();
    kx::parse_configuration("channel_reconnection_interval=0\r\nchannel_input_buffer_no=64\r\n", c);
    kx::config_publish(c);
    kx::g_server_stop.clear();
    kx::rtmp_register_inputs();
    ch = std::make_shared<kx::Channel_Info>();
    ch->def.nChannel_No = kChannelNo;
    ch->def.nURL_Count = 1;
    ch->rt.has_sources = true;
  }
  // The scripted server and the channel's source on it; then the channel's input.
  void start(bool audio_first) {
    server = std::make_unique<ScriptedServer>(audio_first);
    kx::Source_URL_Info& s = ch->rt.src[0];
    s.type = kx::kSrcRtmp;
    s.host = "127.0.0.1";
    s.port = server->port();
    s.path = "live/stream1";
    ch->rt.nThread_Finished.store(0);
    thread = kx::create_thread(kx::IPTV_Channel_DataThread, new std::shared_ptr<kx::Channel_Info>(ch));
    ASSERT_NE(thread, nullptr);
  }
  void stop() {
    ch->rt.nStop.store(1);
    ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nThread_Finished.load() == 1; }, 10000));
    EXPECT_TRUE(kx::join_thread(thread, 5000));
    thread = nullptr;
  }
  void TearDown() override {
    if (thread) {
      ch->rt.nStop.store(1);
      kx::join_thread(thread, 10000);
    }
  }
  static int count(const std::vector<Got>& got, int conn, const std::string& name) {
    int n = 0;
    for (const Got& g : got) n += g.conn == conn && g.name == name;
    return n;
  }

  std::unique_ptr<ScriptedServer> server;
  std::shared_ptr<kx::Channel_Info> ch;
  kx::ThreadRecord* thread = nullptr;
};

TEST_F(RtmpPull, NotFoundReconnectsThenPlaysWithKeepAlivesAndAcks) {
  start(false);
  ScriptedServer& server = *this->server;
  // Served on the second connection: on, with the decoder set-up, a keep-alive and an ack.
  auto seen = [&](uint8_t type, uint16_t event) {
    for (const Got& g : server.got())
      if (g.conn == 1 && g.type == type && (type != kx::kRtmpUserControl || (g.event == event && g.value == kStreamId)))
        return true;
    return false;
  };
  ASSERT_TRUE(kxt::wait_until([&] {
    kx::DecoderSetupPtr s = ch->rt.setup();
    return ch->rt.nChannel_Status.load() == kx::kStatusOn && s && !s->avc_header.empty() &&
           seen(kx::kRtmpUserControl, 0) && seen(kx::kRtmpAck, 0);
  }, 30000)) << server.connections();
  stop();

  const std::vector<Got> got = server.got();
  for (int conn = 0; conn < 2; ++conn) {
    EXPECT_EQ(count(got, conn, "connect"), 1);
    EXPECT_EQ(count(got, conn, "createStream"), 1);
    EXPECT_EQ(count(got, conn, "play"), 1);
  }
  EXPECT_EQ(count(got, 0, "deleteStream"), 0);  // play never started there
  EXPECT_EQ(count(got, 1, "deleteStream"), 1);
  for (const Got& g : got) {
    if (g.name == "connect") {
      EXPECT_EQ(g.app, "live");
      EXPECT_EQ(g.tc_url, "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live");
      EXPECT_EQ(g.transaction, 1);
    } else if (g.name == "createStream") {
      EXPECT_EQ(g.transaction, 2);
    } else if (g.name == "play") {
      EXPECT_EQ(g.play_name, "stream1");
      EXPECT_EQ(g.stream_id, kStreamId);  // the id createStream answered
    } else if (g.type == kx::kRtmpAck) {
      EXPECT_GE(g.value, kWindow);
    }
  }
}

// A server that sends audio ahead of the H.264 header the metadata announced: the channel
// stays off on audio alone, and turns on with the video, its set-up already published.
TEST_F(RtmpPull, AnnouncedVideoIsWaitedForBeforeTurningOn) {
  start(true);
  ASSERT_TRUE(kxt::wait_until([&] {
    kx::RealBufferPtr slots = ch->rt.flv_ring();
    return slots && slots->commits() >= 20;
  }, 30000));
  EXPECT_NE(ch->rt.nChannel_Status.load(), kx::kStatusOn);  // 20 audio tags stored, still off
  kx::DecoderSetupPtr s = ch->rt.setup();
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->aac_config.empty());
  EXPECT_TRUE(s->avc_header.empty());
  server->video();
  ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nChannel_Status.load() == kx::kStatusOn; }, 30000));
  s = ch->rt.setup();
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->avc_header.empty());  // published before the channel turned on
  stop();
}

}  // namespace
