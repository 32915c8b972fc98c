#include "http/ts_start.h"

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
