// The player session: one per accepted streaming connection, whatever the protocol (HTTP
// today; RTMP and RTSP create the same record). Created by the accepting thread, deleted
// only by the server's release thread once both of its threads are joined. Admission sees
// only its identity part.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/os/file.h"
#include "core/os/sync.h"
#include "core/text.h"
#include "players/viewer_ticket.h"
#include "subscribers/player_identity.h"

namespace kx {

struct ThreadRecord;
struct Channel_Info;

enum ThreadSlotState : int { kSlotRunning = 0, kSlotFinished = 1, kSlotJoined = 2 };
enum OutputType : int { kOutNone = 0, kOutTs = 1, kOutFlv = 2, kOutHls = 3 };

class PlayerSession : public PlayerIdentity {
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
  // Each thread record is stored by the thread's creator after creation, so it may arrive
  // after the thread has finished; the release pass waits for it before joining.
  std::atomic<ThreadRecord*> cmd_thread{nullptr};
  std::atomic<int> cmd_state{kSlotRunning};
  std::atomic<ThreadRecord*> data_thread{nullptr};
  std::atomic<int> data_state{kSlotRunning};
  std::atomic<int> sock{-1};  // -1 once closed
  char player_name[33] = "N/A";
  int64_t range_start = 0, range_end = 0, file_size = 0;
  char watching[512] = {};
  float duration = 0;
  int64_t last_pcr = -1;
  int64_t seek_ms = 0;
  double ref_pcr_time = 0;
  double played_time = 0;
  char group[128] = "HTTP";
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
  std::atomic<int> pmt_pid{0};  // written by the data thread, read by the reports
  uint32_t flv_state[3] = {};

  // What the request asked for, as the command thread classified it.
  int kind = 0;
  bool http11 = false;
  bool granted = false;      // the checks let the request through
  bool holds_slot = false;   // a connection slot was taken for it
  bool on_online_list = false;
  // Links the session into its registry's spill chain when the release list could not
  // take it (out of memory): a finished session is never dropped unfreed.
  PlayerSession* release_next = nullptr;
  std::shared_ptr<Channel_Info> channel;  // the channel being watched, while streaming
  // Taken by a channel data thread once it streams: the channel's viewer counters are
  // raised by taking it and lowered only by giving back what was taken.
  ViewerTicket viewer;
};

}  // namespace kx
