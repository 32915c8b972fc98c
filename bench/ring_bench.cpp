// The channel ring under load: commits per second with readers following it, the cost of
// one read, and the CPU that a thousand caught-up readers burn while a 2 Mbit/s channel
// trickles in, sleeping on the ring versus polling it every few milliseconds.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ingest/ring.h"

namespace {

using kx::RealBuffer;
using kx::RealBufferPtr;
using kx::RingReader;
using Clock = std::chrono::steady_clock;

constexpr int kRingEntries = 1000;  // the default channel_input_buffer_no
constexpr int kTsEntry = 1316;      // seven TS packets

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long context_switches() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_nvcsw + ru.ru_nivcsw;
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

enum class Mode { kWait, kPoll };

// Readers following one ring as outputs do: take every entry there is, and when caught up
// either sleep on the ring or, the classic way, sleep 1 to 3 ms and look again.
class ReaderPool {
 public:
  ReaderPool(RealBufferPtr ring, int count, Mode mode) : ring_(std::move(ring)) {
    threads_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) threads_.emplace_back([this, i, mode] { run(i, mode); });
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (started_.load() < count && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ReaderPool() {
    stop_.store(true);
    // A wake only reaches readers already asleep, so repeat it until all are out.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (running_.load() > 0 && Clock::now() < deadline) {
      ring_->wake_all();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& t : threads_) t.join();
  }
  uint64_t entries() const { return entries_.load(std::memory_order_relaxed); }
  uint64_t lapped() const { return lapped_.load(std::memory_order_relaxed); }

 private:
  void run(int index, Mode mode) {
    running_.fetch_add(1);
    RingReader r(ring_);
    r.seek_start_point();
    uint8_t buf[kx::kEntryBytes];
    uint64_t pending = 0;  // entries not yet added to the shared count
    started_.fetch_add(1);
    while (!stop_.load(std::memory_order_relaxed)) {
      int len = 0;
      const RingReader::Result res = r.next(buf, len);
      if (res == RingReader::kData) {
        benchmark::DoNotOptimize(buf[0]);
        if (++pending == 64) {
          entries_.fetch_add(pending, std::memory_order_relaxed);
          pending = 0;
        }
        continue;
      }
      if (res == RingReader::kLapped) {
        lapped_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      if (pending > 0) {
        entries_.fetch_add(pending, std::memory_order_relaxed);
        pending = 0;
      }
      if (mode == Mode::kWait) {
        r.wait(250);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + index % 3));
      }
    }
    entries_.fetch_add(pending, std::memory_order_relaxed);
    running_.fetch_sub(1);
  }

  RealBufferPtr ring_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
  std::atomic<int> started_{0}, running_{0};
  std::atomic<uint64_t> entries_{0}, lapped_{0};
};

// Commits of 1316-byte entries as fast as the writer can go, with N readers sleeping on
// the ring whenever they catch up.
void BM_Commit(benchmark::State& state) {
  const int readers = static_cast<int>(state.range(0));
  auto ring = std::make_shared<RealBuffer>(kRingEntries, 0);
  uint8_t payload[kTsEntry];
  std::memset(payload, 0x47, sizeof payload);
  ReaderPool pool(ring, readers, Mode::kWait);
  const uint64_t read0 = pool.entries(), lapped0 = pool.lapped();
  const auto t0 = Clock::now();
  for (auto _ : state) ring->commit(payload, kTsEntry);
  const double wall = seconds_since(t0);
  const uint64_t read = pool.entries() - read0;
  state.SetItemsProcessed(state.iterations());
  state.counters["reads/s"] = static_cast<double>(read) / wall;
  state.counters["lapped/s"] = static_cast<double>(pool.lapped() - lapped0) / wall;
  state.counters["reads/commit/reader"] =
      readers > 0 ? static_cast<double>(read) / static_cast<double>(state.iterations()) / readers
                  : 0.0;
}
BENCHMARK(BM_Commit)->ArgName("readers")->Arg(0)->Arg(1)->Arg(16)->Arg(256)
    ->UseRealTime()->MinTime(1.0);

