// Admission edge cases: request masking with configured credential separators.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config.h"
#include "http/http_request.h"
#include "subscribers/auth.h"

namespace kx {
namespace {

// With user_authorization set to a separator character, both credential separators are
// that character, and a password runs up to it: an '&' is part of the password then.
TEST(MaskRequest, CustomSeparatorHidesTheWholePassword) {
  const Config saved = *config();
  Config c = saved;
  c.sep1 = '|';
  c.sep2 = '|';
  config_publish(c);
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"GET /2.ch?u=bob|p=se&cret|x=1 HTTP/1.0\r\n", "GET /2.ch?u=bob|p=******|x=1 HTTP/1.0\r\n"},
      {"GET /2.ch?u=bob|p=a&b&c HTTP/1.0\r\n", "GET /2.ch?u=bob|p=****** HTTP/1.0\r\n"},
      {"GET /2.ch?u=bob&p=a&b HTTP/1.0\r\n", "GET /2.ch?u=bob&p=****** HTTP/1.0\r\n"},
      {"GET /2.ch?u=bob|p=plain HTTP/1.0\r\n", "GET /2.ch?u=bob|p=****** HTTP/1.0\r\n"},
  };
  // What the request parser takes as the password there.
  std::string user, password, mac;
  ASSERT_EQ(parse_query_credentials("/2.ch?u=bob|p=se&cret|x=1", '|', '|', user, password, mac), 1);
  EXPECT_EQ(password, "se&cret");
  for (const Case& k : cases) EXPECT_EQ(mask_request(k.in), k.out) << k.in;
  config_publish(saved);
  // The default separators still stop the mask at the next parameter.
  EXPECT_EQ(mask_request("GET /2.ch?u=bob:p=pw&ch=1 HTTP/1.0"), "GET /2.ch?u=bob:p=******&ch=1 HTTP/1.0");
}

}  // namespace
}  // namespace kx
