#include "catalogue/groups.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/os/file.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::kXmlDecl;
using kxt::slurp;
using kxt::spit;

const char* kFile = "ch_config/group_definition.xml";
const char* kBackup = "ch_config/group_definition_backup.xml";
const char* kTemp = "ch_config/group_definition_temp.xml";

// gold: every channel, 2 players; silver: channels 1, 3, 7, 1 player.
const std::string kTwoGroups = kXmlDecl +
                               "<group name=\"gold\" connection=\"2\">\r\n"
                               "<channel>0</channel>\r\n"
                               "</group>\r\n"
                               "<group name=\"silver\" connection=\"1\">\r\n"
                               "<channel>1</channel>\r\n"
                               "<channel>3</channel>\r\n"
                               "<channel>7</channel>\r\n"
                               "</group>\r\n";

struct Expected {
  std::string name;
  int connection;
  std::vector<int> channels;
};

class GroupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
    release_groups();
  }
  void TearDown() override { release_groups(); }
  std::string at(const std::string& name) const { return tmp_ / name; }
  std::string file() const { return slurp(at(kFile)); }
  std::string log_text() const { return slurp(tmp_ / "log/system.log"); }
  void load(const std::string& text) {
    spit(at(kFile), text);
    ASSERT_EQ(load_groups(), 1);
  }
  static void expect_table(const std::vector<Expected>& want) {
    const GroupTablePtr t = groups();
    ASSERT_EQ(t->list.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(t->list[i]->name, want[i].name);
      EXPECT_EQ(t->list[i]->connection, want[i].connection);
      EXPECT_EQ(t->list[i]->channels, want[i].channels);
    }
  }

  kxt::WorkDirScope tmp_{"ch_config"};
};

using GroupsLoad = GroupsTest;
using GroupsListText = GroupsTest;
using GroupsEdit = GroupsTest;
using GroupsCheck = GroupsTest;
using GroupsSnapshot = GroupsTest;

// ---- loading ----

struct LoadCase {
  const char* label;
  std::string text;
  std::vector<Expected> want;
};

