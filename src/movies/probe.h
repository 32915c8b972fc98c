// The movie file probe.
#pragma once
#include <string>

namespace kx {

// The bit rate of a movie file in kbit/s; -1 when none can be found.
int probe_kbitrate(const std::string& path);

}  // namespace kx
