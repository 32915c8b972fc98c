// The channel ring: index arithmetic, where a new reader starts, empty and RTP entries,
// lapped readers (between reads and during a copy), many readers while a branch ends, and
// waiting for commits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "core/os/memory.h"
#include "ingest/channel_runtime.h"
#include "ingest/ring.h"
#include "support/harness.h"
#include "support/ts_fixture.h"

namespace {

using kx::EntryMeta;
using kx::RealBuffer;
using kx::RingReader;
using Clock = std::chrono::steady_clock;

#ifdef KX_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Every entry of the concurrent tests is filled with one byte value and has a length and
// metadata derived from its sequence, so a copy that mixes two commits is always visible.
uint8_t value_for(uint64_t seq) { return static_cast<uint8_t>(seq % 251 + 1); }
int len_for(uint64_t seq) { return 1000 + static_cast<int>(seq % 7) * 37; }  // never 1328
EntryMeta meta_for(uint64_t seq) {
  EntryMeta m;
  m.keyframe_offset = static_cast<int>(seq % 1000);
  m.rtp_word = static_cast<uint32_t>(seq * 2654435761u);
  return m;
}

void commit_seq(RealBuffer& ring, uint64_t seq) {
  uint8_t buf[kx::kEntryBytes];
  const int len = len_for(seq);
  std::memset(buf, value_for(seq), static_cast<std::size_t>(len));
  ring.commit(buf, len, meta_for(seq));
}

void commit_many(RealBuffer& ring, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) commit_seq(ring, ring.commits());
}

// True when a copied entry is exactly what commit_seq wrote for seq.
bool intact(uint64_t seq, const uint8_t* data, int len, const EntryMeta& meta) {
  if (len != len_for(seq)) return false;
  const EntryMeta want = meta_for(seq);
  if (meta.keyframe_offset != want.keyframe_offset || meta.rtp_word != want.rtp_word) return false;
  const uint8_t v = value_for(seq);
  for (int i = 0; i < len; ++i)
    if (data[i] != v) return false;
  return true;
}

bool past(Clock::time_point deadline) { return Clock::now() >= deadline; }

// ---------------------------------------------------------------------------------------
// Arithmetic: head, tail, filled span, oldest sequence and has-data after a number of
// commits on tiny rings.

struct ArithCase {
  int n;
  uint64_t commits;
  int head, tail, filled;
  uint64_t oldest;
  bool has_data;
};
void PrintTo(const ArithCase& c, std::ostream* os) {
  *os << "N=" << c.n << " after " << c.commits << " commits";
}

class RingArithmetic : public ::testing::TestWithParam<ArithCase> {};

TEST_P(RingArithmetic, ViewsAfterCommits) {
  const ArithCase& c = GetParam();
  auto ring = std::make_shared<RealBuffer>(c.n, 6);
  commit_many(*ring, c.commits);
  EXPECT_EQ(ring->size(), c.n);
  EXPECT_EQ(ring->channel_index(), 6);
  EXPECT_EQ(ring->commits(), c.commits);
  EXPECT_EQ(ring->head(), c.head);
  EXPECT_EQ(ring->tail(), c.tail);
  EXPECT_EQ(ring->filled(), c.filled);
  EXPECT_EQ(ring->oldest(), c.oldest);
  EXPECT_EQ(ring->has_data(), c.has_data);

  // A reader from the oldest entry gets every entry still held, in order, intact.
  RingReader reader(ring);
  reader.seek_oldest();
  EXPECT_EQ(reader.position(), c.oldest);
  uint8_t buf[kx::kEntryBytes];
  uint64_t got = 0;
  for (;;) {
    int len = 0;
    EntryMeta meta;
    const RingReader::Result res = reader.next(buf, len, &meta);
    if (res != RingReader::kData) {
      EXPECT_EQ(res, RingReader::kCaughtUp);
      break;
    }
    const uint64_t seq = reader.position() - 1;
    EXPECT_EQ(seq, c.oldest + got);
    EXPECT_TRUE(intact(seq, buf, len, meta)) << "entry " << seq;
    if (++got > c.commits) break;
  }
  EXPECT_EQ(got, c.commits - c.oldest);
}

