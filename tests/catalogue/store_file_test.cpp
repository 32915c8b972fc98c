#include "catalogue/store_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/os/file.h"
#include "core/os/time.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::slurp;
using kxt::spit;

int mode_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 0777);
}

// A working directory of its own, with the system log in it so the messages can be read.
class StoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
  }
  std::string log_text() const { return slurp(tmp_ / "log/system.log"); }
  std::string at(const std::string& name) const { return tmp_ / name; }

  kxt::WorkDirScope tmp_{"users"};
  StoreFile f_{"users/list.xml", "users/list_temp.xml", "users/list_backup.xml"};
};

using StoreFileWorkFile = StoreFileTest;
using StoreFileSave = StoreFileTest;
using StoreFileRead = StoreFileTest;

TEST_F(StoreFileWorkFile, JoinsRelativeNamesOnly) {
  EXPECT_EQ(work_file("users/a.xml"), tmp_.path() + "/users/a.xml");
  EXPECT_EQ(work_file("/etc/abs.xml"), "/etc/abs.xml");
}

// ---- saving ----

struct SaveCase {
  const char* what;
  const char* before;  // nullptr: no file yet
  int mode;
  const char* keep_as;  // "" for the backup
};

TEST_F(StoreFileSave, NewContentInPlaceOldContentKept) {
  const SaveCase cases[] = {
      {"first save, no file", nullptr, 0644, ""},
      {"old file becomes the backup", "old\r\n", 0644, ""},
      {"password file keeps 0600", "secret\r\n", 0600, ""},
      {"plain copy kept under its own name", "plain\r\n", 0600, "users/list_decrypt.xml"},
      {"empty old file", "", 0644, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* n : {"users/list.xml", "users/list_backup.xml", "users/list_decrypt.xml"})
      ::unlink(at(n).c_str());
    spit(at("users/list_backup.xml"), "previous backup");
    if (c.before) {
      ASSERT_EQ(replace_file(at("users/list.xml"), c.before, c.mode), 1);
    }
    ASSERT_EQ(save_store(f_, "new content\r\n", c.mode, c.keep_as), 1);
    EXPECT_EQ(slurp(at("users/list.xml")), "new content\r\n");
    EXPECT_EQ(mode_of(at("users/list.xml")), c.mode);
    const std::string keep = *c.keep_as ? c.keep_as : "users/list_backup.xml";
    if (c.before) {
      EXPECT_EQ(slurp(at(keep)), c.before);
      EXPECT_EQ(mode_of(at(keep)), c.mode);
    }
    if (!c.before || *c.keep_as) {
      EXPECT_EQ(slurp(at("users/list_backup.xml")), "previous backup");
    }
    EXPECT_FALSE(file_exists(at("users/list_temp.xml")));
    EXPECT_FALSE(file_exists(at(keep + ".old")));
  }
}

TEST_F(StoreFileSave, TwoSavesRotateTheBackup) {
  ASSERT_EQ(save_store(f_, "one"), 1);
  ASSERT_EQ(save_store(f_, "two"), 1);
  ASSERT_EQ(save_store(f_, "three"), 1);
  EXPECT_EQ(slurp(at("users/list.xml")), "three");
  EXPECT_EQ(slurp(at("users/list_backup.xml")), "two");
}

struct FailCase {
  const char* what;
  const char* keep_as;
  bool temp_is_folder;
  const char* line;  // the line logged, after the log's "[n]: " prefix
};

