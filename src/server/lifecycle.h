// Start-up, shutdown and restart of the whole server.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/process_state.h"
#include "core/service.h"

namespace kx {

inline constexpr const char* kVersionText = "12.3.003 (12/16/15)";
inline constexpr const char* kProductName = "Quillmarsh";

enum StartType { kFirstStart = 1, kRestartStart = 2 };
enum ShutdownType { kRestartShutdown = 2, kFinalShutdown = 3 };

extern Mutex g_multicast_stop_lock;  // holds the multicast server until shutdown

// The service threads of this folder; the channel reader (ingest) and the HTTP and RTMP
// streaming servers (http, rtmp) keep theirs beside their routines.
extern Service g_panel_server, g_management, g_monitor, g_apps_server, g_rtsp_server, g_channel_log_server, g_multicast_server;

// start-up: 1 success, 0 failure, -1 a channel definition could not be read.
int piaKestrix_Init(int type);
// shutdown: 1 done, 0 when a restart's shutdown was asked while not started.
int piaKestrix_Uninit(int type);

// The same, under the one life-cycle lock, so two never run at once. The final shutdown
// first asks a running start-up to end (cancel_startup), then waits for the lock, bounded
// by g_lifecycle_wait_ms with "still waiting" lines; past the limit it goes on without it.
int lifecycle_start(int type);
int lifecycle_shutdown(int type);
// Asks a running start-up to end at its next step; the channel inputs already started see
// the server stop. The next start-up clears it.
void cancel_startup();
// Shutdown(2) then start-up(2). Returns the start-up result, or 2 when refused because
// a start, shutdown or restart is running or the process is ending. The caller must not
// hold the tables gate. The wait for the tables gate is bounded as the shutdown's; a
// restart that cannot have it is refused (2).
int lifecycle_restart();

// The limit of the life-cycle lock and tables gate waits, in milliseconds (tests shorten it).
extern std::atomic<int64_t> g_lifecycle_wait_ms;

}  // namespace kx
