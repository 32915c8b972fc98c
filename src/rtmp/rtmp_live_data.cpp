// RTMPDataThread: a live channel played over RTMP. The channel's FLV tag view gives the
// decoder set-up and then media tags from a keyframe; each tag goes out as an RTMP
// message on stream 1 (audio on chunk stream 6, video on 7): a chunk stream's first
// message with a full header and its absolute time, the following ones with the delta
// from the one before.
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "core/text.h"
#include "catalogue/channel_def.h"
#include "ingest/channel_info.h"
#include "net/wait.h"
#include "players/live_flv_tags.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/rtmp_server.h"
#include "subscribers/admission.h"

namespace kx {

namespace {

constexpr uint32_t kAudioCsid = 6;
constexpr uint32_t kVideoCsid = 7;

bool data_stopped(const void* arg) {
  return static_cast<const RtmpSession*>(arg)->stop.load() != 0 || !rtmp_server_running();
}

LiveFlvOptions live_options(const Channel_Info& ch) {
  const ConfigPtr c = config();
  LiveFlvOptions o;
  o.prebuffer = c->i(Key::channel_prebuffer_no);
  o.tolerance = ch.def.tolerance;
  o.source_wait_ms = c->i(Key::player_source_wait) * 1000;
  return o;
}

// The clock of one chunk stream as the player rebuilds it.
struct CsClock {
  bool started = false;
  uint32_t last = 0;
};

// Appends one tag as an RTMP message: a full header when the chunk stream starts or its
// time would go back, else a delta header with the real difference.
bool append_tag(std::vector<uint8_t>& out, const LiveTag& t, CsClock& clock, uint32_t chunk_size) {
  const uint32_t csid = t.type == 9 ? kVideoCsid : kAudioCsid;
  RtmpChunkHeader h;
  if (!clock.started || t.timestamp < clock.last) {
    h = rtmp_form::media_full(csid, t.type, t.timestamp);
  } else {
    h = rtmp_form::media_delta(csid, t.type, t.timestamp - clock.last);
  }
  if (!rtmp_append_message(out, h, t.data, t.size, chunk_size)) return false;
  clock.started = true;
  clock.last = t.timestamp;
  return true;
}

// The tag loop; returns when the channel ends for this player, the player leaves or a
// stop comes.
void stream_live(RtmpSession& s, int n, uint32_t tid, const std::string& user) {
  const int sno = static_cast<int>(s.session_no);
  LiveFlvTags tags(s.channel, SessionLog(sno, user.c_str(), tid, n), live_options(*s.channel));
  if (!tags.open()) return;
  StopToken stop;
  stop.when(data_stopped, &s);
  s.status_a.store("RUNNING");
  s.status_b.store("RUNNING");
  s.stage.store("Sending Data");
  CsClock clocks[2];
  std::vector<uint8_t> out;
  LiveTagBatch b;
  for (;;) {
    if (stop.stopped()) {
      log_sys("Session[%d]: 1. Username [%s] CH[%d] STOP\n", sno, user.c_str(), n);
      return;
    }
    const LiveFlvTags::Next next = tags.next(b);
    if (next == LiveFlvTags::Next::kOff) return;
    if (b.stage) s.stage.store(b.stage);
    out.clear();
    if (next == LiveFlvTags::Next::kTags) {
      for (const LiveTag& t : b.tags) {
        if (t.type != 8 && t.type != 9) continue;  // onMetaData went out with the play answer
        if (!append_tag(out, t, clocks[t.type == 9 ? 1 : 0], s.out_chunk_size.load())) {
          log_sys("Session[%d]: Username [%s] CH[%d] FLV TagType Error\n", sno, user.c_str(), n);
          return;
        }
      }
    }
    if (!out.empty() && !rtmp_send(s, out)) {
      log_sys("Session[%d]: 2. Username [%s] CH[%d] STOP\n", sno, user.c_str(), n);
      return;
    }
    if (b.pause_ms > 0) sleep_for(b.pause_ms, stop);  // a stop that cuts it short is seen above
  }
}

// The checks before streaming; false when the thread ends (logged).
bool may_stream(RtmpSession& s, int n, const std::string& user) {
  const int sno = static_cast<int>(s.session_no);
  ChannelTablePtr table = channel_table();
  const int count = table ? static_cast<int>(table->ch.size()) : 0;
  Channel_Info& ch = *s.channel;
  if (ch.rt.nChannel_Status.load() != kStatusOn) {
    log_sys("Session[%d]: 4. CH[%d] is OFF\n", sno, n);
  } else if (ch.def.nChannel_Type.load() == kTypeInactive) {
    log_sys("Session[%d]: Username [%s] Channel [%d] is INACTIVE\n", sno, user.c_str(), n);
  } else if (s.stop.load() != 0) {
    log_sys("Session[%d]: Thread[%d]: Channel_HTTP_DataThread (IN Cmd STOP)\n", sno, sno);
  } else if (n < 1 || n > count) {
    log_sys("Session[%d]: Username [%s] : IP [%s] try to get CH [%d] in total channel no=[%d], but failed\n", sno,
            user.c_str(), s.ip, n, count);
  } else if (ch.rt.nSource_Valid.load() == 0) {
    log_sys("Session[%d]: Username [%s] : No Programs in Channel [%d]\n", sno, user.c_str(), n);
  } else {
    log_sys("Session[%d]: Username [%s] : IP [%s] try to get CH [%d] in Total CH [%d]\n", sno, user.c_str(), s.ip, n,
            count);
    return true;
  }
  return false;
}

}  // namespace

int RTMPDataThread(void* arg) {
  auto& s = *static_cast<RtmpSession*>(arg);
  const uint32_t tid = current_thread_id();
  const int sno = static_cast<int>(s.session_no);
  const int n = s.channel_no.load();
  const std::string user = escape_controls(s.user);
  log_sys("Session[%d]: Username [%s] RTMPDataThread [0x%x] IN.\n", sno, user.c_str(), tid);
  int server = -1;
  const int admitted = admit_stream("RTMP", server);
  const bool slot = admitted == kAdmitGranted;
  if (!slot) {
    log_sys("Session[%d]: IP [%s] not admitted [%d]\n", sno, s.ip, admitted);
  } else if (s.channel && may_stream(s, n, user)) {
    log_sys("Session[%d]: Username [%s] RTMPDataThread [0x%x] Start Video Streaming\n", sno, user.c_str(), tid);
    rtmp_players().online_add(s);
    s.on_online_list = true;
    s.viewer.take(s.channel);
    stream_live(s, n, tid, user);
  }
  log_sys("Session[%d]: Username [%s] Channel_RTMP_DataThread [0x%x] (CH no.[%d] Close Socket)\n", sno, user.c_str(),
          tid, n);
  log_sys("Session[%d]: Username [%s] IP [%s] stops CH [%d]\n", sno, user.c_str(), s.ip, n);
  rtmp_data_end(s, slot);
  return 0;
}

}  // namespace kx
