// The file data threads in process: each sends exactly the byte range it was given
// (never past the file, from exactly the first byte asked), ends by itself at the end of
// the range, and a file without a bit rate is sent unpaced even with pacing configured.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/os/file.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "http/http_server.h"
#include "players/player_session.h"
#include "support/harness.h"

namespace {

struct ThreadCase {
  const char* name;
  kx::ThreadRoutine routine;
  const char* file;  // the name decides the pacing of the media thread
};

struct RangeCase {
  int64_t start, end;  // as the command thread set them (end one past the last byte)
};

// Deterministic bytes in TS packets without clock references (PID 256, payload only),
// so the PCR scan has packets to look at but nothing to pace by.
std::string file_bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = i % 188;
    s[i] = k == 0 ? '\x47' : k == 1 ? '\x01' : k == 2 ? '\x00' : k == 3 ? static_cast<char>(0x10 | (i / 188 % 16))
                                                                     : static_cast<char>((i * 131 + 7) % 251);
  }
  return s;
}

// Runs one thread over one range; the bytes the player got.
std::string run(const ThreadCase& t, const std::string& path, RangeCase r, int64_t timeout_ms, bool& ended) {
  auto* s = new kx::PlayerSession;
  int sv[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  s->sock.store(sv[0]);
  EXPECT_TRUE(s->open_file.open(path, kx::File::kRead));
  s->range_start = r.start;
  s->range_end = r.end;
  kx::set_field(s->watching, path.c_str());
  kx::ThreadRecord* th = kx::create_thread(t.routine, s, "file");
  std::string got;
  char buf[65536];
  const int64_t end = kx::mono_ms() + timeout_ms;
  for (;;) {
    const ssize_t n = ::recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 || kx::mono_ms() > end) break;
    kx::sleep_ms(2);
  }
  // The socket closes before the thread's last steps: give it time to end by itself.
  ended = kxt::wait_until([&] { return kx::thread_done(th); }, 10000);
  s->stop.store(1);
  EXPECT_TRUE(kx::join_thread(th, 20000));
  kx::http_players().take_back(*s);
  EXPECT_EQ(s->sock.load(), -1);
  EXPECT_FALSE(s->open_file.is_open());
  delete s;
  ::close(sv[1]);
  return got;
}

class PacingFileThread : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(PacingFileThread, SendsExactlyTheRange) {
  const ThreadCase& t = GetParam();
  kxt::TempDir dir;
  const std::string data = file_bytes(50000);
  const std::string path = dir / t.file;
  kxt::spit(path, data);
  const int64_t size = static_cast<int64_t>(data.size());
  for (const RangeCase r : {RangeCase{0, size}, RangeCase{1000, 2000}, RangeCase{1001, size},
                            RangeCase{12345, size + 5000}, RangeCase{size + 10, size + 20}, RangeCase{7, 7}}) {
    bool ended = false;
    const std::string got = run(t, path, r, 10000, ended);
    const int64_t to = std::min(r.end, size);
    const std::string want = r.start < to ? data.substr(static_cast<std::size_t>(r.start),
                                                        static_cast<std::size_t>(to - r.start))
                                          : std::string();
    EXPECT_EQ(got.size(), want.size()) << r.start << "-" << r.end;
    EXPECT_TRUE(got == want) << r.start << "-" << r.end;
    EXPECT_TRUE(ended) << r.start << "-" << r.end << ": the thread did not end at the range end";
  }
}

// Pacing switched on (bitrate_constant 0) for a file whose bit rate cannot be found: a
// bit rate of 0 means no pacing, so the whole file still goes out at once.
TEST_P(PacingFileThread, NoBitRateMeansNoPacing) {
  const ThreadCase& t = GetParam();
  kx::Config saved = *kx::config();
  kx::Config c = saved;
  c.v[static_cast<int>(kx::Key::bitrate_constant)].f = 0.0f;
  kx::config_publish(c);
  kxt::TempDir dir;
  const std::string data = file_bytes(200000);
  kxt::spit(dir / t.file, data);
  bool ended = false;
  const int64_t t0 = kx::mono_ms();
  const std::string got = run(t, dir / t.file, {0, static_cast<int64_t>(data.size())}, 20000, ended);
  kx::config_publish(saved);
  EXPECT_TRUE(got == data);
  EXPECT_TRUE(ended);
  EXPECT_LT(kx::mono_ms() - t0, 15000);
}

INSTANTIATE_TEST_SUITE_P(
    PacingTable, PacingFileThread,
    ::testing::Values(ThreadCase{"Plain", kx::HTTPDataThread, "picture.png"},
                      ThreadCase{"Media", kx::HTTPMediaDataThread, "clip.ts"},
                      ThreadCase{"Mp4", kx::IPTV_PS_HTTP_DataThread, "movie.mp4"},
                      ThreadCase{"Flv", kx::IPTV_FLV_HTTP_DataThread, "movie.flv"},
                      ThreadCase{"Avi", kx::VOD_AVI_HTTP_DataThread, "movie.avi"},
                      ThreadCase{"Mkv", kx::VOD_MKV_HTTP_DataThread, "movie.mkv"}),
    [](const ::testing::TestParamInfo<ThreadCase>& i) { return std::string(i.param.name); });

}  // namespace
