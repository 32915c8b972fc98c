#include "net/dns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/os/time.h"
#include "support/harness.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kId = 0x1234;
const std::string kName = "www.example.com";

// ---- message building ----------------------------------------------------------------

Bytes labels(const std::string& name) {
  Bytes b;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<uint8_t>(dot - start));
    b.insert(b.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  b.push_back(0);
  return b;
}

Bytes ptr(int offset) { return {static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset)}; }

Bytes ip(const char* text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  Bytes b(4);
  std::memcpy(b.data(), &a, 4);
  return b;
}

uint32_t addr(const char* text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

std::string text_of(uint32_t a) {
  char buf[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = a;
  ::inet_ntop(AF_INET, &in, buf, sizeof buf);
  return buf;
}

struct Msg {
  Bytes b;
  Msg& u8(int v) {
    b.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Msg& u16(int v) { return u8(v >> 8).u8(v); }
  Msg& u32(uint32_t v) { return u16(static_cast<int>(v >> 16)).u16(static_cast<int>(v & 0xFFFF)); }
  Msg& raw(const Bytes& x) {
    b.insert(b.end(), x.begin(), x.end());
    return *this;
  }
  // One resource record.
  Msg& rr(const Bytes& owner, int type, uint32_t ttl, const Bytes& data, int cls = 1) {
    return raw(owner).u16(type).u16(cls).u32(ttl).u16(static_cast<int>(data.size())).raw(data);
  }
  Msg& a(const Bytes& owner, const char* ip_text, uint32_t ttl = 300) { return rr(owner, 1, ttl, ip(ip_text)); }
  Msg& cname(const Bytes& owner, const Bytes& target, uint32_t ttl = 300) { return rr(owner, 5, ttl, target); }
};

// A reply header and the echoed question (the question name sits at offset 12).
Msg reply(uint16_t id, const std::string& qname, int answers, int flags = 0x8180, int qtype = 1,
          int qclass = 1) {
  Msg m;
  m.u16(id).u16(flags).u16(1).u16(answers).u16(0).u16(0).raw(labels(qname)).u16(qtype).u16(qclass);
  return m;
}

// ---- the in-test resolver ------------------------------------------------------------

struct Query {
  uint16_t id = 0;
  std::string name;
  Bytes raw;
};

bool parse_query(const uint8_t* p, std::size_t n, Query& q) {
  if (n < 17) return false;
  q.id = static_cast<uint16_t>((p[0] << 8) | p[1]);
  q.raw.assign(p, p + n);
  std::size_t pos = 12;
  q.name.clear();
  while (pos < n && p[pos] != 0) {
    std::size_t l = p[pos];
    if (pos + 1 + l > n) return false;
    if (!q.name.empty()) q.name.push_back('.');
    q.name.append(reinterpret_cast<const char*>(p + pos + 1), l);
    pos += 1 + l;
  }
  return pos < n;
}

struct Send {
  Bytes data;
  bool other_port = false;  // sent from a socket other than the one the query reached
};

// Answers on 127.0.0.1 over UDP and TCP on one port, as scripted by the test.
class Responder {
 public:
  using UdpFn = std::function<std::vector<Send>(const Query&)>;
  using TcpFn = std::function<std::vector<Bytes>(const Query&)>;  // chunks, sent in turn

  ~Responder() { stop(); }

  bool start() {
    for (int attempt = 0; attempt < 50 && udp_ < 0; ++attempt) {
      int u = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in a = loopback(0);
      socklen_t al = sizeof a;
      if (u < 0 || ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
          ::getsockname(u, reinterpret_cast<sockaddr*>(&a), &al) != 0) {
        if (u >= 0) ::close(u);
        continue;
      }
      int t = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int one = 1;
      ::setsockopt(t, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (t < 0 || ::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(t, 16) != 0) {
        ::close(u);
        if (t >= 0) ::close(t);
        continue;
      }
      udp_ = u;
      tcp_ = t;
      port_ = ntohs(a.sin_port);
    }
    other_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in o = loopback(0);
    if (udp_ < 0 || other_ < 0 || ::bind(other_, reinterpret_cast<sockaddr*>(&o), sizeof o) != 0)
      return false;
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void stop() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
    }
    for (int* fd : {&udp_, &tcp_, &other_})
      if (*fd >= 0) {
        ::close(*fd);
        *fd = -1;
      }
  }

  int port() const { return port_; }
  void on_udp(UdpFn f) {
    std::lock_guard<std::mutex> l(m_);
    udp_fn_ = std::move(f);
  }
  void on_tcp(TcpFn f) {
    std::lock_guard<std::mutex> l(m_);
    tcp_fn_ = std::move(f);
  }
  // Answers every query, on both transports, with these addresses for the asked name.
  void answer_all(std::vector<const char*> ips, uint32_t ttl = 300) {
    auto make = [ips, ttl](const Query& q) {
      Msg m = reply(q.id, q.name, static_cast<int>(ips.size()));
      for (const char* a : ips) m.a(ptr(12), a, ttl);
      return m.b;
    };
    on_udp([make](const Query& q) { return std::vector<Send>{{make(q)}}; });
    on_tcp([make](const Query& q) { return std::vector<Bytes>{make(q)}; });
  }

  std::atomic<int> udp_count{0}, tcp_count{0};
  bool seen(const std::string& name) {
    std::lock_guard<std::mutex> l(m_);
    return names_.count(name) > 0;
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
  }

  void note(const Query& q) {
    std::lock_guard<std::mutex> l(m_);
    names_.insert(q.name);
  }

  void run() {
    while (!stop_) {
      pollfd p[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
      if (::poll(p, 2, 50) <= 0) continue;
      if (p[0].revents & POLLIN) handle_udp();
      if (p[1].revents & POLLIN) handle_tcp();
    }
  }

  void handle_udp() {
    uint8_t buf[4096];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = ::recvfrom(udp_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
    Query q;
    if (n <= 0 || !parse_query(buf, static_cast<std::size_t>(n), q)) return;
    note(q);
    ++udp_count;
    UdpFn f;
    {
      std::lock_guard<std::mutex> l(m_);
      f = udp_fn_;
    }
    if (!f) return;
    for (const Send& s : f(q))
      ::sendto(s.other_port ? other_ : udp_, s.data.data(), s.data.size(), MSG_NOSIGNAL,
               reinterpret_cast<sockaddr*>(&from), fl);
  }

  static bool read_exact(int fd, uint8_t* p, std::size_t n, int64_t deadline) {
    std::size_t done = 0;
    while (done < n && mono_ms() < deadline) {
      pollfd pf{fd, POLLIN, 0};
      if (::poll(&pf, 1, 50) <= 0) continue;
      ssize_t r = ::recv(fd, p + done, n - done, 0);
      if (r <= 0) return false;
      done += static_cast<std::size_t>(r);
    }
    return done == n;
  }

  void handle_tcp() {
    int c = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int64_t deadline = mono_ms() + 5000;
    uint8_t lb[2];
    Bytes body;
    Query q;
    if (read_exact(c, lb, 2, deadline)) {
      body.resize(static_cast<std::size_t>((lb[0] << 8) | lb[1]));
      if (read_exact(c, body.data(), body.size(), deadline) && parse_query(body.data(), body.size(), q)) {
        note(q);
        ++tcp_count;
        TcpFn f;
        {
          std::lock_guard<std::mutex> l(m_);
          f = tcp_fn_;
        }
        std::vector<Bytes> chunks;
        if (f) chunks = f(q);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
          if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
          ::send(c, chunks[i].data(), chunks[i].size(), MSG_NOSIGNAL);
        }
      }
    }
    ::close(c);
  }

  int udp_ = -1, tcp_ = -1, other_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex m_;
  UdpFn udp_fn_;
  TcpFn tcp_fn_;
  std::set<std::string> names_;
};

// The TCP framing: the message preceded by its 2-byte length.
Bytes framed(const Bytes& m) {
  Bytes b{static_cast<uint8_t>(m.size() >> 8), static_cast<uint8_t>(m.size())};
  b.insert(b.end(), m.begin(), m.end());
  return b;
}

std::vector<std::string> texts(const NameQuery& q) {
  std::vector<std::string> v;
  for (int i = 0; i < q.count; ++i) v.push_back(text_of(q.addr[i]));
  return v;
}

std::atomic<int64_t> g_fake_ms{1000000};
int64_t fake_clock() { return g_fake_ms.load(); }

class DnsResolveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_set_mode(Sink::System, 0);
    ASSERT_TRUE(resp.start());
    dns_clear_cache();
    dns_set_server("127.0.0.1", resp.port());
    dns_set_timeouts(3000, 3, 5000);
    dns_set_clock(nullptr);
  }
  void TearDown() override {
    dns_set_server("", 0);
    dns_set_timeouts(0, 0, 0);
    dns_set_clock(nullptr);
    dns_clear_cache();
    log_set_mode(Sink::System, 1000);
  }
  int resolve(const std::string& name, NameQuery& q) {
    q = NameQuery();
    q.name = name;
    return resolve_name(q);
  }
  Responder resp;
};

// ---- the reply parser on its own -------------------------------------------------------

struct ParseCase {
  const char* what;
  Bytes msg;
  int result;
  std::vector<std::string> addrs;
  uint32_t ttl = 0;
};

std::vector<ParseCase> parse_cases() {
  std::vector<ParseCase> c;
  const Bytes q = ptr(12);  // the question's name
  c.push_back({"cname then two A records",
               reply(kId, kName, 3)
                   .cname(q, labels("edge.cdn.test"), 900)
                   .a(labels("edge.cdn.test"), "10.0.0.1", 120)
                   .a(labels("edge.cdn.test"), "10.0.0.2", 200)
                   .b,
               1, {"10.0.0.1", "10.0.0.2"}, 120});
  {
    Msg m = reply(kId, kName, 3);
    std::size_t target = m.b.size() + 12;  // where the first record's data (a name) begins
    m.cname(q, labels("a.test"), 50);
    m.cname(ptr(static_cast<int>(target)), labels("b.test"), 400);
    m.a(labels("b.test"), "10.9.9.9", 500);
    c.push_back({"chain of two links through a pointer to a record's data", m.b, 1, {"10.9.9.9"}, 50});
  }
  c.push_back({"answers of other types are passed over",
               reply(kId, kName, 4)
                   .rr(q, 28, 300, Bytes(16, 0x20))
                   .rr(q, 15, 300, Msg().u16(10).raw(labels("mx.test")).b)
                   .rr(q, 16, 300, {3, 'a', 'b', 'c'})
                   .a(q, "192.0.2.7", 77)
                   .b,
               1, {"192.0.2.7"}, 77});
  c.push_back({"an A record of five bytes is no address",
               reply(kId, kName, 2).rr(q, 1, 300, {1, 2, 3, 4, 5}).a(q, "192.0.2.8").b, 1, {"192.0.2.8"}, 300});
  c.push_back({"an A record of another class is no address",
               reply(kId, kName, 2).rr(q, 1, 300, ip("192.0.2.66"), 3).a(q, "192.0.2.9").b, 1, {"192.0.2.9"}, 300});
  c.push_back({"question echoed in other letter case",
               reply(kId, "WWW.Example.COM", 1).a(q, "192.0.2.10").b, 1, {"192.0.2.10"}, 300});
  c.push_back({"time-to-live with the top bit set counts as zero",
               reply(kId, kName, 1).a(q, "192.0.2.11", 0x80000000u).b, 1, {"192.0.2.11"}, 0});
  {
    Msg m = reply(kId, kName, 25);
    std::vector<std::string> want;
    for (int i = 1; i <= 25; ++i) {
      std::string a = "10.1.0." + std::to_string(i);
      m.a(q, a.c_str());
      if (i <= 20) want.push_back(a);
    }
    c.push_back({"more than twenty A records keep the first twenty", m.b, 1, want, 300});
  }

  const Bytes bare = reply(kId, kName, 0).b;
  c.push_back({"empty message", {}, -1, {}});
  c.push_back({"header cut short", Bytes(bare.begin(), bare.begin() + 11), -1, {}});
  c.push_back({"question cut short", Bytes(bare.begin(), bare.end() - 3), -1, {}});
  c.push_back({"other ID", reply(kId + 1, kName, 1).a(q, "10.6.6.6").b, -1, {}});
  c.push_back({"a query, not a response", reply(kId, kName, 1, 0x0100).a(q, "10.6.6.6").b, -1, {}});
  c.push_back({"other opcode", reply(kId, kName, 1, 0x8980).a(q, "10.6.6.6").b, -1, {}});
  c.push_back({"other question name", reply(kId, "www.example.org", 1).a(q, "10.6.6.6").b, -1, {}});
  c.push_back({"question of type AAAA", reply(kId, kName, 1, 0x8180, 28).a(q, "10.6.6.6").b, -1, {}});
  c.push_back({"question of class CH", reply(kId, kName, 1, 0x8180, 1, 3).a(q, "10.6.6.6").b, -1, {}});
  {
    Msg m;
    m.u16(kId).u16(0x8180).u16(0).u16(1).u16(0).u16(0).a(labels(kName), "10.6.6.6");
    c.push_back({"no question", m.b, -1, {}});
  }
  {
    Msg m;
    m.u16(kId).u16(0x8180).u16(1).u16(1).u16(0).u16(0).raw(ptr(12)).u16(1).u16(1).a(ptr(12), "10.6.6.6");
    c.push_back({"question name pointing at itself", m.b, -1, {}});
  }

  c.push_back({"name error", reply(kId, kName, 0, 0x8183).b, 0, {}});
  c.push_back({"server failure with an answer", reply(kId, kName, 1, 0x8182).a(q, "10.6.6.6").b, 0, {}});
  c.push_back({"no answers", reply(kId, kName, 0).b, 0, {}});
  c.push_back({"answer count above the records present",
               reply(kId, kName, 3).a(q, "10.0.0.1").a(q, "10.0.0.2").b, 0, {}});
  {
    Msg m = reply(kId, kName, 1).a(q, "10.0.0.1");
    m.b.pop_back();
    c.push_back({"record data past the end", m.b, 0, {}});
  }
  c.push_back({"record header past the end", reply(kId, kName, 1).raw(q).u16(1).u16(1).b, 0, {}});
  {
    Msg m = reply(kId, kName, 1);
    int self = static_cast<int>(m.b.size());
    m.a(ptr(self), "10.6.6.6");
    c.push_back({"owner pointing at itself", m.b, 0, {}});
  }
  {
    Msg m = reply(kId, kName, 1);
    int self = static_cast<int>(m.b.size());
    m.a(Msg().u8(1).u8('x').raw(ptr(self)).b, "10.6.6.6");
    c.push_back({"owner pointing into its own labels", m.b, 0, {}});
  }
  {
    Msg m = reply(kId, kName, 2);
    int first = static_cast<int>(m.b.size());
    m.a(Msg().u8(1).u8('x').raw(ptr(first + 18)).b, "10.6.6.6");  // forward, to the next owner
    m.a(ptr(first), "10.6.6.7");
    c.push_back({"two owners pointing at each other", m.b, 0, {}});
  }
  c.push_back({"pointer past the end", reply(kId, kName, 1).a(ptr(0x3FFF), "10.6.6.6").b, 0, {}});
  c.push_back({"pointer cut in half", reply(kId, kName, 1).u8(0xC0).b, 0, {}});
  c.push_back({"label longer than the message", reply(kId, kName, 1).u8(63).raw({'a', 'b', 'c'}).b, 0, {}});
  c.push_back({"label of an extended type", reply(kId, kName, 1).a({0x41, 'a', 0}, "10.6.6.6").b, 0, {}});
  {
    Msg m = reply(kId, kName, 1);
    std::string big(63, 'a');
    m.a(labels(big + "." + big + "." + big + "." + big + ".x"), "10.6.6.6");
    c.push_back({"name above 255 bytes", m.b, 0, {}});
  }
  c.push_back({"alias name running past its record",
               reply(kId, kName, 1).raw(q).u16(5).u16(1).u32(300).u16(3).raw(labels("a.test")).b, 0, {}});
  c.push_back({"address of a name off the chain", reply(kId, kName, 1).a(labels("evil.test"), "10.6.6.6").b, 0, {}});
  c.push_back({"alias without an address", reply(kId, kName, 1).cname(q, labels("a.test")).b, 0, {}});
  c.push_back({"alias loop",
               reply(kId, kName, 3)
                   .cname(q, labels("a.test"))
                   .cname(labels("a.test"), labels(kName))
                   .a(labels("c.test"), "10.6.6.6")
                   .b,
               0, {}});
  c.push_back({"a label holding a dot is not two labels",
               reply(kId, kName, 1).a(Msg().u8(11).raw({'w', 'w', 'w', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e'}).raw(labels("com")).b, "10.6.6.6").b,
               0, {}});
  return c;
}

TEST(DnsParse, RepliesTable) {
  for (const ParseCase& pc : parse_cases()) {
    SCOPED_TRACE(pc.what);
    uint32_t addrs[kNameQueryMaxAddrs];
    std::memset(addrs, 0xEE, sizeof addrs);
    int count = -7;
    uint32_t ttl = 7;
    int r = parse_dns_reply(pc.msg.data(), pc.msg.size(), kId, kName, addrs, kNameQueryMaxAddrs, count, ttl);
    EXPECT_EQ(r, pc.result);
    std::vector<std::string> got;
    for (int i = 0; i < count && i < kNameQueryMaxAddrs; ++i) got.push_back(text_of(addrs[i]));
    EXPECT_EQ(got, pc.addrs);
    EXPECT_EQ(count, static_cast<int>(pc.addrs.size()));
    if (r == 1) {
      EXPECT_EQ(ttl, pc.ttl);
    }
  }
}

TEST(DnsParse, EveryPrefixOfAGoodReplyIsRejectedWithoutHarm) {
  Bytes good = reply(kId, kName, 3)
                   .cname(ptr(12), labels("edge.cdn.test"))
                   .a(labels("edge.cdn.test"), "10.0.0.1")
                   .a(ptr(12 + static_cast<int>(labels(kName).size()) + 4 + 12), "10.0.0.2")
                   .b;
  uint32_t addrs[kNameQueryMaxAddrs];
  int count = 0;
  uint32_t ttl = 0;
  ASSERT_EQ(parse_dns_reply(good.data(), good.size(), kId, kName, addrs, kNameQueryMaxAddrs, count, ttl), 1);
  EXPECT_EQ(count, 2);
  for (std::size_t n = 0; n < good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(n));  // exact size, so ASan sees overreads
    EXPECT_LE(parse_dns_reply(cut.data(), cut.size(), kId, kName, addrs, kNameQueryMaxAddrs, count, ttl), 0)
        << "length " << n;
    EXPECT_EQ(count, 0);
  }
}

TEST(DnsParse, QueryBytes) {
  uint8_t out[512];
  std::size_t n = build_dns_query("WWW.Example.com.", 0xABCD, out, sizeof out);
  Msg want;
  want.u16(0xABCD).u16(0x0100).u16(1).u16(0).u16(0).u16(0).raw(labels(kName)).u16(1).u16(1);
  EXPECT_EQ(Bytes(out, out + n), want.b);

  for (const std::string& bad : {std::string(), std::string("."), std::string("a..b"), std::string(".a"),
                                 std::string(64, 'x') + ".test", std::string("a b.test"),
                                 std::string("a\\b.test"), std::string(254, 'x')}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(build_dns_query(bad, 1, out, sizeof out), 0u);
  }
  std::string longest;  // 3 labels of 63 and one of 61: 255 bytes on the wire
  for (int i = 0; i < 3; ++i) longest += std::string(63, 'a' + i) + ".";
  longest += std::string(61, 'e');
  EXPECT_GT(build_dns_query(longest, 1, out, sizeof out), 0u);
  EXPECT_EQ(build_dns_query(longest + "e", 1, out, sizeof out), 0u);
}

// ---- resolution against the in-test resolver ------------------------------------------

TEST_F(DnsResolveTest, CnameAndTwoARecordsGiveTwoAddresses) {
  resp.on_udp([](const Query& q) {
    Bytes m = reply(q.id, q.name, 3)
                  .cname(ptr(12), labels("edge.cdn.test"))
                  .a(labels("edge.cdn.test"), "10.20.0.1")
                  .a(labels("edge.cdn.test"), "10.20.0.2")
                  .b;
    return std::vector<Send>{{m}};
  });
  NameQuery q;
  ASSERT_EQ(resolve("stream.example.test", q), 1);
  EXPECT_EQ(texts(q), (std::vector<std::string>{"10.20.0.1", "10.20.0.2"}));
  EXPECT_EQ(resp.udp_count.load(), 1);
  EXPECT_EQ(resp.tcp_count.load(), 0);
}

TEST_F(DnsResolveTest, QueryIdsDiffer) {
  auto ids = std::make_shared<std::set<int>>();
  resp.on_udp([ids](const Query& q) {
    ids->insert(q.id);  // only the responder's thread runs this
    return std::vector<Send>{{reply(q.id, q.name, 1).a(ptr(12), "10.0.0.1").b}};
  });
  NameQuery q;
  for (int i = 0; i < 8; ++i) ASSERT_EQ(resolve("n" + std::to_string(i) + ".test", q), 1);
  resp.stop();
  EXPECT_GE(ids->size(), 6u);  // eight random IDs; a clash or two is possible, a constant is not
}

TEST_F(DnsResolveTest, ForeignRepliesAreIgnored) {
  struct Case {
    const char* what;
    std::function<std::vector<Send>(const Query&)> udp;
    int result;
    std::vector<std::string> addrs;
  };
  auto good = [](const Query& q) { return reply(q.id, q.name, 1).a(ptr(12), "10.1.1.1").b; };
  auto bad_id = [](const Query& q) { return reply(q.id ^ 0x5555, q.name, 1).a(ptr(12), "10.6.6.6").b; };
  auto foreign = [](const Query& q) { return reply(q.id, q.name, 1).a(ptr(12), "10.6.6.6").b; };
  auto other_name = [](const Query& q) { return reply(q.id, "x" + q.name, 1).a(ptr(12), "10.6.6.6").b; };
  std::vector<Case> cases = {
      {"wrong ID, then the answer", [=](const Query& q) { return std::vector<Send>{{bad_id(q)}, {good(q)}}; }, 1,
       {"10.1.1.1"}},
      {"from another port, then the answer",
       [=](const Query& q) { return std::vector<Send>{{foreign(q), true}, {good(q)}}; }, 1, {"10.1.1.1"}},
      {"other question, then the answer", [=](const Query& q) { return std::vector<Send>{{other_name(q)}, {good(q)}}; },
       1, {"10.1.1.1"}},
      {"wrong ID only", [=](const Query& q) { return std::vector<Send>{{bad_id(q)}}; }, 0, {}},
      {"from another port only", [=](const Query& q) { return std::vector<Send>{{foreign(q), true}}; }, 0, {}},
  };
  dns_set_timeouts(400, 2, 3000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dns_clear_cache();
    resp.on_udp(c.udp);
    resp.on_tcp([](const Query&) { return std::vector<Bytes>{}; });  // closes without a word
    int tcp_before = resp.tcp_count.load();
    NameQuery q;
    EXPECT_EQ(resolve("foreign.test", q), c.result);
    EXPECT_EQ(texts(q), c.addrs);
    // A foreign reply never ends a try: a failure waits out every try, then tries TCP.
    EXPECT_EQ(resp.tcp_count.load() - tcp_before, c.result ? 0 : 1);
  }
}

TEST_F(DnsResolveTest, MalformedRepliesFailOnBothTransports) {
  struct Case {
    const char* what;
    std::function<Bytes(const Query&)> make;
  };
  std::vector<Case> cases = {
      {"cut inside the header", [](const Query& q) { Bytes b = reply(q.id, q.name, 1).b; b.resize(7); return b; }},
      {"pointer loop",
       [](const Query& q) {
         Msg m = reply(q.id, q.name, 1);
         int self = static_cast<int>(m.b.size());
         return m.a(ptr(self), "10.6.6.6").b;
       }},
      {"pointer past the end", [](const Query& q) { return reply(q.id, q.name, 1).a(ptr(0x3000), "10.6.6.6").b; }},
      {"label past the end", [](const Query& q) { return reply(q.id, q.name, 1).u8(50).u8('a').b; }},
      {"answer count lying", [](const Query& q) { return reply(q.id, q.name, 4).a(ptr(12), "10.6.6.6").b; }},
  };
  dns_set_timeouts(300, 1, 3000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto make = c.make;
    resp.on_udp([make](const Query& q) { return std::vector<Send>{{make(q)}}; });
    resp.on_tcp([make](const Query& q) { return std::vector<Bytes>{framed(make(q))}; });
    int tcp_before = resp.tcp_count.load();
    NameQuery q;
    EXPECT_EQ(resolve("bad.test", q), 0);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(resp.tcp_count.load() - tcp_before, 1);
  }
}

TEST_F(DnsResolveTest, SilentUdpFallsBackToTcp) {
  kxt::TempDir dir;
  open_logs(dir.path());
  log_set_mode(Sink::System, 1);
  dns_set_timeouts(300, 2, 5000);
  resp.on_udp(nullptr);  // silent
  resp.on_tcp([](const Query& q) {
    return std::vector<Bytes>{framed(reply(q.id, q.name, 2).a(ptr(12), "10.3.0.1").a(ptr(12), "10.3.0.2").b)};
  });
  NameQuery q;
  int r = resolve("tcp-only.test", q);
  close_logs();
  ASSERT_EQ(r, 1);
  EXPECT_EQ(texts(q), (std::vector<std::string>{"10.3.0.1", "10.3.0.2"}));
  EXPECT_EQ(resp.udp_count.load(), 2);
  EXPECT_EQ(resp.tcp_count.load(), 1);
  EXPECT_NE(kxt::slurp(dir / "system.log").find("UDP Mode: Name to IP Failed and Start TCP Mode\n"),
            std::string::npos);
}

TEST_F(DnsResolveTest, TcpReplySplitAcrossSends) {
  resp.on_udp(nullptr);
  resp.on_tcp([](const Query& q) {
    Bytes all = framed(reply(q.id, q.name, 3)
                           .rr(ptr(12), 16, 300, Bytes(200, 'z'))
                           .a(ptr(12), "10.4.0.1")
                           .a(ptr(12), "10.4.0.2")
                           .b);
    std::vector<Bytes> chunks;
    std::size_t cuts[] = {1, 4, 30, all.size() - 5, all.size()};
    std::size_t from = 0;
    for (std::size_t to : cuts) {
      chunks.emplace_back(all.begin() + static_cast<long>(from), all.begin() + static_cast<long>(to));
      from = to;
    }
    return chunks;
  });
  dns_set_timeouts(200, 1, 5000);
  NameQuery q;
  ASSERT_EQ(resolve("split.test", q), 1);
  EXPECT_EQ(texts(q), (std::vector<std::string>{"10.4.0.1", "10.4.0.2"}));
}

TEST_F(DnsResolveTest, TruncatedUdpAnswerGoesStraightToTcp) {
  resp.on_udp([](const Query& q) { return std::vector<Send>{{reply(q.id, q.name, 0, 0x8380).b}}; });
  resp.on_tcp([](const Query& q) { return std::vector<Bytes>{framed(reply(q.id, q.name, 1).a(ptr(12), "10.5.0.1").b)}; });
  dns_set_timeouts(3000, 3, 5000);
  NameQuery q;
  ASSERT_EQ(resolve("big.test", q), 1);
  EXPECT_EQ(texts(q), std::vector<std::string>{"10.5.0.1"});
  EXPECT_EQ(resp.udp_count.load(), 1);
  EXPECT_EQ(resp.tcp_count.load(), 1);
}

TEST_F(DnsResolveTest, TcpFailuresAreLogged) {
  struct Case {
    const char* what;
    bool no_listener;
    std::function<std::vector<Bytes>(const Query&)> tcp;
    const char* line;
  };
  std::vector<Case> cases = {
      {"nothing listens", true, nullptr, "TCP Mode: Name to IP Failed\n"},
      {"closed without a reply", false, [](const Query&) { return std::vector<Bytes>{}; },
       "2. TCP Mode: Name to IP Failed\n"},
      {"reply shorter than its length",
       false, [](const Query& q) {
         Bytes b = framed(reply(q.id, q.name, 1).a(ptr(12), "10.6.6.6").b);
         b.resize(b.size() - 2);
         return std::vector<Bytes>{b};
       },
       "2. TCP Mode: Name to IP Failed\n"},
      {"no such name", false, [](const Query& q) { return std::vector<Bytes>{framed(reply(q.id, q.name, 0, 0x8183).b)}; },
       "3. TCP Mode: Name to IP No Response\n"},
  };
  dns_set_timeouts(200, 1, 3000);
  resp.on_udp(nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kxt::TempDir dir;
    open_logs(dir.path());
    log_set_mode(Sink::System, 1);
    dns_set_server("127.0.0.1", c.no_listener ? kxt::free_port() : resp.port());
    resp.on_tcp(c.tcp);
    NameQuery q;
    int r = resolve("fails.test", q);
    close_logs();
    log_set_mode(Sink::System, 0);
    EXPECT_EQ(r, 0);
    std::string log = kxt::slurp(dir / "system.log");
    EXPECT_NE(log.find(std::string("]: ") + c.line), std::string::npos) << log;
  }
}

TEST_F(DnsResolveTest, UnusableResolverAddressFails) {
  dns_set_server("not-an-address", 53);
  NameQuery q;
  EXPECT_EQ(resolve("any.test", q), 0);
  EXPECT_EQ(q.count, 0);
}

// ---- the cache ------------------------------------------------------------------------

TEST_F(DnsResolveTest, CacheAnswersRepeatsAndNotFailures) {
  resp.on_udp([](const Query& q) { return std::vector<Send>{{reply(q.id, q.name, 0, 0x8183).b}}; });
  resp.on_tcp([](const Query& q) { return std::vector<Bytes>{framed(reply(q.id, q.name, 0, 0x8183).b)}; });
  dns_set_timeouts(3000, 1, 3000);
  NameQuery q;
  EXPECT_EQ(resolve("later.test", q), 0);
  resp.answer_all({"10.7.0.1"});
  int before = resp.udp_count.load();
  ASSERT_EQ(resolve("later.test", q), 1);  // the failure was not remembered
  EXPECT_EQ(resp.udp_count.load(), before + 1);
  ASSERT_EQ(resolve("LATER.test.", q), 1);  // the same name, answered from the cache
  EXPECT_EQ(texts(q), std::vector<std::string>{"10.7.0.1"});
  EXPECT_EQ(resp.udp_count.load(), before + 1);
}

TEST_F(DnsResolveTest, AnswersExpireWithTheirClampedTtl) {
  struct Case {
    uint32_t ttl;
    int64_t kept_ms;  // the entry lives this long
  };
  const Case cases[] = {{0, 60000}, {5, 60000}, {600, 600000}, {3600, 3600000}, {86400, 3600000}};
  dns_set_clock(&fake_clock);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ttl);
    dns_clear_cache();
    resp.answer_all({"10.8.0.1"}, c.ttl);
    const int64_t t0 = g_fake_ms.load();
    NameQuery q;
    int before = resp.udp_count.load();
    ASSERT_EQ(resolve("ttl.test", q), 1);
    g_fake_ms = t0 + c.kept_ms - 1;
    ASSERT_EQ(resolve("ttl.test", q), 1);
    EXPECT_EQ(resp.udp_count.load(), before + 1) << "still cached just before expiry";
    g_fake_ms = t0 + c.kept_ms;
    ASSERT_EQ(resolve("ttl.test", q), 1);
    EXPECT_EQ(resp.udp_count.load(), before + 2) << "asked again once expired";
    g_fake_ms = t0 + 10000000;
  }
}

TEST_F(DnsResolveTest, ThirtyFirstNameOverwritesTheFirstSlot) {
  resp.answer_all({"10.9.0.1"});
  NameQuery q;
  for (int i = 0; i < 30; ++i) ASSERT_EQ(resolve("name" + std::to_string(i) + ".test", q), 1);
  ASSERT_EQ(resp.udp_count.load(), 30);
  ASSERT_EQ(resolve("name0.test", q), 1);
  EXPECT_EQ(resp.udp_count.load(), 30) << "thirty names fit";
  ASSERT_EQ(resolve("name30.test", q), 1);
  EXPECT_EQ(resp.udp_count.load(), 31);
  ASSERT_EQ(resolve("name1.test", q), 1);
  ASSERT_EQ(resolve("name29.test", q), 1);
  EXPECT_EQ(resp.udp_count.load(), 31) << "only the oldest slot was taken";
  ASSERT_EQ(resolve("name0.test", q), 1);
  EXPECT_EQ(resp.udp_count.load(), 32) << "the first name's slot went to the 31st";
}

TEST_F(DnsResolveTest, NumericNamesNeedNoTrafficAndNoSlot) {
  resp.answer_all({"10.10.0.1"});
  NameQuery q;
  for (int i = 0; i < 30; ++i) ASSERT_EQ(resolve("fill" + std::to_string(i) + ".test", q), 1);
  const int before = resp.udp_count.load();
  struct Case {
    const char* name;
    uint32_t want;
  };
  const Case numeric[] = {{"192.168.1.20", addr("192.168.1.20")}, {"0.0.0.0", 0}, {"255.255.255.255", 0xFFFFFFFFu}};
  for (const Case& c : numeric) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(resolve(c.name, q), 1);
    EXPECT_EQ(q.count, 1);
    EXPECT_EQ(q.addr[0], c.want);
  }
  EXPECT_EQ(resp.udp_count.load(), before);
  ASSERT_EQ(resolve("fill0.test", q), 1);
  EXPECT_EQ(resp.udp_count.load(), before) << "numeric names took no cache slot";
  // Near misses are names, asked of the resolver.
  for (const char* name : {"1.2.3", "1.2.3.256", "1.2.3.4.5", "1.2.3.4a", "1.2.3.0004"}) {
    SCOPED_TRACE(name);
    int n = resp.udp_count.load();
    resolve(name, q);
    EXPECT_EQ(resp.udp_count.load(), n + 1);
  }
}

TEST_F(DnsResolveTest, SlowNameDoesNotBlockCachedLookups) {
  resp.answer_all({"10.11.0.1"});
  NameQuery q;
  ASSERT_EQ(resolve("fast.test", q), 1);
  resp.on_udp(nullptr);  // from now on the resolver stays silent on UDP
  resp.on_tcp([](const Query&) { return std::vector<Bytes>{}; });
  dns_set_timeouts(4000, 1, 2000);
  std::atomic<bool> slow_done{false};
  std::thread slow([&] {
    NameQuery s;
    s.name = "slow.test";
    resolve_name(s);
    slow_done = true;
  });
  ASSERT_TRUE(kxt::wait_until([&] { return resp.seen("slow.test"); }, 15000));
  int64_t t0 = mono_ms();
  NameQuery f;
  f.name = "fast.test";
  int r = resolve_name(f);
  int64_t took = mono_ms() - t0;
  bool slow_still_running = !slow_done.load();
  slow.join();
  EXPECT_EQ(r, 1);
  EXPECT_EQ(texts(f), std::vector<std::string>{"10.11.0.1"});
  EXPECT_TRUE(slow_still_running) << "the cached lookup waited for the slow one (" << took << " ms)";
  EXPECT_LT(took, 2000);
}

TEST_F(DnsResolveTest, ManyThreadsResolveAtOnce) {
  resp.on_udp([](const Query& q) {
    // Each name's number becomes the last byte of its address.
    std::string digits = q.name.substr(1, q.name.find('.') - 1);
    std::string a = "10.12.0." + digits;
    return std::vector<Send>{{reply(q.id, q.name, 1).a(ptr(12), a.c_str()).b}};
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < 20; ++k) {
        int n = (t * 7 + k) % 40 + 1;
        NameQuery q;
        q.name = "h" + std::to_string(n) + ".test";
        if (resolve_name(q) != 1 || q.count != 1 || text_of(q.addr[0]) != "10.12.0." + std::to_string(n)) ++wrong;
      }
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace kx
