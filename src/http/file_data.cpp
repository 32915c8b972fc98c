// The data threads of file requests: the command thread has opened the file, sent the
// header and set the byte range; these send exactly that range, paced by the stream's
// PCR (TS media), by the file's bit rate (MP4/MPEG and FLV) or not at all.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/config.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "core/process_state.h"
#include "http/data_io.h"
#include "http/http_server.h"
#include "players/pacing.h"
#include "movies/probe_cache.h"
#include "subscribers/admission.h"

namespace kx {

namespace {

enum class Pace { kNone, kPcr, kMp4Rate, kFlvRate };

struct FileKind {
  const char* name;       // the thread's name in its log lines
  int block;              // bytes read and sent per step
  Pace pace;
  bool plain;             // HTTPDataThread: no online entry, no slot, its own log lines
  const char* in_prefix;  // before the IN and OUT lines
  bool eof_with_thread;   // the EOF line names the thread number
};

constexpr FileKind kPlain{"HTTPDataThread", 1316, Pace::kNone, true, "", false};
constexpr FileKind kMedia{"HTTPMediaDataThread", 1316, Pace::kPcr, false, "*** ", true};
constexpr FileKind kPs{"IPTV_PS_HTTP_DataThread", 1452, Pace::kMp4Rate, false, "*** ", true};
constexpr FileKind kFlv{"IPTV_FLV_HTTP_DataThread", 1452, Pace::kFlvRate, false, "*** ", true};
constexpr FileKind kAvi{"VOD_AVI_HTTP_DataThread", 1452, Pace::kNone, false, "", false};
constexpr FileKind kMkv{"VOD_MKV_HTTP_DataThread", 1452, Pace::kNone, false, "", false};
constexpr int kMaxBlock = 1452;

// The watching name as a path that can be opened for probing: as it is, or under the
// working directory.
std::string probe_path(const char* watching) {
  std::string w = watching;
  if (w.empty() || file_exists(w)) return w;
  std::size_t skip = 0;
  while (skip < w.size() && w[skip] == '/') ++skip;
  return g_work_dir + "/" + w.substr(skip);
}

// The pacing of one thread: at most one of the two pacers is in use.
struct Pacing {
  Pace kind = Pace::kNone;
  PcrPacer pcr{PcrPaceConfig{}};
  RatePacer rate{RatePaceConfig{}};
};

void set_up_pacing(const FileKind& k, PlayerSession& s, uint32_t tid, Pacing& p) {
  const double bc = effective_bitrate_constant(config()->f(Key::bitrate_constant));
  switch (k.pace) {
    case Pace::kNone:
      return;
    case Pace::kPcr: {
      // Only TS content carries the clock; other media go out as they are.
      if (std::strstr(s.watching, ".ts") == nullptr) return;
      PcrPaceConfig c;
      c.tolerance = bc;
      c.us_per_second = 800000.0;
      c.unslept_ms = 20000;
      c.lag_test = false;
      p.pcr = PcrPacer(c);
      p.kind = Pace::kPcr;
      return;
    }
    case Pace::kMp4Rate: {
      const std::string path = probe_path(s.watching);
      int kbit = cached_kbitrate(path);
      if (kbit <= 0) kbit = 0;  // no movie header: the MP4 probe has nothing else to offer
      RatePaceConfig c;
      c.bitrate_constant = bc;
      c.kbitrate = kbit;
      c.factor = 3500;
      c.batch_ms = 12;
      p.rate = RatePacer(c);
      p.kind = Pace::kMp4Rate;
      log_sys("Thread[%x]: %s filename=[%s] Bitrate=[%d]\n", tid, k.name, s.watching, kbit);
      return;
    }
    case Pace::kFlvRate: {
      log_sys("HTTPDataThread IN: filename=[%s]\n", s.watching);
      double seconds = 0, kbit = 0;
      cached_flv_info(probe_path(s.watching), seconds, kbit);
      RatePaceConfig c;
      c.bitrate_constant = bc;
      c.kbitrate = kbit;
      c.factor = 4000;
      c.batch_ms = 0;
      p.rate = RatePacer(c);
      p.kind = Pace::kFlvRate;
      log_sys("HTTPDataThread IN: filename=[%s] Bitrate=[%f], Sleeptime=[%d]\n", s.watching, kbit,
              static_cast<int>(p.rate.block_us(kMaxBlock)));
      return;
    }
  }
}

// Milliseconds to sleep after sending one block.
int pace_block(Pacing& p, const uint8_t* data, int len, int block) {
  switch (p.kind) {
    case Pace::kPcr: {
      uint64_t pcr = 0;
      return first_pcr(data, len, pcr) ? p.pcr.on_pcr(pcr, false).sleep_ms : 0;
    }
    case Pace::kMp4Rate:
      return p.rate.on_block(len);
    case Pace::kFlvRate:
      return p.rate.on_block(block);  // a fixed time per block, as its bit rate gives it
    case Pace::kNone:
      break;
  }
  return 0;
}

void send_range(const FileKind& k, PlayerSession& s, uint32_t tid) {
  const int sno = static_cast<int>(s.session_no);
  File& f = s.open_file;
  // The range never reaches past the file, whatever the header said.
  const int64_t size = f.size();
  int64_t end = s.range_end;
  if (size >= 0) end = std::min(end, size);
  int64_t pos = std::max<int64_t>(s.range_start, 0);
  if (pos >= end) {
    log_sys("***[%d] Cur POS=[%lld] Stop POS=[%lld] Seek POS=[%lld]\n", sno, static_cast<long long>(s.range_start),
            static_cast<long long>(end), static_cast<long long>(pos));
    return;
  }
  if (!f.seek(pos)) {
    log_sys("Error ***[%d] Cur POS=[%lld] Stop POS=[%lld] Seek POS=[%lld]\n", sno,
            static_cast<long long>(s.range_start), static_cast<long long>(end), static_cast<long long>(pos));
    return;
  }
  log_sys("***[%d] Cur POS=[%lld] Stop POS=[%lld] Seek POS=[%lld]\n", sno, static_cast<long long>(s.range_start),
          static_cast<long long>(end), static_cast<long long>(pos));

  Pacing pacing;
  set_up_pacing(k, s, tid, pacing);
  uint8_t buf[kMaxBlock];
  bool running = false;
  while (http_serving() && !s.stop.load(std::memory_order_relaxed) && pos < end) {
    const int want = static_cast<int>(std::min<int64_t>(k.block, end - pos));
    const int64_t n = f.read(buf, static_cast<std::size_t>(want));
    if (n < 0) {
      // Reported once: the thread ends rather than trying the same read again.
      log_sys("Thread[%x]: %s read error [%d]: filename=[%s]\n", tid, k.name, errno, s.watching);
      break;
    }
    if (n == 0) {
      if (k.eof_with_thread)
        log_sys("Thread[%x]: %s OUT (EOF): filename=[%s]\n", tid, k.name, s.watching);
      else
        log_sys("%s OUT (EOF): filename=[%s]\n", k.name, s.watching);
      break;
    }
    pos += n;
    s.range_start = pos;
    if (!running) {
      set_state(s, "RUNNING", "Sending Data");
      running = true;
    }
    int err = 0;
    const int sr = send_body(s, buf, static_cast<std::size_t>(n), err);
    if (sr != kSendDone) {
      if (sr == kSendFailed) {
        log_sys("*** %s [0x%x] Player closes TCP Socket : filename=[%s], Warning Code [%d]\n", k.name, tid,
                s.watching, err);
        s.stop.store(1);
      }
      break;
    }
    const int ms = pace_block(pacing, buf, static_cast<int>(n), k.block);
    if (ms > 0) pause_ms(s, ms);
  }
}

int run_file_thread(const FileKind& k, void* arg) {
  if (arg == nullptr) return 0;
  PlayerSession& s = *static_cast<PlayerSession*>(arg);
  const uint32_t tid = current_thread_id();
  if (!k.plain) {
    log_sys("%s%s [0x%x] IN\n", k.in_prefix, k.name, tid);
  }
  bool opened = s.open_file.is_open();
  if (!opened) {
    log_sys("Thread[%x]: HTTPDataThread [%s] Open failed\n", tid, s.watching);
  } else if (s.stop.load() && !k.plain) {
    log_sys("Thread[%x]: %s (IN Cmd STOP)\n", tid, k.name);
    set_field(s.watching, "(IN Cmd STOP)");
  } else {
    if (!k.plain) {
      log_sys("IP [%s] try to get [%s]\n", s.ip, s.watching);
      http_players().online_add(s);  // the command thread has stamped the start time
    }
    send_range(k, s, tid);
  }
  if (opened) {
    if (k.plain)
      log_sys("Thread[%x]: HTTPDataThread OUT (Close file): filename=[%s]\n", tid, s.watching);
    else
      log_sys("Thread[%x]: %s OUT (Close file): filename=[%s]\n", tid, k.name, s.watching);
    s.open_file.close();
  }
  // The session may go once it is handed over: keep what the last lines need.
  std::string name = s.watching, ip = s.ip;
  end_data_thread(s);  // logs the connection count once the slot is back
  if (k.plain) {
    log_sys("HTTPDataThread: IP [%s] got [%s]\n", ip.c_str(), name.c_str());
    return 0;
  }
  if (k.pace == Pace::kPcr)
    log_sys("*** HTTPMediaDataThread [0x%x] OUT: filename=[%s]\n", tid, name.c_str());
  else if (k.pace == Pace::kFlvRate)
    log_sys("*** IPTV_FLV_HTTP_DataThread_Enable_Connection [%d] OUT: filename=[%s]\n", active_streams(),
            name.c_str());
  else
    log_sys("IP [%s] got [%s]\n", ip.c_str(), name.c_str());
  return 0;
}

}  // namespace

int HTTPDataThread(void* session) { return run_file_thread(kPlain, session); }
int HTTPMediaDataThread(void* session) { return run_file_thread(kMedia, session); }
int IPTV_PS_HTTP_DataThread(void* session) { return run_file_thread(kPs, session); }
int IPTV_FLV_HTTP_DataThread(void* session) { return run_file_thread(kFlv, session); }
int VOD_AVI_HTTP_DataThread(void* session) { return run_file_thread(kAvi, session); }
int VOD_MKV_HTTP_DataThread(void* session) { return run_file_thread(kMkv, session); }

}  // namespace kx
