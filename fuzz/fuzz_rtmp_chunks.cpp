// The RTMP chunk reader on arbitrary bytes, fed in pieces whose sizes the input chooses.
// Input: a byte n, then n bytes of piece sizes (each 1 + value), then the stream. Checks:
// every piece is consumed whole unless the reader failed or the callback stopped it; the
// messages stay within their caps; the chunk size stays in range; an error is sticky; the
// same stream fed in one piece gives the same messages and the same outcome.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "rtmp/chunk_reader.h"

namespace {

struct Seen {
  uint64_t messages = 0;
  uint64_t body_sum = 0;  // the body bytes, summed, to compare two feeds
};

bool on_message(void* user, const kx::RtmpMessage& m) {
  auto* s = static_cast<Seen*>(user);
  const std::size_t cap = m.type == 8 || m.type == 9 || m.type == 22 ? 1u << 20 : 1u << 16;
  if (m.length > cap || (m.length > 0 && !m.body)) std::abort();
  for (std::size_t i = 0; i < m.length; ++i) s->body_sum += m.body[i];  // every byte readable
  ++s->messages;
  s->body_sum += m.timestamp ^ m.csid ^ m.type ^ m.stream_id;
  return true;
}

kx::RtmpReaderLimits limits() {
  kx::RtmpReaderLimits l;
  l.command_max = 1 << 16;
  l.media_max = 1 << 20;
  l.pending_max = 2 << 20;
  return l;
}

void check(const kx::RtmpChunkReader& r) {
  if (r.chunk_size() == 0 || r.chunk_size() > kx::kRtmpMaxChunkSize) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::size_t n_sizes = data[0] < size - 1 ? data[0] : size - 1;
  const uint8_t* sizes = data + 1;
  const uint8_t* stream = data + 1 + n_sizes;
  const std::size_t len = size - 1 - n_sizes;

  kx::RtmpChunkReader split(limits());
  Seen a;
  std::size_t off = 0;
  for (std::size_t k = 0; off < len; ++k) {
    std::size_t piece = n_sizes ? 1 + sizes[k % n_sizes] : len;
    if (piece > len - off) piece = len - off;
    const std::vector<uint8_t> part(stream + off, stream + off + piece);  // exact size: overreads show
    const std::size_t used = split.feed(part.data(), part.size(), on_message, &a);
    if (used > piece) std::abort();
    if (!split.failed() && used != piece) std::abort();
    check(split);
    off += piece;
    if (split.failed()) {
      if (split.feed(part.data(), part.size(), on_message, &a) != 0) std::abort();
      break;
    }
  }

  kx::RtmpChunkReader whole(limits());
  Seen b;
  const std::vector<uint8_t> all(stream, stream + len);
  whole.feed(all.data(), all.size(), on_message, &b);
  check(whole);
  if (whole.failed() != split.failed() || a.messages != b.messages || a.body_sum != b.body_sum) std::abort();
  if (!whole.failed() && whole.bytes_fed() != len) std::abort();
  return 0;
}
