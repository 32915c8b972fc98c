// Who a player is, as admission sees it: the part of a player's session that every
// streaming server (HTTP, RTMP, RTSP) fills in before asking whether it may watch. The
// user's list of connected players holds these, so evicting the oldest player needs no
// knowledge of the server it came through: its stop handle is enough.
#pragma once
#include <atomic>

#include "core/os/sync.h"
#include "subscribers/user_profile.h"

namespace kx {

struct PlayerIdentity {
  PlayerIdentity() = default;
  PlayerIdentity(const PlayerIdentity&) = delete;
  PlayerIdentity& operator=(const PlayerIdentity&) = delete;

  char ip[16] = {};
  char user[128] = {};
  char password[128] = {};
  char mac[13] = "N/A";
  // The user this player counts against while admitted: a stable reference (a table
  // index would shift when a user is inserted or deleted). Set and cleared only by the
  // user checks, under the user's lock.
  UserPtr user_ref;
  int user_index = 0;
  bool mac_verified = false;
  bool external = false;  // counted by another server of the balanced set

  // The stop handle: the flag every loop of the player's threads polls, and the
  // semaphore a sleeping player waits on.
  std::atomic<int> stop{0};
  Semaphore sem;
  std::atomic<int> waiting{0};  // 1 while the player sleeps on sem

  // Asks the player to end: the flag first, so a woken player sees it.
  void request_stop() {
    stop.store(1);
    if (!waiting.load()) sem.post();
  }
};

}  // namespace kx
