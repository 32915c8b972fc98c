// Audio frame headers seen in MPEG-TS (ADTS for AAC, the MPEG audio header for MP1/2/3)
// and what FLV needs from them: the audio tag byte and, for AAC, the sequence header.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx {

constexpr int kFlvSoundMp3 = 2;
constexpr int kFlvSoundAac = 10;

// What an audio frame header says, in FLV terms.
struct AudioFrameInfo {
  bool aac = false;
  int sound_format = 0;    // 10 AAC, 2 MPEG audio
  int object_type = 0;     // AAC: the 2-bit profile (audio object type - 1)
  int freq_index = 0;      // AAC: sampling-frequency index; MPEG audio: its 2-bit rate index
  int channel_config = 0;  // AAC: channel configuration (0 = given in the stream, 7 = 7.1)
  int channel_mode = 0;    // MPEG audio: 0 stereo, 1 joint, 2 dual, 3 mono
  int rate_code = 0;       // FLV sound rate 0-3
  int sound_type = 0;      // FLV: 1 for two or more channels, 0 for mono
  uint8_t flv_byte = 0;    // format x 16 + rate x 4 + 2 (16-bit) + type
};

// The AAC set-up as FLV and RTMP carry it: the sequence-header tag body (the audio tag
// byte, 0x00, then the AudioSpecificConfig), the form FLV/RTMP inputs capture too.
constexpr int kAacConfigCapacity = 32;
struct AacConfig {
  uint8_t body[kAacConfigCapacity];
  int len = 0;          // 0: nothing captured
  int channels = 0;     // channel configuration
  int freq_index = 0;   // sampling-frequency index
  const uint8_t* asc() const { return body + 2; }
  int asc_len() const { return len > 2 ? len - 2 : 0; }
};

// The fields of an AudioSpecificConfig (ISO/IEC 14496-3): audio object type (5 bits, 31
// escapes to 32 + 6 more), sampling-frequency index (4 bits, 15 is followed by a 24-bit
// rate) and channel configuration (4 bits). false when the bytes end first.
struct AscFields {
  int object_type = 0;
  int freq_index = 0;
  int channels = 0;
};
bool aac_asc_fields(const uint8_t* asc, std::size_t len, AscFields& out);

// Reads a 7-byte ADTS header or a 4-byte MPEG audio header at p. The layer bits tell
// them apart (00 is AAC, MPEG-2 and MPEG-4 alike). 1 on success, 0 when p holds
// neither (too short, no sync, reserved values).
int audio_frame_info(const uint8_t* p, int len, AudioFrameInfo& info);

// audio_frame_info, and for AAC also the sequence-header body into cfg (logged once per
// call). 1 on success; 0 with cfg.len 0 on failure, and cfg.len 0 for MPEG audio.
int adts_to_flv_audio(const uint8_t* p, int len, AudioFrameInfo& info, AacConfig& cfg);

}  // namespace kx
