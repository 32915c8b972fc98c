#include "rtmp/chunk_writer.h"

namespace kx {

namespace {

constexpr uint32_t kExtendedMark = 0xFFFFFF;
constexpr std::size_t kMaxLength = 0xFFFFFF;
constexpr std::size_t kMessageHeaderLen[4] = {11, 7, 3, 0};

bool valid(const RtmpChunkHeader& h, std::size_t len, uint32_t chunk_size) {
  return h.fmt >= 0 && h.fmt <= 3 && h.csid >= 2 && h.csid <= 65599 && len <= kMaxLength && chunk_size > 0;
}

std::size_t basic_len(uint32_t csid) { return csid < 64 ? 1 : csid < 320 ? 2 : 3; }

void put_basic(std::vector<uint8_t>& out, int fmt, uint32_t csid) {
  const uint8_t top = static_cast<uint8_t>(fmt << 6);
  if (csid < 64) {
    out.push_back(static_cast<uint8_t>(top | csid));
  } else if (csid < 320) {
    out.push_back(top);
    out.push_back(static_cast<uint8_t>(csid - 64));
  } else {
    out.push_back(static_cast<uint8_t>(top | 1));
    out.push_back(static_cast<uint8_t>((csid - 64) & 0xFF));
    out.push_back(static_cast<uint8_t>((csid - 64) >> 8));
  }
}

void put24(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  put24(out, v);
}

void put_header(std::vector<uint8_t>& out, const RtmpChunkHeader& h, std::size_t len) {
  put_basic(out, h.fmt, h.csid);
  const bool ext = h.fmt < 3 && h.timestamp >= kExtendedMark;
  if (h.fmt < 3) put24(out, ext ? kExtendedMark : h.timestamp);
  if (h.fmt < 2) {
    put24(out, static_cast<uint32_t>(len));
    out.push_back(h.type);
  }
  if (h.fmt == 0)  // the message stream id is little-endian
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(h.stream_id >> (8 * i)));
  if (ext) put32(out, h.timestamp);
}

}  // namespace

std::size_t rtmp_chunked_size(const RtmpChunkHeader& h, std::size_t len, uint32_t chunk_size) {
  if (!valid(h, len, chunk_size)) return 0;
  const std::size_t ext = h.fmt < 3 && h.timestamp >= kExtendedMark ? 4 : 0;
  const std::size_t continuations = len == 0 ? 0 : (len - 1) / chunk_size;
  return basic_len(h.csid) + kMessageHeaderLen[h.fmt] + ext + len + continuations * (basic_len(h.csid) + ext);
}

bool rtmp_append_message(std::vector<uint8_t>& out, const RtmpChunkHeader& h, const uint8_t* body,
                         std::size_t len, uint32_t chunk_size) {
  if (!valid(h, len, chunk_size) || (len > 0 && !body)) return false;
  out.reserve(out.size() + rtmp_chunked_size(h, len, chunk_size));
  put_header(out, h, len);
  const bool ext = h.fmt < 3 && h.timestamp >= kExtendedMark;
  for (std::size_t off = 0; off < len;) {
    if (off > 0) {
      put_basic(out, 3, h.csid);
      if (ext) put32(out, h.timestamp);
    }
    const std::size_t n = len - off < chunk_size ? len - off : chunk_size;
    out.insert(out.end(), body + off, body + off + n);
    off += n;
  }
  return true;
}

}  // namespace kx