TEST_F(GroupsLoad, ReadsNamesAllowancesAndChannels) {
  const std::vector<LoadCase> cases = {
      {"server form", kTwoGroups, {{"gold", 2, {0}}, {"silver", 1, {1, 3, 7}}}},
      {"no connection attribute allows one player",
       "<group name=\"basic\">\r\n<channel>4</channel>\r\n</group>\r\n",
       {{"basic", 1, {4}}}},
      {"attributes in any order, no declaration, no final line end",
       "<group connection=\"5\" name=\"x\"><channel>2</channel><channel>9</channel></group>",
       {{"x", 5, {2, 9}}}},
      {"a value holding another attribute's name is not that attribute",
       "<group name=\"connection=7\" connection=\"3\">\r\n<channel>1</channel>\r\n</group>\r\n",
       {{"connection=7", 3, {1}}}},
      {"group without channels", "<group name=\"empty\" connection=\"1\">\r\n</group>\r\n",
       {{"empty", 1, {}}}},
      {"an unclosed group is not counted",
       "<group name=\"a\" connection=\"1\"><channel>1</channel></group>\r\n<group name=\"b\">\r\n",
       {{"a", 1, {1}}}},
      {"numbers read as atoi, bounded",
       "<group name=\"n\" connection=\"99999999999\"><channel> 12x</channel>"
       "<channel>-3</channel></group>",
       {{"n", 2147483647, {12, -3}}}},
      {"declaration only", kXmlDecl, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    load(c.text);
    expect_table(c.want);
  }
}

TEST_F(GroupsLoad, AllGroupGrantsEveryChannelUpToTheCount) {
  load(kTwoGroups);
  const GroupTablePtr t = groups();
  const Group& gold = *t->list[0];
  const Group& silver = *t->list[1];
  EXPECT_TRUE(gold.all());
  EXPECT_FALSE(silver.all());
  struct RuleCase {
    const Group* g;
    int channel, count;
    bool allowed;
  };
  const RuleCase cases[] = {
      {&gold, 1, 10, true},    {&gold, 10, 10, true},  {&gold, 11, 10, false},
      {&gold, 0, 10, false},   {&gold, -1, 10, false}, {&silver, 3, 10, true},
      {&silver, 7, 5, true},   {&silver, 2, 10, false}, {&silver, 0, 10, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.g->name + " " + std::to_string(c.channel));
    EXPECT_EQ(group_allows_channel(*c.g, c.channel, c.count), c.allowed);
  }
}

TEST_F(GroupsLoad, MissingFileAndBackupFailsWithTheMessage) {
  EXPECT_EQ(load_groups(), 0);
  EXPECT_NE(log_text().find("group_definition.xml Not found\n"), std::string::npos);
  EXPECT_TRUE(groups()->list.empty());
  EXPECT_EQ(default_group(), nullptr);
}

TEST_F(GroupsLoad, EmptyFileWithoutBackupFails) {
  spit(at(kFile), "");
  EXPECT_EQ(load_groups(), 0);
}

TEST_F(GroupsLoad, MissingFileIsTakenFromTheBackup) {
  spit(at(kBackup), kTwoGroups);
  ASSERT_EQ(load_groups(), 1);
  expect_table({{"gold", 2, {0}}, {"silver", 1, {1, 3, 7}}});
  EXPECT_EQ(file(), kTwoGroups);
}

TEST_F(GroupsLoad, NamesAreCutAndMadeWritable) {
  const std::string long_name(140, 'n');
  load("<group name=\"" + long_name + "\"><channel>1</channel></group>\r\n"
       "<group name='a\"b<c>' connection=\"2\"><channel>1</channel></group>\r\n");
  expect_table({{std::string(127, 'n'), 1, {1}}, {"a_b_c_", 2, {1}}});
  // What was read is written back and reads back the same.
  ASSERT_EQ(add_group("extra", "1", "all"), 1);
  ASSERT_EQ(load_groups(), 1);
  expect_table({{std::string(127, 'n'), 1, {1}}, {"a_b_c_", 2, {1}}, {"extra", 1, {0}}});
}

TEST_F(GroupsLoad, ReleaseEmptiesTheTable) {
  load(kTwoGroups);
  release_groups();
  EXPECT_TRUE(groups()->list.empty());
  EXPECT_EQ(group_list_text(), "");
}

// ---- query_group text ----

TEST_F(GroupsListText, ExactText) {
  load(kTwoGroups + "<group name=\"none\" connection=\"0\">\r\n</group>\r\n");
  const std::string want =
      "No=1\r\nname=gold\r\nconnection=2\r\nsrc=all\r\n"
      "No=2\r\nname=silver\r\nconnection=1\r\nsrc=1,3,7\r\n"
      "No=3\r\nname=none\r\nconnection=0\r\nsrc=\r\n"
      "\r\n";
  EXPECT_EQ(group_list_text(), want);
  EXPECT_EQ(group_list_length(), want.size());
}

TEST_F(GroupsListText, EmptyWithoutGroups) {
  load(kXmlDecl);
  EXPECT_EQ(group_list_text(), "");
  EXPECT_EQ(group_list_length(), 0u);
}

// ---- editing ----

TEST_F(GroupsEdit, AddWritesTheWholeFileAndPublishes) {
  load(kTwoGroups);
  ASSERT_EQ(add_group("bronze", "3", " 4, 2 ,4"), 1);
  const std::string bronze =
      "<group name=\"bronze\" connection=\"3\">\r\n<channel>4</channel>\r\n"
      "<channel>2</channel>\r\n<channel>4</channel>\r\n</group>\r\n";
  EXPECT_EQ(file(), kTwoGroups + bronze);
  EXPECT_EQ(slurp(at(kBackup)), kTwoGroups);
  EXPECT_FALSE(file_exists(at(kTemp)));
  expect_table({{"gold", 2, {0}}, {"silver", 1, {1, 3, 7}}, {"bronze", 3, {4, 2, 4}}});
  EXPECT_NE(log_text().find("System Message: Add group [bronze] sucessfully\n"), std::string::npos);
}

TEST_F(GroupsEdit, AddAfterAFileWithoutFinalLineEnd) {
  load("<group name=\"a\" connection=\"1\">\r\n<channel>1</channel>\r\n</group>");
  ASSERT_EQ(add_group("b", "2", "ALL"), 1);
  ASSERT_EQ(load_groups(), 1);
  expect_table({{"a", 1, {1}}, {"b", 2, {0}}});
}

TEST_F(GroupsEdit, AcceptedChannelAndConnectionTexts) {
  struct Case {
    const char* channels;
    std::vector<int> want;
  };
  const Case cases[] = {
      {"all", {0}}, {"All", {0}}, {" aLL ", {0}}, {"5", {5}}, {"1,2,3", {1, 2, 3}},
      {"65535", {65535}}, {" 7 , 8", {7, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.channels);
    std::vector<int> out;
    ASSERT_EQ(parse_channel_text(c.channels, out), 1);
    EXPECT_EQ(out, c.want);
  }
  struct ConnCase {
    const char* text;
    int want;
  };
  const ConnCase conns[] = {{"0", 0}, {"12", 12}, {"-1", -1}, {"2147483647", 2147483647},
                            {"-2147483648", -2147483647 - 1}, {" 3 ", 3}};
  for (const auto& c : conns) {
    SCOPED_TRACE(c.text);
    int out = 99;
    ASSERT_EQ(parse_connection_text(c.text, out), 1);
    EXPECT_EQ(out, c.want);
  }
}

TEST_F(GroupsEdit, NameOfTheFullWidthIsAccepted) {
  load(kTwoGroups);
  const std::string name(kGroupNameMax, 'w');
  ASSERT_EQ(add_group(name, "1", "1"), 1);
  ASSERT_EQ(load_groups(), 1);
  EXPECT_EQ(groups()->list.back()->name, name);
}

struct Refusal {
  const char* label;
  std::function<int()> op;
};

TEST_F(GroupsEdit, EveryRefusalLeavesFileAndTableUnchanged) {
  const std::string overlong(kGroupNameMax + 1, 'x');
  const std::vector<Refusal> cases = {
      {"add: '<' in name", [] { return add_group("a<b", "1", "1"); }},
      {"add: '>' in name", [] { return add_group("a>b", "1", "1"); }},
      {"add: quote in name", [] { return add_group("a\"b", "1", "1"); }},
      {"add: CR in name", [] { return add_group("a\rb", "1", "1"); }},
      {"add: LF in name", [] { return add_group("a\nb", "1", "1"); }},
      {"add: NUL in name", [] { return add_group(std::string_view("a\0b", 3), "1", "1"); }},
      {"add: empty name", [] { return add_group("", "1", "1"); }},
      {"add: overlong name", [&] { return add_group(overlong, "1", "1"); }},
      {"add: existing name", [] { return add_group("silver", "1", "1"); }},
      {"add: connection not a number", [] { return add_group("n", "abc", "1"); }},
      {"add: connection empty", [] { return add_group("n", "", "1"); }},
      {"add: connection with trailing text", [] { return add_group("n", "1x", "1"); }},
      {"add: connection beyond 32 bits", [] { return add_group("n", "2147483648", "1"); }},
      {"add: connection overlong", [] { return add_group("n", "12345678901", "1"); }},
      {"add: channels empty", [] { return add_group("n", "1", ""); }},
      {"add: empty item", [] { return add_group("n", "1", "1,,2"); }},
      {"add: trailing comma", [] { return add_group("n", "1", "1,"); }},
      {"add: letter", [] { return add_group("n", "1", "1,a"); }},
      {"add: zero", [] { return add_group("n", "1", "0"); }},
      {"add: negative", [] { return add_group("n", "1", "-1"); }},
      {"add: beyond the channel range", [] { return add_group("n", "1", "65536"); }},
      {"add: 'alle'", [] { return add_group("n", "1", "alle"); }},
      {"delete: unknown name", [] { return delete_group("bronze"); }},
      {"delete: prefix of a name", [] { return delete_group("gol"); }},
      {"replace: position 0", [] { return replace_group(0, "n", "1", "1"); }},
      {"replace: position past the end", [] { return replace_group(3, "n", "1", "1"); }},
      {"replace: negative position", [] { return replace_group(-1, "n", "1", "1"); }},
      {"replace: bad name", [] { return replace_group(1, "n\"", "1", "1"); }},
      {"replace: another group's name", [] { return replace_group(1, "silver", "1", "1"); }},
      {"replace: bad connection", [] { return replace_group(1, "n", "x", "1"); }},
      {"replace: bad channels", [] { return replace_group(1, "n", "1", "1;2"); }},
      {"update: position past the end", [] { return update_group_in_table(3, "n", "1", "1"); }},
      {"update: bad channels", [] { return update_group_in_table(1, "n", "1", "x"); }},
  };
  load(kTwoGroups);
  const std::string text_before = group_list_text();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.op(), 0);
    EXPECT_EQ(file(), kTwoGroups);
    EXPECT_FALSE(file_exists(at(kBackup)));
    EXPECT_EQ(group_list_text(), text_before);
  }
}

