// The server-wide connection count and stream admission shared by the HTTP, RTMP and
// RTSP servers.
#pragma once

namespace kx {

enum AdmitResult : int {
  kAdmitGranted = 0,
  kAdmitLimit = 10001,
  kAdmitEdgesBusy = 10002,
  kAdmitEncoding = 10003,
  kAdmitRedirect = 20001,
};

// Takes a slot when the count is below max_video_streaming_no (one step under the lock).
// caller is "HTTP", "RTMP" or "RTSP"; server_index receives the load-balancer server for
// a redirect.
int admit_stream(const char* caller, int& server_index);
// Gives a slot back; a release without a slot is logged, never counted below 0.
void release_stream(const char* caller);
int active_streams();

}  // namespace kx
