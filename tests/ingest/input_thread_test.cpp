// The input thread's life cycle: every command answered in every state, on-demand
// parking and resuming, reconnection with source rotation, and the exit.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "core/process_state.h"
#include "ingest/input.h"
#include "support/harness.h"

namespace {

using kx::Channel_Info;

// A branch the test steers: it "connects", commits entries while nothing asks it to
// end, and fails its source when told to.
std::atomic<int> g_connects{0};
std::atomic<int> g_fail_source{0};
std::mutex g_ports_lock;
std::vector<int> g_ports;  // the source port of every connect, in order

std::atomic<int> g_timeshift_starts{0};
std::atomic<int> g_hls_starts{0};

int fake_branch(kx::InputContext& ctx) {
  g_connects.fetch_add(1);
  kx::start_side_threads(ctx);
  kx::start_side_threads(ctx);  // a second call in the same pass starts nothing
  {
    std::lock_guard<std::mutex> l(g_ports_lock);
    g_ports.push_back(ctx.src.port);
  }
  ctx.ch->rt.nChannel_Status.store(kx::kStatusOn);
  uint8_t buf[1316] = {0x47};
  for (int i = 0; i < 100000; ++i) {
    if (ctx.should_end()) return kx::kEndCommand;
    if (g_fail_source.load()) return kx::kEndSourceFailed;
    ctx.ring->commit(buf, sizeof buf);
    kx::sleep_ms(2);
  }
  return kx::kEndSourceFailed;
}

class InputThread : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::Config c = kx::Config::defaults();
    kx::parse_configuration("channel_reconnection_interval=0\r\nchannel_input_buffer_no=64\r\n", c);
    kx::config_publish(c);
    kx::g_server_stop.clear();
    kx::set_input_branch(kx::kSrcUdpPort, fake_branch);
    g_connects = 0;
    g_fail_source = 0;
    {
      std::lock_guard<std::mutex> l(g_ports_lock);
      g_ports.clear();
    }
    ch = std::make_shared<Channel_Info>();
    ch->def.nChannel_No = 3;
    ch->def.nURL_Count = 3;
    ch->rt.has_sources = true;
    for (int i = 0; i < 3; ++i) {
      ch->rt.src[static_cast<std::size_t>(i)].type = kx::kSrcUdpPort;
      ch->rt.src[static_cast<std::size_t>(i)].port = 5000 + i;
    }
  }
  void TearDown() override {
    if (thread) {
      ch->rt.nStop.store(1);
      kx::join_thread(thread, 10000);
    }
    kx::set_input_branch(kx::kSrcUdpPort, nullptr);
    kx::close_logs();
    kx::log_set_mode(kx::Sink::Admin, 1000);
  }
  void start() {
    ch->rt.nThread_Finished.store(0);
    thread = kx::create_thread(kx::IPTV_Channel_DataThread, new std::shared_ptr<Channel_Info>(ch));
    ASSERT_NE(thread, nullptr);
  }
  bool running_with_connects(int n) {
    return kxt::wait_until([&] { return g_connects.load() >= n && ch->rt.nChannel_Status.load() == kx::kStatusOn; }, 5000);
  }
  bool parked_as(int type) {
    return kxt::wait_until([&] { return ch->def.nChannel_Type == type && ch->rt.nChannel_Status.load() == kx::kStatusOff && !ch->rt.ring(); }, 5000);
  }
  std::shared_ptr<Channel_Info> ch;
  kx::ThreadRecord* thread = nullptr;
  kxt::TempDir logs_;
};

TEST_F(InputThread, RefreshReconnectsAndStopEnds) {
  start();
  ASSERT_TRUE(running_with_connects(1));
  ASSERT_TRUE(kxt::wait_until([&] { auto r = ch->rt.ring(); return r && r->commits() > 5; }));
  ch->rt.nRefresh.store(1);
  ASSERT_TRUE(running_with_connects(2));
  EXPECT_EQ(ch->rt.nRefresh.load(), 0);
  ch->rt.nStop.store(1);
  ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nThread_Finished.load() == 1; }, 5000));
  EXPECT_TRUE(kx::join_thread(thread, 5000));
  EXPECT_EQ(ch->rt.ring(), nullptr);
}

TEST_F(InputThread, InactiveParksAndRefreshParksAgainUntilTypeChanges) {
  start();
  ASSERT_TRUE(running_with_connects(1));
  ch->def.nChannel_Type = kx::kTypeInactive;
  ASSERT_TRUE(parked_as(kx::kTypeInactive));
  int connects = g_connects.load();
  ch->rt.nRefresh.store(1);  // still inactive: parks again at once
  ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.nRefresh.load() == 0; }, 5000));
  EXPECT_TRUE(parked_as(kx::kTypeInactive));
  EXPECT_EQ(g_connects.load(), connects);
  ch->def.nChannel_Type = kx::kTypeLive;
  ch->rt.nRefresh.store(1);
  EXPECT_TRUE(running_with_connects(connects + 1));
}

TEST_F(InputThread, OnDemandChannelParksAtStartAndResumes) {
  ch->def.nCache_On_Demand = 1;
  start();
  ASSERT_TRUE(parked_as(kx::kTypePause));
  EXPECT_EQ(g_connects.load(), 0);
  ASSERT_TRUE(kx::resume_channel(*ch));
  ASSERT_TRUE(running_with_connects(1));
  EXPECT_EQ(ch->def.nChannel_Type, kx::kTypeLive);
  // Parked again by the monitor, then resumed while the branch is still ending.
  ASSERT_TRUE(kx::park_channel(*ch));
  ASSERT_TRUE(kx::resume_channel(*ch));
  EXPECT_TRUE(running_with_connects(2));
  EXPECT_EQ(ch->def.nChannel_Type, kx::kTypeLive);
}

