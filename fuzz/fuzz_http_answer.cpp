// The HTTP response head parser, the chunked-body decoder and redirect targets on arbitrary
// bytes (and the Content-Range field). Input: one byte choosing the piece size, then the response. Checks: nothing is
// taken past what was given; the head is the same whether it comes whole or in pieces;
// the fields lie within their bounds; the body decoded whole and in pieces is the same,
// never longer than its input; a redirect target keeps its bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/log.h"
#include "net/http_answer.h"
#include "net/http_client.h"
#include "core/text.h"

namespace {

struct HeadRun {
  std::size_t taken = 0;
  kx::HttpHeadState state = kx::HttpHeadState::kNeedMore;
  kx::HttpHeadError error = kx::HttpHeadError::kNone;
  kx::HttpResponseHead head;
};

HeadRun parse(const uint8_t* p, std::size_t len, std::size_t piece) {
  kx::HttpResponseParser parser;
  HeadRun r;
  for (std::size_t off = 0; off < len;) {
    const std::size_t n = piece < len - off ? piece : len - off;
    const std::size_t t = parser.feed(p + off, n);
    if (t > n) std::abort();
    r.taken += t;
    if (parser.text().size() > kx::kHttpHeadMax) std::abort();
    if (t < n) break;
    off += n;
  }
  r.state = parser.state();
  r.error = parser.error();
  r.head = parser.head();
  if (r.state != kx::HttpHeadState::kNeedMore && parser.feed(p, len) != 0) std::abort();
  return r;
}

std::string dechunk(const std::vector<uint8_t>& in, std::size_t piece, bool& failed, bool& done) {
  kx::ChunkedDecoder d;
  std::string out;
  failed = false;
  for (std::size_t off = 0; off < in.size();) {
    const std::size_t n = piece < in.size() - off ? piece : in.size() - off;
    std::vector<uint8_t> part(in.begin() + static_cast<std::ptrdiff_t>(off),
                              in.begin() + static_cast<std::ptrdiff_t>(off + n));
    const long r = d.decode(part.data(), part.size());
    if (r < 0) {
      failed = true;
      break;
    }
    if (static_cast<std::size_t>(r) > n) std::abort();
    out.append(reinterpret_cast<const char*>(part.data()), static_cast<std::size_t>(r));
    off += n;
  }
  if (failed != d.failed()) std::abort();
  done = d.done();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kx::log_set_mode(kx::Sink::Admin, 0);
  kx::log_set_mode(kx::Sink::System, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 97;
  ++data, --size;
  const HeadRun whole = parse(data, size, size ? size : 1);
  const HeadRun cut = parse(data, size, piece);
  if (whole.taken != cut.taken || whole.state != cut.state || whole.error != cut.error) std::abort();
  if (whole.taken > size) std::abort();
  if (whole.state != kx::HttpHeadState::kDone) return 0;
  const kx::HttpResponseHead& h = whole.head;
  if (h.status < 100 || h.status > 599 || h.content_length < -1) std::abort();
  if (h.status != cut.head.status || h.location != cut.head.location || h.chunked != cut.head.chunked ||
      h.content_length != cut.head.content_length || h.content_type != cut.head.content_type)
    std::abort();
  if (h.chunked && h.content_length != -1) std::abort();
  if (h.has_range != cut.head.has_range || h.range_first != cut.head.range_first ||
      h.range_total != cut.head.range_total)
    std::abort();
  if (h.has_range && (h.range_first < 0 || (h.range_last >= 0 && h.range_last < h.range_first) ||
                      (h.range_total >= 0 && h.range_last >= h.range_total)))
    std::abort();

  // The body as chunked coding, whole and in pieces.
  const std::vector<uint8_t> body(data + whole.taken, data + size);
  bool f1 = false, f2 = false, d1 = false, d2 = false;
  const std::string b1 = dechunk(body, body.size() ? body.size() : 1, f1, d1);
  const std::string b2 = dechunk(body, piece, f2, d2);
  if (f1 != f2 || d1 != d2) std::abort();
  if (!f1 && b1 != b2) std::abort();
  if (b1.size() > body.size()) std::abort();

  if (h.has_location) {
    kx::HttpTarget t;
    if (kx::http_resolve_location(h.location, "live/x.ts", t)) {
      if (t.path.size() > kx::kHttpPathMax || t.host.size() > kx::kHttpHostMax ||
          t.credentials.size() > kx::kHttpCredentialsMax || t.port < 1 || t.port > 65535)
        std::abort();
      if (t.absolute && t.host.empty()) std::abort();
      for (char c : t.path + t.host)
        if (static_cast<unsigned char>(c) < 0x20) std::abort();
    }
    // The redirect rule: credentials never go to another host or port unless the location
    // brings its own.
    kx::HttpEndpoint at{"src.example", 8080, "live/x.ts", "user:pass"};
    const bool followed = kx::http_follow_location(h.location, at);
    if (!followed && (at.host != "src.example" || at.port != 8080 || at.credentials != "user:pass")) std::abort();
    if (followed && at.credentials == "user:pass" && h.location.find('@') == std::string::npos &&
        (!kx::iequal(at.host, "src.example") || at.port != 8080))
      std::abort();
    kx::HttpRequestSpec spec;
    spec.at = at;
    const std::string req = kx::http_request_text(spec);
    if (req.find("\r\n\r\n") + 4 != req.size()) std::abort();  // nothing splits the request
  }
  if (kx::http_log_text(h.status_line, 300).size() > 300) std::abort();
  return 0;
}
