// VLC plays a live channel of the real server: the demo's folder channel (channel 2,
// the sample clip looped) is opened by VLC's command-line player for a bounded time and
// written to a file by VLC's own TS muxer; ffprobe then finds H.264 video and AAC audio
// in what VLC received. VLC refuses to run as root, so as root it runs as user nobody.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/os/process.h"
#include "support/harness.h"

namespace {

constexpr int kRunSeconds = 6;
constexpr int kWallSeconds = 25;

bool have_tool(const std::string& name) {
  return kxt::run_tool({"sh", "-c", "command -v \"$0\" >/dev/null", name}, 10000) != "<failed>";
}

TEST(HttpVlc, PlaysTheFolderChannelWithVideoAndAudio) {
  if (!have_tool("cvlc")) GTEST_SKIP() << "cvlc (Debian packages vlc-bin and vlc-plugin-base) is not installed";
  if (!have_tool("ffprobe")) GTEST_SKIP() << "ffprobe is not installed";
  const bool root = ::geteuid() == 0;
  if (root && !have_tool("setpriv")) GTEST_SKIP() << "setpriv is needed to run VLC as another user than root";

  kxt::Server s;
  s.set("user_authorization", "0");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_file("log/system.log", "HTTP Server Starting", 30000)) << s.output();

  // VLC writes here as nobody: the folder is open to it.
  kxt::TempDir out_dir;
  ASSERT_EQ(::chmod(out_dir.path().c_str(), 0777), 0);
  const std::string out = out_dir / "vlc.ts";
  const std::string log = s.path("vlc.err");
  const std::string url = "http://127.0.0.1:" + std::to_string(s.http_port) + "/2.ch";

  std::vector<std::string> argv = {"/bin/sh", "-c", "log=$1; shift; exec \"$@\" </dev/null >/dev/null 2>\"$log\"",
                                   "sh", log};
  if (root) {
    for (const char* a : {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}) argv.push_back(a);
  }
  for (const std::string& a :
       {std::string("cvlc"), std::string("-I"), std::string("dummy"),
        "--run-time=" + std::to_string(kRunSeconds), std::string("--play-and-exit"), url, std::string("--sout"),
        "#std{access=file,mux=ts,dst=" + out + "}"})
    argv.push_back(a);
  // VLC wants a home for its settings; nobody has none.
  const std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + out_dir.path(),
                                        "XDG_CONFIG_HOME=" + out_dir.path(), "XDG_CACHE_HOME=" + out_dir.path(),
                                        "XDG_DATA_HOME=" + out_dir.path()};
  kx::Process vlc;
  ASSERT_EQ(vlc.spawn(argv, env), 1);
  // --run-time counts stream time, and the clip's time starts again with every round of
  // the loop: joined late in a round, VLC may never see kRunSeconds of it. Then it is
  // asked to quit after a while (it finishes the file), and killed when it does not.
  int code = -1;
  bool ended = vlc.wait(kWallSeconds * 1000LL, &code);
  const bool by_itself = ended;
  if (!ended) {
    vlc.terminate();
    ended = vlc.wait(15000, &code);
    if (!ended) vlc.kill();
  }
  const std::string vlc_log = kxt::slurp(log);
  ASSERT_TRUE(ended) << "VLC did not quit when asked\n" << vlc_log.substr(0, 4000);
  RecordProperty("vlc_ended_by_itself", by_itself ? 1 : 0);
  if (by_itself) {
    EXPECT_EQ(code, 0) << vlc_log.substr(0, 4000);
  }

  const std::string got = kxt::slurp(out);
  ASSERT_GT(got.size(), 100000u) << vlc_log.substr(0, 4000) << s.file("log/system.log").substr(0, 4000);
  const std::string probe =
      kxt::run_tool({"ffprobe", "-v", "error", "-show_entries", "stream=codec_type,codec_name", "-of", "csv=p=0", out},
                    60000);
  EXPECT_NE(probe.find("h264,video"), std::string::npos) << probe;
  EXPECT_NE(probe.find("aac,audio"), std::string::npos) << probe;
  const std::string sys = s.file("log/system.log");
  EXPECT_NE(sys.find("Channel_HTTP_DataThread (CH no.[2], filename=["), std::string::npos) << sys.substr(0, 4000);
}

}  // namespace
