#include "net/http_answer.h"

#include <cstring>
#include <utility>
#include <vector>

#include "core/text.h"

namespace kx {

namespace {

constexpr int kMaxInterimHeads = 4;
constexpr std::size_t kChunkLineMax = 4096;   // one extension or trailer line
constexpr std::size_t kTrailerMax = 16384;    // the whole trailer
constexpr int kChunkSizeDigits = 15;          // keeps a chunk size far from overflow
constexpr int kContentLengthDigits = 18;      // fits a signed 64-bit number

bool is_space(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether the bytes so far may still begin a status line.
bool may_begin_status(std::string_view t) {
  auto prefix_of = [t](std::string_view word) {
    const std::size_t n = t.size() < word.size() ? t.size() : word.size();
    return t.substr(0, n) == word.substr(0, n);
  };
  return prefix_of("HTTP/") || prefix_of("ICY ");
}

// "HTTP/x.y SSS reason" or "ICY SSS reason"; the status, or 0.
int parse_status_line(std::string_view line) {
  std::size_t p = 0;
  if (line.substr(0, 5) == "HTTP/") {
    p = 5;
    const std::size_t start = p;
    while (p < line.size() && (is_digit(line[p]) || line[p] == '.')) ++p;
    if (p == start) return 0;
  } else if (line.substr(0, 3) == "ICY") {
    p = 3;
  } else {
    return 0;
  }
  if (p >= line.size() || !is_space(line[p])) return 0;
  while (p < line.size() && is_space(line[p])) ++p;
  if (p + 3 > line.size()) return 0;
  int status = 0;
  for (int i = 0; i < 3; ++i) {
    if (!is_digit(line[p + static_cast<std::size_t>(i)])) return 0;
    status = status * 10 + (line[p + static_cast<std::size_t>(i)] - '0');
  }
  p += 3;
  if (p < line.size() && !is_space(line[p])) return 0;
  return status >= 100 && status <= 599 ? status : 0;
}

// A Content-Length value: one number, or a list of equal numbers. -1 when malformed.
int64_t parse_content_length(std::string_view v) {
  int64_t value = -1;
  while (true) {
    const std::size_t comma = v.find(',');
    const std::string_view item = trim_blanks(v.substr(0, comma));
    if (item.empty() || item.size() > static_cast<std::size_t>(kContentLengthDigits)) return -1;
    int64_t n = 0;
    for (char c : item) {
      if (!is_digit(c)) return -1;
      n = n * 10 + (c - '0');
    }
    if (value >= 0 && n != value) return -1;
    value = n;
    if (comma == std::string_view::npos) return value;
    v.remove_prefix(comma + 1);
  }
}

// The last coding named in a Transfer-Encoding value, lower case, parameters dropped.
std::string last_coding(std::string_view v) {
  const std::size_t comma = v.rfind(',');
  std::string_view c = comma == std::string_view::npos ? v : v.substr(comma + 1);
  c = trim_blanks(c.substr(0, c.find(';')));
  std::string out;
  for (char ch : c) out.push_back(ascii_lower(ch));
  return out;
}

}  // namespace

// ---- response head ----

void HttpResponseParser::reset() {
  state_ = HttpHeadState::kNeedMore;
  error_ = HttpHeadError::kNone;
  interim_ = 0;
  line_len_ = 0;
  text_.clear();
  head_ = HttpResponseHead{};
}

void HttpResponseParser::fail(HttpHeadError err) {
  state_ = HttpHeadState::kFailed;
  error_ = err;
}

std::size_t HttpResponseParser::feed(const uint8_t* p, std::size_t len) {
  if (state_ != HttpHeadState::kNeedMore || !p) return 0;
  std::size_t i = 0;
  while (i < len) {
    const uint8_t c = p[i++];
    text_.push_back(static_cast<char>(c));
    if (c == 0) {
      fail(HttpHeadError::kMalformed);
      return i;
    }
    if (text_.size() <= 5 && !may_begin_status(text_)) {
      fail(HttpHeadError::kNotHttp);
      return i;
    }
    if (c == '\n') {
      if (line_len_ == 0) {  // the blank line
        if (finish()) {
          state_ = HttpHeadState::kDone;
          return i;
        }
        if (state_ != HttpHeadState::kNeedMore) return i;
        if (++interim_ > kMaxInterimHeads) {
          fail(HttpHeadError::kMalformed);
          return i;
        }
        text_.clear();
        head_ = HttpResponseHead{};
        continue;
      }
      line_len_ = 0;
    } else if (c != '\r') {
      ++line_len_;
    }
    if (text_.size() >= cap_) {
      fail(HttpHeadError::kTooLong);
      return i;
    }
  }
  return i;
}

bool HttpResponseParser::finish() {
  // Lines, CR LF or bare LF.
  std::vector<std::string_view> lines;
  std::string_view t = text_;
  while (!t.empty()) {
    const std::size_t nl = t.find('\n');
    std::string_view line = t.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    t.remove_prefix(nl + 1);
  }
  if (lines.empty()) {
    fail(HttpHeadError::kMalformed);
    return false;
  }
  head_ = HttpResponseHead{};
  head_.status = parse_status_line(lines[0]);
  if (head_.status == 0) {
    fail(HttpHeadError::kMalformed);
    return false;
  }
  head_.status_line = std::string(lines[0]);

  // Header fields, with folded continuation lines joined to the field before.
  std::vector<std::pair<std::string, std::string>> fields;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) break;
    if (is_space(line.front())) {
      if (!fields.empty()) {
        fields.back().second += ' ';
        fields.back().second += trim_blanks(line);
      }
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;  // not a field: passed over
    fields.emplace_back(std::string(trim_blanks(line.substr(0, colon))), std::string(trim_blanks(line.substr(colon + 1))));
  }

