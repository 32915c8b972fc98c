// The HTTP source input branch: resolve, connect, one GET, redirects, then what the server
// sends decides the rest: MPEG-TS goes into the ring as entries of whole packets, FLV goes
// into the ring as raw entries and, split at tag boundaries, into the FLV tag ring with
// the decoder set-up captured on the way; a playlist turns the channel into an HLS one; a
// movie channel's file is only probed. One call is one connect cycle: redirects are
// followed within it, and the caller waits the reconnection delay between cycles.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/time.h"
#include "formats/h264.h"
#include "ingest/flv_feed.h"
#include "ingest/http_input.h"
#include "ingest/input.h"
#include "ingest/source_check.h"
#include "ingest/ts_align.h"
#include "net/dns.h"
#include "net/http_client.h"
#include "net/socket.h"

namespace kx {

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 10000;
constexpr int64_t kSilenceMs = 10000;  // the receive time-out of TCP sources
constexpr int kPollStepMs = 200;       // commands are looked at this often
constexpr int kRecvBufferBytes = 2 << 20;
constexpr int kMaxRedirects = 10;       // per connect cycle
constexpr std::size_t kReadBytes = 16384;
constexpr std::size_t kRtpPrefix = 12;  // an RTP header in front of the TS
constexpr std::size_t kLogCut = 300;      // an answer that is not HTTP, in log lines
constexpr std::size_t kLogHeadMax = 4000;  // a response head in a log line
constexpr int kAvcSearchEntries = 4096;  // entries per connection searched for SPS/PPS

constexpr int kGoOn = -1;  // beside the BranchEnd values: the cycle goes on

// The next body bytes of conn: > 0, or 0 with conn.end() telling why. The source may be
// silent up to the receive time-out.
long read_body(HttpConnection& conn, uint8_t* buf, std::size_t cap) {
  return conn.read_body(buf, cap, mono_ms() + kSilenceMs);
}

// What the first body bytes are.
enum BodyKind { kKindUnknownYet, kKindTs, kKindRtpTs, kKindFlv, kKindPlaylist, kKindOther };

// Whether p[0, n) is word, or (when more may come) could still become it.
int match_prefix(const uint8_t* p, std::size_t n, std::string_view word, bool final) {
  const std::size_t k = std::min(n, word.size());
  if (std::memcmp(p, word.data(), k) != 0) return 0;  // no
  if (k == word.size()) return 1;                       // yes
  return final ? 0 : -1;                                // not yet known
}

BodyKind classify_body(const uint8_t* p, std::size_t n, bool final) {
  if (n == 0) return final ? kKindOther : kKindUnknownYet;
  if (p[0] == kTsSyncByte) return kKindTs;
  const int flv = match_prefix(p, n, "FLV", final);
  if (flv == 1) return kKindFlv;
  std::size_t bom = 0;
  const int b = match_prefix(p, n, "\xEF\xBB\xBF", final);
  if (b == 1) bom = 3;
  const int m3u = b == -1 ? -1 : match_prefix(p + bom, n - bom, "#EXTM3U", final);
  if (m3u == 1) return kKindPlaylist;
  // An RTP header (version 2) in front of the first packet.
  const bool rtp = (p[0] & 0xC0) == 0x80;
  if (rtp && n > kRtpPrefix && p[kRtpPrefix] == kTsSyncByte) return kKindRtpTs;
  if (flv == -1 || m3u == -1 || (rtp && n <= kRtpPrefix && !final)) return kKindUnknownYet;
  return kKindOther;
}

// The index of the shared source slot this cycle reads.
std::size_t slot_index(const Channel_Info& ch) {
  return static_cast<std::size_t>(std::clamp(ch.rt.nCurrent_URL_Index.load(), 0, 2));
}

// Changes the shared slot, unless it was redefined since this cycle took its copy.
template <typename F>
void change_shared_slot(Channel_Info& ch, const Source_URL_Info& expected, F change) {
  std::lock_guard<std::mutex> l(ch.rt.src_lock);
  Source_URL_Info& s = ch.rt.src[slot_index(ch)];
  if (s.host != expected.host || s.port != expected.port || s.path != expected.path) return;
  change(s);
}

HttpEndpoint endpoint_of(const Source_URL_Info& s) { return HttpEndpoint{s.host, s.port, s.path, s.credentials}; }

// "GET /path HTTP/1.0" with an open byte range and the host with its port.
std::string source_request(const Source_URL_Info& s, const std::string& credentials) {
  HttpRequestSpec spec;
  spec.at = endpoint_of(s);
  spec.at.credentials = credentials;
  spec.before_host.push_back({"Range", "bytes=0-"});
  return http_request_text(spec);
}

// The request as it may appear in a log: credentials left out.
std::string loggable_request(const Source_URL_Info& s) {
  return source_request(s, s.credentials.empty() ? "" : "*");
}

struct Cycle {
  InputContext& ctx;
  Channel_Info& ch;
  int n;
  Source_URL_Info taken;   // the shared slot as this cycle took it (updated by a 301)
  bool temporary = false;  // a temporary redirect is in force
};

// Name to IP, TCP Open, TCP Opened, HTTP Request.
int connect_and_send(Cycle& c, HttpConnection& conn) {
  Source_URL_Info& src = c.ctx.src;
  c.ch.rt.status.store(kStNameToIp);
  if (!source_record_usable(src)) {
    log_admin("CH [%d]: NAME to IP error code [%d] [%s]\n", c.n, 0, src.host.c_str());
    return kEndSourceFailed;
  }
  NameQuery q;
  q.name = src.host.substr(0, 255);
  errno = 0;
  if (!resolve_name(q) || q.count <= 0) {
    log_admin("CH [%d]: NAME to IP error code [%d] [%s]\n", c.n, errno, src.host.c_str());
    src.ip.clear();
    return kEndSourceFailed;
  }
  const int interval = config()->i(Key::channel_reconnection_interval);
  const int count = std::min(q.count, kNameQueryMaxAddrs);
  bool connected = false;
  for (int i = 0; i < count && !connected; ++i) {
    src.ip = ipv4_text(ntohl(q.addr[i]));
    c.ch.rt.status.store(kStTcpOpen);
    const int r = conn.connect(src.ip, src.port, kConnectTimeoutMs);
    if (r < 0) return kEndCommand;
    connected = r == 1;
    // The last failure is logged by the reconnection delay itself.
    if (r == 0 && i + 1 < count) log_admin("CH [%d]: reconnect it after [%d] sec.\n", c.n, interval);
  }
  if (!connected) {
    c.ch.rt.status.store(kStTcpFailed);
    return c.ctx.should_end() ? kEndCommand : kEndSourceFailed;
  }
  c.ch.rt.status.store(kStTcpOpened);
  log_admin("CH [%d]: connects source url \n", c.n);
  set_recv_buffer(conn.socket().fd(), kRecvBufferBytes);  // the kernel may grant less

  c.ch.rt.status.store(kStHttpRequest);
  if (!conn.send(source_request(src, src.credentials), kSendTimeoutMs)) {
    log_admin("CH [%d]: TCP Send Cmd failed =[%s]\n", c.n, loggable_request(src).c_str());
    return kEndSourceFailed;
  }
  return kGoOn;
}

// Reads the response head, however the bytes are cut, up to its blank line, within one
// deadline for the whole head: a source dripping its head a byte at a time gives way to
// the next source instead of holding the channel for hours.
int read_head(Cycle& c, HttpConnection& conn) {
  const HttpEnd r = conn.read_head(mono_ms() + kSilenceMs);
  if (!conn.seen().empty()) c.ch.rt.status.store(kStHttpResponse);
  switch (r) {
    case HttpEnd::kComplete:
      return kGoOn;
    case HttpEnd::kStopped:
      return kEndCommand;
    case HttpEnd::kTimeout:
      log_admin("Warning: CH [%d]: HTTP Response Timeout\n", c.n);
      return kEndSourceFailed;
    case HttpEnd::kError:
      log_admin("Warning: CH [%d]: HTTP Response Error, Len[%d]\n", c.n, -1);
      return kEndSourceFailed;
    case HttpEnd::kClosed:  // closed inside the head
      log_admin("Error: CH [%d]: HTTP Response=[%s]\n", c.n, http_log_text(conn.parser().text(), kLogCut).c_str());
      return kEndSourceFailed;
    default:
      log_admin("Error: CH [%d]: HTTP Response=[%s]\n", c.n, http_log_text(conn.seen(), kLogCut).c_str());
      return kEndSourceFailed;
  }
}

// The head without its blank line, for log lines (bounded to fit one).
std::string head_for_log(const HttpConnection& conn) {
  std::string t = conn.parser().text();
  while (!t.empty() && (t.back() == '\r' || t.back() == '\n')) t.pop_back();
  return http_log_text(t, kLogHeadMax);
}

// Follows a redirect in this cycle's copy of the source (and, for a permanent one, in
// the shared slot). false when the location cannot be used.
bool follow_redirect(Cycle& c, const HttpResponseHead& h, bool permanent) {
  Source_URL_Info& s = c.ctx.src;
  HttpEndpoint at = endpoint_of(s);
  if (!h.has_location || !http_follow_location(h.location, at)) {
    log_admin(permanent ? "CH [%d]: Can not find Permanent URL\n" : "CH [%d]: Can not find Temp URL\n", c.n);
    return false;
  }
  if (at.host != s.host || at.port != s.port) s.ip.clear();
  s.host = at.host;
  s.port = at.port;
  s.path = at.path;
  s.credentials = at.credentials;
  if (!permanent) {
    c.temporary = true;
  } else if (!c.temporary) {
    // Permanent for the configured URL only; after a temporary hop it is the temporary
    // URL that moved.
    change_shared_slot(c.ch, c.taken, [&s](Source_URL_Info& shared) {
      shared.host = s.host;
      shared.port = s.port;
      shared.ip = s.ip;
      shared.path = s.path;
      shared.credentials = s.credentials;
    });
    c.taken.host = s.host;
    c.taken.port = s.port;
    c.taken.path = s.path;
  }
  return true;
}

// The whole length of the source's body from an answer to "bytes=0-"; -1 when unknown.
int64_t source_length(const HttpResponseHead& h) {
  if (h.has_range) return h.range_total;
  return h.chunked ? -1 : h.content_length;
}

// ---- MPEG-TS ----

struct TsOut {
  Channel_Info* ch;
  RealBuffer* ring;
  int searched = 0;
  bool have_avc = false;
};

void commit_ts_entry(void* user, const uint8_t* data, int len) {
  auto* o = static_cast<TsOut*>(user);
  o->ring->commit(data, len);
  if (o->have_avc || o->searched >= kAvcSearchEntries) return;
  ++o->searched;
  AvcConfig cfg;
  if (avc_config_from_ts(data, len, cfg) != 1 || cfg.len <= 0) return;
  auto s = std::make_shared<DecoderSetup>();
  s->avc_header.assign(reinterpret_cast<const char*>(cfg.header), static_cast<std::size_t>(cfg.len));
  s->avc_chunk_header = false;
  o->ch->rt.set_setup(std::move(s));
  o->have_avc = true;
}

// Why the data of a connection ended.
int data_end(Cycle& c, const HttpConnection& conn) {
  switch (conn.end()) {
    case HttpEnd::kStopped:
      return kEndCommand;
    case HttpEnd::kTimeout:
      log_admin("Warning: CH [%d]: HTTP Data Timeout\n", c.n);
      break;
    case HttpEnd::kClosed:
    case HttpEnd::kCutShort:
    case HttpEnd::kComplete:
      log_admin("Warning: CH [%d]: HTTP Socket Zero Bytes\n", c.n);
      break;
    case HttpEnd::kBroken:
      log_admin("Warning: CH [%d]: HTTP chunked body broken\n", c.n);
      break;
    default:
      log_admin("Warning: CH [%d]: HTTP Socket Closed\n", c.n);
      break;
  }
  return c.ctx.should_end() ? kEndCommand : kEndSourceFailed;
}

// Feeds one read to the aligner; bytes skipped to find a sync byte again are logged with
// the ring's head index.
void feed_ts(TsAligner& al, TsOut& out, const uint8_t* data, std::size_t len) {
  const uint64_t dropped = al.dropped;
  ts_align_feed(al, data, len, commit_ts_entry, &out);
  if (al.dropped != dropped) log_admin("[%d] buffer Not 0x47 header \n", out.ring->head());
}

int ts_loop(Cycle& c, HttpConnection& conn, const uint8_t* first, std::size_t first_len) {
  TsAligner al;
  ts_align_reset(al);
  TsOut out{&c.ch, c.ctx.ring.get()};
  feed_ts(al, out, first, first_len);
  std::vector<uint8_t> buf(kReadBytes);
  for (;;) {
    c.ch.rt.status.store(kStOn);
    const long r = read_body(conn, buf.data(), buf.size());
    if (r > 0) {
      feed_ts(al, out, buf.data(), static_cast<std::size_t>(r));
      continue;
    }
    // Whole packets already received are kept; a cut packet is not.
    ts_align_flush(al, commit_ts_entry, &out);
    return data_end(c, conn);
  }
}

// ---- FLV ----

int flv_loop(Cycle& c, HttpConnection& conn, const uint8_t* first, std::size_t first_len) {
  FlvFeed feed(c.ctx);
  if (!feed.start()) return kEndCommand;
  feed.take(first, first_len);
  std::vector<uint8_t> buf(kReadBytes);
  for (;;) {
    c.ch.rt.status.store(kStOn);
    const long r = read_body(conn, buf.data(), buf.size());
    if (r > 0) {
      feed.take(buf.data(), static_cast<std::size_t>(r));
      continue;
    }
    feed.finish();
    return data_end(c, conn);
  }
}

// ---- movies ----

// The format a movie channel's path names, with the source type it becomes; 0 for none.
int movie_format(const std::string& path, int& type) {
  std::string p = path.substr(0, path.find('?'));
  for (char& ch : p) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
  auto ends = [&p](const char* ext) {
    const std::size_t n = std::strlen(ext);
    return p.size() >= n && p.compare(p.size() - n, n, ext) == 0;
  };
  if (ends(".mp4")) { type = kSrcHttpMovie; return kInputMp4File; }
  if (ends(".avi")) { type = kSrcHttpMovie; return 10; }
  if (ends(".ts")) { type = kSrcHttpTsMovie; return kInputTsFile; }
  if (ends(".flv")) { type = kSrcHttpFlvMovie; return kInputFlvFile; }
  return 0;
}

void set_on(Cycle& c) {
  log_admin("CH [%d]: Finished to Check Video Input Format\n", c.n);
  start_side_threads(c.ctx);
  c.ch.rt.set_on();
  c.ch.rt.tStart_Time.store(wall_seconds());
}

// Format check and the data that follows.
int receive(Cycle& c, HttpConnection& conn) {
  Channel_Info& ch = c.ch;
  const int n = c.n;
  const std::vector<uint8_t> early(conn.early_data(), conn.early_data() + conn.early_size());
  if (early.empty()) {
    log_admin("CH [%d]: Pure HTTP Header \n", n);
  } else {
    switch (classify_body(early.data(), early.size(), false)) {
      case kKindTs:
        log_admin("CH [%d]:  HTTP Header contains TS Data [%d] Bytes\n", n, static_cast<int>(early.size()));
        break;
      case kKindRtpTs:
        log_admin("CH [%d]:  HTTP Header contains TS Data [%d] Bytes\n", n, static_cast<int>(early.size() - kRtpPrefix));
        break;
      case kKindFlv:
        log_admin("CH [%d]:  HTTP Header with FLV Content [%d] Bytes\n", n, static_cast<int>(early.size()));
        break;
      case kKindOther:
        log_admin("CH [%d]:  1. HTTP Header with NON TS or NON FLV\n", n);
        break;
      default:
        break;
    }
  }

  log_admin("CH [%d]: Start to Check Video Input Format\n", n);
  ch.rt.status.store(kStCheckFormat);
  // Enough of the body to tell the formats apart.
  std::vector<uint8_t> probe;
  std::vector<uint8_t> buf(kReadBytes);
  bool final = false;
  while (classify_body(probe.data(), probe.size(), final) == kKindUnknownYet) {
    const long r = read_body(conn, buf.data(), buf.size());
    if (conn.end() == HttpEnd::kStopped) return kEndCommand;
    if (r <= 0) {
      final = true;
      continue;
    }
    probe.insert(probe.end(), buf.data(), buf.data() + r);
  }
  if (probe.empty()) {
    const std::string& type = conn.head().content_type;
    if (type.size() >= 9 && std::equal(type.begin(), type.begin() + 9, "text/html",
                                       [](char a, char b) { return (a | 0x20) == b; })) {
      log_admin("CH [%d]: is [%s]\n", n, head_for_log(conn).c_str());
    } else {
      log_admin("CH [%d]: Finished to Check Video Length = [%d]\n", n, 0);
    }
    ch.rt.nInput_Format.store(0);
    return c.ctx.should_end() ? kEndCommand : kEndSourceFailed;
  }

  int movie_type = 0;
  const int movie = ch.def.nChannel_Type == kTypeMovie ? movie_format(c.ctx.src.path, movie_type) : 0;
  if (movie != 0) {
    // The outputs serve a movie themselves; the input only probes it now and then.
    log_admin("CH [%d]: Start to receive Movie Stream\n", n);
    ch.rt.nInput_Format.store(movie);
    c.ctx.src.type = movie_type;
    set_on(c);
    conn.close();
    ch.rt.status.store(kStReconnect);
    const int interval = config()->i(Key::channel_reconnection_interval);
    if (c.ctx.sleep_or_end(10LL * 1000 * std::clamp(interval, 0, 3600))) return kEndCommand;
    return kEndSwitchNow;
  }

  switch (classify_body(probe.data(), probe.size(), true)) {
    case kKindFlv:
      log_admin("CH [%d]: Start to receive FLV Stream\n", n);
      ch.rt.nInput_Format.store(1);
      if (c.ctx.src.type == kSrcHttp) {
        c.ctx.src.type = kSrcHttpFlv;
        change_shared_slot(ch, c.taken, [](Source_URL_Info& s) {
          if (s.type == kSrcHttp) s.type = kSrcHttpFlv;
        });
      }
      set_on(c);
      return flv_loop(c, conn, probe.data(), probe.size());
    case kKindTs:
    case kKindRtpTs: {
      log_admin("CH [%d]: Start to receive MP2T Stream\n", n);
      ch.rt.nInput_Format.store(2);
      if (c.ctx.src.type == kSrcHttpFlv) {
        c.ctx.src.type = kSrcHttp;
        change_shared_slot(ch, c.taken, [](Source_URL_Info& s) {
          if (s.type == kSrcHttpFlv) s.type = kSrcHttp;
        });
      }
      set_on(c);
      const std::size_t skip = probe[0] == kTsSyncByte ? 0 : kRtpPrefix;
      return ts_loop(c, conn, probe.data() + skip, probe.size() - skip);
    }
    case kKindPlaylist:
      // The channel comes back as a playlist source.
      change_shared_slot(ch, c.taken, [](Source_URL_Info& s) { s.type = kSrcHls; });
      ch.rt.nRefresh.store(1);
      log_admin("CH [%d]: HTTP M3U Input\n", n);
      return kEndCommand;
    default:
      log_admin("CH [%d]: not MP4, FLV or M2T format\n", n);
      ch.rt.nInput_Format.store(0);
      return c.ctx.should_end() ? kEndCommand : kEndSourceFailed;
  }
}

}  // namespace

