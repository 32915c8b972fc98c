#include "rtmp/client_messages.h"

#include "formats/amf0.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/chunk_writer.h"

namespace kx {

namespace {

constexpr std::size_t kRoom = 512;  // beside the names written
constexpr uint16_t kEventSetBufferLength = 3;

void put_be(uint8_t* p, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
}

// An AMF0 body sized for the names it holds; amf3 puts the AMF3 command's 0 byte first.
class Body {
 public:
  Body(std::size_t names, bool amf3)
      : buf_(kRoom + names), lead_(amf3 ? 1 : 0), w_(buf_.data() + lead_, static_cast<int>(buf_.size() - lead_)) {}
  Amf0Writer& w() { return w_; }
  bool append(std::vector<uint8_t>& out, const RtmpChunkHeader& h) {
    return w_.ok() && rtmp_append_message(out, h, buf_.data(), lead_ + static_cast<std::size_t>(w_.size()),
                                          kRtmpDefaultChunkSize);
  }

 private:
  std::vector<uint8_t> buf_;  // zero-filled: the AMF3 lead byte is 0
  std::size_t lead_;
  Amf0Writer w_;
};

}  // namespace

RtmpPullTarget rtmp_pull_target(std::string_view ip, int port, std::string_view path) {
  RtmpPullTarget t;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    t.app = std::string(path);
  } else {
    t.app = std::string(path.substr(0, slash));
    t.stream = std::string(path.substr(slash + 1));
  }
  t.tc_url = "rtmp://" + std::string(ip) + ":" + std::to_string(port) + "/" + t.app;
  return t;
}

bool rtmp_client_connect(std::vector<uint8_t>& out, double transaction, const RtmpPullTarget& t) {
  Body b(t.app.size() + t.tc_url.size(), false);
  b.w().string("connect").number(transaction).begin_object();
  b.w().prop("app", std::string_view(t.app)).prop("tcUrl", std::string_view(t.tc_url));
  b.w().key("fpad").boolean(false);
  b.w().prop("capabilities", 15.0).prop("audioCodecs", 3191.0).prop("videoCodecs", 252.0);
  b.w().prop("videoFunction", 1.0).end_object();
  return b.append(out, rtmp_form::command(0));
}

bool rtmp_client_buffer_length(std::vector<uint8_t>& out, uint32_t stream_id, uint32_t ms) {
  uint8_t body[10];
  put_be(body, kEventSetBufferLength, 2);
  put_be(body + 2, stream_id, 4);
  put_be(body + 6, ms, 4);
  return rtmp_append_message(out, RtmpChunkHeader{1, 2, 0, kRtmpUserControl, 0}, body, sizeof body,
                             kRtmpDefaultChunkSize);
}

bool rtmp_client_create_stream(std::vector<uint8_t>& out, double transaction) {
  Body b(0, true);
  b.w().string("createStream").number(transaction).null();
  return b.append(out, RtmpChunkHeader{0, 3, 0, kRtmpAmf3Command, 0});
}

bool rtmp_client_play(std::vector<uint8_t>& out, uint32_t stream_id, std::string_view name) {
  Body b(name.size(), true);
  b.w().string("play").number(0).null().string(name);
  return b.append(out, RtmpChunkHeader{0, 8, 0, kRtmpAmf3Command, stream_id});
}

bool rtmp_client_delete_stream(std::vector<uint8_t>& out, double transaction, uint32_t stream_id) {
  Body b(0, false);
  b.w().string("deleteStream").number(transaction).null().number(stream_id);
  return b.append(out, RtmpChunkHeader{1, 3, 0, kRtmpCommand, 0});
}

bool rtmp_client_ack(std::vector<uint8_t>& out, uint32_t received) {
  uint8_t body[4];
  put_be(body, received, 4);
  return rtmp_append_message(out, rtmp_form::control(kRtmpAck), body, sizeof body, kRtmpDefaultChunkSize);
}

}  // namespace kx
