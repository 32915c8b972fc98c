#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "catalogue/aes256.h"
#include "catalogue/base64.h"

namespace {

using kx::Aes256;
using kx::Base64Skip;

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string to_hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::string bytes_of(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(1 + (i * 37) % 255));
  return s;
}

// ---- Base64 ----

struct B64Vector {
  const char* plain;
  const char* encoded;
};

// RFC 4648, section 10.
const B64Vector kRfcVectors[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectorsBothWays) {
  for (const auto& v : kRfcVectors) {
    SCOPED_TRACE(v.plain);
    EXPECT_EQ(kx::base64_encode_text(v.plain), v.encoded);
    std::string out = "junk";
    ASSERT_EQ(kx::base64_decode(v.encoded, out), 1);
    EXPECT_EQ(out, v.plain);
  }
}

TEST(Base64, AllByteValuesRoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string enc = kx::base64_encode(all.data(), all.size());
  EXPECT_EQ(enc.size(), 344u);
  EXPECT_EQ(enc.substr(0, 8), "AAECAwQF");
  EXPECT_EQ(enc.substr(enc.size() - 4), "/w==");
  std::string out;
  ASSERT_EQ(kx::base64_decode(enc, out), 1);
  EXPECT_EQ(out, all);
}

struct LineCase {
  size_t bytes;
  std::vector<size_t> line_lengths;  // expected lengths of the lines, in order
};

