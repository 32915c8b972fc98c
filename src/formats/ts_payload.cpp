#include "formats/ts_payload.h"

#include "core/log.h"
#include "formats/pes.h"

namespace kx {

int64_t ts_unbounded_pes_length(TsPacketSource& src, int pid, int64_t max_packets) {
  if (!src.next) return -1;
  int64_t total = 0;
  for (int64_t walked = 0; walked < max_packets; ++walked) {
    const uint8_t* pkt = nullptr;
    if (src.next(src.ctx, &pkt) != 1 || pkt == nullptr) {
      if (src.channel_active)
        log_admin("CH[%d] Not Found PES Packet Len, Channel Active [%d], Player STop [%d]\n", src.channel,
                  src.channel_active, src.player_stopped);
      return -1;
    }
    TsHeader h;
    if (!ts_parse_header(pkt, h) || h.pid != pid) continue;
    if (h.payload_start) return total;
    total += h.payload_size;
  }
  return -1;
}

namespace {

void on_pat(void* ctx, const uint8_t* sec, std::size_t len) {
  TsReader& r = *static_cast<TsReader*>(ctx);
  if (len < 4 || !psi_crc_ok(sec, len)) return;
  const uint32_t crc = (uint32_t{sec[len - 4]} << 24) | (uint32_t{sec[len - 3]} << 16) |
                       (uint32_t{sec[len - 2]} << 8) | sec[len - 1];
  if (r.pat_applied && crc == r.pat_crc) return;
  TsPids p = r.pids;
  if (!psi_parse_pat(sec, len, p)) return;
  r.pat_applied = true;
  r.pat_crc = crc;
  if (p.pmt != r.pids.pmt || r.pmt.pid != p.pmt) {
    r.pids.pmt = p.pmt;
    psi_reset(r.pmt, p.pmt);
    r.pmt_applied = false;
  }
}

void on_pmt(void* ctx, const uint8_t* sec, std::size_t len) {
  TsReader& r = *static_cast<TsReader*>(ctx);
  if (len < 4) return;
  const uint32_t crc = (uint32_t{sec[len - 4]} << 24) | (uint32_t{sec[len - 3]} << 16) |
                       (uint32_t{sec[len - 2]} << 8) | sec[len - 1];
  // A PMT repeats several times a second; only a changed one is read (and logged).
  if (r.pmt_applied && crc == r.pmt_crc) return;
  if (!psi_parse_pmt(sec, len, r.pids, r.channel)) return;
  r.pmt_applied = true;
  r.pmt_crc = crc;
}

// Offset of the first NAL unit of type 1, 5 or 6 (at its start code), or -1.
int64_t frame_start(const uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i + 3 < n; ++i) {
    if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
    const int type = p[i + 3] & 0x1F;
    if (type == 1 || type == 5 || type == 6) return static_cast<int64_t>(i > 0 && p[i - 1] == 0 ? i - 1 : i);
  }
  return -1;
}

}  // namespace

int ts_extract_payload(TsReader& r, const uint8_t* pkt, TsPayload& out, TsPacketSource* ahead) {
  out = TsPayload{};
  if (pkt[0] != kTsSync) {
    if (!r.seen_sync) log_admin("3. Not TS Stream\n");
    else if (!r.lost_sync) log_admin("NON TS Sync Byte\n");
    r.lost_sync = true;
    return 0;
  }
  r.seen_sync = true;
  r.lost_sync = false;
  TsHeader h;
  const int sound = ts_parse_header(pkt, h);
  out.pid = h.pid;
  if (!sound) {
    if (h.af_length > 183)
      log_admin("System Warning: Len=%d nSkipBytesNo=[%d]\n", 183 - h.af_length, 5 + h.af_length);
    return 1;
  }
  if (h.pid == kTsPatPid) {
    psi_feed(r.pat, pkt, on_pat, &r);
    return 1;
  }
  if (r.pids.pmt >= 0 && h.pid == r.pids.pmt) {
    psi_feed(r.pmt, pkt, on_pmt, &r);
    return 1;
  }
  if (h.pid == r.pids.pcr || (r.pids.pcr < 0 && h.af_length >= 7)) ts_read_pcr(pkt, r.timing);

  const bool video = h.pid == r.pids.video;
  const bool audio = !video && h.pid == r.pids.audio;
  if ((!video && !audio) || h.payload_size == 0) return 1;

  const uint8_t* p = pkt + h.payload_offset;
  std::size_t n = static_cast<std::size_t>(h.payload_size);
  if (h.payload_start) {
    PesHeader pes;
    if (!pes_parse_header(p, n, pes)) {
      // The header does not fit in this packet, or is not a PES header at all.
      const int skip = (p[0] == 0 && n > 8 && p[1] == 0 && p[2] == 1) ? 9 + p[8] : 0;
      log_admin("System Warning: Len=%d nSkipBytesNo=[%d]\n", static_cast<int>(n) - skip,
                h.payload_offset + skip);
      if (video) r.video_pes_length = -1;
      else r.audio_pes_length = -1;
      return 1;
    }
    pes_apply_timing(pes, video, r.timing);
    p += pes.header_size;
    n -= static_cast<std::size_t>(pes.header_size);
    if (audio) {
      r.audio_pes_length = pes.payload_length;
    } else {
      r.video_pes_length = pes.payload_length;
      if (pes.payload_length < 0 && ahead) {
        const int64_t rest = ts_unbounded_pes_length(*ahead, h.pid);
        r.video_pes_length = rest < 0 ? -1 : rest + static_cast<int64_t>(n);
      }
      if (n >= 5 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1 && (p[4] & 0x1F) == 9) {
        const int64_t at = frame_start(p + 4, n - 4);
        if (at < 0) {
          log_admin("NAL NOT found\n");
        } else {
          out.skipped = static_cast<std::size_t>(at) + 4;
          p += out.skipped;
          n -= out.skipped;
        }
      }
    }
  }
  out.data = p;
  out.len = n;
  out.kind = video ? TsStream::Video : TsStream::Audio;
  out.unit_start = h.payload_start;
  return 1;
}

}  // namespace kx
