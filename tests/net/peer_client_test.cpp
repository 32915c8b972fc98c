// The client for the other servers of a balanced set, against a one-shot server on
// loopback: bodies with and without a length, failures, size bound, time-out, and the
// arguments it refuses.
#include "net/peer_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/os/time.h"
#include "net/socket.h"
#include "support/harness.h"

namespace kx {
namespace {

constexpr int kWaitMs = 10000;  // generous: the machine may be busy

// Accepts one connection, reads the request head, sends reply (unless silent) and closes.
class OneShotServer {
 public:
  explicit OneShotServer(std::string reply, bool silent = false) : reply_(std::move(reply)), silent_(silent) {
    if (tcp_listen("127.0.0.1", 0, 4, listener_) == 1) port_ = local_port(listener_.fd());
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return port_; }
  // The request as received; valid once the client call returned.
  std::string request() {
    thread_.join();
    thread_ = std::thread([] {});
    return request_;
  }

 private:
  void serve() {
    if (port_ == 0) return;
    Socket c;
    if (tcp_accept(listener_.fd(), kWaitMs, c) != 1) return;
    char buf[4096];
    // Bounded: each turn reads data or ends; the head is small.
    while (request_.find("\r\n\r\n") == std::string::npos && request_.size() < 65536) {
      const long n = recv_some(c.fd(), buf, sizeof buf, kWaitMs);
      if (n <= 0) return;
      request_.append(buf, static_cast<std::size_t>(n));
    }
    if (silent_) {
      // Holds the connection open without answering until the client gives up.
      const int64_t end = mono_ms() + kWaitMs;
      while (!stop_ && mono_ms() < end && recv_some(c.fd(), buf, sizeof buf, 50) == -2) {
      }
      return;
    }
    send_all(c.fd(), reply_.data(), reply_.size(), kWaitMs);
  }

  std::string reply_;
  bool silent_;
  Socket listener_;
  int port_ = 0;
  std::string request_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(PeerClient, AnswersAndFailures) {
  const std::string big(kPeerAnswerMax, 'a');
  struct Case {
    const char* name;
    std::string reply;
    int expect;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"with length", "HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nIndex=3\r\n", 1, "Index=3\r\n"},
      {"length shorter than the data", "HTTP/1.1 200 OK\r\ncontent-length:  2 \r\n\r\n1xyz", 1, "1x"},
      {"until close", "HTTP/1.0 200 OK\r\nServer: k\r\n\r\nfree_no=12", 1, "free_no=12"},
      {"empty body", "HTTP/1.0 200 OK\r\n\r\n", 1, ""},
      {"largest body", "HTTP/1.0 200 OK\r\n\r\n" + big, 1, big},
      {"body too long", "HTTP/1.0 200 OK\r\n\r\n" + big + "b", 0, ""},
      {"length too long", "HTTP/1.0 200 OK\r\nContent-Length: 65537\r\n\r\nx", 0, ""},
      {"cut short", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc", 0, ""},
      {"bad length", "HTTP/1.0 200 OK\r\nContent-Length: 1a\r\n\r\nabc", 0, ""},
      {"not found", "HTTP/1.1 404 Not Found\r\n\r\nIndex=1", 0, ""},
      {"not http", "Index=1\r\n\r\n", 0, ""},
      {"no head end", "HTTP/1.0 200 OK\r\n", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneShotServer server(c.reply);
    ASSERT_NE(server.port(), 0);
    std::string answer = "stale";
    EXPECT_EQ(peer_ask("127.0.0.1", server.port(), "/token/check?encrpty=YTpi", answer, kWaitMs), c.expect);
    EXPECT_EQ(answer, c.answer);
    const std::string req = server.request();
    EXPECT_EQ(req.rfind("GET /token/check?encrpty=YTpi HTTP/1.0\r\n", 0), 0u) << req;
    EXPECT_NE(req.find("\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"), std::string::npos);
  }
}

TEST(PeerClient, SilentPeerTimesOut) {
  OneShotServer server("", true);
  ASSERT_NE(server.port(), 0);
  std::string answer;
  const int64_t start = mono_ms();
  EXPECT_EQ(peer_ask("127.0.0.1", server.port(), "/token/x", answer, 300), 0);
  const int64_t took = mono_ms() - start;
  EXPECT_GE(took, 250);
  EXPECT_LT(took, kWaitMs);
  EXPECT_TRUE(answer.empty());
}

TEST(PeerClient, RefusedArgumentsAndNoListener) {
  struct Case {
    const char* name;
    std::string host;
    int port;
    std::string path;
    int timeout;
  };
  const int closed = kxt::free_port();
  ASSERT_GT(closed, 0);
  const std::vector<Case> cases = {
      {"no leading slash", "127.0.0.1", closed, "token/x", 1000},
      {"space in path", "127.0.0.1", closed, "/token/x y", 1000},
      {"line end in path", "127.0.0.1", closed, "/x\r\nHost: evil", 1000},
      {"empty path", "127.0.0.1", closed, "", 1000},
      {"port 0", "127.0.0.1", 0, "/x", 1000},
      {"port too high", "127.0.0.1", 65536, "/x", 1000},
      {"no time", "127.0.0.1", closed, "/x", 0},
      {"empty host", "", closed, "/x", 1000},
      {"host with line end", "127.0.0.1\r\n", closed, "/x", 1000},
      {"nobody listening", "127.0.0.1", closed, "/x", kWaitMs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string answer = "stale";
    EXPECT_EQ(peer_ask(c.host, c.port, c.path, answer, c.timeout), 0);
    EXPECT_TRUE(answer.empty());
  }
  EXPECT_FALSE(load_balancing_active());
}

}  // namespace
}  // namespace kx
