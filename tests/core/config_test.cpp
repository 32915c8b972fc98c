#include "core/config.h"

#include <gtest/gtest.h>

#include <ftw.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/os/file.h"
#include "support/harness.h"

namespace kx {
namespace {

// The shared test helpers: a temporary folder, whole-file reads and writes, listings.
using kxt::names_in;
using kxt::slurp;
using kxt::spit;
using kxt::TempDir;

std::string name_of(Key k) { return key_def(k).name; }
KeyKind kind_of(Key k) { return key_def(k).kind; }
bool has_number(Key k) {
  return kind_of(k) == KeyKind::Int || kind_of(k) == KeyKind::Float || kind_of(k) == KeyKind::Char;
}

// The parsed value a key's users read: the float of float keys, the integer of the others.
double parsed_of(const Config& c, Key k) {
  return kind_of(k) == KeyKind::Float ? static_cast<double>(c.f(k)) : c.i(k);
}

bool same_float(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

Config parsed(const std::string& text) {
  Config c = Config::defaults();
  EXPECT_EQ(parse_configuration(text, c), 1);
  return c;
}

// Everything a reader of the store can see, compared key by key.
void expect_same_config(const Config& want, const Config& got) {
  for (int i = 0; i < kKeyCount; ++i) {
    Key k = static_cast<Key>(i);
    switch (kind_of(k)) {
      case KeyKind::Int:
      case KeyKind::Char: EXPECT_EQ(want.i(k), got.i(k)) << name_of(k); break;
      case KeyKind::Float:
        EXPECT_TRUE(same_float(want.f(k), got.f(k))) << name_of(k) << " " << want.f(k) << " / " << got.f(k);
        break;
      case KeyKind::Text:
      case KeyKind::Path:
      case KeyKind::Table: EXPECT_EQ(want.t(k), got.t(k)) << name_of(k); break;
    }
  }
  EXPECT_EQ(want.sep1, got.sep1);
  EXPECT_EQ(want.sep2, got.sep2);
  EXPECT_EQ(want.has_restart_table, got.has_restart_table);
  ASSERT_EQ(want.restart_table.size(), got.restart_table.size());
  for (std::size_t i = 0; i < want.restart_table.size(); ++i) {
    EXPECT_EQ(want.restart_table[i].hour, got.restart_table[i].hour) << "entry " << i;
    EXPECT_EQ(want.restart_table[i].minute, got.restart_table[i].minute) << "entry " << i;
  }
}

// What was loaded, written back and loaded by a fresh process must be what was in force.
void expect_round_trip(const Config& in_force) {
  std::string saved = format_configuration(in_force);
  SCOPED_TRACE("saved file:\n" + saved);
  expect_same_config(in_force, parsed(saved));
}

// The store starts from the compiled-in defaults; the system log goes to a private folder
// so the messages of the load can be checked.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    config_publish(Config::defaults());
    open_logs(tmp_ / "log");
    log_set_mode(Sink::System, 1);
    new_log();
  }
  void TearDown() override {
    close_logs();
    log_set_mode(Sink::System, 1000);
    config_publish(Config::defaults());
  }
  // System log text written since the previous call.
  std::string new_log() {
    std::string all = slurp(tmp_ / "log/system.log");
    std::string fresh = all.size() > log_seen_ ? all.substr(log_seen_) : std::string();
    log_seen_ = all.size();
    return fresh;
  }

