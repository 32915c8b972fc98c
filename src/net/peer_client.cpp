#include "net/peer_client.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "core/log.h"
#include "core/os/time.h"
#include "net/dns.h"
#include "net/http_client.h"

namespace kx {

namespace {

constexpr std::size_t kHostMax = 255;
constexpr std::size_t kPathMax = 4096;

bool printable(char c) { return c > ' ' && c < 0x7f; }

bool valid_path(const std::string& p) {
  if (p.empty() || p.size() > kPathMax || p[0] != '/') return false;
  return std::all_of(p.begin(), p.end(), printable);
}

bool valid_host(const std::string& h) {
  if (h.empty() || h.size() > kHostMax) return false;
  return std::all_of(h.begin(), h.end(), [](char c) { return printable(c) && c != '/' && c != '@'; });
}

int left_ms(int64_t deadline) {
  const int64_t left = deadline - mono_ms();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

int fail(const std::string& host, int port, const char* why) {
  log_sys("Warning: Kestrix [%s:%d] : %s\n", host.c_str(), port, why);
  return 0;
}

}  // namespace

bool load_balancing_active() { return false; }

int peer_ask(const std::string& host, int port, const std::string& path_and_query, std::string& answer,
             int timeout_ms) {
  answer.clear();
  if (!valid_host(host) || port < 1 || port > 65535 || !valid_path(path_and_query) || timeout_ms <= 0) return 0;
  const int64_t deadline = mono_ms() + timeout_ms;

  NameQuery q;
  q.name = host;
  if (!resolve_name(q) || q.count < 1) return fail(host, port, "address not found");
  in_addr a{};
  a.s_addr = q.addr[0];
  const std::string ip = ipv4_text(ntohl(a.s_addr));

  HttpConnection conn;
  if (conn.connect(ip, port, left_ms(deadline)) != 1) return fail(host, port, "connection failed");
  HttpRequestSpec spec;
  spec.at.host = host;
  spec.at.port = port;
  spec.at.path = path_and_query.substr(1);
  spec.host_form = HttpHostForm::kPortUnless80;
  const std::string req = http_request_text(spec);
  const int send_left = left_ms(deadline);
  if (send_left <= 0 || !conn.send(req, send_left)) return fail(host, port, "request not sent");

  switch (conn.read_head(deadline)) {
    case HttpEnd::kComplete:
      break;
    case HttpEnd::kTimeout:
      return fail(host, port, "no answer in time");
    case HttpEnd::kBadHead:
      return fail(host, port, conn.parser().error() == HttpHeadError::kTooLong ? "answer head too long"
                                                                                 : "answer is not HTTP");
    case HttpEnd::kClosed:
      return fail(host, port, "answer is not HTTP");
    default:
      return fail(host, port, "receive error");
  }
  const HttpResponseHead& h = conn.head();
  if (h.status < 200 || h.status > 299) return fail(host, port, "answer is not a success");
  if (h.content_length > static_cast<int64_t>(kPeerAnswerMax)) return fail(host, port, "answer too long");
  std::string body;
  uint8_t buf[8192];
  // Each turn reads at least one byte or ends the exchange; the body is bounded.
  for (;;) {
    const long n = conn.read_body(buf, sizeof buf, deadline);
    if (n <= 0) break;
    body.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    if (body.size() > kPeerAnswerMax) return fail(host, port, "answer too long");
  }
  switch (conn.end()) {
    case HttpEnd::kComplete:
    case HttpEnd::kClosed:
      break;
    case HttpEnd::kTimeout:
      return fail(host, port, "no answer in time");
    case HttpEnd::kCutShort:
    case HttpEnd::kBroken:
      return fail(host, port, "answer cut short");
    default:
      return fail(host, port, "receive error");
  }
  answer = std::move(body);
  return 1;
}

}  // namespace kx
