// The user checks a streaming command thread (HTTP, RTMP) asks for when user authorisation is on.
#pragma once
#include <string>

namespace kx {

class PlayerSession;

// The user check for one request (filters, blacklist, password, bound IP and MAC,
// expiry) with the session's user, password, MAC and IP: 1 granted, 2 time expired,
// 0 refused. Nobody is counted yet: a request that may still be refused (channel right,
// HEAD) must not stop the user's running stream.
int check_user_for_request(PlayerSession& s);
// Counts a checked player against its user's allowance, evicting the oldest player over
// it, once the request will really stream: 1 counted, 0 refused.
int count_user_for_request(PlayerSession& s);

// Whether the session's user may watch channel (1-based): 1 allowed, 0 not.
int check_channel_right(PlayerSession& s, int channel);

// Resolves a request token to its user and password: 1 known, 0 unknown.
int resolve_token(const std::string& token, std::string& user, std::string& password);

}  // namespace kx
