// Live MPEG-TS over HTTP from the real server: a UDP channel fed by ffmpeg in real time,
// watched by ffprobe and ffmpeg (both streams found, no corrupt packets, no continuity
// errors, real-time speed), and by 200 players that are cut off, after which no viewer
// and no connection slot is left counted. TS files are sent with exactly the bytes asked.
//
// KX_HTTP_LIVE_SECONDS sets how long ffmpeg watches the channel (60 s unless given).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/os/process.h"
#include "core/os/time.h"
#include "support/harness.h"

namespace {

using kxt::child_env;
using kxt::spawn_logged;
using kxt::count_of;
using kxt::last_number_after;

int watch_seconds() {
  const char* v = std::getenv("KX_HTTP_LIVE_SECONDS");
  const int n = v ? std::atoi(v) : 0;
  return n > 0 && n <= 3600 ? n : 60;
}

// A player on a raw socket: asks for the channel and counts what comes back.
struct RawPlayer {
  int fd = -1;
  long got = 0;
  ~RawPlayer() {
    if (fd >= 0) ::close(fd);
  }
  bool open(int port, const std::string& path) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    const std::string req = "GET " + path + " HTTP/1.0\r\nUser-Agent: kxt-player\r\n\r\n";
    return ::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
  }
  // Cut off like a killed process: a reset, no orderly close.
  void kill() {
    if (fd < 0) return;
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
    fd = -1;
  }
};

// Reads from every player until each has more than want bytes; false at the deadline.
bool read_until(std::vector<RawPlayer>& players, long want, int64_t timeout_ms) {
  const int64_t end = kx::mono_ms() + timeout_ms;
  std::vector<char> buf(65536);
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<RawPlayer*> who;
    for (auto& p : players) {
      if (p.fd >= 0 && p.got <= want) {
        fds.push_back({p.fd, POLLIN, 0});
        who.push_back(&p);
      }
    }
    if (fds.empty()) return true;
    const int64_t left = end - kx::mono_ms();
    if (left <= 0) return false;
    if (::poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(left, 200))) < 0) return false;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(fds[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n <= 0) return false;  // the server ended a player it should be streaming to
      who[i]->got += n;
    }
  }
}

class HttpLive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    media_ = new kxt::TempDir();
    // 10 s of a test picture and a tone, H.264 and AAC, looped by the sender.
    const std::string r = kxt::run_tool(
        {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f",
         "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "10", "-c:v", "libx264", "-preset",
         "ultrafast", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-f", "mpegts",
         fixture()},
        120000);
    ok_ = r != "<failed>" && !kxt::slurp(fixture()).empty();
  }
  static void TearDownTestSuite() {
    delete media_;
    media_ = nullptr;
  }
  static std::string fixture() { return *media_ / "fixture.ts"; }

  void SetUp() override {
    if (!ok_) GTEST_SKIP() << "ffmpeg with libx264 is needed to make the test stream";
    udp_port_ = kxt::free_port();
    ASSERT_GT(udp_port_, 0);
  }
  void TearDown() override { feed_.stop(2000); }

  std::string syslog() { return s_.file("log/system.log"); }
  std::string url(const std::string& path = "/1.ch") const {
    return "http://127.0.0.1:" + std::to_string(s_.http_port) + path;
  }

  // The server with one UDP channel, and ffmpeg sending the looped clip to it in real time.
  // extra: more attributes of the channel (a second source, say).
  void start_channel(const std::string& extra = "") {
    const std::string p = std::to_string(udp_port_);
    s_.set("user_authorization", "0");
    kxt::spit(s_.path("channel_definition.xml"), "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://@:" +
                                                      p + "\" " + extra +
                                                      " tolerance=\"0\" category=\"Test\">Test UDP</ch>\r\n");
    ASSERT_TRUE(s_.start());
    ASSERT_TRUE(s_.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s_.output() << syslog();
    ASSERT_TRUE(s_.wait_file("log/admin_system.log", "CH [1]: UDP Media Source Port No [" + p + "]\n", 30000))
        << s_.file("log/admin_system.log");
    ASSERT_TRUE(start_feed(feed_, udp_port_));
    ASSERT_TRUE(s_.wait_file("log/admin_system.log", "CH [1]: Get UDP Packet from Port No [" + p + "]\n", 20000))
        << s_.file("log/admin_system.log") << kxt::slurp(s_.path("feed.err"));
  }
  bool start_feed(kx::Process& feed, int port) {
    return spawn_logged(feed,
                        {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re", "-stream_loop", "-1", "-i",
                         fixture(), "-map", "0", "-c", "copy", "-f", "mpegts",
                         "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316"},
                        s_.path("feed.err"));
  }

  static kxt::TempDir* media_;
  static bool ok_;
  kxt::Server s_;
  kx::Process feed_;
  int udp_port_ = 0;
};

