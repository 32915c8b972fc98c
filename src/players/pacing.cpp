#include "players/pacing.h"

#include <algorithm>

#include "formats/ts.h"

namespace kx {

void PcrPacer::reset() {
  last_pcr_ = -1;
  reference_ = 0;
  first_ = 0;
  played_ = 0;
  prev_delta_ = 0;
  summed_ms_ = 0;
}

void PcrPacer::restart_clock() {
  const int64_t summed = summed_ms_;
  reset();
  summed_ms_ = summed;
}

PcrPacer::Step PcrPacer::on_pcr(uint64_t pcr27, bool ahead) {
  Step st;
  const double t = static_cast<double>(pcr27) / 27000000.0;
  if (last_pcr_ < 0) {
    reference_ = t;
    first_ = t;
    st.first = true;
  }
  double delta = t - reference_;
  // A jump forward far beyond the usual interval is a splice or a damaged clock, not
  // stream time: count it as one more usual interval.
  if (prev_delta_ > 0 && delta > 10 * prev_delta_) delta = prev_delta_;
  prev_delta_ = delta;
  if (delta >= 0) {
    reference_ = t;
    played_ = t - first_;
    const double us = (1.0 - cfg_.tolerance) * delta * cfg_.us_per_second;
    // The small addend keeps a product like 0.9 x 40 ms from truncating to 35 ms.
    int64_t wait = us > 0 ? static_cast<int64_t>(us / 1000.0 + 1e-6) : 0;
    wait = std::min<int64_t>(wait, kPcrMaxWaitMs);
    if (summed_ms_ <= cfg_.unslept_ms) {
      summed_ms_ += wait;
    } else if (wait > 0 && (!cfg_.lag_test || ahead)) {
      st.sleep_ms = static_cast<int>(wait);
    }
  } else {
    // The clock went back (a wrap, a new source): start measuring again from here.
    reference_ = t;
    first_ = t;
    played_ = 0;
  }
  last_pcr_ = static_cast<int64_t>(pcr27);
  return st;
}

double effective_bitrate_constant(double value) { return value > 2.0 ? 0.0 : value; }

RatePacer::RatePacer(const RatePaceConfig& cfg) : cfg_(cfg) {
  const double share = 1.0 - effective_bitrate_constant(cfg_.bitrate_constant);
  if (cfg_.kbitrate > 0 && share > 0 && cfg_.factor > 0)
    per_byte_us_ = share * cfg_.factor / cfg_.kbitrate;
}

int64_t RatePacer::block_us(int64_t bytes) const {
  if (per_byte_us_ <= 0 || bytes <= 0) return 0;
  return static_cast<int64_t>(static_cast<double>(bytes) * per_byte_us_);
}

int RatePacer::on_block(int64_t bytes) {
  const int64_t us = block_us(bytes);
  if (us <= 0) return 0;
  const int64_t whole = us / 1000;
  if (summed_ms_ <= cfg_.unslept_ms) {
    summed_ms_ += whole;
    return 0;
  }
  pending_ms_ += whole;
  rem_us_ += us % 1000;
  if (rem_us_ >= 1000) {
    rem_us_ -= 1000;
    pending_ms_ += 1;
  }
  if (pending_ms_ <= cfg_.batch_ms) return 0;
  const int64_t s = std::min<int64_t>(pending_ms_, kPcrMaxWaitMs);
  pending_ms_ = 0;
  return static_cast<int>(s);
}

}  // namespace kx
