// The live outputs of Channel_HTTP_DataThread that go through FLV tags: FLV of an FLV
// channel, FLV converted from a TS channel, and TS converted from an FLV channel. Each
// streams until the player or the channel ends; the caller does the end of the thread.
#pragma once
#include <cstdint>

#include "players/player_session.h"

namespace kx {

// The FLV file header and then tag after tag, each behind its PreviousTagSize chain.
void stream_live_flv(PlayerSession& s, int channel_no, uint32_t tid);
// An FLV channel's tags made into MPEG-TS.
void stream_flv_as_ts(PlayerSession& s, int channel_no, uint32_t tid);

}  // namespace kx
