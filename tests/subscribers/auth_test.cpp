// Player admission: passwords per mode, bound addresses, expiry and day-count activation,
// the per-user allowance with eviction, channel rights, the blacklist, masking, and the
// user count under concurrent logins.
#include "subscribers/auth.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/channels.h"
#include "ingest/channel_table.h"
#include "catalogue/groups.h"
#include "core/config.h"
#include "core/os/time.h"
#include "core/text.h"
#include "subscribers/player_identity.h"
#include "subscribers/blacklist.h"
#include "subscribers/token_macs.h"
#include "subscribers/users.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::kXmlDecl;
using kxt::slurp;
using kxt::spit;

const char* kUserFile = "users/user_profile.xml";
const char* kRootIp = "10.0.0.1";

// gold2 comes after gold, so a prefix rule would hand gold's rights to gold2 users.
const std::string kGroups = kXmlDecl +
                            "<group name=\"gold\" connection=\"2\">\r\n<channel>1</channel>\r\n<channel>2</channel>\r\n</group>\r\n"
                            "<group name=\"gold2\" connection=\"2\">\r\n<channel>3</channel>\r\n</group>\r\n"
                            "<group name=\"every\" connection=\"1\">\r\n<channel>0</channel>\r\n</group>\r\n"
                            "<group name=\"none0\" connection=\"0\">\r\n<channel>1</channel>\r\n</group>\r\n";

struct U {
  std::string id, password, group = "gold", expiry = "12/31/2030", ip = "", mac = "";
};

const std::vector<U> kUsers = {
    {"root", "rootpw", "every", "12/31/2030", "10.0.0.9"},
    {"alice", "apw"},
    {"bob", "bpw", "gold", "12/31/2030", "10.0.0.5"},
    {"one", "opw", "every"},
    {"zero", "zpw", "none0"},
    {"pin", "pin", "gold", "30"},
    {"late", "lpw", "gold", "12/31/2024"},
    {"g2", "gpw", "gold2"},
    {"macu", "mpw", "gold", "12/31/2030", "", "AABBCCDDEEFF"},
};

std::string el(const char* tag, const std::string& v) { return std::string("<") + tag + ">" + v + "</" + tag + ">\r\n"; }

std::string users_file() {
  std::string s = kXmlDecl;
  for (const U& u : kUsers) {
    s += el("userid", u.id) + el("password", u.password) + el("rating_password", "") + el("group", u.group) +
         el("channel_expired_time", u.expiry) + el("pay_per_view", "pre") + el("ppv_point", "0.00") +
         el("userip", u.ip) + el("macid", u.mac);
    for (const char* t : {"smart_phone", "tablet", "desktop", "tv", "first_name", "last_name", "address", "city",
                          "zip", "tel", "email"})
      s += el(t, "");
  }
  return s;
}

// Seconds of a local calendar time.
std::time_t local_at(int y, int mo, int d, int h) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// The checks read a clock that stands still at t (computed here once: mktime is not
// for many threads at once).
void fixed_clock(std::time_t t) {
  set_auth_clock([t] { return t; });
}

struct Settings {
  int mode = 1, blacklist = 0, tries = 3, mac_blocker = 0;
};

void set_int(Config& c, Key k, int v) {
  c.v[static_cast<int>(k)].i = v;
  c.v[static_cast<int>(k)].text = std::to_string(v);
}

void configure(const Settings& s) {
  Config c = Config::defaults();
  set_int(c, Key::user_authorization, s.mode);
  set_int(c, Key::blacklist, s.blacklist);
  set_int(c, Key::player_try_connection_no, s.tries);
  set_int(c, Key::mac_blocker, s.mac_blocker);
  c.v[static_cast<int>(Key::root_ip)].text = kRootIp;
  config_publish(c);
}

void fill(PlayerIdentity& s, const std::string& user, const std::string& password, const std::string& ip) {
  set_field(s.user, user.c_str());
  set_field(s.password, password.c_str());
  set_field(s.ip, ip.c_str());
}

int connections(const std::string& id) {
  const UserPtr u = user_by_id(id);
  return u ? u->rt->connections.load() : -1;
}

class AuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    spit(tmp_ / "ch_config/group_definition.xml", kGroups);
    ASSERT_EQ(load_groups(), 1);
    spit(tmp_ / kUserFile, users_file());
    ASSERT_EQ(load_user_profiles(), 1);
    ASSERT_EQ(users()->list.size(), kUsers.size());
    // Three channels, so the "every" group grants 1..3.
    set_root_password_source([](std::string& pw) {
      pw = "rootpw";
      return true;
    });
    spit(tmp_ / kChannelFile, kXmlDecl + "<ch src=\"udp://239.0.0.1:1234\">A</ch>\r\n"
                                         "<ch src=\"udp://239.0.0.2:1234\">B</ch>\r\n"
                                         "<ch src=\"udp://239.0.0.3:1234\">C</ch>\r\n");
    ASSERT_EQ(load_channel_catalogue(), 1);
    ASSERT_EQ(channel_table()->count, 3);
    // The blacklist is process-wide: start from an empty one.
    configure({1, 1});
    unlock_all();
    token_macs_clear();
    configure({});
    fixed_clock(local_at(2025, 6, 15, 12));
  }
  void TearDown() override {
    configure({1, 1});
    unlock_all();
    token_macs_clear();
    set_auth_clock(nullptr);
    release_channel_catalogue();
    set_root_password_source(nullptr);
    release_user_profiles();
    release_groups();
    config_publish(Config::defaults());
  }
  std::string log_text() const { return slurp(tmp_ / "log/system.log"); }
  bool logged(const std::string& line) const { return log_text().find(line) != std::string::npos; }
  int times_logged(const std::string& line) const {
    const std::string t = log_text();
    int n = 0;
    for (std::size_t at = t.find(line); at != std::string::npos; at = t.find(line, at + 1)) ++n;
    return n;
  }
  // A login through authorize_player that leaves at once when it was counted.
  int login_once(const std::string& user, const std::string& password, const std::string& ip) {
    PlayerIdentity s;
    fill(s, user, password, ip);
    const int r = authorize_player(s, false);
    if (r == kAuthGranted) {
      EXPECT_EQ(s.user_ref, user_by_id(user));
      player_left(s, true);
    }
    EXPECT_EQ(s.user_ref, nullptr);
    return r;
  }

  kxt::WorkDirScope tmp_{"ch_config", "users"};
};

struct LoginCase {
  const char* name;
  int mode;
  std::string user, password, ip;
  int expect;
  const char* line;  // a line the attempt logs, or null
};

TEST_F(AuthTest, PlayerLoginsPerMode) {
  const std::vector<LoginCase> cases = {
      {"mode 1 right password", 1, "alice", "apw", "10.0.0.2", 1, "Username [alice] : in the [2] entry"},
      {"mode 1 wrong password", 1, "alice", "wrongpw", "10.0.0.2", 0, "Username [alice]: Password[******] Error [1] Times"},
      {"mode 1 empty password", 1, "alice", "", "10.0.0.2", 0, "Username [alice]: Password is Empty"},
      {"mode 1 unknown user", 1, "nobody", "x", "10.0.0.2", 0, "Username [nobody] : not in the User Database"},
      {"mode 1 nothing given", 1, "", "", "10.0.0.2", 0, "User Name and Password are NULL"},
      {"mode 1 no user", 1, "", "x", "10.0.0.2", 0, "User Name is NULL"},
      {"mode 1 bound ip elsewhere", 1, "bob", "bpw", "10.0.0.6", 0, "Username [bob]: Password[******] is from Wrong IP[10.0.0.6]"},
      {"mode 1 root from root_ip", 1, "root", "rootpw", kRootIp, 1, nullptr},
      {"mode 2 any password", 2, "alice", "whatever", "10.0.0.2", 1, nullptr},
      {"mode 2 no password", 2, "alice", "", "10.0.0.2", 1, nullptr},
      {"mode 2 bound ip", 2, "bob", "x", "10.0.0.5", 1, nullptr},
      {"mode 2 bound ip elsewhere", 2, "bob", "bpw", "10.0.0.6", 0, "Username [bob]: Password[******] is from Wrong IP[10.0.0.6]"},
      {"mode 2 root not excepted", 2, "root", "rootpw", kRootIp, 0, "Username [root]: Password[******] is from Wrong IP[10.0.0.1]"},
      {"mode 2 root from its ip", 2, "root", "x", "10.0.0.9", 1, nullptr},
      {"mode 2 unknown user", 2, "nobody", "x", "10.0.0.2", 0, "Username [nobody] : not in the User Database"},
  };
  for (const LoginCase& c : cases) {
    SCOPED_TRACE(c.name);
    configure({c.mode});
    EXPECT_EQ(login_once(c.user, c.password, c.ip), c.expect);
    if (c.line) {
      EXPECT_TRUE(logged(c.line)) << c.line;
    }
  }
  for (const U& u : kUsers) EXPECT_EQ(connections(u.id), 0) << u.id;
  EXPECT_EQ(log_text().find("wrongpw"), std::string::npos);
  EXPECT_EQ(log_text().find("rootpw"), std::string::npos);
}

