// The movie file probe: bit rates and durations estimated from a file's contents, by the
// file name's extension.
#pragma once
#include <string>

namespace kx {

// Transport streams: from the first PES time stamp near the start and the last one near
// the end. 1000 when the file cannot be opened, is not a transport stream or yields no
// second time stamp; 1024 when the second is not after the first; -1 for an empty file.
int ts_bitrate(const std::string& path);

// kbit/s by extension: MP4 family by its mvhd, TS by ts_bitrate, FLV by its onMetaData,
// AVI/MKV and anything else 1024.
int bitrate_by_extension(const std::string& path);

// The bit rate of a movie file in kbit/s; -1 when none can be found.
int probe_kbitrate(const std::string& path);

}  // namespace kx
