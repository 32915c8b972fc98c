// The group file reader and writer on arbitrary text: no crash, every value within its
// field, and what was read is written so that it reads back the same. The editing checks
// on the same text: an accepted channel list holds only channel numbers.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/groups.h"
#include "core/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  kx::GroupTable a;
  for (auto& g : kx::parse_groups(text)) {
    if (g.name.size() > kx::kGroupNameMax) std::abort();
    a.list.push_back(std::make_shared<const kx::Group>(std::move(g)));
  }
  const std::vector<kx::Group> b = kx::parse_groups(kx::format_groups(a));
  if (b.size() != a.list.size()) std::abort();
  for (std::size_t i = 0; i < b.size(); ++i) {
    const kx::Group& x = *a.list[i];
    if (x.name != b[i].name || x.connection != b[i].connection || x.channels != b[i].channels)
      std::abort();
  }
  (void)kx::group_list_text(a);

  std::vector<int> channels;
  if (kx::parse_channel_text(text, channels)) {
    if (channels.empty()) std::abort();
    const bool all = channels.size() == 1 && channels[0] == 0;
    for (const int n : channels) {
      if (!all && (n < 1 || n > kx::kGroupChannelMax)) std::abort();
    }
  }
  int connection = 0;
  (void)kx::parse_connection_text(text, connection);
  return 0;
}
