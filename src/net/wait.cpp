#include "net/wait.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

#include "core/os/time.h"

namespace kx {

StopToken& StopToken::on(const std::atomic<int>& flag) {
  if (n_flags_ < kMax) flags_[n_flags_++] = &flag;
  return *this;
}

StopToken& StopToken::on(const Stop& stop) {
  if (n_stops_ < kMax) stops_[n_stops_++] = &stop;
  return *this;
}

StopToken& StopToken::when(bool (*check)(const void* arg), const void* arg) {
  if (check && n_checks_ < kMax) {
    checks_[n_checks_] = check;
    args_[n_checks_++] = arg;
  }
  return *this;
}

bool StopToken::stopped() const {
  for (int i = 0; i < n_flags_; ++i)
    if (flags_[i]->load(std::memory_order_relaxed) != 0) return true;
  for (int i = 0; i < n_stops_; ++i)
    if (stops_[i]->is_set()) return true;
  for (int i = 0; i < n_checks_; ++i)
    if (checks_[i](args_[i])) return true;
  return false;
}

Deadline Deadline::after(int64_t ms) { return Deadline(mono_ms() + std::max<int64_t>(ms, 0)); }

bool Deadline::passed() const { return at_ >= 0 && mono_ms() >= at_; }

int Deadline::left_ms(int cap) const {
  if (at_ < 0) return cap;
  return static_cast<int>(std::clamp<int64_t>(at_ - mono_ms(), 0, cap));
}

namespace {

// One poll step for events on fd: 1 ready, 0 nothing yet, -1 error (err set).
int poll_step(int fd, short events, int ms, int& err) {
  pollfd p{fd, events, 0};
  const int r = ::poll(&p, 1, ms);
  if (r < 0) {
    if (errno == EINTR) return 0;
    err = errno;
    return -1;
  }
  if (r == 0) return 0;
  if (p.revents & POLLNVAL) {
    err = EBADF;
    return -1;
  }
  if ((p.revents & (POLLERR | POLLHUP)) && !(p.revents & events)) {
    err = EPIPE;
    return events == POLLIN ? 1 : -1;  // a reader learns the end from its read
  }
  return 1;
}

}  // namespace

Wait wait_readable(int fd, const StopToken& stop, Deadline until) {
  if (fd < 0) return Wait::kError;  // poll would skip it and wait out the deadline
  for (;;) {
    if (stop.stopped()) return Wait::kStopped;
    int err = 0;
    const int r = poll_step(fd, POLLIN, until.left_ms(kWaitStepMs), err);
    if (r > 0) return Wait::kReady;
    if (r < 0) return Wait::kError;
    if (until.passed()) return Wait::kTimeout;
  }
}

Sent send_all(int fd, const void* data, std::size_t len, const StopToken& stop, int idle_ms, int& err,
              std::size_t* sent) {
  const SendPiece one{data, len};
  return send_all(fd, &one, 1, stop, idle_ms, err, sent);
}

namespace {

// Up to kMaxPieces pieces from `at` on, the first `skip` bytes of the first left out.
int gather(const SendPiece* pieces, int count, int at, std::size_t skip, iovec* iov) {
  int n = 0;
  for (int i = at; i < count && n < kMaxPieces; ++i) {
    const std::size_t off = i == at ? skip : 0;
    if (pieces[i].len <= off) continue;
    iov[n].iov_base = const_cast<uint8_t*>(static_cast<const uint8_t*>(pieces[i].data) + off);
    iov[n].iov_len = pieces[i].len - off;
    ++n;
  }
  return n;
}

// One gathered, non-blocking send from piece `at` on (its first `skip` bytes left out):
// the bytes taken, 0 when the socket is full, -1 with err set on an error.
long send_once(int fd, const SendPiece* pieces, int count, int at, std::size_t skip, int& err) {
  iovec iov[kMaxPieces];
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<std::size_t>(gather(pieces, count, at, skip, iov));
  if (msg.msg_iovlen == 0) return 0;
  for (;;) {
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    err = errno;
    return -1;
  }
}

}  // namespace

Sent send_all(int fd, const SendPiece* pieces, int count, const StopToken& stop, int idle_ms, int& err,
              std::size_t* sent) {
  err = 0;
  std::size_t done = 0, skip = 0;
  int at = 0;  // the first piece not wholly sent; skip bytes of it are
  Deadline idle = Deadline::never();
  bool waiting = false;
  Sent result = Sent::kDone;
  for (;;) {
    while (at < count && pieces[at].len <= skip) {
      skip = 0;
      ++at;
    }
    if (at >= count) break;
    if (stop.stopped()) {
      result = Sent::kStopped;
      break;
    }
    const long n = send_once(fd, pieces, count, at, skip, err);
    if (n < 0) {
      result = Sent::kFailed;
      break;
    }
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      for (std::size_t adv = static_cast<std::size_t>(n); adv > 0 && at < count;) {
        const std::size_t rest = pieces[at].len - skip;
        if (adv < rest) {
          skip += adv;
          break;
        }
        adv -= rest;
        skip = 0;
        ++at;
      }
      waiting = false;
      continue;
    }
    if (!waiting) {
      idle = Deadline::after(idle_ms);
      waiting = true;
    } else if (idle.passed()) {
      result = Sent::kFailed;  // the player took nothing for idle_ms
      break;
    }
    if (poll_step(fd, POLLOUT, kWaitStepMs, err) < 0) {
      result = Sent::kFailed;
      break;
    }
  }
  if (sent) *sent = done;
  return result;
}

long send_now(int fd, const SendPiece* pieces, int count, int& err) {
  err = 0;
  return send_once(fd, pieces, count, 0, 0, err);
}

bool sleep_for(int64_t ms, const StopToken& stop) {
  const Deadline end = Deadline::after(ms);
  for (;;) {
    if (stop.stopped()) return false;
    const int step = end.left_ms(kWaitStepMs);
    if (step <= 0) return true;
    if (const Stop* s = stop.first_stop()) {
      s->sleep(step);
    } else {
      sleep_ms(step);
    }
  }
}

}  // namespace kx
