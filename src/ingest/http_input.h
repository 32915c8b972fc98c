// The HTTP source input branch (source types 5, 23 and 27).
#pragma once
#include "ingest/input.h"

namespace kx {

// One connect cycle of an HTTP source: connect, follow up to 10 redirects, recognise the
// body and feed the channel's rings until the connection ends or a command arrives.
// Returns a BranchEnd value.
int http_input_branch(InputContext& ctx);

}  // namespace kx
