// A player's request head through every parser the command thread runs on it: the request
// line, the path classification, query values, credentials, byte ranges, the log masking
// and the player filter's User-Agent reading. Checks: values stay within their fields'
// bounds, a credential set that fits is never longer than its field, ranges lie inside the
// size, and masking stays bounded.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/log.h"
#include "http/http_request.h"
#include "subscribers/auth.h"
#include "subscribers/filters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  const std::string_view head(reinterpret_cast<const char*>(data), size);
  kx::RequestLine line;
  if (kx::parse_request_line(head, line) == kx::kLineOk) {
    if (line.player_name.size() > 32) std::abort();
    for (char c : line.path)
      if (static_cast<unsigned char>(c) < 0x20) std::abort();
    const kx::PathClass pc = kx::classify_path(line.path);
    if (pc.name.size() > line.path.size() + 8) std::abort();
    std::string v;
    if (kx::query_value(line.target, "token", v, kx::kTokenCap) && v.size() >= kx::kTokenCap) std::abort();
    for (char sep : {'&', ':', ';'}) {
      kx::Credentials cr;
      kx::extract_credentials(line.target, head, sep, ':', cr);
      if (cr.user.size() > kx::kUserCap || cr.password.size() > kx::kPasswordCap || cr.mac.size() > kx::kMacCap)
        std::abort();
      if (kx::credentials_fit(cr) && (cr.user.size() >= kx::kUserCap || cr.mac.size() >= kx::kMacCap)) std::abort();
    }
  }
  for (int64_t fsize : {int64_t{0}, int64_t{1}, int64_t{188}, int64_t{1} << 40}) {
    const kx::ByteRange r = kx::parse_range(head, fsize);
    if (r.status == kx::kRangePartial && (r.start < 0 || r.start >= r.end || r.end > fsize)) std::abort();
  }
  const std::string masked = kx::mask_request(head);
  if (masked.size() > head.size() * 7 + 16) std::abort();
  (void)kx::player_agent(head);
  (void)kx::player_rejected(head);
  (void)kx::player_accepted(head);
  return 0;
}
