#include "ingest/ts_align.h"

#include <cstring>

namespace kx {

namespace {

// Input is worked on in pieces of this size after the carried-over bytes.
constexpr std::size_t kWorkChunk = 2048;

void push_packet(TsAligner& a, const uint8_t* pkt, TsEntrySink sink, void* user) {
  std::memcpy(a.entry + a.entry_len, pkt, kTsPacketBytes);
  a.entry_len += kTsPacketBytes;
  if (a.entry_len == kTsEntryBytes) ts_align_flush(a, sink, user);
}

// Works through buf[0, n): whole packets out, the unfinished rest into the carry. Bytes
// before splice_end came from an earlier datagram: a packet that starts there and ends in
// this one is whole only if no datagram was lost in between, so it must be followed by
// a sync byte to be trusted.
void work(TsAligner& a, const uint8_t* buf, std::size_t n, std::size_t splice_end, TsEntrySink sink,
          void* user) {
  const std::size_t pkt = kTsPacketBytes;
  std::size_t p = 0;
  while (p < n) {
    if (a.locked) {
      const std::size_t left = n - p;
      if (buf[p] != kTsSyncByte) {
        a.locked = false;  // search again, starting here
        continue;
      }
      if (left < pkt) break;  // the rest of this packet comes with the next datagram
      if (left > pkt && buf[p + pkt] != kTsSyncByte && p < splice_end) {
        a.locked = false;  // a spliced packet not confirmed: dropped by the search
        continue;
      }
      push_packet(a, buf + p, sink, user);
      p += pkt;
      continue;
    }
    // Searching: a sync byte that has another one 188 bytes on.
    std::size_t q = p;
    bool found = false;
    for (; q < n; ++q) {
      if (buf[q] != kTsSyncByte) continue;
      if (q + pkt >= n) break;  // cannot be confirmed yet: keep it for the next piece
      if (buf[q + pkt] == kTsSyncByte) {
        found = true;
        break;
      }
    }
    a.dropped += q - p;
    p = q;
    if (!found) break;
    a.locked = true;
  }
  // What is left is less than a packet when locked, at most one packet when searching.
  const std::size_t rest = n - p;
  std::memmove(a.carry, buf + p, rest);
  a.carry_len = static_cast<int>(rest);
}

}  // namespace

void ts_align_reset(TsAligner& a) {
  a.carry_len = 0;
  a.entry_len = 0;
  a.locked = false;
  a.fed = a.emitted = a.dropped = 0;
}

void ts_align_feed(TsAligner& a, const uint8_t* data, std::size_t len, TsEntrySink sink, void* user) {
  uint8_t buf[kTsPacketBytes + kWorkChunk];
  bool first = true;  // only the carry met by the first piece comes from another datagram
  while (len > 0) {
    const std::size_t take = len < kWorkChunk ? len : kWorkChunk;
    const std::size_t held = static_cast<std::size_t>(a.carry_len);
    std::memcpy(buf, a.carry, held);
    std::memcpy(buf + held, data, take);
    a.carry_len = 0;
    a.fed += take;
    work(a, buf, held + take, first ? held : 0, sink, user);
    first = false;
    data += take;
    len -= take;
  }
}

void ts_align_flush(TsAligner& a, TsEntrySink sink, void* user) {
  if (a.entry_len <= 0) return;
  const int len = a.entry_len;
  a.entry_len = 0;
  a.emitted += static_cast<uint64_t>(len);
  if (sink) sink(user, a.entry, len);
}

}  // namespace kx
