// The channel catalogue: attribute defaults and write rules, the plain to scrambled
// conversion, refusals that must leave the file alone, the backup fallback, and the
// folder channel schedule.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/channels.h"
#include "ingest/channel_table.h"
#include "catalogue/scramble.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/process_state.h"
#include "support/harness.h"

namespace {

using kx::ChannelDef;

const char kPlainHeader[] = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
const char kScrambledHeader[] = "<?xml version=\"1.0\" encryption encoding=\"iso-8859-1\" ?>\r\n";

// Every definition field, for comparing tables.
std::string summary(const ChannelDef& d) {
  std::ostringstream o;
  o << d.nChannel_No << '|' << d.name << '|' << d.category << '|' << d.src[0] << '|' << d.src[1]
    << '|' << d.src[2] << '|' << d.nURL_Count << '|' << d.icon << '|' << d.chsid << '|'
    << d.tolerance_text << '|' << d.tolerance << '|' << d.forward << '|' << d.nChannel_Type.load()
    << '|' << d.delay_amount << '|' << d.delay_unit << '|' << d.nHLS_Mode << '|' << d.video_format
    << '|' << d.audio_format << '|' << d.mobile_kbitrate << '|' << d.mobile_kbitrate_text << '|'
    << d.sd_kbitrate << '|' << d.sd_kbitrate_text << '|' << d.hd_kbitrate << '|'
    << d.hd_kbitrate_text << '|' << d.preset << '|' << d.nCache_On_Demand << '|'
    << d.folder.size() << '|' << d.folder_play_seconds;
  return o.str();
}

std::vector<std::string> summaries(const kx::ChannelTablePtr& t) {
  std::vector<std::string> out;
  for (const auto& c : t->ch) out.push_back(summary(c->def));
  return out;
}

int mode_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 0777);
}

// A temporary working folder with a root account whose password the test controls.
class ChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::g_work_dir = dir_.path();
    kx::config_publish(kx::Config::defaults());
    kx::set_root_password_source([this](std::string& pw) {
      if (!has_root_) return false;
      pw = root_;
      return true;
    });
    kx::set_folder_probe({});
  }
  void TearDown() override {
    kx::release_channel_catalogue();
    kx::set_root_password_source(nullptr);
    kx::set_folder_probe({});
    kx::config_publish(kx::Config::defaults());
    kx::g_work_dir = ".";
  }

  std::string path(const std::string& name) const { return dir_ / name; }
  std::string file(const std::string& name) const { return kxt::slurp(path(name)); }
  void write_plain(const std::string& body) { kxt::spit(path(kx::kChannelFile), kPlainHeader + body); }

  kxt::TempDir dir_;
  std::string root_ = "r00t-pass";
  bool has_root_ = true;
};

// ---- attributes: read rule and write rule, one element at a time ----

struct AttrCase {
  const char* element;  // attributes of a channel named N
  std::function<void(const ChannelDef&)> check;
  const char* written;  // attributes the save writes; "{FWD}" stands for N's forward token
};

std::string element_of(const char* attrs, const std::string& name = "N") {
  return std::string("<ch ") + attrs + ">" + name + "</ch>\r\n";
}

kx::ChannelDefList defs_of(const std::vector<kx::ChannelDef>& v) {
  kx::ChannelDefList out;
  for (const auto& d : v) out.push_back(&d);
  return out;
}

void run_attr_cases(const std::vector<AttrCase>& cases, const kx::ChannelDefaults& dflt) {
  const std::string root = "pw";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.element);
    kx::ChannelParseOptions opt;
    opt.scrambled = true;  // no sources here, so both forms read the same
    opt.root_password = &root;
    opt.defaults = dflt;
    std::vector<kx::ChannelDef> t;
    ASSERT_EQ(kx::parse_channel_text(kScrambledHeader + element_of(c.element), opt, t), 1);
    ASSERT_EQ(t.size(), 1u);
    c.check(t[0]);

    std::string want = c.written;
    const auto at = want.find("{FWD}");
    if (at != std::string::npos) want.replace(at, 5, kx::forward_token("N"));
    std::string out;
    ASSERT_TRUE(kx::format_channel_text(defs_of(t), true, &root, dflt, out));
    EXPECT_EQ(out, kScrambledHeader + element_of(want.c_str(), t[0].name));
  }
}

