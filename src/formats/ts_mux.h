// The MPEG-TS tables and first video packet our muxed outputs write: PAT, PMT and SDT
// as single packets with CRC-32/MPEG-2, and the packet that opens a video segment with
// PCR, PES header, access unit delimiter and the Annex-B SPS and PPS.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace kx {

constexpr int kMuxPmtPid = 0x0FFF;
constexpr int kMuxVideoPid = 0x100;
constexpr int kMuxAudioPid = 0x101;
constexpr char kMuxProviderName[] = "Kestrix";
constexpr char kMuxServiceName[] = "Quillmarsh";

// One per muxed output stream: 4-bit continuity counters and 5-bit table versions,
// each the value the next packet or table carries.
struct TsMuxState {
  uint8_t cc_pat = 0, cc_pmt = 0, cc_sdt = 0, cc_video = 0;
  uint8_t version_pat = 0, version_pmt = 0;
};

// CRC-32/MPEG-2: polynomial 0x04C11DB7, initial 0xFFFFFFFF, not reflected, no final XOR.
uint32_t mpeg_crc32(const uint8_t* p, std::size_t n);

// Each writes one 188-byte packet into out and advances the state's counters.
void ts_mux_pat(TsMuxState& s, uint8_t* out);  // PID 0, program 1 on PMT PID 0x0FFF
void ts_mux_pmt(TsMuxState& s, uint8_t* out);  // H.264 on 0x100 (also the PCR), AAC on 0x101
// The same listing only the streams asked for (both when neither is); the PCR is on the
// video PID, or on the audio PID when there is no video.
void ts_mux_pmt_streams(TsMuxState& s, uint8_t* out, bool video, bool audio);
void ts_mux_sdt(TsMuxState& s, uint8_t* out);  // PID 17, service 1 "Quillmarsh" by "Kestrix"

// Largest Annex-B SPS and PPS the first video packet holds.
constexpr std::size_t kMuxFirstVideoMaxSetup = 151;

// The first video packet of a segment starting at t_ms: PCR and PTS = DTS = t_ms x 90
// (modulo 2^33), then an access unit delimiter and sps_pps (00 00 00 01 SPS 00 00 00 01
// PPS) in one bounded PES, the adaptation field stuffed to fill the packet. 1 on
// success; 0 (nothing written, state unchanged) when sps_pps is longer than 151 bytes.
int ts_mux_first_video(TsMuxState& s, uint64_t t_ms, std::span<const uint8_t> sps_pps, uint8_t* out);

}  // namespace kx
