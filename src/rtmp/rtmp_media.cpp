#include "rtmp/rtmp_media.h"

#include <cmath>
#include <string_view>

#include "formats/aac.h"
#include "formats/amf0.h"
#include "formats/flv.h"
#include "rtmp/chunk_writer.h"

namespace kx {

namespace {

constexpr int kMetaKeysMax = 256;
constexpr std::size_t kCodecNameMax = 63;  // keeps the built header within its capacity
constexpr int kCodecAvc = 7, kSoundAac = 10;
constexpr uint32_t kTagDataMax = 0xFFFFFF;
constexpr uint8_t kRtmpAggregate = 22;  // FLV tags in one message

// The properties of onMetaData as found, before the defaults.
struct Found {
  double width = -1, height = -1, display_width = -1, display_height = -1, framerate = -1;
  bool video_id = false, audio_id = false;
  double videocodecid = 0, audiocodecid = 0;
  std::string video_name, audio_name;
  double videodatarate = 0, audiodatarate = 0, audiosamplerate = 0, audiochannels = -1;
  bool stereo_given = false, stereo = false;
};

void take_number(Found& f, std::string_view key, double v) {
  v = flv_meta_number(v);
  if (key == "width") f.width = v;
  else if (key == "height") f.height = v;
  else if (key == "displayWidth") f.display_width = v;
  else if (key == "displayHeight") f.display_height = v;
  else if (key == "framerate") f.framerate = v;
  else if (key == "videodatarate") f.videodatarate = v;
  else if (key == "audiodatarate") f.audiodatarate = v;
  else if (key == "audiosamplerate") f.audiosamplerate = v;
  else if (key == "audiochannels") f.audiochannels = v;
  else if (key == "videocodecid") {
    f.video_id = true;
    f.videocodecid = v;
    f.video_name.clear();
  } else if (key == "audiocodecid") {
    f.audio_id = true;
    f.audiocodecid = v;
    f.audio_name.clear();
  }
}

void take_string(Found& f, std::string_view key, std::string_view s) {
  s = s.substr(0, kCodecNameMax);
  if (key == "videocodecid") {
    f.video_id = true;
    f.video_name = std::string(s);
  } else if (key == "audiocodecid") {
    f.audio_id = true;
    f.audio_name = std::string(s);
  }
}

// The properties of the object or ECMA array at r; false when there is none.
bool read_properties(Amf0Reader& r, Found& f) {
  uint32_t count = 0;
  if (r.peek_marker() == kAmf0Object) {
    if (!r.begin_object()) return false;
  } else if (!r.begin_ecma_array(count)) {
    return false;
  }
  for (int i = 0; i < kMetaKeysMax; ++i) {
    std::string_view key;
    if (r.next_key(key) != 1) break;
    const int marker = r.peek_marker();
    if (marker == kAmf0Number) {
      double v = 0;
      if (!r.read_number(v)) break;
      take_number(f, key, v);
    } else if (marker == kAmf0String) {
      std::string_view s;
      if (!r.read_string(s)) break;
      take_string(f, key, s);
    } else if (marker == kAmf0Boolean) {
      bool b = false;
      if (!r.read_boolean(b)) break;
      if (key == "stereo") {
        f.stereo_given = true;
        f.stereo = b;
      }
    } else if (!r.skip_value()) {
      break;
    }
  }
  return true;
}

void codec(bool given, double id, const std::string& name, int zero_means, double& out_id, std::string& out_name) {
  out_name.clear();
  out_id = 0;
  if (!given) return;
  if (!name.empty()) {
    out_name = name;
    out_id = -1;
    return;
  }
  out_id = id == 0 ? zero_means : id;
}

double first_of(double a, double b, double fallback) { return a > 0 ? a : (b > 0 ? b : fallback); }

}  // namespace

bool rtmp_read_metadata(const uint8_t* body, std::size_t len, StreamMeta& out) {
  Amf0Reader r(body, len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len));
  std::string_view name;
  if (!r.read_string(name)) return false;
  if (name == "@setDataFrame" && !r.read_string(name)) return false;
  if (name != "onMetaData") return false;
  Found f;
  if (!read_properties(r, f)) return false;
  StreamMeta m;
  m.width = first_of(f.width, f.display_width, 640);
  m.height = first_of(f.height, f.display_height, 480);
  m.framerate = f.framerate > 0 ? f.framerate : 25;
  codec(f.video_id, f.videocodecid, f.video_name, kCodecAvc, m.videocodecid, m.video_codec);
  codec(f.audio_id, f.audiocodecid, f.audio_name, kSoundAac, m.audiocodecid, m.audio_codec);
  m.videodatarate = f.videodatarate;
  m.audiodatarate = f.audiodatarate;
  // A rate given for only one of two announced streams would understate the whole (a
  // publisher copying video often knows only the audio rate): then no rate is known.
  if ((m.videocodecid != 0 && m.videodatarate == 0) || (m.audiocodecid != 0 && m.audiodatarate == 0))
    m.videodatarate = m.audiodatarate = 0;
  m.audiosamplerate = f.audiosamplerate;
  m.audiochannels = f.audiochannels >= 0 ? f.audiochannels : (f.stereo_given ? (f.stereo ? 2 : 1) : 0);
  out = m;
  return true;
}

