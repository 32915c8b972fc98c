// The FLV tag reader and the FLV-to-TS converter on arbitrary bytes. Input: one byte of
// mode, then the data. Mode bit 0 reads the data as tags directly (type byte, 16-bit
// timestamp, 16-bit size, body); otherwise it is an FLV byte stream behind a file header,
// fed in pieces of a size the other mode bits choose. Checks: every group holds one to
// seven whole packets with the sync byte, continuity counters run modulo 16 per PID on
// packets with payload, and each PES start parses.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "core/log.h"
#include "formats/flv_to_ts.h"
#include "formats/ts_mux.h"
#include "formats/pes.h"
#include "formats/ts.h"

namespace {

struct Check {
  std::map<int, int> cc;
};

void group(void* ctx, const uint8_t* data, std::size_t len) {
  auto* c = static_cast<Check*>(ctx);
  if (len == 0 || len > kx::kFlvToTsGroupBytes || len % 188 != 0) std::abort();
  for (std::size_t off = 0; off < len; off += 188) {
    const uint8_t* p = data + off;
    kx::TsHeader h;
    if (!kx::ts_parse_header(p, h)) std::abort();
    auto it = c->cc.find(h.pid);
    if (h.payload_size > 0) {
      if (it != c->cc.end() && h.continuity != ((it->second + 1) & 15)) std::abort();
      c->cc[h.pid] = h.continuity;
    } else if (it != c->cc.end() && h.continuity != it->second) {
      std::abort();
    }
    kx::PesHeader ph;
    const bool media = h.pid == kx::kMuxVideoPid || h.pid == kx::kMuxAudioPid;  // not the PMT's PID
    if (h.payload_start && media &&
        !kx::pes_parse_header(p + h.payload_offset, static_cast<std::size_t>(h.payload_size), ph))
      std::abort();
  }
}

void tag(void* ctx, const kx::FlvTagView& t) {
  if (t.size > kx::kFlvTagCap) std::abort();
  static_cast<kx::FlvToTs*>(ctx)->add_tag(t.type, t.timestamp, t.data, t.size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kx::log_set_mode(kx::Sink::Admin, 0);
  kx::log_set_mode(kx::Sink::System, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  ++data, --size;
  Check check;
  kx::FlvToTs conv(group, &check);
  if (mode & 1) {
    for (std::size_t pos = 0; pos + 5 <= size;) {
      const int type = data[pos];
      const uint32_t ts = (uint32_t{data[pos + 1]} << 8) | data[pos + 2];
      std::size_t n = (std::size_t{data[pos + 3]} << 8) | data[pos + 4];
      pos += 5;
      if (n > size - pos) n = size - pos;
      std::vector<uint8_t> body(data + pos, data + pos + n);  // exact size
      conv.add_tag(type, ts, body.data(), body.size());
      pos += n;
    }
    return 0;
  }
  std::vector<uint8_t> flv = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
  flv.insert(flv.end(), data, data + size);
  const std::size_t piece = 1 + (mode >> 1) * 37;
  kx::FlvTagReader r;
  for (std::size_t off = 0; off < flv.size(); off += piece) {
    std::vector<uint8_t> part(flv.begin() + static_cast<long>(off),
                              flv.begin() + static_cast<long>(off + (piece < flv.size() - off ? piece : flv.size() - off)));
    r.feed(part.data(), part.size(), tag, &conv);
  }
  return 0;
}
