#include "catalogue/epg.h"

#include <mutex>

#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/sync.h"
#include "core/published.h"

namespace kx {

namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
constexpr std::size_t kStemMax = 200;  // well inside a file name's limit with the suffixes

// Serialises edits, writes and loads: snapshot, save, publish.
Mutex g_writer;

Published<EpgTable>& current() {
  static Published<EpgTable> t;
  return t;
}

void publish(EpgTablePtr t) { current().publish(std::move(t)); }

// The stem of a channel's files (see epg_file_name).
std::string stem_of(std::string_view channel_name) {
  std::string s = cut(channel_name, kStemMax);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == ' ' || c == '/' || c == '\\' || c < 0x20 || c == 0x7F) s[i] = '_';
    else if (c == '.' && i > 0 && s[i - 1] == '.') s[i] = '_';
  }
  return s;
}

// The temporary and backup names end in something other than ".xml", so that no channel's
// file can be another channel's temporary or backup (a channel named "News backup" would
// otherwise lose its guide to the backup of "News").
struct EpgStore : StoreFile {
  explicit EpgStore(const std::string& file) : StoreFile(file, file + ".temp", file + ".backup") {}
};

int atoi_view(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  int v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + (s[i] - '0');
  return neg ? -v : v;
}

// A value read from a file, in the form it will be written back.
std::string clean(std::string_view s, std::size_t max) {
  std::string out = cut(s, max);
  for (char& c : out) {
    if (c == '"' || c == '<' || c == '>' || c == '\0') c = '_';
    else if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

bool valid_entry(const EpgEntry& e) {
  return safe_text(e.start, kEpgTimeMax) && safe_text(e.stop, kEpgTimeMax) &&
         safe_text(e.title, kEpgTitleMax) && safe_text(e.description, kEpgTextMax) &&
         safe_text(e.picture, kEpgTextMax);
}

EpgEntry normalised(const EpgEntry& e) {
  EpgEntry out = e;
  out.rec = e.rec == 1 ? 1 : 0;
  return out;
}

// Index of the a-th entry whose start month is month; npos when there is none.
std::size_t nth_of_month(const std::vector<EpgEntry>& v, int a, int month) {
  int seen = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (epg_month(v[i].start) == month && ++seen == a) return i;
  }
  return std::string::npos;
}

// Saves a channel's new list and publishes it; the caller holds g_writer.
int save_channel(const EpgTable& t, std::size_t index, std::vector<EpgEntry> entries) {
  const EpgChannelPtr& old = t.channels[index];
  EpgStore f(epg_file_name(old->name));
  if (old->unreadable) {
    log_sys("System Error: [%s] could not be read at load; it is not written over\n", f.path.c_str());
    return 0;
  }
  make_dir(work_file("epg"));
  if (save_store(f, format_epg(entries)) != 1) {
    log_sys(" [%s] file Failed\n", f.temp.c_str());
    return 0;
  }
  auto ch = std::make_shared<EpgChannel>();
  ch->name = old->name;
  ch->entries = std::move(entries);
  auto next = std::make_shared<EpgTable>(t);
  next->channels[index] = std::move(ch);
  publish(std::move(next));
  return 1;
}

bool in_table(const EpgTable& t, int channel_index) {
  return channel_index >= 0 && static_cast<std::size_t>(channel_index) < t.channels.size();
}

}  // namespace

EpgTablePtr epg_table() { return current().get(); }

EpgChannelPtr epg_channel(int channel_index) {
  const EpgTablePtr t = epg_table();
  return in_table(*t, channel_index) ? t->channels[static_cast<std::size_t>(channel_index)] : nullptr;
}

std::string epg_file_name(std::string_view channel_name) {
  return "epg/" + stem_of(channel_name) + ".xml";
}

int epg_year(std::string_view start) { return atoi_view(start.substr(0, 4)); }

int epg_month(std::string_view start) {
  return start.size() > 5 ? atoi_view(start.substr(5, 2)) : 0;
}

std::vector<EpgEntry> parse_epg(std::string_view text) {
  std::vector<EpgEntry> out;
  std::size_t pos = 0;
  Element el;
  while (next_element(text, "program", pos, el)) {
    EpgEntry e;
    std::string_view v;
    if (el.attr("description", v)) e.description = clean(v, kEpgTextMax);
    if (el.attr("start", v)) e.start = clean(v, kEpgTimeMax);
    if (el.attr("stop", v)) e.stop = clean(v, kEpgTimeMax);
    if (el.attr("img", v)) e.picture = clean(v, kEpgTextMax);
    if (el.attr("rec", v) && v == "ON") e.rec = 1;
    // The title follows the last ">" before the closing tag.
    std::string_view title = el.text;
    const std::size_t gt = title.rfind('>');
    if (gt != std::string_view::npos) title.remove_prefix(gt + 1);
    e.title = clean(title, kEpgTitleMax);
    out.push_back(std::move(e));
  }
  return out;
}

