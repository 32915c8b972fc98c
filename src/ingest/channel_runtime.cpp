#include "ingest/channel_runtime.h"

namespace kx {

const char* status_text(int code) {
  static const char* const kTexts[kStCount] = {
      "Init", "Name to IP", "TCP Open", "TCP Opened", "TCP Failed", "HTTP Request",
      "HTTP Response", "Check Format", "Connected", "ON", "ON (Parse)", "Used",
      "Next TS File", "RTMP Returned", "Reconnect", "Reconnected", "Wait to Reconnect",
      "Free Memory"};
  return code >= 0 && code < kStCount ? kTexts[code] : "";
}

}  // namespace kx
