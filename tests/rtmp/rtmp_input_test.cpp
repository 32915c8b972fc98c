// An encoder-fed channel's input against a publisher played by the test: the session's
// side of the encoder port is driven by hand over a socket pair. The input takes the
// lent connection, reads what the session read ahead first, turns the media into the
// channel's FLV, gives the socket back (never closing it) when the publisher unpublishes
// or goes, and then waits for the next publisher; a stop ends the wait.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "core/process_state.h"
#include "formats/amf0.h"
#include "ingest/input.h"
#include "net/socket.h"
#include "net/wait.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/encoder_port.h"
#include "rtmp/rtmp_input.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kChannelNo = 41;  // its own encoder port, apart from other tests'

Bytes amf(void (*build)(kx::Amf0Writer&)) {
  uint8_t buf[512];
  kx::Amf0Writer w(buf, sizeof buf);
  build(w);
  return Bytes(buf, buf + w.size());
}

// What a publisher sends after publish: metadata, the sequence headers, a few seconds of
// media on chunk streams 4 (audio) and 6 (video), chunked at 128 bytes.
Bytes publish_stream(int frames) {
  Bytes out;
  const Bytes meta = amf([](kx::Amf0Writer& w) {
    w.string("@setDataFrame").string("onMetaData").begin_ecma_array(0);
    w.prop("width", 320.0).prop("height", 240.0).prop("videocodecid", 7.0).prop("audiocodecid", 10.0);
    w.prop("videodatarate", 300.0).prop("audiodatarate", 64.0).end_object();
  });
  kx::rtmp_append_message(out, {0, 4, 0, kx::kRtmpData, 1}, meta.data(), meta.size(), 128);
  const Bytes avc = {0x17, 0x00, 0, 0, 0, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x04, 0x67, 0x64, 0x00, 0x1F,
                     0x01, 0x00, 0x04, 0x68, 0xEE, 0x3C, 0x80};
  const Bytes aac = {0xAF, 0x00, 0x12, 0x10};
  kx::rtmp_append_message(out, {0, 6, 0, kx::kRtmpVideo, 1}, avc.data(), avc.size(), 128);
  kx::rtmp_append_message(out, {0, 4, 0, kx::kRtmpAudio, 1}, aac.data(), aac.size(), 128);
  for (int i = 0; i < frames; ++i) {
    Bytes v = {uint8_t(i % 25 == 0 ? 0x17 : 0x27), 0x01, 0, 0, 0};
    v.resize(400 + static_cast<std::size_t>(i % 7) * 50, static_cast<uint8_t>(i));
    kx::rtmp_append_message(out, {1, 6, 40, kx::kRtmpVideo, 0}, v.data(), v.size(), 128);
    Bytes a = {0xAF, 0x01};
    a.resize(120, static_cast<uint8_t>(i));
    kx::rtmp_append_message(out, {1, 4, 40, kx::kRtmpAudio, 0}, a.data(), a.size(), 128);
  }
  return out;
}

Bytes fc_unpublish() {
  const Bytes body = amf([](kx::Amf0Writer& w) { w.string("FCUnpublish").number(5).null().string("news"); });
  Bytes out;
  kx::rtmp_append_message(out, {0, 3, 0, kx::kRtmpCommand, 0}, body.data(), body.size(), 128);
  return out;
}

bool fd_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

