// The HTTP streaming server of the real binary, with curl and raw sockets: byte ranges of
// the demo clip, HEAD, path traversal, refused methods and heads, abrupt clients, and the
// connection slots all given back.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/os/file.h"
#include "core/os/time.h"
#include "net/socket.h"
#include "support/harness.h"

namespace {

const std::string kClip = "media/sample.ts";

std::string clip() { return kxt::slurp(std::string(KX_SOURCE_DIR) + "/demo/" + kClip); }

// A server with user authorisation off, serving once its port answers.
struct HttpServer : ::testing::Test {
  kxt::Server s;
  std::string base;

  void start() {
    s.set("user_authorization", "0");
    ASSERT_TRUE(s.start());
    base = "http://127.0.0.1:" + std::to_string(s.http_port);
    ASSERT_TRUE(kxt::wait_until(
        [&] {
          kx::Socket c;
          return kx::tcp_connect("127.0.0.1", s.http_port, 500, nullptr, c) == 1;
        },
        20000))
        << s.debug_output();
  }

  // One request on a raw socket; everything the server sends until it closes. closed
  // tells whether the server closed within the time.
  std::string raw(const std::string& request, bool* closed = nullptr, int timeout_ms = 10000) {
    kx::Socket c;
    if (kx::tcp_connect("127.0.0.1", s.http_port, 2000, nullptr, c) != 1) return "<no connection>";
    kx::send_all(c.fd(), request.data(), request.size(), 2000);
    std::string out;
    const int64_t end = kx::mono_ms() + timeout_ms;
    char buf[16384];
    bool eof = false;
    while (kx::mono_ms() < end) {
      const long n = kx::recv_some(c.fd(), buf, sizeof buf, static_cast<int>(std::max<int64_t>(1, end - kx::mono_ms())));
      if (n == 0) {
        eof = true;
        break;
      }
      if (n < 0) {
        eof = n == -1;  // a reset is a close as well
        break;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
    if (closed) *closed = eof;
    return out;
  }

  // curl's status code for a URL path; the body goes to body_file when given.
  std::string status(const std::string& path, const std::vector<std::string>& extra = {},
                     const std::string& body_file = "/dev/null") {
    std::vector<std::string> argv = {"curl", "-s", "--path-as-is", "-o", body_file, "-w", "%{http_code}",
                                     "--max-time", "20"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(base + path);
    return kxt::run_tool(argv, 30000);
  }

  std::string log() { return s.file("log/system.log"); }
};

// The value in brackets after the last occurrence of key.
std::string last_value(const std::string& log, const std::string& key) {
  const std::size_t at = log.rfind(key);
  if (at == std::string::npos) return "";
  const std::size_t end = log.find(']', at);
  return log.substr(at + key.size(), end - at - key.size());
}

}  // namespace

TEST_F(HttpServer, ByteRangesReturnExactlyTheBytesAsked) {
  start();
  const std::string file = clip();
  ASSERT_GT(file.size(), 400000u);
  const int64_t size = static_cast<int64_t>(file.size());
  struct Case {
    std::string range;
    int64_t first, last;  // inclusive
  };
  const std::vector<Case> cases = {
      {"0-187", 0, 187},
      {"1000-1999", 1000, 1999},
      {"1001-1001", 1001, 1001},
      {"100-", 100, size - 1},
      {"-500", size - 500, size - 1},
      {std::to_string(size - 10) + "-" + std::to_string(size + 5000), size - 10, size - 1},  // end clamped
  };
  kxt::TempDir tmp;
  for (const Case& c : cases) {
    const std::string got = tmp / "got", want = tmp / "want";
    EXPECT_EQ(status("/" + kClip, {"-r", c.range}, got), "206") << c.range;
    kxt::spit(want, file.substr(static_cast<std::size_t>(c.first), static_cast<std::size_t>(c.last - c.first + 1)));
    EXPECT_NE(kxt::run_tool({"cmp", got, want}), "<failed>") << c.range << ": " << kx::file_size(got) << " bytes";
  }
  // The log tells the given end from the one taken from the size.
  const std::string t = log();
  EXPECT_NE(t.find("]: Range1=[100]\n"), std::string::npos);
  EXPECT_NE(t.find("]: Only Range1, so Range2=[" + std::to_string(size - 1) + "]\n"), std::string::npos) << t;
  EXPECT_NE(t.find("]: Range2=[1999]\n"), std::string::npos);
  // The whole file, and a start past its end.
  EXPECT_EQ(status("/" + kClip, {}, tmp / "whole"), "200");
  EXPECT_NE(kxt::run_tool({"cmp", tmp / "whole", s.path(kClip)}), "<failed>");
  const std::string head = kxt::run_tool(
      {"curl", "-s", "-D", "-", "-o", "/dev/null", "-r", std::to_string(size) + "-", base + "/" + kClip});
  EXPECT_NE(head.find(" 416 "), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Range: bytes */" + std::to_string(size) + "\r\n"), std::string::npos) << head;
}

TEST_F(HttpServer, HeadGetsTheHeaderAndNoBody) {
  start();
  const std::string size = std::to_string(clip().size());
  for (const std::string version : {"HTTP/1.0", "HTTP/1.1"}) {
    bool closed = false;
    const std::string answer = raw("HEAD /" + kClip + " " + version + "\r\nHost: x\r\n\r\n", &closed);
    EXPECT_TRUE(closed);
    EXPECT_NE(answer.find("Content-Length: " + size + "\r\n"), std::string::npos) << answer;
    const std::string tail = "Content-Type: video/mp2t\r\n\r\n";
    ASSERT_GE(answer.size(), tail.size()) << answer;
    EXPECT_EQ(answer.substr(answer.size() - tail.size()), tail) << "no body after the header";
  }
}

TEST_F(HttpServer, PathTraversalGets404) {
  kxt::TempDir outside;
  kxt::spit(outside / "secret.ts", "secret bytes");
  kxt::spit(outside / "secret.jpg", "secret picture");
  const std::string out_name = outside.path().substr(outside.path().rfind('/') + 1);
  start();
  ASSERT_EQ(::symlink((outside / "secret.ts").c_str(), s.path("link.ts").c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), s.path("out").c_str()), 0);
  ASSERT_TRUE(kx::make_dir(s.path("folder.ts")));
  EXPECT_EQ(status("/" + kClip, {"-r", "0-9"}), "206");  // the real file is served
  const std::vector<std::string> paths = {
      "/../" + out_name + "/secret.ts",
      "/media/../../" + out_name + "/secret.ts",
      "/%2e%2e/" + out_name + "/secret.ts",
      "/..%2f" + out_name + "/secret.ts",
      "/" + outside.path() + "/secret.ts",  // "//tmp/...": absolute
      outside.path() + "/secret.ts",
      "/link.ts",                            // a link in the working folder leading out
      "/out/secret.ts",
      "/../" + out_name + "/secret.jpg",     // plain files have no user check: this is their guard
      "/out/secret.jpg",
      "/folder.ts",                          // a folder is no file
  };
  for (const std::string& p : paths) EXPECT_EQ(status(p), "404") << p;
}

TEST_F(HttpServer, OtherMethodsRootAndLongHeadsAreClosedWithoutAnswer) {
  start();
  std::vector<std::string> requests;
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "get"})
    requests.push_back(std::string(method) + " /" + kClip + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
  requests.push_back("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  requests.push_back("GET /" + kClip + " HTTP/2.0\r\n\r\n");
  requests.push_back("hello\r\n\r\n");
  requests.push_back("GET /NoExtension HTTP/1.1\r\n\r\n");  // by name: nothing without user authorisation
  std::string padded = "GET /" + kClip + " HTTP/1.0\r\nX-Pad: ";
  padded += std::string(2049 - padded.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(padded.size(), 2049u);
  requests.push_back(padded);
  for (const std::string& r : requests) {
    bool closed = false;
    EXPECT_EQ(raw(r, &closed), "") << r.substr(0, 40);
    EXPECT_TRUE(closed) << r.substr(0, 40);
  }
  EXPECT_TRUE(s.wait_file("log/system.log", "Receive More HTTP Data Len [2049] > 2048\n"));

  // 2048 bytes in three pieces are still a request.
  std::string ok = "GET /" + kClip + " HTTP/1.0\r\nRange: bytes=0-3\r\nX-Pad: ";
  ok += std::string(2048 - ok.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(ok.size(), 2048u);
  kx::Socket c;
  ASSERT_EQ(kx::tcp_connect("127.0.0.1", s.http_port, 2000, nullptr, c), 1);
  for (std::size_t at = 0; at < ok.size(); at += 700) {
    ASSERT_TRUE(kx::send_all(c.fd(), ok.data() + at, std::min<std::size_t>(700, ok.size() - at), 2000));
    kx::sleep_ms(50);
  }
  std::string answer;
  char buf[4096];
  for (long n; (n = kx::recv_some(c.fd(), buf, sizeof buf, 10000)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ(answer.rfind("HTTP/1.0 206 OK\r\n", 0), 0u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 4), clip().substr(0, 4));
}

TEST_F(HttpServer, RefusalsAreAnswered) {
  start();
  // The demo's UDP channel gets no input here, so it is off; with no substitute: 503.
  EXPECT_EQ(status("/1.ch"), "503");
  // The demo's looping folder channel is on (asked with HEAD so the answer is the header
  // alone); past the last channel is the last one, the demo's encoder channel, which no
  // encoder feeds here: off.
  EXPECT_EQ(status("/2.ch", {"-I"}), "200");
  EXPECT_EQ(status("/9.ch", {"-I"}), "503");
  EXPECT_EQ(status("/0.ch", {"-I"}), "503");
  EXPECT_EQ(status("/ch1.m3u8"), "503");  // HLS output is not given yet
  // An unknown token refuses the request, whatever else the query holds.
  EXPECT_EQ(status("/" + kClip + "?token=nobody&u=a:p=b"), "401");
  EXPECT_EQ(status("/missing.ts"), "404");
}

TEST_F(HttpServer, OffChannelSubstituteStreamsTheConfiguredClip) {
  s.set("channel_off_video_path", kClip);
  start();
  kxt::TempDir tmp;
  EXPECT_EQ(status("/1.ch", {}, tmp / "sub"), "200");
  EXPECT_NE(kxt::run_tool({"cmp", tmp / "sub", s.path(kClip)}), "<failed>");
}

TEST_F(HttpServer, SurvivesAbruptClientsAndGivesEverySlotBack) {
  s.set("max_video_streaming_no", "5");  // a leaked slot shows at once
  start();
  const std::string get = "GET /" + kClip + " HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string ranged = "GET /" + kClip + " HTTP/1.1\r\nRange: bytes=100-\r\n\r\n";
  for (int i = 0; i < 200; ++i) {
    kx::Socket c;
    if (kx::tcp_connect("127.0.0.1", s.http_port, 2000, nullptr, c) != 1) {
      ADD_FAILURE() << "connection " << i << " refused";
      break;
    }
    switch (i % 4) {
      case 0:
        break;  // connect and go
      case 1:
        kx::send_all(c.fd(), get.data(), 20, 1000);  // half a head
        break;
      case 2:
        kx::send_all(c.fd(), get.data(), get.size(), 1000);  // a whole request, never read
        break;
      default: {
        kx::send_all(c.fd(), ranged.data(), ranged.size(), 1000);
        char buf[512];
        kx::recv_some(c.fd(), buf, sizeof buf, 2000);  // a little, then gone
        break;
      }
    }
    linger lg{1, 0};  // a reset, not an orderly close
    ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(c.release());
  }
  ASSERT_TRUE(s.running());
  // Once the abrupt players are gone, a whole download is admitted and served.
  kxt::TempDir tmp;
  ASSERT_TRUE(kxt::wait_until([&] { return status("/" + kClip, {}, tmp / "after") == "200"; }, 30000));
  EXPECT_NE(kxt::run_tool({"cmp", tmp / "after", s.path(kClip)}), "<failed>");
  // Every slot came back: a stream that ends alone leaves the count at 0. (Two ending at
  // once may log in either order, so another short request is made until one ends alone.)
  const std::string active = "The Total Connection is [";
  EXPECT_TRUE(kxt::wait_until(
      [&] {
        if (last_value(log(), active) == "0") return true;
        status("/" + kClip, {"-r", "0-9"});
        return false;
      },
      20000))
      << last_value(log(), active);
  // At stop every session is joined and freed.
  EXPECT_EQ(s.stop(15000), 0);
  EXPECT_NE(log().find("HTTP Streaming Server Closed...\n"), std::string::npos);
  EXPECT_EQ(last_value(log(), "End to release all used http threads["), "0");
}

// 300 connections that send half a head and wait do not keep a normal player out: the
// oldest unfinished heads of an address are closed for the newer ones.
TEST_F(HttpServer, HalfHeadsDoNotKeepAPlayerOut) {
  start();
  const std::string half = "GET /" + kClip + " HTTP/1.1\r\nHost: x\r\n";
  std::vector<kx::Socket> held(300);
  for (std::size_t i = 0; i < held.size(); ++i) {
    ASSERT_EQ(kx::tcp_connect("127.0.0.1", s.http_port, 5000, nullptr, held[i]), 1) << i;
    ASSERT_TRUE(kx::send_all(held[i].fd(), half.data(), half.size(), 2000)) << i;
  }
  kxt::TempDir tmp;
  EXPECT_EQ(status("/" + kClip, {}, tmp / "got"), "200");
  EXPECT_NE(kxt::run_tool({"cmp", tmp / "got", s.path(kClip)}), "<failed>");
  const std::string probe = kxt::run_tool({"ffprobe", "-v", "error", "-show_entries", "format=format_name", "-of",
                                           "csv=p=0", base + "/" + kClip},
                                          30000);
  EXPECT_EQ(probe, "mpegts\n");
  EXPECT_TRUE(kxt::wait_until(
      [&] { return log().find("unfinished head closed for a newer one") != std::string::npos; }, 10000));
}

// A head that drips a byte now and then is closed once its one deadline has passed
// (a per-read time-out would keep it for minutes).
TEST_F(HttpServer, DrippingHeadIsClosedAfterTheDeadline) {
  start();
  kx::Socket c;
  ASSERT_EQ(kx::tcp_connect("127.0.0.1", s.http_port, 2000, nullptr, c), 1);
  const std::string head = "GET /" + kClip + " HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(400, 'a');
  bool closed = false;
  const int64_t end = kx::mono_ms() + 60000;
  for (std::size_t i = 0; i < head.size() && kx::mono_ms() < end && !closed; ++i) {
    if (!kx::send_all(c.fd(), &head[i], 1, 1000)) closed = true;
    char b;
    const long n = kx::recv_some(c.fd(), &b, 1, 500);
    if (n == 0 || n == -1) closed = true;
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(kxt::wait_until([&] { return log().find("TimeOut (HTTPCmdThread") != std::string::npos; }, 10000));
}

// The connection line names the server's port; the descriptor limit was raised at start-up.
TEST_F(HttpServer, ConnectionLineNamesTheServerPortAndTheDescriptorLimitIsRaised) {
  start();
  EXPECT_EQ(status("/" + kClip, {"-I"}), "200");
  EXPECT_TRUE(kxt::wait_until([&] { return log().find("Connects Kestrix Port[") != std::string::npos; }, 10000));
  EXPECT_EQ(last_value(log(), "Connects Kestrix Port["), std::to_string(s.http_port));
  // Admission logs the count it leaves: the looping folder channel (2) holds one stream,
  // and its end is logged with the player's address.
  kxt::run_tool({"/bin/sh", "-c", "curl -s --max-time 2 -o /dev/null " + base + "/2.ch; exit 0"}, 20000);
  EXPECT_TRUE(kxt::wait_until([&] { return log().find("The Total Connection is [1]\n") != std::string::npos; }, 10000))
      << log();
  EXPECT_TRUE(kxt::wait_until(
      [&] { return log().find("Username [] IP [127.0.0.1] stops CH [2]\n") != std::string::npos; }, 10000))
      << log();
  const std::string soft = last_value(log(), "open files limit [");
  const std::string hard = last_value(log(), "hard limit [");
  EXPECT_FALSE(hard.empty()) << log();
  const std::string limits = kxt::slurp("/proc/" + std::to_string(s.pid()) + "/limits");
  const std::size_t at = limits.find("Max open files");
  ASSERT_NE(at, std::string::npos);
  std::string row = limits.substr(at + 14, limits.find('\n', at) - at - 14);
  std::vector<std::string> cols;
  for (std::size_t i = 0; i < row.size();) {
    while (i < row.size() && row[i] == ' ') ++i;
    const std::size_t j = row.find(' ', i);
    if (i < row.size()) cols.push_back(row.substr(i, j - i));
    i = j == std::string::npos ? row.size() : j;
  }
  ASSERT_GE(cols.size(), 2u) << row;
  EXPECT_EQ(cols[0], cols[1]) << row;  // soft raised to hard
  if (hard != "18446744073709551615") {
    EXPECT_EQ(cols[1], hard);
  }
  EXPECT_LE(std::stoull(soft), std::stoull(hard));
}

