// The remote file relay against a file server on loopback that keeps every request head:
// exactly the player's bytes however the source answers (ranges, whole files, chunks, no
// length, a range end it does not keep), one Range field per request, redirect chains
// of five followed and of six refused, the channel's source record never changed, and a
// stop flag, an input that goes off or a silent source ending it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ingest/channel_info.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "http/http_server.h"
#include "players/player_session.h"
#include "http/remote_relay.h"
#include "net/socket.h"
#include "support/harness.h"
#include "support/http_file_server.h"

namespace {

using Mode = kxt::HttpFileServer::Mode;
constexpr int64_t kNoEnd = INT64_MAX;

std::string test_file(std::size_t n) {
  std::string d(n, '\0');
  uint32_t x = 0x12345678;
  for (auto& c : d) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return d;
}

const std::string& file_data() {
  static const std::string d = test_file(300000);
  return d;
}

kx::Source_URL_Info source(int port, const std::string& path, const std::string& credentials = "") {
  kx::Source_URL_Info s;
  s.type = kx::kSrcHttp;
  s.host = "127.0.0.1";
  s.port = port;
  s.path = path;
  s.credentials = credentials;
  return s;
}

bool same_source(const kx::Source_URL_Info& a, const kx::Source_URL_Info& b) {
  return a.type == b.type && a.host == b.host && a.port == b.port && a.path == b.path && a.ip == b.ip &&
         a.credentials == b.credentials;
}

// One player of a remote file channel: the relay on a thread of its own, writing to one
// end of a socket pair that the test reads.
class Relayed {
 public:
  explicit Relayed(const kx::Source_URL_Info& src) : ch_(std::make_shared<kx::Channel_Info>()) {
    ch_->def.nChannel_No = 3;
    ch_->rt.src[0] = src;
    ch_->rt.nChannel_Status.store(kx::kStatusOn);
    ch_->rt.nInput_Format.store(kx::kInputTsFile);
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    s_.sock.store(sv[0]);
    peer_ = sv[1];
    s_.session_no = 11;
  }
  ~Relayed() {
    s_.stop.store(1);
    if (thread_.joinable()) thread_.join();
    kx::close_socket(s_.sock.exchange(-1));
    if (peer_ >= 0) ::close(peer_);
  }

  kx::Channel_Info& ch() { return *ch_; }
  kx::PlayerSession& s() { return s_; }
  const std::string& got() const { return got_; }
  void close_peer() {
    ::close(peer_);
    peer_ = -1;
    eof_ = true;
  }
  bool done() const { return done_.load(); }

  void start(int64_t from, int64_t to) {
    s_.range_start = from;
    s_.range_end = to;
    thread_ = std::thread([this] {
      result_ = kx::relay_remote_file(s_, *ch_, 3);
      done_.store(true);
      // The end of the data thread closes the player's socket: the reader sees the end.
      kx::close_socket(s_.sock.exchange(-1));
    });
  }

  // Reads until at least n bytes came, the relay closed the socket, or the deadline.
  void read(std::size_t n, int64_t timeout_ms) {
    const int64_t end = kx::mono_ms() + timeout_ms;
    char buf[65536];
    while (got_.size() < n && !eof_ && peer_ >= 0) {
      const int64_t left = end - kx::mono_ms();
      if (left <= 0) return;
      pollfd p{peer_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 200))) <= 0) continue;
      const ssize_t k = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
      if (k > 0) got_.append(buf, static_cast<std::size_t>(k));
      else if (k == 0) eof_ = true;
    }
  }
  // Everything until the relay ends; its result, or -1 when it did not end in time.
  int run_to_end(int64_t timeout_ms = 20000) {
    read(SIZE_MAX, timeout_ms);
    if (!eof_ || !kxt::wait_until([this] { return done(); }, timeout_ms)) return -1;
    thread_.join();
    return result_;
  }

 private:
  std::shared_ptr<kx::Channel_Info> ch_;
  kx::PlayerSession s_;
  int peer_ = -1;
  std::thread thread_;
  std::atomic<bool> done_{false};
  int result_ = -1;
  std::string got_;
  bool eof_ = false;
};

// ---- the request and the answer's range

