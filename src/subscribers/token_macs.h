// The MAC IDs the token commands registered: which device a client address, and which
// device a user name, last identified itself with. Kept in memory, bounded; the oldest
// registration gives way when the table is full.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::size_t kTokenMacsMax = 16384;

// The MAC last registered for the address / for the user name; empty when none.
std::string token_mac_for_address(std::string_view ip);
std::string token_mac_for_user(std::string_view user);
// Records that the client at ip, logged in as user, has the device mac. Values that do
// not fit their fields (address 15, user 127, MAC 12) or are empty are ignored; an empty
// user records the address alone.
void token_register_mac(std::string_view ip, std::string_view user, std::string_view mac);
void token_macs_clear();

}  // namespace kx
