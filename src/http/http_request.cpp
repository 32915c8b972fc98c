#include "http/http_request.h"

#include <cctype>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace kx
