#include "server/monitor.h"

#include <ctime>

#include "ingest/channel_info.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/time.h"
#include "players/session_registry.h"
#include "ingest/input.h"
#include "server/lifecycle.h"

namespace kx {

bool restart_due(int hour, int minute) {
  ConfigPtr c = config();
  for (const RestartTime& r : c->restart_table)
    if (r.hour == hour && r.minute == minute) return true;
  return false;
}

int system_management_main(Service& s) {
  service_ready(s, true);
  log_sys("System Management Server Starting\n");
  while (!s.stop.sleep(7000)) {
    std::tm now{};
    local_time(now);
    if (!restart_due(now.tm_hour, now.tm_min)) continue;
    log_sys("Restart Kestrix at [%02d:%02d].......\n", now.tm_hour, now.tm_min);
    if (lifecycle_restart() == 2) log_sys("System Warning: restart refused, another one is running\n");
    s.stop.sleep(60000);  // the same minute must not trigger twice
  }
  return 0;
}

void reset_daily_counters(const MSK_IPTV_Channel_List& t) {
  for (const auto& ch : t.ch) {
    if (!ch) continue;
    Guard g(ch->rt.hCounter_Lock);
    ch->rt.Watched_No.store(0);
  }
}

void park_idle_channels(const MSK_IPTV_Channel_List& t) {
  for (const auto& ch : t.ch) {
    if (!ch || ch->def.nCache_On_Demand != 1 || ch->rt.Active_No.load() != 0) continue;
    if (park_channel(*ch)) log_sys("System Monitor: CH [%d] does not have any player.\n", ch->def.nChannel_No);
  }
}

int system_monitor_main(Service& s) {
  service_ready(s, true);
  log_sys("System Monitor Starting\n");
  std::tm now{};
  local_time(now);
  int day = now.tm_mday;
  log_sys("Current day=[%d]\n", day);
  int k = 0;
  while (!s.stop.sleep(kMonitorPeriodMs)) {
    // A restart replaces the tables; the gate keeps them whole while this pass reads them.
    SharedGuard tables(g_tables_gate);
    SessionRegistry::for_each([](SessionRegistry& r) { r.watchdog_pass(); });
    const int interval = config()->i(Key::stop_ch_cache_interval);
    k = (k + 1) % (2 * (interval > 0 && interval <= 1000000 ? interval : 10));
    const ChannelTablePtr t = channel_table();
    local_time(now);
    if (now.tm_mday != day) {
      day = now.tm_mday;
      if (t) reset_daily_counters(*t);
    }
    if (k == 0 && t) park_idle_channels(*t);
  }
  return 0;
}

}  // namespace kx
