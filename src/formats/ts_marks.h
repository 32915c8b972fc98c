// Where a stream of whole TS packets may be joined: the first PAT and the first packet that
// starts a random-access video picture, found once by the writer of a ring entry so that
// readers look for start points without parsing.
#pragma once
#include <cstdint>

namespace kx {

struct TsMarks {
  int pat_pos = -1;  // byte offset of the first PAT packet that starts a section, -1 none
  int ra_pos = -1;   // byte offset of the first random-access video packet, -1 none
  int64_t pcr = -1;  // the first PCR (27 MHz), as first_pcr finds it; -1 none
};

// True for a packet that starts a video PES (stream id 0xE0-0xEF) which a decoder can begin
// with: its adaptation field sets random_access_indicator, or the PES payload reaches an
// H.264 IDR slice or SPS before any other picture.
bool ts_random_access_video(const uint8_t* pkt);

// The marks of a buffer of TS packets. Only a buffer whose packets are all in sync (a sync
// byte every 188 bytes from the first boundary to the end) is looked at: an FLV slot or
// raw bytes get no marks.
TsMarks ts_entry_marks(const uint8_t* data, int len);

// The first PCR of a buffer of whole TS packets. The packets start at the first position
// where a sync byte is followed by another one 188 bytes on (or by the buffer's end), so
// a buffer that does not start on a packet boundary is read right. 1 with pcr27 set.
int first_pcr(const uint8_t* data, int len, uint64_t& pcr27);

}  // namespace kx
