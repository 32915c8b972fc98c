// Process-wide state of the life cycle that every layer may read: the stop signal of the
// channel inputs, the tables gate and the working folder. The composition folder sets it.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "core/os/sync.h"

namespace kx {

extern std::atomic<int> g_started;   // 1 after a completed start-up
extern std::atomic<int> g_shutdown;  // set by the final shutdown only
extern Stop g_server_stop;           // set by every shutdown; the channel inputs' stop signal
extern std::atomic<int64_t> g_server_start_time;  // seconds since 1970

// Threads that outlive a restart (panel, management, monitor) hold this shared while they
// read the process tables; a restart holds it exclusively while it releases and reloads.
extern Gate g_tables_gate;

// The folder the server works in; "." except in tests.
extern std::string g_work_dir;

}  // namespace kx
