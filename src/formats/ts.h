// MPEG transport stream packets (ISO/IEC 13818-1): the 4-byte header, the adaptation
// field and its PCR, and the 90 kHz clock conversions every TS routine shares.
// Every routine here reads one whole packet of kTsPacketSize bytes the caller owns.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx {

constexpr std::size_t kTsPacketSize = 188;
constexpr uint8_t kTsSync = 0x47;
constexpr int kTsPatPid = 0;
constexpr int kTsSdtPid = 17;
constexpr int kTsNullPid = 0x1FFF;
// PTS, DTS and the PCR base are 33-bit counts of a 90 kHz clock.
constexpr uint64_t kTs33Mask = (uint64_t{1} << 33) - 1;

// Timing of the stream being read, in the units its consumers use.
struct TsTiming {
  double pcr_seconds = 0;
  uint64_t pts_ms = 0, dts_ms = 0;              // video
  uint64_t audio_pts_ms = 0, audio_dts_ms = 0;  // audio
};

struct TsHeader {
  int pid = -1;
  bool transport_error = false;
  bool payload_start = false;
  int adaptation_control = 0;  // 1 payload only, 2 adaptation field only, 3 both
  int continuity = 0;
  int af_length = -1;          // the adaptation field's length byte, -1 when there is none
  int payload_offset = 0;      // first payload byte in the packet
  int payload_size = 0;        // bytes from payload_offset to the end of the packet
};

// Parses the header and checks the adaptation field length (at most 183). 1 when the
// packet starts with the sync byte and its layout is sound, 0 otherwise (h.pid is still
// set when the sync byte is right). A packet without payload has payload_size 0.
int ts_parse_header(const uint8_t* pkt, TsHeader& h);

// The 13-bit PID; -1 without the sync byte.
int ts_pid(const uint8_t* pkt);

// True for a packet of the program association table (PID 0).
bool ts_is_pat(const uint8_t* pkt);

// The 27 MHz PCR (base x 300 + extension) of the adaptation field. 1 when the packet has
// one: an adaptation field of at least 7 bytes with the PCR flag set.
int ts_read_pcr_value(const uint8_t* pkt, uint64_t& pcr27);

// Sets t.pcr_seconds from the packet's PCR; 0 (t unchanged) when it has none.
int ts_read_pcr(const uint8_t* pkt, TsTiming& t);

// Milliseconds to the 90 kHz clock, wrapped to 33 bits, and back.
inline uint64_t ts_ms_to_90k(uint64_t ms) { return (ms * 90) & kTs33Mask; }
inline uint64_t ts_90k_to_ms(uint64_t v) { return (v & kTs33Mask) / 90; }

}  // namespace kx
