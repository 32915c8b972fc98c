// RTMPCmdThread: the handshake, then the message loop that reassembles the peer's
// messages and answers its commands until the peer leaves, a refusal closes the
// connection, a play's data thread is joined by the peer's end, or a publisher's socket
// comes back from its channel's input.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/os/thread.h"
#include "core/text.h"
#include "net/socket.h"
#include "net/wait.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/handshake.h"
#include "rtmp/rtmp_cmd.h"

namespace kx {

namespace {

constexpr int kReadIdleMs = 30000;  // a peer silent this long before it streams is dropped
constexpr std::size_t kReadBlock = 4096;
constexpr int kLingerMs = 2000;  // how long a refused peer is given to read the answer

bool cmd_stopped(const void* arg) {
  return static_cast<const RtmpSession*>(arg)->stop.load() != 0 || !rtmp_server_running();
}

void dispatch_command(RtmpCmd& c, const RtmpMessage& m) {
  RtmpCommand cmd;
  if (!rtmp_parse_command(m.type, m.body, m.length, cmd)) {
    log_sys("Session[%d]: RTMP command not readable, type [%d] length [%d]\n", c.no(), m.type,
            static_cast<int>(m.length));
    return;
  }
  const std::string_view name = cmd.name;
  const uint32_t cs = c.s.out_chunk_size.load();
  std::vector<uint8_t> out;
  if (name == "connect") {
    rtmp_connect(c, cmd);
  } else if (name == "createStream") {
    log_sys("RTMP_NetStream_CreateStream\n");
    if (!cmd_send(c, rtmp_create_stream_result(out, cmd.transaction_id, cs), out)) c.close = true;
  } else if (name == "releaseStream") {
    log_sys("releaseStream\n");
  } else if (name == "getStreamLength") {
    log_sys("Process RTMP_NetStream_GetStreamLength\n");
    if (!cmd_send(c, rtmp_stream_length_answer(out, cs), out)) c.close = true;
  } else if (name == "closeStream") {
    if (!cmd_status(c, RtmpStatus::kUnpublishSuccess)) c.close = true;
  } else if (name == "FCPublish") {
    log_sys("FCpublish\n");
    if (!cmd_status(c, RtmpStatus::kFCPublish)) c.close = true;
  } else if (name == "FCUnpublish") {
    log_sys("FCUnpublish\n");
    if (!cmd_status(c, RtmpStatus::kFCUnpublish)) c.close = true;
  } else if (name == "play") {
    if (c.data_started) return;  // one play per connection
    rtmp_play(c, cmd);
  } else if (name == "publish") {
    if (c.data_started) return;
    rtmp_publish(c, cmd);
  }
  // "call", "deleteStream", "receiveAudio", "receiveVideo", "play2", "pause", "seek" and
  // any other command get no answer.
}

// One whole message; false stops the feed (the connection closes, or a publisher's
// socket goes to its channel's input with the bytes behind this message).
bool on_message(void* user, const RtmpMessage& m) {
  RtmpCmd& c = *static_cast<RtmpCmd*>(user);
  switch (m.type) {
    case kRtmpSetChunkSize:
      log_sys("RTMP Chunk Size =[%d]\n", static_cast<int>(c.reader->chunk_size()));
      break;
    case kRtmpWindowAckSize: {
      log_sys("Receive Server BW\n");
      std::vector<uint8_t> out;
      if (!cmd_send(c, rtmp_window_ack_size(out, kRtmpAnswerWindow), out)) c.close = true;
      break;
    }
    case kRtmpSetPeerBandwidth:
      log_sys("Receive Client BW\n");
      break;
    case kRtmpCommand:
    case kRtmpAmf3Command:
      dispatch_command(c, m);
      break;
    default:
      break;  // user control, acknowledgements, data and media before a publish
  }
  return !c.close && c.publish_channel == 0;
}

// Feeds bytes to the reader; false when the loop ends. A publish hands the rest over.
bool feed(RtmpCmd& c, const uint8_t* p, std::size_t n) {
  const std::size_t used = c.reader->feed(p, n, on_message, &c);
  if (c.reader->failed()) {
    log_sys("Session[%d]: IP [%s] RTMP stream error: %s\n", c.no(), c.s.ip, c.reader->error());
    return false;
  }
  if (c.close) return false;
  if (c.publish_channel != 0) {
    rtmp_hand_off(c, std::vector<uint8_t>(p + used, p + n));
    return false;
  }
  return true;
}

void message_loop(RtmpCmd& c, std::vector<uint8_t> surplus) {
  if (!surplus.empty() && !feed(c, surplus.data(), surplus.size())) return;
  StopToken stop;
  stop.when(cmd_stopped, &c.s);
  uint8_t buf[kReadBlock];
  for (;;) {
    const Wait w = wait_readable(c.fd, stop, Deadline::after(kReadIdleMs));
    if (w == Wait::kStopped) return;
    if (w == Wait::kTimeout) {
      if (c.data_started) continue;  // a player that watches need not talk
      log_sys("Session[%d]: IP [%s] RTMP Socket TimeOut\n", c.no(), c.s.ip);
      return;
    }
    if (w == Wait::kError) return;
    const long n = recv_some(c.fd, buf, sizeof buf, 0);
    if (n == -2) continue;
    if (n <= 0) return;
    if (!feed(c, buf, static_cast<std::size_t>(n))) return;
  }
}

// After a refusal: the answer is on its way, and closing with unread bytes from the peer
// would reset the connection and could lose it. The sending side is closed first and
// what the peer still sends is read and dropped, briefly.
void close_gently(RtmpCmd& c) {
  if (c.fd < 0 || ::shutdown(c.fd, SHUT_WR) != 0) return;
  StopToken stop;
  stop.when(cmd_stopped, &c.s);
  const Deadline until = Deadline::after(kLingerMs);
  uint8_t buf[kReadBlock];
  while (wait_readable(c.fd, stop, until) == Wait::kReady) {
    const long n = recv_some(c.fd, buf, sizeof buf, 0);
    if (n == 0 || n == -1) return;
  }
}

void run_session(RtmpCmd& c) {
  StopToken stop;
  stop.when(cmd_stopped, &c.s);
  std::vector<uint8_t> surplus;
  const HandshakeEnd end = rtmp_server_handshake(c.fd, stop, kRtmpHandshakeMs, surplus);
  if (end != HandshakeEnd::kDone) {
    log_sys("Session[%d]: IP [%s] RTMP handshake ended: %s\n", c.no(), c.s.ip, handshake_end_text(end));
    return;
  }
  c.reader = std::make_unique<RtmpChunkReader>();
  message_loop(c, std::move(surplus));
  if (c.close && !c.data_started) close_gently(c);
}

}  // namespace

bool cmd_send(RtmpCmd& c, bool built, const std::vector<uint8_t>& out) {
  if (!built) return false;
  if (rtmp_send(c.s, out)) return true;
  log_sys("Session[%d]: IP [%s] RTMP answer not sent\n", c.no(), c.s.ip);
  return false;
}

bool cmd_status(RtmpCmd& c, RtmpStatus which) {
  std::vector<uint8_t> out;
  return cmd_send(c, rtmp_status(out, which, c.client_id, c.s.watching, c.s.out_chunk_size.load()), out);
}

int RTMPCmdThread(void* arg) {
  auto& s = *static_cast<RtmpSession*>(arg);
  log_sys("*** RTMPCmdThread [0x%x] IN\n", current_thread_id());
  s.data_state.store(kSlotJoined);  // until a data thread is started
  {
    RtmpCmd c(s);
    c.fd = s.sock.load();
    c.client_id = c.fd;
    run_session(c);
    if (!c.data_started) {
      user_left(s);
      s.open_file.close();
      s.channel.reset();
    }
  }
  s.stop.store(1);
  log_sys("*** RTMPCmdThread [0x%x] OUT\n", current_thread_id());
  rtmp_thread_done(s);
  s.cmd_state.store(kSlotFinished);
  return 0;
}

}  // namespace kx
