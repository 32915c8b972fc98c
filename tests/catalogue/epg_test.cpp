#include "catalogue/epg.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/os/file.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::kXmlDecl;
using kxt::slurp;
using kxt::spit;


EpgEntry entry(const std::string& start, const std::string& title, int rec = 0,
               const std::string& description = "", const std::string& picture = "") {
  EpgEntry e;
  e.start = start;
  e.stop = start.substr(0, 10) + " 23:59";
  e.title = title;
  e.description = description;
  e.picture = picture;
  e.rec = rec;
  return e;
}

std::vector<std::string> titles(int channel_index) {
  std::vector<std::string> out;
  const EpgChannelPtr ch = epg_channel(channel_index);
  if (!ch) return out;
  for (const auto& e : ch->entries) out.push_back(e.title);
  return out;
}

class EpgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
    release_epg();
  }
  void TearDown() override { release_epg(); }
  std::string at(const std::string& name) const { return tmp_ / name; }
  void load(const std::vector<std::string>& names) {
    ASSERT_EQ(load_epg(static_cast<int>(names.size()),
                       [&](int i) { return names[static_cast<std::size_t>(i)]; }),
              1);
  }
  // Channel 0 "Sport 1" with the programmes given, as the server writes them.
  void load_sport(const std::vector<EpgEntry>& entries) {
    make_dir(at("epg"));
    spit(at("epg/Sport_1.xml"), format_epg(entries));
    load({"Sport 1"});
  }

  kxt::WorkDirScope tmp_;
};

using EpgFileName = EpgTest;
using EpgLoad = EpgTest;
using EpgEdit = EpgTest;
using EpgListText = EpgTest;

// ---- file names ----

