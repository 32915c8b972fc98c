// The relay of a remote file channel: a channel whose source is one MP4, TS, FLV or AVI
// file on an HTTP server. Each player gets its own connection to that server, asking for
// the player's byte range, and the body is passed on as it comes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "players/player_session.h"
#include "ingest/channel_runtime.h"

namespace kx {

struct Channel_Info;

inline constexpr int kRelayMaxRedirects = 5;        // per player
inline constexpr int kRelayReceiveTimeoutMs = 10000;  // the source may be silent this long

// The request for src from byte start on: one Range, the host (with its port unless 80),
// "Connection: close" so the end of the body is the end of the connection, and Basic
// credentials when src has some. Control characters in the fields are left out.
std::string relay_request(const Source_URL_Info& src, int64_t start);

// A "Content-Range: bytes first-last/size" field of a response head (any case, the first
// one). last is -1 when the field gives no end. false when there is no such field or it
// cannot be read.
bool relay_content_range(std::string_view head, int64_t& first, int64_t& last);

// Relays the channel's current source file to the player from s.range_start up to
// s.range_end (exclusive), following up to kRelayMaxRedirects redirects in a copy of the
// source record (the channel's record is never changed). s.range_start advances with every
// byte sent. Ends at the range end, at the end of the source's body, on the stop flag, a
// server stop, a channel input that stays off, a silent source or a failed send (which
// sets the stop flag). The player socket stays open. 1 when the range end or the end of
// the source's body was reached; 0 otherwise.
int relay_remote_file(PlayerSession& s, Channel_Info& ch, int channel_no);

}  // namespace kx
