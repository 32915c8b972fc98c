// The channel catalogue parser on arbitrary text: no crash, and whatever table it builds
// is written (plain and scrambled) and read back to the same table.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/channels.h"
#include "core/log.h"

namespace {

std::string summary(const kx::ChannelDef& d) {
  std::ostringstream o;
  o << d.nChannel_No << '|' << d.name << '|' << d.category << '|' << d.src[0] << '|' << d.src[1]
    << '|' << d.src[2] << '|' << d.nURL_Count << '|' << d.icon << '|' << d.chsid << '|'
    << d.tolerance_text << '|' << d.tolerance << '|' << d.forward << '|' << d.nChannel_Type.load()
    << '|' << d.delay_amount << '|' << d.delay_unit << '|' << d.nHLS_Mode << '|' << d.video_format
    << '|' << d.audio_format << '|' << d.mobile_kbitrate << '|' << d.sd_kbitrate << '|'
    << d.hd_kbitrate << '|' << d.preset << '|' << d.nCache_On_Demand;
  return o.str();
}

std::vector<std::string> summaries(const std::vector<kx::ChannelDef>& defs) {
  std::vector<std::string> out;
  for (const auto& d : defs) out.push_back(summary(d));
  return out;
}

// Writes the list in one form and reads it back; aborts when it changed.
void round_trip(const std::vector<kx::ChannelDef>& defs, bool scrambled,
                const kx::ChannelParseOptions& base) {
  kx::ChannelDefList list;
  for (const auto& d : defs) list.push_back(&d);
  std::string text;
  if (!kx::format_channel_text(list, scrambled, base.root_password, base.defaults, text)) return;
  kx::ChannelParseOptions opt = base;
  opt.scrambled = scrambled;
  std::vector<kx::ChannelDef> back;
  if (kx::parse_channel_text(text, opt, back) != 1) std::abort();
  if (summaries(back) != summaries(defs)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  static const std::string root = "fuzz-root";
  const std::string text(reinterpret_cast<const char*>(data), size);

  kx::ChannelParseOptions opt;
  opt.scrambled = kx::is_scrambled_header(text);
  opt.root_password = &root;
  opt.defaults.tolerance_text = "1.0";
  opt.defaults.tolerance = 1.0f;
  opt.defaults.cache_on_demand = size % 2 == 0 ? 1 : 0;

  std::vector<kx::ChannelDef> defs;
  kx::parse_channel_text(text, opt, defs);
  round_trip(defs, false, opt);
  round_trip(defs, true, opt);
  return 0;
}
