// The hand-over of a publisher's socket between its session and its channel's input.
#include "rtmp/encoder_port.h"

#include <chrono>
#include <map>

namespace kx {

namespace {

// A stop token's conditions are flags nobody signals this condition variable with, so a
// wait looks at them between slices of this length.
constexpr int kSliceMs = 50;

// Waits on cv until ready() holds, the stop fires or timeout_ms passes; true when ready.
template <class Ready>
bool wait_sliced(std::unique_lock<std::mutex>& l, std::condition_variable& cv, const StopToken& stop,
                 int timeout_ms, Ready ready) {
  const Deadline until = Deadline::after(timeout_ms < 0 ? 0 : timeout_ms);
  while (!ready()) {
    if (stop.stopped() || until.passed()) return false;
    cv.wait_for(l, std::chrono::milliseconds(until.left_ms(kSliceMs)));
  }
  return true;
}

}  // namespace

bool EncoderPort::claim(uint32_t session_no) {
  std::lock_guard<std::mutex> l(m_);
  if (owner_ != 0 || session_no == 0) return false;
  owner_ = session_no;
  return true;
}

void EncoderPort::offer(EncoderFeed feed) {
  {
    std::lock_guard<std::mutex> l(m_);
    feed_ = std::move(feed);
    offered_ = true;
  }
  cv_.notify_all();
}

bool EncoderPort::wait_returned(const StopToken& stop, int timeout_ms) {
  std::unique_lock<std::mutex> l(m_);
  return wait_sliced(l, cv_, stop, timeout_ms, [this] { return !offered_ && !lent_; });
}

void EncoderPort::withdraw(uint32_t session_no) {
  EncoderFeed unused;  // dropped outside the lock
  {
    std::lock_guard<std::mutex> l(m_);
    if (owner_ != session_no || !offered_) return;
    unused = std::move(feed_);
    feed_ = EncoderFeed{};
    offered_ = false;
  }
  cv_.notify_all();
}

void EncoderPort::release(uint32_t session_no) {
  EncoderFeed unused;  // an offer nobody took goes with the claim, outside the lock
  {
    std::lock_guard<std::mutex> l(m_);
    if (owner_ != session_no) return;
    owner_ = 0;
    if (offered_) {
      unused = std::move(feed_);
      offered_ = false;
    }
  }
  cv_.notify_all();
}

bool EncoderPort::take(EncoderFeed& out, const StopToken& stop, int timeout_ms) {
  std::unique_lock<std::mutex> l(m_);
  if (!wait_sliced(l, cv_, stop, timeout_ms, [this] { return offered_; })) return false;
  out = std::move(feed_);
  feed_ = EncoderFeed{};
  offered_ = false;
  lent_ = true;
  return true;
}

void EncoderPort::give_back() {
  {
    std::lock_guard<std::mutex> l(m_);
    lent_ = false;
  }
  cv_.notify_all();
}

bool EncoderPort::claimed() const {
  std::lock_guard<std::mutex> l(m_);
  return owner_ != 0;
}

bool EncoderPort::lent() const {
  std::lock_guard<std::mutex> l(m_);
  return lent_;
}

EncoderPort& encoder_port(int channel_index) {
  static std::mutex lock;
  static std::map<int, std::unique_ptr<EncoderPort>> ports;
  std::lock_guard<std::mutex> l(lock);
  std::unique_ptr<EncoderPort>& p = ports[channel_index];
  if (!p) p = std::make_unique<EncoderPort>();
  return *p;
}

}  // namespace kx
