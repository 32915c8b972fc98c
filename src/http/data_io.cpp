#include "http/data_io.h"

#include "core/process_state.h"
#include "http/http_server.h"

namespace kx {

bool http_serving() { return !g_http_server.stop.is_set() && !g_server_stop.is_set(); }

StopToken player_stop(const PlayerSession& s) {
  StopToken t;
  t.on(s.stop).on(g_http_server.stop).on(g_server_stop);
  return t;
}

int send_body(PlayerSession& s, const void* data, std::size_t len, int& err) {
  const SendPiece one{data, len};
  return send_body(s, &one, 1, err);
}

int send_body(PlayerSession& s, const SendPiece* pieces, int count, int& err) {
  err = 0;
  const int fd = s.sock.load(std::memory_order_relaxed);
  if (fd < 0) return kSendFailed;
  std::size_t sent = 0;
  const Sent r = send_all(fd, pieces, count, player_stop(s), kBodySendTimeoutMs, err, &sent);
  if (sent > 0) s.progressed.store(1, std::memory_order_relaxed);
  if (r == Sent::kDone) return kSendDone;
  return r == Sent::kStopped ? kSendStopped : kSendFailed;
}

long send_body_now(PlayerSession& s, const SendPiece* pieces, int count, int& err) {
  err = 0;
  const int fd = s.sock.load(std::memory_order_relaxed);
  if (fd < 0) return -1;
  const long n = send_now(fd, pieces, count, err);
  if (n > 0) s.progressed.store(1, std::memory_order_relaxed);
  return n;
}

bool pause_ms(PlayerSession& s, int64_t ms) { return sleep_for(ms, player_stop(s)); }

void set_state(PlayerSession& s, const char* status, const char* stage) {
  s.status_a.store(status);
  s.status_b.store(status);
  s.stage.store(stage);
}

}  // namespace kx
