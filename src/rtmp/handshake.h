// The RTMP handshake (plain, version 3): the byte logic of both sides, kept apart from the
// socket so it can be driven by tests, and the socket runs that hold the whole exchange to
// one deadline and a stop token.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/wait.h"

namespace kx {

inline constexpr std::size_t kRtmpSigSize = 1536;  // C1, C2, S1, S2
inline constexpr std::size_t kRtmpRandomSize = 1528;
inline constexpr std::size_t kRtmpServerReplySize = 1 + 2 * kRtmpSigSize;  // S0 + S1 + S2
inline constexpr uint8_t kRtmpVersion = 3;
inline constexpr int kRtmpHandshakeMs = 15000;

// Server side: C0+C1 in, S0+S1+S2 out, C2 in. feed takes only what the current step needs,
// so bytes after C2 are left to the caller (they start the chunk stream).
class RtmpServerHandshake {
 public:
  enum class Step { kReadC0C1, kWriteReply, kReadC2, kDone, kBadVersion };

  // server_time: seconds, written into S1 and S2; random: S1's 1528 random bytes.
  RtmpServerHandshake(uint32_t server_time, const uint8_t* random);

  Step step() const { return step_; }
  // How many bytes the current read step still needs (0 when not reading).
  std::size_t missing() const;
  // Consumes up to what the step needs; returns the count taken.
  std::size_t feed(const uint8_t* p, std::size_t n);
  // S0+S1+S2, whole from kWriteReply on.
  const uint8_t* reply() const { return reply_; }
  void reply_sent();

 private:
  Step step_ = Step::kReadC0C1;
  uint8_t in_[1 + kRtmpSigSize] = {};
  std::size_t held_ = 0;
  uint8_t reply_[kRtmpServerReplySize] = {};
};

// Client side: C0+C1 out, S0+S1+S2 in, C2 (S1 echoed) out.
class RtmpClientHandshake {
 public:
  enum class Step { kWriteC0C1, kReadReply, kWriteC2, kDone, kBadVersion };

  // client_time: seconds; random: 1528 bytes, each turned into a letter or digit.
  RtmpClientHandshake(uint32_t client_time, const uint8_t* random);

  Step step() const { return step_; }
  std::size_t missing() const;
  const uint8_t* c0c1() const { return c0c1_; }  // 1537 bytes
  void c0c1_sent();
  std::size_t feed(const uint8_t* p, std::size_t n);
  const uint8_t* c2() const { return reply_ + 1; }  // 1536 bytes: S1 as received
  void c2_sent();

 private:
  Step step_ = Step::kWriteC0C1;
  uint8_t c0c1_[1 + kRtmpSigSize] = {};
  uint8_t reply_[kRtmpServerReplySize] = {};
  std::size_t held_ = 0;
};

enum class HandshakeEnd { kDone, kBadVersion, kTimeout, kStopped, kClosed, kFailed };
const char* handshake_end_text(HandshakeEnd e);

// Runs the server side on a connected socket, all of it within deadline_ms. surplus gets
// the bytes that came after C2.
HandshakeEnd rtmp_server_handshake(int fd, const StopToken& stop, int deadline_ms, std::vector<uint8_t>& surplus);
// Runs the client side likewise; surplus gets the bytes that came after S2.
HandshakeEnd rtmp_client_handshake(int fd, const StopToken& stop, int deadline_ms, std::vector<uint8_t>& surplus);

}  // namespace kx
