// The channel table in force, built from the catalogue's definitions.
#include "ingest/channel_table.h"

#include "catalogue/channels.h"
#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/sync.h"
#include "core/published.h"
#include "ingest/source_check.h"

namespace kx {

namespace {

Published<MSK_IPTV_Channel_List> g_table;

int save_table_locked(const MSK_IPTV_Channel_List& t, const std::string& keep_as) {
  return channels_detail::save_defs_locked(t.defs(), t.clean, keep_as);
}

}  // namespace

ChannelTablePtr channel_table() { return g_table.get(); }

void publish_channel_table(ChannelTablePtr table) { g_table.publish(std::move(table)); }

std::shared_ptr<Channel_Info> make_channel(ChannelDef def) {
  auto ch = std::make_shared<Channel_Info>();
  ch->def = std::move(def);
  // A channel with a source has its source slots (the reader process reports the others).
  ch->rt.has_sources = ch->def.nURL_Count > 0;
  for (int slot = 0; slot < kChannelSources; ++slot) {
    const std::string& url = ch->def.src[static_cast<std::size_t>(slot)];
    if (!url.empty()) source_url_check(*ch, url, slot);
  }
  return ch;
}

int load_channel_catalogue() {
  using namespace channels_detail;
  Guard writer(writer_lock());
  std::string text;
  if (!read_channel_file(text)) return 0;

  mark_channel_catalogue_load();
  ChannelParseOptions opt;
  opt.scrambled = is_scrambled_header(text);
  opt.defaults = channel_defaults_from_config();
  std::string root;
  if (opt.scrambled && root_password(root)) opt.root_password = &root;

  auto table = std::make_shared<MSK_IPTV_Channel_List>();
  // Each channel is checked as it is read, so the check's lines come in file order.
  table->clean = parse_channel_text(text, opt, [&table](ChannelDef&& d) {
    table->ch.push_back(make_channel(std::move(d)));
  }) == 1;
  table->count = static_cast<uint16_t>(table->ch.size());

  if (!opt.scrambled && table->clean) {
    if (save_table_locked(*table, kChannelDecryptFile))
      log_sys("Encrypt the old channel definition.xml to encrypted xml\n");
    else
      log_sys("Warning: channel_definition.xml stays in plain form\n");
  }
  // The programme data of the channels is loaded by start-up right after this.

  mark_channel_catalogue_load();
  table->load_time = channel_catalogue_load_time();
  const int count = table->count;
  const bool clean = table->clean;
  publish_channel_table(std::move(table));
  log_sys("There are %d active channels...\n", count);
  if (!clean) {
    log_sys("Warning: channel_definition.xml is kept as it is until it loads without error\n");
    return -1;
  }
  return 1;
}

void release_channel_catalogue() {
  Guard writer(channels_detail::writer_lock());
  publish_channel_table(std::make_shared<const MSK_IPTV_Channel_List>());
}

int save_channel_catalogue() {
  Guard writer(channels_detail::writer_lock());
  return save_table_locked(*channel_table(), "");
}

int convert_channel_catalogue() {
  Guard writer(channels_detail::writer_lock());
  return save_table_locked(*channel_table(), kChannelDecryptFile);
}

int update_channel_table(const std::function<bool(MSK_IPTV_Channel_List&)>& change) {
  Guard writer(channels_detail::writer_lock());
  const ChannelTablePtr old = channel_table();
  if (!old->clean) {
    log_sys("channel_definition.xml did not load cleanly and is not written over\n");
    return 0;
  }
  auto next = std::make_shared<MSK_IPTV_Channel_List>(*old);
  if (!change || !change(*next)) return 0;
  if (next->ch.size() > kMaxChannels) return 0;
  for (const auto& c : next->ch) {
    if (!c) return 0;
  }
  next->count = static_cast<uint16_t>(next->ch.size());
  next->clean = true;
  next->load_time = old->load_time;
  if (!save_table_locked(*next, "")) return 0;
  publish_channel_table(std::move(next));
  return 1;
}

int export_channel_catalogue(std::string& out) {
  const ChannelTablePtr t = channel_table();
  if (!format_channel_text(t->defs(), false, nullptr, channel_defaults_from_config(), out)) return 0;
  return static_cast<int>(out.size());
}

}  // namespace kx
