// The HTTP server's session registry and the end every data thread shares.
#include "http/http_server.h"
#include "core/log.h"
#include "net/socket.h"
#include "subscribers/admission.h"

namespace kx {

std::atomic<int> g_http_state{kHttpStopped};

SessionRegistry& http_players() {
  static SessionRegistry registry("HTTP");
  return registry;
}

void end_data_thread(PlayerSession& s, ViewerTicket::Counts* left) {
  s.status_a.store("CLOSING");
  s.status_b.store("CLOSING");
  s.stage.store("Thread Closing");
  s.stop.store(1);
  http_players().online_remove(s);
  const int fd = s.sock.exchange(-1);
  if (fd >= 0) close_socket(fd);
  s.viewer.give_back(left);
  user_left(s);
  if (s.holds_slot) {
    release_stream("HTTP");
    s.holds_slot = false;
  }
  log_sys("The Total Connection is [%d]\n", active_streams());
  s.stage.store("Thread Closed");
  s.data_state.store(kSlotFinished);
  http_players().release(s);
}

}  // namespace kx