StreamMeta rtmp_default_metadata() {
  StreamMeta m;
  m.width = 640;
  m.height = 480;
  m.framerate = 25;
  m.videodatarate = 512;
  m.audiodatarate = 125;
  return m;
}

bool rtmp_is_avc_sequence_header(const uint8_t* body, std::size_t len) {
  return len >= 2 && body[0] == ((1 << 4) | kCodecAvc) && body[1] == 0;
}

bool rtmp_aac_sequence_header(const uint8_t* body, std::size_t len, RtmpAacInfo& out) {
  if (len < 4 || (body[0] >> 4) != kSoundAac || body[1] != 0) return false;
  AscFields f;
  if (!aac_asc_fields(body + 2, len - 2, f)) return false;
  out.object_type = f.object_type;
  out.freq_index = f.freq_index;
  out.channels = f.channels;
  return true;
}

void RtmpFlvWriter::start() {
  started_ = false;
  prev_size_ = 0;
}

bool RtmpFlvWriter::metadata(const StreamMeta& meta, std::vector<uint8_t>& out) {
  if (started_) return false;
  uint8_t head[kFlvHeaderCapacity];
  uint32_t next = 0;
  const int n = flv_build_header(meta, head, sizeof head, &next);
  if (n <= 0) return false;
  out.insert(out.end(), head, head + n);
  prev_size_ = next;
  started_ = true;
  return true;
}

void RtmpFlvWriter::tag(int type, uint32_t timestamp, const uint8_t* data, std::size_t len,
                        std::vector<uint8_t>& out) {
  if (len == 0 || len > kTagDataMax) return;
  if (!started_) metadata(rtmp_default_metadata(), out);
  uint8_t lead[4 + kFlvTagHeaderSize];
  lead[0] = static_cast<uint8_t>(prev_size_ >> 24);
  lead[1] = static_cast<uint8_t>(prev_size_ >> 16);
  lead[2] = static_cast<uint8_t>(prev_size_ >> 8);
  lead[3] = static_cast<uint8_t>(prev_size_);
  flv_write_tag_header(lead + 4, type, static_cast<uint32_t>(len), timestamp);
  out.insert(out.end(), lead, lead + sizeof lead);
  out.insert(out.end(), data, data + len);
  prev_size_ = static_cast<uint32_t>(len) + kFlvTagHeaderSize;
}

int RtmpFlvWriter::media(const RtmpMessage& m, std::vector<uint8_t>& out) {
  if (m.type == kRtmpAudio || m.type == kRtmpVideo) {
    if (m.length == 0 || m.length > kTagDataMax) return 0;
    tag(m.type, m.timestamp, m.body, m.length, out);
    return 1;
  }
  if (m.type != kRtmpAggregate) return 0;
  // FLV tags back to back, each followed by its PreviousTagSize; their times count from
  // the first one's, which the message's own time stands for.
  int tags = 0;
  std::size_t off = 0;
  uint32_t first = 0;
  while (off + kFlvTagHeaderSize <= m.length) {
    FlvTagHeader h;
    if (!flv_parse_tag_header(m.body + off, static_cast<int>(m.length - off), h)) break;
    const std::size_t data = off + kFlvTagHeaderSize;
    if (h.data_size > m.length - data) break;
    if (tags == 0 && off == 0) first = h.timestamp;
    if ((h.type == kFlvTagAudio || h.type == kFlvTagVideo) && h.data_size > 0) {
      tag(h.type, m.timestamp + (h.timestamp - first), m.body + data, h.data_size, out);
      ++tags;
    }
    off = data + h.data_size + 4;
  }
  return tags;
}

}  // namespace kx
