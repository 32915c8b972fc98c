// What an RTMP source's messages become for the channel: audio and video messages turned
// into an FLV byte stream (file header and onMetaData first, then one tag per message with
// the message's own timestamp), the stream metadata read from onMetaData or @setDataFrame,
// and the decoder set-up messages recognised by their bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/flv.h"
#include "rtmp/chunk_reader.h"

namespace kx {

// Metadata with what is absent filled in: width (else displayWidth, else 640), height
// (else displayHeight, else 480), framerate (else 25); a codec id given as a number (0
// taken as AVC 7 for video, AAC 10 for audio) or a name (the number then -1), absent 0;
// the data rates (kbit/s), sample rate and channel count as given, else 0; a data rate
// given for only one of two streams with a codec id is dropped with the other, as their
// sum would understate the stream.
// body: a data message (18) or AMF0 command (20) body: "onMetaData" and an object or ECMA
// array, or "@setDataFrame", "onMetaData" and the same. false when it is neither.
bool rtmp_read_metadata(const uint8_t* body, std::size_t len, StreamMeta& out);

// What a source without metadata is taken to be: 640 x 480 at 25 frames, codec ids 0,
// 512 kbit/s of video and 125 of audio.
StreamMeta rtmp_default_metadata();

// A video message holding the AVC sequence header (key frame, codec 7, packet type 0).
bool rtmp_is_avc_sequence_header(const uint8_t* body, std::size_t len);

// An audio message holding the AAC sequence header (sound format 10, packet type 0) and
// what its AudioSpecificConfig says (ISO/IEC 14496-3): object type (5 bits, 31 escaping
// to 32 + 6 bits), sampling-frequency index (4 bits; 15 is followed by a 24-bit rate),
// channel configuration (4 bits). false when it is not one or is cut short.
struct RtmpAacInfo {
  int object_type = 0;
  int freq_index = 0;
  int channels = 0;
};
bool rtmp_aac_sequence_header(const uint8_t* body, std::size_t len, RtmpAacInfo& out);

// Turns one connection's messages into an FLV byte stream, appended to a buffer. Nothing
// is written before the metadata or the first media message; the file header comes with
// the onMetaData tag of the first metadata, or of rtmp_default_metadata() when media comes
// first. Later metadata writes nothing: the stream keeps one description.
class RtmpFlvWriter {
 public:
  void start();  // a new connection
  bool started() const { return started_; }
  // false when the header was written already (or the metadata could not be written).
  bool metadata(const StreamMeta& meta, std::vector<uint8_t>& out);
  // Audio (8) and video (9) messages become one tag each, an aggregate (22) one tag per
  // audio or video tag inside it (their times kept relative to the message's); anything
  // else, and empty bodies, write nothing. Returns the count of tags written.
  int media(const RtmpMessage& m, std::vector<uint8_t>& out);

 private:
  void tag(int type, uint32_t timestamp, const uint8_t* data, std::size_t len, std::vector<uint8_t>& out);

  bool started_ = false;
  uint32_t prev_size_ = 0;  // the PreviousTagSize the next tag is written behind
};

}  // namespace kx
