// A remote file channel through the real server: a movie channel whose source is a TS
// file on a file server in the test. curl asks the channel for byte ranges and gets the
// answer a file gets (206 with its range, or 416) byte for byte; the file server sees one
// Range field per request, and credentials only where they were given for.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/harness.h"
#include "support/http_file_server.h"

namespace {

using kxt::count_of;
using kxt::last_number_after;

// A movie channel whose source is url, started; false when it did not start or the
// input did not take the file for a TS movie.
bool start_remote_channel(kxt::Server& s, const std::string& url) {
  s.set("user_authorization", "0");
  kxt::spit(s.path("channel_definition.xml"), "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"" +
                                                  url + "\" type=\"movie\" category=\"Test\">Remote clip</ch>\r\n");
  if (!s.start() || !s.wait_file("log/system.log", "HTTP Server Starting", 30000)) return false;
  // The input looks at the file once and takes it for a TS movie (input format 8).
  return s.wait_file("log/admin_system.log", "CH [1]: Start to receive Movie Stream", 30000);
}

// curl against the channel: the answer head as received and the body.
struct Fetched {
  std::string head, body;
};
Fetched fetch(kxt::Server& s, const std::string& range) {
  const std::string out = s.path("got.ts"), head = s.path("got.head");
  std::remove(out.c_str());
  std::remove(head.c_str());
  std::vector<std::string> argv = {"curl", "-s", "-D", head, "-o", out, "--max-time", "60"};
  if (!range.empty()) {
    argv.push_back("-r");
    argv.push_back(range);
  }
  argv.push_back("http://127.0.0.1:" + std::to_string(s.http_port) + "/1.ch");
  if (kxt::run_tool(argv, 90000) == "<failed>") return {"<failed>", ""};
  return {kxt::slurp(head), kxt::slurp(out)};
}

const char* const kDateServer = "Date: Fri,16 APr 2011\r\nServer: Kestrix/12.0\r\n";

std::string partial_head(std::size_t first, std::size_t end, std::size_t size) {
  return "HTTP/1.0 206 OK\r\n" + std::string(kDateServer) + "Content-Length: " + std::to_string(end - first) +
         "\r\nContent-Range: bytes " + std::to_string(first) + "-" + std::to_string(end - 1) + "/" +
         std::to_string(size) + "\r\nConnection: close\r\nContent-Type: video/mp2t\r\n\r\n";
}

std::string refused_head(const std::string& range_field) {
  return "HTTP/1.1 416 Requested Range Not Satisfiable\r\n" + std::string(kDateServer) + range_field +
         "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

// A remote file channel answers as a file does: 206 with the range against the source's
// length (a suffix resolved by it), the asked bytes exactly, and 416 for a range past the
// end. The file server sees one Range field per relay, from the resolved start.
TEST(HttpRelay, RemoteTsFileChannelAnswersRangesAsAFile) {
  const std::string data = kxt::slurp(std::string(KX_SOURCE_DIR) + "/demo/media/sample.ts");
  ASSERT_GT(data.size(), 100000u);
  const std::size_t n = data.size();
  kxt::HttpFileServer files;
  files.file("/clip.ts", data);
  kxt::Server s;
  auto syslog = [&] { return s.file("log/system.log"); };
  ASSERT_TRUE(start_remote_channel(s, files.url("/clip.ts"))) << s.output() << s.file("log/admin_system.log");
  const std::size_t probes = files.heads().size();

  struct Case {
    std::string range;     // curl -r; "" for none
    std::size_t from, to;  // the bytes answered; to == 0: refused
    std::string asked;     // the Range the file server must see
  };
  const Case cases[] = {{"1000-5999", 1000, 6000, "bytes=1000-"},
                        {"", 0, n, "bytes=0-"},
                        {"400000-", 400000, n, "bytes=400000-"},
                        {"-500", n - 500, n, "bytes=" + std::to_string(n - 500) + "-"},
                        {"-" + std::to_string(n + 10), 0, n, "bytes=0-"},
                        {std::to_string(n) + "-", 0, 0, ""},
                        {std::to_string(n + 5) + "-" + std::to_string(n + 9), 0, 0, ""}};
  int played = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    const std::size_t heads_before = files.heads().size();
    const Fetched got = fetch(s, c.range);
    if (c.to == 0) {
      EXPECT_EQ(got.head, refused_head("Content-Range: bytes */" + std::to_string(n) + "\r\n"));
      EXPECT_EQ(got.body, "");
      EXPECT_EQ(files.heads().size(), heads_before) << "a refused range never reaches the source";
      continue;
    }
    ++played;
    EXPECT_EQ(got.head, partial_head(c.from, c.to, n));
    EXPECT_EQ(got.body.size(), c.to - c.from);
    EXPECT_TRUE(got.body == data.substr(c.from, c.to - c.from)) << "the bytes differ";
    // The relay's request is the last the file server saw (the input looks again only
    // after minutes).
    const auto heads = files.heads();
    ASSERT_GT(heads.size(), probes);
    EXPECT_EQ(kxt::HttpFileServer::fields(heads.back(), "Range"), std::vector<std::string>{c.asked}) << heads.back();
  }
  const std::string sys = syslog();
  EXPECT_EQ(count_of(sys, "CH [1]: connect http://127.0.0.1:" + std::to_string(files.port())), played) << sys;
  EXPECT_EQ(count_of(sys, "Range not satisfiable, size [" + std::to_string(n) + "]"), 2) << sys;
  EXPECT_EQ(count_of(sys, "is not served by this server"), 0);
  EXPECT_TRUE(kxt::wait_until([&] { return last_number_after(syslog(), "The Total Connection is [") == 0; }, 10000))
      << syslog();
}

// A source that never tells its length: a suffix cannot be resolved (416 without a
// range field); any other range is answered from the first byte with the channel header.
TEST(HttpRelay, RemoteFileOfUnknownLengthRefusesASuffix) {
  const std::string data = kxt::slurp(std::string(KX_SOURCE_DIR) + "/demo/media/sample.ts");
  ASSERT_GT(data.size(), 100000u);
  kxt::HttpFileServer files;
  files.file("/clip.ts", data, kxt::HttpFileServer::Mode::kNoSize);
  kxt::Server s;
  ASSERT_TRUE(start_remote_channel(s, files.url("/clip.ts"))) << s.output() << s.file("log/admin_system.log");

  Fetched got = fetch(s, "-500");
  EXPECT_EQ(got.head, refused_head(""));
  EXPECT_EQ(got.body, "");
  got = fetch(s, "1000-5999");
  EXPECT_EQ(got.head, "HTTP/1.1 200 OK\r\n" + std::string(kDateServer) +
                          "Connection: Keep-Alive\r\nContent-Type: video/mp2t\r\n\r\n");
  EXPECT_TRUE(got.body == data) << "the whole file from its first byte: " << got.body.size();
  EXPECT_EQ(count_of(s.file("log/system.log"), "Range not satisfiable, size unknown"), 1);
}

// Credentials of the channel's URL go with a redirect to the same host and port, and
// never to another port: the input's probe and the relay keep the same rule.
TEST(HttpRelay, RedirectsKeepCredentialsOnlyForTheSameHostAndPort) {
  const std::string data = kxt::slurp(std::string(KX_SOURCE_DIR) + "/demo/media/sample.ts");
  ASSERT_GT(data.size(), 100000u);
  kxt::HttpFileServer first, second;
  first.redirect("/a.ts", 302, first.url("/b.ts"));
  first.redirect("/b.ts", 301, second.url("/c.ts"));
  second.file("/c.ts", data);
  const std::string src = "http://user:pw@127.0.0.1:" + std::to_string(first.port()) + "/a.ts";
  kxt::Server s;
  ASSERT_TRUE(start_remote_channel(s, src)) << s.output() << s.file("log/admin_system.log");
  const Fetched got = fetch(s, "100-199");
  EXPECT_EQ(got.head, partial_head(100, 200, data.size()));
  EXPECT_TRUE(got.body == data.substr(100, 100));

  const std::vector<std::string> to_first = first.heads(), to_second = second.heads();
  ASSERT_GE(to_first.size(), 2u);
  ASSERT_GE(to_second.size(), 1u);
  for (const std::string& h : to_first)
    EXPECT_EQ(kxt::HttpFileServer::fields(h, "Authorization"), std::vector<std::string>{"Basic dXNlcjpwdw=="}) << h;
  for (const std::string& h : to_second)
    EXPECT_TRUE(kxt::HttpFileServer::fields(h, "Authorization").empty()) << h;
  // Both the probe and the relay went the whole way.
  EXPECT_EQ(second.paths().back(), "/c.ts");
  EXPECT_TRUE(kxt::HttpFileServer::fields(to_second.back(), "Range") == std::vector<std::string>{"bytes=100-"})
      << to_second.back();
}

}  // namespace
