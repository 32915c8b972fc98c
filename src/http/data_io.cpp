#include "http/data_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "core/os/time.h"
#include "core/process_state.h"
#include "http/http_server.h"

namespace kx {

namespace {
constexpr int kStepMs = 200;
}  // namespace

bool http_serving() { return !g_http_server.stop.is_set() && !g_server_stop.is_set(); }

int send_body(PlayerSession& s, const void* data, std::size_t len, int& err) {
  err = 0;
  const auto* p = static_cast<const uint8_t*>(data);
  int64_t idle_since = -1;
  while (len > 0) {
    if (s.stop.load(std::memory_order_relaxed) || !http_serving()) return kSendStopped;
    const int fd = s.sock.load(std::memory_order_relaxed);
    if (fd < 0) return kSendFailed;
    const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      s.progressed.store(1, std::memory_order_relaxed);
      p += n;
      len -= static_cast<std::size_t>(n);
      idle_since = -1;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      err = n == 0 ? 0 : errno;
      return kSendFailed;
    }
    const int64_t now = mono_ms();
    if (idle_since < 0) idle_since = now;
    if (now - idle_since >= kBodySendTimeoutMs) return kSendFailed;
    pollfd pfd{fd, POLLOUT, 0};
    const int r = ::poll(&pfd, 1, kStepMs);
    if (r < 0 && errno != EINTR) {
      err = errno;
      return kSendFailed;
    }
    if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(pfd.revents & POLLOUT)) {
      err = EPIPE;
      return kSendFailed;
    }
  }
  return kSendDone;
}

bool pause_ms(PlayerSession& s, int64_t ms) {
  const int64_t end = mono_ms() + ms;
  for (;;) {
    if (s.stop.load(std::memory_order_relaxed) || !http_serving()) return false;
    const int64_t left = end - mono_ms();
    if (left <= 0) return true;
    sleep_ms(std::min<int64_t>(left, kStepMs));
  }
}

void set_state(PlayerSession& s, const char* status, const char* stage) {
  s.status_a.store(status);
  s.status_b.store(status);
  s.stage.store(stage);
}

}  // namespace kx