// A failed save answers 0 and leaves the file and the backup exactly as they were. The
// lines name the files by their store names, never by the working directory's path.
TEST_F(StoreFileSave, FailureLeavesFilesByteIdentical) {
  const FailCase cases[] = {
      {"temporary file cannot be written", "", true, "disk written error\n"},
      {"old content cannot be kept", "missing_folder/list_decrypt.xml", false,
       "rename users/list.xml to missing_folder/list_decrypt.xml error\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    spit(at("users/list.xml"), "current\r\n\x01\xff");
    spit(at("users/list_backup.xml"), "backup\r\n");
    if (c.temp_is_folder) {
      ASSERT_TRUE(make_dir(at("users/list_temp.xml")));
    }
    const std::size_t log_before = log_text().size();
    EXPECT_EQ(save_store(f_, "replacement", 0600, c.keep_as), 0);
    EXPECT_EQ(slurp(at("users/list.xml")), "current\r\n\x01\xff");
    EXPECT_EQ(slurp(at("users/list_backup.xml")), "backup\r\n");
    if (c.temp_is_folder) {
      EXPECT_TRUE(dir_exists(at("users/list_temp.xml")));
      ::rmdir(at("users/list_temp.xml").c_str());
    } else {
      EXPECT_FALSE(file_exists(at("users/list_temp.xml")));
    }
    const std::string logged = log_text().substr(log_before);
    EXPECT_EQ(kxt::count_of(logged, "]: " + std::string(c.line)), 1) << logged;
    EXPECT_EQ(logged.find(tmp_.path()), std::string::npos) << logged;
  }
}

// A folder in the file's place: the new content cannot take the name.
TEST_F(StoreFileSave, FailedRenameIntoPlaceIsLoggedByStoreNames) {
  ASSERT_TRUE(make_dir(at("users/list.xml")));
  ASSERT_TRUE(spit(at("users/list.xml/occupied"), "x"));
  spit(at("users/list_backup.xml"), "backup\r\n");
  EXPECT_EQ(save_store(f_, "replacement"), 0);
  EXPECT_EQ(slurp(at("users/list_backup.xml")), "backup\r\n");
  EXPECT_FALSE(file_exists(at("users/list_temp.xml")));
  const std::string logged = log_text();
  EXPECT_EQ(kxt::count_of(logged, "]: rename users/list_temp.xml to users/list.xml error\n"), 1) << logged;
}

// Saves from several threads are serialised; a reader never finds the file missing or
// holding anything but one whole saved text.
TEST_F(StoreFileSave, ConcurrentSavesNeverLoseTheFile) {
  const std::vector<std::string> texts = {std::string(5000, 'a'), std::string(7000, 'b'),
                                          std::string(3000, 'c')};
  ASSERT_EQ(save_store(f_, texts[0]), 1);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, reads{0};
  std::thread reader([&] {
    const int64_t deadline = mono_ms() + 60000;
    while (!done.load() && mono_ms() < deadline) {
      std::string got;
      if (!read_file(at("users/list.xml"), got) ||
          (got != texts[0] && got != texts[1] && got != texts[2]))
        ++bad;
      ++reads;
    }
  });
  std::vector<std::thread> writers;
  std::atomic<int> failed{0};
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 40; ++i)
        if (save_store(f_, texts[static_cast<std::size_t>((w + i) % 3)]) != 1) ++failed;
    });
  }
  for (auto& t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_FALSE(file_exists(at("users/list_temp.xml")));
}

// ---- reading ----

struct ReadCase {
  const char* what;
  const char* file;    // nullptr: missing
  const char* backup;  // nullptr: missing
  int backup_mode;
  ReadResult result;
  const char* text;
  const char* rename;  // "sucessfully", "error" or nullptr: the rename line logged
};

