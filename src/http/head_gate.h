// Unfinished request heads, counted per client address and in total. A connection that
// has not sent its whole head holds a thread and a descriptor; past either cap the oldest
// such connection (of that address, or overall) is told to close, so a flood of half heads
// never keeps a normal player out.
#pragma once
#include <atomic>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kx {

class HeadGate {
 public:
  struct Entry {
    std::string ip;
    std::atomic<bool> closed{false};
  };

  // Held while one head is read; leaves the gate when it goes.
  class Ticket {
   public:
    Ticket(HeadGate* gate, std::list<std::shared_ptr<Entry>>::iterator it) : gate_(gate), it_(it) {}
    ~Ticket() { gate_->leave(it_); }
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    // True once a newer head took this one's place: the connection should close.
    bool closed() const { return (*it_)->closed.load(); }

   private:
    HeadGate* gate_;
    std::list<std::shared_ptr<Entry>>::iterator it_;
  };

  HeadGate(std::size_t per_address, std::size_t total) : per_address_(per_address), total_(total) {}
  HeadGate(const HeadGate&) = delete;
  HeadGate& operator=(const HeadGate&) = delete;

  // Enters one head from ip; closes the oldest heads past the caps.
  std::unique_ptr<Ticket> enter(const std::string& ip);

  std::size_t open_heads() const;  // heads not told to close
  std::size_t open_heads(const std::string& ip) const;

 private:
  void leave(std::list<std::shared_ptr<Entry>>::iterator it);
  void close_oldest(const std::string* ip);  // with the lock held

  const std::size_t per_address_;
  const std::size_t total_;
  mutable std::mutex lock_;
  std::list<std::shared_ptr<Entry>> heads_;  // oldest first
  std::map<std::string, std::size_t> per_ip_;
  std::size_t open_ = 0;
};

// The gate of the HTTP streaming server.
HeadGate& http_head_gate();

}  // namespace kx
