#include "ingest/source_check.h"

#include "catalogue/channels.h"
#include "core/log.h"

namespace kx {

int source_url_check(Channel_Info& ch, const std::string& url, int slot) {
  if (url.empty() || slot < 0 || slot >= kChannelSources) return 0;
  static constexpr std::string_view kDir = "dir://";
  if (slot == 0 && url.compare(0, kDir.size(), kDir) == 0) {
    const std::string folder = url.substr(kDir.size());
    if (build_folder_list(ch.def, folder) == 0) {
      log_sys("CH[%d] Media Source not Found [%s]\n", ch.def.nChannel_No, url.c_str());
      log_sys("please create [%s] in media/videos/ folder\n", folder.c_str());
    } else {
      log_sys("CH[%d] total time is [%lld]\n", ch.def.nChannel_No,
              static_cast<long long>(ch.def.folder_play_seconds));
    }
  }
  return 1;
}

}  // namespace kx
