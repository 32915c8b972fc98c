#include "subscribers/credentials.h"

#include <algorithm>

#include "catalogue/base64.h"
#include "core/text.h"

namespace kx {

namespace {

std::string_view cut_at_blank(std::string_view text) {
  const std::size_t sp = text.find(' ');
  return sp == std::string_view::npos ? text : text.substr(0, sp);
}

// Position of the value of key ("key=") in text, the key counting only right after '?', '&'
// or ':' (or one of the characters of also: the configured credential separators); npos
// when absent. Searching starts at from.
std::size_t find_key_value(std::string_view text, std::string_view key, std::size_t from = 0,
                           std::string_view also = {}) {
  for (std::size_t p = text.find(key, from); p != std::string_view::npos; p = text.find(key, p + 1)) {
    if (p == 0) continue;
    const char before = text[p - 1];
    if (before != '?' && before != '&' && before != ':' && also.find(before) == std::string_view::npos) continue;
    const std::size_t eq = p + key.size();
    if (eq < text.size() && text[eq] == '=') return eq + 1;
  }
  return std::string_view::npos;
}

// The credential value starting at v: up to the first sep1, failing that sep2, failing
// that "%26", failing that the end.
std::string_view credential_value(std::string_view text, std::size_t v, char sep1, char sep2) {
  std::string_view rest = text.substr(v);
  std::size_t end = rest.find(sep1);
  if (end == std::string_view::npos) end = rest.find(sep2);
  if (end == std::string_view::npos) end = rest.find("%26");
  if (end == std::string_view::npos) end = rest.size();
  return rest.substr(0, end);
}

std::string bounded(std::string_view v, std::size_t cap) {
  return std::string(v.substr(0, cap > 0 ? std::min(v.size(), cap - 1) : 0));
}

}  // namespace

bool header_value(std::string_view head, std::string_view name, std::string_view& value) {
  for (std::size_t p = head.find("\r\n"); p != std::string_view::npos; p = head.find("\r\n", p + 2)) {
    std::string_view line = head.substr(p + 2);
    if (!iequal_prefix(line, name) || line.size() <= name.size() || line[name.size()] != ':') continue;
    line.remove_prefix(name.size() + 1);
    const std::size_t eol = line.find("\r\n");
    value = trim_blanks(eol == std::string_view::npos ? line : line.substr(0, eol));
    return true;
  }
  return false;
}

bool query_value(std::string_view text, std::string_view key, std::string& out, std::size_t cap) {
  out.clear();
  text = cut_at_blank(text);
  const std::size_t v = find_key_value(text, key);
  if (v == std::string_view::npos) return false;
  std::string_view rest = text.substr(v);
  std::size_t end = rest.find('&');
  if (end == std::string_view::npos) end = rest.find(':');
  if (end == std::string_view::npos) end = rest.size();
  out = bounded(rest.substr(0, end), cap);
  return true;
}

int parse_query_credentials(std::string_view query, char sep1, char sep2, std::string& user,
                            std::string& password, std::string& mac) {
  user.clear();
  password.clear();
  mac.clear();
  query = cut_at_blank(query);
  int found = 0;
  const char seps[2] = {sep1, sep2};
  const std::string_view also(seps, 2);
  const std::size_t u = find_key_value(query, "u", 0, also);
  if (u != std::string_view::npos) {
    const std::size_t p = find_key_value(query, "p", u, also);
    if (p != std::string_view::npos) {
      // "p=" follows the separator that ends the user; that separator comes at or after
      // the user's first character, since a key right after "u=" is never one.
      const std::size_t user_end = p - 3;
      user = bounded(query.substr(u, user_end - u), kUserCap + 1);
      password = bounded(credential_value(query, p, sep1, sep2), kPasswordCap + 1);
      found = 1;
    }
  }
  const std::size_t m = find_key_value(query, "m", 0, also);
  if (m != std::string_view::npos) mac = bounded(credential_value(query, m, sep1, sep2), kMacCap + 1);
  return found;
}

int parse_basic_credentials(std::string_view value, std::string& user, std::string& password) {
  user.clear();
  password.clear();
  const std::size_t eol = value.find("\r\n");
  if (eol != std::string_view::npos) value = value.substr(0, eol);
  std::string plain;
  if (!base64_decode(trim_blanks(value), plain, Base64Skip::whitespace, 512)) return 0;
  if (plain.find('\0') != std::string::npos) return 0;
  std::size_t sep = plain.find("%3A");
  std::size_t skip = 3;
  if (sep == std::string::npos) {
    sep = plain.find(':');
    skip = 1;
  }
  if (sep == std::string::npos) return 0;
  user = bounded(std::string_view(plain).substr(0, sep), kUserCap + 1);
  password = bounded(std::string_view(plain).substr(sep + skip), kPasswordCap + 1);
  return 1;
}

namespace {
bool basic_from_head(std::string_view head, Credentials& out) {
  std::string_view value;
  if (!header_value(head, "Authorization", value)) return false;
  if (!iequal_prefix(value, "Basic ")) return false;
  return parse_basic_credentials(value.substr(6), out.user, out.password) == 1;
}
}  // namespace

void extract_credentials(std::string_view path, std::string_view head, char sep1, char sep2,
                         Credentials& out) {
  out = Credentials();
  query_value(path, "token", out.token, kTokenCap);
  if (path.find('?') == std::string_view::npos) {
    basic_from_head(head, out);
    out.source = kCredFromHeader;
    return;
  }
  if (find_key_value(cut_at_blank(path), "token") != std::string_view::npos) {
    out.has_token = true;
    out.source = kCredFromQuery;
    return;
  }
  const char seps[2] = {sep1, sep2};
  if (find_key_value(cut_at_blank(path), "u", 0, std::string_view(seps, 2)) != std::string_view::npos) {
    parse_query_credentials(path, sep1, sep2, out.user, out.password, out.mac);
    out.source = kCredFromQuery;
    return;
  }
  out.source = basic_from_head(head, out) ? kCredFromHeader : kCredFromQuery;
}

bool credentials_fit(const Credentials& c) {
  return c.user.size() < kUserCap && c.password.size() < kPasswordCap && c.mac.size() < kMacCap;
}

}  // namespace kx
