// Player admission: the user checks, the expiry rule, the per-user connection count and
// the channel rights.
#include "subscribers/auth.h"

#include <cstring>
#include <mutex>

#include "ingest/channel_info.h"
#include "catalogue/groups.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/time.h"
#include "core/text.h"
#include "subscribers/player_identity.h"
#include "net/peer_client.h"
#include "subscribers/blacklist.h"
#include "subscribers/filters.h"
#include "subscribers/ip_country.h"
#include "subscribers/token_macs.h"
#include "subscribers/users.h"

namespace kx {

namespace {

// The filter reload is short; a check does not wait on it for longer than this.
constexpr int kReloadWaitMs = 5000;
constexpr int kSecondsPerDay = 86400;
constexpr int kActivationTries = 3;

std::mutex g_clock_lock;
std::function<std::time_t()> g_clock;

// Day-count accounts are turned into dates one at a time, so two first logins that race
// activate the account once.
std::mutex g_activation_lock;

std::time_t now() {
  std::function<std::time_t()> c;
  {
    std::lock_guard<std::mutex> l(g_clock_lock);
    c = g_clock;
  }
  return c ? c() : static_cast<std::time_t>(wall_seconds());
}

std::tm local(std::time_t t) {
  std::tm tm{};
  local_time(tm, static_cast<int64_t>(t));
  return tm;
}

// Field text of a session, never read past its field.
template <std::size_t N>
std::string_view field(const char (&f)[N]) {
  return std::string_view(f, strnlen(f, N));
}

// For log lines: a name cut to its field, so a refused over-long value cannot flood the log,
// with its control characters escaped, so it cannot write lines of its own.
std::string shown(std::string_view v) { return escape_controls(v.substr(0, kUserIdMax)); }

void wait_for_filters() {
  for (int i = 0; i < kReloadWaitMs && filters_reloading(); ++i) sleep_ms(1);
}

void record_failure(std::string_view ip, std::string_view user) {
  if (!ip.empty()) record_failed_attempt(ip, user);
}

// The bound user IP: a user with one must connect from it; root may also connect from
// root_ip when root_exception is given.
bool address_allowed(const User_Profile& u, std::string_view ip, bool root_exception) {
  if (u.user_ip.empty() || u.user_ip == ip) return true;
  if (!root_exception || u.user_id != "root") return false;
  const std::string& root_ip = config()->t(Key::root_ip);
  return !root_ip.empty() && root_ip == ip;
}

void log_wrong_ip(const std::string& user, std::string_view ip) {
  log_sys("Username [%s]: Password[%s] is from Wrong IP[%s]\n", user.c_str(), kMaskedPassword,
          std::string(ip).c_str());
}

// The players one user may have at once: the allowance of the group named exactly like
// the user's, else of the group the user was given at load; 0 or less behaves as 1.
int allowance_of(const User_Profile& u) {
  GroupPtr g = u.group_name.empty() ? nullptr : find_group(u.group_name);
  if (!g) g = u.group;
  const int n = g ? g->connection : 1;
  return n < 1 ? 1 : n;
}

void log_times(const char* what, const User_Profile& u, std::time_t t) {
  const std::tm tm = local(t);
  log_sys("Username [%s] : %s time (%d/%d/%d %d:%d), Expired time (%d/%d/%d)\n", u.user_id.c_str(), what,
          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, u.expiry_month, u.expiry_day,
          u.expiry_year);
}

void log_stop_time(const std::string& user) {
  const std::tm tm = local(now());
  log_sys("Username [%s] : stop time (%d/%d/%d %d:%d)\n", user.c_str(), tm.tm_year + 1900, tm.tm_mon + 1,
          tm.tm_mday, tm.tm_hour, tm.tm_min);
}

// The date rule: 1 before or on the expiry day, 2 after it.
int date_rule(const User_Profile& u, std::time_t t) {
  const std::tm tm = local(t);
  const int today[3] = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
  const int expiry[3] = {u.expiry_year, u.expiry_month, u.expiry_day};
  for (int i = 0; i < 3; ++i) {
    if (today[i] < expiry[i]) return kAuthGranted;
    if (today[i] > expiry[i]) return kAuthExpired;
  }
  log_sys("The Subscription is available\n");
  return kAuthGranted;
}

// The group named exactly name, first in file order; null for an empty name.
GroupPtr exact_group(std::string_view name) { return name.empty() ? nullptr : find_group(name); }

int channel_allowed(const User_Profile& u, int channel) {
  const GroupPtr g = exact_group(u.group_name);
  if (!g) return 0;
  return group_allows_channel(*g, channel, channel_table()->count) ? 1 : 0;
}

// Takes s out of its user's player list (when it is still there) and forgets the user.
// The lines are written once the user's lock is released.
void leave_user(PlayerIdentity& s) {
  const UserPtr u = s.user_ref;
  const std::string user(field(s.user));
  int current = 0;
  bool removed = false, below_zero = false;
  {
    Guard g(u->rt->lock);
    removed = u->rt->players.remove(&s);
    if (removed && u->rt->connections.fetch_sub(1) - 1 < 0) {
      below_zero = true;
      u->rt->connections.store(0);
    }
    current = u->rt->connections.load();
    s.user_ref.reset();
  }
  if (below_zero) log_sys("Error: Username [%s] : Current Connection <0 \n", user.c_str());
  if (!removed) log_sys("Username [%s] : Already Removed by the next connection\n", user.c_str());
  const int owns = allowance_of(*u);
  log_sys("Username [%s] : owns [%d] connections, currnet [%d] connections\n", user.c_str(), owns, current);
  log_stop_time(user);
}

// Stops the oldest player of the user when the new one would exceed the allowance; true
// when one was stopped. Under the user's lock, so it logs nothing.
bool evict_oldest(UserRuntime& rt) {
  PlayerIdentity* old = static_cast<PlayerIdentity*>(rt.players.remove_tail());
  if (old == nullptr) return false;
  rt.connections.fetch_sub(1);
  // The flag first, so the woken player sees it. Players of other servers are stopped
  // by their own server, which only load balancing reaches.
  old->request_stop();
  return true;
}

// Step 10 of the admission: counts s against u. 1, or 0 when the player list is out of
// memory.
int count_player(PlayerIdentity& s, const UserPtr& u, int index, std::time_t t) {
  const std::string& user = u->user_id;
  const int owns = allowance_of(*u);
  log_sys("Username [%s] : currnet [%d] connections\n", user.c_str(), u->rt->connections.load());
  log_sys("Username [%s] : owns [%d] connections\n", user.c_str(), owns);
  int current = 0;
  bool evicted = false, counted = false;
  {
    Guard g(u->rt->lock);
    UserRuntime& rt = *u->rt;
    if (owns < rt.connections.load() + 1) evicted = evict_oldest(rt);
    if (rt.players.add_head(&s) != nullptr) {
      counted = true;
      current = rt.connections.fetch_add(1) + 1;
      s.user_ref = u;
    }
  }
  if (evicted) log_sys("Username [%s] : Removed the previous connection\n", user.c_str());
  if (!counted) {
    log_sys("Username [%s] : Out of memory for the connection\n", user.c_str());
    return kAuthRefused;
  }
  log_sys("Username [%s] : owns [%d] connections, currnet [%d] connections\n", user.c_str(), owns, current);
  const UserPtr latest = user_by_id(user);
  log_times("play", latest ? *latest : *u, t);
  s.user_index = index;
  s.external = false;
  return kAuthGranted;
}

// The MAC blocker: with mac_blocker on, a player whose MAC was not verified by its user's
// binding needs the device registered for its user name in the accepted MAC list.
bool mac_blocker_passes(const PlayerIdentity& s, std::string_view user) {
  if (config()->i(Key::mac_blocker) != 1 || s.mac_verified) return true;
  if (mac_list()->macs.empty()) {
    log_sys("No Allowed MAC ID\n");
    return false;
  }
  return mac_accepted(token_mac_for_user(user)) == 1;
}

}  // namespace

void set_auth_clock(std::function<std::time_t()> clock) {
  std::lock_guard<std::mutex> l(g_clock_lock);
  g_clock = std::move(clock);
}

int apply_expiry(const std::string& user_id, std::time_t t) {
  UserPtr u = user_by_id(user_id);
  if (!u) return kAuthRefused;
  if (!u->day_count()) return date_rule(*u, t);

  LogLater later;  // lines logged under the lock are written after it
  std::lock_guard<std::mutex> l(g_activation_lock);
  // A table change between the look-up and the save moves the user; look again.
  for (int attempt = 0; attempt < kActivationTries; ++attempt) {
    const UserTablePtr table = users();
    const int index = table->find(user_id);
    if (index < 0) return kAuthRefused;
    u = table->list[static_cast<std::size_t>(index)];
    if (!u->day_count()) return date_rule(*u, t);  // a racing login activated it

    const std::tm e = local(t + static_cast<std::time_t>(u->expiry_day) * kSecondsPerDay);
    User_Profile rec = *u;
    rec.expiry_year = e.tm_year + 1900;
    rec.expiry_month = e.tm_mon + 1;
    rec.expiry_day = e.tm_mday;
    char text[48];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d", rec.expiry_month, rec.expiry_day, rec.expiry_year);
    if (store_user(index, rec) == 1) {
      log_sys("PINCODR [%s] : is Enabled and Time Expired [%s]\n", user_id.c_str(), text);
      return kAuthGranted;
    }
    const UserTablePtr after = users();
    const bool moved = after != table && after->find(user_id) != index;
    if (!moved || attempt + 1 == kActivationTries) {
      log_sys("PINCODR [%s] : Failed to Enable [%s]\n", user_id.c_str(), text);
      return kAuthRefused;
    }
  }
  return kAuthRefused;
}

int check_user(PlayerIdentity& s, std::string_view user, std::string_view password, bool external_allowed,
               bool check_address, bool player_login) {
  const std::string name = shown(user);
  const std::string_view ip = field(s.ip);
  const int mode = config()->auth_mode();
  // Only a streaming player in mode 2 goes without its password.
  const bool relaxed = player_login && mode == 2;
  log_sys("Username [%s] : Starting User Checking\n", name.c_str());
  if (user.empty() && password.empty()) {
    log_sys("User Name and Password are NULL\n");
    return kAuthRefused;
  }
  if (user.empty()) {
    log_sys("User Name is NULL\n");
    return kAuthRefused;
  }
  if (password.empty() && !relaxed) {
    log_sys("Passowrd is NULL\n");
    return kAuthRefused;
  }
  if (user.size() > kUserIdMax || password.size() > kUserPasswordMax) {
    log_sys("Username [%s] : User Name or Password is longer than its field\n", name.c_str());
    record_failure(ip, name);
    return kAuthRefused;
  }
  if (address_blocked(ip)) {
    log_sys("Username [%s] : IP [%s] is blocked by the blacklist\n", name.c_str(), std::string(ip).c_str());
    return kAuthRefused;
  }
  wait_for_filters();
  log_sys("Username [%s] : Checking the user in Database\n", name.c_str());

  const UserTablePtr table = users();
  const int index = table->find(user);
  if (index < 0) {
    if (external_allowed && load_balancing_active()) {
      log_sys("Username [%s] : not in the User Database\n", name.c_str());
      // The other servers of the set are asked once the set exists.
      log_sys("Username [%s] : not in the User Database of all Kestrix\n", name.c_str());
    } else {
      log_sys("Username [%s] : not in the User Database\n", name.c_str());
    }
    record_failure(ip, name);
    return kAuthRefused;
  }
  const UserPtr u = table->list[static_cast<std::size_t>(index)];
  if (!relaxed && password != u->password) {
    log_sys("User [%s], Password[%s] Password Error\n", name.c_str(), kMaskedPassword);
    record_failure(ip, name);
    return kAuthRefused;
  }
  if (check_address && !address_allowed(*u, ip, true)) {
    log_wrong_ip(name, ip);
    record_failure(ip, name);
    return kAuthRefused;
  }
  log_sys("Username [%s] : is acceptable\n", name.c_str());
  if (!relaxed && !ip.empty()) unlock_address(ip);

  const std::time_t t = now();
  log_sys("Username [%s] : in the Database [%d] entry\n", name.c_str(), index);
  const std::tm tm = local(t);
  log_sys("Username [%s] : Login time (%d/%d/%d %d:%d), Expired time (%d/%d/%d)\n", name.c_str(),
          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, u->expiry_month, u->expiry_day,
          u->expiry_year);
  return apply_expiry(u->user_id, t);
}

namespace {

// The address and country screens; a refusal counts as a failed attempt.
bool passes_address_filters(const std::string& ip, const std::string& user) {
  const std::shared_ptr<const SecurityLists> lists = security_lists();
  const bool ip_ok = lists->accepted_ips.empty() ? ip_rejected(ip) != 1 : ip_accepted(ip) == 1;
  const bool country_ok = lists->accepted_countries.empty() || country_accepted(country_text(ip)) == 1;
  if (ip_ok && country_ok) return true;
  record_failure(ip, user);
  return false;
}

// The user's record, or null (logged and counted) when the name is empty or unknown.
UserPtr find_player_user(const std::string& ip, const std::string& user, std::string_view password,
                         bool external_allowed, int& index) {
  log_sys("Username [%s] : Check if he is in User Database\n", shown(user).c_str());
  if (user.empty()) {
    if (password.empty()) {
      log_sys("User Name and Password are NULL\n");
      return nullptr;
    }
    log_sys("User Name is NULL\n");
    record_failure(ip, user);
    return nullptr;
  }
  wait_for_filters();
  const UserTablePtr table = users();
  index = table->find(user);
  if (index >= 0) return table->list[static_cast<std::size_t>(index)];
  if (external_allowed && load_balancing_active()) {
    log_sys("Username [%s] : not in the User Database\n", shown(user).c_str());
    // The other servers of the set are asked once the set exists.
    log_sys("Username [%s] : not in the User Database of all Kestrix\n", shown(user).c_str());
  } else {
    log_sys("Username [%s] : not in the User Database\n", shown(user).c_str());
  }
  record_failure(ip, user);
  return nullptr;
}

// Password (mode 1) or bound address (mode 2), then the user's address and device
// bindings. A correct login clears the address's blacklist entry.
bool credentials_match(PlayerIdentity& s, const User_Profile& u, const std::string& ip, const std::string& user,
                       std::string_view password) {
  if (config()->auth_mode() == 2) {
    // Mode 2 takes a known name without its password, but not from another address.
    if (address_allowed(u, ip, false)) return true;
    log_wrong_ip(user, ip);
    record_failure(ip, user);
    return false;
  }
  if (password.empty() || password != u.password) {
    if (password.empty()) log_sys("Username [%s]: Password is Empty\n", user.c_str());
    else log_sys("Username [%s]: Password[%s] Error\n", user.c_str(), kMaskedPassword);
    const int errors = u.rt->password_errors.fetch_add(1) + 1;
    record_failure(ip, user);
    log_sys("Username [%s]: Password[%s] Error [%d] Times\n", user.c_str(), kMaskedPassword, errors);
    mac_blocker_passes(s, user);  // logs what the blocker would have said
    return false;
  }
  if (!address_allowed(u, ip, true)) {
    log_wrong_ip(user, ip);
    record_failure(ip, user);
    return false;
  }
  if (!u.mac_id.empty()) {
    const std::string mac = token_mac_for_address(ip);
    if (mac.empty() || mac != u.mac_id) {
      log_sys("Username [%s]: Password[%s] is from Wrong MAC Address[%s]\n", user.c_str(), kMaskedPassword,
              mac.c_str());
      record_failure(ip, user);
      return false;
    }
    s.mac_verified = true;
  }
  unlock_address(ip);
  return true;
}

}  // namespace

int authorize_player(PlayerIdentity& s, bool external_allowed) { return authorize_player(s, external_allowed, true); }

int authorize_player(PlayerIdentity& s, bool external_allowed, bool count) {
  const std::string ip(field(s.ip));
  const std::string user(field(s.user));
  const std::string_view password = field(s.password);
  s.mac_verified = false;

  // A blocked address gets no further: its credentials are not even looked at.
  if (address_blocked(ip)) {
    log_sys("Username [%s] : IP [%s] is blocked by the blacklist\n", user.c_str(), ip.c_str());
    return kAuthRefused;
  }
  // A session admitted before is taken off its user first, so it never counts twice.
  if (s.user_ref) leave_user(s);
  if (!passes_address_filters(ip, user)) return kAuthRefused;

  int index = -1;
  const UserPtr u = find_player_user(ip, user, password, external_allowed, index);
  if (!u || !credentials_match(s, *u, ip, user, password)) return kAuthRefused;
  // Before the expiry rule, so a refused player never activates a day-count account.
  if (!mac_blocker_passes(s, user)) {
    record_failure(ip, user);
    return kAuthRefused;
  }
  log_sys("Username [%s] : in the [%d] entry of the User Database\n", user.c_str(), index + 1);
  const std::time_t t = now();
  const int expiry = apply_expiry(u->user_id, t);
  if (expiry != kAuthGranted) return expiry;
  if (!count) {
    s.user_index = index;
    return kAuthGranted;
  }
  return count_player(s, u, index, t);
}

int admit_player(PlayerIdentity& s) {
  const std::string user(field(s.user));
  const UserTablePtr table = users();
  const int index = table->find(user);
  if (index < 0) {
    log_sys("Username [%s] : not in the User Database\n", shown(user).c_str());
    return kAuthRefused;
  }
  return count_player(s, table->list[static_cast<std::size_t>(index)], index, now());
}

int player_left(PlayerIdentity& s, bool external) {
  const std::string user(field(s.user));
  if (s.external && external) {
    // Only load balancing makes a player external; without it there is nobody to tell.
    log_sys("Error: Username [%s] : is not in External Database\n", user.c_str());
    return 1;
  }
  if (!s.user_ref) {
    log_sys("Error: Username [%s] : is not in Database again.\n", user.c_str());
    return 1;
  }
  leave_user(s);
  return 1;
}

int check_channel_right(std::string_view user, int channel, bool external_allowed) {
  const std::string name = shown(user);
  log_sys("Username [%s] : Start to check User Right for Channel [%d]\n", name.c_str(), channel);
  if (user.empty()) {
    log_sys("User Name is NULL\n");
    return 0;
  }
  wait_for_filters();
  log_sys("Username [%s] : Checking the user in Database for Channel [%d]\n", name.c_str(), channel);
  const UserPtr u = user.size() > kUserIdMax ? nullptr : user_by_id(user);
  if (u) return channel_allowed(*u, channel);
  if (!external_allowed) return 0;
  if (load_balancing_active()) {
    log_sys("Username [%s] : not in the User Database for Gruop Checking\n", name.c_str());
    // The other servers of the set are asked once the set exists.
    log_sys("Username [%s] : can not access CH [%d]\n", name.c_str(), channel);
    return 0;
  }
  log_sys("Username [%s] : not in the User Database for group checking\n", name.c_str());
  return 0;
}

int channel_allowed_for_user(std::string_view user, int channel) {
  if (user.empty() || user.size() > kUserIdMax) return 0;
  const UserPtr u = user_by_id(user);
  return u ? channel_allowed(*u, channel) : 0;
}

namespace {

bool at_line_start(std::string_view t, std::size_t i) { return i == 0 || t[i - 1] == '\n'; }

// The header name at a line start when it names credentials, else 0; its length.
std::size_t secret_header(std::string_view t, std::size_t i) {
  for (const std::string_view h : {std::string_view("Authorization:"), std::string_view("Proxy-Authorization:")}) {
    if (iequal(t.substr(i, h.size()), h)) return h.size();
  }
  return 0;
}

}  // namespace

std::string mask_request(std::string_view head) {
  const char sep1 = config()->sep1;
  std::string out;
  out.reserve(head.size());
  std::size_t i = 0;
  // Every turn copies at least one character.
  while (i < head.size()) {
    if (at_line_start(head, i)) {
      const std::size_t name = secret_header(head, i);
      if (name != 0) {
        std::size_t v = i + name;
        while (v < head.size() && (head[v] == ' ' || head[v] == '\t')) ++v;
        out.append(head.substr(i, v - i));
        out += kMaskedPassword;
        while (v < head.size() && head[v] != '\r' && head[v] != '\n') ++v;
        i = v;
        continue;
      }
    }
    // A key begins a line or follows a separator ("%26" is an escaped "&").
    const bool key_start = at_line_start(head, i) || head[i - 1] == '?' || head[i - 1] == '&' ||
                           head[i - 1] == ':' || head[i - 1] == sep1 ||
                           (i >= 3 && (head.compare(i - 3, 3, "%26") == 0 || head.compare(i - 3, 3, "%3A") == 0 ||
                                       head.compare(i - 3, 3, "%3a") == 0));
    if (key_start && head.compare(i, 2, "p=") == 0) {
      out += "p=";
      out += kMaskedPassword;
      // A password runs to the first primary separator; with a configured separator an
      // '&' is part of it, so only that separator (or the end of the line) ends the mask.
      std::size_t v = i + 2;
      while (v < head.size() && head[v] != sep1 && head[v] != ' ' && head[v] != '\t' && head[v] != '\r' &&
             head[v] != '\n')
        ++v;
      i = v;
      continue;
    }
    out += head[i++];
  }
  return out;
}

}  // namespace kx
