// The accept thread of the HTTP streaming server: listens on httpport, gives every
// connection a session and a command thread, and at stop lets the release thread drain.
#include "http/http_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <new>

#include "core/alloc.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "net/socket.h"

namespace kx {

namespace {

constexpr int kListenAttempts = 10;
constexpr int kBacklog = 10000;
constexpr int kSocketTimeoutMs = 30000;
constexpr int kAcceptWaitMs = 500;  // how soon the loop notices a stop
constexpr int64_t kReleaseJoinMs = 30000;

// httpport is kept as text: digits only, 1-65535; 0 otherwise.
int port_number(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v <= 65535 ? v : 0;
}

bool set_timeouts(int fd) {
  timeval tv{};
  tv.tv_sec = kSocketTimeoutMs / 1000;
  tv.tv_usec = (kSocketTimeoutMs % 1000) * 1000;
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
         ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

}  // namespace

void serve_connection(Socket conn, const sockaddr_in& from, uint32_t number, int port) {
  const uint32_t a = ntohl(from.sin_addr.s_addr);
  log_sys("Session[%d]: IP [%d.%d.%d.%d] Connects Kestrix Port[%d]\n", static_cast<int>(number),
          static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 255), static_cast<int>((a >> 8) & 255),
          static_cast<int>(a & 255), port);
  auto* s = try_new<PlayerSession>();
  if (!s) {
    log_sys("Memory allocated failed\n");
    return;
  }
  std::snprintf(s->ip, sizeof s->ip, "%d.%d.%d.%d", static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 255),
                static_cast<int>((a >> 8) & 255), static_cast<int>(a & 255));
  if (!set_timeouts(conn.fd())) {
    log_sys("Session[%d]: IP [%s] setsockopt error\n", static_cast<int>(number), s->ip);
    delete s;
    return;
  }
  set_field(s->group, "HTTP");
  s->session_no = number;
  s->sock.store(conn.release());
  http_players().session_created();
  // The release pass joins a finished thread only once this record is stored; the session
  // may already be on the release list, so it is not read again after the store.
  ThreadRecord* t = create_thread(HTTPCmdThread, s, "HTTPCmdThread");
  if (t != nullptr) {
    s->cmd_thread.store(t);
  } else {
    log_sys("Error: Session[%d]: IP [%s] Connects Kestrix Port[%d] Thread Created Failed\n", static_cast<int>(number),
            s->ip, port);
    close_socket(s->sock.exchange(-1));
    delete s;
    http_players().session_dropped();
    http_players().request_sweep();
  }
}

Service g_http_server{"HTTP Streaming Server", "Start to Close HTTP Streaming Server...\n",
                      "HTTP Streaming Server Closed...\n", HTTP_Server};

int HTTP_Server(Service& service) {
  const int port = port_number(config()->t(Key::httpport));
  Socket listener;
  bool listening = false;
  if (port > 0 && port <= 65535) {
    for (int attempt = 0; attempt < kListenAttempts && !service.stop.is_set(); ++attempt) {
      if (tcp_listen("", port, kBacklog, listener)) {
        listening = true;
        break;
      }
      log_sys("Kestrix Old Processes run on port [%d], please execute command <killall -9 kestrix>\n", port);
      service.stop.sleep(500);
    }
  } else {
    log_sys("System Error: httpport [%s] is not a port\n", config()->t(Key::httpport).c_str());
  }
  if (!listening) {
    service_ready(service, false);
    return 0;
  }

  g_http_state.store(kHttpRunning);
  log_sys("HTTP Server Starting\n");
  if (!http_players().start()) {
    g_http_state.store(kHttpStopped);
    service_ready(service, false);
    return 0;
  }
  service_ready(service, true);

  uint32_t counter = 0;
  while (!service.stop.is_set()) {
    Socket conn;
    sockaddr_in from{};
    const int r = tcp_accept(listener.fd(), kAcceptWaitMs, conn, &from);
    if (r == 0) continue;
    if (r < 0) {
      service.stop.sleep(50);  // out of descriptors, for one: do not spin
      continue;
    }
    if (service.stop.is_set()) break;
    serve_connection(std::move(conn), from, counter, port);
    ++counter;
  }

  g_http_state.store(kHttpStopRequested);
  g_http_state.store(kHttpDraining);
  http_players().stop_and_drain(kReleaseJoinMs);
  listener.close();
  g_http_state.store(kHttpStopped);
  return 0;
}

}  // namespace kx
