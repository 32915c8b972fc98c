// Bit rates estimated from file contents.
#include <gtest/gtest.h>

#include <string>

#include "movies/probe.h"
#include "support/harness.h"

namespace {

TEST(MovieProbe, TransportStreamBitrateFromFirstAndLastTimeStamps) {
  const std::string sample = std::string(KX_SOURCE_DIR) + "/demo/media/sample.ts";
  // About 500 KB over 10 s of media.
  const int kbps = kx::ts_bitrate(sample);
  EXPECT_GT(kbps, 250);
  EXPECT_LT(kbps, 600);
  EXPECT_EQ(kx::probe_kbitrate(sample), kbps);
}

TEST(MovieProbe, FallbacksByCase) {
  kxt::TempDir dir;
  kxt::spit(dir / "empty.ts", "");
  kxt::spit(dir / "text.ts", std::string(188 * 4, 'x'));
  std::string one_packet(188, '\xff');
  one_packet[0] = 0x47;
  kxt::spit(dir / "nopts.ts", one_packet);
  struct Case {
    const char* name;
    int ts, probe;
  } cases[] = {
      {"empty.ts", -1, -1},      // nothing to measure
      {"text.ts", 1000, 1000},   // not a transport stream
      {"nopts.ts", 1000, 1000},  // no time stamp at all
      {"missing.ts", 1000, 1000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kx::ts_bitrate(dir / c.name), c.ts) << c.name;
    EXPECT_EQ(kx::probe_kbitrate(dir / c.name), c.probe) << c.name;
  }
  EXPECT_EQ(kx::bitrate_by_extension(dir / "film.avi"), 1024);
  EXPECT_EQ(kx::bitrate_by_extension(dir / "film.mkv"), 1024);
}

}  // namespace