TEST(RelayRequest, OneRangeAndTheSourceFields) {
  struct Case {
    kx::Source_URL_Info src;
    int64_t start;
    std::string want;
  };
  const Case cases[] = {
      {source(8080, "media/clip.ts"), 1000,
       "GET /media/clip.ts HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nHost: 127.0.0.1:8080\r\n"
       "Range: bytes=1000-\r\nConnection: close\r\n\r\n"},
      {source(80, "a.mp4?x=1", "user:pass"), 0,
       "GET /a.mp4?x=1 HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nHost: 127.0.0.1\r\n"
       "Range: bytes=0-\r\nConnection: close\r\nAuthorization: Basic dXNlcjpwYXNz\r\n\r\n"},
      // A control character in a field cannot split the request.
      {source(81, "x\r\nEvil: 1"), 5,
       "GET /xEvil: 1 HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nHost: 127.0.0.1:81\r\n"
       "Range: bytes=5-\r\nConnection: close\r\n\r\n"},
      // A negative start is a suffix: the source resolves it against its length.
      {source(8080, "media/clip.ts"), -500,
       "GET /media/clip.ts HTTP/1.0\r\nUser-Agent: Quillmarsh(Kestrix/12.2)\r\nHost: 127.0.0.1:8080\r\n"
       "Range: bytes=-500\r\nConnection: close\r\n\r\n"},
  };
  for (const Case& c : cases) {
    const std::string r = kx::relay_request(c.src, c.start);
    EXPECT_EQ(r, c.want);
    EXPECT_EQ(kxt::HttpFileServer::fields(r, "Range").size(), 1u) << r;
  }
}

