#include "subscribers/filters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/os/file.h"
#include "support/harness.h"

namespace kx {
namespace {

using kxt::kXmlDecl;
using kxt::slurp;
using kxt::spit;

const char* kSecurity = "security/security_definition.xml";
const char* kSecurityBackup = "security/security_definition_backup.xml";
const char* kMac = "security/mac_definition.xml";
const char* kMacBackup = "security/mac_definition_backup.xml";

std::string el(const std::string& tag, const std::string& v, const char* end = "\r\n") {
  return "<" + tag + ">" + v + "</" + tag + ">" + end;
}

std::string security_text(const std::vector<std::string>& accepted, const std::vector<std::string>& rejected,
                          const std::vector<std::string>& ips = {}, const std::vector<std::string>& bad_ips = {},
                          const std::vector<std::string>& countries = {}) {
  std::string s = kXmlDecl;
  for (const auto& v : accepted) s += el("accepted_player", v);
  for (const auto& v : rejected) s += el("rejected_player", v);
  for (const auto& v : ips) s += el("accepted_ip", v);
  for (const auto& v : bad_ips) s += el("rejected_ip", v);
  for (const auto& v : countries) s += el("accepted_country", v);
  return s;
}

std::string request(const std::string& headers) {
  return "GET /ch1.ts?u=bob&p=Secr3tPw HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

class FiltersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
  }
  void TearDown() override {
    release_security_lists();
    release_mac_list();
  }
  std::string at(const std::string& name) const { return tmp_ / name; }
  std::string file(const std::string& name) const { return slurp(at(name)); }
  std::string log_text() const { return slurp(tmp_ / "log/system.log"); }
  bool logged(const std::string& line) const { return log_text().find(line) != std::string::npos; }
  void load(const std::string& text) {
    spit(at(kSecurity), text);
    ASSERT_EQ(load_security_lists(), 1);
  }

