#include "formats/flv_probe.h"

#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/os/file.h"
#include "formats/amf0.h"
#include "formats/flv.h"

namespace kx {

namespace {

// The first read; enough for the metadata of nearly every file.
constexpr int kFirstRead = 512;
// Tags looked at before giving up on finding the script tag.
constexpr int kMaxTags = 4;

// Fills info from onMetaData data; false when the data is not onMetaData.
bool read_meta(const uint8_t* p, int len, FlvFileInfo& info) {
  Amf0Reader r(p, len);
  std::string_view name;
  if (!r.read_string(name) || name != "onMetaData") return false;
  uint32_t count = 0;
  if (!r.begin_object() && !r.begin_ecma_array(count)) return true;
  // Each property consumes bytes, so the walk ends with the data; a cut-off object keeps
  // what was read before the cut.
  while (true) {
    std::string_view key;
    if (r.next_key(key) != 1) break;
    double* slot = nullptr;
    if (key == "duration") slot = &info.duration;
    else if (key == "videodatarate") slot = &info.videodatarate;
    else if (key == "audiodatarate") slot = &info.audiodatarate;
    double v = 0;
    if (slot && r.read_number(v)) {
      *slot = v;
    } else if (!r.skip_value()) {
      break;
    }
  }
  return true;
}

// Bytes of the file needed to hold its first tag (bounded), or 0 when the header is not FLV.
int64_t first_tag_end(const uint8_t* p, int len) {
  FlvFileHeader h;
  if (!flv_parse_file_header(p, len, h)) return 0;
  int64_t tag = static_cast<int64_t>(h.data_offset) + 4;
  if (tag + kFlvTagHeaderSize > len) return tag + kFlvTagHeaderSize;
  FlvTagHeader t;
  if (!flv_parse_tag_header(p + tag, len - static_cast<int>(tag), t)) return len;
  uint32_t data = t.data_size < static_cast<uint32_t>(kFlvProbeMaxScript) ? t.data_size : kFlvProbeMaxScript;
  return tag + kFlvTagHeaderSize + data;
}

}  // namespace

int flv_probe_mem(const uint8_t* data, size_t size, FlvFileInfo& info) {
  info = FlvFileInfo{};
  if (!data) return 0;
  int len = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
  FlvFileHeader h;
  if (!flv_parse_file_header(data, len, h)) return 0;
  int64_t pos = static_cast<int64_t>(h.data_offset) + 4;  // past PreviousTagSize0
  for (int n = 0; n < kMaxTags && pos + kFlvTagHeaderSize <= len; ++n) {
    FlvTagHeader t;
    if (!flv_parse_tag_header(data + pos, len - static_cast<int>(pos), t)) return 0;
    int64_t body = pos + kFlvTagHeaderSize;
    if (t.type == kFlvTagScript) {
      int64_t avail = len - body;
      if (avail > t.data_size) avail = t.data_size;
      if (avail > kFlvProbeMaxScript) avail = kFlvProbeMaxScript;
      if (read_meta(data + body, static_cast<int>(avail), info)) return 1;
    }
    pos = body + t.data_size + 4;
  }
  return 0;
}

int flv_probe(const std::string& path, FlvFileInfo& info) {
  info = FlvFileInfo{};
  File f;
  if (!f.open(path, File::kRead)) {
    log_admin("Failed\n");
    return 0;
  }
  std::vector<uint8_t> buf(kFirstRead);
  int64_t got = f.read(buf.data(), buf.size());
  if (got < 0) {
    log_admin("Failed\n");
    return 0;
  }
  // The first read may end inside a long script tag: read the rest of it, bounded.
  int64_t need = first_tag_end(buf.data(), static_cast<int>(got));
  if (got == kFirstRead && need > got) {
    buf.resize(static_cast<size_t>(need));
    while (got < need) {
      int64_t r = f.read(buf.data() + got, static_cast<size_t>(need - got));
      if (r <= 0) break;
      got += r;
    }
  }
  return flv_probe_mem(buf.data(), static_cast<size_t>(got), info);
}

}  // namespace kx
