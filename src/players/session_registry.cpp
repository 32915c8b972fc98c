// The session registry: online and release lists, the release thread and the drain at
// stop. No log line is written and no thread created while a list lock is held.
#include "players/session_registry.h"

#include <cctype>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "net/socket.h"
#include "players/player_session.h"
#include "subscribers/auth.h"

namespace kx {

namespace {

constexpr int kSweepEverySeconds = 7;
constexpr int kSweepAtCount = 100;
// At stop: how long the streaming players and then the remaining sessions are waited for.
constexpr int64_t kDrainOnlineMs = 8000;
constexpr int64_t kDrainAllMs = 12000;

// The process-wide list of registries; a plain mutex that guards only the vector.
std::mutex& registries_lock() {
  static std::mutex m;
  return m;
}
std::vector<SessionRegistry*>& registries() {
  static std::vector<SessionRegistry*> v;
  return v;
}

// Joins one finished thread of a session once its record is in place: true when joined.
bool join_slot(std::atomic<ThreadRecord*>& record, std::atomic<int>& state, int64_t join_ms) {
  if (state.load() != kSlotFinished) return state.load() == kSlotJoined;
  ThreadRecord* t = record.load();
  if (t == nullptr) return false;  // its creator has not stored it yet: next pass
  if (!join_thread(t, join_ms)) return false;
  record.store(nullptr);
  state.store(kSlotJoined);
  return true;
}

}  // namespace

void user_left(PlayerSession& s) {
  if (!s.user_ref && !s.external) return;
  s.user_check = player_left(s, true);
}

int player_watchdog_pass(SessionList& players, const char* server) {
  std::vector<std::string> lines;
  {
    Guard g(players.lock);
    for (PtrPos pos = players.list.head(); pos != nullptr;) {
      auto* p = static_cast<PlayerSession*>(PtrList::get_next(pos));
      if (p->progressed.exchange(0, std::memory_order_relaxed) != 0) continue;
      const char* verdict = p->stop.exchange(1) == 0 ? "cancelled" : "terminated";
      const int ch = p->channel_no.load();
      char line[1024];
      if (ch > 0) {
        std::snprintf(line, sizeof line, "%s Player: IP: [%s] User: [%s] CH: [%d]  is %s: Status=[%s] Stage=[%s]\n",
                      server, p->ip, p->user, ch, verdict, p->status_a.load(), p->stage.load());
      } else {
        std::snprintf(line, sizeof line,
                      "%s Player: IP: [%s] User: [%s] Filename: [%s]  is %s: Status=[%s] Stage=[%s]\n", server, p->ip,
                      p->user, p->watching, verdict, p->status_a.load(), p->stage.load());
      }
      lines.emplace_back(line);
    }
  }
  for (const auto& line : lines) log_sys("%s", line.c_str());
  return static_cast<int>(lines.size());
}

SessionRegistry::SessionRegistry(const char* server, bool periodic) : periodic_(periodic) {
  std::snprintf(server_, sizeof server_, "%s", server);
  for (std::size_t i = 0; server_[i] != '\0'; ++i)
    lower_[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(server_[i])));
  std::lock_guard<std::mutex> g(registries_lock());
  registries().push_back(this);
}

SessionRegistry::~SessionRegistry() {
  {
    std::lock_guard<std::mutex> g(registries_lock());
    auto& v = registries();
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (*it == this) {
        v.erase(it);
        break;
      }
    }
  }
  Guard a(online_.lock);
  online_.list.clear();
  Guard b(release_.lock);
  release_.list.clear();
}

void SessionRegistry::for_each(const std::function<void(SessionRegistry&)>& fn) {
  std::vector<SessionRegistry*> now;
  {
    std::lock_guard<std::mutex> g(registries_lock());
    now = registries();
  }
  // Registries live as long as their server module (static storage): a copy is safe to walk.
  for (SessionRegistry* r : now) fn(*r);
}

void SessionRegistry::online_add(PlayerSession& s) {
  Guard g(online_.lock);
  if (s.on_online_list) return;
  s.on_online_list = online_.list.add_tail(&s) != nullptr;
}

void SessionRegistry::online_remove(PlayerSession& s) {
  Guard g(online_.lock);
  if (!s.on_online_list) return;
  online_.list.remove(&s);
  s.on_online_list = false;
}

int SessionRegistry::online_count() {
  Guard g(online_.lock);
  return online_.list.count();
}

bool SessionRegistry::queue_locked(PlayerSession& s) {
  if (release_.list.add_tail(&s) != nullptr) return true;
  s.release_next = spill_;
  spill_ = &s;
  ++spilled_;
  return false;
}

void SessionRegistry::release(PlayerSession& s) {
  bool added;
  {
    Guard g(release_.lock);
    added = queue_locked(s);
  }
  if (!added) log_sys("System Error: %s release list out of memory\n", server_);
}

bool SessionRegistry::take_back(PlayerSession& s) {
  Guard g(release_.lock);
  if (release_.list.remove(&s)) return true;
  for (PlayerSession** link = &spill_; *link != nullptr; link = &(*link)->release_next) {
    if (*link == &s) {
      *link = s.release_next;
      s.release_next = nullptr;
      --spilled_;
      return true;
    }
  }
  return false;
}

