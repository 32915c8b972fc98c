#include "players/live_source.h"

#include "catalogue/channel_def.h"
#include "core/alloc.h"
#include "core/log.h"
#include "ingest/channel_info.h"

namespace kx {

bool input_on(const Channel_Info& ch) {
  return ch.rt.nChannel_Status.load(std::memory_order_relaxed) == kStatusOn;
}

bool input_ended(const Channel_Info& ch) {
  return ch.rt.nStop.load() != 0 || ch.def.nChannel_Type == kTypeInactive || ch.rt.nThread_Finished.load() != 0;
}

std::unique_ptr<uint8_t[]> live_batch_buffer() {
  auto buf = try_new_array<uint8_t>(static_cast<std::size_t>(kLiveBatchEntries) * kEntryBytes);
  if (!buf) log_sys("Real Buffer allocated failed\n");
  return buf;
}

}  // namespace kx
