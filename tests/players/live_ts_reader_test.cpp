// The live TS reader: where a player starts, what it is sent, and how it rides out an
// outage of the channel's input, with a ring filled by hand and no socket.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "catalogue/channel_def.h"
#include "core/os/time.h"
#include "ingest/channel_info.h"
#include "players/live_ts_reader.h"
#include "support/ts_fixture.h"

namespace {

using kx::LiveBatch;
using kx::LiveTsReader;
using Next = kx::LiveTsReader::Next;
using Bytes = std::vector<uint8_t>;

class LiveReader : public ::testing::Test {
 protected:
  void SetUp() override {
    ch = std::make_shared<kx::Channel_Info>();
    ch->def.tolerance = 1.0f;  // no pacing: the batches come as fast as they are asked for
    ring = std::make_shared<kx::RealBuffer>(64, 0);
    ch->rt.set_ring(ring);
    ch->rt.nThread_Finished.store(0);
    ch->rt.nChannel_Status.store(kx::kStatusOn);
  }

  void commit(const std::vector<const char*>& entries, kx::RealBuffer* r = nullptr) {
    for (const char* e : entries) {
      const Bytes d = kxtest::entry_of(e);
      (r ? r : ring.get())->commit(d.data(), static_cast<int>(d.size()));
    }
  }

  std::unique_ptr<LiveTsReader> open(int source_wait_ms, int in_place_margin = 0) {
    kx::LiveTsOptions o;
    o.in_place_margin = in_place_margin;
    o.tolerance = 1.0f;
    o.source_wait_ms = source_wait_ms;
    auto rd = std::make_unique<LiveTsReader>(ch, kx::SessionLog(1, "u", 0, 7), o);
    EXPECT_TRUE(rd->open());
    return rd;
  }

  // Asks until a batch with bytes comes (appended to got) or the reader ends; bounded.
  Next pull(LiveTsReader& rd, Bytes& got, int64_t limit_ms = 20000) {
    const int64_t end = kx::mono_ms() + limit_ms;
    while (kx::mono_ms() < end) {
      LiveBatch b;
      const Next n = rd.next_batch(b);
      const Bytes d = bytes_of(b);
      got.insert(got.end(), d.begin(), d.end());
      if (b.bytes > 0) {
        EXPECT_TRUE(rd.sent(b));
      }
      if (n == Next::kOff || b.bytes > 0) return n;
    }
    return Next::kWait;
  }

  static Bytes bytes_of(const LiveBatch& b) {
    Bytes out;
    for (int i = 0; i < b.span_count; ++i) out.insert(out.end(), b.spans[i].data, b.spans[i].data + b.spans[i].len);
    return out;
  }

  static Bytes cat(const std::vector<const char*>& entries) {
    Bytes out;
    for (const char* e : entries) {
      const Bytes d = kxtest::entry_of(e);
      out.insert(out.end(), d.begin(), d.end());
    }
    return out;
  }

