// The text helpers the logs rely on: control characters in outside values are found and
// escaped, everything else is kept as it is.
#include <gtest/gtest.h>

#include <string>

#include "core/text.h"

namespace {

TEST(Text, ControlCharactersAreEscapedAndTheRestKept) {
  const struct {
    std::string in;
    std::string out;
    bool controls;
  } cases[] = {
      {"root", "root", false},
      {"", "", false},
      {"a\r\nFORGED", "a\\r\\nFORGED", true},
      {"tab\there", "tab\\there", true},
      {std::string("nul\0x", 5), "nul\\x00x", true},
      {"bell\x07\x7f", "bell\\x07\\x7f", true},
      {"caf\xc3\xa9 [x] %0A \\n", "caf\xc3\xa9 [x] %0A \\n", false},  // UTF-8 and escapes already in text
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kx::escape_controls(c.in), c.out) << c.out;
    EXPECT_EQ(kx::has_controls(c.in), c.controls) << c.out;
    EXPECT_FALSE(kx::has_controls(kx::escape_controls(c.in))) << c.out;
  }
}

}  // namespace
