// connect and publish: the application name, the rtmpencoder channel an encoder feeds,
// the publish checks (channel, key, one publisher) and the hand-off of the socket to the
// channel's input.
#include <poll.h>

#include <cstring>

#include "core/log.h"
#include "core/text.h"
#include "ingest/channel_info.h"
#include "net/socket.h"
#include "net/wait.h"
#include "rtmp/encoder_port.h"
#include "rtmp/rtmp_cmd.h"
#include "rtmp/session_names.h"

namespace kx {

namespace {

constexpr int kReturnStepMs = 1000;
constexpr int kReturnWarnSteps = 10;    // a line every ten seconds while the input keeps it
constexpr int kReturnGiveUpSteps = 120;
constexpr int kTakeDeadlineMs = 30000;  // a channel input that does not take the socket by then never will

bool is_encoder_channel(const Channel_Info& ch) {
  std::lock_guard<std::mutex> l(ch.rt.src_lock);
  return ch.rt.src[0].type == kSrcRtmpEncoder;
}

// The first channel of that name whose source is an encoder: 1-based, 0 when none.
int encoder_channel_by_name(std::string_view name) {
  ChannelTablePtr table = channel_table();
  if (!table || name.empty()) return 0;
  for (std::size_t i = 0; i < table->ch.size(); ++i) {
    const auto& ch = table->ch[i];
    if (ch && ch->def.name == name && is_encoder_channel(*ch)) return static_cast<int>(i) + 1;
  }
  return 0;
}

bool cmd_stopped(const void* arg) {
  return static_cast<const RtmpSession*>(arg)->stop.load() != 0 || !rtmp_server_running();
}

void refuse_publish(RtmpCmd& c) {
  cmd_status(c, RtmpStatus::kPublishBadName) && cmd_status(c, RtmpStatus::kUnpublishSuccess);
  c.close = true;
}

// The peer closed its side; nothing is read, so what it sent before stays for the input.
bool peer_hung_up(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The session's claim on a port: the session number, never 0.
uint32_t claim_id(const RtmpSession& s) { return s.session_no + 1; }

}  // namespace

void rtmp_connect(RtmpCmd& c, const RtmpCommand& cmd) {
  if (c.connected) {
    // The session's names are read by other threads once it streams: a second connect
    // never rewrites them.
    log_sys("Session[%d]: IP [%s] sent connect twice\n", c.no(), c.s.ip);
    c.close = true;
    return;
  }
  c.connected = true;
  std::string_view tc_url;
  double unused = 0;
  if (rtmp_command_property(cmd, "tcUrl", tc_url, unused) == 2)
    log_sys("pszRetString=[%s]\n", escape_controls(tc_url.substr(0, 1024)).c_str());
  c.app = rtmp_app_from_tc_url(tc_url);
  if (has_controls(c.app)) c.app.clear();  // never a channel's name, never in a report
  set_field(c.s.watching, c.app.c_str());
  const std::string shown = escape_controls(c.app);
  log_sys("app=[%s]\n", shown.c_str());
  bool valid = true;
  if (!rtmp_app_is_live(c.app)) {
    c.encoder_channel = encoder_channel_by_name(c.app);
    if (c.encoder_channel > 0) {
      log_sys("Channel Name : [%s] is on CH[%d]\n", shown.c_str(), c.encoder_channel);
    } else {
      log_sys("Invaild Channel Name : [%s]\n", shown.c_str());
      c.s.user[0] = '\0';
      valid = false;
    }
  }
  std::vector<uint8_t> out;
  const bool sent = cmd_send(c, rtmp_connect_answer(out, valid, c.client_id), out);
  log_sys("RTMP_NetStream_Connect\n");
  log_sys("Process RTMP_NetStream_Connect\n");
  if (sent) c.s.out_chunk_size.store(kRtmpServerChunkSize);
  if (!sent) {
    c.close = true;
  } else if (!valid) {
    cmd_status(c, RtmpStatus::kUnpublishSuccess);
    c.close = true;
  }
}

void rtmp_publish(RtmpCmd& c, const RtmpCommand& cmd) {
  std::string_view raw;
  RtmpPublishName name;
  if (!rtmp_command_stream_name(cmd, raw) || !rtmp_parse_publish_name(raw, name)) {
    log_sys("Session[%d]: IP [%s] publish without a usable name\n", c.no(), c.s.ip);
    refuse_publish(c);
    return;
  }
  const std::string shown = escape_controls(name.stream);
  log_sys("Publish Name=[%s]\n", shown.c_str());
  int n = c.encoder_channel;
  if (n == 0 && rtmp_app_is_live(c.app)) n = encoder_channel_by_name(name.stream);
  if (n == 0) {
    log_sys("Channel Name : [%s] on CH[%d] is not available for publish\n", shown.c_str(), n);
    refuse_publish(c);
    return;
  }
  if (!rtmp_publish_key_ok(name, c.cfg->t(Key::rtmp_publish_key))) {
    log_sys("Channel Name : [%s] on CH[%d] refused: the publish key is missing or wrong\n", shown.c_str(), n);
    refuse_publish(c);
    return;
  }
  if (!encoder_port(n - 1).claim(claim_id(c.s))) {
    log_sys("Channel Name : [%s] on CH[%d] is not available for publish\n", shown.c_str(), n);
    refuse_publish(c);
    return;
  }
  log_sys("Process RTMP_NetStream_Publish\n");
  if (!cmd_status(c, RtmpStatus::kPublishStart)) {
    encoder_port(n - 1).release(claim_id(c.s));
    c.close = true;
    return;
  }
  c.s.channel_no.store(n);
  c.publish_channel = n;  // the loop hands the socket over once this message is done
}

void rtmp_hand_off(RtmpCmd& c, std::vector<uint8_t> ahead) {
  EncoderPort& port = encoder_port(c.publish_channel - 1);
  EncoderFeed feed;
  feed.fd = c.fd;
  feed.chunk_size = c.reader->chunk_size();
  feed.reader = std::move(c.reader);
  feed.ahead = std::move(ahead);
  feed.session_no = c.s.session_no;
  port.offer(std::move(feed));
  log_sys("Session[%d]: IP [%s] publishes to CH[%d]\n", c.no(), c.s.ip, c.publish_channel);

  StopToken stop;
  stop.when(cmd_stopped, &c.s);
  bool back = false;
  const Deadline take_by = Deadline::after(kTakeDeadlineMs);
  while (!(back = port.wait_returned(stop, kReturnStepMs))) {
    if (stop.stopped()) break;
    if (port.lent()) continue;
    // No input has taken the socket yet: an encoder that leaves meanwhile ends the
    // session, without a byte read from under the input; a channel that is stopped or
    // inactive does not keep the encoder, and every other publisher, waiting.
    if (peer_hung_up(c.fd)) break;
    if (take_by.passed()) {
      log_sys("Session[%d]: CH[%d] input did not take the encoder in time\n", c.no(), c.publish_channel);
      break;
    }
  }
  // The claim is kept until the socket is back, so no second publisher can offer meanwhile
  // and be taken in its place.
  port.withdraw(claim_id(c.s));
  if (!back) {
    // A socket the input holds is shut down so its read ends, and still waited for, since
    // only this session may close it.
    shutdown_socket(c.fd);
    const StopToken none;
    for (int steps = 1; !port.wait_returned(none, kReturnStepMs); ++steps) {
      if (steps % kReturnWarnSteps == 0)
        log_sys("Session[%d]: System Warning: CH[%d] input still holds the encoder socket\n", c.no(),
                c.publish_channel);
      if (steps >= kReturnGiveUpSteps) {
        // Closing it under the input would be worse than leaving it open.
        log_sys("Session[%d]: System Error: CH[%d] input kept the encoder socket; left open\n", c.no(),
                c.publish_channel);
        c.s.sock.store(-1);
        port.release(claim_id(c.s));
        return;
      }
    }
  }
  port.release(claim_id(c.s));
  log_sys("Session[%d]: IP [%s] stops publishing to CH[%d]\n", c.no(), c.s.ip, c.publish_channel);
}

}  // namespace kx
