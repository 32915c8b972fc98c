// Writing the configuration file back from the store.
//
// A save must never change the configuration in force: every line the file gets back
// loads to the value the store holds now. Where the traditional line order would drop a
// value (an empty value text, a conditional key that does not qualify), the line is
// written when leaving it out would load a different value.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/log.h"
#include "core/config.h"
#include "core/os/file.h"

namespace kx {

namespace {

std::string number_text(const Config::Value& val, KeyKind kind) {
  char buf[48];
  if (kind == KeyKind::Float)
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(val.f));
  else
    std::snprintf(buf, sizeof buf, "%d", val.i);
  return buf;
}

// The panel or web-player port a load computes when its key is absent: httpport plus the
// offset, both as the load reads them (clamped, in 64 bits so the sum cannot overflow).
int derived_port(const Config& c, int offset) {
  long long port = std::clamp<long long>(std::strtoll(c.t(Key::httpport).c_str(), nullptr, 10),
                                         INT_MIN, INT_MAX);
  return static_cast<int>(std::min<long long>(port + offset, INT_MAX));
}

// Whether a load that does not find the key keeps today's value.
bool absent_keeps(const Config& c, Key k) {
  const KeyDef& d = key_def(k);
  const auto& val = c.v[static_cast<int>(k)];
  switch (k) {
    case Key::http_base_port: return val.i == derived_port(c, 10000);
    case Key::http_apps_port: return val.i == derived_port(c, 20000);
    case Key::channel_prebuffer_no: return val.i == c.i(Key::channel_input_buffer_no) / 4;
    case Key::user_authorization: return val.i == 0;
    default: break;
  }
  if (d.kind == KeyKind::Float) return val.f == static_cast<float>(d.value);
  if (d.kind == KeyKind::Int) return val.i == static_cast<int>(d.value);
  return val.text.empty();
}

struct Writer {
  const Config& c;
  std::string out;
  bool written[kKeyCount] = {};

  void line(const char* name, const std::string& value) {
    out += name;
    out += '=';
    out += value;
    out += "\r\n";
  }
  void line(Key k, const std::string& value) {
    written[static_cast<int>(k)] = true;
    line(key_def(k).name, value);
  }
  // The value text; an empty text of a numeric key becomes its number, or no line.
  void text(Key k) {
    const KeyDef& d = key_def(k);
    const auto& val = c.v[static_cast<int>(k)];
    bool numeric = d.kind == KeyKind::Int || d.kind == KeyKind::Float;
    if (!val.text.empty() || d.kind == KeyKind::Text || d.kind == KeyKind::Path) {
      line(k, val.text);
    } else if (k == Key::user_authorization) {
      if (val.i != 0) line(k, val.text);  // an empty value means "to the end" mode
    } else if (numeric && !absent_keeps(c, k)) {
      line(k, number_text(val, d.kind));
    }
  }
  // Written when the usual condition holds, or when leaving it out would change the value.
  void when(Key k, bool condition) {
    if (condition || !absent_keeps(c, k)) text(k);
  }
  void number(Key k) { line(k, number_text(c.v[static_cast<int>(k)], KeyKind::Int)); }
  void if_set(Key k) {
    if (!c.t(k).empty()) line(k, c.t(k));
  }
  // A load that finds no line starting with "key=" takes the text after "key=" anywhere
  // in the file, for example inside another key's value. Each key left out whose name is
  // found that way gets its own line, with a value that loads to what is in force (those
  // values hold no "=", so they cannot expose another key in turn).
  void guard_left_out() {
    for (int i = 0; i < kKeyCount; ++i) {
      if (written[i]) continue;
      Key k = static_cast<Key>(i);
      const KeyDef& d = key_def(k);
      if (out.find(std::string(d.name) + "=") == std::string::npos) continue;
      if (d.kind == KeyKind::Int || d.kind == KeyKind::Float)
        line(k, number_text(c.v[i], d.kind));
      else if (k == Key::user_authorization)
        line(k, "0");  // left out only in mode 0 with an empty text
      else
        line(k, c.v[i].text);  // left out only when empty
    }
  }
};

}  // namespace

std::string format_configuration(const Config& c) {
  Writer w{c, {}};
  w.line("path", ".");
  for (Key k : {Key::startmenu, Key::iptv_base_port, Key::http_base_port, Key::http_apps_port,
                Key::httpport, Key::rtmpport, Key::igmpip, Key::igmpport,
                Key::iptv_time_shift_record_duration, Key::tv_on_demand_record_duration,
                Key::bitrate_constant, Key::system_log, Key::admin_system_log,
                Key::user_watch_log, Key::user_authorization, Key::max_video_streaming_no,
                Key::channel_input_buffer_no})
    w.text(k);
  w.when(Key::channel_reconnection_interval, !c.t(Key::channel_reconnection_interval).empty());
  w.when(Key::channel_prebuffer_no,
         c.i(Key::channel_prebuffer_no) != c.i(Key::channel_input_buffer_no) / 4);
  w.when(Key::hls_target_duration, c.i(Key::hls_target_duration) > 0);
  float alert = c.f(Key::alert_player_duration);
  w.when(Key::alert_player_duration, alert > 0.0f && alert != 5.0f);
  for (Key k : {Key::player_filter, Key::blacklist, Key::epg_channel_record, Key::mac_blocker})
    w.number(k);
  for (Key k : {Key::player_try_connection_no, Key::cache_on_demand_channel,
                Key::stop_ch_cache_interval})
    w.text(k);
  w.if_set(Key::root_ip);
  w.if_set(Key::channel_off_video_path);
  for (Key k : {Key::videopath, Key::picturepath, Key::runningtextpath, Key::transcoder_path})
    w.text(k);
  // Keys outside the traditional order, kept so a save loses nothing.
  for (Key k : {Key::restart, Key::time_expired_video_path, Key::unregistered_user_video_path,
                Key::authorized_channel_video_path, Key::plugin_command_path, Key::rtmp_publish_key})
    w.if_set(k);
  w.when(Key::player_source_wait, false);
  w.guard_left_out();
  return w.out;
}

int save_configuration(const std::string& dir) {
  static std::mutex save_lock;  // one writer of the file at a time
  LogLater later;  // lines logged under the lock are written after it
  std::lock_guard<std::mutex> l(save_lock);
  std::string path = dir + "/kestrix_config.txt";
  if (!file_exists(path) && file_exists(dir + "/config.txt")) path = dir + "/config.txt";
  return replace_file(path, format_configuration(*config()));
}

}  // namespace kx
