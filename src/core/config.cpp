#include "core/config.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "core/os/file.h"
#include "core/published.h"

namespace kx {

namespace {

constexpr std::size_t kTextMax = 1023;  // longest value text kept
constexpr std::size_t kDnsMax = 19;

const KeyDef kKeys[kKeyCount] = {
    {"startmenu", KeyKind::Text, "", 0},
    {"iptv_base_port", KeyKind::Int, "", 554},
    {"httpport", KeyKind::Text, "8000", 0},
    {"http_base_port", KeyKind::Int, "18000", 18000},
    {"http_apps_port", KeyKind::Int, "28000", 28000},
    {"rtmpport", KeyKind::Int, "1935", 1935},
    {"igmpip", KeyKind::Text, "", 0},
    {"igmpport", KeyKind::Text, "", 0},
    {"iptv_time_shift_record_duration", KeyKind::Int, "", 0},
    {"tv_on_demand_record_duration", KeyKind::Int, "", 0},
    {"bitrate_constant", KeyKind::Float, "", 1.0},
    {"system_log", KeyKind::Int, "1000", 1000},
    {"admin_system_log", KeyKind::Int, "1000", 1000},
    {"user_watch_log", KeyKind::Int, "0", 0},
    {"user_authorization", KeyKind::Char, "", 0},
    {"cache_on_demand_channel", KeyKind::Int, "0", 0},
    {"stop_ch_cache_interval", KeyKind::Int, "10", 10},
    {"max_video_streaming_no", KeyKind::Int, "3000", 3000},
    {"channel_input_buffer_no", KeyKind::Int, "", 1000},
    {"channel_reconnection_interval", KeyKind::Int, "7", 7},
    {"channel_prebuffer_no", KeyKind::Int, "250", 250},
    {"hls_target_duration", KeyKind::Int, "10", 10},
    {"alert_player_duration", KeyKind::Float, "5.0", 5.0},
    {"player_filter", KeyKind::Int, "1", 1},
    {"blacklist", KeyKind::Int, "1", 1},
    {"epg_channel_record", KeyKind::Int, "0", 0},
    {"mac_blocker", KeyKind::Int, "0", 0},
    {"player_try_connection_no", KeyKind::Int, "10", 10},
    {"restart", KeyKind::Table, "", 0},
    {"root_ip", KeyKind::Text, "", 0},
    {"channel_off_video_path", KeyKind::Path, "", 0},
    {"time_expired_video_path", KeyKind::Path, "", 0},
    {"unregistered_user_video_path", KeyKind::Path, "", 0},
    {"authorized_channel_video_path", KeyKind::Path, "", 0},
    {"videopath", KeyKind::Text, "", 0},
    {"picturepath", KeyKind::Text, "", 0},
    {"runningtextpath", KeyKind::Text, "", 0},
    {"plugin_command_path", KeyKind::Text, "", 0},
    {"transcoder_path", KeyKind::Path, "ffmpeg.exe", 0},
    // Seconds a live player waits through a source outage (reconnect, failover); 0 ends it
    // at once.
    {"player_source_wait", KeyKind::Int, "30", 30},
    // When set, an encoder may publish only with "?key=" and this value in its stream name;
    // empty: any encoder may publish to an rtmpencoder channel.
    {"rtmp_publish_key", KeyKind::Text, "", 0},
};

Published<Config> g_config{std::make_shared<const Config>(Config::defaults())};

// atoi without its undefined overflow: leading blanks, a sign, digits, clamped.
int parse_int(const std::string& s) {
  errno = 0;
  long long n = std::strtoll(s.c_str(), nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

float parse_float(const std::string& s) { return std::strtof(s.c_str(), nullptr); }

// First line that starts with "key="; failing that, the first occurrence anywhere.
bool find_value(const std::string& text, const char* name, std::string& out) {
  std::string pat = std::string(name) + "=";
  std::size_t at = std::string::npos;
  for (std::size_t p = text.find(pat); p != std::string::npos; p = text.find(pat, p + 1)) {
    if (p == 0 || text[p - 1] == '\n') {
      at = p;
      break;
    }
  }
  if (at == std::string::npos) at = text.find(pat);
  if (at == std::string::npos) return false;
  std::size_t start = at + pat.size();
  std::size_t nl = text.find('\n', start);
  if (nl == std::string::npos) return false;
  std::size_t end = nl;
  if (end > start && text[end - 1] == '\r') --end;
  out.assign(text, start, end - start);
  return true;
}

void set_parsed(Config::Value& val, KeyKind kind) {
  if (kind == KeyKind::Int) val.i = parse_int(val.text);
  if (kind == KeyKind::Float) val.f = parse_float(val.text);
}

void apply_user_authorization(Config& c) {
  auto& val = c.v[static_cast<int>(Key::user_authorization)];
  char ch = val.text.empty() ? '\0' : val.text[0];
  if (ch == '0') {
    val.i = 0;
  } else if (ch == '1' || ch == '2') {
    val.i = ch - '0';
    c.sep1 = '&';
    c.sep2 = ':';
  } else {
    val.i = 1;
    c.sep1 = ch;
    c.sep2 = ch;
  }
}

int build_restart_table(Config& c) {
  const std::string& s = c.t(Key::restart);
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  for (std::size_t p = 0;;) {
    std::size_t open = s.find('(', p);
    if (open == std::string::npos) break;
    std::size_t close = s.find(')', open + 1);
    if (close == std::string::npos) break;
    spans.emplace_back(open, close);
    p = close + 1;
  }
  if (spans.empty()) return 1;
  c.restart_table.assign(spans.size(), RestartTime{});
  c.has_restart_table = true;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    std::string inner = s.substr(spans[i].first + 1, spans[i].second - spans[i].first - 1);
    std::size_t colon = inner.find(':');
    if (colon == std::string::npos) break;  // this entry and the rest stay 00:00
    c.restart_table[i].hour = parse_int(inner.substr(0, colon));
    c.restart_table[i].minute = parse_int(inner.substr(colon + 1));
    log_sys("[%d]. Kestrix will restart at [%02d:%02d]\n", static_cast<int>(i + 1),
            c.restart_table[i].hour, c.restart_table[i].minute);
  }
  return 1;
}

// Rules that follow the parse of one key (defaults derived from other keys, bounds, logs).
void apply_rule(Key k, bool present, Config& c) {
  auto& val = c.v[static_cast<int>(k)];
  switch (k) {
    case Key::http_base_port:
    case Key::http_apps_port:
      if (!present) {
        // In 64 bits: httpport may hold any number, and the sum must not overflow.
        long long port = static_cast<long long>(parse_int(c.t(Key::httpport))) +
                         (k == Key::http_base_port ? 10000 : 20000);
        val.i = static_cast<int>(std::min<long long>(port, INT_MAX));
        val.text = std::to_string(val.i);
      }
      break;
    case Key::tv_on_demand_record_duration:
      if (val.i < 0) {
        log_sys("tv_on_demand_record_duration should be > 0 min.\n");
        log_sys("System sets 60 min. to tv_on_demand_record_duration\n");
        val.i = 60;
      }
      break;
    case Key::bitrate_constant:
      if (val.f > 2.0f) {
        log_sys("System Warning : bitrate_constant (%5.2f) >2.0\n", static_cast<double>(val.f));
        val.f = 0.0f;
      }
      break;
    case Key::user_authorization:
      if (present) apply_user_authorization(c);
      break;
    case Key::stop_ch_cache_interval:
      if (val.i < 1) val.i = 10;
      break;
    case Key::max_video_streaming_no:
      log_sys("Max Video Streaming No.=[%s]\n", val.text.c_str());
      break;
    case Key::channel_input_buffer_no:
      log_sys("Channel Input Buffer No.=[%s]\n", val.text.c_str());
      if (val.i == 0) val.i = 8000;
      break;
    case Key::channel_reconnection_interval:
      log_sys("Channel Reconnection Interval.=[%s]\n", val.text.c_str());
      break;
    case Key::channel_prebuffer_no: {
      int quarter = c.i(Key::channel_input_buffer_no) / 4;
      if (!present) {
        val.i = quarter;
        val.text = std::to_string(quarter);
      } else if (val.i < 0) {
        val.i = quarter;
      }
      log_sys("Channel Prebuffer No.=[%s]\n", val.text.c_str());
      break;
    }
    case Key::hls_target_duration: log_sys("HLS TargetDuration=[%s]\n", val.text.c_str()); break;
    case Key::alert_player_duration: log_sys("Alert Player Duration=[%s]\n", val.text.c_str()); break;
    case Key::player_filter: log_sys("player_filter=[%d]\n", val.i); break;
    case Key::blacklist: log_sys("blacklist=[%d]\n", val.i); break;
    case Key::epg_channel_record: log_sys("epg_channel_record=[%d]\n", val.i); break;
    case Key::mac_blocker: log_sys("Mac_Blocker=[%d]\n", val.i); break;
    case Key::player_try_connection_no:
      if (val.text.size() >= 5) {
        val.text.resize(4);
        val.i = parse_int(val.text);  // the number is what the kept text says
      }
      log_sys("Player Try Connection No=[%s]\n", val.text.c_str());
      break;
    case Key::player_source_wait:
      val.i = std::clamp(val.i, 0, 3600);
      break;
    default: break;
  }
}

}  // namespace

const KeyDef& key_def(Key k) { return kKeys[static_cast<int>(k)]; }

bool find_key(std::string_view name, Key& out) {
  for (int i = 0; i < kKeyCount; ++i) {
    if (name == kKeys[i].name) {
      out = static_cast<Key>(i);
      return true;
    }
  }
  return false;
}

Config Config::defaults() {
  Config c;
  for (int i = 0; i < kKeyCount; ++i) {
    c.v[i].text = kKeys[i].text;
    c.v[i].i = static_cast<int>(kKeys[i].value);
    c.v[i].f = static_cast<float>(kKeys[i].value);
  }
  return c;
}

ConfigPtr config() { return g_config.get(); }

void config_publish(Config c) { g_config.publish(std::make_shared<const Config>(std::move(c))); }

int parse_configuration(std::string text, Config& c) {
  terminate_lines(text);
  c.v[static_cast<int>(Key::transcoder_path)].text = "ffmpeg.exe";
  // The table is rebuilt by every load, and its text goes with it: a save writes the text.
  c.v[static_cast<int>(Key::restart)].text.clear();
  c.has_restart_table = false;
  c.restart_table.clear();
  for (int i = 0; i < kKeyCount; ++i) {
    Key k = static_cast<Key>(i);
    auto& val = c.v[i];
    std::string found;
    val.present = find_value(text, kKeys[i].name, found);
    if (val.present) {
      if (found.size() > kTextMax) found.resize(kTextMax);
      val.text = std::move(found);
      set_parsed(val, kKeys[i].kind);
    }
    apply_rule(k, val.present, c);
    if (k == Key::restart && val.present && !build_restart_table(c)) return 0;
  }
  return 1;
}

int load_configuration(const std::string& dir) {
  // The first of the two files that opens is the configuration; when it cannot be read
  // (or is empty) the load fails rather than falling back to the other one.
  std::string path = dir + "/kestrix_config.txt";
  File probe;
  if (!probe.open(path, File::kRead)) {
    path = dir + "/config.txt";
    if (!probe.open(path, File::kRead)) {
      std::fputs("Failed", stdout);
      std::fflush(stdout);
      return 0;
    }
  }
  probe.close();
  std::string text;
  if (!read_file(path, text)) return 0;
  Config c = *config();
  c.working_dir = dir == "." ? current_dir() : dir;
  int rc = parse_configuration(std::move(text), c);
  config_publish(std::move(c));
  return rc;
}

int load_dns_file(const std::string& dir) {
  std::string text;
  if (!file_exists(dir + "/qvt_dns.txt")) {
    log_sys("no DNS File\n");
    return 0;
  }
  if (!read_text_file(dir + "/qvt_dns.txt", text)) return 0;
  std::size_t a = text.find("<dns_ip>");
  std::size_t b = a == std::string::npos ? a : text.find("</dns_ip>", a + 8);
  if (b == std::string::npos) {
    log_sys("DNS File is error format\n");
    return 0;
  }
  Config c = *config();
  c.dns_ip = text.substr(a + 8, std::min(b - (a + 8), kDnsMax));
  config_publish(std::move(c));
  return 1;
}

}  // namespace kx
