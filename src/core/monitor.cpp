#include "core/monitor.h"

#include <ctime>

#include "core/config.h"
#include "core/lifecycle.h"
#include "core/log.h"
#include "core/os/time.h"

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

int system_monitor_main(Service& s) {
  service_ready(s, true);
  log_sys("System Monitor Starting\n");
  std::tm now{};
  local_time(now);
  int day = now.tm_mday;
  log_sys("Current day=[%d]\n", day);
  int k = 0;
  while (!s.stop.sleep(30000)) {
    SharedGuard tables(g_tables_gate);
    int interval = config()->i(Key::stop_ch_cache_interval);
    k = (k + 1) % (2 * (interval > 0 && interval <= 1000000 ? interval : 10));
    local_time(now);
    if (now.tm_mday != day) day = now.tm_mday;
    // The player watchdog, the daily channel counters and on-demand parking act on the
    // player lists and the channel table here, once those exist.
  }
  return 0;
}

}  // namespace kx
