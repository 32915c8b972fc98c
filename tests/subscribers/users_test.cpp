#include "subscribers/users.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/groups.h"
#include "catalogue/scramble.h"
#include "core/os/file.h"
#include "subscribers/resellers.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::kXmlDecl;
using kxt::slurp;
using kxt::spit;

const std::string kCurrentDecl = "<?xml version=\"1.0\" encrypt2on encoding=\"iso-8859-1\" ?>\r\n";
const std::string kOlderDecl = "<?xml version=\"1.0\" encryption encoding=\"iso-8859-1\" ?>\r\n";
const char* kFile = "users/user_profile.xml";
const char* kBackup = "users/user_profile_backup.xml";
const char* kDecrypt = "users/user_profile_decrypt.xml";
const char* kTemp = "users/user_profile_temp.xml";

const std::string kGroups =
    kXmlDecl +
    "<group name=\"gold\" connection=\"2\">\r\n<channel>0</channel>\r\n</group>\r\n"
    "<group name=\"silver\" connection=\"1\">\r\n<channel>1</channel>\r\n</group>\r\n";

// The fields of a hand-written entry; absent pay-per-view is written as no element.
struct Fields {
  std::string id, password, rating = "", group = "gold", expiry = "12/31/2030";
  const char* ppv = "pre";
  std::string points = "0.00", ip = "", mac = "", email = "";
};

std::string el(const char* tag, const std::string& v) {
  return std::string("<") + tag + ">" + v + "</" + tag + ">\r\n";
}

// An entry with the passwords as given (already in the file's form).
std::string entry(const Fields& s) {
  std::string e = el("userid", s.id) + el("password", s.password) + el("rating_password", s.rating) +
                  el("group", s.group) + el("channel_expired_time", s.expiry);
  if (s.ppv) e += el("pay_per_view", s.ppv) + el("ppv_point", s.points);
  e += el("userip", s.ip) + el("macid", s.mac);
  for (const char* t : {"smart_phone", "tablet", "desktop", "tv", "first_name", "last_name", "address", "city",
                        "zip", "tel"})
    e += el(t, "");
  e += el("email", s.email);
  return e;
}

int mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

class UsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
    spit(tmp_ / "ch_config/group_definition.xml", kGroups);
    ASSERT_EQ(load_groups(), 1);
    spit(tmp_ / "reseller/reseller_index.xml", kXmlDecl);
  }
  void TearDown() override {
    release_resellers();
    release_user_profiles();
    release_groups();
  }
  std::string at(const std::string& name) const { return tmp_ / name; }
  std::string file() const { return slurp(at(kFile)); }
  std::string log_text() const { return slurp(tmp_ / "log/system.log"); }
  bool logged(const std::string& line) const { return log_text().find(line) != std::string::npos; }

  // Loads a plain file (converted at once) of the given users.
  void load_plain(const std::vector<Fields>& rows) {
    std::string text = kXmlDecl;
    for (const auto& s : rows) text += entry(s);
    spit(at(kFile), text);
    ASSERT_EQ(load_user_profiles(), 1);
    ASSERT_EQ(file().compare(0, kCurrentDecl.size(), kCurrentDecl), 0);
  }
  // root, bobby, bob, carol: bobby comes before bob.
  void load_four() {
    load_plain({{"root", "rootpw"}, {"bobby", "pw1"}, {"bob", "pw2"}, {"carol", "pw3", "", "silver", "30", "free"}});
  }
  static std::vector<std::string> ids() {
    std::vector<std::string> out;
    for (const auto& u : users()->list) out.push_back(u->user_id);
    return out;
  }
  // Reloads the file and checks it gives the table we hold now, field for field.
  void expect_reload_same() {
    const UserTablePtr before = users();
    ASSERT_EQ(load_user_profiles(), 1);
    const UserTablePtr after = users();
    ASSERT_EQ(after->list.size(), before->list.size());
    for (std::size_t i = 0; i < after->list.size(); ++i) {
      SCOPED_TRACE(before->list[i]->user_id);
      EXPECT_EQ(format_user_entry(*after->list[i], true), format_user_entry(*before->list[i], true));
    }
  }
  static User_Profile rec(const std::string& id, const std::string& pw, const std::string& group = "gold") {
    User_Profile r;
    r.user_id = id;
    r.password = pw;
    r.rating_password = "rate";
    r.group_name = group;
    r.ppv_mode = kPayPost;
    r.ppv_points = 12.5f;
    r.email = id + "@example.org";
    return r;
  }

  kxt::WorkDirScope tmp_{"ch_config", "users", "reseller"};
};

// ---- loading ----

struct FormCase {
  const char* name;
  std::string decl;
  std::string (*encode)(std::string_view);
  bool converted;
};

std::string as_is(std::string_view s) { return std::string(s); }

