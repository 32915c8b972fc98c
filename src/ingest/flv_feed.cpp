#include "ingest/flv_feed.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/log.h"
#include "core/os/time.h"

namespace kx {

namespace {
constexpr int64_t kRateStepMs = 10000;  // an estimated bit rate is renewed this often
constexpr uint64_t kKbpsMax = 10000000;
}  // namespace

FlvFeed::FlvFeed(InputContext& ctx, bool log_rate)
    : ctx_(ctx), log_rate_(log_rate), split_(ctx.number()) {}

bool FlvFeed::start() {
  Channel_Info& ch = *ctx_.ch;
  slots_ = ch.rt.flv_ring();
  if (!slots_) {
    slots_ = make_real_buffer(3 * int64_t{ctx_.ring->size()}, ctx_.index);
    if (!slots_) {
      log_admin("RTMP2FLV Buffer allocated failed\n");
      return false;
    }
    ch.rt.set_flv_ring(slots_);
  }
  split_.start_connection();
  published_ = split_.setup_version();
  entry_len_ = 0;
  bytes_ = 0;
  rate_from_meta_ = false;
  ch.rt.nBitrate.store(0);
  ch.rt.nSleep_Time.store(0);
  started_ = mono_ms();
  next_estimate_ = started_ + kRateStepMs;
  return true;
}

void FlvFeed::publish_setup() {
  if (split_.setup_version() == published_) return;
  DecoderSetup s = split_.setup();
  if (s.flv_header.empty()) return;  // nothing of this connection yet
  published_ = split_.setup_version();
  ctx_.ch->rt.set_setup(std::make_shared<const DecoderSetup>(std::move(s)));
}

void FlvFeed::commit_slot(void* user, const uint8_t* data, int len, bool keyframe) {
  auto* f = static_cast<FlvFeed*>(user);
  f->publish_setup();  // players read the set-up before the tags after it
  EntryMeta meta;
  meta.keyframe_offset = keyframe ? 0 : -1;
  f->slots_->commit(data, len, meta);
}

void FlvFeed::update_rate() {
  ChannelRuntime& rt = ctx_.ch->rt;
  const double tolerance = ctx_.ch->def.tolerance;
  if (!rate_from_meta_ && split_.meta_kbps() > 0) {
    rate_from_meta_ = true;
    const int kbps = split_.meta_kbps();
    rt.nBitrate.store(kbps);
    rt.nSleep_Time.store(flv_sleep_time_ms(kbps, tolerance, false));
    if (log_rate_) log_admin("CH [%d]: FLV Bitrate=[%d], Sleeptime=[%d]\n", ctx_.number(), kbps, rt.nSleep_Time.load());
  }
  const int64_t now = mono_ms();
  if (rate_from_meta_ || now < next_estimate_) return;
  // Without a data rate in the metadata: bits per millisecond so far, i.e. kbit/s.
  next_estimate_ = now + kRateStepMs;
  const int64_t ms = std::max<int64_t>(now - started_, 1);
  const int kbps = static_cast<int>(std::min<uint64_t>(bytes_ * 8 / static_cast<uint64_t>(ms), kKbpsMax));
  rt.nBitrate.store(kbps);
  rt.nSleep_Time.store(flv_sleep_time_ms(kbps, tolerance, true));
}

void FlvFeed::take(const uint8_t* p, std::size_t len) {
  bytes_ += len;
  split_.feed(p, len, commit_slot, this);
  publish_setup();
  // The raw stream, in entries of 1452 bytes.
  while (len > 0) {
    const std::size_t k = std::min(len, static_cast<std::size_t>(kFlvEntryBytes - entry_len_));
    std::memcpy(entry_ + entry_len_, p, k);
    entry_len_ += static_cast<int>(k);
    p += k;
    len -= k;
    if (entry_len_ == kFlvEntryBytes) {
      ctx_.ring->commit(entry_, entry_len_);
      entry_len_ = 0;
    }
  }
  update_rate();
}

void FlvFeed::finish() {
  if (entry_len_ > 0) ctx_.ring->commit(entry_, entry_len_);
  entry_len_ = 0;
}

}  // namespace kx
