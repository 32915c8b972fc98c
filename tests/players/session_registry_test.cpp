// Session registries: the watchdog over a player list, the release pass that waits for a
// thread record stored after its thread finished, and the drain at stop that ends and
// frees every session.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "core/os/ptr_list.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "players/player_session.h"
#include "players/session_registry.h"
#include "support/harness.h"

namespace kx {
namespace {

// A player that moved data in a period is left alone and must move data again before the
// next; one that did not is stopped ("cancelled"), and counted again ("terminated") while
// it is still listed.
TEST(PlayerWatchdog, StopsPlayersWithoutProgressForAWholePeriod) {
  SessionList list;
  PlayerSession moving, stuck;
  stuck.progressed.store(0);
  moving.channel_no.store(3);
  {
    Guard g(list.lock);
    list.list.add_tail(&moving);
    list.list.add_tail(&stuck);
  }
  EXPECT_EQ(player_watchdog_pass(list, "HTTP"), 1);
  EXPECT_EQ(moving.stop.load(), 0);
  EXPECT_EQ(stuck.stop.load(), 1);

  moving.progressed.store(1);  // a send in this period
  EXPECT_EQ(player_watchdog_pass(list, "HTTP"), 1);  // stuck again: terminated
  EXPECT_EQ(moving.stop.load(), 0);

  EXPECT_EQ(player_watchdog_pass(list, "HTTP"), 2);  // moving sent nothing this time
  EXPECT_EQ(moving.stop.load(), 1);
  Guard g(list.lock);
  list.list.clear();
}

// The monitor walks every registry that exists; a registry's watchdog covers its online
// players only, and a player leaves the walk once taken off the online list.
TEST(SessionRegistry, MonitorWalksEveryRegistrysOnlinePlayers) {
  SessionRegistry a("RTMP"), b("RTSP");
  PlayerSession pa, pb;
  pa.progressed.store(0);
  pb.progressed.store(0);
  a.online_add(pa);
  b.online_add(pb);
  a.online_add(pa);  // a second add is ignored
  EXPECT_EQ(a.online_count(), 1);
  int seen = 0, stopped = 0;
  SessionRegistry::for_each([&](SessionRegistry& r) {
    if (&r == &a || &r == &b) {
      ++seen;
      stopped += r.watchdog_pass();
    }
  });
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(stopped, 2);
  EXPECT_EQ(pa.stop.load(), 1);
  EXPECT_EQ(pb.stop.load(), 1);
  a.online_remove(pa);
  b.online_remove(pb);
  EXPECT_EQ(a.watchdog_pass(), 0);
  EXPECT_EQ(a.online_count(), 0);
}

std::atomic<int> g_freed{0};

struct CountedSession : PlayerSession {
  ~CountedSession() override { g_freed.fetch_add(1); }
};

int returns_at_once(void*) { return 0; }

// A command thread can finish and its session reach the release list before its creator
// has stored the thread record: the pass leaves it until the record is there, then joins
// it and frees the session.
TEST(SessionRegistry, ReleasePassWaitsForALateThreadRecord) {
  SessionRegistry r("TEST");
  g_freed.store(0);
  auto* s = new CountedSession;
  r.session_created();
  s->data_state.store(kSlotJoined);  // no data thread was ever started
  s->cmd_state.store(kSlotFinished);
  r.release(*s);
  r.release_pass(50);
  EXPECT_EQ(g_freed.load(), 0);
  EXPECT_EQ(r.waiting_release(), 1);

  ThreadRecord* t = create_thread(returns_at_once, nullptr, "test");
  ASSERT_NE(t, nullptr);
  s->cmd_thread.store(t);
  ASSERT_TRUE(kxt::wait_until([&] {
    r.release_pass(1000);
    return g_freed.load() == 1;
  }));
  EXPECT_EQ(r.waiting_release(), 0);
  EXPECT_EQ(r.live_sessions(), 0);
}

// Out of memory, the release list cannot take a finished session, nor take back what a
// pass could not free yet: the session waits on a chain that needs no memory and is still
// joined and freed, and a test can still take it back.
TEST(SessionRegistry, SessionsTheReleaseListCannotHoldAreStillFreed) {
  SessionRegistry r("TEST");
  g_freed.store(0);
  CountedSession* s[3];
  for (auto*& p : s) {
    p = new CountedSession;
    r.session_created();
    p->data_state.store(kSlotJoined);
    p->cmd_state.store(kSlotFinished);  // its record comes later
  }
  fail_next_list_nodes(2);
  for (auto* p : s) r.release(*p);  // the first two find no memory
  EXPECT_EQ(r.waiting_release(), 3);
  ASSERT_TRUE(r.take_back(*s[1]));  // off the chain
  EXPECT_EQ(r.waiting_release(), 2);
  r.release(*s[1]);

  fail_next_list_nodes(1000);  // the pass cannot put anything back on the list either
  r.release_pass(50);
  fail_next_list_nodes(0);
  EXPECT_EQ(g_freed.load(), 0);
  EXPECT_EQ(r.waiting_release(), 3);

  for (auto* p : s) {
    ThreadRecord* t = create_thread(returns_at_once, nullptr, "test");
    ASSERT_NE(t, nullptr);
    p->cmd_thread.store(t);
  }
  ASSERT_TRUE(kxt::wait_until([&] {
    r.release_pass(1000);
    return g_freed.load() == 3;
  }));
  EXPECT_EQ(r.waiting_release(), 0);
  EXPECT_EQ(r.live_sessions(), 0);
}

// The test's stand-ins for a server's threads: the command thread starts the data thread
// and finishes; the data thread streams until stopped, then leaves the online list and
// hands the session in, as a data thread's end does.
struct Rig {
  SessionRegistry* registry;
};
Rig g_rig{nullptr};

int data_thread(void* arg) {
  auto* s = static_cast<PlayerSession*>(arg);
  g_rig.registry->online_add(*s);
  const int64_t end = mono_ms() + 60000;  // bounded even if the drain never came
  while (s->stop.load() == 0 && mono_ms() < end) sleep_ms(5);
  g_rig.registry->online_remove(*s);
  s->data_state.store(kSlotFinished);
  g_rig.registry->release(*s);
  return 0;
}

int cmd_thread(void* arg) {
  auto* s = static_cast<PlayerSession*>(arg);
  ThreadRecord* t = create_thread(data_thread, s, "test data");
  if (t == nullptr) {
    s->data_state.store(kSlotJoined);
    g_rig.registry->release(*s);
  }
  s->data_thread.store(t);
  s->cmd_state.store(kSlotFinished);
  return 0;
}

TEST(SessionRegistry, DrainAtStopEndsAndFreesEverySession) {
  constexpr int kSessions = 150;
  SessionRegistry r("TEST");
  g_rig.registry = &r;
  g_freed.store(0);
  ASSERT_TRUE(r.start());
  int created = 0;
  for (int i = 0; i < kSessions; ++i) {
    auto* s = new CountedSession;
    r.session_created();
    ThreadRecord* t = create_thread(cmd_thread, s, "test cmd");
    if (t == nullptr) {  // the machine refused: this session never ran
      r.session_dropped();
      delete s;
      continue;
    }
    s->cmd_thread.store(t);
    ++created;
  }
  ASSERT_GT(created, 0);
  // Every session streams (or, refused a data thread, waits on the release list).
  ASSERT_TRUE(kxt::wait_until(
      [&] { return r.online_count() + r.waiting_release() + g_freed.load() >= kSessions; }, 60000));

  r.stop_and_drain(60000);
  EXPECT_EQ(r.online_count(), 0);
  EXPECT_EQ(r.waiting_release(), 0);
  EXPECT_EQ(r.live_sessions(), 0);
  EXPECT_EQ(g_freed.load(), kSessions);
  g_rig.registry = nullptr;
}

// A registry that frees only in bulk (the RTMP server's) leaves 100 finished sessions
// waiting past the periodic sweep's interval, frees them all once the 101st arrives, and
// frees whatever is left at stop.
TEST(SessionRegistry, BulkRegistryFreesAbove100WaitingOrAtStop) {
  SessionRegistry r("RTMP", false);
  g_freed.store(0);
  ASSERT_TRUE(r.start());
  auto finished = [&] {
    auto* s = new CountedSession;
    r.session_created();
    s->data_state.store(kSlotJoined);
    s->cmd_state.store(kSlotFinished);
    ThreadRecord* t = create_thread(returns_at_once, nullptr, "test");
    if (t == nullptr) {
      r.session_dropped();
      delete s;
      return false;
    }
    s->cmd_thread.store(t);
    r.release(*s);
    return true;
  };
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(finished());
  // Longer than the periodic registries' sweep: nothing may be freed meanwhile.
  EXPECT_FALSE(kxt::wait_until([] { return g_freed.load() > 0; }, 9000));
  EXPECT_EQ(r.waiting_release(), 100);
  ASSERT_TRUE(finished());
  EXPECT_TRUE(kxt::wait_until([] { return g_freed.load() == 101; }, 30000));

  ASSERT_TRUE(finished());
  r.stop_and_drain(60000);
  EXPECT_EQ(g_freed.load(), 102);
  EXPECT_EQ(r.live_sessions(), 0);
}

}  // namespace
}  // namespace kx
