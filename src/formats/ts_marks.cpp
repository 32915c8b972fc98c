#include "formats/ts_marks.h"

#include "formats/h264.h"
#include "formats/pes.h"
#include "formats/ts.h"

namespace kx {

namespace {

constexpr int kPkt = static_cast<int>(kTsPacketSize);
constexpr uint8_t kRandomAccessFlag = 0x40;

// The picture the H.264 bytes begin: true at an IDR slice or an SPS, false at any other
// slice or when the bytes end first.
bool h264_starts_random_access(const uint8_t* p, int len) {
  int at = 0;
  while (at < len) {
    const int sc = h264_find_start_code(p + at, len - at);
    if (sc <= 0) return false;
    at += sc;
    if (at >= len) return false;
    const int type = p[at] & 0x1F;
    if (type == kNalIdr || type == kNalSps) return true;
    if (type == kNalSlice) return false;
  }
  return false;
}

// First boundary of a buffer whose packets are all in sync, or -1.
int synced_start(const uint8_t* data, int len) {
  for (int i = 0; i < kPkt && i + kPkt <= len; ++i) {
    if (data[i] != kTsSync) continue;
    int p = i + kPkt;
    while (p + kPkt <= len && data[p] == kTsSync) p += kPkt;
    if (p + kPkt > len) return i;
  }
  return -1;
}

}  // namespace

bool ts_random_access_video(const uint8_t* pkt) {
  TsHeader h;
  if (!ts_parse_header(pkt, h) || !h.payload_start || h.payload_size < 9) return false;
  PesHeader pes;
  const uint8_t* pl = pkt + h.payload_offset;
  if (!pes_parse_header(pl, static_cast<std::size_t>(h.payload_size), pes) || !pes_is_video(pes.stream_id))
    return false;
  if (h.af_length > 0 && (pkt[5] & kRandomAccessFlag)) return true;
  if (pes.header_size >= h.payload_size) return false;
  return h264_starts_random_access(pl + pes.header_size, h.payload_size - pes.header_size);
}

TsMarks ts_entry_marks(const uint8_t* data, int len) {
  TsMarks m;
  if (data == nullptr || len < kPkt) return m;
  uint64_t pcr = 0;
  if (first_pcr(data, len, pcr)) m.pcr = static_cast<int64_t>(pcr);
  const int start = synced_start(data, len);
  if (start < 0) return m;
  for (int p = start; p + kPkt <= len && (m.pat_pos < 0 || m.ra_pos < 0); p += kPkt) {
    const uint8_t* pkt = data + p;
    if (m.pat_pos < 0 && ts_pid(pkt) == kTsPatPid && (pkt[1] & 0x40)) m.pat_pos = p;
    if (m.ra_pos < 0 && ts_random_access_video(pkt)) m.ra_pos = p;
  }
  return m;
}

int first_pcr(const uint8_t* data, int len, uint64_t& pcr27) {
  if (data == nullptr || len < kPkt) return 0;
  int p = -1;
  for (int i = 0; i < kPkt && i + kPkt <= len; ++i) {
    if (data[i] != kTsSync) continue;
    if (i + kPkt == len || (i + kPkt < len && data[i + kPkt] == kTsSync)) {
      p = i;
      break;
    }
  }
  if (p < 0) return 0;
  for (; p + kPkt <= len; p += kPkt) {
    if (data[p] != kTsSync) continue;
    if (ts_read_pcr_value(data + p, pcr27)) return 1;
  }
  return 0;
}

}  // namespace kx
