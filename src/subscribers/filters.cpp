#include "subscribers/filters.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/sync.h"
#include "core/published.h"
#include "core/text.h"
#include "subscribers/auth.h"

namespace kx {

namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
constexpr std::string_view kAgentKey = "User-Agent";
constexpr std::string_view kLineEnd = "\r\n";

constexpr const char* kAcceptedPlayer = "accepted_player";
constexpr const char* kRejectedPlayer = "rejected_player";
constexpr const char* kAcceptedIp = "accepted_ip";
constexpr const char* kRejectedIp = "rejected_ip";
constexpr const char* kAcceptedCountry = "accepted_country";
constexpr const char* kMacTag = "accepted_macid";

StoreFile& security_file() {
  static StoreFile f("security/security_definition.xml", "security/security_definition_temp.xml",
                     "security/security_definition_backup.xml");
  return f;
}
StoreFile& mac_file() {
  static StoreFile f("security/mac_definition.xml", "security/mac_definition_temp.xml",
                     "security/mac_definition_backup.xml");
  return f;
}

// Held for a whole change of one file: read, edit, save, publish. Loads take it too, so a
// reload never publishes a text older than an edit that finished before it.
Mutex g_security_writer;
Mutex g_mac_writer;

Published<SecurityLists>& security_slot() {
  static Published<SecurityLists> p;
  return p;
}
Published<MacList>& mac_slot() {
  static Published<MacList> p;
  return p;
}

// A count rather than a flag: two publishers may overlap (a security edit and a MAC edit).
std::atomic<int> g_reloading{0};

struct Reloading {
  Reloading() { g_reloading.fetch_add(1, std::memory_order_acq_rel); }
  ~Reloading() { g_reloading.fetch_sub(1, std::memory_order_acq_rel); }
  Reloading(const Reloading&) = delete;
  Reloading& operator=(const Reloading&) = delete;
};

void publish_security(SecurityLists lists) {
  std::shared_ptr<const SecurityLists> p = std::make_shared<const SecurityLists>(std::move(lists));
  Reloading r;
  security_slot().publish(std::move(p));
}

void publish_mac(MacList list) {
  std::shared_ptr<const MacList> p = std::make_shared<const MacList>(std::move(list));
  Reloading r;
  mac_slot().publish(std::move(p));
}

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Every value of one element kind, in file order, cut to its field. Empty values are
// left out: an empty entry would be contained in every agent text.
void collect(std::string_view text, std::string_view tag, std::size_t max, std::vector<std::string>& out) {
  std::size_t pos = 0;
  Element e;
  while (next_element(text, tag, pos, e)) {
    if (!e.text.empty()) out.push_back(cut(e.text, max));
  }
}

bool contains(const std::vector<std::string>& list, std::string_view v) {
  return std::find(list.begin(), list.end(), v) != list.end();
}

// A value that may go between the tags of an entry.
bool entry_text_ok(std::string_view s, std::size_t max) {
  if (s.empty() || s.size() > max) return false;
  return s.find_first_of(std::string_view("<>\r\n\0", 5)) == std::string_view::npos;
}

std::string element_text(const char* tag, std::string_view value) {
  std::string s;
  s.reserve(value.size() + 2 * std::char_traits<char>::length(tag) + 5);
  s.append("<").append(tag).append(">").append(value).append("</").append(tag).append(">");
  return s;
}

// One entry line as the server writes it.
std::string element(const char* tag, std::string_view value) { return element_text(tag, value) + "\r\n"; }

// Removes every copy of the element text elem with the line end that follows it.
// false when there is none.
bool remove_element(std::string& text, std::string_view elem) {
  bool found = false;
  std::size_t at = 0;
  while ((at = text.find(elem, at)) != std::string::npos) {
    found = true;
    std::size_t len = elem.size();
    if (text.compare(at + len, kLineEnd.size(), kLineEnd) == 0) {
      len += kLineEnd.size();
    } else if (at + len < text.size() && text[at + len] == '\n') {
      ++len;
    }
    text.erase(at, len);
  }
  return found;
}

// The agent text: after "User-Agent" and one more character (the colon) up to the next
// line end. Sets has_key / has_end as the checks need to tell the cases apart; agent_at
// is where the agent text begins.
struct AgentText {
  bool has_key = false, has_end = false;
  std::size_t agent_at = 0;
  std::string_view agent;
};

AgentText find_agent(std::string_view request) {
  AgentText a;
  const std::size_t key = request.find(kAgentKey);
  if (key == std::string_view::npos) return a;
  a.has_key = true;
  a.agent_at = key + kAgentKey.size() + 1;
  if (a.agent_at > request.size()) return a;
  const std::size_t end = request.find(kLineEnd, a.agent_at);
  if (end == std::string_view::npos) return a;
  a.has_end = true;
  a.agent = request.substr(a.agent_at, end - a.agent_at);
  return a;
}

std::string masked(std::string_view request) { return escape_controls(mask_request(request)); }

std::string str(std::string_view v) { return std::string(v); }

int player_kind_ok(int kind) { return kind == 1 || kind == 2; }

}  // namespace

