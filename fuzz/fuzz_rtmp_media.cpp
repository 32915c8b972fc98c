// RTMP messages into FLV on arbitrary messages. Input: records of a type byte (its low
// bits pick data, audio, video or aggregate), a 32-bit timestamp, a 16-bit length and
// that many body bytes (cut at the end). Checks: the metadata reader and the decoder
// set-up recognisers stay within the bodies; the FLV written reads back strictly (file
// header, PreviousTagSize chain, tags as many as media() reported) and the FLV splitter
// takes every byte of it without losing sync.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "formats/flv.h"
#include "ingest/flv_splitter.h"
#include "rtmp/rtmp_media.h"

namespace {

uint32_t get32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

// The tags of flv read strictly; -1 when it does not read back. last: the PreviousTagSize
// that would follow.
long count_tags(const std::vector<uint8_t>& flv, uint32_t& last) {
  if (flv.empty()) return 0;
  kx::FlvFileHeader fh;
  if (!kx::flv_parse_file_header(flv.data(), static_cast<int>(flv.size()), fh)) return -1;
  std::size_t off = fh.data_offset;
  uint32_t prev = 0;
  long tags = 0;
  while (off < flv.size()) {
    if (flv.size() - off < 4 + static_cast<std::size_t>(kx::kFlvTagHeaderSize) || get32(flv.data() + off) != prev) return -1;
    kx::FlvTagHeader h;
    if (!kx::flv_parse_tag_header(flv.data() + off + 4, kx::kFlvTagHeaderSize, h)) return -1;
    off += 4 + kx::kFlvTagHeaderSize;
    if (h.data_size > flv.size() - off) return -1;
    off += h.data_size;
    prev = h.data_size + kx::kFlvTagHeaderSize;
    if (h.type != kx::kFlvTagScript) ++tags;
  }
  last = prev;
  return tags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kTypes[4] = {18, 8, 9, 22};
  kx::RtmpFlvWriter w;
  w.start();
  std::vector<uint8_t> flv;
  long written = 0;
  std::size_t off = 0;
  while (size - off >= 7) {
    kx::RtmpMessage m;
    m.type = kTypes[data[off] & 3];
    m.timestamp = get32(data + off + 1);
    std::size_t len = (std::size_t{data[off + 5]} << 8) | data[off + 6];
    off += 7;
    if (len > size - off) len = size - off;
    const std::vector<uint8_t> body(data + off, data + off + len);  // exact size: overreads show
    off += len;
    m.body = body.data();
    m.length = body.size();
    if (m.type == 18) {
      kx::StreamMeta meta;
      if (kx::rtmp_read_metadata(m.body, m.length, meta)) w.metadata(meta, flv);
      continue;
    }
    kx::RtmpAacInfo aac;
    if (kx::rtmp_aac_sequence_header(m.body, m.length, aac) && (aac.freq_index > 15 || aac.channels > 15)) std::abort();
    (void)kx::rtmp_is_avc_sequence_header(m.body, m.length);
    written += w.media(m, flv);
  }
  uint32_t last = 0;
  if (count_tags(flv, last) != written) std::abort();
  if (flv.empty()) return 0;
  // Closed by the last PreviousTagSize, every tag is whole and checks out in turn.
  for (int i = 3; i >= 0; --i) flv.push_back(static_cast<uint8_t>(last >> (8 * i)));
  kx::FlvSplitter split(0, false);
  split.start_connection();
  split.feed(flv.data(), flv.size(), nullptr, nullptr);
  if (split.stats().dropped_bytes != 0 || split.stats().resyncs != 0 || split.buffered() != 4) std::abort();
  return 0;
}