  std::shared_ptr<kx::Channel_Info> ch;
  kx::RealBufferPtr ring;
};

TEST_F(LiveReader, StartsAtAPatBeforeAPictureThenFollowsTheLiveEdge) {
  commit({"PMFc", "Fc", "PMIc", "Fc", "Fc", "Fc"});
  auto rd = open(0);
  Bytes got;
  ASSERT_EQ(pull(*rd, got), Next::kData);
  EXPECT_EQ(got, cat({"PMIc"})) << "the first bytes are the PAT the key picture follows";
  ASSERT_EQ(pull(*rd, got), Next::kData);
  EXPECT_EQ(got, cat({"PMIc", "Fc", "Fc", "Fc"}));
  // Caught up: the reader waits; new entries are handed out as they come.
  LiveBatch b;
  EXPECT_EQ(rd->next_batch(b), Next::kWait);
  commit({"Fc", "PMFc"});
  ASSERT_EQ(pull(*rd, got), Next::kData);
  EXPECT_EQ(got, cat({"PMIc", "Fc", "Fc", "Fc", "Fc", "PMFc"}));
  EXPECT_EQ(rd->pmt_pid(), kxtest::kPmtPid);
}

// What ends an outage: the source coming back, a stop, an inactive channel, the wait
// running out; with no wait configured the player ends at once, as it always did.
struct OutageCase {
  const char* name;
  int wait_ms;
  enum { kBack, kNewRing, kStopped, kInactive, kThreadGone, kNeverBack } what;
  Next want;
};
void PrintTo(const OutageCase& c, std::ostream* os) { *os << c.name; }

class LiveReaderOutage : public LiveReader, public ::testing::WithParamInterface<OutageCase> {};

TEST_P(LiveReaderOutage, PlayerWaitsForTheSourceOrEnds) {
  const OutageCase& c = GetParam();
  commit({"PMIc", "Fc", "Fc"});
  auto rd = open(c.wait_ms);
  Bytes got;
  ASSERT_EQ(pull(*rd, got), Next::kData);
  ASSERT_EQ(pull(*rd, got), Next::kData);
  ASSERT_EQ(got, cat({"PMIc", "Fc", "Fc"}));

  ch->rt.nChannel_Status.store(kx::kStatusOff);
  LiveBatch b;
  if (c.wait_ms == 0) {
    EXPECT_EQ(rd->next_batch(b), Next::kOff);
    return;
  }
  for (int i = 0; i < 3; ++i) ASSERT_EQ(rd->next_batch(b), Next::kWait) << "the player waits through the outage";
  switch (c.what) {
    case OutageCase::kBack:
      // The source returns mid-picture: the player goes on at the next decodable start,
      // never at what it already had.
      commit({"Fc", "cc", "PMFc", "PMIc", "Fc"});
      ch->rt.nChannel_Status.store(kx::kStatusOn);
      break;
    case OutageCase::kNewRing: {
      auto fresh = std::make_shared<kx::RealBuffer>(64, 0);
      commit({"PMIc", "Fc"}, fresh.get());
      ch->rt.set_ring(fresh);
      ch->rt.nChannel_Status.store(kx::kStatusOn);
      break;
    }
    case OutageCase::kStopped: ch->rt.nStop.store(1); break;
    case OutageCase::kInactive: ch->def.nChannel_Type = kx::kTypeInactive; break;
    case OutageCase::kThreadGone: ch->rt.nThread_Finished.store(1); break;
    case OutageCase::kNeverBack: break;
  }
  Bytes more;
  ASSERT_EQ(pull(*rd, more), c.want);
  if (c.what == OutageCase::kBack || c.what == OutageCase::kNewRing) {
    ASSERT_EQ(pull(*rd, more), Next::kData);
    EXPECT_EQ(more, cat({"PMIc", "Fc"}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outages, LiveReaderOutage,
    ::testing::Values(OutageCase{"no_wait_ends_at_once", 0, OutageCase::kNeverBack, Next::kOff},
                      OutageCase{"source_back_in_the_same_ring", 30000, OutageCase::kBack, Next::kData},
                      OutageCase{"input_started_over_with_a_new_ring", 30000, OutageCase::kNewRing, Next::kData},
                      OutageCase{"channel_stopped", 30000, OutageCase::kStopped, Next::kOff},
                      OutageCase{"channel_made_inactive", 30000, OutageCase::kInactive, Next::kOff},
                      OutageCase{"input_thread_ended", 30000, OutageCase::kThreadGone, Next::kOff},
                      OutageCase{"wait_runs_out", 1500, OutageCase::kNeverBack, Next::kOff}),
    [](const auto& info) { return std::string(info.param.name); });

// A failover quicker than the player looks: the status was off for a moment nobody saw,
// but the input counts a new connection, and the player joins the new stream at a start.
TEST_F(LiveReader, ReplacedSourceIsJoinedAtADecodableStart) {
  commit({"PMIc", "Fc"});
  auto rd = open(30000);
  Bytes got;
  ASSERT_EQ(pull(*rd, got), Next::kData);
  ASSERT_EQ(pull(*rd, got), Next::kData);
  ASSERT_EQ(got, cat({"PMIc", "Fc"}));
  commit({"cc", "Fc", "PMFc", "PMIc", "Fc"});
  ch->rt.set_on();
  Bytes more;
  ASSERT_EQ(pull(*rd, more), Next::kData);
  EXPECT_EQ(more, cat({"PMIc"}));
}

TEST_F(LiveReader, LappedPlayerStartsAgainAtAPat) {
  ring = std::make_shared<kx::RealBuffer>(8, 0);
  ch->rt.set_ring(ring);
  commit({"PMIc", "Fc", "Fc"});
  auto rd = open(0);
  Bytes got;
  ASSERT_EQ(pull(*rd, got), Next::kData);
  ASSERT_EQ(pull(*rd, got), Next::kData);
  // The writer goes round the ring twice while the player sleeps.
  for (int i = 0; i < 4; ++i) commit({"Fc", "Fc", "Fc", "PMIc"});
  bool lapped = false;
  Bytes after;
  for (int i = 0; i < 50 && after.empty(); ++i) {
    LiveBatch b;
    const Next n = rd->next_batch(b);
    lapped = lapped || n == Next::kLapped;
    ASSERT_NE(n, Next::kOff);
    if (n == Next::kData && lapped) after = bytes_of(b);
  }
  EXPECT_TRUE(lapped);
  ASSERT_GE(after.size(), 188u);
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 188), kxtest::pat_packet()) << "resumes at a PAT";
}

// At the live edge the entries go out from the ring itself. When the writer comes round
// to them before the kernel has taken them all, the player is told the send was torn and
// starts again at a PAT, as after a lap.
TEST_F(LiveReader, TornSendFromTheRingStartsAgainAtAPat) {
  ring = std::make_shared<kx::RealBuffer>(16, 0);
  ch->rt.set_ring(ring);
  commit({"PMIc", "Fc", "Fc", "Fc", "Fc", "Fc", "Fc", "Fc"});
  auto rd = open(0, 3);
  Bytes got;
  ASSERT_EQ(pull(*rd, got), Next::kData);  // the start, copied
  LiveBatch b;
  bool in_place = false;
  for (int i = 0; i < 50 && !in_place; ++i) {
    b = LiveBatch{};
    ASSERT_NE(rd->next_batch(b), Next::kOff);
    in_place = b.ring_from != kx::kNoSeq;
    if (!in_place && b.bytes > 0) {
      EXPECT_TRUE(rd->sent(b));
    }
  }
  ASSERT_TRUE(in_place) << "entries clear of the writer are sent in place";
  const Bytes before = bytes_of(b);
  for (int i = 0; i < 5; ++i) commit({"Fc", "Fc", "PMIc"});  // round the ring once
  EXPECT_NE(bytes_of(b), before) << "the in-place bytes were rewritten";
  EXPECT_FALSE(rd->sent(b));
  Bytes after;
  ASSERT_EQ(pull(*rd, after), Next::kData);
  ASSERT_GE(after.size(), 188u);
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 188), kxtest::pat_packet()) << "resumes at a PAT";
}

