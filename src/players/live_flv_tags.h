// A live player's FLV view of any channel, with no socket in it: the tags of an FLV
// channel's tag ring (RTMP, encoder and HTTP-FLV sources), or a TS channel's ring converted
// to tags on the way. Every FLV-shaped output (HTTP-FLV, RTMP play, TS made from FLV) is a
// loop over next: send the tags, pause as asked, ask again.
//
// The tag stream a player gets: the decoder set-up first (an onMetaData script tag, the
// AVC sequence header, the AAC sequence header when the channel has audio), then media
// tags from a video keyframe on. Timestamps are rebased so the first media tag is 0; the
// set-up tags carry 0.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "players/session_log.h"

namespace kx {

struct Channel_Info;

struct LiveFlvOptions {
  int prebuffer = 0;        // TS channels: the burst's cap, as LiveTsOptions
  float tolerance = 0;      // TS channels: the share of each PCR interval not slept
  int source_wait_ms = 0;   // how long an outage of the input is waited through
  // FLV channels: stream time sent without sleeping before tag deltas are slept.
  int unslept_ms = 12000;
};

// One tag. data is the tag body (the bytes after the 11-byte tag header) and stays valid
// until the next call to next().
struct LiveTag {
  uint8_t type = 0;        // 8 audio, 9 video, 18 script
  uint32_t timestamp = 0;  // ms, rebased
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  bool keyframe = false;   // a video keyframe (first body byte 0x17, AVC NAL units)
  bool config = false;     // a sequence header (AVC or AAC packet type 0)
};

struct LiveTagBatch {
  std::vector<LiveTag> tags;  // in order
  int pause_ms = 0;           // to sleep after sending them
  const char* stage = nullptr;
  void clear() {
    tags.clear();
    pause_ms = 0;
    stage = nullptr;
  }
};

// What onMetaData tells a player of the channel (TS channels: the defaults 720 x 576,
// 24 fps, codecs "avc1" and "mp4a", rates 0).
struct LiveStreamInfo {
  double width = 0, height = 0, framerate = 0;
  double videodatarate = 0, audiodatarate = 0;
  double videocodecid = 0, audiocodecid = 0;  // -1 when known only by name
  std::string video_codec_name, audio_codec_name;
  bool from_ts = false;  // the tags are converted from the channel's TS ring
  // The streams the tags carry, for the FLV file header's flags. TS channels know them
  // once next() has handed out the first tags (the PMT says); until then both.
  bool has_video = true, has_audio = true;
};

class LiveFlvTags {
 public:
  enum class Next {
    kTags,    // tags to send (and perhaps a pause)
    kWait,    // nothing yet: the reader waited a short while (or asks for pause_ms); ask again
    kOff,     // the player ends (the reason is logged)
    kLapped,  // the writer overtook the player: it starts again at a keyframe (logged);
              // the tags already sent stay valid, timestamps go on from where they were
  };

  LiveFlvTags(std::shared_ptr<Channel_Info> ch, const SessionLog& log, const LiveFlvOptions& opt);
  ~LiveFlvTags();
  LiveFlvTags(const LiveFlvTags&) = delete;
  LiveFlvTags& operator=(const LiveFlvTags&) = delete;

  // false (logged) when the channel cannot be played as FLV: off, no ring, an FLV channel
  // without its AVC configuration ("does not have SPS Information"), no memory.
  bool open();
  const LiveStreamInfo& info() const { return info_; }
  Next next(LiveTagBatch& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  LiveStreamInfo info_;
};

}  // namespace kx
