// Bit rates estimated from file contents.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "movies/probe.h"
#include "movies/probe_cache.h"
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

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

// A version 0 movie header of the given length at 1000 units per second.
std::string mvhd(uint32_t ms) {
  std::string body = be32(0) + be32(0) + be32(0) + be32(1000) + be32(ms) + be32(0x00010000) +
                     std::string("\x01\x00", 2) + std::string(70, '\0') + be32(2);
  return be32(static_cast<uint32_t>(8 + body.size())) + "mvhd" + body;
}

void write_at(const std::string& path, std::size_t at, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(MovieProbeCache, KeptPerFileUntilItsSizeOrTimeChanges) {
  kxt::TempDir dir;
  const std::string path = dir / "film.mp4";
  kxt::spit(path, std::string(64 << 10, 'x'));
  write_at(path, 100, mvhd(10000));
  kx::probe_cache_clear();
  EXPECT_EQ(kx::cached_mp4_duration(path), 10.0);
  EXPECT_EQ(kx::probe_cache_size(), 1);
  // The same size and modification time: the kept result, without reading the file.
  const auto when = std::filesystem::last_write_time(path);
  write_at(path, 100, mvhd(20000));
  std::filesystem::last_write_time(path, when);
  EXPECT_EQ(kx::cached_mp4_duration(path), 10.0);
  // A new modification time: probed again.
  std::filesystem::last_write_time(path, when + std::chrono::seconds(5));
  EXPECT_EQ(kx::cached_mp4_duration(path), 20.0);
  // A missing file is never kept.
  EXPECT_EQ(kx::cached_mp4_duration(dir / "missing.mp4"), 0.0);
  EXPECT_EQ(kx::probe_cache_size(), 1);
  // The FLV and bit-rate answers are kept beside it, each in its own entry.
  double seconds = -1, kbit = -1;
  EXPECT_FALSE(kx::cached_flv_info(path, seconds, kbit));
  EXPECT_EQ(seconds, 0.0);
  EXPECT_EQ(kbit, 0.0);
  EXPECT_EQ(kx::cached_kbitrate(path), kx::probe_kbitrate(path));
  EXPECT_EQ(kx::probe_cache_size(), 3);
}

TEST(MovieProbeCache, HugeFileWithoutHeaderAnswersFromItsEnds) {
  // A sparse 4 GiB file: without the bound the search would read all of it backwards.
  kxt::TempDir dir;
  const std::string path = dir / "big.mpg";
  {
    std::ofstream f(path, std::ios::binary);
    f.seekp((std::streamoff{4} << 30) - 1);
    f.put('\0');
  }
  kx::probe_cache_clear();
  EXPECT_EQ(kx::cached_mp4_duration(path), 0.0);
  EXPECT_EQ(kx::probe_cache_size(), 1);
}

}  // namespace