struct CheckCase {
  const char* name;
  int mode;
  bool player_login;
  std::string user, password, ip;
  bool check_address;
  int expect;
};

TEST_F(AuthTest, CheckUserNeedsThePasswordUnlessAPlayerInModeTwo) {
  const std::string long_text(128, 'x');
  const std::vector<CheckCase> cases = {
      {"mode 1 right", 1, false, "alice", "apw", "10.0.0.2", true, 1},
      {"mode 1 wrong", 1, false, "alice", "bad", "10.0.0.2", true, 0},
      {"mode 1 empty", 1, false, "alice", "", "10.0.0.2", true, 0},
      {"mode 2 admin wrong", 2, false, "alice", "bad", "10.0.0.2", true, 0},
      {"mode 2 admin empty", 2, false, "alice", "", "10.0.0.2", true, 0},
      {"mode 2 admin right", 2, false, "alice", "apw", "10.0.0.2", true, 1},
      {"mode 2 player wrong", 2, true, "alice", "bad", "10.0.0.2", true, 1},
      {"mode 2 player bound ip elsewhere", 2, true, "bob", "bad", "10.0.0.6", true, 0},
      {"mode 0 admin empty", 0, false, "alice", "", "10.0.0.2", true, 0},
      {"root from root_ip", 1, false, "root", "rootpw", kRootIp, true, 1},
      {"root from its own ip", 1, false, "root", "rootpw", "10.0.0.9", true, 1},
      {"root from elsewhere", 1, false, "root", "rootpw", "10.0.0.7", true, 0},
      {"root elsewhere without address check", 1, false, "root", "rootpw", "10.0.0.7", false, 1},
      {"bob from root_ip", 1, false, "bob", "bpw", kRootIp, true, 0},
      {"password longer than its field", 1, false, "alice", "apw" + long_text, "10.0.0.2", true, 0},
      {"user longer than its field", 1, false, long_text, "apw", "10.0.0.2", true, 0},
      {"unknown user", 1, false, "nobody", "x", "10.0.0.2", true, 0},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    configure({c.mode});
    PlayerIdentity s;
    set_field(s.ip, c.ip.c_str());
    EXPECT_EQ(check_user(s, c.user, c.password, false, c.check_address, c.player_login), c.expect);
    EXPECT_EQ(s.user_ref, nullptr);
  }
  EXPECT_TRUE(logged("User [alice], Password[******] Password Error"));
  EXPECT_TRUE(logged("Username [root]: Password[******] is from Wrong IP[10.0.0.7]"));
  EXPECT_EQ(log_text().find("bad"), std::string::npos);
}

