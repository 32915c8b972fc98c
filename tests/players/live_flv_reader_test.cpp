// The live FLV reader: a player starts at a keyframe tag, gets the tag ring in order,
// starts again at a keyframe after a lap, and waits through a source outage.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/os/time.h"
#include "ingest/channel_info.h"
#include "players/live_flv_reader.h"

namespace {

using kx::LiveFlvReader;
using Next = kx::LiveFlvReader::Next;

class LiveFlv : public ::testing::Test {
 protected:
  void SetUp() override {
    ch = std::make_shared<kx::Channel_Info>();
    ring = std::make_shared<kx::RealBuffer>(64, 0);
    ch->rt.set_flv_ring(ring);
    ch->rt.nThread_Finished.store(0);
    ch->rt.nChannel_Status.store(kx::kStatusOn);
  }
  // One entry per letter: K the first piece of a keyframe tag, anything else another
  // entry. Each entry's byte is its letter, so the order handed out can be read back.
  void commit(const std::string& kinds, kx::RealBuffer* r = nullptr) {
    for (char k : kinds) {
      kx::EntryMeta m;
      m.keyframe_offset = k == 'K' ? 0 : -1;
      const uint8_t b = static_cast<uint8_t>(k);
      (r ? r : ring.get())->commit(&b, 1, m);
    }
  }
  std::string pull(LiveFlvReader& rd, Next* last = nullptr) {
    const int64_t end = kx::mono_ms() + 20000;
    while (kx::mono_ms() < end) {
      LiveFlvReader::Batch b;
      const Next n = rd.next_batch(b);
      if (last) *last = n;
      if (n == Next::kOff || b.bytes > 0) return std::string(reinterpret_cast<const char*>(b.data), b.bytes);
    }
    return "";
  }
  std::shared_ptr<kx::Channel_Info> ch;
  kx::RealBufferPtr ring;
};

TEST(FlvKeyframe, NearestBehindThenAhead) {
  kx::RealBuffer ring(16, 0);
  for (int i = 0; i < 8; ++i) {
    kx::EntryMeta m;
    m.keyframe_offset = (i == 2 || i == 6) ? 0 : -1;
    const uint8_t b = 0;
    ring.commit(&b, 1, m);
  }
  uint64_t seq = 99;
  ASSERT_TRUE(kx::flv_find_keyframe(ring, 5, 0, seq));
  EXPECT_EQ(seq, 2u);
  ASSERT_TRUE(kx::flv_find_keyframe(ring, 5, 3, seq)) << "behind the floor is not looked at";
  EXPECT_EQ(seq, 6u);
  EXPECT_FALSE(kx::flv_find_keyframe(ring, 7, 7, seq));
  EXPECT_FALSE(kx::flv_find_keyframe(kx::RealBuffer(4, 0), 0, 0, seq));
}

TEST_F(LiveFlv, StartsAtAKeyframeAndFollows) {
  commit("aKbcdefKgh");
  LiveFlvReader rd(ch, kx::SessionLog(1, "u", 0, 3), 0);
  ASSERT_TRUE(rd.open());
  EXPECT_EQ(pull(rd), "KbcdefKgh");
  commit("ij");
  EXPECT_EQ(pull(rd), "ij");
}

TEST_F(LiveFlv, LappedPlayerStartsAgainAtAKeyframe) {
  ring = std::make_shared<kx::RealBuffer>(8, 0);
  ch->rt.set_flv_ring(ring);
  commit("Kab");
  LiveFlvReader rd(ch, kx::SessionLog(1, "u", 0, 3), 0);
  ASSERT_TRUE(rd.open());
  EXPECT_EQ(pull(rd), "Kab");
  commit("cdefghijKlmn");  // round the ring while the player sleeps
  Next last = Next::kData;
  std::string got = pull(rd, &last);
  EXPECT_EQ(got, "Klmn");
}

TEST_F(LiveFlv, OutageIsWaitedThroughOrEnds) {
  commit("Kab");
  LiveFlvReader waits(ch, kx::SessionLog(1, "u", 0, 3), 30000);
  LiveFlvReader ends(ch, kx::SessionLog(2, "u", 0, 3), 0);
  ASSERT_TRUE(waits.open());
  ASSERT_TRUE(ends.open());
  EXPECT_EQ(pull(waits), "Kab");
  EXPECT_EQ(pull(ends), "Kab");
  ch->rt.nChannel_Status.store(kx::kStatusOff);
  LiveFlvReader::Batch b;
  EXPECT_EQ(ends.next_batch(b), Next::kOff);
  EXPECT_EQ(waits.next_batch(b), Next::kWait);
  commit("cdKef");  // back mid-group: on from the next keyframe, nothing sent twice
  ch->rt.nChannel_Status.store(kx::kStatusOn);
  EXPECT_EQ(pull(waits), "Kef");
  ch->rt.nChannel_Status.store(kx::kStatusOff);
  EXPECT_EQ(waits.next_batch(b), Next::kWait);
  ch->rt.nStop.store(1);
  EXPECT_EQ(waits.next_batch(b), Next::kOff) << "a stopped channel is not waited for";
}

}  // namespace