std::shared_ptr<const SecurityLists> security_lists() { return security_slot().get(); }

std::shared_ptr<const MacList> mac_list() { return mac_slot().get(); }

bool filters_reloading() { return g_reloading.load(std::memory_order_acquire) > 0; }

// ---- the file texts ----

SecurityLists parse_security_text(std::string_view text) {
  SecurityLists l;
  collect(text, kAcceptedPlayer, kFilterAgentMax, l.accepted_players);
  collect(text, kRejectedPlayer, kFilterAgentMax, l.rejected_players);
  collect(text, kAcceptedIp, kFilterIpMax, l.accepted_ips);
  collect(text, kRejectedIp, kFilterIpMax, l.rejected_ips);
  collect(text, kAcceptedCountry, kFilterCountryMax, l.accepted_countries);
  return l;
}

MacList parse_mac_text(std::string_view text) {
  MacList m;
  std::size_t pos = 0;
  Element e;
  while (next_element(text, kMacTag, pos, e)) {
    if (e.text.size() == kMacIdLen) {
      m.macs.emplace_back(e.text);
    } else {
      log_sys("Warning: MAC ID [%s] length is not 12bytes", cut(e.text, 64).c_str());
    }
  }
  std::sort(m.macs.begin(), m.macs.end());
  return m;
}

// ---- start-up and shutdown ----

int load_security_lists() {
  Guard w(g_security_writer);
  const std::string path = work_file(security_file().path);
  if (!file_exists(path)) {
    log_sys("security_definition.xml Not found\n");
    publish_security({});
    return 0;
  }
  std::string text;
  if (!read_text_file(path, text)) {
    log_sys("security/security_definition.xml is empty\n");
    publish_security({});
    return 0;
  }
  publish_security(parse_security_text(text));
  return 1;
}

void release_security_lists() { publish_security({}); }

int load_mac_list() {
  Guard w(g_mac_writer);
  const std::string path = work_file(mac_file().path);
  if (!file_exists(path) || file_size(path) < 0) {
    log_sys("mac_definition.xml Not found\n");
    publish_mac({});
    return 1;
  }
  std::string text;
  if (!read_text_file(path, text)) {
    publish_mac({});
    return 0;
  }
  publish_mac(parse_mac_text(text));
  return 1;
}

void release_mac_list() { publish_mac({}); }

// ---- player checks ----

std::string player_agent(std::string_view request) {
  const std::size_t key = request.find(kAgentKey);
  if (key == std::string_view::npos) return "N/A";
  std::size_t at = key + kAgentKey.size();
  if (at < request.size() && request[at] == ':') ++at;
  while (at < request.size() && (request[at] == ' ' || request[at] == '\t')) ++at;
  std::size_t end = request.find_first_of(std::string_view("\r\n\0", 3), at);
  if (end == std::string_view::npos) end = request.size();
  if (end <= at) return "N/A";
  return cut(request.substr(at, end - at), 32);
}

