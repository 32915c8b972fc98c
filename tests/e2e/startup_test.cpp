// The real server binary, started in a temporary working directory and stopped by PID.
#include <gtest/gtest.h>
#include <signal.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <regex>
#include <sstream>

#include "core/os/file.h"
#include "formats/ts_mux.h"
#include "support/harness.h"

using kxt::Server;

namespace {

// Every message of a log file carries the numbered prefix, and the numbers rise by one
// (a message without a line end puts the next prefix on the same line).
void expect_numbered_lines(const std::string& text) {
  static const std::regex prefix(R"(\[(\d{10})\]: )");
  long long last = 0;
  int numbered = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), prefix); it != std::sregex_iterator(); ++it) {
    long long n = std::stoll((*it)[1]);
    if (last) {
      EXPECT_EQ(n, last + 1) << it->str();
    }
    last = n;
    ++numbered;
  }
  EXPECT_GT(numbered, 3);
  EXPECT_EQ(text.rfind("[", 0), 0u) << "the file starts with a prefix";
}

}  // namespace

TEST(Startup, StartsPrintsPanelUrlAndShutsDownOnSigterm) {
  Server s;
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Kestrix Panel URL: http://")) << s.output();
  EXPECT_NE(s.output().find("Click [Action:Open Panel] to start panel:\r\nhttp://"), std::string::npos);
  EXPECT_NE(s.output().find("Version: 12.3.003 (12/16/15)"), std::string::npos);
  EXPECT_NE(s.output().find(":" + std::to_string(s.panel_port) + "/admin/index.htm"), std::string::npos);
  EXPECT_EQ(s.file("version.xml"), "12.3.003 (12/16/15)");
  ASSERT_TRUE(s.wait_file("log/system.log", "Quillmarsh (12.3.003 (12/16/15))"));

  EXPECT_EQ(s.stop(15000), 0);
  EXPECT_NE(s.output().find("Kestrix finished to shutdown"), std::string::npos);
  std::string log = s.file("log/system.log");
  expect_numbered_lines(log);
  EXPECT_NE(log.find("Kestrix Starts at "), std::string::npos);
  EXPECT_NE(log.find("piaKestrix_Uninit finished\n"), std::string::npos);
  EXPECT_NE(log.find("]: Close System Log at "), std::string::npos);
  EXPECT_NE(log.find("System Management Server Closed...\n"), std::string::npos);
  // The debugger output carries the shell's own numbered messages.
  EXPECT_NE(s.debug_output().find("Kestrix Message [00001]: Start Quillmarsh Kestrix ...\n"), std::string::npos);
  EXPECT_NE(s.debug_output().find("Kestrix finished to shutdown\n"), std::string::npos);
}

TEST(Startup, SigintAlsoShutsDownOnce) {
  Server s;
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Kestrix Panel URL:"));
  s.signal(SIGINT);
  EXPECT_EQ(s.wait_exit(15000), 0);
  std::string log = s.file("log/system.log");
  EXPECT_EQ(log.find("piaKestrix_Uninit finished"), log.rfind("piaKestrix_Uninit finished"));
}

TEST(Startup, MissingConfigurationRunsOnDefaults) {
  Server s;
  kx::remove_file(s.path("kestrix_config.txt"));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Version: "));
  EXPECT_EQ(s.output().rfind("Failed", 0), 0u) << s.output();  // before anything else
  EXPECT_TRUE(kxt::wait_until([&] {
    return s.debug_output().find("Kestrix Configuration File Error.\n") != std::string::npos;
  }));
  EXPECT_EQ(s.stop(15000), 0);
}

TEST(Startup, UnwritableVersionFileFailsStartupButKeepsRunning) {
  Server s;
  kx::make_dir(s.path("version.xml"));  // a folder in the way of the file
  kx::make_dir(s.path("version.xml/x"));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Error: Kestrix is not available")) << s.output();
  EXPECT_TRUE(s.wait_file("log/system.log", "open new file [version.xml] error\n"));
  EXPECT_TRUE(s.running());
  EXPECT_EQ(s.stop(15000), 0);
}

TEST(Startup, ScheduledRestartKeepsNumberingAndRotatesLogs) {
  Server s;
  // Entries for this minute and the next, so a minute boundary cannot skip the test.
  std::time_t now = std::time(nullptr);
  std::tm a{}, b{};
  localtime_r(&now, &a);
  std::time_t later = now + 60;
  localtime_r(&later, &b);
  char table[64];
  std::snprintf(table, sizeof table, "(%d:%d)(%d:%d)", a.tm_hour, a.tm_min, b.tm_hour, b.tm_min);
  s.set("restart", table);
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Kestrix Panel URL:"));
  ASSERT_TRUE(s.wait_file("log/system.log", "Kestrix is restarting\n", 90000))
      << s.file("log/system_backup.log");
  std::string before = s.file("log/system_backup.log");
  EXPECT_NE(before.find("Kestrix is closing for restarting\n"), std::string::npos);
  EXPECT_NE(before.find("Kestrix Panel Thread is keeping\n"), std::string::npos);
  EXPECT_EQ(before.find("Start to Close System Management Server"), std::string::npos);
  EXPECT_EQ(s.stop(15000), 0);
  expect_numbered_lines(before);
  // The new log continues the numbers of the old one.
  static const std::regex first(R"(\[(\d{10})\]: )");
  std::smatch m1, m2;
  std::string after = s.file("log/system.log");
  ASSERT_TRUE(std::regex_search(after, m2, first));
  std::string last_line = before.substr(before.rfind("\n[") + 1);
  ASSERT_TRUE(std::regex_search(last_line, m1, first));
  EXPECT_GT(std::stoll(m2[1]), std::stoll(m1[1]));
}

