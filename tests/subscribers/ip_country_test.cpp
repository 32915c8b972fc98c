#include "subscribers/ip_country.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/os/file.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::slurp;
using kxt::spit;

const char* kCsv = "users/user_ip_country.csv";

// One row as the table files carry it: the first field's value starts three characters
// after its quote.
std::string row(const std::string& start, const std::string& end, const std::string& c2, const std::string& c3,
                const std::string& name, const std::string& eol = "\r\n", const std::string& pad = "000") {
  return "\"" + pad + start + "\",\"" + end + "\",\"" + c2 + "\",\"" + c3 + "\",\"" + name + "\"" + eol;
}

// 1.0.0.0 - 1.0.0.255 Australia, 1.0.1.0 - 1.0.3.255 China.
std::string two_rows(const std::string& eol) {
  return row("16777216", "16777471", "AU", "AUS", "Australia", eol) +
         row("16777472", "16778239", "CN", "CHN", "China", eol);
}

class IpCountryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
  }
  void TearDown() override { release_ip_country_table(); }
  bool logged(const std::string& line) const {
    return slurp(tmp_ / "log/system.log").find(line) != std::string::npos;
  }
  void load(const std::string& text) {
    spit(tmp_ / kCsv, text);
    ASSERT_EQ(load_ip_country_table(), 1);
  }

  kxt::WorkDirScope tmp_{"users"};
};

TEST_F(IpCountryTest, DottedAddressToNumber) {
  const struct {
    const char* ip;
    bool ok;
    uint32_t n;
  } cases[] = {
      {"1.2.3.4", true, 0x01020304},  {"255.255.255.255", true, 0xFFFFFFFF}, {"0.0.0.0", true, 0},
      {"010.0.0.1", true, 0x0A000001}, {"256.1.1.1", false, 0},             {"1.2.3", false, 0},
      {"1.2.3.4.5", false, 0},        {"1..2.3", false, 0},                 {"a.b.c.d", false, 0},
      {"1.2.3.4 ", false, 0},         {"", false, 0},                       {"1.2.3.1234", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t n = 7;
    EXPECT_EQ(ip_number(c.ip, n), c.ok) << c.ip;
    if (c.ok) {
      EXPECT_EQ(n, c.n) << c.ip;
    }
  }
}

TEST_F(IpCountryTest, LookupIncludesBothEndsOfARange) {
  for (const std::string eol : {"\r\n", "\n"}) {
    SCOPED_TRACE(eol.size() == 1 ? "LF" : "CRLF");
    load(two_rows(eol));
    ASSERT_EQ(country_table()->rows.size(), 2u);
    EXPECT_TRUE(country_table()->enabled);
    const struct {
      const char* ip;
      int row;
      const char* text;
    } cases[] = {
        {"0.255.255.255", 2, "N/A"}, {"1.0.0.0", 0, "AUS"},   {"1.0.0.77", 0, "AUS"}, {"1.0.0.255", 0, "AUS"},
        {"1.0.1.0", 1, "CHN"},       {"1.0.3.255", 1, "CHN"}, {"1.0.4.0", 2, "N/A"},  {"not-an-ip", 2, "N/A"},
    };
    for (const auto& c : cases) {
      EXPECT_EQ(country_of_address(c.ip), c.row) << c.ip;
      EXPECT_EQ(country_text(c.ip), c.text) << c.ip;
    }
  }
  EXPECT_TRUE(logged("Warning: IP 2 Country File enabled\n"));
}

TEST_F(IpCountryTest, DisplayFormFromTheFirstLine) {
  const struct {
    std::string first;
    int display;
    const char* text;
  } cases[] = {
      {"", 2, "AUS"},
      {"Country_Type=1\r\n", 1, "AU"},
      {"Country_Type=2\n", 2, "AUS"},
      {"Country_Type=3\r\n", 3, "Australia"},
      {"Country_Type=7\r\n", 2, "AUS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    load(c.first + two_rows("\r\n"));
    EXPECT_EQ(country_table()->display, c.display);
    EXPECT_EQ(country_table()->rows.size(), 2u);
    EXPECT_EQ(country_text("1.0.0.1"), c.text);
  }
}

TEST_F(IpCountryTest, MalformedRowsAreSkippedGoodRowsLoad) {
  const std::string bad[] = {
      "\"00016777216\",\"16777471\",\"AU\",\"AUS\"\r\n",             // four fields
      row("abc", "16777471", "AU", "AUS", "Australia"),              // start not a number
      row("16777216", "x", "AU", "AUS", "Australia"),                // end not a number
      row("16777216", "nan", "AU", "AUS", "Australia"),              // not finite
      "\"0\",\"16777471\",\"AU\",\"AUS\",\"Australia\"\r\n",         // first field shorter than the skip
      "\"00016777216\",\"16777471\",\"AU\",\"AUS\",\"Austr\r\n",     // unclosed quote
      "garbage without quotes\r\n",
      "\r\n",
  };
  std::string text = "Country_Type=3\r\n";
  for (const auto& b : bad) text += b;
  // A good row after the bad ones, with letters in the skipped characters and long codes (cut).
  text += row("16777472", "16778239", "CNX", "CHNX", std::string(40, 'c'), "", "id=");
  const CountryTable t = parse_ip_country_text(text);
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.rows[0].start, 16777472.0);
  EXPECT_EQ(t.rows[0].end, 16778239.0);
  EXPECT_EQ(t.rows[0].code2, "CN");
  EXPECT_EQ(t.rows[0].code3, "CHN");
  EXPECT_EQ(t.rows[0].name, std::string(31, 'c'));
  EXPECT_EQ(t.display, 3);
  EXPECT_TRUE(t.enabled);
  EXPECT_FALSE(parse_ip_country_text("Country_Type=1\r\n").enabled);
}

TEST_F(IpCountryTest, MissingOrEmptyFileLeavesTheTableEmpty) {
  load(two_rows("\r\n"));
  remove_file(tmp_ / kCsv);
  EXPECT_EQ(load_ip_country_table(), 1);
  EXPECT_TRUE(logged("Warning: IP 2 Country File [users/user_ip_country.csv] does not exist\n"));
  EXPECT_TRUE(country_table()->rows.empty());
  EXPECT_EQ(country_text("1.0.0.1"), "N/A");
  load("");
  EXPECT_TRUE(logged("Warning: IP 2 Country File [users/user_ip_country.csv] is 0 byte ."));
  EXPECT_FALSE(country_table()->enabled);
  EXPECT_EQ(country_of_address("1.0.0.1"), 0);
}

}  // namespace
}  // namespace kx
