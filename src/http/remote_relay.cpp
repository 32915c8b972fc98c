// The relay of a remote file channel. The channel's input thread only looks at the file
// now and then; every player has a connection of its own to the file's server, asking for
// the bytes from the player's start on, and what comes is sent on unchanged, cut at the
// range end. Redirects are followed in this player's copy of the source record.
#include "http/remote_relay.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "ingest/channel_info.h"
#include "core/log.h"
#include "core/os/time.h"
#include "core/text.h"
#include "http/data_io.h"
#include "net/dns.h"
#include "net/http_client.h"
#include "net/socket.h"

namespace kx {

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kRequestSendTimeoutMs = 10000;
constexpr int kStepMs = 200;  // the flags are looked at this often while waiting
// The channel input sets its status to off for a moment between two looks at the file;
// only an input that stays off this long ends the players.
constexpr int64_t kOffGraceMs = 2000;
constexpr std::size_t kChunkBytes = 16384;
constexpr std::size_t kLogCut = 300;

const char* const kOffAtConnect = "Session[%d]: CH[%d] is OFF)\n";
const char* const kOffWhileRelaying = "Session[%d]: 1. CH[%d] is OFF\n";


class Relay {
 public:
  Relay(PlayerSession& s, Channel_Info& ch, int no) : s_(s), ch_(ch), sno_(static_cast<int>(s.session_no)), no_(no) {
    std::lock_guard<std::mutex> l(ch.rt.src_lock);
    src_ = ch.rt.src[static_cast<std::size_t>(std::clamp(ch.rt.nCurrent_URL_Index.load(), 0, 2))];
  }

  int run();

 private:
  enum Step { kNext, kDone, kEnd };

  bool input_running();
  bool halted(const char* off_fmt);
  bool connect_source(HttpConnection& conn);
  Step exchange(int& redirects);
  bool follow(const HttpResponseHead& h, bool permanent);
  Step relay_body(HttpConnection& conn);
  int send_on(const uint8_t* p, std::size_t n);