int http_input_branch(InputContext& ctx) {
  if (!ctx.ring) {
    log_admin("Real Buffer allocated failed\n");
    return kEndCommand;
  }
  Cycle c{ctx, *ctx.ch, ctx.number(), ctx.src};
  c.ch.rt.nChannel_Status.store(kStatusConnecting);
  for (int redirects = 0;;) {
    if (ctx.should_end()) return kEndCommand;
    HttpConnection conn([&ctx] { return ctx.should_end(); });
    int r = connect_and_send(c, conn);
    if (r != kGoOn) return r;
    r = read_head(c, conn);
    if (r != kGoOn) return r;
    const HttpResponseHead& h = conn.head();
    const int status = h.status;
    if (status == 200 || status == 206) {
      ctx.ch->rt.content_length.store(source_length(h));
      return receive(c, conn);
    }
    const HttpRedirect redirect = http_redirect_kind(status);
    const bool permanent = redirect == HttpRedirect::kPermanent;
    if (redirect != HttpRedirect::kNone) {
      if (redirects == kMaxRedirects) {
        log_admin("CH [%d]: too many redirects [%d]\n", c.n, redirects);
        return kEndSourceFailed;
      }
      ++redirects;
      if (!follow_redirect(c, h, permanent)) return kEndSourceFailed;
      continue;  // at once, on a new connection
    }
    if (status == 504) {
      log_admin("CH [%d]: Get Response: 504 Gateway Time-out\n", c.n);
    } else {
      log_admin("Error: CH [%d]: HTTP Response=[%s]\n", c.n, head_for_log(conn).c_str());
    }
    return kEndSourceFailed;
  }
}

}  // namespace kx
