// The escaping used when channel names and parameters travel inside URLs.
#pragma once
#include <string>
#include <string_view>

namespace kx {

// Replaces each "%" and the two characters after it by the character they stand for:
// 3A : 3F ? 26 & 3D = 2C , 2F / 2E . 29 ) 28 ( 25 % 22 " 20 space (letters in either
// case); any other pair becomes "?". A "%" with fewer than two characters after it is
// kept as it is.
std::string url_decode(std::string_view text);

// Replaces each of ? = : / . - ) ( & " space and % by "%" and its code in two
// lower-case hexadecimal digits.
std::string url_encode(std::string_view text);

}  // namespace kx
