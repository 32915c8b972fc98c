#include "formats/flv_to_ts.h"

#include <cstring>

#include "formats/flv.h"
#include "formats/h264.h"
#include "formats/pes.h"
#include "formats/ts.h"

namespace kx {

namespace {

constexpr int kFlvCodecAvc = 7;
constexpr int kFlvSoundAacFormat = 10;
constexpr std::size_t kTagUnitHead = 4 + kFlvTagHeaderSize;  // PreviousTagSize and tag header
constexpr std::size_t kAdtsHeader = 7;
constexpr std::size_t kAdtsFrameMax = 8191;  // the 13-bit frame length
constexpr uint64_t kTablesEveryMs = 500;
constexpr uint64_t kPcrEveryMs = 100;
constexpr uint8_t kAfPcr = 0x10, kAfRandomAccess = 0x40;
const uint8_t kAud[] = {0, 0, 0, 1, kNalAud, 0xF0};  // any picture type may follow

uint32_t read_be(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// The PES header for a payload of es_len bytes: PTS only, or PTS and DTS when they differ.
void pes_header(std::vector<uint8_t>& pes, int stream_id, uint64_t pts, uint64_t dts, std::size_t es_len) {
  const bool both = pts != dts;
  const std::size_t hdl = both ? 10 : 5;
  const std::size_t after_length = 3 + hdl + es_len;
  const std::size_t field = after_length > 0xFFFF ? 0 : after_length;  // 0: unbounded (video only)
  uint8_t h[19] = {0, 0, 1, static_cast<uint8_t>(stream_id), static_cast<uint8_t>(field >> 8),
                   static_cast<uint8_t>(field), 0x80, static_cast<uint8_t>(both ? 0xC0 : 0x80),
                   static_cast<uint8_t>(hdl)};
  if (both) {
    pes_write_timestamp(h + 9, 0x31, pts);
    pes_write_timestamp(h + 14, 0x11, dts);
  } else {
    pes_write_timestamp(h + 9, 0x21, pts);
  }
  pes.assign(h, h + 9 + hdl);
}

}  // namespace

void FlvTagReader::feed(const uint8_t* p, std::size_t len, FlvTagFn fn, void* ctx) {
  while (len > 0 && !failed_) {
    if (skip_ > 0) {
      const std::size_t n = skip_ < len ? skip_ : len;
      skip_ -= n, p += n, len -= n;
      continue;
    }
    const std::size_t need = have_header_ ? need_ : static_cast<std::size_t>(kFlvFileHeaderSize);
    const std::size_t n = need - buf_.size() < len ? need - buf_.size() : len;
    buf_.insert(buf_.end(), p, p + n);
    p += n, len -= n;
    if (buf_.size() == need) unit(fn, ctx);
  }
}

// A whole unit is in buf_: the file header, a tag's head or the whole tag.
void FlvTagReader::unit(FlvTagFn fn, void* ctx) {
  if (!have_header_) {
    FlvFileHeader fh;
    if (!flv_parse_file_header(buf_.data(), static_cast<int>(buf_.size()), fh)) {
      failed_ = true;
      return;
    }
    have_header_ = true;
    skip_ = fh.data_offset - kFlvFileHeaderSize;
    need_ = kTagUnitHead;
    buf_.clear();
    return;
  }
  FlvTagHeader th;
  if (!flv_parse_tag_header(buf_.data() + 4, kFlvTagHeaderSize, th)) {
    failed_ = true;
    return;
  }
  if (th.data_size > kFlvTagCap) {
    ++skipped_;
    skip_ = th.data_size;
    buf_.clear();
    return;
  }
  if (buf_.size() < kTagUnitHead + th.data_size) {
    need_ = kTagUnitHead + th.data_size;  // now gather the data
    return;
  }
  FlvTagView tag{th.type, th.timestamp, buf_.data() + kTagUnitHead, th.data_size};
  fn(ctx, tag);
  buf_.clear();
  need_ = kTagUnitHead;
}

bool FlvToTs::add_tag(int type, uint32_t ms, const uint8_t* data, std::size_t size) {
  bool made = false;
  if (type == kFlvTagVideo) {
    made = video_tag(ms, data, size);
  } else if (type == kFlvTagAudio) {
    made = audio_tag(ms, data, size);
  } else {
    ++stats_.skipped_tags;
  }
  flush();
  return made;
}

// The sequence header: its parameter sets in Annex B and the NAL length size.
bool FlvToTs::avc_config(const uint8_t* d, std::size_t n) {
  if (n < 11 || n > static_cast<std::size_t>(kAvcConfigCapacity)) return false;
  uint8_t annexb[kAvcConfigCapacity];
  const int len = avc_config_to_annexb(d, static_cast<int>(n), annexb, sizeof annexb);
  if (len <= 0) return false;
  sps_pps_.assign(annexb, annexb + len);
  nal_length_size_ = (d[9] & 3) + 1;
  return true;
}

// Walks the length-prefixed NAL units of a picture; false when a length runs past it.
// has_sps tells whether the picture carries its own parameter sets.
static bool check_nals(const uint8_t* d, std::size_t n, int ls, bool& has_sps, std::size_t& es_len) {
  has_sps = false;
  es_len = 0;
  for (std::size_t pos = 5; pos < n;) {
    if (n - pos < static_cast<std::size_t>(ls)) return false;
    const std::size_t len = read_be(d + pos, ls);
    pos += static_cast<std::size_t>(ls);
    if (len > n - pos) return false;
    if (len > 0 && (d[pos] & 0x1F) == kNalSps) has_sps = true;
    if (len > 0 && (d[pos] & 0x1F) != kNalAud) es_len += 4 + len;
    pos += len;
  }
  return true;
}

bool FlvToTs::video_tag(uint32_t ms, const uint8_t* d, std::size_t n) {
  if (n < 5) return ++stats_.bad_tags, false;
  if ((d[0] & 0x0F) != kFlvCodecAvc || d[1] > 1) return ++stats_.skipped_tags, false;
  if (d[1] == 0) {
    if (!avc_config(d, n)) ++stats_.bad_tags;
    return false;
  }
  if (sps_pps_.empty()) return ++stats_.skipped_tags, false;  // nothing to decode it with
  const bool key = (d[0] >> 4) == 1;
  bool has_sps = false;
  std::size_t es_len = 0;
  if (!check_nals(d, n, nal_length_size_, has_sps, es_len) || es_len == 0) return ++stats_.bad_tags, false;
  const bool with_sets = key && !has_sps;
  es_len += sizeof kAud + (with_sets ? sps_pps_.size() : 0);

  const int32_t cts = static_cast<int32_t>(read_be(d + 2, 3) << 8) >> 8;  // signed 24 bits
  const uint64_t dts = (uint64_t{ms} * 90 + kFlvToTsDelay90k) & kTs33Mask;
  const uint64_t pts = static_cast<uint64_t>(static_cast<int64_t>(dts) + int64_t{cts} * 90) & kTs33Mask;
  pes_header(pes_, kPesVideoStreamId, pts, dts, es_len);
  pes_.insert(pes_.end(), kAud, kAud + sizeof kAud);
  if (with_sets) pes_.insert(pes_.end(), sps_pps_.begin(), sps_pps_.end());
  for (std::size_t pos = 5; pos < n;) {
    const std::size_t len = read_be(d + pos, nal_length_size_);
    pos += static_cast<std::size_t>(nal_length_size_);
    if (len > 0 && (d[pos] & 0x1F) != kNalAud) {
      pes_.insert(pes_.end(), kAud, kAud + 4);  // the start code
      pes_.insert(pes_.end(), d + pos, d + pos + len);
    }
    pos += len;
  }
  if (key || tables_due(ms)) tables(ms);
  packetise(kMuxVideoPid, mux_.cc_video, key ? kAfPcr | kAfRandomAccess : kAfPcr, uint64_t{ms} * 90);
  have_pcr_ = true;
  last_pcr_ms_ = ms;
  ++stats_.video_pes;
  return true;
}

bool FlvToTs::audio_tag(uint32_t ms, const uint8_t* d, std::size_t n) {
  if (n < 2) return ++stats_.bad_tags, false;
  if ((d[0] >> 4) != kFlvSoundAacFormat || d[1] > 1) return ++stats_.skipped_tags, false;
  if (d[1] == 0) {  // AudioSpecificConfig: 5 bits object type, 4 bits rate index, 4 bits channels
    const int aot = n >= 4 ? d[2] >> 3 : 0;
    const int index = n >= 4 ? ((d[2] & 7) << 1) | (d[3] >> 7) : 15;
    if (aot < 1 || aot > 4 || index > 12) return ++stats_.bad_tags, false;  // ADTS cannot say it
    aac_profile_ = aot - 1;
    aac_freq_index_ = index;
    aac_channels_ = (d[3] >> 3) & 0x0F;
    return false;
  }
  if (aac_profile_ < 0) return ++stats_.skipped_tags, false;
  const std::size_t raw = n - 2;
  const std::size_t flen = kAdtsHeader + raw;
  if (raw == 0 || flen > kAdtsFrameMax) return ++stats_.bad_tags, false;
  const uint64_t pts = (uint64_t{ms} * 90 + kFlvToTsDelay90k) & kTs33Mask;
  pes_header(pes_, kPesAudioStreamId, pts, pts, flen);
  const uint8_t adts[kAdtsHeader] = {
      0xFF, 0xF1,  // sync, MPEG-4, layer 0, no CRC
      static_cast<uint8_t>((aac_profile_ << 6) | (aac_freq_index_ << 2) | (aac_channels_ >> 2)),
      static_cast<uint8_t>(((aac_channels_ & 3) << 6) | (flen >> 11)), static_cast<uint8_t>(flen >> 3),
      static_cast<uint8_t>(((flen & 7) << 5) | 0x1F), 0xFC};  // buffer fullness 0x7FF: variable rate
  pes_.insert(pes_.end(), adts, adts + kAdtsHeader);
  pes_.insert(pes_.end(), d + 2, d + n);
  if (tables_due(ms)) tables(ms);
  if (!listed_video_) {  // audio alone: the PCR rides on its PID
    packetise(kMuxAudioPid, cc_audio_, kAfPcr, uint64_t{ms} * 90);
    ++stats_.audio_pes;
    return true;
  }
  if (!have_pcr_ || ms >= last_pcr_ms_ + kPcrEveryMs) {  // no picture has carried one lately
    pcr_only(uint64_t{ms} * 90);
    have_pcr_ = true;
    last_pcr_ms_ = ms;
  }
  packetise(kMuxAudioPid, cc_audio_, 0, 0);
  ++stats_.audio_pes;
  return true;
}

// Tables go out at the start, every half second, and at once when the streams whose
// configuration has come are not the ones the last PMT listed.
bool FlvToTs::tables_due(uint32_t ms) const {
  return !tables_written_ || listed_video_ != has_video_config() || listed_audio_ != has_audio_config() ||
         ms < last_tables_ms_ || ms - last_tables_ms_ >= kTablesEveryMs;
}

void FlvToTs::tables(uint32_t ms) {
  uint8_t pkt[kTsPacketSize];
  ts_mux_pat(mux_, pkt);
  put_packet(pkt);
  listed_video_ = has_video_config();
  listed_audio_ = has_audio_config();
  ts_mux_pmt_streams(mux_, pkt, listed_video_, listed_audio_);
  put_packet(pkt);
  tables_written_ = true;
  last_tables_ms_ = ms;
}

// A packet on the video PID with only an adaptation field and its PCR; the continuity
// counter repeats the last one, as it does for every packet without payload.
void FlvToTs::pcr_only(uint64_t pcr) {
  uint8_t pkt[kTsPacketSize];
  std::memset(pkt, 0xFF, sizeof pkt);
  pkt[0] = kTsSync;
  pkt[1] = static_cast<uint8_t>(kMuxVideoPid >> 8);
  pkt[2] = static_cast<uint8_t>(kMuxVideoPid & 0xFF);
  pkt[3] = static_cast<uint8_t>(0x20 | ((mux_.cc_video + 15) & 15));
  pkt[4] = 183;
  pkt[5] = kAfPcr;
  ts_write_pcr(pkt + 6, pcr);
  put_packet(pkt);
}

// Cuts pes_ into packets: the first starts the payload unit and carries the adaptation
// flags (and the PCR when asked); the last is filled up by adaptation-field stuffing.
void FlvToTs::packetise(int pid, uint8_t& cc, uint8_t af_flags, uint64_t pcr) {
  const std::size_t size = pes_.size();
  for (std::size_t pos = 0; pos < size;) {
    const bool first = pos == 0;
    const bool flags = first && af_flags != 0;
    std::size_t af = flags ? ((af_flags & kAfPcr) ? 8 : 2) : 0;  // length byte, flags, PCR
    if (size - pos < kTsPacketSize - 4 - af) af = kTsPacketSize - 4 - (size - pos);
    uint8_t pkt[kTsPacketSize];
    pkt[0] = kTsSync;
    pkt[1] = static_cast<uint8_t>((first ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    pkt[2] = static_cast<uint8_t>(pid & 0xFF);
    pkt[3] = static_cast<uint8_t>((af ? 0x30 : 0x10) | cc);
    cc = (cc + 1) & 15;
    if (af) {
      pkt[4] = static_cast<uint8_t>(af - 1);
      std::size_t w = 5;
      if (af >= 2) pkt[w++] = flags ? af_flags : 0;
      if (flags && (af_flags & kAfPcr)) {
        ts_write_pcr(pkt + w, pcr);
        w += 6;
      }
      std::memset(pkt + w, 0xFF, 4 + af - w);
    }
    const std::size_t take = kTsPacketSize - 4 - af;
    std::memcpy(pkt + 4 + af, pes_.data() + pos, take);
    pos += take;
    put_packet(pkt);
  }
}

void FlvToTs::put_packet(const uint8_t* pkt) {
  std::memcpy(group_ + group_len_, pkt, kTsPacketSize);
  group_len_ += kTsPacketSize;
  if (group_len_ + kTsPacketSize > kFlvToTsGroupBytes) flush();
}

void FlvToTs::flush() {
  if (group_len_ > 0 && fn_) fn_(ctx_, group_, group_len_);
  group_len_ = 0;
}

}  // namespace kx