kxt::TempDir* HttpLive::media_ = nullptr;
bool HttpLive::ok_ = false;

TEST_F(HttpLive, ProbeFindsVideoAndAudio) {
  start_channel();
  const std::string probe =
      kxt::run_tool({"ffprobe", "-v", "fatal", "-show_entries", "stream=codec_name", "-of", "csv=p=0", url()}, 60000);
  EXPECT_NE(probe.find("h264"), std::string::npos) << probe << syslog();
  EXPECT_NE(probe.find("aac"), std::string::npos) << probe;
  EXPECT_NE(syslog().find("Found Video PAT in Index ["), std::string::npos);
}

// Players joining at different points of the pictures' groups start at a PAT followed by a
// key frame: the decoder reports nothing, not even for the first frames.
TEST_F(HttpLive, PlayersDecodeFromTheFirstFrame) {
  start_channel();
  for (int i = 0; i < 3; ++i) {
    const std::string out = kxt::run_tool(
        {"sh", "-c", "exec ffmpeg -nostdin -hide_banner -v error -i \"$0\" -t 4 -f null - 2>&1", url()}, 60000);
    ASSERT_NE(out, "<failed>") << syslog();
    for (const char* bad : {"non-existing PPS", "decode_slice_header error", "no frame!"})
      EXPECT_EQ(out.find(bad), std::string::npos) << "player " << i << ":\n" << out;
  }
  EXPECT_GE(kxt::count_of(syslog(), "Found Video PAT in Index ["), 3);
}

// A player copying the channel to a file until it has the frames it asked for: it runs to
// that end through a source that goes away and comes back (or is replaced), as long as
// the gap is shorter than player_source_wait.
class SourceGap {
 public:
  SourceGap(kxt::Server& s, const std::string& url, int frames) : s_(s), out_(s.path("watched.ts")) {
    ok_ = spawn_logged(player_,
                       {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-i", url, "-map", "0", "-c", "copy",
                        "-frames:v", std::to_string(frames), "-f", "mpegts", out_},
                       s.path("player.err"));
  }
  ~SourceGap() { player_.stop(2000); }
  bool playing() {
    return ok_ && kxt::wait_until([&] { return kxt::slurp(out_).size() > 100000; }, 30000);
  }
  // The player's own end, and what it wrote.
  void expect_ran_to_its_end(int frames) {
    int code = -1;
    ASSERT_TRUE(player_.wait(120000, &code)) << "the player did not finish";
    EXPECT_EQ(code, 0) << kxt::slurp(s_.path("player.err"));
    const std::string n = kxt::run_tool({"ffprobe", "-v", "error", "-select_streams", "v", "-count_packets",
                                         "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", out_},
                                        60000);
    EXPECT_EQ(std::atoi(n.c_str()), frames) << n;
  }
  kx::Process& player() { return player_; }

 private:
  kxt::Server& s_;
  std::string out_;
  kx::Process player_;
  bool ok_ = false;
};

TEST_F(HttpLive, PlayersRideOutASourceOutage) {
  s_.set("channel_reconnection_interval", "1");
  start_channel();
  SourceGap gap(s_, url(), 500);
  ASSERT_TRUE(gap.playing()) << syslog();
  feed_.stop(2000);
  const int64_t silent_from = kx::mono_ms();
  ASSERT_TRUE(s_.wait_file("log/system.log", "source is off; waiting up to [30000] ms", 40000)) << syslog();
  // The source stays away for 20 s in all; the player is still there when it returns.
  kx::sleep_ms(std::max<int64_t>(0, 20000 - (kx::mono_ms() - silent_from)));
  EXPECT_TRUE(gap.player().running()) << syslog();
  ASSERT_TRUE(start_feed(feed_, udp_port_));
  ASSERT_TRUE(s_.wait_file("log/system.log", "source is back; continuing from [", 40000)) << syslog();
  gap.expect_ran_to_its_end(500);
  EXPECT_EQ(count_of(syslog(), "CH[1] is OFF"), 0) << syslog();
}

