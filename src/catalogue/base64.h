// Base64 with the standard alphabet and "=" padding (RFC 4648).
//
// Used for scrambled catalogue sources, the encrpty credential parameter between
// servers and HTTP Basic credentials.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// Line length of the scrambled catalogue form: a line feed after every 72 output
// characters, none after the last line.
inline constexpr int kBase64ScrambledLine = 72;
// Longest text the catalogue readers accept for one scrambled value.
inline constexpr size_t kBase64ScrambledMax = 2048;
// Longest text base64_decode accepts unless the caller says otherwise.
inline constexpr size_t kBase64DefaultMax = 64 * 1024;

// What the decoder passes over outside the alphabet.
enum class Base64Skip {
  whitespace,  // space, tab, CR and LF; any other foreign character refuses the text
  foreign,     // every character outside the alphabet (the scrambled catalogue form)
};

// Encodes len bytes. line_len > 0 puts a single "\n" after every line_len output
// characters, but never at the very end.
std::string base64_encode(const void* data, size_t len, int line_len = 0);
// Text form; named apart so a literal with a line length cannot bind to (data, len).
inline std::string base64_encode_text(std::string_view text, int line_len = 0) {
  return base64_encode(text.data(), text.size(), line_len);
}

// Decodes text into out (binary; may hold zero bytes). Returns 1, or 0 with out empty
// when text is longer than max_text, holds a character the skip mode does not pass
// over, has a count of alphabet characters (padding included) that is not a multiple
// of 4, or has misplaced padding ("=" before data, more than two "=").
int base64_decode(std::string_view text, std::string& out,
                  Base64Skip skip = Base64Skip::whitespace,
                  size_t max_text = kBase64DefaultMax);

}  // namespace kx
