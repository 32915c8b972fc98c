// The HTTP streaming server: the accept thread, one command thread per connection, the
// data threads that stream, and the release thread that joins and frees sessions.
#pragma once
#include <string>

#include "core/os/ptr_list.h"
#include "core/service.h"
#include "http/player_session.h"

namespace kx {

// The server's service routine (start-up runs it as the HTTP streaming server).
int HTTP_Server(Service& s);

// The online list (sessions streaming now) and the release list, each under its lock.
struct SessionList {
  Mutex lock;
  PtrList list;
};
extern SessionList g_http_online;
extern SessionList g_http_release;

void online_add(PlayerSession& s);
void online_remove(PlayerSession& s);
// Hands a finished session to the release thread (once both threads are done or never ran).
void release_session(PlayerSession& s);

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

// The end every data thread shares: closes the socket, takes the session off the online
// list, gives the viewer count and the connection slot back, and hands the session to
// the release thread.
void end_data_thread(PlayerSession& s);

}  // namespace kx
