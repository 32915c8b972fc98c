// The monitor's periodic channel steps: the daily view counters and the parking of
// on-demand channels nobody watches.
#include <gtest/gtest.h>

#include <memory>

#include "ingest/channel_info.h"
#include "server/monitor.h"

namespace kx {
namespace {

std::shared_ptr<Channel_Info> channel(int number, int type, int on_demand, int viewers) {
  auto ch = std::make_shared<Channel_Info>();
  ch->def.nChannel_No = number;
  ch->def.nChannel_Type = type;
  ch->def.nCache_On_Demand = on_demand;
  ch->rt.Active_No.store(viewers);
  ch->rt.Watched_No.store(7);
  return ch;
}

TEST(MonitorChannels, ParksIdleOnDemandChannelsAndClearsDailyViews) {
  MSK_IPTV_Channel_List t;
  t.ch = {channel(1, kTypeLive, 1, 0), channel(2, kTypeDvr, 1, 2), channel(3, kTypeLive, 0, 0),
          channel(4, kTypeDelay, 1, 0), channel(5, kTypeInactive, 1, 0)};
  t.count = 5;
  park_idle_channels(t);
  const int want[] = {kTypePause, kTypeDvr, kTypeLive, kTypePause, kTypeInactive};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(static_cast<int>(t.ch[i]->def.nChannel_Type), want[i]) << "CH " << i + 1;
  EXPECT_EQ(static_cast<int>(t.ch[0]->def.nSaved_Channel_Type), kTypeLive);
  EXPECT_EQ(static_cast<int>(t.ch[3]->def.nSaved_Channel_Type), kTypeDelay);
  reset_daily_counters(t);
  for (const auto& ch : t.ch) EXPECT_EQ(ch->rt.Watched_No.load(), 0);
}

}  // namespace
}  // namespace kx
