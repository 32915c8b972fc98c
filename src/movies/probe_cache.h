// Probe results kept per file, so a HEAD and the data thread that follows it (and every
// later player of the same movie) do not read the file again. An entry holds while the
// file's size and modification time are what they were when it was probed.
#pragma once
#include <string>

namespace kx {

// Play length in seconds of an MP4-family (or MPEG) file, from its movie header.
double cached_mp4_duration(const std::string& path);
// Play length in seconds and data rate in kbit/s of an FLV file, from its onMetaData;
// false (both 0) when it has none.
bool cached_flv_info(const std::string& path, double& seconds, double& kbit);
// probe_kbitrate, kept the same way.
int cached_kbitrate(const std::string& path);

// Entries held now, and a way to forget them all (tests).
int probe_cache_size();
void probe_cache_clear();

}  // namespace kx
