// Reading and parsing the channel catalogue.
#include "catalogue/channels.h"

#include <charconv>
#include <cmath>
#include <mutex>

#include "catalogue/scramble.h"
#include "catalogue/store_file.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/time.h"

namespace kx {

namespace {

std::atomic<int64_t> g_load_time{0};

std::mutex g_root_mutex;
std::function<bool(std::string&)> g_root_source;

}  // namespace

int64_t channel_catalogue_load_time() { return g_load_time.load(std::memory_order_acquire); }

void mark_channel_catalogue_load() { g_load_time.store(wall_seconds(), std::memory_order_release); }

void set_root_password_source(std::function<bool(std::string&)> source) {
  std::lock_guard<std::mutex> g(g_root_mutex);
  g_root_source = std::move(source);
}

namespace channels_detail {

StoreFile& channel_store() {
  static StoreFile f(kChannelFile, kChannelTempFile, kChannelBackupFile);
  return f;
}

Mutex& writer_lock() {
  static Mutex m;
  return m;
}

bool root_password(std::string& out) {
  out.clear();
  std::function<bool(std::string&)> source;
  {
    std::lock_guard<std::mutex> g(g_root_mutex);
    source = g_root_source;
  }
  if (!source || !source(out)) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace channels_detail

ChannelDefaults channel_defaults_from_config() {
  ConfigPtr c = config();
  ChannelDefaults d;
  d.tolerance_text = cut(c->t(Key::bitrate_constant), kChannelToleranceMax);
  d.tolerance = c->f(Key::bitrate_constant);
  d.cache_on_demand = c->i(Key::cache_on_demand_channel) == 1 ? 1 : 0;
  return d;
}

// ---- parsing ----

namespace {

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// A decimal number of 1 to 9 digits, with an optional leading minus; false for anything
// else, so a bad or overlong value never reaches arithmetic.
bool parse_int(std::string_view s, int& out) {
  bool neg = false;
  if (!s.empty() && s[0] == '-') {
    neg = true;
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = neg ? -v : v;
  return true;
}

void read_type(std::string_view v, ChannelDef& d) {
  d.nChannel_Type = kTypeLive;
  if (starts_with(v, "delay")) {
    d.nChannel_Type = kTypeDelay;
    d.delay_amount = 0;
    d.delay_unit = kDelaySeconds;
    v.remove_prefix(5);
    if (v.empty() || v[0] != ',') return;
    v.remove_prefix(1);
    const std::size_t comma = v.find(',');
    if (comma == std::string_view::npos) return;
    int amount = 0;
    if (parse_int(v.substr(0, comma), amount) && amount > 0) d.delay_amount = amount;
    const std::string_view unit = v.substr(comma + 1);
    if (unit == "min.") d.delay_unit = kDelayMinutes;
    else if (unit == "hr.") d.delay_unit = kDelayHours;
  } else if (starts_with(v, "movie")) {
    d.nChannel_Type = kTypeMovie;
  } else if (starts_with(v, "dvr")) {
    d.nChannel_Type = kTypeDvr;
  } else if (starts_with(v, "inactive")) {
    d.nChannel_Type = kTypeInactive;
  } else if (starts_with(v, "hls")) {
    d.nChannel_Type = kTypeHls;
  }
}

void read_tolerance(const Element& e, const ChannelDefaults& dflt, ChannelDef& d) {
  d.tolerance_text = dflt.tolerance_text;
  d.tolerance = dflt.tolerance;
  std::string_view v;
  if (!e.attr("tolerance", v)) return;
  const std::string text = cut(v, kChannelToleranceMax);
  float f = 0.0f;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), f);
  if (r.ec != std::errc() || text.empty() || !std::isfinite(f) || f < 0.0f) return;
  d.tolerance_text = text;
  d.tolerance = f;
  d.tolerance_set = true;
}

void read_kbitrate(const Element& e, std::string_view name, int dflt, int& value,
                   std::string& text) {
  value = dflt;
  text = std::to_string(dflt);
  std::string_view v;
  int parsed = 0;
  // 0 is kept as the default too: it is never written back, and no transcoder runs at 0.
  if (e.attr(name, v) && parse_int(v, parsed) && parsed > 0) {
    value = parsed;
    text = std::to_string(parsed);
  }
}

void read_transcoding(const Element& e, ChannelDef& d) {
  std::string_view v;
  d.video_format = e.attr("video_format", v) && !v.empty() ? cut(v, kChannelFormatMax) : "h264";
  d.audio_format = e.attr("audio_format", v) && !v.empty() ? cut(v, kChannelFormatMax) : "aac";
  read_kbitrate(e, "mobile_kbitrate", 500, d.mobile_kbitrate, d.mobile_kbitrate_text);
  read_kbitrate(e, "sd_kbitrate", 1000, d.sd_kbitrate, d.sd_kbitrate_text);
  read_kbitrate(e, "hd_kbitrate", 4000, d.hd_kbitrate, d.hd_kbitrate_text);
  d.preset = e.attr("preset", v) ? cut(v, kChannelPresetMax) : "";
}

// The sources of one element: src into slot 0, sr2 and sr3 packed after it. false when a
// scrambled value cannot be read.
bool read_sources(const Element& e, int number, const ChannelParseOptions& opt, ChannelDef& d) {
  static constexpr std::string_view kNames[kChannelSources] = {"src", "sr2", "sr3"};
  int next = 1;
  for (int i = 0; i < kChannelSources; ++i) {
    std::string_view v;
    if (!e.attr(kNames[i], v) || v.empty()) continue;  // an empty value is no source
    std::string url;
    if (opt.scrambled) {
      if (!unscramble_source(v, number == 1, opt.root_password, url)) return false;
      url = cut(url, kChannelSourceMax);
    } else {
      url = cut(v, kChannelSourceMax);
    }
    if (url.empty()) continue;
    d.src[i == 0 ? 0 : next++] = std::move(url);
  }
  if (!d.src[0].empty()) d.nURL_Count = next;
  return true;
}

// One channel from its element. false when its sources cannot be read.
bool read_channel(const Element& e, int number, const ChannelParseOptions& opt, ChannelDef& d) {
  d.nChannel_No = number;
  if (!read_sources(e, number, opt, d)) return false;

  std::string_view v;
  if (e.attr("img", v)) d.icon = cut(v, kChannelIconMax);
  if (e.attr("category", v)) d.category = cut(v, kChannelCategoryMax);
  if (e.attr("chsid", v)) d.chsid = cut(v, kChannelSidMax);
  read_tolerance(e, opt.defaults, d);
  if (e.attr("type", v)) read_type(v, d);
  d.nSaved_Channel_Type = static_cast<int>(d.nChannel_Type);

  d.nHLS_Mode = d.nChannel_Type == kTypeHls ? 1 : 0;
  if (e.attr("adaptive_bitrate_type", v) && v.size() == 1) {
    const int mode = v[0] >= '0' && v[0] <= '9' ? v[0] - '0' : 0;
    d.nHLS_Mode = mode == 1 || mode == 2 ? mode : 0;
    d.hls_mode_set = true;
  }
  if (d.nHLS_Mode == 2) read_transcoding(e, d);

  d.nCache_On_Demand = opt.defaults.cache_on_demand;
  if (e.attr("cache_on_demand", v) && v.size() == 1) {
    d.nCache_On_Demand = v[0] == '1' ? 1 : 0;
    d.cache_on_demand_set = true;
  }

  d.name = cut(e.text, kChannelNameMax);
  // Only this element's own token counts, and only for this name.
  if (e.attr("forward", v)) d.forward = forward_token_matches(v, d.name) ? 1 : 0;
  return true;
}

}  // namespace

bool is_scrambled_header(std::string_view text) {
  const std::size_t gt = text.find('>');
  return text.substr(0, gt).find("encryption") != std::string_view::npos;
}

int parse_channel_text(std::string_view text, const ChannelParseOptions& opt,
                       const std::function<void(ChannelDef&&)>& each) {
  std::size_t pos = 0, count = 0;
  Element e;
  while (next_element(text, "ch", pos, e)) {
    if (count >= kMaxChannels) {
      log_sys("channel_definition.xml has more than %d channels\n", static_cast<int>(kMaxChannels));
      return 0;
    }
    ChannelDef d;
    if (!read_channel(e, static_cast<int>(count) + 1, opt, d)) {
      log_sys("channel_definition.xml error\n");
      log_sys("CH[%d] source cannot be read\n", static_cast<int>(count) + 1);
      return 0;
    }
    ++count;
    each(std::move(d));
  }
  return 1;
}

int parse_channel_text(std::string_view text, const ChannelParseOptions& opt,
                       std::vector<ChannelDef>& out) {
  out.clear();
  return parse_channel_text(text, opt, [&out](ChannelDef&& d) { out.push_back(std::move(d)); });
}

// ---- reading ----

int read_channel_file(std::string& text) {
  using namespace channels_detail;
  const std::string path = work_file(kChannelFile);
  if (!file_exists(path) || file_size(path) <= 0) log_sys("Failed to open %s\n", kChannelFile);

  switch (read_store(channel_store(), text, true)) {
    case ReadResult::kRead:
      break;
    case ReadResult::kFromBackup:
      log_sys("Warning: Kestrix uses [%s] copied from .\n", kChannelBackupFile);
      break;
    case ReadResult::kEmpty:
      log_sys("Error: channel_definition.xml [%s] is 0 byte .", kChannelFile);
      return 0;
    case ReadResult::kMissing:
      log_sys("Error: Failed to Open [%s] again.\n", kChannelFile);
      return 0;
    case ReadResult::kUnreadable:
      return 0;
  }
  const int64_t bytes = file_size(path);
  log_sys("channel_definition.xml has [%d] bytes\n",
          static_cast<int>(bytes >= 0 ? bytes : static_cast<int64_t>(text.size())));
  return 1;
}

int count_channels_in_file() {
  const std::string path = work_file(kChannelFile);
  if (!file_exists(path)) {
    log_sys("channel_definition.xml Not found\n");
    return 0;
  }
  std::string text;
  if (!read_file(path, text)) return 0;
  std::size_t pos = 0;
  Element e;
  int n = 0;
  while (next_element(text, "ch", pos, e)) ++n;
  return n;
}

}  // namespace kx
