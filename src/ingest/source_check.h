// The source-URL check: classifies one source URL of a channel and answers whether it is
// accepted.
#pragma once
#include <string>

#include "ingest/channel_info.h"

namespace kx {

// What a source URL is, as far as the check is concerned.
enum SourceForm : int {
  kFormRefused = 0,   // not a source this server reads
  kFormNetwork = 1,   // read by an input thread (UDP/RTP, HTTP, RTMP, RTSP, rtmpencoder)
  kFormPlaylist = 2,  // "playlist://" + folder; path holds the folder
  kFormFolder = 3,    // "dir://" + folder; path holds the folder
};

// Classifies url without a channel. out becomes a fresh record: type, host, ip (when the
// host is a dotted IPv4 address), port, path, credentials, buffer size. Accepted forms:
//   playlist://F, dir://F                      type 0
//   rtp://[@]A:P, udp://[@]A:P                 1, 8 (A is the group; a unicast A is never
//                                              joined: the socket binds all addresses)
//   rtp://[@][:]P, udp://[@][:]P               2, 9
//     (options after "?" and anything after "/" are ignored; buffer size 1024)
//   http://[user:pass@]H[:P][/path]            5, 27 with "/udp/", 22 with "m3u" in path
//   rtmp://[user:pass@]H[:P][/path]            19, default port 1935
//   rtsp://[user:pass@]H[:P][/path]            3 (refused later by the input), port 554
//   rtmpencoder                                21
// Schemes match in any letter case. A port text that is not a number in 1-65535 is
// replaced (0 for UDP/RTP, which then has no usable source; 80, 1935, 554 otherwise) and
// note tells so (the text of the log line without the channel prefix); otherwise note is
// empty. A host-based URL without a host is refused.
int classify_source_url(const std::string& url, Source_URL_Info& out, std::string& note);

// True when an input thread can use the record: a network type with a port in 1-65535
// and, for host-based types, a host.
bool source_record_usable(const Source_URL_Info& s);

// Checks url as source slot 0-2 of ch (slot 0 is src) and stores the parsed record in
// ch.rt.src[slot] under ch.rt.src_lock. The first source decides the channel-wide
// results: nSource_Valid (the folder's file count for "dir://"; 0 for a refused source,
// a missing playlist folder or a UDP/RTP source without a usable port), nInput_Format 12
// for playlists, the status of folder and playlist channels, and rt.has_sources. A
// "dir://" first source builds the channel's folder file list. The start time becomes
// the catalogue load time. 1 accepted, 0 refused; a refusal leaves the slot as it was.
int source_url_check(Channel_Info& ch, const std::string& url, int slot);

}  // namespace kx
