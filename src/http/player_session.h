// The player session: one per accepted streaming connection (HTTP here; RTMP and RTSP
// create the same record). Created by the accepting thread, deleted only by the server's
// release thread once both of its threads are joined.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/os/file.h"
#include "core/os/sync.h"
#include "subscribers/user_profile.h"

namespace kx {

struct ThreadRecord;
struct Channel_Info;

// Copies text into a fixed field, always terminated, never past it.
template <std::size_t N>
void set_field(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text ? text : "");
}

enum ThreadSlotState : int { kSlotRunning = 0, kSlotFinished = 1, kSlotJoined = 2 };
enum OutputType : int { kOutNone = 0, kOutTs = 1, kOutFlv = 2, kOutHls = 3 };

class PlayerSession {
 public:
  PlayerSession() = default;
  virtual ~PlayerSession() = default;
  PlayerSession(const PlayerSession&) = delete;
  PlayerSession& operator=(const PlayerSession&) = delete;

  // Activity texts: the monitor and the reports read them while the session's threads
  // write them, so each is a pointer to a static text, swapped whole.
  std::atomic<const char*> status_a{""};
  std::atomic<const char*> status_b{""};
  std::atomic<const char*> stage{"Init"};
  // Set by every send that moved data; the monitor's watchdog takes it back each period
  // and stops a player that has not set it again for a whole period.
  std::atomic<int> progressed{1};
  uint32_t session_no = 0;
  File open_file;  // opened by the command thread for the data thread
  ThreadRecord* cmd_thread = nullptr;
  std::atomic<int> cmd_state{kSlotRunning};
  ThreadRecord* data_thread = nullptr;
  std::atomic<int> data_state{kSlotRunning};
  std::atomic<int> sock{-1};  // -1 once closed
  char player_name[33] = "N/A";
  int64_t range_start = 0, range_end = 0, file_size = 0;
  char watching[512] = {};
  Semaphore sem;
  std::atomic<int> stop{0};
  float duration = 0;
  int64_t last_pcr = -1;
  int64_t seek_ms = 0;
  double ref_pcr_time = 0;
  double played_time = 0;
  char mac[13] = "N/A";
  char ip[16] = {};
  char user[128] = {};
  char password[128] = {};
  char group[128] = "HTTP";
  int user_index = 0;
  // The user this player counts against while admitted: a stable reference (a table
  // index would shift when a user is inserted or deleted). Set and cleared only by the
  // user checks, under the user's lock.
  UserPtr user_ref;
  std::atomic<int> waiting{0};  // 1 while the player sleeps on sem
  bool mac_verified = false;
  bool external = false;        // counted by another server of the balanced set
  char external_addr[30] = {};
  int external_port = 0;
  char external_id[24] = {};
  char player_time[20] = {};
  char token[50] = {};
  char server_addr[30] = {};
  int input_kind = 0;
  int output_type = kOutNone;
  std::atomic<int> channel_no{0};
  int user_check = 0;
  uint8_t cc[7] = {};
  int pmt_pid = 0;
  uint32_t flv_state[3] = {};

  // What the request asked for, as the command thread classified it.
  int kind = 0;
  bool http11 = false;
  bool granted = false;      // the checks let the request through
  bool holds_slot = false;   // a connection slot was taken for it
  bool on_online_list = false;
  std::shared_ptr<Channel_Info> channel;  // the channel being watched, while streaming
  // Set by the channel data thread once it has raised the channel's viewer counters
  // (current and total); the end of the data thread lowers the current-viewer counter
  // only when it is set, and clears it.
  bool counted_viewer = false;
};

}  // namespace kx
