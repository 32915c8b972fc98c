#include "formats/pes.h"

#include "core/log.h"

namespace kx {

namespace {

// Stream ids whose PES packets have no optional header (13818-1 table 2-22 and the
// rule after it): program stream map, padding, private 2, ECM, EMM, directory, DSMCC,
// H.222.1 type E.
bool has_optional_header(int sid) {
  switch (sid) {
    case 0xBC: case 0xBE: case 0xBF: case 0xF0: case 0xF1: case 0xF2: case 0xF8: case 0xFF:
      return false;
    default:
      return true;
  }
}

}  // namespace

bool pes_is_video(int sid) { return sid >= 0xE0 && sid <= 0xEF; }
bool pes_is_audio(int sid) { return sid >= 0xC0 && sid <= 0xDF; }

uint64_t pes_decode_timestamp(const uint8_t* b) {
  return (uint64_t{(b[0] >> 1) & 7u} << 30) | (uint64_t{b[1]} << 22) | (static_cast<uint64_t>(b[2] >> 1) << 15) |
         (uint64_t{b[3]} << 7) | (b[4] >> 1);
}

int pes_parse_header(const uint8_t* p, std::size_t len, PesHeader& h) {
  h = PesHeader{};
  if (len < 6 || p[0] != 0 || p[1] != 0 || p[2] != 1) return 0;
  h.stream_id = p[3];
  h.packet_length = (p[4] << 8) | p[5];
  if (!has_optional_header(h.stream_id)) {
    h.header_size = 6;
  } else {
    if (len < 9 || (p[6] & 0xC0) != 0x80) return 0;
    const int hdl = p[8];
    h.header_size = 9 + hdl;
    if (static_cast<std::size_t>(h.header_size) > len) return 0;
    const int flags = p[7] >> 6;
    if (flags == 2 && hdl >= 5) {
      h.has_pts = true;
      h.pts = pes_decode_timestamp(p + 9);
    } else if (flags == 3 && hdl >= 10) {
      h.has_pts = h.has_dts = true;
      h.pts = pes_decode_timestamp(p + 9);
      h.dts = pes_decode_timestamp(p + 14);
    }
  }
  if (h.packet_length != 0) {
    // The length counts what follows the length field; the header must fit in it.
    h.payload_length = h.packet_length + 6 - h.header_size;
    if (h.payload_length < 0) return 0;
  }
  return 1;
}

int pes_apply_timing(const PesHeader& h, bool video, TsTiming& t) {
  if (video) {
    if (!h.has_pts) return 0;
    t.pts_ms = h.pts / 90;
    t.dts_ms = (h.has_dts ? h.dts : h.pts) / 90;
    return 1;
  }
  if (!h.has_pts) {
    log_admin("No Audio PTS\n");
    return 0;
  }
  t.audio_pts_ms = h.pts / 90;
  t.audio_dts_ms = (h.has_dts ? h.dts : h.pts) / 90;
  return 1;
}

int pes_read_timing(const uint8_t* p, std::size_t len, TsTiming& t) {
  PesHeader h;
  if (!pes_parse_header(p, len, h)) return 0;
  if (pes_is_video(h.stream_id)) return pes_apply_timing(h, true, t);
  if (pes_is_audio(h.stream_id)) return pes_apply_timing(h, false, t);
  return 0;
}

void pes_write_timestamp(uint8_t* out, uint8_t prefix, uint64_t v) {
  v &= kTs33Mask;
  out[0] = static_cast<uint8_t>((prefix & 0xF0) | ((v >> 29) & 0x0E) | 1);
  out[1] = static_cast<uint8_t>(v >> 22);
  out[2] = static_cast<uint8_t>(((v >> 14) & 0xFE) | 1);
  out[3] = static_cast<uint8_t>(v >> 7);
  out[4] = static_cast<uint8_t>(((v << 1) & 0xFE) | 1);
}

void pes_write_pts(uint8_t* out, uint64_t v) { pes_write_timestamp(out, 0x21, v); }

void pes_write_pts_dts(uint8_t* out, uint64_t v) {
  pes_write_timestamp(out, 0x31, v);
  pes_write_timestamp(out + 5, 0x11, v);
}

void ts_write_pcr(uint8_t* out, uint64_t base) {
  base &= kTs33Mask;
  out[0] = static_cast<uint8_t>(base >> 25);
  out[1] = static_cast<uint8_t>(base >> 17);
  out[2] = static_cast<uint8_t>(base >> 9);
  out[3] = static_cast<uint8_t>(base >> 1);
  out[4] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);
  out[5] = 0;
}

}  // namespace kx