// A player whose socket took only part of a batch gets the rest copied out of the ring
// before it waits: the writer coming round afterwards changes nothing it will be sent.
// When the writer got there first, the rest is dropped and the player starts again at a
// PAT.
TEST_F(LiveReader, SettledBatchKeepsItsBytesWhileTheWriterComesRound) {
  ring = std::make_shared<kx::RealBuffer>(16, 0);
  ch->rt.set_ring(ring);
  commit({"PMIc", "Fc", "Fc", "Fc", "Fc", "Fc", "Fc", "Fc"});
  auto rd = open(0, 3);
  Bytes got;
  ASSERT_EQ(pull(*rd, got), Next::kData);
  LiveBatch b;
  for (int i = 0; i < 50 && b.ring_from == kx::kNoSeq; ++i) {
    b = LiveBatch{};
    ASSERT_NE(rd->next_batch(b), Next::kOff);
    if (b.ring_from == kx::kNoSeq && b.bytes > 0) {
      EXPECT_TRUE(rd->sent(b));
    }
  }
  ASSERT_NE(b.ring_from, kx::kNoSeq);
  const Bytes whole = bytes_of(b);
  const std::size_t done = 100;  // mid-way through the first packet
  ASSERT_TRUE(rd->settle(b, done));
  EXPECT_EQ(b.ring_from, kx::kNoSeq) << "nothing left in the ring";
  for (int i = 0; i < 5; ++i) commit({"Fc", "Fc", "PMIc"});  // round the ring
  EXPECT_EQ(bytes_of(b), Bytes(whole.begin() + done, whole.end()));

  // The next batch is overtaken before its rest is copied out.
  b = LiveBatch{};
  for (int i = 0; i < 50 && b.ring_from == kx::kNoSeq; ++i) {
    b = LiveBatch{};
    ASSERT_NE(rd->next_batch(b), Next::kOff);
  }
  ASSERT_NE(b.ring_from, kx::kNoSeq);
  for (int i = 0; i < 6; ++i) commit({"Fc", "Fc", "PMIc"});
  EXPECT_FALSE(rd->settle(b, 10));
  EXPECT_EQ(b.bytes, 0);
  Bytes after;
  ASSERT_EQ(pull(*rd, after), Next::kData);
  ASSERT_GE(after.size(), 188u);
  EXPECT_EQ(Bytes(after.begin(), after.begin() + 188), kxtest::pat_packet()) << "resumes at a PAT";
}

}  // namespace
