// The client side of HTTP/1.x that the HTTP source input needs: the GET request, a bounded
// response-head parser and a chunked-body decoder, both fed bytes in pieces of any size,
// and the resolution of a redirect's Location.
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

// The request the input sends: "GET /path HTTP/1.0" with the product's user agent, an open
// byte range, the host with its port, "Connection: close", and Basic credentials (one line
// of Base64) when credentials ("user:password") are given. path is without its leading "/".
std::string http_get_request(const std::string& path, const std::string& host, int port,
                             const std::string& credentials);

// What a response head says.
struct HttpResponseHead {
  int status = 0;                // 100-599
  std::string status_line;       // without its line end
  bool has_location = false;
  std::string location;          // the first Location value, trimmed
  int64_t content_length = -1;   // -1 when absent, or when a transfer coding overrides it
  bool chunked = false;          // the last transfer coding is "chunked"
  std::string content_type;      // as sent, trimmed
};

enum class HttpHeadState { kNeedMore, kDone, kFailed };
enum HttpHeadError : int {
  kHeadErrNone = 0,
  kHeadErrNotHttp = 1,    // the first bytes cannot begin a status line ("HTTP/" or "ICY ")
  kHeadErrTooLong = 2,    // no blank line within the cap
  kHeadErrMalformed = 3,  // a bad status line, a NUL byte, a bad or conflicting length
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
  int error() const { return error_; }
  const HttpResponseHead& head() const { return head_; }
  // The bytes of the current head as received (at most the cap), for log lines.
  const std::string& text() const { return text_; }

 private:
  void fail(int err);
  bool finish();  // parses text_; true when the head is final

  std::size_t cap_;
  HttpHeadState state_ = HttpHeadState::kNeedMore;
  int error_ = kHeadErrNone;
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
  bool done() const { return state_ == kDone; }
  bool failed() const { return state_ == kError; }

 private:
  enum State { kSize, kExt, kSizeLf, kData, kDataCr, kDataLf, kTrailer, kTrailerLine, kTrailerLf, kDone, kError };
  State state_ = kSize;
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

// Text fit for a log line: at most max bytes of s, other control characters than CR and
// LF shown as ".".
std::string http_log_text(std::string_view s, std::size_t max);

}  // namespace kx
