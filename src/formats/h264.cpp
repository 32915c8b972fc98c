#include "formats/h264.h"

#include <cstring>

#include "core/log.h"

namespace kx {

namespace {

constexpr int kTsPacket = 188;
// Bytes of one video PES payload gathered while looking for the parameter sets; they
// come first in a keyframe, so a few packets' worth is plenty.
constexpr int kGatherCapacity = 4096;

// Length of the NAL unit at p like h264_nal_length; `terminated` tells whether a start
// code (rather than the buffer end or the length bound) ended it.
int nal_extent(const uint8_t* p, int len, bool& terminated) {
  terminated = false;
  if (!p || len <= 0) return 0;
  int n = len < kNalMaxLength ? len : kNalMaxLength;
  for (int i = 0; i < n && i + 2 < len; ++i) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] <= 1) {
      terminated = true;
      return i;
    }
  }
  return n;
}

void put16(uint8_t* p, int v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Copies the parameter sets of one list of an AVC configuration record as Annex B;
// false when the list runs past the body or the output.
bool copy_sets(const uint8_t* body, int len, int& pos, int count, uint8_t* out, int cap, int& w) {
  for (int k = 0; k < count; ++k) {
    if (pos + 2 > len) return false;
    int n = (body[pos] << 8) | body[pos + 1];
    pos += 2;
    if (n <= 0 || n > len - pos) return false;
    if (n > cap - w - 4) return false;
    out[w] = 0;
    out[w + 1] = 0;
    out[w + 2] = 0;
    out[w + 3] = 1;
    std::memcpy(out + w + 4, body + pos, static_cast<size_t>(n));
    w += 4 + n;
    pos += n;
  }
  return true;
}

// One video PES payload being gathered from the packets of its PID.
struct Gather {
  int pid = -1;        // -1: none
  int expected = -1;   // payload bytes the PES length field announces, -1 when unbounded
  int len = 0;
  bool full = false;
  uint8_t data[kGatherCapacity];

  void append(const uint8_t* p, int n) {
    if (expected >= 0 && n > expected - len) n = expected - len;
    if (n > kGatherCapacity - len) {
      n = kGatherCapacity - len;
      full = true;
    }
    if (n <= 0) return;
    std::memcpy(data + len, p, static_cast<size_t>(n));
    len += n;
  }
  bool complete() const { return expected >= 0 && len >= expected; }
};

// Next packet start at or after i: a sync byte followed by another one a packet later
// (or by the end of the data); len when there is none.
int resync(const uint8_t* ts, int len, int i) {
  for (int j = i; j + kTsPacket <= len; ++j) {
    if (ts[j] == 0x47 && (j + kTsPacket >= len || ts[j + kTsPacket] == 0x47)) return j;
  }
  return len;
}

}  // namespace

int h264_find_start_code(const uint8_t* p, int len) {
  if (!p) return 0;
  for (int i = 0; i + 4 < len; ++i) {
    if (p[i] != 0 || p[i + 1] != 0) continue;
    if (p[i + 2] == 1) return i + 3;
    if (p[i + 2] == 0 && p[i + 3] == 1) return i + 4;
  }
  return 0;
}

int h264_nal_length(const uint8_t* p, int len) {
  bool terminated = false;
  return nal_extent(p, len, terminated);
}

int h264_find_frame_start(const uint8_t* p, int len) {
  int pos = 0;
  while (pos < len) {
    int after = h264_find_start_code(p + pos, len - pos);
    if (after == 0) return -1;
    int at = pos + after;
    int type = p[at] & 0x1F;
    if (type == kNalSlice || type == kNalIdr || type == kNalSei) {
      return (at - 4 >= pos && p[at - 4] == 0) ? at - 4 : at - 3;
    }
    pos = at;
  }
  return -1;
}

int avc_config_build(const uint8_t* sps, int sps_len, const uint8_t* pps, int pps_len, AvcConfig& cfg) {
  cfg.len = 0;
  if (!sps || !pps || sps_len < 4 || pps_len < 1) return 0;
  if ((sps[0] & 0x1F) != kNalSps || (pps[0] & 0x1F) != kNalPps) return 0;
  if (sps_len > kAvcConfigCapacity - 16 || pps_len > kAvcConfigCapacity - 16 - sps_len) return 0;
  uint8_t* h = cfg.header;
  h[0] = 0x17;  // keyframe, AVC
  h[1] = 0x00;  // sequence header
  h[2] = h[3] = h[4] = 0;  // composition time
  h[5] = 0x01;  // configuration version
  h[6] = sps[1];  // profile
  h[7] = sps[2];  // compatibility
  h[8] = sps[3];  // level
  h[9] = 0xFF;   // 4-byte NAL lengths
  h[10] = 0xE1;  // one SPS
  put16(h + 11, sps_len);
  std::memcpy(h + 13, sps, static_cast<size_t>(sps_len));
  int w = 13 + sps_len;
  h[w++] = 0x01;  // one PPS
  put16(h + w, pps_len);
  w += 2;
  std::memcpy(h + w, pps, static_cast<size_t>(pps_len));
  cfg.len = w + pps_len;
  return 1;
}

