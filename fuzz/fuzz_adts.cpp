// The audio frame header reader on arbitrary bytes: no read outside the input, and
// every accepted header gives an FLV audio byte and configuration that agree with it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/log.h"
#include "formats/aac.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  std::vector<uint8_t> in(data, data + size);  // exact size, so any overread is caught
  const int len = static_cast<int>(size > 64 ? 64 : size);
  kx::AudioFrameInfo info;
  kx::AacConfig cfg;
  int r = kx::adts_to_flv_audio(in.data(), len, info, cfg);
  if (r != 0 && r != 1) std::abort();
  if (r == 0) {
    if (cfg.len != 0) std::abort();
    return 0;
  }
  if (info.flv_byte != info.sound_format * 16 + info.rate_code * 4 + 2 + info.sound_type) std::abort();
  if (info.rate_code < 0 || info.rate_code > 3 || (info.sound_type != 0 && info.sound_type != 1)) std::abort();
  if (info.aac) {
    if (len < 7 || info.sound_format != 10 || info.freq_index > 12) std::abort();
    if (info.channel_config < 0 || info.channel_config > 7) std::abort();
    if ((info.sound_type == 0) != (info.channel_config == 1)) std::abort();
    if (cfg.len != 4 || cfg.body[0] != info.flv_byte || cfg.body[1] != 0) std::abort();
    // The AudioSpecificConfig read back gives the header's values.
    int aot = cfg.body[2] >> 3;
    int index = ((cfg.body[2] & 7) << 1) | (cfg.body[3] >> 7);
    int channels = (cfg.body[3] >> 3) & 15;
    if (aot != info.object_type + 1 || index != info.freq_index || channels != info.channel_config) std::abort();
  } else {
    if (info.sound_format != 2 || cfg.len != 0) std::abort();
    if ((info.sound_type == 0) != (info.channel_mode == 3)) std::abort();
  }
  return 0;
}