// N = 4 and N = 5: 0, N-1, N, N+1 and 2N commits. The head entry is the next one
// overwritten, so once the ring wraps the tail is the entry right after it.
INSTANTIATE_TEST_SUITE_P(
    RingCases, RingArithmetic,
    ::testing::Values(
        //       n  commits head tail filled oldest has_data
        ArithCase{4, 0, 0, 0, 1, 0, false},
        ArithCase{4, 3, 3, 0, 4, 0, true},
        ArithCase{4, 4, 0, 1, 4, 1, true},
        ArithCase{4, 5, 1, 2, 4, 2, true},
        ArithCase{4, 8, 0, 1, 4, 5, true},
        ArithCase{5, 0, 0, 0, 1, 0, false},
        ArithCase{5, 1, 1, 0, 2, 0, true},
        ArithCase{5, 4, 4, 0, 5, 0, true},
        ArithCase{5, 5, 0, 1, 5, 1, true},
        ArithCase{5, 6, 1, 2, 5, 2, true},
        ArithCase{5, 10, 0, 1, 5, 6, true},
        ArithCase{2, 2, 0, 1, 2, 1, true},
        ArithCase{2, 3, 1, 0, 2, 2, true}));

TEST(RingArithmeticLimits, TooSmallRingHoldsTwoEntries) {
  RealBuffer ring(1, 0);
  EXPECT_EQ(ring.size(), 2);
  RealBuffer zero(0, 0);
  EXPECT_EQ(zero.size(), 2);
}

// The factory refuses what cannot be had instead of throwing: too many entries for the
// int indexes, more bytes than the machine has; what it gives works as a ring.
TEST(RingAllocation, RefusedWhenTheMemoryCannotBeHad) {
  const uint64_t mem = kx::physical_memory_bytes();
  ASSERT_GT(mem, 0u);
  const int64_t beyond_memory = static_cast<int64_t>(mem / sizeof(kx::Real_Buffer_Entry)) + 1;
  struct Case {
    const char* what;
    int64_t entries;
    int size;  // 0: refused
  } cases[] = {
      {"ordinary", 1000, 1000},
      {"below two", -5, 2},
      {"the largest count", kx::kMaxRingEntries, beyond_memory <= kx::kMaxRingEntries ? 0 : -1},
      {"past the largest count", kx::kMaxRingEntries + 1, 0},
      {"the config's largest int", INT32_MAX, 0},
      {"three times the largest int", 3 * int64_t{INT32_MAX}, 0},
      {"no 64-bit product", INT64_MAX, 0},
      {"one entry more than memory", beyond_memory, 0},
  };
  for (const Case& c : cases) {
    if (c.size < 0) continue;  // a machine that could hold the largest ring: not asked
    kx::RealBufferPtr r = kx::make_real_buffer(c.entries, 7);
    if (c.size == 0) {
      EXPECT_EQ(r, nullptr) << c.what;
      continue;
    }
    ASSERT_NE(r, nullptr) << c.what;
    EXPECT_EQ(r->size(), c.size) << c.what;
    EXPECT_EQ(r->channel_index(), 7);
    uint8_t in[188] = {0x47, 1, 2, 3}, out[kx::kEntryBytes];
    r->commit(in, sizeof in);
    EXPECT_EQ(r->read(0, out), 188) << c.what;
  }
}

// ---------------------------------------------------------------------------------------
// Start point: a quarter of the filled span after the tail, i.e. index
// (tail + filled / 4) mod N.