int player_accepted(std::string_view request) {
  if (request.empty()) return 0;
  const AgentText a = find_agent(request);
  if (!a.has_key) {
    log_sys("NO User-Agent in Data=[%s]\n", masked(request).c_str());
    return 0;
  }
  if (!a.has_end) {
    log_sys("NO CR+LN in Data=[%s]\n", masked(request).c_str());
    return 0;
  }
  const std::string agent = str(a.agent);
  log_sys("Connecting User-Agent Player: [%s]\n", escape_controls(agent).c_str());
  const auto lists = security_lists();
  for (const auto& entry : lists->accepted_players) {
    if (a.agent.find(entry) != std::string_view::npos) {
      log_sys("Accepted Player: [%s]\n", escape_controls(agent).c_str());
      return 1;
    }
  }
  log_sys("NOT Accepted  Player[%s]\n", escape_controls(agent).c_str());
  return 0;
}

int player_rejected(std::string_view request) {
  if (request.empty()) return 0;
  const AgentText a = find_agent(request);
  if (!a.has_key) {
    log_sys("NOT FOUND User-Agent in Data=[%s]\n", masked(request).c_str());
    return 1;
  }
  if (!a.has_end) return 1;
  // Browsers playing a stream directly: Firefox always asks with a byte range, and a page
  // that embeds the stream sends Origin.
  const bool firefox_no_range =
      a.agent.find("Firefox") != std::string_view::npos && request.find("Range: bytes") == std::string_view::npos;
  if (firefox_no_range || request.substr(a.agent_at).find("Origin:") != std::string_view::npos) {
    log_sys("Rejected Player[%s]\n", masked(request).c_str());
    return 1;
  }
  const std::string agent = str(a.agent);
  log_sys("Connecting User-Agent Player: [%s]\n", escape_controls(agent).c_str());
  const auto lists = security_lists();
  for (const auto& entry : lists->rejected_players) {
    if (a.agent.find(entry) != std::string_view::npos || std::string_view(entry).find(a.agent) != std::string_view::npos) {
      log_sys("Rejected Player: [%s]\n", escape_controls(agent).c_str());
      return 1;
    }
  }
  log_sys("NOT Rejected Player[%s]\n", escape_controls(agent).c_str());
  return 0;
}

bool player_filter_refuses(std::string_view request) {
  const auto lists = security_lists();
  if (!lists->rejected_players.empty()) return player_rejected(request) == 1;
  if (!lists->accepted_players.empty()) return player_accepted(request) == 0;
  return false;
}

// ---- address, country and MAC checks ----

int ip_accepted(std::string_view ip) {
  const std::string v = str(ip);
  if (contains(security_lists()->accepted_ips, ip)) {
    log_sys("Accepted IP: [%s]\n", v.c_str());
    return 1;
  }
  log_sys("NOT Accepted IP[%s]\n", v.c_str());
  return 0;
}

int ip_rejected(std::string_view ip) {
  const std::string v = str(ip);
  if (contains(security_lists()->rejected_ips, ip)) {
    log_sys("Rejected IP: [%s]\n", v.c_str());
    return 1;
  }
  log_sys("NOT Rejected IP[%s]\n", v.c_str());
  return 0;
}

int country_accepted(std::string_view country) {
  const std::string v = str(country);
  if (contains(security_lists()->accepted_countries, country)) {
    log_sys("Accepted Country: [%s]\n", v.c_str());
    return 1;
  }
  log_sys("NOT Accepted Country[%s]\n", v.c_str());
  return 0;
}

int mac_accepted(std::string_view mac) {
  const std::string v = str(mac);
  const auto list = mac_list();
  if (std::binary_search(list->macs.begin(), list->macs.end(), mac, std::less<>())) {
    log_sys("Accepted MAC ID: [%s]\n", v.c_str());
    return 1;
  }
  log_sys("NOT Accepted MAC ID[%s]\n", v.c_str());
  return 0;
}

// ---- editing ----

