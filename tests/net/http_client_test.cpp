// The one HTTP client: request texts from a spec, Basic credentials, the redirect rule
// (credentials kept only for the same host and port), and one connection against a
// scripted server on loopback: bodies by length, chunked and to the close, bodies cut
// short or broken, a head dripped slower than its one deadline, and the stop check.
#include "net/http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/os/time.h"
#include "net/socket.h"

namespace kx {
namespace {

constexpr int kWaitMs = 10000;  // generous: the machine may be busy

// ---- request texts

TEST(HttpRequestText, TheThreeFormsAndCleanFields) {
  struct Case {
    const char* name;
    HttpRequestSpec spec;
    std::string want;
  };
  HttpRequestSpec input;  // the HTTP source input: an open range before the host
  input.at = {"cdn.example", 8080, "live/x.ts", ""};
  input.before_host.push_back({"Range", "bytes=0-"});
  HttpRequestSpec input_auth = input;
  input_auth.at = {"h", 80, "", "user:pass"};
  HttpRequestSpec relay;  // the remote file relay: the range after the host, no port 80
  relay.at = {"127.0.0.1", 80, "a.mp4?x=1", "user:pass"};
  relay.host_form = HttpHostForm::kPortUnless80;
  relay.after_host.push_back({"Range", "bytes=1000-"});
  HttpRequestSpec peer;  // the peer client
  peer.at = {"10.0.0.2", 8001, "token/x?encrpty=YTpi", ""};
  peer.host_form = HttpHostForm::kPortUnless80;
  HttpRequestSpec evil;
  evil.at = {"h\n", 80, "a\r\nX: y", ""};
  evil.after_host.push_back({"Range\r\n", "bytes=1-\r\nEvil: 1"});
  HttpRequestSpec head;
  head.method = "HEAD";
  head.user_agent.clear();
  head.at = {"h", 81, "p", ""};
  const std::vector<Case> cases = {
      {"input", input,
       "GET /live/x.ts HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nRange: bytes=0-\r\n"
       "Host: cdn.example:8080\r\nConnection: close\r\n\r\n"},
      {"input with credentials", input_auth,
       "GET / HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nRange: bytes=0-\r\nHost: h:80\r\n"
       "Connection: close\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n"},
      {"relay", relay,
       "GET /a.mp4?x=1 HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nHost: 127.0.0.1\r\n"
       "Range: bytes=1000-\r\nConnection: close\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n"},
      {"peer", peer,
       "GET /token/x?encrpty=YTpi HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nHost: 10.0.0.2:8001\r\n"
       "Connection: close\r\n\r\n"},
      {"line ends cannot split it", evil,
       "GET /aX: y HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nHost: h:80\r\nRange: bytes=1-Evil: 1\r\n"
       "Connection: close\r\n\r\n"},
      {"another method, no agent", head, "HEAD /p HTTP/1.0\r\nHost: h:81\r\nConnection: close\r\n\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(http_request_text(c.spec), c.want) << c.name;
}

TEST(HttpRequestText, BasicCredentialsOnOneLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"user:pass", "dXNlcjpwYXNz"},
      {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(http_basic_credentials(in), out);
  const std::string long_one = http_basic_credentials(std::string(60, 'u') + ":" + std::string(60, 'p'));
  EXPECT_EQ(long_one.size(), 164u);
  EXPECT_EQ(long_one.find('\n'), std::string::npos);
}

// ---- the redirect rule

TEST(HttpRedirectRule, KindsAndCredentialsStayWithTheirServer) {
  EXPECT_EQ(http_redirect_kind(301), HttpRedirect::kPermanent);
  EXPECT_EQ(http_redirect_kind(308), HttpRedirect::kPermanent);
  for (int s : {302, 303, 307}) EXPECT_EQ(http_redirect_kind(s), HttpRedirect::kTemporary) << s;
  for (int s : {200, 206, 300, 304, 305, 404}) EXPECT_EQ(http_redirect_kind(s), HttpRedirect::kNone) << s;

  struct Case {
    const char* location;
    bool ok;
    HttpEndpoint want;
  };
  const HttpEndpoint from{"src.example", 8080, "live/a.ts", "user:pass"};
  const Case cases[] = {
      {"/b.ts", true, {"src.example", 8080, "b.ts", "user:pass"}},
      {"c.ts", true, {"src.example", 8080, "live/c.ts", "user:pass"}},
      {"http://SRC.example:8080/d.ts", true, {"SRC.example", 8080, "d.ts", "user:pass"}},
      {"http://src.example:8081/d.ts", true, {"src.example", 8081, "d.ts", ""}},
      {"http://src.example/d.ts", true, {"src.example", 80, "d.ts", ""}},
      {"http://other.example:8080/d.ts", true, {"other.example", 8080, "d.ts", ""}},
      {"http://me:pw@other.example/e.ts", true, {"other.example", 80, "e.ts", "me:pw"}},
      {"https://src.example:8080/x", false, from},
      {"", false, from},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    HttpEndpoint at = from;
    EXPECT_EQ(http_follow_location(c.location, at), c.ok);
    EXPECT_EQ(at.host, c.want.host);
    EXPECT_EQ(at.port, c.want.port);
    EXPECT_EQ(at.path, c.want.path);
    EXPECT_EQ(at.credentials, c.want.credentials);
  }
}

// ---- one connection against a scripted server

// Accepts one connection, reads the request head, then sends the reply in pieces of
// `piece` bytes with `gap_ms` between them (0: at once) and closes.
class ScriptedServer {
 public:
  ScriptedServer(std::string reply, std::size_t piece = 0, int gap_ms = 0)
      : reply_(std::move(reply)), piece_(piece), gap_ms_(gap_ms) {
    if (tcp_listen("127.0.0.1", 0, 4, listener_) == 1) port_ = local_port(listener_.fd());
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }

 private:
  void serve() {
    if (port_ == 0) return;
    Socket c;
    if (tcp_accept(listener_.fd(), kWaitMs, c) != 1) return;
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const long n = recv_some(c.fd(), buf, sizeof buf, kWaitMs);
      if (n <= 0) return;
      request.append(buf, static_cast<std::size_t>(n));
    }
    const std::size_t piece = piece_ ? piece_ : reply_.size();
    for (std::size_t off = 0; off < reply_.size() && !stop_; off += piece) {
      if (!send_all(c.fd(), reply_.data() + off, std::min(piece, reply_.size() - off), kWaitMs)) return;
      if (gap_ms_ > 0) {
        // Waits for the gap, or for the client to go.
        if (recv_some(c.fd(), buf, sizeof buf, gap_ms_) != -2) return;
      }
    }
  }

  std::string reply_;
  std::size_t piece_;
  int gap_ms_;
  Socket listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Exchange {
  HttpEnd head_end = HttpEnd::kNone;
  int status = 0;
  std::string body;
  HttpEnd body_end = HttpEnd::kNone;
};

Exchange exchange(int port, const std::function<bool()>& stop = {}, int head_ms = kWaitMs) {
  Exchange e;
  HttpConnection conn(stop);
  if (conn.connect("127.0.0.1", port, kWaitMs) != 1) return e;
  HttpRequestSpec spec;
  spec.at = {"127.0.0.1", port, "x", ""};
  if (!conn.send(http_request_text(spec), kWaitMs)) return e;
  e.head_end = conn.read_head(mono_ms() + head_ms);
  if (e.head_end != HttpEnd::kComplete) return e;
  e.status = conn.head().status;
  uint8_t buf[7];  // small reads: the body is cut into many pieces
  for (int turns = 0; turns < 100000; ++turns) {
    const long n = conn.read_body(buf, sizeof buf, mono_ms() + kWaitMs);
    if (n <= 0) break;
    e.body.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
  }
  e.body_end = conn.end();
  return e;
}

TEST(HttpConnection, BodiesByLengthChunksAndClose) {
  struct Case {
    const char* name;
    std::string reply;
    std::size_t piece;  // 0: all at once
    HttpEnd head_end;
    std::string body;
    HttpEnd body_end;
  };
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n3;x=1\r\n ab\r\n0\r\n\r\n";
  const std::vector<Case> cases = {
      {"length", "HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\nhello world", 0, HttpEnd::kComplete, "hello world",
       HttpEnd::kComplete},
      {"length shorter than the data", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nhello world", 0, HttpEnd::kComplete,
       "hell", HttpEnd::kComplete},
      {"length, byte by byte", "HTTP/1.0 206 Partial\r\nContent-Length: 5\r\n\r\nhello", 1, HttpEnd::kComplete, "hello",
       HttpEnd::kComplete},
      {"cut short", "HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nhello", 0, HttpEnd::kComplete, "hello",
       HttpEnd::kCutShort},
      {"chunked", chunked, 0, HttpEnd::kComplete, "hello ab", HttpEnd::kComplete},
      {"chunked, byte by byte", chunked, 1, HttpEnd::kComplete, "hello ab", HttpEnd::kComplete},
      {"chunked cut short", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", 0, HttpEnd::kComplete,
       "hel", HttpEnd::kCutShort},
      {"broken in the head's read", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 0,
       HttpEnd::kComplete, "", HttpEnd::kBroken},
      {"to the close", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nfree_no=12", 0, HttpEnd::kComplete, "free_no=12",
       HttpEnd::kClosed},
      {"empty with length 0", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", 0, HttpEnd::kComplete, "",
       HttpEnd::kComplete},
      {"closed inside the head", "HTTP/1.0 200 OK\r\nX: y", 0, HttpEnd::kClosed, "", HttpEnd::kNone},
      {"closed before any byte", "", 0, HttpEnd::kTimeout, "", HttpEnd::kNone},
      {"not HTTP", "<html>hello</html>", 0, HttpEnd::kBadHead, "", HttpEnd::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.reply, c.piece);
    ASSERT_NE(server.port(), 0);
    const Exchange e = exchange(server.port());
    EXPECT_EQ(e.head_end, c.head_end);
    EXPECT_EQ(e.body, c.body);
    EXPECT_EQ(e.body_end, c.body_end);
  }
}

TEST(HttpConnection, ADrippingHeadEndsAtItsOneDeadline) {
  // 200 bytes of head at one byte every 100 ms would take 20 s; every single byte comes
  // well within any per-read time-out, but the head as a whole has one second.
  const std::string head = "HTTP/1.0 200 OK\r\nX-Slow: " + std::string(170, 'a') + "\r\n\r\n";
  ScriptedServer server(head, 1, 100);
  ASSERT_NE(server.port(), 0);
  const int64_t start = mono_ms();
  const Exchange e = exchange(server.port(), {}, 1000);
  const int64_t took = mono_ms() - start;
  EXPECT_EQ(e.head_end, HttpEnd::kTimeout);
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 15000) << "the head's deadline was not kept";
}

TEST(HttpConnection, TheStopCheckEndsAWait) {
  ScriptedServer server("HTTP/1.0 200 OK\r\n\r\nab", 2, 20000);
  ASSERT_NE(server.port(), 0);
  std::atomic<int> asked{0};
  const Exchange e = exchange(server.port(), [&asked] { return asked.fetch_add(1) > 20; });
  // Stopped while the head or the body was awaited, never at a time-out.
  EXPECT_TRUE(e.head_end == HttpEnd::kStopped || e.body_end == HttpEnd::kStopped)
      << static_cast<int>(e.head_end) << " " << static_cast<int>(e.body_end);
}

TEST(HttpConnection, NobodyListening) {
  Socket probe;
  ASSERT_EQ(tcp_listen("127.0.0.1", 0, 1, probe), 1);
  const int port = local_port(probe.fd());
  probe.close();
  HttpConnection conn;
  EXPECT_EQ(conn.connect("127.0.0.1", port, kWaitMs), 0);
  EXPECT_FALSE(conn.send("GET / HTTP/1.0\r\n\r\n", 1000));
}

}  // namespace
}  // namespace kx