struct StartCase {
  int n;
  uint64_t commits;
  int tail, filled;
  uint64_t start;  // sequence a new reader starts at
};
void PrintTo(const StartCase& c, std::ostream* os) {
  *os << "N=" << c.n << " after " << c.commits << " commits";
}

class RingStartPoint : public ::testing::TestWithParam<StartCase> {};

TEST_P(RingStartPoint, QuarterOfTheFilledSpanAfterTheTail) {
  const StartCase& c = GetParam();
  auto ring = std::make_shared<RealBuffer>(c.n, 0);
  commit_many(*ring, c.commits);
  ASSERT_EQ(ring->tail(), c.tail);
  ASSERT_EQ(ring->filled(), c.filled);
  RingReader r(ring);
  r.seek_start_point();
  EXPECT_EQ(r.position(), c.start);
  EXPECT_EQ(static_cast<int>(r.position() % static_cast<uint64_t>(c.n)),
            (c.tail + c.filled / 4) % c.n);
  // The first entry it gets is the one at the start point.
  uint8_t buf[kx::kEntryBytes];
  int len = 0;
  EntryMeta meta;
  if (c.start < c.commits) {
    ASSERT_EQ(r.next(buf, len, &meta), RingReader::kData);
    EXPECT_TRUE(intact(c.start, buf, len, meta));
  } else {
    EXPECT_EQ(r.next(buf, len, &meta), RingReader::kCaughtUp);
  }
}

INSTANTIATE_TEST_SUITE_P(
    RingCases, RingStartPoint,
    ::testing::Values(
        //        n     commits tail filled start
        StartCase{1000, 0, 0, 1, 0},         // empty: caught up at once
        StartCase{1000, 1, 0, 2, 0},
        StartCase{1000, 399, 0, 400, 100},   // a ring holding 400 entries
        StartCase{1000, 400, 0, 401, 100},   // 400 entries after the tail
        StartCase{1000, 403, 0, 404, 101},
        StartCase{1000, 1000, 1, 1000, 251},  // wrapped: the whole ring is the span
        StartCase{1000, 5000, 1, 1000, 4251},
        StartCase{400, 1000, 201, 400, 701},  // wrapped ring of 400: 100 after the tail
        StartCase{4, 4, 1, 4, 2},
        StartCase{4, 9, 2, 4, 7}));

TEST(RingStartPointOldest, FirstPlayerAfterResumeStartsAtTheTail) {
  auto ring = std::make_shared<RealBuffer>(8, 0);
  commit_many(*ring, 13);
  RingReader r(ring);
  r.seek_oldest();
  EXPECT_EQ(r.position(), 6u);
  EXPECT_EQ(static_cast<int>(r.position() % 8), ring->tail());
}

// ---------------------------------------------------------------------------------------
// Entries: empty ones skipped, RTP packets without their header, lengths clamped, meta.

TEST(RingEmptyEntries, AreSkipped) {
  auto ring = std::make_shared<RealBuffer>(16, 0);
  const uint8_t a[3] = {1, 2, 3};
  const uint8_t b[2] = {9, 8};
  ring->commit(nullptr, 0);  // re-synchronising: nothing usable
  ring->commit(a, 3);
  ring->commit(a, 0);
  ring->commit(a, -7);  // clamped to empty
  ring->commit(b, 2);
  ring->commit(b, 0);
  RingReader r(ring);
  uint8_t buf[kx::kEntryBytes];
  int len = 0;
  ASSERT_EQ(r.next(buf, len), RingReader::kData);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(0, std::memcmp(buf, a, 3));
  EXPECT_EQ(r.position(), 2u);
  ASSERT_EQ(r.next(buf, len), RingReader::kData);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(0, std::memcmp(buf, b, 2));
  EXPECT_EQ(r.position(), 5u);
  EXPECT_EQ(r.next(buf, len), RingReader::kCaughtUp);
  EXPECT_EQ(r.position(), 6u);  // the trailing empty entry was passed over
  // The raw read reports the empty entries as length 0.
  EXPECT_EQ(ring->read(0, buf), 0);
  EXPECT_EQ(ring->read(3, buf), 0);
}

