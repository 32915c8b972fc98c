#include "formats/mp4_probe.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "core/log.h"
#include "core/os/file.h"

namespace kx {

namespace {

// Bytes read past each block: enough for a whole movie header whose size field starts
// in the block (size, type, version and flags, two 64-bit times, time scale, 64-bit duration).
constexpr int kOverlap = 64;
constexpr int kBlockRead = kMp4SearchBlock + kOverlap;

uint32_t get32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint64_t get64(const uint8_t* p) { return (static_cast<uint64_t>(get32(p)) << 32) | get32(p + 4); }

class Source {
 public:
  virtual ~Source() = default;
  // Up to n bytes at off; the count read, -1 on error.
  virtual int read(int64_t off, uint8_t* buf, int n) = 0;
};

class MemorySource : public Source {
 public:
  MemorySource(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  int read(int64_t off, uint8_t* buf, int n) override {
    if (off < 0 || static_cast<uint64_t>(off) >= n_) return 0;
    size_t left = n_ - static_cast<size_t>(off);
    size_t take = static_cast<size_t>(n) < left ? static_cast<size_t>(n) : left;
    std::memcpy(buf, p_ + off, take);
    return static_cast<int>(take);
  }
 private:
  const uint8_t* p_;
  size_t n_;
};

class FileSource : public Source {
 public:
  explicit FileSource(File& f) : f_(f) {}
  int read(int64_t off, uint8_t* buf, int n) override {
    if (!f_.seek(off)) return -1;
    int got = 0;
    // Short reads are continued; the count is bounded by n.
    while (got < n) {
      int64_t r = f_.read(buf + got, static_cast<size_t>(n - got));
      if (r < 0) return -1;
      if (r == 0) break;
      got += static_cast<int>(r);
    }
    return got;
  }
 private:
  File& f_;
};

// Looks for a movie header in buf[0, got). A "mvhd" type counts only with a plausible
// box around it (version 0 or 1, flags 0, a size that holds its fixed fields).
bool scan(const uint8_t* buf, int got, double& seconds) {
  for (int i = 4; i + 4 <= got; ++i) {
    if (buf[i] != 'm' || buf[i + 1] != 'v' || buf[i + 2] != 'h' || buf[i + 3] != 'd') continue;
    uint32_t box = get32(buf + i - 4);
    const uint8_t* f = buf + i + 4;  // version and flags
    int left = got - (i + 4);
    if (left < 4 || f[1] != 0 || f[2] != 0 || f[3] != 0) continue;
    uint32_t scale;
    uint64_t duration;
    if (f[0] == 0) {
      if (left < 4 + 16 || box < 108) continue;
      scale = get32(f + 12);
      duration = get32(f + 16);
      if (duration == 0xFFFFFFFFu) duration = 0;  // unknown
    } else if (f[0] == 1) {
      if (left < 4 + 28 || box < 120) continue;
      scale = get32(f + 20);
      duration = get64(f + 24);
      if (duration == ~uint64_t{0}) duration = 0;
    } else {
      continue;
    }
    seconds = (scale == 0 || duration == 0) ? 0.0 : static_cast<double>(duration) / scale;
    return true;
  }
  return false;
}

double search(Source& src, int64_t size) {
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kBlockRead]);
  if (!block) {
    log_admin("Memory failed\n");
    return 0;
  }
  double seconds = 0;
  auto look = [&](int64_t off) {
    int got = src.read(off, block.get(), kBlockRead);
    return got > 0 && scan(block.get(), got, seconds);
  };
  if (size <= 0) return 0;
  if (look(0) || size <= kMp4SearchBlock) return seconds;
  // From the end back towards the first block, over the last kMp4SearchSpan bytes. Each
  // block starts kMp4SearchBlock before the previous one and reads kOverlap bytes into
  // it, so every box start is in a block.
  const int64_t tail_floor = size > kMp4SearchSpan ? size - kMp4SearchSpan : 0;
  int64_t off = size - kMp4SearchBlock;
  for (; off > 0 && off + kMp4SearchBlock > tail_floor; off -= kMp4SearchBlock) {
    if (look(off)) return seconds;
    if (off <= kMp4SearchBlock) return 0;  // the first block covered the rest
  }
  // Then forward from the first block over the first kMp4SearchSpan bytes, short of
  // what the backward walk already read.
  const int64_t head_end = std::min(kMp4SearchSpan, off + kMp4SearchBlock);
  for (int64_t fwd = kMp4SearchBlock; fwd < head_end; fwd += kMp4SearchBlock)
    if (look(fwd)) return seconds;
  return 0;
}

int kbitrate(int64_t size, double seconds) {
  if (seconds <= 0 || size <= 0) return 0;
  double k = static_cast<double>(size) * 8.0 / (seconds * 1000.0);
  return k >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(k);
}

// Duration and size of a file; false when it cannot be opened.
bool probe_file(const std::string& path, double& seconds, int64_t& size) {
  seconds = 0;
  size = 0;
  File f;
  if (!f.open(path, File::kRead)) {
    log_admin("szFileName=[%s] Failed\n", path.c_str());
    return false;
  }
  size = f.size();
  if (size <= 0) return true;
  FileSource src(f);
  seconds = search(src, size);
  return true;
}

}  // namespace

double mp4_duration(const std::string& path) {
  double seconds;
  int64_t size;
  probe_file(path, seconds, size);
  return seconds;
}

int mp4_kbitrate(const std::string& path) {
  double seconds;
  int64_t size;
  if (!probe_file(path, seconds, size)) return 0;
  return kbitrate(size, seconds);
}

double mp4_duration_mem(const uint8_t* data, size_t size) {
  if (!data || size == 0) return 0;
  MemorySource src(data, size);
  return search(src, static_cast<int64_t>(size));
}

int mp4_kbitrate_mem(const uint8_t* data, size_t size) {
  return kbitrate(static_cast<int64_t>(size), mp4_duration_mem(data, size));
}

}  // namespace kx