TEST_F(ChannelsTest, AttributeDefaultsAndWriteRules) {
  const std::string s70(70, 'c'), s200(200, 'h'), s1100(1100, 'i');
  const std::string cat70 = "category=\"" + s70 + "\"";
  const std::string cat60 = "category=\"" + s70.substr(0, 60) + "\"";
  const std::string sid200 = "chsid=\"" + s200 + "\"", sid127 = "chsid=\"" + s200.substr(0, 127) + "\"";
  const std::string img1100 = "img=\"" + s1100 + "\"", img1023 = "img=\"" + s1100.substr(0, 1023) + "\"";
  const std::string other_fwd = "forward=\"" + kx::forward_token("Other") + "\"";
  const std::string own_fwd = "forward=\"" + kx::forward_token("N") + "\"";
  kx::ChannelDefaults dflt;
  dflt.tolerance_text = "1.0";
  dflt.tolerance = 1.0f;
  dflt.cache_on_demand = 0;

  const std::vector<AttrCase> cases = {
      {"", [](const ChannelDef& d) {
         EXPECT_EQ(d.name, "N");
         EXPECT_EQ(d.category, "");
         EXPECT_EQ(d.chsid, "");
         EXPECT_EQ(d.icon, "");
         EXPECT_EQ(d.tolerance_text, "1.0");
         EXPECT_FLOAT_EQ(d.tolerance, 1.0f);
         EXPECT_EQ(d.forward, 0);
         EXPECT_EQ(d.nChannel_Type, kx::kTypeLive);
         EXPECT_EQ(d.nHLS_Mode, 0);
         EXPECT_EQ(d.video_format, "");
         EXPECT_EQ(d.mobile_kbitrate, 0);
         EXPECT_EQ(d.nCache_On_Demand, 0);
         EXPECT_EQ(d.nURL_Count, 0);
       }, ""},
      {"category=\"News\"", [](const ChannelDef& d) { EXPECT_EQ(d.category, "News"); }, "category=\"News\""},
      {cat70.c_str(), [](const ChannelDef& d) { EXPECT_EQ(d.category.size(), 60u); }, cat60.c_str()},
      {sid200.c_str(), [](const ChannelDef& d) { EXPECT_EQ(d.chsid.size(), 127u); }, sid127.c_str()},
      {img1100.c_str(), [](const ChannelDef& d) { EXPECT_EQ(d.icon.size(), 1023u); }, img1023.c_str()},
      // An attribute named inside another's value is not that attribute.
      {"chsid=\"type=movie img=x\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.nChannel_Type, kx::kTypeLive);
         EXPECT_EQ(d.icon, "");
       }, "chsid=\"type=movie img=x\""},
      {"tolerance=\"1.50\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.tolerance_text, "1.50");
         EXPECT_FLOAT_EQ(d.tolerance, 1.5f);
       }, "tolerance=\"1.50\""},
      {"tolerance=\"1.2345\"", [](const ChannelDef& d) { EXPECT_EQ(d.tolerance_text, "1.23"); },
       "tolerance=\"1.23\""},
      {"tolerance=\"fast\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.tolerance_text, "1.0");
         EXPECT_FLOAT_EQ(d.tolerance, 1.0f);
       }, ""},
      {own_fwd.c_str(), [](const ChannelDef& d) { EXPECT_EQ(d.forward, 1); }, "forward=\"{FWD}\""},
      {other_fwd.c_str(), [](const ChannelDef& d) { EXPECT_EQ(d.forward, 0); }, ""},
      {"forward=\"1\"", [](const ChannelDef& d) { EXPECT_EQ(d.forward, 0); }, ""},
      {"type=\"delay,30,min.\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.nChannel_Type, kx::kTypeDelay);
         EXPECT_EQ(d.delay_amount, 30);
         EXPECT_EQ(d.delay_unit, kx::kDelayMinutes);
       }, "type=\"delay,30,min.\""},
      {"type=\"delay,2,hr.\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.nChannel_Type, kx::kTypeDelay);
         EXPECT_EQ(d.delay_amount, 2);
         EXPECT_EQ(d.delay_unit, kx::kDelayHours);
       }, "type=\"delay,2,hr.\""},
      {"type=\"delay,15\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.nChannel_Type, kx::kTypeDelay);
         EXPECT_EQ(d.delay_amount, 0);
         EXPECT_EQ(d.delay_unit, kx::kDelaySeconds);
       }, "type=\"delay,0,sec.\""},
      {"type=\"delay,5,days\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.delay_amount, 5);
         EXPECT_EQ(d.delay_unit, kx::kDelaySeconds);
       }, "type=\"delay,5,sec.\""},
      {"type=\"delay,99999999999,sec.\"", [](const ChannelDef& d) { EXPECT_EQ(d.delay_amount, 0); },
       "type=\"delay,0,sec.\""},
      {"type=\"movie\"", [](const ChannelDef& d) { EXPECT_EQ(d.nChannel_Type, kx::kTypeMovie); },
       "type=\"movie\""},
      {"type=\"dvr\"", [](const ChannelDef& d) { EXPECT_EQ(d.nChannel_Type, kx::kTypeDvr); },
       "type=\"dvr\""},
      {"type=\"inactive\"", [](const ChannelDef& d) { EXPECT_EQ(d.nChannel_Type, kx::kTypeInactive); },
       "type=\"inactive\""},
      {"type=\"hls\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.nChannel_Type, kx::kTypeHls);
         EXPECT_EQ(d.nHLS_Mode, 1);
         EXPECT_EQ(d.video_format, "");
       }, "type=\"hls\" adaptive_bitrate_type=\"1\""},
      {"type=\"live\"", [](const ChannelDef& d) { EXPECT_EQ(d.nChannel_Type, kx::kTypeLive); }, ""},
      {"type=\"weekly\"", [](const ChannelDef& d) { EXPECT_EQ(d.nChannel_Type, kx::kTypeLive); }, ""},
      // An explicit 0 on an hls channel would read back as 1 if it were left out.
      {"type=\"hls\" adaptive_bitrate_type=\"0\"", [](const ChannelDef& d) { EXPECT_EQ(d.nHLS_Mode, 0); },
       "type=\"hls\" adaptive_bitrate_type=\"0\""},
      {"adaptive_bitrate_type=\"0\"", [](const ChannelDef& d) { EXPECT_EQ(d.nHLS_Mode, 0); }, ""},
      {"adaptive_bitrate_type=\"1\" video_format=\"hevc\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.nHLS_Mode, 1);
         EXPECT_EQ(d.video_format, "");  // only mode 2 reads the transcoding attributes
       }, "adaptive_bitrate_type=\"1\""},
      {"adaptive_bitrate_type=\"3\"", [](const ChannelDef& d) { EXPECT_EQ(d.nHLS_Mode, 0); }, ""},
      {"adaptive_bitrate_type=\"12\"", [](const ChannelDef& d) { EXPECT_EQ(d.nHLS_Mode, 0); }, ""},
      {"adaptive_bitrate_type=\"2\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.nChannel_Type, kx::kTypeLive);
         EXPECT_EQ(d.nHLS_Mode, 2);
         EXPECT_EQ(d.video_format, "h264");
         EXPECT_EQ(d.audio_format, "aac");
         EXPECT_EQ(d.mobile_kbitrate, 500);
         EXPECT_EQ(d.mobile_kbitrate_text, "500");
         EXPECT_EQ(d.sd_kbitrate, 1000);
         EXPECT_EQ(d.sd_kbitrate_text, "1000");
         EXPECT_EQ(d.hd_kbitrate, 4000);
         EXPECT_EQ(d.hd_kbitrate_text, "4000");
         EXPECT_EQ(d.preset, "");
       }, "adaptive_bitrate_type=\"2\" mobile_kbitrate=\"500\" sd_kbitrate=\"1000\" hd_kbitrate=\"4000\""},
      {"adaptive_bitrate_type=\"2\" video_format=\"hevc\" audio_format=\"mp3\" mobile_kbitrate=\"300\" "
       "sd_kbitrate=\"-5\" hd_kbitrate=\"4k\" preset=\"veryfast\"",
       [](const ChannelDef& d) {
         EXPECT_EQ(d.video_format, "hevc");
         EXPECT_EQ(d.audio_format, "mp3");
         EXPECT_EQ(d.mobile_kbitrate, 300);
         EXPECT_EQ(d.sd_kbitrate, 1000);
         EXPECT_EQ(d.hd_kbitrate, 4000);
         EXPECT_EQ(d.preset, "veryfast");
       },
       "adaptive_bitrate_type=\"2\" video_format=\"hevc\" audio_format=\"mp3\" mobile_kbitrate=\"300\" "
       "sd_kbitrate=\"1000\" hd_kbitrate=\"4000\" preset=\"veryfast\""},
      {"adaptive_bitrate_type=\"2\" video_format=\"h264\" audio_format=\"aac\" mobile_kbitrate=\"0\"",
       [](const ChannelDef& d) { EXPECT_EQ(d.mobile_kbitrate, 500); },
       "adaptive_bitrate_type=\"2\" mobile_kbitrate=\"500\" sd_kbitrate=\"1000\" hd_kbitrate=\"4000\""},
      {"adaptive_bitrate_type=\"2\" video_format=\"mpeg2video-x\"",
       [](const ChannelDef& d) { EXPECT_EQ(d.video_format, "mpeg2vide"); },
       "adaptive_bitrate_type=\"2\" video_format=\"mpeg2vide\" mobile_kbitrate=\"500\" sd_kbitrate=\"1000\" "
       "hd_kbitrate=\"4000\""},
      {"cache_on_demand=\"1\"", [](const ChannelDef& d) { EXPECT_EQ(d.nCache_On_Demand, 1); },
       "cache_on_demand=\"1\""},
      {"cache_on_demand=\"0\"", [](const ChannelDef& d) { EXPECT_EQ(d.nCache_On_Demand, 0); },
       "cache_on_demand=\"0\""},
      {"cache_on_demand=\"y\"", [](const ChannelDef& d) { EXPECT_EQ(d.nCache_On_Demand, 0); },
       "cache_on_demand=\"0\""},
      {"cache_on_demand=\"11\"", [](const ChannelDef& d) { EXPECT_EQ(d.nCache_On_Demand, 0); }, ""},
      // A stray quote in one value costs nothing after it: the channel is written back
      // with its type, icon and on-demand flag.
      {"category=\"Kids \"HD\"\" type=\"dvr\" img=\"i.png\" cache_on_demand=\"1\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.category, "Kids ");
         EXPECT_EQ(d.nChannel_Type, kx::kTypeDvr);
         EXPECT_EQ(d.icon, "i.png");
         EXPECT_EQ(d.nCache_On_Demand, 1);
       }, "category=\"Kids \" img=\"i.png\" type=\"dvr\" cache_on_demand=\"1\""},
      {"chsid=\"12 type=\"hls\" img=\"i.png\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.chsid, "12 type=");
         EXPECT_EQ(d.nChannel_Type, kx::kTypeHls);
         EXPECT_EQ(d.icon, "i.png");
       }, "chsid=\"12 type=\" img=\"i.png\" type=\"hls\" adaptive_bitrate_type=\"1\""},
      {"hd img=\"i.png\" type=\"movie\"", [](const ChannelDef& d) {
         EXPECT_EQ(d.icon, "i.png");
         EXPECT_EQ(d.nChannel_Type, kx::kTypeMovie);
       }, "img=\"i.png\" type=\"movie\""},
      // Attributes come back in table order whatever order the file had.
      {"cache_on_demand=\"1\" img=\"i.png\" category=\"Kids\" type=\"dvr\"", [](const ChannelDef&) {},
       "category=\"Kids\" img=\"i.png\" type=\"dvr\" cache_on_demand=\"1\""},
  };
  run_attr_cases(cases, dflt);
}

