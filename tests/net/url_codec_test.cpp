#include "net/url_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace kx {
namespace {

struct Case {
  std::string in, out;
};

TEST(UrlCodec, DecodeTable) {
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"%3A%3a", "::"},
      {"%3F%3f", "??"},
      {"%26", "&"},
      {"%3D%3d", "=="},
      {"%2C%2c", ",,"},
      {"%2F%2f", "//"},
      {"%2E%2e", ".."},
      {"%29%28", ")("},
      {"%25", "%"},
      {"%22", "\""},
      {"%20", " "},
      {"%41", "?"},  // pairs outside the table become a question mark
      {"%zz", "?"},
      {"%2d", "?"},
      {"a%20b%2Fc", "a b/c"},
      {"%2520", "%20"},  // decoded once only
      {"%%41", "?1"},    // the pair after the first "%" is "%4"
      {"name%", "name%"},  // too short to be a pair: kept as it is
      {"name%2", "name%2"},
      {"%", "%"},
      {"%3", "%3"},
      {"%3A%", ":%"},
      {"%3A%3", ":%3"},
      {"http%3A%2F%2Fhost%3A8080%2Flive%3Fid%3D5%26q%3D1", "http://host:8080/live?id=5&q=1"},
  };
  for (const Case& c : cases) EXPECT_EQ(url_decode(c.in), c.out) << "input " << c.in;
}

TEST(UrlCodec, DecodeNeverReadsPastTheText) {
  // A view into a longer buffer: the bytes after its end must not be used.
  const std::string backing = "ab%3A";
  for (std::size_t n = 0; n <= backing.size(); ++n) {
    std::string_view v(backing.data(), n);
    std::string want = n < backing.size() ? std::string(backing, 0, n) : "ab:";
    EXPECT_EQ(url_decode(v), want) << "length " << n;
  }
}

TEST(UrlCodec, EncodeTable) {
  const Case cases[] = {
      {"", ""},
      {"Channel_1", "Channel_1"},
      {" ", "%20"},
      {"?", "%3f"},
      {"=", "%3d"},
      {":", "%3a"},
      {"/", "%2f"},
      {".", "%2e"},
      {"-", "%2d"},
      {")", "%29"},
      {"(", "%28"},
      {"&", "%26"},
      {"\"", "%22"},
      {"%", "%25"},
      {",", ","},  // decoded, but not escaped
      {"100% news", "100%25%20news"},
      {"BBC One (HD)", "BBC%20One%20%28HD%29"},
      {"a=b&c", "a%3db%26c"},
      {"http://h.tv/x-y", "http%3a%2f%2fh%2etv%2fx%2dy"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(url_encode(c.in), c.out) << "input " << c.in;
}

TEST(UrlCodec, DecodeUndoesEncodeExceptForHyphens) {
  // The decoder knows no pair for the hyphen (it reads back as "?"); every other
  // escaped character, "%" included, comes back unchanged.
  const std::string texts[] = {"100% (live) \"news\"", "a=b&c?d", "http://host:80/path/file.ts", "%2F stays"};
  for (const std::string& t : texts) EXPECT_EQ(url_decode(url_encode(t)), t) << t;
  EXPECT_EQ(url_decode(url_encode("x-y")), "x?y");
}

}  // namespace
}  // namespace kx
