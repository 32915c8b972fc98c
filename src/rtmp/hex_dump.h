// A diagnostic view of protocol bytes for the log: hex text only, so nothing a peer sends
// can shape a log line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

inline constexpr std::size_t kRtmpHexDumpMax = 1000;

// The first kRtmpHexDumpMax bytes at most, 16 per line, each as "%02x ", every line ending
// in "\n".
std::string rtmp_hex_dump(const uint8_t* p, std::size_t n);

}  // namespace kx
