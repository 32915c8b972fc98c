#include "support/rtmp_client.h"

#include <memory>

#include "formats/amf0.h"
#include "net/wait.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/chunk_writer.h"
#include "rtmp/handshake.h"
#include "rtmp/messages.h"

namespace kxt {

namespace {

kx::RtmpChunkReader& reader_of(void* p) { return *static_cast<kx::RtmpChunkReader*>(p); }

bool collect(void* user, const kx::RtmpMessage& m) {
  auto& out = *static_cast<std::vector<RtmpMsg>*>(user);
  RtmpMsg msg;
  msg.type = m.type;
  msg.csid = m.csid;
  msg.stream_id = m.stream_id;
  msg.timestamp = m.timestamp;
  msg.body.assign(m.body, m.body + m.length);
  kx::RtmpCommand cmd;
  if ((m.type == 20 || m.type == 18) && kx::rtmp_parse_command(m.type, m.body, m.length, cmd)) {
    msg.name = std::string(cmd.name);
    std::string_view code;
    double n = 0;
    if (kx::rtmp_command_property(cmd, "code", code, n) == 2) msg.code = std::string(code);
    if (kx::rtmp_command_property(cmd, "clientid", code, n) == 1) msg.client_id = n;
  }
  out.push_back(std::move(msg));
  return true;
}

std::vector<uint8_t> amf(const std::function<void(kx::Amf0Writer&)>& fill) {
  std::vector<uint8_t> buf(4096);
  kx::Amf0Writer w(buf.data(), static_cast<int>(buf.size()));
  fill(w);
  buf.resize(w.ok() ? static_cast<std::size_t>(w.size()) : 0);
  return buf;
}

}  // namespace

std::vector<RtmpMsg> rtmp_messages_of(const std::vector<uint8_t>& bytes) {
  std::vector<RtmpMsg> out;
  kx::RtmpChunkReader reader;
  reader.feed(bytes.data(), bytes.size(), collect, &out);
  return out;
}

RtmpClient::~RtmpClient() { delete static_cast<kx::RtmpChunkReader*>(reader_); }

bool RtmpClient::open(int port) {
  port_ = port;
  if (kx::tcp_connect("127.0.0.1", port, 5000, [] { return false; }, sock_) != 1) return false;
  kx::StopToken stop;
  std::vector<uint8_t> surplus;
  if (kx::rtmp_client_handshake(sock_.fd(), stop, 10000, surplus) != kx::HandshakeEnd::kDone) return false;
  reader_ = new kx::RtmpChunkReader();
  held_ = std::move(surplus);
  return true;
}

bool RtmpClient::send_command(uint32_t csid, uint32_t stream_id, const std::vector<uint8_t>& body) {
  if (body.empty()) return false;
  std::vector<uint8_t> out;
  const kx::RtmpChunkHeader h{0, csid, 0, kx::kRtmpCommand, stream_id};
  if (!kx::rtmp_append_message(out, h, body.data(), body.size(), kx::kRtmpDefaultChunkSize)) return false;
  return kx::send_all(sock_.fd(), out.data(), out.size(), 5000);
}

bool RtmpClient::connect(const std::string& app) {
  const std::string tc_url = "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + app;
  return send_command(3, 0, amf([&](kx::Amf0Writer& w) {
    w.string("connect").number(1).begin_object();
    w.prop("app", app).prop("flashVer", "LNX 9,0,124,2").prop("tcUrl", tc_url).prop("audioCodecs", 3191.0);
    w.end_object();
  }));
}

bool RtmpClient::create_stream(double transaction_id) {
  return send_command(3, 0, amf([&](kx::Amf0Writer& w) { w.string("createStream").number(transaction_id).null(); }));
}

bool RtmpClient::play(const std::string& name) {
  return send_command(8, 1, amf([&](kx::Amf0Writer& w) { w.string("play").number(0).null().string(name); }));
}

bool RtmpClient::publish(const std::string& name) {
  return send_command(8, 1,
                      amf([&](kx::Amf0Writer& w) { w.string("publish").number(0).null().string(name).string("live"); }));
}

bool RtmpClient::pump(int timeout_ms) {
  if (!held_.empty()) {
    reader_of(reader_).feed(held_.data(), held_.size(), collect, &msgs);
    held_.clear();
    return !reader_of(reader_).failed();
  }
  uint8_t buf[8192];
  const long n = kx::recv_some(sock_.fd(), buf, sizeof buf, timeout_ms);
  if (n == 0 || n == -1) {
    closed = true;
    return false;
  }
  if (n < 0) return true;  // time-out of this step
  reader_of(reader_).feed(buf, static_cast<std::size_t>(n), collect, &msgs);
  return !reader_of(reader_).failed();
}

bool RtmpClient::read_until(const std::function<bool(const RtmpMsg&)>& pred, int timeout_ms) {
  const kx::Deadline until = kx::Deadline::after(timeout_ms);
  std::size_t seen = 0;
  for (;;) {
    for (; seen < msgs.size(); ++seen)
      if (pred(msgs[seen])) return true;
    if (closed || until.passed()) return false;
    if (!pump(until.left_ms(200))) {
      if (closed) continue;  // look at what came before the close
      return false;
    }
  }
}

bool RtmpClient::wait_closed(int timeout_ms) {
  read_until([](const RtmpMsg&) { return false; }, timeout_ms);
  return closed;
}

std::vector<std::string> RtmpClient::commands() const {
  std::vector<std::string> out;
  for (const RtmpMsg& m : msgs) {
    if (m.name.empty()) continue;
    out.push_back(m.code.empty() ? m.name : m.name + ":" + m.code);
  }
  return out;
}

}  // namespace kxt
