// The DNS reply parser on arbitrary messages: no crash, no read outside the message,
// and results that agree with their counts. The first two bytes are the query ID, so
// every input passes the ID check and reaches the question and answers.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> msg(data, data + size);  // exact size, so any overread is caught
  uint16_t id = size >= 2 ? static_cast<uint16_t>((data[0] << 8) | data[1]) : 0;
  uint32_t addrs[kx::kNameQueryMaxAddrs + 1];
  const uint32_t canary = 0xA5A5A5A5u;
  addrs[kx::kNameQueryMaxAddrs] = canary;
  int count = -1;
  uint32_t ttl = 0;
  int r = kx::parse_dns_reply(msg.data(), msg.size(), id, "www.example.com", addrs, kx::kNameQueryMaxAddrs,
                              count, ttl);
  if (r < -1 || r > 1) std::abort();
  if ((r == 1) != (count > 0)) std::abort();
  if (count < 0 || count > kx::kNameQueryMaxAddrs) std::abort();
  if (addrs[kx::kNameQueryMaxAddrs] != canary) std::abort();
  if (r == 1 && ttl > 0x7FFFFFFFu) std::abort();
  // A smaller room is respected too.
  int small = -1;
  r = kx::parse_dns_reply(msg.data(), msg.size(), id, "www.example.com", addrs, 2, small, ttl);
  if (small < 0 || small > 2 || (r == 1 && small != std::min(count, 2))) std::abort();
  return 0;
}