TEST_F(GroupsEdit, TheLastGroupCannotBeDeleted) {
  const std::string one = kXmlDecl + "<group name=\"only\" connection=\"1\">\r\n<channel>0</channel>\r\n</group>\r\n";
  load(one);
  EXPECT_EQ(delete_group("only"), 0);
  EXPECT_EQ(file(), one);
  expect_table({{"only", 1, {0}}});
}

TEST_F(GroupsEdit, AFailedSaveChangesNothing) {
  load(kTwoGroups);
  // A folder where the temporary file goes makes the write fail.
  ASSERT_TRUE(make_dir(at(kTemp)));
  const std::string text_before = group_list_text();
  EXPECT_EQ(add_group("bronze", "1", "1"), 0);
  EXPECT_EQ(delete_group("silver"), 0);
  EXPECT_EQ(replace_group(1, "platinum", "4", "all"), 0);
  EXPECT_EQ(file(), kTwoGroups);
  EXPECT_EQ(group_list_text(), text_before);
  EXPECT_EQ(log_text().find("sucessfully"), std::string::npos);
}

TEST_F(GroupsEdit, DeleteRemovesExactlyThatName) {
  load(kTwoGroups + "<group name=\"silver2\" connection=\"1\">\r\n<channel>2</channel>\r\n</group>\r\n");
  ASSERT_EQ(delete_group("silver"), 1);
  EXPECT_EQ(file(), kXmlDecl +
                        "<group name=\"gold\" connection=\"2\">\r\n<channel>0</channel>\r\n</group>\r\n"
                        "<group name=\"silver2\" connection=\"1\">\r\n<channel>2</channel>\r\n</group>\r\n");
  expect_table({{"gold", 2, {0}}, {"silver2", 1, {2}}});
  EXPECT_EQ(find_group("silver"), nullptr);
}

