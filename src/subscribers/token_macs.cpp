#include "subscribers/token_macs.h"

#include <cstdint>
#include <map>
#include <mutex>

#include "subscribers/user_profile.h"

namespace kx {

namespace {

constexpr std::size_t kIpMax = 15;

struct MacEntry {
  std::string mac;
  uint64_t seq = 0;  // registration order, for giving the oldest way
};
using MacMap = std::map<std::string, MacEntry, std::less<>>;

std::mutex g_lock;
MacMap g_by_ip;
MacMap g_by_user;
uint64_t g_seq = 0;

std::string lookup(const MacMap& m, std::string_view key) {
  if (key.empty()) return {};
  std::lock_guard<std::mutex> l(g_lock);
  const auto it = m.find(key);
  return it == m.end() ? std::string() : it->second.mac;
}

// Under g_lock.
void put(MacMap& m, std::string_view key, std::string_view mac) {
  const auto it = m.find(key);
  if (it != m.end()) {
    it->second.mac.assign(mac);
    it->second.seq = ++g_seq;
    return;
  }
  if (m.size() >= kTokenMacsMax) {
    auto oldest = m.begin();
    for (auto e = m.begin(); e != m.end(); ++e) {
      if (e->second.seq < oldest->second.seq) oldest = e;
    }
    m.erase(oldest);
  }
  m.emplace(std::string(key), MacEntry{std::string(mac), ++g_seq});
}

bool fits(std::string_view v, std::size_t max) {
  if (v.empty() || v.size() > max) return false;
  for (const char c : v) {
    if (c == '\0' || c == '\r' || c == '\n') return false;
  }
  return true;
}

}  // namespace

std::string token_mac_for_address(std::string_view ip) { return lookup(g_by_ip, ip); }

std::string token_mac_for_user(std::string_view user) { return lookup(g_by_user, user); }

void token_register_mac(std::string_view ip, std::string_view user, std::string_view mac) {
  if (!fits(ip, kIpMax) || !fits(mac, kUserMacMax)) return;
  const bool with_user = !user.empty();
  if (with_user && !fits(user, kUserIdMax)) return;
  std::lock_guard<std::mutex> l(g_lock);
  put(g_by_ip, ip, mac);
  if (with_user) put(g_by_user, user, mac);
}

void token_macs_clear() {
  std::lock_guard<std::mutex> l(g_lock);
  g_by_ip.clear();
  g_by_user.clear();
}

}  // namespace kx
