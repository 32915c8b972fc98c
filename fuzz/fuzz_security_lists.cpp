// The security and MAC list parsers and the User-Agent checks on arbitrary text: no
// crash, every value within its field, no empty entry, MAC IDs of 12 characters sorted.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/log.h"
#include "subscribers/filters.h"

namespace {

void check_list(const std::vector<std::string>& list, std::size_t max) {
  for (const auto& v : list) {
    if (v.empty() || v.size() > max) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const kx::SecurityLists l = kx::parse_security_text(text);
  check_list(l.accepted_players, kx::kFilterAgentMax);
  check_list(l.rejected_players, kx::kFilterAgentMax);
  check_list(l.accepted_ips, kx::kFilterIpMax);
  check_list(l.rejected_ips, kx::kFilterIpMax);
  check_list(l.accepted_countries, kx::kFilterCountryMax);

  const kx::MacList m = kx::parse_mac_text(text);
  for (const auto& mac : m.macs) {
    if (mac.size() != kx::kMacIdLen) std::abort();
  }
  if (!std::is_sorted(m.macs.begin(), m.macs.end())) std::abort();

  const std::string agent = kx::player_agent(text);
  if (agent.empty() || agent.size() > 32) std::abort();
  const int a = kx::player_accepted(text), r = kx::player_rejected(text);
  if ((a != 0 && a != 1) || (r != 0 && r != 1)) std::abort();
  return 0;
}
