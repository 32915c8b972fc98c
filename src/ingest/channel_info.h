// The channel record and the channel table. The catalogue fills the definition half; the
// channel input adds the runtime half.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "catalogue/channel_def.h"
#include "ingest/channel_runtime.h"

namespace kx {

struct Channel_Info {
  ChannelDef def;
  ChannelRuntime rt;  // status, ring, counters, commands and source slots
};

// The channel table: one entry per channel in channel-number order. A published table is
// never changed; a change publishes a new one.
struct MSK_IPTV_Channel_List {
  std::vector<std::shared_ptr<Channel_Info>> ch;
  uint16_t count = 0;
  int64_t load_time = 0;  // seconds since 1970, when the catalogue was loaded
  // The catalogue file was read whole. Only such a table may be written back to it.
  bool clean = false;

  // The definitions of the table, for the catalogue's writer.
  ChannelDefList defs() const {
    ChannelDefList out;
    out.reserve(ch.size());
    for (const auto& c : ch) out.push_back(c ? &c->def : nullptr);
    return out;
  }
};

using ChannelTablePtr = std::shared_ptr<const MSK_IPTV_Channel_List>;

// The table in force; readers keep the snapshot they took.
ChannelTablePtr channel_table();
// Replaces the table in force (start-up, shutdown and the channel changes).
void publish_channel_table(ChannelTablePtr table);

}  // namespace kx
