#include "movies/probe.h"

namespace kx {

int probe_kbitrate(const std::string& path) {
  (void)path;
  return -1;
}

}  // namespace kx
