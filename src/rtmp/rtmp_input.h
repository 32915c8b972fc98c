// The RTMP sources of a channel: "rtmp://host[:port]/app/stream" pulled from an RTMP
// server (source type 19), and "rtmpencoder", fed by an encoder that publishes to this
// server's RTMP port and whose session lends its connection to the channel (21). Both
// turn the stream's messages into FLV for the channel, as an HTTP-FLV source would.
#pragma once
#include "ingest/input.h"

namespace kx {

// One connection each; the life cycle of the channel input reconnects.
int rtmp_pull_branch(InputContext& ctx);
int rtmp_encoder_branch(InputContext& ctx);

// Puts both branches in place for their source types.
void rtmp_register_inputs();

}  // namespace kx
