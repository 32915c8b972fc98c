#include "ingest/flv_splitter.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "core/log.h"
#include "formats/aac.h"
#include "formats/amf0.h"
#include "formats/flv.h"
#include "formats/h264.h"

namespace kx {

namespace {

constexpr std::size_t kPrevSize = 4;
constexpr std::size_t kTagLead = kPrevSize + kFlvTagHeaderSize;  // 15
constexpr std::size_t kPendingMax = 64;  // undecided candidates remembered while looking ahead
constexpr int kWarningsPerConnection = 20;  // a broken source must not flood the log
constexpr int kMetaKeysMax = 256;
constexpr std::size_t kCodecNameMax = 63;
constexpr int kSoundAac = 10, kCodecAvc = 7;

uint32_t get24(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}
uint32_t get32(const uint8_t* p) { return (static_cast<uint32_t>(p[0]) << 24) | get24(p + 1); }
void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

void FlvSplitter::start_connection() {
  header_phase_ = true;
  in_sync_ = true;
  buf_.clear();
  pos_ = 0;
  pending_.clear();
  scan_ = 0;
  file_header_.clear();
  have_script_ = have_avc_ = have_aac_ = false;
  script_tag_.clear();
  avc_header_.clear();
  avc_size_ = 0;
  aac_data_.clear();
  aac_channels_ = aac_freq_index_ = 0;
  video_codec_.clear();
  width_ = height_ = framerate_ = audio_channels_ = audio_samplerate_ = 0;
  duration_ = videodatarate_ = audiodatarate_ = 0;
  warnings_ = 0;
  ++version_;
}

bool FlvSplitter::warn_allowed() {
  if (!logging_) return false;
  return warnings_++ < kWarningsPerConnection;
}

void FlvSplitter::drop_byte() {
  in_sync_ = false;
  ++pos_;
  ++stats_.dropped_bytes;
}

int FlvSplitter::verify(std::size_t q) const {
  const std::size_t end = buf_.size();
  if (q + kTagLead > end) return -1;
  const uint8_t* h = buf_.data() + q + kPrevSize;
  const uint32_t size = get24(h + 1);
  if ((h[0] & 0xC0) != 0 || get24(h + 8) != 0 || size > kFlvTagDataMax) return 0;
  const std::size_t total = kTagLead + size;
  if (q + total + kPrevSize > end) return -1;
  return get32(buf_.data() + q + total) == size + kFlvTagHeaderSize ? 1 : 0;
}

std::size_t FlvSplitter::find_verified() {
  // Candidates that could not be decided before, in order, then the positions not yet seen.
  std::size_t keep = 0;
  std::size_t found = std::string::npos;
  for (std::size_t p : pending_) {
    if (p <= pos_) continue;
    const int r = found == std::string::npos ? verify(p) : -1;
    if (r == 1) found = p;
    else if (r == -1) pending_[keep++] = p;
  }
  pending_.resize(keep);
  if (found != std::string::npos) return found;
  std::size_t q = scan_ > pos_ ? scan_ : pos_ + 1;
  for (; q + kTagLead <= buf_.size(); ++q) {
    const int r = verify(q);
    if (r == 1) {
      scan_ = q + 1;
      return q;
    }
    if (r == -1 && pending_.size() < kPendingMax) pending_.push_back(q);
  }
  scan_ = q;
  return std::string::npos;
}

void FlvSplitter::feed(const uint8_t* p, std::size_t len, FlvSlotSink sink, void* user) {
  if (p && len > 0) {
    // Consumed bytes go once they are at least as many as those kept: linear overall.
    if (pos_ > 0 && pos_ >= buf_.size() - pos_) {
      buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
      for (std::size_t& q : pending_) q = q > pos_ ? q - pos_ : 0;
      scan_ = scan_ > pos_ ? scan_ - pos_ : 0;
      pos_ = 0;
    }
    buf_.insert(buf_.end(), p, p + len);
    stats_.fed += len;
  }
  for (;;) {
    const std::size_t avail = buf_.size() - pos_;
    uint8_t* t = buf_.data() + pos_;
    if (header_phase_) {
      if (avail < static_cast<std::size_t>(kFlvFileHeaderSize)) return;
      FlvFileHeader fh;
      if (t[0] != 'F' || t[1] != 'L' || t[2] != 'V') {
        header_phase_ = false;  // no file header: look for the first tag
        in_sync_ = false;
        continue;
      }
      const std::size_t skip = flv_parse_file_header(t, static_cast<int>(avail), fh) ? fh.data_offset
                                                                                    : kFlvFileHeaderSize;
      if (avail < skip) return;
      file_header_.assign(reinterpret_cast<const char*>(t), kFlvFileHeaderSize);
      // Kept in the plain form: the tags follow the 9 bytes at once.
      file_header_[5] = file_header_[6] = file_header_[7] = 0;
      file_header_[8] = static_cast<char>(kFlvFileHeaderSize);
      pos_ += skip;
      header_phase_ = false;
      ++version_;
      continue;
    }
    // PreviousTagSize, tag header, data, and the PreviousTagSize that must follow.
    const int r = verify(pos_);
    if (r == 0) {
      drop_byte();
      continue;
    }
    if (r < 0) {
      // Not all here yet. A size field that lies would hold everything up to the size it
      // names, so a later tag that checks out already wins.
      const std::size_t q = avail < kTagLead ? std::string::npos : find_verified();
      if (q == std::string::npos) return;
      stats_.dropped_bytes += q - pos_;
      pos_ = q;
      in_sync_ = false;
      continue;
    }
    if (!in_sync_) {
      in_sync_ = true;
      ++stats_.resyncs;
    }
    const std::size_t total = kTagLead + get24(t + kPrevSize + 1);
    ++stats_.tags;
    handle_tag(t, total, sink, user);
    pos_ += total;  // the trailing PreviousTagSize leads the next tag
    pending_.clear();
    scan_ = 0;
  }
}

void FlvSplitter::handle_tag(uint8_t* t, std::size_t total, FlvSlotSink sink, void* user) {
  const uint8_t* h = t + kPrevSize;
  const uint8_t* data = t + kTagLead;
  const uint32_t size = static_cast<uint32_t>(total - kTagLead);
  const int type = h[0] & 0x1F;
  if (h[0] & 0x20) {  // filtered (encrypted): nothing a player can use
    skip_tag();
    return;
  }
  switch (type) {
    case kFlvTagAudio: {
      if (size < 1) return skip_tag();
      if ((data[0] >> 4) != kSoundAac) return store(t, total, false, sink, user);
      if (size < 2) return skip_tag();
      if (data[1] == 0) return capture_aac(data, size);
      if (data[1] == 1) return store(t, total, false, sink, user);
      if (warn_allowed()) log_admin("Warning: FLV Audio Type [%x] Undefined\n", data[1]);
      return skip_tag();
    }
    case kFlvTagVideo: {
      if (size < 2) return skip_tag();
      const int codec = data[0] & 0x0F;
      if (codec != kCodecAvc) {
        if (warn_allowed()) log_admin("Warning: CH [%d] FLV Video [0x%x] is not AVC format(0x07)\n", ch_, codec);
        return skip_tag();
      }
      if (data[1] == 0) return capture_avc(data, size);
      if (data[1] != 1) {
        if (warn_allowed()) log_admin("Warning: FLV Video Type [0x%x] Undefined\n", data[1]);
        return skip_tag();
      }
      const int frame = data[0] >> 4;
      if (frame != 1 && frame != 2) {
        if (warn_allowed()) log_admin("Warning: FLV Video Key Frame [0x%x] Undefined\n", data[0]);
        return skip_tag();
      }
      return store(t, total, frame == 1, sink, user);
    }
    case kFlvTagScript:
      // Only the first one is kept (for the FLV header); none goes to the slots.
      if (!have_script_) capture_script(h, total - kPrevSize);
      return;
    default:
      if (warn_allowed()) log_admin("Warning: FLV Tag Type Undefined\n");
      return skip_tag();
  }
}

void FlvSplitter::store(uint8_t* t, std::size_t total, bool keyframe, FlvSlotSink sink, void* user) {
  // The stored tags form one chain: each PreviousTagSize names the stored tag before it.
  put32(t, stored_any_ ? last_stored_size_ + kFlvTagHeaderSize : 0);
  last_stored_size_ = static_cast<uint32_t>(total - kTagLead);
  stored_any_ = true;
  ++stats_.stored_tags;
  std::size_t off = 0;
  while (off < total) {
    const std::size_t n = total - off < static_cast<std::size_t>(kFlvSlotBytes) ? total - off
                                                                                : static_cast<std::size_t>(kFlvSlotBytes);
    ++stats_.slots;
    if (sink) sink(user, t + off, static_cast<int>(n), keyframe && off == 0);
    off += n;
  }
}

void FlvSplitter::capture_script(const uint8_t* tag, std::size_t len) {
  have_script_ = true;
  script_tag_.assign(reinterpret_cast<const char*>(tag), len);
  ++version_;
  const uint8_t* data = tag + kFlvTagHeaderSize;
  Amf0Reader r(data, static_cast<int>(len - kFlvTagHeaderSize));
  std::string_view name;
  if (!r.read_string(name) || name != "onMetaData") return;
  uint32_t count = 0;
  if (r.peek_marker() == kAmf0Object) {
    if (!r.begin_object()) return;
  } else if (!r.begin_ecma_array(count)) {
    return;
  }
  bool channels_given = false;
  for (int i = 0; i < kMetaKeysMax; ++i) {
    std::string_view key;
    if (r.next_key(key) != 1) break;
    const int marker = r.peek_marker();
    if (marker == kAmf0Number) {
      double v = 0;
      if (!r.read_number(v)) break;
      v = flv_meta_number(v);
      if (key == "width") width_ = v;
      else if (key == "height") height_ = v;
      else if (key == "framerate") framerate_ = v;
      else if (key == "videodatarate") videodatarate_ = v;
      else if (key == "audiodatarate") audiodatarate_ = v;
      else if (key == "audiosamplerate") audio_samplerate_ = v;
      else if (key == "duration") duration_ = v;
      else if (key == "audiochannels") {
        audio_channels_ = v;
        channels_given = true;
      } else if (key == "videocodecid") {
        video_codec_ = v == kCodecAvc ? "avc1" : std::to_string(static_cast<int>(v));
      }
    } else if (marker == kAmf0String) {
      std::string_view s;
      if (!r.read_string(s)) break;
      if (key == "videocodecid") video_codec_ = std::string(s.substr(0, kCodecNameMax));
    } else if (marker == kAmf0Boolean) {
      bool b = false;
      if (!r.read_boolean(b)) break;
      if (key == "stereo" && !channels_given) audio_channels_ = b ? 2 : 1;
    } else if (!r.skip_value()) {
      break;
    }
  }
}

void FlvSplitter::capture_aac(const uint8_t* data, uint32_t size) {
  if (have_aac_) return;  // once per connection
  have_aac_ = true;
  if (size > static_cast<uint32_t>(kFlvAacConfigMax) || size < 4) {
    ++stats_.skipped_tags;
    return;
  }
  aac_data_.assign(reinterpret_cast<const char*>(data), size);
  // AudioSpecificConfig: object type (5 bits, 31 escapes to 6 more), sampling-frequency
  // index (4 bits, 15 is followed by 24 bits of rate), channel configuration (4 bits).
  AscFields f;
  const bool whole = aac_asc_fields(data + 2, size - 2, f);
  aac_freq_index_ = f.freq_index;
  aac_channels_ = whole ? f.channels : 0;
  ++version_;
}

void FlvSplitter::capture_avc(const uint8_t* data, uint32_t size) {
  if (have_avc_) return;  // once per connection
  have_avc_ = true;
  AvcConfig cfg;
  if (!avc_config_from_flv_tag(data, static_cast<int>(size), cfg)) {
    ++stats_.skipped_tags;
    return;
  }
  avc_header_.assign(reinterpret_cast<const char*>(cfg.header), static_cast<std::size_t>(cfg.len));
  avc_size_ = size;
  ++version_;
}

DecoderSetup FlvSplitter::setup() const {
  DecoderSetup s;
  if (!file_header_.empty()) {
    s.flv_header = file_header_;
    if (have_script_) {
      s.flv_header.append(4, '\0');  // PreviousTagSize0
      s.flv_header += script_tag_;
    }
  }
  if (!avc_header_.empty()) {
    s.avc_header = avc_header_;
    s.avc_chunk_header = true;
    uint8_t prefix[kPrevSize + kFlvTagHeaderSize];
    put32(prefix, have_script_ ? static_cast<uint32_t>(script_tag_.size()) : 0);
    flv_write_tag_header(prefix + kPrevSize, kFlvTagVideo, avc_size_, 0);
    s.video_tag_prefix.assign(reinterpret_cast<const char*>(prefix), sizeof prefix);
  }
  if (!aac_data_.empty()) {
    s.aac_config = aac_data_;
    s.aac_channels = aac_channels_;
    s.aac_freq_index = aac_freq_index_;
  }
  s.video_codec = video_codec_;
  s.width = width_;
  s.height = height_;
  s.framerate = framerate_;
  s.audio_channels = audio_channels_;
  s.audio_samplerate = audio_samplerate_;
  s.duration = duration_;
  s.datarate = videodatarate_ + audiodatarate_;
  return s;
}

int FlvSplitter::meta_kbps() const {
  const double r = videodatarate_ + audiodatarate_;
  return r >= 1 && r < 1e7 ? static_cast<int>(r) : 0;
}

int flv_sleep_time_ms(int kbps, double tolerance, bool estimated) {
  if (kbps <= 0 || !std::isfinite(tolerance)) return 0;
  const double ms = (1.0 - tolerance) * 1452.0 * (estimated ? 3500.0 : 4000.0) / kbps;
  if (!(ms > 0)) return 0;
  return ms > 60000.0 ? 60000 : static_cast<int>(ms);
}

}  // namespace kx
