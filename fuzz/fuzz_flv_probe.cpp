// The FLV probe and the FLV header readers over arbitrary bytes: no read outside the
// input, and values that agree with what was accepted.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/log.h"
#include "formats/flv.h"
#include "formats/flv_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  if (size > 200000) return 0;
  std::vector<uint8_t> in(data, data + size);  // exact size, so any overread is caught
  kx::FlvFileInfo info;
  int r = kx::flv_probe_mem(in.data(), in.size(), info);
  if (r != 0 && r != 1) std::abort();

  const int len = static_cast<int>(size);
  kx::FlvFileHeader fh;
  if (kx::flv_parse_file_header(in.data(), len, fh)) {
    if (fh.data_offset < 9 || fh.data_offset > static_cast<uint32_t>(kx::kFlvHeaderCapacity)) std::abort();
  } else if (r == 1) {
    std::abort();  // metadata without a file header
  }
  // Every offset read as a tag header; what parses writes back the same.
  for (int i = 0; i + kx::kFlvTagHeaderSize <= len && i < 4096; ++i) {
    kx::FlvTagHeader t;
    if (!kx::flv_parse_tag_header(in.data() + i, len - i, t)) continue;
    if (t.type != 8 && t.type != 9 && t.type != 18) std::abort();
    if (t.data_size > 0xFFFFFFu) std::abort();
    uint8_t w[kx::kFlvTagHeaderSize];
    if (!kx::flv_write_tag_header(w, t.type, t.data_size, t.timestamp)) std::abort();
    kx::FlvTagHeader u;
    if (!kx::flv_parse_tag_header(w, kx::kFlvTagHeaderSize, u)) std::abort();
    if (u.type != t.type || u.data_size != t.data_size || u.timestamp != t.timestamp) std::abort();
  }
  return 0;
}