struct LenCase {
  int committed;
  int stored;    // what RealBuffer::read returns
  int returned;  // what a reader gets
  int skip;      // leading bytes a reader does not get
  int header = 0;  // the header length the writer declared
};
void PrintTo(const LenCase& c, std::ostream* os) { *os << c.committed << " bytes, header " << c.header; }

class RingEntries : public ::testing::TestWithParam<LenCase> {};

TEST_P(RingEntries, PayloadAsReadersSeeIt) {
  const LenCase& c = GetParam();
  std::vector<uint8_t> src(4096);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + 3);
  auto ring = std::make_shared<RealBuffer>(4, 0);
  EntryMeta in;
  in.keyframe_offset = 17;
  in.rtp_word = 0x80210000u;
  in.header_len = c.header;
  ring->commit(src.data(), c.committed, in);

  uint8_t raw[kx::kEntryBytes];
  EntryMeta meta;
  EXPECT_EQ(ring->read(0, raw, &meta), c.stored);
  EXPECT_EQ(0, std::memcmp(raw, src.data(), static_cast<std::size_t>(c.stored)));
  EXPECT_EQ(meta.keyframe_offset, 17);
  EXPECT_EQ(meta.rtp_word, 0x80210000u);

  RingReader r(ring);
  uint8_t buf[kx::kEntryBytes];
  int len = -1;
  EntryMeta m2;
  ASSERT_EQ(r.next(buf, len, &m2), RingReader::kData);
  EXPECT_EQ(len, c.returned);
  EXPECT_EQ(0, std::memcmp(buf, src.data() + c.skip, static_cast<std::size_t>(c.returned)));
  EXPECT_EQ(m2.keyframe_offset, 17);
  EXPECT_EQ(m2.rtp_word, 0x80210000u);

  // In place, the reader sees the same bytes without a copy.
  RingReader v(ring);
  const uint8_t* at = nullptr;
  ASSERT_EQ(v.next_view(at, len, &m2), RingReader::kData);
  ASSERT_EQ(len, c.returned);
  EXPECT_EQ(0, std::memcmp(at, src.data() + c.skip, static_cast<std::size_t>(c.returned)));
  EXPECT_EQ(m2.keyframe_offset, 17);
}

INSTANTIATE_TEST_SUITE_P(
    RingCases, RingEntries,
    ::testing::Values(
        //     committed stored returned skip
        LenCase{1328, 1328, 1316, 12, 12},  // an RTP packet: its 12-byte header is left out
        LenCase{1328, 1328, 1328, 0},       // an FLV slot or raw flush of the same length keeps every byte
        LenCase{1000, 1000, 988, 12, 12},   // a shorter RTP packet
        LenCase{12, 12, 12, 0, 12},         // a header with nothing after it is not taken as one
        LenCase{1316, 1316, 1316, 0},       // seven TS packets
        LenCase{1327, 1327, 1327, 0},
        LenCase{1329, 1329, 1329, 0},
        LenCase{1, 1, 1, 0},
        LenCase{1452, 1452, 1452, 0},
        LenCase{2048, 2048, 2048, 0},
        LenCase{3000, 2048, 2048, 0}));  // clamped to the entry size