TEST_F(InputThread, AdministratorInactiveWinsOverResume) {
  ch->def.nCache_On_Demand = 1;
  start();
  ASSERT_TRUE(parked_as(kx::kTypePause));
  ch->def.nChannel_Type = kx::kTypeInactive;  // the administrator, while parked
  ch->rt.nRefresh.store(1);
  EXPECT_TRUE(parked_as(kx::kTypeInactive));
  EXPECT_FALSE(kx::resume_channel(*ch));
  EXPECT_EQ(g_connects.load(), 0);
}

TEST_F(InputThread, FailingSourceRotatesThroughItsUrls) {
  g_fail_source = 1;
  start();
  ASSERT_TRUE(kxt::wait_until([&] { return g_connects.load() >= 4; }, 10000));
  ch->rt.nStop.store(1);
  ASSERT_TRUE(kx::join_thread(thread, 10000));
  EXPECT_EQ(ch->rt.nThread_Finished.load(), 1);
  std::lock_guard<std::mutex> l(g_ports_lock);
  ASSERT_GE(g_ports.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(g_ports[i], 5000 + static_cast<int>(i % 3)) << i;
}

TEST_F(InputThread, CommandsCutTheReconnectionWaitShort) {
  kx::Config c = *kx::config();
  kx::parse_configuration("channel_reconnection_interval=60\r\n", c);  // a minute per try
  kx::config_publish(c);
  g_fail_source = 1;
  start();
  ASSERT_TRUE(kxt::wait_until([&] { return ch->rt.status.load() == kx::kStWaitReconnect; }, 5000));
  int64_t t0 = kx::mono_ms();
  kx::g_server_stop.set();
  ASSERT_TRUE(kx::join_thread(thread, 5000));
  EXPECT_LT(kx::mono_ms() - t0, 2000);
  kx::g_server_stop.clear();
}

TEST_F(InputThread, SideThreadsStartOncePerPassByChannelKind) {
  kx::g_side_thread_hooks.timeshift = [](kx::InputContext&) { g_timeshift_starts.fetch_add(1); };
  kx::g_side_thread_hooks.hls = [](kx::InputContext&) { g_hls_starts.fetch_add(1); };
  g_timeshift_starts = 0;
  g_hls_starts = 0;
  ch->def.nChannel_Type = kx::kTypeDelay;  // delay: time-shift yes; no HLS mode: segmenter no
  start();
  ASSERT_TRUE(running_with_connects(1));
  EXPECT_EQ(g_timeshift_starts.load(), 1);
  ch->rt.nRefresh.store(1);  // a new pass through Init may start them again
  ASSERT_TRUE(running_with_connects(2));
  EXPECT_EQ(g_timeshift_starts.load(), 2);
  EXPECT_EQ(g_hls_starts.load(), 0);
  ch->rt.nStop.store(1);
  ASSERT_TRUE(kx::join_thread(thread, 10000));
  kx::g_side_thread_hooks = {};
}

// A ring the machine cannot hold: the channel logs the line, stays off without a ring and
// its thread ends; a channel already running keeps its ring and its input.
TEST_F(InputThread, RingThatCannotBeHadLeavesOnlyThatChannelOff) {
  kx::open_logs(logs_ / "log");
  kx::log_set_mode(kx::Sink::Admin, 1);
  start();
  ASSERT_TRUE(running_with_connects(1));
  kx::Config c = *kx::config();
  kx::parse_configuration("channel_input_buffer_no=2000000000\r\n", c);
  kx::config_publish(c);
  auto other = std::make_shared<Channel_Info>();
  other->def.nChannel_No = 4;
  other->def.nURL_Count = 1;
  other->rt.has_sources = true;
  other->rt.src[0].type = kx::kSrcUdpPort;
  other->rt.src[0].port = 6000;
  kx::ThreadRecord* t = kx::create_thread(kx::IPTV_Channel_DataThread, new std::shared_ptr<Channel_Info>(other));
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(kx::join_thread(t, 10000));
  EXPECT_EQ(other->rt.nThread_Finished.load(), 1);
  EXPECT_EQ(other->rt.nChannel_Status.load(), kx::kStatusOff);
  EXPECT_EQ(other->rt.ring(), nullptr);
  EXPECT_EQ(g_connects.load(), 1);  // the failed channel never connected
  const std::string log = kxt::slurp(logs_ / "log/admin_system.log");
  EXPECT_EQ(kxt::count_of(log, "]: Real Buffer allocated failed\n"), 1) << log;
  EXPECT_NE(log.find("]: IPTV_Channel_DataThread OUT: CH [4] Closed\n"), std::string::npos) << log;
  // The first channel is untouched: the same ring, still growing.
  auto ring = ch->rt.ring();
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(ring->size(), 64);
  const uint64_t seen = ring->commits();
  EXPECT_TRUE(kxt::wait_until([&] { return ring->commits() > seen + 5; }, 5000));
  EXPECT_EQ(ch->rt.nChannel_Status.load(), kx::kStatusOn);
  ch->rt.nStop.store(1);
  EXPECT_TRUE(kx::join_thread(thread, 10000));
}

TEST(ReconnectDelay, IsComputedIn64BitsAndBounded) {
  EXPECT_EQ(kx::reconnect_delay_ms(1, 7), 7007);
  EXPECT_EQ(kx::reconnect_delay_ms(65535, 3600), (1000 + 65535) * int64_t{3600});
  EXPECT_EQ(kx::reconnect_delay_ms(5, 1 << 30), (1000 + 5) * int64_t{3600});
  EXPECT_EQ(kx::reconnect_delay_ms(5, -7), 0);
}

}  // namespace
