// A remote file channel through the real server: a movie channel whose source is a TS
// file on a file server in the test. curl asks the channel for a byte range and gets the
// file's bytes from that start on; the file server sees one Range field per request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/harness.h"
#include "support/http_file_server.h"

namespace {

using kxt::count_of;
using kxt::last_number_after;

TEST(HttpRelay, RemoteTsFileChannelGivesTheAskedBytes) {
  const std::string data = kxt::slurp(std::string(KX_SOURCE_DIR) + "/demo/media/sample.ts");
  ASSERT_GT(data.size(), 100000u);
  kxt::HttpFileServer files;
  files.file("/clip.ts", data);

  kxt::Server s;
  s.set("user_authorization", "0");
  kxt::spit(s.path("channel_definition.xml"),
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"" + files.url("/clip.ts") +
                "\" type=\"movie\" category=\"Test\">Remote clip</ch>\r\n");
  ASSERT_TRUE(s.start());
  auto syslog = [&] { return s.file("log/system.log"); };
  ASSERT_TRUE(s.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s.output() << syslog();
  // The input looks at the file once and takes it for a TS movie (input format 8).
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "CH [1]: Start to receive Movie Stream", 30000))
      << s.file("log/admin_system.log");
  const std::size_t probes = files.heads().size();

  const std::string url = "http://127.0.0.1:" + std::to_string(s.http_port) + "/1.ch";
  struct Case {
    std::string range;  // curl -r; "" for none
    std::size_t from, to;  // to: one past the last byte, 0 for the end of the file
    std::string asked;     // the Range the file server must see
  };
  // The server relays from the player's start to its end byte, or to the end of the file.
  const Case cases[] = {{"1000-5999", 1000, 6000, "bytes=1000-"},
                        {"", 0, 0, "bytes=0-"},
                        {"400000-", 400000, 0, "bytes=400000-"},
                        {"-500", data.size() - 500, 0, "bytes=-500"}};  // the source resolves a suffix
  int played = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    const std::string out = s.path("got.ts");
    std::vector<std::string> argv = {"curl", "-s", "-o", out, "--max-time", "60"};
    if (!c.range.empty()) {
      argv.push_back("-r");
      argv.push_back(c.range);
    }
    argv.push_back(url);
    ASSERT_NE(kxt::run_tool(argv, 90000), "<failed>") << syslog();
    ++played;
    const std::string got = kxt::slurp(out);
    const std::size_t to = c.to ? c.to : data.size();
    EXPECT_EQ(got.size(), to - c.from);
    EXPECT_TRUE(got == data.substr(c.from, to - c.from)) << "the bytes differ";
    // The relay's request is the last the file server saw (the input looks again only
    // after minutes).
    const auto heads = files.heads();
    ASSERT_GT(heads.size(), probes);
    EXPECT_EQ(kxt::HttpFileServer::fields(heads.back(), "Range"), std::vector<std::string>{c.asked}) << heads.back();
  }
  const std::string sys = syslog();
  EXPECT_EQ(count_of(sys, "CH [1]: connect http://127.0.0.1:" + std::to_string(files.port())), played) << sys;
  EXPECT_EQ(count_of(sys, "is not served by this server"), 0);
  EXPECT_TRUE(kxt::wait_until([&] { return last_number_after(syslog(), "The Total Connection is [") == 0; }, 10000))
      << syslog();
}

}  // namespace
