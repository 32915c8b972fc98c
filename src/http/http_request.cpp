#include "http/http_request.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue/base64.h"
#include "core/text.h"
#include "http/http_server.h"

namespace kx {

// ---- answer templates shared with the data threads ----

const char* const kR1_NotFound = "HTTP/1.0 404 Not Found\r\n\r\n\r\n";
const char* const kR2_Unauthorized =
    "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"insert realm\"\r\n\r\n";
const char* const kR4_Unavailable = "HTTP/1.1 503 Service Unabailable\r\n\r\n\r\n";

namespace {

constexpr const char* kDateServer = "Date: Fri,16 APr 2011\r\nServer: Kestrix/12.0\r\n";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return std::string();
  if (static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  std::vsnprintf(out.data(), out.size(), fmt, ap);
  va_end(ap);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

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

// Decimal digits only, at most 18 of them; false otherwise.
bool parse_count(std::string_view digits, int64_t& out) {
  if (digits.empty() || digits.size() > 18) return false;
  int64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

struct ExtRule {
  const char* lower;
  const char* upper;
  std::size_t compare;  // characters compared
  const char* type;
  int kind;
  bool checked;
};

// In the order the scan tries them; the first match at the first position wins.
constexpr ExtRule kExtRules[] = {
    {".asf", ".ASF", 4, ctype::kAsfHeader, kKindMedia, true},
    {".asx", ".ASX", 4, ctype::kAsf, kKindFile, false},
    {".xap", ".XAP", 4, ctype::kAsf, kKindFile, false},
    {".jpg", ".JPG", 4, ctype::kJpeg, kKindFile, false},
    {".gif", ".GIF", 4, ctype::kGif, kKindFile, false},
    {".mp3", ".MP3", 4, ctype::kMp3, kKindMedia, true},
    {".srt", ".SRT", 4, ctype::kSrt, kKindFile, true},
    {".vtt", ".VTT", 4, ctype::kVtt, kKindFile, true},
    {".ac3", ".AC3", 4, ctype::kAc3, kKindMedia, true},
    {".3gp", ".3GP", 4, ctype::kMp4, kKindPs, true},
    {".3g2", ".3G2", 4, ctype::kMp4, kKindPs, true},
    {".mp4", ".MP4", 4, ctype::kMp4, kKindPs, true},
    {".mpg", ".MPG", 4, ctype::kMpg, kKindPs, true},
    {".mov", ".MOV", 4, ctype::kQuicktime, kKindPs, true},
    {".mpeg", ".MPEG", 5, ctype::kMpg, kKindPs, true},
    {".avi", ".AVI", 4, ctype::kAvi, kKindAvi, true},
    {".mkv", ".MKV", 4, ctype::kMkv, kKindMkv, true},
    {".wmv", ".WMV", 4, ctype::kWmv, kKindMedia, true},
    {".wma", ".WMA", 4, ctype::kWma, kKindMedia, true},
    {".m3u8", ".M3U8", 5, ctype::kM3u8, kKindChannel, true},
    {".m3u", ".M3U", 4, ctype::kM3u8, kKindChannel, true},
    {".ts", ".TS", 3, ctype::kMp2t, kKindMedia, true},
    {".c4", ".C4", 3, ctype::kWmv, kKindC4, true},
    {".flv", ".FLV", 3, ctype::kFlv, kKindFlv, true},  // ".fl" is enough
    {".ch", ".CH", 3, ctype::kMp2t, kKindChannel, true},
    {".mv", ".MV", 3, ctype::kQuicktime, kKindPs, true},
    {".vob", ".VOB", 4, ctype::kHtml, kKindMedia, true},
    {".swf", ".SWF", 4, ctype::kSwf, kKindFile, false},
};

}  // namespace

// ---- the request head ----

HeadState head_state(std::string_view held) {
  if (held.size() > kHeadLimit) return HeadState::kTooLong;
  return held.find("\r\n\r\n") != std::string_view::npos ? HeadState::kDone : HeadState::kMore;
}

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

int parse_request_line(std::string_view head, RequestLine& out) {
  out = RequestLine();
  if (head.size() <= 3) return kLineTooShort;
  if (head.find("HTTP/") == std::string_view::npos) return kLineNotHttp;
  std::string_view rest;
  if (head.substr(0, 5) == "HEAD ") {
    out.head = true;
    rest = head.substr(5);
  } else if (head.substr(0, 4) == "GET ") {
    rest = head.substr(4);
  } else {
    return kLineNotGet;
  }
  const std::size_t eol = rest.find("\r\n");
  if (eol == std::string_view::npos) return kLineBadVersion;
  std::string_view line = rest.substr(0, eol);
  const std::size_t sp = line.rfind(' ');
  if (sp == std::string_view::npos) return kLineBadVersion;
  const std::string_view version = line.substr(sp + 1);
  if (version == "HTTP/1.1") out.http11 = true;
  else if (version != "HTTP/1.0") return kLineBadVersion;
  const std::string_view target = line.substr(0, sp);
  if (target.empty() || target[0] != '/') return kLineBadVersion;
  for (char c : target)
    if (is_control(static_cast<unsigned char>(c))) return kLineBadVersion;
  if (target == "/") return kLineRoot;
  out.target.assign(target);
  out.path.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.substr(i, 3) == "%20") {
      out.path += ' ';
      i += 2;
    } else {
      out.path += target[i];
    }
  }
  std::string_view agent;
  if (header_value(head, "User-Agent", agent) && !agent.empty()) {
    out.player_name.assign(agent.substr(0, 32));
    for (char& c : out.player_name)
      if (is_control(static_cast<unsigned char>(c))) c = '?';
  } else {
    out.player_name = "N/A";
  }
  return kLineOk;
}

// ---- classification ----

PathClass classify_path(std::string_view path) {
  PathClass pc;
  // The scan ends at the query: an extension inside a password ("p=my.chat") names nothing.
  for (std::size_t i = 0; i < path.size() && path[i] != '?'; ++i) {
    const std::string_view at = path.substr(i);
    for (const ExtRule& r : kExtRules) {
      const bool lower = at.substr(0, r.compare) == std::string_view(r.lower, r.compare);
      const bool upper = !lower && at.substr(0, r.compare) == std::string_view(r.upper, r.compare);
      if (!lower && !upper) continue;
      pc.kind = r.kind;
      pc.content_type = r.type;
      pc.checked = r.checked;
      pc.name.assign(path.substr(0, std::min(path.size(), i + std::strlen(r.lower))));
      if (r.kind == kKindC4 || (r.kind == kKindChannel && r.compare == 3)) {
        // ".c4" and ".CH" read ".ch": one spelling for the channel number.
        pc.name.replace(i, 3, ".ch");
      } else if (r.kind == kKindFlv && path.substr(0, 3) == "/ch" && i > 3) {
        // "/chN.flv" is channel N.
        pc.name = "/" + std::string(path.substr(3, i - 3)) + ".ch";
        pc.kind = kKindChannel;
        pc.content_type = ctype::kMp2t;
        pc.checked = true;
      }
      return pc;
    }
  }
  pc.name.assign(path);
  return pc;
}

// ---- query values and credentials ----

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

// ---- byte ranges ----

ByteRange parse_range(std::string_view head, int64_t size) {
  ByteRange r;
  r.end = size < 0 ? 0 : size;
  std::string_view value;
  if (!header_value(head, "Range", value) || !iequal_prefix(value, "bytes=")) return r;
  value.remove_prefix(6);
  const std::size_t comma = value.find(',');
  if (comma != std::string_view::npos) value = value.substr(0, comma);
  value = trim_blanks(value);
  const std::size_t dash = value.find('-');
  if (dash == std::string_view::npos) return r;
  const std::string_view first = trim_blanks(value.substr(0, dash));
  const std::string_view last = trim_blanks(value.substr(dash + 1));
  int64_t a = 0, b = 0;
  ByteRange out;
  if (first.empty()) {  // suffix: the last n bytes
    if (!parse_count(last, b)) return r;
    if (b == 0 || size <= 0) {
      out.status = kRangeUnsatisfiable;
      return out;
    }
    out.status = kRangePartial;
    out.suffix = b;
    out.start = b >= size ? 0 : size - b;
    out.end = size;
    return out;
  }
  if (!parse_count(first, a)) return r;
  if (!last.empty()) {
    if (!parse_count(last, b) || b < a) return r;
  }
  if (a >= size) {
    out.status = kRangeUnsatisfiable;
    return out;
  }
  out.status = kRangePartial;
  out.start = a;
  out.open_end = last.empty();
  out.end = last.empty() || b >= size - 1 ? size : b + 1;
  return out;
}

// ---- channels ----

int channel_number_from_name(std::string_view name) {
  auto number = [](std::string_view digits) {
    int64_t v = 0;
    for (std::size_t i = 0; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i) {
      v = v * 10 + (digits[i] - '0');
      if (v > 999999) return 999999;
    }
    return static_cast<int>(v);
  };
  const std::size_t slash = name.find_last_of("/\\");
  const std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
  for (const char* ext : {".m3u8", ".M3U8"}) {
    const std::size_t m = last.find(ext);
    if (m != std::string_view::npos && last.substr(0, 2) == "ch") return number(last.substr(2, m - 2));
  }
  const std::size_t dot = name.rfind(".ch");
  if (dot == std::string_view::npos) return -1;
  const std::size_t start = name.find_last_of("/\\", dot);
  const std::size_t from = start == std::string_view::npos ? 0 : start + 1;
  return number(name.substr(from, dot - from));
}

int clamp_channel_number(int n, int count, const char** stage) {
  *stage = nullptr;
  if (n > count) {
    n = count;
    *stage = "Set Last Channel";
  }
  if (n < 1) {
    n = 1;
    *stage = "Set First Channel";
  }
  return n;
}

// ---- answers ----

std::string http_answer_r5() { return "HTTP/1.0 200 OK\r\n\r\nContent-Type: text/html\r\n\r\n"; }

std::string http_answer_r8(const char* connection) {
  return format("HTTP/1.1 200 OK\r\n%sConnection: %s\r\n", kDateServer, connection);
}

std::string http_answer_range(int id, int64_t start, int64_t end, int64_t size, const char* connection) {
  const char* status = "HTTP/1.0 200 OK";
  if (id == 10) status = "HTTP/1.1 200 OK";
  else if (id == 11) status = "HTTP/1.0 206 OK";
  else if (id == 12) status = "HTTP/1.1 206 OK";
  const int64_t length = end > start ? end - start : 0;
  return format("%s\r\n%sContent-Length: %lld\r\nContent-Range: bytes %lld-%lld/%lld\r\nConnection: %s\r\n",
                status, kDateServer, static_cast<long long>(length), static_cast<long long>(start),
                static_cast<long long>(end - 1), static_cast<long long>(size), connection);
}

std::string content_type_line(const char* type) { return std::string("Content-Type: ") + type; }

std::string duration_line(double seconds) { return format("Content-Duration: %f\r\n", seconds); }

std::string http_answer_r6(const std::string& ip, int port, std::string_view name, const std::string& user,
                           const std::string& password) {
  return format("HTTP/1.1 302 Found\r\nLocation: http://%s:%d/%.*s?u=%s:p=%s\r\n\r\n", ip.c_str(), port,
                static_cast<int>(name.size()), name.data(), user.c_str(), password.c_str());
}

std::string http_answer_r7(std::string_view location) {
  std::string loc;
  for (char c : location)
    if (!is_control(static_cast<unsigned char>(c))) loc += c;  // one header line, whatever the source says
  return format("HTTP/1.1 302 Moved Temporarily\r\n%sLocation: %s\r\nConnection: %s\r\n\r\n", kDateServer,
                loc.c_str(), "close");
}

std::string http_answer_r13(int64_t length) {
  return format("HTTP/1.1 206 Partial Content\r\n%sContent-Length: %lld\r\nConnection: %s\r\n", kDateServer,
                static_cast<long long>(length), "close") +
         content_type_line(ctype::kM3u8);
}

std::string http_answer_r14(int64_t length, const char* connection) {
  return format("HTTP/1.1 200 OK\r\n%sContent-Length: %lld\r\nKeep-Alive: timeout=15, max=500\r\nConnection: %s\r\n\r\n",
                kDateServer, static_cast<long long>(length), connection);
}

std::string http_answer_416(int64_t size, bool http11) {
  const std::string range = size < 0 ? std::string() : format("Content-Range: bytes */%lld\r\n", static_cast<long long>(size));
  return format("%s 416 Requested Range Not Satisfiable\r\n%s%sContent-Length: 0\r\nConnection: close\r\n\r\n",
                http11 ? "HTTP/1.1" : "HTTP/1.0", kDateServer, range.c_str());
}

// ---- files ----

int resolve_request_file(const std::string& root, std::string_view name, std::string& out) {
  out.clear();
  if (name.empty() || name.size() > 1024) return 0;
  for (char c : name)
    if (c == '\0' || is_control(static_cast<unsigned char>(c))) return 0;
  char real_root[PATH_MAX];
  if (!::realpath(root.c_str(), real_root)) return 0;
  std::string joined = root + "/" + std::string(name);
  char real[PATH_MAX];
  if (!::realpath(joined.c_str(), real)) return 0;
  std::string prefix = real_root;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  const std::string resolved = real;
  if (resolved.compare(0, prefix.size(), prefix) != 0) return 0;
  struct stat st{};
  if (::stat(real, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  out = resolved;
  return 1;
}

}  // namespace kx
