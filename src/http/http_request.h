// The pieces of an HTTP player request that need no socket: reading rules for the head,
// the request line, the path classification by extension, query values, credentials,
// byte ranges, channel numbers and the answer texts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "players/served_file.h"
#include "subscribers/credentials.h"

namespace kx {

// ---- the request head ----

inline constexpr std::size_t kHeadBufferSize = 3072;  // what one receive may fill
inline constexpr std::size_t kHeadLimit = 2048;       // more than this closes the connection

enum class HeadState { kMore, kDone, kTooLong };
// What the bytes held so far make of the head: too long when above kHeadLimit, done once
// they hold "\r\n\r\n", else more is needed.
HeadState head_state(std::string_view held);

enum LineResult : int {
  kLineOk = 1,
  kLineTooShort = 0,     // empty or 1-3 bytes: closed silently
  kLineNotHttp = -1,     // no "HTTP/" at all
  kLineNotGet = -2,      // a method other than GET or HEAD
  kLineBadVersion = -3,  // not HTTP/1.0 or HTTP/1.1, or a malformed request line
  kLineRoot = -4,        // "/" alone
};

struct RequestLine {
  bool head = false;    // HEAD: the answer is the header alone
  bool http11 = false;  // HTTP/1.1 (else HTTP/1.0)
  std::string target;   // the request target as sent (query values are read from it)
  // The request target, from its "/" up to the blank before the version, with every
  // "%20" turned into a space. Never holds NUL or control characters.
  std::string path;
  std::string player_name;  // User-Agent value, at most 32 characters; "N/A" when absent
};

// Checks the request line of a complete head and takes what the answer depends on.
int parse_request_line(std::string_view head, RequestLine& out);

// ---- classification by extension ----

// Content types, each as stored: the type followed by "\r\n\r\n", so the line
// "Content-Type: %s" filled with one of them closes the header.
namespace ctype {
inline constexpr const char* kMp2t = "video/mp2t\r\n\r\n";
inline constexpr const char* kFlv = "video/x-flv\r\n\r\n";
inline constexpr const char* kMp4 = "video/mp4\r\n\r\n";
inline constexpr const char* kMpg = "video/mpg\r\n\r\n";
inline constexpr const char* kQuicktime = "video/quicktime\r\n\r\n";
inline constexpr const char* kAvi = "video/avi\r\n\r\n";
inline constexpr const char* kMkv = "video/mkv\r\n\r\n";
inline constexpr const char* kWmv = "video/x-ms-wmv\r\n\r\n";
inline constexpr const char* kAsf = "video/x-ms-asf\r\n\r\n";
inline constexpr const char* kMp3 = "audio/mp3\r\n\r\n";
inline constexpr const char* kAc3 = "audio/ac3\r\n\r\n";
inline constexpr const char* kWma = "audio/wma\r\n\r\n";
inline constexpr const char* kM3u8 = "application/x-mpegURL\r\n\r\n";
inline constexpr const char* kAsfHeader = "application/vnd.ms.wms-hdr.asfv1\r\n\r\n";
inline constexpr const char* kSwf = "application/x-shockwave-flash\r\n\r\n";
inline constexpr const char* kDefault = "application/x\r\n\r\n";
inline constexpr const char* kJpeg = "image/jpeg\r\n\r\n";
inline constexpr const char* kGif = "image/gif\r\n\r\n";
inline constexpr const char* kPng = "image/png\r\n\r\n";
inline constexpr const char* kHtml = "text/html\r\n\r\n";
inline constexpr const char* kSrt = "text/srt\r\n\r\n";
inline constexpr const char* kVtt = "text/vtt\r\n\r\n";
inline constexpr const char* kHtmlBig5 = "text/html;charset=big5\r\n\r\n";
}  // namespace ctype

// Request kinds.
enum RequestKind : int {
  kKindRefused = -1,
  kKindFile = 0,     // plain file
  kKindMedia = 1,    // media file sent as it is
  kKindChannel = 2,  // live channel
  kKindPs = 3,       // MP4 / MOV / MPEG family file
  kKindC4 = 4,       // live channel asked with ".c4"
  kKindFlv = 5,      // FLV file
  kKindByName = 6,   // no known extension: resolved by name
  kKindMovie = 7,    // movie of the movie list at a remote location
  kKindAvi = 8,
  kKindMkv = 9,
};

struct PathClass {
  int kind = kKindByName;
  const char* content_type = ctype::kDefault;
  bool checked = true;  // credentials are taken (and may refuse) for this extension
  // The requested name: the path up to and including the matched extension (the whole
  // path for kind 6). ".c4" names read ".ch"; "/chN.flv" becomes "/N.ch" (kind 2).
  std::string name;
};

// Scans the path for the first known extension, position by position.
PathClass classify_path(std::string_view path);

// ---- byte ranges ----

enum RangeStatus : int { kRangeNone = 0, kRangePartial = 1, kRangeUnsatisfiable = 2 };
struct ByteRange {
  int status = kRangeNone;
  int64_t start = 0;  // first byte
  int64_t end = 0;    // one past the last byte
  bool open_end = false;  // "a-": no last byte given, the end is the size
  int64_t suffix = 0;     // "-n": n, the count of last bytes asked for
};
// The "Range: bytes=" header of the head against a file of size bytes. Forms "a-b", "a-"
// and "-n"; an end past the file is clamped; a start at or past the size, a suffix of 0 or
// any range of an empty file is unsatisfiable; a malformed header or b < a is ignored
// (the whole file, kRangeNone with 0..size). Only the first range of a list counts.
ByteRange parse_range(std::string_view head, int64_t size);

// ---- channels ----

// The channel number of a channel name: the decimal number between the last '/' (or '\')
// before ".ch" and ".ch", or N of "chN.m3u8". Digits only; 0 when there are none; values
// past 999999 read as 999999. -1 when the name has neither form.
int channel_number_from_name(std::string_view name);

// Clamps a requested number to 1..count; stage receives "Set Last Channel" or
// "Set First Channel" when it changed the number, else nullptr.
int clamp_channel_number(int n, int count, const char** stage);

// ---- answers ----

// "Content-Type: " followed by one of the content types above.
std::string content_type_line(const char* type);
// "Content-Duration: %f\r\n".
std::string duration_line(double seconds);
// R6: a redirect to another server of the set.
std::string http_answer_r6(const std::string& ip, int port, std::string_view name,
                           const std::string& user, const std::string& password);
// R7: a redirect to the channel's source (connection "close").
std::string http_answer_r7(std::string_view location);
// R13: an HLS playlist header of the given length, content type included.
std::string http_answer_r13(int64_t length);
// R14: the header of the ".c4" metadata answer.
std::string http_answer_r14(int64_t length, const char* connection);
// 416 for a start past the file: "Content-Range: bytes */size" (no such field for a size
// below 0: not known).
std::string http_answer_416(int64_t size, bool http11);
// The body of the ".c4" answer over HTTP/1.1.
inline constexpr const char* kC4Metadata = "kind=metadata,label/type='mpeg2ts;pmt=\"0x12c\"'";

}  // namespace kx
