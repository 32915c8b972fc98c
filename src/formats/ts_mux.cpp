#include "formats/ts_mux.h"

#include <array>
#include <cstring>

#include "formats/pes.h"
#include "formats/ts.h"

namespace kx {

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
    t[i] = c;
  }
  return t;
}

constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

// Header of a table packet: payload-unit start, payload only, its counter; then
// the pointer field. Returns the first section byte.
uint8_t* table_head(uint8_t* out, int pid, uint8_t& cc) {
  std::memset(out, 0xFF, kTsPacketSize);
  out[0] = kTsSync;
  out[1] = static_cast<uint8_t>(0x40 | ((pid >> 8) & 0x1F));
  out[2] = static_cast<uint8_t>(pid & 0xFF);
  out[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
  cc = static_cast<uint8_t>((cc + 1) & 0x0F);
  out[4] = 0;
  return out + 5;
}

void put_crc(uint8_t* sec, std::size_t n) {
  const uint32_t crc = mpeg_crc32(sec, n);
  sec[n] = static_cast<uint8_t>(crc >> 24);
  sec[n + 1] = static_cast<uint8_t>(crc >> 16);
  sec[n + 2] = static_cast<uint8_t>(crc >> 8);
  sec[n + 3] = static_cast<uint8_t>(crc);
}

uint8_t next_version(uint8_t& v) {
  const uint8_t now = v & 0x1F;
  v = static_cast<uint8_t>((now + 1) & 0x1F);
  return now;
}

}  // namespace

uint32_t mpeg_crc32(const uint8_t* p, std::size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

void ts_mux_pat(TsMuxState& s, uint8_t* out) {
  uint8_t* sec = table_head(out, kTsPatPid, s.cc_pat);
  const uint8_t v = next_version(s.version_pat);
  const uint8_t body[] = {
      0x00, 0xB0, 13,                                  // table id, syntax, length
      0x00, 0x01,                                      // transport stream id
      static_cast<uint8_t>(0xC1 | (v << 1)), 0x00, 0x00,  // version, current; section 0 of 0
      0x00, 0x01,                                      // program 1
      static_cast<uint8_t>(0xE0 | (kMuxPmtPid >> 8)), kMuxPmtPid & 0xFF,
  };
  std::memcpy(sec, body, sizeof body);
  put_crc(sec, sizeof body);
}

void ts_mux_pmt(TsMuxState& s, uint8_t* out) { ts_mux_pmt_streams(s, out, true, true); }

void ts_mux_pmt_streams(TsMuxState& s, uint8_t* out, bool video, bool audio) {
  if (!video && !audio) video = audio = true;
  uint8_t* sec = table_head(out, kMuxPmtPid, s.cc_pmt);
  const uint8_t v = next_version(s.version_pmt);
  const int pcr = video ? kMuxVideoPid : kMuxAudioPid;
  const uint8_t length = static_cast<uint8_t>(13 + (video ? 5 : 0) + (audio ? 5 : 0));
  const uint8_t head[] = {
      0x02, 0xB0, length,
      0x00, 0x01,                                      // program 1
      static_cast<uint8_t>(0xC1 | (v << 1)), 0x00, 0x00,
      static_cast<uint8_t>(0xE0 | (pcr >> 8)), static_cast<uint8_t>(pcr & 0xFF),  // PCR PID
      0xF0, 0x00,                                      // no program descriptors
  };
  const uint8_t video_entry[] = {0x1B, static_cast<uint8_t>(0xE0 | (kMuxVideoPid >> 8)), kMuxVideoPid & 0xFF, 0xF0, 0x00};
  const uint8_t audio_entry[] = {0x0F, static_cast<uint8_t>(0xE0 | (kMuxAudioPid >> 8)), kMuxAudioPid & 0xFF, 0xF0, 0x00};
  std::size_t n = 0;
  std::memcpy(sec, head, sizeof head);
  n += sizeof head;
  if (video) {
    std::memcpy(sec + n, video_entry, sizeof video_entry);
    n += sizeof video_entry;
  }
  if (audio) {
    std::memcpy(sec + n, audio_entry, sizeof audio_entry);
    n += sizeof audio_entry;
  }
  put_crc(sec, n);
}

void ts_mux_sdt(TsMuxState& s, uint8_t* out) {
  uint8_t* sec = table_head(out, kTsSdtPid, s.cc_sdt);
  constexpr std::size_t np = sizeof kMuxProviderName - 1, ns = sizeof kMuxServiceName - 1;
  constexpr std::size_t section_length = 22 + np + ns;
  constexpr std::size_t desc_length = 3 + np + ns;  // service type and the two lengths
  constexpr std::size_t loop_length = 2 + desc_length;
  uint8_t* p = sec;
  const uint8_t head[] = {
      0x42, static_cast<uint8_t>(0xF0 | (section_length >> 8)), section_length & 0xFF,
      0x00, 0x01,        // transport stream id
      0xC1, 0x00, 0x00,  // version 0, current; section 0 of 0
      0x00, 0x01,        // original network id
      0xFF,              // reserved
      0x00, 0x01,        // service id
      0xFC,              // reserved, no EIT schedule or present/following
      static_cast<uint8_t>(0x80 | (loop_length >> 8)), loop_length & 0xFF,  // running, not scrambled
      0x48, desc_length, 0x01,  // service descriptor, digital television
  };
  std::memcpy(p, head, sizeof head);
  p += sizeof head;
  *p++ = np;
  std::memcpy(p, kMuxProviderName, np);
  p += np;
  *p++ = ns;
  std::memcpy(p, kMuxServiceName, ns);
  p += ns;
  put_crc(sec, static_cast<std::size_t>(p - sec));
}

int ts_mux_first_video(TsMuxState& s, uint64_t t_ms, std::span<const uint8_t> sps_pps, uint8_t* out) {
  if (sps_pps.size() > kMuxFirstVideoMaxSetup) return 0;
  const std::size_t n = sps_pps.size();
  // 4 header + 8 adaptation (length, flags, PCR) + 19 PES header + 6 delimiter.
  const std::size_t stuffing = kTsPacketSize - 37 - n;
  const uint64_t t90 = ts_ms_to_90k(t_ms);
  const std::size_t pes_length = n + 19;
  uint8_t* p = out;
  *p++ = kTsSync;
  *p++ = static_cast<uint8_t>(0x40 | (kMuxVideoPid >> 8));
  *p++ = kMuxVideoPid & 0xFF;
  *p++ = static_cast<uint8_t>(0x30 | (s.cc_video & 0x0F));
  *p++ = static_cast<uint8_t>(7 + stuffing);
  *p++ = 0x10;  // PCR flag
  ts_write_pcr(p, t90);
  p += 6;
  std::memset(p, 0xFF, stuffing);
  p += stuffing;
  const uint8_t pes[] = {0x00, 0x00, 0x01, kPesVideoStreamId,
                         static_cast<uint8_t>(pes_length >> 8), static_cast<uint8_t>(pes_length & 0xFF),
                         0x80, 0xC0, 10};
  std::memcpy(p, pes, sizeof pes);
  p += sizeof pes;
  pes_write_pts_dts(p, t90);
  p += 10;
  // Access unit delimiter, primary picture type 7 (any slice) and the stop bit.
  const uint8_t aud[] = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
  std::memcpy(p, aud, sizeof aud);
  p += sizeof aud;
  if (n) std::memcpy(p, sps_pps.data(), n);
  s.cc_video = static_cast<uint8_t>((s.cc_video + 1) & 0x0F);
  return 1;
}

}  // namespace kx
