#include "subscribers/resellers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/groups.h"
#include "core/os/file.h"
#include "subscribers/users.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::kXmlDecl;
using kxt::slurp;
using kxt::spit;

const char* kIndex = "reseller/reseller_index.xml";

std::string user_entry(const std::string& id) {
  std::string e = "<userid>" + id + "</userid>\r\n<password>pw</password>\r\n<rating_password></rating_password>\r\n"
                  "<group>gold</group>\r\n<channel_expired_time>12/31/2030</channel_expired_time>\r\n";
  for (const char* t : {"pay_per_view", "ppv_point", "userip", "macid", "smart_phone", "tablet", "desktop", "tv",
                        "first_name", "last_name", "address", "city", "zip", "tel", "email"})
    e += std::string("<") + t + "></" + t + ">\r\n";
  return e;
}

std::string index_of(const std::vector<std::string>& names) {
  std::string s = kXmlDecl;
  for (const auto& n : names) s += "<reseller>" + n + "</reseller>\r\n";
  return s;
}

std::string list_of(const std::vector<std::string>& ids) {
  std::string s = kXmlDecl;
  for (const auto& id : ids) s += "<userid>" + id + "</userid>\r\n";
  return s;
}

class ResellersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
    spit(tmp_ / "ch_config/group_definition.xml",
         kXmlDecl + "<group name=\"gold\" connection=\"2\">\r\n<channel>0</channel>\r\n</group>\r\n");
    ASSERT_EQ(load_groups(), 1);
    std::string users = kXmlDecl;
    for (const char* id : {"root", "alice", "bob", "carol", "dave", "erin"}) users += user_entry(id);
    spit(tmp_ / "users/user_profile.xml", users);
    ASSERT_EQ(load_user_profiles(), 1);
  }
  void TearDown() override {
    release_resellers();
    release_user_profiles();
    release_groups();
  }
  std::string at(const std::string& name) const { return tmp_ / name; }
  std::string file(const std::string& name) const { return slurp(at(name)); }
  bool logged(const std::string& line) const { return slurp(tmp_ / "log/system.log").find(line) != std::string::npos; }

  // r1: alice, bob; r2: carol.
  void load_two() {
    spit(at(kIndex), index_of({"r1", "r2"}));
    spit(at("reseller/r1.xml"), list_of({"alice", "bob"}));
    spit(at("reseller/r2.xml"), list_of({"carol"}));
    ASSERT_EQ(load_resellers(), 1);
  }
  static std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& r : resellers()->list) out.push_back(r->name);
    return out;
  }
  static std::vector<std::string> users_of(const std::string& name) {
    const ResellerTablePtr t = resellers();
    const int i = t->find(name);
    return i < 0 ? std::vector<std::string>{} : t->list[static_cast<std::size_t>(i)]->users;
  }
  static std::string reseller_of(const std::string& id) {
    const UserPtr u = user_by_id(id);
    return u ? user_reseller(*u) : "(no user)";
  }

  kxt::WorkDirScope tmp_{"ch_config", "users", "reseller"};
};

