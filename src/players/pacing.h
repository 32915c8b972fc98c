// Pacing of the streams we send: by the Program Clock References in the stream (live
// channels, folder channels, TS files) or by a file's bit rate (MP4 and FLV files).
// Both are pure state machines: the caller feeds them what it sent and sleeps what they
// answer, so the rules can be checked without a clock.
#pragma once
#include <cstdint>

#include "formats/ts_marks.h"  // first_pcr

namespace kx {

struct PcrPaceConfig {
  // The share of each PCR interval not slept: the channel's tolerance for live channels,
  // bitrate_constant for TS files. 1 (or more) sends as fast as the socket takes it.
  double tolerance = 1.0;
  // Microseconds slept per second of stream at tolerance 0: 1,000,000 plays in real
  // time, 800,000 plays 1.25 times faster (files catch up with the live edge).
  double us_per_second = 1000000.0;
  // Waits are only summed, not slept, until their sum passes this: the player fills
  // its own buffer first.
  int64_t unslept_ms = 3000;
  // Live rings: sleep only while the reader is ahead of the first quarter of the ring,
  // so a reader that lags is fed without sleeps.
  bool lag_test = true;
};

// A single wait is never longer than this: a corrupt clock must not stall a player.
inline constexpr int kPcrMaxWaitMs = 2000;

class PcrPacer {
 public:
  struct Step {
    int sleep_ms = 0;    // sleep this long before sending on
    bool first = false;  // this was the first PCR since the last reset
  };

  explicit PcrPacer(const PcrPaceConfig& cfg) : cfg_(cfg) {}

  // Forgets every clock: the next PCR is a first one.
  void reset();
  // A new file of the same stream: its clock starts again, but the unslept allowance
  // already used stays used (short files would otherwise never be paced).
  void restart_clock();

  // One PCR (27 MHz units) of the data just sent. ahead: the reader stands more than a
  // quarter of the filled ring past its oldest entry (only looked at with lag_test).
  Step on_pcr(uint64_t pcr27, bool ahead);

  int64_t last_pcr() const { return last_pcr_; }     // -1 before the first PCR
  double reference() const { return reference_; }    // seconds
  double first_time() const { return first_; }       // seconds
  double played() const { return played_; }         // seconds since the first PCR
  int64_t waits_summed_ms() const { return summed_ms_; }

 private:
  PcrPaceConfig cfg_;
  int64_t last_pcr_ = -1;
  double reference_ = 0;
  double first_ = 0;
  double played_ = 0;
  double prev_delta_ = 0;
  int64_t summed_ms_ = 0;
};


// Pacing by bit rate: each block of bytes is worth bytes x (1 - bitrate_constant) x
// factor / kbit/s microseconds (factor 3500 for MP4 and MPEG files, 4000 for FLV).
// The first unslept_ms of whole milliseconds are only summed; afterwards whole
// milliseconds are gathered and slept once they pass batch_ms (0: after every block),
// and one more millisecond is slept each time the sub-millisecond parts pass 1000 us.
struct RatePaceConfig {
  double bitrate_constant = 1.0;  // above 2.0 counts as 0, as the configuration defines
  double kbitrate = 0;            // 0 or less: no pacing
  int factor = 3500;
  int batch_ms = 12;
  int64_t unslept_ms = 3000;
};

class RatePacer {
 public:
  explicit RatePacer(const RatePaceConfig& cfg);
  // Milliseconds to sleep after sending bytes.
  int on_block(int64_t bytes);
  bool paced() const { return per_byte_us_ > 0; }
  // The block time of a block of the given size, in microseconds.
  int64_t block_us(int64_t bytes) const;

 private:
  RatePaceConfig cfg_;
  double per_byte_us_ = 0;
  int64_t summed_ms_ = 0;   // during the unslept start
  int64_t pending_ms_ = 0;  // gathered, not slept yet
  int64_t rem_us_ = 0;
};

// bitrate_constant as the pacing uses it: values above 2.0 count as 0.
double effective_bitrate_constant(double value);

}  // namespace kx
