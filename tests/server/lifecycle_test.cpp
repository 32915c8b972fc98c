// Start-up, shutdown and restart in one process, with the housekeeping threads running.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/file.h"
#include "catalogue/groups.h"
#include "http/http_server.h"
#include "subscribers/users.h"
#include "server/lifecycle.h"
#include "support/harness.h"

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    kxt::spit(dir / "kestrix_config.txt",
              "httpport=18123\r\nrtmpport=0\r\niptv_base_port=0\r\nigmpip=0.0.0.0\r\nsystem_log=1\r\n");
    kx::make_dir(dir / "ch_config");
    kxt::spit(dir / "ch_config/group_definition.xml",
              "<group name=\"default\" connection=\"1\">\r\n<channel>0</channel>\r\n</group>\r\n");
    kxt::spit(dir / "channel_definition.xml", "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n");
    kx::config_publish(kx::Config::defaults());
    saved_dir = kx::g_work_dir;
    kx::g_work_dir = dir.path();
  }
  void TearDown() override {
    if (kx::g_management.thread) kx::lifecycle_shutdown(kx::kFinalShutdown);
    kx::g_work_dir = saved_dir;
  }
  std::string log() { return kxt::slurp(dir / "log/system.log"); }
  kxt::TempDir dir;
  std::string saved_dir;
};

TEST_F(Lifecycle, StartRestartShutdown) {
  ASSERT_EQ(kx::lifecycle_start(kx::kFirstStart), 1);
  EXPECT_EQ(kx::g_started.load(), 1);
  EXPECT_EQ(kxt::slurp(dir / "version.xml"), kx::kVersionText);
  EXPECT_NE(log().find("RTMP Server is disabled\n"), std::string::npos);
  EXPECT_NE(log().find("RTSP Server is disabled\n"), std::string::npos);
  kx::ThreadRecord* management = kx::g_management.thread;
  kx::ThreadRecord* monitor = kx::g_monitor.thread;
  ASSERT_NE(management, nullptr);

  // A long-lived reader of the tables keeps going while a restart runs, and never sees it
  // half done: whenever it holds the gate the server is started.
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      kx::SharedGuard g(kx::g_tables_gate);
      if (kx::g_started.load() != 1) torn.fetch_add(1);
      reads.fetch_add(1);
      std::this_thread::yield();
    }
  });
  ASSERT_TRUE(kxt::wait_until([&] { return reads.load() > 0; }));
  const int before = reads.load();
  EXPECT_EQ(kx::lifecycle_restart(), 1);
  ASSERT_TRUE(kxt::wait_until([&] { return reads.load() > before; }));
  done.store(true);
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  // The housekeeping threads live across the restart.
  EXPECT_EQ(kx::g_management.thread, management);
  EXPECT_EQ(kx::g_monitor.thread, monitor);
  EXPECT_EQ(kx::g_started.load(), 1);
  std::string backup = kxt::slurp(dir / "log/system_backup.log");
  EXPECT_NE(backup.find("Kestrix is closing for restarting\n"), std::string::npos);
  EXPECT_NE(backup.find("Kestrix Panel Thread is keeping\n"), std::string::npos);
  EXPECT_NE(log().find("Kestrix is restarting\n"), std::string::npos);

  EXPECT_EQ(kx::lifecycle_shutdown(kx::kFinalShutdown), 1);
  EXPECT_EQ(kx::g_management.thread, nullptr);
  EXPECT_EQ(kx::g_monitor.thread, nullptr);
  EXPECT_EQ(kx::g_shutdown.load(), 1);
  EXPECT_NE(log().find("System Monitor Server Closed...\n"), std::string::npos);
  EXPECT_NE(log().find("piaKestrix_Uninit finished\n"), std::string::npos);
  // Once the process is ending, a restart is refused.
  EXPECT_EQ(kx::lifecycle_restart(), 2);
}

TEST_F(Lifecycle, SecondRestartWhileOneRunsIsRefused) {
  ASSERT_EQ(kx::lifecycle_start(kx::kFirstStart), 1);
  // A reader holds the tables, so the first restart waits inside its life-cycle lock.
  kx::g_tables_gate.lock_shared();
  int first = -9;
  std::thread a([&] { first = kx::lifecycle_restart(); });
  ASSERT_TRUE(kxt::wait_until([] { return kx::g_tables_gate.writer_waiting(); }));
  EXPECT_EQ(kx::lifecycle_restart(), 2);
  kx::g_tables_gate.unlock_shared();
  a.join();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(kx::g_started.load(), 1);
}

TEST_F(Lifecycle, TablesGateWaitIsBounded) {
  ASSERT_EQ(kx::lifecycle_start(kx::kFirstStart), 1);
  const int64_t saved = kx::g_lifecycle_wait_ms.load();
  kx::g_lifecycle_wait_ms.store(400);
  kx::g_tables_gate.lock_shared();  // a reader that never lets go
  EXPECT_EQ(kx::lifecycle_restart(), 2);
  kx::g_tables_gate.unlock_shared();
  kx::g_lifecycle_wait_ms.store(saved);
  EXPECT_NE(log().find("System Warning: still waiting for the readers of the tables\n"), std::string::npos);
  EXPECT_NE(log().find("System Error: the tables stay in use; restart refused\n"), std::string::npos);
  // Nothing was released: the server still runs and restarts once the reader is gone.
  EXPECT_EQ(kx::g_started.load(), 1);
  EXPECT_EQ(kx::lifecycle_restart(), 1);
}

