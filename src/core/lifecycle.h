// Start-up, shutdown and restart of the whole server.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "core/os/sync.h"
#include "core/service.h"

namespace kx {

inline constexpr const char* kVersionText = "12.3.003 (12/16/15)";
inline constexpr const char* kProductName = "Quillmarsh";

enum StartType { kFirstStart = 1, kRestartStart = 2 };
enum ShutdownType { kRestartShutdown = 2, kFinalShutdown = 3 };

// Process-wide state of the life cycle.
extern std::atomic<int> g_started;   // 1 after a completed start-up
extern std::atomic<int> g_shutdown;  // set by the final shutdown only
extern Stop g_server_stop;           // set by every shutdown; the channel inputs' stop signal
extern std::atomic<int64_t> g_server_start_time;  // seconds since 1970
extern Mutex g_reader_stop_lock;     // holds the channel reader until shutdown
extern Mutex g_multicast_stop_lock;  // holds the multicast server until shutdown

// Threads that outlive a restart (panel, management, monitor) hold this shared while they
// read the process tables; a restart holds it exclusively while it releases and reloads.
extern Gate g_tables_gate;

// The service threads, in start order.
extern Service g_panel_server, g_reader_process, g_management, g_monitor, g_apps_server,
    g_http_server, g_rtmp_server, g_rtsp_server, g_channel_log_server, g_multicast_server;

// start-up: 1 success, 0 failure, -1 a channel definition could not be read.
int piaKestrix_Init(int type);
// shutdown: 1 done, 0 when a restart's shutdown was asked while not started.
int piaKestrix_Uninit(int type);

// The same, under the one life-cycle lock, so two never run at once.
int lifecycle_start(int type);
int lifecycle_shutdown(int type);
// Shutdown(2) then start-up(2). Returns the start-up result, or 2 when refused because
// a start, shutdown or restart is running or the process is ending. The caller must not
// hold the tables gate.
int lifecycle_restart();

// The folder the server works in; "." except in tests.
extern std::string g_work_dir;

}  // namespace kx