TEST_F(EpgFileName, MapsOnlyWhatCouldLeaveTheFolder) {
  struct Case {
    std::string name, file;
  };
  const std::vector<Case> cases = {
      {"Sport 1", "epg/Sport_1.xml"},
      {"News", "epg/News.xml"},
      {"Canal+ HD (FR)", "epg/Canal+_HD_(FR).xml"},
      {"T\xE9l\xE9", "epg/T\xE9l\xE9.xml"},  // ISO-8859-1 names keep their files
      {"news.hd-2", "epg/news.hd-2.xml"},
      {"../users/user_profile", "epg/.__users_user_profile.xml"},
      {"..", "epg/._.xml"},
      {"....", "epg/._._.xml"},
      {"a\\b", "epg/a_b.xml"},
      {"/etc/passwd", "epg/_etc_passwd.xml"},
      {std::string("a\nb\tc\x7F", 6), "epg/a_b_c_.xml"},
      {"", "epg/.xml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string f = epg_file_name(c.name);
    EXPECT_EQ(f, c.file);
    const std::string stem = f.substr(4);
    EXPECT_EQ(stem.find('/'), std::string::npos);
    EXPECT_EQ(stem.find(".."), std::string::npos);
  }
}

TEST_F(EpgFileName, ATraversingChannelNameStaysInsideEpg) {
  make_dir(at("users"));
  const std::string users = "<userid>root</userid>\r\n";
  spit(at("users/user_profile.xml"), users);
  load({"../users/user_profile"});
  EXPECT_TRUE(epg_channel(0)->entries.empty());  // the user file was not read as a guide
  ASSERT_EQ(add_programme(0, 1, entry("2024/03/01 10:00", "Match")), 1);
  EXPECT_EQ(slurp(at("users/user_profile.xml")), users);
  EXPECT_FALSE(file_exists(at("users/user_profile.xml.backup")));
  EXPECT_FALSE(file_exists(at("users/user_profile.xml.temp")));
  EXPECT_NE(slurp(at("epg/.__users_user_profile.xml")).find(">Match</program>"), std::string::npos);
}

TEST_F(EpgFileName, TemporaryAndBackupNeverMeetAnotherChannelsFile) {
  // "News" keeps its backup beside its file; a channel named "News backup" keeps its guide.
  load({"News", "News backup", "News temp"});
  ASSERT_EQ(add_programme(1, 1, entry("2024/03/01 10:00", "B")), 1);
  ASSERT_EQ(add_programme(2, 1, entry("2024/03/01 10:00", "T")), 1);
  ASSERT_EQ(add_programme(0, 1, entry("2024/03/01 10:00", "N1")), 1);
  ASSERT_EQ(add_programme(0, 1, entry("2024/03/02 10:00", "N2")), 1);
  load({"News", "News backup", "News temp"});
  EXPECT_EQ(titles(0), (std::vector<std::string>{"N1", "N2"}));
  EXPECT_EQ(titles(1), (std::vector<std::string>{"B"}));
  EXPECT_EQ(titles(2), (std::vector<std::string>{"T"}));
}

// ---- loading ----

TEST_F(EpgLoad, ReadsEveryChannelsFile) {
  make_dir(at("epg"));
  spit(at("epg/Sport_1.xml"),
       kXmlDecl +
           "<program description=\"Final\" img=\"http://i/1.png\" rec=\"ON\" start=\"2024/03/01 20:00\" "
           "stop=\"2024/03/01 22:00\">Cup</program>\r\n"
           "<program stop=\"2024/03/02 22:00\" rec=\"on\" start=\"2024/03/02 20:00\">A > B</program>\r\n"
           "<program rec=\"1\">Untimed</program>");
  spit(at("epg/News.xml"), "<program start=\"2024/04/01 08:00:00.000000\" stop=\"x\">" +
                               std::string(300, 't') + "</program>\r\n");
  load({"Sport 1", "News", "Missing"});
  ASSERT_EQ(epg_table()->channels.size(), 3u);
  const EpgChannelPtr sport = epg_channel(0);
  ASSERT_EQ(sport->entries.size(), 3u);
  EXPECT_EQ(sport->name, "Sport 1");
  const EpgEntry& a = sport->entries[0];
  EXPECT_EQ(a.description, "Final");
  EXPECT_EQ(a.picture, "http://i/1.png");
  EXPECT_EQ(a.rec, 1);
  EXPECT_EQ(a.start, "2024/03/01 20:00");
  EXPECT_EQ(a.stop, "2024/03/01 22:00");
  EXPECT_EQ(a.title, "Cup");
  EXPECT_EQ(sport->entries[1].rec, 0);  // only "ON" marks
  EXPECT_EQ(sport->entries[1].title, " B");
  EXPECT_EQ(sport->entries[2].rec, 0);
  EXPECT_EQ(sport->entries[2].start, "");
  EXPECT_EQ(sport->entries[2].title, "Untimed");
  const EpgChannelPtr news = epg_channel(1);
  ASSERT_EQ(news->entries.size(), 1u);
  EXPECT_EQ(news->entries[0].start, "2024/04/01 08:00:00");  // cut to 19
  EXPECT_EQ(news->entries[0].title, std::string(255, 't'));
  EXPECT_TRUE(epg_channel(2)->entries.empty());
  EXPECT_EQ(epg_channel(3), nullptr);
  EXPECT_EQ(epg_channel(-1), nullptr);
}

TEST_F(EpgLoad, CreatesTheFolderAndFallsBackToTheBackup) {
  load({"A"});
  EXPECT_TRUE(dir_exists(at("epg")));
  const std::string text = format_epg({entry("2024/05/01 10:00", "From backup")});
  spit(at("epg/A.xml.backup"), text);
  load({"A"});
  EXPECT_EQ(titles(0), (std::vector<std::string>{"From backup"}));
  EXPECT_EQ(slurp(at("epg/A.xml")), text);
}

TEST_F(EpgLoad, ValuesThatCouldNotBeWrittenBackAreReplaced) {
  make_dir(at("epg"));
  spit(at("epg/A.xml"), "<program description='say \"hi\"' start=\"2024/03/01\">x</program>\r\n");
  load({"A"});
  ASSERT_EQ(epg_channel(0)->entries.size(), 1u);
  EXPECT_EQ(epg_channel(0)->entries[0].description, "say _hi_");
  ASSERT_EQ(write_epg_file(0), 1);
  load({"A"});
  EXPECT_EQ(epg_channel(0)->entries[0].description, "say _hi_");
}

// A stray quote in one value costs neither the start and stop after it nor the mark; the
// programme keeps its month, so edits and the recorder still find it.
TEST_F(EpgLoad, StartAndStopSurviveAMalformedValueBeforeThem) {
  make_dir(at("epg"));
  spit(at("epg/A.xml"),
       kXmlDecl +
           "<program description=\"say \"hi\"\" rec=\"ON\" start=\"2024/03/01 20:00\" stop=\"2024/03/01 21:00\">"
           "Talk</program>\r\n"
           "<program img=\"i.png start=\"2024/04/02 08:00\" stop=\"2024/04/02 09:00\">News</program>\r\n"
           "<program hd start=\"2024/05/03 10:00\" stop=\"2024/05/03 11:00\">Film</program>\r\n");
  load({"A"});
  const EpgChannelPtr ch = epg_channel(0);
  ASSERT_EQ(ch->entries.size(), 3u);
  EXPECT_EQ(ch->entries[0].description, "say ");
  EXPECT_EQ(ch->entries[0].rec, 1);
  const char* starts[] = {"2024/03/01 20:00", "2024/04/02 08:00", "2024/05/03 10:00"};
  const char* stops[] = {"2024/03/01 21:00", "2024/04/02 09:00", "2024/05/03 11:00"};
  const char* names[] = {"Talk", "News", "Film"};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(ch->entries[i].start, starts[i]);
    EXPECT_EQ(ch->entries[i].stop, stops[i]);
    EXPECT_EQ(ch->entries[i].title, names[i]);
  }
  const std::string text = programme_list_text(0, 2024, 4, 4);
  EXPECT_NE(text.find("starttime=2024/04/02 08:00\r\nstoptime=2024/04/02 09:00\r\ntitle=News\r\n"),
            std::string::npos)
      << text;
}

