#include "subscribers/resellers.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "catalogue/store_file.h"
#include "core/log.h"
#include "core/os/file.h"
#include "core/os/sync.h"
#include "core/published.h"
#include "subscribers/users.h"

namespace kx {

int Reseller::find(std::string_view user_id) const {
  for (std::size_t i = 0; i < users.size(); ++i) {
    if (users[i] == user_id) return static_cast<int>(i);
  }
  return -1;
}

int ResellerTable::find(std::string_view name) const {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i]->name == name) return static_cast<int>(i);
  }
  return -1;
}

namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";
constexpr const char* kIndexFile = "reseller/reseller_index.xml";
constexpr const char* kIndexTemp = "reseller/reseller_index_temp.xml";
constexpr const char* kIndexBackup = "reseller/reseller_index_backup.xml";
constexpr std::string_view kUserOpen = "<userid>";

StoreFile& index_file() {
  static StoreFile f(kIndexFile, kIndexTemp, kIndexBackup);
  return f;
}

// Held for a whole change: read, edit, save, publish.
Mutex g_writer;

Published<ResellerTable>& current() {
  static Published<ResellerTable> t;
  return t;
}

void publish(std::vector<ResellerPtr> list) {
  auto t = std::make_shared<ResellerTable>();
  t->list = std::move(list);
  current().publish(std::move(t));
}

ResellerTablePtr snapshot() { return current().get(); }

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// The files of one reseller.
struct ResellerFiles {
  explicit ResellerFiles(const std::string& name)
      : f("reseller/" + name + ".xml", "reseller/" + name + "_temp.xml", "reseller/" + name + "_backup.xml") {}
  StoreFile f;
};

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Sets the reseller name of a user of the current user table; with only_if, only when
// the user belongs to that reseller now.
void set_user_reseller(std::string_view user_id, const std::string& name, const std::string* only_if = nullptr) {
  const UserPtr u = user_by_id(user_id);
  if (!u || !u->rt) return;
  LogLater later;  // lines logged under the lock are written after it
  Guard g(u->rt->lock);
  if (only_if == nullptr || u->rt->reseller == *only_if) u->rt->reseller = name;
}

// Reads a reseller file or the index, with the backup fallback and its messages.
// 1 with the text, 0 when nothing could be read.
int read_reseller_file(StoreFile& f, std::string& text) {
  if (read_text_file(work_file(f.path), text)) return 1;
  log_sys("Error: Failed to Open Reseller Profile [%s].\n", f.path.c_str());
  switch (read_store(f, text, true)) {
    case ReadResult::kRead:
      return 1;
    case ReadResult::kFromBackup:
      log_sys("Warning: Kestrix uses Reseller Backup Profile [%s]\n.", f.backup.c_str());
      return 1;
    case ReadResult::kEmpty:
      log_sys("Error: User Profile [%s] is 0 byte .", f.path.c_str());
      return 0;
    case ReadResult::kUnreadable:
      return 0;
    case ReadResult::kMissing:
      break;
  }
  log_sys("Error: Failed to Open Reseller Backup Profile [%s] again\n.", f.backup.c_str());
  return 0;
}

// The name of a <reseller> element: the text after the last ">" inside it.
std::string_view element_name(const Element& e) {
  std::string_view v = e.text;
  const std::size_t gt = v.rfind('>');
  return gt == std::string_view::npos ? v : v.substr(gt + 1);
}

// Users of one reseller file. claimed maps every user already loaded to its reseller.
std::shared_ptr<Reseller> load_one(const std::string& name, std::map<std::string, std::string, std::less<>>& claimed) {
  auto r = std::make_shared<Reseller>();
  r->name = name;
  ResellerFiles files(name);
  std::string text;
  if (read_reseller_file(files.f, text)) {
    const UserTablePtr ut = users();
    std::size_t pos = 0;
    Element e;
    while (next_element(text, "userid", pos, e)) {
      const std::string id(e.text);
      if (id.empty() || !safe_text(id, kUserIdMax)) continue;
      if (ut->find(id) < 0) {
        log_sys("System Warning: Reseller [%s] Username [%s] is not in User Database\n", name.c_str(), id.c_str());
        continue;
      }
      const auto it = claimed.find(id);
      if (it != claimed.end()) {
        log_sys("System Warning: Reseller [%s] Username [%s] already belongs to Reseller [%s]\n", name.c_str(),
                id.c_str(), it->second.c_str());
        continue;
      }
      claimed.emplace(id, name);
      r->users.push_back(id);
      set_user_reseller(id, name);
    }
  }
  log_sys("System Message: There are [%d] users in the reseller[%s]\n", static_cast<int>(r->users.size()),
          name.c_str());
  return r;
}

// Removes every line of text that holds exactly open + value + close; the count removed.
int cut_lines(std::string& text, const std::string& line) {
  int n = 0;
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at)) {
    std::size_t end = at + line.size();
    if (text.compare(end, 2, "\r\n") == 0) end += 2;
    text.erase(at, end - at);
    ++n;
  }
  return n;
}

