#include "net/dns.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/console.h"
#include "core/os/random.h"
#include "core/os/time.h"
#include "net/dns_transport.h"

namespace kx {

namespace {

constexpr int kCacheSlots = 30;
constexpr int kDefaultUdpMs = 5000;
constexpr int kDefaultTries = 3;
constexpr int kDefaultTcpMs = 5000;
constexpr uint32_t kTtlMin = 60;
constexpr uint32_t kTtlMax = 3600;
constexpr int kMaxPointerHops = 32;
constexpr int kMaxChain = 16;  // CNAME links followed from the asked name
constexpr std::size_t kNameWireMax = 255;
constexpr std::size_t kUdpReplyMax = 4096;
constexpr uint16_t kTypeA = 1, kTypeCname = 5, kClassIn = 1;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// "a.b.c.d" with four decimal parts of at most three digits, each up to 255.
bool parse_dotted(const std::string& s, uint32_t& out_net) {
  uint8_t b[4];
  std::size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= s.size() || s[i] != '.') return false;
      ++i;
    }
    int v = 0, digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 4) {
      v = v * 10 + (s[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || v > 255) return false;
    b[part] = static_cast<uint8_t>(v);
  }
  if (i != s.size()) return false;
  std::memcpy(&out_net, b, 4);  // b holds the bytes in network order
  return true;
}

// The form names are compared in: lower case, without the root's trailing dot.
std::string normal_name(const std::string& name) {
  std::string n = name;
  if (!n.empty() && n.back() == '.') n.pop_back();
  for (char& c : n)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return n;
}

// Reads the name at pos (following compression pointers) into out, lower-cased, with
// "." and "\" inside a label escaped so that they never pass for label boundaries.
// pos moves past the name where it stands. Each pointer must point before the part of
// the name being read, so a chain of them always ends.
bool read_name(const uint8_t* msg, std::size_t len, std::size_t& pos, std::string& out) {
  out.clear();
  std::size_t p = pos, segment = pos, wire = 0;
  bool jumped = false;
  int hops = 0;
  for (;;) {
    if (p >= len) return false;
    uint8_t c = msg[p];
    if ((c & 0xC0) == 0xC0) {
      if (p + 1 >= len) return false;
      std::size_t target = (static_cast<std::size_t>(c & 0x3F) << 8) | msg[p + 1];
      if (target >= segment || ++hops > kMaxPointerHops) return false;
      if (!jumped) pos = p + 2;
      jumped = true;
      p = segment = target;
      continue;
    }
    if (c & 0xC0) return false;  // extended label types are not used by A answers
    wire += 1u + c;
    if (wire > kNameWireMax) return false;
    if (c == 0) {
      if (!jumped) pos = p + 1;
      return true;
    }
    if (p + 1 + c > len) return false;
    if (wire > 1u + c) out.push_back('.');  // not the first label
    for (std::size_t k = p + 1; k <= p + c; ++k) {
      char ch = static_cast<char>(msg[k]);
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      if (ch == '.' || ch == '\\') out.push_back('\\');
      out.push_back(ch);
    }
    p += 1u + c;
  }
}

struct Record {
  std::string owner;
  uint16_t type;
  uint32_t ttl;
  uint32_t addr;       // A
  std::string target;  // CNAME
};

// Host names are printable; a backslash would read back escaped and never match.
bool valid_host_char(unsigned char c) { return c > 0x20 && c < 0x7F && c != '\\'; }

struct Settings {
  std::string ip;  // empty: the configured resolver
  int port = 53;
  int udp_ms = kDefaultUdpMs;
  int tries = kDefaultTries;
  int tcp_ms = kDefaultTcpMs;
};

std::mutex g_settings_lock;
Settings g_settings;

Settings settings() {
  std::lock_guard<std::mutex> l(g_settings_lock);
  return g_settings;
}

std::atomic<int64_t (*)()> g_clock{nullptr};

int64_t cache_now() {
  int64_t (*f)() = g_clock.load(std::memory_order_acquire);
  return f ? f() : mono_ms();
}

