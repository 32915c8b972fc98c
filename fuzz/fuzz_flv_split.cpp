// The FLV tag splitter on arbitrary bytes. Input: one byte choosing the piece size, then
// the stream. Checks: every slot holds 1 to 1452 bytes; the slots join into whole tags
// (PreviousTagSize, header, exactly the data its size names) of audio or video only, and
// only a tag's first slot may be a keyframe; the captured set-up stays within its fields;
// the byte counts add up.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/log.h"
#include "ingest/flv_splitter.h"

namespace {

struct Out {
  std::vector<uint8_t> pending;
  uint64_t tags = 0;
  uint64_t slots = 0;
};

uint32_t get24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }

void slot(void* user, const uint8_t* data, int len, bool keyframe) {
  auto* o = static_cast<Out*>(user);
  if (len < 1 || len > kx::kFlvSlotBytes) std::abort();
  if (keyframe && !o->pending.empty()) std::abort();
  ++o->slots;
  o->pending.insert(o->pending.end(), data, data + len);
  if (o->pending.size() < 15) {
    if (len == kx::kFlvSlotBytes) std::abort();
    return;
  }
  const int type = o->pending[4] & 0x1F;
  if (type != 8 && type != 9) std::abort();
  if (keyframe && (type != 9 || o->pending[15] != 0x17)) std::abort();
  const std::size_t total = 15 + get24(o->pending.data() + 5);
  if (o->pending.size() > total) std::abort();
  if (o->pending.size() == total) {
    o->pending.clear();
    ++o->tags;
  } else if (len != kx::kFlvSlotBytes) {
    std::abort();  // only a full slot may leave a tag unfinished
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kx::log_set_mode(kx::Sink::Admin, 0);
  kx::log_set_mode(kx::Sink::System, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 251;
  ++data, --size;
  kx::FlvSplitter s(1, false);
  Out out;
  for (int round = 0; round < 2; ++round) {  // a second connection with the same bytes
    s.start_connection();
    for (std::size_t off = 0; off < size;) {
      const std::size_t n = piece < size - off ? piece : size - off;
      // An exact-size copy, so any read past the piece is caught.
      std::vector<uint8_t> part(data + off, data + off + n);
      s.feed(part.data(), part.size(), slot, &out);
      off += n;
    }
    if (!out.pending.empty()) std::abort();  // a tag is handed out whole, in one feed
    const kx::FlvSplitStats& st = s.stats();
    if (st.fed != static_cast<uint64_t>(size) * static_cast<uint64_t>(round + 1)) std::abort();
    if (st.dropped_bytes > st.fed || s.buffered() > size) std::abort();
    if (st.slots != out.slots || st.stored_tags != out.tags) std::abort();
    if (st.stored_tags + st.skipped_tags > st.tags) std::abort();
    const kx::DecoderSetup d = s.setup();
    if (d.aac_config.size() > static_cast<std::size_t>(kx::kFlvAacConfigMax)) std::abort();
    if (d.avc_header.size() > 1452) std::abort();
    if (!d.video_tag_prefix.empty() && d.video_tag_prefix.size() != 15) std::abort();
    if (!d.flv_header.empty() && d.flv_header.size() < 9) std::abort();
    if (d.aac_freq_index < 0 || d.aac_freq_index > 15 || d.aac_channels < 0 || d.aac_channels > 15) std::abort();
    if (d.video_codec.size() > 64) std::abort();
    (void)s.meta_kbps();
  }
  return 0;
}
