// The RTMP streaming server: the accept thread on rtmpport, one command thread per
// connection (handshake, commands, play and publish), the data thread of a play, and the
// session registry that joins and frees the sessions.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/service.h"
#include "net/socket.h"
#include "players/player_session.h"
#include "players/session_registry.h"
#include "rtmp/chunk_reader.h"

namespace kx {

int RTMP_Server(Service& s);
extern Service g_rtmp_server;  // "RTMP Streaming Server"

enum RtmpServerState : int {
  kRtmpStopped = 0,
  kRtmpStopRequested = 1,
  kRtmpDraining = 2,
  kRtmpRunning = 3,
};
extern std::atomic<int> g_rtmp_state;
inline bool rtmp_server_running() { return g_rtmp_state.load(std::memory_order_acquire) == kRtmpRunning; }

// The RTMP server's players (group "RTMP"). Its release thread frees finished sessions
// only when more than 100 wait or a pass is forced, and drains everything at stop.
SessionRegistry& rtmp_players();

// What a play runs as once its checks passed.
enum RtmpPlayKind : int { kRtmpPlayNone = 0, kRtmpPlayLive = 1, kRtmpPlayFile = 2 };

// A player session of the RTMP server: the PlayerSession with what its two threads share.
class RtmpSession : public PlayerSession {
 public:
  // Every write to the socket holds it, so a message goes out whole: answers from the
  // command thread and media from the data thread never interleave.
  std::mutex send_lock;
  std::atomic<uint32_t> out_chunk_size{kRtmpDefaultChunkSize};
  // Threads that still use the socket (the command thread, and the data thread once
  // started): the last one to finish closes it and hands the session to the release list.
  std::atomic<int> users{1};
  int play_kind = kRtmpPlayNone;
  double file_bitrate = 0;     // kbit/s of a played file, for its pacing
  double file_seconds = 0;
};

// Sends bytes whole under the session's send lock, bounded by the socket time-out and the
// session's stop. False on any failure.
bool rtmp_send(RtmpSession& s, const std::vector<uint8_t>& bytes);
bool rtmp_send(RtmpSession& s, const uint8_t* data, std::size_t len);

// Sets up one accepted connection: a session and its command thread; the socket is closed
// and nothing is left behind on failure.
void serve_rtmp_connection(Socket conn, const sockaddr_in& from, uint32_t number, int port);
int RTMPCmdThread(void* session);
int RTMPDataThread(void* session);
int IPTV_PS_RTMP_DataThread(void* session);

// The end both data threads share: off the online list, the viewer, the user and the slot
// (when held) given back, then rtmp_thread_done. The thread must not touch s afterwards.
void rtmp_data_end(RtmpSession& s, bool slot);

// One of the session's threads is done with the socket: the last one closes it and
// releases the session (the caller must not touch it afterwards).
void rtmp_thread_done(RtmpSession& s);

}  // namespace kx
