// The RTMP pull input end to end: Debian's nginx with its RTMP module runs on a free
// loopback port with a configuration of the test's own, ffmpeg publishes a short looped
// clip to it, and a channel rtmp://127.0.0.1:PORT/live/NAME pulls it. kestrix_ringdump
// dumps the channel's FLV tag ring, which must play as H.264 and AAC; the real server
// must turn the channel on, and on again after nginx was killed and started anew, and
// serve it to HTTP players as FLV and as TS.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/os/process.h"
#include "core/os/time.h"
#include "net/socket.h"
#include "support/harness.h"

namespace {

using kxt::count_of;
using kxt::spawn_logged;

const char* kNginx = "/usr/sbin/nginx";
const char* kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

bool have_tools() {
  return ::access(kNginx, X_OK) == 0 && ::access(kRtmpModule, R_OK) == 0 &&
         kxt::run_tool({"ffmpeg", "-version"}, 10000) != "<failed>";
}

// Four seconds of a test picture and a tone as FLV (H.264 and AAC), made once per run.
const std::string& clip() {
  static kxt::TempDir dir;
  static std::string path;
  if (path.empty() && have_tools()) {
    const std::string p = dir / "clip.flv";
    const std::string r = kxt::run_tool(
        {"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi",
         "-i", "sine=sample_rate=44100", "-t", "4", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-pix_fmt",
         "yuv420p", "-c:a", "aac", "-b:a", "64k", "-f", "flv", p},
        120000);
    if (r != "<failed>" && !kxt::slurp(p).empty()) path = p;
  }
  return path;
}

// nginx in the foreground, one process, with an RTMP application "live" on 127.0.0.1:port;
// everything it writes stays in its own folder.
class Nginx {
 public:
  explicit Nginx(int port) : port_(port) {
    kxt::spit(dir_ / "nginx.conf",
              std::string("load_module ") + kRtmpModule + ";\n" +
                  "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                  "error_log " + (dir_ / "error.log") + " info;\n"
                  "pid " + (dir_ / "nginx.pid") + ";\n"
                  "events { worker_connections 64; }\n"
                  "rtmp { server { listen 127.0.0.1:" + std::to_string(port) +
                  "; application live { live on; } } }\n");
  }
  ~Nginx() { stop(); }
  bool start() {
    return spawn_logged(proc_, {kNginx, "-p", dir_.path(), "-e", dir_ / "error.log", "-c", dir_ / "nginx.conf"},
                        dir_ / "stderr.log") &&
           kxt::wait_until([this] { return listening(); }, 15000);
  }
  void kill() {
    proc_.kill();
    proc_.wait(10000);
  }
  void stop() { proc_.stop(3000); }
  std::string log() const { return kxt::slurp(dir_ / "error.log") + kxt::slurp(dir_ / "stderr.log"); }
  std::string url(const std::string& name) const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + name; }

 private:
  // The port takes a connection (nginx lets the probe go at once).
  bool listening() const {
    kx::Socket probe;
    return kx::tcp_connect("127.0.0.1", port_, 1000, nullptr, probe) == 1;
  }
  int port_;
  kxt::TempDir dir_;
  kx::Process proc_;
};

// ffmpeg publishing the clip, looped, in real time.
bool publish(kx::Process& p, const std::string& url, const std::string& log) {
  return spawn_logged(p,
                      {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re", "-stream_loop", "-1", "-i", clip(),
                       "-c", "copy", "-f", "flv", url},
                      log);
}

class RtmpInput : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_tools() || clip().empty()) GTEST_SKIP() << "nginx with its RTMP module and ffmpeg are needed";
    std::srand(static_cast<unsigned>(::getpid() ^ kx::mono_ms()));
    port_ = kxt::free_port();
    ASSERT_GT(port_, 0);
    nginx_ = std::make_unique<Nginx>(port_);
    ASSERT_TRUE(nginx_->start()) << nginx_->log();
    ASSERT_TRUE(publish(feed_, nginx_->url("news"), tmp_ / "feed.err"));
  }
  void TearDown() override {
    feed_.stop(3000);
    nginx_.reset();
  }
  static std::string channel_xml(const std::string& src) {
    return kxt::kXmlDecl + "<ch src=\"" + src + "\" tolerance=\"0\" category=\"Test\">RTMP</ch>\r\n";
  }

  int port_ = 0;
  kxt::TempDir tmp_;
  std::unique_ptr<Nginx> nginx_;
  kx::Process feed_;
};

