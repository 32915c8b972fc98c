#include "catalogue/scramble.h"

#include <cstdint>
#include <cstring>

#include "catalogue/base64.h"
#include "core/os/random.h"

namespace kx {

// ---- the server key ----

namespace {

// Each key word is the mix of two halves kept apart; the key exists only once built.
const uint64_t kKeyHalfA[4] = {0x6b5f3a91c2d07e48ULL, 0x1f8e2b7c94a6d035ULL,
                               0xc3a9e75104bd26f8ULL, 0x58d1f0a62e93c47bULL};
const uint64_t kKeyHalfB[4] = {0x2e7d4c19a8f3605bULL, 0x93b60f5ed7a1842cULL,
                               0x4a0c83f7e25d19b6ULL, 0xd5e81b4936cf027aULL};

uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

uint64_t rotl64(uint64_t x, unsigned r) { return (x << r) | (x >> (64 - r)); }

void build_key(uint8_t key[Aes256::kKeyBytes]) {
  const volatile uint64_t* a = kKeyHalfA;  // read at run time, not folded into one literal
  const volatile uint64_t* b = kKeyHalfB;
  for (unsigned i = 0; i < 4; ++i) {
    uint64_t w = mix64(a[i] ^ rotl64(b[(i + 1) & 3], 13 * i + 7));
    for (unsigned k = 0; k < 8; ++k) key[i * 8 + k] = static_cast<uint8_t>(w >> (8 * k));
  }
}

void wipe(void* p, std::size_t n) {
  volatile auto* v = static_cast<volatile uint8_t*>(p);
  while (n > 0) v[--n] = 0;
}

}  // namespace

const Aes256& server_key() {
  static const Aes256 key = [] {
    uint8_t k[Aes256::kKeyBytes];
    build_key(k);
    Aes256 aes(k);
    wipe(k, sizeof k);
    return aes;
  }();
  return key;
}

std::string server_key_hex() {
  static const char digits[] = "0123456789abcdef";
  uint8_t k[Aes256::kKeyBytes];
  build_key(k);
  std::string hex;
  for (const uint8_t b : k) {
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 15]);
  }
  wipe(k, sizeof k);
  return hex;
}

// ---- forward token and the current password form ----

namespace {

std::string_view field(std::string_view s) { return s.substr(0, kAesTextField); }

}  // namespace

std::string forward_token(std::string_view channel_name) {
  return aes_ecb_encrypt_hex(server_key(), field(channel_name));
}

bool forward_token_matches(std::string_view token, std::string_view channel_name) {
  std::string plain;
  return password_decode(token, plain) == 1 && plain == channel_name;
}

std::string password_encode(std::string_view plain) {
  return aes_ecb_encrypt_hex(server_key(), field(plain));
}

int password_decode(std::string_view hex, std::string& plain) {
  plain.clear();
  if (hex.size() != 2 * kAesTextField) return 0;
  return aes_ecb_decrypt_hex(server_key(), hex, plain);
}

// ---- the length block and fillers shared by the older forms ----

namespace {

constexpr int kLengthBias = 234;  // the three digits hold L + 234
constexpr std::size_t kOlderLead = 56, kOlderTotal = 127, kOlderBase64Max = 68;
constexpr std::size_t kSourceFill = 10, kSourceMin = 2 * kSourceFill;
constexpr std::size_t kUrlMax = 1023, kPasswordMax = 127;

// "%03d" of L + 234; empty when L does not fit three digits.
std::string length_block(std::size_t len) {
  const std::size_t n = len + kLengthBias;
  if (n > 999) return "";
  return {static_cast<char>('0' + n / 100), static_cast<char>('0' + n / 10 % 10),
          static_cast<char>('0' + n % 10)};
}

// L from three digits at s[at]; -1 when they are not digits or L would be negative.
long read_length(std::string_view s, std::size_t at) {
  if (s.size() < at + 3) return -1;
  long n = 0;
  for (std::size_t i = at; i < at + 3; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    n = n * 10 + (s[i] - '0');
  }
  return n - kLengthBias;
}

char password_filler() {
  const auto v = static_cast<char>(random_below(123));
  if (v < '0') return '0';
  return v == '<' || v == '>' ? '1' : v;
}

// A filler below the code of a name character (100 when the name has none there).
char source_filler(unsigned code) {
  const auto v = static_cast<unsigned>(random_below(code));
  if (v < '0') return '0';
  return v == '"' || v == '\'' ? '1' : static_cast<char>(v);
}

void add_source_fillers(std::string& out, std::string_view name, std::size_t index) {
  const unsigned code = index < name.size() ? static_cast<uint8_t>(name[index]) : 100;
  for (std::size_t i = 0; i < kSourceFill; ++i) out.push_back(source_filler(code));
}

}  // namespace

// ---- older password form ----

std::string password_encode_older(std::string_view plain) {
  std::string b64 = base64_encode_text(plain);
  if (b64.size() >= kOlderBase64Max) b64.clear();
  std::string out;
  out.reserve(kOlderTotal);
  for (std::size_t i = 0; i < kOlderLead; ++i) out.push_back(password_filler());
  out += length_block(b64.size());
  out += b64;
  while (out.size() < kOlderTotal) out.push_back(password_filler());
  return out;
}

int password_decode_older(std::string_view text, std::string& plain) {
  plain.clear();
  const long len = read_length(text, kOlderLead);
  const std::size_t at = kOlderLead + 3;
  if (len < 0 || at + static_cast<std::size_t>(len) > text.size()) return 0;
  if (!base64_decode(text.substr(at, static_cast<std::size_t>(len)), plain)) return 0;
  if (plain.size() <= kPasswordMax) return 1;
  plain.clear();
  return 0;
}

// ---- scrambled source ----

std::string scramble_source(std::string_view url, std::string_view channel_name, bool channel1,
                            const std::string* root_password) {
  std::string out;
  add_source_fillers(out, channel_name, 0);
  if (channel1) {
    if (root_password == nullptr) return "";
    const std::string pw = base64_encode_text(*root_password, kBase64ScrambledLine);
    const std::string digits = length_block(pw.size());
    if (digits.empty()) return "";
    out += digits;
    out += pw;
  }
  out += base64_encode_text(url, kBase64ScrambledLine);
  add_source_fillers(out, channel_name, 1);
  return out;
}

namespace {

// Checks channel 1's password block at the start of body and moves body past it.
bool check_root_block(std::string_view& body, const std::string* root_password) {
  if (root_password == nullptr) return false;
  const long len = read_length(body, 0);
  if (len < 0 || 3 + static_cast<std::size_t>(len) > body.size()) return false;
  std::string pw;
  if (!base64_decode(body.substr(3, static_cast<std::size_t>(len)), pw, Base64Skip::foreign,
                     kBase64ScrambledMax))
    return false;
  body.remove_prefix(3 + static_cast<std::size_t>(len));
  return pw == *root_password;
}

}  // namespace

int unscramble_source(std::string_view value, bool channel1, const std::string* root_password,
                      std::string& url) {
  url.clear();
  if (value.size() < kSourceMin) return 0;
  std::string_view body = value.substr(kSourceFill, value.size() - kSourceMin);
  if (channel1 && !check_root_block(body, root_password)) return 0;
  if (!base64_decode(body, url, Base64Skip::foreign, kBase64ScrambledMax)) return 0;
  if (url.size() <= kUrlMax) return 1;
  url.clear();
  return 0;
}

}  // namespace kx
