// The AMF0 reader on arbitrary bytes: no read outside the input, every call either
// consumes a whole item or nothing, and a walk over the values always ends. The writer
// then writes what was read into a small buffer without passing its room.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "formats/amf0.h"

namespace {

// Reads and re-writes the properties of an object or ECMA array, one level deep.
void copy_properties(kx::Amf0Reader& r, kx::Amf0Writer& w, int limit) {
  int n = 0;
  while (n++ <= limit) {
    int before = r.pos();
    std::string_view key;
    int k = r.next_key(key);
    if (k < 0) {
      if (r.pos() != before) std::abort();
      return;
    }
    if (k == 0) {
      w.end_object();
      return;
    }
    w.key(key);
    double d;
    std::string_view s;
    bool b;
    if (r.read_number(d)) w.number(d);
    else if (r.read_string(s)) w.string(s);
    else if (r.read_boolean(b)) w.boolean(b);
    else if (r.read_null()) w.null();
    else if (!r.skip_value()) return;
    else w.null();
    if (r.pos() <= before) std::abort();
  }
  std::abort();  // each turn consumes bytes: the input cannot hold this many
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> in(data, data + size);  // exact size, so any overread is caught
  const int len = static_cast<int>(size > 1 << 20 ? 1 << 20 : size);

  // Skip value after value to the end.
  kx::Amf0Reader r(in.data(), len);
  int steps = 0;
  while (!r.at_end()) {
    int before = r.pos();
    if (!r.skip_value()) {
      if (r.pos() != before) std::abort();
      break;
    }
    if (r.pos() <= before || r.pos() > len) std::abort();
    if (++steps > len) std::abort();
  }

  // The same bytes read as script data, re-written into a room of 256 bytes.
  uint8_t out[256 + 16];
  std::memset(out + 256, 0xA5, 16);
  kx::Amf0Writer w(out, 256);
  kx::Amf0Reader t(in.data(), len);
  std::string_view name;
  if (t.read_string(name)) w.string(name);
  uint32_t count = 0;
  if (t.begin_object()) {
    w.begin_object();
    copy_properties(t, w, len);
  } else if (t.begin_ecma_array(count)) {
    w.begin_ecma_array(count);
    copy_properties(t, w, len);
  }
  if (w.size() < 0 || w.size() > 256) std::abort();
  for (int i = 256; i < 256 + 16; ++i)
    if (out[i] != 0xA5) std::abort();

  double v;
  kx::amf0_find_number(in.data(), len, "duration", v);
  return 0;
}
