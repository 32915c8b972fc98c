#include <sys/random.h>

#include <cerrno>

#include "core/os/random.h"

namespace kx {

bool random_bytes(void* buf, std::size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t n = ::getrandom(p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

uint64_t random_below(uint64_t bound) {
  if (bound <= 1) return 0;
  uint64_t limit = UINT64_MAX - (UINT64_MAX % bound);  // reject the uneven top
  for (;;) {
    uint64_t v = 0;
    random_bytes(&v, sizeof v);
    if (v < limit) return v % bound;
  }
}

}  // namespace kx
