#include "net/http_client.h"

#include <algorithm>
#include <cstring>

#include "core/os/time.h"
#include "core/text.h"

namespace kx {

namespace {

constexpr int kStepMs = 200;  // the stop check is made this often while waiting
constexpr std::size_t kHeadReadBytes = 2048;

// Control characters would split the request; none can be meant.
std::string clean(std::string_view s) {
  std::string out;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out.push_back(c);
  return out;
}

void put_field(std::string& r, std::string_view name, std::string_view value) {
  r += clean(name);
  r += ": ";
  r += clean(value);
  r += "\r\n";
}

}  // namespace

std::string http_basic_credentials(std::string_view credentials) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((credentials.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < credentials.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, credentials.size() - i);
    uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k)
      v = (v << 8) | (k < n ? static_cast<unsigned char>(credentials[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3F] : '=');
  }
  return out;
}

std::string http_request_text(const HttpRequestSpec& spec) {
  const HttpEndpoint& at = spec.at;
  std::string r = clean(spec.method) + " /" + clean(at.path) + " HTTP/1.0\r\n";
  if (!spec.user_agent.empty()) put_field(r, "User-Agent", spec.user_agent);
  for (const HttpField& f : spec.before_host) put_field(r, f.name, f.value);
  std::string host = at.host;
  if (spec.host_form == HttpHostForm::kWithPort || at.port != 80) host += ":" + std::to_string(at.port);
  put_field(r, "Host", host);
  for (const HttpField& f : spec.after_host) put_field(r, f.name, f.value);
  r += "Connection: close\r\n";
  if (!at.credentials.empty()) put_field(r, "Authorization", "Basic " + http_basic_credentials(at.credentials));
  r += "\r\n";
  return r;
}

HttpRedirect http_redirect_kind(int status) {
  if (status == 301 || status == 308) return HttpRedirect::kPermanent;
  if (status == 302 || status == 303 || status == 307) return HttpRedirect::kTemporary;
  return HttpRedirect::kNone;
}

bool http_follow_location(std::string_view location, HttpEndpoint& at) {
  HttpTarget t;
  if (!http_resolve_location(location, at.path, t)) return false;
  if (t.absolute) {
    // Credentials go only to the server they were given for, unless the location names
    // its own: a redirect must not hand them to somebody else.
    if (!t.credentials.empty()) at.credentials = t.credentials;
    else if (!iequal(t.host, at.host) || t.port != at.port) at.credentials.clear();
    at.host = t.host;
    at.port = t.port;
  }
  at.path = t.path;
  return true;
}

// ---- the connection ----

int HttpConnection::connect(const std::string& ip, int port, int timeout_ms) {
  sock_.close();
  return tcp_connect(ip, port, timeout_ms, stop_, sock_);
}

bool HttpConnection::send(const std::string& request, int timeout_ms) {
  return sock_ && send_all(sock_.fd(), request.data(), request.size(), timeout_ms);
}

// > 0 bytes, or 0 with end_ set.
long HttpConnection::receive(uint8_t* buf, std::size_t cap, int64_t deadline) {
  for (;;) {
    if (stop_ && stop_()) {
      end_ = HttpEnd::kStopped;
      return 0;
    }
    const int64_t left = deadline - mono_ms();
    if (left <= 0) {
      end_ = HttpEnd::kTimeout;
      return 0;
    }
    const long r = recv_some(sock_.fd(), buf, cap, static_cast<int>(std::min<int64_t>(left, kStepMs)));
    if (r == -2) continue;
    if (r > 0) return r;
    end_ = r == 0 ? HttpEnd::kClosed : HttpEnd::kError;
    return 0;
  }
}

HttpEnd HttpConnection::read_head(int64_t deadline) {
  parser_.reset();
  seen_.clear();
  end_ = HttpEnd::kNone;
  uint8_t buf[kHeadReadBytes];
  for (;;) {
    const long r = receive(buf, sizeof buf, deadline);
    if (r == 0) {
      if (end_ == HttpEnd::kClosed && seen_.empty()) end_ = HttpEnd::kTimeout;
      return end_;
    }
    const auto n = static_cast<std::size_t>(r);
    if (seen_.size() < kHttpSeenMax)
      seen_.append(reinterpret_cast<const char*>(buf), std::min(n, kHttpSeenMax - seen_.size()));
    const std::size_t used = parser_.feed(buf, n);
    if (parser_.state() == HttpHeadState::kFailed) {
      end_ = HttpEnd::kBadHead;
      return end_;
    }
    if (parser_.state() == HttpHeadState::kDone) {
      end_ = HttpEnd::kNone;
      begin_body(buf + used, n - used);
      return HttpEnd::kComplete;
    }
  }
}

// The head is complete; rest[0, n) came after it in the same read.
void HttpConnection::begin_body(const uint8_t* rest, std::size_t n) {
  const HttpResponseHead& h = parser_.head();
  chunked_ = h.chunked;
  left_ = h.content_length;
  dechunk_.reset();
  early_.assign(rest, rest + n);
  early_pos_ = 0;
  if (chunked_) {
    const long d = dechunk_.decode(early_.data(), early_.size());
    if (d < 0) {
      end_ = HttpEnd::kBroken;
      early_.clear();
    } else {
      early_.resize(static_cast<std::size_t>(d));
    }
  } else if (left_ >= 0) {
    if (static_cast<int64_t>(early_.size()) > left_) early_.resize(static_cast<std::size_t>(left_));
    left_ -= static_cast<int64_t>(early_.size());
  }
}

long HttpConnection::read_body(uint8_t* buf, std::size_t cap, int64_t deadline) {
  if (cap == 0) return 0;
  if (early_pos_ < early_.size()) {
    const std::size_t n = std::min(cap, early_.size() - early_pos_);
    std::memcpy(buf, early_.data() + early_pos_, n);
    early_pos_ += n;
    return static_cast<long>(n);
  }
  for (;;) {
    if (end_ != HttpEnd::kNone) return 0;
    if ((chunked_ && dechunk_.done()) || (!chunked_ && left_ == 0)) {
      end_ = HttpEnd::kComplete;
      return 0;
    }
    std::size_t want = cap;
    if (!chunked_ && left_ > 0 && static_cast<uint64_t>(left_) < want) want = static_cast<std::size_t>(left_);
    const long r = receive(buf, want, deadline);
    if (r == 0) {
      // A body with a length or chunks that stops early did not end well.
      if (end_ == HttpEnd::kClosed && (chunked_ || left_ > 0)) end_ = HttpEnd::kCutShort;
      return 0;
    }
    if (!chunked_) {
      if (left_ > 0) left_ -= r;
      return r;
    }
    const long d = dechunk_.decode(buf, static_cast<std::size_t>(r));
    if (d < 0) {
      end_ = HttpEnd::kBroken;
      return 0;
    }
    if (d > 0) return d;
  }
}

}  // namespace kx