  kxt::WorkDirScope tmp_{"security"};
};

// ---- the player filter ----

struct AgentCase {
  const char* name;
  std::vector<std::string> accepted, rejected;
  std::string request;
  bool refused;
  std::string log;  // a line the decision logs
};

TEST_F(FiltersTest, PlayerFilterDecisions) {
  const std::vector<std::string> vlc = {"VLC"};
  const AgentCase cases[] = {
      {"rejected VLC with a version", {}, vlc, request("User-Agent: VLC/3.0.18 LibVLC/3.0.18\r\n"), true,
       "Rejected Player: [ VLC/3.0.18 LibVLC/3.0.18]\n"},
      {"agent contained in an entry", {}, {"Mozilla SmartTV"}, request("User-Agent:SmartTV\r\n"), true,
       "Rejected Player: [SmartTV]\n"},
      {"other player passes", {}, vlc, request("User-Agent: Lavf/58.76.100\r\n"), false,
       "NOT Rejected Player[ Lavf/58.76.100]\n"},
      {"Firefox without Range", {}, vlc, request("User-Agent: Mozilla/5.0 Firefox/120.0\r\n"), true,
       "]: Rejected Player[GET /ch1.ts"},
      {"Firefox with Range", {}, vlc, request("User-Agent: Mozilla/5.0 Firefox/120.0\r\nRange: bytes=0-\r\n"), false,
       "NOT Rejected Player[ Mozilla/5.0 Firefox/120.0]\n"},
      {"Origin header", {}, vlc, request("User-Agent: Lavf/58\r\nOrigin: http://example.org\r\n"), true,
       "]: Rejected Player[GET /ch1.ts"},
      {"no User-Agent, reject list", {}, vlc, request(""), true, "NOT FOUND User-Agent in Data=["},
      {"accept list, no User-Agent", {"Kodi"}, {}, request(""), true, "NO User-Agent in Data=["},
      {"accept list, listed player", {"Kodi"}, {}, request("User-Agent: Kodi/20.2 (X11)\r\n"), false,
       "Accepted Player: [ Kodi/20.2 (X11)]\n"},
      {"accept list, other player", {"Kodi"}, {}, request("User-Agent: VLC/3.0\r\n"), true,
       "NOT Accepted  Player[ VLC/3.0]\n"},
      {"reject list decides over accept list", {"VLC"}, vlc, request("User-Agent: VLC/3.0\r\n"), true,
       "Rejected Player: [ VLC/3.0]\n"},
      {"both lists empty", {}, {}, request(""), false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    load(security_text(c.accepted, c.rejected));
    const std::size_t before = log_text().size();
    EXPECT_EQ(player_filter_refuses(c.request), c.refused);
    const std::string added = log_text().substr(before);
    if (!c.log.empty()) {
      EXPECT_NE(added.find(c.log), std::string::npos) << added;
    }
    // Whole-request dumps never show the password.
    EXPECT_EQ(added.find("Secr3tPw"), std::string::npos) << added;
  }
  EXPECT_EQ(player_rejected(""), 0);
  EXPECT_EQ(player_accepted(""), 0);
  EXPECT_EQ(player_rejected("GET / HTTP/1.1\r\nUser-Agent: VLC"), 1);  // no line end
}

TEST_F(FiltersTest, StoredAgentIsTheValueCutTo32) {
  const struct {
    std::string request, agent;
  } cases[] = {
      {request("User-Agent: VLC/3.0.18\r\n"), "VLC/3.0.18"},
      {request(""), "N/A"},
      {request("User-Agent:\r\n"), "N/A"},
      {request("User-Agent: " + std::string(40, 'a') + "\r\n"), std::string(32, 'a')},
  };
  for (const auto& c : cases) EXPECT_EQ(player_agent(c.request), c.agent) << c.request;
}

// ---- loading and the exact checks ----

TEST_F(FiltersTest, LoadsListsAndComparesAddressesExactly) {
  // LF line ends, an empty value (left out) and a value longer than its field (cut).
  std::string text = kXmlDecl + el("accepted_player", "Kodi", "\n") + el("accepted_player", "", "\n") +
                     el("rejected_ip", "10.0.0.1", "\n") + el("accepted_ip", "192.168.1.20", "\n") +
                     el("accepted_country", "FRA", "\n") + el("accepted_country", std::string(40, 'x'), "\n");
  load(text);
  const auto l = security_lists();
  EXPECT_EQ(l->accepted_players, std::vector<std::string>{"Kodi"});
  EXPECT_EQ(l->rejected_ips, std::vector<std::string>{"10.0.0.1"});
  ASSERT_EQ(l->accepted_countries.size(), 2u);
  EXPECT_EQ(l->accepted_countries[1], std::string(kFilterCountryMax, 'x'));

  EXPECT_EQ(ip_rejected("10.0.0.1"), 1);
  EXPECT_EQ(ip_rejected("10.0.0.10"), 0);
  EXPECT_EQ(ip_accepted("192.168.1.20"), 1);
  EXPECT_EQ(ip_accepted("192.168.1.2"), 0);
  EXPECT_EQ(country_accepted("FRA"), 1);
  EXPECT_EQ(country_accepted("FR"), 0);
  EXPECT_TRUE(logged("Rejected IP: [10.0.0.1]\n"));
  EXPECT_TRUE(logged("NOT Rejected IP[10.0.0.10]\n"));
  EXPECT_TRUE(logged("NOT Accepted Country[FR]\n"));

  // Missing and empty files leave the lists empty.
  remove_file(at(kSecurity));
  EXPECT_EQ(load_security_lists(), 0);
  EXPECT_TRUE(logged("security_definition.xml Not found\n"));
  EXPECT_TRUE(security_lists()->accepted_players.empty());
  spit(at(kSecurity), "");
  EXPECT_EQ(load_security_lists(), 0);
  EXPECT_TRUE(logged("security/security_definition.xml is empty\n"));
}

TEST_F(FiltersTest, MacListLoadsSortedAndSkipsWrongLengths) {
  spit(at(kMac), kXmlDecl + el("accepted_macid", "00AABBCCDDEF") + el("accepted_macid", "00AABBCCDDE") +
                     el("accepted_macid", "001122334455"));
  ASSERT_EQ(load_mac_list(), 1);
  EXPECT_EQ(mac_list()->macs, (std::vector<std::string>{"001122334455", "00AABBCCDDEF"}));
  EXPECT_TRUE(logged("Warning: MAC ID [00AABBCCDDE] length is not 12bytes"));
  EXPECT_EQ(mac_accepted("00AABBCCDDEF"), 1);
  EXPECT_EQ(mac_accepted("00AABBCCDDE"), 0);
  EXPECT_TRUE(logged("NOT Accepted MAC ID[00AABBCCDDE]\n"));

  remove_file(at(kMac));
  EXPECT_EQ(load_mac_list(), 1);  // no file: an empty list
  EXPECT_TRUE(logged("mac_definition.xml Not found\n"));
  EXPECT_TRUE(mac_list()->macs.empty());
  spit(at(kMac), "");
  EXPECT_EQ(load_mac_list(), 0);  // an empty file stops start-up
}

// ---- editing ----

TEST_F(FiltersTest, PlayerEntriesAddDeleteAndSwitchKeepFileAndListsTogether) {
  load(security_text({"Kodi"}, {}, {"192.168.1.20"}, {}, {"FRA"}));
  const std::string original = file(kSecurity);

  EXPECT_EQ(add_player_filter("VLC/3", 1), 1);
  EXPECT_EQ(file(kSecurity), original + el("accepted_player", "VLC/3"));
  EXPECT_EQ(file(kSecurityBackup), original);
  EXPECT_EQ(security_lists()->accepted_players, (std::vector<std::string>{"Kodi", "VLC/3"}));
  EXPECT_EQ(add_player_filter("VLC/3", 1), 3);
  EXPECT_TRUE(logged("Player Filter [VLC/3] : is already in Database\n"));
  EXPECT_EQ(add_player_filter("Lavf", 2), 1);

  // The file says what memory says.
  ASSERT_EQ(load_security_lists(), 1);
  EXPECT_EQ(security_lists()->accepted_players, (std::vector<std::string>{"Kodi", "VLC/3"}));
  EXPECT_EQ(security_lists()->rejected_players, std::vector<std::string>{"Lavf"});

  EXPECT_EQ(delete_player_filter("Kodi", 2), 0);  // wrong kind
  EXPECT_TRUE(logged(" Del Player FIlter Item [Kodi] Not Found\n"));
  EXPECT_EQ(delete_player_filter("Kodi", 1), 1);
  EXPECT_EQ(delete_player_filter("Lavf", 2), 1);
  EXPECT_EQ(file(kSecurity), original.substr(0, original.find("<accepted_player>Kodi")) +
                                 original.substr(original.find("<accepted_ip>")) + el("accepted_player", "VLC/3"));
  ASSERT_EQ(load_security_lists(), 1);
  EXPECT_EQ(security_lists()->accepted_players, std::vector<std::string>{"VLC/3"});
  EXPECT_TRUE(security_lists()->rejected_players.empty());

  // Accepting to rejecting: the player list moves, the rest stays.
  EXPECT_EQ(switch_player_filter(1), 1);
  EXPECT_EQ(file(kSecurity), security_text({}, {"VLC/3"}, {"192.168.1.20"}, {}, {"FRA"}));
  EXPECT_EQ(switch_player_filter(2), 1);
  ASSERT_EQ(load_security_lists(), 1);
  EXPECT_EQ(security_lists()->accepted_players, std::vector<std::string>{"VLC/3"});
  EXPECT_TRUE(security_lists()->rejected_players.empty());
  EXPECT_EQ(security_lists()->accepted_ips, std::vector<std::string>{"192.168.1.20"});
  EXPECT_EQ(security_lists()->accepted_countries, std::vector<std::string>{"FRA"});
  EXPECT_FALSE(filters_reloading());
}

TEST_F(FiltersTest, BadValuesAreRefusedAndChangeNoFile) {
  load(security_text({"Kodi"}, {"VLC"}));
  spit(at(kMac), kXmlDecl + el("accepted_macid", "001122334455"));
  ASSERT_EQ(load_mac_list(), 1);
  const std::string security = file(kSecurity), mac = file(kMac);
  const std::string bad[] = {"",     "a<b",  "a>b", "a\rb", "a\nb", "x\r\n<rejected_player>y",
                             std::string("a\0b", 3), std::string(kFilterAgentMax + 1, 'a')};
  for (const auto& v : bad) {
    SCOPED_TRACE(v);
    for (int kind : {1, 2}) {
      EXPECT_EQ(add_player_filter(v, kind), 0);
      EXPECT_EQ(delete_player_filter(v, kind), 0);
    }
  }
  for (int kind : {0, 3, -1}) EXPECT_EQ(add_player_filter("Lavf", kind), 0);
  EXPECT_EQ(switch_player_filter(0), 0);
  for (const std::string m : {"00AABBCCDDE", "00AABBCCDDEFF", "00AABB<CDDEF", "00AABB\nCDDEF", ""}) {
    SCOPED_TRACE(m);
    EXPECT_EQ(add_mac(m), 0);
  }
  EXPECT_EQ(delete_mac(""), 0);
  EXPECT_EQ(file(kSecurity), security);
  EXPECT_EQ(file(kMac), mac);
  EXPECT_FALSE(file_exists(at(kSecurityBackup)));
  EXPECT_FALSE(file_exists(at(kMacBackup)));
}

TEST_F(FiltersTest, MacEntriesAddAndDelete) {
  ASSERT_EQ(load_mac_list(), 1);  // no file yet
  EXPECT_EQ(add_mac("00AABBCCDDEF"), 1);
  EXPECT_EQ(file(kMac), kXmlDecl + el("accepted_macid", "00AABBCCDDEF"));
  EXPECT_EQ(add_mac("001122334455"), 1);
  EXPECT_EQ(add_mac("001122334455"), 3);
  EXPECT_TRUE(logged("MAC ID [001122334455] : is already in Database\n"));
  EXPECT_EQ(mac_list()->macs, (std::vector<std::string>{"001122334455", "00AABBCCDDEF"}));
  EXPECT_EQ(file(kMacBackup), kXmlDecl + el("accepted_macid", "00AABBCCDDEF"));

  EXPECT_EQ(delete_mac("00AABBCCDDEF"), 1);
  EXPECT_EQ(delete_mac("00AABBCCDDEF"), 0);
  EXPECT_TRUE(logged(" Del MAC ID Item [00AABBCCDDEF] Not Found\n"));
  ASSERT_EQ(load_mac_list(), 1);
  EXPECT_EQ(mac_list()->macs, std::vector<std::string>{"001122334455"});
  EXPECT_EQ(file(kMac), kXmlDecl + el("accepted_macid", "001122334455"));
}

// Entries skipped on load (here one of 11 characters) leave the list empty, but an add
// keeps them in the file for the operator to mend.
TEST_F(FiltersTest, AddingToAnEmptyListKeepsWhatTheFileHolds) {
  ASSERT_TRUE(spit(at(kMac), kXmlDecl + el("accepted_macid", "00112233445")));
  ASSERT_EQ(load_mac_list(), 1);
  ASSERT_TRUE(mac_list()->macs.empty());
  EXPECT_EQ(add_mac("00AABBCCDDEF"), 1);
  EXPECT_EQ(file(kMac), kXmlDecl + el("accepted_macid", "00112233445") + el("accepted_macid", "00AABBCCDDEF"));
  EXPECT_EQ(mac_list()->macs, std::vector<std::string>{"00AABBCCDDEF"});
}

}  // namespace
}  // namespace kx
