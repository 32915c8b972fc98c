// Writing the channel catalogue: the stored (scrambled) form and the plain export.

#include <cstdio>

#include "catalogue/channels.h"
#include "catalogue/scramble.h"
#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"

namespace kx {

namespace {

constexpr const char* kPlainHeader = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
constexpr const char* kScrambledHeader =
    "<?xml version=\"1.0\" encryption encoding=\"iso-8859-1\" ?>\r\n";

// One element being written: "<ch ", name="value" pairs separated by single spaces.
class ElementWriter {
 public:
  explicit ElementWriter(std::string& out) : out_(out) { out_ += "<ch "; }
  // false when the value would end its quotes early.
  bool attr(const char* name, std::string_view value) {
    if (value.find('"') != std::string_view::npos) return false;
    if (!first_) out_ += ' ';
    first_ = false;
    out_ += name;
    out_ += "=\"";
    out_ += value;
    out_ += '"';
    return true;
  }
  bool finish(std::string_view name) {
    if (name.find("</ch>") != std::string_view::npos) return false;
    out_ += '>';
    out_ += name;
    out_ += "</ch>\r\n";
    return true;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

std::string tolerance_text(const ChannelDef& d) {
  if (!d.tolerance_text.empty()) return d.tolerance_text;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(d.tolerance));
  return cut(buf, kChannelToleranceMax);
}

std::string type_text(const ChannelDef& d) {
  switch (d.defined_type()) {
    case kTypeDelay: {
      const char* unit = d.delay_unit == kDelayHours     ? "hr."
                         : d.delay_unit == kDelayMinutes ? "min."
                                                         : "sec.";
      return "delay," + std::to_string(d.delay_amount) + "," + unit;
    }
    case kTypeInactive: return "inactive";
    case kTypeDvr: return "dvr";
    case kTypeHls: return "hls";
    case kTypeMovie: return "movie";
    default: return "";
  }
}

// One channel; first is channel 1, whose scrambled sources carry the root block.
bool write_channel(const ChannelDef& d, bool first, bool scrambled, const std::string* root,
                   const ChannelDefaults& dflt, std::string& out) {
  static constexpr const char* kSourceNames[kChannelSources] = {"src", "sr2", "sr3"};
  ElementWriter w(out);
  for (int i = 0; i < kChannelSources; ++i) {
    if (d.src[i].empty()) continue;
    if (scrambled) {
      const std::string s = scramble_source(d.src[i], d.name, first, root);
      if (s.empty() || !w.attr(kSourceNames[i], s)) return false;
    } else if (!w.attr(kSourceNames[i], d.src[i])) {
      return false;
    }
  }
  bool ok = true;
  if (!d.category.empty()) ok &= w.attr("category", d.category);
  if (!d.chsid.empty()) ok &= w.attr("chsid", d.chsid);
  // An explicit tolerance stays even when it equals today's bitrate_constant.
  if (d.tolerance_set || d.tolerance != dflt.tolerance) ok &= w.attr("tolerance", tolerance_text(d));
  if (d.forward == 1) ok &= w.attr("forward", forward_token(d.name));
  if (!d.icon.empty()) ok &= w.attr("img", d.icon);
  const std::string type = type_text(d);
  if (!type.empty()) ok &= w.attr("type", type);
  if (d.nHLS_Mode > 0) {
    ok &= w.attr("adaptive_bitrate_type", std::to_string(d.nHLS_Mode));
  } else if (d.defined_type() == kTypeHls) {
    ok &= w.attr("adaptive_bitrate_type", "0");  // an hls channel would read back as 1
  }
  if (scrambled ? d.nHLS_Mode == 2 : d.nHLS_Mode > 0) {
    if (!d.video_format.empty() && d.video_format != "h264") ok &= w.attr("video_format", d.video_format);
    if (!d.audio_format.empty() && d.audio_format != "aac") ok &= w.attr("audio_format", d.audio_format);
    if (d.mobile_kbitrate > 0) ok &= w.attr("mobile_kbitrate", std::to_string(d.mobile_kbitrate));
    if (d.sd_kbitrate > 0) ok &= w.attr("sd_kbitrate", std::to_string(d.sd_kbitrate));
    if (d.hd_kbitrate > 0) ok &= w.attr("hd_kbitrate", std::to_string(d.hd_kbitrate));
    if (!d.preset.empty()) ok &= w.attr("preset", d.preset);
  }
  if (d.nCache_On_Demand == 1) {
    ok &= w.attr("cache_on_demand", "1");
  } else if (d.cache_on_demand_set || dflt.cache_on_demand == 1) {
    ok &= w.attr("cache_on_demand", "0");  // the default would read back as 1
  }
  return ok && w.finish(d.name);
}

}  // namespace

bool format_channel_text(const ChannelDefList& defs, bool scrambled,
                         const std::string* root_password, const ChannelDefaults& defaults,
                         std::string& out) {
  out = scrambled ? kScrambledHeader : kPlainHeader;
  for (std::size_t i = 0; i < defs.size(); ++i) {
    if (!defs[i] || !write_channel(*defs[i], i == 0, scrambled, root_password, defaults, out)) {
      out.clear();
      return false;
    }
  }
  return true;
}

namespace channels_detail {

int save_defs_locked(const ChannelDefList& defs, bool clean, const std::string& keep_as) {
  if (!clean) {
    log_sys("channel_definition.xml did not load cleanly and is not written over\n");
    return 0;
  }
  std::string root, text;
  const bool have_root = root_password(root);
  if (!format_channel_text(defs, true, have_root ? &root : nullptr, channel_defaults_from_config(),
                           text)) {
    log_sys(have_root ? "channel_definition.xml: a channel cannot be written\n"
                      : "channel_definition.xml: no root account for channel 1; not written\n");
    return 0;
  }
  StoreFile& f = channel_store();
  if (!save_store(f, text, 0600, keep_as)) return 0;
  // The old file kept beside it holds the same sources: nobody else may read it either.
  set_file_mode(work_file(keep_as.empty() ? f.backup : keep_as), 0600);
  return 1;
}

}  // namespace channels_detail

}  // namespace kx
