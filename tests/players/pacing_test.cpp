// Pacing of the streams sent to players (PCR rules with tolerance, the unslept start, the
// lag test, forward jumps and clocks going back; bit-rate pacing of files) and the live
// start point: a PAT whose PMT follows, across ring entries, RTP entries and laps.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "players/pacing.h"
#include "players/ts_start.h"
#include "ingest/ring.h"
#include "support/ts_fixture.h"

namespace {

using kx::PcrPaceConfig;
using kx::PcrPacer;
using kx::RatePaceConfig;
using kx::RatePacer;
using kx::RealBuffer;
using kx::RingReader;
using kx::TsScan;
using kx::TsStart;
using kx::TsStartFinder;
using Packet = std::array<uint8_t, 188>;

constexpr uint64_t k27PerMs = 27000;

// ---- packets ----

// A packet of pid with 0xAB payload; with a PCR (27 MHz) in a 7-byte adaptation field.
Packet ts_packet(int pid, int64_t pcr27 = -1) {
  Packet p;
  p.fill(0xAB);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((pid >> 8) & 0x1F);
  p[2] = static_cast<uint8_t>(pid & 0xFF);
  p[3] = 0x10;
  if (pcr27 >= 0) {
    const uint64_t base = static_cast<uint64_t>(pcr27) / 300, ext = static_cast<uint64_t>(pcr27) % 300;
    p[3] = 0x30;
    p[4] = 7;
    p[5] = 0x10;
    p[6] = static_cast<uint8_t>(base >> 25);
    p[7] = static_cast<uint8_t>(base >> 17);
    p[8] = static_cast<uint8_t>(base >> 9);
    p[9] = static_cast<uint8_t>(base >> 1);
    p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1));
    p[11] = static_cast<uint8_t>(ext & 0xFF);
  }
  return p;
}

struct PatShape {
  std::vector<std::pair<int, int>> programs;  // program number, PMT PID
  int pointer = 0;
  int table_id = 0;
  int section_length = -1;  // -1: the right one
  bool payload_start = true;
};

Packet pat_packet(const PatShape& s) {
  Packet p;
  p.fill(0xFF);
  p[0] = 0x47;
  p[1] = s.payload_start ? 0x40 : 0x00;
  p[2] = 0x00;
  p[3] = 0x10;
  p[4] = static_cast<uint8_t>(s.pointer);
  const int sec = 5 + s.pointer;
  if (sec + 8 > 188) return p;
  const int len = s.section_length >= 0 ? s.section_length : 5 + 4 * static_cast<int>(s.programs.size()) + 4;
  p[sec] = static_cast<uint8_t>(s.table_id);
  p[sec + 1] = static_cast<uint8_t>(0xB0 | ((len >> 8) & 0x0F));
  p[sec + 2] = static_cast<uint8_t>(len & 0xFF);
  p[sec + 3] = 0x00;
  p[sec + 4] = 0x01;
  p[sec + 5] = 0xC1;
  p[sec + 6] = 0x00;
  p[sec + 7] = 0x00;
  int at = sec + 8;
  for (const auto& [prog, pid] : s.programs) {
    if (at + 4 > 188) break;
    p[at] = static_cast<uint8_t>(prog >> 8);
    p[at + 1] = static_cast<uint8_t>(prog & 0xFF);
    p[at + 2] = static_cast<uint8_t>(0xE0 | ((pid >> 8) & 0x1F));
    p[at + 3] = static_cast<uint8_t>(pid & 0xFF);
    at += 4;
  }
  return p;
}

Packet pat_for(int pmt_pid) { return pat_packet({{{1, pmt_pid}}}); }

