#include "net/socket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/os/process.h"
#include "core/os/time.h"
#include "support/harness.h"

extern char** environ;

namespace kx {
namespace {

constexpr int kWaitMs = 10000;  // generous: the machine may be busy

bool cloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }
bool nonblocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

std::vector<char> pattern(std::size_t n, int seed) {
  std::vector<char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) & 0xFF);
  return v;
}

// A UDP input socket on a free loopback-range port (group text as given).
int bind_free_udp(const std::string& group, Socket& s) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int port = kxt::free_port();
    if (port > 0 && udp_bind(port, group, "", s) == 1) return port;
  }
  return 0;
}

TEST(SocketAddress, DottedIpv4IsParsedStrictly) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t addr;
  };
  const Case cases[] = {
      {"127.0.0.1", true, 0x7F000001u},     {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xFFFFFFFFu}, {"239.1.2.3", true, 0xEF010203u},
      {"256.0.0.1", false, 0},              {"1.2.3", false, 0},
      {"1.2.3.4.5", false, 0},              {"1.2.3.", false, 0},
      {"01.2.3.4", false, 0},               {" 1.2.3.4", false, 0},
      {"1.2.3.4 ", false, 0},               {"a.b.c.d", false, 0},
      {"", false, 0},                       {"1..2.3", false, 0},
      {"1234.1.1.1", false, 0},             {"example.com", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t a = 12345;
    EXPECT_EQ(parse_ipv4(c.text, a), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(a, c.addr) << c.text;
      EXPECT_EQ(ipv4_text(a), c.text);
    }
  }
  EXPECT_TRUE(is_multicast_ipv4(0xE0000000u));
  EXPECT_TRUE(is_multicast_ipv4(0xEFFFFFFFu));
  EXPECT_FALSE(is_multicast_ipv4(0xDFFFFFFFu));
  EXPECT_FALSE(is_multicast_ipv4(0xF0000000u));
}

TEST(SocketRaii, ClosesOnceAndMovesOwnership) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const int peer = fds[1];
  {
    Socket a(fds[0]);
    Socket b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.fd(), fds[0]);
    Socket c;
    c = std::move(b);
    EXPECT_EQ(c.fd(), fds[0]);
  }
  // The shutdown at close shows as the end of the stream to the peer.
  char ch;
  EXPECT_EQ(recv_some(peer, &ch, 1, kWaitMs), 0);
  EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
  Socket d(peer);
  const int fd = d.release();
  EXPECT_FALSE(d.valid());
  EXPECT_EQ(close_socket(fd), 1);
  EXPECT_EQ(close_socket(-1), 1);
}