TEST_F(EpgLoad, ReleaseEmptiesAndHeldListsStay) {
  load_sport({entry("2024/03/01 10:00", "a")});
  const EpgChannelPtr held = epg_channel(0);
  release_epg();
  EXPECT_TRUE(epg_table()->channels.empty());
  EXPECT_EQ(programme_list_text(0, 2024, 1, 12), "");
  ASSERT_EQ(held->entries.size(), 1u);
  EXPECT_EQ(held->entries[0].title, "a");
}

// ---- editing ----

TEST_F(EpgEdit, AddPlacesByMonthAndPosition) {
  struct Case {
    const char* label;
    std::string start;
    int a;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"March at 1: after the first March", "2024/03/20 10:00", 1, {"m1", "new", "m2", "apr"}},
      {"March at 2: after the second", "2024/03/20 10:00", 2, {"m1", "m2", "new", "apr"}},
      {"March at 0: before the later month", "2024/03/20 10:00", 0, {"m1", "m2", "new", "apr"}},
      {"February: before the first March", "2024/02/20 10:00", 1, {"new", "m1", "m2", "apr"}},
      {"December: at the end", "2024/12/20 10:00", 1, {"m1", "m2", "apr", "new"}},
      {"April at 5: no fifth, at the end", "2024/04/20 10:00", 5, {"m1", "m2", "apr", "new"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    load_sport({entry("2024/03/01 10:00", "m1"), entry("2024/03/05 10:00", "m2"),
                entry("2024/04/01 10:00", "apr")});
    ASSERT_EQ(add_programme(0, c.a, entry(c.start, "new")), 1);
    EXPECT_EQ(titles(0), c.want);
    load({"Sport 1"});
    EXPECT_EQ(titles(0), c.want);
  }
}

TEST_F(EpgEdit, AddWritesTheExactFile) {
  load({"Sport 1"});
  ASSERT_EQ(add_programme(0, 1, entry("2024/03/01 20:00", "Cup", 1, "Final", "http://i/1.png")), 1);
  ASSERT_EQ(add_programme(0, 1, entry("2024/03/02 20:00", "Plain", 7)), 1);
  EXPECT_EQ(slurp(at("epg/Sport_1.xml")),
            kXmlDecl +
                "<program description=\"Final\" img=\"http://i/1.png\" rec=\"ON\" "
                "start=\"2024/03/01 20:00\" stop=\"2024/03/01 23:59\">Cup</program>\r\n"
                "<program start=\"2024/03/02 20:00\" stop=\"2024/03/02 23:59\">Plain</program>\r\n");
  EXPECT_EQ(epg_channel(0)->entries[1].rec, 0);  // only 1 marks for recording
}

TEST_F(EpgEdit, UpdateReplacesTheAthOfTheMonth) {
  load_sport({entry("2024/03/01 10:00", "m1"), entry("2024/04/01 10:00", "apr"),
              entry("2024/03/05 10:00", "m2")});
  ASSERT_EQ(update_programme(0, 2, entry("2024/03/06 11:00", "m2 new", 1, "d", "p")), 1);
  EXPECT_EQ(titles(0), (std::vector<std::string>{"m1", "apr", "m2 new"}));
  const EpgEntry& e = epg_channel(0)->entries[2];
  EXPECT_EQ(e.start, "2024/03/06 11:00");
  EXPECT_EQ(e.description, "d");
  EXPECT_EQ(e.picture, "p");
  EXPECT_EQ(e.rec, 1);
  load({"Sport 1"});
  EXPECT_EQ(titles(0), (std::vector<std::string>{"m1", "apr", "m2 new"}));
}

TEST_F(EpgEdit, DeleteRemovesTheAthOfTheMonth) {
  load_sport({entry("2024/03/01 10:00", "m1"), entry("2024/04/01 10:00", "apr"),
              entry("2024/03/05 10:00", "m2")});
  ASSERT_EQ(delete_programme(0, 2, "2024/03/31"), 1);
  EXPECT_EQ(titles(0), (std::vector<std::string>{"m1", "apr"}));
  ASSERT_EQ(delete_programme(0, 1, "2024/04/01"), 1);
  EXPECT_EQ(titles(0), (std::vector<std::string>{"m1"}));
}

TEST_F(EpgEdit, DeletingTheOnlyProgrammeLeavesTheDeclaration) {
  load_sport({entry("2024/03/01 10:00", "only")});
  ASSERT_EQ(delete_programme(0, 1, "2024/03/01 10:00"), 1);
  EXPECT_EQ(slurp(at("epg/Sport_1.xml")), kXmlDecl);
  EXPECT_TRUE(epg_channel(0)->entries.empty());
}

struct Refusal {
  const char* label;
  std::function<int()> op;
};

TEST_F(EpgEdit, EveryRefusalLeavesFileAndListUnchanged) {
  const auto with = [](const std::function<void(EpgEntry&)>& change) {
    EpgEntry e = entry("2024/03/10 10:00", "x");
    change(e);
    return e;
  };
  const std::vector<Refusal> cases = {
      {"add: quote in title", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.title = "a\"b"; })); }},
      {"add: '<' in title", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.title = "</program>"; })); }},
      {"add: LF in description", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.description = "a\nb"; })); }},
      {"add: CR in picture", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.picture = "a\rb"; })); }},
      {"add: '>' in start", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.start = "2024/03>"; })); }},
      {"add: NUL in stop", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.stop = std::string("a\0b", 3); })); }},
      {"add: overlong start", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.start = std::string(20, '1'); })); }},
      {"add: overlong stop", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.stop = std::string(20, '1'); })); }},
      {"add: overlong title", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.title = std::string(256, 't'); })); }},
      {"add: overlong description", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.description = std::string(1024, 'd'); })); }},
      {"add: overlong picture", [&] { return add_programme(0, 1, with([](EpgEntry& e) { e.picture = std::string(1024, 'p'); })); }},
      {"add: channel past the end", [&] { return add_programme(1, 1, with([](EpgEntry&) {})); }},
      {"add: negative channel", [&] { return add_programme(-1, 1, with([](EpgEntry&) {})); }},
      {"update: no third of the month", [&] { return update_programme(0, 3, with([](EpgEntry&) {})); }},
      {"update: position 0", [&] { return update_programme(0, 0, with([](EpgEntry&) {})); }},
      {"update: month without programmes", [&] { return update_programme(0, 1, entry("2024/07/01 10:00", "x")); }},
      {"update: bad title", [&] { return update_programme(0, 1, with([](EpgEntry& e) { e.title = "a<b"; })); }},
      {"delete: no third of the month", [] { return delete_programme(0, 3, "2024/03/01"); }},
      {"delete: negative position", [] { return delete_programme(0, -1, "2024/03/01"); }},
      {"delete: channel past the end", [] { return delete_programme(5, 1, "2024/03/01"); }},
      {"write: channel past the end", [] { return write_epg_file(1); }},
  };
  load_sport({entry("2024/03/01 10:00", "m1"), entry("2024/03/05 10:00", "m2")});
  const std::string before = slurp(at("epg/Sport_1.xml"));
  const std::string list_before = programme_list_text(0, 2024, 1, 12);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.op(), 0);
    EXPECT_EQ(slurp(at("epg/Sport_1.xml")), before);
    EXPECT_FALSE(file_exists(at("epg/Sport_1.xml.backup")));
    EXPECT_EQ(programme_list_text(0, 2024, 1, 12), list_before);
  }
}