int avc_config_from_annexb(const uint8_t* es, int len, bool ends_at_unit_end, AvcConfig& cfg) {
  cfg.len = 0;
  if (!es || len <= 0) return 0;
  const uint8_t* sps = nullptr;
  int sps_len = 0;
  int pos = 0;
  while (pos < len) {
    int after = h264_find_start_code(es + pos, len - pos);
    if (after == 0) return 0;
    int at = pos + after;
    bool terminated = false;
    int n = nal_extent(es + at, len - at, terminated);
    bool whole = terminated;
    if (!terminated && ends_at_unit_end && at + n == len) {
      while (n > 1 && es[at + n - 1] == 0) --n;  // trailing zero bytes belong to no unit
      whole = true;
    }
    int type = es[at] & 0x1F;
    if (type == kNalSps && !sps) {
      if (!whole) return 0;
      sps = es + at;
      sps_len = n;
    } else if (type == kNalPps && sps) {
      if (!whole) return 0;
      return avc_config_build(sps, sps_len, es + at, n, cfg);
    }
    pos = at + n;
  }
  return 0;
}

int avc_config_from_ts(const uint8_t* ts, int len, AvcConfig& cfg) {
  cfg.len = 0;
  if (!ts || len < kTsPacket) return 0;
  Gather g;
  int i = 0;
  while (i + kTsPacket <= len) {
    if (ts[i] != 0x47) {
      i = resync(ts, len, i + 1);
      continue;
    }
    const uint8_t* pkt = ts + i;
    i += kTsPacket;
    if (pkt[1] & 0x80) continue;  // transport error
    bool start = (pkt[1] & 0x40) != 0;
    int pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
    int afc = (pkt[3] >> 4) & 3;
    if (!(afc & 1)) continue;  // no payload
    int off = 4;
    if (afc & 2) {
      if (pkt[4] > 183) continue;
      off = 5 + pkt[4];
    }
    const uint8_t* pay = pkt + off;
    int plen = kTsPacket - off;

    if (start && pid == g.pid) {
      // The next PES on this PID: the one gathered is whole.
      if (avc_config_from_annexb(g.data, g.len, !g.full, cfg)) return 1;
      g.pid = -1;
    }
    if (start && g.pid < 0) {
      if (plen < 9 || pay[0] != 0 || pay[1] != 0 || pay[2] != 1 || (pay[3] & 0xF0) != 0xE0) continue;
      int header = 9 + pay[8];
      if (header > plen) continue;  // a header spread over packets is not worth following
      int pes_len = (pay[4] << 8) | pay[5];
      g.pid = pid;
      g.len = 0;
      g.full = false;
      g.expected = -1;
      if (pes_len != 0) {
        g.expected = pes_len - 3 - pay[8];
        if (g.expected < 0) {
          g.pid = -1;
          continue;
        }
      }
      g.append(pay + header, plen - header);
    } else if (!start && pid == g.pid) {
      g.append(pay, plen);
    } else {
      continue;
    }
    bool ended = g.complete() || g.full;
    if (avc_config_from_annexb(g.data, g.len, g.complete(), cfg)) return 1;
    if (ended) g.pid = -1;
  }
  cfg.len = 0;
  return 0;
}

int avc_config_from_flv_tag(const uint8_t* data, int size, AvcConfig& cfg) {
  cfg.len = 0;
  if (!data || size <= 0) {
    log_admin("SPS PPS Size <=0\n");
    return 0;
  }
  if (size > kAvcConfigCapacity - kAvcRtmpPrefix) {
    log_admin("SPS PPS Size too large\n");
    return 0;
  }
  uint8_t* h = cfg.header;
  h[0] = 0x06;  // format 0, chunk stream 6
  h[1] = h[2] = h[3] = 0;  // timestamp
  h[4] = static_cast<uint8_t>(size >> 16);
  h[5] = static_cast<uint8_t>(size >> 8);
  h[6] = static_cast<uint8_t>(size);
  h[7] = 9;  // video message
  h[8] = 1;  // message stream 1, little-endian
  h[9] = h[10] = h[11] = 0;
  std::memcpy(h + kAvcRtmpPrefix, data, static_cast<size_t>(size));
  cfg.len = size + kAvcRtmpPrefix;
  return 1;
}

int avc_config_to_annexb(const uint8_t* body, int len, uint8_t* out, int cap) {
  if (!body || !out || len < 11) return 0;
  if ((body[0] & 0x0F) != 7 || body[1] != 0 || body[5] != 1) return 0;
  int pos = 10;
  int w = 0;
  int sps_count = body[pos++] & 0x1F;
  if (sps_count == 0 || !copy_sets(body, len, pos, sps_count, out, cap, w)) return 0;
  if (pos >= len) return 0;
  int pps_count = body[pos++];
  if (pps_count == 0 || !copy_sets(body, len, pos, pps_count, out, cap, w)) return 0;
  return w;
}

}  // namespace kx
