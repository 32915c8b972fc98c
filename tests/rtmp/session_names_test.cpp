// The names an RTMP session reads: the application of tcUrl, the play name, the publish
// name and its key, and the file form's confinement below the program folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "players/served_file.h"
#include "rtmp/session_names.h"
#include "support/harness.h"

namespace kx {
namespace {

TEST(RtmpNames, AppFromTcUrl) {
  struct Case {
    const char* tc_url;
    const char* app;
  } cases[] = {
      {"rtmp://127.0.0.1:1935/live", "live"},
      {"rtmp://127.0.0.1/news", "news"},
      {"rtmp://127.0.0.1/live/", "live"},  // one trailing "/" is no part of the name
      {"rtmp://h/a/b/c/tv1", "tv1"},
      {"rtmp://h/tv", "tv"},                // short names too
      {"rtmp://h/a", "a"},
      {"rtmp://h/", "h"},
      {"/abc", "abc"},
      {"abc", ""},                          // no "/"
      {"", ""},
      {"/", ""},
      {"//", ""},
      {"rtmp://host", "host"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rtmp_app_from_tc_url(c.tc_url), c.app) << c.tc_url;
  }
  EXPECT_EQ(rtmp_app_from_tc_url("rtmp://h/" + std::string(500, 'x')).size(), kRtmpAppMax);
  EXPECT_TRUE(rtmp_app_is_live("live"));
  EXPECT_TRUE(rtmp_app_is_live("live2"));
  EXPECT_FALSE(rtmp_app_is_live("liv"));
  EXPECT_FALSE(rtmp_app_is_live("news"));
}

TEST(RtmpNames, PlayName) {
  struct Case {
    const char* name;
    bool ok;
    bool query;
    const char* base;
    int channel;
  } cases[] = {
      {"5.ch?u=a&p=b", true, true, "5.ch", 5},
      {"5.CH?u=a&p=b", true, true, "5.CH", 5},
      {"5.ch", true, false, "5.ch", 5},                    // no query: the play fails
      {"live/12.ch?u=a", true, true, "live/12.ch", 12},
      {"a\\7.ch?x", true, true, "a\\7.ch", 7},
      {"x.ch?u=a", true, true, "x.ch", 0},                 // not a number: out of range
      {".ch?u=a", true, true, ".ch", 0},
      {"1234567.ch?u=a", true, true, "1234567.ch", 0},     // more than six digits
      {"0.ch?u=a", true, true, "0.ch", 0},
      {"news?u=a&p=b", true, true, "news", -1},            // a name: channel or file
      {"my%20movie.flv?u=a", true, true, "my movie.flv", -1},
      {"movies/a.flv?", true, true, "movies/a.flv", -1},
      {"", false, false, "", -1},
      {"a\nb?u=x", false, false, "", -1},                  // control characters
  };
  for (const Case& c : cases) {
    RtmpPlayName pn;
    EXPECT_EQ(rtmp_parse_play_name(c.name, pn), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(pn.has_query, c.query) << c.name;
    EXPECT_EQ(pn.base, c.base) << c.name;
    EXPECT_EQ(pn.channel, c.channel) << c.name;
  }
  RtmpPlayName pn;
  EXPECT_FALSE(rtmp_parse_play_name(std::string(kRtmpNameMax + 1, 'a'), pn));
  ASSERT_TRUE(rtmp_parse_play_name("3.ch?u=demo&p=pw", pn));
  EXPECT_EQ(pn.query, "?u=demo&p=pw");
}

TEST(RtmpNames, PublishKey) {
  struct Case {
    const char* name;
    const char* configured;
    bool parsed;
    bool allowed;
  } cases[] = {
      {"live1", "", true, true},               // no key configured: open
      {"live1?key=abc", "", true, true},
      {"live1", "abc", true, false},           // key required, none given
      {"live1?key=abc", "abc", true, true},
      {"live1?key=abd", "abc", true, false},
      {"live1?key=ab", "abc", true, false},
      {"live1?key=abcd", "abc", true, false},
      {"live1?key=", "abc", true, false},
      {"live1?x=1&key=abc", "abc", true, true},
      {"live1?keys=abc", "abc", true, false},  // a key only by its whole name
      {"?key=abc", "abc", false, false},       // no stream name
      {"", "", false, false},
  };
  for (const Case& c : cases) {
    RtmpPublishName pn;
    EXPECT_EQ(rtmp_parse_publish_name(c.name, pn), c.parsed) << c.name;
    if (!c.parsed) continue;
    EXPECT_EQ(pn.stream, "live1") << c.name;
    EXPECT_EQ(rtmp_publish_key_ok(pn, c.configured), c.allowed) << c.name << " / " << c.configured;
  }
}

// The file form of a play opens only regular files below the program folder.
TEST(RtmpNames, PlayedFilesStayBelowTheProgramFolder) {
  kxt::TempDir outside;
  kxt::TempDir root;
  ASSERT_TRUE(kxt::spit(outside / "secret.flv", "FLV"));
  ASSERT_EQ(::mkdir((root / "movies").c_str(), 0755), 0);
  ASSERT_TRUE(kxt::spit(root / "movies/a.flv", "FLV"));
  ASSERT_EQ(::symlink((outside / "secret.flv").c_str(), (root / "link.flv").c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), (root / "out").c_str()), 0);
  const std::string rel_out = "../" + outside.path().substr(outside.path().rfind('/') + 1) + "/secret.flv";
  struct Case {
    std::string name;
    bool served;
  } cases[] = {
      {"movies/a.flv", true},
      {"./movies/a.flv", true},
      {"movies/../movies/a.flv", true},
      {"movies", false},                 // a folder
      {"movies/b.flv", false},           // missing
      {rel_out, false},                  // ".." out of the folder
      {outside / "secret.flv", false},   // absolute: read below the folder, where it is not
      {"link.flv", false},               // a symbolic link leading out
      {"out/secret.flv", false},
      {"", false},
  };
  for (const Case& c : cases) {
    std::string real;
    EXPECT_EQ(resolve_request_file(root.path(), c.name, real) == 1, c.served) << c.name;
  }
}

}  // namespace
}  // namespace kx
