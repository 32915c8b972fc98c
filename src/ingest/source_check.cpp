#include "ingest/source_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <string_view>

#include "catalogue/channels.h"
#include "catalogue/store_file.h"
#include "core/log.h"
#include "net/socket.h"

namespace kx {

namespace {

constexpr std::size_t kPathMax = 511;
constexpr std::size_t kCredentialsMax = 127;
constexpr int kUdpBufferSize = 1024;
constexpr int kPlaylistInputFormat = 12;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (lower(s[i]) != prefix[i]) return false;
  }
  return true;
}

bool contains_ci(std::string_view s, std::string_view what) {
  if (what.size() > s.size()) return false;
  for (std::size_t i = 0; i + what.size() <= s.size(); ++i) {
    if (starts_with_ci(s.substr(i), what)) return true;
  }
  return false;
}

// A port written as decimal digits with a value in 1-65535; 0 otherwise.
int parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v <= 65535 ? v : 0;
}

std::string port_note(int substitute) {
  return "Port No is not 0 ~ 9 and set it to " + std::to_string(substitute);
}

void set_host(Source_URL_Info& out, std::string_view host) {
  out.host = std::string(host);
  if (is_ipv4_text(host)) out.ip = out.host;
}

// "rtp://" and "udp://" after the prefix: [anything "@"] [address] [":"] port, with
// options after "?" and anything after "/" ignored.
int classify_datagram(std::string_view rest, int group_type, int port_type,
                      Source_URL_Info& out, std::string& note) {
  rest = rest.substr(0, rest.find_first_of("?/"));
  const std::size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest = rest.substr(at + 1);
  std::string_view port_text = rest;
  const std::size_t colon = rest.find(':');
  out.type = port_type;
  if (colon != std::string_view::npos) {
    port_text = rest.substr(colon + 1);
    const std::string_view address = rest.substr(0, colon);
    if (!address.empty()) {
      out.type = group_type;
      set_host(out, address);
    }
  }
  out.port = parse_port(port_text);
  if (out.port == 0) note = port_note(0);  // never opened: not a usable source
  out.buffer_size = kUdpBufferSize;
  return kFormNetwork;
}

// Host-based URLs after the prefix: [user:pass "@"] host [":" port] ["/" path]. The host
// part ends at the first "/" or "?"; a "?" right after it stays in the path.
int classify_hosted(std::string_view rest, int type, int default_port, Source_URL_Info& out,
                    std::string& note) {
  const std::size_t end = rest.find_first_of("/?");
  std::string_view hostpart = rest.substr(0, end);
  std::string_view path;
  if (end != std::string_view::npos) path = rest.substr(rest[end] == '/' ? end + 1 : end);

  const std::size_t at = hostpart.rfind('@');
  if (at != std::string_view::npos) {
    out.credentials = cut(hostpart.substr(0, at), kCredentialsMax);
    hostpart = hostpart.substr(at + 1);
  }
  std::string_view host = hostpart;
  out.port = default_port;
  const std::size_t colon = hostpart.find(':');
  if (colon != std::string_view::npos) {
    host = hostpart.substr(0, colon);
    out.port = parse_port(hostpart.substr(colon + 1));
    if (out.port == 0) {
      out.port = default_port;
      note = port_note(default_port);
    }
  }
  if (host.empty()) {
    out = Source_URL_Info{};
    note.clear();
    return kFormRefused;
  }
  set_host(out, host);
  out.path = cut(path, kPathMax);
  out.type = type;
  return kFormNetwork;
}

// A folder that exists and can be listed; relative names count from the working folder.
bool folder_present(const std::string& folder) {
  std::string dir = folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return false;
  dir = work_file(dir);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  ::closedir(d);
  return true;
}

void store_slot(Channel_Info& ch, int slot, Source_URL_Info info) {
  std::lock_guard<std::mutex> l(ch.rt.src_lock);
  ch.rt.src[static_cast<std::size_t>(slot)] = std::move(info);
}

}  // namespace

