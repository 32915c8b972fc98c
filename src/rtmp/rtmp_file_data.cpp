// IPTV_PS_RTMP_DataThread: an FLV file below the program folder played over RTMP. Its
// tags go out as RTMP messages (audio on chunk stream 6, video and data on 7), paced by
// their timestamps after a first few seconds sent at once.
#include <cstring>
#include <vector>

#include "core/log.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "core/text.h"
#include "formats/flv.h"
#include "net/wait.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/rtmp_server.h"
#include "subscribers/admission.h"

namespace kx {

namespace {

constexpr uint32_t kUnsleptMs = 3000;  // stream time sent without waiting
constexpr uint32_t kTagMax = 4 * 1024 * 1024;

bool data_stopped(const void* arg) {
  return static_cast<const RtmpSession*>(arg)->stop.load() != 0 || !rtmp_server_running();
}

bool read_exact(File& f, uint8_t* p, std::size_t n) {
  while (n > 0) {
    const int64_t got = f.read(p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

enum class FileEnd { kEof, kSendFailed, kStopped, kBadFile };

// Sends the file's tags from the first one on; how the loop ended.
FileEnd send_tags(RtmpSession& s) {
  File& f = s.open_file;
  uint8_t head[kFlvFileHeaderSize];
  FlvFileHeader fh;
  if (!read_exact(f, head, sizeof head) || !flv_parse_file_header(head, sizeof head, fh) ||
      !f.seek(static_cast<int64_t>(fh.data_offset) + 4))
    return FileEnd::kBadFile;
  StopToken stop;
  stop.when(data_stopped, &s);
  const int64_t start = mono_ms();
  std::vector<uint8_t> body, out;
  for (;;) {
    uint8_t th[kFlvTagHeaderSize];
    if (!read_exact(f, th, sizeof th)) return FileEnd::kEof;
    FlvTagHeader tag;
    if (!flv_parse_tag_header(th, sizeof th, tag) || tag.data_size > kTagMax) return FileEnd::kBadFile;
    body.resize(tag.data_size);
    if (!read_exact(f, body.data(), body.size())) return FileEnd::kEof;
    uint8_t prev[4];
    if (!read_exact(f, prev, sizeof prev)) return FileEnd::kEof;
    if (tag.type == kFlvTagScript || tag.data_size == 0) continue;
    // Waits until the tag's time has come, the first seconds excepted.
    if (tag.timestamp > kUnsleptMs) {
      const int64_t due = start + (tag.timestamp - kUnsleptMs);
      const int64_t wait = due - mono_ms();
      if (wait > 0 && !sleep_for(wait, stop)) return FileEnd::kStopped;
    }
    if (stop.stopped()) return FileEnd::kStopped;
    const bool video = tag.type == kFlvTagVideo;
    const uint32_t csid = video ? 7 : 6;
    // Full headers with absolute times: the player's clock stays exact whatever was skipped.
    const RtmpChunkHeader h = rtmp_form::media_full(csid, static_cast<uint8_t>(tag.type), tag.timestamp);
    out.clear();
    if (!rtmp_append_message(out, h, body.data(), body.size(), s.out_chunk_size.load())) return FileEnd::kBadFile;
    if (!rtmp_send(s, out)) return stop.stopped() ? FileEnd::kStopped : FileEnd::kSendFailed;
  }
}

}  // namespace

// The end both data threads share: off the online list, the viewer and the slot back, the
// socket to whichever of the session's threads is last.
void rtmp_data_end(RtmpSession& s, bool slot) {
  s.status_a.store("CLOSING");
  s.status_b.store("CLOSING");
  s.stop.store(1);
  rtmp_players().online_remove(s);
  s.on_online_list = false;
  s.viewer.give_back(nullptr);
  user_left(s);
  if (slot) release_stream("RTMP");
  s.open_file.close();
  s.channel.reset();
  log_sys("Session[%d]: Username [%s] The no. of active players is [%d]\n", static_cast<int>(s.session_no), s.user,
          active_streams());
  rtmp_thread_done(s);
  s.data_state.store(kSlotFinished);
}

int IPTV_PS_RTMP_DataThread(void* arg) {
  auto& s = *static_cast<RtmpSession*>(arg);
  log_sys("*** IPTV_RM_DataThread [0x%x] IN\n", current_thread_id());
  int server = -1;
  const bool slot = admit_stream("RTMP", server) == kAdmitGranted;
  const std::string name = escape_controls(s.watching);
  if (!slot) {
    log_sys("Session[%d]: IP [%s] not admitted\n", static_cast<int>(s.session_no), s.ip);
  } else if (s.stop.load()) {
    log_sys("Thread[%d]: IPTV_PS_RTMP_DataThread (IN Cmd STOP)\n", static_cast<int>(s.session_no));
  } else {
    log_sys("RTMPDataThread IN: filename=[%s]\n", name.c_str());
    rtmp_players().online_add(s);
    s.on_online_list = true;
    log_sys("RTMPDataThread IN: filename=[%s] Bitrate=[%f], Sleeptime=[%d]\n", name.c_str(), s.file_bitrate, 0);
    s.stage.store("Sending Data");
    switch (send_tags(s)) {
      case FileEnd::kEof: log_sys("RTMPDataThread OUT (EOF): filename=[%s]\n", name.c_str()); break;
      case FileEnd::kSendFailed:
        log_sys("*** IPTV_PS_RTMP_DataThread [0x%x] Player closes TCP Socket : filename=[%s], Warning Code [%d]\n",
                current_thread_id(), name.c_str(), 0);
        break;
      case FileEnd::kBadFile: log_sys("RTMPDataThread OUT (Bad FLV tag): filename=[%s]\n", name.c_str()); break;
      case FileEnd::kStopped: break;
    }
    log_sys("RTMPDataThread OUT (Fclose file): filename=[%s]\n", name.c_str());
  }
  if (slot) release_stream("RTMP");
  log_sys("*** IPTV_PS_RTMP_DataThread_Enable_Connection [%d] OUT: filename=[%s]\n", active_streams(), name.c_str());
  rtmp_data_end(s, false);
  return 0;
}

}  // namespace kx
