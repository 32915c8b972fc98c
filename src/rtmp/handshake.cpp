#include "rtmp/handshake.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/os/random.h"
#include "core/os/time.h"

namespace kx {

namespace {

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

std::size_t take(uint8_t* dst, std::size_t& held, std::size_t want, const uint8_t* p, std::size_t n) {
  const std::size_t k = want - held < n ? want - held : n;
  if (k > 0) std::memcpy(dst + held, p, k);
  held += k;
  return k;
}

}  // namespace

// ---- server ----

RtmpServerHandshake::RtmpServerHandshake(uint32_t server_time, const uint8_t* random) {
  reply_[0] = kRtmpVersion;
  put32(reply_ + 1, server_time);  // S1: time, four zero bytes, random
  std::memcpy(reply_ + 9, random, kRtmpRandomSize);
  put32(reply_ + 1 + kRtmpSigSize, server_time);  // S2's first four bytes
}

std::size_t RtmpServerHandshake::missing() const {
  if (step_ == Step::kReadC0C1) return sizeof in_ - held_;
  if (step_ == Step::kReadC2) return kRtmpSigSize - held_;
  return 0;
}

std::size_t RtmpServerHandshake::feed(const uint8_t* p, std::size_t n) {
  if (step_ == Step::kReadC0C1) {
    const std::size_t k = take(in_, held_, sizeof in_, p, n);
    if (held_ >= 1 && in_[0] != kRtmpVersion) {
      step_ = Step::kBadVersion;
    } else if (held_ == sizeof in_) {
      // S2: server time, C1's time, then C1 from its ninth byte echoed.
      uint8_t* s2 = reply_ + 1 + kRtmpSigSize;
      std::memcpy(s2 + 4, in_ + 1, 4);
      std::memcpy(s2 + 8, in_ + 1 + 8, kRtmpSigSize - 8);
      step_ = Step::kWriteReply;
      held_ = 0;
    }
    return k;
  }
  if (step_ == Step::kReadC2) {
    std::size_t k = missing() < n ? missing() : n;
    held_ += k;  // C2's content is not checked: clients differ in what they echo
    if (held_ == kRtmpSigSize) step_ = Step::kDone;
    return k;
  }
  return 0;
}

void RtmpServerHandshake::reply_sent() {
  if (step_ == Step::kWriteReply) step_ = Step::kReadC2;
}

// ---- client ----

RtmpClientHandshake::RtmpClientHandshake(uint32_t client_time, const uint8_t* random) {
  static constexpr char kAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  c0c1_[0] = kRtmpVersion;
  put32(c0c1_ + 1, client_time);
  for (std::size_t i = 0; i < kRtmpRandomSize; ++i) c0c1_[9 + i] = static_cast<uint8_t>(kAlnum[random[i] % 62]);
}

std::size_t RtmpClientHandshake::missing() const {
  return step_ == Step::kReadReply ? sizeof reply_ - held_ : 0;
}

void RtmpClientHandshake::c0c1_sent() {
  if (step_ == Step::kWriteC0C1) step_ = Step::kReadReply;
}

std::size_t RtmpClientHandshake::feed(const uint8_t* p, std::size_t n) {
  if (step_ != Step::kReadReply) return 0;
  const std::size_t k = take(reply_, held_, sizeof reply_, p, n);
  if (held_ >= 1 && reply_[0] != kRtmpVersion) step_ = Step::kBadVersion;
  else if (held_ == sizeof reply_) step_ = Step::kWriteC2;
  return k;
}

void RtmpClientHandshake::c2_sent() {
  if (step_ == Step::kWriteC2) step_ = Step::kDone;
}

// ---- socket runs ----

const char* handshake_end_text(HandshakeEnd e) {
  switch (e) {
    case HandshakeEnd::kDone: return "done";
    case HandshakeEnd::kBadVersion: return "not RTMP version 3";
    case HandshakeEnd::kTimeout: return "handshake took too long";
    case HandshakeEnd::kStopped: return "stopped";
    case HandshakeEnd::kClosed: return "peer closed";
    case HandshakeEnd::kFailed: return "socket error";
  }
  return "";
}

namespace {

// Reads up to cap bytes once data is there, within the deadline. n gets the count.
HandshakeEnd read_some(int fd, const StopToken& stop, Deadline until, uint8_t* buf, std::size_t cap,
                       std::size_t& n) {
  for (;;) {
    switch (wait_readable(fd, stop, until)) {
      case Wait::kReady: break;
      case Wait::kTimeout: return HandshakeEnd::kTimeout;
      case Wait::kStopped: return HandshakeEnd::kStopped;
      case Wait::kError: return HandshakeEnd::kFailed;
    }
    const ssize_t r = ::recv(fd, buf, cap, MSG_DONTWAIT);
    if (r > 0) {
      n = static_cast<std::size_t>(r);
      return HandshakeEnd::kDone;
    }
    if (r == 0) return HandshakeEnd::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return HandshakeEnd::kFailed;
  }
}

HandshakeEnd write_all(int fd, const StopToken& stop, Deadline until, const uint8_t* p, std::size_t n) {
  int err = 0;
  const int idle = until.left_ms(kRtmpHandshakeMs) + 1;
  switch (send_all(fd, p, n, stop, idle, err)) {
    case Sent::kDone: return until.passed() ? HandshakeEnd::kTimeout : HandshakeEnd::kDone;
    case Sent::kStopped: return HandshakeEnd::kStopped;
    case Sent::kFailed: break;
  }
  return until.passed() ? HandshakeEnd::kTimeout : HandshakeEnd::kFailed;
}

uint32_t now_seconds() { return static_cast<uint32_t>(wall_seconds()); }

}  // namespace

HandshakeEnd rtmp_server_handshake(int fd, const StopToken& stop, int deadline_ms, std::vector<uint8_t>& surplus) {
  const Deadline until = Deadline::after(deadline_ms);
  uint8_t random[kRtmpRandomSize];
  if (!random_bytes(random, sizeof random)) return HandshakeEnd::kFailed;
  RtmpServerHandshake hs(now_seconds(), random);
  uint8_t buf[4096];
  surplus.clear();
  while (hs.step() != RtmpServerHandshake::Step::kDone) {
    if (hs.step() == RtmpServerHandshake::Step::kBadVersion) return HandshakeEnd::kBadVersion;
    if (hs.step() == RtmpServerHandshake::Step::kWriteReply) {
      const HandshakeEnd w = write_all(fd, stop, until, hs.reply(), kRtmpServerReplySize);
      if (w != HandshakeEnd::kDone) return w;
      hs.reply_sent();
      continue;
    }
    // C0+C1 is read no further than it reaches; past it, a read may run into the chunks.
    const bool first = hs.step() == RtmpServerHandshake::Step::kReadC0C1;
    const std::size_t cap = first && hs.missing() < sizeof buf ? hs.missing() : sizeof buf;
    std::size_t n = 0;
    const HandshakeEnd r = read_some(fd, stop, until, buf, cap, n);
    if (r != HandshakeEnd::kDone) return r;
    const std::size_t used = hs.feed(buf, n);
    if (hs.step() == RtmpServerHandshake::Step::kDone) surplus.assign(buf + used, buf + n);
  }
  return HandshakeEnd::kDone;
}

HandshakeEnd rtmp_client_handshake(int fd, const StopToken& stop, int deadline_ms, std::vector<uint8_t>& surplus) {
  const Deadline until = Deadline::after(deadline_ms);
  uint8_t random[kRtmpRandomSize];
  if (!random_bytes(random, sizeof random)) return HandshakeEnd::kFailed;
  RtmpClientHandshake hs(now_seconds(), random);
  HandshakeEnd w = write_all(fd, stop, until, hs.c0c1(), 1 + kRtmpSigSize);
  if (w != HandshakeEnd::kDone) return w;
  hs.c0c1_sent();
  uint8_t buf[4096];
  surplus.clear();
  while (hs.step() == RtmpClientHandshake::Step::kReadReply) {
    std::size_t n = 0;
    const HandshakeEnd r = read_some(fd, stop, until, buf, sizeof buf, n);
    if (r != HandshakeEnd::kDone) return r;
    const std::size_t used = hs.feed(buf, n);
    if (hs.step() == RtmpClientHandshake::Step::kWriteC2) surplus.assign(buf + used, buf + n);
  }
  if (hs.step() == RtmpClientHandshake::Step::kBadVersion) return HandshakeEnd::kBadVersion;
  w = write_all(fd, stop, until, hs.c2(), kRtmpSigSize);
  if (w != HandshakeEnd::kDone) return w;
  hs.c2_sent();
  return HandshakeEnd::kDone;
}

}  // namespace kx
