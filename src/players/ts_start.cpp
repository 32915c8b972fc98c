#include "players/ts_start.h"

#include <algorithm>

#include "formats/ts.h"

namespace kx {

namespace {
constexpr int kPkt = static_cast<int>(kTsPacketSize);
}  // namespace

int pat_pmt_pids(const uint8_t* pkt, int* pids, int max) {
  TsHeader h;
  if (!ts_parse_header(pkt, h) || h.pid != kTsPatPid || !h.payload_start || h.payload_size < 1) return 0;
  const int sec = h.payload_offset + 1 + pkt[h.payload_offset];  // past the pointer field
  // table id, length (2), transport stream id (2), version, section number, last section
  if (sec + 8 > kPkt) return 0;
  if (pkt[sec] != 0x00) return 0;
  const int section_length = ((pkt[sec + 1] & 0x0F) << 8) | pkt[sec + 2];
  if (section_length < 9) return 0;  // 5 header bytes and the CRC at least
  int end = sec + 3 + section_length - 4;  // the program loop ends at the CRC
  if (end > kPkt) end = kPkt;
  int n = 0;
  for (int i = sec + 8; i + 4 <= end && n < max; i += 4) {
    const int program = (pkt[i] << 8) | pkt[i + 1];
    const int pid = ((pkt[i + 2] & 0x1F) << 8) | pkt[i + 3];
    if (program == 0 || pid == kTsPatPid || pid == kTsNullPid) continue;  // network PID, nonsense
    pids[n++] = pid;
  }
  return n;
}

int ts_sync_offset(const uint8_t* data, int len) {
  for (int i = 0; i < kPkt && i + kPkt <= len; ++i) {
    if (data[i] != kTsSync) continue;
    if (i + kPkt == len || data[i + kPkt] == kTsSync) return i;
  }
  return -1;
}

void TsStartFinder::reset() {
  pat_ = false;
  n_pmts_ = 0;
  entries_ = 0;
}

bool TsStartFinder::feed(uint64_t seq, const uint8_t* data, int len, TsStart& out) {
  ++entries_;
  if (data == nullptr || len < kPkt) return false;
  const int start = ts_sync_offset(data, len);
  if (start < 0) return false;
  for (int p = start; p + kPkt <= len; p += kPkt) {
    const uint8_t* pkt = data + p;
    const int pid = ts_pid(pkt);
    if (pid < 0) continue;
    if (pid == kTsPatPid) {
      int pids[kMaxPmts];
      const int n = pat_pmt_pids(pkt, pids, kMaxPmts);
      if (n > 0) {
        pat_ = true;
        pat_seq_ = seq;
        pat_pos_ = p;
        for (int i = 0; i < n; ++i) pmts_[i] = pids[i];
        n_pmts_ = n;
      }
      continue;
    }
    if (!pat_) continue;
    for (int i = 0; i < n_pmts_; ++i) {
      if (pmts_[i] != pid) continue;
      out.seq = pat_seq_;
      out.pos = pat_pos_;
      out.pmt_pid = pid;
      return true;
    }
  }
  return false;
}

namespace {

// The PAT nearest before the picture of entry ra (whose marks are m); false when none.
bool pat_before(const RealBuffer& ring, uint64_t ra, const EntryMeta& m, uint64_t floor, TsStart& out) {
  if (m.pat_pos >= 0 && m.pat_pos <= m.ra_pos) {
    out.seq = ra;
    out.pos = m.pat_pos;
    return true;
  }
  const uint64_t old = std::max(ring.oldest(), floor);
  for (uint64_t s = ra, k = 0; s > old && k < kPatLeadEntries; ++k) {
    --s;
    EntryMeta e;
    if (!ring.peek(s, e)) return false;  // overwritten meanwhile
    if (e.pat_pos < 0) continue;
    out.seq = s;
    out.pos = e.pat_pos;
    return true;
  }
  return false;
}

}  // namespace

DecodableScan ts_find_decodable_start(const RealBuffer& ring, uint64_t from, TsStart& out, uint64_t floor) {
  if (ring.random_access_end() == 0) return DecodableScan::kNoMarks;
  const uint64_t c = ring.commits(), old = std::max(ring.oldest(), floor);
  if (c == 0) return DecodableScan::kNone;
  if (from >= c) from = c - 1;
  if (from < old) from = old;
  EntryMeta m;
  for (uint64_t s = from + 1; s > old;) {  // backwards, from itself included
    --s;
    if (!ring.peek(s, m)) break;
    if (m.ra_pos >= 0 && pat_before(ring, s, m, old, out)) return DecodableScan::kFound;
  }
  for (uint64_t s = from + 1; s < c; ++s) {
    if (!ring.peek(s, m)) continue;  // lapped: later entries are still good
    if (m.ra_pos >= 0 && pat_before(ring, s, m, old, out)) return DecodableScan::kFound;
  }
  return DecodableScan::kNone;
}

TsScan ts_scan_start(RingReader& rd, TsStartFinder& f, uint8_t* scratch, int max_entries, TsStart& out) {
  for (int i = 0; i < max_entries; ++i) {
    int len = 0;
    const RingReader::Result r = rd.next(scratch, len);
    if (r == RingReader::kCaughtUp) return TsScan::kCaughtUp;
    if (r == RingReader::kLapped) {
      f.reset();
      return TsScan::kLapped;
    }
    // next() has moved past the entry it returned (and any empty ones before it).
    if (f.feed(rd.position() - 1, scratch, len, out)) return TsScan::kFound;
  }
  return TsScan::kLimit;
}

}  // namespace kx