TEST_F(UsersTest, LoadsEveryPasswordFormAndConvertsToCurrent) {
  const FormCase cases[] = {
      {"plain", kXmlDecl, as_is, true},
      {"older", kOlderDecl, password_encode_older, true},
      {"current", kCurrentDecl, password_encode, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    remove_file(at(kDecrypt));
    const std::string original = c.decl + entry({"root", c.encode("r00t!"), c.encode("")}) +
                                 entry({"alice", c.encode("Secret 1"), c.encode("1234")});
    spit(at(kFile), original);
    ::chmod(at(kFile).c_str(), 0644);
    ASSERT_EQ(load_user_profiles(), 1);
    const UserTablePtr t = users();
    ASSERT_EQ(t->list.size(), 2u);
    EXPECT_EQ(t->list[0]->password, "r00t!");
    EXPECT_EQ(t->list[1]->password, "Secret 1");
    EXPECT_EQ(t->list[1]->rating_password, "1234");
    EXPECT_EQ(mode_of(at(kFile)), 0600);
    if (c.converted) {
      EXPECT_EQ(slurp(at(kDecrypt)), original);
      EXPECT_EQ(mode_of(at(kDecrypt)), 0600);
      EXPECT_EQ(file(), format_user_file(t->list));
      EXPECT_NE(file().find(password_encode("Secret 1")), std::string::npos);
      EXPECT_TRUE(logged("Encrypt the old user profile to advanced encrypted user profile\n"));
    } else {
      EXPECT_EQ(file(), original);
      EXPECT_FALSE(file_exists(at(kDecrypt)));
    }
    EXPECT_TRUE(logged("System Message: There are [2] users in the Database\n"));
    // The converted file loads to the same passwords and stays as it is.
    const std::string converted = file();
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(users()->list[1]->password, "Secret 1");
    EXPECT_EQ(file(), converted);
  }
}

TEST_F(UsersTest, CurrentFormPasswordThatIsNotHexIsKeptPlainWithWarning) {
  const std::string good = password_encode("fine");
  const std::string cases[] = {"plainpw", good.substr(0, 255), good.substr(0, 255) + "g", good + "0"};
  for (const auto& pw : cases) {
    SCOPED_TRACE(pw);
    const std::string text = kCurrentDecl + entry({"root", good}) + entry({"alice", pw});
    spit(at(kFile), text);
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(users()->list[0]->password, "fine");
    EXPECT_EQ(users()->list[1]->password, pw.substr(0, kUserPasswordMax));
    EXPECT_TRUE(logged("Warning: Username [alice] password is not in the encrypted form and is kept as plain text\n"));
    EXPECT_EQ(file(), text);
  }
}

struct ExpiryCase {
  const char* text;
  int year, month, day;
  std::vector<std::string> lines;
};

TEST_F(UsersTest, ExpiryIsReadWithItsCorrections) {
  const ExpiryCase cases[] = {
      {"12/25/2030", 2030, 12, 25, {}},
      {"25/12/2030", 2030, 12, 25, {"Username=[u], Expired Month [12] exchanges Expired Day [25]\n"}},
      {"13/13/2030",
       2030,
       12,
       13,
       {"Username=[u], Expired Month [13] exchanges Expired Day [13]\n",
        "Username=[u], Expired Month [13] > 12 and set it to 12\n"}},
      {"02/00/2030", 2030, 2, 1, {"Username=[u], Expired Day [0] Error and set it to 1\n"}},
      {"02/32/2030", 2030, 2, 1, {"Username=[u], Expired Day [32] Error and set it to 1\n"}},
      {"30", 0, 0, 30, {}},
      {"123456789012", 0, 0, 0, {"User Name =[u] Expired Time Field Error [123456789012]\n"}},
      {"1/1/99999", 0, 0, 0, {"User Name =[u] Expired Time Field Error [1/1/99999]\n"}},
      {"6/15", 0, 6, 15, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    spit(at(kFile), kCurrentDecl + entry({"u", "", "", "gold", c.text}));
    ASSERT_EQ(load_user_profiles(), 1);
    const UserPtr u = users()->list.at(0);
    EXPECT_EQ(u->expiry_year, c.year);
    EXPECT_EQ(u->expiry_month, c.month);
    EXPECT_EQ(u->expiry_day, c.day);
    for (const auto& line : c.lines) EXPECT_TRUE(logged(line)) << line;
  }
}

struct PayCase {
  const char* ppv;  // null: no element
  const char* points;
  int mode;
  float value;
};

TEST_F(UsersTest, PayPerViewIsReadAndWrittenBack) {
  const PayCase cases[] = {
      {nullptr, "9.00", kPayNone, 0.0f},  {"pre", "1.50", kPayPre, 1.5f},   {"post", "12.25", kPayPost, 12.25f},
      {"free", "0.00", kPayFree, 0.0f},   {"bogus", "3.00", kPayPre, 3.0f}, {"freefreefree", "2", kPayPre, 2.0f},
      {"post", "nan", kPayPost, 0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ppv ? c.ppv : "(none)");
    Fields s{"u", "pw"};
    s.ppv = c.ppv;
    s.points = c.points;
    spit(at(kFile), kCurrentDecl + entry(s));
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(users()->list.at(0)->ppv_mode, c.mode);
    EXPECT_FLOAT_EQ(users()->list.at(0)->ppv_points, c.value);
  }
  // Mode "none" is written with an empty element, which reads back as pre-paid.
  Fields none{"u", "pw"};
  none.ppv = nullptr;
  load_plain({none});
  EXPECT_NE(file().find("<pay_per_view></pay_per_view>\r\n<ppv_point>0.00</ppv_point>\r\n"), std::string::npos);
  ASSERT_EQ(load_user_profiles(), 1);
  EXPECT_EQ(users()->list.at(0)->ppv_mode, kPayPre);
}

TEST_F(UsersTest, DuplicateIdKeepsTheFirstEntry) {
  load_plain({{"root", "r"}, {"alice", "first"}, {"bob", "b"}, {"alice", "second"}});
  EXPECT_EQ(ids(), (std::vector<std::string>{"root", "alice", "bob"}));
  EXPECT_EQ(users()->list[1]->password, "first");
  EXPECT_TRUE(logged("Warning: Username [alice] is already in Database Entry[2]\n"));
}

TEST_F(UsersTest, MalformedEntryIsSkippedAndTheUsersAfterItSurvive) {
  const std::string broken_cases[] = {
      "<userid>broken\r\n<password>x</password>\r\n<email></email>\r\n",        // id never closed
      "<userid>broken</userid>\r\n<password>x\r\n<email></email>\r\n",          // password never closed
      "<userid>broken</userid>\r\n<tel>1\r\n2</tel>\r\n<email></email>\r\n",     // value across lines
      "<userid></userid>\r\n<password>x</password>\r\n<email></email>\r\n",     // empty id
      "<userid>" + std::string(128, 'x') + "</userid>\r\n<email></email>\r\n",  // id longer than its field
  };
  for (const auto& broken : broken_cases) {
    SCOPED_TRACE(broken);
    const std::string text = kXmlDecl + entry({"root", "r"}) + entry({"alice", "a"}) + broken +
                             entry({"carol", "c"}) + entry({"dave", "d"});
    spit(at(kFile), text);
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(ids(), (std::vector<std::string>{"root", "alice", "carol", "dave"}));
    EXPECT_TRUE(logged("Warning: User Profile Entry[3] is malformed and skipped\n"));
    // The conversion kept every user that loaded, and the plain copy holds the rest.
    EXPECT_EQ(slurp(at(kDecrypt)), text);
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(ids(), (std::vector<std::string>{"root", "alice", "carol", "dave"}));
    EXPECT_EQ(users()->list[3]->password, "d");
  }
}

TEST_F(UsersTest, MissingOrEmptyFileFallsBackToTheBackup) {
  const std::string backup = kCurrentDecl + entry({"root", password_encode("r")}) + entry({"bk", password_encode("b")});
  for (const char* state : {"missing", "empty"}) {
    SCOPED_TRACE(state);
    if (std::string(state) == "missing") remove_file(at(kFile));
    else spit(at(kFile), "");
    spit(at(kBackup), backup);
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(ids(), (std::vector<std::string>{"root", "bk"}));
    EXPECT_EQ(file(), backup);
    EXPECT_TRUE(logged("Error: Failed to Open User Profile [users/user_profile.xml].\n"));
    EXPECT_TRUE(logged("Warning: Kestrix uses User Backup Profile [users/user_profile_backup.xml]\n."));
  }
  EXPECT_TRUE(logged("]: rename users/user_profile_backup.xml to users/user_profile.xml sucessfully\n"));
  remove_file(at(kFile));
  remove_file(at(kBackup));
  const std::size_t log_before = log_text().size();
  EXPECT_EQ(load_user_profiles(), 0);
  EXPECT_TRUE(users()->list.empty());
  // Without a backup the step is still logged, between the two designed lines.
  const std::string logged_now = log_text().substr(log_before);
  const std::size_t failed = logged_now.find("]: Error: Failed to Open User Profile [users/user_profile.xml].\n");
  const std::size_t not_renamed =
      logged_now.find("]: rename users/user_profile_backup.xml to users/user_profile.xml error\n");
  const std::size_t again =
      logged_now.find("]: Error: Failed to Open User Backup Profile [users/user_profile_backup.xml] again\n.");
  ASSERT_NE(failed, std::string::npos) << logged_now;
  ASSERT_NE(not_renamed, std::string::npos) << logged_now;
  ASSERT_NE(again, std::string::npos) << logged_now;
  EXPECT_LT(failed, not_renamed);
  EXPECT_LT(not_renamed, again);
}

TEST_F(UsersTest, UnknownGroupFallsIntoTheFirstGroup) {
  load_plain({{"root", "r"}, {"alice", "a", "", "nosuch"}, {"bob", "b", "", "silver"}});
  EXPECT_EQ(users()->list[1]->group_name, "gold");
  ASSERT_TRUE(users()->list[1]->group);
  EXPECT_EQ(users()->list[1]->group->name, "gold");
  EXPECT_EQ(users()->list[2]->group->name, "silver");
  EXPECT_TRUE(logged("Group [nosuch] does not exist and change to [gold]\n"));
}

// ---- editing ----

TEST_F(UsersTest, DeleteRemovesOnlyTheExactEntry) {
  load_four();
  const std::string before = file();
  const UserTablePtr old = users();
  const std::string bob_entry = format_user_entry(*old->list[2], false);
  ASSERT_NE(before.find(bob_entry), std::string::npos);

  ASSERT_EQ(delete_user(2, "bob"), 1);
  std::string want = before;
  want.erase(want.find(bob_entry), bob_entry.size());
  EXPECT_EQ(file(), want);
  EXPECT_EQ(ids(), (std::vector<std::string>{"root", "bobby", "carol"}));
  EXPECT_EQ(old->list[2]->user_id, "bob");  // a reader's snapshot is untouched
  EXPECT_EQ(mode_of(at(kFile)), 0600);
  EXPECT_EQ(mode_of(at(kBackup)), 0600);
  expect_reload_same();

  // The last entry too.
  ASSERT_EQ(delete_user(2, "carol"), 1);
  EXPECT_EQ(ids(), (std::vector<std::string>{"root", "bobby"}));
  expect_reload_same();
}

TEST_F(UsersTest, AddPlacesTheUserAtItsPosition) {
  load_four();
  ASSERT_EQ(add_user(2, rec("dave", "dpw"), "12/25/2030"), 1);
  ASSERT_EQ(add_user(6, rec("erin", "epw"), "45"), 1);
  EXPECT_EQ(ids(), (std::vector<std::string>{"root", "dave", "bobby", "bob", "carol", "erin"}));
  const UserPtr d = users()->list[1];
  EXPECT_EQ(d->password, "dpw");
  EXPECT_EQ(d->expiry_year, 2030);
  EXPECT_EQ(d->expiry_month, 12);
  EXPECT_EQ(d->expiry_day, 25);
  EXPECT_EQ(d->group->name, "gold");
  EXPECT_EQ(users()->list[5]->expiry_day, 45);
  EXPECT_TRUE(logged("Username [dave] : Check the user if he is already in Database\n"));
  expect_reload_same();
  EXPECT_EQ(ids(), (std::vector<std::string>{"root", "dave", "bobby", "bob", "carol", "erin"}));
}

// A file whose conversion at load failed keeps its form, and every edit writes its
// entries in that form: otherwise the next load would read enciphered text as passwords.
struct KeptFormCase {
  const char* name;
  std::string head;  // what stands before the entries
  std::string (*encode)(std::string_view);
};

TEST_F(UsersTest, EditsOnAFileWhoseConversionFailedKeepItsForm) {
  const KeptFormCase cases[] = {
      {"plain", kXmlDecl, as_is},
      {"older", kOlderDecl, password_encode_older},
      {"plain behind a byte-order mark and blank lines", "\xEF\xBB\xBF\r\n\r\n" + kXmlDecl, as_is},
  };
  // The plain copy cannot be kept: the conversion fails, edits (which keep the backup) work.
  const std::string blocker = at(kDecrypt) + ".old";
  ASSERT_TRUE(make_dir(blocker));
  ASSERT_TRUE(spit(blocker + "/occupied", "x"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    remove_file(at(kBackup));
    const std::string original = c.head + entry({"root", c.encode("r00t"), c.encode("")}) +
                                 entry({"alice", c.encode("a pw"), c.encode("11")}) +
                                 entry({"bob", c.encode("b pw"), c.encode("22")});
    spit(at(kFile), original);
    const std::size_t log_before = log_text().size();
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(file(), original);
    const std::string logged = log_text().substr(log_before);
    EXPECT_NE(logged.find("]: System Error: [users/user_profile.xml] could not be rewritten in the encrypted "
                          "form; it stays as it is\n"),
              std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("Encrypt the old user profile"), std::string::npos);

    ASSERT_EQ(add_user(2, rec("dave", "d pw"), "12/25/2030"), 1);
    User_Profile a = rec("alice", "new a pw", "silver");
    a.city = "Lyon";
    ASSERT_EQ(update_user(2, a, "07/04/2031"), 1);
    ASSERT_EQ(delete_user(3, "bob"), 1);
    ASSERT_EQ(add_multiple_users(4, 1, 1, "year", "gold"), 1);
    User_Profile d = *users()->list[1];
    d.first_name = "Dave";
    ASSERT_EQ(store_user(1, d), 1);
    const std::string edited = file();
    EXPECT_EQ(edited.compare(0, c.head.size(), c.head), 0);
    if (c.encode == as_is) {
      EXPECT_NE(edited.find("<password>d pw</password>"), std::string::npos);
      EXPECT_NE(edited.find("<password>new a pw</password>"), std::string::npos);
    }
    EXPECT_EQ(edited.find(password_encode("d pw")), std::string::npos);

    // Every user, every field, as the edits left them.
    const UserTablePtr held = users();
    ASSERT_EQ(load_user_profiles(), 1);
    const UserTablePtr t = users();
    ASSERT_EQ(t->list.size(), 4u);
    EXPECT_EQ(t->list[0]->password, "r00t");
    EXPECT_EQ(t->list[1]->user_id, "dave");
    EXPECT_EQ(t->list[1]->password, "d pw");
    EXPECT_EQ(t->list[1]->rating_password, "rate");
    EXPECT_EQ(t->list[1]->first_name, "Dave");
    EXPECT_EQ(t->list[1]->email, "dave@example.org");
    EXPECT_EQ(t->list[2]->user_id, "alice");
    EXPECT_EQ(t->list[2]->password, "new a pw");
    EXPECT_EQ(t->list[2]->group_name, "silver");
    EXPECT_EQ(t->list[2]->city, "Lyon");
    EXPECT_EQ(t->list[2]->expiry_month, 7);
    EXPECT_EQ(t->list[3]->password, t->list[3]->user_id);
    EXPECT_EQ(t->list[3]->expiry_day, 365);
    for (std::size_t i = 0; i < t->list.size(); ++i) {
      SCOPED_TRACE(held->list[i]->user_id);
      EXPECT_EQ(format_user_entry(*t->list[i], true), format_user_entry(*held->list[i], true));
    }
  }
  // Once the conversion can run, the edited file converts to the same users.
  remove_file(blocker + "/occupied");
  ASSERT_EQ(::rmdir(blocker.c_str()), 0);
  const UserTablePtr held = users();
  ASSERT_EQ(load_user_profiles(), 1);
  EXPECT_EQ(file().compare(0, kCurrentDecl.size(), kCurrentDecl), 0);
  ASSERT_EQ(users()->list.size(), held->list.size());
  for (std::size_t i = 0; i < held->list.size(); ++i)
    EXPECT_EQ(format_user_entry(*users()->list[i], true), format_user_entry(*held->list[i], true));
}

// A password the file's form cannot hold is refused, and nothing changes.
TEST_F(UsersTest, PasswordTheKeptFormCannotHoldIsRefused) {
  const std::string blocker = at(kDecrypt) + ".old";
  ASSERT_TRUE(make_dir(blocker));
  ASSERT_TRUE(spit(blocker + "/occupied", "x"));
  spit(at(kFile), kOlderDecl + entry({"root", password_encode_older("r")}) + entry({"alice", password_encode_older("a")}));
  ASSERT_EQ(load_user_profiles(), 1);
  const std::string before = file();
  EXPECT_EQ(update_user(1, rec("alice", std::string(60, 'p')), "07/04/2031"), 0);
  EXPECT_EQ(add_user(2, rec("erin", std::string(49, 'e')), "07/04/2031"), 0);
  EXPECT_TRUE(logged("System Error: Username [erin] password cannot be stored in the old form of "
                     "[users/user_profile.xml]; not changed\n"));
  EXPECT_EQ(file(), before);
  EXPECT_EQ(users()->list[1]->password, "a");
  ASSERT_EQ(update_user(1, rec("alice", std::string(48, 'p')), "07/04/2031"), 1);
  ASSERT_EQ(load_user_profiles(), 1);
  EXPECT_EQ(users()->list[1]->password, std::string(48, 'p'));
  remove_file(blocker + "/occupied");
  ::rmdir(blocker.c_str());
}

// The first user goes after the declaration even when a byte-order mark or blank lines
// stand before it; the file keeps its form.
TEST_F(UsersTest, FirstUserGoesAfterTheDeclarationBehindAMarkOrBlankLines) {
  const std::string heads[] = {"\xEF\xBB\xBF", "\r\n\r\n", "\xEF\xBB\xBF\r\n \t\r\n", "\n\n"};
  for (const auto& head : heads) {
    SCOPED_TRACE(testing::PrintToString(head));
    spit(at(kFile), head + kCurrentDecl);
    ASSERT_EQ(load_user_profiles(), 1);
    ASSERT_TRUE(users()->list.empty());
    ASSERT_EQ(add_user(1, rec("alice", "a pw"), "12/25/2030"), 1);
    ASSERT_EQ(add_user(2, rec("bob", "b pw"), "30"), 1);
    ASSERT_EQ(update_user(0, rec("alice", "a2 pw"), "01/02/2031"), 1);
    EXPECT_EQ(file().compare(0, head.size() + kCurrentDecl.size(), head + kCurrentDecl), 0);
    EXPECT_EQ(file().compare(head.size() + kCurrentDecl.size(), 22, "<userid>alice</userid>"), 0);
    ASSERT_EQ(load_user_profiles(), 1);
    ASSERT_EQ(ids(), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_EQ(users()->list[0]->password, "a2 pw");
    EXPECT_EQ(users()->list[0]->expiry_year, 2031);
    EXPECT_EQ(users()->list[1]->password, "b pw");
    EXPECT_EQ(users()->list[1]->expiry_day, 30);
    EXPECT_EQ(users()->list[1]->email, "bob@example.org");
    ASSERT_EQ(delete_user(0, "alice"), 1);
    ASSERT_EQ(load_user_profiles(), 1);
    EXPECT_EQ(ids(), (std::vector<std::string>{"bob"}));
    EXPECT_EQ(users()->list[0]->password, "b pw");
  }
}

// A file edited by hand with bare line feeds and a blank last line: a user added after
// the last one starts on a line of its own.
TEST_F(UsersTest, UserAddedAfterTheLastEntryOfALineFeedFileGetsItsOwnLine) {
  std::string text = kCurrentDecl + entry({"root", password_encode("r")}) + entry({"alice", password_encode("a")});
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
  spit(at(kFile), text + "\n");  // and a blank line at the end
  ASSERT_EQ(load_user_profiles(), 1);
  ASSERT_EQ(add_user(3, rec("dave", "d pw"), "12/25/2030"), 1);
  EXPECT_NE(file().find("<email></email>\n<userid>dave</userid>\r\n"), std::string::npos) << file();
  ASSERT_EQ(load_user_profiles(), 1);
  ASSERT_EQ(ids(), (std::vector<std::string>{"root", "alice", "dave"}));
  EXPECT_EQ(users()->list[1]->password, "a");
  EXPECT_EQ(users()->list[2]->password, "d pw");
}

TEST_F(UsersTest, AddRootOrAnExistingUserChangesNothing) {
  load_four();
  const std::string before = file();
  EXPECT_EQ(add_user(2, rec("root", "x"), "12/25/2030"), 0);
  EXPECT_EQ(add_user(2, rec("bob", "x"), "12/25/2030"), 3);
  EXPECT_TRUE(logged("Username [bob] : is already in Database\n"));
  EXPECT_EQ(file(), before);
  EXPECT_EQ(users()->list[2]->password, "pw2");
}

TEST_F(UsersTest, UpdateAndStoreReplaceTheEntryAndKeepTheRuntime) {
  load_four();
  const UserPtr old = users()->list[1];
  old->rt->connections = 2;
  old->rt->password_errors = 1;
  User_Profile r = rec("bobby", "newpw", "silver");
  r.user_ip = "10.0.0.9";
  ASSERT_EQ(update_user(1, r, "07/04/2031"), 1);
  const UserPtr now = users()->list[1];
  EXPECT_EQ(now->password, "newpw");
  EXPECT_EQ(now->group->name, "silver");
  EXPECT_EQ(now->expiry_month, 7);
  EXPECT_EQ(now->rt, old->rt);
  EXPECT_EQ(now->rt->connections.load(), 2);
  EXPECT_EQ(old->password, "pw1");  // published records are never changed
  EXPECT_EQ(users()->list[2]->password, "pw2");
  expect_reload_same();

  User_Profile s = *users()->list[2];
  s.first_name = "Robert";
  s.expiry_year = 0;
  s.expiry_month = 0;
  s.expiry_day = 90;
  ASSERT_EQ(store_user(2, s), 1);
  EXPECT_EQ(users()->list[2]->first_name, "Robert");
  EXPECT_NE(file().find("<channel_expired_time>90</channel_expired_time>"), std::string::npos);
  expect_reload_same();
  EXPECT_EQ(users()->list[1]->user_ip, "10.0.0.9");
}

TEST_F(UsersTest, ValuesReadFromTheFileCanBeWrittenBackUnchanged) {
  Fields q{"o\"neil", "pw\"1"};
  q.email = "a\"b@example.org";
  load_plain({{"root", "r"}, q});
  User_Profile r = *users()->list[1];
  ASSERT_EQ(r.email, "a\"b@example.org");
  ASSERT_EQ(update_user(1, r, "01/02/2031"), 1);  // e.g. a PIN account's first login
  EXPECT_EQ(users()->list[1]->expiry_year, 2031);
  r.email = "c\"d@example.org";
  const std::string before = file();
  EXPECT_EQ(update_user(1, r, "01/02/2031"), 0);
  EXPECT_EQ(file(), before);
  ASSERT_EQ(delete_user(1, "o\"neil"), 1);
  EXPECT_EQ(ids(), (std::vector<std::string>{"root"}));
}

TEST_F(UsersTest, EveryRefusalLeavesFileAndTableAsTheyWere) {
  load_four();
  const std::string before = file();
  const std::vector<std::string> ids_before = ids();
  auto with = [](auto change) {
    User_Profile r = rec("dave", "pw");
    change(r);
    return r;
  };
  const std::string lf("a\nb"), nul(std::string("a") + '\0' + "b");
  const User_Profile bad[] = {
      with([](User_Profile& r) { r.user_id = "da<ve"; }),
      with([](User_Profile& r) { r.user_id = "da\"ve"; }),
      with([](User_Profile& r) { r.user_id = "da\rve"; }),
      with([&](User_Profile& r) { r.user_id = lf; }),
      with([&](User_Profile& r) { r.user_id = nul; }),
      with([](User_Profile& r) { r.user_id = std::string(128, 'd'); }),
      with([](User_Profile& r) { r.user_id = ""; }),
      with([](User_Profile& r) { r.password = std::string(128, 'p'); }),
      with([](User_Profile& r) { r.rating_password = "a>b"; }),
      with([](User_Profile& r) { r.group_name = "g</group>"; }),
      with([](User_Profile& r) { r.email = "x</email>"; }),
      with([](User_Profile& r) { r.user_ip = "1234567890123456"; }),
      with([](User_Profile& r) { r.mac_id = "0123456789abc"; }),
      with([](User_Profile& r) { r.tablet = std::string(13, 't'); }),
      with([](User_Profile& r) { r.address = std::string(256, 'a'); }),
      with([](User_Profile& r) { r.ppv_mode = 3; }),
      with([](User_Profile& r) { r.ppv_points = std::nanf(""); }),
  };
  for (const auto& r : bad) {
    SCOPED_TRACE(r.user_id);
    EXPECT_EQ(add_user(2, r, "12/25/2030"), 0);
  }
  for (const char* e : {"13/01/2030", "12/32/2030", "12/00/2030", "abc", "", "123456789012", "1/2", "12//2030",
                        "-5", "0/5/0", "99999999"}) {
    SCOPED_TRACE(e);
    EXPECT_EQ(add_user(2, rec("dave", "pw"), e), 0);
    EXPECT_EQ(update_user(1, rec("bobby", "pw"), e), 0);
  }
  for (int pos : {0, 1, 6, -3}) EXPECT_EQ(add_user(pos, rec("dave", "pw"), "12/25/2030"), 0) << pos;
  EXPECT_EQ(update_user(4, rec("bobby", "pw"), "12/25/2030"), 0);
  EXPECT_EQ(update_user(1, rec("bob", "pw"), "12/25/2030"), 0);  // index 1 is bobby
  User_Profile s = *users()->list[1];
  s.expiry_month = 13;
  EXPECT_EQ(store_user(1, s), 0);
  EXPECT_EQ(delete_user(2, "bobby"), 0);
  EXPECT_EQ(delete_user(0, "root"), 0);
  EXPECT_EQ(delete_user(9, "bob"), 0);
  EXPECT_EQ(delete_user(2, ""), 0);
  EXPECT_EQ(add_multiple_users(2, 0, 2, "month", "gold"), 0);
  EXPECT_EQ(add_multiple_users(2, kMaxMultipleUsers + 1, 2, "month", "gold"), 0);
  EXPECT_EQ(add_multiple_users(2, 3, 0, "month", "gold"), 0);
  EXPECT_EQ(add_multiple_users(2, 3, 101, "year", "gold"), 0);
  EXPECT_EQ(add_multiple_users(2, 3, 1201, "month", "gold"), 0);
  EXPECT_EQ(add_multiple_users(2, 3, -1, "month", "gold"), 0);
  EXPECT_EQ(add_multiple_users(2, 3, 2, "month", "go<ld"), 0);
  EXPECT_EQ(add_multiple_users(7, 3, 2, "month", "gold"), 0);
  EXPECT_EQ(file(), before);
  EXPECT_EQ(ids(), ids_before);
  EXPECT_FALSE(file_exists(at(kTemp)));
}

TEST_F(UsersTest, FailedSaveLeavesFileAndTable) {
  load_four();
  const std::string before = file();
  make_dir(at(kTemp));  // the temporary file cannot be written
  EXPECT_EQ(add_user(2, rec("dave", "pw"), "12/25/2030"), 2);
  EXPECT_EQ(update_user(1, rec("bobby", "pw"), "12/25/2030"), 2);
  EXPECT_EQ(delete_user(2, "bob"), 2);
  EXPECT_EQ(add_multiple_users(2, 2, 1, "year", "gold"), 2);
  EXPECT_EQ(file(), before);
  EXPECT_EQ(ids(), (std::vector<std::string>{"root", "bobby", "bob", "carol"}));
  EXPECT_EQ(users()->list[1]->password, "pw1");
  ::rmdir(at(kTemp).c_str());
}

TEST_F(UsersTest, AddMultipleCreatesPinAccounts) {
  load_four();
  ASSERT_EQ(add_multiple_users(3, 3, 2, "month", "silver"), 1);
  const UserTablePtr t = users();
  ASSERT_EQ(t->list.size(), 7u);
  EXPECT_EQ(t->list[1]->user_id, "bobby");
  EXPECT_EQ(t->list[5]->user_id, "bob");
  for (int i = 2; i <= 4; ++i) {
    const UserPtr u = t->list[static_cast<std::size_t>(i)];
    SCOPED_TRACE(u->user_id);
    ASSERT_EQ(u->user_id.size(), 10u);
    const unsigned long long n = std::stoull(u->user_id);
    EXPECT_GE(n, 1000000000ULL);
    EXPECT_LE(n, 9999999998ULL);
    EXPECT_EQ(u->password, u->user_id);
    EXPECT_EQ(u->rating_password, u->user_id);
    EXPECT_EQ(u->expiry_year, 0);
    EXPECT_EQ(u->expiry_month, 0);
    EXPECT_EQ(u->expiry_day, 60);
    EXPECT_EQ(u->ppv_mode, kPayPre);
    EXPECT_EQ(u->group->name, "silver");
    const std::string e = "<userid>" + u->user_id + "</userid>\r\n<password>" + password_encode(u->user_id) +
                          "</password>\r\n<rating_password>" + password_encode(u->user_id) +
                          "</rating_password>\r\n<group>silver</group>\r\n"
                          "<channel_expired_time>60</channel_expired_time>\r\n<pay_per_view>pre</pay_per_view>\r\n"
                          "<ppv_point>0.0</ppv_point>\r\n<userip></userip>\r\n";
    EXPECT_NE(file().find(e), std::string::npos);
  }
  EXPECT_NE(t->list[2]->user_id, t->list[3]->user_id);
  expect_reload_same();

  ASSERT_EQ(add_multiple_users(8, 1, 1, "year", "gold"), 1);
  EXPECT_EQ(users()->list[7]->expiry_day, 365);
}

TEST_F(UsersTest, ExportAndExpiryTexts) {
  load_plain({{"root", "r00t"}, {"alice", "A pw", "77", "gold", "12/25/2030", "free", "3.50", "10.1.1.1"},
              {"pin", "p", "", "silver", "30"}});
  std::string out;
  const std::size_t n = export_user_profiles(out);
  EXPECT_EQ(n, out.size());
  const std::string alice =
      "<userid>alice</userid>\r\n<password>A pw</password>\r\n<rating_password>77</rating_password>\r\n"
      "<group>gold</group>\r\n<channel_expired_time>12/25/2030</channel_expired_time>\r\n"
      "<pay_per_view>free</pay_per_view>\r\n<ppv_point>3.50</ppv_point>\r\n<userip>10.1.1.1</userip>\r\n";
  EXPECT_EQ(out.compare(0, kXmlDecl.size(), kXmlDecl), 0);
  EXPECT_NE(out.find(alice), std::string::npos);
  EXPECT_NE(out.find("<channel_expired_time>00/30/00</channel_expired_time>"), std::string::npos);

  std::string text;
  ASSERT_EQ(get_expiry_text("alice", text), 1);
  EXPECT_EQ(text, "12/25/2030\n");
  EXPECT_TRUE(logged("Username= [alice] expired time =[12/25/2030]\n"));
  EXPECT_EQ(get_expiry_text("nobody", text), 0);
  EXPECT_TRUE(logged("User [nobody] Not Found\n"));
  EXPECT_EQ(get_expiry_text("", text), 0);
  EXPECT_TRUE(logged("User Name is NULL\n"));
  EXPECT_EQ(find_user("pin"), 2);
  EXPECT_EQ(find_user("pi"), -1);
}

TEST_F(UsersTest, AddIntoAnEmptyFileAndFindPlayers) {
  spit(at(kFile), kCurrentDecl);
  ASSERT_EQ(load_user_profiles(), 1);
  ASSERT_EQ(add_user(2, rec("root", "r"), "1/1/2030"), 0);
  ASSERT_EQ(add_user(1, rec("alice", "a"), "1/1/2030"), 1);
  EXPECT_EQ(ids(), (std::vector<std::string>{"alice"}));
  expect_reload_same();

  int a = 1, b = 2;
  const UserPtr u = user_by_id("alice");
  {
    Guard g(u->rt->lock);
    u->rt->players.add_tail(&a);
    u->rt->players.add_tail(&b);
  }
  EXPECT_EQ(find_player_of_user("alice", [](void* p) { return *static_cast<int*>(p) == 2; }), &b);
  EXPECT_EQ(find_player_of_user("alice", [](void*) { return false; }), nullptr);
  EXPECT_EQ(find_player_of_user("bob", [](void*) { return true; }), nullptr);
  Guard g(u->rt->lock);
  u->rt->players.clear();
}

TEST_F(UsersTest, ConcurrentWritersAndReaders) {
  load_four();
  std::atomic<bool> done{false};
  std::thread reader([&] {
    for (int i = 0; i < 200000 && !done; ++i) {
      const UserTablePtr t = users();
      for (const auto& u : t->list) ASSERT_FALSE(u->user_id.empty());
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([w] {
      for (int i = 0; i < 15; ++i) {
        const int pos = static_cast<int>(users()->list.size()) + 1;
        EXPECT_EQ(add_user(pos, rec("w" + std::to_string(w) + "_" + std::to_string(i), "pw"), "30"), 1);
      }
    });
  }
  for (auto& t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(users()->list.size(), 34u);
  expect_reload_same();
}

}  // namespace
}  // namespace kx