  bool transfer_coding = false;
  int64_t length = -1;
  for (const auto& [name, value] : fields) {
    if (iequal(name, "Location")) {
      if (!head_.has_location) {
        head_.has_location = true;
        head_.location = value;
      }
    } else if (iequal(name, "Content-Length")) {
      const int64_t n = parse_content_length(value);
      if (n < 0 || (length >= 0 && n != length)) {
        fail(HttpHeadError::kMalformed);
        return false;
      }
      length = n;
    } else if (iequal(name, "Transfer-Encoding")) {
      transfer_coding = true;
      head_.chunked = last_coding(value) == "chunked";
    } else if (iequal(name, "Content-Type")) {
      if (head_.content_type.empty()) head_.content_type = value;
    } else if (iequal(name, "Content-Range")) {
      if (!head_.has_range)
        head_.has_range = http_content_range(value, head_.range_first, head_.range_last, head_.range_total);
    }
  }
  // A transfer coding decides where the body ends, whatever the length says.
  head_.content_length = transfer_coding ? -1 : length;
  if (head_.status < 200 && head_.status != 101) return false;  // interim: the next head follows
  return true;
}

// ---- chunked body ----

void ChunkedDecoder::reset() {
  state_ = State::kSize;
  size_ = 0;
  digits_ = 0;
  line_ = 0;
  trailer_ = 0;
}

// One framing byte (anything but chunk data).
void ChunkedDecoder::step(uint8_t c) {
  auto end_of_size = [this] {
    line_ = 0;
    state_ = size_ == 0 ? State::kTrailer : State::kData;
  };
  auto next_chunk = [this] {
    state_ = State::kSize;
    size_ = 0;
    digits_ = 0;
  };
  switch (state_) {
    case State::kSize: {
      const int v = hex_value(c);
      if (v >= 0) {
        if (++digits_ > kChunkSizeDigits) state_ = State::kError;
        else size_ = size_ * 16 + static_cast<uint64_t>(v);
      } else if (digits_ == 0) {
        state_ = State::kError;
      } else if (c == ';' || c == ' ' || c == '\t') {
        state_ = State::kExt;
        line_ = 0;
      } else if (c == '\r') {
        state_ = State::kSizeLf;
      } else if (c == '\n') {
        end_of_size();
      } else {
        state_ = State::kError;
      }
      break;
    }
    case State::kExt:
      if (c == '\n') end_of_size();
      else if (c == '\r') state_ = State::kSizeLf;
      else if (++line_ > kChunkLineMax) state_ = State::kError;
      break;
    case State::kSizeLf:
      if (c == '\n') end_of_size();
      else state_ = State::kError;
      break;
    case State::kDataCr:
      if (c == '\r') state_ = State::kDataLf;
      else if (c == '\n') next_chunk();
      else state_ = State::kError;
      break;
    case State::kDataLf:
      if (c == '\n') next_chunk();
      else state_ = State::kError;
      break;
    case State::kTrailer:  // at the start of a trailer line
      if (c == '\r') {
        state_ = State::kTrailerLf;
      } else if (c == '\n') {
        state_ = State::kDone;
      } else {
        state_ = State::kTrailerLine;
        line_ = 1;
      }
      break;
    case State::kTrailerLine:
      if (c == '\n') state_ = State::kTrailer;
      else if (++line_ > kChunkLineMax) state_ = State::kError;
      break;
    case State::kTrailerLf:
      state_ = c == '\n' ? State::kDone : State::kError;
      break;
    default:
      break;
  }
  if (state_ == State::kTrailerLine || state_ == State::kTrailerLf || state_ == State::kTrailer) {
    if (++trailer_ > kTrailerMax) state_ = State::kError;
  }
}

long ChunkedDecoder::decode(uint8_t* buf, std::size_t len) {
  if (state_ == State::kError) return -1;
  std::size_t out = 0;
  std::size_t i = 0;
  while (i < len && state_ != State::kDone && state_ != State::kError) {
    if (state_ == State::kData) {
      const std::size_t left = len - i;
      const std::size_t n = size_ < left ? static_cast<std::size_t>(size_) : left;
      if (out != i) std::memmove(buf + out, buf + i, n);
      out += n;
      i += n;
      size_ -= n;
      if (size_ == 0) state_ = State::kDataCr;
      continue;
    }
    step(buf[i++]);
  }
  if (state_ == State::kError) return -1;
  return static_cast<long>(out);
}

// ---- Content-Range ----

namespace {

// Digits at the front of v into n; how many were taken (0: none, or too many).
std::size_t take_number(std::string_view v, int64_t& n) {
  std::size_t i = 0;
  n = 0;
  while (i < v.size() && is_digit(v[i])) {
    if (i == static_cast<std::size_t>(kContentLengthDigits)) return 0;
    n = n * 10 + (v[i] - '0');
    ++i;
  }
  return i;
}

}  // namespace

bool http_content_range(std::string_view v, int64_t& first, int64_t& last, int64_t& total) {
  first = last = total = -1;
  v = trim_blanks(v);
  if (v.size() < 6 || !iequal(v.substr(0, 6), "bytes ")) return false;
  v = trim_blanks(v.substr(6));
  int64_t n = 0;
  const std::size_t a = take_number(v, n);
  if (a == 0 || a >= v.size() || v[a] != '-') return false;
  v.remove_prefix(a + 1);
  const std::size_t b = take_number(v, last);
  if (b == 0) last = -1;
  else if (last < n) return false;
  v.remove_prefix(b);
  if (!v.empty()) {
    if (v[0] != '/') return false;
    v.remove_prefix(1);
    if (v != "*") {
      int64_t t = 0;
      const std::size_t c = take_number(v, t);
      if (c == 0 || c != v.size() || (last >= 0 && t <= last)) return false;
      total = t;
    }
  }
  first = n;
  return true;
}

// ---- redirects ----

bool http_resolve_location(std::string_view value, std::string_view base_path, HttpTarget& out) {
  out = HttpTarget{};
  std::string_view v = trim_blanks(value);
  v = v.substr(0, v.find('#'));
  if (v.empty()) return false;
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  std::string_view rest;
  bool absolute = false;
  if (iequal_prefix(v, "http://")) {
    rest = v.substr(7);
    absolute = true;
  } else if (v.substr(0, 2) == "//") {
    rest = v.substr(2);
    absolute = true;
  } else {
    // Another scheme ("https:", "rtmp:") cannot be followed by this input.
    const std::size_t colon = v.find(':');
    const std::size_t stop = v.find_first_of("/?");
    if (colon != std::string_view::npos && (stop == std::string_view::npos || colon < stop)) {
      bool scheme = colon > 0 && ((v[0] >= 'a' && v[0] <= 'z') || (v[0] >= 'A' && v[0] <= 'Z'));
      for (std::size_t i = 0; scheme && i < colon; ++i) {
        const char c = v[i];
        scheme = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '+' || c == '-' || c == '.';
      }
      if (scheme) return false;
    }
  }

  std::string path;
  if (absolute) {
    const std::size_t end = rest.find_first_of("/?");
    std::string_view hostpart = rest.substr(0, end);
    if (end != std::string_view::npos) path = std::string(rest.substr(rest[end] == '/' ? end + 1 : end));
    const std::size_t at = hostpart.rfind('@');
    if (at != std::string_view::npos) {
      if (at > kHttpCredentialsMax) return false;
      out.credentials = std::string(hostpart.substr(0, at));
      hostpart = hostpart.substr(at + 1);
    }
    std::string_view host = hostpart;
    const std::size_t colon = hostpart.find(':');
    if (colon != std::string_view::npos) {
      host = hostpart.substr(0, colon);
      const std::string_view port = hostpart.substr(colon + 1);
      if (!port.empty()) {
        if (port.size() > 5) return false;
        int n = 0;
        for (char c : port) {
          if (!is_digit(c)) return false;
          n = n * 10 + (c - '0');
        }
        if (n < 1 || n > 65535) return false;
        out.port = n;
      }
    }
    if (host.empty() || host.size() > kHttpHostMax || host.find_first_of("[] ") != std::string_view::npos)
      return false;
    out.host = std::string(host);
    out.absolute = true;
  } else if (v.front() == '/') {
    path = std::string(v.substr(1));
  } else if (v.front() == '?') {
    path = std::string(base_path.substr(0, base_path.find('?'))) + std::string(v);
  } else {
    const std::string_view base = base_path.substr(0, base_path.find('?'));
    const std::size_t slash = base.rfind('/');
    path = std::string(slash == std::string_view::npos ? std::string_view() : base.substr(0, slash + 1)) + std::string(v);
  }
  std::string escaped;
  for (char c : path) {
    if (c == ' ') escaped += "%20";
    else escaped.push_back(c);
  }
  if (escaped.size() > kHttpPathMax) return false;
  out.path = std::move(escaped);
  return true;
}

std::string http_log_text(std::string_view s, std::size_t max) {
  std::string out;
  const std::size_t n = s.size() < max ? s.size() : max;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    out.push_back((c < 0x20 && c != '\r' && c != '\n') || c == 0x7F ? '.' : static_cast<char>(c));
  }
  return out;
}

}  // namespace kx