TEST_F(ChannelsTest, DefaultsFollowTheConfiguration) {
  kx::Config c = kx::Config::defaults();
  c.v[static_cast<int>(kx::Key::bitrate_constant)].text = "1.2";
  c.v[static_cast<int>(kx::Key::bitrate_constant)].f = 1.2f;
  c.v[static_cast<int>(kx::Key::cache_on_demand_channel)].i = 1;
  kx::config_publish(c);
  const kx::ChannelDefaults dflt = kx::channel_defaults_from_config();
  EXPECT_EQ(dflt.tolerance_text, "1.2");
  EXPECT_EQ(dflt.cache_on_demand, 1);

  const std::vector<AttrCase> cases = {
      {"", [](const ChannelDef& d) {
         EXPECT_EQ(d.tolerance_text, "1.2");
         EXPECT_FLOAT_EQ(d.tolerance, 1.2f);
         EXPECT_EQ(d.nCache_On_Demand, 1);
       }, "cache_on_demand=\"1\""},
      // An explicit value that equals the configured one stays in the file.
      {"tolerance=\"1.2\"", [](const ChannelDef& d) { EXPECT_FLOAT_EQ(d.tolerance, 1.2f); },
       "tolerance=\"1.2\" cache_on_demand=\"1\""},
      {"tolerance=\"1.0\"", [](const ChannelDef& d) { EXPECT_FLOAT_EQ(d.tolerance, 1.0f); },
       "tolerance=\"1.0\" cache_on_demand=\"1\""},
      // An explicit 0 would read back as 1 if it were left out.
      {"cache_on_demand=\"0\"", [](const ChannelDef& d) { EXPECT_EQ(d.nCache_On_Demand, 0); },
       "cache_on_demand=\"0\""},
  };
  run_attr_cases(cases, dflt);
}

