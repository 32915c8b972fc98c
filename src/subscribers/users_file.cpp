// The editing operations of the user store. Each one, under the writer lock, inserts,
// replaces or cuts one entry of the file text, saves the file through the safe
// replacement, and only then publishes a table built from the old one plus the change.
#include <cmath>
#include <set>

#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/random.h"
#include "subscribers/resellers.h"
#include "subscribers/users.h"
#include "subscribers/users_store.h"

namespace kx {

using namespace user_store;

namespace {

constexpr std::string_view kUserOpen = "<userid>";
constexpr int kMaxDayCount = 100 * 366;  // a hundred years
constexpr uint64_t kPinFirst = 1000000000ULL, kPinSpan = 8999999999ULL;  // ids 1000000000..9999999998
constexpr int kPinDrawsMax = 1000;

// ---- checks at the boundary ----

bool valid_expiry_fields(int year, int month, int day) {
  if (year == 0 && month == 0) return day >= 0 && day <= kMaxDayCount;
  return year >= 0 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

struct FieldCheck {
  std::string User_Profile::*field;
  std::size_t max;
};
constexpr FieldCheck kFieldChecks[] = {
    {&User_Profile::password, kUserPasswordMax},   {&User_Profile::rating_password, kUserPasswordMax},
    {&User_Profile::group_name, kUserGroupMax},    {&User_Profile::smart_phone, kUserSmartPhoneMax},
    {&User_Profile::tablet, kUserDeviceMax},       {&User_Profile::desktop, kUserDeviceMax},
    {&User_Profile::tv, kUserDeviceMax},           {&User_Profile::first_name, kUserNameMax},
    {&User_Profile::last_name, kUserNameMax},      {&User_Profile::address, kUserAddressMax},
    {&User_Profile::city, kUserNameMax},           {&User_Profile::zip, kUserZipMax},
    {&User_Profile::tel, kUserTelMax},             {&User_Profile::email, kUserEmailMax},
    {&User_Profile::user_ip, kUserIpMax},          {&User_Profile::mac_id, kUserMacMax},
};

bool valid_id(std::string_view id) { return !id.empty() && safe_text(id, kUserIdMax); }

// Every text field fits its width and can be written as element text. When a record
// replaces old, values it keeps unchanged came from the file and are written back as
// they are.
bool valid_record(const User_Profile& r, const User_Profile* old = nullptr) {
  if (old == nullptr ? !valid_id(r.user_id) : r.user_id != old->user_id) return false;
  for (const FieldCheck& c : kFieldChecks) {
    if (old != nullptr && r.*(c.field) == (*old).*(c.field)) continue;
    if (!safe_text(r.*(c.field), c.max)) return false;
  }
  const int m = r.ppv_mode;
  const bool mode_ok = m == kPayPre || m == kPayPost || m == kPayFree || m == kPayNone;
  return mode_ok && std::isfinite(r.ppv_points);
}

// A new table record from the caller's: the fields, no runtime or group yet.
UserPtr copy_fields(const User_Profile& r) {
  auto u = std::make_shared<User_Profile>(r);
  u->group.reset();
  u->rt.reset();
  return u;
}

// ---- the file text ----

// The file's text for an edit and the password form its entries are written in: the
// form its declaration announces, which is not the current one when the conversion at
// load failed. false (with the console message) when it cannot be read.
bool read_for_edit(std::string& text, PasswordForm& form) {
  if (!read_text_file(work_file(kUserFile), text)) {
    say(" User Profile Failed\n");
    return false;
  }
  form = user_file_form(text);
  return true;
}

// The users' passwords can be stored in the file's form; logged when they cannot.
bool fits(const User_Profile& u, PasswordForm form) {
  if (entry_fits(u, form)) return true;
  log_sys("System Error: Username [%s] password cannot be stored in the old form of [%s]; not changed\n",
          u.user_id.c_str(), kUserFile);
  return false;
}

// The end of the entry that starts at begin: the next entry's "<userid>", or, for the
// last entry, the end of its "</email>" line.
std::size_t entry_end(std::string_view text, std::size_t begin) {
  const std::size_t next = text.find(kUserOpen, begin + kUserOpen.size());
  if (next != std::string_view::npos) return next;
  std::size_t e = text.find("</email>", begin);
  if (e == std::string_view::npos) return text.size();
  e += 8;
  if (text.compare(e, 2, "\r\n") == 0) e += 2;
  else if (text.compare(e, 1, "\n") == 0) e += 1;  // a file edited by hand with bare line feeds
  return e;
}

// The entry of a user, found by its exact id line, so "bob" never matches "bobby".
bool find_entry(std::string_view text, std::string_view id, std::size_t& begin, std::size_t& end) {
  const std::string needle = std::string(kUserOpen) + std::string(id) + "</userid>";
  begin = text.find(needle);
  if (begin == std::string_view::npos) return false;
  end = entry_end(text, begin);
  return true;
}

// Where the first entry goes: after the declaration line, which may follow a byte-order
// mark and blank lines; after those when there is no declaration.
std::size_t after_declaration(std::string_view text) {
  std::size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) ++at;
  if (text.compare(at, 5, "<?xml") != 0) return at;
  const std::size_t end = text.find("?>", at);
  const std::size_t eol = text.find('\n', end == std::string_view::npos ? at : end);
  return eol == std::string_view::npos ? text.size() : eol + 1;
}

// Where entries inserted at a 1-based position go; npos (logged) when the anchor entry
// is not in the file.
std::size_t insertion_point(const std::string& text, const UserTable& t, int position) {
  if (position == 1) return after_declaration(text);
  const std::string& anchor = t.list[static_cast<std::size_t>(position - 2)]->user_id;
  std::size_t begin = 0, end = 0;
  if (!find_entry(text, anchor, begin, end)) {
    log_sys(" User [%s] Not Found\n", anchor.c_str());
    return std::string::npos;
  }
  return end;
}

bool position_ok(int position, const UserTable& t) {
  const int count = static_cast<int>(t.list.size());
  if (count == 0) return position == 1;
  return position >= 2 && position <= count + 1;
}

int save(const std::string& text) { return save_store(file(), text, 0600) ? 1 : 2; }

// Replaces the entry of the user at index with rec (whose expiry is already set).
int replace_entry(int index, const User_Profile& rec) {
  const UserTablePtr t = snapshot();
  if (index < 0 || index >= static_cast<int>(t->list.size())) return 0;
  const UserPtr& old = t->list[static_cast<std::size_t>(index)];
  if (!valid_record(rec, old.get())) return 0;
  UserPtr u = copy_fields(rec);
  u->rt = old->rt;  // the connections and players stay with the user
  check_group(*u, false);

  std::string text;
  PasswordForm form = PasswordForm::kCurrent;
  if (!read_for_edit(text, form) || !fits(*u, form)) return 0;
  std::size_t begin = 0, end = 0;
  if (!find_entry(text, u->user_id, begin, end)) {
    log_sys(" Update User [%s] Not Found\n", u->user_id.c_str());
    return 0;
  }
  const std::string updated = text.substr(0, begin) + entry_text(*u, form, nullptr) + text.substr(end);
  const int r = save(updated);
  if (r != 1) return r;
  std::vector<UserPtr> list = t->list;
  list[static_cast<std::size_t>(index)] = std::move(u);
  publish(std::move(list));
  return 1;
}

}  // namespace

int parse_expiry_text(std::string_view text, int& year, int& month, int& day) {
  if (text.empty() || text.size() >= 12) return 0;
  int slashes = 0;
  for (const char c : text) {
    if (c == '/') ++slashes;
    else if (c < '0' || c > '9') return 0;
  }
  int y = 0, m = 0, d = 0;
  if (slashes == 0) {
    d = read_int(text);
  } else {
    if (slashes != 2) return 0;
    const std::size_t s1 = text.find('/'), s2 = text.find('/', s1 + 1);
    if (s1 == 0 || s2 == s1 + 1 || s2 + 1 == text.size()) return 0;
    m = read_int(text.substr(0, s1));
    d = read_int(text.substr(s1 + 1, s2 - s1 - 1));
    y = read_int(text.substr(s2 + 1));
    if (y == 0 && m == 0) return 0;  // would read back as a day count
  }
  if (!valid_expiry_fields(y, m, d)) return 0;
  year = y;
  month = m;
  day = d;
  return 1;
}

int add_user(int position, const User_Profile& rec, std::string_view expiry_text) {
  if (!valid_id(rec.user_id) || rec.user_id == "root") return 0;
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  log_sys("Username [%s] : Check the user if he is already in Database\n", rec.user_id.c_str());
  const UserTablePtr t = snapshot();
  if (t->find(rec.user_id) >= 0) {
    log_sys("Username [%s] : is already in Database\n", rec.user_id.c_str());
    return 3;
  }
  if (!valid_record(rec) || !position_ok(position, *t)) return 0;
  UserPtr u = copy_fields(rec);
  if (!parse_expiry_text(expiry_text, u->expiry_year, u->expiry_month, u->expiry_day)) return 0;
  u->rt = std::make_shared<UserRuntime>();
  check_group(*u, false);

  std::string text;
  PasswordForm form = PasswordForm::kCurrent;
  if (!read_for_edit(text, form) || !fits(*u, form)) return 0;
  const std::size_t at = insertion_point(text, *t, position);
  if (at == std::string::npos) return 0;
  const int r = save(text.substr(0, at) + entry_text(*u, form, nullptr) + text.substr(at));
  if (r != 1) return r;
  std::vector<UserPtr> list = t->list;
  list.insert(list.begin() + (position - 1), std::move(u));
  publish(std::move(list));
  return 1;
}

int add_multiple_users(int position, int n, int amount, std::string_view unit, std::string_view group) {
  const bool years = unit == "year";
  if (n < 1 || n > kMaxMultipleUsers || amount < 1 || amount > (years ? 100 : 1200)) return 0;
  if (!safe_text(group, kUserGroupMax)) return 0;
  const int days = amount * (years ? 365 : 30);
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  const UserTablePtr t = snapshot();
  if (!position_ok(position, *t)) return 0;

  std::set<std::string> fresh;
  std::vector<UserPtr> made;
  made.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    std::string id;
    for (int draw = 0;; ++draw) {
      if (draw == kPinDrawsMax) return 0;
      id = std::to_string(kPinFirst + random_below(kPinSpan));
      if (t->find(id) < 0 && fresh.count(id) == 0) break;
      log_sys("Create the existed User Name\n");
    }
    fresh.insert(id);
    auto u = std::make_shared<User_Profile>();
    u->user_id = id;
    u->password = id;
    u->rating_password = id;
    u->group_name = std::string(group);
    u->expiry_day = days;
    u->ppv_mode = kPayPre;
    u->rt = std::make_shared<UserRuntime>();
    check_group(*u, false);
    made.push_back(std::move(u));
  }