  PlayerSession& s_;
  Channel_Info& ch_;
  const int sno_, no_;
  Source_URL_Info src_;  // this player's copy: redirects change only it
  const char* off_fmt_ = kOffAtConnect;  // the line an input gone off logs now
  int64_t off_since_ = -1;
  uint8_t buf_[kChunkBytes];
};

bool Relay::input_running() {
  if (ch_.rt.nChannel_Status.load(std::memory_order_relaxed) != kStatusOff) {
    off_since_ = -1;
    return true;
  }
  const int64_t now = mono_ms();
  if (off_since_ < 0) off_since_ = now;
  return now - off_since_ < kOffGraceMs;
}

// The server stop, the channel input and the stop flag; logged when one ends the relay.
bool Relay::halted(const char* off_fmt) {
  if (!http_serving()) return true;
  if (!input_running()) {
    log_sys(off_fmt, sno_, no_);
    return true;
  }
  if (s_.stop.load(std::memory_order_relaxed) != 0) {
    log_sys("Session[%d]: CH[%d] STOP)\n", sno_, no_);
    return true;
  }
  return false;
}

bool Relay::connect_source(HttpConnection& conn) {
  std::string ip;
  if (is_ipv4_text(src_.host)) {
    ip = src_.host;
  } else {
    NameQuery q;
    q.name = src_.host.substr(0, 255);
    if (!resolve_name(q) || q.count <= 0) {
      log_sys("Warning: CH [%d]: NAME to IP failed [%s]\n", no_, q.name.c_str());
      return false;
    }
    ip = ipv4_text(ntohl(q.addr[0]));
  }
  const int r = conn.connect(ip, src_.port, kConnectTimeoutMs);
  if (r == 0) log_sys("Warning: CH [%d]: cannot connect http://%s:%d\n", no_, src_.host.c_str(), src_.port);
  if (r != 1) return false;
  log_sys("CH [%d]: connect http://%s:%d\n", no_, src_.host.c_str(), src_.port);
  return true;
}

// A redirect, in this player's copy of the source. false when it cannot be followed.
bool Relay::follow(const HttpResponseHead& h, bool permanent) {
  HttpEndpoint at{src_.host, src_.port, src_.path, src_.credentials};
  if (!h.has_location || !http_follow_location(h.location, at)) {
    log_sys(permanent ? "Session[%d]: CH [%d]: Can not find Permanent URL\n"
                      : "Session[%d]: CH [%d]: Can not find Temp URL\n",
            sno_, no_);
    return false;
  }
  if (at.host != src_.host || at.port != src_.port) src_.ip.clear();
  src_.host = at.host;
  src_.port = at.port;
  src_.path = at.path;
  src_.credentials = at.credentials;
  return true;
}

// Sends n bytes to the player: 1 sent, 0 the relay ends (logged).
int Relay::send_on(const uint8_t* p, std::size_t n) {
  int err = 0;
  const int r = send_body(s_, p, n, err);
  if (r == kSendDone) return 1;
  if (r == kSendFailed) {
    log_sys("Session[%d]: CH [%d]: Player closes TCP Socket : filename=[%s], Warning Code [%d]\n", sno_, no_,
            src_.path.c_str(), err);
    s_.stop.store(1);
  } else if (s_.stop.load() != 0) {
    log_sys("Session[%d]: CH[%d] STOP)\n", sno_, no_);
  }
  return 0;
}

// The body of a 200 or 206 answer.
Relay::Step Relay::relay_body(HttpConnection& conn) {
  const HttpResponseHead& h = conn.head();
  int64_t want = s_.range_start;  // the first byte the player gets
  int64_t end = s_.range_end;     // the byte after the last one
  int64_t pos = 0;                // the file position of the next body byte
  if (h.status == 206) {
    if (h.has_range) {
      const int64_t first = h.range_first, last = h.range_last;
      pos = first;
      if (first > want) want = first;  // the source's start it is
      s_.range_start = want;
      log_sys("Session[%d] CH [%d]: Range1=[%lld]\n", sno_, no_, static_cast<long long>(first));
      if (last >= 0 && last + 1 < end) {
        end = last + 1;
        s_.range_end = end;
        log_sys("Session[%d] CH [%d]: Range2=[%lld]\n", sno_, no_, static_cast<long long>(end));
      }
    } else {
      if (want < 0) want = 0;  // a suffix answered without its range: its bytes as they come
      pos = want;  // a partial answer without its range: the one asked for
      if (h.content_length >= 0 && want + h.content_length < end) end = want + h.content_length;
    }
  } else {
    if (want < 0) {
      // The source ignored a suffix range: its length tells where the suffix starts.
      if (h.content_length < 0) {
        log_sys("Session[%d]: CH [%d]: a suffix range needs the source's length\n", sno_, no_);
        return kEnd;
      }
      want = std::max<int64_t>(0, h.content_length + want);
      s_.range_start = want;
    }
    // The whole file: the bytes before the player's start are passed over.
    if (h.content_length >= 0 && h.content_length < end) end = h.content_length;
  }
  set_state(s_, "RUNNING", "Sending Data");
  off_fmt_ = kOffWhileRelaying;

  for (;;) {
    if (pos >= end) {
      log_sys("Session[%d]: CH [%d]: filename=[%s]\n", sno_, no_, src_.path.c_str());
      return kDone;
    }
    const long r = conn.read_body(buf_, sizeof buf_, mono_ms() + kRelayReceiveTimeoutMs);
    if (r <= 0) {
      switch (conn.end()) {
        case HttpEnd::kStopped:
          return kEnd;
        case HttpEnd::kTimeout:
          log_sys("Warning: CH [%d]: HTTP Data Timeout\n", no_);
          return kEnd;
        case HttpEnd::kBroken:
          log_sys("Warning: CH [%d]: HTTP chunked body broken\n", no_);
          return kEnd;
        case HttpEnd::kComplete:
        case HttpEnd::kClosed:  // the end of the connection ends a body of unknown length
          log_sys("Session[%d]: CH [%d]: filename=[%s]\n", sno_, no_, src_.path.c_str());
          return kDone;
        default:
          log_sys("Session[%d]: CH [%d]: filename=[%s]\n", sno_, no_, src_.path.c_str());
          return kEnd;
      }
    }
    auto n = static_cast<std::size_t>(r);
    const uint8_t* p = buf_;
    if (pos < want) {
      const std::size_t k = static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(n), want - pos));
      p += k;
      n -= k;
      pos += static_cast<int64_t>(k);
      // A source that ignores the range may need longer than a watchdog period to reach
      // the player's start; bytes passed over are progress as much as bytes sent.
      if (k > 0) s_.progressed.store(1, std::memory_order_relaxed);
    }
    const int64_t room = end - pos;
    if (room <= 0) n = 0;
    else if (static_cast<int64_t>(n) > room) n = static_cast<std::size_t>(room);
    if (n == 0) continue;
    if (!send_on(p, n)) return kEnd;
    pos += static_cast<int64_t>(n);
    s_.range_start = pos;
  }
}