TEST_F(AuthTest, ExpiryDayIsStillValidAndTheNextDayIsNot) {
  struct Case {
    std::time_t when;
    int expect;
  };
  for (const Case& c : {Case{local_at(2024, 12, 30, 23), 1}, Case{local_at(2024, 12, 31, 12), 1},
                        Case{local_at(2025, 1, 1, 0), 2}, Case{local_at(2026, 1, 1, 12), 2}}) {
    fixed_clock(c.when);
    PlayerIdentity s;
    set_field(s.ip, "10.0.0.2");
    EXPECT_EQ(check_user(s, "late", "lpw", false, true), c.expect);
    EXPECT_EQ(login_once("late", "lpw", "10.0.0.2"), c.expect);
  }
  EXPECT_EQ(times_logged("The Subscription is available"), 2);
  EXPECT_EQ(connections("late"), 0);
}

TEST_F(AuthTest, DayCountAccountIsActivatedOnceWhenFirstLoginsRace) {
  fixed_clock(local_at(2024, 1, 31, 12));
  constexpr int kThreads = 4;
  std::atomic<int> granted{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&granted] {
      PlayerIdentity s;
      fill(s, "pin", "pin", "10.0.0.2");
      if (authorize_player(s, false) == kAuthGranted) ++granted;
      player_left(s, true);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(granted.load(), kThreads);
  EXPECT_EQ(times_logged("PINCODR [pin] : is Enabled and Time Expired [03/01/2024]"), 1);
  const UserPtr u = user_by_id("pin");
  ASSERT_NE(u, nullptr);
  EXPECT_FALSE(u->day_count());
  EXPECT_EQ(u->expiry_year, 2024);
  EXPECT_EQ(u->expiry_month, 3);
  EXPECT_EQ(u->expiry_day, 1);
  EXPECT_NE(slurp(tmp_ / kUserFile).find("<channel_expired_time>03/01/2024</channel_expired_time>"), std::string::npos);
  EXPECT_EQ(u->rt->connections.load(), 0);
  // Activated, the account now follows the date: valid through 1 March, not after.
  fixed_clock(local_at(2024, 3, 2, 12));
  EXPECT_EQ(login_once("pin", "pin", "10.0.0.2"), kAuthExpired);
  // Reloading the file gives the same date.
  ASSERT_EQ(load_user_profiles(), 1);
  EXPECT_EQ(user_by_id("pin")->expiry_month, 3);
}

TEST_F(AuthTest, LoginOverTheAllowanceStopsTheOldestPlayer) {
  // one: allowance 1; zero: allowance 0, which behaves as 1; alice: allowance 2.
  struct Case {
    std::string user, password;
    int allowance;
  };
  for (const Case& c : {Case{"one", "opw", 1}, Case{"zero", "zpw", 1}, Case{"alice", "apw", 2}}) {
    SCOPED_TRACE(c.user);
    const int n = c.allowance + 1;
    std::vector<std::unique_ptr<PlayerIdentity>> s;
    for (int i = 0; i < n; ++i) {
      s.push_back(std::make_unique<PlayerIdentity>());
      fill(*s.back(), c.user, c.password, "10.0.0.2");
      ASSERT_EQ(authorize_player(*s.back(), false), kAuthGranted);
      EXPECT_LE(connections(c.user), c.allowance);
    }
    // The first (oldest) was stopped and woken; the others play on.
    EXPECT_EQ(s[0]->stop.load(), 1);
    EXPECT_EQ(s[0]->sem.count(), 1);
    for (int i = 1; i < n; ++i) EXPECT_EQ(s[i]->stop.load(), 0);
    EXPECT_EQ(connections(c.user), c.allowance);
    EXPECT_TRUE(logged("Username [" + c.user + "] : Removed the previous connection"));

    EXPECT_EQ(player_left(*s[0], true), 1);
    EXPECT_TRUE(logged("Username [" + c.user + "] : Already Removed by the next connection"));
    EXPECT_EQ(connections(c.user), c.allowance);
    EXPECT_EQ(s[0]->user_ref, nullptr);
    for (int i = 1; i < n; ++i) EXPECT_EQ(player_left(*s[i], true), 1);
    EXPECT_EQ(connections(c.user), 0);
    // A second leave only logs.
    EXPECT_EQ(player_left(*s[1], true), 1);
    EXPECT_TRUE(logged("Error: Username [" + c.user + "] : is not in Database again."));
    EXPECT_EQ(connections(c.user), 0);
    EXPECT_EQ(user_by_id(c.user)->rt->players.count(), 0);
  }
  EXPECT_FALSE(logged("Current Connection <0"));
}

TEST_F(AuthTest, ChannelRightsFollowTheExactGroupName) {
  struct Case {
    std::string user;
    int channel;
    int expect;
  };
  const std::vector<Case> cases = {
      {"alice", 1, 1}, {"alice", 2, 1}, {"alice", 3, 0},  // gold: 1, 2
      {"g2", 3, 1},    {"g2", 1, 0},    {"g2", 2, 0},     // gold2: 3 only, nothing of gold
      {"one", 1, 1},   {"one", 3, 1},   {"one", 0, 0},    {"one", 4, 0},  // every: 1..3
      {"nobody", 1, 0}, {"", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user + " " + std::to_string(c.channel));
    EXPECT_EQ(check_channel_right(c.user, c.channel, true), c.expect);
    EXPECT_EQ(channel_allowed_for_user(c.user, c.channel), c.expect);
  }
  EXPECT_TRUE(logged("Username [nobody] : not in the User Database for group checking"));
}

TEST_F(AuthTest, BlacklistedAddressIsRefusedEvenWithTheRightPassword) {
  configure({1, 1, 3});
  // The administrator's block.
  block_address("10.0.0.20", "alice");
  EXPECT_EQ(login_once("alice", "apw", "10.0.0.20"), kAuthRefused);
  EXPECT_TRUE(logged("is blocked by the blacklist"));
  PlayerIdentity admin;
  set_field(admin.ip, "10.0.0.20");
  EXPECT_EQ(check_user(admin, "alice", "apw", false, true), kAuthRefused);

  // Failures up to the limit lock the address; the right password then does not help.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(login_once("alice", "nope", "10.0.0.21"), kAuthRefused);
  EXPECT_TRUE(address_blocked("10.0.0.21"));
  EXPECT_EQ(login_once("alice", "apw", "10.0.0.21"), kAuthRefused);

  // Below the limit a right login clears the address.
  EXPECT_EQ(login_once("alice", "nope", "10.0.0.22"), kAuthRefused);
  EXPECT_EQ(login_once("alice", "apw", "10.0.0.22"), kAuthGranted);
  for (const auto& e : blacklist_entries()) EXPECT_NE(e.ip, "10.0.0.22");

  // Administrative logins count their failures too.
  for (int i = 0; i < 3; ++i) {
    PlayerIdentity s;
    set_field(s.ip, "10.0.0.23");
    EXPECT_EQ(check_user(s, "alice", "nope", false, true), kAuthRefused);
  }
  EXPECT_TRUE(address_blocked("10.0.0.23"));
  EXPECT_EQ(connections("alice"), 0);
}

TEST_F(AuthTest, BoundMacAndMacBlocker) {
  // The user's device must be the one registered for the client's address.
  EXPECT_EQ(login_once("macu", "mpw", "10.0.0.30"), kAuthRefused);
  EXPECT_TRUE(logged("Username [macu]: Password[******] is from Wrong MAC Address[]"));
  token_register_mac("10.0.0.30", "macu", "001122334455");
  EXPECT_EQ(login_once("macu", "mpw", "10.0.0.30"), kAuthRefused);
  token_register_mac("10.0.0.30", "macu", "AABBCCDDEEFF");
  PlayerIdentity s;
  fill(s, "macu", "mpw", "10.0.0.30");
  EXPECT_EQ(authorize_player(s, false), kAuthGranted);
  EXPECT_TRUE(s.mac_verified);
  player_left(s, true);

  // With the MAC blocker on and no accepted MAC at all, an unverified player is refused.
  configure({1, 0, 3, 1});
  EXPECT_EQ(login_once("alice", "apw", "10.0.0.2"), kAuthRefused);
  EXPECT_TRUE(logged("No Allowed MAC ID"));
  // A verified device passes the blocker.
  EXPECT_EQ(login_once("macu", "mpw", "10.0.0.30"), kAuthGranted);
}

TEST_F(AuthTest, RequestsAreMaskedBeforeLogging) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"GET /live?u=alice:p=secret&ch=1 HTTP/1.1\r\n", "GET /live?u=alice:p=******&ch=1 HTTP/1.1\r\n"},
      {"GET /x?p=abc HTTP/1.0\r\n", "GET /x?p=****** HTTP/1.0\r\n"},
      {"GET /x?ip=10.0.0.1&p=abc&q=1 HTTP/1.0", "GET /x?ip=10.0.0.1&p=******&q=1 HTTP/1.0"},
      {"GET /x?ip=10.0.0.1&step=2 HTTP/1.0", "GET /x?ip=10.0.0.1&step=2 HTTP/1.0"},
      {"p=first\r\np=second", "p=******\r\np=******"},
      {"GET /x?u=a%26p=s3cret HTTP/1.0", "GET /x?u=a%26p=****** HTTP/1.0"},
      {"GET /x?u=a%3Ap=s3cret HTTP/1.0", "GET /x?u=a%3Ap=****** HTTP/1.0"},
      {"GET /x?up=1&map=2 HTTP/1.0", "GET /x?up=1&map=2 HTTP/1.0"},
      {"GET / HTTP/1.1\r\nAuthorization: Basic YWxpY2U6c2VjcmV0\r\nHost: h\r\n\r\n",
       "GET / HTTP/1.1\r\nAuthorization: ******\r\nHost: h\r\n\r\n"},
      {"GET / HTTP/1.1\r\nauthorization:Basic abc\r\n", "GET / HTTP/1.1\r\nauthorization:******\r\n"},
      {"GET / HTTP/1.1\r\nX-Authorization-Hint: 1\r\n", "GET / HTTP/1.1\r\nX-Authorization-Hint: 1\r\n"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(mask_request(c.in), c.out) << c.in;
}

