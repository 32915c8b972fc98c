#include "ingest/ring.h"

#include "core/alloc.h"
#include "formats/ts_marks.h"

#include <chrono>
#include <cstring>

#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
// ThreadSanitizer does not model the two fences below and GCC says so. Every access they
// order is atomic, so it has no race to report either way; the torn-copy tests check them.
#pragma GCC diagnostic ignored "-Wtsan"
#endif

namespace kx {

namespace {

// The payload is copied word by word with relaxed atomic accesses: a reader may copy an
// entry while the writer rewrites it (it then sees the stamp change and drops the copy),
// and atomics make that overlap well defined.
void store_words(uint64_t* dst, const uint8_t* src, int len) {
  const int words = (len + 7) / 8;
  for (int i = 0; i < words; ++i) {
    uint64_t w = 0;
    const int take = (i + 1) * 8 <= len ? 8 : len - i * 8;
    std::memcpy(&w, src + i * 8, static_cast<std::size_t>(take));
    __atomic_store_n(&dst[i], w, __ATOMIC_RELAXED);
  }
}

void load_words(uint8_t* dst, const uint64_t* src, int len) {
  const int whole = len / 8;
  for (int i = 0; i < whole; ++i) {
    uint64_t w = __atomic_load_n(&src[i], __ATOMIC_RELAXED);
    std::memcpy(dst + i * 8, &w, 8);
  }
  if (len % 8) {
    uint64_t w = __atomic_load_n(&src[whole], __ATOMIC_RELAXED);
    std::memcpy(dst + whole * 8, &w, static_cast<std::size_t>(len % 8));
  }
}

constexpr uint64_t kWriting = ~uint64_t{0};

EntryMeta load_meta(const Real_Buffer_Entry& e) {
  EntryMeta m;
  m.keyframe_offset = e.nKeyframe_Offset.load(std::memory_order_relaxed);
  m.rtp_word = e.rtp_word.load(std::memory_order_relaxed);
  m.header_len = e.header_len.load(std::memory_order_relaxed);
  m.pat_pos = e.pat_pos.load(std::memory_order_relaxed);
  m.ra_pos = e.ra_pos.load(std::memory_order_relaxed);
  m.pcr = e.pcr.load(std::memory_order_relaxed);
  return m;
}

}  // namespace

RealBuffer::RealBuffer(int entries, int channel_index)
    : n_(entries < 2 ? 2 : entries),
      channel_index_(channel_index),
      entries_(new Real_Buffer_Entry[static_cast<std::size_t>(n_)]) {}

RealBufferPtr make_real_buffer(int64_t entries, int channel_index) {
  if (entries < 2) entries = 2;
  if (entries > kMaxRingEntries) return nullptr;
  if (!fits_in_memory(static_cast<uint64_t>(entries), sizeof(Real_Buffer_Entry))) return nullptr;
  try {
    return std::make_shared<RealBuffer>(static_cast<int>(entries), channel_index);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void RealBuffer::commit(const void* data, int len, const EntryMeta& meta) {
  if (len < 0) len = 0;
  if (len > kEntryBytes) len = kEntryBytes;
  const int header = meta.header_len > 0 && meta.header_len < len ? meta.header_len : 0;
  // Found before the entry is opened for writing, so readers never wait on the scan.
  const TsMarks marks = ts_entry_marks(static_cast<const uint8_t*>(data) + header, len - header);
  const uint64_t seq = commits_.load(std::memory_order_relaxed);
  Real_Buffer_Entry& e = entries_[seq % static_cast<uint64_t>(n_)];
  e.stamp.store(kWriting, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  store_words(e.data, static_cast<const uint8_t*>(data), len);
  e.nLength.store(len, std::memory_order_relaxed);
  e.nKeyframe_Offset.store(meta.keyframe_offset, std::memory_order_relaxed);
  e.rtp_word.store(meta.rtp_word, std::memory_order_relaxed);
  e.header_len.store(header, std::memory_order_relaxed);
  e.pat_pos.store(marks.pat_pos, std::memory_order_relaxed);
  e.ra_pos.store(marks.ra_pos, std::memory_order_relaxed);
  e.pcr.store(marks.pcr, std::memory_order_relaxed);
  const int wc = e.nWrite_Count.load(std::memory_order_relaxed);
  e.nWrite_Count.store(((wc + 1) % 65536) + 1, std::memory_order_relaxed);
  e.stamp.store(seq + 1, std::memory_order_release);
  // seq_cst on both sides (here and in wait_beyond) so a waiter that registered is
  // either seen here or sees this commit itself.
  commits_.store(seq + 1, std::memory_order_seq_cst);
  if (marks.ra_pos >= 0) ra_end_.store(seq + 1, std::memory_order_release);
  if (waiters_.load(std::memory_order_seq_cst) > 0) {
    std::lock_guard<std::mutex> l(wait_m_);  // pairs with the waiter's check under the lock
    wait_cv_.notify_all();
  }
}

uint64_t RealBuffer::oldest() const {
  const uint64_t c = commits();
  const uint64_t n = static_cast<uint64_t>(n_);
  return c < n ? 0 : c - n + 1;
}

int RealBuffer::head() const { return static_cast<int>(commits() % static_cast<uint64_t>(n_)); }

int RealBuffer::tail() const {
  const uint64_t c = commits();
  if (c < static_cast<uint64_t>(n_)) return 0;
  return static_cast<int>((c + 1) % static_cast<uint64_t>(n_));
}

int RealBuffer::filled() const { return (head() + n_ - tail()) % n_ + 1; }

int RealBuffer::read(uint64_t seq, uint8_t* out, EntryMeta* meta) const {
  if (seq >= commits()) return -1;
  const Real_Buffer_Entry& e = entries_[seq % static_cast<uint64_t>(n_)];
  if (e.stamp.load(std::memory_order_acquire) != seq + 1) return -1;
  int len = e.nLength.load(std::memory_order_relaxed);
  if (len < 0 || len > kEntryBytes) return -1;
  load_words(out, e.data, len);
  const EntryMeta m = load_meta(e);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (e.stamp.load(std::memory_order_relaxed) != seq + 1) return -1;  // lapped during the copy
  if (meta) *meta = m;
  return len;
}

const uint8_t* RealBuffer::view(uint64_t seq, int& len, EntryMeta* meta) const {
  if (seq >= commits()) return nullptr;
  const Real_Buffer_Entry& e = entries_[seq % static_cast<uint64_t>(n_)];
  if (e.stamp.load(std::memory_order_acquire) != seq + 1) return nullptr;
  const int n = e.nLength.load(std::memory_order_relaxed);
  const EntryMeta m = load_meta(e);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (e.stamp.load(std::memory_order_relaxed) != seq + 1) return nullptr;
  if (n < 0 || n > kEntryBytes) return nullptr;
  const int header = m.header_len > 0 && m.header_len < n ? m.header_len : 0;
  len = n - header;
  if (meta) *meta = m;
  return reinterpret_cast<const uint8_t*>(e.data) + header;
}

bool RealBuffer::intact(uint64_t seq) const {
  if (seq >= commits()) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return entries_[seq % static_cast<uint64_t>(n_)].stamp.load(std::memory_order_relaxed) == seq + 1;
}

bool RealBuffer::peek(uint64_t seq, EntryMeta& meta) const {
  if (seq >= commits()) return false;
  const Real_Buffer_Entry& e = entries_[seq % static_cast<uint64_t>(n_)];
  if (e.stamp.load(std::memory_order_acquire) != seq + 1) return false;
  const EntryMeta m = load_meta(e);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (e.stamp.load(std::memory_order_relaxed) != seq + 1) return false;
  meta = m;
  return true;
}

bool RealBuffer::wait_beyond(uint64_t seq, int timeout_ms) const {
  if (commits() > seq) return true;
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> l(wait_m_);
    const uint64_t wakes = wakes_;
    wait_cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] {
      return commits_.load(std::memory_order_seq_cst) > seq || wakes_ != wakes;
    });
  }
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
  return commits() > seq;
}

void RealBuffer::wake_all() const {
  std::lock_guard<std::mutex> l(wait_m_);
  ++wakes_;  // without it a woken waiter would find nothing new and sleep on
  wait_cv_.notify_all();
}

void RingReader::seek_start_point() {
  // One snapshot of the count: the writer may move on between two loads, and an oldest
  // taken after the count could lie beyond it. The filled span counts the head entry,
  // so the start is tail + filled / 4 as the logs and reports show it.
  const uint64_t c = ring_->commits();
  const uint64_t n = static_cast<uint64_t>(ring_->size());
  const uint64_t old = c < n ? 0 : c - n + 1;
  next_ = old + (c - old + 1) / 4;
}

void RingReader::seek_oldest() { next_ = ring_->oldest(); }

RingReader::Result RingReader::next(uint8_t* out, int& len, EntryMeta* meta) {
  for (;;) {
    if (next_ >= ring_->commits()) return kCaughtUp;
    if (next_ < ring_->oldest()) {
      seek_start_point();
      return kLapped;
    }
    EntryMeta m;
    int n = ring_->read(next_, out, &m);
    if (n < 0) {
      seek_start_point();
      return kLapped;
    }
    ++next_;
    if (meta) *meta = m;
    if (m.header_len > 0 && m.header_len < n) {
      std::memmove(out, out + m.header_len, static_cast<std::size_t>(n - m.header_len));
      n -= m.header_len;
    }
    if (n < 1) continue;  // an empty entry: skipped
    len = n;
    return kData;
  }
}

RingReader::Result RingReader::next_view(const uint8_t*& data, int& len, EntryMeta* meta) {
  for (;;) {
    if (next_ >= ring_->commits()) return kCaughtUp;
    int n = 0;
    const uint8_t* p = next_ < ring_->oldest() ? nullptr : ring_->view(next_, n, meta);
    if (p == nullptr) {
      seek_start_point();
      return kLapped;
    }
    ++next_;
    if (n < 1) continue;  // an empty entry: skipped
    data = p;
    len = n;
    return kData;
  }
}

}  // namespace kx
