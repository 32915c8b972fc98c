// The user file parser on arbitrary text: no crash, every record within its field
// widths, no user lost by a rewrite, and the rewritten text settles.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "subscribers/users.h"

namespace {

void check(const kx::User_Profile& u) {
  if (u.user_id.empty() || u.user_id.size() > kx::kUserIdMax || u.password.size() > kx::kUserPasswordMax ||
      u.rating_password.size() > kx::kUserPasswordMax || u.group_name.size() > kx::kUserGroupMax ||
      u.address.size() > kx::kUserAddressMax || u.user_ip.size() > kx::kUserIpMax ||
      u.mac_id.size() > kx::kUserMacMax || !u.rt)
    std::abort();
  if (!u.day_count() && (u.expiry_month > 12 || u.expiry_day < 1 || u.expiry_day > 31 || u.expiry_year > 9999))
    std::abort();
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
  const auto first = kx::parse_user_text(text);
  for (const auto& u : first) check(*u);
  const std::string once = kx::format_user_file(first);
  const auto second = kx::parse_user_text(once);
  for (const auto& u : second) check(*u);
  if (second.size() != first.size()) std::abort();
  // A user without pay-per-view is written with an empty element, which reads back as
  // pre-paid: from the second rewrite on the text no longer changes.
  const std::string twice = kx::format_user_file(second);
  if (kx::format_user_file(kx::parse_user_text(twice)) != twice) std::abort();
  return 0;
}
