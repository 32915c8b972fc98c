// The server rewrites the plain demo catalogues in their scrambled forms, keeps the plain
// copies, reloads what it wrote unchanged, and falls back to backups.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/os/file.h"
#include "support/harness.h"

using kxt::Server;

namespace {

int file_mode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

std::string demo(const std::string& name) { return kxt::slurp(std::string(KX_SOURCE_DIR) + "/demo/" + name); }

// The value of the first src attribute of a catalogue file.
std::string first_src(const std::string& text) {
  std::size_t a = text.find(" src=\"");
  if (a == std::string::npos) return "";
  a += 6;
  return text.substr(a, text.find('"', a) - a);
}

std::string decode_base64(const kxt::TempDir& dir, const std::string& b64) {
  kxt::spit(dir / "part.b64", b64);
  return kxt::run_tool({"base64", "-d", dir / "part.b64"});
}

}  // namespace

TEST(CatalogueFiles, PlainDemoIsScrambledKeptAndReloadedUnchanged) {
  Server s;
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Kestrix Panel URL:")) << s.output();
  EXPECT_EQ(s.stop(), 0);

  std::string log = s.file("log/system.log");
  EXPECT_NE(log.find("System Message: There are [2] users in the Database\n"), std::string::npos);
  EXPECT_NE(log.find("Encrypt the old user profile to advanced encrypted user profile\n"), std::string::npos);
  EXPECT_NE(log.find("Encrypt the old channel definition.xml to encrypted xml\n"), std::string::npos);
  EXPECT_NE(log.find("There are 3 active channels...\n"), std::string::npos);

  std::string channels = s.file("channel_definition.xml");
  std::string users = s.file("users/user_profile.xml");
  EXPECT_EQ(channels.rfind("<?xml version=\"1.0\" encryption encoding=\"iso-8859-1\" ?>\r\n", 0), 0u);
  EXPECT_EQ(users.rfind("<?xml version=\"1.0\" encrypt2on encoding=\"iso-8859-1\" ?>\r\n", 0), 0u);
  EXPECT_EQ(users.find("<password>kestrix</password>"), std::string::npos);
  // The plain files the server started from are kept as they were.
  EXPECT_EQ(s.file("channel_definition_decrypt.xml"), demo("channel_definition.xml"));
  EXPECT_EQ(s.file("users/user_profile_decrypt.xml"), demo("users/user_profile.xml"));
  for (const char* f : {"channel_definition.xml", "channel_definition_decrypt.xml", "users/user_profile.xml",
                        "users/user_profile_decrypt.xml"})
    EXPECT_EQ(file_mode(s.path(f)), 0600) << f;

  // A second start reads the scrambled files and leaves them as they are.
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Kestrix finished to shutdown\nClick")) << s.output();
  EXPECT_EQ(s.stop(), 0);
  EXPECT_EQ(s.file("channel_definition.xml"), channels);
  EXPECT_EQ(s.file("users/user_profile.xml"), users);
  log = s.file("log/system.log");
  EXPECT_NE(log.find("There are [2] users in the Database\n"), std::string::npos);
  EXPECT_NE(log.find("There are 3 active channels...\n"), std::string::npos);
  EXPECT_EQ(log.find("Encrypt the old"), std::string::npos);
}

TEST(CatalogueFiles, UserFileMissingStartsFromBackup) {
  Server s;
  kxt::spit(s.path("users/user_profile_backup.xml"), demo("users/user_profile.xml"));
  kx::remove_file(s.path("users/user_profile.xml"));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Kestrix Panel URL:")) << s.output();
  EXPECT_EQ(s.stop(), 0);
  std::string log = s.file("log/system.log");
  EXPECT_NE(log.find("There are [2] users in the Database\n"), std::string::npos) << log;
  EXPECT_NE(s.file("users/user_profile.xml").find("<userid>demo</userid>"), std::string::npos);
}

TEST(CatalogueFiles, MissingChannelCatalogueFailsStartup) {
  Server s;
  kx::remove_file(s.path("channel_definition.xml"));
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Error: Kestrix is not available")) << s.output();
  EXPECT_EQ(s.stop(), 0);
}

// An operator can recover channel 1's source and the root password from the scrambled
// files with base64 and openssl alone.
TEST(CatalogueFiles, OutsideToolsRecoverSourceAndRootPassword) {
  Server s;
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.wait_output("Kestrix Panel URL:"));
  EXPECT_EQ(s.stop(), 0);
  kxt::TempDir work;

  // 10 fillers, three digits L + 234, L characters of the root password in Base64,
  // the URL in Base64, 10 fillers.
  std::string src = first_src(s.file("channel_definition.xml"));
  ASSERT_GT(src.size(), 23u) << src;
  int len = std::stoi(src.substr(10, 3)) - 234;
  ASSERT_GT(len, 0);
  EXPECT_EQ(decode_base64(work, src.substr(13, static_cast<std::size_t>(len))), "kestrix");
  std::size_t url_at = 13 + static_cast<std::size_t>(len);
  EXPECT_EQ(decode_base64(work, src.substr(url_at, src.size() - 10 - url_at)), "udp://@:5004");

  // The current password form: 256 hex digits of AES-256-ECB under the server's key.
  std::string users = s.file("users/user_profile.xml");
  std::size_t p = users.find("<password>") + 10;
  std::string hex = users.substr(p, users.find("</password>", p) - p);
  ASSERT_EQ(hex.size(), 256u);
  std::string bin;
  for (std::size_t i = 0; i < hex.size(); i += 2) bin += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  kxt::spit(work / "pw.bin", bin);
  std::string key = "b6ce5c59d811ff33960230888d6fd4f0d577fad5775d39c58e57749a02ce0087";
  std::string plain = kxt::run_tool({"openssl", "enc", "-d", "-aes-256-ecb", "-K", key, "-nopad", "-in", work / "pw.bin"});
  ASSERT_EQ(plain.size(), 128u) << plain;
  EXPECT_EQ(plain.substr(0, plain.find('\0')), "kestrix");
}
