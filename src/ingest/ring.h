// The Real Buffer: a channel's ring of recent media, written by the channel's input thread
// and read, without locks, by every output with its own position.
//
// Each commit gets a 64-bit sequence number. An entry is stamped with the sequence it
// holds; a reader copies an entry and checks the stamp again after the copy, so a reader
// that the writer lapped during its copy notices and starts again instead of sending
// overwritten data. The classic head and tail indexes are views of the commit count.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kx {

inline constexpr int kEntryBytes = 2048;
inline constexpr int kRtpEntryBytes = 1328;  // the largest RTP packet an entry holds
inline constexpr int kRtpHeaderBytes = 12;

struct Real_Buffer_Entry {
  std::atomic<uint64_t> stamp{0};  // sequence + 1 of the commit held; 0 never written
  std::atomic<int> nLength{0};
  std::atomic<int> nWrite_Count{0};
  std::atomic<int> nKeyframe_Offset{-1};
  std::atomic<uint32_t> rtp_word{0};
  std::atomic<int> header_len{0};  // leading bytes readers leave out (an RTP header)
  std::atomic<int> pat_pos{-1};    // the writer's marks (see EntryMeta)
  std::atomic<int> ra_pos{-1};
  std::atomic<int64_t> pcr{-1};
  // Payload, written and read only word by word with relaxed atomics (see ring.cpp).
  alignas(64) uint64_t data[kEntryBytes / 8];
};

// What a commit carries besides its bytes.
struct EntryMeta {
  int keyframe_offset = -1;  // RTMP sources: where a video keyframe message starts
  uint32_t rtp_word = 0;     // RTP sources: the first four bytes of the packet
  // Leading bytes that are not payload: kRtpHeaderBytes for an entry holding a whole RTP
  // packet, else 0. Said by the writer, never guessed from the length: an FLV slot or a
  // flush of raw bytes may be exactly as long as an RTP packet.
  int header_len = 0;
  // Set by the ring at commit, whatever the writer passes: the payload offset (after
  // header_len) of the first packet starting a PAT, and of the first packet starting a
  // random-access video picture; -1 when the entry has none.
  int pat_pos = -1;
  int ra_pos = -1;
  // Also set at commit: the payload's first PCR (27 MHz), -1 when it has none; pacing
  // readers take it from here instead of scanning the bytes.
  int64_t pcr = -1;
};

class RealBuffer {
 public:
  RealBuffer(int entries, int channel_index);
  RealBuffer(const RealBuffer&) = delete;
  RealBuffer& operator=(const RealBuffer&) = delete;

  int size() const { return n_; }
  int channel_index() const { return channel_index_; }

  // Writer side (the channel's input thread only). len 0 commits an empty entry, which
  // readers skip; len is clamped to kEntryBytes.
  void commit(const void* data, int len, const EntryMeta& meta = {});

  // The number of commits so far; entry seq lives at index seq % size().
  uint64_t commits() const { return commits_.load(std::memory_order_acquire); }
  // The oldest sequence a reader may still take (the head entry is the next overwritten).
  uint64_t oldest() const;

  // The traditional views: the entry written next, the oldest safe entry, the filled span
  // ((head + N - tail) mod N + 1) and whether anything was committed.
  int head() const;
  int tail() const;
  int filled() const;
  bool has_data() const { return commits() > 0; }

  // Copies entry seq into out (cap bytes at least kEntryBytes). Returns the length, or -1
  // when seq is not (or no longer) held: not yet committed, or overwritten.
  int read(uint64_t seq, uint8_t* out, EntryMeta* meta = nullptr) const;

  // The payload of entry seq (after its header) in place, for a reader that hands the
  // bytes to the kernel instead of copying them; null when seq is not (or no longer)
  // held. The writer may rewrite them at any time after: the reader checks intact(seq)
  // once the kernel has taken them and treats a false as a lap.
  const uint8_t* view(uint64_t seq, int& len, EntryMeta* meta = nullptr) const;
  // True while entry seq is held and neither overwritten nor being overwritten. The
  // writer overwrites in sequence order, so an intact entry means every later one still
  // held is intact too.
  bool intact(uint64_t seq) const;

  // One past the sequence of the newest entry marked random access; 0 when none was ever
  // committed (a stream without such marks: radio, other codecs).
  uint64_t random_access_end() const { return ra_end_.load(std::memory_order_acquire); }

  // The metadata of entry seq without its payload; false when seq is not (or no longer)
  // held. Start-point searches walk the marks with this.
  bool peek(uint64_t seq, EntryMeta& meta) const;

  // Waits up to timeout_ms until commits() > seq, or until wake_all; true when
  // commits() > seq.
  bool wait_beyond(uint64_t seq, int timeout_ms) const;
  // Wakes every waiter now sleeping (a branch ending, a stop); a waiter that has not
  // gone to sleep yet is not affected, so waiters check their state and use timeouts.
  void wake_all() const;

 private:
  const int n_;
  const int channel_index_;
  std::unique_ptr<Real_Buffer_Entry[]> entries_;
  std::atomic<uint64_t> commits_{0};
  std::atomic<uint64_t> ra_end_{0};
  mutable std::mutex wait_m_;
  mutable std::condition_variable wait_cv_;
  mutable std::atomic<int> waiters_{0};
  mutable uint64_t wakes_ = 0;  // wake_all calls so far, under wait_m_
};

using RealBufferPtr = std::shared_ptr<RealBuffer>;

// The most entries a ring may have: a channel's FLV ring holds three times the channel's
// count, and every index and span stays an int.
inline constexpr int64_t kMaxRingEntries = INT32_MAX / 3;

// A ring of entries (at least 2) for a channel, or nullptr when its memory cannot be had:
// more than kMaxRingEntries, more than the machine's memory, or an allocation that
// failed. Nothing throws; the caller logs and ends its branch.
RealBufferPtr make_real_buffer(int64_t entries, int channel_index);

// One reader's position in a ring: every output reads through one of these.
class RingReader {
 public:
  explicit RingReader(RealBufferPtr ring) : ring_(std::move(ring)) {}
  const RealBufferPtr& ring() const { return ring_; }

  // A quarter of the filled span after the oldest entry.
  void seek_start_point();
  // The oldest entry (the first player of an on-demand channel after a resume).
  void seek_oldest();
  void seek(uint64_t seq) { next_ = seq; }
  uint64_t position() const { return next_; }

  enum Result { kData, kCaughtUp, kLapped };
  // The next non-empty entry: its payload (without the header its writer declared)
  // into out, its length into len. kCaughtUp when there is nothing new; kLapped when the
  // writer overwrote the entry the reader needed (the reader then stands at the start
  // point again, and the caller must resynchronise, e.g. find a PAT).
  Result next(uint8_t* out, int& len, EntryMeta* meta = nullptr);
  // The same, without the copy: data points into the ring (see RealBuffer::view).
  Result next_view(const uint8_t*& data, int& len, EntryMeta* meta = nullptr);
  // Waits for new data, up to timeout_ms.
  bool wait(int timeout_ms) const { return ring_->wait_beyond(next_, timeout_ms); }

 private:
  RealBufferPtr ring_;
  uint64_t next_ = 0;
};

}  // namespace kx
