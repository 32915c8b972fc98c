// What every HTTP data thread needs around its loop: whether the server still runs,
// whole sends of body bytes that notice a stop, and sleeps that a stop cuts short.
#pragma once
#include <cstddef>
#include <cstdint>

#include "net/wait.h"
#include "players/player_session.h"

namespace kx {

// False once the HTTP server or the whole process is stopping.
bool http_serving();

// The session's stop flag, the HTTP server's and the process's.
StopToken player_stop(const PlayerSession& s);

// A player that takes nothing for this long is given up.
inline constexpr int kBodySendTimeoutMs = 30000;

enum SendResult : int { kSendStopped = -1, kSendFailed = 0, kSendDone = 1 };

// Sends all len bytes on the session's socket. The first attempt is one plain send;
// only a full socket buffer makes it wait, in steps that look at the stop flag and the
// server. kSendFailed (err: the error number, 0 for a closed peer or the time-out) when
// the player is gone; kSendStopped when a stop came first.
int send_body(PlayerSession& s, const void* data, std::size_t len, int& err);
// The same for pieces sent in order as one stream.
int send_body(PlayerSession& s, const SendPiece* pieces, int count, int& err);
// What the socket takes of the pieces now, without waiting: bytes, or -1 (err set).
long send_body_now(PlayerSession& s, const SendPiece* pieces, int count, int& err);

// Sleeps up to ms in short steps; false when the stop flag or the server stop ended it.
bool pause_ms(PlayerSession& s, int64_t ms);

// Status A and B and the stage text at once (static texts: the session keeps the pointers).
void set_state(PlayerSession& s, const char* status, const char* stage);

}  // namespace kx
