// The socket-free pieces of an HTTP player request: head reading, the request line, the
// extension table, query values, credentials, byte ranges, channel numbers, answers and
// the file path check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "catalogue/base64.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "support/harness.h"

using namespace kx;

namespace {

std::string get(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

}  // namespace

// ---- the head and the request line ----

TEST(HttpRequestHead, ReadingStopsAtBlankLineAndRefusesOver2048Bytes) {
  EXPECT_EQ(head_state("GET / HTTP/1.1\r\n"), HeadState::kMore);
  EXPECT_EQ(head_state("GET / HTTP/1.1\r\n\r\n"), HeadState::kDone);
  // Pieces adding up to 2048 bytes are fine, one byte more is not, blank line or not.
  std::string head = "GET /a.ts HTTP/1.1\r\nX: ";
  head += std::string(2048 - head.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(head.size(), 2048u);
  EXPECT_EQ(head_state(head), HeadState::kDone);
  EXPECT_EQ(head_state(head + "x"), HeadState::kTooLong);
  EXPECT_EQ(head_state(std::string(2049, 'a')), HeadState::kTooLong);
}

TEST(HttpRequestLine, Table) {
  struct Case {
    std::string head;
    int result;
    bool head_method;
    bool http11;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"GET /1.ch HTTP/1.1\r\n\r\n", kLineOk, false, true, "/1.ch"},
      {"HEAD /3.ch HTTP/1.0\r\n\r\n", kLineOk, true, false, "/3.ch"},
      {"GET /my%20movie.mp4?u=a HTTP/1.0\r\n\r\n", kLineOk, false, false, "/my movie.mp4?u=a"},
      {"POST /1.ch HTTP/1.1\r\n\r\n", kLineNotGet, false, false, ""},
      {"PUT /1.ch HTTP/1.1\r\n\r\n", kLineNotGet, false, false, ""},
      {"OPTIONS * HTTP/1.1\r\n\r\n", kLineNotGet, false, false, ""},
      {"GET /1.ch HTTP/2.0\r\n\r\n", kLineBadVersion, false, false, ""},
      {"GET /1.ch HTTP/1.1x\r\n\r\n", kLineBadVersion, false, false, ""},
      {"GET http://h/1.ch HTTP/1.1\r\n\r\n", kLineBadVersion, false, false, ""},
      {"GET /a\tb.ts HTTP/1.1\r\n\r\n", kLineBadVersion, false, false, ""},
      {"GET / HTTP/1.1\r\n\r\n", kLineRoot, false, false, ""},
      {"hello there\r\n\r\n", kLineNotHttp, false, false, ""},
      {"GET", kLineTooShort, false, false, ""},
      {"", kLineTooShort, false, false, ""},
  };
  for (const Case& c : cases) {
    RequestLine line;
    EXPECT_EQ(parse_request_line(c.head, line), c.result) << c.head;
    if (c.result != kLineOk) continue;
    EXPECT_EQ(line.head, c.head_method) << c.head;
    EXPECT_EQ(line.http11, c.http11) << c.head;
    EXPECT_EQ(line.path, c.path) << c.head;
  }
}

TEST(HttpRequestLine, PlayerNameIsBoundedAndNAWhenAbsent) {
  RequestLine line;
  ASSERT_EQ(parse_request_line(get("/1.ch", "User-Agent: VLC/3.0.18 LibVLC/3.0.18\r\n"), line), kLineOk);
  EXPECT_EQ(line.player_name, "VLC/3.0.18 LibVLC/3.0.18");
  ASSERT_EQ(parse_request_line(get("/1.ch", "user-agent: " + std::string(100, 'z') + "\r\n"), line), kLineOk);
  EXPECT_EQ(line.player_name, std::string(32, 'z'));
  ASSERT_EQ(parse_request_line(get("/1.ch"), line), kLineOk);
  EXPECT_EQ(line.player_name, "N/A");
}

// ---- classification ----

TEST(ClassifyPath, ExtensionTable) {
  struct Case {
    const char* path;
    int kind;
    const char* type;
    bool checked;
    const char* name;
  };
  const std::vector<Case> cases = {
      {"/ch5.flv", kKindChannel, ctype::kMp2t, true, "/5.ch"},  // a channel, not an FLV file
      {"/x.tsx", kKindMedia, ctype::kMp2t, true, "/x.ts"},      // ".ts" matches first
      {"/a.flx", kKindFlv, ctype::kFlv, true, "/a.flx"},        // ".flv" is compared on 3 characters
      {"/movies/a.flv?u=x", kKindFlv, ctype::kFlv, true, "/movies/a.flv"},
      {"/7.c4", kKindC4, ctype::kWmv, true, "/7.ch"},
      {"/3.ch", kKindChannel, ctype::kMp2t, true, "/3.ch"},
      {"/3.CH?u=a:p=b", kKindChannel, ctype::kMp2t, true, "/3.ch"},
      {"/ch2.m3u8", kKindChannel, ctype::kM3u8, true, "/ch2.m3u8"},
      {"/list.m3u", kKindChannel, ctype::kM3u8, true, "/list.m3u"},
      {"/pic.jpg", kKindFile, ctype::kJpeg, false, "/pic.jpg"},
      {"/PIC.JPG", kKindFile, ctype::kJpeg, false, "/PIC.JPG"},
      {"/sub.srt", kKindFile, ctype::kSrt, true, "/sub.srt"},
      {"/a.swf", kKindFile, ctype::kSwf, false, "/a.swf"},
      {"/a.mp4", kKindPs, ctype::kMp4, true, "/a.mp4"},
      {"/a.3gp", kKindPs, ctype::kMp4, true, "/a.3gp"},
      {"/a.mpeg", kKindPs, ctype::kMpg, true, "/a.mpeg"},
      {"/a.mov", kKindPs, ctype::kQuicktime, true, "/a.mov"},
      {"/a.mv", kKindPs, ctype::kQuicktime, true, "/a.mv"},
      {"/a.avi", kKindAvi, ctype::kAvi, true, "/a.avi"},
      {"/a.MKV", kKindMkv, ctype::kMkv, true, "/a.MKV"},
      {"/a.mp3", kKindMedia, ctype::kMp3, true, "/a.mp3"},
      {"/a.asf", kKindMedia, ctype::kAsfHeader, true, "/a.asf"},
      {"/a.vob", kKindMedia, ctype::kHtml, true, "/a.vob"},
      {"/a.Ts", kKindByName, ctype::kDefault, true, "/a.Ts"},  // mixed case is no extension
      {"/News", kKindByName, ctype::kDefault, true, "/News"},
      {"/News?u=a&p=my.chat", kKindByName, ctype::kDefault, true, "/News?u=a&p=my.chat"},  // the scan ends at '?'
      {"/News?p=x.mp4", kKindByName, ctype::kDefault, true, "/News?p=x.mp4"},
      {"/../../etc/passwd.ts", kKindMedia, ctype::kMp2t, true, "/../../etc/passwd.ts"},
  };
  for (const Case& c : cases) {
    const PathClass pc = classify_path(c.path);
    EXPECT_EQ(pc.kind, c.kind) << c.path;
    EXPECT_STREQ(pc.content_type, c.type) << c.path;
    EXPECT_EQ(pc.checked, c.checked) << c.path;
    EXPECT_EQ(pc.name, c.name) << c.path;
  }
}

TEST(ClassifyChannel, NumberFromName) {
  struct Case {
    const char* name;
    int number;
  };
  const std::vector<Case> cases = {
      {"/5.ch", 5},    {"/dir/12.ch", 12}, {"/0.ch", 0},           {"/abc.ch", 0},
      {"/ch7.m3u8", 7}, {"/x/ch30.M3U8", 30}, {"/99999999.ch", 999999}, {"/movie.mp4", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(channel_number_from_name(c.name), c.number) << c.name;
}

TEST(ClassifyChannel, NumbersOutsideTheTableAreClamped) {
  struct Case {
    int asked, count, got;
    const char* stage;
  };
  const std::vector<Case> cases = {
      {0, 5, 1, "Set First Channel"}, {-3, 5, 1, "Set First Channel"}, {9, 5, 5, "Set Last Channel"},
      {3, 5, 3, nullptr},             {5, 5, 5, nullptr},
  };
  for (const Case& c : cases) {
    const char* stage = "unset";
    EXPECT_EQ(clamp_channel_number(c.asked, c.count, &stage), c.got) << c.asked;
    if (c.stage) {
      EXPECT_STREQ(stage, c.stage) << c.asked;
    } else {
      EXPECT_EQ(stage, nullptr) << c.asked;
    }
  }
}

// ---- query values ----

TEST(QueryValue, KeysOnlyAfterSeparators) {
  struct Case {
    const char* text;
    const char* key;
    bool found;
    const char* value;
  };
  const std::vector<Case> cases = {
      {"/1.ch?timestamp=5000", "timestamp", true, "5000"},
      {"/1.ch?utc=100&lutc=200", "utc", true, "100"},
      {"/1.ch?lutc=200", "utc", false, ""},               // inside another key
      {"/1.ch?xutc=1&lutc=2", "utc", false, ""},
      {"/1.ch?u=mytoken=1:p=x", "token", false, ""},      // inside a user name
      {"/1.ch?u=a:token=abc&p=1", "token", true, "abc"},
      {"/1.ch?timestamp=7", "p", false, ""},              // "p=" inside "timestamp="
      {"/1.ch?muxer=ts", "muxer", true, "ts"},
      {"/1.ch?a=1:muxer=flv", "muxer", true, "flv"},
      {"/1.ch?server_ip_port=1.2.3.4:8000&x=1", "server_ip_port", true, "1.2.3.4:8000"},
      {"/1.ch?k=v HTTP/1.1 ?z=1", "z", false, ""},        // the text ends at its first blank
      {"/1.ch?token", "token", false, ""},                // no "=": not a key
      {"/1.ch?e=", "e", true, ""},
  };
  for (const Case& c : cases) {
    std::string v = "junk";
    EXPECT_EQ(query_value(c.text, c.key, v, 64), c.found) << c.text << " " << c.key;
    EXPECT_EQ(v, c.value) << c.text << " " << c.key;
  }
}

TEST(QueryValue, CopiesAreBoundedByTheField) {
  std::string v;
  EXPECT_TRUE(query_value("/1.ch?token=" + std::string(500, 't'), "token", v, kTokenCap));
  EXPECT_EQ(v, std::string(kTokenCap - 1, 't'));
}

// ---- credentials ----

TEST(CredentialsQuery, Table) {
  struct Case {
    const char* query;
    char sep1, sep2;
    int result;
    const char* user;
    const char* password;
    const char* mac;
  };
  const std::vector<Case> cases = {
      {"/1.ch?u=alice:p=secret&x=1", '&', ':', 1, "alice", "secret", ""},
      {"/1.ch?u=alice&p=secret", '&', ':', 1, "alice", "secret", ""},
      {"/1.ch?u=alice:p=secret:m=001122334455", '&', ':', 1, "alice", "secret", "001122334455"},
      {"/1.ch?u=alice:p=a%26b", '&', ':', 1, "alice", "a", ""},
      {"/1.ch?u=alice", '&', ':', 0, "", "", ""},              // no p=: nothing
      {"/1.ch?u=&p=x", '&', ':', 1, "", "x", ""},
      {"/1.ch?u=ap=b:p=c", '&', ':', 1, "ap=b", "c", ""},     // "p=" inside the user is no key
      {"/1.ch?u=bob;p=pw;z", ';', ';', 1, "bob", "pw", ""},   // one separator for both
      {"/1.ch?u=bob&p=pw HTTP/1.1", '&', ':', 1, "bob", "pw", ""},
  };
  for (const Case& c : cases) {
    std::string user = "x", password = "x", mac = "x";
    EXPECT_EQ(parse_query_credentials(c.query, c.sep1, c.sep2, user, password, mac), c.result) << c.query;
    EXPECT_EQ(user, c.user) << c.query;
    EXPECT_EQ(password, c.password) << c.query;
    EXPECT_EQ(mac, c.mac) << c.query;
  }
}

TEST(CredentialsBasic, Table) {
  struct Case {
    std::string value;
    int result;
    const char* user;
    const char* password;
  };
  const std::vector<Case> cases = {
      {base64_encode_text("alice:secret"), 1, "alice", "secret"},
      {base64_encode_text("alice%3Ase:cret"), 1, "alice", "se:cret"},
      {base64_encode_text("alice:"), 1, "alice", ""},
      {base64_encode_text("nocolon"), 0, "", ""},
      {base64_encode_text(std::string("al\0ce:pw", 8)), 0, "", ""},  // no NUL in a name
      {"!!!not base64", 0, "", ""},
      {std::string(4000, 'A'), 0, "", ""},  // far longer than any credential
  };
  for (const Case& c : cases) {
    std::string user = "x", password = "x";
    EXPECT_EQ(parse_basic_credentials(c.value, user, password), c.result) << c.value.substr(0, 40);
    EXPECT_EQ(user, c.user);
    EXPECT_EQ(password, c.password);
  }
}

TEST(CredentialsExtract, SourcesAndTokens) {
  const std::string basic = "Authorization: Basic " + base64_encode_text("hdr:pw") + "\r\n";
  struct Case {
    std::string target, extra;
    int source;
    bool has_token;
    const char* user;
    const char* password;
    const char* token;
  };
  const std::vector<Case> cases = {
      {"/1.ch", basic, kCredFromHeader, false, "hdr", "pw", ""},
      {"/1.ch", "", kCredFromHeader, false, "", "", ""},
      {"/1.ch?u=q:p=r", basic, kCredFromQuery, false, "q", "r", ""},
      {"/1.ch?x=1", basic, kCredFromHeader, false, "hdr", "pw", ""},
      {"/1.ch?x=1", "", kCredFromQuery, false, "", "", ""},
      // The token is tried first, even with u= and p= present.
      {"/1.ch?token=abc&u=q:p=r", "", kCredFromQuery, true, "", "", "abc"},
      // "token" inside a user name is no token.
      {"/1.ch?u=mytoken=1:p=r", "", kCredFromQuery, false, "mytoken=1", "r", ""},
  };
  for (const Case& c : cases) {
    Credentials cr;
    extract_credentials(c.target, get(c.target, c.extra), '&', ':', cr);
    EXPECT_EQ(cr.source, c.source) << c.target;
    EXPECT_EQ(cr.has_token, c.has_token) << c.target;
    EXPECT_EQ(cr.user, c.user) << c.target;
    EXPECT_EQ(cr.password, c.password) << c.target;
    EXPECT_EQ(cr.token, c.token) << c.target;
  }
}

// Values that do not fit their session field are refused whole, never cut to a shorter
// (and possibly valid) name.
TEST(CredentialsExtract, ValuesLongerThanTheirFieldDoNotFit) {
  const std::string u127(127, 'u'), u128(128, 'u'), p128(128, 'p');
  struct Case {
    std::string target, extra;
    bool fit;
  };
  const std::vector<Case> cases = {
      {"/1.ch?u=" + u127 + "&p=pw", "", true},
      {"/1.ch?u=" + u128 + "&p=pw", "", false},
      {"/1.ch?u=" + std::string(2048, 'u') + "&p=pw", "", false},
      {"/1.ch?u=a&p=" + p128, "", false},
      {"/1.ch?u=a&p=pw&m=0011223344556", "", false},
      {"/1.ch?u=a&p=pw&m=001122334455", "", true},
      {"/1.ch", "Authorization: Basic " + base64_encode_text(u128 + ":pw") + "\r\n", false},
      {"/1.ch", "Authorization: Basic " + base64_encode_text(u127 + ":pw") + "\r\n", true},
  };
  for (const Case& c : cases) {
    Credentials cr;
    extract_credentials(c.target, get(c.target, c.extra), '&', ':', cr);
    EXPECT_EQ(credentials_fit(cr), c.fit) << c.target.substr(0, 40);
  }
}

// ---- ranges ----

TEST(RangeParse, Table) {
  struct Case {
    std::string header;
    int64_t size;
    int status;
    int64_t start, end;
  };
  const std::vector<Case> cases = {
      {"Range: bytes=100-\r\n", 1000, kRangePartial, 100, 1000},
      {"Range: bytes=100-199\r\n", 1000, kRangePartial, 100, 200},
      {"Range: bytes=100-5000\r\n", 1000, kRangePartial, 100, 1000},  // end clamped
      {"Range: bytes=0-0\r\n", 1000, kRangePartial, 0, 1},
      {"Range: bytes=-500\r\n", 1000, kRangePartial, 500, 1000},      // suffix
      {"Range: bytes=-5000\r\n", 1000, kRangePartial, 0, 1000},
      {"range: BYTES=10-19, 30-39\r\n", 1000, kRangePartial, 10, 20}, // first range only
      {"Range: bytes=1000-\r\n", 1000, kRangeUnsatisfiable, 0, 0},   // start past the last byte
      {"Range: bytes=5000-6000\r\n", 1000, kRangeUnsatisfiable, 0, 0},
      {"Range: bytes=-0\r\n", 1000, kRangeUnsatisfiable, 0, 0},
      {"Range: bytes=0-\r\n", 0, kRangeUnsatisfiable, 0, 0},
      {"Range: bytes=200-100\r\n", 1000, kRangeNone, 0, 1000},        // malformed: ignored
      {"Range: bytes=abc-\r\n", 1000, kRangeNone, 0, 1000},
      {"Range: bytes=-\r\n", 1000, kRangeNone, 0, 1000},
      {"Range: bytes=99999999999999999999-\r\n", 1000, kRangeNone, 0, 1000},
      {"Range: items=1-2\r\n", 1000, kRangeNone, 0, 1000},
      {"", 1000, kRangeNone, 0, 1000},
  };
  for (const Case& c : cases) {
    const ByteRange r = parse_range(get("/a.ts", c.header), c.size);
    EXPECT_EQ(r.status, c.status) << c.header;
    if (c.status == kRangeUnsatisfiable) continue;
    EXPECT_EQ(r.start, c.start) << c.header;
    EXPECT_EQ(r.end, c.end) << c.header;
    EXPECT_GE(r.end - r.start, 0) << c.header;
  }
}

TEST(RangeAnswer, HeadersCarryLengthAndRange) {
  const ByteRange r = parse_range(get("/a.ts", "Range: bytes=100-\r\n"), 1000);
  const std::string h = http_answer_range(12, r.start, r.end, 1000, "Keep-Alive");
  EXPECT_EQ(h.rfind("HTTP/1.1 206 OK\r\n", 0), 0u);
  EXPECT_NE(h.find("Content-Length: 900\r\n"), std::string::npos);
  EXPECT_NE(h.find("Content-Range: bytes 100-999/1000\r\n"), std::string::npos);
  EXPECT_NE(h.find("Connection: Keep-Alive\r\n"), std::string::npos);

  const ByteRange r2 = parse_range(get("/a.ts", "Range: bytes=100-199\r\n"), 1000);
  EXPECT_NE(http_answer_range(11, r2.start, r2.end, 1000, "close").find("Content-Length: 100\r\n"),
            std::string::npos);
  EXPECT_EQ(http_answer_range(9, 0, 1000, 1000, "close").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);

  const std::string e = http_answer_416(1000, true);
  EXPECT_EQ(e.rfind("HTTP/1.1 416 ", 0), 0u);
  EXPECT_NE(e.find("Content-Range: bytes */1000\r\n"), std::string::npos);
  EXPECT_NE(e.find("\r\n\r\n"), std::string::npos);
  // A length not known: no range field at all.
  EXPECT_EQ(http_answer_416(-1, false),
            "HTTP/1.0 416 Requested Range Not Satisfiable\r\nDate: Fri,16 APr 2011\r\nServer: Kestrix/12.0\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(RangeAnswer, FixedTemplates) {
  EXPECT_STREQ(kR1_NotFound, "HTTP/1.0 404 Not Found\r\n\r\n\r\n");
  EXPECT_STREQ(kR4_Unavailable, "HTTP/1.1 503 Service Unabailable\r\n\r\n\r\n");
  EXPECT_EQ(http_answer_r5(), "HTTP/1.0 200 OK\r\n\r\nContent-Type: text/html\r\n\r\n");
  EXPECT_EQ(http_answer_r8("Keep-Alive") + content_type_line(ctype::kMp2t),
            "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Kestrix/12.0\r\nConnection: Keep-Alive\r\n"
            "Content-Type: video/mp2t\r\n\r\n");
  EXPECT_EQ(http_answer_r7("http://src/\r\nX: y"),
            "HTTP/1.1 302 Moved Temporarily\r\nDate: Fri,16 APr 2011\r\nServer: Kestrix/12.0\r\n"
            "Location: http://src/X: y\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(duration_line(12.5), "Content-Duration: 12.500000\r\n");
}

// ---- file paths ----

TEST(HttpRequestFile, OnlyRegularFilesUnderTheRoot) {
  kxt::TempDir outside;
  kxt::TempDir root;
  kxt::spit(outside / "secret.ts", "secret");
  kxt::spit(root / "clip.ts", "clip");
  ASSERT_EQ(::mkdir((root / "media").c_str(), 0755), 0);
  kxt::spit(root / "media/a b.ts", "ab");
  ASSERT_EQ(::symlink((outside / "secret.ts").c_str(), (root / "link.ts").c_str()), 0);
  ASSERT_EQ(::symlink((root / "clip.ts").c_str(), (root / "inner.ts").c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (root / "out").c_str()), 0);

  char buf[PATH_MAX];
  ASSERT_NE(::realpath(root.path().c_str(), buf), nullptr);
  const std::string root_real = buf;
  struct Case {
    std::string name;
    bool ok;
  };
  const std::string up = "/../" + outside.path().substr(outside.path().rfind('/') + 1) + "/secret.ts";
  const std::vector<Case> cases = {
      {"/clip.ts", true},
      {"/media/a b.ts", true},
      {"/media/../clip.ts", true},
      {"/inner.ts", true},      // a link that stays inside
      {up, false},              // ".." out of the root
      {"/link.ts", false},      // a link to a file outside
      {"/out/secret.ts", false},
      {"/" + outside.path() + "/secret.ts", false},  // an absolute name stays under the root
      {"/media", false},        // a folder
      {"/missing.ts", false},
      {std::string("/clip.ts\0x", 9), false},
  };
  for (const Case& c : cases) {
    std::string real;
    EXPECT_EQ(resolve_request_file(root.path(), c.name, real), c.ok ? 1 : 0) << c.name;
    if (c.ok) {
      EXPECT_EQ(real.rfind(root_real, 0), 0u) << real;
    }
  }
}
