#include "formats/aac.h"

#include "core/log.h"

namespace kx {

namespace {

int aac_rate_code(int index) {
  switch (index) {
    case 7: return 2;   // 22.05 kHz
    case 10: return 1;  // 11.025 kHz
    default: return 3;  // 44.1 kHz and everything FLV has no code for
  }
}

}  // namespace

int audio_frame_info(const uint8_t* p, int len, AudioFrameInfo& info) {
  info = AudioFrameInfo{};
  if (!p || len < 4) return 0;
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
  int layer = (p[1] >> 1) & 3;
  if (layer == 0) {
    // ADTS: 12-bit sync, ID (MPEG-2 or MPEG-4, both AAC), layer 00.
    if (len < 7 || (p[1] & 0xF0) != 0xF0) return 0;
    int index = (p[2] >> 2) & 0x0F;
    if (index > 12) return 0;
    info.aac = true;
    info.sound_format = kFlvSoundAac;
    info.object_type = p[2] >> 6;
    info.freq_index = index;
    info.channel_config = ((p[2] & 1) << 2) | (p[3] >> 6);
    info.rate_code = aac_rate_code(index);
    info.sound_type = info.channel_config == 1 ? 0 : 1;
  } else {
    int index = (p[2] >> 2) & 3;
    // reserved version, reserved rate, bad bit rate
    if (((p[1] >> 3) & 3) == 1 || index == 3 || (p[2] >> 4) == 0x0F) return 0;
    info.sound_format = kFlvSoundMp3;
    info.freq_index = index;
    info.channel_mode = p[3] >> 6;
    info.rate_code = 3;
    info.sound_type = info.channel_mode == 3 ? 0 : 1;
  }
  info.flv_byte = static_cast<uint8_t>(info.sound_format * 16 + info.rate_code * 4 + 2 + info.sound_type);
  return 1;
}

int adts_to_flv_audio(const uint8_t* p, int len, AudioFrameInfo& info, AacConfig& cfg) {
  cfg.len = 0;
  cfg.channels = 0;
  cfg.freq_index = 0;
  if (!audio_frame_info(p, len, info)) return 0;
  if (!info.aac) return 1;
  cfg.body[0] = info.flv_byte;
  cfg.body[1] = 0x00;  // sequence header
  cfg.body[2] = static_cast<uint8_t>((info.object_type + 1) * 8 + info.freq_index / 2);
  cfg.body[3] = static_cast<uint8_t>((info.freq_index % 2) * 128 + info.channel_config * 8);
  cfg.len = 4;
  cfg.channels = info.channel_config;
  cfg.freq_index = info.freq_index;
  log_admin("Profile_Object_Type=[%d], Sampling_Frequecy_index=[%d],Channel_Configuration=[%d]\n",
            info.object_type, info.freq_index, info.channel_config);
  return 1;
}

namespace {

// Reads bits, most significant first; reading past the end sets overrun.
struct BitReader {
  const uint8_t* p;
  std::size_t len;
  std::size_t bit = 0;
  bool overrun = false;
  uint32_t get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      uint32_t b = 0;
      if (bit / 8 < len) b = (p[bit / 8] >> (7 - bit % 8)) & 1u;
      else overrun = true;
      v = (v << 1) | b;
      ++bit;
    }
    return v;
  }
};

}  // namespace

bool aac_asc_fields(const uint8_t* asc, std::size_t len, AscFields& out) {
  BitReader b{asc, len};
  AscFields f;
  f.object_type = static_cast<int>(b.get(5));
  if (f.object_type == 31) f.object_type = 32 + static_cast<int>(b.get(6));
  f.freq_index = static_cast<int>(b.get(4));
  if (f.freq_index == 15) b.get(24);
  f.channels = static_cast<int>(b.get(4));
  if (b.overrun) return false;
  out = f;
  return true;
}

}  // namespace kx
