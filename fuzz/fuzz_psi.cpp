// PAT/PMT reading on arbitrary bytes: sections gathered across packets, the one-packet
// PMT form and the payload extractor that follows the tables. No crash, no read outside
// the input, and results within their ranges. Sections are also tried with their CRC
// made right, so the parsers past the CRC check are reached.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "formats/psi.h"
#include "formats/ts.h"
#include "formats/ts_mux.h"
#include "formats/ts_payload.h"

namespace {

void check_pids(const kx::TsPids& p) {
  for (int v : {p.video, p.audio, p.pmt, p.pcr})
    if (v < -1 || v > 0x1FFF) std::abort();
}

// Parses a section as PAT and PMT, as given and with its CRC made right.
void parse_both(const uint8_t* sec, std::size_t len) {
  std::vector<uint8_t> s(sec, sec + len);  // exact size, so any overread is caught
  kx::TsPids p;
  kx::psi_parse_pat(s.data(), s.size(), p);
  kx::psi_parse_pmt(s.data(), s.size(), p, "fuzz");
  check_pids(p);
  if (s.size() >= 7) {
    const std::size_t claimed = 3 + ((static_cast<std::size_t>(s[1] & 0x0F) << 8) | s[2]);
    const std::size_t n = claimed <= s.size() && claimed >= 7 ? claimed : s.size();
    const uint32_t crc = kx::mpeg_crc32(s.data(), n - 4);
    for (int i = 0; i < 4; ++i) s[n - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    if (!kx::psi_crc_ok(s.data(), n)) std::abort();
    s[0] = 0x00;
    kx::psi_parse_pat(s.data(), s.size(), p);
    s[0] = 0x02;
    s[1] |= 0x80;
    s[5] |= 0x01;
    const uint32_t crc2 = kx::mpeg_crc32(s.data(), n - 4);
    for (int i = 0; i < 4; ++i) s[n - 4 + i] = static_cast<uint8_t>(crc2 >> (24 - 8 * i));
    kx::psi_parse_pmt(s.data(), s.size(), p, "fuzz");
    check_pids(p);
  }
}

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
  parse_both(data, size);

  // The input as packets; the first byte chooses whether sync bytes are forced.
  if (size < 1) return 0;
  const bool force_sync = (data[0] & 1) != 0;
  ++data, --size;
  std::vector<std::vector<uint8_t>> pkts;
  for (std::size_t at = 0; at < size && pkts.size() < 64; at += kx::kTsPacketSize) {
    std::vector<uint8_t> p(kx::kTsPacketSize, 0xFF);
    std::memcpy(p.data(), data + at, std::min(kx::kTsPacketSize, size - at));
    if (force_sync) p[0] = kx::kTsSync;
    pkts.push_back(std::move(p));
  }
  if (pkts.empty()) return 0;

  kx::PsiAssembler a;
  kx::psi_reset(a, kx::ts_pid(pkts[0].data()) < 0 ? 0 : kx::ts_pid(pkts[0].data()));
  for (const auto& p : pkts) {
    kx::psi_feed(
        a, p.data(),
        [](void*, const uint8_t* sec, std::size_t len) {
          const std::size_t sl = (static_cast<std::size_t>(sec[1] & 0x0F) << 8) | sec[2];
          if (len > kx::kPsiSectionMax || len != 3 + sl) std::abort();
          parse_both(sec, len);
        },
        nullptr);
    if (a.have > kx::kPsiSectionMax) std::abort();
    kx::TsPids pids;
    kx::psi_parse_pmt_packet(p.data(), pids, "fuzz");
    check_pids(pids);
  }

  kx::TsReader r;
  r.channel = "fuzz";
  for (std::size_t i = 0; i < pkts.size(); ++i) {
    Walk w{&pkts, i + 1};
    kx::TsPacketSource ahead;
    ahead.ctx = &w;
    ahead.next = Walk::next;
    kx::TsPayload out;
    const int ok = kx::ts_extract_payload(r, pkts[i].data(), out, &ahead);
    if (ok != 0 && ok != 1) std::abort();
    if (out.len) {
      const uint8_t* b = pkts[i].data();
      if (out.data < b || out.data + out.len > b + kx::kTsPacketSize) std::abort();
    }
    check_pids(r.pids);
  }
  return 0;
}