TEST_F(StoreFileRead, FileOrBackupFallback) {
  const ReadCase cases[] = {
      {"file read, line end completed", "a\nb", "old", 0644, ReadResult::kRead, "a\nb\r\n", nullptr},
      {"bare final LF becomes CRLF", "a\n", nullptr, 0644, ReadResult::kRead, "a\r\n", nullptr},
      {"missing file from backup", nullptr, "from backup\r\n", 0644, ReadResult::kFromBackup,
       "from backup\r\n", "sucessfully"},
      {"empty file from backup", "", "from backup", 0644, ReadResult::kFromBackup,
       "from backup\r\n", "sucessfully"},
      {"backup of passwords keeps 0600", nullptr, "pw", 0600, ReadResult::kFromBackup, "pw\r\n",
       "sucessfully"},
      {"neither: the backup cannot be put back", nullptr, nullptr, 0644, ReadResult::kMissing, "", "error"},
      {"missing file, empty backup", nullptr, "", 0644, ReadResult::kMissing, "", "error"},
      {"empty file, no backup", "", nullptr, 0644, ReadResult::kEmpty, "", nullptr},
      {"both empty", "", "", 0644, ReadResult::kEmpty, "", "error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(at("users/list.xml").c_str());
    ::unlink(at("users/list_backup.xml").c_str());
    if (c.file) spit(at("users/list.xml"), c.file);
    if (c.backup) {
      ASSERT_EQ(replace_file(at("users/list_backup.xml"), c.backup, c.backup_mode), 1);
    }
    const std::size_t log_before = log_text().size();
    std::string text = "junk";
    EXPECT_EQ(read_store(f_, text, true), c.result);
    EXPECT_EQ(text, c.result == ReadResult::kRead || c.result == ReadResult::kFromBackup
                        ? c.text : std::string());
    const std::string logged = log_text().substr(log_before);
    // Exactly the designed line: the store names, no "./" or folder before them.
    const std::string line = c.rename ? std::string("]: rename users/list_backup.xml to users/list.xml ") +
                                            c.rename + "\n"
                                      : std::string();
    EXPECT_EQ(kxt::count_of(logged, "rename "), c.rename ? 1 : 0) << logged;
    if (c.rename) {
      EXPECT_NE(logged.find(line), std::string::npos) << logged;
    }
    if (c.result == ReadResult::kFromBackup) {
      EXPECT_EQ(slurp(at("users/list.xml")), c.backup);  // put back as it was
      EXPECT_EQ(slurp(at("users/list_backup.xml")), c.backup);
      EXPECT_EQ(mode_of(at("users/list.xml")), c.backup_mode);
    }
  }
}

// Files whose loading does not name the backup step (groups, EPG) log nothing when
// there is no backup.
TEST_F(StoreFileRead, WithoutTheFlagAMissingBackupIsQuiet) {
  std::string text;
  EXPECT_EQ(read_store(f_, text), ReadResult::kMissing);
  EXPECT_EQ(log_text().find("rename "), std::string::npos) << log_text();
}

// The files whose reads fail, as a disk error or a permission root cannot override would.
bool fail_list_reads(const std::string& path) {
  return path.size() >= 9 && path.compare(path.size() - 9, 9, "/list.xml") == 0;
}

struct ReadFault {
  ReadFault() { set_read_fault_for_tests(fail_list_reads); }
  ~ReadFault() { set_read_fault_for_tests(nullptr); }
};

// A file that is there but cannot be read may hold entries its older backup lacks: it is
// never replaced by the backup, and neither file changes.
TEST_F(StoreFileRead, UnreadableFileIsNeverReplacedByItsBackup) {
  spit(at("users/list.xml"), "newer entries\r\n");
  spit(at("users/list_backup.xml"), "older entries\r\n");
  std::string text = "junk";
  {
    ReadFault fault;
    EXPECT_EQ(read_store(f_, text), ReadResult::kUnreadable);
  }
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(slurp(at("users/list.xml")), "newer entries\r\n");
  EXPECT_EQ(slurp(at("users/list_backup.xml")), "older entries\r\n");
  const std::string log = log_text();
  EXPECT_EQ(log.find("rename "), std::string::npos) << log;
  EXPECT_NE(log.find("]: System Error: [users/list.xml] exists but cannot be read (errno [5]); it and "
                     "[users/list_backup.xml] are left as they are\n"),
            std::string::npos)
      << log;
  // Once it can be read again, it is read as it is.
  EXPECT_EQ(read_store(f_, text), ReadResult::kRead);
  EXPECT_EQ(text, "newer entries\r\n");
}

TEST_F(StoreFileRead, FailedPutBackIsLogged) {
  spit(at("users/list_backup.xml"), "keep me");
  ASSERT_TRUE(make_dir(at("users/list.xml")));  // nothing can take the file's name
  std::string text;
  EXPECT_EQ(read_store(f_, text), ReadResult::kMissing);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(kxt::count_of(log_text(), "]: rename users/list_backup.xml to users/list.xml error\n"), 1)
      << log_text();
  EXPECT_EQ(slurp(at("users/list_backup.xml")), "keep me");
}

// ---- scanner ----

// An element as "name=value|name=value#text".
std::string render(const Element& e) {
  std::string s;
  for (const auto& a : e.attrs) {
    if (!s.empty()) s += "|";
    s.append(a.first).append("=").append(a.second);
  }
  return s.append("#").append(e.text);
}

std::vector<std::string> scan_all(std::string_view text, std::string_view tag) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  Element e;
  for (int i = 0; i < 100 && next_element(text, tag, pos, e); ++i) {
    EXPECT_EQ(e.tag, tag);
    EXPECT_EQ(text.substr(e.begin, 1 + tag.size()), "<" + std::string(tag));
    EXPECT_EQ(text.substr(e.end - tag.size() - 3, tag.size() + 3), "</" + std::string(tag) + ">");
    EXPECT_EQ(pos, e.end);
    out.push_back(render(e));
  }
  return out;
}

