// Host name resolution through our own DNS client (RFC 1035): A queries to the one
// configured resolver over UDP, then TCP, with a small cache of answers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

constexpr int kNameQueryMaxAddrs = 20;

struct NameQuery {
  std::string name;  // up to 255 characters
  int count = 0;
  uint32_t addr[kNameQueryMaxAddrs] = {};  // IPv4, network order
};

// Fills q.count and q.addr for q.name. A dotted IPv4 name is answered at once and not
// cached; other names come from the cache or from the resolver (config()->dns_ip,
// port 53). Safe from any number of threads; the network exchange runs outside the
// cache lock. 1 with at least one address, 0 on failure.
int resolve_name(NameQuery& q);

// Parses a reply to the A query `id` for `name` (the whole message, without the TCP
// length prefix). Follows the CNAME chain from name and stores up to max addresses of
// its A records in addrs; ttl is the least time-to-live of the records used.
//   1  addresses found (count > 0)
//   0  a reply to this query without usable addresses (error code, no answers, or a
//      record that runs past the message)
//  -1  not a reply to this query (too short, not a response, other ID or question)
int parse_dns_reply(const uint8_t* msg, std::size_t len, uint16_t id, const std::string& name,
                    uint32_t* addrs, int max, int& count, uint32_t& ttl);

// Writes the A query for name with the given ID into out (at least 512 bytes);
// its length, or 0 when name is not a valid host name.
std::size_t build_dns_query(const std::string& name, uint16_t id, uint8_t* out, std::size_t cap);

// Empties the cache.
void dns_clear_cache();

// Test hooks. An empty ip goes back to the configured resolver on port 53.
void dns_set_server(const std::string& ip, int port);
// Per UDP try, number of UDP tries, whole TCP exchange; values <= 0 restore
// 5000 ms, 3 tries and 5000 ms.
void dns_set_timeouts(int udp_ms, int tries, int tcp_ms);
// The clock the cache expiry reads (milliseconds); nullptr restores the monotonic clock.
void dns_set_clock(int64_t (*now_ms)());

}  // namespace kx
