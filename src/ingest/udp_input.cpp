// The UDP/RTP input branch (placeholder until the UDP input lands).
#include "core/log.h"
#include "ingest/input.h"

namespace kx {

int udp_input_branch(InputContext& ctx) {
  log_admin("CH [%d]: UDP input is not available yet\n", ctx.number());
  return kEndUnsupported;
}

}  // namespace kx