struct Slot {
  std::string name;
  int count = 0;
  uint32_t addr[kNameQueryMaxAddrs] = {};
  int64_t expires_ms = 0;
};

// Guards only lookups and inserts; no network wait ever happens under it.
std::mutex g_cache_lock;
Slot g_slots[kCacheSlots];
int g_next_slot = 0;

bool cache_lookup(const std::string& key, NameQuery& q) {
  int64_t now = cache_now();
  std::lock_guard<std::mutex> l(g_cache_lock);
  for (const Slot& s : g_slots) {
    if (s.count > 0 && s.name == key && now < s.expires_ms) {
      q.count = s.count;
      std::memcpy(q.addr, s.addr, sizeof q.addr);
      return true;
    }
  }
  return false;
}

void cache_insert(const std::string& key, const uint32_t* addrs, int count, uint32_t ttl) {
  ttl = std::clamp(ttl, kTtlMin, kTtlMax);
  int64_t expires = cache_now() + static_cast<int64_t>(ttl) * 1000;
  std::lock_guard<std::mutex> l(g_cache_lock);
  Slot* slot = nullptr;
  for (Slot& s : g_slots)
    if (s.count > 0 && s.name == key) slot = &s;  // a refresh keeps its place
  if (!slot) {
    slot = &g_slots[g_next_slot];
    g_next_slot = (g_next_slot + 1) % kCacheSlots;
  }
  slot->name = key;
  slot->count = count;
  std::memset(slot->addr, 0, sizeof slot->addr);
  std::memcpy(slot->addr, addrs, sizeof(uint32_t) * static_cast<std::size_t>(count));
  slot->expires_ms = expires;
}

bool truncated_flag(const uint8_t* msg, std::size_t len) { return len >= 3 && (msg[2] & 0x02); }

// The UDP tries: 1 answered, 0 failed, 2 failed with the reply cut short (TCP at once).
int exchange_udp(const dns_io::Endpoint& ep, const Settings& s, const uint8_t* query,
                 std::size_t qlen, uint16_t id, const std::string& key, uint32_t* addrs,
                 int& count, uint32_t& ttl) {
  int fd = dns_io::udp_open();
  if (fd < 0) return 0;
  std::vector<uint8_t> buf(kUdpReplyMax);
  int result = 0;
  // One socket (one source port) for all tries, so a late answer to an earlier try counts.
  for (int attempt = 1; attempt <= s.tries && result == 0; ++attempt) {
    char line[64];
    int n = std::snprintf(line, sizeof line, "Try [%d] Name 2 IP in 5 seconds\n", attempt);
    debug_output(std::string_view(line, static_cast<std::size_t>(n)));
    if (!dns_io::udp_send(fd, ep, query, qlen)) continue;
    int64_t deadline = mono_ms() + s.udp_ms;
    for (;;) {
      int got = dns_io::udp_recv(fd, ep, buf.data(), buf.size(), deadline);
      if (got <= 0) {
        if (got < 0) attempt = s.tries;  // the socket is broken: no use trying again
        break;
      }
      int r = parse_dns_reply(buf.data(), static_cast<std::size_t>(got), id, key, addrs,
                              kNameQueryMaxAddrs, count, ttl);
      if (r < 0) continue;  // somebody else's datagram: keep waiting for ours
      if (r == 1) result = 1;
      else if (truncated_flag(buf.data(), static_cast<std::size_t>(got))) result = 2;
      break;  // an answer without addresses ends this try
    }
  }
  dns_io::close_socket(fd);
  return result;
}

