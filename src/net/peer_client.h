// The one client through which this server asks another server of a load-balanced set
// (its /token/ commands). Nothing calls it while load balancing is off.
#pragma once
#include <cstddef>
#include <string>

namespace kx {

// Largest answer body accepted from a peer.
inline constexpr std::size_t kPeerAnswerMax = 64 * 1024;

// GET path_and_query from host:port with HTTP/1.0, the whole exchange (name lookup,
// connect, send, receive) within timeout_ms. 1 with answer holding the body of a 2xx
// reply; 0 (answer empty) on a refused argument, a network failure, the time-out, a
// reply that is not HTTP or not 2xx, or a body longer than kPeerAnswerMax. The path must
// begin with '/' and hold no space or control character. Failures are logged without
// the path (it carries credentials).
int peer_ask(const std::string& host, int port, const std::string& path_and_query, std::string& answer,
             int timeout_ms);

// Whether this server belongs to a load-balanced set. Not yet: always false.
bool load_balancing_active();

}  // namespace kx