int classify_source_url(const std::string& url, Source_URL_Info& out, std::string& note) {
  out = Source_URL_Info{};
  note.clear();
  const std::string_view u = url;
  static constexpr std::string_view kPlaylist = "playlist://", kDir = "dir://",
                                    kRtp = "rtp://", kUdp = "udp://", kHttp = "http://",
                                    kRtmp = "rtmp://", kEncoder = "rtmpencoder",
                                    kRtsp = "rtsp://";
  if (starts_with_ci(u, kPlaylist) || starts_with_ci(u, kDir)) {
    const bool playlist = starts_with_ci(u, kPlaylist);
    out.type = kSrcLocal;
    out.path = cut(u.substr(playlist ? kPlaylist.size() : kDir.size()), kPathMax);
    return playlist ? kFormPlaylist : kFormFolder;
  }
  if (starts_with_ci(u, kRtp))
    return classify_datagram(u.substr(kRtp.size()), kSrcRtpMulticast, kSrcRtpPort, out, note);
  if (starts_with_ci(u, kUdp))
    return classify_datagram(u.substr(kUdp.size()), kSrcUdpMulticast, kSrcUdpPort, out, note);
  if (starts_with_ci(u, kHttp)) {
    const int form = classify_hosted(u.substr(kHttp.size()), kSrcHttp, 80, out, note);
    if (form != kFormNetwork) return form;
    // A playlist wins over the relay form: its entries are what gets read.
    if (u.find("/udp/") != std::string_view::npos) out.type = kSrcHttpUdpRelay;
    if (contains_ci(out.path, "m3u")) out.type = kSrcHls;
    return form;
  }
  if (starts_with_ci(u, kRtmp)) return classify_hosted(u.substr(kRtmp.size()), kSrcRtmp, 1935, out, note);
  if (starts_with_ci(u, kEncoder)) {
    out.type = kSrcRtmpEncoder;
    return kFormNetwork;
  }
  if (starts_with_ci(u, kRtsp)) return classify_hosted(u.substr(kRtsp.size()), kSrcRtsp, 554, out, note);
  return kFormRefused;
}

bool source_record_usable(const Source_URL_Info& s) {
  switch (s.type) {
    case kSrcRtpMulticast:
    case kSrcRtpPort:
    case kSrcUdpMulticast:
    case kSrcUdpPort:
      return s.port >= 1 && s.port <= 65535;
    case kSrcRtmpEncoder:
      return true;
    default:
      return s.type > 0 && !s.host.empty() && s.port >= 1 && s.port <= 65535;
  }
}

int source_url_check(Channel_Info& ch, const std::string& url, int slot) {
  if (slot < 0 || slot >= kChannelSources) return 0;
  ChannelRuntime& rt = ch.rt;
  const int no = ch.def.nChannel_No;
  const bool first = slot == 0;
  rt.tStart_Time.store(channel_catalogue_load_time());

  Source_URL_Info info;
  std::string note;
  const int form = classify_source_url(url, info, note);
  if (!note.empty()) log_sys("CH [%d] %s\n", no, note.c_str());

  switch (form) {
    case kFormPlaylist: {
      const std::string folder = info.path;
      store_slot(ch, slot, std::move(info));
      if (!first) return 1;
      rt.has_sources = true;
      rt.nInput_Format.store(kPlaylistInputFormat);
      if (folder_present(folder)) {
        rt.nSource_Valid.store(1);
      } else {
        rt.nSource_Valid.store(0);
        rt.nChannel_Status.store(kStatusOff);
        log_sys("CH[%d] Media Source not Found [%s]\n", no, url.c_str());
        log_sys("please create [%s] in folder\n", folder.c_str());
      }
      return 1;
    }
    case kFormFolder: {
      const std::string folder = info.path;
      store_slot(ch, slot, std::move(info));
      if (!first) return 1;
      rt.has_sources = true;
      const int files = build_folder_list(ch.def, folder);
      rt.nSource_Valid.store(files);
      if (files == 0) {
        rt.nChannel_Status.store(kStatusOff);
        log_sys("CH[%d] Media Source not Found [%s]\n", no, url.c_str());
        log_sys("please create [%s] in media/videos/ folder\n", folder.c_str());
      } else {
        rt.nChannel_Status.store(kStatusOn);
        log_sys("CH[%d] total time is [%lld]\n", no,
                static_cast<long long>(ch.def.folder_play_seconds));
      }
      return 1;
    }
    case kFormNetwork: {
      const bool usable = source_record_usable(info);
      store_slot(ch, slot, std::move(info));
      if (first) {
        rt.has_sources = true;
        rt.nSource_Valid.store(usable ? 1 : 0);
      }
      return 1;
    }
    default:
      if (first) rt.nSource_Valid.store(0);
      return 0;
  }
}

}  // namespace kx
