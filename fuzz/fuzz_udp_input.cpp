// The UDP/RTP input's datagram path on arbitrary datagrams: the RTP header parser, then
// the MPEG-TS realigner. Input: one flag byte (bit 0: the datagrams are RTP), then records
// of a 2-byte length and that many bytes, one datagram each. Checks: RTP payloads lie
// inside their packets; entries hold 1-7 whole packets that each start with the sync
// byte; every byte fed is handed out, skipped or still held, none twice; and the packets
// handed out are, in order, pieces of what was fed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ingest/rtp.h"
#include "ingest/ts_align.h"

namespace {

struct Out {
  std::vector<uint8_t> packets;
  uint64_t entries = 0;
};

void sink(void* user, const uint8_t* data, int len) {
  if (len <= 0 || len > kx::kTsEntryBytes || len % kx::kTsPacketBytes != 0) std::abort();
  for (int i = 0; i < len; i += kx::kTsPacketBytes)
    if (data[i] != kx::kTsSyncByte) std::abort();
  auto* o = static_cast<Out*>(user);
  o->packets.insert(o->packets.end(), data, data + len);
  ++o->entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool rtp = (data[0] & 1) != 0;
  std::size_t off = 1;
  kx::TsAligner a;
  kx::ts_align_reset(a);
  Out out;
  std::vector<uint8_t> fed;
  while (off + 2 <= size) {
    std::size_t len = ((static_cast<std::size_t>(data[off]) << 8) | data[off + 1]) % 4097;
    off += 2;
    if (len > size - off) len = size - off;
    // An exact-size copy, so any read past the datagram is caught.
    std::vector<uint8_t> dgram(data + off, data + off + len);
    off += len;
    const uint8_t* payload = dgram.data();
    std::size_t payload_len = dgram.size();
    if (rtp) {
      kx::RtpPacket p;
      const int r = kx::rtp_parse(dgram.data(), dgram.size(), p);
      if (r != 0 && r != 1) std::abort();
      if (r == 0) {
        if (p.payload_len != 0 || p.payload_offset != 0) std::abort();
        continue;
      }
      if (p.payload_offset < kx::kRtpFixedHeaderBytes || p.payload_len < 0 || p.padding < 0 ||
          static_cast<std::size_t>(p.payload_offset) + static_cast<std::size_t>(p.payload_len) +
                  static_cast<std::size_t>(p.padding) != dgram.size())
        std::abort();
      payload = dgram.data() + p.payload_offset;
      payload_len = static_cast<std::size_t>(p.payload_len);
    }
    fed.insert(fed.end(), payload, payload + payload_len);
    const uint64_t entries_before = out.entries;
    kx::ts_align_feed(a, payload, payload_len, sink, &out);
    kx::ts_align_flush(a, sink, &out);
    if (a.entry_len != 0) std::abort();  // nothing left pending after a datagram
    if (a.carry_len < 0 || a.carry_len > kx::kTsPacketBytes) std::abort();
    if (out.entries - entries_before > payload_len / kx::kTsPacketBytes + 1) std::abort();
  }
  if (a.fed != fed.size()) std::abort();
  if (a.fed != a.emitted + a.dropped + static_cast<uint64_t>(a.carry_len)) std::abort();
  if (a.emitted != out.packets.size()) std::abort();
  // Each packet handed out is a piece of the stream fed, after the previous one.
  std::size_t pos = 0;
  for (std::size_t i = 0; i < out.packets.size(); i += kx::kTsPacketBytes) {
    const uint8_t* want = out.packets.data() + i;
    bool found = false;
    for (; pos + kx::kTsPacketBytes <= fed.size(); ++pos) {
      if (std::memcmp(fed.data() + pos, want, kx::kTsPacketBytes) == 0) {
        found = true;
        break;
      }
    }
    if (!found) std::abort();
    pos += kx::kTsPacketBytes;
  }
  return 0;
}
