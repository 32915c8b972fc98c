// The scrambled forms the catalogue files store: channel sources, forward tokens and
// user passwords.
#pragma once
#include <string>
#include <string_view>

#include "catalogue/aes256.h"

namespace kx {

// The server's fixed 32-byte key, assembled at run time.
const Aes256& server_key();
// The same key as 64 lower-case hex digits, for checking stored values with outside tools.
std::string server_key_hex();

// Forward token: the name, zero-padded to 128 bytes, AES-256-ECB, 256 lower-case hex digits.
// Texts longer than 128 bytes are cut to 128 here and in password_encode (the stores
// refuse them before that); a token never matches a name longer than 128 bytes.
std::string forward_token(std::string_view channel_name);
bool forward_token_matches(std::string_view token, std::string_view channel_name);

// Current password form: the same cipher; decoding ends the text at the first zero byte.
std::string password_encode(std::string_view plain);
int password_decode(std::string_view hex, std::string& plain);  // 0 when not 256 hex digits
// Older scrambled form: 56 fillers, three digits (L + 234), L characters of Base64, fillers
// to 127 characters. Decoding returns 0 when the form does not hold.
std::string password_encode_older(std::string_view plain);
int password_decode_older(std::string_view text, std::string& plain);

// Scrambled source: 10 fillers, for channel 1 the root password block (three digits L + 234
// and L characters of Base64), the URL in Base64 with a line feed every 72 characters, 10
// fillers. Fillers derive from the channel name's first and second characters.
// For channel 1 without a root password (no root account) the block cannot be written:
// the result is empty and the caller must not save.
std::string scramble_source(std::string_view url, std::string_view channel_name, bool channel1,
                            const std::string* root_password);
// 1 with the URL; 0 when the value is unreadable or, for channel 1, the password block
// does not match root_password (or there is no root password to check it against).
int unscramble_source(std::string_view value, bool channel1, const std::string* root_password,
                      std::string& url);

}  // namespace kx