TEST_F(ChannelsTest, NameCutToSixtyAndForwardCheckedAgainstTheCutName) {
  const std::string name70(70, 'n');
  const std::string name60 = name70.substr(0, 60);
  kx::ChannelParseOptions opt;
  std::vector<kx::ChannelDef> t;
  const std::string attrs = "forward=\"" + kx::forward_token(name60) + "\"";
  ASSERT_EQ(kx::parse_channel_text(kPlainHeader + element_of(attrs.c_str(), name70), opt, t), 1);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].name, name60);
  EXPECT_EQ(t[0].forward, 1);
}

TEST_F(ChannelsTest, ParkedChannelIsSavedWithItsRealType) {
  kx::ChannelParseOptions opt;
  std::vector<kx::ChannelDef> t;
  ASSERT_EQ(kx::parse_channel_text(std::string(kPlainHeader) + element_of("type=\"dvr\"") +
                                       element_of("type=\"hls\" cache_on_demand=\"1\"") +
                                       element_of("cache_on_demand=\"1\""),
                                   opt, t),
            1);
  ASSERT_EQ(t.size(), 3u);
  std::string before;
  ASSERT_TRUE(kx::format_channel_text(defs_of(t), true, &root_, opt.defaults, before));
  const int parked[] = {kx::kTypePause, kx::kTypeResume};
  for (int type : parked) {
    for (auto& c : t) c.nChannel_Type = type;
    std::string out;
    ASSERT_TRUE(kx::format_channel_text(defs_of(t), true, &root_, opt.defaults, out));
    EXPECT_EQ(out, before);
  }
}

