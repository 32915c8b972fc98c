// Locks and signals every thread of the server uses.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kx {

// The server's lock: a binary semaphore without an owner, so one thread may take it
// and another release it (the reader-stop and multicast-stop locks rely on that).
// Not recursive: taking it twice from one thread blocks.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();
  bool try_lock();
  bool lock_for(int64_t ms);  // false when the wait ran out
 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool held_ = false;
};

class Guard {
 public:
  explicit Guard(Mutex& m) : m_(m) { m_.lock(); }
  ~Guard() { m_.unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
 private:
  Mutex& m_;
};

// Counting semaphore, initial count 0. A negative count is minus the number of waiters.
class Semaphore {
 public:
  static constexpr int32_t kMax = 0x7FFFFFF;
  Semaphore() = default;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  void wait();
  bool wait_for(int64_t ms);  // false when the wait ran out (the count is given back)
  void post();
  int32_t count();
 private:
  std::mutex m_;
  std::condition_variable cv_;
  int32_t count_ = 0;
  int32_t wakeups_ = 0;  // posts handed to waiters that have not woken yet
};

// A stop signal: a flag that can be polled, plus sleeps that it cuts short.
class Stop {
 public:
  void set();
  void clear();
  bool is_set() const { return flag_.load(std::memory_order_acquire) != 0; }
  // Sleeps up to ms; returns true at once when the flag is or becomes set. Const: a
  // sleeper only watches the flag.
  bool sleep(int64_t ms) const;
 private:
  std::atomic<int> flag_{0};
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
};

// Shared/exclusive gate: threads that outlive a restart hold it shared while they
// read the process tables; the restart takes it exclusively while it rebuilds them.
class Gate {
 public:
  void lock_shared();
  void unlock_shared();
  void lock();
  bool lock_for(int64_t ms);  // false when the wait ran out (new readers pass again)
  void unlock();
  bool writer_waiting();  // an exclusive lock is being waited for
 private:
  std::mutex m_;
  std::condition_variable cv_;
  int readers_ = 0;
  bool writer_ = false;
  int writers_waiting_ = 0;
};

class SharedGuard {
 public:
  explicit SharedGuard(Gate& g) : g_(g) { g_.lock_shared(); }
  ~SharedGuard() { g_.unlock_shared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;
 private:
  Gate& g_;
};

}  // namespace kx