TEST_F(ResellersTest, LoadSkipsDuplicatesUnknownUsersAndUnsafeNames) {
  spit(at(kIndex), index_of({"r1", "r2", "r1", "../users/user_profile", "x_backup"}));
  spit(at("reseller/r1.xml"), list_of({"alice", "ghost", "bob"}));
  spit(at("reseller/r2.xml"), list_of({"carol", "alice"}));
  ASSERT_EQ(load_resellers(), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(users_of("r1"), (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(users_of("r2"), (std::vector<std::string>{"carol"}));
  EXPECT_EQ(reseller_of("alice"), "r1");
  EXPECT_EQ(reseller_of("carol"), "r2");
  EXPECT_EQ(reseller_of("dave"), "");
  EXPECT_TRUE(logged("Warning: Reseller Name [r1] is already in Database Entry[1]\n"));
  EXPECT_TRUE(logged("System Warning: Reseller [r1] Username [ghost] is not in User Database\n"));
  EXPECT_TRUE(logged("System Warning: Reseller [r2] Username [alice] already belongs to Reseller [r1]\n"));
  EXPECT_TRUE(logged("System Message: There are [2] users in the reseller[r1]\n"));
  EXPECT_TRUE(logged("System Message: There are [2] resellers in the Database\n"));
  EXPECT_EQ(find_reseller("r2"), 1);
  EXPECT_EQ(find_reseller("r"), -1);
  EXPECT_EQ(find_reseller(""), -1);
  EXPECT_TRUE(logged("Reseller Name is NULL\n"));
  EXPECT_EQ(find_reseller_user(0, "bob"), 1);
  EXPECT_EQ(find_reseller_user(0, "ghost"), -1);
}

TEST_F(ResellersTest, MissingIndexFallsBackToBackupOrFails) {
  spit(at("reseller/reseller_index_backup.xml"), index_of({"r9"}));
  spit(at("reseller/r9.xml"), list_of({"erin"}));
  ASSERT_EQ(load_resellers(), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"r9"}));
  // The designed lines, byte for byte after the log's "[n]: ", in order.
  const std::string log1 = file("log/system.log");
  const std::size_t failed = log1.find("]: Error: Failed to Open Reseller Profile [reseller/reseller_index.xml].\n");
  const std::size_t renamed =
      log1.find("]: rename reseller/reseller_index_backup.xml to reseller/reseller_index.xml sucessfully\n");
  const std::size_t uses = log1.find("]: Warning: Kestrix uses Reseller Backup Profile [reseller/reseller_index_backup.xml]\n.");
  ASSERT_NE(failed, std::string::npos) << log1;
  ASSERT_NE(renamed, std::string::npos) << log1;
  ASSERT_NE(uses, std::string::npos) << log1;
  EXPECT_LT(failed, renamed);
  EXPECT_LT(renamed, uses);
  remove_file(at(kIndex));
  remove_file(at("reseller/reseller_index_backup.xml"));
  EXPECT_EQ(load_resellers(), 0);
  EXPECT_TRUE(resellers()->list.empty());
  EXPECT_EQ(reseller_of("erin"), "");
  // Without a backup the step still runs and fails, and says so.
  const std::string log2 = file("log/system.log").substr(log1.size());
  const std::size_t not_renamed =
      log2.find("]: rename reseller/reseller_index_backup.xml to reseller/reseller_index.xml error\n");
  const std::size_t again =
      log2.find("]: Error: Failed to Open Reseller Backup Profile [reseller/reseller_index_backup.xml] again\n.");
  ASSERT_NE(not_renamed, std::string::npos) << log2;
  ASSERT_NE(again, std::string::npos) << log2;
  EXPECT_LT(not_renamed, again);
}

TEST_F(ResellersTest, AddAndRemoveUsers) {
  load_two();
  ASSERT_EQ(add_reseller_user(0, 2, "dave"), 1);
  EXPECT_EQ(file("reseller/r1.xml"), list_of({"alice", "dave", "bob"}));
  EXPECT_EQ(users_of("r1"), (std::vector<std::string>{"alice", "dave", "bob"}));
  EXPECT_EQ(reseller_of("dave"), "r1");
  ASSERT_EQ(add_reseller_user(1, 1, "erin"), 1);
  EXPECT_EQ(file("reseller/r2.xml"), list_of({"erin", "carol"}));
  EXPECT_EQ(add_reseller_user(0, 1, "bob"), 3);
  EXPECT_TRUE(logged("Username [bob] : is already in Reseller Database\n"));

  ASSERT_EQ(remove_reseller_user(0, "alice"), 1);
  EXPECT_EQ(file("reseller/r1.xml"), list_of({"dave", "bob"}));
  EXPECT_EQ(reseller_of("alice"), "");
  EXPECT_EQ(remove_reseller_user(0, "alice"), 0);
  EXPECT_TRUE(logged(" Del Reseller [alice] Not Found\n"));
  // A position past the end appends.
  ASSERT_EQ(add_reseller_user(0, 99, "alice"), 1);
  EXPECT_EQ(file("reseller/r1.xml"), list_of({"dave", "bob", "alice"}));

  ASSERT_EQ(load_resellers(), 1);
  EXPECT_EQ(users_of("r1"), (std::vector<std::string>{"dave", "bob", "alice"}));
  EXPECT_EQ(users_of("r2"), (std::vector<std::string>{"erin", "carol"}));
}

TEST_F(ResellersTest, AUserBelongsToOneResellerOnly) {
  load_two();
  const std::string r2 = file("reseller/r2.xml");
  EXPECT_EQ(add_reseller_user(1, 1, "alice"), 0);
  EXPECT_EQ(file("reseller/r2.xml"), r2);
  EXPECT_EQ(reseller_of("alice"), "r1");
  // Once taken out of r1, it may join r2.
  ASSERT_EQ(remove_reseller_user(0, "alice"), 1);
  EXPECT_EQ(add_reseller_user(1, 2, "alice"), 1);
  EXPECT_EQ(reseller_of("alice"), "r2");
}

TEST_F(ResellersTest, DeletedResellerCreatedAgainStartsEmpty) {
  load_two();
  spit(at("reseller/r1_backup.xml"), list_of({"alice", "bob"}));
  ASSERT_EQ(delete_reseller(0, "r1"), 1);
  EXPECT_EQ(file(kIndex), index_of({"r2"}));
  EXPECT_FALSE(file_exists(at("reseller/r1.xml")));
  EXPECT_FALSE(file_exists(at("reseller/r1_backup.xml")));
  EXPECT_EQ(reseller_of("alice"), "");
  EXPECT_EQ(names(), (std::vector<std::string>{"r2"}));

  ASSERT_EQ(add_reseller("r1"), 1);
  EXPECT_EQ(file("reseller/r1.xml"), kXmlDecl);
  EXPECT_TRUE(users_of("r1").empty());
  EXPECT_EQ(reseller_of("alice"), "");
  ASSERT_EQ(load_resellers(), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"r2", "r1"}));
  EXPECT_TRUE(users_of("r1").empty());
  EXPECT_EQ(reseller_of("bob"), "");
  EXPECT_EQ(add_reseller_user(1, 1, "bob"), 1);
}