TEST_F(ChannelsTest, ExportWritesTranscodingAttributesForEveryHlsMode) {
  kx::ChannelParseOptions opt;
  std::vector<kx::ChannelDef> t;
  ASSERT_EQ(kx::parse_channel_text(kPlainHeader + element_of("src=\"udp://239.1.1.1:1234\" "
                                                             "adaptive_bitrate_type=\"1\""),
                                   opt, t),
            1);
  t[0].video_format = "hevc";  // as a channel edit would set it
  std::string plain, stored;
  ASSERT_TRUE(kx::format_channel_text(defs_of(t), false, nullptr, opt.defaults, plain));
  ASSERT_TRUE(kx::format_channel_text(defs_of(t), true, &root_, opt.defaults, stored));
  EXPECT_EQ(plain, kPlainHeader + element_of("src=\"udp://239.1.1.1:1234\" adaptive_bitrate_type=\"1\" "
                                             "video_format=\"hevc\""));
  EXPECT_EQ(stored.find("video_format"), std::string::npos);
  EXPECT_EQ(stored.find("udp://"), std::string::npos);
}

// ---- the file ----

// A long first source spans several Base64 lines; names in ISO-8859-1.
std::string sample_catalogue() {
  const std::string long_url = "http://203.0.113.7:8080/live/" + std::string(150, 'x') + "/index.m3u8";
  return "<ch src=\"" + long_url + "\" sr2=\"udp://239.0.0.1:1234\" sr3=\"rtmp://host/app/s\" "
         "category=\"Nachrichten\" img=\"logo.png\" type=\"delay,2,hr.\">T\xe9l\xe9 \xc9t\xe9</ch>\r\n"
         "<ch src=\"udp://239.0.0.2:1234\" forward=\"" + kx::forward_token("Fwd") + "\" "
         "type=\"hls\" adaptive_bitrate_type=\"2\" preset=\"fast\" cache_on_demand=\"0\">Fwd</ch>\r\n"
         "<ch src=\"rtmpencoder\" sr3=\"http://backup/only\" tolerance=\"1.5\" chsid=\"0x1f\">\xdc" "ber</ch>\r\n"
         "<ch src=\"dir://media/none\">Folder</ch>\r\n"
         "<ch src=\"udp://239.0.0.3:1234\"></ch>\r\n";
}

TEST_F(ChannelsTest, PlainFileIsConvertedAndReloadsToTheSameTable) {
  ASSERT_TRUE(kx::make_dir(path("log")));
  kx::open_logs(path("log"));
  write_plain(sample_catalogue());
  const std::string plain = file(kx::kChannelFile);
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  kx::close_logs();
  const auto first = kx::channel_table();
  ASSERT_EQ(first->count, 5);
  EXPECT_TRUE(first->clean);

  const ChannelDef& c1 = first->ch[0]->def;
  EXPECT_EQ(c1.name, "T\xe9l\xe9 \xc9t\xe9");
  EXPECT_EQ(c1.nURL_Count, 3);
  EXPECT_EQ(c1.src[1], "udp://239.0.0.1:1234");
  EXPECT_EQ(first->ch[1]->def.forward, 1);
  EXPECT_EQ(first->ch[1]->def.nHLS_Mode, 2);
  // sr3 without sr2 takes the first backup slot.
  EXPECT_EQ(first->ch[2]->def.nURL_Count, 2);
  EXPECT_EQ(first->ch[2]->def.src[1], "http://backup/only");
  // A folder that does not exist leaves the channel off, not the start-up failed.
  EXPECT_EQ(first->ch[3]->def.nURL_Count, 1);
  EXPECT_TRUE(first->ch[3]->def.folder.empty());

  // The plain file is kept as it was read; the catalogue is now scrambled.
  EXPECT_EQ(file(kx::kChannelDecryptFile), plain);
  const std::string stored = file(kx::kChannelFile);
  EXPECT_EQ(stored.rfind(kScrambledHeader, 0), 0u);
  EXPECT_EQ(stored.find("http://"), std::string::npos);
  EXPECT_EQ(stored.find("udp://"), std::string::npos);
  const auto src_at = stored.find("src=\"") + 5;
  const std::string src1 = stored.substr(src_at, stored.find('"', src_at) - src_at);
  EXPECT_NE(src1.find('\n'), std::string::npos) << "a long source spans several lines";
  EXPECT_EQ(mode_of(path(kx::kChannelFile)), 0600);
  EXPECT_EQ(mode_of(path(kx::kChannelDecryptFile)), 0600);
  const std::string log = file("log/system.log");
  EXPECT_NE(log.find("Encrypt the old channel definition.xml to encrypted xml"), std::string::npos);
  EXPECT_NE(log.find("There are 5 active channels..."), std::string::npos);

  // A restart reads the scrambled file to the same table and leaves it alone.
  kx::release_channel_catalogue();
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  EXPECT_EQ(summaries(kx::channel_table()), summaries(first));
  EXPECT_EQ(file(kx::kChannelFile), stored);
  EXPECT_EQ(file(kx::kChannelDecryptFile), plain);

  // A save writes the same table again (fresh fillers), the old file becoming the backup.
  ASSERT_EQ(kx::save_channel_catalogue(), 1);
  EXPECT_EQ(file(kx::kChannelBackupFile), stored);
  EXPECT_EQ(mode_of(path(kx::kChannelBackupFile)), 0600);
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  EXPECT_EQ(summaries(kx::channel_table()), summaries(first));
  EXPECT_EQ(kx::count_channels_in_file(), 5);

  // The export is the plain form of the same table.
  std::string exported;
  ASSERT_GT(kx::export_channel_catalogue(exported), 0);
  kx::ChannelParseOptions opt;
  opt.defaults = kx::channel_defaults_from_config();
  std::vector<kx::ChannelDef> back;
  ASSERT_EQ(kx::parse_channel_text(exported, opt, back), 1);
  std::vector<std::string> exported_summaries;
  for (const auto& c : back) exported_summaries.push_back(summary(c));
  EXPECT_EQ(exported_summaries, summaries(first));
}

