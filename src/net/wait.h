// The one way a thread waits on a socket or the clock: every wait has a deadline and
// ends early when its stop token says so. Waits poll in short steps, so a stop flag
// that nothing signals is still seen within kWaitStepMs.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/os/sync.h"

namespace kx {

inline constexpr int kWaitStepMs = 200;

// What ends a wait early: any of a few flags, a set one meaning "stop". Holds pointers
// only; the flags must outlive the token.
class StopToken {
 public:
  StopToken& on(const std::atomic<int>& flag);
  StopToken& on(const Stop& stop);
  // A state that is not a flag (a server no longer running, a ticket taken back): stop
  // when check(arg) answers true. check must be cheap and take no lock.
  StopToken& when(bool (*check)(const void* arg), const void* arg);
  bool stopped() const;
  // The first Stop given, whose sleeps a set() cuts short; null when none.
  const Stop* first_stop() const { return n_stops_ > 0 ? stops_[0] : nullptr; }

 private:
  static constexpr int kMax = 4;
  const std::atomic<int>* flags_[kMax] = {};
  const Stop* stops_[kMax] = {};
  bool (*checks_[kMax])(const void*) = {};
  const void* args_[kMax] = {};
  int n_flags_ = 0;
  int n_stops_ = 0;
  int n_checks_ = 0;
};

// A point on the monotonic clock; never() does not pass.
class Deadline {
 public:
  static Deadline after(int64_t ms);
  static Deadline never() { return Deadline(-1); }
  bool passed() const;
  // Milliseconds left, at most cap (and at least 0).
  int left_ms(int cap) const;

 private:
  explicit Deadline(int64_t at) : at_(at) {}
  int64_t at_;  // -1: never
};

enum class Wait { kReady, kTimeout, kStopped, kError };

// Until fd can be read without blocking (data, end of stream or a pending error).
// kError for a descriptor that is not open.
Wait wait_readable(int fd, const StopToken& stop, Deadline until);

enum class Sent { kDone, kFailed, kStopped };

// Sends all len bytes. The first attempt is one plain send; only a full socket buffer
// makes it wait. Gives up (kFailed, err 0) after idle_ms without progress; kFailed with
// err set on a send error or a closed peer (err 0); kStopped when the token stopped first.
// sent (when given) counts the bytes that went out.
Sent send_all(int fd, const void* data, std::size_t len, const StopToken& stop, int idle_ms, int& err,
              std::size_t* sent = nullptr);

// One piece of a gathered send.
struct SendPiece {
  const void* data;
  std::size_t len;
};
inline constexpr int kMaxPieces = 64;  // pieces handed to the kernel per call

// The same for pieces sent in order as one stream of bytes, gathered into as few calls as
// the kernel takes (empty pieces are skipped).
Sent send_all(int fd, const SendPiece* pieces, int count, const StopToken& stop, int idle_ms, int& err,
              std::size_t* sent = nullptr);

// One gathered send of what the socket takes now, without waiting: the bytes taken (0
// when the socket is full), or -1 with err set on an error or a closed peer.
long send_now(int fd, const SendPiece* pieces, int count, int& err);

// Sleeps up to ms; false when the token stopped it first. The token's first Stop wakes
// the sleep at once; its other conditions are seen within kWaitStepMs.
bool sleep_for(int64_t ms, const StopToken& stop);

}  // namespace kx
