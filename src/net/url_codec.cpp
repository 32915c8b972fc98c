#include "net/url_codec.h"

#include <cstring>

namespace kx {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The character an escaped pair stands for; "?" for pairs we do not translate.
char decode_pair(char hi, char lo) {
  struct Pair {
    char hi, lo, out;
  };
  static constexpr Pair kPairs[] = {
      {'3', 'a', ':'}, {'3', 'f', '?'}, {'2', '6', '&'}, {'3', 'd', '='},
      {'2', 'c', ','}, {'2', 'f', '/'}, {'2', 'e', '.'}, {'2', '9', ')'},
      {'2', '8', '('}, {'2', '5', '%'}, {'2', '2', '"'}, {'2', '0', ' '},
  };
  char l = lower(lo);
  for (const Pair& p : kPairs)
    if (p.hi == hi && p.lo == l) return p.out;
  return '?';
}

}  // namespace

std::string url_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && text.size() - i >= 3) {
      out.push_back(decode_pair(text[i + 1], text[i + 2]));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string url_encode(std::string_view text) {
  static constexpr char kEscaped[] = "?=:/.-)(&\" %";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\0' && std::memchr(kEscaped, c, sizeof kEscaped - 1)) {
      unsigned char u = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0x0F]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace kx
