// The online and release lists, the end every data thread shares, and the release
// thread that joins finished threads and deletes their sessions.
#include <sys/socket.h>

#include <algorithm>

#include "ingest/channel_info.h"
#include "core/log.h"
#include "core/os/sync.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "http/http_auth.h"
#include "http/http_server.h"
#include "net/socket.h"
#include "subscribers/admission.h"

namespace kx {

SessionList g_http_online;
SessionList g_http_release;
std::atomic<int> g_http_state{kHttpStopped};
std::atomic<int> g_http_live_sessions{0};

namespace {

std::atomic<int> g_force_sweep{0};
Stop g_release_wake;

constexpr int kSweepEverySeconds = 7;
constexpr int kSweepAtCount = 100;
// At stop: how long the streaming players and then the remaining sessions are waited for.
constexpr int64_t kDrainOnlineMs = 8000;
constexpr int64_t kDrainAllMs = 12000;

int online_count() {
  Guard g(g_http_online.lock);
  return g_http_online.list.count();
}

// One pass over the release list. The list is taken whole and worked on outside the lock,
// so data threads handing in their sessions never wait for a join; what cannot be freed
// yet goes back. join_ms bounds each join.
void release_pass(int64_t join_ms) {
  PtrList work;
  {
    Guard g(g_http_release.lock);
    work = std::move(g_http_release.list);
  }
  if (work.count() == 0) return;  // an idle server logs nothing
  log_sys("Start to release all used http threads [%d]...\n", work.count());
  for (PtrPos pos = work.head(); pos != nullptr;) {
    PtrPos cur = pos;
    auto* s = static_cast<PlayerSession*>(PtrList::get_next(pos));
    // A thread record is stored before the session can reach this list (both are done
    // under the release-list lock), so a finished state always comes with its record.
    if (s->data_state.load() == kSlotFinished && join_thread(s->data_thread, join_ms))
      s->data_state.store(kSlotJoined);
    if (s->cmd_state.load() == kSlotFinished && join_thread(s->cmd_thread, join_ms))
      s->cmd_state.store(kSlotJoined);
    if (s->data_state.load() == kSlotJoined && s->cmd_state.load() == kSlotJoined) {
      work.remove_at(cur);
      user_left(*s);  // never freed while still in its user's player list
      delete s;
      g_http_live_sessions.fetch_sub(1);
    }
  }
  int left;
  {
    Guard g(g_http_release.lock);
    while (void* v = work.remove_head()) {
      if (!g_http_release.list.add_tail(v)) {
        log_sys("System Error: HTTP release list out of memory\n");
        break;
      }
    }
    left = g_http_release.list.count();
  }
  log_sys("End to release all used http threads[%d]...\n", left);
}

// Every streaming player is told to stop; a socket shut down wakes a thread blocked in a
// send. The socket stays open: end_data_thread closes it after leaving the online list.
void stop_online_players() {
  Guard g(g_http_online.lock);
  for (PtrPos pos = g_http_online.list.head(); pos != nullptr;) {
    auto* s = static_cast<PlayerSession*>(PtrList::get_next(pos));
    s->stop.store(1);
    const int fd = s->sock.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }
}

void drain() {
  const int64_t online_end = mono_ms() + kDrainOnlineMs;
  int64_t next_log = 0;
  for (int n = online_count(); n > 0 && mono_ms() < online_end; n = online_count()) {
    stop_online_players();
    if (mono_ms() >= next_log) {
      log_sys("2. There are [%d] HTTP Online Players\n", n);
      next_log = mono_ms() + 1000;
    }
    sleep_ms(100);
  }
  // Command threads still reading or answering end on their own once they see the state.
  const int64_t all_end = mono_ms() + kDrainAllMs;
  for (;;) {
    release_pass(200);
    if (g_http_live_sessions.load() <= 0 || mono_ms() >= all_end) break;
    stop_online_players();
    sleep_ms(100);
  }
  const int left = g_http_live_sessions.load();
  if (left > 0) log_sys("System Warning: [%d] HTTP sessions did not end in time\n", left);
}

}  // namespace

void online_add(PlayerSession& s) {
  Guard g(g_http_online.lock);
  if (s.on_online_list) return;
  s.on_online_list = g_http_online.list.add_tail(&s) != nullptr;
}

int player_watchdog_pass(SessionList& players, const char* server) {
  int stopped = 0;
  Guard g(players.lock);
  for (PtrPos pos = players.list.head(); pos != nullptr;) {
    auto* p = static_cast<PlayerSession*>(PtrList::get_next(pos));
    if (p->progressed.exchange(0, std::memory_order_relaxed) != 0) continue;
    const char* verdict = p->stop.exchange(1) == 0 ? "cancelled" : "terminated";
    const int ch = p->channel_no.load();
    if (ch > 0) {
      log_sys("%s Player: IP: [%s] User: [%s] CH: [%d]  is %s: Status=[%s] Stage=[%s]\n", server, p->ip, p->user, ch,
              verdict, p->status_a.load(), p->stage.load());
    } else {
      log_sys("%s Player: IP: [%s] User: [%s] Filename: [%s]  is %s: Status=[%s] Stage=[%s]\n", server, p->ip,
              p->user, p->watching, verdict, p->status_a.load(), p->stage.load());
    }
    ++stopped;
  }
  return stopped;
}

void online_remove(PlayerSession& s) {
  Guard g(g_http_online.lock);
  if (!s.on_online_list) return;
  g_http_online.list.remove(&s);
  s.on_online_list = false;
}

void release_session(PlayerSession& s) {
  Guard g(g_http_release.lock);
  if (!g_http_release.list.add_tail(&s)) log_sys("System Error: HTTP release list out of memory\n");
}

void request_release_sweep() {
  g_force_sweep.store(1);
  g_release_wake.set();
}

void wake_release_thread() { g_release_wake.set(); }

void end_data_thread(PlayerSession& s, ViewerTicket::Counts* left) {
  s.status_a.store("CLOSING");
  s.status_b.store("CLOSING");
  s.stage.store("Thread Closing");
  s.stop.store(1);
  online_remove(s);
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
  release_session(s);
}

int HTTP_ReleaseThread(void*) {
  int countdown = kSweepEverySeconds;
  while (g_http_state.load() != kHttpDraining) {
    g_release_wake.sleep(1000);
    if (g_http_state.load() == kHttpDraining) break;
    g_release_wake.clear();  // the loop condition sees a stop that comes after this
    const bool forced = g_force_sweep.exchange(0) != 0;
    int waiting;
    {
      Guard g(g_http_release.lock);
      waiting = g_http_release.list.count();
    }
    if (--countdown <= 0 || waiting > kSweepAtCount || forced) {
      countdown = kSweepEverySeconds;
      release_pass(50);
    }
  }
  drain();
  return 0;
}

}  // namespace kx