// One RealBuffer::read of a 1316-byte entry (copy plus the two stamp checks).
void BM_Read(benchmark::State& state) {
  RealBuffer ring(kRingEntries, 0);
  uint8_t payload[kTsEntry];
  std::memset(payload, 0x47, sizeof payload);
  for (int i = 0; i < 3 * kRingEntries; ++i) ring.commit(payload, kTsEntry);
  const uint64_t first = ring.oldest(), end = ring.commits();
  uint8_t out[kx::kEntryBytes];
  uint64_t seq = first;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ring.read(seq, out));
    benchmark::ClobberMemory();
    if (++seq == end) seq = first;
  }
  state.SetBytesProcessed(state.iterations() * kTsEntry);
}
BENCHMARK(BM_Read);

// One RingReader::next of a 1328-byte RTP entry (read, then drop the 12-byte header).
void BM_NextRtp(benchmark::State& state) {
  auto ring = std::make_shared<RealBuffer>(kRingEntries, 0);
  uint8_t payload[kx::kRtpEntryBytes];
  std::memset(payload, 0x47, sizeof payload);
  for (int i = 0; i < kRingEntries - 1; ++i) ring->commit(payload, kx::kRtpEntryBytes);
  RingReader r(ring);
  r.seek_oldest();
  uint8_t out[kx::kEntryBytes];
  for (auto _ : state) {
    int len = 0;
    if (r.next(out, len) != RingReader::kData) {
      r.seek_oldest();
      r.next(out, len);
    }
    benchmark::DoNotOptimize(len);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * (kx::kRtpEntryBytes - kx::kRtpHeaderBytes));
}
BENCHMARK(BM_NextRtp);

// A plain copy of 1316 bytes, for scale.
void BM_Memcpy1316(benchmark::State& state) {
  uint8_t in[kTsEntry], out[kTsEntry];
  std::memset(in, 0x47, sizeof in);
  for (auto _ : state) {
    std::memcpy(out, in, sizeof in);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kTsEntry);
}
BENCHMARK(BM_Memcpy1316);

// 1000 caught-up readers on one 2 Mbit/s channel (about 190 entries of 1316 bytes a
// second) for a few seconds: process CPU time per second of wall time, for the writer
// alone, readers sleeping on the ring, and readers polling it every 1-3 ms.
void BM_IdleReaders(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));  // 0 writer alone, 1 wait, 2 poll
  constexpr int kReaders = 1000;
  constexpr int kPerSecond = 2000000 / 8 / kTsEntry;  // 190
  constexpr double kSeconds = 3.0;
  state.SetLabel(mode == 0 ? "writer only" : mode == 1 ? "wait_beyond" : "poll 1-3 ms");
  for (auto _ : state) {
    auto ring = std::make_shared<RealBuffer>(kRingEntries, 0);
    std::unique_ptr<ReaderPool> pool;
    if (mode > 0)
      pool = std::make_unique<ReaderPool>(ring, kReaders, mode == 1 ? Mode::kWait : Mode::kPoll);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      uint8_t payload[kTsEntry];
      std::memset(payload, 0x47, sizeof payload);
      const auto step = std::chrono::nanoseconds(1000000000 / kPerSecond);
      auto next = Clock::now();
      while (!stop.load()) {
        ring->commit(payload, kTsEntry);
        next += step;
        std::this_thread::sleep_until(next);
      }
    });
    // Let the readers settle at the live edge before measuring.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t commits0 = ring->commits();
    const uint64_t read0 = pool ? pool->entries() : 0;
    const long cs0 = context_switches();
    const double cpu0 = process_cpu_seconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    const double cpu = process_cpu_seconds() - cpu0;
    const double wall = seconds_since(t0);
    const long cs = context_switches() - cs0;
    const uint64_t commits = ring->commits() - commits0;
    const uint64_t read = pool ? pool->entries() - read0 : 0;
    stop.store(true);
    writer.join();
    pool.reset();
    state.counters["cpu_ms/s"] = cpu * 1000.0 / wall;
    state.counters["ctxsw/s"] = static_cast<double>(cs) / wall;
    state.counters["commits/s"] = static_cast<double>(commits) / wall;
    // 1 when every reader got every entry committed during the window.
    state.counters["delivered"] =
        mode > 0 ? static_cast<double>(read) / static_cast<double>(commits) / kReaders : 0.0;
  }
}
BENCHMARK(BM_IdleReaders)->ArgName("mode")->Arg(0)->Arg(1)->Arg(2)->Iterations(1)
    ->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
