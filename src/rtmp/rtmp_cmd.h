// The command thread's state, shared by its files (session loop, connect and publish, play).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/messages.h"
#include "rtmp/rtmp_server.h"

namespace kx {

struct RtmpCmd {
  explicit RtmpCmd(RtmpSession& session) : s(session) {}
  RtmpSession& s;
  int no() const { return static_cast<int>(s.session_no); }

  ConfigPtr cfg = config();
  int fd = -1;
  double client_id = 0;  // the socket number, as the answers carry it
  std::unique_ptr<RtmpChunkReader> reader;
  std::string app;
  int encoder_channel = 0;   // 1-based: the rtmpencoder channel the application names
  bool close = false;        // end the connection after the current message
  int publish_channel = 0;   // 1-based: claimed, to be handed to its input after the loop
  bool data_started = false;
  bool connected = false;    // connect answered: the names it set stay as they are
  bool count_user = false;   // a checked user is counted once the play really starts
};

// Sends what a builder wrote; false (the connection ends) when it built nothing or the
// send failed.
bool cmd_send(RtmpCmd& c, bool built, const std::vector<uint8_t>& out);
// A status answer, chunked for the session's outgoing chunk size.
bool cmd_status(RtmpCmd& c, RtmpStatus which);

// The commands with session logic. Each answers and may set close.
void rtmp_connect(RtmpCmd& c, const RtmpCommand& cmd);
void rtmp_publish(RtmpCmd& c, const RtmpCommand& cmd);
void rtmp_play(RtmpCmd& c, const RtmpCommand& cmd);
// Lends the socket to the claimed channel's input and waits for it back.
void rtmp_hand_off(RtmpCmd& c, std::vector<uint8_t> ahead);

}  // namespace kx
