#include "subscribers/blacklist.h"

#include <list>
#include <string>
#include <unordered_map>

#include "catalogue/store_file.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/sync.h"
#include "subscribers/token_macs.h"
#include "subscribers/users.h"

namespace kx {

namespace {

constexpr std::size_t kUserMax = 127, kIpMax = 15, kMacMax = 12;
constexpr int kBlockedTries = 10;

// Entries in order of creation, with an index by address. Both only under g_lock.
Mutex g_lock;
std::list<BlacklistEntry> g_entries;
std::unordered_map<std::string, std::list<BlacklistEntry>::iterator> g_by_ip;

bool enabled() { return config()->i(Key::blacklist) == 1; }

// player_try_connection_no, at least 1: a count of 0 would refuse an address that never failed.
int try_limit() {
  const int n = config()->i(Key::player_try_connection_no);
  return n < 1 ? 1 : n;
}

bool refused(const BlacklistEntry& e, int limit) { return e.blocked || e.tries >= limit; }

// The address a subscriber is bound to is never locked out by someone else's failures.
bool bound_user_ip(std::string_view ip) {
  const UserTablePtr t = users();
  for (const UserPtr& u : t->list) {
    if (u && !u->user_ip.empty() && u->user_ip == ip) return true;
  }
  return false;
}

bool address_ok(std::string_view ip) { return !ip.empty() && ip.size() <= kIpMax; }

// Room for one more entry: when the table is full the oldest entry that is not refusing
// gives way. false when every entry refuses its address (nothing is dropped then).
bool make_room(int limit) {
  if (g_entries.size() < kBlacklistMax) return true;
  for (auto it = g_entries.begin(); it != g_entries.end(); ++it) {
    if (!refused(*it, limit)) {
      g_by_ip.erase(it->ip);
      g_entries.erase(it);
      return true;
    }
  }
  return false;
}

BlacklistEntry* find_entry(std::string_view ip) {
  const auto it = g_by_ip.find(std::string(ip));
  return it == g_by_ip.end() ? nullptr : &*it->second;
}

void append(std::string_view ip, std::string_view user, std::string mac, int tries, bool blocked) {
  BlacklistEntry e;
  e.user = cut(user, kUserMax);
  e.ip = std::string(ip);
  e.mac = cut(mac, kMacMax);
  e.tries = tries;
  e.blocked = blocked;
  g_entries.push_back(std::move(e));
  auto last = std::prev(g_entries.end());
  g_by_ip.emplace(last->ip, last);
}

}  // namespace

void record_failed_attempt(std::string_view ip, std::string_view user) {
  if (!enabled() || !address_ok(ip) || bound_user_ip(ip)) return;
  const int limit = try_limit();
  // Looked up before the lock: the token table has a lock of its own.
  std::string mac = token_mac_for_address(ip);
  Guard g(g_lock);
  if (BlacklistEntry* e = find_entry(ip)) {
    e->user = cut(user, kUserMax);
    if (e->tries < limit) ++e->tries;
    return;
  }
  if (!make_room(limit)) return;
  append(ip, user, std::move(mac), 1, false);
}

void block_address(std::string_view ip, std::string_view user) {
  if (!enabled() || !address_ok(ip) || bound_user_ip(ip)) return;
  std::string mac = token_mac_for_address(ip);
  Guard g(g_lock);
  if (BlacklistEntry* e = find_entry(ip)) {
    e->user = cut(user, kUserMax);
    e->tries = kBlockedTries;
    e->blocked = true;
    if (!mac.empty()) e->mac = cut(mac, kMacMax);
    return;
  }
  if (!make_room(try_limit())) {
    // Full of refused addresses: the oldest of them gives way to the administrator's block.
    g_by_ip.erase(g_entries.front().ip);
    g_entries.pop_front();
  }
  append(ip, user, std::move(mac), kBlockedTries, true);
}

bool address_blocked(std::string_view ip) {
  if (!enabled()) return false;
  const int limit = try_limit();
  Guard g(g_lock);
  const BlacklistEntry* e = find_entry(ip);
  return e != nullptr && refused(*e, limit);
}

int unlock_address(std::string_view ip) {
  if (!enabled()) return 0;
  {
    Guard g(g_lock);
    const auto it = g_by_ip.find(std::string(ip));
    if (it == g_by_ip.end()) return 0;
    g_entries.erase(it->second);
    g_by_ip.erase(it);
  }
  log_sys("Blacklist IP [%s] : Unlocked\n", std::string(ip).c_str());
  return 1;
}

void unlock_all() {
  if (!enabled()) return;
  std::list<BlacklistEntry> gone;
  {
    Guard g(g_lock);
    gone.swap(g_entries);
    g_by_ip.clear();
  }
  for (const auto& e : gone) log_sys("Blacklist IP [%s] : Unlocked\n", e.ip.c_str());
}

std::vector<BlacklistEntry> blacklist_entries() {
  Guard g(g_lock);
  return std::vector<BlacklistEntry>(g_entries.begin(), g_entries.end());
}

}  // namespace kx
