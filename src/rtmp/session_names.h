// The names an RTMP session reads from its peer, taken apart without a socket: the
// application of connect's tcUrl, the play name (channel, file or refused) and the publish
// name with its key.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::size_t kRtmpAppMax = 127;    // longer application names are cut
inline constexpr std::size_t kRtmpNameMax = 511;   // the session's watching name

// The application name of a tcUrl: the text after its last "/", one trailing "/" left
// aside ("rtmp://h/live/" names "live", "rtmp://h/tv" names "tv"). Empty without a "/";
// cut to kRtmpAppMax.
std::string rtmp_app_from_tc_url(std::string_view tc_url);

// Whether an application name is the players' and stream-name encoders' one ("live...").
inline bool rtmp_app_is_live(std::string_view app) { return app.substr(0, 4) == "live"; }

// A play name taken apart.
struct RtmpPlayName {
  bool has_query = false;  // a "?" (the credentials) is present; without it the play fails
  std::string base;        // the part before "?", each "%20" a blank
  std::string query;       // from the "?" on (credential extraction reads it)
  // The number before ".ch"/".CH" (after the last "/" or "\"); 0 when no digits stand
  // there (out of range), -1 when the name has no ".ch" (a file or a channel name).
  int channel = -1;
};
// False when the name is empty, too long or holds control characters.
bool rtmp_parse_play_name(std::string_view name, RtmpPlayName& out);

// A publish name: the stream name before "?" and the key= value of its query.
struct RtmpPublishName {
  std::string stream;
  std::string key;
  bool has_key = false;
};
bool rtmp_parse_publish_name(std::string_view name, RtmpPublishName& out);

// Whether a publish may go on: any name when no key is configured, else only a name whose
// key equals it (compared in time independent of where they differ).
bool rtmp_publish_key_ok(const RtmpPublishName& name, std::string_view configured_key);

}  // namespace kx