TEST_F(ResellersTest, DeleteRemovesOnlyTheExactName) {
  spit(at(kIndex), index_of({"abc", "ab", "xab"}));
  for (const char* n : {"abc", "ab", "xab"}) spit(at(std::string("reseller/") + n + ".xml"), kXmlDecl);
  ASSERT_EQ(load_resellers(), 1);
  EXPECT_EQ(delete_reseller(1, "abc"), 0);  // index and name disagree
  ASSERT_EQ(delete_reseller(1, "ab"), 1);
  EXPECT_EQ(file(kIndex), index_of({"abc", "xab"}));
  EXPECT_TRUE(file_exists(at("reseller/abc.xml")));
  EXPECT_EQ(names(), (std::vector<std::string>{"abc", "xab"}));
}

TEST_F(ResellersTest, RefusedNamesAndUsersChangeNoFile) {
  load_two();
  const std::string index = file(kIndex), r1 = file("reseller/r1.xml");
  const std::string bad_names[] = {"",           "../users/user_profile", "a/b",    "a\\b",
                                   "..",         ".",                     "a<b",    "a\"b",
                                   "a\r\nb",     std::string("a\0b", 3),  "reseller_index",
                                   "r1_backup",  "r1_temp",               std::string(128, 'n')};
  for (const auto& n : bad_names) {
    SCOPED_TRACE(n);
    EXPECT_EQ(add_reseller(n), 0);
  }
  EXPECT_EQ(add_reseller("r2"), 3);
  EXPECT_TRUE(logged("Reseller [r2] : is already in Database\n"));
  for (const std::string& id : std::vector<std::string>{"", "root", "a<b", "a\nb", std::string(128, 'u')}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(add_reseller_user(0, 1, id), 0);
  }
  EXPECT_EQ(add_reseller_user(0, 0, "dave"), 0);
  EXPECT_EQ(add_reseller_user(5, 1, "dave"), 0);
  EXPECT_EQ(delete_reseller(0, "r2"), 0);
  EXPECT_EQ(delete_reseller(7, "r1"), 0);
  EXPECT_EQ(file(kIndex), index);
  EXPECT_EQ(file("reseller/r1.xml"), r1);
  std::vector<std::string> listing;
  list_dir(at("reseller"), listing);
  EXPECT_EQ(listing.size(), 3u);  // the index and the two reseller files
  EXPECT_FALSE(file_exists(at("users/user_profile.xml.xml")));
}

TEST_F(ResellersTest, AddResellerStartsTheIndexAndWritesBothFiles) {
  remove_file(at(kIndex));
  ASSERT_EQ(load_resellers(), 0);
  ASSERT_EQ(add_reseller("first"), 1);
  EXPECT_EQ(file(kIndex), index_of({"first"}));
  EXPECT_EQ(file("reseller/first.xml"), kXmlDecl);
  ASSERT_EQ(add_reseller("second"), 1);
  EXPECT_EQ(file(kIndex), index_of({"first", "second"}));
  ASSERT_EQ(load_resellers(), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"first", "second"}));
}

TEST_F(ResellersTest, DeletingAUserTakesItOutOfItsReseller) {
  load_two();
  const int i = find_user("bob");
  ASSERT_GE(i, 0);
  ASSERT_EQ(delete_user(i, "bob"), 1);
  EXPECT_EQ(users_of("r1"), (std::vector<std::string>{"alice"}));
  EXPECT_EQ(file("reseller/r1.xml"), list_of({"alice"}));
}

}  // namespace
}  // namespace kx
