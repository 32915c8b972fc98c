#include "formats/psi.h"

#include <cstring>

#include "core/log.h"
#include "formats/ts.h"
#include "formats/ts_mux.h"

namespace kx {

namespace {

constexpr std::size_t kSectionLengthMax = kPsiSectionMax - 3;

// Appends bytes to the section in progress; returns how many were used. Delivers the
// section when it is complete and ends the gathering on a bad length.
std::size_t take(PsiAssembler& a, const uint8_t* p, std::size_t n, PsiSectionFn fn, void* ctx,
                 int& done) {
  std::size_t used = 0;
  while (a.active && used < n) {
    const std::size_t target = a.have < 3 ? 3 : a.need;
    std::size_t k = target - a.have;
    if (k > n - used) k = n - used;
    std::memcpy(a.buf + a.have, p + used, k);
    a.have += k;
    used += k;
    if (a.have == 3 && a.need == 0) {
      const std::size_t sl = (static_cast<std::size_t>(a.buf[1] & 0x0F) << 8) | a.buf[2];
      if (sl > kSectionLengthMax) {
        a.active = false;
        break;
      }
      a.need = 3 + sl;
    }
    if (a.need != 0 && a.have == a.need) {
      a.active = false;
      ++done;
      if (fn) fn(ctx, a.buf, a.have);
    }
  }
  return used;
}

void start(PsiAssembler& a) {
  a.active = true;
  a.have = 0;
  a.need = 0;
}

}  // namespace

void psi_reset(PsiAssembler& a, int pid) {
  a.pid = pid;
  a.have = a.need = 0;
  a.active = false;
  a.last_cc = -1;
}

int psi_feed(PsiAssembler& a, const uint8_t* pkt, PsiSectionFn fn, void* ctx) {
  TsHeader h;
  if (!ts_parse_header(pkt, h) || h.pid != a.pid) return 0;
  if (h.transport_error) {
    a.active = false;
    return 0;
  }
  if (h.payload_size == 0) return 0;  // the counter only moves with a payload
  if (a.last_cc >= 0) {
    if (h.continuity == a.last_cc) return 0;  // a repeated packet
    if (h.continuity != ((a.last_cc + 1) & 15)) a.active = false;
  }
  a.last_cc = h.continuity;

  const uint8_t* p = pkt + h.payload_offset;
  const uint8_t* end = pkt + kTsPacketSize;
  int done = 0;
  if (!h.payload_start) {
    take(a, p, static_cast<std::size_t>(end - p), fn, ctx, done);
    return done;
  }
  const std::size_t pointer = *p++;
  if (pointer > static_cast<std::size_t>(end - p)) {
    a.active = false;
    return 0;
  }
  // The bytes before the pointer end the section in progress; if they do not, it
  // was damaged and is dropped.
  take(a, p, pointer, fn, ctx, done);
  a.active = false;
  p += pointer;
  // Then sections follow each other until stuffing (0xFF) or the end of the packet.
  while (p < end && *p != 0xFF) {
    start(a);
    p += take(a, p, static_cast<std::size_t>(end - p), fn, ctx, done);
    if (a.active || a.need == 0) break;  // continues in the next packet, or bad length
  }
  return done;
}

bool psi_crc_ok(const uint8_t* sec, std::size_t len) {
  if (len < 4) return false;
  const uint32_t stored = (uint32_t{sec[len - 4]} << 24) | (uint32_t{sec[len - 3]} << 16) |
                          (uint32_t{sec[len - 2]} << 8) | sec[len - 1];
  return mpeg_crc32(sec, len - 4) == stored;
}

namespace {

// Checks the long-form section head shared by PAT and PMT; the section's full size
// (3 + section length) or 0.
std::size_t long_section(const uint8_t* sec, std::size_t len, uint8_t table_id, std::size_t min_len) {
  if (len < 3 || sec[0] != table_id || (sec[1] & 0x80) == 0) return 0;
  const std::size_t sl = (static_cast<std::size_t>(sec[1] & 0x0F) << 8) | sec[2];
  if (sl < min_len || sl > kSectionLengthMax || 3 + sl > len) return 0;
  if ((sec[5] & 1) == 0) return 0;  // not yet current
  if (!psi_crc_ok(sec, 3 + sl)) return 0;
  return 3 + sl;
}

}  // namespace

int psi_parse_pat(const uint8_t* sec, std::size_t len, TsPids& pids) {
  // Head (5 bytes after the length) and CRC: at least 9 bytes of section length.
  const std::size_t size = long_section(sec, len, 0x00, 9);
  if (size == 0) return 0;
  const std::size_t end = size - 4;
  for (std::size_t pos = 8; pos + 4 <= end; pos += 4) {
    const int program = (sec[pos] << 8) | sec[pos + 1];
    const int pid = ((sec[pos + 2] & 0x1F) << 8) | sec[pos + 3];
    if (program == 0) continue;  // the network PID
    pids.pmt = pid;
    return 1;
  }
  return 0;
}

int psi_parse_pmt(const uint8_t* sec, std::size_t len, TsPids& pids, const char* channel) {
  if (len < 1 || sec[0] != 0x02) {
    log_admin("Not PMT Table\n");
    return 0;
  }
  // Head (9 bytes after the length) and CRC: at least 13 bytes of section length.
  const std::size_t size = long_section(sec, len, 0x02, 13);
  if (size == 0) return 0;
  const std::size_t end = size - 4;
  const int pcr = ((sec[8] & 0x1F) << 8) | sec[9];
  const std::size_t info = (static_cast<std::size_t>(sec[10] & 0x0F) << 8) | sec[11];
  std::size_t pos = 12 + info;
  if (pos > end) return 0;
  int video = -1, audio = -1;
  while (pos < end) {
    if (pos + 5 > end) return 0;
    const int type = sec[pos];
    const int pid = ((sec[pos + 1] & 0x1F) << 8) | sec[pos + 2];
    const std::size_t es_info = (static_cast<std::size_t>(sec[pos + 3] & 0x0F) << 8) | sec[pos + 4];
    if (es_info > end - pos - 5) return 0;
    switch (type) {
      case 0x02: case 0x1B:
        video = pid;
        break;
      case 0x03: case 0x04: case 0x0F: case 0x81:
        audio = pid;
        break;
      default:
        break;
    }
    pos += 5 + es_info;
  }
  pids.video = video;
  pids.audio = audio;
  pids.pcr = pcr;
  log_admin("CH [%s] Video PID =[%d], Audio PID=[%d]\n", channel ? channel : "", video, audio);
  return 1;
}

int psi_parse_pmt_packet(const uint8_t* pkt, TsPids& pids, const char* channel) {
  TsHeader h;
  if (!ts_parse_header(pkt, h) || !h.payload_start || h.payload_size < 2) return 0;
  const uint8_t* p = pkt + h.payload_offset;
  const std::size_t avail = static_cast<std::size_t>(h.payload_size) - 1;
  const std::size_t pointer = p[0];
  if (pointer >= avail) return 0;
  return psi_parse_pmt(p + 1 + pointer, avail - pointer, pids, channel);
}

}  // namespace kx
