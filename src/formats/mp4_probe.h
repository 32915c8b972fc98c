// Play length and bit rate of MP4/MOV/3GP files from the movie header ("mvhd"), which
// sits near the start of a file prepared for streaming and near the end otherwise.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

// The file is searched in blocks of this size: the first block, then blocks counted back
// from the end; neighbouring blocks overlap so a header across a boundary is still read.
constexpr int kMp4SearchBlock = 10240;
// The search never reads more than this much from each end: a header is near one of the
// ends of a real movie, and a file without one (an MPEG programme stream, a broken
// upload) must not be read whole before a HEAD is answered.
constexpr int64_t kMp4SearchSpan = int64_t{8} << 20;

// Seconds (duration / time scale); 0 when there is no movie header, its duration or time
// scale is 0, or the file cannot be read ("szFileName=[%s] Failed\n" when it cannot be opened).
double mp4_duration(const std::string& path);
// kbit/s: file size x 8 / (duration x 1000); 0 when the duration is 0.
int mp4_kbitrate(const std::string& path);

// The same over a whole file held in memory.
double mp4_duration_mem(const uint8_t* data, size_t size);
int mp4_kbitrate_mem(const uint8_t* data, size_t size);

}  // namespace kx