TEST(SocketTcp, ConnectsToListenerAndExchangesData) {
  Socket listener;
  ASSERT_EQ(tcp_listen("127.0.0.1", 0, 8, listener), 1);
  EXPECT_TRUE(cloexec(listener.fd()));
  const int port = local_port(listener.fd());
  ASSERT_GT(port, 0);

  int stop_calls = 0;
  Socket client;
  ASSERT_EQ(tcp_connect("127.0.0.1", port, kWaitMs, [&] { return ++stop_calls > 1000; }, client), 1);
  EXPECT_TRUE(cloexec(client.fd()));
  EXPECT_FALSE(nonblocking(client.fd()));  // back to blocking once connected

  Socket server;
  sockaddr_in from{};
  ASSERT_EQ(tcp_accept(listener.fd(), kWaitMs, server, &from), 1);
  EXPECT_TRUE(cloexec(server.fd()));
  EXPECT_FALSE(nonblocking(server.fd()));
  EXPECT_EQ(ipv4_text(from), "127.0.0.1");
  EXPECT_EQ(ntohs(from.sin_port), local_port(client.fd()));

  // More than the socket buffers hold, so the sender has to wait for room.
  const std::vector<char> data = pattern(8 << 20, 7);
  std::vector<char> got;
  std::thread reader([&] {
    char buf[65536];
    for (int i = 0; i < 100000 && got.size() < data.size(); ++i) {
      const long n = recv_some(server.fd(), buf, sizeof buf, kWaitMs);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
  });
  EXPECT_TRUE(send_all(client.fd(), data.data(), data.size(), 30000));
  reader.join();
  EXPECT_TRUE(got == data);

  char ch;
  EXPECT_EQ(recv_some(server.fd(), &ch, 1, 50), -2);  // nothing more: time-out
  EXPECT_EQ(poll_readable(server.fd(), 50), 0);
  client.close();
  EXPECT_EQ(poll_readable(server.fd(), kWaitMs), 1);
  EXPECT_EQ(recv_some(server.fd(), &ch, 1, kWaitMs), 0);  // orderly end

  Socket none;
  EXPECT_EQ(tcp_accept(listener.fd(), 50, none, nullptr), 0);
  EXPECT_EQ(poll_readable(-1, 0), -1);
}

TEST(SocketTcp, SendToClosedPeerFailsWithoutSignal) {
  Socket listener, client, server;
  ASSERT_EQ(tcp_listen("127.0.0.1", 0, 8, listener), 1);
  ASSERT_EQ(tcp_connect("127.0.0.1", local_port(listener.fd()), kWaitMs, nullptr, client), 1);
  ASSERT_EQ(tcp_accept(listener.fd(), kWaitMs, server, nullptr), 1);
  server.close();
  const std::vector<char> data = pattern(1 << 16, 1);
  bool ok = true;
  // The first send may still be taken in; a later one meets the reset (never SIGPIPE).
  for (int i = 0; i < 50 && ok; ++i) ok = send_all(client.fd(), data.data(), data.size(), kWaitMs);
  EXPECT_FALSE(ok);
}

TEST(SocketTcp, ConnectRefusedOrInvalidFailsFast) {
  const int port = kxt::free_port();
  ASSERT_GT(port, 0);
  Socket s;
  const int64_t t0 = mono_ms();
  EXPECT_EQ(tcp_connect("127.0.0.1", port, 30000, [] { return false; }, s), 0);
  EXPECT_LT(mono_ms() - t0, 10000);
  EXPECT_FALSE(s.valid());

  struct Case {
    const char* ip;
    int port;
  };
  const Case bad[] = {{"localhost", port}, {"256.1.1.1", port}, {"", port},
                      {"127.0.0.1", 0},    {"127.0.0.1", 65536}, {"127.0.0.1", -1}};
  for (const Case& c : bad) {
    EXPECT_EQ(tcp_connect(c.ip, c.port, 1000, nullptr, s), 0) << c.ip << " " << c.port;
  }
  EXPECT_EQ(tcp_listen("not-an-ip", 0, 1, s), 0);
  EXPECT_EQ(tcp_listen("", 65536, 1, s), 0);
}

// A listener whose accept queue is full: the kernel drops further connection attempts,
// so a connect stays pending until its deadline or its stop.
struct FullListener {
  Socket listener;
  std::vector<Socket> held;
  int port = 0;
  // True once a connect no longer completes within probe_ms.
  bool fill(int probe_ms) {
    if (tcp_listen("127.0.0.1", 0, 0, listener) != 1) return false;
    port = local_port(listener.fd());
    for (int i = 0; i < 16; ++i) {
      Socket s;
      if (tcp_connect("127.0.0.1", port, probe_ms, nullptr, s) != 1) return true;
      held.push_back(std::move(s));
    }
    return false;
  }
};

TEST(SocketTcp, ConnectDeadlineIsHonoured) {
  FullListener full;
  if (!full.fill(300)) GTEST_SKIP() << "the accept queue could not be filled here";
  struct Case {
    int timeout_ms;
  };
  for (const Case c : {Case{0}, Case{250}, Case{700}}) {
    Socket s;
    int calls = 0;
    const int64_t t0 = mono_ms();
    EXPECT_EQ(tcp_connect("127.0.0.1", full.port, c.timeout_ms, [&] { return ++calls < 0; }, s), 0);
    const int64_t took = mono_ms() - t0;
    EXPECT_GE(took, c.timeout_ms - 20) << c.timeout_ms;  // the clock's own rounding
    EXPECT_LT(took, c.timeout_ms + 5000) << c.timeout_ms;
    if (c.timeout_ms > 0) {
      EXPECT_GE(calls, 1) << c.timeout_ms;
    }
    EXPECT_FALSE(s.valid());
  }
}

TEST(SocketTcp, ConnectStopIsHonoured) {
  FullListener full;
  if (!full.fill(300)) GTEST_SKIP() << "the accept queue could not be filled here";

  // Stopped before anything was waited for.
  Socket s;
  EXPECT_EQ(tcp_connect("127.0.0.1", full.port, 60000, [] { return true; }, s), -1);
  EXPECT_FALSE(s.valid());

  // Stopped by another thread while waiting with a long deadline.
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    sleep_ms(300);
    stop = true;
  });
  const int64_t t0 = mono_ms();
  EXPECT_EQ(tcp_connect("127.0.0.1", full.port, 60000, [&] { return stop.load(); }, s), -1);
  const int64_t took = mono_ms() - t0;
  stopper.join();
  EXPECT_LT(took, 10000);
  EXPECT_FALSE(s.valid());
}

