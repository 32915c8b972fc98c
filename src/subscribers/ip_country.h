// The IP-to-country table of users/user_ip_country.csv.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

struct CountryRow {
  double start = 0, end = 0;  // the range, both ends included
  std::string code2, code3, name;
};
struct CountryTable {
  std::vector<CountryRow> rows;  // file order
  int display = 2;               // 1 two-letter code, 2 three-letter code, 3 name
  bool enabled = false;          // at least one row
};

std::shared_ptr<const CountryTable> country_table();  // never null

// Start-up: always 1 (a missing or empty file leaves the table empty, with a warning).
int load_ip_country_table();
void release_ip_country_table();
// The file text without a file (CRLF or LF line ends; malformed rows skipped).
CountryTable parse_ip_country_text(std::string_view text);

// Dotted address to its number; false when the text is not a dotted IPv4 address.
bool ip_number(std::string_view ip, uint32_t& out);
// Row index of the address, or the row count when none.
int country_of_address(std::string_view ip);
// The display form of the address's row, "N/A" when none.
std::string country_text(std::string_view ip);

}  // namespace kx
