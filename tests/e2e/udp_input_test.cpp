// The UDP/RTP input against real ffmpeg senders: what kestrix_ringdump reads from the
// channel's ring must be a byte-exact piece of what ffmpeg sent, decodable, with no
// continuity errors; silence reopens the socket; multicast runs only inside a network
// namespace of the test's own.
//
// How the sent bytes are known exactly: ffmpeg reads a prepared .ts file with its raw TS
// demuxer (mpegtsraw), which hands the file on unchanged, 188 bytes at a time, timed by
// the file's PCR (compute_pcr) so -re paces it in real time. With -c copy the "data"
// muxer writes those bytes to UDP as they are (datagrams of pkt_size bytes, 1472 unless
// told), and the "rtp" muxer puts them into RTP packets of 7 TS packets each (MP2T,
// payload type 33, the same packets the rtp_mpegts muxer produces). No remuxing happens,
// so the file itself is the reference. The file starts at its first packet that carries
// a PCR: the packets before it would get a timestamp of their own and make -re pause.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "core/os/file.h"
#include "core/os/process.h"
#include "core/os/time.h"
#include "support/harness.h"

namespace {

using kxt::child_env;
using kxt::spawn_logged;
using kxt::count_of;

int64_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// A port free for UDP as well: the inputs share ports with address reuse, so a port
// another test's input holds would bind without complaint and mix the streams. Probed
// without reuse, such a port fails to bind.
int free_udp_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int port = kxt::free_port();
    if (port <= 0) continue;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return port;
  }
  return 0;
}

// The first TS packet with a PCR in its adaptation field; -1 when none.
long first_pcr_packet(const std::string& ts) {
  for (std::size_t i = 0; i + 188 <= ts.size(); i += 188) {
    const auto* p = reinterpret_cast<const uint8_t*>(ts.data() + i);
    if (p[0] != 0x47) return -1;
    if ((p[3] & 0x20) && p[4] > 0 && (p[5] & 0x10)) return static_cast<long>(i);
  }
  return -1;
}

class UdpInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Tests run as separate processes at the same time pick different ports.
    std::srand(static_cast<unsigned>(::getpid() ^ kx::mono_ms()));
    media_ = new kxt::TempDir();
    const std::string fixture = *media_ / "fixture.ts";
    // 6 s of a test picture and a tone, H.264 and AAC in MPEG-TS: about 680 KB.
    std::string r = kxt::run_tool({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                   "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i",
                                   "sine=frequency=440:sample_rate=48000", "-t", "6", "-c:v", "libx264",
                                   "-preset", "ultrafast", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac",
                                   "-b:a", "64k", "-f", "mpegts", fixture},
                                  120000);
    if (r == "<failed>") return;
    const std::string ts = kxt::slurp(fixture);
    const long start = first_pcr_packet(ts);
    if (start < 0) return;
    send_ = ts.substr(static_cast<std::size_t>(start));
    kxt::spit(*media_ / "send.ts", send_);
    // About 1.7 s of the same stream, for the tests that need a sender to stop early.
    short_ = send_.substr(0, 150 * 1316);
    kxt::spit(*media_ / "short.ts", short_);
  }
  static void TearDownTestSuite() {
    delete media_;
    media_ = nullptr;
  }

  void SetUp() override {
    if (send_.empty()) GTEST_SKIP() << "ffmpeg with libx264 is needed to make the test stream";
    port_ = free_udp_port();
    ASSERT_GT(port_, 0);
  }

  static std::string send_path() { return *media_ / "send.ts"; }
  static std::string short_path() { return *media_ / "short.ts"; }

  // A working directory for kestrix_ringdump: the demo files with one channel.
  void make_workdir(const std::string& src) {
    kxt::copy_tree(std::string(KX_SOURCE_DIR) + "/demo", work_.path());
    kxt::spit(work_ / "channel_definition.xml",
              "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"" + src +
                  "\" category=\"Test\">Test</ch>\r\n");
  }
  std::string admin_log() const { return kxt::slurp(work_ / "log/admin_system.log"); }
  bool wait_log(const std::string& text, int times = 1, int64_t timeout_ms = 20000) const {
    return kxt::wait_until([&] { return count_of(admin_log(), text) >= times; }, timeout_ms);
  }

  bool start_ringdump(int64_t want, int seconds) {
    return spawn_logged(ringdump_,
                        {KX_RINGDUMP_BINARY, work_.path(), "1", dump(), std::to_string(want), std::to_string(seconds)},
                        work_ / "ringdump.err");
  }
  // ffmpeg sends a file as it is: raw TS in, raw bytes (or RTP packets of them) out.
  bool start_sender(kx::Process& p, const std::string& file, const std::vector<std::string>& out) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re",
                                     "-f", "mpegtsraw", "-compute_pcr", "1", "-i", file, "-map", "0", "-c", "copy"};
    argv.insert(argv.end(), out.begin(), out.end());
    return spawn_logged(p, argv, work_ / "ffmpeg.err");
  }
  std::string dump() const { return work_ / "dump.ts"; }

  // The dump is a piece of sent, from its first packet, at least want bytes long, and
  // plays: ffprobe finds both streams and ffmpeg reports no continuity errors.
  void expect_clean_slice(const std::string& sent, int64_t want) {
    const std::string d = kxt::slurp(dump());
    ASSERT_GE(static_cast<int64_t>(d.size()), want) << kxt::slurp(work_ / "ringdump.err") << admin_log();
    EXPECT_EQ(d.size() % 188, 0u);
    EXPECT_EQ(sent.find(d), 0u) << "not a byte-exact piece of the stream sent";
    expect_plays(dump());
  }
  static void expect_plays(const std::string& file) {
    std::string log = kxt::run_tool({"/bin/sh", "-c", "exec ffmpeg -nostdin -v debug -i \"$0\" -f null - 2>&1", file},
                                    60000);
    ASSERT_NE(log, "<failed>");
    EXPECT_NE(log.find("Stream #0"), std::string::npos);
    EXPECT_EQ(count_of(log, "Continuity check failed"), 0);
    std::string probe = kxt::run_tool({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of",
                                       "csv=p=0", file});
    EXPECT_NE(probe.find("h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("aac"), std::string::npos) << probe;
  }

  // Runs one channel src against one sender and checks the dump.
  void dump_one_stream(const std::string& src, const std::string& opened, const std::vector<std::string>& out,
                       int64_t want) {
    make_workdir(src);
    ASSERT_TRUE(start_ringdump(want, 40));
    ASSERT_TRUE(wait_log(opened)) << admin_log();
    kx::Process sender;
    ASSERT_TRUE(start_sender(sender, send_path(), out));
    int code = -1;
    ASSERT_TRUE(ringdump_.wait(45000, &code));
    EXPECT_EQ(code, 0) << kxt::slurp(work_ / "ringdump.err") << admin_log();
    EXPECT_TRUE(sender.wait(30000, &code));
    EXPECT_EQ(code, 0) << kxt::slurp(work_ / "ffmpeg.err");
    expect_clean_slice(send_, want);
  }

  void TearDown() override {
    ringdump_.stop(2000);
  }

  static kxt::TempDir* media_;
  static std::string send_, short_;
  kxt::TempDir work_;
  kx::Process ringdump_;
  int port_ = 0;
};

kxt::TempDir* UdpInput::media_ = nullptr;
std::string UdpInput::send_;
std::string UdpInput::short_;

TEST_F(UdpInput, AlignedDatagramsOf1316Bytes) {
  const std::string p = std::to_string(port_);
  dump_one_stream("udp://@:" + p, "CH [1]: UDP Media Source Port No [" + p + "]",
                  {"-flush_packets", "0", "-f", "data", "udp://127.0.0.1:" + p + "?pkt_size=1316"},
                  static_cast<int64_t>(send_.size()));
  EXPECT_NE(admin_log().find("CH [1]: Get UDP Packet from Port No [" + p + "]\n"), std::string::npos);
}

// ffmpeg's default: 1472-byte datagrams, 7 packets and 156 bytes each.
TEST_F(UdpInput, DefaultDatagramsOf1472BytesAreRealigned) {
  const std::string p = std::to_string(port_);
  dump_one_stream("udp://@:" + p, "CH [1]: UDP Media Source Port No [" + p + "]",
                  {"-flush_packets", "0", "-f", "data", "udp://127.0.0.1:" + p},
                  static_cast<int64_t>(send_.size()));
}

TEST_F(UdpInput, RtpPacketsGiveTheirPayload) {
  const std::string p = std::to_string(port_);
  // The muxer sends only full packets of 7 TS packets: the last few are never sent.
  dump_one_stream("rtp://" + p, "CH [1]: RTP Media Source Port No [" + p + "]",
                  {"-f", "rtp", "rtp://127.0.0.1:" + p}, static_cast<int64_t>(send_.size()) - 2 * 1316);
  EXPECT_NE(admin_log().find("CH [1]: Get RTP Packet from Port No [" + p + "]\n"), std::string::npos);
}

// ffmpeg's own MPEG-TS over RTP muxer (a fresh mux, so only that it plays is checked).
TEST_F(UdpInput, RtpMpegtsMuxerStreamPlays) {
  const std::string p = std::to_string(port_);
  make_workdir("rtp://" + p);
  const int64_t want = 100000;
  ASSERT_TRUE(start_ringdump(want, 30));
  ASSERT_TRUE(wait_log("CH [1]: RTP Media Source Port No [" + p + "]")) << admin_log();
  kx::Process sender;
  ASSERT_TRUE(spawn_logged(sender,
                           {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re", "-t", "2.5", "-i", send_path(),
                            "-map", "0", "-c", "copy", "-f", "rtp_mpegts", "rtp://127.0.0.1:" + p},
                           work_ / "ffmpeg.err"));
  int code = -1;
  ASSERT_TRUE(ringdump_.wait(35000, &code));
  EXPECT_EQ(code, 0) << kxt::slurp(work_ / "ringdump.err") << admin_log();
  EXPECT_GE(file_size(dump()), want);
  EXPECT_EQ(file_size(dump()) % 188, 0);
  expect_plays(dump());
}

// "udp://A:P" with a unicast A: the socket is bound, not joined (a join would fail).
TEST_F(UdpInput, UnicastAddressIsBoundNotJoined) {
  const std::string p = std::to_string(port_);
  make_workdir("udp://127.0.0.1:" + p);
  ASSERT_TRUE(start_ringdump(static_cast<int64_t>(short_.size()), 30));
  ASSERT_TRUE(wait_log("CH [1]: UDP Media Source IP [127.0.0.1] Port No [" + p + "]\n")) << admin_log();
  kx::Process sender;
  ASSERT_TRUE(start_sender(sender, short_path(), {"-flush_packets", "0", "-f", "data", "udp://127.0.0.1:" + p}));
  int code = -1;
  ASSERT_TRUE(ringdump_.wait(35000, &code));
  EXPECT_EQ(code, 0) << kxt::slurp(work_ / "ringdump.err") << admin_log();
  EXPECT_EQ(kxt::slurp(dump()), short_);
  EXPECT_EQ(kxt::slurp(work_ / "log/system.log").find("IP_ADD_MEMBERSHIP"), std::string::npos);
}

// Port 0 is no source: never opened, never connected, and the next source URL is tried
// after the reconnection delay.
TEST_F(UdpInput, PortZeroIsNeverConnected) {
  make_workdir("udp://@:0");
  ASSERT_TRUE(start_ringdump(1, 3));
  int code = -1;
  ASSERT_TRUE(ringdump_.wait(20000, &code));
  EXPECT_EQ(code, 2) << "no data";
  const std::string log = admin_log();
  EXPECT_NE(log.find("CH [1]: Failed in UDP Media Source Port No [0]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("CH [1]: reconnect it after ["), std::string::npos) << log;
  EXPECT_EQ(log.find("]: CH [1]: UDP Media Source Port No"), std::string::npos) << log;
  EXPECT_EQ(log.find("Get UDP Packet"), std::string::npos) << log;
}

// Ten seconds of silence: the "No Video Input" warning, the socket reopened, and the next
// sender read into the same ring.
TEST_F(UdpInput, SilenceReopensTheSocketAndANewSenderIsRead) {
  const std::string p = std::to_string(port_);
  const std::string opened = "CH [1]: UDP Media Source Port No [" + p + "]";
  const std::string got = "CH [1]: Get UDP Packet from Port No [" + p + "]";
  make_workdir("udp://@:" + p);
  ASSERT_TRUE(start_ringdump(int64_t{1} << 40, 90));
  ASSERT_TRUE(wait_log(opened)) << admin_log();

  kx::Process first;
  ASSERT_TRUE(start_sender(first, short_path(), {"-flush_packets", "0", "-f", "data", "udp://127.0.0.1:" + p}));
  int code = -1;
  ASSERT_TRUE(first.wait(30000, &code));
  ASSERT_EQ(code, 0) << kxt::slurp(work_ / "ffmpeg.err");
  const int64_t stopped = kx::mono_ms();
  ASSERT_TRUE(wait_log("No Video Input", 1, 25000)) << admin_log();
  const int64_t silent_ms = kx::mono_ms() - stopped;
  EXPECT_GE(silent_ms, 8000);
  EXPECT_LE(silent_ms, 20000);
  EXPECT_TRUE(std::regex_search(admin_log(), std::regex(R"(Warning \[\d+\] : CH \[1\]: No Video Input\n)")))
      << admin_log();
  ASSERT_TRUE(wait_log(opened, 2, 10000)) << admin_log();
  // Everything the first sender sent is in the ring.
  EXPECT_EQ(kxt::slurp(dump()), short_);

  kx::Process second;
  ASSERT_TRUE(start_sender(second, short_path(), {"-flush_packets", "0", "-f", "data", "udp://127.0.0.1:" + p}));
  ASSERT_TRUE(wait_log(got, 2)) << admin_log();
  EXPECT_TRUE(second.wait(30000, &code));
  const int64_t both = 2 * static_cast<int64_t>(short_.size());
  EXPECT_TRUE(kxt::wait_until([&] { return file_size(dump()) >= both; }, 15000)) << file_size(dump());
  ringdump_.kill();
  ringdump_.wait(10000);
  // The two streams back to back (their continuity counters restart, so only bytes count).
  EXPECT_EQ(kxt::slurp(dump()), short_ + short_);
}

// A multicast group, inside a network namespace made for this test only: loopback up
// with a multicast route, ringdump joined to the group, ffmpeg sending to it.
TEST_F(UdpInput, MulticastGroupInOwnNetworkNamespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
  if (!kx::file_exists("/usr/bin/unshare") && !kx::file_exists("/bin/unshare")) GTEST_SKIP() << "no unshare";
  if (kxt::run_tool({"unshare", "-n", "ip", "link", "set", "lo", "up"}) == "<failed>")
    GTEST_SKIP() << "cannot make a network namespace here";

  const std::string p = std::to_string(port_);
  make_workdir("udp://@239.255.0.1:" + p);
  const int64_t want = static_cast<int64_t>(send_.size());
  const std::string script = work_ / "multicast.sh";
  kxt::spit(script,
            "set -u\n"
            "ringdump=$1 work=$2 dump=$3 want=$4 send=$5 port=$6\n"
            "ip link set lo up || exit 90\n"
            "ip route add 224.0.0.0/4 dev lo || exit 91\n"
            "\"$ringdump\" \"$work\" 1 \"$dump\" \"$want\" 40 2>\"$work/ringdump.err\" & rd=$!\n"
            "i=0\n"
            "while [ $i -lt 200 ] && ! grep -q 'UDP Media Source IP' \"$work/log/admin_system.log\" 2>/dev/null; do\n"
            "  sleep 0.1; i=$((i + 1))\n"
            "done\n"
            "timeout 40 ffmpeg -nostdin -hide_banner -v error -re -f mpegtsraw -compute_pcr 1 -i \"$send\" -map 0 "
            "-c copy -flush_packets 0 -f data \"udp://239.255.0.1:$port?ttl=1&localaddr=127.0.0.1&pkt_size=1316\" "
            "</dev/null 2>\"$work/ffmpeg.err\"\n"
            "wait $rd\n"
            "echo \"ringdump=$?\"\n");
  // Only the namespace's own loopback carries the group: the script never runs outside it.
  const std::string out = kxt::run_tool(
      {"unshare", "-n", "/bin/sh", script, KX_RINGDUMP_BINARY, work_.path(), dump(), std::to_string(want),
       send_path(), p},
      80000);
  EXPECT_EQ(out, "ringdump=0\n") << kxt::slurp(work_ / "ringdump.err") << kxt::slurp(work_ / "ffmpeg.err")
                                 << admin_log();
  EXPECT_NE(admin_log().find("CH [1]: UDP Media Source IP [239.255.0.1] Port No [" + p + "]\n"), std::string::npos);
  EXPECT_NE(admin_log().find("CH [1]: Get UDP Packet from IP [239.255.0.1] Port No [" + p + "]\n"),
            std::string::npos);
  expect_clean_slice(send_, want);
}

// The real server starts the input thread of a UDP channel and reads what ffmpeg sends.
TEST_F(UdpInput, ServerReadsAUdpChannel) {
  const std::string p = std::to_string(port_);
  kxt::Server s;
  kxt::spit(s.path("channel_definition.xml"),
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n<ch src=\"udp://@:" + p +
                "\" category=\"Test\">Test UDP</ch>\r\n");
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_file("log/admin_system.log", "CH [1]: UDP Media Source Port No [" + p + "]\n", 30000))
      << s.output() << s.file("log/admin_system.log");
  kx::Process sender;
  ASSERT_TRUE(start_sender(sender, short_path(), {"-flush_packets", "0", "-f", "data", "udp://127.0.0.1:" + p}));
  EXPECT_TRUE(s.wait_file("log/admin_system.log", "CH [1]: Get UDP Packet from Port No [" + p + "]\n", 20000))
      << s.file("log/admin_system.log");
  sender.stop(2000);
  EXPECT_EQ(s.stop(), 0);
}

}  // namespace