// The designed steps in the log, the decoder set-up found, and an FLV that plays.
TEST_F(RtmpInput, PullsAndConverts) {
  kxt::TempDir work;
  kxt::copy_tree(std::string(KX_SOURCE_DIR) + "/demo", work.path());
  kxt::spit(work / "channel_definition.xml", channel_xml(nginx_->url("news")));
  const std::string dump = work / "dump.flv";
  const std::string out = kxt::run_tool({KX_RINGDUMP_BINARY, work.path(), "1", dump, "300000", "40", "flv"}, 60000);
  const std::string log = kxt::slurp(work / "log/admin_system.log");
  ASSERT_NE(out, "<failed>") << log << nginx_->log() << kxt::slurp(tmp_ / "feed.err");
  for (const char* line : {"CH [1]: RTMP Input Starting\n", "CH [1]: RTMP Protocol Init. Step1 Sucessfully\n",
                           "CH [1]: RTMP Protocol Init. Step 2 Sucessfully\n", "Send Connect command\n",
                           "Send createStream command\n", "Send rtmp play command\n", "CH [1] Get SPS and PPS Stream [",
                           "CH [1] Audio Channel No [1], Sample Frequency Index [4]\n", "CH [1] Audio Config = [0xaf 0x0 0x12 0x8",
                           "CH [1]: RTMP Input is ON\n"})
    EXPECT_GE(count_of(log, line), 1) << line << "\n" << log;
  ASSERT_GE(kxt::slurp(dump).size(), 300000u) << log;
  const std::string probe =
      kxt::run_tool({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width", "-of", "csv=p=0", dump});
  EXPECT_NE(probe.find("h264,320"), std::string::npos) << probe;
  EXPECT_NE(probe.find("aac"), std::string::npos) << probe;
  const std::string decode =
      kxt::run_tool({"/bin/sh", "-c", "exec ffmpeg -nostdin -v error -i \"$0\" -f null - 2>&1", dump}, 60000);
  EXPECT_EQ(decode, "") << decode;
}

// The real server: the channel turns on, loses its source when nginx is killed, logs the
// restart and turns on again once nginx and the publisher are back.
TEST_F(RtmpInput, ReconnectsAfterTheServerIsGone) {
  kxt::Server s;
  s.set("user_authorization", "0");
  s.set("channel_reconnection_interval", "1");
  kxt::spit(s.path("channel_definition.xml"), channel_xml(nginx_->url("news")));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s.output();
  auto admin = [&s] { return s.file("log/admin_system.log"); };
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "CH [1]: RTMP Input is ON\n", 40000)) << admin() << nginx_->log();

  nginx_->kill();
  feed_.stop(3000);
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "CH [1] : RTMP Channel is closing\n", 20000)) << admin();
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "CH [1] : Restart RTMP Connection\n", 20000)) << admin();

  ASSERT_TRUE(nginx_->start()) << nginx_->log();
  ASSERT_TRUE(publish(feed_, nginx_->url("news"), tmp_ / "feed2.err"));
  ASSERT_TRUE(kxt::wait_until([&] { return count_of(admin(), "CH [1]: RTMP Input is ON\n") >= 2; }, 60000))
      << admin() << nginx_->log();
  EXPECT_EQ(count_of(admin(), "CH [1] : RTMP Channel Closed\n"), 0) << admin();

  // Players get the pulled stream over HTTP, as FLV and as TS made from its tags.
  for (const std::string path : {"/1.ch", "/1.ch?muxer=ts"}) {
    const std::string url = "http://127.0.0.1:" + std::to_string(s.http_port) + path;
    const std::string probe =
        kxt::run_tool({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0", url}, 60000);
    EXPECT_NE(probe.find("h264"), std::string::npos) << path << ": " << probe << admin() << s.file("log/system.log");
    EXPECT_NE(probe.find("aac"), std::string::npos) << path << ": " << probe;
  }
  EXPECT_EQ(s.stop(), 0);
}

}  // namespace