  TempDir tmp_;
  std::size_t log_seen_ = 0;
};

using ConfigDefaults = ConfigTest;
using ConfigLoad = ConfigTest;
using ConfigRoundTrip = ConfigTest;
using ConfigSave = ConfigTest;
using ConfigFiles = ConfigTest;
using ConfigDns = ConfigTest;

// ---------------------------------------------------------------------------------------
// Defaults

struct DefaultRow {
  Key key;
  const char* text;
  double value;  // parsed value; not used for text keys
};

const DefaultRow kDefaults[] = {
    {Key::startmenu, "", 0},
    {Key::iptv_base_port, "", 554},
    {Key::httpport, "8000", 0},
    {Key::http_base_port, "18000", 18000},
    {Key::http_apps_port, "28000", 28000},
    {Key::rtmpport, "1935", 1935},
    {Key::igmpip, "", 0},
    {Key::igmpport, "", 0},
    {Key::iptv_time_shift_record_duration, "", 0},
    {Key::tv_on_demand_record_duration, "", 0},
    {Key::bitrate_constant, "", 1.0},
    {Key::system_log, "1000", 1000},
    {Key::admin_system_log, "1000", 1000},
    {Key::user_watch_log, "0", 0},
    {Key::user_authorization, "", 0},
    {Key::cache_on_demand_channel, "0", 0},
    {Key::stop_ch_cache_interval, "10", 10},
    {Key::max_video_streaming_no, "3000", 3000},
    {Key::channel_input_buffer_no, "", 1000},
    {Key::channel_reconnection_interval, "7", 7},
    {Key::channel_prebuffer_no, "250", 250},
    {Key::hls_target_duration, "10", 10},
    {Key::alert_player_duration, "5.0", 5.0},
    {Key::player_filter, "1", 1},
    {Key::blacklist, "1", 1},
    {Key::epg_channel_record, "0", 0},
    {Key::mac_blocker, "0", 0},
    {Key::player_try_connection_no, "10", 10},
    {Key::restart, "", 0},
    {Key::root_ip, "", 0},
    {Key::channel_off_video_path, "", 0},
    {Key::time_expired_video_path, "", 0},
    {Key::unregistered_user_video_path, "", 0},
    {Key::authorized_channel_video_path, "", 0},
    {Key::videopath, "", 0},
    {Key::picturepath, "", 0},
    {Key::runningtextpath, "", 0},
    {Key::plugin_command_path, "", 0},
    {Key::transcoder_path, "ffmpeg.exe", 0},
    {Key::player_source_wait, "30", 30},
    {Key::rtmp_publish_key, "", 0},
};
static_assert(std::size(kDefaults) == kKeyCount, "one row per key");

TEST_F(ConfigDefaults, FileWithoutKeysGivesEveryDefault) {
  for (const char* file : {"", "\r\n", "\n", "no keys here", "# comment\r\nunknown_key=5\r\n"}) {
    SCOPED_TRACE(std::string("file: ") + file);
    Config c = parsed(file);
    for (const auto& row : kDefaults) {
      EXPECT_EQ(c.t(row.key), row.text) << name_of(row.key);
      if (has_number(row.key)) {
        EXPECT_EQ(parsed_of(c, row.key), row.value) << name_of(row.key);
      }
      EXPECT_FALSE(c.v[static_cast<int>(row.key)].present) << name_of(row.key);
    }
    EXPECT_EQ(c.auth_mode(), 0);
    EXPECT_EQ(c.sep1, '&');
    EXPECT_EQ(c.sep2, ':');
    EXPECT_FALSE(c.has_restart_table);
    EXPECT_TRUE(c.restart_table.empty());
  }
}

TEST_F(ConfigDefaults, KeyNamesAreFoundByName) {
  for (int i = 0; i < kKeyCount; ++i) {
    Key k = static_cast<Key>(i);
    Key found = Key::count;
    EXPECT_TRUE(find_key(key_def(k).name, found)) << key_def(k).name;
    EXPECT_TRUE(found == k) << key_def(k).name;
    EXPECT_TRUE(kDefaults[i].key == k) << "default table out of order at " << i;
  }
  Key unused;
  EXPECT_FALSE(find_key("path", unused));
  EXPECT_FALSE(find_key("rtsp_base_port", unused));
}

// ---------------------------------------------------------------------------------------
// Load rules

struct Want {
  Key key;
  std::optional<std::string> text;  // value text, unchecked when absent
  std::optional<double> value;      // parsed value, unchecked when absent
};

struct RuleCase {
  const char* what;
  std::string file;
  std::vector<Want> want;
  std::vector<std::string> logs;      // lines the load must log
  std::vector<std::string> not_logs;  // texts it must not log
};

std::vector<RuleCase> rule_cases() {
  const std::string a5000(5000, 'a'), a1023(1023, 'a');
  const std::string nines(1500, '9'), nines1023(1023, '9');
  const std::string p1024(1024, 'p'), p1023(1023, 'p');
  return {
      {"httpport moves both derived ports", "httpport=9000\r\n",
       {{Key::httpport, "9000", {}}, {Key::http_base_port, "19000", 19000},
        {Key::http_apps_port, "29000", 29000}}, {}, {}},
      {"httpport without digits", "httpport=web\r\n",
       {{Key::http_base_port, "10000", 10000}, {Key::http_apps_port, "20000", 20000}}, {}, {}},
      {"negative httpport", "httpport=-8000\r\n",
       {{Key::http_base_port, "2000", 2000}, {Key::http_apps_port, "12000", 12000}}, {}, {}},
      {"largest httpport does not overflow", "httpport=2147483647\r\n",
       {{Key::http_base_port, "2147483647", INT_MAX}, {Key::http_apps_port, "2147483647", INT_MAX}},
       {}, {}},
      {"explicit panel port wins", "httpport=9000\r\nhttp_base_port=7000\r\n",
       {{Key::http_base_port, "7000", 7000}, {Key::http_apps_port, "29000", 29000}}, {}, {}},
      {"empty panel port", "http_base_port=\r\n", {{Key::http_base_port, "", 0}}, {}, {}},
      {"input buffer 0", "channel_input_buffer_no=0\r\n",
       {{Key::channel_input_buffer_no, "0", 8000}, {Key::channel_prebuffer_no, "2000", 2000}},
       {"]: Channel Input Buffer No.=[0]\n", "]: Channel Prebuffer No.=[2000]\n"}, {}},
      {"input buffer without digits", "channel_input_buffer_no=many\r\n",
       {{Key::channel_input_buffer_no, "many", 8000}}, {"]: Channel Input Buffer No.=[many]\n"}, {}},
      {"input buffer empty", "channel_input_buffer_no=\r\n",
       {{Key::channel_input_buffer_no, "", 8000}}, {"]: Channel Input Buffer No.=[]\n"}, {}},
      {"negative prebuffer takes a quarter of the input buffer",
       "channel_input_buffer_no=2000\r\nchannel_prebuffer_no=-1\r\n",
       {{Key::channel_prebuffer_no, "-1", 500}}, {"]: Channel Prebuffer No.=[-1]\n"}, {}},
      {"prebuffer 0 is kept", "channel_prebuffer_no=0\r\n", {{Key::channel_prebuffer_no, "0", 0}},
       {}, {}},
      {"bitrate above 2.0", "bitrate_constant=2.5\r\n", {{Key::bitrate_constant, "2.5", 0.0}},
       {"]: System Warning : bitrate_constant ( 2.50) >2.0\n"}, {}},
      {"bitrate 2.0 accepted", "bitrate_constant=2.0\r\n", {{Key::bitrate_constant, "2.0", 2.0}},
       {}, {"System Warning"}},
      {"bitrate empty", "bitrate_constant=\r\n", {{Key::bitrate_constant, "", 0.0}}, {}, {}},
      {"stop interval 0", "stop_ch_cache_interval=0\r\n", {{Key::stop_ch_cache_interval, "0", 10}},
       {}, {}},
      {"stop interval negative", "stop_ch_cache_interval=-3\r\n",
       {{Key::stop_ch_cache_interval, "-3", 10}}, {}, {}},
      {"stop interval 1", "stop_ch_cache_interval=1\r\n", {{Key::stop_ch_cache_interval, "1", 1}},
       {}, {}},
      {"try count of six digits", "player_try_connection_no=123456\r\n",
       {{Key::player_try_connection_no, "1234", 1234}}, {"]: Player Try Connection No=[1234]\n"}, {}},
      {"try count of five characters", "player_try_connection_no=9x876\r\n",
       {{Key::player_try_connection_no, "9x87", 9}}, {}, {}},
      {"try count of four digits", "player_try_connection_no=4321\r\n",
       {{Key::player_try_connection_no, "4321", 4321}}, {}, {}},
      {"negative on-demand length", "tv_on_demand_record_duration=-5\r\n",
       {{Key::tv_on_demand_record_duration, "-5", 60}},
       {"]: tv_on_demand_record_duration should be > 0 min.\n",
        "]: System sets 60 min. to tv_on_demand_record_duration\n"}, {}},
      {"on-demand length 0", "tv_on_demand_record_duration=0\r\n",
       {{Key::tv_on_demand_record_duration, "0", 0}}, {}, {"should be > 0"}},
      {"logged values", "max_video_streaming_no=12\r\nchannel_reconnection_interval=3\r\n"
       "hls_target_duration=4\r\nalert_player_duration=2.5\r\nplayer_filter=0\r\nblacklist=0\r\n"
       "epg_channel_record=2\r\nmac_blocker=1\r\n",
       {{Key::alert_player_duration, "2.5", 2.5}, {Key::epg_channel_record, "2", 2}},
       {"]: Max Video Streaming No.=[12]\n", "]: Channel Reconnection Interval.=[3]\n",
        "]: HLS TargetDuration=[4]\n", "]: Alert Player Duration=[2.5]\n", "]: player_filter=[0]\n",
        "]: blacklist=[0]\n", "]: epg_channel_record=[2]\n", "]: Mac_Blocker=[1]\n"}, {}},
      {"line start wins over an earlier contained key", "admin_system_log=5\r\nsystem_log=7\r\n",
       {{Key::system_log, "7", 7}, {Key::admin_system_log, "5", 5}}, {}, {}},
      {"contained key when no line starts with it", "admin_system_log=5\r\n",
       {{Key::system_log, "5", 5}, {Key::admin_system_log, "5", 5}}, {}, {}},
      {"key inside another value", "startmenu=index.html?rtmpport=99\r\n",
       {{Key::startmenu, "index.html?rtmpport=99", {}}, {Key::rtmpport, "99", 99}}, {}, {}},
      {"line start wins over an earlier value", "startmenu=?rtmpport=1\r\nrtmpport=2\r\n",
       {{Key::rtmpport, "2", 2}}, {}, {}},
      {"first of two lines wins", "rtmpport=1\r\nrtmpport=2\r\n", {{Key::rtmpport, "1", 1}}, {}, {}},
      {"CRLF without a final line end", "rtmpport=1\r\nigmpip=239.0.0.1",
       {{Key::rtmpport, "1", 1}, {Key::igmpip, "239.0.0.1", {}}}, {}, {}},
      {"LF lines", "rtmpport=1\nigmpip=239.0.0.1\n",
       {{Key::rtmpport, "1", 1}, {Key::igmpip, "239.0.0.1", {}}}, {}, {}},
      {"LF without a final line end", "rtmpport=1\nigmpip=239.0.0.1",
       {{Key::rtmpport, "1", 1}, {Key::igmpip, "239.0.0.1", {}}}, {}, {}},
      {"only one CR is a line end", "igmpip=a\r\r\nigmpport=\r\n",
       {{Key::igmpip, "a\r", {}}, {Key::igmpport, "", {}}}, {}, {}},
      {"value text is not trimmed", "igmpport=  5000 \r\niptv_base_port= +42xyz\r\n",
       {{Key::igmpport, "  5000 ", {}}, {Key::iptv_base_port, " +42xyz", 42}}, {}, {}},
      {"empty RTSP port is 0", "iptv_base_port=\r\n", {{Key::iptv_base_port, "", 0}}, {}, {}},
      {"negative number", "rtmpport=-7\r\n", {{Key::rtmpport, "-7", -7}}, {}, {}},
      {"hex is not read", "rtmpport=0x1A\r\n", {{Key::rtmpport, "0x1A", 0}}, {}, {}},
      {"too large numbers are clamped", "rtmpport=99999999999\r\nhls_target_duration=-99999999999\r\n",
       {{Key::rtmpport, {}, INT_MAX}, {Key::hls_target_duration, {}, INT_MIN}}, {}, {}},
      {"overlong text", "startmenu=" + a5000 + "\r\n", {{Key::startmenu, a1023, {}}}, {}, {}},
      {"overlong number", "rtmpport=" + nines + "\r\n", {{Key::rtmpport, nines1023, INT_MAX}}, {}, {}},
      {"player source wait is 0 to 3600 seconds", "player_source_wait=-5\r\n",
       {{Key::player_source_wait, "-5", 0}}, {}, {}},
      {"player source wait above an hour", "player_source_wait=99999\r\n",
       {{Key::player_source_wait, {}, 3600}}, {}, {}},
      {"overlong paths", "transcoder_path=" + p1024 + "\r\nvideopath=" + p1023 + "\r\n",
       {{Key::transcoder_path, p1023, {}}, {Key::videopath, p1023, {}}}, {}, {}},
  };
}

TEST_F(ConfigLoad, RulesOfEachKey) {
  for (const auto& tc : rule_cases()) {
    SCOPED_TRACE(tc.what);
    new_log();
    Config c = parsed(tc.file);
    std::string log = new_log();
    for (const auto& w : tc.want) {
      if (w.text) {
        EXPECT_EQ(c.t(w.key), *w.text) << name_of(w.key);
      }
      if (w.value) {
        EXPECT_EQ(parsed_of(c, w.key), *w.value) << name_of(w.key);
      }
    }
    for (const auto& line : tc.logs) {
      EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
    }
    for (const auto& text : tc.not_logs) {
      EXPECT_EQ(log.find(text), std::string::npos) << text;
    }
  }
}

TEST_F(ConfigLoad, UserAuthorizationForms) {
  struct Row {
    const char* file;
    int mode;
    char sep1, sep2;
  };
  const Row rows[] = {
      {"", 0, '&', ':'},
      {"user_authorization=0\r\n", 0, '&', ':'},
      {"user_authorization=1\r\n", 1, '&', ':'},
      {"user_authorization=2\r\n", 2, '&', ':'},
      {"user_authorization=2;\r\n", 2, '&', ':'},
      {"user_authorization=;\r\n", 1, ';', ';'},
      {"user_authorization=#1\r\n", 1, '#', '#'},
      {"user_authorization=\r\n", 1, '\0', '\0'},  // the password runs to the end of the text
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    Config c = parsed(r.file);
    EXPECT_EQ(c.auth_mode(), r.mode);
    EXPECT_EQ(c.sep1, r.sep1);
    EXPECT_EQ(c.sep2, r.sep2);
  }
}

TEST_F(ConfigLoad, RestartTableForms) {
  struct Row {
    const char* value;
    std::vector<RestartTime> table;
    std::size_t lines;               // restart messages logged
    std::vector<std::string> logs;  // some of them exactly
  };
  const std::vector<Row> rows = {
      {"(03:30)(15:00)", {{3, 30}, {15, 0}}, 2,
       {"]: [1]. Kestrix will restart at [03:30]\n", "]: [2]. Kestrix will restart at [15:00]\n"}},
      {"(03:30)(noon)(15:00)", {{3, 30}, {0, 0}, {0, 0}}, 1, {"]: [1]. Kestrix will restart at [03:30]\n"}},
      {"daily (4:5), also (23:59) and then (", {{4, 5}, {23, 59}}, 2,
       {"]: [1]. Kestrix will restart at [04:05]\n", "]: [2]. Kestrix will restart at [23:59]\n"}},
      {"(:)", {{0, 0}}, 1, {"]: [1]. Kestrix will restart at [00:00]\n"}},
      {"(1:2:3)", {{1, 2}}, 1, {"]: [1]. Kestrix will restart at [01:02]\n"}},
      {"x)(7:08)", {{7, 8}}, 1, {}},
      {"(3:30", {}, 0, {}},
      {"never", {}, 0, {}},
      {"", {}, 0, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.value);
    new_log();
    Config c = parsed(std::string("restart=") + r.value + "\r\n");
    std::string log = new_log();
    EXPECT_EQ(c.has_restart_table, !r.table.empty());
    ASSERT_EQ(c.restart_table.size(), r.table.size());
    for (std::size_t i = 0; i < r.table.size(); ++i) {
      EXPECT_EQ(c.restart_table[i].hour, r.table[i].hour) << i;
      EXPECT_EQ(c.restart_table[i].minute, r.table[i].minute) << i;
    }
    // One line per filled entry, none for the entries that stay 00:00 after a missing ':'.
    std::size_t lines = 0;
    for (std::size_t p = log.find("Kestrix will restart at"); p != std::string::npos;
         p = log.find("Kestrix will restart at", p + 1))
      ++lines;
    EXPECT_EQ(lines, r.lines);
    for (const auto& line : r.logs) {
      EXPECT_NE(log.find(line), std::string::npos) << line;
    }
  }
}

// A restart loads again into the store it has: absent keys keep their values, except the
// computed defaults, the transcoder path and the restart table.
TEST_F(ConfigLoad, SecondLoadKeepsAbsentKeysButNotTheRestartTable) {
  Config c = Config::defaults();
  ASSERT_EQ(parse_configuration("restart=(03:30)\r\nroot_ip=10.0.0.1\r\ntranscoder_path=/opt/ff\r\n"
                                "httpport=9000\r\nhttp_base_port=5\r\nuser_authorization=;\r\n"
                                "channel_input_buffer_no=\r\nchannel_prebuffer_no=9\r\n", c), 1);
  ASSERT_TRUE(c.has_restart_table);
  ASSERT_EQ(parse_configuration("rtmpport=1\r\n", c), 1);
  EXPECT_FALSE(c.has_restart_table);
  EXPECT_TRUE(c.restart_table.empty());
  EXPECT_EQ(c.t(Key::restart), "");
  EXPECT_EQ(c.t(Key::root_ip), "10.0.0.1");
  EXPECT_EQ(c.t(Key::transcoder_path), "ffmpeg.exe");
  EXPECT_EQ(c.t(Key::httpport), "9000");
  EXPECT_EQ(c.i(Key::http_base_port), 19000);
  EXPECT_EQ(c.auth_mode(), 1);
  EXPECT_EQ(c.sep1, ';');
  EXPECT_EQ(c.i(Key::channel_input_buffer_no), 8000);
  EXPECT_EQ(c.i(Key::channel_prebuffer_no), 2000);
  // The store after the second load is what a save keeps.
  expect_round_trip(c);
}

// ---------------------------------------------------------------------------------------
// Save: what is written loads back to the configuration in force

TEST_F(ConfigRoundTrip, EveryKeyWithAwkwardValues) {
  const std::vector<std::string> values = {
      "", "0", "1", "-1", "-5", "7", "2.0", "2.5", "5", "5.0", "abc", "12abc", "  42 ", "123456",
      "2147483647", "-2147483649", "99999999999", ";", "0.0.0.0", "C:\\media\\off.ts",
      "(03:30)(15:00)", "(03:30)(x)(15:00)", "nan", "1e40", "a\r", std::string(1100, '9'),
      std::string(1100, 'p')};
  for (int i = 0; i < kKeyCount; ++i) {
    Key k = static_cast<Key>(i);
    // Another value that holds "key=": a load that misses the key's own line finds this one.
    std::string carrier = k == Key::startmenu ? "videopath" : "startmenu";
    for (const auto& v : values) {
      for (bool shadowed : {false, true}) {
        std::string file = name_of(k) + "=" + v + "\r\n";
        if (shadowed) file += carrier + "=?" + name_of(k) + "=9(01:02)\r\n";
        SCOPED_TRACE("file:\n" + file);
        expect_round_trip(parsed(file));
        if (HasFailure()) return;  // one clear report instead of hundreds
      }
    }
  }
}

TEST_F(ConfigRoundTrip, ComputedDefaultsAndCombinations) {
  const std::string cases[] = {
      "httpport=9000\r\n",
      "httpport=9000\r\nhttp_base_port=18000\r\nhttp_apps_port=28000\r\n",
      "httpport=abc\r\n",
      "httpport=\r\n",
      "httpport=-10000\r\nhttp_base_port=\r\nhttp_apps_port=\r\n",
      "httpport=2147483647\r\n",
      "httpport=99999999999\r\n",
      "channel_input_buffer_no=2000\r\nchannel_prebuffer_no=-1\r\n",
      "channel_input_buffer_no=2000\r\nchannel_prebuffer_no=250\r\n",
      "channel_input_buffer_no=\r\nchannel_prebuffer_no=2000\r\n",
      "channel_input_buffer_no=abc\r\n",
      "channel_prebuffer_no=\r\n",
      "channel_prebuffer_no=-3\r\n",
      "alert_player_duration=5\r\nhls_target_duration=0\r\nchannel_reconnection_interval=\r\n",
      "user_authorization=\r\nuser_watch_log=\r\nsystem_log=\r\n",
      "admin_system_log=5\r\n",
      "admin_system_log=5\r\nsystem_log=7\r\n",
      "root_ip=\r\nstartmenu=x?root_ip=5&user_authorization=;&restart=(1:2)\r\n",
      "restart=(03:30)(15:00)\r\ntime_expired_video_path=e.ts\r\nunregistered_user_video_path=u.ts\r\n"
      "authorized_channel_video_path=a.ts\r\nplugin_command_path=plug\r\n",
      "rtmpport=1\nigmpip=239.0.0.1",
      "httpport=8080\r\nrtmpport=0\r\nuser_authorization=2\r\nbitrate_constant=2.5\r\n"
      "tv_on_demand_record_duration=-1\r\nstop_ch_cache_interval=0\r\nplayer_try_connection_no=123456",
  };
  for (const auto& file : cases) {
    SCOPED_TRACE("file:\n" + file);
    expect_round_trip(parsed(file));
  }
}

TEST_F(ConfigSave, DefaultsWrittenInFileOrder) {
  EXPECT_EQ(format_configuration(parsed("")),
            "path=.\r\n"
            "startmenu=\r\n"
            "http_base_port=18000\r\n"
            "http_apps_port=28000\r\n"
            "httpport=8000\r\n"
            "rtmpport=1935\r\n"
            "igmpip=\r\n"
            "igmpport=\r\n"
            "system_log=1000\r\n"
            "admin_system_log=1000\r\n"
            "user_watch_log=0\r\n"
            "max_video_streaming_no=3000\r\n"
            "channel_reconnection_interval=7\r\n"
            "hls_target_duration=10\r\n"
            "player_filter=1\r\n"
            "blacklist=1\r\n"
            "epg_channel_record=0\r\n"
            "mac_blocker=0\r\n"
            "player_try_connection_no=10\r\n"
            "cache_on_demand_channel=0\r\n"
            "stop_ch_cache_interval=10\r\n"
            "videopath=\r\n"
            "picturepath=\r\n"
            "runningtextpath=\r\n"
            "transcoder_path=ffmpeg.exe\r\n");
}

TEST_F(ConfigSave, EveryKeySetIsWrittenInFileOrder) {
  // Listed backwards on purpose: the save puts them in its own order.
  const char* file =
      "player_source_wait=12\r\n"
      "transcoder_path=/usr/bin/ffmpeg\r\nplugin_command_path=plugins\r\nrunningtextpath=ticker\r\n"
      "picturepath=pics\r\nvideopath=movies\r\nauthorized_channel_video_path=denied.ts\r\n"
      "unregistered_user_video_path=unreg.ts\r\ntime_expired_video_path=expired.ts\r\n"
      "channel_off_video_path=off.ts\r\nroot_ip=10.0.0.9\r\nrestart=(03:30)\r\n"
      "player_try_connection_no=5\r\nmac_blocker=1\r\nepg_channel_record=2\r\nblacklist=0\r\n"
      "player_filter=0\r\nalert_player_duration=2.5\r\nhls_target_duration=6\r\n"
      "channel_prebuffer_no=100\r\nchannel_reconnection_interval=3\r\n"
      "channel_input_buffer_no=2000\r\nmax_video_streaming_no=500\r\nstop_ch_cache_interval=5\r\n"
      "cache_on_demand_channel=1\r\nuser_authorization=1\r\nuser_watch_log=1\r\n"
      "admin_system_log=200\r\nsystem_log=100\r\nbitrate_constant=1.5\r\n"
      "tv_on_demand_record_duration=120\r\niptv_time_shift_record_duration=30\r\nigmpport=5000\r\n"
      "igmpip=239.1.1.1\r\nrtmpport=1936\r\nhttpport=8080\r\nhttp_apps_port=28001\r\n"
      "http_base_port=18001\r\niptv_base_port=8554\r\nstartmenu=index.html\r\n";
  EXPECT_EQ(format_configuration(parsed(file)),
            "path=.\r\n"
            "startmenu=index.html\r\n"
            "iptv_base_port=8554\r\n"
            "http_base_port=18001\r\n"
            "http_apps_port=28001\r\n"
            "httpport=8080\r\n"
            "rtmpport=1936\r\n"
            "igmpip=239.1.1.1\r\n"
            "igmpport=5000\r\n"
            "iptv_time_shift_record_duration=30\r\n"
            "tv_on_demand_record_duration=120\r\n"
            "bitrate_constant=1.5\r\n"
            "system_log=100\r\n"
            "admin_system_log=200\r\n"
            "user_watch_log=1\r\n"
            "user_authorization=1\r\n"
            "max_video_streaming_no=500\r\n"
            "channel_input_buffer_no=2000\r\n"
            "channel_reconnection_interval=3\r\n"
            "channel_prebuffer_no=100\r\n"
            "hls_target_duration=6\r\n"
            "alert_player_duration=2.5\r\n"
            "player_filter=0\r\n"
            "blacklist=0\r\n"
            "epg_channel_record=2\r\n"
            "mac_blocker=1\r\n"
            "player_try_connection_no=5\r\n"
            "cache_on_demand_channel=1\r\n"
            "stop_ch_cache_interval=5\r\n"
            "root_ip=10.0.0.9\r\n"
            "channel_off_video_path=off.ts\r\n"
            "videopath=movies\r\n"
            "picturepath=pics\r\n"
            "runningtextpath=ticker\r\n"
            "transcoder_path=/usr/bin/ffmpeg\r\n"
            "restart=(03:30)\r\n"
            "time_expired_video_path=expired.ts\r\n"
            "unregistered_user_video_path=unreg.ts\r\n"
            "authorized_channel_video_path=denied.ts\r\n"
            "plugin_command_path=plugins\r\n"
            "player_source_wait=12\r\n");
}

TEST_F(ConfigSave, LinesForEmptyAndDerivedValues) {
  struct Row {
    const char* file;
    std::vector<std::string> lines;   // lines the save must write
    std::vector<std::string> absent;  // keys it must not write
  };
  const std::vector<Row> rows = {
      {"httpport=9000\r\n", {"http_base_port=19000", "http_apps_port=29000", "httpport=9000"}, {}},
      // The empty value that loaded as 8000 is written as that number.
      {"channel_input_buffer_no=\r\n", {"channel_input_buffer_no=8000"}, {}},
      {"iptv_base_port=\r\n", {"iptv_base_port=0"}, {}},
      {"bitrate_constant=\r\n", {"bitrate_constant=0"}, {}},
      {"", {}, {"iptv_base_port", "channel_input_buffer_no", "user_authorization", "restart", "root_ip"}},
      {"user_authorization=\r\n", {"user_authorization="}, {}},
      {"player_filter=abc\r\n", {"player_filter=0"}, {}},
      {"channel_input_buffer_no=2000\r\nchannel_prebuffer_no=-1\r\n", {"channel_input_buffer_no=2000"},
       {"channel_prebuffer_no"}},
      {"restart=(3:30)(15:0)\r\n", {"restart=(3:30)(15:0)"}, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    std::string out = "\n" + format_configuration(parsed(r.file));
    for (const auto& line : r.lines) {
      EXPECT_NE(out.find("\n" + line + "\r\n"), std::string::npos) << line << "\n" << out;
    }
    for (const auto& key : r.absent) {
      EXPECT_EQ(out.find("\n" + key + "="), std::string::npos) << key << "\n" << out;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Files: load_configuration / save_configuration / load_dns_file

TEST_F(ConfigFiles, WhichFileIsLoaded) {
  struct Row {
    const char* what;
    const char* kestrix;  // content of kestrix_config.txt, nullptr: no such file
    const char* plain;    // content of config.txt
    int rc;
    int rtmpport;
  };
  const Row rows[] = {
      {"kestrix_config.txt only", "rtmpport=1\r\n", nullptr, 1, 1},
      {"config.txt only", nullptr, "rtmpport=2\r\n", 1, 2},
      {"both: kestrix_config.txt", "rtmpport=1\r\n", "rtmpport=2\r\n", 1, 1},
      {"empty kestrix_config.txt is a failed read", "", "rtmpport=2\r\n", 0, 1935},
      {"neither", nullptr, nullptr, 0, 1935},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    TempDir dir;
    if (r.kestrix) {
      ASSERT_TRUE(spit(dir / "kestrix_config.txt", r.kestrix));
    }
    if (r.plain) {
      ASSERT_TRUE(spit(dir / "config.txt", r.plain));
    }
    Config before = Config::defaults();
    before.working_dir = "/before";
    config_publish(before);
    ConfigPtr old = config();
    ::testing::internal::CaptureStdout();
    int rc = load_configuration(dir.path());
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, r.rc);
    EXPECT_EQ(config()->i(Key::rtmpport), r.rtmpport);
    if (r.rc == 1) {
      EXPECT_EQ(config()->working_dir, dir.path());
      EXPECT_EQ(out, "");
    } else {
      EXPECT_EQ(config(), old);  // a failed load publishes nothing
      EXPECT_EQ(out, r.kestrix || r.plain ? "" : "Failed");
    }
  }
}

TEST_F(ConfigFiles, SaveThenLoadKeepsTheConfiguration) {
  const std::string file =
      "httpport=9000\r\nadmin_system_log=5\r\nsystem_log=7\r\nuser_authorization=;\r\n"
      "channel_input_buffer_no=\r\nchannel_prebuffer_no=-1\r\nrestart=(03:30)(15:00)\r\n"
      "time_expired_video_path=expired.ts\r\nplugin_command_path=plug\r\nbitrate_constant=2.5\r\n"
      "player_try_connection_no=123456\r\nstartmenu=" + std::string(2000, 's') + "\r\nvideopath=v";
  ASSERT_TRUE(spit(tmp_ / "kestrix_config.txt", file));
  ASSERT_EQ(load_configuration(tmp_.path()), 1);
  Config loaded = *config();
  ASSERT_EQ(save_configuration(tmp_.path()), 1);
  expect_same_config(loaded, *config());  // the save changes nothing in force
  std::string saved = slurp(tmp_ / "kestrix_config.txt");
  EXPECT_EQ(saved, format_configuration(loaded));
  EXPECT_EQ(saved.rfind("path=.\r\n", 0), 0u);
  EXPECT_NE(saved.find("\r\nrestart=(03:30)(15:00)\r\n"), std::string::npos);
  EXPECT_EQ(names_in(tmp_.path()), (std::vector<std::string>{"kestrix_config.txt", "log"}));

  config_publish(Config::defaults());  // a fresh process
  ASSERT_EQ(load_configuration(tmp_.path()), 1);
  expect_same_config(loaded, *config());
}

TEST_F(ConfigFiles, SaveGoesToTheFileInUse) {
  struct Row {
    const char* what;
    bool kestrix, plain;
    const char* written;
  };
  const Row rows[] = {
      {"kestrix_config.txt only", true, false, "kestrix_config.txt"},
      {"config.txt only", false, true, "config.txt"},
      {"both", true, true, "kestrix_config.txt"},
      {"neither", false, false, "kestrix_config.txt"},
  };
  const std::string old_text = "rtmpport=1\r\n";
  Config c = parsed("rtmpport=2\r\n");
  config_publish(c);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    TempDir dir;
    std::vector<std::string> want_names;
    if (r.plain) {
      ASSERT_TRUE(spit(dir / "config.txt", old_text));
    }
    if (r.kestrix) {
      ASSERT_TRUE(spit(dir / "kestrix_config.txt", old_text));
    }
    EXPECT_EQ(save_configuration(dir.path()), 1);
    EXPECT_EQ(slurp(dir / r.written), format_configuration(c));
    if (r.plain) want_names.push_back("config.txt");
    if (r.kestrix || std::string(r.written) == "kestrix_config.txt") want_names.push_back("kestrix_config.txt");
    EXPECT_EQ(names_in(dir.path()), want_names);  // no temporary left behind
    for (const char* other : {"config.txt", "kestrix_config.txt"})
      if (std::string(other) != r.written && file_exists(dir / other)) {
        EXPECT_EQ(slurp(dir / other), old_text);
      }
  }
}

// A save that cannot complete leaves the old file as it was, whole, and no temporary.
TEST_F(ConfigFiles, FailedSaveLeavesTheOldFile) {
  const std::string old_text = "rtmpport=1\r\nrestart=(1:2)\r\n";
  config_publish(parsed("rtmpport=2\r\n"));
  ConfigPtr in_force = config();
  enum Cause { kReadOnlyFolder, kFileSizeLimit };
  for (Cause cause : {kReadOnlyFolder, kFileSizeLimit}) {
    SCOPED_TRACE(cause == kReadOnlyFolder ? "read-only folder" : "file size limit");
    if (cause == kReadOnlyFolder && ::geteuid() == 0) continue;  // root writes anyway
    TempDir dir;
    ASSERT_TRUE(spit(dir / "kestrix_config.txt", old_text));
    int rc = -1;
    if (cause == kReadOnlyFolder) {
      ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
      rc = save_configuration(dir.path());
      ::chmod(dir.path().c_str(), 0700);
    } else {
      // Writes past 8 bytes fail (EFBIG) for the short time of the save; nothing else runs.
      struct rlimit saved_limit;
      ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
      struct sigaction ignore {}, previous {};
      ignore.sa_handler = SIG_IGN;
      ::sigaction(SIGXFSZ, &ignore, &previous);
      struct rlimit small = saved_limit;
      small.rlim_cur = 8;
      bool limited = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
      if (limited) rc = save_configuration(dir.path());
      ::setrlimit(RLIMIT_FSIZE, &saved_limit);
      ::sigaction(SIGXFSZ, &previous, nullptr);
      ASSERT_TRUE(limited);
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(slurp(dir / "kestrix_config.txt"), old_text);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"kestrix_config.txt"});
    EXPECT_EQ(config(), in_force);
  }
}

TEST_F(ConfigFiles, SaveOntoAFolderFails) {
  ASSERT_TRUE(make_dir(tmp_ / "kestrix_config.txt"));
  ASSERT_TRUE(spit(tmp_ / "kestrix_config.txt/keep", "x"));
  EXPECT_EQ(save_configuration(tmp_.path()), 0);
  EXPECT_TRUE(dir_exists(tmp_ / "kestrix_config.txt"));
  EXPECT_EQ(slurp(tmp_ / "kestrix_config.txt/keep"), "x");
  EXPECT_EQ(names_in(tmp_.path()), (std::vector<std::string>{"kestrix_config.txt", "log"}));
}

TEST_F(ConfigDns, ResolverAddressFile) {
  struct Row {
    const char* what;
    const char* file;  // nullptr: no file
    int rc;
    const char* dns;
    const char* log;  // message of the failure, if any
  };
  const Row rows[] = {
      {"missing", nullptr, 0, "8.8.8.8", "]: no DNS File\n"},
      {"plain element", "<dns_ip>1.1.1.1</dns_ip>", 1, "1.1.1.1", nullptr},
      {"element among other text", "resolver\r\n  <dns_ip>9.9.9.9</dns_ip>\r\nend\r\n", 1, "9.9.9.9", nullptr},
      {"cut to 19 characters", "<dns_ip>2001:db8:1:2:3:4:5:6:7:8</dns_ip>", 1, "2001:db8:1:2:3:4:5:", nullptr},
      {"no closing tag", "<dns_ip>1.1.1.1", 0, "8.8.8.8", "]: DNS File is error format\n"},
      {"closing tag before opening", "</dns_ip>1.1.1.1<dns_ip>", 0, "8.8.8.8", "]: DNS File is error format\n"},
      {"no element", "1.1.1.1\r\n", 0, "8.8.8.8", "]: DNS File is error format\n"},
      {"empty file", "", 0, "8.8.8.8", nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    config_publish(Config::defaults());
    TempDir dir;
    if (r.file) {
      ASSERT_TRUE(spit(dir / "qvt_dns.txt", r.file));
    }
    new_log();
    EXPECT_EQ(load_dns_file(dir.path()), r.rc);
    EXPECT_EQ(config()->dns_ip, r.dns);
    if (r.log) {
      EXPECT_NE(new_log().find(r.log), std::string::npos) << r.log;
    }
  }
}

TEST_F(ConfigDns, AddressSurvivesAConfigurationLoad) {
  ASSERT_TRUE(spit(tmp_ / "qvt_dns.txt", "<dns_ip>1.0.0.1</dns_ip>"));
  ASSERT_TRUE(spit(tmp_ / "config.txt", "rtmpport=5\r\n"));
  ASSERT_EQ(load_dns_file(tmp_.path()), 1);
  ASSERT_EQ(load_configuration(tmp_.path()), 1);
  EXPECT_EQ(config()->dns_ip, "1.0.0.1");
  EXPECT_EQ(config()->i(Key::rtmpport), 5);
}

}  // namespace
}  // namespace kx