TEST(RingEntriesRead, OnlyHeldSequencesAreRead) {
  RealBuffer ring(4, 0);
  uint8_t buf[kx::kEntryBytes];
  EXPECT_EQ(ring.read(0, buf), -1);  // nothing committed yet
  // 6 commits: 3, 4 and 5 are held; 2 sits at the head, intact until the next commit
  // overwrites it (readers never go there, but the raw read still finds its stamp).
  commit_many(ring, 6);
  EntryMeta meta;
  for (uint64_t seq = 0; seq < 8; ++seq) {
    const int len = ring.read(seq, buf, &meta);
    int vlen = -1;
    const uint8_t* at = ring.view(seq, vlen);
    if (seq >= 2 && seq < 6) {
      ASSERT_EQ(len, len_for(seq)) << seq;
      EXPECT_TRUE(intact(seq, buf, len, meta)) << seq;
      EXPECT_TRUE(ring.intact(seq)) << seq;
      ASSERT_NE(at, nullptr) << seq;
      ASSERT_EQ(vlen, len) << seq;
      EXPECT_EQ(0, std::memcmp(at, buf, static_cast<std::size_t>(len))) << seq;
    } else {
      EXPECT_EQ(len, -1) << seq;
      EXPECT_FALSE(ring.intact(seq)) << seq;
      EXPECT_EQ(at, nullptr) << seq;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Lapped between reads: the reader is told, and stands at the start point again.

struct LapCase {
  int n;
  uint64_t before;      // commits before the reader takes its position
  uint64_t position;    // where it stands
  uint64_t after;       // commits while it is away
  RingReader::Result result;
  uint64_t then;        // its position after the call (the start point when lapped)
};
void PrintTo(const LapCase& c, std::ostream* os) {
  *os << "N=" << c.n << " reader at " << c.position << " after " << c.before + c.after
      << " commits";
}

class RingLapped : public ::testing::TestWithParam<LapCase> {};

TEST_P(RingLapped, BetweenReads) {
  const LapCase& c = GetParam();
  auto ring = std::make_shared<RealBuffer>(c.n, 0);
  commit_many(*ring, c.before);
  RingReader r(ring);
  r.seek(c.position);
  commit_many(*ring, c.after);
  uint8_t buf[kx::kEntryBytes];
  int len = 0;
  EntryMeta meta;
  const RingReader::Result res = r.next(buf, len, &meta);
  EXPECT_EQ(res, c.result);
  EXPECT_EQ(r.position(), c.then);
  if (res == RingReader::kData) {
    EXPECT_TRUE(intact(c.then - 1, buf, len, meta));
  }
  if (res == RingReader::kLapped) {
    RingReader fresh(ring);
    fresh.seek_start_point();
    EXPECT_EQ(r.position(), fresh.position());
    // From there it reads on normally.
    ASSERT_EQ(r.next(buf, len, &meta), RingReader::kData);
    EXPECT_TRUE(intact(c.then, buf, len, meta));
  }
}

INSTANTIATE_TEST_SUITE_P(
    RingCases, RingLapped,
    ::testing::Values(
        //     n  before pos after result               then
        LapCase{8, 3, 1, 20, RingReader::kLapped, 18},  // 23 commits: tail 16, span 8
        LapCase{8, 3, 1, 5, RingReader::kData, 2},      // 8 commits: 1 is the tail
        LapCase{8, 3, 0, 5, RingReader::kLapped, 3},    // 0 sits at the head now
        LapCase{8, 3, 0, 4, RingReader::kData, 1},      // 7 commits: 0 still held
        LapCase{4, 0, 0, 4, RingReader::kLapped, 2},
        LapCase{4, 10, 7, 0, RingReader::kData, 8},
        LapCase{4, 10, 10, 0, RingReader::kCaughtUp, 10}));

// ---------------------------------------------------------------------------------------
// Lapped during the copy: a writer commits flat out into a ring of four while readers copy.
// A copy that mixes two commits would show as an entry whose bytes, length or metadata do
// not match its sequence.

TEST(RingStress, ReadersLappedDuringCopyNeverGetTornEntries) {
  auto ring = std::make_shared<RealBuffer>(4, 0);
  const uint64_t max_commits = kSanitized ? 400000 : 4000000;
  const auto deadline = Clock::now() + std::chrono::seconds(kSanitized ? 6 : 4);
  std::atomic<bool> done{false};
  std::atomic<int> ready{0};
  std::atomic<uint64_t> torn{0}, data{0}, lapped{0}, raw_ok{0}, raw_gone{0}, backwards{0},
      beyond{0};

  constexpr int kReaders = 2;
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) {
    threads.emplace_back([&] {
      RingReader r(ring);
      uint8_t buf[kx::kEntryBytes];
      uint64_t last = 0;
      bool any = false;
      ready.fetch_add(1);
      while (!done.load(std::memory_order_relaxed)) {
        int len = 0;
        EntryMeta meta;
        const RingReader::Result res = r.next(buf, len, &meta);
        if (res == RingReader::kData) {
          const uint64_t seq = r.position() - 1;
          if (!intact(seq, buf, len, meta)) torn.fetch_add(1);
          if (any && seq <= last) backwards.fetch_add(1);
          last = seq;
          any = true;
          data.fetch_add(1, std::memory_order_relaxed);
        } else if (res == RingReader::kLapped) {
          lapped.fetch_add(1, std::memory_order_relaxed);
        } else {
          std::this_thread::yield();
        }
        if (r.position() > ring->commits()) beyond.fetch_add(1);
      }
    });
  }
  // A raw reader always takes the entry the writer overwrites soonest.
  threads.emplace_back([&] {
    uint8_t buf[kx::kEntryBytes];
    ready.fetch_add(1);
    while (!done.load(std::memory_order_relaxed)) {
      const uint64_t seq = ring->oldest();
      EntryMeta meta;
      const int len = ring->read(seq, buf, &meta);
      if (len < 0) {
        raw_gone.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      if (!intact(seq, buf, len, meta)) torn.fetch_add(1);
      raw_ok.fetch_add(1, std::memory_order_relaxed);
    }
  });
  std::thread writer([&] {
    while (ready.load() < kReaders + 1 && !past(deadline)) std::this_thread::yield();
    for (uint64_t seq = 0; seq < max_commits && !past(deadline); ++seq) commit_seq(*ring, seq);
    done.store(true);
  });
  writer.join();
  for (auto& t : threads) t.join();

  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(backwards.load(), 0u);
  EXPECT_EQ(beyond.load(), 0u);
  EXPECT_GT(data.load() + raw_ok.load(), 0u);
  RecordProperty("commits", static_cast<int>(ring->commits()));
  RecordProperty("reads", static_cast<int>(data.load() + raw_ok.load()));
  RecordProperty("lapped", static_cast<int>(lapped.load() + raw_gone.load()));
}

// ---------------------------------------------------------------------------------------
// 50 readers follow a writer that commits 200000 entries and then ends its branch while
// the readers still hold the ring.

TEST(RingBranch, FiftyReadersWhileTheBranchEnds) {
  kx::ChannelRuntime rt;
  constexpr int kReaders = 50;
  constexpr uint64_t kCommits = 200000;
  {
    auto ring = std::make_shared<RealBuffer>(256, 3);
    rt.set_ring(ring);
  }
  rt.nChannel_Status.store(kx::kStatusOn);
  // A guard against a hang only: this takes about a second plain and half a minute under
  // ThreadSanitizer, where every wake-up and lock is far slower.
  const auto deadline = Clock::now() + std::chrono::seconds(kSanitized ? 240 : 120);

  struct Tally {
    uint64_t data = 0, lapped = 0, torn = 0, backwards = 0, end = 0;
    bool timed_out = false, had_ring = false;
  };
  std::vector<Tally> tally(kReaders);
  std::atomic<int> ready{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      Tally& t = tally[static_cast<std::size_t>(i)];
      kx::RealBufferPtr ring = rt.ring();
      ready.fetch_add(1);
      if (!ring) return;
      t.had_ring = true;
      RingReader r(ring);
      r.seek_start_point();
      uint8_t buf[kx::kEntryBytes];
      bool any = false, ended = false;
      uint64_t last = 0;
      for (;;) {
        if (past(deadline)) {
          t.timed_out = true;
          break;
        }
        int len = 0;
        EntryMeta meta;
        const RingReader::Result res = r.next(buf, len, &meta);
        if (res == RingReader::kData) {
          const uint64_t seq = r.position() - 1;
          if (!intact(seq, buf, len, meta)) ++t.torn;
          if (any && seq <= last) ++t.backwards;
          last = seq;
          any = true;
          ++t.data;
          continue;
        }
        if (res == RingReader::kLapped) {
          ++t.lapped;
          continue;
        }
        if (ended) break;  // caught up after the branch ended: everything was seen
        if (rt.ring() != ring) {
          ended = true;  // one more pass takes what was committed before the end
          continue;
        }
        r.wait(200);
      }
      t.end = r.position();
    });
  }
  std::thread writer([&] {
    kx::RealBufferPtr ring = rt.ring();
    while (ready.load() < kReaders && !past(deadline)) std::this_thread::yield();
    for (uint64_t seq = 0; seq < kCommits && !past(deadline); ++seq) commit_seq(*ring, seq);
    rt.nChannel_Status.store(kx::kStatusOff);
    rt.set_ring(nullptr);  // the branch ends; the readers keep their references
  });
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(rt.ring(), nullptr);

  uint64_t lapped = 0;
  for (int i = 0; i < kReaders; ++i) {
    const Tally& t = tally[static_cast<std::size_t>(i)];
    SCOPED_TRACE(i);
    EXPECT_TRUE(t.had_ring);
    EXPECT_FALSE(t.timed_out);
    EXPECT_EQ(t.torn, 0u);
    EXPECT_EQ(t.backwards, 0u);
    EXPECT_GT(t.data, 0u);
    EXPECT_EQ(t.end, kCommits);  // every reader ended exactly at the last commit
    lapped += t.lapped;
  }
  RecordProperty("lapped", static_cast<int>(lapped));
}

// ---------------------------------------------------------------------------------------
// Waiting for commits.

TEST(RingWait, TimesOutWhenNothingComes) {
  auto ring = std::make_shared<RealBuffer>(8, 0);
  EXPECT_FALSE(ring->wait_beyond(0, 30));
  commit_many(*ring, 1);
  EXPECT_TRUE(ring->wait_beyond(0, 30000));  // already there: no wait
  EXPECT_FALSE(ring->wait_beyond(1, 30));
  RingReader r(ring);
  EXPECT_TRUE(r.wait(30000));
  uint8_t buf[kx::kEntryBytes];
  int len = 0;
  ASSERT_EQ(r.next(buf, len), RingReader::kData);
  EXPECT_FALSE(r.wait(30));
}

TEST(RingWait, WakesOnCommit) {
  auto ring = std::make_shared<RealBuffer>(8, 0);
  constexpr int kRounds = 100;
  std::atomic<int> waiting_for{-1};
  std::atomic<int> woke{0}, failed{0};
  std::thread waiter([&] {
    for (int k = 0; k < kRounds; ++k) {
      waiting_for.store(k);
      if (!ring->wait_beyond(static_cast<uint64_t>(k), 60000)) failed.fetch_add(1);
      woke.store(k + 1);
    }
  });
  for (int k = 0; k < kRounds; ++k) {
    ASSERT_TRUE(kxt::wait_until([&] { return waiting_for.load() == k; }, 30000));
    commit_many(*ring, 1);
    ASSERT_TRUE(kxt::wait_until([&] { return woke.load() == k + 1; }, 30000)) << "round " << k;
  }
  waiter.join();
  EXPECT_EQ(failed.load(), 0);
}

TEST(RingWait, WakeAllReleasesEveryWaiter) {
  auto ring = std::make_shared<RealBuffer>(8, 0);
  commit_many(*ring, 2);
  constexpr int kWaiters = 4;
  std::atomic<int> returned{0}, with_data{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (ring->wait_beyond(2, 20000)) with_data.fetch_add(1);
      returned.fetch_add(1);
    });
  }
  // A wake that comes before a waiter sleeps is not kept, so keep waking until all are out.
  const bool all_out = kxt::wait_until(
      [&] {
        ring->wake_all();
        return returned.load() == kWaiters;
      },
      10000);
  EXPECT_TRUE(all_out);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(with_data.load(), 0);  // woken, not given data
  EXPECT_EQ(ring->commits(), 2u);
}

}  // namespace