// Catalogues that did not load cleanly: the count is what was built, and nothing writes
// over the file until a clean load.
TEST_F(ChannelsTest, UncleanLoadIsNeverSavedOver) {
  write_plain(sample_catalogue());
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  const std::string stored = file(kx::kChannelFile);
  std::string damaged = stored;
  const auto third = damaged.find("<ch src=\"", damaged.find("<ch src=\"", damaged.find("<ch src=\"") + 1) + 1);
  damaged.erase(third + 9 + 12, 1);  // one Base64 character of channel 3, past the fillers

  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::string text;
    int count;
  };
  const std::vector<Case> cases = {
      {"root password changed", [this] { root_ = "another"; }, stored, 0},
      {"no root account", [this] { has_root_ = false; }, stored, 0},
      {"channel 3 unreadable", [] {}, damaged, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    root_ = "r00t-pass";
    has_root_ = true;
    kxt::spit(path(kx::kChannelFile), c.text);
    c.arrange();
    const std::string backup = file(kx::kChannelBackupFile);
    EXPECT_EQ(kx::load_channel_catalogue(), -1);
    EXPECT_EQ(kx::channel_table()->count, c.count);
    EXPECT_EQ(kx::channel_table()->ch.size(), static_cast<size_t>(c.count));
    EXPECT_FALSE(kx::channel_table()->clean);
    EXPECT_EQ(kx::save_channel_catalogue(), 0);
    EXPECT_EQ(kx::convert_channel_catalogue(), 0);
    EXPECT_EQ(kx::update_channel_table([](kx::MSK_IPTV_Channel_List&) { return true; }), 0);
    EXPECT_EQ(file(kx::kChannelFile), c.text);
    EXPECT_EQ(file(kx::kChannelBackupFile), backup);
  }
  // With the right password the same file loads cleanly again.
  root_ = "r00t-pass";
  kxt::spit(path(kx::kChannelFile), stored);
  EXPECT_EQ(kx::load_channel_catalogue(), 1);
  EXPECT_EQ(kx::channel_table()->count, 5);
}

TEST_F(ChannelsTest, PlainFileWithoutRootAccountStaysPlain) {
  has_root_ = false;
  write_plain(sample_catalogue());
  const std::string plain = file(kx::kChannelFile);
  EXPECT_EQ(kx::load_channel_catalogue(), 1);
  EXPECT_EQ(kx::channel_table()->count, 5);
  EXPECT_EQ(file(kx::kChannelFile), plain);
  EXPECT_FALSE(kx::file_exists(path(kx::kChannelDecryptFile)));
  EXPECT_EQ(kx::save_channel_catalogue(), 0);
  EXPECT_EQ(file(kx::kChannelFile), plain);
}