// Many players of one user (allowance 2) log in and leave while the user table is
// republished: the count never exceeds the allowance and ends at 0.
TEST_F(AuthTest, ConcurrentLoginsAndLeavesRace) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 60;
  const UserPtr alice = user_by_id("alice");
  ASSERT_NE(alice, nullptr);
  constexpr int kRoundsMax = 5000;
  constexpr int kSaves = 30;
  std::atomic<int> over{0}, granted{0}, rounds{0};
  std::atomic<bool> saved_all{false};

  std::thread publisher([&saved_all] {
    // Each turn saves bob's entry and publishes a new table.
    for (int i = 0; i < kSaves; ++i) {
      const UserTablePtr t = users();
      const int index = t->find("bob");
      if (index < 0) continue;
      User_Profile rec = *t->list[static_cast<std::size_t>(index)];
      rec.email = "bob" + std::to_string(i) + "@example.org";
      EXPECT_EQ(store_user(index, rec), 1);
    }
    saved_all = true;
  });
  std::vector<std::thread> players;
  for (int t = 0; t < kThreads; ++t) {
    players.emplace_back([&] {
      // At least kRounds each, and on while the table is being republished (bounded).
      for (int r = 0; r < kRoundsMax && (r < kRounds || !saved_all.load()); ++r) {
        ++rounds;
        PlayerIdentity s;
        fill(s, "alice", "apw", "10.0.0.2");
        if (authorize_player(s, false) == kAuthGranted) ++granted;
        if (alice->rt->connections.load() > 2) ++over;
        player_left(s, true);
        EXPECT_EQ(s.user_ref, nullptr);
      }
    });
  }
  publisher.join();
  for (auto& p : players) p.join();
  EXPECT_EQ(granted.load(), rounds.load());
  EXPECT_EQ(over.load(), 0);
  EXPECT_EQ(connections("alice"), 0);
  {
    Guard g(alice->rt->lock);
    EXPECT_EQ(alice->rt->players.count(), 0);
  }
  EXPECT_FALSE(logged("Current Connection <0"));
  ASSERT_NE(user_by_id("bob"), nullptr);
  EXPECT_EQ(user_by_id("bob")->email, "bob" + std::to_string(kSaves - 1) + "@example.org");
}

}  // namespace
}  // namespace kx
