// The one HTTP/1.0 client of the server: the request built from a spec, a connection
// opened within a deadline, the answer head read within ONE deadline for the whole head,
// the body by Content-Length, chunked or to the close, and the one redirect rule. The HTTP
// source input, the remote file relay and the peer client all go through it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/http_answer.h"
#include "net/socket.h"

namespace kx {

inline constexpr const char* kHttpUserAgent = "Quillmarsh(Kestrix/12.2)";

struct HttpField {
  std::string name, value;
};

// How the Host field names the port.
enum class HttpHostForm { kWithPort, kPortUnless80 };

// Where a request goes: what a redirect may change.
struct HttpEndpoint {
  std::string host;         // as written in the URL (also the Host field)
  int port = 80;
  std::string path;         // without its leading "/"
  std::string credentials;  // "user:password", sent as Basic; empty for none
};

struct HttpRequestSpec {
  std::string method = "GET";
  HttpEndpoint at;
  std::string user_agent = kHttpUserAgent;  // empty: no field
  std::vector<HttpField> before_host;       // fields between User-Agent and Host
  std::vector<HttpField> after_host;        // fields between Host and Connection
  HttpHostForm host_form = HttpHostForm::kWithPort;
};

// "METHOD /path HTTP/1.0", User-Agent, the fields before the host, Host, the fields after
// it, "Connection: close" (the end of the body may be the end of the connection) and
// "Authorization: Basic" (one line of Base64) when there are credentials. Control
// characters in any text are left out: nothing can split the request.
std::string http_request_text(const HttpRequestSpec& spec);

// The Basic form of "user:password": standard Base64 on one line.
std::string http_basic_credentials(std::string_view credentials);

// The redirect rule. 301 and 308 are permanent, 302, 303 and 307 temporary.
enum class HttpRedirect { kNone, kPermanent, kTemporary };
HttpRedirect http_redirect_kind(int status);

// Follows a Location in at: a full URL changes host, port, path (and credentials when it
// names some); a path changes the path alone. Credentials are kept ONLY when the new
// target is the same host and port, unless the location brings its own. false (at
// unchanged) when the location cannot be followed.
bool http_follow_location(std::string_view location, HttpEndpoint& at);

// Why a connection gave no (more) bytes.
enum class HttpEnd {
  kNone,      // not ended
  kComplete,  // the body ended by its length or its last chunk
  kClosed,    // the peer closed: the end of a body without a length, or a head cut off
  kCutShort,  // the peer closed before the announced length or the last chunk
  kBroken,    // the chunked framing is broken
  kError,     // a receive error
  kTimeout,   // nothing came in time
  kStopped,   // the stop check said so
  kBadHead,   // the answer head cannot be read (see parser().error())
};

// One request and its answer on one connection.
class HttpConnection {
 public:
  // stop is looked at every few hundred milliseconds while waiting; it may be empty.
  explicit HttpConnection(std::function<bool()> stop = {}) : stop_(std::move(stop)) {}

  // TCP to ip:port within timeout_ms: 1 connected, 0 failed, -1 stopped.
  int connect(const std::string& ip, int port, int timeout_ms);
  bool send(const std::string& request, int timeout_ms);

  // Reads the answer head up to its blank line; the whole head must come before deadline
  // (mono_ms). kComplete when it did; otherwise why not (kClosed: closed inside the head,
  // kTimeout also when closed before any byte).
  HttpEnd read_head(int64_t deadline);

  // The next body bytes, those that came with the head first: > 0, or 0 at the end with
  // end() telling why. Waits until deadline (mono_ms) for bytes.
  long read_body(uint8_t* buf, std::size_t cap, int64_t deadline);

  HttpEnd end() const { return end_; }
  const HttpResponseParser& parser() const { return parser_; }
  const HttpResponseHead& head() const { return parser_.head(); }
  // The first bytes of the answer as received (at most kHttpSeenMax), for log lines.
  const std::string& seen() const { return seen_; }
  // Body bytes that came with the head (transfer coding removed), not yet read.
  std::size_t early_size() const { return early_.size() - early_pos_; }
  const uint8_t* early_data() const { return early_.data() + early_pos_; }

  Socket& socket() { return sock_; }
  void close() { sock_.close(); }

  static constexpr std::size_t kHttpSeenMax = 300;

 private:
  long receive(uint8_t* buf, std::size_t cap, int64_t deadline);
  void begin_body(const uint8_t* rest, std::size_t n);

  std::function<bool()> stop_;
  Socket sock_;
  HttpResponseParser parser_;
  std::string seen_;
  std::vector<uint8_t> early_;
  std::size_t early_pos_ = 0;
  ChunkedDecoder dechunk_;
  bool chunked_ = false;
  int64_t left_ = -1;  // body bytes still to come; -1 unknown
  HttpEnd end_ = HttpEnd::kNone;
};

}  // namespace kx