std::vector<uint8_t> join(const std::vector<Packet>& pkts) {
  std::vector<uint8_t> out;
  for (const auto& p : pkts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---- PCR pacing ----

struct PcrStep {
  int64_t advance_ms;  // PCR change since the previous one (the first is taken as it is)
  bool ahead;
  int sleep_ms;        // expected
};

struct PcrCase {
  const char* name;
  PcrPaceConfig cfg;
  std::vector<PcrStep> steps;
};

PcrPaceConfig cfg(double tolerance, double us_per_second, int64_t unslept_ms, bool lag_test) {
  PcrPaceConfig c;
  c.tolerance = tolerance;
  c.us_per_second = us_per_second;
  c.unslept_ms = unslept_ms;
  c.lag_test = lag_test;
  return c;
}

class PacingPcr : public ::testing::TestWithParam<PcrCase> {};

// unslept_ms -1 switches the unslept start off, so each rule shows from the first step.
TEST_P(PacingPcr, SleepsFollowTheRules) {
  const PcrCase& c = GetParam();
  PcrPacer p(c.cfg);
  int64_t pcr_ms = 1000;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    if (i > 0) pcr_ms += c.steps[i].advance_ms;
    const PcrPacer::Step st = p.on_pcr(static_cast<uint64_t>(pcr_ms) * k27PerMs, c.steps[i].ahead);
    EXPECT_EQ(st.sleep_ms, c.steps[i].sleep_ms) << "step " << i;
    EXPECT_EQ(st.first, i == 0) << "step " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    PacingTable, PacingPcr,
    ::testing::Values(
        // 90 % of each 40 ms interval.
        PcrCase{"Tolerance01", cfg(0.1, 1e6, -1, true), {{0, true, 0}, {40, true, 36}, {40, true, 36}, {100, true, 90}}},
        // Tolerance 1: the socket sets the pace.
        PcrCase{"Tolerance1", cfg(1.0, 1e6, -1, true), {{0, true, 0}, {40, true, 0}, {400, true, 0}, {40, true, 0}}},
        PcrCase{"ToleranceAboveOne", cfg(1.5, 1e6, -1, true), {{0, true, 0}, {40, true, 0}}},
        // Files play 1.25 times faster: 80 % of the interval at tolerance 0.
        PcrCase{"FileRate", cfg(0.0, 8e5, -1, false), {{0, false, 0}, {40, false, 32}, {100, false, 80}}},
        // A player in the first quarter of the ring (lagging) is not slept.
        PcrCase{"LagTest", cfg(0.0, 1e6, -1, true), {{0, true, 0}, {40, false, 0}, {40, true, 40}, {40, false, 0}}},
        PcrCase{"NoLagTestForFiles", cfg(0.0, 8e5, -1, false), {{0, false, 0}, {50, false, 40}}},
        // More than ten times the previous interval: the previous interval counts instead.
        PcrCase{"ForwardJumpUsesPreviousDelta",
                cfg(0.1, 1e6, -1, true),
                {{0, true, 0}, {40, true, 36}, {10000, true, 36}, {40, true, 36}}},
        // Just under ten times is still taken as it is.
        PcrCase{"UnderTenTimesIsKept", cfg(0.0, 1e6, -1, true), {{0, true, 0}, {40, true, 40}, {390, true, 390}}},
        // Backwards: reference reset, no sleep; the next interval is paced again.
        PcrCase{"BackwardJumpResets",
                cfg(0.1, 1e6, -1, true),
                {{0, true, 0}, {40, true, 36}, {-500, true, 0}, {40, true, 36}, {40, true, 36}}},
        // No previous interval to compare with: the longest single wait bounds it.
        PcrCase{"FirstIntervalCapped", cfg(0.0, 1e6, -1, true), {{0, true, 0}, {60000, true, kx::kPcrMaxWaitMs}}}),
    [](const ::testing::TestParamInfo<PcrCase>& i) { return std::string(i.param.name); });

// The first 3000 ms of waits (20,000 ms for files) are only summed; the first wait that
// finds the sum above the limit is the first one slept.
TEST(PacingPcrStart, UnsleptWaitsThenRealSleeps) {
  struct Case {
    PcrPaceConfig cfg;
    int interval_ms;
    int wait_ms;
  };
  for (const Case& c : {Case{cfg(0.1, 1e6, 3000, true), 40, 36}, Case{cfg(0.0, 1e6, 3000, true), 40, 40},
                        Case{cfg(0.0, 8e5, 20000, false), 40, 32}}) {
    PcrPacer p(c.cfg);
    int64_t pcr_ms = 0;
    int first_sleep = -1, summed_before = 0;
    for (int i = 0; i < 2000 && first_sleep < 0; ++i) {
      summed_before = static_cast<int>(p.waits_summed_ms());
      const PcrPacer::Step st = p.on_pcr(static_cast<uint64_t>(pcr_ms) * k27PerMs, true);
      if (st.sleep_ms > 0) {
        first_sleep = i;
        EXPECT_EQ(st.sleep_ms, c.wait_ms);
      }
      pcr_ms += c.interval_ms;
    }
    ASSERT_GT(first_sleep, 0);
    // Everything before it went unslept, and just passed the limit.
    EXPECT_GT(summed_before, c.cfg.unslept_ms);
    EXPECT_LE(summed_before, c.cfg.unslept_ms + c.wait_ms);
    EXPECT_EQ(first_sleep, static_cast<int>(c.cfg.unslept_ms / c.wait_ms) + 2);
  }
}

TEST(PacingPcrStart, ResetForgetsTheClock) {
  PcrPacer p(cfg(0.0, 1e6, -1, true));
  p.on_pcr(10 * 27000000ull, true);
  EXPECT_EQ(p.on_pcr(11 * 27000000ull, true).sleep_ms, 1000);
  EXPECT_DOUBLE_EQ(p.played(), 1.0);
  p.reset();
  EXPECT_EQ(p.last_pcr(), -1);
  const PcrPacer::Step st = p.on_pcr(500 * 27000000ull, true);
  EXPECT_TRUE(st.first);
  EXPECT_EQ(st.sleep_ms, 0);
  EXPECT_DOUBLE_EQ(p.first_time(), 500.0);
  EXPECT_DOUBLE_EQ(p.played(), 0.0);
}

// A 33-bit PCR base wraps after about 26.5 hours: a step backwards, so a reset.
TEST(PacingPcrStart, ClockWrapIsABackwardJump) {
  PcrPacer p(cfg(0.0, 1e6, -1, true));
  const uint64_t top = ((uint64_t{1} << 33) - 90) * 300;  // 1 ms before the wrap
  p.on_pcr(top, true);
  EXPECT_EQ(p.on_pcr(40 * k27PerMs, true).sleep_ms, 0);
  EXPECT_DOUBLE_EQ(p.played(), 0.0);
  EXPECT_EQ(p.on_pcr(80 * k27PerMs, true).sleep_ms, 40);
}

// ---- the PCR inside a buffer ----

struct FirstPcrCase {
  const char* name;
  std::vector<uint8_t> data;
  int found;
  int64_t pcr27;
};

std::vector<uint8_t> with_prefix(std::size_t junk, std::vector<uint8_t> v) {
  v.insert(v.begin(), junk, 0x00);
  return v;
}

class PacingFirstPcr : public ::testing::TestWithParam<FirstPcrCase> {};

TEST_P(PacingFirstPcr, Found) {
  const FirstPcrCase& c = GetParam();
  uint64_t pcr = 0;
  EXPECT_EQ(kx::first_pcr(c.data.data(), static_cast<int>(c.data.size()), pcr), c.found);
  if (c.found) {
    EXPECT_EQ(pcr, static_cast<uint64_t>(c.pcr27));
  }
}

INSTANTIATE_TEST_SUITE_P(
    PacingTable, PacingFirstPcr,
    ::testing::Values(
        FirstPcrCase{"SecondPacket", join({ts_packet(256), ts_packet(256, 123456789), ts_packet(256, 5)}), 1, 123456789},
        FirstPcrCase{"OnlyTheFirstCounts", join({ts_packet(256, 42), ts_packet(256, 99)}), 1, 42},
        FirstPcrCase{"ExtensionBits", join({ts_packet(256, 300 * 1000 + 299)}), 1, 300 * 1000 + 299},
        // A buffer cut inside a packet (a file range): found after the first boundary.
        FirstPcrCase{"UnalignedStart", with_prefix(60, join({ts_packet(256), ts_packet(256, 777), ts_packet(256)})), 1,
                     777},
        FirstPcrCase{"NoPcr", join({ts_packet(256), ts_packet(257)}), 0, 0},
        FirstPcrCase{"Short", std::vector<uint8_t>(100, 0x47), 0, 0},
        FirstPcrCase{"NoSync", std::vector<uint8_t>(1316, 0x00), 0, 0}),
    [](const ::testing::TestParamInfo<FirstPcrCase>& i) { return std::string(i.param.name); });

// ---- bit-rate pacing ----

RatePaceConfig rate_cfg(double bc, double kbit, int factor, int batch_ms, int64_t unslept_ms) {
  RatePaceConfig c;
  c.bitrate_constant = bc;
  c.kbitrate = kbit;
  c.factor = factor;
  c.batch_ms = batch_ms;
  c.unslept_ms = unslept_ms;
  return c;
}

struct RateCase {
  const char* name;
  RatePaceConfig cfg;
  int64_t block_us;  // expected time of one 1452-byte block
};

class PacingRate : public ::testing::TestWithParam<RateCase> {};

// Over many blocks the sleeps add up to the blocks' time (the whole milliseconds and the
// carried remainders), each sleep only once more than batch_ms has gathered.
TEST_P(PacingRate, SleepsAddUpToTheBlockTime) {
  const RateCase& c = GetParam();
  RatePacer p(c.cfg);
  EXPECT_EQ(p.block_us(1452), c.block_us);
  EXPECT_EQ(p.paced(), c.block_us > 0);
  const int blocks = 5000;
  int64_t slept = 0;
  for (int i = 0; i < blocks; ++i) {
    const int ms = p.on_block(1452);
    if (ms > 0) {
      EXPECT_GT(ms, c.cfg.batch_ms);
    }
    slept += ms;
  }
  const int64_t total_ms = c.block_us * blocks / 1000;
  EXPECT_LE(slept, total_ms);
  EXPECT_GE(slept, total_ms - c.cfg.batch_ms - 1);
}

INSTANTIATE_TEST_SUITE_P(
    PacingTable, PacingRate,
    ::testing::Values(
        // 1452 x 0.5 x 3500 / 1000 us.
        RateCase{"Mp4Half", rate_cfg(0.5, 1000, 3500, 12, -1), 2541},
        RateCase{"Mp4Zero", rate_cfg(0.0, 1000, 3500, 12, -1), 5082},
        // Above 2.0 counts as 0.
        RateCase{"ConstantAboveTwo", rate_cfg(2.5, 1000, 3500, 12, -1), 5082},
        // FLV: 1452 x 4000 / bit rate, slept after each block.
        RateCase{"FlvEveryBlock", rate_cfg(0.0, 2000, 4000, 0, -1), 2904},
        // No pacing: the default constant 1, no bit rate, a bit rate of 0 (never a division).
        RateCase{"ConstantOne", rate_cfg(1.0, 1000, 3500, 12, -1), 0},
        RateCase{"NoBitRate", rate_cfg(0.0, -1, 3500, 12, -1), 0},
        RateCase{"ZeroBitRate", rate_cfg(0.0, 0, 4000, 0, -1), 0}),
    [](const ::testing::TestParamInfo<RateCase>& i) { return std::string(i.param.name); });

TEST(PacingRateStart, UnsleptStartAndHalvedWaits) {
  RatePacer p(rate_cfg(0.0, 1000, 3500, 0, 3000));
  int64_t summed = 0;
  int blocks = 0;
  // 5 whole ms per block are summed, not slept, until the sum passes 3000 ms.
  while (blocks < 10000) {
    ++blocks;
    if (p.on_block(1452) > 0) break;
    summed += 5;
  }
  EXPECT_GT(summed, 3000);
  EXPECT_LE(summed, 3010);

  // A constant of 0.5 halves the waits.
  RatePacer full(rate_cfg(0.0, 800, 3500, 12, -1)), half(rate_cfg(0.5, 800, 3500, 12, -1));
  int64_t a = 0, b = 0;
  for (int i = 0; i < 4000; ++i) {
    a += full.on_block(1452);
    b += half.on_block(1452);
  }
  EXPECT_NEAR(static_cast<double>(b) / static_cast<double>(a), 0.5, 0.01);
}

// ---- the PAT ----

struct PatCase {
  const char* name;
  PatShape shape;
  std::vector<int> pmts;
};

class TsStartPat : public ::testing::TestWithParam<PatCase> {};

TEST_P(TsStartPat, PmtPids) {
  const PatCase& c = GetParam();
  const Packet p = pat_packet(c.shape);
  int pids[8];
  const int n = kx::pat_pmt_pids(p.data(), pids, 8);
  EXPECT_EQ(std::vector<int>(pids, pids + n), c.pmts);
}

INSTANTIATE_TEST_SUITE_P(
    TsStartTable, TsStartPat,
    ::testing::Values(PatCase{"OneProgram", {{{1, 0x1000}}}, {0x1000}},
                      // Program 0 names the network PID, not a PMT.
                      PatCase{"NetworkProgramLeftOut", {{{0, 0x10}, {1, 0x100}, {2, 0x200}}}, {0x100, 0x200}},
                      PatCase{"PointerField", {{{1, 0x42}}, 20}, {0x42}},
                      // The pointer field would put the section past the packet.
                      PatCase{"PointerPastPacket", {{{1, 0x42}}, 180}, {}},
                      PatCase{"OtherTable", {{{1, 0x42}}, 0, 2}, {}},
                      PatCase{"LengthTooShort", {{{1, 0x42}}, 0, 0, 8}, {}},
                      // A length beyond the packet: only what the packet holds is read.
                      PatCase{"LengthPastPacket", {{{1, 0x42}, {2, 0x43}}, 0, 0, 1021}, {0x42, 0x43}},
                      PatCase{"NotASectionStart", {{{1, 0x42}}, 0, 0, -1, false}, {}}),
    [](const ::testing::TestParamInfo<PatCase>& i) { return std::string(i.param.name); });

TEST(TsStartPatLimits, PidsBoundedByTheCaller) {
  PatShape s;
  for (int i = 1; i <= 40; ++i) s.programs.push_back({i, 0x100 + i});
  const Packet p = pat_packet(s);
  int pids[4];
  EXPECT_EQ(kx::pat_pmt_pids(p.data(), pids, 4), 4);
  EXPECT_EQ(pids[3], 0x104);
  EXPECT_EQ(kx::pat_pmt_pids(ts_packet(0x100).data(), pids, 4), 0);
}

// ---- the finder over entries ----

struct FinderCase {
  const char* name;
  std::vector<std::vector<uint8_t>> entries;
  bool found;
  uint64_t seq;
  int pos;
  int pmt;
};

class TsStartFinderTable : public ::testing::TestWithParam<FinderCase> {};

TEST_P(TsStartFinderTable, Start) {
  const FinderCase& c = GetParam();
  TsStartFinder f;
  TsStart st;
  bool found = false;
  for (std::size_t i = 0; i < c.entries.size() && !found; ++i)
    found = f.feed(100 + i, c.entries[i].data(), static_cast<int>(c.entries[i].size()), st);
  EXPECT_EQ(found, c.found);
  if (!c.found) return;
  EXPECT_EQ(st.seq, c.seq);
  EXPECT_EQ(st.pos, c.pos);
  EXPECT_EQ(st.pmt_pid, c.pmt);
}

INSTANTIATE_TEST_SUITE_P(
    TsStartTable, TsStartFinderTable,
    ::testing::Values(
        FinderCase{"SameEntry", {join({ts_packet(256), pat_for(0x1000), ts_packet(0x1000)})}, true, 100, 188, 0x1000},
        // The PAT ends one entry, its PMT starts a later one.
        FinderCase{"AcrossEntries",
                   {join({ts_packet(256), ts_packet(256), pat_for(0x30)}), join({ts_packet(256)}),
                    join({ts_packet(257), ts_packet(0x30)})},
                   true, 100, 376, 0x30},
        // An entry that is one packet long has a boundary only at its end.
        FinderCase{"OnePacketEntries", {join({pat_for(0x30)}), join({ts_packet(0x30)})}, true, 100, 0, 0x30},
        // A PAT whose PMT never came is replaced by the next PAT.
        FinderCase{"NewerPatWins",
                   {join({pat_for(0x31), ts_packet(256)}), join({pat_for(0x30), ts_packet(0x30)})},
                   true, 101, 0, 0x30},
        // A PMT before any PAT does not count.
        FinderCase{"PmtBeforePat",
                   {join({ts_packet(0x30), ts_packet(256)}), join({pat_for(0x30), ts_packet(256), ts_packet(0x30)})},
                   true, 101, 0, 0x30},
        FinderCase{"NoPat", {join({ts_packet(256), ts_packet(0x30)}), join({ts_packet(257)})}, false, 0, 0, 0},
        FinderCase{"PatWithoutPmt", {join({pat_for(0x30), ts_packet(256)}), join({ts_packet(0x31)})}, false, 0, 0, 0},
        FinderCase{"NoSync", {std::vector<uint8_t>(1316, 0x11), std::vector<uint8_t>(10, 0x47)}, false, 0, 0, 0},
        // Bytes before the first boundary (an unaligned entry) are passed over.
        FinderCase{"UnalignedEntry", {with_prefix(7, join({pat_for(0x40), ts_packet(0x40)}))}, true, 100, 7, 0x40}),
    [](const ::testing::TestParamInfo<FinderCase>& i) { return std::string(i.param.name); });

// ---- over a real ring ----

struct RingScan {
  std::shared_ptr<RealBuffer> ring;
  RingReader rd;
  TsStartFinder f;
  std::unique_ptr<uint8_t[]> scratch{new uint8_t[kx::kEntryBytes]};
  explicit RingScan(int entries) : ring(std::make_shared<RealBuffer>(entries, 0)), rd(ring) {}
  void commit(const std::vector<uint8_t>& v, int header = 0) {
    kx::EntryMeta m;
    m.header_len = header;
    ring->commit(v.data(), static_cast<int>(v.size()), m);
  }
  TsScan scan(TsStart& st, int max = 1000) { return kx::ts_scan_start(rd, f, scratch.get(), max, st); }
};

// RTP entries (1328 bytes, the header declared by the writer) give their payload without
// the 12-byte header; positions are in the payload, and reading the PAT's entry again
// gives the same bytes.
TEST(TsStartRing, RtpEntriesAndEmptyEntries) {
  RingScan r(64);
  auto rtp = [](const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> v(12, 0x80);
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
  };
  std::vector<Packet> seven(7, ts_packet(256));
  r.commit(rtp(join(seven)), 12);
  seven[5] = pat_for(0x55);
  r.commit(rtp(join(seven)), 12);
  r.commit({});  // an empty entry between: skipped, not the end
  seven.assign(7, ts_packet(256));
  seven[2] = ts_packet(0x55);
  r.commit(rtp(join(seven)), 12);
  ASSERT_EQ(r.ring->commits(), 4u);

  TsStart st;
  ASSERT_EQ(r.scan(st), TsScan::kFound);
  EXPECT_EQ(st.seq, 1u);
  EXPECT_EQ(st.pos, 5 * 188);
  EXPECT_EQ(st.pmt_pid, 0x55);
  r.rd.seek(st.seq);
  int len = 0;
  ASSERT_EQ(r.rd.next(r.scratch.get(), len), RingReader::kData);
  EXPECT_EQ(len, 1316);
  EXPECT_EQ(std::memcmp(r.scratch.get() + st.pos, pat_for(0x55).data(), 188), 0);
}

// Caught up before the PMT: the search goes on when more arrives.
TEST(TsStartRing, CaughtUpThenFound) {
  RingScan r(64);
  r.commit(join({ts_packet(256), pat_for(0x66)}));
  TsStart st;
  EXPECT_EQ(r.scan(st), TsScan::kCaughtUp);
  r.commit(join({ts_packet(256)}));
  EXPECT_EQ(r.scan(st), TsScan::kCaughtUp);
  r.commit(join({ts_packet(0x66)}));
  ASSERT_EQ(r.scan(st), TsScan::kFound);
  EXPECT_EQ(st.seq, 0u);
  EXPECT_EQ(st.pos, 188);
}

// No PAT in the whole ring: the caller's bound (entries seen) is reached, nothing found.
TEST(TsStartRing, NoPatIsNotFound) {
  RingScan r(32);
  for (int i = 0; i < 20; ++i) r.commit(join({ts_packet(256), ts_packet(0x66)}));
  TsStart st;
  EXPECT_EQ(r.scan(st, 8), TsScan::kLimit);
  EXPECT_EQ(r.scan(st), TsScan::kCaughtUp);
  EXPECT_EQ(r.f.entries_seen(), 20);
}

// The writer laps the reader: the search starts again from the start point with
// nothing remembered, and finds the newer PAT.
TEST(TsStartRing, LappedReaderStartsAgain) {
  RingScan r(16);
  r.commit(join({pat_for(0x70)}));  // a PAT whose PMT will be overwritten
  TsStart st;
  EXPECT_EQ(r.scan(st), TsScan::kCaughtUp);
  for (int i = 0; i < 40; ++i) r.commit(join({ts_packet(256)}));
  EXPECT_EQ(r.scan(st), TsScan::kLapped);
  EXPECT_EQ(r.f.entries_seen(), 0);
  const uint64_t restart = r.rd.position();
  EXPECT_GE(restart, r.ring->oldest());
  // Only a PMT after a new PAT counts: the forgotten PAT does not.
  r.commit(join({ts_packet(0x70)}));
  r.commit(join({pat_for(0x71), ts_packet(0x71)}));
  ASSERT_EQ(r.scan(st), TsScan::kFound);
  EXPECT_EQ(st.seq, r.ring->commits() - 1);
  EXPECT_EQ(st.pmt_pid, 0x71);
}

}  // namespace

// A folder of short files is paced once the allowance is used up, however short each
// file is: a new file restarts the clock, not the allowance.
TEST(PacingFolder, ShortFilesDoNotRenewTheUnsleptAllowance) {
  kx::PcrPaceConfig pc;
  pc.tolerance = 0.0;
  pc.us_per_second = 800000.0;
  pc.unslept_ms = 20000;
  pc.lag_test = false;
  kx::PcrPacer pacer(pc);
  int64_t slept = 0;
  for (int file = 0; file < 10; ++file) {  // ten 5-second files
    for (int i = 0; i <= 50; ++i) slept += pacer.on_pcr(uint64_t{27000000} / 10 * static_cast<uint64_t>(i), false).sleep_ms;
    pacer.restart_clock();
  }
  // About 40 s of waits, of which only the first 20 s go unslept; renewing the allowance
  // with every 5-second file would sleep nothing at all.
  EXPECT_GT(slept, 15000);
}

// ---- the decodable start: a PAT followed by a random-access picture ----

namespace {

using kx::DecodableScan;
using kxtest::entry_of;

struct StartCase {
  const char* name;
  std::vector<std::string> entries;
  int ring_size;
  uint64_t from;
  DecodableScan want;
  uint64_t seq;  // the PAT's entry and position when found
  int pos;
  uint64_t floor = 0;  // entries before it are not looked at
};
void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class DecodableStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(DecodableStart, NearestPatBeforeARandomAccessPicture) {
  const StartCase& c = GetParam();
  RealBuffer ring(c.ring_size, 0);
  for (const std::string& e : c.entries) {
    const std::vector<uint8_t> d = entry_of(e.c_str());
    ring.commit(d.data(), static_cast<int>(d.size()));
  }
  TsStart out;
  out.seq = 999;
  out.pos = -5;
  ASSERT_EQ(kx::ts_find_decodable_start(ring, c.from, out, c.floor), c.want);
  if (c.want != DecodableScan::kFound) return;
  EXPECT_EQ(out.seq, c.seq);
  EXPECT_EQ(out.pos, c.pos);
}

INSTANTIATE_TEST_SUITE_P(
    DecodableTable, DecodableStart,
    ::testing::Values(
        StartCase{"behind_in_one_entry", {"cc", "PMIc", "Fcc", "Fcc", "Fcc"}, 16, 3, DecodableScan::kFound, 1, 0},
        StartCase{"pat_entries_before_the_picture", {"cc", "cPM", "ccc", "Icc", "Fc"}, 16, 4, DecodableScan::kFound, 1,
                  188},
        StartCase{"pat_after_the_picture_not_taken", {"PM", "cIcP", "Fc"}, 16, 2, DecodableScan::kFound, 0, 0},
        StartCase{"random_access_flag", {"PMKc", "Fc", "Fc"}, 16, 2, DecodableScan::kFound, 0, 0},
        StartCase{"nearest_behind_wins", {"PMIc", "Fc", "PMIc", "Fc", "PMIc"}, 16, 3, DecodableScan::kFound, 2, 0},
        StartCase{"periodic_pat_without_picture_skipped", {"PMIc", "Fc", "PMFc", "Fc"}, 16, 3, DecodableScan::kFound,
                  0, 0},
        StartCase{"ahead_when_none_behind", {"PMFc", "Fc", "cc", "PMc", "Ic", "Fc"}, 16, 1, DecodableScan::kFound, 3,
                  0},
        StartCase{"picture_without_pat_not_a_start", {"cc", "Ic", "Fc"}, 16, 1, DecodableScan::kNone, 0, 0},
        // overwritten: the ring keeps three entries (the oldest is the next overwritten)
        StartCase{"picture_gone_from_the_ring", {"PMIc", "Fc", "Fc", "Fc", "Fc"}, 4, 3, DecodableScan::kNone, 0, 0},
        StartCase{"audio_keys_are_not_video", {"PMAc", "Ac", "PMAc"}, 16, 1, DecodableScan::kNoMarks, 0, 0},
        StartCase{"no_video_marks_ever", {"PMcc", "cc"}, 16, 0, DecodableScan::kNoMarks, 0, 0},
        // A player resuming after an outage: what lies before the floor was sent already.
        StartCase{"floor_hides_the_start_behind", {"PMIc", "Fc", "Fc", "PMc", "Ic"}, 16, 3, DecodableScan::kFound, 3, 0,
                  3},
        StartCase{"floor_hides_a_pat_before_the_picture", {"PMFc", "Fc", "Ic", "Fc"}, 16, 2, DecodableScan::kNone, 0, 0,
                  1},
        StartCase{"floor_beyond_the_newest", {"PMIc", "Fc"}, 16, 1, DecodableScan::kNone, 0, 0, 5}));

// RTP entries: the marks count from the payload the readers get, without the header.
TEST(DecodableStartRtp, PositionsLeaveTheHeaderOut) {
  RealBuffer ring(8, 0);
  std::vector<uint8_t> d(12, 0x80);
  const std::vector<uint8_t> pk = entry_of("cPMI");
  d.insert(d.end(), pk.begin(), pk.end());
  kx::EntryMeta m;
  m.header_len = 12;
  ring.commit(d.data(), static_cast<int>(d.size()), m);
  TsStart out;
  ASSERT_EQ(kx::ts_find_decodable_start(ring, 0, out), DecodableScan::kFound);
  EXPECT_EQ(out.seq, 0u);
  EXPECT_EQ(out.pos, 188);
}

}  // namespace