// The text of a reseller file for a change. A reseller with no users whose file has gone
// starts again from the declaration.
bool read_for_edit(StoreFile& f, const Reseller& r, std::string& text) {
  if (read_text_file(work_file(f.path), text)) return true;
  std::string restored;
  const ReadResult rr = read_store(f, restored);
  if (rr == ReadResult::kRead || rr == ReadResult::kFromBackup) {
    text = std::move(restored);
    return true;
  }
  // A file that is there but cannot be read is never started again over its entries.
  if (r.users.empty() && rr != ReadResult::kUnreadable) {
    text = kDeclaration;
    return true;
  }
  say(" Reseller Profile Failed\n");
  return false;
}

bool index_ok(int index, const ResellerTable& t) { return index >= 0 && index < static_cast<int>(t.list.size()); }

int remove_user_locked(int reseller, const std::string& id) {
  const ResellerTablePtr t = snapshot();
  if (!index_ok(reseller, *t) || id.empty()) return 0;  // only an exact line is cut
  const ResellerPtr& old = t->list[static_cast<std::size_t>(reseller)];
  ResellerFiles files(old->name);
  std::string text;
  if (!read_for_edit(files.f, *old, text)) return 0;
  if (cut_lines(text, std::string(kUserOpen) + id + "</userid>") == 0) {
    log_sys(" Del Reseller [%s] Not Found\n", id.c_str());
    return 0;
  }
  if (!save_store(files.f, text)) return 2;
  auto r = std::make_shared<Reseller>(*old);
  const int at = r->find(id);
  if (at >= 0) r->users.erase(r->users.begin() + at);
  std::vector<ResellerPtr> list = t->list;
  list[static_cast<std::size_t>(reseller)] = std::move(r);
  publish(std::move(list));
  set_user_reseller(id, "", &old->name);
  return 1;
}

}  // namespace

ResellerTablePtr resellers() { return snapshot(); }

bool reseller_name_ok(std::string_view name) {
  if (!safe_name(name, kResellerNameMax)) return false;
  return name != "reseller_index" && !ends_with(name, "_backup") && !ends_with(name, "_temp");
}

int load_resellers() {
  LogLater later;  // lines logged under the lock are written after it
  Guard g(g_writer);
  // The names are filled in again from the files.
  for (const auto& u : users()->list) {
    if (!u->rt) continue;
    Guard ug(u->rt->lock);
    u->rt->reseller.clear();
  }
  std::string text;
  if (!read_reseller_file(index_file(), text)) {
    publish({});
    return 0;
  }
  std::vector<ResellerPtr> list;
  std::map<std::string, std::string, std::less<>> claimed;
  std::size_t pos = 0;
  Element e;
  while (next_element(text, "reseller", pos, e)) {
    const std::string name(element_name(e));
    if (!reseller_name_ok(name)) {
      log_sys("System Warning: Reseller Name [%s] is not a valid name\n", cut(name, kResellerNameMax).c_str());
      continue;
    }
    int earlier = -1;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i]->name == name) earlier = static_cast<int>(i);
    }
    if (earlier >= 0) {
      log_sys("Warning: Reseller Name [%s] is already in Database Entry[%d]\n", name.c_str(), earlier + 1);
      continue;
    }
    list.push_back(load_one(name, claimed));
  }
  log_sys("System Message: There are [%d] resellers in the Database\n", static_cast<int>(list.size()));
  publish(std::move(list));
  return 1;
}

void release_resellers() {
  LogLater later;  // lines logged under the lock are written after it
  Guard g(g_writer);
  publish({});
}

int find_reseller(std::string_view name) {
  if (name.empty()) {
    log_sys("Reseller Name is NULL\n");
    return -1;
  }
  return resellers()->find(name);
}

int find_reseller_user(int reseller, std::string_view user_id) {
  if (user_id.empty()) {
    log_sys("User Name is NULL\n");
    return -1;
  }
  const ResellerTablePtr t = resellers();
  if (!index_ok(reseller, *t)) return -1;
  return t->list[static_cast<std::size_t>(reseller)]->find(user_id);
}

int add_reseller(std::string_view name_in) {
  if (!reseller_name_ok(name_in)) return 0;
  const std::string name(name_in);
  LogLater later;  // lines logged under the lock are written after it
  Guard g(g_writer);
  log_sys("Reseller [%s] : Check the user if he is already in Database\n", name.c_str());
  const ResellerTablePtr t = snapshot();
  if (t->find(name) >= 0) {
    log_sys("Reseller [%s] : is already in Database\n", name.c_str());
    return 3;
  }
  make_dir(work_file("reseller"));
  std::string text;
  if (!read_text_file(work_file(kIndexFile), text)) {
    // A first reseller starts the index; an index that has gone while resellers are
    // listed is not written over.
    if (!t->list.empty() || file_size(work_file(kIndexFile)) > 0) {
      say(" Reseller Profile Failed");
      return 0;
    }
    text = kDeclaration;
  }
  text += "<reseller>" + name + "</reseller>\r\n";
  if (!save_store(index_file(), text)) return 2;

  auto r = std::make_shared<Reseller>();
  r->name = name;
  std::vector<ResellerPtr> list = t->list;
  list.push_back(std::move(r));
  publish(std::move(list));

  // Whatever an earlier reseller of this name left behind is not taken over.
  ResellerFiles files(name);
  remove_file(work_file(files.f.backup));
  remove_file(work_file(files.f.temp));
  if (!replace_file(work_file(files.f.path), kDeclaration)) {
    log_sys(" Reseller [%s] Failed\n", name.c_str());
    return 0;
  }
  return 1;
}

