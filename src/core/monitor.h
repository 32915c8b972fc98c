// The two housekeeping threads that live for the whole process.
#pragma once
#include "core/service.h"

namespace kx {

// Restarts the server at the times of the restart table.
int system_management_main(Service& s);
// Watches players and channels; clears the daily counters at midnight.
int system_monitor_main(Service& s);

// Whether a restart table entry is due at this local hour and minute.
bool restart_due(int hour, int minute);

}  // namespace kx
