// Start-up loads every file and starts the service threads one at a time, in a fixed
// order; shutdown stops them in the same order and releases every table. A restart is
// shutdown(2) then start-up(2); the panel, management and monitor threads live on.
#include "server/lifecycle.h"

#include "catalogue/channels.h"
#include "ingest/channel_table.h"
#include "catalogue/epg.h"
#include "catalogue/groups.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/time.h"
#include "http/http_server.h"
#include "ingest/input.h"
#include "server/monitor.h"
#include "subscribers/blacklist.h"
#include "subscribers/filters.h"
#include "subscribers/ip_country.h"
#include "subscribers/resellers.h"
#include "subscribers/token_macs.h"
#include "subscribers/users.h"

namespace kx {

Mutex g_multicast_stop_lock;

Service g_panel_server{"HTTP Panel Server", "Start to Close HTTP Panel Server...\n",
                       "HTTP Panel Server Closed...\n"};
Service g_management{"System Management Server", "Start to Close System Management Server...\n",
                     "System Management Server Closed...\n", system_management_main};
Service g_monitor{"System Monitor Server", "Start to Close System Monitor Server...\n",
                  "System Monitor Server Closed...\n", system_monitor_main};
Service g_apps_server{"HTTP APPS Server", "Start to Close HTTP APPS Server...\n",
                      "HTTP APPS Server Closed...\n"};
Service g_rtmp_server{"RTMP Streaming Server", "Start to Close RTMP Steaming Server...\n",
                      "RTMP Streaming Server Closed...\n"};
Service g_rtsp_server{"RTSP Streaming Server", "Start to Close RTSP Steaming Server...\n",
                      "RTSP Streaming Server Closed...\n"};
Service g_channel_log_server{"Channel Log Server", "Start to Close Channel Log Server...\n",
                             "Channel Log Server Closed...\n"};
Service g_multicast_server{"Multicasting Server", "Start to Close Multicasting Server...\n",
                           "Multicasting Server Closed...\n"};

namespace {

Mutex g_lifecycle_lock;

std::string work_path(const char* name) { return g_work_dir + "/" + name; }

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

void load_files() {
  if (!load_configuration(g_work_dir)) log_sys("Kestrix Configuration File Error.\n");
  ConfigPtr c = config();
  log_set_mode(Sink::System, c->i(Key::system_log));
  log_set_mode(Sink::Admin, c->i(Key::admin_system_log));
  if (!load_dns_file(g_work_dir)) log_sys("Kestrix DNS File not exist.\n");
  if (c->i(Key::system_log) != 0) open_logs(work_path("log"));
  log_start_time();
}

int write_version_file() {
  std::string path = work_path("version.xml");
  if (!replace_file(path, kVersionText)) {
    log_sys("open new file [%s] error\n", "version.xml");
    return 0;
  }
  return 1;
}

int start_services(int type) {
  if (g_reader_process.routine) {
    g_reader_stop_lock.try_lock();  // held until shutdown lets the reader go
    if (!service_start(g_reader_process)) return -1;
    sleep_ms(3000);  // give the channels time to connect before players arrive
  }
  if (type == kFirstStart) {
    if (!start_checked(g_management) || !start_checked(g_monitor)) return 0;
  } else {
    log_sys("Kestrix is restarting\n");
  }
  if (!start_checked(g_apps_server) || !start_checked(g_http_server)) return 0;
  ConfigPtr c = config();
  if (c->i(Key::rtmpport) <= 0) log_sys("RTMP Server is disabled\n");
  else if (!start_checked(g_rtmp_server)) return 0;
  if (c->i(Key::iptv_base_port) <= 0) log_sys("RTSP Server is disabled\n");
  else if (!start_checked(g_rtsp_server)) return 0;
  if (!start_checked(g_channel_log_server, false)) return 0;
  g_multicast_server.stop.clear();
  if (c->t(Key::igmpip) != "0.0.0.0" && g_multicast_server.routine) {
    g_multicast_stop_lock.try_lock();
    if (!start_checked(g_multicast_server)) return 0;
  }
  return 1;
}

// The scrambled catalogue is guarded by the root account's password.
bool root_password(std::string& out) {
  UserPtr root = user_by_id("root");
  if (!root) return false;
  out = root->password;
  return true;
}

// 1 loaded; 0 no catalogue; -1 a channel definition could not be read.
int load_channels() {
  set_root_password_source(root_password);
  int rc = load_channel_catalogue();
  if (rc == 0) return 0;
  ChannelTablePtr t = channel_table();
  load_epg(t->count, [t](int i) { return t->ch[static_cast<std::size_t>(i)]->def.name; });
  return rc;
}

// Every table loaded at start-up, in the order shutdown releases them.
void release_tables() {
  release_channel_catalogue();
  release_user_profiles();
  release_resellers();
  release_ip_country_table();
  release_groups();
  release_security_lists();
  release_mac_list();
  token_macs_clear();
  unlock_all();
}

}  // namespace

int piaKestrix_Init(int type) {
  g_shutdown.store(0);
  g_started.store(0);
  g_server_stop.clear();
  load_files();
  if (!load_groups()) return 0;
  load_security_lists();  // a missing security file only logs
  if (!load_mac_list()) return 0;
  if (!write_version_file()) return 0;
  if (!load_user_profiles()) log_sys("User Profile File Error.\n");
  log_sys("%s (%s)\n", kProductName, kVersionText);
  if (!load_resellers()) log_sys("Reseller Profile File Error.\n");
  if (type == kFirstStart && !start_checked(g_panel_server)) return 0;
  g_server_start_time.store(wall_seconds());
  int rc = load_channels();
  if (rc != 1) return rc;
  load_ip_country_table();
  rc = start_services(type);
  if (rc != 1) return rc;
  g_started.store(1);
  return 1;
}

int piaKestrix_Uninit(int type) {
  int rc = 1;
  if (type == kFinalShutdown) {
    g_shutdown.store(1);
    for (Service* s : {&g_panel_server, &g_management, &g_monitor}) s->stop.set();
  } else if (g_started.load() == 0) {
    log_sys("Kestrix is not starting\n");
    rc = 0;  // still stop what a failed start-up left running
  } else {
    log_sys("Kestrix is closing for restarting\n");
  }
  for (Service* s : {&g_apps_server, &g_http_server, &g_rtmp_server, &g_rtsp_server}) s->stop.set();
  g_server_stop.set();
  if (type == kFinalShutdown) {
    for (Service* s : {&g_panel_server, &g_management, &g_monitor}) service_stop(*s);
  } else {
    log_sys("Kestrix Panel Thread is keeping\n");
  }
  for (Service* s : {&g_apps_server, &g_http_server, &g_rtmp_server, &g_rtsp_server,
                     &g_channel_log_server})
    service_stop(*s);
  if (g_multicast_server.thread) {
    g_multicast_server.stop.set();
    g_multicast_stop_lock.unlock();
    service_stop(g_multicast_server);
  }
  release_epg();
  if (g_reader_process.thread) {
    ChannelTablePtr t = channel_table();
    for (const auto& ch : t->ch) log_sys("Check Channel [%d] OFF\n", ch->def.nChannel_No);
    g_reader_stop_lock.unlock();
    service_stop(g_reader_process);
  }
  release_tables();
  log_sys("piaKestrix_Uninit finished\n");
  if (config()->i(Key::system_log) != 0) close_logs();
  g_started.store(0);
  return rc;
}

int lifecycle_start(int type) {
  Guard g(g_lifecycle_lock);
  return piaKestrix_Init(type);
}

int lifecycle_shutdown(int type) {
  Guard g(g_lifecycle_lock);
  return piaKestrix_Uninit(type);
}

int lifecycle_restart() {
  if (g_shutdown.load() || !g_lifecycle_lock.try_lock()) return 2;
  g_tables_gate.lock();
  piaKestrix_Uninit(kRestartShutdown);
  int rc = piaKestrix_Init(kRestartStart);
  g_tables_gate.unlock();
  g_lifecycle_lock.unlock();
  return rc;
}

}  // namespace kx
