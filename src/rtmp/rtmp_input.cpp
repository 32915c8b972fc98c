// One RTMP connection of a channel: for a pulled source, resolve, connect, handshake,
// connect / createStream / play; for an encoder, the publisher's connection as its session
// lends it. Then the same read loop: the chunk reader turns the bytes into messages, the
// media messages become FLV for the channel's feed, commands and status answers decide
// whether the stream goes on.
#include "rtmp/rtmp_input.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/os/time.h"
#include "core/text.h"
#include "core/config.h"
#include "formats/amf0.h"
#include "ingest/flv_feed.h"
#include "ingest/source_check.h"
#include "net/dns.h"
#include "net/socket.h"
#include "net/wait.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/client_messages.h"
#include "rtmp/encoder_port.h"
#include "rtmp/handshake.h"
#include "rtmp/messages.h"
#include "rtmp/rtmp_media.h"

namespace kx {

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kSendIdleMs = 10000;
constexpr int kFarewellIdleMs = 500;      // the deleteStream sent on the way out
constexpr int kPullSilenceMs = 10000;     // a pulled source silent this long is reconnected
constexpr int kEncoderSilenceMs = 30000;  // an encoder silent this long is let go
constexpr int64_t kSetupMs = 30000;       // from the connection to the first media message
constexpr int kRecvBufferBytes = 2 << 20;
constexpr std::size_t kReadBytes = 16384;
constexpr int kKeepAliveReads = 30;
constexpr int kUserControlsMax = 10;  // while waiting for the first media message
constexpr int kTakeSliceMs = 1000;    // an encoder is waited for in slices that see commands
constexpr std::size_t kLogTextMax = 200;
constexpr uint16_t kEventPingRequest = 6, kEventPingResponse = 7;
constexpr double kConnectTransaction = 1, kCreateTransaction = 2, kDeleteTransaction = 3;

constexpr int kGoOn = -1;  // beside the BranchEnd values: the connection goes on

enum class Phase { kConnect, kCreateStream, kPlay, kMedia };

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string loggable(std::string_view v) { return escape_controls(v.substr(0, kLogTextMax)); }

struct Pass {
  Pass(InputContext& c, int socket, RtmpChunkReader& r, bool is_pull)
      : ctx(c), ch(*c.ch), n(c.number()), fd(socket), reader(r), pull(is_pull), feed(c, false) {}
  InputContext& ctx;
  Channel_Info& ch;
  int n;
  int fd;  // a pulled connection's own socket, or the encoder's lent one (never closed here)
  RtmpChunkReader& reader;
  bool pull;
  FlvFeed feed;
  RtmpFlvWriter flv;
  std::vector<uint8_t> flv_bytes;
  Phase phase = Phase::kConnect;
  RtmpPullTarget target;
  uint32_t stream_id = 1;
  int user_controls = 0;
  bool on = false;  // media arrived: the channel is on
  bool logged_avc = false, logged_aac = false;
  bool avc_announced = false;  // the metadata named H.264 video
  uint32_t peer_window = 0;
  uint64_t received = 0, acked = 0;
  int reads = 0;
  int end = kGoOn;
};

// This connection is over; the branch ends by a command, or reconnects.
void fail(Pass& p) {
  if (p.end == kGoOn) p.end = p.pull ? kEndSourceFailed : kEndSwitchNow;
}

bool send_bytes(Pass& p, const std::vector<uint8_t>& out) {
  int err = 0;
  return send_all(p.fd, out.data(), out.size(), p.ctx.ending_token(), kSendIdleMs, err) == Sent::kDone;
}

void flush_flv(Pass& p) {
  if (p.flv_bytes.empty()) return;
  p.feed.take(p.flv_bytes.data(), p.flv_bytes.size());
  p.flv_bytes.clear();
}

// ---- the messages ----

void log_metadata(const Pass& p, const StreamMeta& m) {
  const int n = p.n;
  log_admin("RTMPDataThread CH[%d], IN: width=[%5.1f], height=[%5.1f] framerate=[%5.1f]\n", n, m.width, m.height,
            m.framerate);
  if (m.videocodecid < 0)
    log_admin("RTMPDataThread CH[%d], IN: videocodecid=[%s] videodatarate=[%5.1f]\n", n,
              loggable(m.video_codec).c_str(), m.videodatarate);
  else
    log_admin("RTMPDataThread CH[%d], IN: videocodecid=[%5.1f] videodatarate=[%5.1f]\n", n, m.videocodecid,
              m.videodatarate);
  if (m.audiocodecid < 0)
    log_admin("RTMPDataThread CH[%d], IN: audiocodecid=[%s] audiodatarate=[%5.1f]\n", n,
              loggable(m.audio_codec).c_str(), m.audiodatarate);
  else
    log_admin("RTMPDataThread CH[%d], IN: audiocodecid=[%5.1f] audiodatarate=[%5.1f]\n", n, m.audiocodecid,
              m.audiodatarate);
  log_admin("RTMPDataThread CH[%d], IN: audiochannels=[%5.1f], audiosamplerate=[%5.1f]\n", n, m.audiochannels,
            m.audiosamplerate);
  // Data rates are kbit/s; a sum of 0 means no pacing (the feed estimates the rate).
  const double sum = m.videodatarate + m.audiodatarate;
  const int kbps = sum >= 1 && sum < 1e7 ? static_cast<int>(sum) : 0;
  if (kbps == 0) {
    log_admin("RTMPDataThread CH[%d] No Bitrate Information\n", n);
    return;
  }
  log_admin("RTMPDataThread CH[%d], IN: Bitrate=[%d], Sleeptime=[%d]\n", n, kbps,
            flv_sleep_time_ms(kbps, p.ch.def.tolerance, false));
}

void on_metadata(Pass& p, const RtmpMessage& m) {
  const std::size_t skip = m.type == kRtmpAmf3Command && m.length > 0 ? 1 : 0;
  StreamMeta meta;
  if (!rtmp_read_metadata(m.body + skip, m.length - skip, meta)) return;
  log_metadata(p, meta);
  p.avc_announced = meta.videocodecid == 7 || meta.video_codec == "avc1";
  p.flv.metadata(meta, p.flv_bytes);  // the first one describes the stream
  flush_flv(p);
}

// Media flows: the channel is on.
void turn_on(Pass& p) {
  p.on = true;
  p.phase = Phase::kMedia;
  p.ch.rt.status.store(kStRtmpReturned);
  p.ch.rt.nInput_Format.store(1);  // the channel carries FLV
  start_side_threads(p.ctx);
  p.ch.rt.set_on();
  p.ch.rt.tStart_Time.store(wall_seconds());
  p.ch.rt.status.store(kStOn);
  log_admin("CH [%d]: RTMP Input is ON\n", p.n);
}

// Logs the decoder set-up once per connection; true when m carries one.
bool log_decoder_setup(Pass& p, const RtmpMessage& m) {
  if (m.type == kRtmpVideo && rtmp_is_avc_sequence_header(m.body, m.length)) {
    if (p.logged_avc) return true;
    p.logged_avc = true;
    // As kept for players: behind a 12-byte chunk header.
    log_admin("CH [%d] Get SPS and PPS Stream [%d] bytes\n", p.n, static_cast<int>(m.length + 12));
    return true;
  }
  RtmpAacInfo aac;
  if (m.type == kRtmpAudio && rtmp_aac_sequence_header(m.body, m.length, aac)) {
    if (p.logged_aac) return true;
    p.logged_aac = true;
    const uint8_t* b = m.body;
    log_admin("CH [%d] Audio Channel No [%d], Sample Frequency Index [%d]\n", p.n, aac.channels, aac.freq_index);
    if (m.length >= 7)
      log_admin("CH [%d] Audio Config = [0x%x 0x%x 0x%x 0x%x  0x%x 0x%x 0x%x]\n", p.n, b[0], b[1], b[2], b[3], b[4],
                b[5], b[6]);
    else
      log_admin("CH [%d] Audio Config = [0x%x 0x%x 0x%x 0x%x]\n", p.n, b[0], b[1], b[2], b[3]);
    return true;
  }
  return false;
}

void on_media(Pass& p, const RtmpMessage& m) {
  if (m.length == 0) return;
  const bool setup = log_decoder_setup(p, m);
  p.flv.media(m, p.flv_bytes);
  flush_flv(p);
  // On with the first media after the sequence headers: its tag completes theirs, so
  // the channel's set-up is published before a player can come. Audio may come first
  // (a server sends the video's header with its next keyframe): while an announced H.264
  // stream's header is still to come, audio leaves the channel off.
  if (!p.on && !setup && (m.type != kRtmpAudio || p.logged_avc || !p.avc_announced)) turn_on(p);
}

void on_user_control(Pass& p, const RtmpMessage& m) {
  if (m.length < 2) return;
  const uint16_t event = static_cast<uint16_t>((m.body[0] << 8) | m.body[1]);
  if (p.pull && event == kEventPingRequest && m.length >= 6) {
    std::vector<uint8_t> out;
    if (rtmp_user_control(out, kEventPingResponse, be32(m.body + 2)) && !send_bytes(p, out)) fail(p);
  }
  if (p.phase == Phase::kPlay && ++p.user_controls > kUserControlsMax) {
    log_admin("CH [%d]: RTMP Input [%d] user control messages without media\n", p.n, p.user_controls);
    fail(p);
  }
}

// _result of connect: the stream is asked for.
void after_connect(Pass& p) {
  std::vector<uint8_t> out;
  rtmp_window_ack_size(out, kRtmpClientWindow);
  log_admin("Send Server BW command\n");
  rtmp_client_buffer_length(out, 0, kRtmpClientBufferMs);
  log_admin("Send Ping command\n");
  rtmp_client_create_stream(out, kCreateTransaction);
  log_admin("Send createStream command\n");
  if (!send_bytes(p, out)) return fail(p);
  p.phase = Phase::kCreateStream;
}

// _result of createStream: its stream id (1 when the answer has none that fits), then play.
void after_create_stream(Pass& p, const RtmpCommand& cmd) {
  Amf0Reader r(cmd.args, static_cast<int>(std::min<std::size_t>(cmd.args_len, 0x7FFFFFFF)));
  double id = 0;
  if (r.skip_value() && r.read_number(id) && id >= 1 && id <= 1e6) p.stream_id = static_cast<uint32_t>(id);
  std::vector<uint8_t> out;
  if (!rtmp_client_play(out, p.stream_id, p.target.stream)) return fail(p);
  log_admin("Send rtmp play command\n");
  if (!send_bytes(p, out)) return fail(p);
  p.phase = Phase::kPlay;
}

void on_status(Pass& p, const RtmpCommand& cmd) {
  std::string_view code;
  double number = 0;
  if (rtmp_command_property(cmd, "code", code, number) != 2) {
    log_admin("code not Found\n");
    return fail(p);
  }
  if (code == "NetStream.Play.InsufficientBW") {
    log_admin("CH[%d] : RTMP input Insufficent Bandwidth\n", p.n);
  } else if (code == "NetStream.Play.StreamNotFound") {
    log_admin("CH[%d] : RTMP input not found from RTMP Server\n", p.n);
  } else if (code == "NetStream.Play.UnpublishNotify") {
    log_admin("CH[%d] : RTMP input UnpublishNotify\n", p.n);
  } else if (code == "NetStream.Play.Stop" ||
             (code.size() >= 7 && code.substr(code.size() - 7) == ".Failed")) {
    log_admin("CH[%d] : RTMP Response Error Message [%s]\n", p.n, loggable(code).c_str());
  } else {
    return;  // Play.Start, Play.Reset, PublishNotify and the like
  }
  fail(p);
}

void on_command(Pass& p, const RtmpMessage& m) {
  RtmpCommand cmd;
  if (!rtmp_parse_command(m.type, m.body, m.length, cmd)) return;
  const std::string_view name = cmd.name;
  if (name == "onMetaData" || name == "@setDataFrame") return on_metadata(p, m);
  if (name.substr(0, 4) == "onFI") return;
  log_admin("CH[%d] : Command[%s] Channel ID[%d], Chunk MSG Length[%d],AMFType [%d]\n", p.n,
            loggable(name).c_str(), static_cast<int>(m.csid), static_cast<int>(m.length), m.type);
  if (name == "_result") {
    log_admin("CH[%d] : RTMP Response for MSG_Type_ID=0x%x [%s]\n", p.n, m.type, "_result");
    if (p.phase == Phase::kConnect && cmd.transaction_id == kConnectTransaction) return after_connect(p);
    if (p.phase == Phase::kCreateStream && cmd.transaction_id == kCreateTransaction)
      return after_create_stream(p, cmd);
  } else if (name == "_error") {
    std::string_view text;
    double number = 0;
    if (rtmp_command_property(cmd, "description", text, number) != 2 &&
        rtmp_command_property(cmd, "code", text, number) != 2)
      text = "";
    log_admin("CH[%d] : RTMP Response Error Message [%s]\n", p.n, loggable(text).c_str());
    fail(p);
  } else if (name == "onStatus") {
    on_status(p, cmd);
  } else if (name == "FCUnpublish" || name == "closeStream" || name == "deleteStream") {
    fail(p);
  }
}

bool on_message(void* user, const RtmpMessage& m) {
  Pass& p = *static_cast<Pass*>(user);
  switch (m.type) {
    case kRtmpSetChunkSize:
      if (p.on) log_admin("1. Chunk Size is changed to %d\n", static_cast<int>(p.reader.chunk_size()));
      else log_admin("CH[%d] : RTMP Chunk Size =[%d]\n", p.n, static_cast<int>(p.reader.chunk_size()));
      break;
    case kRtmpAck:
      if (m.csid == 2) log_admin("CH [%d]: RTMP get Ping 03 02 Command \n", p.n);
      break;
    case kRtmpUserControl:
      on_user_control(p, m);
      break;
    case kRtmpWindowAckSize:
      if (m.length >= 4) p.peer_window = be32(m.body);
      break;
    case kRtmpAudio:
    case kRtmpVideo:
    case 22:  // aggregate
      on_media(p, m);
      break;
    case kRtmpData:
    case kRtmpCommand:
    case kRtmpAmf3Command:
      on_command(p, m);
      break;
    default:
      break;
  }
  return p.end == kGoOn;
}

// ---- the read loop ----

void process(Pass& p, const uint8_t* data, std::size_t n) {
  p.received += n;
  std::size_t used = 0;
  while (used < n && p.end == kGoOn) {
    const std::size_t k = p.reader.feed(data + used, n - used, on_message, &p);
    if (p.reader.failed()) {
      log_admin("CH[%d] Reader Input Link: RTMP Data Error [%s], Chunk Size [%d]\n", p.n, p.reader.error(),
                static_cast<int>(p.reader.chunk_size()));
      return fail(p);
    }
    if (k == 0) break;
    used += k;
  }
  // Acknowledge each window the server set, so a server that waits for them goes on.
  if (p.pull && p.end == kGoOn && p.peer_window > 0 && p.received - p.acked >= p.peer_window) {
    std::vector<uint8_t> out;
    p.acked = p.received;
    if (rtmp_client_ack(out, static_cast<uint32_t>(p.received)) && !send_bytes(p, out)) fail(p);
  }
}

void keep_alive(Pass& p) {
  std::vector<uint8_t> out;
  if (rtmp_user_control(out, 0, p.stream_id) && !send_bytes(p, out)) fail(p);
}

// Reads until the connection ends; every wait ends on the channel's commands.
int read_loop(Pass& p, const uint8_t* ahead, std::size_t ahead_len, int silence_ms) {
  const StopToken stop = p.ctx.ending_token();
  const Deadline setup = Deadline::after(kSetupMs);
  std::vector<uint8_t> buf(kReadBytes);
  if (ahead_len > 0) process(p, ahead, ahead_len);
  while (p.end == kGoOn) {
    if (!p.on && setup.passed()) {
      log_admin(p.pull ? "CH [%d]: QVRTMP_play failed \n" : "CH [%d]: RTMP Encoder sends no media\n", p.n);
      fail(p);
      break;
    }
    const Deadline until = Deadline::after(p.on ? silence_ms : std::min(silence_ms, setup.left_ms(silence_ms) + 1));
    const Wait w = wait_readable(p.fd, stop, until);
    if (w == Wait::kStopped) return kEndCommand;
    if (w == Wait::kTimeout) {
      if (!p.on && setup.passed()) continue;
      log_admin("CH [%d]: RTMP Data Timeout [%d] ms\n", p.n, silence_ms);
      fail(p);
      break;
    }
    if (w == Wait::kError) {
      log_admin("CH [%d]: RTMP Socket error\n", p.n);
      fail(p);
      break;
    }
    const ssize_t r = ::recv(p.fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (r <= 0) {
      if (r == 0) log_admin("CH [%d]: RTMP get zero byte \n", p.n);
      else log_admin("CH [%d]: RTMP Socket Closed, Len=[%d]\n", p.n, -1);
      fail(p);
      break;
    }
    if (p.pull && ++p.reads % kKeepAliveReads == 0) keep_alive(p);
    process(p, buf.data(), static_cast<std::size_t>(r));
  }
  return p.end;
}

// The end of a connection, whatever ended it.
int finish_pass(Pass& p, int end) {
  p.feed.finish();
  log_admin("CH [%d] : RTMP Channel is closing\n", p.n);
  if (p.pull && p.on && end != kGoOn) {
    // A best effort on the way out: no stop token (it may be what ended the pass), a
    // short bound instead.
    std::vector<uint8_t> out;
    rtmp_client_delete_stream(out, kDeleteTransaction, p.stream_id);
    log_admin("Send deleteStream command\n");
    int err = 0;
    if (send_all(p.fd, out.data(), out.size(), StopToken{}, kFarewellIdleMs, err) == Sent::kDone)
      log_admin("Send deleteStream command Successfully\n");
  }
  if (p.pull && !p.on && end != kEndCommand)
    log_admin(p.phase == Phase::kPlay ? "CH [%d]: QVRTMP_play failed \n" : "CH [%d]: QVRTMP_connect failed \n", p.n);
  if (end == kEndCommand || p.ctx.should_end()) {
    log_admin("CH [%d] : RTMP Channel Closed\n", p.n);
    return kEndCommand;
  }
  p.ch.rt.status.store(kStReconnected);
  return end;
}

// Resolves the source and connects to each address in turn.
int connect_source(InputContext& ctx, Socket& sock) {
  Channel_Info& ch = *ctx.ch;
  Source_URL_Info& src = ctx.src;
  const int n = ctx.number();
  ch.rt.status.store(kStNameToIp);
  NameQuery q;
  q.name = src.host.substr(0, 255);
  errno = 0;
  if (!source_record_usable(src) || !resolve_name(q) || q.count <= 0) {
    log_admin("CH [%d]: NAME to IP error[%d] [%s]\n", n, errno, loggable(src.host).c_str());
    src.ip.clear();
    return ctx.should_end() ? kEndCommand : kEndSourceFailed;
  }
  const int interval = config()->i(Key::channel_reconnection_interval);
  const int count = std::min(q.count, kNameQueryMaxAddrs);
  for (int i = 0; i < count; ++i) {
    src.ip = ipv4_text(ntohl(q.addr[i]));
    ch.rt.status.store(kStTcpOpen);
    const int r = tcp_connect(src.ip, src.port, kConnectTimeoutMs, [&ctx] { return ctx.should_end(); }, sock);
    if (r < 0) return kEndCommand;
    if (r == 1) {
      ch.rt.status.store(kStTcpOpened);
      return kGoOn;
    }
    // The last failure is logged by the reconnection delay itself.
    if (i + 1 < count) log_admin("CH [%d]: reconnect it after [%d] sec.\n", n, interval);
  }
  ch.rt.status.store(kStTcpFailed);
  return ctx.should_end() ? kEndCommand : kEndSourceFailed;
}

int handshake(InputContext& ctx, int fd, std::vector<uint8_t>& surplus) {
  const int n = ctx.number();
  const HandshakeEnd h = rtmp_client_handshake(fd, ctx.ending_token(), kRtmpHandshakeMs, surplus);
  if (h == HandshakeEnd::kStopped) return kEndCommand;
  if (h != HandshakeEnd::kDone) {
    log_admin("CH [%d]: RTMP Protocol Init. Step1 Failed\n", n);
    log_admin("CH [%d]: RTMP handshake: %s\n", n, handshake_end_text(h));
    return ctx.should_end() ? kEndCommand : kEndSourceFailed;
  }
  log_admin("CH [%d]: RTMP Protocol Init. Step1 Sucessfully\n", n);
  log_admin("RTMP  Recv S0/S1/S2 length [%d]\n", static_cast<int>(kRtmpServerReplySize));
  log_admin("RTMP  Send C2\n");
  log_admin("CH [%d]: RTMP Protocol Init. Step 2 Sucessfully\n", n);
  return kGoOn;
}

bool ring_ready(InputContext& ctx) {
  if (ctx.ring) return true;
  log_admin("Real Buffer allocated failed\n");
  return false;
}

void log_start(InputContext& ctx) {
  if (ctx.connections > 1) log_admin("CH [%d] : Restart RTMP Connection\n", ctx.number());
}

// Gives a lent connection back however the pass ends.
struct GiveBack {
  EncoderPort& port;
  ~GiveBack() { port.give_back(); }
};

}  // namespace

int rtmp_pull_branch(InputContext& ctx) {
  if (!ring_ready(ctx)) return kEndCommand;
  log_start(ctx);
  const int n = ctx.number();
  log_admin("CH [%d]: RTMP Input Starting\n", n);
  Socket sock;
  int r = connect_source(ctx, sock);
  if (r != kGoOn) return r;
  ctx.ch->rt.status.store(kStConnected);
  set_recv_buffer(sock.fd(), kRecvBufferBytes);  // the kernel may grant less
  std::vector<uint8_t> surplus;
  r = handshake(ctx, sock.fd(), surplus);
  if (r != kGoOn) return r;

  RtmpChunkReader reader;
  Pass p(ctx, sock.fd(), reader, true);
  if (!p.feed.start()) return kEndCommand;
  p.flv.start();
  p.target = rtmp_pull_target(ctx.src.ip, ctx.src.port, ctx.src.path);
  std::vector<uint8_t> out;
  if (!rtmp_client_connect(out, kConnectTransaction, p.target)) return finish_pass(p, kEndSourceFailed);
  log_admin("Send Connect command\n");
  if (!send_bytes(p, out)) return finish_pass(p, ctx.should_end() ? kEndCommand : kEndSourceFailed);
  return finish_pass(p, read_loop(p, surplus.data(), surplus.size(), kPullSilenceMs));
}

int rtmp_encoder_branch(InputContext& ctx) {
  if (!ring_ready(ctx)) return kEndCommand;
  log_start(ctx);
  const int n = ctx.number();
  log_admin("CH [%d]: RTMP Input is from Encoder\n", n);
  EncoderPort& port = encoder_port(ctx.index);
  EncoderFeed lent;
  const StopToken stop = ctx.ending_token();
  while (!port.take(lent, stop, kTakeSliceMs))
    if (ctx.should_end()) return kEndCommand;
  GiveBack back{port};
  if (ctx.should_end()) return kEndCommand;
  if (lent.fd < 0 || !lent.reader) return kEndSwitchNow;
  log_admin("CH [%d]: RTMP Input reads the encoder of session [%u], chunk size [%u]\n", n, lent.session_no,
            lent.chunk_size);
  Pass p(ctx, lent.fd, *lent.reader, false);
  p.phase = Phase::kPlay;  // published: media comes next
  if (!p.feed.start()) return kEndCommand;
  p.flv.start();
  return finish_pass(p, read_loop(p, lent.ahead.data(), lent.ahead.size(), kEncoderSilenceMs));
}

void rtmp_register_inputs() {
  set_input_branch(kSrcRtmp, rtmp_pull_branch);
  set_input_branch(kSrcRtmpEncoder, rtmp_encoder_branch);
}

}  // namespace kx
