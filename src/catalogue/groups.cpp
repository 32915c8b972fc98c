#include "catalogue/groups.h"

#include <climits>
#include <cstdint>
#include <mutex>

#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/sync.h"
#include "core/published.h"
#include "core/text.h"

namespace kx {

namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

StoreFile& group_file() {
  static StoreFile f("ch_config/group_definition.xml", "ch_config/group_definition_temp.xml",
                     "ch_config/group_definition_backup.xml");
  return f;
}

// Serialises whole changes: snapshot, save, publish.
Mutex g_writer;

Published<GroupTable>& current() {
  static Published<GroupTable> t;
  return t;
}

void publish(GroupTablePtr t) { current().publish(std::move(t)); }

std::mutex g_listener_lock;
std::function<void()> g_listener;

// Declared before the writer lock's guard: once the lock is released, tells the listener
// that an edit published a new table.
struct ChangeNotice {
  bool published = false;
  ChangeNotice() = default;
  ChangeNotice(const ChangeNotice&) = delete;
  ChangeNotice& operator=(const ChangeNotice&) = delete;
  ~ChangeNotice() {
    if (!published) return;
    std::function<void()> f;
    {
      std::lock_guard<std::mutex> l(g_listener_lock);
      f = g_listener;
    }
    if (f) f();
  }
};

// atoi over a value read from the file, without overflow: leading blanks, a sign, digits;
// values beyond 32 bits are held at the limit.
int read_int(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<int64_t>(INT_MAX) + 1) v = static_cast<int64_t>(INT_MAX) + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}

// A name read from the file, in the form it will be written back.
std::string clean_name(std::string_view s) {
  std::string out = cut(s, kGroupNameMax);
  for (char& c : out) {
    if (c == '"' || c == '<' || c == '>' || c == '\0') c = '_';
    else if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

// The group an editing command describes, or 0 when an argument is refused.
int make_group(std::string_view name, std::string_view connection, std::string_view channels,
               Group& out) {
  if (name.empty() || !safe_text(name, kGroupNameMax)) return 0;
  Group g;
  g.name = std::string(name);
  if (!parse_connection_text(connection, g.connection)) return 0;
  if (!parse_channel_text(channels, g.channels)) return 0;
  out = std::move(g);
  return 1;
}

// Whether another group than the one at index skip (-1: none) carries name.
bool name_taken(const GroupTable& t, std::string_view name, long skip) {
  for (std::size_t i = 0; i < t.list.size(); ++i) {
    if (static_cast<long>(i) != skip && t.list[i]->name == name) return true;
  }
  return false;
}

// Saves a new table and publishes it when the save succeeded.
int save_and_publish(std::shared_ptr<GroupTable> next, ChangeNotice& notice) {
  if (save_store(group_file(), format_groups(*next)) != 1) return 0;
  publish(std::move(next));
  notice.published = true;
  return 1;
}

// Shared part of replace and update: the table with the group at position replaced, or null.
std::shared_ptr<GroupTable> replaced(const GroupTable& t, int position, std::string_view name,
                                     std::string_view connection, std::string_view channels) {
  if (position < 1 || static_cast<std::size_t>(position) > t.list.size()) return nullptr;
  Group g;
  if (!make_group(name, connection, channels, g)) return nullptr;
  if (name_taken(t, g.name, position - 1)) return nullptr;
  auto next = std::make_shared<GroupTable>(t);
  next->list[static_cast<std::size_t>(position) - 1] = std::make_shared<const Group>(std::move(g));
  return next;
}

}  // namespace

GroupTablePtr groups() { return current().get(); }

GroupPtr default_group() {
  const GroupTablePtr t = groups();
  return t->list.empty() ? nullptr : t->list.front();
}

GroupPtr find_group(std::string_view name) {
  const GroupTablePtr t = groups();
  for (const auto& g : t->list) {
    if (g->name == name) return g;
  }
  return nullptr;
}

bool group_allows_channel(const Group& g, int channel, int channel_count) {
  if (g.all()) return channel >= 1 && channel <= channel_count;
  for (const int n : g.channels) {
    if (n == channel) return true;
  }
  return false;
}

std::vector<Group> parse_groups(std::string_view text) {
  std::vector<Group> out;
  std::size_t pos = 0;
  Element e;
  while (next_element(text, "group", pos, e)) {
    Group g;
    std::string_view v;
    if (e.attr("name", v)) g.name = clean_name(v);
    g.connection = e.attr("connection", v) ? read_int(v) : 1;
    std::size_t cpos = 0;
    Element c;
    while (next_element(e.text, "channel", cpos, c)) g.channels.push_back(read_int(c.text));
    out.push_back(std::move(g));
  }
  return out;
}

std::string format_groups(const GroupTable& t) {
  std::string s = kDeclaration;
  for (const auto& g : t.list) {
    s += "<group name=\"" + g->name + "\" connection=\"" + std::to_string(g->connection) + "\">\r\n";
    for (const int n : g->channels) s += "<channel>" + std::to_string(n) + "</channel>\r\n";
    s += "</group>\r\n";
  }
  return s;
}

int parse_connection_text(std::string_view text, int& out) {
  std::string_view s = trim_blanks(text);
  bool neg = false;
  if (!s.empty() && s.front() == '-') {
    neg = true;
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 10) return 0;
  int64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  if (neg) v = -v;
  if (v > INT_MAX || v < INT_MIN) return 0;
  out = static_cast<int>(v);
  return 1;
}

int parse_channel_text(std::string_view text, std::vector<int>& out) {
  const std::string_view all = trim_blanks(text);
  if (iequal(all, "all")) {
    out.assign(1, 0);
    return 1;
  }
  std::vector<int> list;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = text.find(',', from);
    const std::string_view item =
        trim_blanks(text.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from));
    if (item.empty() || item.size() > 5) return 0;
    int v = 0;
    for (const char c : item) {
      if (c < '0' || c > '9') return 0;
      v = v * 10 + (c - '0');
    }
    if (v < 1 || v > kGroupChannelMax) return 0;
    list.push_back(v);
    if (comma == std::string_view::npos) break;
    from = comma + 1;
  }
  out = std::move(list);
  return 1;
}