namespace {

// Sends MPEG-TS to 127.0.0.1:port, a datagram of PAT, PMT and five video packets every
// 10 ms, until stop.
void feed_udp(int port, const std::atomic<bool>& stop) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  kx::TsMuxState st;
  uint8_t cc = 0;
  for (int round = 0; round < 60000 && !stop.load(); ++round) {
    uint8_t d[7 * 188];
    kx::ts_mux_pat(st, d);
    kx::ts_mux_pmt(st, d + 188);
    for (int i = 2; i < 7; ++i) {
      uint8_t* p = d + i * 188;
      std::memset(p, 0xA5, 188);
      p[0] = 0x47;
      p[1] = 0x01;  // PID 0x100
      p[2] = 0x00;
      p[3] = static_cast<uint8_t>(0x10 | (cc++ & 0x0F));
    }
    ::sendto(fd, d, sizeof d, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd);
}

// A catalogue of n UDP channels on loopback ports nobody sends to.
std::string many_udp_channels(int n) {
  std::string text = kxt::kXmlDecl;
  for (int i = 0; i < n; ++i)
    text += "<ch src=\"udp://127.0.0.1:" + std::to_string(20000 + i) + "\">UDP " + std::to_string(i + 1) +
            "</ch>\r\n";
  return text;
}

}  // namespace

TEST(Startup, FiveThousandChannelsStartAndTheServerAnswers) {
  Server s;
  ASSERT_TRUE(kxt::spit(s.path("channel_definition.xml"), many_udp_channels(5000)));
  ASSERT_TRUE(s.start());
  // The inputs keep starting behind start-up; the server is up long before the last one.
  ASSERT_TRUE(s.wait_output("Kestrix Panel URL: http://", 180000)) << s.output();
  EXPECT_EQ(s.output().find("syntax error"), std::string::npos);
  EXPECT_NE(s.file("log/system.log").find("There are 5000 active channels...\n"), std::string::npos);
  // The streaming server answers while the inputs are still starting.
  const std::string cmd = "curl -s --max-time 20 -o /dev/null -w '%{http_code}' 'http://127.0.0.1:" +
                          std::to_string(s.http_port) + "/nothing.ts'; exit 0";
  EXPECT_EQ(kxt::run_tool({"/bin/sh", "-c", cmd}, 30000), "404");
  // A player of a channel that is already up is served while the rest keep starting.
  std::atomic<bool> stop_feed{false};
  std::thread feeder(feed_udp, 20000, std::cref(stop_feed));
  EXPECT_TRUE(s.wait_file("log/admin_system.log", "CH [1]: Get UDP Packet from IP [127.0.0.1] Port No [20000]\n", 30000));
  const std::string play = "curl -s --max-time 5 -o /dev/null -w '%{http_code} %{size_download}' 'http://127.0.0.1:" +
                           std::to_string(s.http_port) + "/1.ch'; exit 0";
  const std::string got = kxt::run_tool({"/bin/sh", "-c", play}, 30000);
  stop_feed.store(true);
  feeder.join();
  EXPECT_EQ(got.rfind("200 ", 0), 0u) << got;
  EXPECT_GT(std::atol(got.substr(got.find(' ') + 1).c_str()), 10000) << got;
  EXPECT_EQ(s.stop(120000), 0);
  const std::string log = s.file("log/system.log");
  EXPECT_NE(log.find("IPTV_Channel_ReaderProcess: OUT\n"), std::string::npos);
  EXPECT_EQ(kxt::count_of(log, "piaKestrix_Uninit finished\n"), 1);
}

TEST(Startup, SigtermDuringStartupEndsItCleanly) {
  Server s;
  ASSERT_TRUE(kxt::spit(s.path("channel_definition.xml"), many_udp_channels(2000)));
  ASSERT_TRUE(s.start());
  // Start-up is under way once the catalogue is in: the channel inputs start next.
  ASSERT_TRUE(s.wait_file("log/system.log", "There are 2000 active channels...\n", 120000));
  EXPECT_EQ(s.stop(120000), 0);
  EXPECT_NE(s.output().find("Kestrix finished to shutdown"), std::string::npos);
  const std::string log = s.file("log/system.log");
  EXPECT_EQ(kxt::count_of(log, "piaKestrix_Uninit finished\n"), 1);
  // Cut short (the channels get seconds to connect before the servers start), it never
  // claims to have started.
  EXPECT_EQ(s.output().find("Kestrix Panel URL:"), std::string::npos) << s.output();
  EXPECT_NE(log.find("System Message: start-up stopped by a shutdown\n"), std::string::npos);
}
