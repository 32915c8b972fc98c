// The configuration parser and writer on arbitrary text: no crash, and a save of what
// was loaded loads to the same values.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/config.h"
#include "core/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    kx::log_set_mode(kx::Sink::Admin, 0);
    return true;
  }();
  (void)quiet;
  kx::Config a = kx::Config::defaults();
  kx::parse_configuration(std::string(reinterpret_cast<const char*>(data), size), a);
  kx::Config b = kx::Config::defaults();
  kx::parse_configuration(kx::format_configuration(a), b);
  for (int i = 0; i < kx::kKeyCount; ++i) {
    bool same_f = a.v[i].f == b.v[i].f || (a.v[i].f != a.v[i].f && b.v[i].f != b.v[i].f);
    if (a.v[i].i != b.v[i].i || !same_f) std::abort();
  }
  if (a.sep1 != b.sep1 || a.sep2 != b.sep2 || a.restart_table.size() != b.restart_table.size())
    std::abort();
  return 0;
}