TEST_F(ChannelsTest, MissingFileFallsBackToTheBackup) {
  write_plain(sample_catalogue());
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  ASSERT_EQ(kx::save_channel_catalogue(), 1);  // makes the backup
  const std::string backup = file(kx::kChannelBackupFile);
  ASSERT_FALSE(backup.empty());

  struct Case {
    const char* what;
    bool file, empty_file, backup;
    int result;
    std::vector<std::string> lines;  // logged in this order, each once
  };
  const std::string failed = "Failed to open channel_definition.xml\n";
  const std::string renamed = "rename channel_definition_backup.xml to channel_definition.xml sucessfully\n";
  const std::string not_renamed = "rename channel_definition_backup.xml to channel_definition.xml error\n";
  const std::string uses = "Warning: Kestrix uses [channel_definition_backup.xml] copied from .\n";
  const std::string again = "Error: Failed to Open [channel_definition.xml] again.\n";
  const Case cases[] = {
      {"file missing", false, false, true, 1, {failed, renamed, uses}},
      {"file empty", true, true, true, 1, {failed, renamed, uses}},
      {"neither", false, false, false, 0, {failed, not_renamed, again}},
      {"empty and no backup", true, true, false, 0,
       {failed, "Error: channel_definition.xml [channel_definition.xml] is 0 byte ."}},
  };
  ASSERT_TRUE(kx::make_dir(path("log")));
  kx::open_logs(path("log"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kx::remove_file(path(kx::kChannelFile));
    kx::remove_file(path(kx::kChannelBackupFile));
    if (c.file) kxt::spit(path(kx::kChannelFile), c.empty_file ? "" : backup);
    if (c.backup) kxt::spit(path(kx::kChannelBackupFile), backup);
    const std::size_t log_before = file("log/system.log").size();
    EXPECT_EQ(kx::load_channel_catalogue(), c.result);
    if (c.result == 1) {
      EXPECT_EQ(file(kx::kChannelFile), backup);
      EXPECT_EQ(kx::channel_table()->count, 5);
    }
    // The designed lines byte for byte: store names, no folder or "./" before them.
    const std::string logged = file("log/system.log").substr(log_before);
    std::size_t at = 0;
    for (const auto& line : c.lines) {
      EXPECT_EQ(kxt::count_of(logged, "]: " + line), 1) << line << logged;
      const std::size_t found = logged.find("]: " + line, at);
      EXPECT_NE(found, std::string::npos) << "out of order: " << line << logged;
      if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(kxt::count_of(logged, "rename "), c.backup || !c.file ? 1 : 0) << logged;
    EXPECT_EQ(logged.find(dir_.path()), std::string::npos) << logged;
  }
  kx::close_logs();
  kx::remove_file(path(kx::kChannelFile));
  EXPECT_EQ(kx::count_channels_in_file(), 0);
}

TEST_F(ChannelsTest, ChangeIsPublishedOnlyAfterTheSave) {
  write_plain(sample_catalogue());
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  const auto before = kx::channel_table();
  auto add = [](kx::MSK_IPTV_Channel_List& t) {
    auto c = std::make_shared<kx::Channel_Info>();
    c->def.nChannel_No = static_cast<int>(t.ch.size()) + 1;
    c->def.name = "Added";
    c->def.src[0] = "udp://239.9.9.9:1234";
    c->def.nURL_Count = 1;
    t.ch.push_back(c);
    return true;
  };

  // A temporary name that cannot be written makes the save fail.
  ASSERT_TRUE(kx::make_dir(path(kx::kChannelTempFile)));
  kxt::spit(path(kx::kChannelTempFile) + "/x", "x");
  const std::string stored = file(kx::kChannelFile);
  EXPECT_EQ(kx::update_channel_table(add), 0);
  EXPECT_EQ(kx::channel_table(), before);
  EXPECT_EQ(file(kx::kChannelFile), stored);
  kx::remove_file(path(kx::kChannelTempFile) + "/x");
  ::rmdir(path(kx::kChannelTempFile).c_str());

  EXPECT_EQ(kx::update_channel_table([](kx::MSK_IPTV_Channel_List&) { return false; }), 0);
  EXPECT_EQ(kx::channel_table(), before);

  ASSERT_EQ(kx::update_channel_table(add), 1);
  EXPECT_EQ(kx::channel_table()->count, 6);
  EXPECT_EQ(before->count, 5);  // a reader's snapshot stays as it was
  EXPECT_EQ(kx::count_channels_in_file(), 6);
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  EXPECT_EQ(kx::channel_table()->ch[5]->def.src[0], "udp://239.9.9.9:1234");

  kx::release_channel_catalogue();
  EXPECT_EQ(kx::channel_table()->count, 0);
  const std::string after = file(kx::kChannelFile);
  EXPECT_EQ(kx::save_channel_catalogue(), 0);
  EXPECT_EQ(file(kx::kChannelFile), after);
}

// ---- folder channels ----

class FolderChannelTest : public ChannelsTest {
 protected:
  // Files of the given play seconds at the bit rate of their entry (kbit/s), plus extra
  // bytes that do not make a whole second.
  void make_files(const std::map<std::string, std::pair<int64_t, int>>& files, int64_t extra) {
    ASSERT_TRUE(kx::make_dir(path("media")));
    ASSERT_TRUE(kx::make_dir(path("media/videos")));
    std::map<std::string, int> rates;
    for (const auto& [name, f] : files) {
      const int64_t bytes = f.first * (f.second > 0 ? f.second : 10) * 128 + extra;
      kxt::spit(path("media/videos/" + name), std::string(static_cast<size_t>(bytes), 'v'));
      rates[path("media/videos/" + name)] = f.second;
    }
    kx::set_folder_probe([rates](const std::string& p) {
      auto it = rates.find(p);
      return it == rates.end() ? -1 : it->second;
    });
  }
};

TEST_F(FolderChannelTest, ScheduleCountsFromTheLoad) {
  // Created out of order; played in path order.
  make_files({{"c.ts", {900, 20}}, {"a.ts", {600, 20}}, {"b.ts", {300, 20}}}, 100);
  kx::ChannelDef d;
  ASSERT_EQ(kx::build_folder_list(d, "media/videos/"), 3);
  ASSERT_EQ(d.folder.size(), 3u);
  EXPECT_EQ(d.folder[0].path, path("media/videos/a.ts"));
  EXPECT_EQ(d.folder[1].path, path("media/videos/b.ts"));
  EXPECT_EQ(d.folder[0].play_seconds, 600);
  EXPECT_EQ(d.folder[1].play_seconds, 300);
  EXPECT_EQ(d.folder[2].play_seconds, 900);
  EXPECT_EQ(d.folder[1].delay_us, 10528000 / 20);
  EXPECT_EQ(d.folder_play_seconds, 1800);
  EXPECT_EQ(d.folder_input_format, kx::kInputTsFile);

  const int64_t load = 1700000000;
  struct Case {
    int64_t after_load;
    size_t index;
    int64_t remaining;
  };
  // 2000 s is 200 s into the second loop: the first file, 400 s left. 2600 s (800 s into
  // the loop) is the second file with 100 s left.
  const Case cases[] = {{0, 0, 600}, {2000, 0, 400}, {800, 1, 100}, {2600, 1, 100},
                        {1799, 2, 1}, {-100, 2, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.after_load);
    kx::FolderPosition pos;
    ASSERT_EQ(kx::folder_channel_position(d, load + c.after_load, load, pos), 1);
    EXPECT_EQ(pos.index, c.index);
    EXPECT_EQ(pos.remaining, c.remaining);
    EXPECT_EQ(pos.path, d.folder[c.index].path);
    int64_t want = d.folder[c.index].size - c.remaining * 20 * 128;
    want -= want % 188;
    EXPECT_EQ(pos.offset, want);
    EXPECT_EQ(pos.offset % 188, 0);
    EXPECT_TRUE(pos.file.is_open());
    char byte = 0;
    EXPECT_EQ(pos.file.read(&byte, 1), 1);
  }
}

TEST_F(FolderChannelTest, BitRatesOfZeroOrBelowNeverDivide) {
  make_files({{"a.mp4", {60, 0}}, {"b.mp4", {60, -1}}, {"c.mp4", {60, 10}}}, 0);
  kx::ChannelDef d;
  ASSERT_EQ(kx::build_folder_list(d, path("media/videos")), 3);
  EXPECT_EQ(d.folder[0].play_seconds, 0);
  EXPECT_EQ(d.folder[0].delay_us, 0);
  EXPECT_EQ(d.folder[1].play_seconds, 0);
  EXPECT_EQ(d.folder_play_seconds, 60);
  EXPECT_EQ(d.folder_input_format, kx::kInputMp4File);
  kx::FolderPosition pos;
  ASSERT_EQ(kx::folder_channel_position(d, 30, 0, pos), 1);
  EXPECT_EQ(pos.index, 2u);

  // A file whose bit rate is gone by the time it plays, and a channel without play time.
  kx::set_folder_probe([](const std::string&) { return 0; });
  EXPECT_EQ(kx::folder_channel_position(d, 30, 0, pos), 0);
  kx::ChannelDef none;
  ASSERT_EQ(kx::build_folder_list(none, path("media/videos")), 3);
  EXPECT_EQ(none.folder_play_seconds, 0);
  EXPECT_EQ(kx::folder_channel_position(none, 30, 0, pos), 0);
  EXPECT_EQ(kx::build_folder_list(none, "media/missing"), 0);
  EXPECT_TRUE(none.folder.empty());
}

TEST_F(FolderChannelTest, CatalogueFolderChannelHasItsSources) {
  make_files({{"one.flv", {100, 8}}, {"two.flv", {50, 8}}}, 0);
  write_plain("<ch src=\"dir://media/videos\" sr2=\"udp://239.0.0.9:1234\">Loop</ch>\r\n");
  ASSERT_EQ(kx::load_channel_catalogue(), 1);
  const auto t = kx::channel_table();
  ASSERT_EQ(t->count, 1);
  const ChannelDef& d = t->ch[0]->def;
  EXPECT_EQ(d.nURL_Count, 2);
  EXPECT_EQ(d.src[0], "dir://media/videos");
  EXPECT_EQ(d.folder.size(), 2u);
  EXPECT_EQ(d.folder_play_seconds, 150);
  EXPECT_EQ(d.folder_input_format, kx::kInputFlvFile);
  kx::FolderPosition pos;
  ASSERT_EQ(kx::folder_channel_position(d, t->load_time + 120, t->load_time, pos), 1);
  EXPECT_EQ(pos.index, 1u);
  EXPECT_EQ(pos.remaining, 30);
}

}  // namespace