TEST_F(EpgEdit, FieldsOfTheFullWidthAreAccepted) {
  load({"A"});
  EpgEntry e = entry("2024/03/01 10:00:00", std::string(kEpgTitleMax, 't'), 0,
                     std::string(kEpgTextMax, 'd'), std::string(kEpgTextMax, 'p'));
  e.stop = std::string(kEpgTimeMax, '9');
  ASSERT_EQ(add_programme(0, 1, e), 1);
  load({"A"});
  ASSERT_EQ(epg_channel(0)->entries.size(), 1u);
  const EpgEntry& r = epg_channel(0)->entries[0];
  EXPECT_EQ(r.start, e.start);
  EXPECT_EQ(r.stop, e.stop);
  EXPECT_EQ(r.title, e.title);
  EXPECT_EQ(r.description, e.description);
  EXPECT_EQ(r.picture, e.picture);
}

TEST_F(EpgEdit, AFailedSaveChangesNothing) {
  load_sport({entry("2024/03/01 10:00", "m1")});
  const std::string before = slurp(at("epg/Sport_1.xml"));
  ASSERT_TRUE(make_dir(at("epg/Sport_1.xml.temp")));  // the temporary cannot be written
  EXPECT_EQ(add_programme(0, 1, entry("2024/03/02 10:00", "x")), 0);
  EXPECT_EQ(update_programme(0, 1, entry("2024/03/02 10:00", "x")), 0);
  EXPECT_EQ(delete_programme(0, 1, "2024/03/01"), 0);
  EXPECT_EQ(write_epg_file(0), 0);
  EXPECT_EQ(slurp(at("epg/Sport_1.xml")), before);
  EXPECT_EQ(titles(0), (std::vector<std::string>{"m1"}));
  EXPECT_NE(slurp(at("log/system.log")).find("epg/Sport_1.xml.temp] file Failed\n"), std::string::npos);
}