  std::string text;
  PasswordForm form = PasswordForm::kCurrent;
  if (!read_for_edit(text, form)) return 0;
  std::string entries;
  for (const UserPtr& u : made) entries += entry_text(*u, form, "0.0");  // 10-digit passwords fit every form
  const std::size_t at = insertion_point(text, *t, position);
  if (at == std::string::npos) return 0;
  const int r = save(text.substr(0, at) + entries + text.substr(at));
  if (r != 1) return r;
  std::vector<UserPtr> list = t->list;
  list.insert(list.begin() + (position - 1), made.begin(), made.end());
  publish(std::move(list));
  return 1;
}

int update_user(int index, const User_Profile& rec, std::string_view expiry_text) {
  User_Profile r = rec;
  if (!parse_expiry_text(expiry_text, r.expiry_year, r.expiry_month, r.expiry_day)) return 0;
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  return replace_entry(index, r);
}

int store_user(int index, const User_Profile& rec) {
  if (!valid_expiry_fields(rec.expiry_year, rec.expiry_month, rec.expiry_day)) return 0;
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  return replace_entry(index, rec);
}

int delete_user(int index, std::string_view user_id) {
  // The id must be the one at index, so it needs no check of its own.
  if (user_id.empty() || user_id == "root") return 0;
  const std::string id(user_id);
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  const UserTablePtr t = snapshot();
  const bool at_index = index >= 0 && index < static_cast<int>(t->list.size()) &&
                        t->list[static_cast<std::size_t>(index)]->user_id == id;
  if (!at_index) {
    log_sys(" Del User [%s] Not Found\n", id.c_str());
    return 0;
  }
  std::string text;
  PasswordForm form = PasswordForm::kCurrent;
  if (!read_for_edit(text, form)) return 0;
  std::size_t begin = 0, end = 0;
  if (!find_entry(text, id, begin, end)) {
    log_sys(" Del User [%s] Not Found\n", id.c_str());
    return 0;
  }
  const int r = save(text.substr(0, begin) + text.substr(end));
  if (r != 1) return r;
  std::vector<UserPtr> list = t->list;
  list.erase(list.begin() + index);
  publish(std::move(list));
  // The user table lock is taken before the reseller lock, never the other way round.
  remove_user_from_reseller(id);
  return 1;
}

}  // namespace kx