std::string format_epg(const std::vector<EpgEntry>& entries) {
  std::string s = kDeclaration;
  for (const auto& e : entries) {
    s += "<program ";
    if (!e.description.empty()) s += "description=\"" + e.description + "\" ";
    if (!e.picture.empty()) s += "img=\"" + e.picture + "\" ";
    if (e.rec == 1) s += "rec=\"ON\" ";
    s += "start=\"" + e.start + "\" stop=\"" + e.stop + "\">" + e.title + "</program>\r\n";
  }
  return s;
}

int load_epg(int channel_count, const std::function<std::string(int)>& channel_name) {
  Guard w(g_writer);
  make_dir(work_file("epg"));
  auto t = std::make_shared<EpgTable>();
  for (int i = 0; i < channel_count; ++i) {
    auto ch = std::make_shared<EpgChannel>();
    ch->name = channel_name ? channel_name(i) : std::string();
    EpgStore f(epg_file_name(ch->name));
    std::string text;
    const ReadResult r = read_store(f, text);
    if (r == ReadResult::kRead || r == ReadResult::kFromBackup) ch->entries = parse_epg(text);
    ch->unreadable = r == ReadResult::kUnreadable;
    t->channels.push_back(std::move(ch));
  }
  publish(std::move(t));
  return 1;
}

void release_epg() {
  Guard w(g_writer);
  publish(std::make_shared<const EpgTable>());
}

int add_programme(int channel_index, int a, const EpgEntry& e) {
  if (!valid_entry(e)) return 0;
  Guard w(g_writer);
  const EpgTablePtr t = epg_table();
  if (!in_table(*t, channel_index)) return 0;
  const std::size_t index = static_cast<std::size_t>(channel_index);
  std::vector<EpgEntry> v = t->channels[index]->entries;
  const int month = epg_month(e.start);
  std::size_t at = v.size();  // at the end unless a place is found on the way
  int seen = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const int m = epg_month(v[i].start);
    if (m == month) {
      if (++seen == a) {
        at = i + 1;
        break;
      }
    } else if (m > month) {
      at = i;
      break;
    }
  }
  v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), normalised(e));
  return save_channel(*t, index, std::move(v));
}

int update_programme(int channel_index, int a, const EpgEntry& e) {
  if (!valid_entry(e)) return 0;
  Guard w(g_writer);
  const EpgTablePtr t = epg_table();
  if (!in_table(*t, channel_index)) return 0;
  const std::size_t index = static_cast<std::size_t>(channel_index);
  std::vector<EpgEntry> v = t->channels[index]->entries;
  const std::size_t i = nth_of_month(v, a, epg_month(e.start));
  if (i == std::string::npos) return 0;
  v[i] = normalised(e);
  return save_channel(*t, index, std::move(v));
}

int delete_programme(int channel_index, int a, std::string_view start) {
  Guard w(g_writer);
  const EpgTablePtr t = epg_table();
  if (!in_table(*t, channel_index)) return 0;
  const std::size_t index = static_cast<std::size_t>(channel_index);
  std::vector<EpgEntry> v = t->channels[index]->entries;
  const std::size_t i = nth_of_month(v, a, epg_month(start));
  if (i == std::string::npos) return 0;
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
  return save_channel(*t, index, std::move(v));
}

std::string programme_list_text(int channel_index, int year, int first_month, int last_month) {
  const EpgChannelPtr ch = epg_channel(channel_index);
  if (!ch || ch->entries.empty()) return std::string();
  std::string s;
  for (const auto& e : ch->entries) {
    const int m = epg_month(e.start);
    if (epg_year(e.start) != year || m < first_month || m > last_month) continue;
    s += "starttime=" + e.start + "\r\nstoptime=" + e.stop + "\r\ntitle=" + e.title +
         "\r\ndescription=" + e.description + "\r\nicon=" + e.picture +
         "\r\nrec=" + std::to_string(e.rec) + "\r\n";
  }
  s += "\r\n";
  return s;
}

int write_epg_file(int channel_index) {
  Guard w(g_writer);
  const EpgTablePtr t = epg_table();
  if (!in_table(*t, channel_index)) return 0;
  const std::size_t index = static_cast<std::size_t>(channel_index);
  return save_channel(*t, index, t->channels[index]->entries);
}

}  // namespace kx
