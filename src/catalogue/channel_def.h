// What the catalogue defines for one channel. The channel record that adds the runtime
// half (Channel_Info) and the channel table live with the channel input.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

// Field lengths, in characters. Values read from the catalogue are cut to them.
inline constexpr std::size_t kChannelNameMax = 60;
inline constexpr std::size_t kChannelCategoryMax = 60;
inline constexpr std::size_t kChannelSourceMax = 1023;
inline constexpr std::size_t kChannelIconMax = 1023;
inline constexpr std::size_t kChannelSidMax = 127;
inline constexpr std::size_t kChannelToleranceMax = 4;
inline constexpr std::size_t kChannelFormatMax = 9;
inline constexpr std::size_t kChannelKbitrateTextMax = 9;
inline constexpr std::size_t kChannelPresetMax = 31;
inline constexpr int kChannelSources = 3;  // src, sr2, sr3
// The channel count is a 16-bit number.
inline constexpr std::size_t kMaxChannels = 65535;

// nChannel_Type. 5 and 6 are set only by the on-demand parking; the others come from the
// catalogue.
enum ChannelType : int {
  kTypeLive = 0,
  kTypeDelay = 1,
  kTypeInactive = 2,
  kTypeDvr = 3,
  kTypeHls = 4,
  kTypePause = 5,
  kTypeResume = 6,
  kTypeMovie = 7,
};

enum DelayUnit : int { kDelaySeconds = 0, kDelayMinutes = 1, kDelayHours = 2 };

// nInput_Format codes of the files a folder channel plays.
inline constexpr int kInputMp4File = 7;
inline constexpr int kInputTsFile = 8;
inline constexpr int kInputFlvFile = 9;

// An int that one thread may change while others read it (the channel type is changed by
// the parking and the administrator commands while the catalogue is being saved), and
// that copies by value like the rest of the definition.
class SharedInt {
 public:
  SharedInt(int v = 0) : v_(v) {}  // NOLINT: reads like a plain int
  SharedInt(const SharedInt& o) : v_(o.load()) {}
  SharedInt& operator=(const SharedInt& o) {
    v_.store(o.load(), std::memory_order_release);
    return *this;
  }
  SharedInt& operator=(int v) {
    v_.store(v, std::memory_order_release);
    return *this;
  }
  operator int() const { return load(); }  // NOLINT
  int load() const { return v_.load(std::memory_order_acquire); }
  bool compare_exchange(int expected, int desired) {
    return v_.compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
  }

 private:
  std::atomic<int> v_;
};

// One file of a folder channel.
struct FolderFile {
  std::string path;        // folder "/" file name
  int kbitrate = -1;       // from the movie probe; -1 when it found none
  int64_t delay_us = 0;    // pacing per 1316-byte block; 0 without a bit rate
  int64_t size = 0;        // bytes
  int64_t play_seconds = 0;  // 0 without a bit rate
};

// What the catalogue defines for one channel.
struct ChannelDef {
  int nChannel_No = 0;  // 1-based position in the catalogue
  std::string name;      // up to kChannelNameMax
  std::string category;  // up to kChannelCategoryMax
  // Plain source URLs: [0] from src, then the backup sources in file order, packed so that
  // slots 0 .. nURL_Count-1 are the usable ones.
  std::array<std::string, kChannelSources> src;
  int nURL_Count = 0;    // 0 when src is missing, else 1-3
  std::string icon;      // img, up to kChannelIconMax
  std::string chsid;     // up to kChannelSidMax
  std::string tolerance_text;  // up to kChannelToleranceMax
  float tolerance = 1.0f;
  int forward = 0;  // 1: players are redirected to the first source
  SharedInt nChannel_Type{kTypeLive};
  // The type in force when the channel was parked; what a save writes for types 5 and 6.
  SharedInt nSaved_Channel_Type{kTypeLive};
  int delay_amount = 0;
  int delay_unit = kDelaySeconds;
  int nHLS_Mode = 0;  // 0 none, 1 segmenter, 2 segmenter and transcoding
  std::string video_format, audio_format;  // up to kChannelFormatMax
  int mobile_kbitrate = 0, sd_kbitrate = 0, hd_kbitrate = 0;
  std::string mobile_kbitrate_text, sd_kbitrate_text, hd_kbitrate_text;
  std::string preset;  // up to kChannelPresetMax
  int nCache_On_Demand = 0;

  // Attributes the file gave explicitly, where a default taken in their place could
  // differ on the next load.
  bool tolerance_set = false;
  bool hls_mode_set = false;
  bool cache_on_demand_set = false;

  // Folder channels (first source "dir://"): files sorted by path, their total play time,
  // and the input format of the last file.
  std::vector<FolderFile> folder;
  int64_t folder_play_seconds = 0;
  int folder_input_format = 0;

  // The catalogue type: nChannel_Type, or the saved type while the channel is parked or
  // being resumed.
  int defined_type() const {
    const int t = nChannel_Type;
    return t == kTypePause || t == kTypeResume ? static_cast<int>(nSaved_Channel_Type) : t;
  }
};

// Channel definitions in channel-number order, as the catalogue reads and writes them.
using ChannelDefList = std::vector<const ChannelDef*>;

}  // namespace kx
