// Channel answers of the real server, read with curl: a channel whose ring cannot be
// allocated stays off while the others serve; an on-demand channel that does not come
// up in time is answered as off, one that does is streamed; the head of a live TS
// channel's answer, byte for byte, with and without authorisation, HTTP/1.0 and 1.1.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/os/process.h"
#include "core/os/time.h"
#include "support/harness.h"

namespace {

using kxt::count_of;
using kxt::last_number_after;

const std::string kOff = "HTTP/1.1 503 Service Unabailable\r\n\r\n\r\n";
// The head of every granted live TS channel answer, whatever the request's version.
const std::string kLiveHead =
    "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Kestrix/12.0\r\nConnection: Keep-Alive\r\n"
    "Content-Type: video/mp2t\r\n\r\n";

std::string url(const kxt::Server& s, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(s.http_port) + path;
}

// What curl received (head and body as sent), from a fetch cut off after seconds.
std::string fetch(const kxt::Server& s, const std::string& path, const std::vector<std::string>& extra = {},
                  int seconds = 3) {
  kxt::TempDir tmp;
  std::string cmd = "curl -si --max-time " + std::to_string(seconds) + " -o '" + tmp / "got" + "'";
  for (const std::string& e : extra) cmd += " '" + e + "'";
  cmd += " '" + url(s, path) + "'; exit 0";
  kxt::run_tool({"/bin/sh", "-c", cmd}, (seconds + 20) * 1000);
  return kxt::slurp(tmp / "got");
}

std::string head_of(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? answer : answer.substr(0, end + 4);
}

// The demo's channels: 1 a UDP input (nothing sends to it here), 2 the looping folder, 3
// an encoder channel. With a ring of two thousand million entries no input can get its
// ring: channels 1 and 3 each log the line once and stay off, and the process goes on
// serving the folder channel.
TEST(ChannelAnswers, RingThatCannotBeHadLeavesTheOtherChannelsServing) {
  kxt::Server s;
  s.set("channel_input_buffer_no", "2000000000");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s.output();
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "]: Real Buffer allocated failed\n", 30000))
      << s.file("log/admin_system.log");
  for (const char* closed :
       {"]: IPTV_Channel_DataThread OUT: CH [1] Closed\n", "]: IPTV_Channel_DataThread OUT: CH [3] Closed\n"})
    ASSERT_TRUE(s.wait_file("log/admin_system.log", closed, 30000)) << s.file("log/admin_system.log");
  EXPECT_EQ(fetch(s, "/1.ch"), kOff);
  const std::string looped = fetch(s, "/2.ch");
  EXPECT_EQ(head_of(looped).rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head_of(looped);
  EXPECT_GT(looped.size(), 10000u);
  EXPECT_TRUE(s.running());
  EXPECT_EQ(count_of(s.file("log/admin_system.log"), "Real Buffer allocated failed"), 2);
  EXPECT_EQ(s.stop(), 0);
}

// A server whose channels are UDP inputs on free ports (given as channel elements'
// attributes after src), and ffmpeg processes sending the demo clip, looped in real time,
// to the ports that should have data.
class LiveChannels : public ::testing::Test {
 protected:
  struct Channel {
    std::string attrs;  // besides src
    bool fed;
    int port = 0;
  };

