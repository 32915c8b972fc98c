// play: the play name (channel by name or number, or a file below the program folder),
// the channel's state, the player's credentials and rights, then the play-start answers
// and the data thread. A refused play is answered Play.Failed (or, without a query,
// deleteStream alone) and the connection closes; nothing is counted for it.
#include <cstring>
#include <ctime>

#include "catalogue/channel_def.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "core/process_state.h"
#include "core/text.h"
#include "ingest/channel_info.h"
#include "ingest/input.h"
#include "movies/probe_cache.h"
#include "players/player_checks.h"
#include "players/served_file.h"
#include "rtmp/rtmp_cmd.h"
#include "rtmp/session_names.h"
#include "subscribers/auth.h"
#include "subscribers/credentials.h"

namespace kx {

namespace {

constexpr int64_t kOnDemandMs = 11000;  // an on-demand channel is given this long to come up
constexpr int kOnDemandStepMs = 100;
constexpr const char* kMasked = "****";

void refuse_delete(RtmpCmd& c) {
  std::vector<uint8_t> out;
  cmd_send(c, rtmp_delete_stream(out, c.s.out_chunk_size.load()), out);
  log_sys("RTMP_Server_Send_Close\n");
  c.close = true;
}

void play_failed(RtmpCmd& c) {
  log_sys("Response Play Failed\n");
  if (cmd_status(c, RtmpStatus::kPlayFailed)) {
    refuse_delete(c);
  } else {
    c.close = true;
  }
}

int channel_by_name(const MSK_IPTV_Channel_List& t, std::string_view name) {
  if (!name.empty() && (name[0] == '/' || name[0] == '\\')) name.remove_prefix(1);
  for (std::size_t i = 0; i < t.ch.size(); ++i)
    if (t.ch[i] && !name.empty() && t.ch[i]->def.name == name) return static_cast<int>(i) + 1;
  return 0;
}

bool server_stopped(const void*) { return !rtmp_server_running(); }

bool wait_on_demand(Channel_Info& ch) {
  resume_channel(ch);
  StopToken stop;
  stop.when(server_stopped, nullptr);
  const Deadline until = Deadline::after(kOnDemandMs);
  while (ch.rt.nChannel_Status.load() != kStatusOn && !until.passed())
    if (!sleep_for(kOnDemandStepMs, stop)) break;
  return ch.rt.nChannel_Status.load() == kStatusOn;
}

// The running and inactive checks of a live play; false when refused (logged).
bool channel_playable(Channel_Info& ch, int n) {
  if (ch.def.nChannel_Type.load() == kTypeInactive) {
    log_sys("RTMP : Channel [%d] is INACTIVE\n", n);
    return false;
  }
  if (ch.rt.nChannel_Status.load() == kStatusOn) return true;
  const int type = ch.def.nChannel_Type.load();
  const bool parked = type == kTypePause || type == kTypeResume;
  if (ch.def.nCache_On_Demand == 1 && parked && wait_on_demand(ch)) return true;
  log_sys("RTMP : CH[%d] is OFF\n", n);
  return false;
}

// Credential extraction on the play name's query; false when refused (logged).
bool take_credentials(RtmpCmd& c, const RtmpPlayName& pn) {
  RtmpSession& s = c.s;
  Credentials cr;
  extract_credentials(pn.query, "", c.cfg->sep1, c.cfg->sep2, cr);
  if (cr.has_token) {
    std::string user, password;
    if (!resolve_token(cr.token, user, password)) {
      log_sys("Session[%d]: IP [%s] Unauthorization user \n", c.no(), s.ip);
      return false;
    }
    cr.user = user;
    cr.password = password;
  }
  if (!credentials_fit(cr) || has_controls(cr.user) || has_controls(cr.password) || has_controls(cr.mac)) {
    log_sys("Session[%d]: IP [%s] credentials unusable\n", c.no(), s.ip);
    return false;
  }
  set_field(s.user, cr.user.c_str());
  set_field(s.password, cr.password.c_str());
  set_field(s.mac, cr.mac.empty() ? "N/A" : cr.mac.c_str());
  return true;
}

// The user check; false when refused (logged). Nothing is counted yet.
bool login(RtmpCmd& c) {
  RtmpSession& s = c.s;
  if (c.cfg->auth_mode() == 0) {
    s.user_check = 1;
    return true;
  }
  s.user_check = check_user_for_request(s);
  const std::string user = escape_controls(s.user);
  if (s.user_check == 1) {
    log_sys("User [%s] login successfully\n", user.c_str());
    c.count_user = true;
    return true;
  }
  if (s.user_check == 2) log_sys("User [%s], Password[%s] Time Expired\n", user.c_str(), kMasked);
  else log_sys("User [%s], Password[%s] not Registered User\n", user.c_str(), kMasked);
  return false;
}

void write_player_time(RtmpSession& s) {
  std::tm t{};
  local_time(t);
  if (std::strftime(s.player_time, sizeof s.player_time, "%Y/%m/%d %H:%M:%S", &t) == 0) s.player_time[0] = '\0';
}

RtmpStreamMeta channel_meta(const Channel_Info& ch) {
  RtmpStreamMeta m;
  m.width = 720;
  m.height = 576;
  m.framerate = 24;
  m.video_codec_name = "avc1";
  m.audio_codec_name = "mp4a";
  m.videocodecid = -1;
  m.audiocodecid = -1;
  if (ch.rt.nInput_Format.load() == 2) return m;
  if (DecoderSetupPtr setup = ch.rt.setup()) {
    if (setup->width > 0) m.width = setup->width;
    if (setup->height > 0) m.height = setup->height;
    if (setup->framerate > 0) m.framerate = setup->framerate;
  }
  return m;
}

bool send_play_start(RtmpCmd& c, const RtmpStreamMeta& meta) {
  const uint32_t cs = c.s.out_chunk_size.load();
  std::vector<uint8_t> out;
  if (!cmd_send(c, rtmp_play_start(out, cs), out)) return false;
  log_sys("Send Play Start Command\n");
  out.clear();
  if (!cmd_send(c, rtmp_on_metadata(out, meta, cs), out)) return false;
  log_sys("width =[%5.1f]\n", meta.width);
  log_sys("height =[%5.1f]\n", meta.height);
  log_sys("framerate =[%5.1f]\n", meta.framerate);
  log_sys("Process RTMP_NetStream_Play\n");
  return true;
}

// Counts the user and starts the data thread; false when it could not start.
bool start_data_thread(RtmpCmd& c, ThreadRoutine routine, const char* name) {
  RtmpSession& s = c.s;
  if (c.count_user && count_user_for_request(s) != 1) {
    log_sys("Session[%d]: IP [%s] not counted for its user\n", c.no(), s.ip);
    return false;
  }
  write_player_time(s);
  s.users.store(2);
  s.data_state.store(kSlotRunning);
  ThreadRecord* t = create_thread(routine, &s, name);
  if (t == nullptr) {
    s.users.store(1);
    s.data_state.store(kSlotJoined);
    log_sys("Session[%d]: IP [%s] %s could not be created\n", c.no(), s.ip, name);
    return false;
  }
  // The release pass joins the thread only once this record is stored.
  s.data_thread.store(t);
  c.data_started = true;
  return true;
}

void play_file(RtmpCmd& c, const RtmpPlayName& pn) {
  RtmpSession& s = c.s;
  const std::string shown = escape_controls(pn.base);
  if (!login(c)) {
    play_failed(c);
    return;
  }
  std::string real;
  File f;
  log_sys("Open File Name =[%s]\n", shown.c_str());
  // Only a regular file below the program folder ("..", absolute names and symbolic
  // links leading out are refused as missing).
  if (!resolve_request_file(g_work_dir, pn.base, real) || !f.open(real, File::kRead)) {
    log_sys("[%s] File not Found\n", shown.c_str());
    play_failed(c);
    return;
  }
  double seconds = 0, kbit = 0;
  if (!cached_flv_info(real, seconds, kbit)) {
    // Only FLV files are made of tags a player can take as RTMP messages.
    log_sys("[%s] is not an FLV file: not served over RTMP\n", shown.c_str());
    play_failed(c);
    return;
  }
  log_sys("Request File Name =[%s]\n", shown.c_str());
  set_field(s.watching, pn.base.c_str());
  s.open_file = std::move(f);
  s.file_seconds = seconds;
  s.file_bitrate = kbit;
  s.play_kind = kRtmpPlayFile;
  RtmpStreamMeta meta;
  meta.width = 640;
  meta.height = 480;
  meta.framerate = 25;
  if (!send_play_start(c, meta) || !start_data_thread(c, IPTV_PS_RTMP_DataThread, "IPTV_PS_RTMP_DataThread"))
    c.close = true;
}

void play_live(RtmpCmd& c, const RtmpPlayName& pn, std::shared_ptr<Channel_Info> ch, int n) {
  RtmpSession& s = c.s;
  // The player is checked before the channel: a refused player learns nothing of the
  // channel's state and never wakes an on-demand channel.
  if (!take_credentials(c, pn) || !login(c)) {
    play_failed(c);
    return;
  }
  const std::string user = escape_controls(s.user);
  if (c.cfg->auth_mode() != 0) {
    if (!check_channel_right(s, n)) {
      log_sys("Username [%s] has no right to watch CH[%d]\n", user.c_str(), n);
      play_failed(c);
      return;
    }
    log_sys("Username [%s] has right to watch CH[%d]\n", user.c_str(), n);
  }
  if (!channel_playable(*ch, n)) {
    play_failed(c);
    return;
  }
  char watching[32];
  std::snprintf(watching, sizeof watching, "%d.ch", n);
  set_field(s.watching, watching);
  s.channel_no.store(n);
  s.play_kind = kRtmpPlayLive;
  s.channel = ch;
  if (!send_play_start(c, channel_meta(*ch))) {
    c.close = true;
    return;
  }
  log_sys("User [%s] watches CH[%d]\n", user.c_str(), n);
  if (!start_data_thread(c, RTMPDataThread, "RTMPDataThread")) c.close = true;
}

}  // namespace

void rtmp_play(RtmpCmd& c, const RtmpCommand& cmd) {
  RtmpSession& s = c.s;
  log_sys("Get Play Commnad from a player\n");
  s.user[0] = '\0';
  std::string_view raw;
  RtmpPlayName pn;
  if (!rtmp_command_stream_name(cmd, raw) || !rtmp_parse_play_name(raw, pn) || !pn.has_query) {
    log_sys("Session[%d]: IP [%s] play name without a query\n", c.no(), s.ip);
    refuse_delete(c);
    return;
  }
  ChannelTablePtr table = channel_table();
  const int count = table ? static_cast<int>(table->ch.size()) : 0;
  int n = table ? channel_by_name(*table, pn.base) : 0;
  if (n > 0) {
    log_sys("RTMP : IP [%s] try to get CH [%d] sucessfully\n", s.ip, n);
  } else if (pn.channel >= 0) {
    n = pn.channel;
    if (n < 1 || n > count) {
      log_sys("RTMP : IP [%s] try to get CH [%d] in total channel no=[%d], but failed\n", s.ip, n, count);
      play_failed(c);
      return;
    }
  } else {
    if (!take_credentials(c, pn)) {
      play_failed(c);
      return;
    }
    play_file(c, pn);
    return;
  }
  std::shared_ptr<Channel_Info> ch = table->ch[static_cast<std::size_t>(n - 1)];
  if (!ch) {
    play_failed(c);
    return;
  }
  play_live(c, pn, std::move(ch), n);
}

}  // namespace kx
