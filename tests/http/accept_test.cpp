// The accept path: whatever fails while a connection is being set up (the session record,
// the command thread, the socket itself), or however soon the client goes, the socket is
// closed and the session is freed: the registry's count of live sessions goes back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "core/alloc.h"
#include "core/os/thread.h"
#include "http/http_server.h"
#include "net/socket.h"
#include "support/harness.h"

namespace kx {
namespace {

class AcceptPath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tcp_listen("127.0.0.1", 0, 16, listener_), 1);
    port_ = local_port(listener_.fd());
    ASSERT_GT(port_, 0);
    base_ = http_players().live_sessions();
  }
  void TearDown() override {
    fail_next_allocations(0);
    fail_next_thread_creations(0);
    g_http_state.store(kHttpStopped);
    EXPECT_TRUE(released());  // nothing of a test is left for the next
  }

  // A client connected to the listener, and the server's side of it.
  void connect(Socket& client, Socket& server, sockaddr_in& from) {
    ASSERT_EQ(tcp_connect("127.0.0.1", port_, 2000, nullptr, client), 1);
    ASSERT_EQ(tcp_accept(listener_.fd(), 2000, server, &from), 1);
  }
  // True when the server's side went away: the client reads the end (or a reset).
  static bool server_closed(int client_fd) {
    char b;
    const long n = recv_some(client_fd, &b, 1, 10000);
    return n == 0 || n == -1;
  }
  // Frees what has finished until the live count is back where the test began.
  bool released() {
    return kxt::wait_until(
        [&] {
          http_players().release_pass(200);
          return http_players().live_sessions() == base_ && http_players().waiting_release() == 0;
        },
        10000);
  }
  std::string syslog() const { return kxt::slurp(dir_ / "log/system.log"); }

  kxt::WorkDirScope dir_;
  Socket listener_;
  int port_ = 0;
  int base_ = 0;
};

// Failures while the connection is set up: nothing is served, the client sees the end
// at once, and no session is counted.
TEST_F(AcceptPath, SetUpFailuresCloseTheSocketAndLeaveNoSession) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::string line;  // what the log says, with %d for the port
  } cases[] = {
      {"no session record", [] { fail_next_allocations(1); }, "]: Memory allocated failed\n"},
      {"no command thread", [] { fail_next_thread_creations(1); },
       ": IP [127.0.0.1] Connects Kestrix Port[%d] Thread Created Failed\n"},
  };
  uint32_t number = 100;
  for (const Case& c : cases) {
    Socket client, server;
    sockaddr_in from{};
    connect(client, server, from);
    c.arrange();
    serve_connection(std::move(server), from, number++, port_);
    EXPECT_TRUE(server_closed(client.fd())) << c.what;
    EXPECT_EQ(http_players().live_sessions(), base_) << c.what;
    std::string line = c.line;
    const std::size_t at = line.find("%d");
    if (at != std::string::npos) line.replace(at, 2, std::to_string(port_));
    EXPECT_EQ(kxt::count_of(syslog(), line), 1) << c.what << "\n" << syslog();
  }
  // The hooks were used up: the next connection is served as usual.
  g_http_state.store(kHttpRunning);
  Socket client, server;
  sockaddr_in from{};
  connect(client, server, from);
  serve_connection(std::move(server), from, number, port_);
  client.close();
  EXPECT_TRUE(released());
  EXPECT_EQ(kxt::count_of(syslog(), "Session[" + std::to_string(number) + "]: IP [127.0.0.1]  Finished HTTP Streaming"),
            1)
      << syslog();
}

// A descriptor whose socket options cannot be set (here not a socket at all): closed,
// no session.
TEST_F(AcceptPath, SocketThatErrorsAtOnceIsClosed) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  sockaddr_in from{};
  from.sin_addr.s_addr = htonl(0x7f000001);
  serve_connection(Socket(fds[1]), from, 200, port_);
  char b;
  EXPECT_EQ(::read(fds[0], &b, 1), 0);  // the write end was closed
  ::close(fds[0]);
  EXPECT_EQ(http_players().live_sessions(), base_);
  EXPECT_EQ(kxt::count_of(syslog(), "Session[200]: IP [127.0.0.1] setsockopt error\n"), 1) << syslog();
}

// Clients that go before their head is complete: reset at once, closed in order at once,
// or closed after half a head. Each command thread ends and its session is freed.
TEST_F(AcceptPath, ClientsThatGoAtOnceAreReleased) {
  g_http_state.store(kHttpRunning);
  struct Case {
    const char* what;
    std::function<void(Socket&)> go;
  } cases[] = {
      {"reset",
       [](Socket& c) {
         linger l{1, 0};
         ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
         ::close(c.release());
       }},
      {"closed", [](Socket& c) { ::close(c.release()); }},
      {"half a head",
       [](Socket& c) {
         ASSERT_TRUE(send_all(c.fd(), "GET /1.ch HTTP/1.1\r\nHo", 22, 2000));
         ::close(c.release());
       }},
  };
  uint32_t number = 300;
  for (const Case& c : cases) {
    Socket client, server;
    sockaddr_in from{};
    connect(client, server, from);
    c.go(client);
    serve_connection(std::move(server), from, number, port_);
    EXPECT_TRUE(released()) << c.what << ": live " << http_players().live_sessions();
    EXPECT_EQ(kxt::count_of(syslog(), "Session[" + std::to_string(number) + "]: IP [127.0.0.1]  Finished HTTP Streaming"),
              1)
        << c.what << "\n" << syslog();
    ++number;
  }
}

}  // namespace
}  // namespace kx
