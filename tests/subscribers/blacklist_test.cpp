#include "subscribers/blacklist.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "catalogue/groups.h"
#include "core/config.h"
#include "subscribers/token_macs.h"
#include "subscribers/users.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::kXmlDecl;
using kxt::slurp;
using kxt::spit;

const char* kBoundIp = "192.168.7.7";  // alice's user IP
const char* kIp = "10.1.2.3";

std::string user_entry(const std::string& id, const std::string& ip) {
  std::string e = "<userid>" + id + "</userid>\r\n<password>pw</password>\r\n<rating_password></rating_password>\r\n"
                  "<group>gold</group>\r\n<channel_expired_time>12/31/2030</channel_expired_time>\r\n"
                  "<userip>" + ip + "</userip>\r\n";
  for (const char* t : {"pay_per_view", "ppv_point", "macid", "smart_phone", "tablet", "desktop", "tv", "first_name",
                        "last_name", "address", "city", "zip", "tel", "email"})
    e += std::string("<") + t + "></" + t + ">\r\n";
  return e;
}

class BlacklistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
    saved_config_ = *config();
    spit(tmp_ / "ch_config/group_definition.xml",
         kXmlDecl + "<group name=\"gold\" connection=\"2\">\r\n<channel>0</channel>\r\n</group>\r\n");
    ASSERT_EQ(load_groups(), 1);
    spit(tmp_ / "users/user_profile.xml", kXmlDecl + user_entry("root", "") + user_entry("alice", kBoundIp));
    ASSERT_EQ(load_user_profiles(), 1);
    configure(1, 3);
    unlock_all();
  }
  void TearDown() override {
    configure(1, 3);
    unlock_all();
    token_macs_clear();
    config_publish(saved_config_);
    release_user_profiles();
    release_groups();
  }
  static void configure(int blacklist, int tries) {
    Config c = *config();
    c.v[static_cast<int>(Key::blacklist)].i = blacklist;
    c.v[static_cast<int>(Key::player_try_connection_no)].i = tries;
    config_publish(c);
  }
  static const BlacklistEntry* entry_of(const std::vector<BlacklistEntry>& list, const std::string& ip) {
    for (const auto& e : list) {
      if (e.ip == ip) return &e;
    }
    return nullptr;
  }
  bool logged(const std::string& line) const {
    return slurp(tmp_ / "log/system.log").find(line) != std::string::npos;
  }

  kxt::WorkDirScope tmp_{"ch_config", "users"};
  Config saved_config_;
};

// Steps: F a failed login, B the administrator's block, U the unlock a correct login
// below the limit makes.
struct Scenario {
  const char* name;
  int limit;
  const char* steps;
  int tries;  // -1: no entry left
  bool blocked;
};

TEST_F(BlacklistTest, TryCountsAndRefusal) {
  const Scenario cases[] = {
      {"five failures with limit 3 stop at 3", 3, "FFFFF", 3, true},
      {"below the limit the address may try", 3, "FF", 2, false},
      {"a correct login below the limit unlocks", 3, "FFU", -1, false},
      {"administrator's block", 3, "B", 10, true},
      {"block stays while the limit is above 10", 20, "BFF", 12, true},
      {"block over an existing entry", 20, "FFB", 10, true},
      {"limit 0 refuses after the first failure", 0, "F", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    configure(1, c.limit);
    unlock_all();
    for (const char* s = c.steps; *s; ++s) {
      if (*s == 'F') record_failed_attempt(kIp, "mallory");
      if (*s == 'B') block_address(kIp, "admin-blocked");
      if (*s == 'U') {
        EXPECT_EQ(unlock_address(kIp), 1);
      }
    }
    const auto list = blacklist_entries();
    const BlacklistEntry* e = entry_of(list, kIp);
    if (c.tries < 0) {
      EXPECT_EQ(e, nullptr);
    } else {
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->tries, c.tries);
    }
    EXPECT_EQ(address_blocked(kIp), c.blocked);
    EXPECT_FALSE(address_blocked("10.1.2.4"));
  }
  EXPECT_TRUE(logged("Blacklist IP [10.1.2.3] : Unlocked\n"));
}

