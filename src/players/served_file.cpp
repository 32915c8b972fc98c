#include "players/served_file.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

namespace kx {

namespace {
bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }
}  // namespace

int resolve_request_file(const std::string& root, std::string_view name, std::string& out) {
  out.clear();
  if (name.empty() || name.size() > 1024) return 0;
  for (char c : name)
    if (c == '\0' || is_control(static_cast<unsigned char>(c))) return 0;
  char real_root[PATH_MAX];
  if (!::realpath(root.c_str(), real_root)) return 0;
  std::string joined = root + "/" + std::string(name);
  char real[PATH_MAX];
  if (!::realpath(joined.c_str(), real)) return 0;
  std::string prefix = real_root;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  const std::string resolved = real;
  if (resolved.compare(0, prefix.size(), prefix) != 0) return 0;
  struct stat st{};
  if (::stat(real, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  out = resolved;
  return 1;
}

}  // namespace kx
