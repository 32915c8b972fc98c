// Splits an FLV byte stream, arriving in pieces of any size, at tag boundaries into the
// slots of a channel's FLV tag ring, and captures on the way what players need first: the
// file header with the onMetaData tag, the AVC and AAC sequence headers and the metadata
// values.
//
// A tag is taken only when the PreviousTagSize after it matches its size, so a tag is never
// cut short or read past its end; a tag that is well framed but unusable (another video
// codec, an unknown packet type) is skipped by its length. Where the framing does not
// match, sync is regained byte by byte at the next tag whose trailing PreviousTagSize
// matches; a size field that would hold back the stream loses to a later tag that
// already checks out. Sequence headers and script tags are captured, not stored; media tags are
// stored whole, in as many slots as they need, with their PreviousTagSize rewritten to
// chain the stored tags.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ingest/channel_runtime.h"

namespace kx {

inline constexpr int kFlvSlotBytes = 1452;               // bytes of one slot
inline constexpr uint32_t kFlvTagDataMax = 8u << 20;     // larger tags count as broken framing
inline constexpr int kFlvAacConfigMax = 32;              // AAC sequence-header tag data kept

// Receives one slot: a tag, or a piece of one (the first piece starts with the tag's
// PreviousTagSize and header, the others continue it). keyframe marks the first piece of
// an H.264 keyframe tag.
using FlvSlotSink = void (*)(void* user, const uint8_t* data, int len, bool keyframe);

struct FlvSplitStats {
  uint64_t fed = 0;            // bytes given to feed
  uint64_t tags = 0;           // well-framed tags seen
  uint64_t stored_tags = 0;    // media tags stored in slots
  uint64_t slots = 0;          // slots handed out
  uint64_t skipped_tags = 0;   // well framed, but unusable
  uint64_t dropped_bytes = 0;  // passed over while looking for sync
  uint64_t resyncs = 0;        // times sync was found again
};

class FlvSplitter {
 public:
  // channel_number: for the warnings' log lines; logging off keeps them quiet (tests, fuzzing).
  explicit FlvSplitter(int channel_number = 0, bool logging = true)
      : ch_(channel_number), logging_(logging) {}

  // A new connection: the stream starts again with its file header, and the sequence
  // headers and the script tag are captured anew. The chain of stored tags goes on.
  void start_connection();

  // Takes the next len bytes of the stream; whole media tags go to sink as slots.
  void feed(const uint8_t* p, std::size_t len, FlvSlotSink sink, void* user);

  // Changes whenever something was captured; setup() is then worth publishing.
  uint32_t setup_version() const { return version_; }
  // The decoder set-up as captured on this connection: the FLV header (the 9-byte file
  // header, then PreviousTagSize0 and the first script tag when there was one), the AVC
  // sequence header behind its 12-byte RTMP chunk header with the 15-byte video-tag
  // prefix, the AAC sequence-header tag data and the onMetaData values.
  DecoderSetup setup() const;
  // videodatarate + audiodatarate from onMetaData, in kbit/s; 0 when absent.
  int meta_kbps() const;

  const FlvSplitStats& stats() const { return stats_; }
  // Bytes held while a tag is incomplete or sync is being looked for.
  std::size_t buffered() const { return buf_.size() - pos_; }

 private:
  void drop_byte();
  // Whether a tag starts at buf_[q]: 1 it checks out, 0 it does not, -1 not all here yet.
  int verify(std::size_t q) const;
  // The first position after pos_ where a tag checks out; npos when none so far.
  std::size_t find_verified();
  void handle_tag(uint8_t* t, std::size_t total, FlvSlotSink sink, void* user);
  void store(uint8_t* t, std::size_t total, bool keyframe, FlvSlotSink sink, void* user);
  void skip_tag() { ++stats_.skipped_tags; }
  bool warn_allowed();
  void capture_script(const uint8_t* tag, std::size_t total);
  void capture_aac(const uint8_t* data, uint32_t size);
  void capture_avc(const uint8_t* data, uint32_t size);

  int ch_;
  bool logging_;
  bool header_phase_ = true;  // the file header is still to come
  bool in_sync_ = true;
  std::vector<uint8_t> buf_;
  std::size_t pos_ = 0;
  std::vector<std::size_t> pending_;  // later candidates not decided yet
  std::size_t scan_ = 0;              // the next position not looked at ahead

  // Captured on this connection.
  std::string file_header_;
  bool have_script_ = false, have_avc_ = false, have_aac_ = false;
  std::string script_tag_;  // tag header and data
  std::string avc_header_;  // RTMP chunk header and tag data
  uint32_t avc_size_ = 0;
  std::string aac_data_;
  int aac_channels_ = 0, aac_freq_index_ = 0;
  std::string video_codec_;
  double width_ = 0, height_ = 0, framerate_ = 0, audio_channels_ = 0, audio_samplerate_ = 0;
  double duration_ = 0, videodatarate_ = 0, audiodatarate_ = 0;
  uint32_t version_ = 0;

  // The chain of stored tags, across connections.
  bool stored_any_ = false;
  uint32_t last_stored_size_ = 0;

  int warnings_ = 0;  // this connection's warning lines
  FlvSplitStats stats_;
};

// Pacing of the FLV outputs per 1452 bytes, in milliseconds: (1 - tolerance) x 1452 x 4000
// / kbps, with 3500 in place of 4000 for an estimated rate. A rate of 0 (or less) means no
// pacing, and a tolerance above 1 never makes the delay negative.
int flv_sleep_time_ms(int kbps, double tolerance, bool estimated);

}  // namespace kx