int SessionRegistry::waiting_release() {
  Guard g(release_.lock);
  return release_.list.count() + spilled_;
}

void SessionRegistry::request_sweep() {
  force_sweep_.store(1);
  wake_.set();
}

bool SessionRegistry::try_free(PlayerSession& s, int64_t join_ms) {
  const bool data = join_slot(s.data_thread, s.data_state, join_ms);
  const bool cmd = join_slot(s.cmd_thread, s.cmd_state, join_ms);
  if (!data || !cmd) return false;
  user_left(s);  // never freed while still in its user's player list
  delete &s;
  live_.fetch_sub(1);
  return true;
}

// One pass over the release list. The list (and the spill chain) is taken whole and worked
// on outside the lock, so data threads handing in their sessions never wait for a join;
// what cannot be freed yet goes back.
void SessionRegistry::release_pass(int64_t join_ms) {
  PtrList work;
  PlayerSession* chain = nullptr;
  {
    Guard g(release_.lock);
    work = std::move(release_.list);
    chain = spill_;
    spill_ = nullptr;
    spilled_ = 0;
  }
  const int taken = work.count() + [&] {
    int n = 0;
    for (PlayerSession* p = chain; p != nullptr; p = p->release_next) ++n;
    return n;
  }();
  if (taken == 0) return;  // an idle server logs nothing
  log_sys("Start to release all used %s threads [%d]...\n", lower_, taken);
  for (PtrPos pos = work.head(); pos != nullptr;) {
    PtrPos cur = pos;
    auto* s = static_cast<PlayerSession*>(PtrList::get_next(pos));
    if (try_free(*s, join_ms)) work.remove_at(cur);
  }
  PlayerSession* back = nullptr;
  while (chain != nullptr) {
    PlayerSession* s = chain;
    chain = s->release_next;
    s->release_next = nullptr;
    if (!try_free(*s, join_ms)) {
      s->release_next = back;
      back = s;
    }
  }
  int left;
  bool spilled = false;
  {
    Guard g(release_.lock);
    while (void* v = work.remove_head()) spilled |= !queue_locked(*static_cast<PlayerSession*>(v));
    while (back != nullptr) {
      PlayerSession* s = back;
      back = s->release_next;
      s->release_next = nullptr;
      spilled |= !queue_locked(*s);
    }
    left = release_.list.count() + spilled_;
  }
  if (spilled) log_sys("System Error: %s release list out of memory\n", server_);
  log_sys("End to release all used %s threads[%d]...\n", lower_, left);
}

// Every streaming player is told to stop; a socket shut down wakes a thread blocked in a
// send. The socket stays open: the data thread's end closes it after leaving the list.
void SessionRegistry::stop_online_players() {
  Guard g(online_.lock);
  for (PtrPos pos = online_.list.head(); pos != nullptr;) {
    auto* s = static_cast<PlayerSession*>(PtrList::get_next(pos));
    s->stop.store(1);
    const int fd = s->sock.load();
    if (fd >= 0) shutdown_socket(fd);
  }
}

void SessionRegistry::drain() {
  const int64_t online_end = mono_ms() + kDrainOnlineMs;
  int64_t next_log = 0;
  for (int n = online_count(); n > 0 && mono_ms() < online_end; n = online_count()) {
    stop_online_players();
    if (mono_ms() >= next_log) {
      log_sys("2. There are [%d] %s Online Players\n", n, server_);
      next_log = mono_ms() + 1000;
    }
    sleep_ms(100);
  }
  // Command threads still reading or answering end on their own once they see the stop.
  const int64_t all_end = mono_ms() + kDrainAllMs;
  for (;;) {
    release_pass(200);
    if (live_.load() <= 0 || mono_ms() >= all_end) break;
    stop_online_players();
    sleep_ms(100);
  }
  const int left = live_.load();
  if (left > 0) log_sys("System Warning: [%d] %s sessions did not end in time\n", left, server_);
}

void SessionRegistry::release_loop() {
  int countdown = kSweepEverySeconds;
  while (!draining_.load()) {
    wake_.sleep(1000);
    if (draining_.load()) break;
    wake_.clear();  // the loop condition sees a stop that comes after this
    const bool forced = force_sweep_.exchange(0) != 0;
    const bool due = periodic_ && --countdown <= 0;
    if (due || waiting_release() > kSweepAtCount || forced) {
      countdown = kSweepEverySeconds;
      release_pass(50);
    }
  }
  drain();
}

int SessionRegistry::release_thread(void* self) {
  static_cast<SessionRegistry*>(self)->release_loop();
  return 0;
}

bool SessionRegistry::start() {
  draining_.store(false);
  wake_.clear();
  char name[32];
  std::snprintf(name, sizeof name, "%s Release", server_);
  thread_ = create_thread(release_thread, this, name);
  if (thread_ == nullptr) log_sys("System Error: %s release thread could not be created\n", server_);
  return thread_ != nullptr;
}

void SessionRegistry::stop_and_drain(int64_t join_ms) {
  draining_.store(true);
  wake_.set();
  if (thread_ != nullptr && !join_thread(thread_, join_ms))
    log_sys("System Error: %s release thread did not end\n", server_);
}

}  // namespace kx
