// AES-256 block cipher (FIPS-197) and the ECB hex form used for stored passwords and
// forward tokens: the text zero-padded to a whole field, enciphered block by block,
// written as lower-case hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

class Aes256 {
 public:
  static constexpr size_t kKeyBytes = 32;
  static constexpr size_t kBlockBytes = 16;
  static constexpr int kRounds = 14;

  explicit Aes256(const uint8_t key[kKeyBytes]);
  ~Aes256();  // wipes the key schedule
  Aes256(const Aes256&) = default;
  Aes256& operator=(const Aes256&) = default;

  // in and out may be the same buffer.
  void encrypt_block(const uint8_t in[kBlockBytes], uint8_t out[kBlockBytes]) const;
  void decrypt_block(const uint8_t in[kBlockBytes], uint8_t out[kBlockBytes]) const;

 private:
  uint8_t round_keys_[(kRounds + 1) * kBlockBytes];
};

// Stored text fields are 128 bytes: eight blocks, 256 hex digits.
inline constexpr size_t kAesTextField = 128;

// Zero-pads plain to field_len bytes (or, when plain is longer, to the next whole
// block; field_len itself is rounded up to whole blocks), enciphers each block and
// returns two lower-case hex digits per byte. field_len 0 pads only to a whole block,
// so an empty text gives an empty result.
std::string aes_ecb_encrypt_hex(const Aes256& aes, std::string_view plain,
                                size_t field_len = kAesTextField);

// Reverses aes_ecb_encrypt_hex: plain is the deciphered bytes up to the first zero
// byte. Accepts either hex case. Returns 1, or 0 with plain empty when hex is longer
// than max_hex, is not a whole number of blocks (32 digits each) or holds a non-hex
// character. An empty hex gives an empty plain and 1.
int aes_ecb_decrypt_hex(const Aes256& aes, std::string_view hex, std::string& plain,
                        size_t max_hex = 2 * kAesTextField);

}  // namespace kx
