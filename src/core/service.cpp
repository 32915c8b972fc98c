#include "core/service.h"

#include <algorithm>

#include "core/log.h"
#include "core/os/time.h"

namespace kx {

int64_t g_service_report_wait_ms = 60000;
int64_t g_service_stop_wait_ms = 60000;

namespace {

Semaphore g_startup_barrier;  // posted once by every service thread it waits for

int service_main(void* p) {
  auto& s = *static_cast<Service*>(p);
  int rc = s.routine(s);
  service_ready(s, false);  // a routine that returned without reporting has failed
  exit_thread();
  return rc;
}

}  // namespace

void service_ready(Service& s, bool ok) {
  if (s.reported.exchange(1) != 0) return;
  if (!ok) s.failed.store(1);
  g_startup_barrier.post();
}

int service_start(Service& s, bool wait) {
  if (!s.routine) return 0;
  if (s.thread && !join_thread(s.thread, 0)) {
    // A thread of an earlier start that never stopped: never two at once.
    log_sys("System Error: %s is still running from before\n", s.name);
    return 0;
  }
  s.failed.store(0);
  s.stop.clear();
  s.reported.store(wait ? 0 : 1);
  s.thread = create_thread(service_main, &s, s.name);
  if (!s.thread) return 0;
  if (!wait) return 1;
  if (!g_startup_barrier.wait_for(g_service_report_wait_ms)) {
    // Claim the report; if the thread posted meanwhile, take that post back.
    if (s.reported.exchange(1) != 0) g_startup_barrier.wait();
    else {
      log_sys("System Error: %s did not report its start\n", s.name);
      return 0;
    }
  }
  return s.failed.load() ? 0 : 1;
}

int service_stop(Service& s) {
  s.stop.set();
  if (!s.thread) return 1;
  log_sys("%s", s.close_text);
  const int64_t step = 5000;
  for (int64_t waited = 0;; waited += step) {
    if (join_thread(s.thread, std::min(step, g_service_stop_wait_ms - waited))) break;
    if (waited + step >= g_service_stop_wait_ms) {
      log_sys("System Error: %s did not stop; shutdown goes on without it\n", s.name);
      return 0;
    }
    log_sys("System Warning: still waiting for %s to stop\n", s.name);
  }
  log_sys("%s", s.closed_text);
  return 1;
}

}  // namespace kx