TEST_F(BlacklistTest, EntryRecordsUserAndTheTokenMac) {
  token_register_mac(kIp, "mallory", "00AABBCCDDEF");
  record_failed_attempt(kIp, "mallory");
  record_failed_attempt(kIp, "trudy");
  record_failed_attempt("10.9.9.9", std::string(200, 'u'));
  const auto list = blacklist_entries();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].ip, kIp);  // order of creation
  EXPECT_EQ(list[0].user, "trudy");
  EXPECT_EQ(list[0].mac, "00AABBCCDDEF");
  EXPECT_EQ(list[0].tries, 2);
  EXPECT_EQ(list[1].user, std::string(127, 'u'));
  EXPECT_EQ(list[1].mac, "");

  unlock_all();
  EXPECT_TRUE(blacklist_entries().empty());
  EXPECT_TRUE(logged("Blacklist IP [10.9.9.9] : Unlocked\n"));
  EXPECT_EQ(unlock_address(kIp), 0);
}

TEST_F(BlacklistTest, BoundUserIpAndSwitchedOffBlacklistRecordNothing) {
  for (int i = 0; i < 5; ++i) record_failed_attempt(kBoundIp, "mallory");
  block_address(kBoundIp, "alice");
  EXPECT_FALSE(address_blocked(kBoundIp));
  EXPECT_TRUE(blacklist_entries().empty());
  for (const std::string bad : {"", "1234567890.123456"}) record_failed_attempt(bad, "x");
  EXPECT_TRUE(blacklist_entries().empty());

  // Entries made while it was on survive being switched off, unenforced.
  block_address(kIp, "");
  configure(0, 3);
  record_failed_attempt("10.5.5.5", "x");
  EXPECT_FALSE(address_blocked(kIp));
  unlock_all();
  EXPECT_EQ(unlock_address(kIp), 0);
  configure(1, 3);
  EXPECT_EQ(blacklist_entries().size(), 1u);
  EXPECT_TRUE(address_blocked(kIp));
}

std::string nth_ip(std::size_t n) {
  return "10." + std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) + "." +
         std::to_string(n & 255);
}

TEST_F(BlacklistTest, TableIsBoundedAndKeepsRefusedAddresses) {
  configure(1, 2);
  // The first address is refused; all the others have one try left.
  record_failed_attempt(nth_ip(0), "x");
  record_failed_attempt(nth_ip(0), "x");
  for (std::size_t i = 1; i < kBlacklistMax; ++i) record_failed_attempt(nth_ip(i), "x");
  ASSERT_EQ(blacklist_entries().size(), kBlacklistMax);

  // A new address pushes out the oldest one that is not refused.
  record_failed_attempt("11.0.0.1", "x");
  auto list = blacklist_entries();
  EXPECT_EQ(list.size(), kBlacklistMax);
  EXPECT_NE(entry_of(list, nth_ip(0)), nullptr);
  EXPECT_EQ(entry_of(list, nth_ip(1)), nullptr);
  EXPECT_NE(entry_of(list, "11.0.0.1"), nullptr);
  EXPECT_TRUE(address_blocked(nth_ip(0)));

  // With every entry refusing, a new failure is not recorded and nothing refused is lost.
  configure(1, 1);
  record_failed_attempt("11.0.0.2", "x");
  list = blacklist_entries();
  EXPECT_EQ(list.size(), kBlacklistMax);
  EXPECT_EQ(entry_of(list, "11.0.0.2"), nullptr);
  EXPECT_TRUE(address_blocked(nth_ip(0)));
}

TEST_F(BlacklistTest, ConcurrentFailuresCountUpToTheLimit) {
  configure(1, 50);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 40; ++i) {
        record_failed_attempt(kIp, "mallory");
        record_failed_attempt("10.7.0." + std::to_string(t), "mallory");
        (void)address_blocked(kIp);
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto list = blacklist_entries();
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(entry_of(list, kIp)->tries, 50);
  for (int t = 0; t < 4; ++t) EXPECT_EQ(entry_of(list, "10.7.0." + std::to_string(t))->tries, 40);
}

}  // namespace
}  // namespace kx
