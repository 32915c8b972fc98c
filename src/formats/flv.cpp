#include "formats/flv.h"

#include "formats/amf0.h"

namespace kx {

namespace {

void put24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  put24(p + 1, v);
}

uint32_t get24(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

void codec_prop(Amf0Writer& w, const char* name, double id, const std::string& codec) {
  if (id == -1) {
    w.prop(name, codec);
  } else if (id >= 0) {
    w.prop(name, id);
  }
}

}  // namespace

int flv_build_header(const StreamMeta& m, uint8_t* out, int cap, uint32_t* next_prev_size) {
  constexpr int kHead = kFlvFileHeaderSize + 4 + kFlvTagHeaderSize;  // 24
  if (!out || cap < kHead) return 0;
  out[0] = 'F';
  out[1] = 'L';
  out[2] = 'V';
  out[3] = 1;  // version
  out[4] = 5;  // audio and video
  put32(out + 5, kFlvFileHeaderSize);
  put32(out + 9, 0);  // PreviousTagSize0

  Amf0Writer w(out + kHead, cap - kHead);
  w.string("onMetaData").begin_object();
  w.prop("duration", kFlvMetaDuration);
  w.prop("width", m.width);
  w.prop("height", m.height);
  w.prop("framerate", m.framerate);
  w.prop("videodatarate", m.videodatarate);
  codec_prop(w, "videocodecid", m.videocodecid, m.video_codec);
  w.prop("audiodatarate", m.audiodatarate);
  codec_prop(w, "audiocodecid", m.audiocodecid, m.audio_codec);
  w.end_object();
  if (!w.ok()) return 0;

  uint32_t size = static_cast<uint32_t>(w.size());
  flv_write_tag_header(out + 13, kFlvTagScript, size, 0);
  if (next_prev_size) *next_prev_size = size + kFlvTagHeaderSize;
  return kHead + w.size();
}

int flv_parse_file_header(const uint8_t* p, int len, FlvFileHeader& h) {
  h = FlvFileHeader{};
  if (!p || len < kFlvFileHeaderSize) return 0;
  if (p[0] != 'F' || p[1] != 'L' || p[2] != 'V') return 0;
  uint32_t off = (static_cast<uint32_t>(p[5]) << 24) | get24(p + 6);
  if (off < kFlvFileHeaderSize || off > static_cast<uint32_t>(kFlvHeaderCapacity)) return 0;
  h.version = p[3];
  h.audio = (p[4] & 4) != 0;
  h.video = (p[4] & 1) != 0;
  h.data_offset = off;
  return 1;
}

int flv_parse_tag_header(const uint8_t* p, int len, FlvTagHeader& h) {
  h = FlvTagHeader{};
  if (!p || len < kFlvTagHeaderSize) return 0;
  if (p[0] & 0xC0) return 0;
  int type = p[0] & 0x1F;
  if (type != kFlvTagAudio && type != kFlvTagVideo && type != kFlvTagScript) return 0;
  h.type = type;
  h.filtered = (p[0] & 0x20) != 0;
  h.data_size = get24(p + 1);
  h.timestamp = get24(p + 4) | (static_cast<uint32_t>(p[7]) << 24);
  h.stream_id = get24(p + 8);
  return 1;
}

int flv_write_tag_header(uint8_t* out, int type, uint32_t data_size, uint32_t timestamp) {
  if (!out || data_size > 0xFFFFFFu) return 0;
  out[0] = static_cast<uint8_t>(type & 0x1F);
  put24(out + 1, data_size);
  put24(out + 4, timestamp & 0xFFFFFFu);
  out[7] = static_cast<uint8_t>(timestamp >> 24);
  put24(out + 8, 0);
  return 1;
}

bool flv_header_fits(int header_len, uint32_t data_size, int capacity) {
  if (header_len < 0 || capacity < 0 || header_len > capacity) return false;
  return static_cast<uint64_t>(data_size) + 4 + kFlvTagHeaderSize <= static_cast<uint64_t>(capacity - header_len);
}

}  // namespace kx
