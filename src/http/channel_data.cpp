// The data thread of a live channel request: MPEG-TS from the channel's ring (a start
// point behind the live edge, a PAT first, a burst, then pacing by the stream's PCR), the
// folder channels read straight from their files at the channel's common position, and
// the remote file channels relayed from their HTTP source.
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
#include "http/http_server.h"
#include "http/pacing.h"
#include "http/remote_relay.h"
#include "http/ts_start.h"
#include "ingest/ring.h"
#include "subscribers/admission.h"

namespace kx {

namespace {

constexpr int kBatchEntries = 32;      // ring entries sent with one call
constexpr int kRingWaitMs = 200;       // waits for new data look at the flags this often
// At the live edge the entries of this long are gathered and sent together: one
// wake-up per batch rather than one per entry.
constexpr int kCoalesceMs = 100;
// Paced waits are gathered until they come to this much and then slept at once, so the
// entries between them go out in one send: the same pace with fewer wake-ups.
constexpr int kSleepQuantumMs = 100;
constexpr int kScanStep = 64;          // entries looked at between flag checks
constexpr int64_t kPatSearchMs = 10000;
// How long a new player waits for a random-access picture ahead when none is held behind
// (a ring younger than a group of pictures); after it, any PAT with its PMT will do.
constexpr int64_t kRandomAccessWaitMs = 5000;
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

enum class Leg { kOn, kLapped, kEnd };

// Sends the entry of start.seq from its PAT on. false when the writer took the entry
// meanwhile (search again); else leg says how streaming goes on.
bool send_start(Live& L, RingReader& rd, uint8_t* buf, TsStart start, Leg& leg) {
  const RealBuffer& ring = *rd.ring();
  rd.seek(start.seq);
  int len = 0;
  if (rd.next(buf, len) != RingReader::kData || rd.position() != start.seq + 1 || start.pos + kPkt > len) return false;
  if (start.pmt_pid < 0) {
    int pids[TsStartFinder::kMaxPmts];
    if (pat_pmt_pids(buf + start.pos, pids, TsStartFinder::kMaxPmts) > 0) start.pmt_pid = pids[0];
  }
  log_sys("Session[%d]: Username [%s] Thread[%x]: Channel_HTTP_DataThread : CH no.[%d] Found Video PAT in "
          "Index [%d] POS[%d] nRemider_Length=[%d]\n",
          L.sno, L.s.user, L.tid, L.no, static_cast<int>(start.seq % static_cast<uint64_t>(ring.size())), start.pos,
          len - start.pos);
  L.s.pmt_pid = start.pmt_pid;
  L.set_stage("Sending PAT");
  int err = 0;
  const int sr = send_body(L.s, buf + start.pos, static_cast<std::size_t>(len - start.pos), err);
  leg = Leg::kEnd;
  if (sr == kSendDone) {
    leg = Leg::kOn;
  } else if (sr == kSendFailed) {
    log_sys("Session[%d]: Thread[%x] Channel_HTTP_DataThread: errorno is [%d]\n", L.sno, L.tid, err);
    L.s.stop.store(1);
  } else if (stop_set(L.s)) {
    log_stop(L);
  }
  return true;
}

// A PAT followed by a random-access picture, nearest the reader's position: a player
// decodes from its first frame. Searches behind first, then waits a while for one ahead.
// kLapped when the stream has no such marks or none came in time.
Leg find_decodable_start(Live& L, RingReader& rd, uint8_t* buf) {
  const RealBuffer& ring = *rd.ring();
  const uint64_t from = rd.position();
  const int64_t deadline = mono_ms() + kRandomAccessWaitMs;
  for (;;) {
    if (!keep_going(L, "Session[%d]: 4. CH[%d] is OFF\n")) return Leg::kEnd;
    TsStart start;
    start.pmt_pid = -1;
    const DecodableScan d = ts_find_decodable_start(ring, from, start);
    if (d == DecodableScan::kNoMarks) break;
    Leg leg = Leg::kEnd;
    if (d == DecodableScan::kFound && send_start(L, rd, buf, start, leg)) return leg;
    if (mono_ms() > deadline) break;
    if (d == DecodableScan::kNone) ring.wait_beyond(ring.commits(), kRingWaitMs);
  }
  rd.seek(from);
  return Leg::kLapped;
}

// The PAT with its PMT after the reader's position, then that entry from the PAT on.
Leg find_and_send_pat(Live& L, RingReader& rd, uint8_t* buf) {
  const RealBuffer& ring = *rd.ring();
  L.set_stage("Find PAT");
  const Leg d = find_decodable_start(L, rd, buf);
  if (d != Leg::kLapped) return d;
  TsStartFinder finder;
  TsStart start;
  const int64_t deadline = mono_ms() + kPatSearchMs;
  for (;;) {
    if (!keep_going(L, "Session[%d]: 4. CH[%d] is OFF\n")) return Leg::kEnd;
    const TsScan r = ts_scan_start(rd, finder, buf, kScanStep, start);
    if (r == TsScan::kLapped) continue;  // rd stands at the start point again
    if (r == TsScan::kFound) {
      Leg leg = Leg::kEnd;
      if (send_start(L, rd, buf, start, leg)) return leg;
      // The writer took the PAT's entry meanwhile.
      rd.seek_start_point();
      finder.reset();
      continue;
    }
    // Bounded: one ring's worth of entries, or a few seconds at the live edge.
    if (finder.entries_seen() > ring.size() || mono_ms() > deadline) {
      log_sys("Session[%d]: Warning: Thread[%x]: Channel_HTTP_DataThread : CH no.[%d] NO PAT in Buffer\n", L.sno,
              L.tid, L.no);
      return Leg::kEnd;
    }
    if (r == TsScan::kCaughtUp) rd.wait(kRingWaitMs);
  }
}

// Sends what lies in buf; false (logged, stop flag set on a send error) when streaming ends.
bool send_entries(Live& L, const uint8_t* buf, int bytes, const char* fail_fmt, bool fail_has_iret) {
  int err = 0;
  const int sr = send_body(L.s, buf, static_cast<std::size_t>(bytes), err);
  if (sr == kSendDone) return true;
  if (sr == kSendFailed) {
    if (fail_has_iret)
      log_sys(fail_fmt, L.sno, L.s.user, err ? -1 : 0, err);
    else
      log_sys(fail_fmt, L.sno, L.s.user, L.tid, L.no, err);
    L.s.stop.store(1);
  } else if (stop_set(L.s)) {
    log_stop(L);
  }
  return false;
}

// Up to a quarter of what lies ahead, capped by channel_prebuffer_no, as fast as the
// player takes it.
Leg burst(Live& L, RingReader& rd, uint8_t* buf, int prebuffer) {
  const RealBuffer& ring = *rd.ring();
  const uint64_t c = ring.commits(), pos = rd.position();
  const int ahead = c > pos ? static_cast<int>(std::min<uint64_t>(c - pos, static_cast<uint64_t>(ring.size()))) : 0;
  log_sys("Session[%d]: Username [%s] CH [%d] Real nHas_Data_Buffer_Size=[%d] nReal_Buffer_output_index=[%d]\n",
          L.sno, L.s.user, L.no, ahead, static_cast<int>(pos % static_cast<uint64_t>(ring.size())));
  const int target = std::min(ahead / 4, prebuffer);
  L.set_stage("Sending Data");
  int sent = 0;
  while (sent < target) {
    if (!keep_going(L, "Session[%d]: 1. CH[%d] is OFF\n")) return Leg::kEnd;
    int bytes = 0, n = 0;
    bool lapped = false, caught_up = false;
    while (n < kBatchEntries && sent + n < target) {
      int len = 0;
      const RingReader::Result r = rd.next(buf + bytes, len);
      if (r == RingReader::kCaughtUp) {
        caught_up = true;
        break;
      }
      if (r == RingReader::kLapped) {
        lapped = true;
        break;
      }
      bytes += len;
      ++n;
    }
    if (bytes > 0 &&
        !send_entries(L, buf, bytes, "Session[%d]: Username [%s] Thread[%x]:  CH [%d] Channel_HTTP_DataThread: "
                                     "errorno is [%d]\n", false))
      return Leg::kEnd;
    sent += n;
    if (lapped) return Leg::kLapped;
    if (caught_up) break;
  }
  return Leg::kOn;
}

// Paced streaming until the end or a lap. The pacing looks at the first PCR of each
// entry; the entries between sleeps go out together.
Leg steady(Live& L, RingReader& rd, uint8_t* buf, PcrPacer& pacer) {
  const RealBuffer& ring = *rd.ring();
  const uint64_t n_ring = static_cast<uint64_t>(ring.size());
  pacer.reset();
  L.s.last_pcr = -1;
  log_sys("Session[%d]: Username [%s] Thread[%x]: CH [%d] Start Streaming from [%d]\n", L.sno, L.s.user, L.tid,
          L.no, static_cast<int>(rd.position() % n_ring));
  int owed_ms = 0;
  bool gathered = false;  // the live-edge pause was taken and found nothing
  for (;;) {
    if (!keep_going(L, "Session[%d]: 1. CH[%d] is OFF\n")) return Leg::kEnd;
    if (L.s.sock.load(std::memory_order_relaxed) < 0) {
      log_sys("Session[%d]: 1. CH[%d] Socket is OFF\n", L.sno, L.no);
      return Leg::kEnd;
    }
    int bytes = 0, n = 0;
    bool lapped = false;
    while (n < kBatchEntries) {
      int len = 0;
      const RingReader::Result r = rd.next(buf + bytes, len);
      if (r == RingReader::kCaughtUp) break;
      if (r == RingReader::kLapped) {
        lapped = true;
        break;
      }
      uint64_t pcr = 0;
      if (first_pcr(buf + bytes, len, pcr)) {
        const uint64_t seq = rd.position() - 1;
        const uint64_t c = ring.commits(), old = ring.oldest();
        const bool ahead = seq >= old && seq - old > (c - old) / 4;
        const PcrPacer::Step st = pacer.on_pcr(pcr, ahead);
        if (st.first)
          log_sys("Session[%d]: Username [%s] Video first time=[%5.3f]\n", L.sno, L.s.user, pacer.first_time());
        L.s.last_pcr = pacer.last_pcr();
        L.s.ref_pcr_time = pacer.reference();
        L.s.played_time = pacer.played();
        owed_ms += st.sleep_ms;
      }
      bytes += len;
      ++n;
      if (owed_ms >= kSleepQuantumMs) break;
    }
    if (bytes > 0) {
      L.set_stage("Sending Data");
      if (!send_entries(L, buf, bytes, "Session[%d]: Username [%s] Channel_HTTP_DataThread : iret=[%d] errorno is [%d]\n",
                        true))
        return Leg::kEnd;
    }
    if (lapped) return Leg::kLapped;
    if (owed_ms >= kSleepQuantumMs) {
      L.set_stage("Finding PCR");
      pause_ms(L.s, owed_ms);  // a stop that cuts it short is seen at the top
      owed_ms = 0;
      continue;
    }
    if (n > 0) {
      gathered = false;
      continue;
    }
    // Caught up with the live edge: waiting for the source is pause enough.
    owed_ms = 0;
    L.set_stage("Empty Data");
    if (!input_running(L.ch)) {
      log_sys("Session[%d]: 2.1 CH[%d] is OFF\n", L.sno, L.no);
      return Leg::kEnd;
    }
    if (stop_set(L.s)) {
      log_stop(L);
      return Leg::kEnd;
    }
    if (!gathered) {
      // A running source has committed more by the end of this pause; only when it has
      // not does the player wait on the ring.
      pause_ms(L.s, kCoalesceMs);
      gathered = true;
      continue;
    }
    if (!rd.wait(kRingWaitMs) && L.ch.rt.ring().get() != &ring) {
      // Quiet for a while and the input has started over with a new ring: this one
      // will get nothing more.
      log_sys("Session[%d]: 2.1 CH[%d] is OFF\n", L.sno, L.no);
      return Leg::kEnd;
    }
  }
}

int prebuffer_entries(int ring_size) {
  const int v = config()->i(Key::channel_prebuffer_no);
  return v > 0 ? v : ring_size / 4;
}

void stream_ring(Live& L) {
  RealBufferPtr ring = L.ch.rt.ring();
  if (!ring || !input_running(L.ch)) {
    log_sys("Session[%d]: 4. CH[%d] is OFF\n", L.sno, L.no);
    return;
  }
  RingReader rd(ring);
  bool first = false;
  if (L.ch.def.nCache_On_Demand == 1) {
    int expected = 0;
    first = L.ch.rt.nFirst_Player.compare_exchange_strong(expected, 1);
  }
  if (first) {
    log_sys("Session[%d]: Username [%s] is the first player\n", L.sno, L.s.user);
    rd.seek_oldest();
  } else {
    log_sys("Session[%d]: Username [%s] Head [%d] Tail [%d]\n", L.sno, L.s.user, ring->head(), ring->tail());
    rd.seek_start_point();
    log_sys("Session[%d]: Username [%s] CH [%d] nHas_Data_Buffer_Size=[%d] nReal_Buffer_output_index=[%d]\n", L.sno,
            L.s.user, L.no, ring->filled(), static_cast<int>(rd.position() % static_cast<uint64_t>(ring->size())));
  }
  // The one buffer of this player: a batch of entries. Nothing is allocated after this.
  std::unique_ptr<uint8_t[]> buf(new uint8_t[static_cast<std::size_t>(kBatchEntries) * kEntryBytes]);
  PcrPaceConfig pc;
  pc.tolerance = L.ch.def.tolerance;
  pc.us_per_second = 1000000.0;
  pc.unslept_ms = 3000;
  pc.lag_test = true;
  PcrPacer pacer(pc);
  const int prebuffer = prebuffer_entries(ring->size());
  L.s.status_a.store("RUNNING");
  L.s.status_b.store("RUNNING");
  for (;;) {
    if (find_and_send_pat(L, rd, buf.get()) != Leg::kOn) return;
    Leg leg = burst(L, rd, buf.get(), prebuffer);
    if (leg == Leg::kOn) leg = steady(L, rd, buf.get(), pacer);
    if (leg != Leg::kLapped) return;
    // The writer overtook this player: what it would send next is gone. Start again
    // from the start point, at a PAT.
    log_sys("Session[%d]: Username [%s] CH[%d] fell a whole buffer behind; starting again from [%d]\n", L.sno,
            L.s.user, L.no, static_cast<int>(rd.position() % static_cast<uint64_t>(ring->size())));
  }
}

// ---- folder channels ----

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
      if (!send_entries(L, buf, static_cast<int>(n),
                        "Session[%d]: Username [%s] Channel_HTTP_DataThread : iret=[%d] errorno is [%d]\n", true))
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
  } else if (format == kInputFlv || format == kInputAsf) {
    log_sys("Session[%d]: CH[%d] input format [%d] is not served by this server\n", sno, L.no, format);
  } else if (s.output_type == kOutTs || s.output_type == kOutNone) {
    stream_ring(L);
  } else {
    log_sys("Session[%d]: CH[%d] FLV output is not served by this server\n", sno, L.no);
  }
  finish(s, tid);
  return 0;
}

}  // namespace kx
