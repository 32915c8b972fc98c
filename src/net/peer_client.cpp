#include "net/peer_client.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "core/log.h"
#include "core/os/time.h"
#include "net/dns.h"
#include "net/socket.h"

namespace kx {

namespace {

constexpr std::size_t kHeadMax = 16 * 1024;  // status line and headers
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

bool ieq_prefix(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char a = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (a != prefix[i]) return false;
  }
  return true;
}

// The reply's status and, when given, its Content-Length (-1 when absent). False when
// the head is not an HTTP reply or a length is malformed.
bool parse_head(std::string_view head, int& status, long long& length) {
  status = 0;
  length = -1;
  if (head.compare(0, 5, "HTTP/") != 0) return false;
  const std::size_t sp = head.find(' ');
  const std::size_t eol = head.find("\r\n");
  if (sp == std::string_view::npos || sp > eol || sp + 4 > head.size()) return false;
  for (std::size_t i = sp + 1; i < sp + 4; ++i) {
    if (head[i] < '0' || head[i] > '9') return false;
    status = status * 10 + (head[i] - '0');
  }
  for (std::size_t at = eol; at != std::string_view::npos && at + 2 < head.size();) {
    const std::size_t begin = at + 2;
    const std::size_t end = head.find("\r\n", begin);
    std::string_view line = head.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
    at = end;
    if (!ieq_prefix(line, "content-length:")) continue;
    line.remove_prefix(15);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty() || line.size() > 18) return false;
    long long v = 0;
    for (const char c : line) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    length = v;
  }
  return true;
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

  Socket sock;
  if (tcp_connect(ip, port, left_ms(deadline), nullptr, sock) != 1) return fail(host, port, "connection failed");
  std::string req = "GET " + path_and_query + " HTTP/1.0\r\nHost: " + host;
  if (port != 80) req += ":" + std::to_string(port);
  req += "\r\nUser-Agent: Kestrix\r\nConnection: close\r\n\r\n";
  const int send_left = left_ms(deadline);
  if (send_left <= 0 || !send_all(sock.fd(), req.data(), req.size(), send_left))
    return fail(host, port, "request not sent");

  std::string in;
  std::size_t body_at = std::string::npos;
  int status = 0;
  long long length = -1;
  char buf[8192];
  // Each turn reads at least one byte or ends the exchange; the input is bounded.
  for (;;) {
    const int left = left_ms(deadline);
    if (left <= 0) return fail(host, port, "no answer in time");
    const long n = recv_some(sock.fd(), buf, sizeof buf, left);
    if (n == -2) return fail(host, port, "no answer in time");
    if (n < 0) return fail(host, port, "receive error");
    if (n == 0) break;
    in.append(buf, static_cast<std::size_t>(n));
    if (body_at == std::string::npos) {
      const std::size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (in.size() > kHeadMax) return fail(host, port, "answer head too long");
        continue;
      }
      if (end > kHeadMax) return fail(host, port, "answer head too long");
      body_at = end + 4;
      if (!parse_head(std::string_view(in).substr(0, end + 2), status, length))
        return fail(host, port, "answer is not HTTP");
      if (length > static_cast<long long>(kPeerAnswerMax)) return fail(host, port, "answer too long");
    }
    const std::size_t body = in.size() - body_at;
    if (body > kPeerAnswerMax) return fail(host, port, "answer too long");
    if (length >= 0 && body >= static_cast<std::size_t>(length)) break;
  }
  if (body_at == std::string::npos) return fail(host, port, "answer is not HTTP");
  if (status < 200 || status > 299) return fail(host, port, "answer is not a success");
  std::string body = in.substr(body_at);
  if (length >= 0) {
    if (body.size() < static_cast<std::size_t>(length)) return fail(host, port, "answer cut short");
    body.resize(static_cast<std::size_t>(length));
  }
  answer = std::move(body);
  return 1;
}

}  // namespace kx
