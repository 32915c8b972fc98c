#include "core/log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

#include "core/os/console.h"
#include "core/os/file.h"
#include "core/os/time.h"

namespace kx {

namespace {

constexpr std::size_t kPrefixMax = 40;
constexpr std::size_t kTextMax = 5120;

struct SinkState {
  const char* file_name;
  const char* backup_name;
  bool append;  // the admin log keeps what a file of the same name holds
  const char* open_error;
  std::mutex lock;
  int64_t counter = 1;
  int64_t rewind = 0;
  std::atomic<int> mode{1000};
  File file;
  int64_t pos = 0;  // write position; a ring rewinds it
};

SinkState g_sinks[2] = {
    {"system.log", "system_backup.log", false, "Failed to open User System Log File ", {}, 1, 0, {1000}, {}, 0},
    {"admin_system.log", "admin_system_backup.log", true, "Failed to open Admin System Log File ", {}, 1, 0, {1000}, {}, 0},
};

std::string g_start_text;

// Lines held back by a LogLater on this thread, written when the outermost one ends.
struct HeldLine {
  int sink;
  std::string text;
};
constexpr std::size_t kHeldMax = 1024;  // beyond it lines are written at once
thread_local std::vector<HeldLine>* t_held = nullptr;

// Numbers and writes one formatted text held at buf + kPrefixMax: the prefix goes right
// before it, so a line needs one buffer on the stack, not two. The sink lock is the only
// one taken.
void write_line(SinkState& s, char* buf, std::size_t tlen) {
  std::lock_guard<std::mutex> l(s.lock);
  const int mode = s.mode.load(std::memory_order_relaxed);
  char prefix[kPrefixMax];
  const int plen = std::snprintf(prefix, kPrefixMax, "[%010lld]: ", static_cast<long long>(s.counter));
  s.counter = s.counter == INT64_MAX ? 1 : s.counter + 1;
  ++s.rewind;
  if (mode <= 0) return;
  char* line = buf + kPrefixMax - plen;
  std::memcpy(line, prefix, static_cast<std::size_t>(plen));
  const std::size_t len = static_cast<std::size_t>(plen) + tlen;
  debug_output(std::string_view(line, len));
  if (!s.file.is_open()) return;
  if (s.file.write_at(s.pos, line, len)) s.pos += static_cast<int64_t>(len);
  if (mode > 1 && s.rewind >= mode - 1) {
    s.rewind = 0;
    s.pos = 0;
  }
}

// Formats first, outside every lock; then writes, or holds the line for a LogLater.
void vlog(SinkState& s, const char* fmt, va_list ap) {
  char buf[kPrefixMax + kTextMax];
  char* text = buf + kPrefixMax;
  int tlen = std::vsnprintf(text, kTextMax, fmt, ap);
  if (tlen < 0) tlen = 0;
  if (tlen > static_cast<int>(kTextMax) - 1) tlen = kTextMax - 1;
  if (t_held != nullptr && t_held->size() < kHeldMax) {
    try {
      t_held->push_back({static_cast<int>(&s - g_sinks), std::string(text, static_cast<std::size_t>(tlen))});
      return;
    } catch (const std::bad_alloc&) {
      // written now rather than lost
    }
  }
  write_line(s, buf, static_cast<std::size_t>(tlen));
}

void open_sink(SinkState& s, const std::string& dir) {
  std::string path = dir + "/" + s.file_name;
  std::string backup = dir + "/" + s.backup_name;
  bool unlink_failed = false, rename_failed = false, opened = false;
  {
    std::lock_guard<std::mutex> l(s.lock);
    s.file.close();
    if (file_exists(path)) {
      unlink_failed = file_exists(backup) && !remove_file(backup);
      rename_failed = !rename_file(path, backup);
    }
    opened = s.file.open(path, s.append ? File::kWriteKeep : File::kWriteTruncate);
    s.pos = opened && s.append ? s.file.size() : 0;
    s.rewind = 0;
  }
  if (unlink_failed) log_sys("unlink backup file %s error\n", backup.c_str());
  if (rename_failed) log_sys("rename %s to %s error\n", path.c_str(), backup.c_str());
  if (!opened) log_sys("%s", s.open_error);
}

void close_sink(SinkState& s) {
  std::lock_guard<std::mutex> l(s.lock);
  s.file.close();
}

bool sink_open(SinkState& s) {
  std::lock_guard<std::mutex> l(s.lock);
  return s.file.is_open();
}

void log_closing(const char* what) {
  std::tm tm{};
  local_time(tm);
  log_sys("Close %s Log at %d/%d/%d %d:%d:%d\n", what, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
          tm.tm_hour, tm.tm_min, tm.tm_sec);
}

}  // namespace

LogLater::LogLater() : outer_(t_held == nullptr) {
  if (!outer_) return;
  try {
    t_held = new std::vector<HeldLine>;
  } catch (const std::bad_alloc&) {
    outer_ = false;  // nothing is held back: lines are written as they come
  }
}

LogLater::~LogLater() {
  if (!outer_) return;
  std::vector<HeldLine>* held = t_held;
  t_held = nullptr;
  for (const HeldLine& h : *held) {
    char buf[kPrefixMax + kTextMax];
    const std::size_t n = std::min(h.text.size(), kTextMax - 1);
    std::memcpy(buf + kPrefixMax, h.text.data(), n);
    write_line(g_sinks[h.sink], buf, n);
  }
  delete held;
}

void log_sys(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog(g_sinks[0], fmt, ap);
  va_end(ap);
}

void log_admin(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog(g_sinks[1], fmt, ap);
  va_end(ap);
}

void log_to(Sink s, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog(g_sinks[static_cast<int>(s)], fmt, ap);
  va_end(ap);
}

void log_set_mode(Sink s, int mode) { g_sinks[static_cast<int>(s)].mode.store(mode); }

void open_logs(const std::string& dir) {
  make_dir(dir);
  open_sink(g_sinks[0], dir);
  open_sink(g_sinks[1], dir);
}

void log_start_time() {
  std::tm tm{};
  local_time(tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d/%d/%d %d:%d:%d\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  g_start_text = buf;
  log_sys("Kestrix Starts at %s\n", buf);
}

const std::string& log_start_text() { return g_start_text; }

void close_logs() {
  if (sink_open(g_sinks[0])) {
    log_closing("System");
    close_sink(g_sinks[0]);
  }
  if (sink_open(g_sinks[1])) {
    log_closing("Admin System");  // goes to the system log, now closed: debugger output only
    close_sink(g_sinks[1]);
  }
}

int64_t log_counter(Sink s) {
  auto& st = g_sinks[static_cast<int>(s)];
  std::lock_guard<std::mutex> l(st.lock);
  return st.counter;
}

void log_set_counter(Sink s, int64_t next) {
  auto& st = g_sinks[static_cast<int>(s)];
  std::lock_guard<std::mutex> l(st.lock);
  st.counter = next;
}

}  // namespace kx
