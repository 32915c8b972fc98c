// RTMP live-stream load client: N players on one rtmp:// URL from a single epoll thread.
//
// Each player connects (ramped up in bounded batches), runs the client handshake, sends
// connect (the application from the URL's first path segment), createStream and play (the
// rest of the path, query included), answers what a player must -- pings, and
// acknowledgements once the peer has set a window size -- and counts the media messages
// (audio 8, video 9) it receives. A player counts as playing from its first media message;
// the time to it is reported. Per-second delivery, stall-seconds and the served process's
// CPU and memory are measured as by http_load (load_common.h).
//
// The run is bounded: the ramp, then --seconds, then it stops by itself. It prints one
// machine-readable line starting with "KXLOAD " and a short summary for people.
#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/amf0.h"
#include "load_common.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/handshake.h"
#include "rtmp/messages.h"

namespace {

using namespace kxbench;

constexpr uint32_t kOutChunk = kx::kRtmpDefaultChunkSize;  // this client never changes it
constexpr uint32_t kPlayCsid = 8;
constexpr uint32_t kBufferMs = 3000;  // the buffer length a player announces after play
constexpr double kTxnConnect = 1, kTxnCreate = 2;

enum class Phase { kHandshake, kConnect, kCreate, kPlay };

struct RtmpPlayer {
  std::unique_ptr<kx::RtmpClientHandshake> hs;  // dropped once done
  kx::RtmpChunkReader reader;
  Phase phase = Phase::kHandshake;
  uint64_t wire_bytes = 0;  // every byte received, handshake included
  uint64_t acked = 0;       // wire_bytes when the last acknowledgement went out
  uint32_t window = 0;      // the peer's window acknowledgement size; 0 before it sets one
  bool bandwidth_answered = false;
  uint64_t audio = 0, video = 0, other_media = 0, data_msgs = 0;
  uint32_t acks = 0, pings = 0, unpublished = 0;
  bool play_start = false;
};

struct Counts {
  uint64_t audio = 0, video = 0, other_media = 0, data_msgs = 0, wire = 0, acks = 0, pings = 0, play_starts = 0, unpublished = 0;
};

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

class RtmpLoad : public LoadRun {
 public:
  RtmpLoad(const Options& o, std::string app, std::string name);

 private:
  struct Ctx {
    RtmpLoad* self;
    std::size_t idx;
    int64_t t;
  };

  bool on_connected(std::size_t idx, int64_t t) override;
  void on_bytes(std::size_t idx, const uint8_t* data, std::size_t n, int64_t t) override;
  std::string report_keys() const override;
  void report_lines() const override;
  const char* setup_timeout(std::size_t idx) const override;

  bool send_out(std::size_t idx, const std::vector<uint8_t>& out);
  bool finish_handshake(std::size_t idx, const uint8_t*& data, std::size_t& n);
  static bool on_message(void* user, const kx::RtmpMessage& m);
  bool message(std::size_t idx, const kx::RtmpMessage& m, int64_t t);
  bool control(std::size_t idx, const kx::RtmpMessage& m);
  bool command(std::size_t idx, const kx::RtmpMessage& m);
  bool status(std::size_t idx, const kx::RtmpCommand& cmd);
  bool acknowledge(std::size_t idx);
  bool append_command(std::vector<uint8_t>& out, const kx::RtmpChunkHeader& h, const kx::Amf0Writer& w,
                      const uint8_t* body);
  Counts counts() const;

