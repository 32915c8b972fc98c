// MPEG-TS to FLV: follows the PAT and PMT to one H.264 and one AAC (ADTS) stream,
// gathers their PES packets and writes the FLV file header, an onMetaData tag, the AVC
// and AAC sequence headers and one tag per picture and per AAC frame. No sockets, no
// threads: the caller feeds packets and sends what comes out.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/aac.h"
#include "formats/flv.h"
#include "formats/h264.h"
#include "formats/psi.h"

namespace kx {

// A PES packet is never gathered beyond this many bytes; a larger one is dropped whole.
constexpr std::size_t kTsToFlvPesCap = std::size_t{4} << 20;

// What the onMetaData tag says before anything is known of the stream.
StreamMeta ts_to_flv_default_meta();

struct TsToFlvStats {
  uint64_t packets = 0;        // 188-byte packets taken
  uint64_t bad_packets = 0;    // no sync byte, or a layout that does not parse
  uint64_t video_tags = 0, audio_tags = 0;
  uint64_t dropped_pes = 0;    // too large, cut by a lost packet, or with a bad header
  uint64_t dropped_frames = 0; // pictures before the first SPS/PPS, malformed ADTS frames,
                               // audio frames timed before the first PES
};

class TsToFlv {
 public:
  explicit TsToFlv(const StreamMeta& meta = ts_to_flv_default_meta());

  // Takes whole packets (len is rounded down to a multiple of 188) and appends the FLV
  // bytes they complete to out. The file header and onMetaData come first, before the
  // first tag: their flags name the streams the PMT lists (both when it lists neither).
  void feed(const uint8_t* ts, std::size_t len, std::vector<uint8_t>& out);
  // The end of the input: the PES packets being gathered are converted as they are.
  void finish(std::vector<uint8_t>& out);

  const TsToFlvStats& stats() const { return stats_; }
  int video_pid() const { return video_.pid; }
  int audio_pid() const { return audio_.pid; }

 private:
  struct Pes {
    int pid = -1;
    int last_cc = -1;
    bool active = false;  // gathering a PES that is still sound
    std::vector<uint8_t> buf;
  };

  void packet(const uint8_t* pkt, std::vector<uint8_t>& out);
  void pes_packet(Pes& s, bool video, const uint8_t* pkt, std::vector<uint8_t>& out);
  void complete(Pes& s, bool video, std::vector<uint8_t>& out);
  void apply_pmt(const uint8_t* sec, std::size_t len);
  void video_pes(const uint8_t* es, std::size_t len, uint64_t pts, uint64_t dts, std::vector<uint8_t>& out);
  void audio_pes(const uint8_t* es, std::size_t len, uint64_t pts, std::vector<uint8_t>& out);
  bool audio_config(const uint8_t* adts, uint32_t ms, std::vector<uint8_t>& out);
  uint32_t to_ms(uint64_t t90);
  void write_header(std::vector<uint8_t>& out);
  void put_tag(int type, uint32_t ms, const uint8_t* head, std::size_t head_len, const uint8_t* body,
               std::size_t body_len, std::vector<uint8_t>& out);
  static void on_section(void* ctx, const uint8_t* sec, std::size_t len);

  StreamMeta meta_;
  bool header_written_ = false;
  PsiAssembler pat_, pmt_;
  uint32_t pat_crc_ = 0, pmt_crc_ = 0;
  Pes video_, audio_;
  bool have_base_ = false;
  uint64_t base_ = 0;            // 90 kHz time that becomes FLV time 0
  uint64_t last_video_dts_ = 0;
  bool have_audio_next_ = false;
  uint64_t audio_next_ = 0;      // where the next frame of a PES without PTS starts
  AvcConfig avc_;                // the sequence header last written
  AacConfig aac_;                // the audio sequence header last written
  std::vector<uint8_t> tag_;     // a video tag body being built
  TsToFlvStats stats_;
};

}  // namespace kx
