#include "http/head_gate.h"

namespace kx {

namespace {
constexpr std::size_t kHeadsPerAddress = 64;
constexpr std::size_t kHeadsTotal = 512;
}  // namespace

std::unique_ptr<HeadGate::Ticket> HeadGate::enter(const std::string& ip) {
  std::lock_guard<std::mutex> g(lock_);
  auto entry = std::make_shared<Entry>();
  entry->ip = ip;
  heads_.push_back(std::move(entry));
  auto it = std::prev(heads_.end());
  ++open_;
  if (++per_ip_[ip] > per_address_) close_oldest(&ip);
  if (open_ > total_) close_oldest(nullptr);
  return std::make_unique<Ticket>(this, it);
}

void HeadGate::close_oldest(const std::string* ip) {
  for (auto& e : heads_) {
    if (e->closed.load() || (ip && e->ip != *ip)) continue;
    e->closed.store(true);
    --open_;
    auto n = per_ip_.find(e->ip);
    if (n != per_ip_.end() && --n->second == 0) per_ip_.erase(n);
    return;
  }
}

void HeadGate::leave(std::list<std::shared_ptr<Entry>>::iterator it) {
  std::lock_guard<std::mutex> g(lock_);
  if (!(*it)->closed.load()) {
    --open_;
    auto n = per_ip_.find((*it)->ip);
    if (n != per_ip_.end() && --n->second == 0) per_ip_.erase(n);
  }
  heads_.erase(it);
}

std::size_t HeadGate::open_heads() const {
  std::lock_guard<std::mutex> g(lock_);
  return open_;
}

std::size_t HeadGate::open_heads(const std::string& ip) const {
  std::lock_guard<std::mutex> g(lock_);
  const auto n = per_ip_.find(ip);
  return n == per_ip_.end() ? 0 : n->second;
}

HeadGate& http_head_gate() {
  static HeadGate gate(kHeadsPerAddress, kHeadsTotal);
  return gate;
}

}  // namespace kx
