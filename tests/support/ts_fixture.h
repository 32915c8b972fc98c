// Hand-built TS packets for tests of marks and start points: a PAT, a PMT, video PES starts
// (key or not, by adaptation flag or by H.264 NAL type), continuations and audio.
#pragma once
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

namespace kxtest {

constexpr int kVideoPid = 0x100, kAudioPid = 0x101, kPmtPid = 0x1000;

using Packet = std::vector<uint8_t>;

// A 188-byte packet; af_flags >= 0 adds a one-flag-byte adaptation field.
inline Packet ts_packet(int pid, bool pusi, int af_flags, const std::vector<uint8_t>& payload) {
  Packet p(188, 0xFF);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((pusi ? 0x40 : 0) | ((pid >> 8) & 0x1F));
  p[2] = static_cast<uint8_t>(pid & 0xFF);
  int at = 4;
  if (af_flags >= 0) {
    p[3] = 0x30;
    p[4] = 1;
    p[5] = static_cast<uint8_t>(af_flags);
    at = 6;
  } else {
    p[3] = 0x10;
  }
  // An empty payload has no data pointer to copy from.
  if (!payload.empty())
    std::memcpy(p.data() + at, payload.data(), std::min<std::size_t>(payload.size(), 188 - static_cast<std::size_t>(at)));
  return p;
}

inline Packet pat_packet() {
  // pointer, table 0, length 13, ts id 1, version, section 0/0, program 1 -> PMT PID, CRC
  return ts_packet(0, true, -1,
                   {0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01,
                    static_cast<uint8_t>(0xE0 | (kPmtPid >> 8)), static_cast<uint8_t>(kPmtPid & 0xFF), 0, 0, 0, 0});
}

inline Packet pmt_packet() { return ts_packet(kPmtPid, true, -1, {0x00, 0x02, 0xB0, 0x12, 0x00, 0x01}); }

// A video PES start whose H.264 payload begins with an AUD and then NAL type nal.
inline Packet video_start(int nal, int af_flags = -1, int stream_id = 0xE0) {
  return ts_packet(stream_id >= 0xE0 ? kVideoPid : kAudioPid, true, af_flags,
                   {0x00, 0x00, 0x01, static_cast<uint8_t>(stream_id), 0x00, 0x00, 0x80, 0x80, 0x05, 0x21, 0x00,
                    0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x00, 0x01,
                    static_cast<uint8_t>(0x60 | nal), 0x88, 0x84, 0x00, 0x00});
}

inline Packet video_more() { return ts_packet(kVideoPid, false, -1, {0x11, 0x22}); }

inline Packet not_synced() {
  Packet p = ts_packet(0x1FFF, false, -1, {});
  p[0] = 0x12;
  return p;
}

inline std::vector<uint8_t> joined(const std::vector<Packet>& pkts) {
  std::vector<uint8_t> out;
  for (const Packet& p : pkts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// One ring entry per string: P pat, M pmt, I idr start, K key by random_access_indicator,
// F non-key frame start, c continuation, A audio key frame.
inline std::vector<uint8_t> entry_of(const char* kinds) {
  std::vector<Packet> pkts;
  for (const char* k = kinds; *k; ++k) {
    switch (*k) {
      case 'P': pkts.push_back(pat_packet()); break;
      case 'M': pkts.push_back(pmt_packet()); break;
      case 'I': pkts.push_back(video_start(5)); break;
      case 'K': pkts.push_back(video_start(1, 0x40)); break;
      case 'F': pkts.push_back(video_start(1)); break;
      case 'A': pkts.push_back(video_start(5, 0x40, 0xC0)); break;
      default: pkts.push_back(video_more()); break;
    }
  }
  return joined(pkts);
}

}  // namespace kxtest
