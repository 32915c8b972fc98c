#include "subscribers/admission.h"

#include <mutex>

#include "core/config.h"
#include "core/log.h"

namespace kx {

namespace {
std::mutex g_count_lock;
int g_total = 0;
}  // namespace

int admit_stream(const char* caller, int& server_index) {
  (void)caller;
  server_index = -1;
  const int limit = config()->i(Key::max_video_streaming_no);
  bool granted = false;
  int total = 0;
  {
    std::lock_guard<std::mutex> l(g_count_lock);
    granted = g_total < limit;
    if (granted) ++g_total;
    total = g_total;
  }
  // Logged outside the count lock.
  if (!granted) log_sys("System Error Code [%d]: Exceed Max Connection [%d] \n", kAdmitLimit, limit);
  log_sys("The Total Connection is [%d]\n", total);
  return granted ? kAdmitGranted : kAdmitLimit;
}

void release_stream(const char* caller) {
  bool held = false;
  {
    std::lock_guard<std::mutex> l(g_count_lock);
    held = g_total > 0;
    if (held) --g_total;
  }
  if (!held) log_sys("System Warning: %s released a connection it did not hold\n", caller);
}

int active_streams() {
  std::lock_guard<std::mutex> l(g_count_lock);
  return g_total;
}

}  // namespace kx
