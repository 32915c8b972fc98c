// Viewer tickets: a channel's viewer counters go up once per ticket taken and down once
// per ticket given back, whichever way a player ends.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "ingest/channel_info.h"
#include "players/player_session.h"
#include "players/viewer_ticket.h"
#include "subscribers/player_identity.h"

namespace {

using kx::Channel_Info;
using kx::ViewerTicket;

TEST(ViewerTicket, LowersOnlyWhatItRaised) {
  auto ch = std::make_shared<Channel_Info>();
  {
    ViewerTicket never;  // a player that ended before it streamed
    EXPECT_FALSE(never.give_back());
  }
  EXPECT_EQ(ch->rt.Active_No.load(), 0);

  ViewerTicket a;
  const ViewerTicket::Counts up = a.take(ch);
  EXPECT_EQ(up.viewers, 1);
  EXPECT_EQ(up.views, 1);
  ViewerTicket::Counts left{-1, -1};
  EXPECT_TRUE(a.give_back(&left));
  EXPECT_EQ(left.viewers, 0);
  EXPECT_EQ(left.views, 1);
  EXPECT_FALSE(a.give_back(&left)) << "a second give-back changes nothing";
  EXPECT_EQ(ch->rt.Active_No.load(), 0);

  // Moving a ticket moves the count with it; dropping the holder gives it back once.
  ViewerTicket b;
  b.take(ch);
  ViewerTicket c(std::move(b));
  EXPECT_FALSE(b.held());
  EXPECT_EQ(ch->rt.Active_No.load(), 1);
  // Taking another channel gives the first back.
  auto other = std::make_shared<Channel_Info>();
  c.take(other);
  EXPECT_EQ(ch->rt.Active_No.load(), 0);
  EXPECT_EQ(other->rt.Active_No.load(), 1);
  c = ViewerTicket();
  EXPECT_EQ(other->rt.Active_No.load(), 0);
  EXPECT_EQ(ch->rt.Watched_No.load(), 2);
}

TEST(ViewerTicket, SessionsEndingEveryWayLeaveNoViewer) {
  // Players on several threads: some stream (take a ticket), some end before they do;
  // every session is then dropped. Nothing is left counted and nothing goes below zero.
  auto ch = std::make_shared<Channel_Info>();
  constexpr int kThreads = 8, kRounds = 500;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        auto s = std::make_unique<kx::PlayerSession>();
        if ((i + t) % 3 != 0) s->viewer.take(ch);
        EXPECT_GE(ch->rt.Active_No.load(), 0);
        if (i % 2 == 0) s->viewer.give_back();
      }
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(ch->rt.Active_No.load(), 0);
  int taken = 0;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) taken += (i + t) % 3 != 0;
  EXPECT_EQ(ch->rt.Watched_No.load(), taken);
}

TEST(PlayerIdentity, StopHandleWakesASleepingPlayer) {
  // Admission evicts a user's oldest player through this handle alone, whatever server
  // the player came through.
  kx::PlayerIdentity id;
  std::thread sleeper([&] {
    // Bounded: the stop below must cut this short long before it runs out.
    while (id.stop.load() == 0) {
      if (id.sem.wait_for(60000)) break;
    }
  });
  id.request_stop();
  sleeper.join();
  EXPECT_EQ(id.stop.load(), 1);
}

}  // namespace
