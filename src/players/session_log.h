// The prefix every line about one player starts with: "Session[%d]: ".
#pragma once
#include <cstdint>

namespace kx {

class SessionLog {
 public:
  SessionLog(int session_no, const char* user, uint32_t thread_id, int channel_no)
      : sno(session_no), user(user), tid(thread_id), no(channel_no) {}

  // Formats the line first and writes it with the prefix, under no lock of the caller's.
  void operator()(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));

  const int sno;
  const char* const user;  // already escaped for the log
  const uint32_t tid;
  const int no;  // channel number
};

}  // namespace kx
