#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/os/console.h"

namespace kx {

bool debug_output_enabled() {
  static const bool on = [] {
    const char* v = std::getenv("KESTRIX_DEBUG_OUTPUT");
    if (v && std::strcmp(v, "1") == 0) return true;
    return ::isatty(2) == 1;
  }();
  return on;
}

void debug_output(std::string_view text) {
  if (!debug_output_enabled()) return;
  const char* p = text.data();
  std::size_t n = text.size();
  while (n > 0) {
    ssize_t w = ::write(2, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

namespace {
sigset_t stop_set() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGINT);
  sigaddset(&s, SIGTERM);
  return s;
}
}  // namespace

void prepare_process_signals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &sa, nullptr);
  sigset_t s = stop_set();
  pthread_sigmask(SIG_BLOCK, &s, nullptr);
}

int wait_stop_signal(int timeout_ms) {
  sigset_t s = stop_set();
  timespec ts{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  int sig = sigtimedwait(&s, nullptr, &ts);
  return sig > 0 ? sig : 0;
}

void force_exit(int code) { ::_exit(code); }

}  // namespace kx
