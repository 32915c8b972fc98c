// FLV to MPEG-TS: H.264 (AVC) and AAC tags become PES packets on the PIDs of our muxed
// outputs, behind a PAT and a PMT listing the streams whose configuration has come, cut
// into 188-byte packets handed out in groups of at most seven. Also the reader that
// splits an FLV byte stream into its tags. No sockets, no threads: the caller feeds tags
// and sends the groups.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/ts_mux.h"

namespace kx {

// A tag is never gathered beyond this many data bytes; a larger one is skipped.
constexpr std::size_t kFlvTagCap = std::size_t{4} << 20;

struct FlvTagView {
  int type = 0;             // 8 audio, 9 video, 18 script
  uint32_t timestamp = 0;   // ms
  const uint8_t* data = nullptr;
  std::size_t size = 0;
};

// Receives one whole tag; its data is valid during the call only.
using FlvTagFn = void (*)(void* ctx, const FlvTagView& tag);

// Splits FLV bytes, fed in pieces of any size, into whole tags. It holds at most one
// tag's bytes (kFlvTagCap + 15).
class FlvTagReader {
 public:
  // Calls fn for every tag the bytes complete.
  void feed(const uint8_t* p, std::size_t len, FlvTagFn fn, void* ctx);
  // The stream is not FLV or a tag header is malformed: nothing more is read.
  bool failed() const { return failed_; }
  uint64_t skipped_tags() const { return skipped_; }

 private:
  void unit(FlvTagFn fn, void* ctx);

  std::vector<uint8_t> buf_;
  std::size_t need_ = 0;      // bytes of the unit being gathered
  bool have_header_ = false;
  std::size_t skip_ = 0;      // bytes still to pass over (file header rest, an oversized tag)
  bool failed_ = false;
  uint64_t skipped_ = 0;
};

// Receives one group of 188-byte packets, at most kFlvToTsGroupBytes long.
using TsGroupFn = void (*)(void* ctx, const uint8_t* data, std::size_t len);
constexpr std::size_t kFlvToTsGroupBytes = 1316;
// PTS and DTS run this far ahead of the PCR, the room a player's buffer gets.
constexpr uint64_t kFlvToTsDelay90k = 63000;

struct FlvToTsStats {
  uint64_t video_pes = 0, audio_pes = 0;
  uint64_t skipped_tags = 0;  // unsupported codecs, script data, pictures before the configuration
  uint64_t bad_tags = 0;      // too short, lengths that run past the tag, configurations that do not parse
};

class FlvToTs {
 public:
  FlvToTs(TsGroupFn fn, void* ctx) : fn_(fn), ctx_(ctx) {}

  // Converts one tag (type 8 or 9; script tags are passed over); the groups it fills are
  // handed out before it returns. false when the tag gave no PES.
  bool add_tag(int type, uint32_t timestamp, const uint8_t* data, std::size_t size);

  const FlvToTsStats& stats() const { return stats_; }
  bool has_video_config() const { return !sps_pps_.empty(); }
  bool has_audio_config() const { return aac_profile_ >= 0; }

 private:
  bool video_tag(uint32_t ms, const uint8_t* d, std::size_t n);
  bool audio_tag(uint32_t ms, const uint8_t* d, std::size_t n);
  bool avc_config(const uint8_t* d, std::size_t n);
  bool tables_due(uint32_t ms) const;
  void tables(uint32_t ms);
  void pcr_only(uint64_t pcr);
  void packetise(int pid, uint8_t& cc, uint8_t af_flags, uint64_t pcr);
  void put_packet(const uint8_t* pkt);
  void flush();

  TsGroupFn fn_;
  void* ctx_;
  TsMuxState mux_;
  uint8_t cc_audio_ = 0;
  bool tables_written_ = false;
  bool listed_video_ = false, listed_audio_ = false;  // what the last PMT listed
  bool have_pcr_ = false;
  uint64_t last_pcr_ms_ = 0, last_tables_ms_ = 0;
  std::vector<uint8_t> sps_pps_;  // Annex B, put before each keyframe
  int nal_length_size_ = 4;
  int aac_profile_ = -1, aac_freq_index_ = 0, aac_channels_ = 0;
  std::vector<uint8_t> pes_;
  uint8_t group_[kFlvToTsGroupBytes];
  std::size_t group_len_ = 0;
  FlvToTsStats stats_;
};

}  // namespace kx