// ---- marks set at commit ----

namespace {

using kx::EntryMeta;
using kx::RealBuffer;
using kx::RingReader;

struct MarkCase {
  const char* name;
  std::vector<kxtest::Packet> pkts;
  int header;  // bytes in front of the packets, declared by the writer
  int pat_pos, ra_pos;
};
void PrintTo(const MarkCase& c, std::ostream* os) { *os << c.name; }

class RingMarks : public ::testing::TestWithParam<MarkCase> {};

TEST_P(RingMarks, WriterMarksPatAndRandomAccess) {
  const MarkCase& c = GetParam();
  std::vector<uint8_t> data(static_cast<std::size_t>(c.header), 0x47);  // a header that looks like sync
  const std::vector<uint8_t> pk = kxtest::joined(c.pkts);
  data.insert(data.end(), pk.begin(), pk.end());
  auto ring = std::make_shared<RealBuffer>(4, 0);
  EntryMeta in;
  in.header_len = c.header;
  in.pat_pos = 5;  // whatever a writer passes, the ring finds the marks itself
  in.ra_pos = 5;
  ring->commit(data.data(), static_cast<int>(data.size()), in);
  EntryMeta m;
  ASSERT_TRUE(ring->peek(0, m));
  EXPECT_EQ(m.pat_pos, c.pat_pos);
  EXPECT_EQ(m.ra_pos, c.ra_pos);
  RingReader r(ring);
  uint8_t buf[kx::kEntryBytes];
  int len = 0;
  EntryMeta m2;
  ASSERT_EQ(r.next(buf, len, &m2), RingReader::kData);
  EXPECT_EQ(len, static_cast<int>(pk.size()));
  EXPECT_EQ(m2.pat_pos, c.pat_pos);
  EXPECT_EQ(m2.ra_pos, c.ra_pos);
}

using namespace kxtest;
INSTANTIATE_TEST_SUITE_P(
    MarkTable, RingMarks,
    ::testing::Values(
        MarkCase{"pat_pmt_idr", {pat_packet(), pmt_packet(), video_start(5), video_more()}, 0, 0, 376},
        MarkCase{"rtp_pat_pmt_idr", {pat_packet(), pmt_packet(), video_start(5), video_more()}, 12, 0, 376},
        MarkCase{"sps_starts_a_picture", {video_more(), video_start(7)}, 0, -1, 188},
        MarkCase{"random_access_flag", {video_more(), video_more(), video_start(1, 0x40)}, 0, -1, 376},
        MarkCase{"p_frame_is_no_start", {pat_packet(), video_start(1), video_more()}, 0, 0, -1},
        MarkCase{"audio_key_is_no_start", {video_start(5, 0x40, 0xC0)}, 0, -1, -1},
        MarkCase{"continuation_is_no_start", {video_more(), video_more()}, 0, -1, -1},
        MarkCase{"second_pat_not_first", {video_start(5), pat_packet(), pat_packet()}, 0, 188, 0},
        // seven packets with one sync byte broken: not TS, no marks (an FLV slot, raw bytes)
        MarkCase{"out_of_sync", {pat_packet(), video_start(5), not_synced(), pmt_packet(),
                                 pmt_packet(), pmt_packet(), pmt_packet()}, 0, -1, -1}));

}  // namespace
