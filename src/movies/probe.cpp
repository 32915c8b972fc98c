#include "movies/probe.h"

#include <cstdint>

#include "core/log.h"
#include "core/os/file.h"
#include "formats/flv_probe.h"
#include "formats/mp4_probe.h"

namespace kx {

namespace {

constexpr int kPacket = 188;
constexpr int64_t kMaxBackwardPackets = 1 << 20;  // bounds the search from the end
constexpr uint64_t kWrap = uint64_t{1} << 33;

// The PTS of a video or audio PES starting in this packet; false when there is none.
bool packet_pts(const uint8_t* p, uint64_t& pts) {
  const int pid = ((p[1] & 0x1F) << 8) | p[2];
  if (pid < 16 || pid > 8190 || (p[1] & 0x40) == 0) return false;
  int off = 4;
  if (p[3] & 0x20) off += 1 + p[4];
  if (off + 14 > kPacket) return false;
  const uint8_t* e = p + off;
  if (e[0] != 0 || e[1] != 0 || e[2] != 1 || (e[3] != 0xE0 && e[3] != 0xC0)) return false;
  if ((e[7] & 0x80) == 0) return false;  // no PTS
  const uint8_t* t = e + 9;
  pts = (uint64_t{(t[0] >> 1) & 7u} << 30) | (uint64_t{t[1]} << 22) | (static_cast<uint64_t>(t[2] >> 1) << 15) |
        (uint64_t{t[3]} << 7) | (t[4] >> 1);
  return true;
}

bool read_packet(File& f, int64_t pos, uint8_t* p) {
  return f.seek(pos) && f.read(p, kPacket) == kPacket;
}

bool has_ext(const std::string& path, std::initializer_list<const char*> exts) {
  for (const char* e : exts)
    if (path.find(e) != std::string::npos) return true;
  return false;
}

}  // namespace

int ts_bitrate(const std::string& path) {
  File f;
  if (!f.open(path, File::kRead)) {
    log_sys("[%s] open error", path.c_str());
    return 1000;
  }
  const int64_t size = f.size();
  if (size <= 0) {
    log_sys("[%s] size=[%lld]", path.c_str(), static_cast<long long>(size));
    return -1;
  }
  uint8_t p[kPacket];
  uint64_t t1 = 0, t2 = 0;
  int64_t pos = 0;
  bool found = false;
  for (; pos + kPacket <= size && !found; pos += kPacket) {
    if (!read_packet(f, pos, p)) return 1000;
    if (p[0] != 0x47) {
      log_sys("[%s] size=[%lld] is not TS format", path.c_str(), static_cast<long long>(size));
      return 1000;
    }
    found = packet_pts(p, t1);
  }
  if (!found) return 1000;
  const int64_t first_after = pos;
  bool second = false;
  for (int64_t k = 1; k <= kMaxBackwardPackets && !second; ++k) {
    const int64_t at = (size - k * kPacket) / kPacket * kPacket;
    if (at < first_after) break;
    if (!read_packet(f, at, p)) break;
    if (p[0] == 0x47) second = packet_pts(p, t2);
  }
  if (!second) return 1000;
  if (t2 < t1 && t1 - t2 > kWrap / 2) t2 += kWrap;  // the 33-bit clock wrapped in between
  if (t2 <= t1) return 1024;
  const int64_t ms = static_cast<int64_t>((t2 - t1) / 90);
  if (ms <= 0) return 1024;
  return static_cast<int>(size * 8 / ms);
}

int bitrate_by_extension(const std::string& path) {
  if (has_ext(path, {".mp4", ".MP4", ".mov", ".MOV", ".3gp", ".3GP", ".3g2", ".3G2"})) return mp4_kbitrate(path);
  if (has_ext(path, {".avi", ".mkv"})) return 1024;
  if (has_ext(path, {".ts"})) return ts_bitrate(path);
  if (has_ext(path, {".flv", ".FLV"})) {
    FlvFileInfo info;
    return flv_probe(path, info) ? static_cast<int>(info.datarate()) : 0;
  }
  return 1024;
}

int probe_kbitrate(const std::string& path) {
  const int kbps = bitrate_by_extension(path);
  return kbps > 0 ? kbps : -1;
}

}  // namespace kx