// One connection: the request, the answer's head, and the body or a redirect.
Relay::Step Relay::exchange(int& redirects) {
  off_fmt_ = kOffAtConnect;
  HttpConnection conn([this] { return halted(off_fmt_); });
  if (!connect_source(conn)) return kEnd;
  if (!conn.send(relay_request(src_, s_.range_start), kRequestSendTimeoutMs)) {
    log_sys("Warning: CH [%d]: HTTP Send Error\n", no_);
    return kEnd;
  }
  // One time-out for the whole head: a source dripping it byte by byte is cut off too.
  switch (conn.read_head(mono_ms() + kRelayReceiveTimeoutMs)) {
    case HttpEnd::kComplete:
      break;
    case HttpEnd::kStopped:
      return kEnd;
    case HttpEnd::kTimeout:
      log_sys("Warning: CH [%d]: HTTP Response Timeout\n", no_);
      return kEnd;
    case HttpEnd::kError:
      log_sys("Warning: CH [%d]: HTTP Response Error, Len[%d]\n", no_, -1);
      return kEnd;
    default:  // closed inside the head, or not a head
      log_sys("Session[%d]: CH [%d]: HTTP wrong response\n", sno_, no_);
      return kEnd;
  }
  const HttpResponseHead& h = conn.head();
  if (h.status == 200 || h.status == 206) return relay_body(conn);
  const HttpRedirect redirect = http_redirect_kind(h.status);
  if (redirect != HttpRedirect::kNone) {
    if (redirects >= kRelayMaxRedirects) {
      log_sys("Session[%d]: CH [%d]: too many redirects [%d]\n", sno_, no_, redirects + 1);
      return kEnd;
    }
    ++redirects;
    return follow(h, redirect == HttpRedirect::kPermanent) ? kNext : kEnd;
  }
  log_sys("Session[%d]: CH [%d]: HTTP Response=[%s]\n", sno_, no_, http_log_text(h.status_line, kLogCut).c_str());
  return kEnd;
}

int Relay::run() {
  if (src_.host.empty() || src_.port < 1 || src_.port > 65535) {
    log_sys("Session[%d]: CH [%d]: no source to relay\n", sno_, no_);
    return 0;
  }
  int redirects = 0;
  // Bounded: every pass but the last follows a redirect.
  for (int pass = 0; pass <= kRelayMaxRedirects; ++pass) {
    if (halted(kOffAtConnect)) return 0;
    if (s_.range_start >= s_.range_end) return 1;
    const Step st = exchange(redirects);
    if (st != kNext) return st == kDone ? 1 : 0;
  }
  return 0;
}

}  // namespace

std::string relay_request(const Source_URL_Info& src, int64_t start) {
  HttpRequestSpec spec;
  spec.at = HttpEndpoint{src.host, src.port, src.path, src.credentials};
  spec.host_form = HttpHostForm::kPortUnless80;
  // A negative start asks for that many last bytes.
  spec.after_host.push_back({"Range", "bytes=" + std::to_string(start) + (start < 0 ? "" : "-")});
  return http_request_text(spec);
}

bool relay_content_range(std::string_view head, int64_t& first, int64_t& last) {
  while (!head.empty()) {
    const std::size_t nl = head.find('\n');
    std::string_view line = head.substr(0, nl);
    head = nl == std::string_view::npos ? std::string_view() : head.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !iequal(trim_blanks(line.substr(0, colon)), "Content-Range")) continue;
    int64_t total = -1;
    return http_content_range(line.substr(colon + 1), first, last, total);
  }
  return false;
}

int relay_remote_file(PlayerSession& s, Channel_Info& ch, int channel_no) {
  // Its receive buffer stays off the thread's stack.
  auto relay = std::make_unique<Relay>(s, ch, channel_no);
  return relay->run();
}

}  // namespace kx
