// FLV over HTTP from the real server: a channel pulled from an HTTP-FLV source (ffmpeg
// serving a looped clip in real time) watched as FLV and as MPEG-TS, and a TS channel
// watched as FLV. ffprobe finds H.264 and AAC in each, ffmpeg copies eight seconds
// without an error, and the FLV answers begin with the file header byte for byte.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "core/os/process.h"
#include "core/os/time.h"
#include "support/harness.h"

namespace {

// The first bytes of every FLV answer: "FLV", version 1, audio and video, a 9-byte
// header, PreviousTagSize0, then the onMetaData script tag (type 18).
const std::string kFlvHead("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00\x12", 14);

// The head of an answer and the first `body` bytes after it, read from a raw socket
// within the time given; what came when the time ran out or the server closed.
std::string first_bytes(int port, const std::string& path, std::size_t body, int64_t timeout_ms) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::string got;
  const std::string req = "GET " + path + " HTTP/1.1\r\nUser-Agent: kxt-player\r\n\r\n";
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
    const int64_t end = kx::mono_ms() + timeout_ms;
    char buf[4096];
    for (;;) {
      const std::size_t head = got.find("\r\n\r\n");
      if (head != std::string::npos && got.size() >= head + 4 + body) break;
      const int64_t left = end - kx::mono_ms();
      if (left <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 200))) < 0) break;
      if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return got;
}

std::string body_of(const std::string& answer) {
  const std::size_t head = answer.find("\r\n\r\n");
  return head == std::string::npos ? "" : answer.substr(head + 4);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

class HttpFlv : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    media_ = new kxt::TempDir();
    // A few seconds of a test picture and a tone, H.264 and AAC, made once: TS, and the
    // same streams in FLV.
    const std::string r = kxt::run_tool(
        {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f",
         "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", "6", "-c:v", "libx264", "-preset",
         "ultrafast", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-f", "mpegts",
         clip("ts")},
        120000);
    const std::string f = kxt::run_tool(
        {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", clip("ts"), "-c", "copy", "-f", "flv", clip("flv")}, 60000);
    ok_ = r != "<failed>" && f != "<failed>" && !kxt::slurp(clip("ts")).empty() && !kxt::slurp(clip("flv")).empty();
  }
  static void TearDownTestSuite() {
    delete media_;
    media_ = nullptr;
  }
  static std::string clip(const std::string& ext) { return *media_ / ("clip." + ext); }

  void SetUp() override {
    if (!ok_) GTEST_SKIP() << "ffmpeg with libx264 and aac is needed to make the test stream";
  }
  void TearDown() override { source_.stop(2000); }

  // The server with one channel pulled over HTTP from ffmpeg, which serves the looped
  // clip in `format` ("flv" or "mpegts") in real time.
  void start_channel(const std::string& format) {
    const int port = kxt::free_port();
    ASSERT_GT(port, 0);
    const std::string ext = format == "flv" ? "flv" : "ts";
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/live." + ext;
    ASSERT_TRUE(kxt::spawn_logged(source_,
                                  {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re", "-stream_loop", "-1",
                                   "-i", clip(ext), "-c", "copy", "-f", format, "-listen", "1", url},
                                  s_.path("source.err")));
    s_.set("user_authorization", "0");
    s_.set("channel_reconnection_interval", "1");
    kxt::spit(s_.path("channel_definition.xml"), kxt::kXmlDecl + "<ch src=\"" + url +
                                                     "\" tolerance=\"0\" category=\"Test\">Test " + ext + "</ch>\r\n");
    ASSERT_TRUE(s_.start());
    ASSERT_TRUE(s_.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s_.output() << syslog();
    const std::string started = format == "flv" ? "CH [1]: Start to receive FLV Stream\n"
                                                : "CH [1]: Start to receive MP2T Stream\n";
    ASSERT_TRUE(s_.wait_file("log/admin_system.log", started, 30000))
        << s_.file("log/admin_system.log") << kxt::slurp(s_.path("source.err"));
  }

  std::string syslog() { return s_.file("log/system.log"); }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(s_.http_port) + path; }

  // ffprobe lists both streams; ffmpeg copies eight seconds and says nothing.
  void expect_plays(const std::string& path) {
    const std::string probe = kxt::run_tool(
        {"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0", url(path)}, 60000);
    EXPECT_NE(probe.find("h264"), std::string::npos) << path << ": " << probe << syslog();
    EXPECT_NE(probe.find("aac"), std::string::npos) << path << ": " << probe;
    const std::string out = kxt::run_tool(
        {"sh", "-c", "ffmpeg -nostdin -hide_banner -v error -i \"$0\" -t 8 -c copy -f null - 2>&1; echo \"rc=$?\"",
         url(path)},
        90000);
    EXPECT_NE(out.find("rc=0\n"), std::string::npos) << path << ": " << out << syslog();
    EXPECT_EQ(lower(out).find("error"), std::string::npos) << path << ": " << out;
  }

  void expect_flv_answer(const std::string& path) {
    const std::string answer = first_bytes(s_.http_port, path, kFlvHead.size(), 30000);
    EXPECT_NE(answer.find("Content-Type: video/x-flv\r\n\r\n"), std::string::npos) << path << ": " << answer;
    EXPECT_EQ(body_of(answer).substr(0, kFlvHead.size()), kFlvHead) << path;
  }

  static kxt::TempDir* media_;
  static bool ok_;
  kxt::Server s_;
  kx::Process source_;
};

kxt::TempDir* HttpFlv::media_ = nullptr;
bool HttpFlv::ok_ = false;

TEST_F(HttpFlv, FlvChannelPlaysAsFlv) {
  start_channel("flv");
  expect_flv_answer("/1.ch");  // an FLV channel's own form
  expect_plays("/1.ch");
  const std::string log = syslog();
  EXPECT_NE(log.find("HTTP Output Streaming Type: FLV Stream\n"), std::string::npos) << log;
  EXPECT_NE(log.find("FLV Keyframe Starting Index=["), std::string::npos) << log;
  EXPECT_NE(log.find("is Video Keyframe\n"), std::string::npos) << log;
  EXPECT_NE(log.find("CH[1] Start Streaming\n"), std::string::npos) << log;
}

TEST_F(HttpFlv, FlvChannelPlaysAsTs) {
  start_channel("flv");
  const std::string answer = first_bytes(s_.http_port, "/1.ch?muxer=ts", 188, 30000);
  EXPECT_NE(answer.find("Content-Type: video/mp2t\r\n\r\n"), std::string::npos) << answer;
  const std::string body = body_of(answer);
  ASSERT_FALSE(body.empty()) << syslog();
  EXPECT_EQ(body[0], '\x47');
  expect_plays("/1.ch?muxer=ts");
  EXPECT_NE(syslog().find("nRTMP_Video_FrameRate=["), std::string::npos);
}

TEST_F(HttpFlv, TsChannelPlaysAsFlv) {
  start_channel("mpegts");
  expect_flv_answer("/1.ch?muxer=flv");
  expect_plays("/ch1.flv");
  const std::string log = syslog();
  EXPECT_NE(log.find("TS to FLV Streaming\n"), std::string::npos) << log;
  EXPECT_NE(log.find("SPS Len is ["), std::string::npos) << log;
}

}  // namespace
