// The handshake: the byte logic of both sides, and the socket runs on loopback, including a
// client that drips its bytes and is cut off by the one overall deadline.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/os/time.h"
#include "net/socket.h"
#include "net/wait.h"
#include "support/harness.h"
#include "rtmp/handshake.h"

namespace {

using Bytes = std::vector<uint8_t>;
using SStep = kx::RtmpServerHandshake::Step;
using CStep = kx::RtmpClientHandshake::Step;

Bytes c0c1(uint8_t version) {
  Bytes b(1 + kx::kRtmpSigSize);
  b[0] = version;
  const uint8_t time[4] = {0x11, 0x22, 0x33, 0x44};
  std::memcpy(&b[1], time, 4);
  for (std::size_t i = 9; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 13);
  return b;
}

TEST(RtmpHandshake, ServerRepliesWithS0S1S2EchoingC1) {
  Bytes random(kx::kRtmpRandomSize);
  for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<uint8_t>(255 - i);
  kx::RtmpServerHandshake hs(0x01020304, random.data());
  const Bytes c1 = c0c1(3);
  // One byte at a time: the server takes no more than C0+C1 before it answers.
  for (std::size_t i = 0; i < c1.size(); ++i) {
    ASSERT_EQ(hs.step(), SStep::kReadC0C1);
    ASSERT_EQ(hs.missing(), c1.size() - i);
    ASSERT_EQ(hs.feed(&c1[i], 1), 1u);
  }
  ASSERT_EQ(hs.step(), SStep::kWriteReply);
  const uint8_t* r = hs.reply();
  EXPECT_EQ(r[0], 3);
  const Bytes s1_head = {1, 2, 3, 4, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(r + 1, r + 9), s1_head);
  EXPECT_EQ(Bytes(r + 9, r + 1537), random);
  const uint8_t* s2 = r + 1537;
  EXPECT_EQ(Bytes(s2, s2 + 4), (Bytes{1, 2, 3, 4})) << "S2 starts with the server time";
  EXPECT_EQ(Bytes(s2 + 4, s2 + 8), (Bytes{0x11, 0x22, 0x33, 0x44})) << "then C1's time";
  EXPECT_EQ(Bytes(s2 + 8, s2 + 1536), Bytes(c1.begin() + 9, c1.end())) << "then C1 from its ninth byte";
  hs.reply_sent();
  // C2 and the start of the chunk stream arrive together: only C2 is taken.
  Bytes c2(kx::kRtmpSigSize + 5, 0x5A);
  EXPECT_EQ(hs.feed(c2.data(), c2.size()), kx::kRtmpSigSize);
  EXPECT_EQ(hs.step(), SStep::kDone);
}

TEST(RtmpHandshake, WrongVersionEndsAtTheFirstByte) {
  for (uint8_t v : {0, 6, 0x16, 0xFF}) {
    Bytes random(kx::kRtmpRandomSize);
    kx::RtmpServerHandshake hs(1, random.data());
    const Bytes c1 = c0c1(v);
    EXPECT_EQ(hs.feed(c1.data(), 1), 1u);
    EXPECT_EQ(hs.step(), SStep::kBadVersion) << int(v);
    EXPECT_EQ(hs.feed(c1.data() + 1, c1.size() - 1), 0u);
  }
}

TEST(RtmpHandshake, ClientSendsAlnumC1AndEchoesS1) {
  Bytes random(kx::kRtmpRandomSize);
  for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<uint8_t>(i);
  kx::RtmpClientHandshake hs(0x0A0B0C0D, random.data());
  const uint8_t* c = hs.c0c1();
  EXPECT_EQ(Bytes(c, c + 9), (Bytes{3, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0}));
  for (std::size_t i = 9; i < 1537; ++i) ASSERT_TRUE(std::isalnum(c[i])) << i;
  hs.c0c1_sent();
  Bytes reply(kx::kRtmpServerReplySize + 3);
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 3);
  reply[0] = 3;
  EXPECT_EQ(hs.feed(reply.data(), reply.size()), kx::kRtmpServerReplySize);
  ASSERT_EQ(hs.step(), CStep::kWriteC2);
  EXPECT_EQ(Bytes(hs.c2(), hs.c2() + 1536), Bytes(reply.begin() + 1, reply.begin() + 1537));
  kx::RtmpClientHandshake bad(1, random.data());
  bad.c0c1_sent();
  reply[0] = 6;
  bad.feed(reply.data(), 1);
  EXPECT_EQ(bad.step(), CStep::kBadVersion);
}

// Every pair below is checked where it is made.
using Pair = kxt::SocketPair;

