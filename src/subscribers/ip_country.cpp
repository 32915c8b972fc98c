#include "subscribers/ip_country.h"

#include <charconv>
#include <cmath>
#include <mutex>

#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/published.h"

namespace kx {

namespace {

constexpr const char* kCountryFile = "users/user_ip_country.csv";
constexpr std::string_view kTypeKey = "Country_Type=";
constexpr std::size_t kCode2Max = 2, kCode3Max = 3, kNameMax = 31;
// Characters after the first field's opening quote that are not part of its value.
constexpr std::size_t kFirstFieldSkip = 3;

Published<CountryTable>& slot() {
  static Published<CountryTable> p;
  return p;
}

void publish(CountryTable t) { slot().publish(std::make_shared<const CountryTable>(std::move(t))); }

// The next line of text from pos (without its "\r\n" or "\n"); false at the end.
bool next_line(std::string_view text, std::size_t& pos, std::string_view& line) {
  if (pos >= text.size()) return false;
  std::size_t end = text.find('\n', pos);
  std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
  if (end == std::string_view::npos) end = text.size();
  if (end > pos && text[end - 1] == '\r') --end;
  line = text.substr(pos, end - pos);
  pos = next;
  return true;
}

// The value of the next quoted field from pos, skip characters after its opening quote
// left out; pos moves past the closing quote. false when the field is missing or not
// closed.
bool quoted(std::string_view line, std::size_t& pos, std::size_t skip, std::string_view& out) {
  const std::size_t open = line.find('"', pos);
  if (open == std::string_view::npos || line.size() - open - 1 < skip) return false;
  const std::size_t at = open + 1 + skip;
  if (line.substr(open + 1, skip).find('"') != std::string_view::npos) return false;
  const std::size_t close = line.find('"', at);
  if (close == std::string_view::npos) return false;
  out = line.substr(at, close - at);
  pos = close + 1;
  return true;
}

bool number(std::string_view s, double& out) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s.empty()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(out);
}

bool parse_row(std::string_view line, CountryRow& row) {
  std::size_t pos = 0;
  std::string_view start, end, code2, code3, name;
  if (!quoted(line, pos, kFirstFieldSkip, start) || !quoted(line, pos, 0, end) || !quoted(line, pos, 0, code2) ||
      !quoted(line, pos, 0, code3) || !quoted(line, pos, 0, name))
    return false;
  if (!number(start, row.start) || !number(end, row.end)) return false;
  row.code2 = cut(code2, kCode2Max);
  row.code3 = cut(code3, kCode3Max);
  row.name = cut(name, kNameMax);
  return true;
}

}  // namespace

std::shared_ptr<const CountryTable> country_table() { return slot().get(); }

CountryTable parse_ip_country_text(std::string_view text) {
  CountryTable t;
  std::size_t pos = 0;
  std::string_view line;
  bool first = true;
  while (next_line(text, pos, line)) {
    if (first) {
      first = false;
      if (line.substr(0, kTypeKey.size()) == kTypeKey) {
        const char d = line.size() > kTypeKey.size() ? line[kTypeKey.size()] : '\0';
        t.display = d == '1' ? 1 : d == '3' ? 3 : 2;
        continue;
      }
    }
    CountryRow row;
    if (parse_row(line, row)) t.rows.push_back(std::move(row));
  }
  t.enabled = !t.rows.empty();
  return t;
}

int load_ip_country_table() {
  const std::string path = work_file(kCountryFile);
  if (!file_exists(path)) {
    log_sys("Warning: IP 2 Country File [%s] does not exist\n", kCountryFile);
    publish({});
    return 1;
  }
  std::string text;
  if (file_size(path) <= 0 || !read_file(path, text)) {
    log_sys("Warning: IP 2 Country File [%s] is 0 byte .", kCountryFile);
    publish({});
    return 1;
  }
  CountryTable t = parse_ip_country_text(text);
  if (t.enabled) log_sys("Warning: IP 2 Country File enabled\n");
  publish(std::move(t));
  return 1;
}

void release_ip_country_table() { publish({}); }

bool ip_number(std::string_view ip, uint32_t& out) {
  uint32_t n = 0;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= ip.size() || ip[pos] != '.') return false;
      ++pos;
    }
    const std::size_t at = pos;
    unsigned v = 0;
    while (pos < ip.size() && pos - at < 3 && ip[pos] >= '0' && ip[pos] <= '9') v = v * 10 + (ip[pos++] - '0');
    if (pos == at || v > 255) return false;
    n = (n << 8) | v;
  }
  if (pos != ip.size()) return false;
  out = n;
  return true;
}

int country_of_address(std::string_view ip) {
  const auto t = country_table();
  const int count = static_cast<int>(t->rows.size());
  uint32_t n = 0;
  if (!ip_number(ip, n)) return count;
  const double v = n;
  for (int i = 0; i < count; ++i) {
    const CountryRow& r = t->rows[i];
    if (r.start <= v && v <= r.end) return i;
  }
  return count;
}

std::string country_text(std::string_view ip) {
  const auto t = country_table();
  uint32_t n = 0;
  if (!ip_number(ip, n)) return "N/A";
  const double v = n;
  for (const CountryRow& r : t->rows) {
    if (r.start <= v && v <= r.end) {
      switch (t->display) {
        case 1: return r.code2;
        case 3: return r.name;
        default: return r.code3;
      }
    }
  }
  return "N/A";
}

}  // namespace kx
