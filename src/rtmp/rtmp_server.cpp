// The accept thread of the RTMP server: listens on rtmpport, gives every connection a
// session and a command thread, and at stop lets the release thread drain.
#include "rtmp/rtmp_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "core/alloc.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "net/wait.h"

namespace kx {

namespace {

constexpr int kListenAttempts = 10;
constexpr int kBacklog = 10000;
constexpr int kSocketTimeoutMs = 30000;
constexpr int kAcceptWaitMs = 500;
constexpr int64_t kReleaseJoinMs = 30000;

bool set_timeouts(int fd) {
  timeval tv{};
  tv.tv_sec = kSocketTimeoutMs / 1000;
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
         ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool listen_on(Service& service, int port, Socket& listener) {
  for (int attempt = 0; attempt < kListenAttempts && !service.stop.is_set(); ++attempt) {
    if (tcp_listen("", port, kBacklog, listener)) return true;
    log_sys("Kestrix Old Processes run on port [%d], please execute command <killall -9 kestrix>\n", port);
    service.stop.sleep(500);
  }
  return false;
}

bool session_stopped(const void* arg) {
  return static_cast<const RtmpSession*>(arg)->stop.load() != 0 || !rtmp_server_running();
}

}  // namespace

std::atomic<int> g_rtmp_state{kRtmpStopped};

Service g_rtmp_server{"RTMP Streaming Server", "Start to Close RTMP Steaming Server...\n",
                      "RTMP Streaming Server Closed...\n", RTMP_Server};

SessionRegistry& rtmp_players() {
  static SessionRegistry registry("RTMP", false);
  return registry;
}

bool rtmp_send(RtmpSession& s, const uint8_t* data, std::size_t len) {
  if (len == 0) return true;
  StopToken stop;
  stop.when(session_stopped, &s);
  int err = 0;
  std::lock_guard<std::mutex> g(s.send_lock);
  const int fd = s.sock.load();
  if (fd < 0) return false;
  if (send_all(fd, data, len, stop, kSocketTimeoutMs, err) != Sent::kDone) return false;
  s.progressed.store(1, std::memory_order_relaxed);
  return true;
}

bool rtmp_send(RtmpSession& s, const std::vector<uint8_t>& bytes) { return rtmp_send(s, bytes.data(), bytes.size()); }

void rtmp_thread_done(RtmpSession& s) {
  // Wakes the other thread from its wait on the socket. Done before this thread gives up
  // its share: after that the other may close the descriptor, and a new connection may be
  // given its number by the time a late shutdown would reach it.
  const int fd = s.sock.load();
  if (fd >= 0) shutdown_socket(fd);
  if (s.users.fetch_sub(1) != 1) return;
  close_socket(s.sock.exchange(-1));
  rtmp_players().release(s);
}

void serve_rtmp_connection(Socket conn, const sockaddr_in& from, uint32_t number, int port) {
  auto* s = try_new<RtmpSession>();
  if (!s) {
    log_sys("Memory allocated failed\n");
    return;
  }
  set_field(s->ip, ipv4_text(from).c_str());
  if (!set_timeouts(conn.fd())) {
    log_sys("IP [%s] : setsockopt error\n", s->ip);
    delete s;
    return;
  }
  log_sys("IP [%s] : Connects Kestrix Port[%d]\n", s->ip, port);
  set_field(s->group, "RTMP");
  s->session_no = number;
  s->sock.store(conn.release());
  rtmp_players().session_created();
  ThreadRecord* t = create_thread(RTMPCmdThread, s, "RTMPCmdThread");
  if (t != nullptr) {
    // The release pass joins a finished thread (freeing its record) only once this record
    // is stored; the session may be on the release list already, so nothing is read after.
    const uint32_t id = t->id;
    s->cmd_thread.store(t);
    log_sys("IP [%s] : hCmdThread [0x%x] Created\n", ipv4_text(from).c_str(), id);
  } else {
    log_sys("Error: IP [%s] Connects RTMP Port[%d] Thread Created Failed\n", s->ip, port);
    close_socket(s->sock.exchange(-1));
    delete s;
    rtmp_players().session_dropped();
    rtmp_players().request_sweep();
  }
}

int RTMP_Server(Service& service) {
  const int port = config()->i(Key::rtmpport);
  Socket listener;
  if (port <= 0 || port > 65535 || !listen_on(service, port, listener)) {
    if (port > 65535) log_sys("System Error: rtmpport [%d] is not a port\n", port);
    service_ready(service, false);
    return 0;
  }
  g_rtmp_state.store(kRtmpRunning);
  log_sys("RTMP Server Starting\n");
  if (!rtmp_players().start()) {
    g_rtmp_state.store(kRtmpStopped);
    service_ready(service, false);
    return 0;
  }
  service_ready(service, true);

  uint32_t counter = 0;
  while (!service.stop.is_set()) {
    if (poll_readable(listener.fd(), kAcceptWaitMs) <= 0) continue;
    log_sys("A RTMP Client wants to connect RTMP Connection\n");
    Socket conn;
    sockaddr_in from{};
    const int r = tcp_accept(listener.fd(), 0, conn, &from);
    if (r == 0) continue;
    if (r < 0) {
      service.stop.sleep(50);  // out of descriptors, for one: do not spin
      continue;
    }
    if (service.stop.is_set()) break;
    serve_rtmp_connection(std::move(conn), from, counter, port);
    ++counter;
  }

  g_rtmp_state.store(kRtmpStopRequested);
  g_rtmp_state.store(kRtmpDraining);
  rtmp_players().stop_and_drain(kReleaseJoinMs);
  listener.close();
  g_rtmp_state.store(kRtmpStopped);
  return 0;
}

}  // namespace kx