TEST_F(GroupsEdit, ReplaceWritesTheGroupAtItsPosition) {
  load(kTwoGroups);
  ASSERT_EQ(replace_group(2, "silver", "4", "all"), 1);  // its own name may stay
  EXPECT_EQ(file(), kXmlDecl +
                        "<group name=\"gold\" connection=\"2\">\r\n<channel>0</channel>\r\n</group>\r\n"
                        "<group name=\"silver\" connection=\"4\">\r\n<channel>0</channel>\r\n</group>\r\n");
  expect_table({{"gold", 2, {0}}, {"silver", 4, {0}}});
  ASSERT_EQ(replace_group(1, "platinum", "-1", "9,8"), 1);
  expect_table({{"platinum", -1, {9, 8}}, {"silver", 4, {0}}});
  ASSERT_EQ(load_groups(), 1);
  expect_table({{"platinum", -1, {9, 8}}, {"silver", 4, {0}}});
}

TEST_F(GroupsEdit, UpdateInTableLeavesTheFile) {
  load(kTwoGroups);
  ASSERT_EQ(update_group_in_table(2, "copper", "6", "5,6"), 1);
  expect_table({{"gold", 2, {0}}, {"copper", 6, {5, 6}}});
  EXPECT_EQ(file(), kTwoGroups);
}

