// The TS-to-FLV converter on arbitrary packets. Input: one byte of mode, then the
// stream. Mode bit 0 puts the sync byte on every packet, bit 1 puts our PAT and PMT
// (H.264 on 0x100, AAC on 0x101) first so the PES paths are reached; the rest of the
// mode byte chooses how many packets each feed takes. Checks: the output is an FLV file
// header (flags naming audio, video or both) and whole tags whose PreviousTagSize fields
// are right, and the tag counts match the converter's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "formats/flv.h"
#include "formats/ts_mux.h"
#include "formats/ts_to_flv.h"

namespace {

uint32_t be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

void check_flv(const std::vector<uint8_t>& out, const kx::TsToFlvStats& st) {
  if (out.size() < 13 || std::memcmp(out.data(), "FLV\x01", 4) != 0) std::abort();
  if ((out[4] != 1 && out[4] != 4 && out[4] != 5) || std::memcmp(out.data() + 5, "\0\0\0\x09\0\0\0\0", 8) != 0)
    std::abort();
  uint64_t video = 0, audio = 0;
  std::size_t pos = 13;
  while (pos < out.size()) {
    kx::FlvTagHeader h;
    if (!kx::flv_parse_tag_header(out.data() + pos, static_cast<int>(out.size() - pos), h)) std::abort();
    const std::size_t end = pos + 11 + h.data_size;
    if (end + 4 > out.size() || be(out.data() + end, 4) != h.data_size + 11) std::abort();
    if (h.type == 9 && h.data_size >= 2 && out[pos + 12] == 1) ++video;
    if (h.type == 8 && h.data_size >= 2 && out[pos + 12] == 1) ++audio;
    pos = end + 4;
  }
  if (video != st.video_tags || audio != st.audio_tags) std::abort();
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
  std::vector<uint8_t> ts;
  if (mode & 2) {
    kx::TsMuxState s;
    uint8_t pkt[188];
    kx::ts_mux_pat(s, pkt);
    ts.insert(ts.end(), pkt, pkt + 188);
    kx::ts_mux_pmt(s, pkt);
    ts.insert(ts.end(), pkt, pkt + 188);
  }
  const std::size_t first = ts.size();
  ts.insert(ts.end(), data, data + size);
  ts.resize(ts.size() / 188 * 188);
  if (mode & 1)
    for (std::size_t off = first; off < ts.size(); off += 188) ts[off] = 0x47;
  const std::size_t step = (1 + (mode >> 2)) * 188;
  kx::TsToFlv conv;
  std::vector<uint8_t> out;
  for (std::size_t off = 0; off < ts.size(); off += step) {
    // An exact-size copy, so any read past the piece is caught.
    std::vector<uint8_t> part(ts.begin() + static_cast<long>(off),
                              ts.begin() + static_cast<long>(off + (step < ts.size() - off ? step : ts.size() - off)));
    conv.feed(part.data(), part.size(), out);
  }
  conv.finish(out);
  check_flv(out, conv.stats());
  return 0;
}
