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
  server_index = -1;
  const int limit = config()->i(Key::max_video_streaming_no);
  std::lock_guard<std::mutex> l(g_count_lock);
  if (g_total >= limit) {
    log_sys("System Error Code [%d]: Exceed Max Connection [%d] \n", kAdmitLimit, limit);
    (void)caller;
    return kAdmitLimit;
  }
  ++g_total;
  return kAdmitGranted;
}

void release_stream(const char* caller) {
  std::lock_guard<std::mutex> l(g_count_lock);
  if (g_total <= 0) {
    log_sys("System Warning: %s released a connection it did not hold\n", caller);
    return;
  }
  --g_total;
}

int active_streams() {
  std::lock_guard<std::mutex> l(g_count_lock);
  return g_total;
}

}  // namespace kx
