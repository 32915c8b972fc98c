#include "catalogue/base64.h"

#include <array>
#include <cstdint>

namespace kx {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kPad = 64;
constexpr int8_t kForeign = -1;

constexpr std::array<int8_t, 256> make_values() {
  std::array<int8_t, 256> v{};
  for (auto& x : v) x = kForeign;
  for (int i = 0; i < 64; ++i) v[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  v['='] = kPad;
  return v;
}
constexpr std::array<int8_t, 256> kValues = make_values();

bool skippable(char c, Base64Skip skip) {
  if (skip == Base64Skip::foreign) return true;
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Appends one output character, breaking the line first when the current one is full.
void put(std::string& out, char c, int line_len, int& col) {
  if (line_len > 0 && col == line_len) {
    out.push_back('\n');
    col = 0;
  }
  out.push_back(c);
  ++col;
}

// Collects alphabet characters four at a time and checks the padding as it goes.
struct Quads {
  std::string& out;
  uint32_t acc = 0;
  int have = 0;  // characters in the current quad
  int pads = 0;  // "=" seen so far

  bool add(int8_t v) {
    if (v == kPad) {
      if (++pads > 2) return false;
    } else if (pads > 0) {
      return false;  // data after padding
    }
    acc = (acc << 6) | static_cast<uint32_t>(v == kPad ? 0 : v);
    if (++have == 4) flush();
    return true;
  }
  void flush() {
    const char bytes[3] = {static_cast<char>(acc >> 16), static_cast<char>(acc >> 8),
                           static_cast<char>(acc)};
    out.append(bytes, static_cast<size_t>(3 - pads));
    acc = 0;
    have = 0;
  }
};

}  // namespace

std::string base64_encode(const void* data, size_t len, int line_len) {
  const auto* p = static_cast<const uint8_t*>(data);
  std::string out;
  const size_t chars = (len + 2) / 3 * 4;
  out.reserve(chars + (line_len > 0 ? chars / static_cast<size_t>(line_len) : 0));
  int col = 0;
  for (size_t i = 0; i < len; i += 3) {
    const size_t n = len - i < 3 ? len - i : 3;
    uint32_t acc = static_cast<uint32_t>(p[i]) << 16;
    if (n > 1) acc |= static_cast<uint32_t>(p[i + 1]) << 8;
    if (n > 2) acc |= p[i + 2];
    for (size_t k = 0; k < 4; ++k) {
      const char c = k <= n ? kAlphabet[(acc >> (18 - 6 * k)) & 63] : '=';
      put(out, c, line_len, col);
    }
  }
  return out;
}

int base64_decode(std::string_view text, std::string& out, Base64Skip skip,
                  size_t max_text) {
  out.clear();
  if (text.size() > max_text) return 0;
  out.reserve(text.size() / 4 * 3);
  Quads q{out};
  for (const char c : text) {
    const int8_t v = kValues[static_cast<uint8_t>(c)];
    const bool ok = v == kForeign ? skippable(c, skip) : q.add(v);
    if (!ok) {
      out.clear();
      return 0;
    }
  }
  if (q.have != 0) {
    out.clear();
    return 0;
  }
  return 1;
}

}  // namespace kx
