// The data thread of a live channel request: MPEG-TS from the channel's ring (a start
// point behind the live edge, a PAT first, a burst, then pacing by the stream's PCR), the
// folder channels read straight from their files at the channel's common position, and
// the remote file channels relayed from their HTTP source. The FLV-shaped outputs
// (FLV of any live channel, TS of an FLV channel) are in flv_data.cpp.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "ingest/channel_info.h"
#include "catalogue/channels.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "formats/ts.h"
#include "http/data_io.h"
#include "http/flv_data.h"
#include "http/http_server.h"
#include "players/live_ts_reader.h"
#include "players/pacing.h"
#include "http/remote_relay.h"
#include "ingest/ring.h"
#include "subscribers/admission.h"

namespace kx {

namespace {

constexpr int kFileBlock = 1316;       // seven packets
constexpr int kPkt = static_cast<int>(kTsPacketSize);
constexpr int kInputFlv = 1;
constexpr int kInputAsf = 6;
constexpr int kInputAviFile = 10;
constexpr int kInputPlaylist = 12;

struct Live {
  PlayerSession& s;
  Channel_Info& ch;
  int sno;   // session number, for the log lines
  int no;    // channel number
  uint32_t tid;
  const char* stage = nullptr;  // the stage text last written

  void set_stage(const char* text) {
    if (stage == text) return;  // written once per change, not once per send
    stage = text;
    s.stage.store(text);
  }
};

bool input_running(const Channel_Info& ch) {
  return ch.rt.nChannel_Status.load(std::memory_order_relaxed) == kStatusOn;
}

bool stop_set(const PlayerSession& s) { return s.stop.load(std::memory_order_relaxed) != 0; }

void log_stop(const Live& L) {
  log_sys("Session[%d]: Username [%s] CH[%d] STOP\n", L.sno, L.s.user, L.no);
}

// The checks made before every step: the server, the channel input and the stop flag.
// off_fmt is the "is OFF" line of the caller's stage.
bool keep_going(const Live& L, const char* off_fmt) {
  if (!http_serving()) return false;
  if (!input_running(L.ch)) {
    log_sys(off_fmt, L.sno, L.no);
    return false;
  }
  if (stop_set(L.s)) {
    log_stop(L);
    return false;
  }
  return true;
}

// ---- the ring ----

// What a failed send writes, by the phase the player was in.
void log_send_failure(const Live& L, LivePhase phase, int err) {
  switch (phase) {
    case LivePhase::kStart:
      log_sys("Session[%d]: Thread[%x] Channel_HTTP_DataThread: errorno is [%d]\n", L.sno, L.tid, err);
      break;
    case LivePhase::kBurst:
      log_sys("Session[%d]: Username [%s] Thread[%x]:  CH [%d] Channel_HTTP_DataThread: errorno is [%d]\n", L.sno,
              L.s.user, L.tid, L.no, err);
      break;
    case LivePhase::kSteady:
      log_sys("Session[%d]: Username [%s] Channel_HTTP_DataThread : iret=[%d] errorno is [%d]\n", L.sno, L.s.user,
              err ? -1 : 0, err);
      break;
  }
}

LiveTsOptions live_options(const Channel_Info& ch) {
  LiveTsOptions o;
  const ConfigPtr c = config();
  o.prebuffer = c->i(Key::channel_prebuffer_no);
  o.tolerance = ch.def.tolerance;
  o.source_wait_ms = c->i(Key::player_source_wait) * 1000;
  return o;
}

// A batch goes out from the ring itself when the player's socket takes it at once (the
// common case at the live edge); what it cannot take yet is copied out first, so the
// wait for a slow player never leaves the kernel reading entries the writer may reuse.
int send_batch(PlayerSession& s, LiveTsReader& rd, LiveBatch& b, int& err) {
  SendPiece pieces[kLiveBatchEntries];
  const auto to_pieces = [&] {
    for (int i = 0; i < b.span_count; ++i) pieces[i] = {b.spans[i].data, static_cast<std::size_t>(b.spans[i].len)};
  };
  to_pieces();
  const long now = send_body_now(s, pieces, b.span_count, err);
  if (now < 0) return kSendFailed;
  if (now == b.bytes) {
    rd.sent(b);  // a torn send restarts the reader at a PAT
    return kSendDone;
  }
  if (!rd.settle(b, static_cast<std::size_t>(now))) return kSendDone;  // starts again at a PAT
  to_pieces();
  return send_body(s, pieces, b.span_count, err);
}

// The live TS loop: a batch from the reader, sent; the pause it asks for; again.
void stream_ring(Live& L) {
  LiveTsReader rd(L.s.channel, SessionLog(L.sno, L.s.user, L.tid, L.no), live_options(L.ch));
  if (!rd.open()) return;
  L.s.status_a.store("RUNNING");
  L.s.status_b.store("RUNNING");
  L.s.last_pcr = -1;
  for (;;) {
    if (!http_serving()) return;
    if (stop_set(L.s)) return log_stop(L);
    LiveBatch b;
    if (rd.next_batch(b) == LiveTsReader::Next::kOff) return;
    if (b.stage) L.set_stage(b.stage);
    if (b.bytes > 0) {
      int err = 0;
      const int sr = send_batch(L.s, rd, b, err);
      if (sr == kSendFailed) {
        log_send_failure(L, b.phase, err);
        L.s.stop.store(1);
        return;
      }
      if (sr == kSendStopped) {
        if (stop_set(L.s)) log_stop(L);
        return;
      }
      L.s.pmt_pid.store(rd.pmt_pid(), std::memory_order_relaxed);
      L.s.last_pcr = rd.pacer().last_pcr();
      L.s.ref_pcr_time = rd.pacer().reference();
      L.s.played_time = rd.pacer().played();
    }
    if (b.pause_ms > 0) pause_ms(L.s, b.pause_ms);  // a stop that cuts it short is seen above
  }
}

// ---- folder channels ----

// Sends what lies in buf; false (logged, stop flag set on a send error) when streaming ends.
bool send_entries(Live& L, const uint8_t* buf, int bytes) {
  int err = 0;
  const int sr = send_body(L.s, buf, static_cast<std::size_t>(bytes), err);
  if (sr == kSendDone) return true;
  if (sr == kSendFailed) {
    log_sys("Session[%d]: Username [%s] Channel_HTTP_DataThread : iret=[%d] errorno is [%d]\n", L.sno, L.s.user,
            err ? -1 : 0, err);
    L.s.stop.store(1);
  } else if (stop_set(L.s)) {
    log_stop(L);
  }
  return false;
}

// Reads one block of whole packets: a count that is not a multiple of 188 gets one
// more read for the rest. -1 on a read error, 0 at the end of the file.
int64_t read_ts_block(Live& L, File& f, uint8_t* buf) {
  int64_t n = f.read(buf, kFileBlock);
  if (n <= 0) return n;
  if (n % kPkt != 0) {
    const int64_t need = kPkt - n % kPkt;
    log_sys("Session[%d]: Warning : CH no.[%d] read Length=[%d] not TS LENGTH, Need more [%d] bytes\n", L.sno, L.no,
            static_cast<int>(n), static_cast<int>(need));
    const int64_t m = f.read(buf + n, static_cast<std::size_t>(need));
    if (m > 0) n += m;
    if (n % kPkt != 0)
      log_sys("Session[%d]: Warning : CH no.[%d] read Length=%d not TS LENGTH\n", L.sno, L.no, static_cast<int>(n));
  }
  if (n < kFileBlock)
    log_sys("Session[%d]: Warning : CH no.[%d] read Length=%d < TS_STREAM_LENGTH\n", L.sno, L.no, static_cast<int>(n));
  return n;
}

// The first PAT from the file's position on, sent with the rest of its block.
bool folder_send_pat(Live& L, File& f, uint8_t* buf) {
  L.set_stage("Finding PAT");
  for (;;) {
    if (!keep_going(L, "Session[%d]: 4. CH[%d] is OFF\n")) return false;
    const int64_t n = f.read(buf, kFileBlock);
    if (n < 0) {
      log_sys("Session[%d]: Channel_HTTP_DataThread 1: errorno is [%d]\n", L.sno, errno);
      return false;
    }
    if (n < kPkt) {
      log_sys("Session[%d]: Thread[%x]: Channel_HTTP_DataThread (CH no.[%d] PAT Not Found in the EOF)\n", L.sno,
              L.tid, L.no);
      return false;
    }
    for (int p = 0; p + kPkt <= n; p += kPkt) {
      if (buf[p] != kTsSync) {
        log_sys("Session[%d]: Thread[%x] Channel_HTTP_DataThread (CH no.[%d] No Sync Data)\n", L.sno, L.tid, L.no);
        return false;
      }
      if (ts_pid(buf + p) != kTsPatPid) continue;
      int err = 0;
      const int sr = send_body(L.s, buf + p, static_cast<std::size_t>(n - p), err);
      if (sr != kSendDone) {
        if (sr == kSendFailed) {
          log_sys("Session[%d]: Channel_HTTP_DataThread PAT: iret=[%d] errorno is [%d]\n", L.sno, err ? -1 : 0, err);
          L.s.stop.store(1);
        } else if (stop_set(L.s)) {
          log_stop(L);
        }
        return false;
      }
      log_sys("Session[%d]: Thread[%x]Channel_HTTP_DataThread (CH no.[%d] PAT Found)\n", L.sno, L.tid, L.no);
      L.set_stage("Found PAT");
      return true;
    }
  }
}

void stream_folder(Live& L) {
  const ChannelDef& def = L.ch.def;
  L.s.status_a.store("RUNNING");
  L.s.status_b.store("RUNNING");
  FolderPosition fp;
  if (!folder_channel_position(def, fp) || def.folder.empty()) {
    log_sys("Session[%d]: Thread[%x]: Channel_HTTP_DataThread (IPTV find correct position failed)\n", L.sno, L.tid);
    return;
  }
  log_sys("Session[%d]: Thread[%x]: Channel_HTTP_DataThread (CH no.[%d], filename=[%s])\n", L.sno, L.tid, L.no,
          fp.path.c_str());
  log_sys("sbFile_Postion=%lld\n", static_cast<long long>(fp.offset));
  File f = std::move(fp.file);  // open, at the position
  std::size_t index = fp.index;
  std::string path = fp.path;
  uint8_t buf[kFileBlock + kPkt];
  if (!folder_send_pat(L, f, buf)) return;

  PcrPaceConfig pc;
  // A file read as a live channel has no live edge to hold it back: a tolerance of 1 or
  // more (which would mean "no waits") must not send the files at disk speed.
  pc.tolerance = def.tolerance < 1.0f ? def.tolerance : 0.0f;
  pc.us_per_second = 800000.0;  // 1.25 times real time
  pc.unslept_ms = 20000;
  pc.lag_test = false;
  PcrPacer pacer(pc);
  L.s.last_pcr = -1;
  std::size_t empty_files = 0;  // a list of nothing but empty files must not spin
  for (;;) {
    int64_t file_bytes = 0;
    for (;;) {
      if (!keep_going(L, "Session[%d]: 4. CH[%d] is OFF\n")) return;
      L.set_stage("Reading Data");
      const int64_t n = read_ts_block(L, f, buf);
      if (n < 0) {
        log_sys("Session[%d]: Channel_HTTP_DataThread 1: errorno is [%d]\n", L.sno, errno);
        return;
      }
      if (n == 0) {
        log_sys("Session[%d]: Channel_HTTP_DataThread 0: END of FILE\n", L.sno);
        break;
      }
      file_bytes += n;
      L.set_stage("Sending Data");
      if (!send_entries(L, buf, static_cast<int>(n)))
        return;
      L.set_stage("Finding PCR");
      uint64_t pcr = 0;
      if (first_pcr(buf, static_cast<int>(n), pcr)) {
        const PcrPacer::Step st = pacer.on_pcr(pcr, false);
        if (st.first)
          log_sys("Session[%d]: Username [%s] Video first time=[%5.3f]\n", L.sno, L.s.user, pacer.first_time());
        L.s.last_pcr = pacer.last_pcr();
        L.s.ref_pcr_time = pacer.reference();
        L.s.played_time = pacer.played();
        if (st.sleep_ms > 0) pause_ms(L.s, st.sleep_ms);
      }
    }
    f.close();
    log_sys("Session[%d]: Thread[%x] Channel_HTTP_DataThread Close (CH no.[%d], filename=[%s])\n", L.sno, L.tid,
            L.no, path.c_str());
    if (!http_serving() || stop_set(L.s) || !input_running(L.ch)) return;
    empty_files = file_bytes > 0 ? 0 : empty_files + 1;
    if (empty_files >= def.folder.size()) {
      log_sys("Session[%d]: CH no.[%d] has nothing left to play\n", L.sno, L.no);
      return;
    }
    index = (index + 1) % def.folder.size();
    log_sys("j=[%d]\n", static_cast<int>(index));
    path = def.folder[index].path;
    if (!f.open(path, File::kRead)) {
      log_sys("Session[%d]: [%s] open failed\n", L.sno, path.c_str());
      return;
    }
    pacer.restart_clock();
    L.s.last_pcr = -1;
  }
}

// Every path of the thread ends here. end_data_thread closes the socket and gives the
// viewer count and the connection slot back; the session is not ours after it.
void finish(PlayerSession& s, uint32_t tid) {
  const int sno = static_cast<int>(s.session_no);
  const std::string user = s.user;
  const std::shared_ptr<Channel_Info> ch = s.channel;
  const int no = s.channel_no.load();
  set_state(s, "CLOSING", "Thread Closing");
  s.stop.store(1);
  log_sys("Session[%d]: Username [%s] Channel_HTP_DataThread [0x%x] (CH no.[%d] Close Socket)\n", sno, s.user, tid,
          no);
  log_sys("Session[%d]: Username [%s] IP [%s] stops CH [%d]\n", sno, s.user, s.ip, no);
  ViewerTicket::Counts left{ch ? ch->rt.Active_No.load() : 0, ch ? ch->rt.Watched_No.load() : 0};
  end_data_thread(s, &left);
  log_sys("Session[%d]: Username [%s] The no. of active players is [%d]\n", sno, user.c_str(), active_streams());
  // The counts as this player's ticket went back, read under the counter lock and
  // written after it.
  if (ch && no > 0) log_sys("Session[%d]: CH [%d] viewers now [%d], views [%d]\n", sno, no, left.viewers, left.views);
}

}  // namespace

int Channel_HTTP_DataThread(void* arg) {
  if (arg == nullptr) return 0;
  PlayerSession& s = *static_cast<PlayerSession*>(arg);
  const uint32_t tid = current_thread_id();
  const int sno = static_cast<int>(s.session_no);
  log_sys("Session[%d]: Username [%s] HTTPDataThread [0x%x] IN.\n", sno, s.user, tid);
  if (stop_set(s)) {
    log_sys("Session[%d]: Thread[%x]: Channel_HTTP_DataThread (IN Cmd STOP)\n", sno, tid);
    s.channel_no.store(-1);
    finish(s, tid);
    return 0;
  }
  log_sys("Session[%d]: Username [%s] HTTPDataThread [0x%x] Start Video Streaming\n", sno, s.user, tid);
  const ChannelTablePtr table = channel_table();
  log_sys("Session[%d]: Username [%s] : IP [%s] try to get CH [%d] in Total CH [%d]\n", sno, s.user, s.ip,
          s.channel_no.load(), table ? static_cast<int>(table->count) : 0);
  // Our own reference: the record outlives a restart that replaces the table meanwhile.
  const std::shared_ptr<Channel_Info> ch = s.channel;
  if (!ch || s.channel_no.load() < 1) {
    log_sys("Session[%d]: Thread[%x]: Channel_HTTP_DataThread (no channel)\n", sno, tid);
    finish(s, tid);
    return 0;
  }
  http_players().online_add(s);
  s.viewer.take(ch);

  Live L{s, *ch, sno, s.channel_no.load(), tid};
  const int format = ch->rt.nInput_Format.load();
  if (s.output_type == kOutHls || format == kInputPlaylist) {
    log_sys("Session[%d]: CH[%d] HLS and playlist output are not served by this server\n", sno, L.no);
  } else if (!ch->def.folder.empty()) {
    stream_folder(L);
  } else if (format >= kInputMp4File && format <= kInputAviFile) {
    relay_remote_file(s, *ch, L.no);
  } else if (format == kInputAsf) {
    log_sys("Session[%d]: CH[%d] input format [%d] is not served by this server\n", sno, L.no, format);
  } else if (format == kInputFlv) {
    if (s.output_type == kOutTs) {
      stream_flv_as_ts(s, L.no, tid);
    } else {
      stream_live_flv(s, L.no, tid);
    }
  } else if (s.output_type == kOutFlv) {
    stream_live_flv(s, L.no, tid);  // converted from the TS ring
  } else {
    stream_ring(L);
  }
  finish(s, tid);
  return 0;
}

}  // namespace kx
