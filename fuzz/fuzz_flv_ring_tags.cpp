// The tag assembler a live FLV player puts an FLV ring's entries back together with, on
// arbitrary bytes. Input: one byte choosing the piece size, one the largest tag allowed,
// then the bytes. Checks: every tag handed out is audio or video, no larger than allowed
// and lies within what was given; the assembler never holds more than one allowed tag
// and one piece; the tags and what is held account for every byte until a bad tag stops
// it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "players/flv_tag_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = 1 + data[0] % 251;
  const uint32_t cap = 1u << (data[1] % 20);
  data += 2, size -= 2;
  kx::FlvTagAssembler a(cap);
  std::size_t used = 0;
  for (std::size_t off = 0; off < size;) {
    const std::size_t n = piece < size - off ? piece : size - off;
    a.compact();
    // An exact-size copy, so any read past the piece is caught.
    std::vector<uint8_t> part(data + off, data + off + n);
    a.append(part.data(), part.size());
    off += n;
    kx::FlvRingTag t;
    for (;;) {
      const kx::FlvTagAssembler::Result r = a.next(t);
      if (r == kx::FlvTagAssembler::kNeedMore) break;
      if (r != kx::FlvTagAssembler::kTag) return 0;  // the player ends here
      if ((t.type != 8 && t.type != 9) || t.size > cap) std::abort();
      volatile uint8_t sink = 0;
      for (uint32_t i = 0; i < t.size; ++i) sink = sink ^ t.data[i];
      used += 15 + t.size;
    }
    if (a.held() > 15 + std::size_t{cap} + piece) std::abort();
    if (used + a.held() != off) std::abort();
  }
  return 0;
}
