// The HTTP client's byte-level parts, by tables: the answer head (cut at every offset),
// the chunked body, redirect targets and log text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/http_answer.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- response head

struct HeadCase {
  const char* name;
  std::string input;
  kx::HttpHeadState state;
  kx::HttpHeadError error;
  int status;
  std::string location;    // "-" when absent
  int64_t length;
  bool chunked;
  std::string type;
  std::string body;        // what follows the head in the input
};

std::vector<HeadCase> head_cases() {
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n\r\n";
  std::vector<HeadCase> c;
  c.push_back({"200 with body", ok + "\x47\x40\x00\x10", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200, "-", -1, false, "video/mp2t", "\x47\x40\x00\x10"});
  c.push_back({"206 with length", "HTTP/1.0 206 Partial Content\r\nContent-Length: 1234\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 206,
               "-", 1234, false, "", ""});
  c.push_back({"302 bare path", "HTTP/1.1 302 Found\r\nLocation: /x.ts\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 302, "/x.ts", -1,
               false, "", ""});
  c.push_back({"bare LF line ends", "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\nA\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200, "-",
               -1, true, "", "A\r\n"});
  c.push_back({"ICY status line", "ICY 200 OK\r\nicy-name: radio\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200, "-", -1, false, "", ""});
  c.push_back({"interim 100 passed over", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody",
               kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200, "-", 4, false, "", "body"});
  c.push_back({"chunked wins over length",
               "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200, "-",
               -1, true, "", ""});
  c.push_back({"gzip, chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200,
               "-", -1, true, "", ""});
  c.push_back({"chunked, gzip is not chunked last", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
               kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200, "-", -1, false, "", ""});
  c.push_back({"equal length list", "HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 200, "-", 5,
               false, "", ""});
  c.push_back({"names in any case, folded value",
               "HTTP/1.0 301 Moved Permanently\r\nlocation: http://h:81/a\r\nX-Long: a\r\n b\r\nnot a field\r\n\r\n",
               kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 301, "http://h:81/a", -1, false, "", ""});
  c.push_back({"first Location kept", "HTTP/1.1 302 Found\r\nLocation:  /a \r\nLocation: /b\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone,
               302, "/a", -1, false, "", ""});
  c.push_back({"no reason phrase", "HTTP/1.1 504\r\n\r\n", kx::HttpHeadState::kDone, kx::HttpHeadError::kNone, 504, "-", -1, false, "", ""});
  // Faults.
  c.push_back({"html instead of a head", "<html><body>", kx::HttpHeadState::kFailed, kx::HttpHeadError::kNotHttp, 0, "-", -1, false, "", ""});
  c.push_back({"a request, not a response", "GET / HTTP/1.0\r\n\r\n", kx::HttpHeadState::kFailed, kx::HttpHeadError::kNotHttp, 0, "-", -1,
               false, "", ""});
  c.push_back({"TS bytes", "\x47\x40\x00\x10", kx::HttpHeadState::kFailed, kx::HttpHeadError::kNotHttp, 0, "-", -1, false, "", ""});
  c.push_back({"two-digit status", "HTTP/1.1 20 OK\r\n\r\n", kx::HttpHeadState::kFailed, kx::HttpHeadError::kMalformed, 0, "-", -1, false,
               "", ""});
  c.push_back({"status out of range", "HTTP/1.1 999 X\r\n\r\n", kx::HttpHeadState::kFailed, kx::HttpHeadError::kMalformed, 0, "-", -1,
               false, "", ""});
  c.push_back({"status glued to reason", "HTTP/1.1 200OK\r\n\r\n", kx::HttpHeadState::kFailed, kx::HttpHeadError::kMalformed, 0, "-", -1,
               false, "", ""});
  c.push_back({"conflicting lengths", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
               kx::HttpHeadState::kFailed, kx::HttpHeadError::kMalformed, 0, "-", -1, false, "", ""});
  c.push_back({"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", kx::HttpHeadState::kFailed,
               kx::HttpHeadError::kMalformed, 0, "-", -1, false, "", ""});
  c.push_back({"length beyond 64 bits", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
               kx::HttpHeadState::kFailed, kx::HttpHeadError::kMalformed, 0, "-", -1, false, "", ""});
  c.push_back({"NUL in the head", std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27), kx::HttpHeadState::kFailed,
               kx::HttpHeadError::kMalformed, 0, "-", -1, false, "", ""});
  c.push_back({"endless head", "HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a'), kx::HttpHeadState::kFailed,
               kx::HttpHeadError::kTooLong, 0, "-", -1, false, "", ""});
  std::string interim;
  for (int i = 0; i < 5; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
  c.push_back({"too many interim heads", interim + "HTTP/1.1 200 OK\r\n\r\n", kx::HttpHeadState::kFailed, kx::HttpHeadError::kMalformed, 0,
               "-", -1, false, "", ""});
  c.push_back({"head not finished", "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\n", kx::HttpHeadState::kNeedMore, kx::HttpHeadError::kNone, 0, "-",
               -1, false, "", ""});
  return c;
}

// Feeds input in the given piece sizes (the last repeated); returns the bytes taken.
std::size_t feed_pieces(kx::HttpResponseParser& p, const std::string& input, const std::vector<std::size_t>& pieces) {
  std::size_t off = 0, taken = 0, i = 0;
  while (off < input.size()) {
    std::size_t n = pieces[std::min(i++, pieces.size() - 1)];
    n = std::min(n, input.size() - off);
    const std::size_t t = p.feed(reinterpret_cast<const uint8_t*>(input.data()) + off, n);
    taken += t;
    if (t < n) break;  // the rest is body (or the head failed)
    off += n;
  }
  return taken;
}

void expect_head(const HeadCase& c, const kx::HttpResponseParser& p, std::size_t taken, const std::string& how) {
  SCOPED_TRACE(std::string(c.name) + " / " + how);
  ASSERT_EQ(p.state(), c.state);
  EXPECT_EQ(p.error(), c.error);
  if (c.state != kx::HttpHeadState::kDone) return;
  const kx::HttpResponseHead& h = p.head();
  EXPECT_EQ(taken, c.input.size() - c.body.size());
  EXPECT_EQ(h.status, c.status);
  EXPECT_EQ(h.has_location, c.location != "-");
  if (c.location != "-") {
    EXPECT_EQ(h.location, c.location);
  }
  EXPECT_EQ(h.content_length, c.length);
  EXPECT_EQ(h.chunked, c.chunked);
  EXPECT_EQ(h.content_type, c.type);
}

TEST(HttpResponseHead, TableInOnePiece) {
  for (const HeadCase& c : head_cases()) {
    kx::HttpResponseParser p;
    const std::size_t taken = p.feed(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size());
    expect_head(c, p, taken, "one piece");
    if (c.state == kx::HttpHeadState::kFailed && c.error == kx::HttpHeadError::kNotHttp) {
      EXPECT_LE(taken, 5u) << c.name << ": a non-HTTP answer is refused at once";
    }
    if (c.error == kx::HttpHeadError::kTooLong) {
      EXPECT_EQ(taken, kx::kHttpHeadMax) << "nothing read past the cap";
    }
  }
}

TEST(HttpResponseHead, SameResultWhereverTheBytesAreCut) {
  for (const HeadCase& c : head_cases()) {
    for (std::size_t cut = 1; cut < c.input.size(); ++cut) {
      kx::HttpResponseParser p;
      const std::size_t taken = feed_pieces(p, c.input, {cut, c.input.size()});
      expect_head(c, p, taken, "cut at " + std::to_string(cut));
      if (::testing::Test::HasFailure()) return;
    }
    kx::HttpResponseParser p;
    expect_head(c, p, feed_pieces(p, c.input, {1}), "byte by byte");
  }
}

TEST(HttpResponseHead, ThreePiecesAtEveryPairOfOffsets) {
  const std::string in = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:9/y.ts\r\n\r\nrest";
  for (std::size_t a = 1; a < in.size(); ++a) {
    for (std::size_t b = a + 1; b < in.size(); ++b) {
      kx::HttpResponseParser p;
      const std::size_t taken = feed_pieces(p, in, {a, b - a, in.size()});
      ASSERT_EQ(p.state(), kx::HttpHeadState::kDone) << a << "," << b;
      ASSERT_EQ(taken, in.size() - 4) << a << "," << b;
      ASSERT_EQ(p.head().location, "http://127.0.0.1:9/y.ts");
    }
  }
}

TEST(HttpResponseHead, ResetReadsANewHead) {
  kx::HttpResponseParser p;
  const std::string a = "<html>";
  p.feed(reinterpret_cast<const uint8_t*>(a.data()), a.size());
  EXPECT_EQ(p.state(), kx::HttpHeadState::kFailed);
  EXPECT_EQ(p.feed(reinterpret_cast<const uint8_t*>(a.data()), a.size()), 0u) << "nothing taken after the end";
  p.reset();
  const std::string b = "HTTP/1.0 200 OK\r\n\r\n";
  EXPECT_EQ(p.feed(reinterpret_cast<const uint8_t*>(b.data()), b.size()), b.size());
  EXPECT_EQ(p.state(), kx::HttpHeadState::kDone);
  EXPECT_EQ(p.head().status_line, "HTTP/1.0 200 OK");
}

struct LocationCase {
  const char* value;
  const char* base;
  bool ok;
  bool absolute;
  const char* host;
  int port;
  const char* path;
  const char* credentials;
};

TEST(HttpResponseLocation, Table) {
  const LocationCase cases[] = {
      {"/real.ts", "x.ts", true, false, "", 80, "real.ts", ""},
      {"  /a/b.ts?x=1#frag ", "x.ts", true, false, "", 80, "a/b.ts?x=1", ""},
      {"c.ts", "live/x.ts", true, false, "", 80, "live/c.ts", ""},
      {"c.ts", "x.ts", true, false, "", 80, "c.ts", ""},
      {"?t=2", "live/x.ts?t=1", true, false, "", 80, "live/x.ts?t=2", ""},
      {"/with space.ts", "", true, false, "", 80, "with%20space.ts", ""},
      {"http://127.0.0.1:8081/full.ts", "x.ts", true, true, "127.0.0.1", 8081, "full.ts", ""},
      {"HTTP://Host.example/p", "x", true, true, "Host.example", 80, "p", ""},
      {"http://u:p@h:9000", "x", true, true, "h", 9000, "", "u:p"},
      {"http://h:/p", "x", true, true, "h", 80, "p", ""},
      {"http://h?q=1", "x", true, true, "h", 80, "?q=1", ""},
      {"//h2/p", "x", true, true, "h2", 80, "p", ""},
      {"", "x", false, false, "", 80, "", ""},
      {"https://h/p", "x", false, false, "", 80, "", ""},
      {"rtmp://h/app", "x", false, false, "", 80, "", ""},
      {"http:///p", "x", false, false, "", 80, "", ""},
      {"http://h:0/p", "x", false, false, "", 80, "", ""},
      {"http://h:65536/p", "x", false, false, "", 80, "", ""},
      {"http://h:80x/p", "x", false, false, "", 80, "", ""},
      {"http://[::1]:80/p", "x", false, false, "", 80, "", ""},
      {"/a\x01", "x", false, false, "", 80, "", ""},
  };
  for (const LocationCase& c : cases) {
    SCOPED_TRACE(c.value);
    kx::HttpTarget t;
    ASSERT_EQ(kx::http_resolve_location(c.value, c.base, t), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(t.absolute, c.absolute);
    EXPECT_EQ(t.host, c.host);
    EXPECT_EQ(t.port, c.port);
    EXPECT_EQ(t.path, c.path);
    EXPECT_EQ(t.credentials, c.credentials);
  }
  kx::HttpTarget t;
  EXPECT_TRUE(kx::http_resolve_location("/" + std::string(511, 'p'), "", t));
  EXPECT_FALSE(kx::http_resolve_location("/" + std::string(512, 'p'), "", t)) << "path bound";
  EXPECT_FALSE(kx::http_resolve_location("http://" + std::string(256, 'h') + "/", "", t)) << "host bound";
}

TEST(HttpResponseLogText, CutAndControlCharacters) {
  EXPECT_EQ(kx::http_log_text(std::string("a\r\nb\x01\x7f", 6), 300), "a\r\nb..");
  EXPECT_EQ(kx::http_log_text(std::string(500, 'x'), 300).size(), 300u);
}

// ---------------------------------------------------------------- chunked body

struct ChunkCase {
  const char* name;
  std::string input;
  std::string body;
  bool done;
  bool fails;
};

std::vector<ChunkCase> chunk_cases() {
  return {
      {"one chunk", "5\r\nhello\r\n0\r\n\r\n", "hello", true, false},
      {"several, upper and lower hex", "3\r\nabc\r\nA\r\n0123456789\r\nb\r\nABCDEFGHIJK\r\n0\r\n\r\n",
       "abc0123456789ABCDEFGHIJK", true, false},
      {"extensions", "5;name=value;x\r\nhello\r\n0;last\r\n\r\n", "hello", true, false},
      {"bare LF", "5\nhello\n0\n\n", "hello", true, false},
      {"trailer fields", "2\r\nok\r\n0\r\nX-A: 1\r\nX-B: 2\r\n\r\n", "ok", true, false},
      {"bytes after the end are not body", "2\r\nok\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n", "ok", true, false},
      {"leading zeros", "0005\r\nhello\r\n0\r\n\r\n", "hello", true, false},
      {"unfinished", "5\r\nhel", "hel", false, false},
      {"unfinished trailer", "5\r\nhello\r\n0\r\nX: 1\r\n", "hello", false, false},
      {"not a size", "G\r\nhello\r\n", "", false, true},
      {"empty size line", "\r\nhello\r\n", "", false, true},
      {"data longer than its size", "5\r\nhelloX\r\n", "hello", false, true},
      {"size too long", "1000000000000000\r\n", "", false, true},
      {"endless extension", "5;" + std::string(5000, 'e') + "\r\n", "", false, true},
      {"endless trailer", "0\r\n" + std::string(20000, 't'), "", false, true},
      {"CR without LF", "5\rhello", "", false, true},
  };
}

// Decodes input in pieces; the body, and whether the decoder failed.
std::string dechunk(kx::ChunkedDecoder& d, const std::string& input, const std::vector<std::size_t>& pieces, bool& failed) {
  std::string body;
  failed = false;
  std::size_t off = 0, i = 0;
  while (off < input.size()) {
    std::size_t n = std::min(pieces[std::min(i++, pieces.size() - 1)], input.size() - off);
    Bytes piece(input.begin() + static_cast<std::ptrdiff_t>(off), input.begin() + static_cast<std::ptrdiff_t>(off + n));
    const long r = d.decode(piece.data(), piece.size());
    if (r < 0) {
      failed = true;
      break;
    }
    EXPECT_LE(static_cast<std::size_t>(r), n);
    body.append(reinterpret_cast<const char*>(piece.data()), static_cast<std::size_t>(r));
    off += n;
  }
  return body;
}

TEST(ChunkedBody, TableWholeAndCutAtEveryOffset) {
  for (const ChunkCase& c : chunk_cases()) {
    std::vector<std::vector<std::size_t>> ways = {{c.input.size()}, {1}};
    for (std::size_t cut = 1; cut < c.input.size() && cut < 64; ++cut) ways.push_back({cut, c.input.size()});
    for (const auto& way : ways) {
      SCOPED_TRACE(std::string(c.name) + " first piece " + std::to_string(way[0]));
      kx::ChunkedDecoder d;
      bool failed = false;
      const std::string body = dechunk(d, c.input, way, failed);
      EXPECT_EQ(failed, c.fails);
      EXPECT_EQ(d.failed(), c.fails);
      EXPECT_EQ(d.done(), c.done);
      if (!c.fails) {
        EXPECT_EQ(body, c.body);
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
}

TEST(ChunkedBody, LargeBodyInRandomPiecesAndReset) {
  std::string body, enc;
  uint32_t seed = 7;
  for (int i = 0; i < 300; ++i) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t len = 1 + (seed >> 16) % 3000;
    std::string chunk(len, static_cast<char>('a' + i % 26));
    chunk[0] = '\r';  // body bytes that look like framing are still body
    body += chunk;
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", len);
    enc += size + chunk + "\r\n";
  }
  enc += "0\r\n\r\n";
  kx::ChunkedDecoder d;
  bool failed = false;
  EXPECT_EQ(dechunk(d, enc, {1000, 7, 1, 4096, 333}, failed), body);
  EXPECT_FALSE(failed);
  EXPECT_TRUE(d.done());
  d.reset();
  EXPECT_FALSE(d.done());
  EXPECT_EQ(dechunk(d, "3\r\nabc\r\n0\r\n\r\n", {2}, failed), "abc");
  EXPECT_TRUE(d.done());
}

}  // namespace

namespace {

// ---------------------------------------------------------------- Content-Range

TEST(HttpContentRange, ValuesAndTheHeadsFields) {
  struct Case {
    const char* value;
    bool ok;
    int64_t first, last, total;
  };
  const Case cases[] = {
      {"bytes 1000-5999/300000", true, 1000, 5999, 300000},
      {"  BYTES 0-0/1 ", true, 0, 0, 1},
      {"bytes 7-/*", true, 7, -1, -1},
      {"bytes 7-9/*", true, 7, 9, -1},
      {"bytes 7-9", true, 7, 9, -1},
      {"bytes */100", false, -1, -1, -1},
      {"items 1-2/3", false, -1, -1, -1},
      {"bytes 9-7/100", false, -1, -1, -1},
      {"bytes 0-99/99", false, -1, -1, -1},
      {"bytes 1-2x3", false, -1, -1, -1},
      {"bytes 1234567890123456789-2/3", false, -1, -1, -1},
      {"bytes 1-2/3x", false, -1, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    int64_t first = 5, last = 5, total = 5;
    ASSERT_EQ(kx::http_content_range(c.value, first, last, total), c.ok);
    if (c.ok) {
      EXPECT_EQ(first, c.first);
      EXPECT_EQ(last, c.last);
      EXPECT_EQ(total, c.total);
    }
    // The same value in a head: the fields are set only when it can be read.
    const std::string head = std::string("HTTP/1.1 206 Partial\r\nContent-Range: ") + c.value + "\r\n\r\n";
    kx::HttpResponseParser p;
    p.feed(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    ASSERT_EQ(p.state(), kx::HttpHeadState::kDone);
    EXPECT_EQ(p.head().has_range, c.ok);
    if (c.ok) {
      EXPECT_EQ(p.head().range_first, c.first);
      EXPECT_EQ(p.head().range_total, c.total);
    }
  }
}

}  // namespace
