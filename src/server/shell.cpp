#include "server/shell.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "core/config.h"
#include "core/os/console.h"
#include "core/os/sync.h"
#include "core/os/thread.h"
#include "net/server_address.h"
#include "server/lifecycle.h"

namespace kx {

namespace {

std::atomic<int> g_shell_counter{1};
Stop g_shutdown_request;
std::atomic<int> g_shutdown_done{0};

// Status lines go to standard output, where the window would have shown them.
void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

std::string start_status(int rc, std::string& panel_url) {
  if (rc == 0) return "Error: Kestrix is not available";
  if (rc == -1) return "Error: Channel Input has syntax error";
  std::string ip = server_ipv4();
  shell_message("Kestrix IP is %s\n", ip.c_str());
  std::string port = config()->t(Key::http_base_port);
  panel_url = "http://" + ip + ":" + port + "/admin/index.htm";
  return "Click [Action:Open Panel] to start panel:\r\n" + panel_url;
}

std::atomic<int> g_start_result{0};

int first_start_thread(void*) {
  g_start_result.store(lifecycle_start(kFirstStart));
  return 0;
}

// Runs the first start-up while watching for a stop signal or the shutdown command; true
// when start-up ended by itself, false when a stop came first (start-up is then cancelled).
bool run_first_start(ThreadRecord*& t) {
  t = create_thread(first_start_thread, nullptr, "start-up");
  if (!t) {
    first_start_thread(nullptr);
    return true;
  }
  while (!thread_done(t)) {
    if (wait_stop_signal(100) != 0 || shutdown_requested(0)) {
      cancel_startup();
      return false;
    }
  }
  join_thread(t);
  t = nullptr;
  return true;
}

int final_shutdown_thread(void*) {
  lifecycle_shutdown(kFinalShutdown);
  g_shutdown_done.store(1);
  return 0;
}

}  // namespace

void shell_message(const char* fmt, ...) {
  char buf[4096];
  int n = std::snprintf(buf, sizeof buf, "Kestrix Message [%05d]: ", g_shell_counter.fetch_add(1));
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), fmt, ap);
  va_end(ap);
  debug_output(buf);
}

void request_shutdown() {
  shell_message("Get Shutodwn Command\r\n");
  g_shutdown_request.set();
}

bool shutdown_requested(int timeout_ms) { return g_shutdown_request.sleep(timeout_ms); }

int shell_run() {
  shell_message("Start %s ...\n", "Quillmarsh Kestrix");
  ThreadRecord* starting = nullptr;
  if (run_first_start(starting)) {
    const int rc = g_start_result.load();
    std::string url;
    std::string status = start_status(rc, url);
    say(status);
    shell_message("%s\n", status.c_str());
    std::string version = std::string("Version: ") + kVersionText;
    say(version);
    shell_message("%s\n", version.c_str());
    if (rc == 1) {
      say("Kestrix Panel URL: " + url);
      shell_message("Kestrix Panel URL: %s\n", url.c_str());
    }
    // Until a signal or the shutdown command; the process keeps running after a failed
    // start-up so the panel, if it came up, stays reachable.
    while (wait_stop_signal(200) == 0 && !shutdown_requested(0)) {
    }
  }
  // The final shutdown runs exactly once; a second signal meanwhile forces the exit.
  ThreadRecord* t = create_thread(final_shutdown_thread, nullptr, "shutdown");
  if (!t) final_shutdown_thread(nullptr);
  while (t && !thread_done(t)) {
    if (wait_stop_signal(100) != 0) {
      say("Kestrix forced to exit");
      force_exit(1);
    }
  }
  join_thread(t);
  if (starting) join_thread(starting, 5000);  // a start-up cut short has ended by now
  shell_message("Kestrix finished to shutdown\n");
  say("Kestrix finished to shutdown");
  return 0;
}

}  // namespace kx
