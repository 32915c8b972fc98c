#include "rtmp/session_names.h"

#include "subscribers/credentials.h"

namespace kx {

namespace {

bool has_controls_or_nul(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

std::string blanks_for_20(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (s.substr(i, 3) == "%20") {
      out += ' ';
      i += 3;
    } else {
      out += s[i++];
    }
  }
  return out;
}

// The number of "...\N.ch": digits only, at most six of them; 0 otherwise.
int number_before(std::string_view name, std::size_t dot) {
  std::size_t from = name.find_last_of("/\\", dot == 0 ? std::string_view::npos : dot - 1);
  from = from == std::string_view::npos || dot == 0 ? 0 : from + 1;
  const std::string_view digits = name.substr(from, dot - from);
  if (digits.empty() || digits.size() > 6) return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

std::string rtmp_app_from_tc_url(std::string_view tc_url) {
  // One trailing "/" is no part of the name; a name of any length follows the last "/".
  if (!tc_url.empty() && tc_url.back() == '/') tc_url.remove_suffix(1);
  const std::size_t slash = tc_url.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  return std::string(tc_url.substr(slash + 1, kRtmpAppMax));
}

bool rtmp_parse_play_name(std::string_view name, RtmpPlayName& out) {
  out = RtmpPlayName();
  if (name.empty() || name.size() > kRtmpNameMax || has_controls_or_nul(name)) return false;
  const std::size_t q = name.find('?');
  out.has_query = q != std::string_view::npos;
  out.base = blanks_for_20(name.substr(0, q));
  if (out.has_query) out.query = std::string(name.substr(q));
  std::size_t dot = out.base.find(".ch");
  const std::size_t upper = out.base.find(".CH");
  if (upper < dot) dot = upper;
  if (dot != std::string::npos) out.channel = number_before(out.base, dot);
  return true;
}

bool rtmp_parse_publish_name(std::string_view name, RtmpPublishName& out) {
  out = RtmpPublishName();
  if (name.empty() || name.size() > kRtmpNameMax || has_controls_or_nul(name)) return false;
  const std::size_t q = name.find('?');
  out.stream = std::string(name.substr(0, q));
  if (q != std::string_view::npos) out.has_key = query_value(name.substr(q), "key", out.key, kRtmpNameMax + 1);
  return !out.stream.empty();
}

bool rtmp_publish_key_ok(const RtmpPublishName& name, std::string_view configured_key) {
  if (configured_key.empty()) return true;
  if (!name.has_key || name.key.size() != configured_key.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < configured_key.size(); ++i)
    diff |= static_cast<unsigned char>(name.key[i] ^ configured_key[i]);
  return diff == 0;
}

}  // namespace kx