int delete_reseller(int index, std::string_view name_in) {
  const std::string name(name_in);
  LogLater later;  // lines logged under the lock are written after it
  Guard g(g_writer);
  const ResellerTablePtr t = snapshot();
  if (!index_ok(index, *t) || t->list[static_cast<std::size_t>(index)]->name != name) {
    log_sys(" Del Reseller [%s] Not Found\n", name.c_str());
    return 0;
  }
  std::string text;
  if (!read_text_file(work_file(kIndexFile), text)) {
    say(" Reseller Profile Failed");
    return 0;
  }
  // Every line of the name goes, so a second listing cannot bring it back.
  if (cut_lines(text, "<reseller>" + name + "</reseller>") == 0) {
    log_sys(" Del Reseller [%s] Not Found\n", name.c_str());
    return 0;
  }
  if (!save_store(index_file(), text)) return 2;

  const ResellerPtr old = t->list[static_cast<std::size_t>(index)];
  std::vector<ResellerPtr> list = t->list;
  list.erase(list.begin() + index);
  publish(std::move(list));

  ResellerFiles files(name);
  const std::string path = work_file(files.f.path);
  if (!remove_file(path) && file_exists(path)) {
    log_sys("unlink %s error\n", path.c_str());
    replace_file(path, kDeclaration);  // at least nothing is inherited
  }
  remove_file(work_file(files.f.backup));
  remove_file(work_file(files.f.temp));
  for (const std::string& id : old->users) set_user_reseller(id, "", &old->name);
  return 1;
}

int add_reseller_user(int reseller, int position, std::string_view user_id) {
  if (user_id.empty() || user_id == "root" || position < 1) return 0;
  // Ids of the user table were read from its file and may be written as they are.
  if (!safe_text(user_id, kUserIdMax) && !user_by_id(user_id)) return 0;
  const std::string id(user_id);
  LogLater later;  // lines logged under the lock are written after it
  Guard g(g_writer);
  const ResellerTablePtr t = snapshot();
  if (!index_ok(reseller, *t)) return 0;
  const ResellerPtr& old = t->list[static_cast<std::size_t>(reseller)];
  log_sys("Username [%s] : Check the user if he is already in Reseller Database\n", id.c_str());
  if (old->find(id) >= 0) {
    log_sys("Username [%s] : is already in Reseller Database\n", id.c_str());
    return 3;
  }
  for (const auto& other : t->list) {
    if (other->find(id) >= 0) {
      log_sys("Username [%s] : belongs to Reseller [%s]\n", id.c_str(), other->name.c_str());
      return 0;
    }
  }
  const int count = static_cast<int>(old->users.size());
  if (position > count + 1) position = count + 1;

  ResellerFiles files(old->name);
  std::string text;
  if (!read_for_edit(files.f, *old, text)) return 0;
  std::size_t at = 0;
  if (position == 1) {
    if (text.compare(0, 5, "<?xml") == 0) {
      const std::size_t eol = text.find("\r\n");
      at = eol == std::string::npos ? text.size() : eol + 2;
    }
  } else {
    const std::string& anchor = old->users[static_cast<std::size_t>(position - 2)];
    const std::string line = std::string(kUserOpen) + anchor + "</userid>";
    at = text.find(line);
    if (at == std::string::npos) {
      log_sys(" User [%s] Not Found\n", anchor.c_str());
      return 0;
    }
    at += line.size();
    if (text.compare(at, 2, "\r\n") == 0) at += 2;
  }
  text.insert(at, std::string(kUserOpen) + id + "</userid>\r\n");
  if (!save_store(files.f, text)) return 2;

  auto r = std::make_shared<Reseller>(*old);
  r->users.insert(r->users.begin() + (position - 1), id);
  std::vector<ResellerPtr> list = t->list;
  list[static_cast<std::size_t>(reseller)] = std::move(r);
  publish(std::move(list));
  set_user_reseller(id, old->name);
  return 1;
}

int remove_reseller_user(int reseller, std::string_view user_id) {
  const std::string id(user_id);
  LogLater later;  // lines logged under the lock are written after it
  Guard g(g_writer);
  return remove_user_locked(reseller, id);
}

int remove_user_from_reseller(std::string_view user_id) {
  const std::string id(user_id);
  LogLater later;  // lines logged under the lock are written after it
  Guard g(g_writer);
  const ResellerTablePtr t = snapshot();
  for (std::size_t i = 0; i < t->list.size(); ++i) {
    if (t->list[i]->find(id) >= 0) return remove_user_locked(static_cast<int>(i), id);
  }
  return 0;
}

}  // namespace kx
