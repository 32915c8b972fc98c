// PES packets (ISO/IEC 13818-1 2.4.3.6): the header with its PTS/DTS, and the writers
// of the timestamp fields our muxers put into PES headers and adaptation fields.
#pragma once
#include <cstddef>
#include <cstdint>

#include "formats/ts.h"

namespace kx {

constexpr int kPesVideoStreamId = 0xE0;
constexpr int kPesAudioStreamId = 0xC0;

struct PesHeader {
  int stream_id = 0;
  int packet_length = 0;   // the 16-bit length field; 0 means unbounded (video only)
  int header_size = 0;     // bytes from the start code to the first payload byte
  int payload_length = -1; // payload bytes the length field announces, -1 when unbounded
  bool has_pts = false, has_dts = false;
  uint64_t pts = 0, dts = 0;  // 90 kHz, 33 bits
};

bool pes_is_video(int stream_id);  // 0xE0-0xEF
bool pes_is_audio(int stream_id);  // 0xC0-0xDF

// Parses the PES header at p (len bytes available, the whole header must be there).
// 1 when p holds the start code 00 00 01, a stream id, and a header that fits in len
// and, when the length field is set, inside the packet it announces; 0 otherwise.
int pes_parse_header(const uint8_t* p, std::size_t len, PesHeader& h);

// The PES timing read: a video PES (0xE0-0xEF) sets t.pts_ms and t.dts_ms (the DTS
// equals the PTS when the header has none); an audio PES (0xC0-0xDF) sets the audio
// pair, logging "No Audio PTS" when it carries no PTS. 1 when a timestamp was read.
int pes_read_timing(const uint8_t* p, std::size_t len, TsTiming& t);

// The same from a parsed header, for a caller that knows the stream's kind by its PID.
int pes_apply_timing(const PesHeader& h, bool video, TsTiming& t);

// The 33-bit value of a 5-byte PTS/DTS field.
uint64_t pes_decode_timestamp(const uint8_t* b);
// Writes a 5-byte PTS/DTS field: prefix is 0x21 (PTS only), 0x31 (PTS before a DTS) or
// 0x11 (the DTS); v is taken modulo 2^33.
void pes_write_timestamp(uint8_t* out, uint8_t prefix, uint64_t v);
// PTS only (5 bytes), or PTS and DTS of the same value (10 bytes).
void pes_write_pts(uint8_t* out, uint64_t v);
void pes_write_pts_dts(uint8_t* out, uint64_t v);
// The 6-byte PCR field: the 33-bit base (modulo 2^33), reserved bits, extension 0.
void ts_write_pcr(uint8_t* out, uint64_t base);

}  // namespace kx
