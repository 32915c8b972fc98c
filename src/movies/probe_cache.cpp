#include "movies/probe_cache.h"

#include <cstdint>
#include <map>
#include <utility>

#include "core/os/file.h"
#include "core/os/sync.h"
#include "formats/flv_probe.h"
#include "formats/mp4_probe.h"
#include "movies/probe.h"

namespace kx {

namespace {

// A movie library is large but the files played at once are few: past this many entries
// the table starts again rather than growing without end.
constexpr std::size_t kMaxEntries = 4096;

enum class What : int { kMp4Seconds, kFlv, kKbit };

struct Entry {
  int64_t size = 0, mtime = 0;
  double a = 0, b = 0;
  bool ok = false;
};

Mutex g_lock;
std::map<std::pair<std::string, int>, Entry>& table() {
  static std::map<std::pair<std::string, int>, Entry> t;
  return t;
}

bool find(const std::string& path, What w, int64_t size, int64_t mtime, Entry& out) {
  Guard g(g_lock);
  auto it = table().find({path, static_cast<int>(w)});
  if (it == table().end() || it->second.size != size || it->second.mtime != mtime) return false;
  out = it->second;
  return true;
}

void keep(const std::string& path, What w, const Entry& e) {
  Guard g(g_lock);
  if (table().size() >= kMaxEntries) table().clear();
  table()[{path, static_cast<int>(w)}] = e;
}

// Looks the file up; probe fills a.b.ok on a miss. A file that cannot be queried is
// probed every time (the probe then logs why it cannot be read).
template <class Probe>
Entry lookup(const std::string& path, What w, Probe probe) {
  Entry e;
  int64_t size = 0, mtime = 0;
  const bool stamped = file_stamp(path, size, mtime);
  if (stamped && find(path, w, size, mtime, e)) return e;
  probe(e);
  e.size = size;
  e.mtime = mtime;
  // A file that changed while it was probed is not kept: the result may mix both.
  int64_t size2 = 0, mtime2 = 0;
  if (stamped && file_stamp(path, size2, mtime2) && size2 == size && mtime2 == mtime) keep(path, w, e);
  return e;
}

}  // namespace

double cached_mp4_duration(const std::string& path) {
  return lookup(path, What::kMp4Seconds, [&](Entry& e) { e.a = mp4_duration(path); }).a;
}

bool cached_flv_info(const std::string& path, double& seconds, double& kbit) {
  const Entry e = lookup(path, What::kFlv, [&](Entry& x) {
    FlvFileInfo info;
    x.ok = flv_probe(path, info) != 0;
    x.a = x.ok ? info.duration : 0.0;
    x.b = x.ok ? info.datarate() : 0.0;
  });
  seconds = e.a;
  kbit = e.b;
  return e.ok;
}

int cached_kbitrate(const std::string& path) {
  return static_cast<int>(lookup(path, What::kKbit, [&](Entry& e) { e.a = probe_kbitrate(path); }).a);
}

int probe_cache_size() {
  Guard g(g_lock);
  return static_cast<int>(table().size());
}

void probe_cache_clear() {
  Guard g(g_lock);
  table().clear();
}

}  // namespace kx
