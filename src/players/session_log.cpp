#include "players/session_log.h"

#include <cstdarg>
#include <cstdio>

#include "core/log.h"

namespace kx {

void SessionLog::operator()(const char* fmt, ...) const {
  char text[2048];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  log_sys("Session[%d]: %s", sno, text);
}

}  // namespace kx