  std::string app_, name_, tc_url_;
  std::unique_ptr<RtmpPlayer[]> rp_;
  uint64_t seed_;
};

RtmpLoad::RtmpLoad(const Options& o, std::string app, std::string name)
    : LoadRun(o, "first_media"),
      app_(std::move(app)),
      name_(std::move(name)),
      rp_(new RtmpPlayer[static_cast<std::size_t>(o.players)]),
      seed_(static_cast<uint64_t>(now_us()) | 1) {
  tc_url_ = "rtmp://" + o_.host + ":" + std::to_string(o_.port) + "/" + app_;
}

bool RtmpLoad::send_out(std::size_t idx, const std::vector<uint8_t>& out) {
  Player& p = players_[idx];
  if (out.empty()) return p.fd >= 0;
  // Every write of this client is small (a handshake block, a command, a few control
  // messages) and the socket's send buffer is otherwise empty: a short send is a failure.
  const ssize_t n = ::send(p.fd, out.data(), out.size(), MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(out.size())) {
    fail(p, "send");
    return false;
  }
  return true;
}

bool RtmpLoad::on_connected(std::size_t idx, int64_t) {
  uint8_t random[kx::kRtmpRandomSize];
  for (auto& b : random) {  // xorshift: the bytes need only differ, not be secret
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 7;
    seed_ ^= seed_ << 17;
    b = static_cast<uint8_t>(seed_);
  }
  RtmpPlayer& r = rp_[idx];
  r.hs = std::make_unique<kx::RtmpClientHandshake>(static_cast<uint32_t>(time(nullptr)), random);
  const std::vector<uint8_t> c0c1(r.hs->c0c1(), r.hs->c0c1() + 1 + kx::kRtmpSigSize);
  if (!send_out(idx, c0c1)) return false;
  r.hs->c0c1_sent();
  return true;
}

bool RtmpLoad::append_command(std::vector<uint8_t>& out, const kx::RtmpChunkHeader& h, const kx::Amf0Writer& w,
                              const uint8_t* body) {
  return w.ok() && kx::rtmp_append_message(out, h, body, static_cast<std::size_t>(w.size()), kOutChunk);
}

// Consumes the server's S0+S1+S2 from data; once whole, sends C2 and connect together.
// False when the player failed; data and n are advanced past the bytes taken.
bool RtmpLoad::finish_handshake(std::size_t idx, const uint8_t*& data, std::size_t& n) {
  RtmpPlayer& r = rp_[idx];
  const std::size_t used = r.hs->feed(data, n);
  data += used;
  n -= used;
  if (r.hs->step() == kx::RtmpClientHandshake::Step::kBadVersion) {
    fail(players_[idx], "handshake: not RTMP version 3");
    return false;
  }
  if (r.hs->step() != kx::RtmpClientHandshake::Step::kWriteC2) return true;
  std::vector<uint8_t> out(r.hs->c2(), r.hs->c2() + kx::kRtmpSigSize);
  uint8_t body[1024];
  kx::Amf0Writer w(body, sizeof body);
  w.string("connect").number(kTxnConnect).begin_object();
  w.prop("app", app_).prop("flashVer", "LNX 9,0,124,2").prop("tcUrl", tc_url_);
  w.key("fpad").boolean(false);
  w.prop("capabilities", 15.0).prop("audioCodecs", 3191.0).prop("videoCodecs", 252.0).prop("videoFunction", 1.0);
  w.end_object();
  if (!append_command(out, kx::rtmp_form::command(0), w, body)) {
    fail(players_[idx], "connect too long");
    return false;
  }
  if (!send_out(idx, out)) return false;
  r.hs->c2_sent();
  r.hs.reset();
  r.phase = Phase::kConnect;
  return true;
}

void RtmpLoad::on_bytes(std::size_t idx, const uint8_t* data, std::size_t n, int64_t t) {
  RtmpPlayer& r = rp_[idx];
  Player& p = players_[idx];
  r.wire_bytes += n;
  if (r.phase == Phase::kHandshake) {
    if (!finish_handshake(idx, data, n)) return;
    if (r.phase == Phase::kHandshake) return;
  }
  Ctx ctx{this, idx, t};
  while (n > 0 && p.fd >= 0) {
    const std::size_t used = r.reader.feed(data, n, &RtmpLoad::on_message, &ctx);
    if (r.reader.failed()) {
      fail(p, r.reader.error());
      return;
    }
    if (used == 0) break;
    data += used;
    n -= used;
  }
  if (p.fd >= 0) acknowledge(idx);
}

// The peer set a window: once that many bytes have come since the last acknowledgement,
// one goes out carrying the count received so far (modulo 2^32, as the field is).
bool RtmpLoad::acknowledge(std::size_t idx) {
  RtmpPlayer& r = rp_[idx];
  if (r.window == 0 || r.wire_bytes - r.acked < r.window) return true;
  uint8_t b[4];
  put_be32(b, static_cast<uint32_t>(r.wire_bytes));
  std::vector<uint8_t> out;
  kx::rtmp_append_message(out, kx::rtmp_form::control(kx::kRtmpAck), b, sizeof b, kOutChunk);
  r.acked = r.wire_bytes;
  ++r.acks;
  return send_out(idx, out);
}

bool RtmpLoad::on_message(void* user, const kx::RtmpMessage& m) {
  const Ctx& c = *static_cast<Ctx*>(user);
  return c.self->message(c.idx, m, c.t);
}

bool RtmpLoad::message(std::size_t idx, const kx::RtmpMessage& m, int64_t t) {
  RtmpPlayer& r = rp_[idx];
  Player& p = players_[idx];
  switch (m.type) {
    case kx::kRtmpAudio:
    case kx::kRtmpVideo:
    case 22:  // aggregate
      if (m.type == kx::kRtmpAudio) ++r.audio;
      else if (m.type == kx::kRtmpVideo) ++r.video;
      else ++r.other_media;
      delivered(idx, m.length, t);
      if (p.st == St::kSetup) playing(p);
      return true;
    case kx::kRtmpData:
      ++r.data_msgs;
      return true;
    case kx::kRtmpUserControl:
    case kx::kRtmpWindowAckSize:
    case kx::kRtmpSetPeerBandwidth:
      return control(idx, m);
    case kx::kRtmpCommand:
    case kx::kRtmpAmf3Command:
      return command(idx, m);
    default:
      return true;  // set chunk size and abort are the reader's; acknowledgements need nothing
  }
}

bool RtmpLoad::control(std::size_t idx, const kx::RtmpMessage& m) {
  RtmpPlayer& r = rp_[idx];
  std::vector<uint8_t> out;
  if (m.type == kx::kRtmpWindowAckSize && m.length >= 4) {
    r.window = be32(m.body);
  } else if (m.type == kx::kRtmpSetPeerBandwidth && m.length >= 4 && !r.bandwidth_answered) {
    // A player answers the first peer bandwidth with its own window of the same size.
    r.bandwidth_answered = true;
    kx::rtmp_window_ack_size(out, be32(m.body));
  } else if (m.type == kx::kRtmpUserControl && m.length >= 6 && m.body[0] == 0 && m.body[1] == 6) {
    // Ping request: the pong carries the same time stamp.
    uint8_t b[6] = {0, 7, m.body[2], m.body[3], m.body[4], m.body[5]};
    kx::rtmp_append_message(out, kx::rtmp_form::control(kx::kRtmpUserControl), b, sizeof b, kOutChunk);
    ++r.pings;
  }
  return send_out(idx, out);
}

bool RtmpLoad::command(std::size_t idx, const kx::RtmpMessage& m) {
  RtmpPlayer& r = rp_[idx];
  Player& p = players_[idx];
  kx::RtmpCommand cmd;
  if (!kx::rtmp_parse_command(m.type, m.body, m.length, cmd)) return true;  // not ours to judge
  if (cmd.name == "onStatus") return status(idx, cmd);
  if (cmd.name == "deleteStream" || cmd.name == "close") {
    fail(p, p.st == St::kPlaying ? "closed by server" : "play refused (deleteStream)");
    return false;
  }
  const bool ok = cmd.name == "_result";
  if (!ok && cmd.name != "_error") return true;  // onBWDone and the like
  uint8_t body[1024];
  kx::Amf0Writer w(body, sizeof body);
  std::vector<uint8_t> out;
  if (cmd.transaction_id == kTxnConnect && r.phase == Phase::kConnect) {
    if (!ok) return fail(p, "connect refused"), false;
    w.string("createStream").number(kTxnCreate).null();
    append_command(out, kx::rtmp_form::command(0), w, body);
    r.phase = Phase::kCreate;
  } else if (cmd.transaction_id == kTxnCreate && r.phase == Phase::kCreate) {
    if (!ok) return fail(p, "createStream refused"), false;
    kx::Amf0Reader a(cmd.args, static_cast<int>(cmd.args_len));
    double sid = 0;
    if (!a.skip_value() || !a.read_number(sid) || sid < 0 || sid > 0xFFFFFF) return fail(p, "bad stream id"), false;
    const auto stream_id = static_cast<uint32_t>(sid);
    w.string("play").number(0).null().string(name_).number(-1000);
    append_command(out, {0, kPlayCsid, 0, kx::kRtmpCommand, stream_id}, w, body);
    uint8_t b[10] = {0, 3};  // set buffer length: event 3, stream id, milliseconds
    put_be32(b + 2, stream_id);
    put_be32(b + 6, kBufferMs);
    kx::rtmp_append_message(out, kx::rtmp_form::control(kx::kRtmpUserControl), b, sizeof b, kOutChunk);
    r.phase = Phase::kPlay;
  }
  if (!w.ok()) return fail(p, "command too long"), false;
  return send_out(idx, out);
}

// onStatus: a refused play ends the player; Play.Start and the source's going are noted.
bool RtmpLoad::status(std::size_t idx, const kx::RtmpCommand& cmd) {
  std::string_view code;
  double num = 0;
  if (kx::rtmp_command_property(cmd, "code", code, num) != 2) return true;
  if (code == "NetStream.Play.Start") {
    rp_[idx].play_start = true;
    return true;
  }
  const char* why = nullptr;
  if (code == "NetStream.Play.Failed") why = "NetStream.Play.Failed";
  else if (code == "NetStream.Play.StreamNotFound") why = "NetStream.Play.StreamNotFound";
  else if (code == "NetStream.Play.Stop" || code == "NetStream.Play.UnpublishNotify") {
    // The source went away; the player stays, as a real one would, and its silence counts.
    ++rp_[idx].unpublished;
    return true;
  }
  else if (code.find("Failed") != std::string_view::npos || code.find("Rejected") != std::string_view::npos)
    why = "refused (onStatus)";
  if (!why) return true;
  fail(players_[idx], why);
  return false;
}

const char* RtmpLoad::setup_timeout(std::size_t idx) const {
  switch (rp_[idx].phase) {
    case Phase::kHandshake: return "timed out in the handshake";
    case Phase::kConnect: return "timed out waiting for the connect answer";
    case Phase::kCreate: return "timed out waiting for the createStream answer";
    case Phase::kPlay: break;
  }
  return players_[idx].t_first_data < 0 ? "no media in time after play" : "timed out";
}

Counts RtmpLoad::counts() const {
  Counts c;
  for (std::size_t i = 0; i < players_.size(); ++i) {
    if (!counted(players_[i])) continue;
    const RtmpPlayer& r = rp_[i];
    c.audio += r.audio;
    c.video += r.video;
    c.other_media += r.other_media;
    c.data_msgs += r.data_msgs;
    c.wire += r.wire_bytes;
    c.acks += r.acks;
    c.pings += r.pings;
    c.play_starts += r.play_start ? 1 : 0;
    c.unpublished += r.unpublished;
  }
  return c;
}

std::string RtmpLoad::report_keys() const {
  const Counts c = counts();
  char buf[320];
  std::snprintf(buf, sizeof buf,
                " media_msgs=%llu audio_msgs=%llu video_msgs=%llu data_msgs=%llu wire_bytes=%llu acks_sent=%llu "
                "pings_answered=%llu play_start=%llu unpublish_notes=%llu",
                static_cast<unsigned long long>(c.audio + c.video + c.other_media),
                static_cast<unsigned long long>(c.audio), static_cast<unsigned long long>(c.video),
                static_cast<unsigned long long>(c.data_msgs), static_cast<unsigned long long>(c.wire),
                static_cast<unsigned long long>(c.acks), static_cast<unsigned long long>(c.pings),
                static_cast<unsigned long long>(c.play_starts), static_cast<unsigned long long>(c.unpublished));
  return buf;
}

void RtmpLoad::report_lines() const {
  const Counts c = counts();
  std::printf("  RTMP: %llu media messages (%llu video, %llu audio), %llu data messages, %llu bytes on the wire; "
              "%llu acknowledgements sent, %llu pings answered; Play.Start seen by %llu players\n",
              static_cast<unsigned long long>(c.audio + c.video + c.other_media),
              static_cast<unsigned long long>(c.video), static_cast<unsigned long long>(c.audio),
              static_cast<unsigned long long>(c.data_msgs), static_cast<unsigned long long>(c.wire),
              static_cast<unsigned long long>(c.acks), static_cast<unsigned long long>(c.pings),
              static_cast<unsigned long long>(c.play_starts));
}

// rtmp://host[:port]/app/name[?query]: the application is the first path segment, the
// stream name all after it.
bool split_path(const std::string& path, std::string& app, std::string& name) {
  if (path.size() < 2 || path[0] != '/') return false;
  const std::size_t slash = path.find('/', 1);
  if (slash == std::string::npos || slash + 1 >= path.size()) return false;
  app = path.substr(1, slash - 1);
  name = path.substr(slash + 1);
  return !app.empty() && app.find('?') == std::string::npos && app.size() < 256 && name.size() < 512;
}

bool parse_args(int argc, char** argv, Options& o, std::string& app, std::string& name) {
  bool have_url = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--url") have_url = parse_url(v, "rtmp://", 1935, o) && split_path(o.path, app, name);
    else if (!parse_common_flag(a, v, o)) return false;
  }
  return have_url && options_valid(o);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string app, name;
  if (!parse_args(argc, argv, o, app, name)) {
    std::fprintf(stderr, "usage: rtmp_load --url rtmp://127.0.0.1:PORT/APP/NAME[?QUERY]\n%s", kCommonUsage);
    return 2;
  }
  process_setup(o.players);
  RtmpLoad load(o, app, name);
  return load.run();
}