TEST_F(Lifecycle, ShutdownWaitForTheLifeCycleLockIsBounded) {
  ASSERT_EQ(kx::lifecycle_start(kx::kFirstStart), 1);
  // A restart holds the life-cycle lock while it waits for a reader of the tables.
  kx::g_tables_gate.lock_shared();
  int restarted = -9;
  std::thread a([&] { restarted = kx::lifecycle_restart(); });
  ASSERT_TRUE(kxt::wait_until([] { return kx::g_tables_gate.writer_waiting(); }));
  const int64_t saved = kx::g_lifecycle_wait_ms.load();
  kx::g_lifecycle_wait_ms.store(400);
  EXPECT_EQ(kx::lifecycle_shutdown(kx::kRestartShutdown), 1);
  kx::g_tables_gate.unlock_shared();
  a.join();
  kx::g_lifecycle_wait_ms.store(saved);
  const std::string all = kxt::slurp(dir / "log/system_backup.log") + log();
  EXPECT_NE(all.find("System Warning: still waiting for the start-up or restart to end\n"), std::string::npos);
  EXPECT_NE(all.find("System Error: the start-up or restart did not end; shutdown goes on\n"), std::string::npos);
  EXPECT_NE(all.find("Kestrix is closing for restarting\n"), std::string::npos);
  EXPECT_TRUE(restarted == 1 || restarted == 2) << restarted;
}

TEST_F(Lifecycle, ChannelWithoutASourceIsSkipped) {
  kxt::spit(dir / "channel_definition.xml",
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
            "<ch src=\"\">Empty</ch>\r\n"
            "<ch src=\"udp://127.0.0.1:45999\">Next</ch>\r\n");
  ASSERT_EQ(kx::lifecycle_start(kx::kFirstStart), 1);
  EXPECT_EQ(kx::g_started.load(), 1);
  EXPECT_TRUE(kxt::wait_until([&] {
    return log().find("Error: CH [1] syntax error in channel_definition.xml............\n") != std::string::npos;
  }));
}

TEST_F(Lifecycle, UsersOfAChangedGroupAreResolvedAgain) {
  kxt::spit(dir / "ch_config/group_definition.xml",
            "<group name=\"default\" connection=\"1\">\r\n<channel>0</channel>\r\n</group>\r\n"
            "<group name=\"gold\" connection=\"2\">\r\n<channel>0</channel>\r\n</group>\r\n");
  kx::make_dir(dir / "users");
  kxt::spit(dir / "users/user_profile.xml",
            kxt::kXmlDecl + "<userid>ann</userid>\r\n<password>pw</password>\r\n<group>gold</group>\r\n"
                            "<channel_expired_time>12/31/2040</channel_expired_time>\r\n");
  ASSERT_EQ(kx::lifecycle_start(kx::kFirstStart), 1);
  ASSERT_NE(kx::user_by_id("ann"), nullptr);
  ASSERT_EQ(kx::user_by_id("ann")->group_name, "gold");

  // Deleted: the user falls back to the first group at once, as a load would do.
  ASSERT_EQ(kx::delete_group("gold"), 1);
  kx::UserPtr u = kx::user_by_id("ann");
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->group_name, "default");
  ASSERT_NE(u->group, nullptr);
  EXPECT_EQ(u->group->name, "default");
  EXPECT_NE(log().find("Group [gold] does not exist and change to [default]\n"), std::string::npos);

  // Re-added and renamed in the table: the users follow the table in force.
  ASSERT_EQ(kx::add_group("gold", "2", "all"), 1);
  ASSERT_EQ(kx::update_group_in_table(1, "bronze", "1", "all"), 1);
  u = kx::user_by_id("ann");
  EXPECT_EQ(u->group_name, "bronze");
  ASSERT_NE(u->group, nullptr);
  EXPECT_EQ(u->group->name, "bronze");
}

TEST_F(Lifecycle, RestartShutdownBeforeStartIsRefused) {
  kx::open_logs(dir / "log");
  EXPECT_EQ(kx::lifecycle_shutdown(kx::kRestartShutdown), 0);
  EXPECT_NE(log().find("Kestrix is not starting\n"), std::string::npos);
}

TEST_F(Lifecycle, MissingGroupsEndStartup) {
  kx::remove_file(dir / "ch_config/group_definition.xml");
  EXPECT_EQ(kx::lifecycle_start(kx::kFirstStart), 0);
  EXPECT_NE(log().find("group_definition.xml Not found\n"), std::string::npos);
  EXPECT_NE(log().find("System Error: start-up stopped at the groups\n"), std::string::npos);
  EXPECT_EQ(kx::g_started.load(), 0);
}

TEST_F(Lifecycle, FailedServiceEndsStartupAndShutdownStopsWhatRan) {
  // A streaming server of this build that fails: start-up ends with 0, and the final
  // shutdown still stops the threads that did start.
  kx::g_http_server.routine = [](kx::Service& s) {
    kx::service_ready(s, false);
    return 1;
  };
  EXPECT_EQ(kx::lifecycle_start(kx::kFirstStart), 0);
  kx::g_http_server.routine = nullptr;
  EXPECT_EQ(kx::g_started.load(), 0);
  EXPECT_NE(kx::g_management.thread, nullptr);
  EXPECT_NE(log().find("System Error: HTTP Streaming Server failed to start\n"), std::string::npos);
  EXPECT_EQ(kx::lifecycle_shutdown(kx::kFinalShutdown), 1);
  EXPECT_EQ(kx::g_management.thread, nullptr);
  EXPECT_EQ(kx::g_http_server.thread, nullptr);
}

}  // namespace
