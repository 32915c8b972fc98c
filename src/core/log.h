// The two log sinks: the system log and the admin system log. Every message is numbered
// "[%010lld]: " and goes to its file and to the debugger output.
#pragma once
#include <cstdint>
#include <string>

namespace kx {

enum class Sink { System = 0, Admin = 1 };

void log_sys(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_admin(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_to(Sink s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Holds back this thread's log lines while it lives and writes them, in order, when it
// ends. Declared just before a lock guard, it keeps every line logged under the lock
// (by the guarded code or anything it calls) out of the lock. Nested ones defer to the
// outermost. Lines are numbered when written.
class LogLater {
 public:
  LogLater();
  ~LogLater();
  LogLater(const LogLater&) = delete;
  LogLater& operator=(const LogLater&) = delete;

 private:
  bool outer_;
};

// Modes from system_log / admin_system_log: 0 or less nothing, 1 unlimited, N a ring of N-1 lines.
void log_set_mode(Sink s, int mode);

// Rotates log/system.log and log/admin_system.log to their backups and opens new files.
void open_logs(const std::string& dir = "log");
// Records the start time text and logs "Kestrix Starts at ...".
void log_start_time();
const std::string& log_start_text();
void close_logs();

// The number the next message of a sink will carry (for reports and tests).
int64_t log_counter(Sink s);
// Test hook: the next message number of a sink.
void log_set_counter(Sink s, int64_t next);

}  // namespace kx
