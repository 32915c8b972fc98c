// The two housekeeping threads that live for the whole process.
#pragma once
#include "core/service.h"

namespace kx {

// Restarts the server at the times of the restart table.
int system_management_main(Service& s);
// Watches players and channels; clears the daily counters at midnight.
int system_monitor_main(Service& s);

struct MSK_IPTV_Channel_List;

// How often the monitor looks at the players and channels.
inline constexpr int kMonitorPeriodMs = 30000;

// The monitor's channel steps: the daily views set to 0; on-demand channels that nobody
// watches parked (live, delay and dvr ones; the input thread then stops).
void reset_daily_counters(const MSK_IPTV_Channel_List& t);
void park_idle_channels(const MSK_IPTV_Channel_List& t);

// Whether a restart table entry is due at this local hour and minute.
bool restart_due(int hour, int minute);

}  // namespace kx
