// The user table: loading and converting users/user_profile.xml, the entry formats,
// look-ups and the plain export. The editing operations are in users_file.cpp.
#include "subscribers/users.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "catalogue/scramble.h"
#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/published.h"
#include "subscribers/users_store.h"

namespace kx {

std::string user_reseller(const User_Profile& u) {
  if (!u.rt) return "";
  Guard g(u.rt->lock);
  return u.rt->reseller;
}

int UserTable::find(std::string_view id) const {
  const auto it = by_id.find(id);
  return it == by_id.end() ? -1 : it->second;
}

namespace user_store {

StoreFile& file() {
  static StoreFile f(kUserFile, kUserTempFile, kUserBackupFile);
  return f;
}

Mutex& writer() {
  static Mutex m;
  return m;
}

namespace {

Published<UserTable>& current() {
  static Published<UserTable> t;
  return t;
}

}  // namespace

void publish(std::vector<UserPtr> list) {
  auto t = std::make_shared<UserTable>();
  t->list = std::move(list);
  for (std::size_t i = 0; i < t->list.size(); ++i)
    t->by_id.emplace(t->list[i]->user_id, static_cast<int>(i));
  current().publish(std::move(t));
}

UserTablePtr snapshot() { return current().get(); }

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void protect(const char* name) {
  const std::string path = work_file(name);
  if (file_exists(path)) set_file_mode(path, 0600);
}

int read_int(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return static_cast<int>(v);
}

void check_group(User_Profile& u, bool log_change) {
  std::string name = u.group_name;
  int found = 0;
  u.group = group_check(name, found);
  if (!found && name != u.group_name) {
    if (log_change) log_sys("Group [%s] does not exist and change to [%s]\n", u.group_name.c_str(), name.c_str());
    u.group_name = name;
  }
}

}  // namespace user_store

using namespace user_store;

UserTablePtr users() { return snapshot(); }

// ---- the file text ----

namespace {

constexpr const char* kCurrentDeclaration = "<?xml version=\"1.0\" encrypt2on encoding=\"iso-8859-1\" ?>\r\n";
constexpr const char* kPlainDeclaration = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
constexpr std::string_view kUserOpen = "<userid>";

// Every element of an entry, in file order.
constexpr const char* kTags[] = {"userid",      "password",  "rating_password", "group",
                                 "channel_expired_time",     "pay_per_view",    "ppv_point",
                                 "userip",      "macid",     "smart_phone",     "tablet",
                                 "desktop",     "tv",        "first_name",      "last_name",
                                 "address",     "city",      "zip",             "tel",
                                 "email"};

// The plain-text elements and their fields.
struct TextField {
  const char* tag;
  std::string User_Profile::*field;
  std::size_t max;
};
constexpr TextField kTextFields[] = {
    {"userip", &User_Profile::user_ip, kUserIpMax},
    {"macid", &User_Profile::mac_id, kUserMacMax},
    {"smart_phone", &User_Profile::smart_phone, kUserSmartPhoneMax},
    {"tablet", &User_Profile::tablet, kUserDeviceMax},
    {"desktop", &User_Profile::desktop, kUserDeviceMax},
    {"tv", &User_Profile::tv, kUserDeviceMax},
    {"first_name", &User_Profile::first_name, kUserNameMax},
    {"last_name", &User_Profile::last_name, kUserNameMax},
    {"address", &User_Profile::address, kUserAddressMax},
    {"city", &User_Profile::city, kUserNameMax},
    {"zip", &User_Profile::zip, kUserZipMax},
    {"tel", &User_Profile::tel, kUserTelMax},
    {"email", &User_Profile::email, kUserEmailMax},
};

bool clean_value(std::string_view v) {
  for (const char c : v) {
    if (c == '<' || c == '>' || c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

// Whether the entry holds an opening tag of this name.
bool opens(std::string_view entry, std::string_view tag) {
  std::string open(1, '<');
  open.append(tag);
  for (std::size_t at = entry.find(open); at != std::string_view::npos; at = entry.find(open, at + 1)) {
    const std::size_t after = at + open.size();
    if (after >= entry.size()) return true;
    const char c = entry[after];
    if (c == '>' || c == ' ' || c == '\t' || c == '\r' || c == '\n') return true;
  }
  return false;
}

// An entry is usable when it has a user id that fits its field and every element it
// opens is closed and holds one line of text.
bool entry_well_formed(std::string_view entry) {
  std::string_view id;
  if (!child_text(entry, "userid", id) || id.empty() || id.size() > kUserIdMax) return false;
  for (const char* tag : kTags) {
    std::string_view v;
    if (child_text(entry, tag, v) ? !clean_value(v) : opens(entry, tag)) return false;
  }
  return true;
}

std::string element(std::string_view entry, const char* tag) {
  std::string_view v;
  return child_text(entry, tag, v) ? std::string(v) : std::string();
}

std::string read_password(std::string_view v, PasswordForm form, const std::string& id, const char* what) {
  if (form == PasswordForm::kPlain || v.empty()) return cut(v, kUserPasswordMax);
  std::string plain;
  const int ok = form == PasswordForm::kCurrent ? password_decode(v, plain) : password_decode_older(v, plain);
  if (ok) return cut(std::string_view(plain.c_str()), kUserPasswordMax);  // a C string in the older form
  log_sys("Warning: Username [%s] %s is not in the encrypted form and is kept as plain text\n", id.c_str(), what);
  return cut(v, kUserPasswordMax);
}

void expiry_field_error(User_Profile& u, std::string_view v) {
  log_sys("User Name =[%s] Expired Time Field Error [%s]\n", u.user_id.c_str(), std::string(v).c_str());
  u.expiry_year = u.expiry_month = u.expiry_day = 0;
}

// month/day/year or a day count, with the corrections a hand-edited file needs.
void read_expiry(User_Profile& u, std::string_view v) {
  u.expiry_year = u.expiry_month = u.expiry_day = 0;
  if (v.size() >= 12) {
    expiry_field_error(u, v);
    return;
  }
  const std::size_t s1 = v.find('/');
  if (s1 == std::string_view::npos) {
    u.expiry_day = read_int(v);
    return;
  }
  u.expiry_month = read_int(v.substr(0, s1));
  const std::size_t s2 = v.find('/', s1 + 1);
  u.expiry_day = read_int(v.substr(s1 + 1, s2 == std::string_view::npos ? std::string_view::npos : s2 - s1 - 1));
  if (s2 != std::string_view::npos) u.expiry_year = read_int(v.substr(s2 + 1));
  if (u.expiry_month > 12) {
    std::swap(u.expiry_month, u.expiry_day);
    log_sys("Username=[%s], Expired Month [%d] exchanges Expired Day [%d]\n", u.user_id.c_str(), u.expiry_month,
            u.expiry_day);
    if (u.expiry_month > 12) {
      log_sys("Username=[%s], Expired Month [%d] > 12 and set it to 12\n", u.user_id.c_str(), u.expiry_month);
      u.expiry_month = 12;
    }
  }
  if (u.expiry_day < 1 || u.expiry_day > 31) {
    log_sys("Username=[%s], Expired Day [%d] Error and set it to 1\n", u.user_id.c_str(), u.expiry_day);
    u.expiry_day = 1;
  }
  // A date that could not be written back within the field is no date.
  if (u.expiry_year < 0 || u.expiry_year > 9999 || u.expiry_month < 0) expiry_field_error(u, v);
}

void read_pay_per_view(User_Profile& u, std::string_view entry) {
  std::string_view v;
  if (!child_text(entry, "pay_per_view", v)) {
    u.ppv_mode = kPayNone;
    u.ppv_points = 0.0f;
    return;
  }
  u.ppv_mode = kPayPre;
  if (v.size() < 12) {
    if (v == "post") u.ppv_mode = kPayPost;
    else if (v == "free") u.ppv_mode = kPayFree;
  }
  const std::string points = element(entry, "ppv_point");
  const float f = std::strtof(points.c_str(), nullptr);
  u.ppv_points = std::isfinite(f) ? f : 0.0f;
}

UserPtr read_entry(std::string_view entry, PasswordForm form) {
  auto u = std::make_shared<User_Profile>();
  u->rt = std::make_shared<UserRuntime>();
  u->user_id = element(entry, "userid");
  u->password = read_password(element(entry, "password"), form, u->user_id, "password");
  u->rating_password = read_password(element(entry, "rating_password"), form, u->user_id, "rating password");
  u->group_name = cut(element(entry, "group"), kUserGroupMax);
  check_group(*u, true);
  read_expiry(*u, element(entry, "channel_expired_time"));
  read_pay_per_view(*u, entry);
  for (const TextField& f : kTextFields) (*u).*(f.field) = cut(element(entry, f.tag), f.max);
  return u;
}

void append_element(std::string& out, const char* tag, std::string_view value) {
  out += '<';
  out += tag;
  out += '>';
  out += value;
  out += "</";
  out += tag;
  out += ">\r\n";
}

const char* pay_word(int mode) {
  switch (mode) {
    case kPayPre: return "pre";
    case kPayPost: return "post";
    case kPayFree: return "free";
    default: return "";
  }
}

}  // namespace

PasswordForm user_file_form(std::string_view text) {
  const std::string_view head = text.substr(0, text.find('>'));
  if (head.find("encryption") != std::string_view::npos) return PasswordForm::kOlder;
  if (head.find("encrypt2on") != std::string_view::npos) return PasswordForm::kCurrent;
  return PasswordForm::kPlain;
}

std::vector<UserPtr> parse_user_text(std::string_view text) {
  const PasswordForm form = user_file_form(text);
  std::vector<UserPtr> list;
  std::map<std::string, int, std::less<>> seen;
  int number = 0;
  for (std::size_t at = text.find(kUserOpen); at != std::string_view::npos;) {
    const std::size_t next = text.find(kUserOpen, at + kUserOpen.size());
    const std::string_view entry = text.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
    at = next;
    ++number;
    if (!entry_well_formed(entry)) {
      log_sys("Warning: User Profile Entry[%d] is malformed and skipped\n", number);
      continue;
    }
    UserPtr u = read_entry(entry, form);
    const auto it = seen.find(u->user_id);
    if (it != seen.end()) {
      log_sys("Warning: Username [%s] is already in Database Entry[%d]\n", u->user_id.c_str(), it->second + 1);
      continue;
    }
    seen.emplace(u->user_id, static_cast<int>(list.size()));
    list.push_back(std::move(u));
  }
  return list;
}

namespace user_store {

std::string expiry_text(const User_Profile& u) {
  char buf[48];
  if (u.day_count()) std::snprintf(buf, sizeof buf, "%d", u.expiry_day);
  else std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", u.expiry_month, u.expiry_day, u.expiry_year);
  return buf;
}

namespace {

std::string stored_password(const std::string& pw, PasswordForm form) {
  switch (form) {
    case PasswordForm::kCurrent: return password_encode(pw);
    case PasswordForm::kOlder: return password_encode_older(pw);
    case PasswordForm::kPlain: break;
  }
  return pw;
}

// export_form: the download's form, plain passwords and the expiry as "%02d/%02d/%02d".
std::string entry_of(const User_Profile& u, PasswordForm form, bool export_form, const char* points_text) {
  std::string out;
  out.reserve(1024 + (form == PasswordForm::kPlain ? 0 : 512));
  append_element(out, "userid", u.user_id);
  append_element(out, "password", stored_password(u.password, form));
  append_element(out, "rating_password", stored_password(u.rating_password, form));
  append_element(out, "group", u.group_name);
  char buf[64];
  if (export_form) {
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", u.expiry_month, u.expiry_day, u.expiry_year);
    append_element(out, "channel_expired_time", buf);
  } else {
    append_element(out, "channel_expired_time", expiry_text(u));
  }
  append_element(out, "pay_per_view", pay_word(u.ppv_mode));
  if (points_text == nullptr) {
    std::snprintf(buf, sizeof buf, "%3.2f", static_cast<double>(std::isfinite(u.ppv_points) ? u.ppv_points : 0.0f));
    points_text = buf;
  }
  append_element(out, "ppv_point", points_text);
  for (const TextField& f : kTextFields) append_element(out, f.tag, u.*(f.field));
  return out;
}

bool password_fits(const std::string& pw, PasswordForm form) {
  if (form == PasswordForm::kCurrent || pw.empty()) return true;
  if (form == PasswordForm::kPlain) return clean_value(pw);  // element text as it is
  std::string back;
  return password_decode_older(password_encode_older(pw), back) && back == pw;
}

}  // namespace

std::string entry_text(const User_Profile& u, PasswordForm form, const char* points_text) {
  return entry_of(u, form, false, points_text);
}

bool entry_fits(const User_Profile& u, PasswordForm form) {
  return password_fits(u.password, form) && password_fits(u.rating_password, form);
}

}  // namespace user_store

std::string format_user_entry(const User_Profile& u, bool plain) {
  return plain ? entry_of(u, PasswordForm::kPlain, true, nullptr) : entry_text(u, PasswordForm::kCurrent, nullptr);
}

std::string format_user_file(const std::vector<UserPtr>& list) {
  std::string out = kCurrentDeclaration;
  for (const auto& u : list) out += format_user_entry(*u, false);
  return out;
}

// ---- load and release ----

int load_user_profiles() {
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  std::string text;
  if (!read_text_file(work_file(kUserFile), text)) {
    log_sys("Error: Failed to Open User Profile [%s].\n", kUserFile);
    switch (read_store(file(), text, true)) {
      case ReadResult::kRead:
        break;
      case ReadResult::kFromBackup:
        log_sys("Warning: Kestrix uses User Backup Profile [%s]\n.", kUserBackupFile);
        break;
      case ReadResult::kEmpty:
        log_sys("Error: User Profile [%s] is 0 byte .", kUserFile);
        publish({});
        return 0;
      case ReadResult::kMissing:
        log_sys("Error: Failed to Open User Backup Profile [%s] again\n.", kUserBackupFile);
        publish({});
        return 0;
      case ReadResult::kUnreadable:
        publish({});
        return 0;
    }
  }
  // Files that hold passwords are readable by the server alone.
  protect(kUserFile);
  protect(kUserBackupFile);
  protect(kUserDecryptFile);

  const PasswordForm form = user_file_form(text);
  std::vector<UserPtr> list = parse_user_text(text);
  log_sys("System Message: There are [%d] users in the Database\n", static_cast<int>(list.size()));
  const std::string converted = form == PasswordForm::kCurrent ? std::string() : format_user_file(list);
  publish(std::move(list));
  if (form != PasswordForm::kCurrent) {
    // The previous file stays beside it as the plain copy.
    if (save_store(file(), converted, 0600, kUserDecryptFile)) {
      protect(kUserDecryptFile);
      log_sys("Encrypt the old user profile to advanced encrypted user profile\n");
    } else {
      // The file keeps its form; edits write their entries in that form until a later
      // load converts it.
      say(" User Profile Failed\n");
      log_sys("System Error: [%s] could not be rewritten in the encrypted form; it stays as it is\n", kUserFile);
    }
  }
  return 1;
}

void release_user_profiles() {
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  publish({});
}

// ---- look-ups ----

int find_user(std::string_view id) {
  if (id.empty()) {
    log_sys("User Name is NULL\n");
    return -1;
  }
  return users()->find(id);
}

UserPtr user_by_id(std::string_view id) {
  const UserTablePtr t = users();
  const int i = t->find(id);
  return i < 0 ? nullptr : t->list[static_cast<std::size_t>(i)];
}

int get_expiry_text(std::string_view user_id, std::string& out) {
  const std::string id(user_id);
  log_sys("Username= [%s]: Start to Get User Expired Time\n", id.c_str());
  if (id.empty()) {
    log_sys("User Name is NULL\n");
    return 0;
  }
  const UserPtr u = user_by_id(id);
  if (!u) {
    log_sys("User [%s] Not Found\n", id.c_str());
    return 0;
  }
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", u->expiry_month, u->expiry_day, u->expiry_year);
  out = std::string(buf) + "\n";
  log_sys("Username= [%s] is found\n", id.c_str());
  log_sys("Username= [%s] expired time =[%s]\n", id.c_str(), buf);
  return 1;
}

std::size_t export_user_profiles(std::string& out) {
  const UserTablePtr t = users();
  out = kPlainDeclaration;
  for (const auto& u : t->list) out += format_user_entry(*u, true);
  return out.size();
}

void refresh_user_groups() {
  LogLater later;  // lines logged under the lock are written after it
  Guard g(writer());
  const UserTablePtr t = snapshot();
  std::vector<UserPtr> list;
  list.reserve(t->list.size());
  for (const auto& old : t->list) {
    auto u = std::make_shared<User_Profile>(*old);
    check_group(*u, true);
    list.push_back(std::move(u));
  }
  publish(std::move(list));
}

void* find_player_of_user(std::string_view user_id, const std::function<bool(void*)>& match) {
  const UserPtr u = user_by_id(user_id);
  if (!u || !u->rt) return nullptr;
  Guard g(u->rt->lock);
  for (PtrPos pos = u->rt->players.head(); pos != nullptr;) {
    void* v = PtrList::get_next(pos);
    if (match(v)) return v;
  }
  return nullptr;
}

}  // namespace kx
