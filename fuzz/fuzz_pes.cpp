// PES headers, the timestamp fields, the unbounded PES length and the first video packet
// on arbitrary bytes: no crash, no read outside the input, sizes that agree, and
// timestamps that survive a write and a read modulo 2^33.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "core/log.h"
#include "formats/pes.h"
#include "formats/ts.h"
#include "formats/ts_mux.h"
#include "formats/ts_payload.h"

namespace {

struct Walk {
  const std::vector<std::vector<uint8_t>>* pkts;
  std::size_t pos;
  static int next(void* ctx, const uint8_t** pkt) {
    auto* w = static_cast<Walk*>(ctx);
    if (w->pos >= w->pkts->size()) return 0;
    *pkt = (*w->pkts)[w->pos++].data();
    return 1;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kx::log_set_mode(kx::Sink::Admin, 0);
  kx::log_set_mode(kx::Sink::System, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::vector<uint8_t> b(data, data + size);  // exact size, so any overread is caught
    kx::PesHeader h;
    if (kx::pes_parse_header(b.data(), b.size(), h)) {
      if (h.header_size < 6 || static_cast<std::size_t>(h.header_size) > b.size()) std::abort();
      if (h.packet_length == 0 ? h.payload_length != -1
                               : h.payload_length != h.packet_length + 6 - h.header_size || h.payload_length < 0)
        std::abort();
      if (h.pts > kx::kTs33Mask || h.dts > kx::kTs33Mask || (h.has_dts && !h.has_pts)) std::abort();
    }
    kx::TsTiming t;
    kx::pes_read_timing(b.data(), b.size(), t);
  }

  // Timestamps from the first 8 bytes.
  if (size >= 8) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | data[i];
    uint8_t ts[10];
    kx::pes_write_pts_dts(ts, v);
    if (kx::pes_decode_timestamp(ts) != (v & kx::kTs33Mask) || kx::pes_decode_timestamp(ts + 5) != (v & kx::kTs33Mask))
      std::abort();
    if (kx::ts_ms_to_90k(v) > kx::kTs33Mask) std::abort();
    uint8_t pkt[kx::kTsPacketSize];
    kx::TsMuxState s;
    const std::size_t n = std::min<std::size_t>(size - 8, 200);
    std::vector<uint8_t> setup(data + 8, data + 8 + n);
    const int ok = kx::ts_mux_first_video(s, v, std::span<const uint8_t>(setup), pkt);
    if (ok != (n <= kx::kMuxFirstVideoMaxSetup ? 1 : 0)) std::abort();
    if (ok) {
      kx::TsHeader h;
      uint64_t pcr = 0;
      if (!kx::ts_parse_header(pkt, h) || !kx::ts_read_pcr_value(pkt, pcr)) std::abort();
      if (pcr != kx::ts_ms_to_90k(v) * 300) std::abort();
      kx::PesHeader ph;
      if (!kx::pes_parse_header(pkt + h.payload_offset, static_cast<std::size_t>(h.payload_size), ph)) std::abort();
      if (ph.header_size + ph.payload_length != h.payload_size || ph.pts != kx::ts_ms_to_90k(v)) std::abort();
      if (n && std::memcmp(pkt + kx::kTsPacketSize - n, setup.data(), n) != 0) std::abort();
    }
  }

  // The input as packets for the unbounded length and the extractor.
  std::vector<std::vector<uint8_t>> pkts;
  for (std::size_t at = 0; at < size && pkts.size() < 64; at += kx::kTsPacketSize) {
    std::vector<uint8_t> p(kx::kTsPacketSize, 0xFF);
    std::memcpy(p.data(), data + at, std::min(kx::kTsPacketSize, size - at));
    p[0] = kx::kTsSync;
    pkts.push_back(std::move(p));
  }
  if (pkts.empty()) return 0;
  const int pid = kx::ts_pid(pkts[0].data());
  Walk w{&pkts, 1};
  kx::TsPacketSource src;
  src.ctx = &w;
  src.next = Walk::next;
  src.channel_active = 1;
  const int64_t len = kx::ts_unbounded_pes_length(src, pid, 32);
  if (len < -1 || len > 184 * static_cast<int64_t>(pkts.size())) std::abort();

  // A reader that already knows its PIDs, so PES starts are reached without tables.
  kx::TsReader r;
  r.pids.video = pid;
  r.pids.audio = pkts.size() > 1 ? kx::ts_pid(pkts[1].data()) : -1;
  r.pids.pmt = 0x1FFE;
  for (std::size_t i = 0; i < pkts.size(); ++i) {
    Walk ahead_walk{&pkts, i + 1};
    kx::TsPacketSource ahead;
    ahead.ctx = &ahead_walk;
    ahead.next = Walk::next;
    kx::TsPayload out;
    if (kx::ts_extract_payload(r, pkts[i].data(), out, &ahead) != 1) std::abort();
    const uint8_t* b = pkts[i].data();
    if (out.len && (out.data < b || out.data + out.len > b + kx::kTsPacketSize)) std::abort();
    if (out.skipped && (out.data - out.skipped < b + 4)) std::abort();
  }
  return 0;
}