class EncoderInput : public ::testing::Test {
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
    ch->rt.src[0].type = kx::kSrcRtmpEncoder;
    stop_.on(never_);
  }
  void TearDown() override {
    if (thread) {
      ch->rt.nStop.store(1);
      kx::join_thread(thread, 10000);
    }
    kx::close_logs();
  }
  void start() {
    ch->rt.nThread_Finished.store(0);
    thread = kx::create_thread(kx::IPTV_Channel_DataThread, new std::shared_ptr<kx::Channel_Info>(ch));
    ASSERT_NE(thread, nullptr);
  }
  kx::EncoderPort& port() { return kx::encoder_port(kChannelNo - 1); }

  // The session's side: claim, lend fd with the first `ahead` bytes of stream as read
  // ahead, send the rest on the other end.
  void lend(uint32_t session, const kxt::SocketPair& pair, const Bytes& stream, std::size_t ahead) {
    ASSERT_TRUE(port().claim(session));
    kx::EncoderFeed feed;
    feed.fd = pair.fd[0];
    feed.reader = std::make_unique<kx::RtmpChunkReader>();
    feed.ahead.assign(stream.begin(), stream.begin() + static_cast<long>(ahead));
    feed.session_no = session;
    feed.chunk_size = 128;
    port().offer(std::move(feed));
    ASSERT_TRUE(kx::send_all(pair.fd[1], stream.data() + ahead, stream.size() - ahead, 10000));
  }
  bool streaming(uint64_t after_commits) {
    return kxt::wait_until([&] {
      kx::RealBufferPtr slots = ch->rt.flv_ring();
      kx::DecoderSetupPtr s = ch->rt.setup();
      return ch->rt.nChannel_Status.load() == kx::kStatusOn && slots && slots->commits() > after_commits && s &&
             !s->avc_header.empty() && !s->aac_config.empty();
    }, 15000);
  }

  std::shared_ptr<kx::Channel_Info> ch;
  kx::ThreadRecord* thread = nullptr;
  std::atomic<int> never_{0};
  kx::StopToken stop_;
};

TEST_F(EncoderInput, ReadsThePublisherAndWaitsForTheNext) {
  start();
  const Bytes stream = publish_stream(60);
  uint64_t commits = 0;
  // First by unpublishing, then by the publisher's connection closing.
  for (int round = 0; round < 2; ++round) {
    kxt::SocketPair pair;
    ASSERT_TRUE(pair.ok());
    const uint32_t session = 100 + static_cast<uint32_t>(round);
    lend(session, pair, stream, 200 + static_cast<std::size_t>(round) * 37);  // ahead ends inside a chunk
    ASSERT_TRUE(streaming(commits)) << "round " << round;
    kx::DecoderSetupPtr s = ch->rt.setup();
    EXPECT_EQ(s->width, 320);
    EXPECT_EQ(ch->rt.nBitrate.load(), 364);
    EXPECT_EQ(ch->rt.nInput_Format.load(), 1);
    EXPECT_TRUE(port().lent());
    if (round == 0) {
      const Bytes end = fc_unpublish();
      ASSERT_TRUE(kx::send_all(pair.fd[1], end.data(), end.size(), 10000));
    } else {
      kx::shutdown_socket(pair.fd[1]);
    }
    ASSERT_TRUE(port().wait_returned(stop_, 15000)) << "round " << round;
    EXPECT_TRUE(fd_open(pair.fd[0]));  // the session closes it, not the input
    port().release(session);
    ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nChannel_Status.load() != kx::kStatusOn; }, 15000));
    commits = ch->rt.flv_ring() ? ch->rt.flv_ring()->commits() : 0;
  }
  ch->rt.nStop.store(1);
  ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nThread_Finished.load() == 1; }, 10000));
  EXPECT_TRUE(kx::join_thread(thread, 5000));
  thread = nullptr;
  EXPECT_FALSE(port().lent());
}

TEST_F(EncoderInput, StopEndsTheWaitAndALentSocketIsGivenBack) {
  start();
  ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nChannel_Status.load() == kx::kStatusConnecting; }, 10000));
  kxt::SocketPair pair;
  ASSERT_TRUE(pair.ok());
  lend(200, pair, publish_stream(10), 0);
  ASSERT_TRUE(streaming(0));
  // The publisher goes quiet; the channel's stop ends the read and gives the socket back.
  ch->rt.nStop.store(1);
  ASSERT_TRUE(port().wait_returned(stop_, 10000));
  EXPECT_TRUE(fd_open(pair.fd[0]));
  port().release(200);
  ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nThread_Finished.load() == 1; }, 10000));
  EXPECT_TRUE(kx::join_thread(thread, 5000));
  thread = nullptr;
}

}  // namespace