int load_groups() {
  Guard w(g_writer);
  std::string text;
  const ReadResult r = read_store(group_file(), text);
  if (r == ReadResult::kMissing) {
    log_sys("group_definition.xml Not found\n");
    return 0;
  }
  if (r == ReadResult::kEmpty || r == ReadResult::kUnreadable) return 0;
  auto t = std::make_shared<GroupTable>();
  for (auto& g : parse_groups(text)) t->list.push_back(std::make_shared<const Group>(std::move(g)));
  publish(std::move(t));
  return 1;
}

void release_groups() {
  Guard w(g_writer);
  publish(std::make_shared<const GroupTable>());
}

std::string group_list_text(const GroupTable& t) {
  if (t.list.empty()) return std::string();
  std::string s;
  int no = 0;
  for (const auto& g : t.list) {
    s += "No=" + std::to_string(++no) + "\r\nname=" + g->name +
         "\r\nconnection=" + std::to_string(g->connection) + "\r\nsrc=";
    if (g->all()) {
      s += "all";
    } else {
      for (std::size_t i = 0; i < g->channels.size(); ++i) {
        if (i) s += ',';
        s += std::to_string(g->channels[i]);
      }
    }
    s += "\r\n";
  }
  s += "\r\n";
  return s;
}

std::string group_list_text() { return group_list_text(*groups()); }

std::size_t group_list_length() { return group_list_text().size(); }

int add_group(std::string_view name, std::string_view connection, std::string_view channels) {
  Group g;
  if (!make_group(name, connection, channels, g)) return 0;
  ChangeNotice notice;
  Guard w(g_writer);
  const GroupTablePtr t = groups();
  if (name_taken(*t, g.name, -1)) return 0;
  auto next = std::make_shared<GroupTable>(*t);
  const std::string added = g.name;
  next->list.push_back(std::make_shared<const Group>(std::move(g)));
  if (!save_and_publish(std::move(next), notice)) {
    log_sys("Open group_definition.xml File Failed");
    return 0;
  }
  log_sys("System Message: Add group [%s] sucessfully\n", added.c_str());
  return 1;
}

int delete_group(std::string_view name) {
  ChangeNotice notice;
  Guard w(g_writer);
  const GroupTablePtr t = groups();
  auto next = std::make_shared<GroupTable>();
  for (const auto& g : t->list) {
    if (g->name != name) next->list.push_back(g);
  }
  // Nothing to delete, or nothing would be left for users to fall back to.
  if (next->list.size() == t->list.size() || next->list.empty()) return 0;
  if (!save_and_publish(std::move(next), notice)) {
    log_sys(" Group_Definition_FileName_temp Failed");
    return 0;
  }
  return 1;
}

int replace_group(int position, std::string_view name, std::string_view connection,
                  std::string_view channels) {
  ChangeNotice notice;
  Guard w(g_writer);
  auto next = replaced(*groups(), position, name, connection, channels);
  if (!next) return 0;
  if (!save_and_publish(std::move(next), notice)) {
    log_sys(" Group_Definition_FileName_temp Failed");
    return 0;
  }
  return 1;
}

int update_group_in_table(int position, std::string_view name, std::string_view connection,
                          std::string_view channels) {
  ChangeNotice notice;
  Guard w(g_writer);
  auto next = replaced(*groups(), position, name, connection, channels);
  if (!next) return 0;
  publish(std::move(next));
  notice.published = true;
  return 1;
}

void on_groups_changed(std::function<void()> listener) {
  std::lock_guard<std::mutex> l(g_listener_lock);
  g_listener = std::move(listener);
}

GroupPtr group_check(std::string& group_name, int& found) {
  const GroupTablePtr t = groups();
  for (const auto& g : t->list) {
    if (g->name == group_name) {
      found = 1;
      return g;
    }
  }
  found = 0;
  if (t->list.empty()) return nullptr;
  group_name = t->list.front()->name;
  return t->list.front();
}

}  // namespace kx
