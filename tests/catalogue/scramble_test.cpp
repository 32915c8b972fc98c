#include "catalogue/scramble.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/base64.h"
#include "core/os/file.h"
#include "core/os/process.h"
#include "core/os/time.h"
#include "support/harness.h"

namespace kx {
namespace {

bool is_lower_hex(const std::string& s) {
  for (const char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string pattern(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

// ---- the key ----

TEST(ScrambleKey, FixedAcrossRuns) {
  // Tokens and passwords already on disk depend on this value: it must never change.
  EXPECT_EQ(server_key_hex(), "b6ce5c59d811ff33960230888d6fd4f0d577fad5775d39c58e57749a02ce0087");
  EXPECT_EQ(server_key_hex(), server_key_hex());
}

// ---- forward token ----

TEST(ForwardToken, MatchesOnlyItsOwnName) {
  const std::vector<std::string> names = {"News", "", "Caf\xe9 \xc9t\xe9", "X", pattern(60),
                                          pattern(128)};
  for (const auto& n : names) {
    SCOPED_TRACE(n);
    const std::string t = forward_token(n);
    EXPECT_EQ(t.size(), 256u);
    EXPECT_TRUE(is_lower_hex(t));
    EXPECT_EQ(t, forward_token(n));
    EXPECT_TRUE(forward_token_matches(t, n));
    EXPECT_TRUE(forward_token_matches(upper(t), n));
    EXPECT_FALSE(forward_token_matches(t, n + " "));
    EXPECT_FALSE(forward_token_matches(t, "Other"));
    EXPECT_FALSE(forward_token_matches(t.substr(0, 255), n));
    EXPECT_FALSE(forward_token_matches(t + "0", n));
  }
  EXPECT_FALSE(forward_token_matches(forward_token("News"), "New"));
  EXPECT_FALSE(forward_token_matches(forward_token(pattern(129)), pattern(129)));
  EXPECT_FALSE(forward_token_matches("", ""));
  EXPECT_FALSE(forward_token_matches(std::string(256, 'z'), ""));
}

// ---- current password form ----

TEST(PasswordCurrent, RoundTrips) {
  const std::vector<std::string> plains = {"", "secret", "Caf\xe9\xff\x01", pattern(127),
                                           pattern(128)};
  for (const auto& p : plains) {
    SCOPED_TRACE(p);
    const std::string hex = password_encode(p);
    EXPECT_EQ(hex.size(), 256u);
    EXPECT_TRUE(is_lower_hex(hex));
    std::string out = "junk";
    ASSERT_EQ(password_decode(hex, out), 1);
    EXPECT_EQ(out, p);
    ASSERT_EQ(password_decode(upper(hex), out), 1);
    EXPECT_EQ(out, p);
  }
  std::string out;
  ASSERT_EQ(password_decode(password_encode(pattern(200)), out), 1);  // cut to the field
  EXPECT_EQ(out, pattern(128));
}

TEST(PasswordCurrent, RefusesAnythingButExactly256HexDigits) {
  const std::string good = password_encode("secret");
  std::string bad_digit = good;
  bad_digit[100] = 'g';
  std::string space = good;
  space[0] = ' ';
  const std::vector<std::string> bad = {"",           good.substr(0, 255), good + "0",
                                        good + good,  bad_digit,           space,
                                        good.substr(0, 32), std::string(256, '-')};
  for (const auto& b : bad) {
    SCOPED_TRACE(b);
    std::string out = "junk";
    EXPECT_EQ(password_decode(b, out), 0);
    EXPECT_TRUE(out.empty());
  }
}

// ---- older password form ----

void expect_older_shape(const std::string& text, std::size_t b64_len) {
  ASSERT_EQ(text.size(), 127u);
  EXPECT_EQ(text.substr(56, 3), std::to_string(b64_len + 234));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i >= 56 && i < 59 + b64_len) continue;
    const char c = text[i];
    EXPECT_TRUE(c >= '0' && c <= 'z' && c != '<' && c != '>') << "filler " << i;
  }
}

struct OlderCase {
  std::string plain;
  std::string b64;     // the Base64 the form must carry
  std::string decoded;
};

TEST(PasswordOlder, RoundTripsAndStoresLongPasswordsEmpty) {
  const OlderCase cases[] = {
      {"", "", ""},
      {"secret", "c2VjcmV0", "secret"},
      {"Caf\xe9", "Q2Fm6Q==", "Caf\xe9"},
      {pattern(48), "", pattern(48)},  // 64 characters of Base64
      {pattern(49), "", ""},           // 68 characters: stored empty
      {pattern(127), "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plain);
    for (int round = 0; round < 20; ++round) {
      const std::string text = password_encode_older(c.plain);
      const std::size_t b64_len = c.decoded.empty() ? 0 : (c.decoded.size() + 2) / 3 * 4;
      expect_older_shape(text, b64_len);
      if (!c.b64.empty()) {
        EXPECT_EQ(text.substr(59, c.b64.size()), c.b64);
      }
      std::string out = "junk";
      ASSERT_EQ(password_decode_older(text, out), 1);
      EXPECT_EQ(out, c.decoded);
    }
  }
}

TEST(PasswordOlder, RefusesBrokenForms) {
  const std::string lead(56, 'x');
  const std::vector<std::string> bad = {
      "",
      "abc",
      lead,                                   // no digits
      lead + "24",                            // two digits
      lead + "2x2c2VjcmV0",                   // not digits
      lead + "-12c2VjcmV0",
      lead + "233c2VjcmV0",                   // L = -1
      lead + "242c2VjcmV",                    // L = 8, only 7 left
      lead + "999" + std::string(60, 'A'),    // L = 765
      lead + "242c2Vj!mV0",                   // not Base64
      lead + "241c2VjcmV",                    // L = 7: not whole quads
      lead + "242====AAAA",                   // misplaced padding
      lead + std::to_string(234 + 176) + std::string(176, 'A'),  // 132 bytes: over the field
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b);
    std::string out = "junk";
    EXPECT_EQ(password_decode_older(b, out), 0);
    EXPECT_TRUE(out.empty());
  }
  std::string out;
  ASSERT_EQ(password_decode_older(lead + "242c2VjcmV0", out), 1);  // shorter than 127 is fine
  EXPECT_EQ(out, "secret");
}

// ---- scrambled source ----

struct SourceCase {
  const char* what;
  std::string url;
  std::string name;
  bool channel1;
  const char* root;  // nullptr: no root account
};

// The fillers of one end: each below the code of the name's character (100 without
// one), mapped to '0' under '0', never a quote.
void expect_fillers(std::string_view fill, const std::string& name, std::size_t index) {
  const unsigned code = index < name.size() ? static_cast<unsigned char>(name[index]) : 100;
  for (const char ch : fill) {
    const auto c = static_cast<unsigned char>(ch);
    EXPECT_TRUE(c == '0' || (c > '0' && c < code)) << "filler " << int(c) << " code " << code;
    EXPECT_TRUE(c != '"' && c != '\'');
  }
}

const std::string kLongUrl = "http://example.com:8080/very/long/path?" + pattern(300) + "&end=1";

TEST(ScrambleSource, RoundTrips) {
  const SourceCase cases[] = {
      {"channel 1 with the root password", "http://example.com/live.ts", "News", true, "rootpw"},
      {"other channel", "udp://239.1.1.1:1234", "Sport", false, "rootpw"},
      {"other channel, no root account", "udp://239.1.1.1:1234", "Sport", false, nullptr},
      {"long URL over several lines", kLongUrl, "Movies", false, nullptr},
      {"channel 1, long URL", kLongUrl, "Movies", true, "rootpw"},
      {"channel 1, long root password", "rtmp://h/app/s", "A", true, "p@ss\xe9" "0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
      {"channel 1, empty root password", "rtsp://h/s", "N", true, ""},
      {"ISO-8859-1 name", "http://h/\xe9t\xe9.ts", "\xc9t\xe9 \xff", false, nullptr},
      {"high second character", "http://h/a", "a\xfe", false, nullptr},
      {"empty name", "http://h/a", "", false, nullptr},
      {"one-character name", "http://h/a", "Z", false, nullptr},
      {"name starting below '0'", "http://h/a", "!#", false, nullptr},
      {"empty URL", "", "Empty", false, nullptr},
      {"URL at its full length", std::string(1023, 'u'), "Max", false, nullptr},
      {"dir:// source", "dir://media/videos", "Folder", true, "root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = c.root ? c.root : "";
    const std::string* pw = c.root ? &root : nullptr;
    for (int round = 0; round < 20; ++round) {
      const std::string v = scramble_source(c.url, c.name, c.channel1, pw);
      ASSERT_GE(v.size(), 20u);
      expect_fillers(std::string_view(v).substr(0, 10), c.name, 0);
      expect_fillers(std::string_view(v).substr(v.size() - 10), c.name, 1);
      std::string url = "junk";
      ASSERT_EQ(unscramble_source(v, c.channel1, pw, url), 1);
      EXPECT_EQ(url, c.url);
    }
  }
}

TEST(ScrambleSource, UrlBase64IsBrokenInto72CharacterLines) {
  const std::string v = scramble_source(kLongUrl, "Movies", false, nullptr);
  const std::string body = v.substr(10, v.size() - 20);
  EXPECT_EQ(body.find('\r'), std::string::npos);
  std::size_t lines = 0, at = 0;
  for (std::size_t nl; (nl = body.find('\n', at)) != std::string::npos; at = nl + 1, ++lines)
    EXPECT_EQ(nl - at, 72u);
  EXPECT_LE(body.size() - at, 72u);
  EXPECT_GE(lines, 6u);
  EXPECT_NE(body.back(), '\n');
}

TEST(ScrambleSource, Channel1NeedsTheRootPassword) {
  const std::string root = "rootpw", other = "rootpx", empty;
  const std::string v = scramble_source("http://h/a", "News", true, &root);
  std::string url = "junk";
  EXPECT_EQ(unscramble_source(v, true, &other, url), 0);
  EXPECT_TRUE(url.empty());
  EXPECT_EQ(unscramble_source(v, true, &empty, url), 0);
  EXPECT_EQ(unscramble_source(v, true, nullptr, url), 0);
  EXPECT_EQ(scramble_source("http://h/a", "News", true, nullptr), "");
  ASSERT_EQ(unscramble_source(v, true, &root, url), 1);
  EXPECT_EQ(url, "http://h/a");
  // A password too long for the three-digit block cannot be written either.
  const std::string huge(600, 'p');
  EXPECT_EQ(scramble_source("http://h/a", "News", true, &huge), "");
}

struct BrokenSource {
  const char* what;
  std::string value;
  bool channel1;
};

TEST(ScrambleSource, RefusesBrokenValues) {
  const std::string f(10, '0');
  const BrokenSource cases[] = {
      {"empty", "", false},
      {"19 characters", std::string(19, '0'), false},
      {"19 characters, channel 1", std::string(19, '0'), true},
      {"Base64 not whole quads", f + "aHR" + f, false},
      {"padding before data", f + "aH==aHR0" + f, false},
      {"digits missing", f + f, true},
      {"digits not digits", f + "2a4" + "cm9vdHB3" + f, true},
      {"L below zero", f + "233" + "cm9vdHB3" + f, true},
      {"L past the value", f + "300" + "cm9vdHB3" + f, true},
      {"L reaches into the fillers", f + "243" + "cm9vdHB3" + f, true},
      {"decoded URL over 1023", f + kx::base64_encode_text(std::string(1024, 'u')) + f, false},
      {"text over 2048", f + std::string(2052, 'A') + f, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = "rootpw";
    std::string url = "junk";
    EXPECT_EQ(unscramble_source(c.value, c.channel1, &root, url), 0);
    EXPECT_TRUE(url.empty());
  }
}

TEST(ScrambleSource, TruncatedValuesNeverCrash) {
  const std::string root = "rootpw";
  for (const bool ch1 : {true, false}) {
    const std::string v = scramble_source(kLongUrl, "\xfe\xfe", ch1, &root);
    for (std::size_t n = 0; n <= v.size(); ++n) {
      std::string url;
      const int r = unscramble_source(std::string_view(v).substr(0, n), ch1, &root, url);
      if (n < 20) {
        EXPECT_EQ(r, 0);
      }
      if (r == 0) {
        EXPECT_TRUE(url.empty());
      }
      if (n == v.size()) {
        EXPECT_EQ(url, kLongUrl);
      }
    }
  }
}

// ---- outside check: the stored forms read back with standard tools ----



std::string base64_tool(const kxt::TempDir& dir, const std::string& name, std::string_view b64) {
  kxt::spit(dir / name, std::string(b64));
  return kxt::run_tool({"/usr/bin/base64", "-d", dir / name});
}

std::string hex_to_bytes(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(ScrambleOutsideCheck, Channel1SourceAndRootPasswordWithBase64Tool) {
  if (!file_exists("/usr/bin/base64")) GTEST_SKIP() << "no /usr/bin/base64";
  kxt::TempDir dir;
  const std::string root = "Adm1n-p@ss", url = kLongUrl;
  const std::string v = scramble_source(url, "News", true, &root);
  // As an operator would: drop 10 characters at each end, read the three digits.
  const std::string body = v.substr(10, v.size() - 20);
  const int len = std::stoi(body.substr(0, 3)) - 234;
  ASSERT_GT(len, 0);
  EXPECT_EQ(base64_tool(dir, "pw.b64", body.substr(3, static_cast<std::size_t>(len))), root);
  EXPECT_EQ(base64_tool(dir, "url.b64", body.substr(3 + static_cast<std::size_t>(len))), url);
}

TEST(ScrambleOutsideCheck, OlderPasswordWithBase64Tool) {
  if (!file_exists("/usr/bin/base64")) GTEST_SKIP() << "no /usr/bin/base64";
  kxt::TempDir dir;
  const std::string text = password_encode_older("s3cret!");
  const int len = std::stoi(text.substr(56, 3)) - 234;
  EXPECT_EQ(base64_tool(dir, "old.b64", text.substr(59, static_cast<std::size_t>(len))), "s3cret!");
}

TEST(ScrambleOutsideCheck, CurrentPasswordAndTokenWithOpenssl) {
  if (!file_exists("/usr/bin/openssl")) GTEST_SKIP() << "no /usr/bin/openssl";
  kxt::TempDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {password_encode("Adm1n-p@ss"), "Adm1n-p@ss"},
      {forward_token("News \xe9"), "News \xe9"},
  };
  for (const auto& [hex, plain] : cases) {
    SCOPED_TRACE(plain);
    kxt::spit(dir / "field.bin", hex_to_bytes(hex));
    std::string out = kxt::run_tool({"/usr/bin/openssl", "enc", "-d", "-aes-256-ecb", "-K",
                                server_key_hex(), "-nopad", "-in", dir / "field.bin"});
    ASSERT_EQ(out.size(), 128u) << out;
    EXPECT_EQ(out.substr(0, plain.size()), plain);
    EXPECT_EQ(out.substr(plain.size()), std::string(128 - plain.size(), '\0'));
  }
}

}  // namespace
}  // namespace kx
