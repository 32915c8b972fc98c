// Play length and data rate of an FLV file from its onMetaData script tag.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

struct FlvFileInfo {
  double duration = 0;                            // seconds
  double videodatarate = 0, audiodatarate = 0;    // kbit/s
  double datarate() const { return videodatarate + audiodatarate; }
};

// Bytes of a script tag the probe reads at most; metadata beyond it (long keyframe
// tables) is not needed for these three values when they come first, as they do.
constexpr int kFlvProbeMaxScript = 65536;

// Reads "duration", "videodatarate" and "audiodatarate" from the first onMetaData tag
// (an object or ECMA array; absent values stay 0). 1 when the file is an FLV with such a
// tag, 0 otherwise; an unreadable file logs "Failed".
int flv_probe(const std::string& path, FlvFileInfo& info);

// The same over the first bytes of a file held in memory.
int flv_probe_mem(const uint8_t* data, size_t size, FlvFileInfo& info);

}  // namespace kx
