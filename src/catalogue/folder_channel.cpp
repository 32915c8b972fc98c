// Folder channels: a folder's files played in a loop, scheduled from the catalogue load.

#include <algorithm>
#include <atomic>
#include <mutex>

#include "catalogue/channels.h"
#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/time.h"

namespace kx {

namespace {

// A folder with more files than this is cut: the list is walked on every play request.
constexpr std::size_t kFolderMaxFiles = 10000;
constexpr int64_t kTsPacket = 188;

std::mutex g_probe_mutex;
std::function<int(const std::string&)> g_probe;
std::atomic<int (*)(const std::string&)> g_standing_probe{nullptr};

int probe(const std::string& path) {
  std::function<int(const std::string&)> p;
  {
    std::lock_guard<std::mutex> g(g_probe_mutex);
    p = g_probe;
  }
  if (p) return p(path);
  int (*standing)(const std::string&) = g_standing_probe.load();
  return standing ? standing(path) : -1;
}

bool ends_with(const std::string& s, std::string_view e) {
  return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
}

int input_format_of(const std::string& path) {
  if (ends_with(path, ".mp4")) return kInputMp4File;
  if (ends_with(path, ".flv")) return kInputFlvFile;
  return kInputTsFile;
}

}  // namespace

void set_standing_folder_probe(int (*p)(const std::string&)) { g_standing_probe.store(p); }

void set_folder_probe(std::function<int(const std::string&)> p) {
  std::lock_guard<std::mutex> g(g_probe_mutex);
  g_probe = std::move(p);
}

int build_folder_list(ChannelDef& def, const std::string& folder) {
  def.folder.clear();
  def.folder_play_seconds = 0;
  std::string dir = folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return 0;
  dir = work_file(dir);

  std::vector<std::string> names;
  if (!list_dir(dir, names)) return 0;
  std::sort(names.begin(), names.end());  // byte order: the folder part is the same for all
  for (const auto& n : names) {
    FolderFile f;
    f.path = dir + "/" + n;
    if (!regular_file(f.path, f.size)) continue;
    if (def.folder.size() >= kFolderMaxFiles) {
      log_sys("CH[%d] folder [%s] has more than %d files; the rest are left out\n",
              def.nChannel_No, dir.c_str(), static_cast<int>(kFolderMaxFiles));
      break;
    }
    def.folder.push_back(std::move(f));
  }

  for (auto& f : def.folder) {
    f.kbitrate = probe(f.path);
    if (f.kbitrate <= 0) {
      f.delay_us = 0;
      f.play_seconds = 0;
    } else {
      f.delay_us = 10528000 / f.kbitrate;
      f.play_seconds = f.size / (static_cast<int64_t>(f.kbitrate) * 128);  // size*8 / (b*1024)
    }
    def.folder_play_seconds += f.play_seconds;
    log_sys("VIdeo file[%s] bitrate=[%dK] size=[%lld] sleeptime=[%ld]\n", f.path.c_str(),
            f.kbitrate, static_cast<long long>(f.size), static_cast<long>(f.delay_us));
  }
  if (!def.folder.empty()) def.folder_input_format = input_format_of(def.folder.back().path);
  return static_cast<int>(def.folder.size());
}

int folder_channel_position(const ChannelDef& def, int64_t now, int64_t load_time,
                            FolderPosition& out) {
  out = FolderPosition{};
  const int64_t total = def.folder_play_seconds;
  if (total <= 0 || def.folder.empty()) return 0;
  int64_t t = (now - load_time) % total;
  if (t < 0) t += total;  // a clock set back before the load
  for (std::size_t i = 0; i < def.folder.size(); ++i) {
    t -= def.folder[i].play_seconds;
    if (t >= 0) continue;
    const FolderFile& f = def.folder[i];
    const int b = probe(f.path);
    if (b <= 0) return 0;
    int64_t offset = f.size - (-t) * static_cast<int64_t>(b) * 128;
    if (offset < 0) offset = 0;
    offset -= offset % kTsPacket;
    if (!out.file.open(f.path, File::kRead) || !out.file.seek(offset)) {
      out = FolderPosition{};
      return 0;
    }
    out.path = f.path;
    out.index = i;
    out.remaining = -t;
    out.offset = offset;
    out.kbitrate = b;
    return 1;
  }
  return 0;
}

int folder_channel_position(const ChannelDef& def, FolderPosition& out) {
  return folder_channel_position(def, wall_seconds(), channel_catalogue_load_time(), out);
}

}  // namespace kx
