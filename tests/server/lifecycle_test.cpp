// Start-up, shutdown and restart in one process, with the housekeeping threads running.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/os/file.h"
#include "http/http_server.h"
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

  // A long-lived reader of the tables keeps going while restarts run.
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      kx::SharedGuard g(kx::g_tables_gate);
      reads.fetch_add(1);
      std::this_thread::yield();
    }
  });
  // Two restarts asked at once: one runs, the other runs after it or is refused.
  std::vector<int> results(2, -9);
  std::thread a([&] { results[0] = kx::lifecycle_restart(); });
  std::thread b([&] { results[1] = kx::lifecycle_restart(); });
  a.join();
  b.join();
  done.store(true);
  reader.join();
  EXPECT_TRUE(results[0] == 1 || results[1] == 1);
  for (int r : results) EXPECT_TRUE(r == 1 || r == 2) << r;
  EXPECT_GT(reads.load(), 0);
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

TEST_F(Lifecycle, RestartShutdownBeforeStartIsRefused) {
  kx::open_logs(dir / "log");
  EXPECT_EQ(kx::lifecycle_shutdown(kx::kRestartShutdown), 0);
  EXPECT_NE(log().find("Kestrix is not starting\n"), std::string::npos);
}

TEST_F(Lifecycle, MissingGroupsEndStartup) {
  kx::remove_file(dir / "ch_config/group_definition.xml");
  EXPECT_EQ(kx::lifecycle_start(kx::kFirstStart), 0);
  EXPECT_NE(log().find("group_definition.xml Not found\n"), std::string::npos);
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
