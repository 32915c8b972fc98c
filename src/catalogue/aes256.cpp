#include "catalogue/aes256.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kx {
namespace {

using Block = uint8_t[16];

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) {
    if (b & 1) r ^= a;
    const bool hi = a & 0x80;
    a = static_cast<uint8_t>(a << 1);
    if (hi) a ^= 0x1b;
    b >>= 1;
  }
  return r;
}

// Multiplicative inverse as a^254; maps 0 to 0 as the S-box definition requires.
constexpr uint8_t ginv(uint8_t a) {
  uint8_t r = 1;
  uint8_t sq = a;
  for (int e = 254; e > 0; e >>= 1) {
    if (e & 1) r = gmul(r, sq);
    sq = gmul(sq, sq);
  }
  return r;
}

constexpr uint8_t rotl8(uint8_t b, int n) {
  return static_cast<uint8_t>((b << n) | (b >> (8 - n)));
}

// The S-box built from its definition (inverse, then the affine transformation),
// which avoids a 256-entry table typed by hand.
constexpr std::array<uint8_t, 256> make_sbox() {
  std::array<uint8_t, 256> s{};
  for (int i = 0; i < 256; ++i) {
    const uint8_t b = ginv(static_cast<uint8_t>(i));
    s[i] = b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63;
  }
  return s;
}

constexpr std::array<uint8_t, 256> kSbox = make_sbox();

constexpr std::array<uint8_t, 256> make_inv_sbox() {
  std::array<uint8_t, 256> s{};
  for (int i = 0; i < 256; ++i) s[kSbox[i]] = static_cast<uint8_t>(i);
  return s;
}

constexpr std::array<uint8_t, 256> kInvSbox = make_inv_sbox();
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xed && kInvSbox[0x63] == 0x00);

// The state is column-major: byte r + 4c is row r, column c.
void add_round_key(Block s, const uint8_t* rk) {
  for (int i = 0; i < 16; ++i) s[i] ^= rk[i];
}

void sub_bytes(Block s, const std::array<uint8_t, 256>& box) {
  for (int i = 0; i < 16; ++i) s[i] = box[s[i]];
}

// Row r moves r columns left (encrypt) or right (decrypt).
void shift_rows(Block s, bool inverse) {
  Block t;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      const int from = inverse ? (c + 4 - r) % 4 : (c + r) % 4;
      t[r + 4 * c] = s[r + 4 * from];
    }
  }
  std::memcpy(s, t, 16);
}

// Multiplies each column by the fixed matrix whose first row is m.
void mix_columns(Block s, const uint8_t m[4]) {
  for (int c = 0; c < 4; ++c) {
    uint8_t* col = s + 4 * c;
    const uint8_t a[4] = {col[0], col[1], col[2], col[3]};
    for (int r = 0; r < 4; ++r) {
      col[r] = gmul(a[r], m[0]) ^ gmul(a[(r + 1) % 4], m[1]) ^
               gmul(a[(r + 2) % 4], m[2]) ^ gmul(a[(r + 3) % 4], m[3]);
    }
  }
}

constexpr uint8_t kMix[4] = {0x02, 0x03, 0x01, 0x01};
constexpr uint8_t kInvMix[4] = {0x0e, 0x0b, 0x0d, 0x09};

// One key-schedule word: RotWord, SubWord and Rcon every 8 words, SubWord alone at
// the middle of each 8-word group (the 256-bit key rule).
void next_word(uint8_t* w, size_t i, uint8_t& rcon) {
  uint8_t t[4];
  std::memcpy(t, w - 4, 4);
  if (i % 8 == 0) {
    const uint8_t t0 = t[0];
    t[0] = kSbox[t[1]] ^ rcon;
    t[1] = kSbox[t[2]];
    t[2] = kSbox[t[3]];
    t[3] = kSbox[t0];
    rcon = gmul(rcon, 2);
  } else if (i % 8 == 4) {
    for (auto& b : t) b = kSbox[b];
  }
  for (int k = 0; k < 4; ++k) w[k] = w[k - 32] ^ t[k];
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void wipe(void* p, size_t n) {
  auto* v = static_cast<volatile uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) v[i] = 0;
}

void append_hex(std::string& out, const Block blk) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out.push_back(kDigits[blk[i] >> 4]);
    out.push_back(kDigits[blk[i] & 15]);
  }
}

// Two digits per byte; false on any non-hex character (hex has even length).
bool parse_hex(std::string_view hex, std::string& out) {
  out.assign(hex.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_value(hex[2 * i]);
    const int lo = hex_value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<char>(hi << 4 | lo);
  }
  return true;
}

}  // namespace

Aes256::Aes256(const uint8_t key[kKeyBytes]) {
  std::memcpy(round_keys_, key, kKeyBytes);
  uint8_t rcon = 1;
  for (size_t i = 8; i < 4 * (kRounds + 1); ++i) next_word(round_keys_ + 4 * i, i, rcon);
}

Aes256::~Aes256() { wipe(round_keys_, sizeof round_keys_); }

void Aes256::encrypt_block(const uint8_t in[kBlockBytes], uint8_t out[kBlockBytes]) const {
  Block s;
  std::memcpy(s, in, 16);
  add_round_key(s, round_keys_);
  for (int round = 1; round <= kRounds; ++round) {
    sub_bytes(s, kSbox);
    shift_rows(s, false);
    if (round != kRounds) mix_columns(s, kMix);
    add_round_key(s, round_keys_ + 16 * round);
  }
  std::memcpy(out, s, 16);
}

void Aes256::decrypt_block(const uint8_t in[kBlockBytes], uint8_t out[kBlockBytes]) const {
  Block s;
  std::memcpy(s, in, 16);
  add_round_key(s, round_keys_ + 16 * kRounds);
  for (int round = kRounds - 1; round >= 0; --round) {
    shift_rows(s, true);
    sub_bytes(s, kInvSbox);
    add_round_key(s, round_keys_ + 16 * round);
    if (round != 0) mix_columns(s, kInvMix);
  }
  std::memcpy(out, s, 16);
}

std::string aes_ecb_encrypt_hex(const Aes256& aes, std::string_view plain, size_t field_len) {
  const size_t blocks = (std::max(plain.size(), field_len) + 15) / 16;
  std::string hex;
  hex.reserve(blocks * 32);
  for (size_t at = 0; at < blocks * 16; at += 16) {
    uint8_t blk[16] = {};
    if (at < plain.size()) {
      std::memcpy(blk, plain.data() + at, std::min<size_t>(16, plain.size() - at));
    }
    aes.encrypt_block(blk, blk);
    append_hex(hex, blk);
  }
  return hex;
}

int aes_ecb_decrypt_hex(const Aes256& aes, std::string_view hex, std::string& plain,
                        size_t max_hex) {
  plain.clear();
  std::string bytes;
  if (hex.size() > max_hex || hex.size() % 32 != 0 || !parse_hex(hex, bytes)) return 0;
  for (size_t at = 0; at < bytes.size(); at += 16) {
    auto* blk = reinterpret_cast<uint8_t*>(bytes.data() + at);
    aes.decrypt_block(blk, blk);
  }
  plain.assign(bytes.c_str());  // the text ends at the first zero byte
  wipe(bytes.data(), bytes.size());
  return 1;
}

}  // namespace kx