TEST(RelayRequest, ContentRangeField) {
  struct Case {
    const char* head;
    bool ok;
    int64_t first, last;
  };
  const Case cases[] = {
      {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 1000-5999/300000\r\n\r\n", true, 1000, 5999},
      {"HTTP/1.1 206 Partial\r\ncontent-range:bytes 7-/*\r\n\r\n", true, 7, -1},
      {"HTTP/1.1 206 Partial\r\nContent-Length: 5\r\nCONTENT-RANGE:  bytes 0-0/1 \r\n\r\n", true, 0, 0},
      {"HTTP/1.1 416 No\r\nContent-Range: bytes */100\r\n\r\n", false, 0, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", false, 0, 0},
      {"HTTP/1.1 206 Partial\r\nContent-Range: items 1-2/3\r\n\r\n", false, 0, 0},
      {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 1234567890123456789-2/3\r\n\r\n", false, 0, 0},
      {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 1-2x3\r\n\r\n", false, 0, 0},
  };
  for (const Case& c : cases) {
    int64_t first = -7, last = -7;
    EXPECT_EQ(kx::relay_content_range(c.head, first, last), c.ok) << c.head;
    if (!c.ok) continue;
    EXPECT_EQ(first, c.first) << c.head;
    EXPECT_EQ(last, c.last) << c.head;
  }
}

// ---- bytes

// Exactly the bytes from the session's start to its end (or the source's), however the
// source frames them, with one Range field in the one request.
TEST(RemoteRelay, SendsExactlyTheRange) {
  const std::string& data = file_data();
  const int64_t size = static_cast<int64_t>(data.size());
  struct Case {
    const char* name;
    Mode mode;
    int64_t cap;
    int64_t start, end;
    int64_t from, len;  // what the player gets
  };
  const Case cases[] = {
      {"whole file", Mode::kRanges, 0, 0, kNoEnd, 0, size},
      {"from 1000", Mode::kRanges, 0, 1000, kNoEnd, 1000, size - 1000},
      {"session end", Mode::kRanges, 0, 1000, 6000, 1000, 5000},
      {"last byte", Mode::kRanges, 0, size - 1, kNoEnd, size - 1, 1},
      {"source range end not kept by the source", Mode::kCapRange, 5000, 1000, kNoEnd, 1000, 5000},
      {"range ignored: start skipped", Mode::kIgnoreRange, 0, 1000, kNoEnd, 1000, size - 1000},
      {"range ignored, session end", Mode::kIgnoreRange, 0, 1000, 6000, 1000, 5000},
      {"chunked", Mode::kChunked, 0, 777, kNoEnd, 777, size - 777},
      {"chunked, session end inside a chunk", Mode::kChunked, 0, 10, 20010, 10, 20000},
      {"no length", Mode::kNoLength, 0, 123456, kNoEnd, 123456, size - 123456},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kxt::HttpFileServer server;
    server.file("/media/clip.ts", data, c.mode, c.cap);
    const kx::Source_URL_Info src = source(server.port(), "media/clip.ts");
    Relayed r(src);
    r.start(c.start, c.end);
    EXPECT_EQ(r.run_to_end(), 1);
    EXPECT_EQ(static_cast<int64_t>(r.got().size()), c.len);
    EXPECT_TRUE(r.got() == data.substr(static_cast<std::size_t>(c.from), static_cast<std::size_t>(c.len)));
    EXPECT_EQ(r.s().range_start, c.from + c.len);
    EXPECT_FALSE(r.s().stop.load());
    const auto heads = server.heads();
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(kxt::HttpFileServer::fields(heads[0], "Range"),
              std::vector<std::string>{"bytes=" + std::to_string(c.start) + "-"})
        << heads[0];
    EXPECT_TRUE(same_source(r.ch().rt.src[0], src));
  }
}

// A start at or past the end of the file: the source refuses it and nothing is sent.
TEST(RemoteRelay, StartPastTheEndSendsNothing) {
  kxt::HttpFileServer server;
  server.file("/clip.ts", file_data());
  Relayed r(source(server.port(), "clip.ts"));
  r.start(static_cast<int64_t>(file_data().size()), kNoEnd);
  EXPECT_EQ(r.run_to_end(), 0);
  EXPECT_TRUE(r.got().empty());
  EXPECT_EQ(server.heads().size(), 1u);
}

// ---- redirects

TEST(RemoteRelay, RedirectChains) {
  struct Hop {
    std::string path;
    int status;
    std::string location;  // "@" stands for 127.0.0.1:<port>
  };
  struct Case {
    const char* name;
    std::vector<Hop> hops;  // the first is the channel's source
    bool served;
    std::vector<std::string> paths;  // the requests the source server sees
  };
  const std::vector<Hop> five = {{"/a/start", 302, "/b/hop1"},
                                 {"/b/hop1", 301, "hop2"},
                                 {"/b/hop2", 307, "http://@/c/hop3"},
                                 {"/c/hop3", 308, "//@/c/hop4"},
                                 {"/c/hop4", 303, "clip.ts#frag"}};
  std::vector<Hop> six = five;
  six.back().location = "hop5";
  six.push_back({"/c/hop5", 302, "clip.ts"});
  const Case cases[] = {
      {"five redirects are followed", five, true,
       {"/a/start", "/b/hop1", "/b/hop2", "/c/hop3", "/c/hop4", "/c/clip.ts"}},
      {"a sixth is refused", six, false, {"/a/start", "/b/hop1", "/b/hop2", "/c/hop3", "/c/hop4", "/c/hop5"}},
      {"no location", {{"/a/start", 302, ""}}, false, {"/a/start"}},
      {"another scheme", {{"/a/start", 301, "https://@/c/clip.ts"}}, false, {"/a/start"}},
      {"a loop ends", {{"/a/start", 302, "start"}}, false,
       {"/a/start", "/a/start", "/a/start", "/a/start", "/a/start", "/a/start"}},
  };
  const std::string& data = file_data();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kxt::HttpFileServer server;
    const std::string at = "127.0.0.1:" + std::to_string(server.port());
    for (const Hop& h : c.hops) {
      std::string loc = h.location;
      if (const std::size_t p = loc.find('@'); p != std::string::npos) loc.replace(p, 1, at);
      server.redirect(h.path, h.status, loc);
    }
    server.file("/c/clip.ts", data);
    const kx::Source_URL_Info src = source(server.port(), c.hops[0].path.substr(1));
    Relayed r(src);
    r.start(1000, kNoEnd);
    const int result = r.run_to_end();
    if (c.served) {
      EXPECT_EQ(result, 1);
      EXPECT_TRUE(r.got() == data.substr(1000));
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(r.got().empty());
    }
    EXPECT_EQ(server.paths(), c.paths);
    for (const std::string& h : server.heads())
      EXPECT_EQ(kxt::HttpFileServer::fields(h, "Range"), std::vector<std::string>{"bytes=1000-"}) << h;
    // The channel's record is as it was: the next player starts at the configured URL.
    EXPECT_TRUE(same_source(r.ch().rt.src[0], src));
  }
}

// Credentials go along to the same server and are not handed to another one.
TEST(RemoteRelay, CredentialsStayWithTheirServer) {
  kxt::HttpFileServer a, b;
  a.redirect("/one", 302, "two");
  a.redirect("/two", 302, b.url("/clip.ts"));
  b.file("/clip.ts", file_data());
  const kx::Source_URL_Info src = source(a.port(), "one", "user:pass");
  Relayed r(src);
  r.start(0, 100);
  EXPECT_EQ(r.run_to_end(), 1);
  EXPECT_TRUE(r.got() == file_data().substr(0, 100));
  const auto ha = a.heads(), hb = b.heads();
  ASSERT_EQ(ha.size(), 2u);
  ASSERT_EQ(hb.size(), 1u);
  for (const auto& h : ha)
    EXPECT_EQ(kxt::HttpFileServer::fields(h, "Authorization"), std::vector<std::string>{"Basic dXNlcjpwYXNz"});
  EXPECT_TRUE(kxt::HttpFileServer::fields(hb[0], "Authorization").empty()) << hb[0];
  EXPECT_TRUE(same_source(r.ch().rt.src[0], src));
}

// ---- what ends it

enum class Ender { kStopFlag, kInputOff, kSilence };

TEST(RemoteRelay, EndsOnStopInputOffAndSilence) {
  struct Case {
    const char* name;
    Ender how;
    int64_t min_ms, max_ms;  // from the cause to the end of the relay
  };
  // The stop flag is seen within a poll step; an input that stays off for the grace;
  // a silent source after the receive time-out.
  const Case cases[] = {
      {"stop flag", Ender::kStopFlag, 0, 5000},
      {"input off", Ender::kInputOff, 1000, 8000},
      {"silent source", Ender::kSilence, 9000, 30000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kxt::HttpFileServer server;
    server.file("/clip.ts", file_data(), Mode::kStall, 5000);
    Relayed r(source(server.port(), "clip.ts"));
    r.start(0, kNoEnd);
    r.read(5000, 20000);
    ASSERT_EQ(r.got().size(), 5000u);
    const int64_t t0 = kx::mono_ms();
    if (c.how == Ender::kStopFlag) r.s().stop.store(1);
    if (c.how == Ender::kInputOff) r.ch().rt.nChannel_Status.store(kx::kStatusOff);
    ASSERT_TRUE(kxt::wait_until([&] { return r.done(); }, 40000));
    const int64_t took = kx::mono_ms() - t0;
    EXPECT_GE(took, c.min_ms);
    EXPECT_LE(took, c.max_ms);
    EXPECT_EQ(r.run_to_end(), 0);
    EXPECT_EQ(r.got(), file_data().substr(0, 5000));
  }
}

// A player that goes away ends the relay and sets the stop flag.
TEST(RemoteRelay, PlayerGoneSetsTheStopFlag) {
  kxt::HttpFileServer server;
  server.file("/clip.ts", test_file(8 << 20));
  auto r = std::make_unique<Relayed>(source(server.port(), "clip.ts"));
  r->start(0, kNoEnd);
  r->read(1000, 20000);
  ASSERT_GE(r->got().size(), 1000u);
  // The player leaves while the relay still has megabytes to send.
  r->close_peer();
  ASSERT_TRUE(kxt::wait_until([&] { return r->done(); }, 20000));
  EXPECT_EQ(r->s().stop.load(), 1);
  EXPECT_EQ(r->run_to_end(), 0);
}

// ---- through the channel data thread

// A channel of input format 8 is relayed by the data thread, which counts the viewer
// and gives the count back at the end.
TEST(RemoteRelay, ChannelDataThreadRelaysTheFile) {
  kxt::HttpFileServer server;
  server.file("/clip.ts", file_data());
  auto ch = std::make_shared<kx::Channel_Info>();
  ch->def.nChannel_No = 1;
  ch->rt.src[0] = source(server.port(), "clip.ts");
  ch->rt.nChannel_Status.store(kx::kStatusOn);
  ch->rt.nInput_Format.store(kx::kInputTsFile);
  auto* s = new kx::PlayerSession;
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  s->sock.store(sv[0]);
  s->channel = ch;
  s->channel_no.store(1);
  s->output_type = kx::kOutTs;
  s->session_no = 5;
  s->range_start = 2000;
  s->range_end = kNoEnd;
  kx::ThreadRecord* t = kx::create_thread(kx::Channel_HTTP_DataThread, s, "relay player");
  ASSERT_NE(t, nullptr);
  std::string got;
  char buf[65536];
  const int64_t end = kx::mono_ms() + 20000;
  bool eof = false;
  while (!eof && kx::mono_ms() < end) {
    pollfd p{sv[1], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const ssize_t k = ::recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
    if (k > 0) got.append(buf, static_cast<std::size_t>(k));
    else if (k == 0) eof = true;
  }
  EXPECT_TRUE(eof);
  EXPECT_TRUE(got == file_data().substr(2000));
  EXPECT_TRUE(kx::join_thread(t, 20000));
  EXPECT_EQ(ch->rt.Active_No.load(), 0);
  EXPECT_EQ(ch->rt.Watched_No.load(), 1);
  kx::http_players().take_back(*s);
  delete s;
  ::close(sv[1]);
}

}  // namespace
