// The players of one server (HTTP today; RTMP and RTSP each get their own instance): the
// online list of sessions streaming now, the release list of finished sessions, and the
// release thread that joins their threads and frees them, draining everything at stop.
// Every registry is listed process-wide while it exists, so the monitor can walk every
// server's players.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

#include "core/os/ptr_list.h"
#include "core/os/sync.h"

namespace kx {

class PlayerSession;
struct ThreadRecord;

// One list under its own lock.
struct SessionList {
  Mutex lock;
  PtrList list;
};

// One period of the player watchdog over a player list (server is "HTTP", "RTMP" or
// "RTSP"): a player that moved no data since the last pass is stopped and logged ("is
// cancelled", or "is terminated" when it had been stopped already). Returns how many.
// The lines are written after the list lock is released.
int player_watchdog_pass(SessionList& players, const char* server);

// Tells the user check that an admitted player left; does nothing for a player that was
// never counted. Safe on every end path (a second call does nothing).
void user_left(PlayerSession& s);

class SessionRegistry {
 public:
  // server names the server in the log lines ("HTTP"); its lower-case form is used too.
  // A periodic registry also frees its finished sessions every few seconds; otherwise a
  // pass runs only above 100 waiting, when forced, and at stop.
  explicit SessionRegistry(const char* server, bool periodic = true);
  ~SessionRegistry();
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  const char* server() const { return server_; }

  // Sessions created and not yet deleted: the accepting thread counts each new one, and
  // uncounts one it freed itself because it never reached the release list.
  void session_created() { live_.fetch_add(1); }
  void session_dropped() { live_.fetch_sub(1); }
  int live_sessions() const { return live_.load(); }

  void online_add(PlayerSession& s);
  void online_remove(PlayerSession& s);
  int online_count();
  // Hands a finished session to the release thread (both of its threads are done or never
  // ran). Its thread records may still be on their way: a session is only freed once each
  // finished thread's record is in place.
  void release(PlayerSession& s);
  // Takes a session back off the release list without freeing it (tests that run a data
  // thread by hand). False when it was not there.
  bool take_back(PlayerSession& s);
  int waiting_release();

  // The monitor's watchdog over this server's online players.
  int watchdog_pass() { return player_watchdog_pass(online_, server_); }

  // Starts the release thread; false (logged) when it could not be created.
  bool start();
  // Asks the release thread for a pass at once (a command thread could not be created).
  void request_sweep();
  // Ends the release thread: it stops every online player, waits for them (bounded),
  // joins and frees every session, then returns. Logs when the thread did not end.
  void stop_and_drain(int64_t join_ms);

  // One release pass (join_ms bounds each join); the release thread runs it, tests too.
  void release_pass(int64_t join_ms);

  // Calls fn for every registry that exists now (the monitor's walk). fn must not create
  // or destroy registries.
  static void for_each(const std::function<void(SessionRegistry&)>& fn);

 private:
  static int release_thread(void* self);
  void release_loop();
  void stop_online_players();
  void drain();
  // Under release_.lock: onto the list, else onto the spill chain (which allocates nothing).
  // False when it went to the chain.
  bool queue_locked(PlayerSession& s);
  // Joins the threads of s and frees it when both are done; true when freed.
  bool try_free(PlayerSession& s, int64_t join_ms);

  const bool periodic_;
  char server_[16] = {};
  char lower_[16] = {};
  SessionList online_;
  SessionList release_;
  PlayerSession* spill_ = nullptr;  // finished sessions the release list had no room for
  int spilled_ = 0;
  std::atomic<int> live_{0};
  std::atomic<int> force_sweep_{0};
  std::atomic<bool> draining_{false};
  Stop wake_;
  ThreadRecord* thread_ = nullptr;  // only start and stop_and_drain touch it
};

}  // namespace kx