TEST(SocketUdp, DatagramsArriveWholeAndTruncationIsReported) {
  struct Setup {
    const char* group;  // "" or a unicast address: both bind every local address
  };
  for (const Setup setup : {Setup{""}, Setup{"127.0.0.1"}}) {
    Socket in;
    const int port = bind_free_udp(setup.group, in);
    ASSERT_GT(port, 0) << setup.group;
    EXPECT_TRUE(cloexec(in.fd()));
    EXPECT_EQ(set_recv_buffer(in.fd(), 1 << 20), 1);
    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    ASSERT_EQ(::getsockopt(in.fd(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len), 0);
    EXPECT_GT(rcvbuf, 0);

    Socket out;
    ASSERT_EQ(udp_socket(out), 1);
    EXPECT_TRUE(cloexec(out.fd()));

    struct Case {
      std::size_t size;
      long expect;  // what the receive answers with a 2048-byte buffer
    };
    const Case cases[] = {{1316, 1316}, {1472, 1472}, {2000, 2000}, {2048, 2048},
                          {3000, 3000}, {0, 0},       {188, 188}};
    int seed = 0;
    for (const Case& c : cases) {
      const std::vector<char> d = pattern(c.size, ++seed);
      ASSERT_TRUE(send_datagram(out.fd(), d.data(), d.size(), "127.0.0.1", port)) << c.size;
      char buf[2048 + 16];
      std::memset(buf, 0x5A, sizeof buf);
      sockaddr_in from{};
      const long n = recv_datagram(in.fd(), buf, 2048, kWaitMs, &from);
      ASSERT_EQ(n, c.expect) << c.size;
      const std::size_t stored = std::min<std::size_t>(c.size, 2048);
      if (stored > 0) {
        EXPECT_EQ(std::memcmp(buf, d.data(), stored), 0) << c.size;
      }
      EXPECT_EQ(static_cast<unsigned char>(buf[2048]), 0x5A);  // never past the cap
      EXPECT_EQ(ipv4_text(from), "127.0.0.1");
      EXPECT_EQ(ntohs(from.sin_port), local_port(out.fd()));
    }
    char buf[16];
    EXPECT_EQ(recv_datagram(in.fd(), buf, sizeof buf, 50, nullptr), -2);
  }
}

TEST(SocketUdp, InvalidBindsAreRefused) {
  struct Case {
    int port;
    const char* group;
  };
  const int port = kxt::free_port();
  const Case cases[] = {{0, ""}, {65536, ""}, {-5, ""}, {port, "not.a.group"}, {port, "239.1.1"}};
  for (const Case& c : cases) {
    Socket s;
    EXPECT_EQ(udp_bind(c.port, c.group, "", s), 0) << c.port << " " << c.group;
    EXPECT_FALSE(s.valid());
  }
  Socket s;
  EXPECT_FALSE(send_datagram(-1, "x", 1, "127.0.0.1", port));
  ASSERT_EQ(udp_socket(s), 1);
  EXPECT_FALSE(send_datagram(s.fd(), "x", 1, "127.0.0.1", 0));
  EXPECT_FALSE(send_datagram(s.fd(), "x", 1, "host", port));
}

// ---- multicast, only inside a network namespace of its own ----

std::string find_tool(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    const std::string p = std::string(dir) + name;
    if (::access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

std::string netns_id() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/ns/net", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

constexpr const char* kParentNsVar = "KX_TEST_PARENT_NETNS";

TEST(SocketMulticast, ChannelsSharingAPortStaySeparate) {
  const std::string unshare = find_tool("unshare"), ip = find_tool("ip");
  if (::geteuid() != 0 || unshare.empty() || ip.empty())
    GTEST_SKIP() << "needs root, unshare and ip for a network namespace of its own";
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kParentNsVar, std::strlen(kParentNsVar)) != 0) env.emplace_back(*e);
  }
  env.push_back(std::string(kParentNsVar) + "=" + netns_id());
  Process child;
  ASSERT_EQ(child.spawn({unshare, "-n", self, "--gtest_filter=SocketMulticastNamespace.*"}, env,
                        "", Process::kCaptureStdout),
            1);
  std::string out;
  char buf[4096];
  const int64_t deadline = mono_ms() + 120000;
  for (int i = 0; i < 100000; ++i) {
    const int64_t left = deadline - mono_ms();
    if (left <= 0) break;
    const int64_t r = child.read_output(buf, sizeof buf, static_cast<int>(left));
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  int code = -1;
  ASSERT_TRUE(child.wait(30000, &code)) << out;
  EXPECT_EQ(code, 0) << out;
  if (out.find("SKIPPED") != std::string::npos) GTEST_SKIP() << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

// Runs only in the child above, in a fresh network namespace; skipped anywhere else so
// no group is ever joined or sent to on the host's own network.
TEST(SocketMulticastNamespace, TwoGroupsOnePort) {
  const char* parent = std::getenv(kParentNsVar);
  if (parent == nullptr) GTEST_SKIP() << "runs only inside its own network namespace";
  const std::string ns = netns_id();
  ASSERT_FALSE(ns.empty());
  ASSERT_NE(ns, parent) << "not in a namespace of its own";

  const std::string ip = find_tool("ip");
  ASSERT_FALSE(ip.empty());
  ASSERT_NE(kxt::run_tool({ip, "link", "set", "lo", "up"}), "<failed>");
  kxt::run_tool({ip, "link", "set", "lo", "multicast", "on"});
  ASSERT_NE(kxt::run_tool({ip, "route", "add", "224.0.0.0/4", "dev", "lo"}), "<failed>");

  const int port = 5500;  // the namespace is empty: any port is free
  const std::string g1 = "239.255.42.1", g2 = "239.255.42.2";
  Socket a, b, plain, other_iface;
  ASSERT_EQ(udp_bind(port, g1, "127.0.0.1", a), 1);
  ASSERT_EQ(udp_bind(port, g2, "", b), 1);
  ASSERT_EQ(udp_bind(port, "", "", plain), 1);
  // A join on an interface address the host does not have fails.
  EXPECT_EQ(udp_bind(port, g1, "10.123.45.67", other_iface), 0);
  EXPECT_EQ(udp_bind(port, g1, "bad-iface", other_iface), 0);

  Socket out;
  ASSERT_EQ(udp_socket(out), 1);
  ASSERT_EQ(set_multicast_out(out.fd(), "127.0.0.1", 1, true), 1);

  auto send = [&](const std::string& to, const std::string& text) {
    return send_datagram(out.fd(), text.data(), text.size(), to, port);
  };
  auto recv_text = [](Socket& s, int timeout_ms) {
    char buf[2048];
    const long n = recv_datagram(s.fd(), buf, sizeof buf, timeout_ms, nullptr);
    return n < 0 ? std::string("<none>") : std::string(buf, static_cast<std::size_t>(std::min<long>(n, 2048)));
  };

  const std::vector<char> big = pattern(1472, 3);
  ASSERT_TRUE(send(g1, "one"));
  ASSERT_TRUE(send(g2, "two"));
  ASSERT_TRUE(send_datagram(out.fd(), big.data(), big.size(), g1, port));
  ASSERT_TRUE(send(g1, "one-end"));
  ASSERT_TRUE(send(g2, "two-end"));
  ASSERT_TRUE(send("127.0.0.1", "plain"));

  EXPECT_EQ(recv_text(a, kWaitMs), "one");
  EXPECT_EQ(recv_text(a, kWaitMs), std::string(big.begin(), big.end()));
  EXPECT_EQ(recv_text(a, kWaitMs), "one-end");
  EXPECT_EQ(recv_text(b, kWaitMs), "two");
  EXPECT_EQ(recv_text(b, kWaitMs), "two-end");
  // The socket bound to every address sees only what was sent to it, no group traffic.
  EXPECT_EQ(recv_text(plain, kWaitMs), "plain");
  EXPECT_EQ(recv_text(a, 200), "<none>");
  EXPECT_EQ(recv_text(b, 200), "<none>");
  EXPECT_EQ(recv_text(plain, 200), "<none>");
}

}  // namespace
}  // namespace kx
