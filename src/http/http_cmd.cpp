// HTTPCmdThread: reads one request, decides what it asks for, checks it, answers with a
// header and hands the socket to one data thread -- or ends the session.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "ingest/channel_info.h"
#include "core/config.h"
#include "core/process_state.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "core/text.h"
#include "http/head_gate.h"
#include "players/player_checks.h"
#include "subscribers/auth.h"
#include "subscribers/blacklist.h"
#include "subscribers/filters.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "ingest/input.h"
#include "movies/probe_cache.h"
#include "net/socket.h"
#include "net/wait.h"
#include "subscribers/admission.h"

namespace kx {

namespace {

constexpr int64_t kHeadDeadlineMs = 10000;  // the whole request head
constexpr int kSendMs = 30000;
constexpr int64_t kOnDemandMs = 11000;  // an on-demand channel is given this long to come up
constexpr int kOnDemandStepMs = 100;   // how often its status is looked at meanwhile
constexpr int kInputFlvStream = 1;     // a channel whose input keeps an FLV tag ring

struct Cmd {
  explicit Cmd(PlayerSession& session) : s(session) {}
  PlayerSession& s;
  int no() const { return static_cast<int>(s.session_no); }

  ConfigPtr cfg = config();
  int auth = 0;
  std::string head;
  RequestLine line;
  PathClass pc;
  int cred_source = kCredFromQuery;
  std::string answer;  // what is sent before the data thread starts
  bool count_user = false;  // a checked user is counted once the request really streams
  std::shared_ptr<Channel_Info> ch;  // the channel to stream, once granted
};

// ---- helpers ----

bool send_text(Cmd& c, const std::string& text) {
  const int fd = c.s.sock.load();
  if (fd < 0 || text.empty()) return false;
  if (!send_all(fd, text.data(), text.size(), kSendMs)) {
    log_sys("Cmd Thread send TCP package error=[%d]\n", errno);
    return false;
  }
  return true;
}

// A final answer: sent, then the session ends without a data thread.
void refuse(Cmd& c, const std::string& answer) {
  c.answer = answer;
  c.s.stop.store(1);
  c.s.granted = false;
}

void refuse_page(Cmd& c, const char* stage) {
  c.s.status_a.store("RUNNING");
  c.s.status_b.store("RUNNING");
  c.s.stage.store(stage);
  refuse(c, http_answer_r5());
}

// An outside request text as the logs show it: password masked, control characters escaped.
std::string shown_request(std::string_view text) { return escape_controls(mask_request(text)); }

bool ends_with(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

double play_length(int kind, const std::string& path) {
  if (kind == kKindPs) return cached_mp4_duration(path);
  double seconds = 0, kbit = 0;
  cached_flv_info(path, seconds, kbit);
  return seconds;
}

// Opens a served file under the program folder; false when it is missing or outside.
bool open_served(const std::string& name, std::string& real, File& f) {
  return resolve_request_file(g_work_dir, name, real) && f.open(real, File::kRead);
}

void write_player_time(PlayerSession& s) {
  std::tm t{};
  local_time(t);
  if (std::strftime(s.player_time, sizeof s.player_time, "%Y/%m/%d %H:%M:%S", &t) == 0) s.player_time[0] = '\0';
}

// ---- reading the head ----

bool read_head(Cmd& c) {
  PlayerSession& s = c.s;
  const int fd = s.sock.load();
  char buf[kHeadBufferSize];
  std::size_t held = 0;
  const auto ticket = http_head_gate().enter(s.ip);
  StopToken stop;
  stop.when([](const void*) { return !http_server_running(); }, nullptr)
      .when([](const void* t) { return static_cast<const HeadGate::Ticket*>(t)->closed(); }, ticket.get());
  // One deadline for the whole head: a byte now and then does not keep a connection.
  const Deadline until = Deadline::after(kHeadDeadlineMs);
  for (;;) {
    const Wait w = wait_readable(fd, stop, until);
    if (w == Wait::kStopped) {
      if (http_server_running())
        log_sys("Session[%d]: IP [%s] HTTP Socket [%d] unfinished head closed for a newer one\n", c.no(), s.ip, fd);
      return false;
    }
    if (w == Wait::kTimeout) {
      log_sys("Session[%d]: IP [%s] HTTP Socket [%d] TimeOut (HTTPCmdThread [0x%x])\n", c.no(), s.ip, fd,
              current_thread_id());
      return false;
    }
    if (w == Wait::kError) {
      log_sys("Session[%d]: IP [%s] HTTP Socket [%d] for select Command Closed by a client\n", c.no(), s.ip, fd);
      return false;
    }
    const long n = recv_some(fd, buf + held, sizeof buf - held, 0);
    if (n == -2) continue;
    if (n == 0) break;  // the peer finished sending: the head is what came
    if (n < 0) {
      log_sys("Session[%d]: IP [%s] HTTP Socket [%d] for Command Closed by a client\n", c.no(), s.ip, fd);
      return false;
    }
    held += static_cast<std::size_t>(n);
    const HeadState st = head_state(std::string_view(buf, held));
    if (st == HeadState::kTooLong) {
      log_sys("Session[%d]: IP [%s] Socket [%d] Receive More HTTP Data Len [%d] > 2048\n", c.no(), s.ip, fd,
              static_cast<int>(held));
      return false;
    }
    if (st == HeadState::kDone) break;
  }
  if (!http_server_running()) return false;
  c.head.assign(buf, held);
  return true;
}

// ---- credentials ----

// Credential extraction; false when refused (the 401 is prepared).
bool take_credentials(Cmd& c) {
  PlayerSession& s = c.s;
  Credentials cr;
  extract_credentials(c.line.target, c.head, c.cfg->sep1, c.cfg->sep2, cr);
  set_field(s.token, cr.token.c_str());
  if (cr.has_token) {
    std::string user, password;
    if (!resolve_token(cr.token, user, password)) {
      log_sys("[%s]: Unauthorization user \n", shown_request(c.head).c_str());
      refuse(c, kR2_Unauthorized);
      return false;
    }
    cr.user = user;
    cr.password = password;
  }
  if (!credentials_fit(cr)) {
    // Too long for the session's fields: refused whole, never cut to something else.
    log_sys("Session[%d]: IP [%s] credentials longer than their fields\n", c.no(), s.ip);
    record_failed_attempt(s.ip, "");
    refuse(c, kR2_Unauthorized);
    return false;
  }
  if (has_controls(cr.user) || has_controls(cr.password) || has_controls(cr.mac)) {
    // A line break in a name would write lines of its own into the logs.
    log_sys("Session[%d]: IP [%s] credentials hold control characters\n", c.no(), s.ip);
    record_failed_attempt(s.ip, "");
    refuse(c, kR2_Unauthorized);
    return false;
  }
  set_field(s.user, cr.user.c_str());
  set_field(s.password, cr.password.c_str());
  set_field(s.mac, cr.mac.empty() ? "N/A" : cr.mac.c_str());
  c.cred_source = cr.source;
  if (c.cfg->i(Key::player_filter) == 1 && player_filter_refuses(c.head)) {
    log_sys("Session[%d]: IP [%s] refused by the player filter\n", c.no(), s.ip);
    record_failed_attempt(s.ip, s.user);
    refuse(c, kR2_Unauthorized);
    return false;
  }
  return true;
}

// ---- substitute videos and pictures ----

// Serves a configured file in place of the refused or unavailable channel. False when
// there is no such path or it cannot be opened.
bool substitute(Cmd& c, const std::string& path) {
  PlayerSession& s = c.s;
  if (path.empty()) return false;
  std::string real;
  File f;
  if (!open_served(path, real, f)) return false;
  int kind = kKindPs;
  const char* type = ctype::kMp4;
  if (ends_with(path, ".PNG") || ends_with(path, ".png")) {
    kind = kKindFile;
    type = ctype::kPng;
  } else if (ends_with(path, ".JPG") || ends_with(path, ".jpg")) {
    kind = kKindFile;
    type = ctype::kJpeg;
  } else if (ends_with(path, ".ts")) {
    kind = kKindMedia;
    type = ctype::kMp2t;
  } else if (ends_with(path, ".flv")) {
    kind = kKindFlv;
    type = ctype::kFlv;
  } else if (ends_with(path, ".mov")) {
    type = ctype::kQuicktime;
  }
  const int64_t size = f.size();
  if (size < 0) return false;
  std::string header = http_answer_range(10, 0, size, size, "close");
  if (kind == kKindPs || kind == kKindFlv) header += duration_line(play_length(kind, real));
  header += content_type_line(type);
  s.open_file = std::move(f);
  s.range_start = 0;
  s.range_end = size;
  s.file_size = size;
  set_field(s.watching, path.c_str());
  s.kind = kind;
  s.granted = true;
  s.stop.store(0);
  c.ch.reset();  // the substitute is a file; nobody is counted as watching the channel
  c.answer = std::move(header);
  return true;
}

void substitute_or_page(Cmd& c, const std::string& path, const char* stage) {
  if (!substitute(c, path)) refuse_page(c, stage);
}

// ---- channel requests ----

int channel_by_name(const MSK_IPTV_Channel_List& t, std::string_view name) {
  for (std::size_t i = 0; i < t.ch.size(); ++i) {
    if (t.ch[i] && t.ch[i]->def.name == name) {
      const int n = static_cast<int>(i) + 1;
      log_sys("CH Name [%s] is CH[%d]\n", escape_controls(name).c_str(), n);
      return n;
    }
  }
  return 0;
}

bool wait_on_demand(Channel_Info& ch) {
  resume_channel(ch);
  StopToken stop;
  stop.when([](const void*) { return !http_server_running(); }, nullptr);
  const Deadline until = Deadline::after(kOnDemandMs);
  while (ch.rt.nChannel_Status.load() != kStatusOn && !until.passed())
    if (!sleep_for(kOnDemandStepMs, stop)) break;
  return ch.rt.nChannel_Status.load() == kStatusOn;
}

// The time-shift forms are not served by this build yet.
bool later_form(Cmd& c, const Channel_Info& ch) {
  std::string v;
  if (query_value(c.line.target, "timestamp", v, 32)) return true;
  std::string lutc;
  if (query_value(c.line.target, "utc", v, 32) && query_value(c.line.target, "lutc", lutc, 32)) return true;
  return ch.def.defined_type() == kTypeDelay;
}

// The output a live channel request asks for: its muxer value, else the name's extension
// ("/chN.flv" asks for FLV), else the channel's own form (FLV inputs as FLV, the rest as TS).
int live_output_type(const Cmd& c, int format) {
  std::string v;
  if (query_value(c.line.target, "muxer", v, 8)) {
    if (v == "ts") return kOutTs;
    if (v == "flv") return kOutFlv;
  }
  const std::string_view path = std::string_view(c.line.path).substr(0, c.line.path.find('?'));
  for (const char* ext : {".flv", ".FLV"}) {
    const std::size_t n = std::strlen(ext);
    if (path.size() >= n && path.substr(path.size() - n) == ext) return kOutFlv;
  }
  return format == kInputFlvStream ? kOutFlv : kOutTs;
}

void channel_request(Cmd& c) {
  PlayerSession& s = c.s;
  const std::string& name = c.pc.name;
  set_field(s.watching, name.c_str());
  s.output_type = kOutNone;
  if (name.find(".m3u8") != std::string::npos || name.find(".M3U8") != std::string::npos ||
      name.find(".m3u") != std::string::npos || name.find(".M3U") != std::string::npos) {
    // The name may run into the query (an extension inside a password): logged masked.
    log_sys("Session[%d]: [%s] HLS output is not available\n", c.no(), shown_request(name).c_str());
    refuse(c, kR4_Unavailable);
    return;
  }
  ChannelTablePtr table = channel_table();
  const int count = table ? static_cast<int>(table->ch.size()) : 0;
  if (count == 0) {
    refuse(c, kR4_Unavailable);
    return;
  }
  const char* stage = nullptr;
  const int n = clamp_channel_number(channel_number_from_name(name), count, &stage);
  if (stage) s.stage.store(stage);
  s.channel_no.store(n);
  std::shared_ptr<Channel_Info> ch = table->ch[static_cast<std::size_t>(n - 1)];
  if (!ch) {
    refuse(c, kR4_Unavailable);
    return;
  }

  if (ch->rt.nChannel_Status.load() != kStatusOn) {
    const int type = ch->def.nChannel_Type;
    const bool parked = type == kTypePause || type == kTypeResume;
    // An on-demand channel that does not come up in time is answered as an off channel.
    if (!(ch->def.nCache_On_Demand == 1 && parked && wait_on_demand(*ch))) {
      const std::string& off = c.cfg->t(Key::channel_off_video_path);
      if (off.empty()) {
        refuse(c, kR4_Unavailable);
      } else {
        substitute_or_page(c, off, "OFF Channel");
      }
      return;
    }
  }
  if (ch->def.forward) {
    s.status_a.store("RUNNING");
    s.status_b.store("RUNNING");
    s.stage.store("Forward");
    refuse(c, http_answer_r7(ch->def.src[0]));
    return;
  }
  if (ch->rt.nSource_Valid.load() == 0) {
    refuse_page(c, "No program");
    return;
  }
  log_sys("Session[%d]: Username [%s] Request Channel [%d]\n", c.no(), s.user, n);

  if (c.auth != 0) {
    s.user_check = check_user_for_request(s);
    if (s.user_check == 1) {
      // ".c4" streams the same channel as ".ch", so the rights hold for it too.
      if ((s.kind == kKindChannel || s.kind == kKindC4) && !check_channel_right(s, n)) {
        log_sys("Session[%d]: User [%s] does not has right to watch CH[%d]\n", c.no(), s.user, n);
        const bool configured = !c.cfg->t(Key::authorized_channel_video_path).empty();
        substitute_or_page(c, configured ? "admin/authorized_channel.PNG" : "", "Authorized Channel");
        return;
      }
      log_sys("Session[%d]: Username [%s] login successfully\n", c.no(), s.user);
      c.count_user = true;
    } else if (s.user_check == 2) {
      log_sys("Session[%d]: User [%s], Password[%s] Time Expired\n", c.no(), s.user, kMaskedPassword);
      substitute_or_page(c, c.cfg->t(Key::time_expired_video_path), "Time Expired");
      return;
    } else {
      log_sys("Session[%d]: User [%s], Password[%s] not Registered User\n", c.no(), s.user, kMaskedPassword);
      log_sys("Session[%d]: UserName [%s] HTTP Data =[%s]\n", c.no(), s.user, shown_request(c.head).c_str());
      if (s.user[0] || s.password[0]) {
        substitute_or_page(c, c.cfg->t(Key::unregistered_user_video_path), "UnRegistered User");
      } else {
        refuse(c, kR2_Unauthorized);
      }
      return;
    }
  } else {
    s.user_check = 1;
  }

  if (later_form(c, *ch)) {
    log_sys("Session[%d]: CH[%d] asks for an output form this server does not give yet\n", c.no(), n);
    refuse(c, kR4_Unavailable);
    return;
  }
  // The metadata answer of ".c4" belongs to an open server; with user authorisation the
  // granted answer is the plain channel header.
  if (s.kind == kKindC4 && c.line.http11 && c.auth == 0) {
    c.answer = http_answer_r14(static_cast<int64_t>(std::strlen(kC4Metadata)), "Keep-Alive") +
               content_type_line(ctype::kWmv) + kC4Metadata;
  } else {
    c.answer = http_answer_r8("Keep-Alive");
  }
  s.granted = true;
  c.ch = std::move(ch);
}

// A remote file channel is relayed from the player's start byte to its end byte, and
// answered as a file is: 206 with the range against the source's length as the input
// last saw it. Without that length a suffix cannot be resolved (416), and any other range
// is answered from the first byte with the plain channel header. false when refused.
bool remote_file_header(Cmd& c) {
  PlayerSession& s = c.s;
  const int64_t size = c.ch->rt.content_length.load();
  if (size < 0) {
    const ByteRange r = parse_range(c.head, INT64_MAX / 2);
    if (r.status == kRangePartial && r.suffix > 0) {
      log_sys("Session[%d]: CH[%d] Range not satisfiable, size unknown\n", c.no(), s.channel_no.load());
      refuse(c, http_answer_416(-1, c.line.http11));
      return false;
    }
    s.range_start = 0;
    s.range_end = INT64_MAX;
    return true;
  }
  const ByteRange r = parse_range(c.head, size);
  if (r.status == kRangeUnsatisfiable) {
    log_sys("Session[%d]: CH[%d] Range not satisfiable, size [%lld]\n", c.no(), s.channel_no.load(),
            static_cast<long long>(size));
    refuse(c, http_answer_416(size, c.line.http11));
    return false;
  }
  if (r.status == kRangePartial) {
    log_sys("Session[%d]: Range1=[%" PRId64 "]\n", c.no(), r.start);
    log_sys(r.open_end ? "Session[%d]: Only Range1, so Range2=[%" PRId64 "]\n" : "Session[%d]: Range2=[%" PRId64 "]\n",
            c.no(), r.end - 1);
  }
  c.answer = http_answer_range(11, r.start, r.end, size, "close");
  s.range_start = r.start;
  s.range_end = r.end;
  s.file_size = size;
  return true;
}

// Completes a granted channel header with the stream's content type.
void complete_channel_header(Cmd& c) {
  PlayerSession& s = c.s;
  const int format = c.ch->rt.nInput_Format.load();
  const char* type = ctype::kMp2t;
  switch (format) {
    case kInputMp4File: type = ctype::kMp4; break;
    case kInputFlvFile: type = ctype::kFlv; break;
    case 10: type = ctype::kAvi; break;
    default: break;
  }
  s.output_type = kOutTs;
  if (format >= kInputMp4File && format <= 10) {
    if (!remote_file_header(c)) return;
  } else if (c.ch->def.folder.empty() && live_output_type(c, format) == kOutFlv) {  // folders: TS only
    log_sys("HTTP Output Streaming Type: FLV Stream\n");
    s.output_type = kOutFlv;
    type = ctype::kFlv;
  } else {
    log_sys("HTTP Output Streaming Type: M2TS Stream\n");
  }
  s.input_kind = format;
  c.answer += content_type_line(type);
}

// ---- file requests ----

void file_request(Cmd& c) {
  PlayerSession& s = c.s;
  const int kind = s.kind;
  if (c.auth != 0 && kind != kKindFile) {
    s.user_check = check_user_for_request(s);
    if (s.user_check == 1) {
      log_sys("Session[%d]: User [%s] login successfully\n", c.no(), s.user);
      c.count_user = true;
    } else {
      if (s.user_check == 2)
        log_sys("Session[%d]: User [%s], Password[%s] Time Expired\n", c.no(), s.user, kMaskedPassword);
      refuse(c, kR2_Unauthorized);
      return;
    }
  } else {
    s.user_check = 1;
  }
  const std::string& name = c.pc.name;
  std::string real;
  File f;
  if (!open_served(name, real, f)) {
    log_sys("Session[%d]: [%s] File not Found\n", c.no(), shown_request(name).c_str());
    refuse(c, kR1_NotFound);
    return;
  }
  const int64_t size = f.size();
  if (size < 0) {
    refuse(c, kR1_NotFound);
    return;
  }
  const ByteRange r = parse_range(c.head, size);
  if (r.status == kRangeUnsatisfiable) {
    log_sys("Session[%d]: [%s] Range not satisfiable, size [%lld]\n", c.no(), shown_request(name).c_str(),
            static_cast<long long>(size));
    refuse(c, http_answer_416(size, c.line.http11));
    return;
  }
  std::string header;
  if (r.status == kRangePartial) {
    log_sys("Session[%d]: Range1=[%" PRId64 "]\n", c.no(), r.start);
    if (r.open_end) {
      log_sys("Session[%d]: Only Range1, so Range2=[%" PRId64 "]\n", c.no(), r.end - 1);
    } else {
      log_sys("Session[%d]: Range2=[%" PRId64 "]\n", c.no(), r.end - 1);
    }
    header = c.line.http11 ? http_answer_range(12, r.start, r.end, size, "Keep-Alive")
                           : http_answer_range(11, r.start, r.end, size, "close");
  } else {
    header = c.line.http11 ? http_answer_range(10, 0, size, size, "Keep-Alive")
                           : http_answer_range(9, 0, size, size, "close");
  }
  if (kind == kKindPs || kind == kKindFlv) header += duration_line(play_length(kind, real));
  header += content_type_line(c.pc.content_type);
  s.open_file = std::move(f);
  s.range_start = r.start;
  s.range_end = r.end;
  s.file_size = size;
  set_field(s.watching, name.c_str());
  s.granted = true;
  c.answer = std::move(header);
}

// ---- names without an extension ----

// Kind 6. False when the session ends without an answer.
bool resolve_by_name(Cmd& c) {
  PlayerSession& s = c.s;
  if (c.auth == 0) return false;
  std::string name = c.pc.name;
  const std::size_t q = name.find('?');
  if (q == std::string::npos) {
    if (c.cred_source == kCredFromQuery) {
      refuse(c, kR1_NotFound);
      return true;
    }
  } else {
    name.resize(q);
  }
  ChannelTablePtr table = channel_table();
  const std::string_view bare = name.size() > 1 ? std::string_view(name).substr(1) : std::string_view();
  const int n = table && !bare.empty() ? channel_by_name(*table, bare) : 0;
  if (n > 0) {
    const auto& ch = table->ch[static_cast<std::size_t>(n - 1)];
    char buf[32];
    std::snprintf(buf, sizeof buf, ch && ch->def.nHLS_Mode != 0 ? "/ch%d.m3u8" : "/%d.ch", n);
    c.pc.name = buf;
    c.pc.content_type = ctype::kMp2t;
    s.kind = kKindChannel;
    return true;
  }
  // Movies by name come with the movie catalogue.
  log_sys("Session[%d]: [%s] File not Found\n", c.no(), escape_controls(name).c_str());
  refuse(c, kR1_NotFound);
  return true;
}

// ---- dispatch ----

ThreadRoutine data_routine(int kind, const char** name) {
  switch (kind) {
    case kKindFile: *name = "HTTPDataThread"; return HTTPDataThread;
    case kKindMedia: *name = "HTTPMediaDataThread"; return HTTPMediaDataThread;
    case kKindPs: *name = "IPTV_PS_HTTP_DataThread"; return IPTV_PS_HTTP_DataThread;
    case kKindFlv: *name = "IPTV_FLV_HTTP_DataThread"; return IPTV_FLV_HTTP_DataThread;
    case kKindAvi: *name = "VOD_AVI_HTTP_DataThread"; return VOD_AVI_HTTP_DataThread;
    case kKindMkv: *name = "VOD_MKV_HTTP_DataThread"; return VOD_MKV_HTTP_DataThread;
    case kKindChannel:
    case kKindC4: *name = "Channel_HTTP_DataThread"; return Channel_HTTP_DataThread;
    default: return nullptr;
  }
}

bool start_data_thread(Cmd& c) {
  PlayerSession& s = c.s;
  const char* name = "";
  ThreadRoutine routine = data_routine(s.kind, &name);
  if (!routine || !http_server_running()) return false;
  write_player_time(s);
  // The release pass joins a finished thread only once this record is stored.
  ThreadRecord* t = create_thread(routine, &s, name);
  const bool created = t != nullptr;
  s.data_thread.store(t);
  if (!created) log_sys("Session[%d]: IP [%s] %s could not be created\n", c.no(), s.ip, name);
  return created;
}

// Steps after the checks: the answer, the connection slot, the data thread. True when a
// data thread took the session over.
bool answer_and_dispatch(Cmd& c) {
  PlayerSession& s = c.s;
  if (s.stop.load() || !s.granted) {
    if (!c.answer.empty()) send_text(c, c.answer);
    return false;
  }
  const bool channel = s.kind == kKindChannel || s.kind == kKindC4;
  if (channel) complete_channel_header(c);
  if (s.stop.load()) {  // a range the channel cannot give
    send_text(c, c.answer);
    return false;
  }
  if (c.line.head) {
    // HEAD: the header alone; no slot, no data thread, and the user is not counted.
    send_text(c, c.answer);
    return false;
  }
  if (c.count_user && count_user_for_request(s) != 1) {
    log_sys("Session[%d]: IP [%s] not counted for its user\n", c.no(), s.ip);
    return false;
  }
  if (s.kind != kKindFile) {
    int server = -1;
    const int admitted = admit_stream("HTTP", server);
    if (admitted != kAdmitGranted) {
      log_sys("Session[%d]: IP [%s] not admitted [%d]\n", c.no(), s.ip, admitted);
      return false;
    }
    s.holds_slot = true;
  }
  if (channel) {
    log_sys("Session[%d]: Username [%s] HTTPCmdThread [0x%x] is for HTTP IPTV Streaming.\n", c.no(), s.user,
            current_thread_id());
  }
  if (!send_text(c, c.answer) || s.stop.load()) return false;
  if (channel) {
    log_sys("Session[%d]: Username [%s] Start to watch CH[%d]\n", c.no(), s.user, s.channel_no.load());
    s.seek_ms = 0;
    s.channel = c.ch;
  }
  return start_data_thread(c);
}

// The request from its head to the dispatch. True when a data thread took over.
bool handle_request(Cmd& c) {
  PlayerSession& s = c.s;
  if (!read_head(c)) return false;
  switch (parse_request_line(c.head, c.line)) {
    case kLineOk:
      break;
    case kLineNotHttp:
      log_sys("Session[%d]: System Warning: Get Non-HTTP Command\n", c.no());
      record_failed_attempt(s.ip, "");
      return false;
    case kLineNotGet:
      log_sys("Session[%d]: Warning: IP [%s] Thread [0x%x] Send Non GET or POST\n", c.no(), s.ip,
              current_thread_id());
      return false;
    default:
      return false;  // too short, another version, a malformed line or "/" alone
  }
  set_field(s.player_name, c.line.player_name.c_str());
  s.http11 = c.line.http11;
  c.auth = c.cfg->auth_mode();
  c.pc = classify_path(c.line.path);
  s.kind = c.pc.kind;
  set_field(s.watching, c.pc.name.c_str());
  if ((c.pc.checked || s.kind == kKindByName) && !take_credentials(c)) {
    s.kind = kKindRefused;
    return answer_and_dispatch(c);
  }
  if (s.kind == kKindByName && !resolve_by_name(c)) return false;
  if (!s.stop.load()) {
    if (s.kind == kKindChannel || s.kind == kKindC4) channel_request(c);
    else if (s.kind != kKindByName && s.kind != kKindMovie) file_request(c);
    else refuse(c, kR1_NotFound);
  }
  return answer_and_dispatch(c);
}

}  // namespace

int HTTPCmdThread(void* arg) {
  PlayerSession& s = *static_cast<PlayerSession*>(arg);
  bool started = false;
  {
    Cmd c(s);
    started = handle_request(c);
  }
  const int fd = s.sock.load();
  if (!started) {
    close_socket(s.sock.exchange(-1));
    user_left(s);
    if (s.holds_slot) {
      release_stream("HTTP");
      s.holds_slot = false;
    }
    s.open_file.close();
    s.channel.reset();
    s.data_state.store(kSlotJoined);
    http_players().release(s);
  }
  log_sys("Session[%d]: IP [%s]  Finished HTTP Streaming Socket [%d] Data\n", static_cast<int>(s.session_no), s.ip,
          fd);
  s.cmd_state.store(kSlotFinished);
  return 0;
}

}  // namespace kx