  void start(std::vector<Channel> channels) {
    channels_ = std::move(channels);
    std::string xml = kxt::kXmlDecl;
    for (std::size_t i = 0; i < channels_.size(); ++i) {
      channels_[i].port = kxt::free_port();
      ASSERT_GT(channels_[i].port, 0);
      xml += "<ch src=\"udp://@:" + std::to_string(channels_[i].port) + "\" tolerance=\"0\" " + channels_[i].attrs +
             ">Live " + std::to_string(i + 1) + "</ch>\r\n";
    }
    ASSERT_TRUE(kxt::spit(s_.path("channel_definition.xml"), xml));
    ASSERT_TRUE(s_.start());
    ASSERT_TRUE(s_.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s_.output();
    feeds_.resize(channels_.size());
    for (std::size_t i = 0; i < channels_.size(); ++i) {
      if (!channels_[i].fed) continue;
      const std::string target = "udp://127.0.0.1:" + std::to_string(channels_[i].port) + "?pkt_size=1316";
      ASSERT_TRUE(kxt::spawn_logged(feeds_[i],
                                    {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re", "-stream_loop",
                                     "-1", "-i", s_.path("media/sample.ts"), "-map", "0", "-c", "copy", "-f",
                                     "mpegts", target},
                                    s_.path("feed" + std::to_string(i + 1) + ".err")));
    }
  }
  void TearDown() override {
    for (auto& f : feeds_) f.stop(2000);
  }
  // Waits until channel n's input has its first datagram.
  bool flowing(int n) {
    const std::string line = "CH [" + std::to_string(n) + "]: Get UDP Packet from Port No [" +
                             std::to_string(channels_[static_cast<std::size_t>(n - 1)].port) + "]\n";
    return s_.wait_file("log/admin_system.log", line, 30000);
  }
  // Waits until no player holds a connection slot (the user's allowance is free again).
  bool idle() {
    return kxt::wait_until(
        [&] {
          const std::string log = s_.file("log/system.log");
          return count_of(log, "Start to watch CH[") == count_of(log, "Close Socket)") &&
                 last_number_after(log, "The Total Connection is [") <= 0;
        },
        20000);
  }
  std::string syslog() { return s_.file("log/system.log"); }

  kxt::Server s_;
  std::vector<Channel> channels_;
  std::vector<kx::Process> feeds_;
};

struct HeadCase {
  const char* what;
  std::string path;
  std::vector<std::string> curl;  // besides -si
  std::string answer;             // the head, or the whole answer when it has a length
  bool whole;
};

void check_heads(const kxt::Server& s, const std::vector<HeadCase>& cases, const std::function<bool()>& idle) {
  for (const HeadCase& c : cases) {
    const std::string got = fetch(s, c.path, c.curl);
    if (c.whole) {
      EXPECT_EQ(got, c.answer) << c.what;
    } else {
      EXPECT_EQ(head_of(got), c.answer) << c.what;
      EXPECT_GT(got.size(), c.answer.size() + 1316) << c.what << ": no stream after the head";
    }
    EXPECT_TRUE(idle()) << c.what;
  }
}

// Without authorisation. An HTTP/1.1 ".c4" request gets the metadata answer: its head,
// then as many bytes as its length says (the content-type line of the scan and the start
// of the metadata text, which a player reads as the body).
TEST_F(LiveChannels, HeadsWithoutAuthorisationAreExact) {
  start({{"", true}});
  ASSERT_TRUE(flowing(1)) << s_.file("log/admin_system.log");
  const std::string meta = "kind=metadata,label/type='mpeg2ts;pmt=\"0x12c\"'";
  const std::string c4_head = "HTTP/1.1 200 OK\r\nDate: Fri,16 APr 2011\r\nServer: Kestrix/12.0\r\nContent-Length: " +
                              std::to_string(meta.size()) +
                              "\r\nKeep-Alive: timeout=15, max=500\r\nConnection: Keep-Alive\r\n\r\n";
  const std::string c4 = c4_head + ("Content-Type: video/x-ms-wmv\r\n\r\n" + meta).substr(0, meta.size());
  const std::vector<HeadCase> cases = {
      {"HTTP/1.1", "/1.ch", {}, kLiveHead, false},
      {"HTTP/1.0", "/1.ch", {"-0"}, kLiveHead, false},
      {"by name", "/Live%201.ch", {}, kLiveHead, false},
      {"HEAD", "/1.ch", {"-I"}, kLiveHead, true},
      {"HEAD, HTTP/1.0", "/1.ch", {"-I", "-0"}, kLiveHead, true},
      {".c4, HTTP/1.1", "/1.c4", {}, c4, true},
      {".c4, HTTP/1.0", "/1.c4", {"-0"}, kLiveHead, false},
  };
  check_heads(s_, cases, [&] { return idle(); });
}

// With authorisation, by query and by Basic credentials: the plain channel head, for
// ".c4" as well.
TEST_F(LiveChannels, HeadsWithAuthorisationAreExact) {
  s_.set("user_authorization", "1");
  start({{"", true}});
  ASSERT_TRUE(flowing(1)) << s_.file("log/admin_system.log");
  const std::vector<HeadCase> cases = {
      {"query, HTTP/1.1", "/1.ch?u=root&p=kestrix", {}, kLiveHead, false},
      {"query, HTTP/1.0", "/1.ch?u=root&p=kestrix", {"-0"}, kLiveHead, false},
      {"Basic, HTTP/1.1", "/1.ch", {"-u", "root:kestrix"}, kLiveHead, false},
      {"Basic, HTTP/1.0", "/1.ch", {"-0", "-u", "root:kestrix"}, kLiveHead, false},
      {".c4, HTTP/1.1", "/1.c4?u=root&p=kestrix", {}, kLiveHead, false},
      {"HEAD", "/1.ch?u=root&p=kestrix", {"-I"}, kLiveHead, true},
  };
  check_heads(s_, cases, [&] { return idle(); });
  EXPECT_EQ(count_of(syslog(), "Username [root] login successfully\n"), static_cast<int>(cases.size())) << syslog();
}

// An on-demand channel never connects at start; a request resumes it. One whose source
// sends nothing is answered, after the wait, as an off channel; one whose source sends is
// streamed, its first player from the oldest entry.
TEST_F(LiveChannels, OnDemandChannelIsAnsweredOffWhenItDoesNotComeUpInTime) {
  start({{"cache_on_demand=\"1\"", false}, {"cache_on_demand=\"1\"", true}});
  ASSERT_TRUE(s_.wait_file("log/admin_system.log", "CH [1] is caching on-demand channel\n", 30000));
  ASSERT_TRUE(s_.wait_file("log/admin_system.log", "CH [2] is caching on-demand channel\n", 30000));
  EXPECT_EQ(s_.file("log/admin_system.log").find("Get UDP Packet"), std::string::npos);  // parked, not reading

  const int64_t t0 = kx::mono_ms();
  EXPECT_EQ(fetch(s_, "/1.ch", {}, 30), kOff);
  EXPECT_GE(kx::mono_ms() - t0, 9000);  // it was given its time to come up
  EXPECT_NE(s_.file("log/admin_system.log").find("IPTV_Channel_DataThread : CH [1] is in RESUEM Status\n"),
            std::string::npos);

  const std::string got = fetch(s_, "/2.ch");
  EXPECT_EQ(head_of(got), kLiveHead);
  EXPECT_GT(got.size(), kLiveHead.size() + 1316);
  EXPECT_NE(syslog().find("Username [] is the first player\n"), std::string::npos) << syslog();
  EXPECT_TRUE(idle());
}

}  // namespace
