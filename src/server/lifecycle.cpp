// Start-up loads every file and starts the service threads one at a time, in a fixed
// order; shutdown stops them in the same order and releases every table. A restart is
// shutdown(2) then start-up(2); the panel, management and monitor threads live on.
// Both walk one table of modules, in start-up order.
#include "server/lifecycle.h"

#include <algorithm>

#include "catalogue/channels.h"
#include "movies/probe.h"
#include "catalogue/epg.h"
#include "catalogue/groups.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/process.h"
#include "core/os/file.h"
#include "core/os/time.h"
#include "http/http_server.h"
#include "rtmp/rtmp_server.h"
#include "ingest/channel_table.h"
#include "ingest/input.h"
#include "rtmp/rtmp_input.h"
#include "server/monitor.h"
#include "subscribers/blacklist.h"
#include "subscribers/filters.h"
#include "subscribers/ip_country.h"
#include "subscribers/resellers.h"
#include "subscribers/token_macs.h"
#include "subscribers/users.h"

namespace kx {

Mutex g_multicast_stop_lock;
std::atomic<int64_t> g_lifecycle_wait_ms{60000};

Service g_panel_server{"HTTP Panel Server", "Start to Close HTTP Panel Server...\n",
                       "HTTP Panel Server Closed...\n"};
Service g_management{"System Management Server", "Start to Close System Management Server...\n",
                     "System Management Server Closed...\n", system_management_main};
Service g_monitor{"System Monitor Server", "Start to Close System Monitor Server...\n",
                  "System Monitor Server Closed...\n", system_monitor_main};
Service g_apps_server{"HTTP APPS Server", "Start to Close HTTP APPS Server...\n",
                      "HTTP APPS Server Closed...\n"};
Service g_rtsp_server{"RTSP Streaming Server", "Start to Close RTSP Steaming Server...\n",
                      "RTSP Streaming Server Closed...\n"};
Service g_channel_log_server{"Channel Log Server", "Start to Close Channel Log Server...\n",
                             "Channel Log Server Closed...\n"};
Service g_multicast_server{"Multicasting Server", "Start to Close Multicasting Server...\n",
                           "Multicasting Server Closed...\n"};

namespace {

Mutex g_lifecycle_lock;
Stop g_startup_cancel;  // set by a shutdown asked while start-up runs

std::string work_path(const char* name) { return g_work_dir + "/" + name; }

// What a module's load answers.
enum LoadResult : int {
  kLoadFailed = 0,   // start-up ends with 0 when the module is fatal
  kLoaded = 1,       // go on and start the module's service, if any
  kLoadUnreadable = -1,  // start-up ends with -1: a channel definition could not be read
  kLoadNoService = 2,    // go on without starting the module's service
};

enum ModuleFlags : unsigned {
  kKeptOverRestart = 1,  // the service starts at the first start and stops at the final shutdown
  kSignalEarly = 2,      // its stop is set before the channel inputs' stop signal
  kNoReport = 4,         // its start is not waited for
  kStopLast = 8,         // stopped after every other service (the channel inputs feed them)
};

// One step of start-up, with what shutdown undoes. load and release may be empty; a
// service starts after a load that answers kLoaded. before_stop runs just before its
// service is stopped, when the service thread exists.
struct Module {
  const char* name;
  int (*load)(int type);
  void (*release)();
  bool fatal;
  Service* service;
  unsigned flags = 0;
  int (*start)(Service&) = nullptr;  // instead of the usual start with its log lines
  void (*before_stop)() = nullptr;
};

// A service of this build that failed to start ends start-up; one not built is skipped.
bool start_checked(Service& s, bool wait = true) {
  if (!s.routine) return true;
  if (service_start(s, wait)) {
    log_sys("System Message: %s started\n", s.name);
    return true;
  }
  log_sys("System Error: %s failed to start\n", s.name);
  return false;
}

int load_files(int) {
  if (!load_configuration(g_work_dir)) log_sys("Kestrix Configuration File Error.\n");
  ConfigPtr c = config();
  log_set_mode(Sink::System, c->i(Key::system_log));
  log_set_mode(Sink::Admin, c->i(Key::admin_system_log));
  if (!load_dns_file(g_work_dir)) log_sys("Kestrix DNS File not exist.\n");
  if (c->i(Key::system_log) != 0) open_logs(work_path("log"));
  log_start_time();
  return kLoaded;
}

int load_groups_module(int) { return load_groups() ? kLoaded : kLoadFailed; }
int load_security_module(int) {
  load_security_lists();  // a missing security file only logs
  return kLoaded;
}
int load_mac_module(int) { return load_mac_list() ? kLoaded : kLoadFailed; }
void release_mac_module() {
  release_mac_list();
  token_macs_clear();
}

int write_version_file(int) {
  std::string path = work_path("version.xml");
  if (!replace_file(path, kVersionText)) {
    log_sys("open new file [%s] error\n", "version.xml");
    return kLoadFailed;
  }
  return kLoaded;
}

int load_users_module(int) {
  if (!load_user_profiles()) log_sys("User Profile File Error.\n");
  on_groups_changed(refresh_user_groups);  // a user of a changed group is resolved again
  log_sys("%s (%s)\n", kProductName, kVersionText);
  return kLoaded;
}

void release_users_module() {
  on_groups_changed(nullptr);
  release_user_profiles();
}

int load_resellers_module(int) {
  if (!load_resellers()) log_sys("Reseller Profile File Error.\n");
  return kLoaded;
}

// The scrambled catalogue is guarded by the root account's password.
bool root_password(std::string& out) {
  UserPtr root = user_by_id("root");
  if (!root) return false;
  out = root->password;
  return true;
}

// kLoaded; kLoadFailed no catalogue; kLoadUnreadable a channel definition could not be read.
int load_channels(int) {
  set_standing_folder_probe(probe_kbitrate);
  g_server_start_time.store(wall_seconds());
  set_root_password_source(root_password);
  int rc = load_channel_catalogue();
  if (rc == 0) return kLoadFailed;
  ChannelTablePtr t = channel_table();
  load_epg(t->count, [t](int i) { return t->ch[static_cast<std::size_t>(i)]->def.name; });
  return rc == 1 ? kLoaded : kLoadUnreadable;
}
void release_channels() {
  release_epg();
  release_channel_catalogue();
}

int load_ip_country_module(int) {
  load_ip_country_table();
  return kLoaded;
}

int prepare_reader(int) {
  rtmp_register_inputs();
  g_reader_stop_lock.try_lock();  // held until shutdown lets the reader go
  return kLoaded;
}
int start_reader(Service& s) {
  if (!service_start(s)) {
    log_sys("System Error: %s failed to start\n", s.name);
    return kLoadFailed;
  }
  g_startup_cancel.sleep(3000);  // give the channels time to connect before players arrive
  return kLoaded;
}
void release_reader() {
  ChannelTablePtr t = channel_table();
  for (const auto& ch : t->ch) log_sys("Check Channel [%d] OFF\n", ch->def.nChannel_No);
  g_reader_stop_lock.unlock();
}

// Every connection holds a descriptor: the soft limit goes up to the hard one at start-up.
void raise_open_files() {
  uint64_t soft = 0;
  uint64_t hard = 0;
  const bool raised = raise_open_file_limit(soft, hard);
  log_sys("System Message: open files limit [%llu], hard limit [%llu]%s\n", static_cast<unsigned long long>(soft),
          static_cast<unsigned long long>(hard), raised ? "" : ", not raised");
}

int announce_restart(int type) {
  if (type != kFirstStart) log_sys("Kestrix is restarting\n");
  else raise_open_files();
  return kLoaded;
}

int check_rtmp(int) {
  if (config()->i(Key::rtmpport) > 0) return kLoaded;
  log_sys("RTMP Server is disabled\n");
  return kLoadNoService;
}
int check_rtsp(int) {
  if (config()->i(Key::iptv_base_port) > 0) return kLoaded;
  log_sys("RTSP Server is disabled\n");
  return kLoadNoService;
}

int prepare_multicast(int) {
  g_multicast_server.stop.clear();
  if (config()->t(Key::igmpip) == "0.0.0.0" || !g_multicast_server.routine) return kLoadNoService;
  g_multicast_stop_lock.try_lock();
  return kLoaded;
}
void release_multicast() { g_multicast_stop_lock.unlock(); }

// The modules in start-up order. Shutdown stops their services in the same order (the
// channel inputs last), then releases the tables in the opposite order.
const Module kModules[] = {
    {"blacklist", nullptr, unlock_all, false, nullptr},
    {"configuration", load_files, nullptr, false, nullptr},
    {"groups", load_groups_module, release_groups, true, nullptr},
    {"security lists", load_security_module, release_security_lists, false, nullptr},
    {"MAC list", load_mac_module, release_mac_module, true, nullptr},
    {"version file", write_version_file, nullptr, true, nullptr},
    {"users", load_users_module, release_users_module, false, nullptr},
    {"resellers", load_resellers_module, release_resellers, false, nullptr},
    {"panel", nullptr, nullptr, true, &g_panel_server, kKeptOverRestart},
    {"channels", load_channels, release_channels, true, nullptr},
    {"IP country table", load_ip_country_module, release_ip_country_table, false, nullptr},
    {"channel inputs", prepare_reader, nullptr, true, &g_reader_process, kStopLast, start_reader,
     release_reader},
    {"management", announce_restart, nullptr, true, &g_management, kKeptOverRestart},
    {"monitor", nullptr, nullptr, true, &g_monitor, kKeptOverRestart},
    {"apps", nullptr, nullptr, true, &g_apps_server, kSignalEarly},
    {"HTTP streaming", nullptr, nullptr, true, &g_http_server, kSignalEarly},
    {"RTMP streaming", check_rtmp, nullptr, true, &g_rtmp_server, kSignalEarly},
    {"RTSP streaming", check_rtsp, nullptr, true, &g_rtsp_server, kSignalEarly},
    {"channel log", nullptr, nullptr, true, &g_channel_log_server, kNoReport},
    {"multicast", prepare_multicast, nullptr, true, &g_multicast_server, 0, nullptr,
     release_multicast},
};

// 1 when the module is up (or skipped); otherwise start-up's result.
int start_module(const Module& m, int type) {
  const int loaded = m.load ? m.load(type) : kLoaded;
  if (loaded == kLoadFailed || loaded == kLoadUnreadable) {
    if (!m.fatal) return 1;
    log_sys("System Error: start-up stopped at the %s\n", m.name);
    return loaded;
  }
  if (loaded == kLoadNoService || !m.service) return 1;
  if ((m.flags & kKeptOverRestart) && type != kFirstStart) return 1;
  if (m.start) {
    const int rc = m.start(*m.service);
    if (rc != kLoaded) log_sys("System Error: start-up stopped at the %s\n", m.name);
    return rc == kLoaded ? 1 : rc;
  }
  return start_checked(*m.service, !(m.flags & kNoReport)) ? 1 : 0;
}

bool stops_now(const Module& m, bool final) {
  return m.service && (!(m.flags & kKeptOverRestart) || final);
}

void stop_module(const Module& m) {
  if (m.before_stop && m.service->thread) m.before_stop();
  if (!m.before_stop || m.service->thread) service_stop(*m.service);
}

// Waits for the lock in steps, saying whom it waits for; false when the limit ran out.
template <class Lock>
bool bounded_lock(Lock& lock, const char* what) {
  for (int64_t waited = 0;;) {
    const int64_t limit = g_lifecycle_wait_ms.load();
    const int64_t step = std::clamp<int64_t>(limit / 4, 1, 5000);
    if (lock.lock_for(std::clamp<int64_t>(limit - waited, 0, step))) return true;
    waited += step;
    if (waited >= limit) return false;
    log_sys("System Warning: still waiting for %s\n", what);
  }
}

}  // namespace

int piaKestrix_Init(int type) {
  g_shutdown.store(0);
  g_started.store(0);
  g_server_stop.clear();
  for (const Module& m : kModules) {
    if (g_startup_cancel.is_set()) {
      log_sys("System Message: start-up stopped by a shutdown\n");
      return 0;
    }
    const int rc = start_module(m, type);
    if (rc != 1) return rc;
  }
  g_started.store(1);
  return 1;
}

int piaKestrix_Uninit(int type) {
  const bool final = type == kFinalShutdown;
  int rc = 1;
  if (final) {
    g_shutdown.store(1);
  } else if (g_started.load() == 0) {
    log_sys("Kestrix is not starting\n");
    rc = 0;  // still stop what a failed start-up left running
  } else {
    log_sys("Kestrix is closing for restarting\n");
  }
  for (const Module& m : kModules) {
    if (m.service && ((final && (m.flags & kKeptOverRestart)) || (m.flags & kSignalEarly)))
      m.service->stop.set();
  }
  g_server_stop.set();
  if (!final) log_sys("Kestrix Panel Thread is keeping\n");
  for (const Module& m : kModules) {
    if (stops_now(m, final) && !(m.flags & kStopLast)) stop_module(m);
  }
  for (const Module& m : kModules) {
    if (stops_now(m, final) && (m.flags & kStopLast)) stop_module(m);
  }
  for (auto m = std::rbegin(kModules); m != std::rend(kModules); ++m) {
    if (m->release) m->release();
  }
  log_sys("piaKestrix_Uninit finished\n");
  if (config()->i(Key::system_log) != 0) close_logs();
  g_started.store(0);
  return rc;
}

int lifecycle_start(int type) {
  Guard g(g_lifecycle_lock);
  g_startup_cancel.clear();
  return piaKestrix_Init(type);
}

void cancel_startup() {
  g_startup_cancel.set();
  g_server_stop.set();  // the reader's start loop and the inputs already started
}

int lifecycle_shutdown(int type) {
  if (type == kFinalShutdown) cancel_startup();
  const bool locked = bounded_lock(g_lifecycle_lock, "the start-up or restart to end");
  if (!locked) log_sys("System Error: the start-up or restart did not end; shutdown goes on\n");
  const int rc = piaKestrix_Uninit(type);
  if (locked) g_lifecycle_lock.unlock();
  return rc;
}

int lifecycle_restart() {
  if (g_shutdown.load() || !g_lifecycle_lock.try_lock()) return 2;
  if (!bounded_lock(g_tables_gate, "the readers of the tables")) {
    log_sys("System Error: the tables stay in use; restart refused\n");
    g_lifecycle_lock.unlock();
    return 2;
  }
  piaKestrix_Uninit(kRestartShutdown);
  int rc = piaKestrix_Init(kRestartStart);
  g_tables_gate.unlock();
  g_lifecycle_lock.unlock();
  return rc;
}

}  // namespace kx