int exchange_tcp(const dns_io::Endpoint& ep, const Settings& s, const uint8_t* query,
                 std::size_t qlen, uint16_t id, const std::string& key, uint32_t* addrs,
                 int& count, uint32_t& ttl) {
  int64_t deadline = mono_ms() + s.tcp_ms;
  int fd = dns_io::tcp_connect(ep, deadline);
  if (fd < 0) {
    log_sys("TCP Mode: Name to IP Failed\n");
    return 0;
  }
  std::vector<uint8_t> out(qlen + 2);
  out[0] = static_cast<uint8_t>(qlen >> 8);
  out[1] = static_cast<uint8_t>(qlen);
  std::memcpy(out.data() + 2, query, qlen);
  if (!dns_io::tcp_send_all(fd, out.data(), out.size(), deadline)) {
    dns_io::close_socket(fd);
    log_sys("1. TCP Mode: Name to IP Failed\n");
    return 0;
  }
  uint8_t lenbuf[2];
  std::vector<uint8_t> reply;
  bool got = dns_io::tcp_recv_exact(fd, lenbuf, 2, deadline);
  if (got) {
    reply.resize(be16(lenbuf));
    got = !reply.empty() && dns_io::tcp_recv_exact(fd, reply.data(), reply.size(), deadline);
  }
  dns_io::close_socket(fd);
  int r = got ? parse_dns_reply(reply.data(), reply.size(), id, key, addrs, kNameQueryMaxAddrs,
                                count, ttl)
              : -1;
  if (r < 0) {
    log_sys("2. TCP Mode: Name to IP Failed\n");
    return 0;
  }
  if (r == 0) {
    log_sys("3. TCP Mode: Name to IP No Response\n");
    return 0;
  }
  return 1;
}

}  // namespace

std::size_t build_dns_query(const std::string& name, uint16_t id, uint8_t* out, std::size_t cap) {
  std::string n = normal_name(name);
  if (n.empty() || n.size() > kNameWireMax || cap < 12 + n.size() + 2 + 4) return 0;
  const uint8_t header[12] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00,
                              0, 1, 0, 0, 0, 0, 0, 0};
  std::memcpy(out, header, sizeof header);
  std::size_t pos = 12, start = 0;
  // Each dot-separated part becomes a label: its length, then its bytes.
  while (start <= n.size()) {
    std::size_t dot = n.find('.', start);
    if (dot == std::string::npos) dot = n.size();
    std::size_t l = dot - start;
    if (l == 0 || l > 63) return 0;
    out[pos++] = static_cast<uint8_t>(l);
    for (std::size_t k = start; k < dot; ++k) {
      if (!valid_host_char(static_cast<unsigned char>(n[k]))) return 0;
      out[pos++] = static_cast<uint8_t>(n[k]);
    }
    start = dot + 1;
  }
  out[pos++] = 0;
  if (pos - 12 > kNameWireMax) return 0;
  const uint8_t tail[4] = {0, kTypeA, 0, kClassIn};
  std::memcpy(out + pos, tail, 4);
  return pos + 4;
}

int parse_dns_reply(const uint8_t* msg, std::size_t len, uint16_t id, const std::string& name,
                    uint32_t* addrs, int max, int& count, uint32_t& ttl) {
  count = 0;
  ttl = 0;
  if (!msg || len < 12) return -1;
  if (be16(msg) != id) return -1;
  if (!(msg[2] & 0x80) || ((msg[2] >> 3) & 0x0F) != 0) return -1;  // a standard query's response
  if (be16(msg + 4) != 1) return -1;
  std::size_t pos = 12;
  std::string owner;
  if (!read_name(msg, len, pos, owner) || pos + 4 > len) return -1;
  const std::string asked = normal_name(name);
  if (owner != asked || be16(msg + pos) != kTypeA || be16(msg + pos + 2) != kClassIn) return -1;
  pos += 4;
  if ((msg[3] & 0x0F) != 0) return 0;  // the resolver reports an error
  const uint16_t answers = be16(msg + 6);
  if (answers == 0) return 0;

  std::vector<Record> recs;
  for (uint16_t i = 0; i < answers; ++i) {
    Record r;
    if (!read_name(msg, len, pos, r.owner) || pos + 10 > len) return 0;
    r.type = be16(msg + pos);
    uint16_t cls = be16(msg + pos + 2);
    r.ttl = be32(msg + pos + 4);
    if (r.ttl > 0x7FFFFFFFu) r.ttl = 0;  // a time-to-live with the top bit set means zero
    std::size_t rdlen = be16(msg + pos + 8);
    std::size_t rd = pos + 10;
    if (rd + rdlen > len) return 0;
    pos = rd + rdlen;
    if (cls != kClassIn) continue;
    if (r.type == kTypeA && rdlen == 4) {
      std::memcpy(&r.addr, msg + rd, 4);  // already in network order
      recs.push_back(std::move(r));
    } else if (r.type == kTypeCname) {
      std::size_t tp = rd;
      if (!read_name(msg, len, tp, r.target) || tp > pos) return 0;
      recs.push_back(std::move(r));
    }
    // Records of any other type are passed over by their length.
  }

  // Follow the chain from the asked name; only records of names on it are believed.
  std::string current = asked;
  uint32_t least = UINT32_MAX;
  for (int link = 0; link <= kMaxChain; ++link) {
    for (const Record& r : recs) {
      if (r.type != kTypeA || r.owner != current) continue;
      if (count < max) addrs[count++] = r.addr;
      least = std::min(least, r.ttl);
    }
    if (count > 0) {
      ttl = least;
      return 1;
    }
    const Record* alias = nullptr;
    for (const Record& r : recs)
      if (r.type == kTypeCname && r.owner == current) {
        alias = &r;
        break;
      }
    if (!alias) return 0;
    least = std::min(least, alias->ttl);
    current = alias->target;
  }
  return 0;  // the chain is longer than any sound one (or loops)
}

