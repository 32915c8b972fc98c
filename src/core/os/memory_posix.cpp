#include <unistd.h>

#include "core/os/memory.h"

namespace kx {

uint64_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  const uint64_t p = static_cast<uint64_t>(pages), s = static_cast<uint64_t>(page);
  return p > UINT64_MAX / s ? UINT64_MAX : p * s;
}

}  // namespace kx
