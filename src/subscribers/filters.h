// The player screens: User-Agent accept/reject lists, accepted and rejected addresses and
// accepted countries from security/security_definition.xml, and the accepted MAC IDs from
// security/mac_definition.xml.
//
// The lists are published as immutable snapshots: readers take the current one without a
// lock; a change builds a new list and publishes it with the filter reloading flag set.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

inline constexpr std::size_t kFilterAgentMax = 127;
inline constexpr std::size_t kFilterIpMax = 23;
inline constexpr std::size_t kFilterCountryMax = 31;
inline constexpr std::size_t kMacIdLen = 12;

struct SecurityLists {
  std::vector<std::string> accepted_players, rejected_players;
  std::vector<std::string> accepted_ips, rejected_ips;
  std::vector<std::string> accepted_countries;
};
struct MacList {
  std::vector<std::string> macs;  // exactly 12 characters each, ascending byte order
};

std::shared_ptr<const SecurityLists> security_lists();  // never null
std::shared_ptr<const MacList> mac_list();              // never null

// Set while a list is changed or reloaded; the user checks wait while it is set.
bool filters_reloading();

// Start-up and shutdown. load_security_lists: 1, or 0 (missing/empty file; lists empty).
// load_mac_list: 1 (a missing file is an empty list), 0 on an empty or unreadable file.
int load_security_lists();
void release_security_lists();
int load_mac_list();
void release_mac_list();

// The security and MAC file texts without files (also used by the fuzz targets).
SecurityLists parse_security_text(std::string_view text);
MacList parse_mac_text(std::string_view text);

// The request's User-Agent value, at most 32 characters, "N/A" when there is none.
std::string player_agent(std::string_view request);
// 1 accepted / 0 not; 1 rejected / 0 not (see the hard-wired rejects in the source).
int player_accepted(std::string_view request);
int player_rejected(std::string_view request);
// The player filter as the request handlers apply it when player_filter is 1: true when
// the request must be refused (the reject list decides when it has entries, else the
// accept list when it has entries; both empty refuse nothing).
bool player_filter_refuses(std::string_view request);

int ip_accepted(std::string_view ip);
int ip_rejected(std::string_view ip);
int country_accepted(std::string_view country);
int mac_accepted(std::string_view mac);

// Editing. Player filter kind 1 accepted, 2 rejected. Results: 0 refused or failed,
// 1 done, 2 write error, 3 already present (adds). Values that are empty, too long, or
// hold '<', '>', CR, LF or NUL are refused (0).
int add_player_filter(std::string_view agent, int kind);
int delete_player_filter(std::string_view agent, int kind);
// Moves the player list to the other kind (1: accepted become rejected, 2: the reverse)
// and reloads. 1 done, 0 failed (file unchanged).
int switch_player_filter(int kind);
int add_mac(std::string_view mac);
int delete_mac(std::string_view mac);

}  // namespace kx
