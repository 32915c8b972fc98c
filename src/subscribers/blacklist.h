// The blacklist: addresses from which logins failed, in memory only.
//
// Every operation does nothing while the blacklist key is 0. An address that is some
// user's bound user IP is never recorded or blocked. The table is bounded.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace kx {

struct BlacklistEntry {
  std::string user;  // up to 127
  std::string ip;    // up to 15
  std::string mac;   // the MAC the token table knows for the address, empty when none
  int tries = 0;
  bool blocked = false;  // blocked by the administrator: stays refused whatever the count
};

inline constexpr std::size_t kBlacklistMax = 65536;

// One failed login from ip (user is the name tried, may be empty).
void record_failed_attempt(std::string_view ip, std::string_view user);
// The administrator's block: try count 10.
void block_address(std::string_view ip, std::string_view user);
// True when the blacklist is on and ip's try count has reached player_try_connection_no
// (or it was blocked): such an address is refused before its credentials are checked.
bool address_blocked(std::string_view ip);
// 1 when an entry was removed ("Blacklist IP [%s] : Unlocked").
int unlock_address(std::string_view ip);
void unlock_all();
std::vector<BlacklistEntry> blacklist_entries();

}  // namespace kx