// A line feed after every 72 output characters, none after the last line.
TEST(Base64, LineBreakFormAndRoundTrip) {
  const LineCase cases[] = {
      {0, {0}},          {1, {4}},         {53, {72}},      {54, {72}},
      {55, {72, 4}},     {108, {72, 72}},  {109, {72, 72, 4}}, {300, {72, 72, 72, 72, 72, 40}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::string data = bytes_of(c.bytes);
    const std::string enc = kx::base64_encode(data.data(), data.size(), kx::kBase64ScrambledLine);
    std::vector<size_t> lines;
    size_t start = 0;
    for (size_t nl; (nl = enc.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(nl - start);
    }
    lines.push_back(enc.size() - start);
    EXPECT_EQ(lines, c.line_lengths);
    EXPECT_EQ(enc.find('\r'), std::string::npos);
    std::string out;
    ASSERT_EQ(kx::base64_decode(enc, out), 1);
    EXPECT_EQ(out, data);
    ASSERT_EQ(kx::base64_decode(enc, out, Base64Skip::foreign, kx::kBase64ScrambledMax), 1);
    EXPECT_EQ(out, data);
  }
}

TEST(Base64, ShortLineLengthAndCrLfBreaks) {
  EXPECT_EQ(kx::base64_encode_text("foobar", 4), "Zm9v\nYmFy");
  EXPECT_EQ(kx::base64_encode_text("foob", 4), "Zm9v\nYg==");
  std::string out;
  ASSERT_EQ(kx::base64_decode("Zm9v\r\nYmFy\r\n", out), 1);
  EXPECT_EQ(out, "foobar");
  ASSERT_EQ(kx::base64_decode(" Zm9v\tYg== ", out), 1);
  EXPECT_EQ(out, "foob");
}

struct DecodeCase {
  const char* text;
  Base64Skip skip;
  int result;
  const char* plain;  // when result is 1
};

TEST(Base64, DecodeRejectsAndSkips) {
  const DecodeCase cases[] = {
      {"Zg=", Base64Skip::whitespace, 0, ""},        // count not a multiple of 4
      {"Zm9vY", Base64Skip::whitespace, 0, ""},      // dangling character
      {"Zm9v!", Base64Skip::whitespace, 0, ""},      // foreign character
      {"Zm9v-_", Base64Skip::whitespace, 0, ""},     // URL-safe alphabet is foreign
      {"Zm9v!", Base64Skip::foreign, 1, "foo"},      // foreign character ignored
      {"\"Zm#9v\"", Base64Skip::foreign, 1, "foo"},
      {"Zg=!", Base64Skip::foreign, 0, ""},          // ignoring does not fix the count
      {"Z===", Base64Skip::whitespace, 0, ""},       // three pads
      {"====", Base64Skip::whitespace, 0, ""},
      {"=Zg=", Base64Skip::whitespace, 0, ""},       // pad before data
      {"Zm=v", Base64Skip::whitespace, 0, ""},       // data after pad
      {"Zg==Zg==", Base64Skip::whitespace, 0, ""},   // data after a padded quad
      {"Zg==\n", Base64Skip::whitespace, 1, "f"},
      {"\r\n", Base64Skip::whitespace, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out = "junk";
    EXPECT_EQ(kx::base64_decode(c.text, out, c.skip), c.result);
    EXPECT_EQ(out, c.plain);
  }
}

TEST(Base64, DecodeLengthLimit) {
  const std::string data = bytes_of(1536);  // 2048 characters without breaks
  const std::string enc = kx::base64_encode(data.data(), data.size());
  ASSERT_EQ(enc.size(), kx::kBase64ScrambledMax);
  std::string out;
  EXPECT_EQ(kx::base64_decode(enc, out, Base64Skip::foreign, kx::kBase64ScrambledMax), 1);
  EXPECT_EQ(out, data);
  EXPECT_EQ(kx::base64_decode(enc + "\n", out, Base64Skip::foreign, kx::kBase64ScrambledMax), 0);
  EXPECT_TRUE(out.empty());
}

// ---- AES-256 ----

struct BlockVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

const char kSp800Key[] = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";

// FIPS-197 appendix C.3, then NIST SP 800-38A F.1.5/F.1.6 (ECB-AES256, four blocks).
const BlockVector kBlockVectors[] = {
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {kSp800Key, "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"},
    {kSp800Key, "ae2d8a571e03ac9c9eb76fac45af8e51", "591ccb10d410ed26dc5ba74a31362870"},
    {kSp800Key, "30c81c46a35ce411e5fbc1191a0a52ef", "b6ed21b99ca6f4f9f153e7b1beafed1d"},
    {kSp800Key, "f69f2445df4f9b17ad2b417be66c3710", "23304b7a39f9f3ff067d8d8f9e24ecc7"},
};

TEST(Aes256, KnownAnswerBlocks) {
  for (const auto& v : kBlockVectors) {
    SCOPED_TRACE(v.cipher);
    const Aes256 aes(from_hex(v.key).data());
    const auto plain = from_hex(v.plain);
    const auto cipher = from_hex(v.cipher);
    uint8_t out[16];
    aes.encrypt_block(plain.data(), out);
    EXPECT_EQ(to_hex(out, 16), v.cipher);
    aes.decrypt_block(cipher.data(), out);
    EXPECT_EQ(to_hex(out, 16), v.plain);
  }
}

TEST(Aes256, EcbHexMatchesBlockwiseEncryption) {
  const Aes256 aes(from_hex(kSp800Key).data());
  std::string plain;
  std::string cipher;
  for (size_t i = 1; i < std::size(kBlockVectors); ++i) {
    for (uint8_t b : from_hex(kBlockVectors[i].plain)) plain.push_back(static_cast<char>(b));
    cipher += kBlockVectors[i].cipher;
  }
  EXPECT_EQ(kx::aes_ecb_encrypt_hex(aes, plain, 0), cipher);
  // The stored field form: the same text padded with zero bytes to eight blocks.
  const std::string field = kx::aes_ecb_encrypt_hex(aes, plain);
  ASSERT_EQ(field.size(), 256u);
  EXPECT_EQ(field.substr(0, 128), cipher);
  uint8_t zero[16] = {};
  uint8_t zero_enc[16];
  aes.encrypt_block(zero, zero_enc);
  EXPECT_EQ(field.substr(128, 32), to_hex(zero_enc, 16));
  EXPECT_EQ(field.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(Aes256, EcbHexRoundTrips) {
  const Aes256 aes(from_hex(kSp800Key).data());
  const size_t lengths[] = {0, 1, 15, 16, 17, 31, 32, 100};
  const size_t fields[] = {kx::kAesTextField, 0};
  for (const size_t field : fields) {
    for (const size_t n : lengths) {
      SCOPED_TRACE(testing::Message() << "field " << field << " length " << n);
      const std::string text = bytes_of(n);
      const std::string hex = kx::aes_ecb_encrypt_hex(aes, text, field);
      const size_t want = field ? 256 : (n + 15) / 16 * 32;
      EXPECT_EQ(hex.size(), want);
      std::string back = "junk";
      ASSERT_EQ(kx::aes_ecb_decrypt_hex(aes, hex, back), 1);
      EXPECT_EQ(back, text);
    }
  }
}

TEST(Aes256, EcbHexTextEndsAtFirstZeroAndAcceptsUpperCase) {
  const Aes256 aes(from_hex(kSp800Key).data());
  std::string hex = kx::aes_ecb_encrypt_hex(aes, std::string("ab\0cd", 5));
  std::string back;
  ASSERT_EQ(kx::aes_ecb_decrypt_hex(aes, hex, back), 1);
  EXPECT_EQ(back, "ab");
  for (auto& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_EQ(kx::aes_ecb_decrypt_hex(aes, hex, back), 1);
  EXPECT_EQ(back, "ab");
  // A longer text than the field is kept whole rather than cut.
  const std::string long_text = bytes_of(130);
  hex = kx::aes_ecb_encrypt_hex(aes, long_text);
  EXPECT_EQ(hex.size(), 288u);
  ASSERT_EQ(kx::aes_ecb_decrypt_hex(aes, hex, back, 288), 1);
  EXPECT_EQ(back, long_text);
}

TEST(Aes256, EcbHexRejectsBadInput) {
  const Aes256 aes(from_hex(kSp800Key).data());
  const std::string good = kx::aes_ecb_encrypt_hex(aes, "secret");
  std::string bad_digit = good;
  bad_digit[40] = 'g';
  const std::string cases[] = {
      good.substr(0, 255),  // odd length
      good.substr(0, 254),  // not whole blocks
      good.substr(0, 16),
      bad_digit,            // non-hex
      " " + good.substr(1),
      good + good.substr(0, 32),  // longer than the default limit
  };
  for (const auto& hex : cases) {
    SCOPED_TRACE(hex);
    std::string back = "junk";
    EXPECT_EQ(kx::aes_ecb_decrypt_hex(aes, hex, back), 0);
    EXPECT_TRUE(back.empty());
  }
  std::string back;
  EXPECT_EQ(kx::aes_ecb_decrypt_hex(aes, good, back, 255), 0);
  ASSERT_EQ(kx::aes_ecb_decrypt_hex(aes, good, back), 1);
  EXPECT_EQ(back, "secret");
}

TEST(Aes256, DifferentKeysGiveDifferentTokens) {
  uint8_t k1[32] = {};
  uint8_t k2[32] = {};
  k2[31] = 1;
  const Aes256 a(k1);
  const Aes256 b(k2);
  const std::string hex = kx::aes_ecb_encrypt_hex(a, "Sport 1");
  EXPECT_NE(hex, kx::aes_ecb_encrypt_hex(b, "Sport 1"));
  std::string back;
  ASSERT_EQ(kx::aes_ecb_decrypt_hex(b, hex, back), 1);
  EXPECT_NE(back, "Sport 1");
}

}  // namespace
