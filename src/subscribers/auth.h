// Player admission: who may watch, which channels, and how many at once.
//
// The streaming servers call authorize_player for every request when user_authorization
// is 1 or 2 and player_left when an admitted player ends; the panel and REST handlers
// use check_user. Load balancing (asking the other servers of a balanced set) stays off
// until that set exists; the calls are made only through peer_ask (peer_client.h).
#pragma once
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace kx {

struct PlayerIdentity;

enum AuthResult : int { kAuthRefused = 0, kAuthGranted = 1, kAuthExpired = 2 };

// check_user: the plain user check. player_login is true only for a streaming player;
// then user_authorization 2 accepts a known user without its password. Logins that grant
// administration pass false and always need the right password. An empty password never
// matches. check_address applies the bound user IP (root: also from root_ip).
int check_user(PlayerIdentity& s, std::string_view user, std::string_view password,
               bool external_allowed, bool check_address, bool player_login = false);

// authorize_player: filters, blacklist, password, bound IP and MAC, expiry, MAC blocker and
// the per-user count with eviction of the oldest player over the group allowance. On 1
// the player is in its user's player list (s.user_ref set). Uses s.ip, s.user,
// s.password, s.mac.
int authorize_player(PlayerIdentity& s, bool external_allowed);
// The same checks; with count false nobody is counted or evicted: admit_player counts the
// player (evicting the oldest over the allowance) once its request will really stream.
int authorize_player(PlayerIdentity& s, bool external_allowed, bool count);
int admit_player(PlayerIdentity& s);

// Undoes authorize_player's counting; safe to call twice (the second only logs). 1.
int player_left(PlayerIdentity& s, bool external);

// 1 when the user's group grants the channel (1-based), 0 otherwise. Group names are
// compared exactly; an empty group name matches nothing.
int check_channel_right(std::string_view user, int channel, bool external_allowed);
// The same rule without logging or external lookup (channel-list exports).
int channel_allowed_for_user(std::string_view user, int channel);

// The expiry rule for a record as of `now`: 1 valid, 2 expired; a day-count account is
// activated (its date stored and saved) on its first granted login: 1, or 0 when the
// activation failed.
int apply_expiry(const std::string& user_id, std::time_t now);

// Test hook: the clock the expiry rule reads (null restores the real clock).
void set_auth_clock(std::function<std::time_t()> clock);

// Masks secrets in a request before it is logged: every p= value and the value of
// Authorization headers become "******".
std::string mask_request(std::string_view head);
inline constexpr const char* kMaskedPassword = "******";

}  // namespace kx