TEST_F(EpgEdit, WriteRebuildsTheFileFromTheList) {
  load_sport({entry("2024/03/01 10:00", "m1")});
  spit(at("epg/Sport_1.xml"), "damaged");
  ASSERT_EQ(write_epg_file(0), 1);
  EXPECT_EQ(slurp(at("epg/Sport_1.xml")), format_epg({entry("2024/03/01 10:00", "m1")}));
}

// ---- get_epg_info text ----

TEST_F(EpgListText, ExactTextForTheYearAndMonths) {
  load_sport({entry("2024/02/28 10:00", "feb"), entry("2024/03/01 20:00", "Cup", 1, "Final", "i.png"),
              entry("2023/03/05 10:00", "last year"), entry("2024/03/09 10:00", "m2"),
              entry("2024/04/01 10:00", "apr")});
  EXPECT_EQ(programme_list_text(0, 2024, 3, 3),
            "starttime=2024/03/01 20:00\r\nstoptime=2024/03/01 23:59\r\ntitle=Cup\r\n"
            "description=Final\r\nicon=i.png\r\nrec=1\r\n"
            "starttime=2024/03/09 10:00\r\nstoptime=2024/03/09 23:59\r\ntitle=m2\r\n"
            "description=\r\nicon=\r\nrec=0\r\n"
            "\r\n");
  EXPECT_EQ(programme_list_text(0, 2024, 2, 4).find("last year"), std::string::npos);
  EXPECT_NE(programme_list_text(0, 2023, 1, 12).find("title=last year\r\n"), std::string::npos);
  EXPECT_EQ(programme_list_text(0, 2025, 1, 12), "\r\n");
}

TEST_F(EpgListText, NoTextWithoutProgrammes) {
  load({"Empty"});
  EXPECT_EQ(programme_list_text(0, 2024, 1, 12), "");
  EXPECT_EQ(programme_list_text(3, 2024, 1, 12), "");
}

TEST_F(EpgListText, YearAndMonthAsTheStartTextGivesThem) {
  struct Case {
    const char* start;
    int year, month;
  };
  const Case cases[] = {{"2024/03/01 10:00", 2024, 3}, {"2024-12-31", 2024, 12},
                        {"2024/3/5", 2024, 3},         {"2024", 2024, 0},
                        {"", 0, 0},                    {"ab/cd", 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    EXPECT_EQ(epg_year(c.start), c.year);
    EXPECT_EQ(epg_month(c.start), c.month);
  }
}

}  // namespace
}  // namespace kx
