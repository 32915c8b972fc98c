// FLV framing: the file header with its onMetaData script tag, and tag headers.
#pragma once
#include <cmath>
#include <cstdint>
#include <string>

namespace kx {

constexpr int kFlvFileHeaderSize = 9;
constexpr int kFlvTagHeaderSize = 11;
constexpr int kFlvTagAudio = 8, kFlvTagVideo = 9, kFlvTagScript = 18;
// A channel's FLV header field: the file header, PreviousTagSize0 and the first script tag.
constexpr int kFlvHeaderCapacity = 1024;
// The "duration" placed in built headers, and where its AMF0 number (marker first) sits,
// so a recorder can put the programme length there.
constexpr double kFlvMetaDuration = 86272.0;
constexpr int kFlvHeaderDurationOffset = 48;

// The stream description an input gathers for its outputs. A codec id of -1 means "known
// by name only": the name is written instead of the number.
// A metadata number fit to keep: finite, not negative, not absurd; anything else is 0.
inline double flv_meta_number(double v) { return std::isfinite(v) && v >= 0 && v < 1e9 ? v : 0; }

struct StreamMeta {
  std::string video_codec, audio_codec;
  double width = 0, height = 0, framerate = 0;
  double videodatarate = 0, videocodecid = 0;
  double audiodatarate = 0, audiocodecid = 0;
  double audiosamplerate = 0, audiochannels = 0;
};

// "FLV", version 1, audio and video, header size 9, PreviousTagSize0 0, then a script
// tag: "onMetaData" and an object with duration, width, height, framerate, videodatarate,
// videocodecid, audiodatarate, audiocodecid (a codec id below 0 other than -1 is left out).
// Returns the length (24 + data size) or 0 when out[0, cap) is too small; next_prev_size
// receives the PreviousTagSize the next tag must carry (data size + 11).
int flv_build_header(const StreamMeta& meta, uint8_t* out, int cap, uint32_t* next_prev_size = nullptr);

struct FlvFileHeader {
  int version = 0;
  bool audio = false, video = false;
  uint32_t data_offset = 0;  // where PreviousTagSize0 starts
};
// The 9-byte file header; 0 when it is short, not "FLV", or its size field is below 9 or
// implausibly large (beyond kFlvHeaderCapacity).
int flv_parse_file_header(const uint8_t* p, int len, FlvFileHeader& h);

struct FlvTagHeader {
  int type = 0;            // 8 audio, 9 video, 18 script
  bool filtered = false;   // the encryption/filter bit
  uint32_t data_size = 0;  // 24 bits
  uint32_t timestamp = 0;  // ms: 24 bits plus the extended byte as the top 8
  uint32_t stream_id = 0;
};
// An 11-byte tag header; 0 when it is short, the reserved bits are set or the type is not
// audio, video or script.
int flv_parse_tag_header(const uint8_t* p, int len, FlvTagHeader& h);

// Writes an 11-byte tag header; 0 when the data size does not fit 24 bits.
int flv_write_tag_header(uint8_t* out, int type, uint32_t data_size, uint32_t timestamp);

// Whether a script tag of data_size bytes, stored with PreviousTagSize0 and its tag
// header (data_size + 15 bytes) after header_len bytes of file header, fits a field of
// `capacity` bytes; a tag that does not goes to the large-header block.
bool flv_header_fits(int header_len, uint32_t data_size, int capacity = kFlvHeaderCapacity);

}  // namespace kx
