#include "formats/ts_to_flv.h"

#include <cstring>

#include "formats/pes.h"
#include "formats/ts.h"

namespace kx {

namespace {

constexpr int kStreamTypeH264 = 0x1B;
constexpr int kStreamTypeAac = 0x0F;
constexpr uint64_t kHalfRange = uint64_t{1} << 32;  // half the 33-bit clock: beyond it a difference is negative

constexpr int kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                               22050, 16000, 12000, 11025, 8000,  7350};

uint32_t crc_of(const uint8_t* sec, std::size_t len) {
  return (uint32_t{sec[len - 4]} << 24) | (uint32_t{sec[len - 3]} << 16) | (uint32_t{sec[len - 2]} << 8) |
         sec[len - 1];
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

// The next NAL unit of Annex B bytes at or after pos: [begin, end) without its start code
// and trailing zero bytes. false when no start code is left.
bool next_nal(const uint8_t* es, std::size_t len, std::size_t& pos, std::size_t& begin, std::size_t& end) {
  std::size_t i = pos;
  while (i + 3 <= len && !(es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1)) ++i;
  if (i + 3 > len) return false;
  begin = i + 3;
  std::size_t j = begin;
  while (j + 3 <= len && !(es[j] == 0 && es[j + 1] == 0 && es[j + 2] == 1)) ++j;
  if (j + 3 > len) j = len;
  pos = j;
  end = j;
  while (end > begin && es[end - 1] == 0) --end;
  return true;
}

// The signed composition offset in ms, within the 24 bits of the tag field.
int32_t composition_ms(uint64_t pts, uint64_t dts) {
  const uint64_t d = (pts - dts) & kTs33Mask;
  int64_t diff = d >= kHalfRange ? static_cast<int64_t>(d) - static_cast<int64_t>(kTs33Mask + 1)
                                 : static_cast<int64_t>(d);
  diff /= 90;
  if (diff > 0x7FFFFF) diff = 0x7FFFFF;
  if (diff < -0x800000) diff = -0x800000;
  return static_cast<int32_t>(diff);
}

}  // namespace

StreamMeta ts_to_flv_default_meta() {
  StreamMeta m;
  m.width = 720;
  m.height = 576;
  m.framerate = 24;
  m.video_codec = "avc1";
  m.videocodecid = -1;
  m.audio_codec = "mp4a";
  m.audiocodecid = -1;
  return m;
}

TsToFlv::TsToFlv(const StreamMeta& meta) : meta_(meta) {
  psi_reset(pat_, kTsPatPid);
  psi_reset(pmt_, -1);
}

void TsToFlv::feed(const uint8_t* ts, std::size_t len, std::vector<uint8_t>& out) {
  if (!ts) return;
  for (std::size_t off = 0; off + kTsPacketSize <= len; off += kTsPacketSize) packet(ts + off, out);
}

void TsToFlv::finish(std::vector<uint8_t>& out) {
  if (video_.active) complete(video_, true, out);
  if (audio_.active) complete(audio_, false, out);
  write_header(out);
}

// Written before the first tag, once the PMT has said which streams there are, so that
// a stream with one of them announces only that one (players wait for what is announced).
void TsToFlv::write_header(std::vector<uint8_t>& out) {
  if (header_written_) return;
  header_written_ = true;
  const bool video = video_.pid >= 0, audio = audio_.pid >= 0;
  StreamMeta meta = meta_;
  if (!video && audio) meta.videocodecid = -2;  // left out
  if (!audio && video) meta.audiocodecid = -2;
  uint8_t head[kFlvHeaderCapacity];
  uint32_t prev = 0;
  const int n = flv_build_header(meta, head, sizeof head, &prev);
  if (n <= 0) return;
  if (video != audio) head[4] = video ? 1 : 4;
  out.insert(out.end(), head, head + n);
  put32(out, prev);
}

void TsToFlv::on_section(void* ctx, const uint8_t* sec, std::size_t len) {
  auto* self = static_cast<TsToFlv*>(ctx);
  if (len < 4) return;
  if (sec[0] == 0x00) {
    const uint32_t crc = crc_of(sec, len);
    TsPids pids;
    if (crc == self->pat_crc_ || !psi_parse_pat(sec, len, pids)) return;
    self->pat_crc_ = crc;
    if (pids.pmt != self->pmt_.pid) {
      psi_reset(self->pmt_, pids.pmt);
      self->pmt_crc_ = 0;
    }
  } else if (sec[0] == 0x02) {
    self->apply_pmt(sec, len);
  }
}

// The first H.264 and the first AAC entry of a sound, current PMT; other codecs are not
// converted.
void TsToFlv::apply_pmt(const uint8_t* sec, std::size_t len) {
  if (len < 16 || (sec[1] & 0x80) == 0 || (sec[5] & 1) == 0) return;
  const std::size_t size = 3 + ((static_cast<std::size_t>(sec[1] & 0x0F) << 8) | sec[2]);
  if (size < 16 || size > len || !psi_crc_ok(sec, size)) return;
  const uint32_t crc = crc_of(sec, size);
  if (crc == pmt_crc_) return;
  pmt_crc_ = crc;
  const std::size_t end = size - 4;
  std::size_t pos = 12 + ((static_cast<std::size_t>(sec[10] & 0x0F) << 8) | sec[11]);
  int video = -1, audio = -1;
  while (pos + 5 <= end) {
    const int type = sec[pos];
    const int pid = ((sec[pos + 1] & 0x1F) << 8) | sec[pos + 2];
    const std::size_t info = (static_cast<std::size_t>(sec[pos + 3] & 0x0F) << 8) | sec[pos + 4];
    if (type == kStreamTypeH264 && video < 0) video = pid;
    if (type == kStreamTypeAac && audio < 0) audio = pid;
    pos += 5 + info;
  }
  for (auto [s, pid] : {std::pair<Pes*, int>{&video_, video}, {&audio_, audio}}) {
    if (s->pid == pid) continue;
    *s = Pes{};
    s->pid = pid;
  }
}

void TsToFlv::packet(const uint8_t* pkt, std::vector<uint8_t>& out) {
  ++stats_.packets;
  TsHeader h;
  if (!ts_parse_header(pkt, h)) {
    ++stats_.bad_packets;
    return;
  }
  if (h.pid == kTsPatPid) {
    psi_feed(pat_, pkt, on_section, this);
  } else if (h.pid == pmt_.pid) {
    psi_feed(pmt_, pkt, on_section, this);
  } else if (h.pid == video_.pid) {
    pes_packet(video_, true, pkt, out);
  } else if (h.pid == audio_.pid) {
    pes_packet(audio_, false, pkt, out);
  }
}

void TsToFlv::pes_packet(Pes& s, bool video, const uint8_t* pkt, std::vector<uint8_t>& out) {
  TsHeader h;
  ts_parse_header(pkt, h);
  if (h.transport_error) {
    if (s.active) ++stats_.dropped_pes;
    s.active = false;
    return;
  }
  if (h.payload_size == 0) return;  // the counter only moves with a payload
  if (s.last_cc >= 0) {
    if (h.continuity == s.last_cc) return;  // a repeated packet
    if (h.continuity != ((s.last_cc + 1) & 15) && s.active) {
      ++stats_.dropped_pes;
      s.active = false;
    }
  }
  s.last_cc = h.continuity;
  if (h.payload_start) {
    if (s.active) complete(s, video, out);
    s.buf.clear();
    s.active = true;
  }
  if (!s.active) return;
  const auto n = static_cast<std::size_t>(h.payload_size);
  if (s.buf.size() + n > kTsToFlvPesCap) {
    ++stats_.dropped_pes;
    s.active = false;
    s.buf.clear();
    return;
  }
  s.buf.insert(s.buf.end(), pkt + h.payload_offset, pkt + h.payload_offset + n);
  if (h.payload_start && !have_base_) {
    // FLV time 0 is the first PES to arrive, even when another one completes first.
    PesHeader ph;
    if (pes_parse_header(s.buf.data(), s.buf.size(), ph) && ph.has_pts) to_ms(ph.has_dts ? ph.dts : ph.pts);
  }
  if (s.buf.size() >= 6) {
    const std::size_t announced = (std::size_t{s.buf[4]} << 8) | s.buf[5];
    if (announced != 0 && s.buf.size() >= 6 + announced) complete(s, video, out);
  }
}

void TsToFlv::complete(Pes& s, bool video, std::vector<uint8_t>& out) {
  s.active = false;
  PesHeader h;
  if (!pes_parse_header(s.buf.data(), s.buf.size(), h)) {
    ++stats_.dropped_pes;
    return;
  }
  const uint8_t* es = s.buf.data() + h.header_size;
  std::size_t len = s.buf.size() - static_cast<std::size_t>(h.header_size);
  if (h.payload_length >= 0) {
    if (len < static_cast<std::size_t>(h.payload_length)) {  // packets went missing
      ++stats_.dropped_pes;
      return;
    }
    len = static_cast<std::size_t>(h.payload_length);
  }
  if (video) {
    const uint64_t pts = h.has_pts ? h.pts : last_video_dts_;
    video_pes(es, len, pts, h.has_dts ? h.dts : pts, out);
  } else if (h.has_pts || have_audio_next_) {
    audio_pes(es, len, h.has_pts ? h.pts : audio_next_, out);
  } else {
    ++stats_.dropped_pes;
  }
}

uint32_t TsToFlv::to_ms(uint64_t t90) {
  if (!have_base_) {
    base_ = t90;
    have_base_ = true;
  }
  const uint64_t d = (t90 - base_) & kTs33Mask;
  return d >= kHalfRange ? 0 : static_cast<uint32_t>(d / 90);  // before the first: 0
}

void TsToFlv::put_tag(int type, uint32_t ms, const uint8_t* head, std::size_t head_len, const uint8_t* body,
                      std::size_t body_len, std::vector<uint8_t>& out) {
  const std::size_t size = head_len + body_len;
  if (size > 0xFFFFFF) return;
  write_header(out);
  uint8_t th[kFlvTagHeaderSize];
  flv_write_tag_header(th, type, static_cast<uint32_t>(size), ms);
  out.insert(out.end(), th, th + kFlvTagHeaderSize);
  if (head_len) out.insert(out.end(), head, head + head_len);
  if (body_len) out.insert(out.end(), body, body + body_len);
  put32(out, static_cast<uint32_t>(size + kFlvTagHeaderSize));
}

void TsToFlv::video_pes(const uint8_t* es, std::size_t len, uint64_t pts, uint64_t dts, std::vector<uint8_t>& out) {
  last_video_dts_ = dts;
  // First pass: the parameter sets and whether the picture is a random-access one.
  const uint8_t *sps = nullptr, *pps = nullptr;
  std::size_t sps_len = 0, pps_len = 0, pos = 0, b = 0, e = 0;
  bool idr = false;
  while (next_nal(es, len, pos, b, e)) {
    if (e <= b) continue;
    const int type = es[b] & 0x1F;
    if (type == kNalIdr) idr = true;
    if (type == kNalSps && !sps) sps = es + b, sps_len = e - b;
    if (type == kNalPps && !pps) pps = es + b, pps_len = e - b;
  }
  if (sps && pps && sps_len <= kAvcConfigCapacity && pps_len <= kAvcConfigCapacity) {
    AvcConfig cfg;
    if (avc_config_build(sps, static_cast<int>(sps_len), pps, static_cast<int>(pps_len), cfg) &&
        (cfg.len != avc_.len || std::memcmp(cfg.header, avc_.header, static_cast<std::size_t>(cfg.len)) != 0)) {
      avc_ = cfg;
      put_tag(kFlvTagVideo, to_ms(dts), nullptr, 0, avc_.header, static_cast<std::size_t>(avc_.len), out);
    }
  }
  if (avc_.len == 0) {  // nothing a player could decode yet
    ++stats_.dropped_frames;
    return;
  }
  const int32_t cts = composition_ms(pts, dts);
  tag_.assign({static_cast<uint8_t>(idr ? 0x17 : 0x27), 0x01, static_cast<uint8_t>(cts >> 16),
               static_cast<uint8_t>(cts >> 8), static_cast<uint8_t>(cts)});
  pos = 0;
  while (next_nal(es, len, pos, b, e)) {
    if (e <= b || (es[b] & 0x1F) == kNalAud) continue;  // FLV frames carry no delimiters
    const auto n = static_cast<uint32_t>(e - b);
    put32(tag_, n);
    tag_.insert(tag_.end(), es + b, es + e);
  }
  if (tag_.size() == 5) {
    ++stats_.dropped_frames;
    return;
  }
  put_tag(kFlvTagVideo, to_ms(dts), nullptr, 0, tag_.data(), tag_.size(), out);
  ++stats_.video_tags;
}

// Writes the AAC sequence header when the frame's configuration is new. false when the
// bytes are not an ADTS header.
bool TsToFlv::audio_config(const uint8_t* adts, uint32_t ms, std::vector<uint8_t>& out) {
  AudioFrameInfo info;
  if (!audio_frame_info(adts, 7, info) || !info.aac) return false;
  if (aac_.len == 4 && aac_.freq_index == info.freq_index && aac_.channels == info.channel_config &&
      (aac_.body[2] >> 3) == info.object_type + 1)
    return true;
  AacConfig cfg;
  if (!adts_to_flv_audio(adts, 7, info, cfg) || cfg.len != 4) return false;
  aac_ = cfg;
  put_tag(kFlvTagAudio, ms, nullptr, 0, aac_.body, static_cast<std::size_t>(aac_.len), out);
  return true;
}

void TsToFlv::audio_pes(const uint8_t* es, std::size_t len, uint64_t pts, std::vector<uint8_t>& out) {
  std::size_t pos = 0;
  uint64_t frames = 0;
  int rate = 0;
  while (pos + 7 <= len) {
    const uint8_t* p = es + pos;
    const std::size_t flen = (std::size_t{p[3] & 3u} << 11) | (std::size_t{p[4]} << 3) | (p[5] >> 5);
    const std::size_t hdr = (p[1] & 1) ? 7 : 9;  // a CRC follows the header when protection is on
    const uint64_t t = rate ? (pts + frames * 1024 * 90000 / static_cast<uint64_t>(rate)) & kTs33Mask : pts;
    if (flen <= hdr || flen > len - pos || (p[6] & 3) != 0 || !audio_config(p, to_ms(t), out)) {
      ++stats_.dropped_frames;  // malformed, cut, or several raw blocks in one frame
      break;
    }
    rate = kAacRates[aac_.freq_index];
    if (((t - base_) & kTs33Mask) >= kHalfRange) {
      // Muxed ahead of the first PES but timed before it: at time 0 it would pile up with
      // the frames there.
      ++stats_.dropped_frames;
    } else {
      const uint8_t head[2] = {aac_.body[0], 0x01};
      put_tag(kFlvTagAudio, to_ms(t), head, 2, p + hdr, flen - hdr, out);
      ++stats_.audio_tags;
    }
    ++frames;
    pos += flen;
  }
  if (rate) {
    audio_next_ = (pts + frames * 1024 * 90000 / static_cast<uint64_t>(rate)) & kTs33Mask;
    have_audio_next_ = true;
  }
}

}  // namespace kx
