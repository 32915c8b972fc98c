// HTTP live-stream load client: N players on one URL from a single epoll thread.
//
// Each player connects (the players are ramped up in bounded batches), sends a GET, reads
// the answer's head and then the MPEG-TS body, checking the 188-byte sync and the
// continuity counter of every PID. Every player-second is counted; one that delivers less
// than half the nominal rate after the player's warm-up is a stall-second. With --pid the
// served process's CPU time and resident memory are read from /proc over the measured
// window (from the end of the ramp plus the warm-up to the end of the run).
//
// The run is bounded: the ramp, then --seconds, then it stops by itself. It prints one
// machine-readable line starting with "KXLOAD " and a short summary for people.
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "load_common.h"

namespace {

using namespace kxbench;

constexpr int kTs = 188;
constexpr std::size_t kMaxHead = 8192;

struct TsState {
  std::string head;
  uint8_t carry[kTs];  // a packet split between two reads
  int carry_len = 0;
  uint64_t sync_errors = 0;  // bytes skipped looking for a sync byte
  uint64_t cc_errors = 0;
  uint64_t packets = 0;
  // Per PID: -1 unseen, else the last counter of a packet with payload.
  int8_t last[8192];
  TsState() { std::memset(last, -1, sizeof last); }
};

class HttpLoad : public LoadRun {
 public:
  explicit HttpLoad(const Options& o) : LoadRun(o, "first_ts"), ts_(players_.size()) {
    request_ = "GET " + o_.path + " HTTP/1.0\r\nHost: " + o_.host + ":" + std::to_string(o_.port) +
               "\r\nUser-Agent: kx-http-load\r\nAccept: */*\r\n\r\n";
  }

 private:
  bool on_connected(std::size_t idx, int64_t t) override;
  void on_bytes(std::size_t idx, const uint8_t* data, std::size_t n, int64_t t) override;
  std::string report_keys() const override;
  void report_lines() const override;
  void consume(std::size_t idx, const uint8_t* data, std::size_t len, int64_t t);
  void check_packet(TsState& s, const uint8_t* pkt);
  void totals(uint64_t& cc, uint64_t& sync, uint64_t& packets) const;

  std::vector<TsState> ts_;
  std::string request_;
};

bool HttpLoad::on_connected(std::size_t idx, int64_t) {
  Player& p = players_[idx];
  const ssize_t n = ::send(p.fd, request_.data(), request_.size(), MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(request_.size())) {
    fail(p, "send");
    return false;
  }
  return true;
}

void HttpLoad::check_packet(TsState& s, const uint8_t* pkt) {
  ++s.packets;
  const int pid = ((pkt[1] & 0x1f) << 8) | pkt[2];
  if (pid == 0x1fff) return;  // null packets carry no counter
  const int afc = (pkt[3] >> 4) & 3;
  const int cc = pkt[3] & 0x0f;
  int8_t& last = s.last[pid];
  // A discontinuity indicator in the adaptation field restarts the counter.
  if ((afc & 2) && pkt[4] > 0 && (pkt[5] & 0x80)) {
    last = (afc & 1) ? static_cast<int8_t>(cc) : -1;
    return;
  }
  if (!(afc & 1)) return;  // no payload: the counter does not advance
  if (last >= 0 && cc != ((last + 1) & 0x0f) && cc != last) ++s.cc_errors;  // cc == last: a duplicate
  last = static_cast<int8_t>(cc);
}

void HttpLoad::consume(std::size_t idx, const uint8_t* data, std::size_t len, int64_t t) {
  if (len == 0) return;
  delivered(idx, len, t);
  TsState& p = ts_[idx];
  std::size_t at = 0;
  while (at < len) {
    if (p.carry_len > 0) {
      // A packet split between two reads, or being gathered again after a resync.
      const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(kTs - p.carry_len), len - at);
      std::memcpy(p.carry + p.carry_len, data + at, take);
      p.carry_len += static_cast<int>(take);
      at += take;
      if (p.carry_len < kTs) return;
      if (p.carry[0] == 0x47) {
        check_packet(p, p.carry);
        p.carry_len = 0;
      } else {
        // Lost sync: drop the carried bytes up to the next 0x47 and gather again.
        int k = 1;
        while (k < kTs && p.carry[k] != 0x47) ++k;
        p.sync_errors += static_cast<uint64_t>(k);
        std::memmove(p.carry, p.carry + k, static_cast<std::size_t>(kTs - k));
        p.carry_len = kTs - k;
      }
      continue;
    }
    if (data[at] != 0x47) {
      ++p.sync_errors;
      ++at;
      continue;
    }
    if (len - at < static_cast<std::size_t>(kTs)) {
      p.carry_len = static_cast<int>(len - at);
      std::memcpy(p.carry, data + at, len - at);
      return;
    }
    check_packet(p, data + at);
    at += kTs;
  }
}

void HttpLoad::on_bytes(std::size_t idx, const uint8_t* data, std::size_t n, int64_t t) {
  Player& p = players_[idx];
  std::size_t off = 0;
  if (p.st == St::kSetup) {
    std::string& head = ts_[idx].head;
    const std::size_t keep = head.size();
    head.append(reinterpret_cast<const char*>(data), n);
    const std::size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (head.size() > kMaxHead) fail(p, "head too long");
      return;
    }
    // "HTTP/1.x 2xx"
    if (head.size() < 12 || head.compare(0, 5, "HTTP/") != 0 || head[9] != '2') {
      fail(p, "status not 2xx");
      return;
    }
    off = end + 4 - keep;
    head.resize(end + 4);
    playing(p);
  }
  if (n > off) consume(idx, data + off, n - off, t);
}

void HttpLoad::totals(uint64_t& cc, uint64_t& sync, uint64_t& packets) const {
  cc = sync = packets = 0;
  for (std::size_t i = 0; i < players_.size(); ++i) {
    if (!counted(players_[i])) continue;
    cc += ts_[i].cc_errors;
    sync += ts_[i].sync_errors;
    packets += ts_[i].packets;
  }
}

std::string HttpLoad::report_keys() const {
  uint64_t cc, sync, packets;
  totals(cc, sync, packets);
  char buf[160];
  std::snprintf(buf, sizeof buf, " cc_errors=%llu sync_errors=%llu packets=%llu", static_cast<unsigned long long>(cc),
                static_cast<unsigned long long>(sync), static_cast<unsigned long long>(packets));
  return buf;
}

void HttpLoad::report_lines() const {
  uint64_t cc, sync, packets;
  totals(cc, sync, packets);
  std::printf("  TS: %llu packets, %llu continuity errors, %llu bytes out of sync\n",
              static_cast<unsigned long long>(packets), static_cast<unsigned long long>(cc),
              static_cast<unsigned long long>(sync));
}

bool parse_args(int argc, char** argv, Options& o) {
  bool have_url = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--url") have_url = parse_url(v, "http://", 80, o);
    else if (!parse_common_flag(a, v, o)) return false;
  }
  return have_url && options_valid(o);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_args(argc, argv, o)) {
    std::fprintf(stderr, "usage: http_load --url http://127.0.0.1:PORT/PATH\n%s", kCommonUsage);
    return 2;
  }
  process_setup(o.players);
  HttpLoad load(o);
  return load.run();
}