// ---- the group of a user ----

TEST_F(GroupsCheck, ExactNameOrTheFirstGroup) {
  load(kTwoGroups + "<group name=\"gold2\" connection=\"1\">\r\n<channel>5</channel>\r\n</group>\r\n");
  struct Case {
    const char* given;
    int found;
    const char* name_after;
  };
  const Case cases[] = {
      {"silver", 1, "silver"}, {"gold2", 1, "gold2"}, {"gold", 1, "gold"},
      {"gold3", 0, "gold"},    {"Silver", 0, "gold"}, {"silver ", 0, "gold"},
      {"", 0, "gold"},         {"nobody", 0, "gold"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    std::string name = c.given;
    int found = -1;
    const GroupPtr g = group_check(name, found);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(name, c.name_after);
    EXPECT_EQ(g->name, c.name_after);
  }
}

TEST_F(GroupsCheck, PrefixIsNotTheGroup) {
  // "gold2" must not land in "gold" when there is no group "gold2".
  load(kXmlDecl + "<group name=\"silver\" connection=\"1\"><channel>1</channel></group>\r\n"
               "<group name=\"gold\" connection=\"3\"><channel>0</channel></group>\r\n");
  std::string name = "gold2";
  int found = -1;
  const GroupPtr g = group_check(name, found);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(g->name, "silver");
  EXPECT_EQ(name, "silver");
}

TEST_F(GroupsCheck, DeletedGroupFallsToTheFirst) {
  load(kTwoGroups);
  ASSERT_EQ(delete_group("silver"), 1);
  std::string name = "silver";
  int found = -1;
  const GroupPtr g = group_check(name, found);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(name, "gold");
}

TEST_F(GroupsCheck, NoGroupsGivesNothing) {
  std::string name = "gold";
  int found = -1;
  EXPECT_EQ(group_check(name, found), nullptr);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(name, "gold");
}

// ---- snapshots ----

TEST_F(GroupsSnapshot, AHeldGroupOutlivesDeleteAndRelease) {
  load(kTwoGroups);
  const GroupPtr silver = find_group("silver");
  const GroupTablePtr old = groups();
  ASSERT_EQ(delete_group("silver"), 1);
  release_groups();
  ASSERT_NE(silver, nullptr);
  EXPECT_EQ(silver->name, "silver");
  EXPECT_EQ(silver->channels, (std::vector<int>{1, 3, 7}));
  EXPECT_EQ(old->list.size(), 2u);
}

TEST_F(GroupsSnapshot, ReadersSeeWholeTablesWhileEditsRun) {
  load(kTwoGroups);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done.load() && std::chrono::steady_clock::now() < until) {
      const GroupTablePtr t = groups();
      if (t->list.size() < 2 || t->list[0]->name != "gold") bad.fetch_add(1);
      std::string name = "extra";
      int found = 0;
      const GroupPtr g = group_check(name, found);
      if (!g || (found == 1) != (g->name == "extra")) bad.fetch_add(1);
      (void)group_list_text();
    }
  });
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(add_group("extra", "1", "1,2"), 1);
    ASSERT_EQ(replace_group(3, "extra", "2", "all"), 1);
    ASSERT_EQ(delete_group("extra"), 1);
  }
  done.store(true);
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(file(), kTwoGroups);
}

}  // namespace
}  // namespace kx
