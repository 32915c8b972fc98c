// Program-specific information (ISO/IEC 13818-1 2.4.4): sections gathered from TS
// packets, and the PAT and PMT read for the PIDs of a program's video and audio.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx {

// The PIDs a reader follows; -1 until a table has named them.
struct TsPids {
  int video = -1, audio = -1, pmt = -1;
  int pcr = -1;  // the PMT's PCR PID
};

// A PAT or PMT section is at most 1024 bytes: 3 header bytes and a length of up to 1021.
constexpr std::size_t kPsiSectionMax = 1024;

// Gathers the sections of one PID across packets. Owned by its reader; no allocation.
struct PsiAssembler {
  int pid = -1;
  uint8_t buf[kPsiSectionMax];
  std::size_t have = 0;
  std::size_t need = 0;  // 3 + the section length once the first 3 bytes are in
  bool active = false;   // a section is being gathered
  int last_cc = -1;
};

// Called with each complete section (from its table id to the end of its CRC).
using PsiSectionFn = void (*)(void* ctx, const uint8_t* sec, std::size_t len);

// Forgets any partial section and follows pid from now on.
void psi_reset(PsiAssembler& a, int pid);

// Feeds one 188-byte packet; packets of other PIDs are ignored. A continuity gap, a
// transport error or a section longer than 1021 bytes drops the partial section; a
// repeated packet is ignored. Returns how many complete sections were passed to fn.
int psi_feed(PsiAssembler& a, const uint8_t* pkt, PsiSectionFn fn, void* ctx);

// True when the section's CRC-32/MPEG-2 (its last 4 bytes) is right.
bool psi_crc_ok(const uint8_t* sec, std::size_t len);

// Reads a complete PAT section (len bytes available): pids.pmt becomes the PMT PID of
// the first program. 1 on success; 0 for anything else (pids unchanged).
int psi_parse_pat(const uint8_t* sec, std::size_t len, TsPids& pids);

// Reads a complete PMT section: video PID from stream types 0x02 and 0x1B, audio PID
// from 0x03, 0x04, 0x0F and 0x81 (the last entry of each kind wins), PCR PID. Logs
// "Not PMT Table" for another table id and the PIDs found for the channel name.
// 1 on success; 0 when the section is not a sound, current PMT (pids unchanged).
int psi_parse_pmt(const uint8_t* sec, std::size_t len, TsPids& pids, const char* channel);

// The same for a packet whose payload starts a PMT section that ends in that packet.
int psi_parse_pmt_packet(const uint8_t* pkt, TsPids& pids, const char* channel);

}  // namespace kx
