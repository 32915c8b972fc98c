// Reading a TS stream for its elementary payloads (outputs that remux TS into other
// forms): the reader follows the PAT to the PMT and the PMT to the video and audio
// PIDs, keeps the stream's timing, and hands out each packet's payload in place.
#pragma once
#include <cstddef>
#include <cstdint>

#include "formats/psi.h"
#include "formats/ts.h"

namespace kx {

// Packets after a given one, for walks ahead of a reader (e.g. over a ring): its own
// cursor, so the reader's position does not move.
struct TsPacketSource {
  void* ctx = nullptr;
  // The next packet: 1 with *pkt at 188 readable bytes; 0 when the source gives up (its
  // end, the channel going off, the player stopping). It may wait for data to arrive.
  int (*next)(void* ctx, const uint8_t** pkt) = nullptr;
  // What the source reports when it gives up, for the log line.
  int channel = 0;
  int channel_active = 0;
  int player_stopped = 0;
};

// A walk ahead gives up after this many packets of any PID.
constexpr int64_t kUnboundedPesMaxPackets = int64_t{1} << 18;

// The payload length of a PES on pid whose length field is 0: the payload bytes of the
// packets on pid that follow without starting a payload unit, up to the next payload
// start on pid. Packets of other PIDs and packets that fail the header check are not
// counted. -1 when the source gives up first (logged while the channel is on) or after
// max_packets.
int64_t ts_unbounded_pes_length(TsPacketSource& src, int pid,
                                int64_t max_packets = kUnboundedPesMaxPackets);

enum class TsStream { Other = 0, Video = 1, Audio = 2 };

// One reader per output stream; no allocation.
struct TsReader {
  TsReader() { psi_reset(pat, kTsPatPid); }
  const char* channel = "";  // name for log lines, owned by the caller
  TsPids pids;
  TsTiming timing;
  // Payload bytes of the current PES of each kind, as its header announces or as
  // counted ahead for an unbounded video PES; -1 when unknown.
  int64_t video_pes_length = -1;
  int64_t audio_pes_length = -1;
  PsiAssembler pat, pmt;
  uint32_t pat_crc = 0, pmt_crc = 0;  // of the sections applied last
  bool pat_applied = false, pmt_applied = false;
  bool seen_sync = false;  // a packet has started with the sync byte
  bool lost_sync = false;  // the previous packet did not
};

struct TsPayload {
  const uint8_t* data = nullptr;  // inside the packet
  std::size_t len = 0;
  int pid = -1;
  TsStream kind = TsStream::Other;
  bool unit_start = false;
  // At a video PES start whose payload opens with an access unit delimiter, the bytes
  // after the PES header left out to reach the first slice or SEI NAL unit.
  std::size_t skipped = 0;
};

// Reads one 188-byte packet. PAT and PMT sections (gathered across packets) update
// r.pids; the PCR PID's PCR updates r.timing; a PES start on the video or audio PID
// updates the timing and the PES length (walking `ahead` for an unbounded video PES,
// when given). out gets the payload of video and audio packets, nothing otherwise.
// 0 when the packet does not start with the sync byte ("3. Not TS Stream" at first,
// "NON TS Sync Byte" after a good packet); 1 otherwise, out.len 0 when nothing is to
// be forwarded.
int ts_extract_payload(TsReader& r, const uint8_t* pkt, TsPayload& out, TsPacketSource* ahead = nullptr);

}  // namespace kx