struct ScanCase {
  const char* what;
  std::string text;
  const char* tag;
  std::vector<std::string> want;
};

TEST(Scanner, ElementsAndAttributes) {
  const ScanCase cases[] = {
      {"attributes in any order", "<ch b=\"2\" a=\"1\">n</ch>", "ch", {"b=2|a=1#n"}},
      {"multi-line value", "<ch src=\"abc\ndef\r\nghi\" x='y'>name</ch>\r\n", "ch",
       {"src=abc\ndef\r\nghi|x=y#name"}},
      {"one element per line", "<?xml version=\"1.0\" ?>\r\n<ch src=\"a\">one</ch>\r\n"
       "<ch src=\"b\">two</ch>\r\n", "ch", {"src=a#one", "src=b#two"}},
      {"value holds img= and >", "<ch category=\"see img=z > here\" src=\"s\">n</ch>", "ch",
       {"category=see img=z > here|src=s#n"}},
      {"value holds < and > fillers", "<ch src=\"0<9>x\">n</ch>", "ch", {"src=0<9>x#n"}},
      {"other quote inside a value", "<ch a='x\"y' b=\"p'q\">n</ch>", "ch", {"a=x\"y|b=p'q#n"}},
      {"tabs and line ends separate", "<ch\ta=\"1\"\r\n b = '2'\n>n</ch>", "ch", {"a=1|b=2#n"}},
      {"longer tag is another element", "<channel a=\"1\">c</channel><ch>d</ch><chx>e</chx>",
       "ch", {"#d"}},
      {"no attributes, empty text", "<ch></ch>", "ch", {"#"}},
      {"unclosed element", "<ch a=\"1\">x", "ch", {}},
      {"closed then unclosed", "<ch a=\"1\">x</ch><ch b=\"2\">y", "ch", {"a=1#x"}},
      {"empty text", "", "ch", {}},
      {"garbage", "<<<>>>\"'=</ch <ch", "ch", {}},
      {"user entry children", "<userid>bob</userid>\r\n<password>x</password>\r\n", "password",
       {"#x"}},
      {"closing tag needs its >", "<ch>a</ch <ch>b</ch>", "ch", {"#a</ch <ch>b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(scan_all(c.text, c.tag), c.want);
  }
}

// One malformed attribute never costs the attributes after it: the scan picks up again
// at the next name=" (a value cut at a stray quote keeps what came before it).
TEST(Scanner, MalformedAttributeKeepsTheOnesAfterIt) {
  const ScanCase cases[] = {
      {"quote inside a value",
       "<ch category=\"Kids \"HD\"\" type=\"dvr\" img=\"i.png\" cache_on_demand=\"1\">N</ch>", "ch",
       {"category=Kids |type=dvr|img=i.png|cache_on_demand=1#N"}},
      {"quoted word at the end of a value", "<ch category=\"Kids \"HD\"\">N</ch>", "ch", {"category=Kids #N"}},
      {"value missing its closing quote mid-line", "<ch category=\"Kids type=\"dvr\" img=\"i.png\">N</ch>", "ch",
       {"category=Kids type=|type=dvr|img=i.png#N"}},
      {"missing closing quote at the end of the line",
       "<ch src=\"a\" img=\"i.png>N</ch>\r\n<ch src=\"b\" type=\"dvr\">M</ch>\r\n", "ch",
       {"src=a#N", "src=b|type=dvr#M"}},
      {"attribute without value", "<ch hd src=\"a\" type=\"hls\">N</ch>", "ch", {"src=a|type=hls#N"}},
      {"attribute with = and no value", "<ch hd= src=\"a\">N</ch>", "ch", {"src=a#N"}},
      {"value without quotes", "<ch a=\"1\" b=2 c=\"3\">n</ch>", "ch", {"a=1|c=3#n"}},
      {"no name before =", "<ch =\"x\" src=\"a\">N</ch>", "ch", {"src=a#N"}},
      {"no space between attributes", "<ch a=\"1\"b=\"2\">n</ch>", "ch", {"a=1|b=2#n"}},
      {"bad character in name", "<ch a.b=\"2\" c=\"3\">n</ch>", "ch", {"c=3#n"}},
      {"unclosed quote runs to the element's end", "<ch a=\"1\" b=\"oops>n</ch>", "ch", {"a=1#n"}},
      {"only malformed attributes", "<ch a b c=d \"e\">n</ch>", "ch", {"#n"}},
      {"stray quotes before the tag ends", "<ch a=\"1\" \"\" '>n</ch>", "ch", {"a=1#n"}},
      {"EPG start and stop after a bad description",
       "<program description=\"say \"hi\"\" start=\"2024/03/01 20:00\" stop=\"2024/03/01 21:00\">T</program>",
       "program", {"description=say |start=2024/03/01 20:00|stop=2024/03/01 21:00#T"}},
      {"EPG start without its quote, stop kept",
       "<program start=\"2024/03/01 20:00 stop=\"2024/03/01 21:00\">T</program>", "program",
       {"start=2024/03/01 20:00 stop=|stop=2024/03/01 21:00#T"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(scan_all(c.text, c.tag), c.want);
  }
}

// The scan stops at the element's end and at the end of the text it is given, even when
// the memory after them would close a value.
TEST(Scanner, NothingIsReadPastTheElementOrTheText) {
  const std::string backing = "<ch a=\"1\" b=\"2</ch>\" c=\"3\">";
  const std::string_view text(backing.data(), backing.find("</ch>") + 5);
  EXPECT_EQ(scan_all(text, "ch"), (std::vector<std::string>{"a=1#"}));
  for (std::size_t n = 0; n < backing.size(); ++n) {
    SCOPED_TRACE(n);
    const std::string cut_copy = backing.substr(0, n);  // each prefix in memory of its own
    std::size_t pos = 0;
    Element e;
    const bool found = next_element(cut_copy, "ch", pos, e);
    EXPECT_EQ(found, n >= text.size());
  }
}

struct LookupCase {
  std::string text;
  const char* name;
  bool found;
  const char* value;
};

TEST(Scanner, AttributeLookupIsByWholeName) {
  const LookupCase cases[] = {
      {"<ch adaptive_bitrate_type=\"2\" type=\"dvr\">n</ch>", "type", true, "dvr"},
      {"<ch adaptive_bitrate_type=\"2\" type=\"dvr\">n</ch>", "adaptive_bitrate_type", true, "2"},
      {"<ch adaptive_bitrate_type=\"2\">n</ch>", "type", false, ""},
      {"<ch category=\"x img=y.png\">n</ch>", "img", false, ""},
      {"<ch category=\"x img=y.png\" img=\"z.png\">n</ch>", "img", true, "z.png"},
      {"<ch src=\"\">n</ch>", "src", true, ""},
      {"<ch Src=\"a\">n</ch>", "src", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::size_t pos = 0;
    Element e;
    ASSERT_TRUE(next_element(c.text, "ch", pos, e));
    std::string_view v = "unset";
    EXPECT_EQ(e.attr(c.name, v), c.found);
    if (c.found) {
      EXPECT_EQ(v, c.value);
    }
  }
}

TEST(Scanner, PositionMovesPastEachElement) {
  const std::string text = "x<ch a=\"1\">one</ch>yy<ch>two</ch>";
  std::size_t pos = 0;
  Element e;
  ASSERT_TRUE(next_element(text, "ch", pos, e));
  EXPECT_EQ(e.begin, 1u);
  EXPECT_EQ(e.end, 19u);
  ASSERT_TRUE(next_element(text, "ch", pos, e));
  EXPECT_EQ(e.begin, 21u);
  EXPECT_EQ(e.text, "two");
  EXPECT_FALSE(next_element(text, "ch", pos, e));
  EXPECT_EQ(pos, text.size());
  pos = text.size() + 5;  // past the end is just the end
  EXPECT_FALSE(next_element(text, "ch", pos, e));
  pos = 0;
  EXPECT_FALSE(next_element(text, "", pos, e));
}

TEST(Scanner, ChildText) {
  const std::string entry =
      "<userid>bobby</userid>\r\n<userid2>no</userid2>\r\n<password></password>\r\n";
  std::string_view v;
  ASSERT_TRUE(child_text(entry, "userid", v));
  EXPECT_EQ(v, "bobby");
  ASSERT_TRUE(child_text(entry, "password", v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(child_text(entry, "email", v));
  EXPECT_FALSE(child_text(entry, "user", v));
  EXPECT_FALSE(child_text("<email>open", "email", v));
}

// ---- checks on stored text ----

struct SafeCase {
  std::string s;
  std::size_t max;
  bool text_ok, name_ok;
};

TEST(SafeText, TextAndNameRules) {
  const SafeCase cases[] = {
      {"bob", 127, true, true},
      {"", 127, true, false},
      {"Caf\xe9 TV", 60, true, true},
      {"a<b", 127, false, false},
      {"a>b", 127, false, false},
      {"a\"b", 127, false, false},
      {"a\rb", 127, false, false},
      {"a\nb", 127, false, false},
      {std::string("a\0b", 3), 127, false, false},
      {"a/b", 127, true, false},
      {"a\\b", 127, true, false},
      {"..", 127, true, false},
      {"../users/user_profile", 127, true, false},
      {"a..b", 127, true, false},
      {".", 127, true, false},
      {".hidden", 127, true, true},
      {"it's & fine", 127, true, true},
      {std::string(60, 'x'), 60, true, true},
      {std::string(61, 'x'), 60, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.s);
    EXPECT_EQ(safe_text(c.s, c.max), c.text_ok);
    EXPECT_EQ(safe_name(c.s, c.max), c.name_ok);
  }
}

TEST(SafeText, CutKeepsAtMostMax) {
  EXPECT_EQ(cut("abcdef", 3), "abc");
  EXPECT_EQ(cut("ab", 3), "ab");
  EXPECT_EQ(cut("", 3), "");
  EXPECT_EQ(cut("abc", 0), "");
}

}  // namespace
}  // namespace kx
