// Where a player joins a live TS stream: at a PAT whose program's PMT follows it, so the
// player can set its decoders up from the first bytes it gets.
#pragma once
#include <cstdint>

#include "ingest/ring.h"

namespace kx {

// The PMT PIDs of the programs (number above 0) listed in the PAT section that starts in
// this 188-byte packet. Only the part of the section inside the packet is read; the
// pointer field and the section length are checked against the packet's end. Returns how
// many PIDs were stored (at most max); 0 when the packet starts no usable PAT.
int pat_pmt_pids(const uint8_t* pkt, int* pids, int max);

// The start point found.
struct TsStart {
  uint64_t seq = 0;  // ring sequence of the entry holding the PAT
  int pos = 0;       // byte position of the PAT packet in that entry's payload
  int pmt_pid = -1;  // the PMT PID that followed it
};

// Looks at consecutive entries (as RingReader hands them out: RTP headers removed) for a
// PAT packet followed, in the same or a later entry, by a packet of one of its PMT PIDs.
// A newer PAT replaces one whose PMT has not come yet. No allocation.
class TsStartFinder {
 public:
  static constexpr int kMaxPmts = 16;

  void reset();
  // true once found; out then names the PAT.
  bool feed(uint64_t seq, const uint8_t* data, int len, TsStart& out);
  int entries_seen() const { return entries_; }

 private:
  bool pat_ = false;
  uint64_t pat_seq_ = 0;
  int pat_pos_ = 0;
  int pmts_[kMaxPmts] = {};
  int n_pmts_ = 0;
  int entries_ = 0;
};

// The first packet boundary of a buffer: the first position (below 188) where a sync
// byte is followed by another one 188 bytes on, or by the buffer's end. -1 when none.
int ts_sync_offset(const uint8_t* data, int len);

enum class DecodableScan { kFound, kNone, kNoMarks };

// The start a decoder can begin with nearest to from: an entry marked random access, and
// the nearest PAT at or before that picture (in the same entry ahead of it, or at most
// kPatLeadEntries entries before). Searched backwards from from within the held span
// first, forwards to the newest commit only when none is behind. On kFound out.seq and
// out.pos name the PAT (out.pmt_pid is left alone). kNoMarks: the ring never held a
// random-access mark, so waiting for one is pointless; kNone: not (yet) in the span.
// Entries before floor are not looked at (a player that resumes after an outage must not
// be sent again what it already had).
inline constexpr int kPatLeadEntries = 512;
DecodableScan ts_find_decodable_start(const RealBuffer& ring, uint64_t from, TsStart& out, uint64_t floor = 0);

enum class TsScan { kFound, kCaughtUp, kLapped, kLimit };

// Feeds the entries of rd to f, each read into scratch (kEntryBytes), until the start
// point is found, the reader is caught up, the writer lapped it (rd then stands at the
// start point again and f is reset), or max_entries entries were read in this call.
// On kFound rd stands just after the entry that completed the search; the caller seeks
// to out.seq to send from the PAT.
TsScan ts_scan_start(RingReader& rd, TsStartFinder& f, uint8_t* scratch, int max_entries, TsStart& out);

}  // namespace kx