int add_player_filter(std::string_view agent, int kind) {
  if (!player_kind_ok(kind) || !entry_text_ok(agent, kFilterAgentMax)) return 0;
  const std::string v = str(agent);
  Guard w(g_security_writer);
  log_sys("Player Filter [%s] : Check the player filter if he is already in Database\n", v.c_str());
  const auto current = security_lists();
  const auto& list = kind == 1 ? current->accepted_players : current->rejected_players;
  if (contains(list, agent)) {
    log_sys("Player Filter [%s] : is already in Database\n", v.c_str());
    return 3;
  }
  const std::string path = work_file(security_file().path);
  std::string text;
  if (!read_text_file(path, text)) {
    if (!file_exists(path) || file_size(path) != 0) {
      say(" Security File Open Failed");
      return 0;
    }
    text = kDeclaration;
  }
  text += element(kind == 1 ? kAcceptedPlayer : kRejectedPlayer, agent);
  if (!save_store(security_file(), text)) return 2;
  SecurityLists next = *current;
  (kind == 1 ? next.accepted_players : next.rejected_players).push_back(v);
  publish_security(std::move(next));
  return 1;
}

int delete_player_filter(std::string_view agent, int kind) {
  if (!player_kind_ok(kind) || !entry_text_ok(agent, kFilterAgentMax)) return 0;
  const std::string v = str(agent);
  Guard w(g_security_writer);
  std::string text;
  if (!read_text_file(work_file(security_file().path), text)) {
    say(" Security File Open Failed");
    return 0;
  }
  if (!remove_element(text, element_text(kind == 1 ? kAcceptedPlayer : kRejectedPlayer, agent))) {
    log_sys(" Del Player FIlter Item [%s] Not Found\n", v.c_str());
    return 0;
  }
  if (!save_store(security_file(), text)) return 2;
  // The lists follow the file at once, as a reload would.
  publish_security(parse_security_text(text));
  return 1;
}

int switch_player_filter(int kind) {
  if (!player_kind_ok(kind)) return 0;
  Guard w(g_security_writer);
  const auto current = security_lists();
  std::string text = kDeclaration;
  if (kind == 1) {
    for (const auto& a : current->accepted_players) text += element(kRejectedPlayer, a);
  } else {
    for (const auto& a : current->rejected_players) text += element(kAcceptedPlayer, a);
  }
  for (const auto& a : current->accepted_ips) text += element(kAcceptedIp, a);
  for (const auto& a : current->rejected_ips) text += element(kRejectedIp, a);
  for (const auto& a : current->accepted_countries) text += element(kAcceptedCountry, a);
  if (!save_store(security_file(), text)) {
    log_sys("Write [%s] into [%s] error\n", security_file().temp.c_str(), security_file().path.c_str());
    return 0;
  }
  publish_security(parse_security_text(text));
  return 1;
}

int add_mac(std::string_view mac) {
  if (mac.size() != kMacIdLen || !entry_text_ok(mac, kMacIdLen)) return 0;
  const std::string v = str(mac);
  Guard w(g_mac_writer);
  log_sys("MAC ID [%s] : Check the MAC ID if he is already in Database\n", v.c_str());
  const auto current = mac_list();
  if (std::binary_search(current->macs.begin(), current->macs.end(), mac, std::less<>())) {
    log_sys("MAC ID [%s] : is already in Database\n", v.c_str());
    return 3;
  }
  std::string text;
  // With no accepted MAC in memory the file may still hold entries that were skipped on
  // load (wrong length) or written by hand since: they are kept, never overwritten.
  const bool read = read_text_file(work_file(mac_file().path), text);
  if (!read && !current->macs.empty()) {
    say(" MAC ID File Open Failed");
    return 0;
  }
  if (!read || text.empty()) text = kDeclaration;
  text += element(kMacTag, mac);
  if (!save_store(mac_file(), text)) return 2;
  MacList next = *current;
  next.macs.insert(std::upper_bound(next.macs.begin(), next.macs.end(), v), v);
  publish_mac(std::move(next));
  return 1;
}

int delete_mac(std::string_view mac) {
  if (!entry_text_ok(mac, kMacIdLen)) return 0;
  const std::string v = str(mac);
  Guard w(g_mac_writer);
  std::string text;
  if (!read_text_file(work_file(mac_file().path), text)) {
    say(" MAC ID File Open Failed");
    return 0;
  }
  if (!remove_element(text, element_text(kMacTag, mac))) {
    log_sys(" Del MAC ID Item [%s] Not Found\n", v.c_str());
    return 0;
  }
  if (!save_store(mac_file(), text)) return 2;
  publish_mac(parse_mac_text(text));
  return 1;
}

}  // namespace kx