TEST(RtmpHandshakeSocket, BothSidesAgreeAndSurplusIsKept) {
  Pair p;
  ASSERT_TRUE(p.ok());
  kx::StopToken stop;
  std::vector<uint8_t> server_surplus, client_surplus;
  kx::HandshakeEnd server_end = kx::HandshakeEnd::kFailed;
  std::thread server([&] { server_end = kx::rtmp_server_handshake(p.fd[0], stop, 10000, server_surplus); });
  EXPECT_EQ(kx::rtmp_client_handshake(p.fd[1], stop, 10000, client_surplus), kx::HandshakeEnd::kDone);
  server.join();
  EXPECT_EQ(server_end, kx::HandshakeEnd::kDone);
  EXPECT_TRUE(server_surplus.empty());
  EXPECT_TRUE(client_surplus.empty());

  // A client sending C2 and its first chunk in one write: the chunk bytes are handed back.
  Pair q;
  ASSERT_TRUE(q.ok());
  std::thread server2([&] { server_end = kx::rtmp_server_handshake(q.fd[0], stop, 10000, server_surplus); });
  const Bytes c1 = c0c1(3);
  ASSERT_EQ(::send(q.fd[1], c1.data(), c1.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c1.size()));
  Bytes reply(kx::kRtmpServerReplySize);
  std::size_t got = 0;
  while (got < reply.size()) {
    const ssize_t r = ::recv(q.fd[1], reply.data() + got, reply.size() - got, 0);
    ASSERT_GT(r, 0);
    got += static_cast<std::size_t>(r);
  }
  Bytes c2(reply.begin() + 1, reply.begin() + 1537);
  const Bytes chunk = {0x03, 0, 0, 0, 0, 0, 1, 20, 0, 0, 0, 0, 0x42};
  c2.insert(c2.end(), chunk.begin(), chunk.end());
  ASSERT_EQ(::send(q.fd[1], c2.data(), c2.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c2.size()));
  server2.join();
  EXPECT_EQ(server_end, kx::HandshakeEnd::kDone);
  EXPECT_EQ(server_surplus, chunk);
}

TEST(RtmpHandshakeSocket, WrongVersionGetsNoS0) {
  Pair p;
  ASSERT_TRUE(p.ok());
  kx::StopToken stop;
  std::vector<uint8_t> surplus;
  const Bytes c1 = c0c1(6);
  ASSERT_EQ(::send(p.fd[1], c1.data(), c1.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c1.size()));
  EXPECT_EQ(kx::rtmp_server_handshake(p.fd[0], stop, 10000, surplus), kx::HandshakeEnd::kBadVersion);
  ::shutdown(p.fd[0], SHUT_RDWR);
  uint8_t b;
  EXPECT_EQ(::recv(p.fd[1], &b, 1, 0), 0) << "nothing was written before the end";
}

TEST(RtmpHandshakeSocket, StopTokenEndsTheWait) {
  Pair p;
  ASSERT_TRUE(p.ok());
  std::atomic<int> flag{0};
  kx::StopToken stop;
  stop.on(flag);
  std::vector<uint8_t> surplus;
  std::thread setter([&] { flag.store(1); });
  EXPECT_EQ(kx::rtmp_server_handshake(p.fd[0], stop, 60000, surplus), kx::HandshakeEnd::kStopped);
  setter.join();
}

// A client writing one byte every 100 ms would take minutes; the whole handshake has one
// deadline, so it is closed after it (here ~1 s) however steadily the bytes come.
TEST(RtmpHandshakeSocket, DrippingClientIsCutOffByTheDeadline) {
  kx::Socket listener;
  ASSERT_EQ(kx::tcp_listen("127.0.0.1", 0, 4, listener), 1);
  const int port = kx::local_port(listener.fd());
  std::atomic<int> done{0};
  std::thread client([&] {
    kx::Socket s;
    if (kx::tcp_connect("127.0.0.1", port, 5000, nullptr, s) != 1) return;
    const uint8_t b = 3;
    // Bounded: at most 200 bytes (20 s), and it ends as soon as the server is done.
    for (int i = 0; i < 200 && !done.load(); ++i) {
      if (::send(s.fd(), &b, 1, MSG_NOSIGNAL) != 1) break;
      kx::sleep_ms(100);  // the pace under test, not a synchronisation
    }
  });
  kx::Socket conn;
  ASSERT_EQ(kx::tcp_accept(listener.fd(), 10000, conn), 1);
  kx::StopToken stop;
  std::vector<uint8_t> surplus;
  const int64_t t0 = kx::mono_ms();
  const kx::HandshakeEnd end = kx::rtmp_server_handshake(conn.fd(), stop, 1000, surplus);
  const int64_t took = kx::mono_ms() - t0;
  done.store(1);
  conn.close();
  client.join();
  EXPECT_EQ(end, kx::HandshakeEnd::kTimeout);
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 10000);
}

}  // namespace