TEST_F(HttpLive, PlayersFollowAFailoverToTheSecondSource) {
  // Nothing holds the first port's number as a TCP port, so it may come back: skip it.
  int second = 0;
  for (int i = 0; i < 20 && (second <= 0 || second == udp_port_); ++i) second = kxt::free_port();
  ASSERT_GT(second, 0);
  ASSERT_NE(second, udp_port_);
  s_.set("channel_reconnection_interval", "1");
  start_channel("sr2=\"udp://@:" + std::to_string(second) + "\"");
  SourceGap gap(s_, url(), 400);
  ASSERT_TRUE(gap.playing()) << syslog();
  feed_.stop(2000);
  kx::Process backup;
  ASSERT_TRUE(start_feed(backup, second));
  ASSERT_TRUE(s_.wait_file("log/admin_system.log", "CH [1]: Get UDP Packet from Port No [" + std::to_string(second) +
                                                       "]\n",
                           60000))
      << s_.file("log/admin_system.log");
  gap.expect_ran_to_its_end(400);
  backup.stop(2000);
  EXPECT_EQ(count_of(syslog(), "CH[1] is OFF"), 0) << syslog();
  EXPECT_NE(syslog().find("source is back; continuing from ["), std::string::npos) << syslog();
}

// The player starts at a PAT, gets clean packets all along, and once the buffered start
// is through (the burst, the unslept first seconds, what ffmpeg reads while probing) the
// stream comes at the source's pace: measured from ffmpeg's progress reports as they
// arrive.
TEST_F(HttpLive, PlaysCleanAtRealTime) {
  start_channel();
  const int seconds = watch_seconds();
  const std::string err = s_.path("watch.err");
  kx::Process ff;
  ASSERT_EQ(ff.spawn({"/bin/sh", "-c",
                      "exec ffmpeg -nostdin -hide_banner -v debug -progress pipe:1 -nostats -i \"$0\" -t \"$1\" "
                      "-map 0 -c copy -f null - 2>\"$2\"",
                      url(), std::to_string(seconds), err},
                     child_env(), "", kx::Process::kCaptureStdout),
            1);
  struct Sample {
    int64_t wall_ms, stream_us;
  };
  std::vector<Sample> samples;
  std::string out, line_buf, last_speed;
  const int64_t started = kx::mono_ms(), deadline = started + (seconds * 3 + 60) * 1000;
  char buf[4096];
  for (;;) {
    const int64_t left = deadline - kx::mono_ms();
    ASSERT_GT(left, 0) << "ffmpeg did not finish";
    const int64_t n = ff.read_output(buf, sizeof buf, static_cast<int>(std::min<int64_t>(left, 1000)));
    if (n == 0 || n == -1) break;
    if (n < 0) continue;
    line_buf.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl = line_buf.find('\n'); nl != std::string::npos; nl = line_buf.find('\n')) {
      const std::string line = line_buf.substr(0, nl);
      line_buf.erase(0, nl + 1);
      if (line.rfind("out_time_us=", 0) == 0 && line.size() > 12 && line[12] >= '0' && line[12] <= '9')
        samples.push_back({kx::mono_ms(), std::strtoll(line.c_str() + 12, nullptr, 10)});
      if (line.rfind("speed=", 0) == 0) last_speed = line.substr(6);
    }
  }
  int code = -1;
  ASSERT_TRUE(ff.wait(30000, &code));
  const std::string log = kxt::slurp(err);
  EXPECT_EQ(code, 0) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0) << syslog();
  EXPECT_NE(log.find("Video: h264"), std::string::npos);
  EXPECT_NE(log.find("Audio: aac"), std::string::npos);
  EXPECT_EQ(count_of(log, "Continuity check failed"), 0);
  EXPECT_EQ(count_of(log, "corrupt"), 0);

  // ffmpeg's own figure counts the fast start in; it stays near 1 all the same.
  const double speed = std::strtod(last_speed.c_str(), nullptr);
  EXPECT_GE(speed, 0.9) << last_speed;
  EXPECT_LE(speed, 1.0 + 10.0 / seconds) << last_speed;
  // After the first 8 s of the run, stream time and wall time go on together.
  ASSERT_GE(samples.size(), 4u);
  const Sample* from = nullptr;
  for (const auto& smp : samples) {
    if (smp.wall_ms - started >= 8000) {
      from = &smp;
      break;
    }
  }
  ASSERT_NE(from, nullptr);
  const Sample& to = samples.back();
  ASSERT_GE(to.wall_ms - from->wall_ms, 3000) << "too short a run to measure";
  const double rate = static_cast<double>(to.stream_us - from->stream_us) / 1000.0 /
                      static_cast<double>(to.wall_ms - from->wall_ms);
  RecordProperty("ffmpeg_speed", last_speed);
  RecordProperty("steady_rate_permille", static_cast<int>(rate * 1000));
  EXPECT_GE(rate, 0.9);
  EXPECT_LE(rate, 1.1);
  const std::string sys = syslog();
  EXPECT_NE(sys.find("Video first time=["), std::string::npos);
  EXPECT_EQ(sys.find("NO PAT in Buffer"), std::string::npos);
}

