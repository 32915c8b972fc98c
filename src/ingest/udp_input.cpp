// The UDP/RTP input branch: a socket on the source's port (joined to its group for a
// multicast address), then every datagram's MPEG-TS bytes realigned into whole-packet
// entries of the channel's ring. Ten seconds without data reopen the socket on the next
// source URL.
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/os/time.h"
#include "ingest/input.h"
#include "ingest/rtp.h"
#include "ingest/source_check.h"
#include "ingest/ts_align.h"
#include "net/server_address.h"
#include "net/socket.h"
#include "net/wait.h"

namespace kx {

namespace {

constexpr int64_t kNoInputMs = 10000;    // silence that counts as a lost source
constexpr int64_t kRetryMs = 1000;       // between attempts to open the socket
constexpr int kRecvBufferBytes = 2 << 20;
constexpr std::size_t kDatagramMax = 65536;  // any UDP datagram fits whole

bool is_rtp(int type) { return type == kSrcRtpMulticast || type == kSrcRtpPort; }
bool has_address(int type) { return type == kSrcRtpMulticast || type == kSrcUdpMulticast; }

// The group of a "udp://A:P" or "rtp://A:P" source, as written.
std::string address_of(const Source_URL_Info& s) { return s.ip.empty() ? s.host : s.ip; }

// The interface a group is joined on: the server's own address. A unicast address is
// only bound, so it needs none.
std::string join_interface(const std::string& address) {
  uint32_t a = 0;
  if (!parse_ipv4(address, a) || !is_multicast_ipv4(a)) return "";
  return server_ipv4();
}

void log_opened(const InputContext& ctx) {
  const Source_URL_Info& s = ctx.src;
  const char* kind = is_rtp(s.type) ? "RTP" : "UDP";
  if (has_address(s.type)) {
    log_admin("CH [%d]: %s Media Source IP [%s] Port No [%d]\n", ctx.number(), kind,
              address_of(s).c_str(), s.port);
  } else {
    log_admin("CH [%d]: %s Media Source Port No [%d]\n", ctx.number(), kind, s.port);
  }
}

void log_first_data(const InputContext& ctx) {
  const Source_URL_Info& s = ctx.src;
  const char* kind = is_rtp(s.type) ? "RTP" : "UDP";
  if (has_address(s.type)) {
    log_admin("CH [%d]: Get %s Packet from IP [%s] Port No [%d]\n", ctx.number(), kind,
              address_of(s).c_str(), s.port);
  } else {
    log_admin("CH [%d]: Get %s Packet from Port No [%d]\n", ctx.number(), kind, s.port);
  }
}

// Opens the socket, retrying every second. false when a command ended the attempts.
bool open_socket(InputContext& ctx, Socket& sock) {
  const Source_URL_Info& s = ctx.src;
  const std::string group = has_address(s.type) ? address_of(s) : std::string();
  for (;;) {
    ctx.ch->rt.nChannel_Status.store(kStatusConnecting);
    if (udp_bind(s.port, group, join_interface(group), sock)) {
      set_recv_buffer(sock.fd(), kRecvBufferBytes);  // the kernel may grant less
      return true;
    }
    log_admin("CH [%d]: Failed in UDP Media Source Port No [%d]\n", ctx.number(), s.port);
    if (ctx.sleep_or_end(kRetryMs)) return false;
  }
}

// Where the realigner's entries go.
struct Committer {
  RealBuffer* ring = nullptr;
  EntryMeta meta;
  int entries = 0;
};

void commit_entry(void* user, const uint8_t* data, int len) {
  auto* c = static_cast<Committer*>(user);
  c->ring->commit(data, len, c->meta);
  ++c->entries;
}

void no_input(const InputContext& ctx, int err) {
  log_admin("Warning [%d] : CH [%d]: No Video Input\n", err, ctx.number());
}

constexpr int kDataCame = -1;

// The first datagram, for as long as it takes; a command ends the wait. kDataCame once
// one is there, else how the branch ends.
int wait_first_datagram(InputContext& ctx, int fd, const StopToken& stop) {
  for (;;) {
    if (ctx.should_end()) return kEndCommand;
    const Wait w = wait_readable(fd, stop, Deadline::never());
    if (w == Wait::kReady) return kDataCame;
    if (w == Wait::kError) {
      log_admin("CH [%d]: UDP / RTP Socket Error\n", ctx.number());
      return kEndSourceFailed;
    }
  }
}

// What the receiving loop keeps from one datagram to the next.
struct Receiver {
  bool rtp = false;
  bool told_not_rtp = false;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kDatagramMax);
  TsAligner aligner;
  Committer out;
};

// One datagram of got bytes (its own length) into the ring; true when it gave entries.
bool take_datagram(const InputContext& ctx, Receiver& r, long got) {
  const std::size_t len = std::min(static_cast<std::size_t>(got), r.buf.size());
  const uint8_t* payload = r.buf.data();
  std::size_t payload_len = len;
  if (r.rtp) {
    RtpPacket pkt;
    if (!rtp_parse(r.buf.data(), len, pkt)) {
      if (!r.told_not_rtp)
        log_admin("CH [%d]: datagram on Port No [%d] is not RTP\n", ctx.number(), ctx.src.port);
      r.told_not_rtp = true;
      payload_len = 0;
    } else {
      payload = r.buf.data() + pkt.payload_offset;
      payload_len = static_cast<std::size_t>(pkt.payload_len);
      r.out.meta.rtp_word = pkt.first_word;
    }
  }
  const int before = r.out.entries;
  ts_align_feed(r.aligner, payload, payload_len, commit_entry, &r.out);
  ts_align_flush(r.aligner, commit_entry, &r.out);
  return r.out.entries != before;
}

// Datagrams into the ring until a command, a socket error or ten seconds without TS.
int receive(InputContext& ctx, int fd, const StopToken& stop) {
  Receiver r;
  r.rtp = is_rtp(ctx.src.type);
  r.out.ring = ctx.ring.get();
  Deadline silence = Deadline::after(kNoInputMs);  // moved on by every datagram with TS in it
  for (;;) {
    if (ctx.should_end()) return kEndCommand;
    ctx.ch->rt.status.store(kStOn);
    const Wait w = wait_readable(fd, stop, silence);
    if (w == Wait::kStopped) continue;  // should_end() takes note of the command
    // An error is left to the read to report, with its errno.
    const long got = w == Wait::kTimeout ? -2 : recv_datagram(fd, r.buf.data(), r.buf.size(), 0, nullptr);
    if (got == -1) {
      no_input(ctx, errno);
      // A socket that fails at once would otherwise be reopened in a tight loop.
      if (ctx.sleep_or_end(kRetryMs)) return kEndCommand;
      return kEndSwitchNow;
    }
    if (got > 0 && take_datagram(ctx, r, got)) silence = Deadline::after(kNoInputMs);
    if (silence.passed()) {
      no_input(ctx, ETIMEDOUT);
      return ctx.should_end() ? kEndCommand : kEndSwitchNow;
    }
  }
}

}  // namespace

int udp_input_branch(InputContext& ctx) {
  Channel_Info& ch = *ctx.ch;
  if (!ctx.ring) {
    log_admin("Real Buffer allocated failed\n");
    return kEndCommand;
  }
  ch.rt.nChannel_Status.store(kStatusConnecting);
  // A port that is not 1-65535 is never opened: the next source URL may do better.
  if (!source_record_usable(ctx.src)) {
    log_admin("CH [%d]: Failed in UDP Media Source Port No [%d]\n", ctx.number(), ctx.src.port);
    return kEndSourceFailed;
  }
  Socket sock;
  if (!open_socket(ctx, sock)) return kEndCommand;
  log_opened(ctx);
  ch.rt.status.store(kStConnected);

  const StopToken stop = ctx.ending_token();
  const int first = wait_first_datagram(ctx, sock.fd(), stop);
  if (first != kDataCame) return first;
  log_first_data(ctx);
  start_side_threads(ctx);
  ch.rt.set_on();
  ch.rt.tStart_Time.store(wall_seconds());
  return receive(ctx, sock.fd(), stop);
}

}  // namespace kx
