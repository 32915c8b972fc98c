// The byte-level half of the HTTP client: a bounded answer-head parser and a chunked-body
// decoder, both fed bytes in pieces of any size, the Content-Range field, and the
// resolution of a redirect's Location.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

// The longest response head accepted, status line and blank line included.
inline constexpr std::size_t kHttpHeadMax = 8192;
// Bounds of the fields a Location may change.
inline constexpr std::size_t kHttpPathMax = 511;
inline constexpr std::size_t kHttpHostMax = 255;
inline constexpr std::size_t kHttpCredentialsMax = 127;

// What a response head says.
struct HttpResponseHead {
  int status = 0;                // 100-599
  std::string status_line;       // without its line end
  bool has_location = false;
  std::string location;          // the first Location value, trimmed
  int64_t content_length = -1;   // -1 when absent, or when a transfer coding overrides it
  bool chunked = false;          // the last transfer coding is "chunked"
  std::string content_type;      // as sent, trimmed
  // The first Content-Range field, when it could be read: first and last byte (last -1
  // when not given) and the whole length (-1 for "*" or none).
  bool has_range = false;
  int64_t range_first = -1, range_last = -1, range_total = -1;
};

enum class HttpHeadState { kNeedMore, kDone, kFailed };
enum class HttpHeadError {
  kNone,
  kNotHttp,    // the first bytes cannot begin a status line ("HTTP/" or "ICY ")
  kTooLong,    // no blank line within the cap
  kMalformed,  // a bad status line, a NUL byte, a bad or conflicting length
};

// Reads one response head from bytes that arrive in pieces. Interim 1xx heads are passed
// over (a few at most). Nothing is read past the blank line that ends the final head.
class HttpResponseParser {
 public:
  explicit HttpResponseParser(std::size_t cap = kHttpHeadMax) : cap_(cap) {}
  void reset();

  // Takes bytes from p[0, len) and returns how many belong to the head: all of them while
  // the head goes on, those up to and including the blank line once it is complete, and
  // those up to the fault once it failed. Further calls after the end take nothing.
  std::size_t feed(const uint8_t* p, std::size_t len);

  HttpHeadState state() const { return state_; }
  HttpHeadError error() const { return error_; }
  const HttpResponseHead& head() const { return head_; }
  // The bytes of the current head as received (at most the cap), for log lines.
  const std::string& text() const { return text_; }

 private:
  void fail(HttpHeadError err);
  bool finish();  // parses text_; true when the head is final

  std::size_t cap_;
  HttpHeadState state_ = HttpHeadState::kNeedMore;
  HttpHeadError error_ = HttpHeadError::kNone;
  int interim_ = 0;
  std::size_t line_len_ = 0;  // characters of the current line, CR aside
  std::string text_;
  HttpResponseHead head_;
};

// Decodes the chunked transfer coding (RFC 9112, section 7.1) in place, in pieces of any
// size. Chunk extensions and trailers are passed over within bounds; bare LF line ends
// are taken too.
class ChunkedDecoder {
 public:
  void reset();
  // Decodes buf[0, len) in place: returns how many body bytes now lie at buf[0, n), or -1
  // once the framing is broken. Bytes after the last chunk's trailer are not body.
  long decode(uint8_t* buf, std::size_t len);
  bool done() const { return state_ == State::kDone; }
  bool failed() const { return state_ == State::kError; }

 private:
  enum class State { kSize, kExt, kSizeLf, kData, kDataCr, kDataLf, kTrailer, kTrailerLine, kTrailerLf, kDone, kError };
  void step(uint8_t c);
  State state_ = State::kSize;
  uint64_t size_ = 0;
  int digits_ = 0;
  std::size_t line_ = 0;   // characters of an extension or trailer line
  std::size_t trailer_ = 0;  // characters of the trailer so far
};

// A redirect target in the fields of a source record.
struct HttpTarget {
  bool absolute = false;  // host, port and credentials are given too
  std::string host, credentials, path;  // path without its leading "/"
  int port = 80;
};

// Resolves a Location value against the path in use (without its leading "/"):
//   "http://[user:pass@]host[:port][/path]" and "//host..."   a new host, port and path
//   "/path"                                                  a new path on the same host
//   "name"                                                   relative to base_path's folder
// A fragment is dropped and spaces become "%20". false when it cannot be followed: empty,
// another scheme, no host, a port outside 1-65535, a control character, or a field
// beyond its bound.
bool http_resolve_location(std::string_view value, std::string_view base_path, HttpTarget& out);

// A Content-Range value "bytes first-[last][/total|*]": false when it cannot be read.
// last and total are -1 when not given.
bool http_content_range(std::string_view value, int64_t& first, int64_t& last, int64_t& total);

// Text fit for a log line: at most max bytes of s, other control characters than CR and
// LF shown as ".".
std::string http_log_text(std::string_view s, std::size_t max);

}  // namespace kx
