// Slow sources of the remote file relay. One ignores the requested range and sends the
// whole file: while the relay passes over the bytes before the player's start it moves
// data, so the watchdog must not take it for a player that stopped. One drips its answer
// head: the relay gives up after one receive time-out for the whole head.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "ingest/channel_info.h"
#include "core/os/time.h"
#include "http/http_server.h"
#include "players/player_session.h"
#include "http/remote_relay.h"
#include "net/socket.h"
#include "support/harness.h"

namespace {

// A source on loopback that answers one request with "200 OK" and the whole file, in two
// parts: the first when asked for, the rest when released.
class SteppedSource {
 public:
  SteppedSource(std::string data, std::size_t first_part) : data_(std::move(data)), first_(first_part) {
    kx::tcp_listen("127.0.0.1", 0, 4, listen_);
    port_ = kx::local_port(listen_.fd());
    thread_ = std::thread([this] { serve(); });
  }
  ~SteppedSource() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }
  bool head_sent() const { return head_sent_.load(); }
  void send_first() { go_first_.store(true); }
  void send_rest() { go_rest_.store(true); }

 private:
  bool wait_flag(const std::atomic<bool>& f) {
    return kxt::wait_until([&] { return f.load() || stop_.load(); }, 30000) && !stop_.load();
  }
  void serve() {
    kx::Socket c;
    for (int i = 0; i < 150 && !stop_.load(); ++i)
      if (kx::tcp_accept(listen_.fd(), 200, c) == 1) break;
    if (c.fd() < 0) return;
    std::string head;
    char buf[4096];
    const int64_t deadline = kx::mono_ms() + 10000;
    while (head.find("\r\n\r\n") == std::string::npos && kx::mono_ms() < deadline && !stop_.load()) {
      const long n = kx::recv_some(c.fd(), buf, sizeof buf, 200);
      if (n == -2) continue;
      if (n <= 0) return;
      head.append(buf, static_cast<std::size_t>(n));
    }
    const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(data_.size()) + "\r\n\r\n";
    if (!kx::send_all(c.fd(), answer.data(), answer.size(), 10000)) return;
    head_sent_.store(true);
    if (!wait_flag(go_first_) || !kx::send_all(c.fd(), data_.data(), first_, 10000)) return;
    if (!wait_flag(go_rest_)) return;
    kx::send_all(c.fd(), data_.data() + first_, data_.size() - first_, 10000);
    // Kept open until the relay has taken everything and closed its end.
    kxt::wait_until([&] { return stop_.load() || kx::recv_some(c.fd(), buf, sizeof buf, 200) == 0; }, 30000);
  }

  std::string data_;
  std::size_t first_;
  kx::Socket listen_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false}, head_sent_{false}, go_first_{false}, go_rest_{false};
};

TEST(RemoteRelayWatchdog, PassingOverUnaskedBytesCountsAsProgress) {
  std::string data(200000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
  const int64_t start = 150000;  // the player's first byte: 150000 bytes to pass over
  SteppedSource source(data, 100000);

  auto ch = std::make_shared<kx::Channel_Info>();
  ch->def.nChannel_No = 4;
  ch->rt.src[0].type = kx::kSrcHttp;
  ch->rt.src[0].host = "127.0.0.1";
  ch->rt.src[0].port = source.port();
  ch->rt.src[0].path = "clip.ts";
  ch->rt.nChannel_Status.store(kx::kStatusOn);
  ch->rt.nInput_Format.store(kx::kInputTsFile);
  kx::PlayerSession s;
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  s.sock.store(sv[0]);
  s.session_no = 12;
  s.channel_no.store(4);
  s.range_start = start;
  s.range_end = INT64_MAX;
  kx::SessionList players;
  {
    kx::Guard g(players.lock);
    players.list.add_tail(&s);
  }
  std::atomic<int> result{-1};
  std::thread relay([&] {
    result.store(kx::relay_remote_file(s, *ch, 4));
    kx::close_socket(s.sock.exchange(-1));
  });

  ASSERT_TRUE(kxt::wait_until([&] { return source.head_sent(); }, 20000));
  // A period begins: nothing has been sent to the player yet.
  EXPECT_EQ(kx::player_watchdog_pass(players, "HTTP"), 0);
  EXPECT_EQ(s.progressed.load(), 0);
  // The source's first part lies wholly before the player's start.
  source.send_first();
  EXPECT_TRUE(kxt::wait_until([&] { return s.progressed.load() != 0; }, 10000));
  // The period ends while the relay is still passing over the source's bytes.
  EXPECT_EQ(kx::player_watchdog_pass(players, "HTTP"), 0);
  EXPECT_EQ(s.stop.load(), 0);

  source.send_rest();
  std::string got;
  char buf[65536];
  bool eof = false;
  const int64_t end = kx::mono_ms() + 20000;
  while (!eof && kx::mono_ms() < end) {
    pollfd p{sv[1], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const ssize_t k = ::recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
    if (k > 0) got.append(buf, static_cast<std::size_t>(k));
    else if (k == 0) eof = true;
  }
  s.stop.store(1);
  relay.join();
  ::close(sv[1]);
  {
    kx::Guard g(players.lock);
    players.list.clear();
  }
  EXPECT_EQ(result.load(), 1);
  EXPECT_TRUE(got == data.substr(static_cast<std::size_t>(start))) << got.size();
}

// A source that drips its answer head a byte a second is cut off by one time-out for the
// whole head, not one per byte.
TEST(RemoteRelayHead, ADrippingHeadEndsAtTheReceiveTimeout) {
  kx::Socket listen;
  ASSERT_EQ(kx::tcp_listen("127.0.0.1", 0, 4, listen), 1);
  const int port = kx::local_port(listen.fd());
  std::atomic<bool> stop{false};
  std::thread source([&] {
    kx::Socket c;
    for (int i = 0; i < 150 && !stop.load(); ++i)
      if (kx::tcp_accept(listen.fd(), 200, c) == 1) break;
    if (c.fd() < 0) return;
    const std::string head = "HTTP/1.0 200 OK\r\nX-Slow: " + std::string(60, 'x') + "\r\n\r\n";
    for (std::size_t i = 0; i < head.size() && !stop.load(); ++i) {
      if (!kx::send_all(c.fd(), head.data() + i, 1, 1000)) return;
      kxt::wait_until([&] { return stop.load(); }, 1000);
    }
  });
  auto ch = std::make_shared<kx::Channel_Info>();
  ch->def.nChannel_No = 5;
  ch->rt.src[0].type = kx::kSrcHttp;
  ch->rt.src[0].host = "127.0.0.1";
  ch->rt.src[0].port = port;
  ch->rt.src[0].path = "clip.ts";
  ch->rt.nChannel_Status.store(kx::kStatusOn);
  ch->rt.nInput_Format.store(kx::kInputTsFile);
  kx::PlayerSession s;
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  s.sock.store(sv[0]);
  s.channel_no.store(5);
  s.range_end = INT64_MAX;
  const int64_t began = kx::mono_ms();
  EXPECT_EQ(kx::relay_remote_file(s, *ch, 5), 0);
  const int64_t took = kx::mono_ms() - began;
  EXPECT_GE(took, kx::kRelayReceiveTimeoutMs - 1000);
  EXPECT_LT(took, kx::kRelayReceiveTimeoutMs + 15000);  // far below the 80 s the drip lasts
  stop.store(true);
  source.join();
  kx::close_socket(s.sock.exchange(-1));
  ::close(sv[1]);
}

}  // namespace
