// Service threads: the long-running servers that start-up starts one at a time and
// shutdown stops in the same order.
#pragma once
#include <atomic>

#include "core/os/sync.h"
#include "core/os/thread.h"

namespace kx {

struct Service;
using ServiceRoutine = int (*)(Service&);

struct Service {
  Service(const char* n, const char* close, const char* closed, ServiceRoutine r = nullptr)
      : name(n), close_text(close), closed_text(closed), routine(r) {}
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  const char* name;         // in log lines: "HTTP Panel Server"
  const char* close_text;   // "Start to Close HTTP Panel Server...\n"
  const char* closed_text;  // "HTTP Panel Server Closed...\n"
  ServiceRoutine routine = nullptr;  // nullptr while the server is not part of the build
  ThreadRecord* thread = nullptr;    // set while a thread of this service exists
  Stop stop;                         // set by the stopping side
  std::atomic<int> failed{0};        // set by the thread when it could not start
  std::atomic<int> reported{0};      // the start-up barrier was posted for this start
};

// The thread tells start-up it is serving (ok) or has failed. Only the first call of a
// start counts, so the barrier is posted exactly once per start.
void service_ready(Service& s, bool ok);

// Starts the service thread and, when wait is set, waits (bounded) for its report.
// 1 started and serving; 0 failed to create, reported failure or never reported.
int service_start(Service& s, bool wait = true);

// Sets the stop flag and joins the thread, logging the close lines around it. Waits are
// bounded: every few seconds it logs whom it still waits for; after the limit it gives
// up on the thread (its record is kept, never freed under it). Returns 1 when joined.
int service_stop(Service& s);

// Limits, in milliseconds (tests shorten them).
extern int64_t g_service_report_wait_ms;
extern int64_t g_service_stop_wait_ms;

}  // namespace kx
