// A small RTMP client for tests, built from the server's own RTMP layer: the client
// handshake, commands chunked at the default chunk size, and every message the server
// sends reassembled, with the command name and status code of each read out.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/socket.h"

namespace kxt {

struct RtmpMsg {
  uint8_t type = 0;
  uint32_t csid = 0, stream_id = 0, timestamp = 0;
  std::vector<uint8_t> body;
  std::string name;  // a command or data message's first string
  std::string code;  // a status answer's "code"
  double client_id = -1;  // a status answer's "clientid"
};

// The messages in bytes a server writes (from its first byte, at the default chunk size
// until a set chunk size), read as RtmpClient reads them.
std::vector<RtmpMsg> rtmp_messages_of(const std::vector<uint8_t>& bytes);

class RtmpClient {
 public:
  RtmpClient() = default;
  ~RtmpClient();
  RtmpClient(const RtmpClient&) = delete;
  RtmpClient& operator=(const RtmpClient&) = delete;

  // Connects to 127.0.0.1:port and runs the handshake; false on failure.
  bool open(int port);
  // connect with tcUrl rtmp://127.0.0.1:port/app.
  bool connect(const std::string& app);
  bool create_stream(double transaction_id = 2);
  bool play(const std::string& name);
  bool publish(const std::string& name);
  // Reads until a message satisfies pred (true), or the connection closes or timeout_ms
  // passes (false). Every message read is appended to msgs.
  bool read_until(const std::function<bool(const RtmpMsg&)>& pred, int timeout_ms = 15000);
  // Reads until the server closes the connection; false on time-out.
  bool wait_closed(int timeout_ms = 15000);
  // "name" or "name:code" of each message read, in order, media and control left out.
  std::vector<std::string> commands() const;

  std::vector<RtmpMsg> msgs;
  bool closed = false;

 private:
  bool send_command(uint32_t csid, uint32_t stream_id, const std::vector<uint8_t>& amf);
  bool pump(int timeout_ms);

  kx::Socket sock_;
  int port_ = 0;
  std::vector<uint8_t> held_;
  void* reader_ = nullptr;  // an RtmpChunkReader, owned
};

}  // namespace kxt
