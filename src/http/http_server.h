// The HTTP streaming server: the accept thread, one command thread per connection, the
// data threads that stream; the session registry joins and frees the sessions.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "core/service.h"
#include "net/socket.h"
#include "players/player_session.h"
#include "players/session_registry.h"

namespace kx {

// The server's service routine (start-up runs it as the HTTP streaming server).
int HTTP_Server(Service& s);
extern Service g_http_server;  // "HTTP Streaming Server"

// Server state, as the command and data threads see it.
enum HttpServerState : int {
  kHttpStopped = 0,
  kHttpStopRequested = 1,
  kHttpDraining = 2,  // the accept loop has ended; the release thread drains the sessions
  kHttpRunning = 3,
};
extern std::atomic<int> g_http_state;
// True while the server serves; every command and data thread loop polls it.
inline bool http_server_running() { return g_http_state.load(std::memory_order_acquire) == kHttpRunning; }

// Sets up one accepted connection (from the client address, number the session counter,
// port the server's own): a session and its command thread. On any failure the socket is
// closed and no session is left behind, so a refused connection costs nothing.
void serve_connection(Socket conn, const sockaddr_in& from, uint32_t number, int port);
// One per accepted connection: reads and answers one request, starts at most one data thread.
int HTTPCmdThread(void* session);
// The HTTP server's players: online and release lists, the release thread, the drain at
// stop. One per process, listed with every other server's registry for the monitor.
SessionRegistry& http_players();

// Response templates and content types, shared by every HTTP data thread.
extern const char* const kR1_NotFound;
extern const char* const kR2_Unauthorized;
extern const char* const kR4_Unavailable;
std::string http_answer_r5();
std::string http_answer_r8(const char* connection);
std::string http_answer_range(int id, int64_t start, int64_t end, int64_t size, const char* connection);

// The data threads, by request kind.
int Channel_HTTP_DataThread(void* session);
int HTTPDataThread(void* session);
int HTTPMediaDataThread(void* session);
int IPTV_PS_HTTP_DataThread(void* session);
int IPTV_FLV_HTTP_DataThread(void* session);
int VOD_AVI_HTTP_DataThread(void* session);
int VOD_MKV_HTTP_DataThread(void* session);

// The end every data thread shares: takes the session off the online list, closes the
// socket, gives the viewer count and the connection slot back, logs "The Total Connection
// is [%d]", sets the data thread state to 1 and hands the session to the release thread.
// The thread must not touch the session afterwards (it is freed once the thread returns).
//
// Viewer counters: a channel data thread takes the session's viewer ticket right after
// online_add; end_data_thread gives it back, so a thread that stopped before (channel -1)
// changes no counter. left, when given, receives the channel's counts after the ticket
// went back (unchanged when none was held). The socket is closed only here, never by the
// data thread itself.
void end_data_thread(PlayerSession& s, ViewerTicket::Counts* left = nullptr);

}  // namespace kx