int resolve_name(NameQuery& q) {
  q.count = 0;
  uint32_t numeric = 0;
  if (parse_dotted(q.name, numeric)) {
    q.addr[0] = numeric;
    q.count = 1;
    return 1;
  }
  if (q.name.size() > kNameWireMax) {
    log_sys("UDP Mode: Name to IP Failed\n");
    return 0;
  }
  const std::string key = normal_name(q.name);
  if (cache_lookup(key, q)) return 1;

  Settings s = settings();
  dns_io::Endpoint ep;
  if (s.ip.empty()) {
    ConfigPtr c = config();
    s.ip = c ? c->dns_ip : std::string();
    s.port = 53;
  }
  ep.port = static_cast<uint16_t>(s.port);
  uint8_t query[512];
  uint16_t id = static_cast<uint16_t>(random_below(65536));
  std::size_t qlen = build_dns_query(key, id, query, sizeof query);
  if (!parse_dotted(s.ip, ep.addr) || s.port <= 0 || s.port > 65535 || qlen == 0) {
    log_sys("UDP Mode: Name to IP Failed\n");
    return 0;
  }

  uint32_t addrs[kNameQueryMaxAddrs] = {};
  int count = 0;
  uint32_t ttl = 0;
  int r = exchange_udp(ep, s, query, qlen, id, key, addrs, count, ttl);
  if (r != 1) {
    log_sys("UDP Mode: Name to IP Failed and Start TCP Mode\n");
    if (!exchange_tcp(ep, s, query, qlen, id, key, addrs, count, ttl)) return 0;
  }
  q.count = count;
  std::memcpy(q.addr, addrs, sizeof q.addr);
  cache_insert(key, addrs, count, ttl);
  return 1;
}

void dns_clear_cache() {
  std::lock_guard<std::mutex> l(g_cache_lock);
  for (Slot& s : g_slots) s = Slot();
  g_next_slot = 0;
}

void dns_set_server(const std::string& ip, int port) {
  std::lock_guard<std::mutex> l(g_settings_lock);
  g_settings.ip = ip;
  g_settings.port = ip.empty() ? 53 : port;
}

void dns_set_timeouts(int udp_ms, int tries, int tcp_ms) {
  std::lock_guard<std::mutex> l(g_settings_lock);
  g_settings.udp_ms = udp_ms > 0 ? udp_ms : kDefaultUdpMs;
  g_settings.tries = tries > 0 ? tries : kDefaultTries;
  g_settings.tcp_ms = tcp_ms > 0 ? tcp_ms : kDefaultTcpMs;
}

void dns_set_clock(int64_t (*now_ms)()) { g_clock.store(now_ms, std::memory_order_release); }

}  // namespace kx
