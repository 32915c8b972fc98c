// Small ASCII text helpers shared by the protocol and file parsers: blanks are space and
// tab, case folding is ASCII only (header names, keywords), never locale-dependent.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace kx {

inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

inline bool iequal_prefix(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && iequal(text.substr(0, prefix.size()), prefix);
}

// Leading and trailing spaces and tabs removed.
inline std::string_view trim_blanks(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

// True when v holds a control character (below 0x20, or DEL).
inline bool has_controls(std::string_view v) {
  for (char c : v)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  return false;
}

// An outside value as it may be written into a log: control characters become \r, \n,
// \t or \xNN, so a value can never start a line of its own.
inline std::string escape_controls(std::string_view v) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) {
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// Copies text into a fixed field, always terminated, never past it.
template <std::size_t N>
void set_field(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text ? text : "");
}

}  // namespace kx
