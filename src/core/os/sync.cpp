#include "core/os/sync.h"

#include <chrono>

namespace kx {

void Mutex::lock() {
  std::unique_lock<std::mutex> l(m_);
  cv_.wait(l, [this] { return !held_; });
  held_ = true;
}

bool Mutex::try_lock() {
  std::lock_guard<std::mutex> l(m_);
  if (held_) return false;
  held_ = true;
  return true;
}

bool Mutex::lock_for(int64_t ms) {
  std::unique_lock<std::mutex> l(m_);
  if (!cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return !held_; })) return false;
  held_ = true;
  return true;
}

void Mutex::unlock() {
  {
    std::lock_guard<std::mutex> l(m_);
    held_ = false;
  }
  cv_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock<std::mutex> l(m_);
  if (--count_ >= 0) return;
  cv_.wait(l, [this] { return wakeups_ > 0; });
  --wakeups_;
}

bool Semaphore::wait_for(int64_t ms) {
  std::unique_lock<std::mutex> l(m_);
  if (--count_ >= 0) return true;
  if (cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return wakeups_ > 0; })) {
    --wakeups_;
    return true;
  }
  ++count_;  // no longer waiting
  return false;
}

void Semaphore::post() {
  {
    std::lock_guard<std::mutex> l(m_);
    if (count_ >= kMax) return;
    if (++count_ <= 0) ++wakeups_;
  }
  cv_.notify_one();
}

int32_t Semaphore::count() {
  std::lock_guard<std::mutex> l(m_);
  return count_;
}

void Stop::set() {
  {
    std::lock_guard<std::mutex> l(m_);
    flag_.store(1, std::memory_order_release);
  }
  cv_.notify_all();
}

void Stop::clear() {
  std::lock_guard<std::mutex> l(m_);
  flag_.store(0, std::memory_order_release);
}

bool Stop::sleep(int64_t ms) const {
  std::unique_lock<std::mutex> l(m_);
  if (ms > 0) cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return is_set(); });
  return is_set();
}

void Gate::lock_shared() {
  std::unique_lock<std::mutex> l(m_);
  cv_.wait(l, [this] { return !writer_ && writers_waiting_ == 0; });
  ++readers_;
}

void Gate::unlock_shared() {
  {
    std::lock_guard<std::mutex> l(m_);
    --readers_;
  }
  cv_.notify_all();
}

void Gate::lock() {
  std::unique_lock<std::mutex> l(m_);
  ++writers_waiting_;
  cv_.wait(l, [this] { return !writer_ && readers_ == 0; });
  --writers_waiting_;
  writer_ = true;
}

bool Gate::lock_for(int64_t ms) {
  std::unique_lock<std::mutex> l(m_);
  ++writers_waiting_;
  const bool got = cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return !writer_ && readers_ == 0; });
  --writers_waiting_;
  if (got) {
    writer_ = true;
    return true;
  }
  l.unlock();
  cv_.notify_all();  // readers held off by this waiter may go on
  return false;
}

bool Gate::writer_waiting() {
  std::lock_guard<std::mutex> l(m_);
  return writers_waiting_ > 0;
}

void Gate::unlock() {
  {
    std::lock_guard<std::mutex> l(m_);
    writer_ = false;
  }
  cv_.notify_all();
}

}  // namespace kx