// 200 players on raw sockets and a few curl processes, all cut off while streaming:
// afterwards the channel has no viewer and no connection slot is held.
TEST_F(HttpLive, KilledPlayersLeaveNoCounts) {
  start_channel();
  constexpr int kRaw = 200, kCurl = 5;
  std::vector<RawPlayer> players(kRaw);
  for (auto& p : players) ASSERT_TRUE(p.open(s_.http_port, "/1.ch"));
  ASSERT_TRUE(read_until(players, 20 * 1316, 90000)) << syslog().substr(0, 20000);

  std::vector<kx::Process> curls(kCurl);
  for (auto& c : curls)
    ASSERT_TRUE(spawn_logged(c, {"curl", "-s", "-o", "/dev/null", url()}, s_.path("curl.err")));
  ASSERT_TRUE(kxt::wait_until([&] { return count_of(syslog(), "Start Video Streaming") >= kRaw + kCurl; }, 60000))
      << count_of(syslog(), "Start Video Streaming");

  // Half are reset, half closed in order; the curl processes get SIGKILL.
  for (std::size_t i = 0; i < players.size(); ++i) {
    if (i % 2) {
      players[i].kill();
    } else {
      ::close(players[i].fd);
      players[i].fd = -1;
    }
  }
  for (auto& c : curls) c.kill();
  const std::string closed = "(CH no.[1] Close Socket)";
  ASSERT_TRUE(kxt::wait_until([&] { return count_of(syslog(), closed) >= kRaw + kCurl; }, 90000))
      << count_of(syslog(), closed);

  // One more player after all of them: the counts its end reports include every other end.
  std::vector<RawPlayer> last(1);
  ASSERT_TRUE(last[0].open(s_.http_port, "/1.ch"));
  ASSERT_TRUE(read_until(last, 1316, 30000));
  last[0].kill();
  ASSERT_TRUE(kxt::wait_until([&] { return count_of(syslog(), closed) >= kRaw + kCurl + 1; }, 30000));
  ASSERT_TRUE(kxt::wait_until(
      [&] { return last_number_after(syslog(), "views [") == kRaw + kCurl + 1; }, 10000));
  const std::string sys = syslog();
  EXPECT_EQ(last_number_after(sys, "viewers now ["), 0) << sys.substr(sys.size() > 3000 ? sys.size() - 3000 : 0);
  EXPECT_EQ(last_number_after(sys, "The no. of active players is ["), 0);
  EXPECT_EQ(last_number_after(sys, "The Total Connection is ["), 0);
  EXPECT_EQ(count_of(sys, "HTTPDataThread [0x"), count_of(sys, closed) * 2);  // "IN." and "Start" per player
  EXPECT_EQ(count_of(sys, "] IP [127.0.0.1] stops CH [1]\n"), count_of(sys, closed));
}

// A TS file is sent from exactly the byte asked for to exactly the last one.
TEST_F(HttpLive, TsFileRangesAreExact) {
  const std::string data = kxt::slurp(fixture());
  kxt::spit(s_.path("clip.ts"), data);
  s_.set("user_authorization", "0");
  ASSERT_TRUE(s_.start());
  ASSERT_TRUE(s_.wait_file("log/system.log", "HTTP Server Starting", 30000)) << syslog();
  struct Case {
    std::string range;  // curl -r
    std::size_t from, len;
  };
  const std::size_t size = data.size();
  for (const Case& c : {Case{"", 0, size}, Case{"1000-1999", 1000, 1000}, Case{"1001-", 1001, size - 1001},
                        Case{"0-187", 0, 188}, Case{"12345-" + std::to_string(size + 5000), 12345, size - 12345}}) {
    const std::string out = s_.path("got.ts");
    std::vector<std::string> argv = {"curl", "-s", "-o", out};
    if (!c.range.empty()) {
      argv.push_back("-r");
      argv.push_back(c.range);
    }
    argv.push_back(url("/clip.ts"));
    ASSERT_NE(kxt::run_tool(argv, 60000), "<failed>") << c.range << syslog();
    const std::string got = kxt::slurp(out);
    EXPECT_EQ(got.size(), c.len) << c.range;
    EXPECT_TRUE(got == data.substr(c.from, c.len)) << c.range;
  }
  EXPECT_TRUE(kxt::wait_until([&] { return last_number_after(syslog(), "The Total Connection is [") == 0; }, 10000));
}

}  // namespace
