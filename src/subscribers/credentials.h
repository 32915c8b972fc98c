// The credentials a player's request carries (query keys u=, p=, m= and token=, or an
// HTTP Basic authorisation header), read without a socket. Shared by every streaming
// server: HTTP reads them from its request, RTMP from its play name.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// The value of key in the request text (cut at its first blank). The key counts only right
// after '?', '&' or ':' and when "=" follows it. The value runs to the first '&' after it,
// failing that to the first ':', failing that to the end; it is cut to cap - 1 characters.
// True when the key is present; false with out empty.
bool query_value(std::string_view text, std::string_view key, std::string& out, std::size_t cap);

// Field capacities of the session (including the terminator).
inline constexpr std::size_t kUserCap = 128;
inline constexpr std::size_t kPasswordCap = 128;
inline constexpr std::size_t kMacCap = 13;
inline constexpr std::size_t kTokenCap = 50;

// Credential values are kept up to one character past their field, so that a value too
// long for its field is seen (credentials_fit) and refused, never cut.
// u=, p= and m= of a query with the credential separators sep1 and sep2. The user runs from
// after "u=" to the separator before the "p=" key; the password from after "p=" to the first
// sep1, failing that sep2, failing that "%26", failing that the end; the MAC likewise.
// 1 when "u=" and "p=" were both found (user and password set), else 0 with both empty.
int parse_query_credentials(std::string_view query, char sep1, char sep2, std::string& user,
                            std::string& password, std::string& mac);

// An "Authorization: Basic" value (Base64 up to the line end, bounded): the user before the
// first "%3A" or else the first ':', the password after it. 1 when decoded and split; 0
// with both empty when the value does not decode, holds a NUL byte or has no separator.
int parse_basic_credentials(std::string_view value, std::string& user, std::string& password);

// Finds a header's value in the head (name compared without case, after a line break),
// up to its line end, leading blanks skipped. False when absent.
bool header_value(std::string_view head, std::string_view name, std::string_view& value);

enum CredentialSource : int { kCredFromQuery = 1, kCredFromHeader = 2 };
struct Credentials {
  std::string token, user, password, mac;
  int source = kCredFromQuery;  // what credential extraction answers when not refused
  bool has_token = false;       // a token must be resolved (and refuses when unknown)
};
// Credential extraction without the token table: path is the request target, head the
// whole head. A path without '?' takes the Basic header (or nothing): source 2. A path
// with '?' and a token: has_token (the caller resolves it). Else u=/p=/m=: source 1; else
// the Basic header: source 2; else source 1 with everything empty.
void extract_credentials(std::string_view path, std::string_view head, char sep1, char sep2,
                         Credentials& out);
// True when user, password and MAC fit their session fields.
bool credentials_fit(const Credentials& c);

}  // namespace kx
