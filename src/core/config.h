// The configuration store: every key of kestrix_config.txt, as text and as a number.
// Published as an immutable snapshot; a reader keeps the snapshot it took.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// In the order the file is searched (and its messages logged).
enum class Key : int {
  startmenu, iptv_base_port, httpport, http_base_port, http_apps_port, rtmpport, igmpip,
  igmpport, iptv_time_shift_record_duration, tv_on_demand_record_duration, bitrate_constant,
  system_log, admin_system_log, user_watch_log, user_authorization, cache_on_demand_channel,
  stop_ch_cache_interval, max_video_streaming_no, channel_input_buffer_no,
  channel_reconnection_interval, channel_prebuffer_no, hls_target_duration,
  alert_player_duration, player_filter, blacklist, epg_channel_record, mac_blocker,
  player_try_connection_no, restart, root_ip, channel_off_video_path, time_expired_video_path,
  unregistered_user_video_path, authorized_channel_video_path, videopath, picturepath,
  runningtextpath, plugin_command_path, transcoder_path, player_source_wait,
  rtmp_publish_key,
  count
};
constexpr int kKeyCount = static_cast<int>(Key::count);

enum class KeyKind { Text, Int, Float, Char, Table, Path };

struct KeyDef {
  const char* name;
  KeyKind kind;
  const char* text;  // value text when absent
  double value;      // parsed value when absent
};
const KeyDef& key_def(Key k);
bool find_key(std::string_view name, Key& out);

struct RestartTime {
  int hour = 0;
  int minute = 0;
};

struct Config {
  struct Value {
    std::string text;
    int i = 0;
    float f = 0.0f;
    bool present = false;  // found in the file by the last load
  };
  Value v[kKeyCount];

  std::string working_dir;  // absolute, recorded by the load
  char sep1 = '&';          // credential separators, set by user_authorization
  char sep2 = ':';
  bool has_restart_table = false;
  std::vector<RestartTime> restart_table;
  std::string dns_ip = "8.8.8.8";  // resolver of the name lookups; qvt_dns.txt overrides it

  const std::string& t(Key k) const { return v[static_cast<int>(k)].text; }
  int i(Key k) const { return v[static_cast<int>(k)].i; }
  float f(Key k) const { return v[static_cast<int>(k)].f; }
  int auth_mode() const { return i(Key::user_authorization); }

  static Config defaults();
};

using ConfigPtr = std::shared_ptr<const Config>;

ConfigPtr config();              // the snapshot in force
void config_publish(Config c);   // replaces it; readers keep theirs

// Parses a configuration text into c (which holds the previous values). Messages of the
// load go to the system log. 1 on success, 0 when the restart table cannot be built.
int parse_configuration(std::string text, Config& c);

// Whole configuration file text from a store, in the order the file is written.
std::string format_configuration(const Config& c);

// Reads kestrix_config.txt (or config.txt) from dir into the store. 1 / 0.
int load_configuration(const std::string& dir = ".");
// Rewrites the configuration file from the store, atomically. 1 / 0.
int save_configuration(const std::string& dir = ".");
// Reads the resolver address from qvt_dns.txt. 1 when one was read.
int load_dns_file(const std::string& dir = ".");

}  // namespace kx
