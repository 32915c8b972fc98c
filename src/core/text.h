// Small ASCII text helpers shared by the protocol and file parsers: blanks are space and
// tab, case folding is ASCII only (header names, keywords), never locale-dependent.
#pragma once
#include <cstddef>
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

}  // namespace kx
