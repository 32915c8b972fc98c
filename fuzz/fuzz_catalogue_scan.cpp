// The catalogue scanner and the scrambled-form readers on arbitrary text: no crash, every
// view inside the text, and what is written reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "catalogue/scramble.h"
#include "catalogue/store_file.h"
#include "core/log.h"

namespace {

const std::string kRoot = "rootpw";

bool inside(std::string_view whole, std::string_view part) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check_element(std::string_view text, const kx::Element& e) {
  if (e.begin >= e.end || e.end > text.size()) std::abort();
  if (!inside(text, e.text) || !inside(text, e.tag)) std::abort();
  for (const auto& a : e.attrs)
    if (!inside(text, a.first) || !inside(text, a.second) || a.first.empty()) std::abort();
}

// Every value of the elements named tag goes through the source and password readers.
void scan(std::string_view text, std::string_view tag) {
  std::size_t pos = 0, last = 0;
  kx::Element e;
  for (int i = 0; i < 10000 && kx::next_element(text, tag, pos, e); ++i) {
    check_element(text, e);
    if (pos <= last && i > 0) std::abort();  // must move forward
    last = pos;
    for (const auto& a : e.attrs) {
      std::string out;
      kx::unscramble_source(a.second, true, &kRoot, out);
      if (kx::unscramble_source(a.second, false, nullptr, out) && out.size() > 1023) std::abort();
      kx::password_decode_older(a.second, out);
    }
  }
}

void round_trips(std::string_view text) {
  const std::string_view url = text.substr(0, 1023);
  const std::string_view name = text.substr(0, 2);
  std::string out;
  const std::string v = kx::scramble_source(url, name, true, &kRoot);
  if (!kx::unscramble_source(v, true, &kRoot, out) || out != url) std::abort();
  const std::string_view pw = text.substr(0, 48);
  if (!kx::password_decode_older(kx::password_encode_older(pw), out) || out != pw) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    kx::log_set_mode(kx::Sink::System, 0);
    return true;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  scan(text, "ch");
  scan(text, "group");
  std::string_view v;
  if (kx::child_text(text, "userid", v) && !inside(text, v)) std::abort();
  std::string out;
  for (std::size_t at = 0; at < size && at < 64; at += 7) {
    kx::unscramble_source(text.substr(at), at % 2 == 0, &kRoot, out);
    kx::password_decode_older(text.substr(at), out);
  }
  round_trips(text);
  return 0;
}
