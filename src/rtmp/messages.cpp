#include "rtmp/messages.h"

#include "formats/amf0.h"
#include "rtmp/chunk_reader.h"
#include "rtmp/chunk_writer.h"

namespace kx {

namespace {

constexpr std::size_t kBodyRoom = 1024;       // every answer body but the named ones fits
constexpr std::size_t kMaxNameBytes = 4096;   // a watching name or codec name written back
constexpr int kMaxCommandBytes = 1 << 30;

void put_be(uint8_t* p, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (n - 1 - i)));
}

// An AMF0 body being built in a buffer sized for it.
class Body {
 public:
  explicit Body(std::size_t extra = 0) : buf_(kBodyRoom + extra), w_(buf_.data(), static_cast<int>(buf_.size())) {}
  Amf0Writer& w() { return w_; }
  bool append(std::vector<uint8_t>& out, const RtmpChunkHeader& h, uint32_t chunk_size) {
    return w_.ok() && rtmp_append_message(out, h, buf_.data(), static_cast<std::size_t>(w_.size()), chunk_size);
  }

 private:
  std::vector<uint8_t> buf_;
  Amf0Writer w_;
};

bool control(std::vector<uint8_t>& out, uint8_t type, const uint8_t* body, std::size_t len) {
  return rtmp_append_message(out, rtmp_form::control(type), body, len, kRtmpDefaultChunkSize);
}

struct StatusRow {
  const char* name;
  uint32_t csid;
  uint32_t stream_id;
  const char* code;
  const char* description;  // nullptr: the watching name and "is now published"
};

StatusRow status_row(RtmpStatus which) {
  switch (which) {
    case RtmpStatus::kPlayFailed: return {"onStatus", 3, 0, "NetStream.Play.Failed", "Play Failed."};
    case RtmpStatus::kPublishNotify: return {"onStatus", 5, 0, "NetStream.Play.PublishNotify", nullptr};
    case RtmpStatus::kFCPublish: return {"onFCPublish", 3, 0, "NetStream.Publish.Start", "FCPublish to stream live."};
    case RtmpStatus::kFCUnpublish:
      return {"onFCUnpublish", 3, 0, "NetStream.Publish.Stop", "FCUnpublish to stream live."};
    case RtmpStatus::kUnpublishSuccess:
      return {"onStatus", 3, 0, "NetStream.Unpublish.Success", "live is now unpublished."};
    case RtmpStatus::kPublishStart: return {"onStatus", 3, 1, "NetStream.Publish.Start", "Publishing live."};
    case RtmpStatus::kPublishBadName: return {"onStatus", 3, 1, "NetStream.Publish.BadName", "Publish failed."};
  }
  return {"onStatus", 3, 0, "", ""};
}

void codec_prop(Amf0Writer& w, std::string_view key, const std::string& name, double id) {
  if (!name.empty()) w.prop(key, std::string_view(name));
  else w.prop(key, id);
}

}  // namespace

// ---- protocol control ----

bool rtmp_window_ack_size(std::vector<uint8_t>& out, uint32_t size) {
  uint8_t b[4];
  put_be(b, size, 4);
  return control(out, kRtmpWindowAckSize, b, sizeof b);
}

bool rtmp_set_peer_bandwidth(std::vector<uint8_t>& out, uint32_t size, int limit_type) {
  uint8_t b[5];
  put_be(b, size, 4);
  b[4] = static_cast<uint8_t>(limit_type);
  return control(out, kRtmpSetPeerBandwidth, b, sizeof b);
}

bool rtmp_user_control(std::vector<uint8_t>& out, uint16_t event, uint32_t stream_id) {
  uint8_t b[6];
  put_be(b, event, 2);
  put_be(b + 2, stream_id, 4);
  return control(out, kRtmpUserControl, b, sizeof b);
}

bool rtmp_set_chunk_size(std::vector<uint8_t>& out, uint32_t size) {
  if (size == 0 || size > 0x7FFFFFFF) return false;
  uint8_t b[4];
  put_be(b, size, 4);
  return control(out, kRtmpSetChunkSize, b, sizeof b);
}

// ---- command answers ----

bool rtmp_connect_answer(std::vector<uint8_t>& out, bool valid_app, double client_id) {
  Body b;
  b.w().string("_result").number(1.0);
  b.w().begin_object().prop("fmsVer", "Kestrix/12.1.001").prop("capabilities", 31.0).prop("mode", 1.0).end_object();
  b.w().begin_object().prop("level", "status");
  b.w().prop("code", valid_app ? "NetConnection.Connect.Success" : "NetConnection.Connect.InvalidApp");
  b.w().prop("description", valid_app ? "Connection succeeded." : "Connection failed.");
  b.w().key("data").begin_ecma_array(0).prop("version", "12.1.001").end_object();
  b.w().prop("clientid", client_id).prop("objectEncoding", 3.0).end_object();
  const std::size_t before = out.size();
  if (rtmp_window_ack_size(out, kRtmpConnectWindow) &&
      rtmp_set_peer_bandwidth(out, kRtmpConnectWindow, kRtmpPeerBandwidthDynamic) && rtmp_user_control(out, 0, 0) &&
      rtmp_set_chunk_size(out, kRtmpServerChunkSize) && b.append(out, rtmp_form::command(0), kRtmpServerChunkSize))
    return true;
  out.resize(before);
  return false;
}

bool rtmp_create_stream_result(std::vector<uint8_t>& out, double transaction_id, uint32_t chunk_size) {
  Body b;
  b.w().string("_result").number(transaction_id).null().number(1.0);
  return b.append(out, rtmp_form::command(0), chunk_size);
}

bool rtmp_status(std::vector<uint8_t>& out, RtmpStatus which, double client_id, std::string_view watching_name,
                 uint32_t chunk_size) {
  if (watching_name.size() > kMaxNameBytes) return false;
  const StatusRow row = status_row(which);
  Body b(watching_name.size());
  b.w().string(row.name).number(0).null();
  b.w().begin_object().prop("level", "status").prop("code", row.code);
  if (row.description) {
    b.w().prop("description", row.description);
  } else {
    std::string text(watching_name);
    text += " is now published";
    b.w().prop("description", std::string_view(text));
  }
  b.w().prop("clientid", client_id).end_object();
  const RtmpChunkHeader h = row.csid == 5 ? rtmp_form::status(row.stream_id) : rtmp_form::command(row.stream_id);
  return b.append(out, h, chunk_size);
}

bool rtmp_play_start(std::vector<uint8_t>& out, uint32_t chunk_size) {
  Body status;
  status.w().string("onStatus").number(0).null();
  status.w().begin_object().prop("level", "status").prop("code", "NetStream.Play.Start");
  status.w().prop("description", "Start live").end_object();
  Body access;
  access.w().string("|RtmpSampleAccess").boolean(true).boolean(true);
  const std::size_t before = out.size();
  if (rtmp_user_control(out, 0, 1) && status.append(out, rtmp_form::status(1), chunk_size) &&
      access.append(out, rtmp_form::data(), chunk_size) && rtmp_user_control(out, 32, 1))
    return true;
  out.resize(before);
  return false;
}

bool rtmp_on_metadata(std::vector<uint8_t>& out, const RtmpStreamMeta& m, uint32_t chunk_size) {
  if (m.video_codec_name.size() > kMaxNameBytes || m.audio_codec_name.size() > kMaxNameBytes) return false;
  Body b(m.video_codec_name.size() + m.audio_codec_name.size());
  b.w().string("onMetaData").begin_object();
  b.w().prop("width", m.width).prop("height", m.height).prop("framerate", m.framerate);
  b.w().prop("videodatarate", m.videodatarate);
  codec_prop(b.w(), "videocodecid", m.video_codec_name, m.videocodecid);
  b.w().prop("audiodatarate", m.audiodatarate);
  codec_prop(b.w(), "audiocodecid", m.audio_codec_name, m.audiocodecid);
  b.w().end_object();
  return b.append(out, rtmp_form::data(), chunk_size);
}

bool rtmp_stream_length_answer(std::vector<uint8_t>& out, uint32_t chunk_size) {
  Body b;
  b.w().string("onMetaData").begin_object().prop("duration", 0.0).end_object();
  return b.append(out, rtmp_form::data(), chunk_size);
}

bool rtmp_delete_stream(std::vector<uint8_t>& out, uint32_t chunk_size) {
  Body b;
  b.w().string("deleteStream").number(0).null().number(1.0);
  return b.append(out, rtmp_form::command(0), chunk_size);
}

// ---- incoming commands ----

bool rtmp_parse_command(uint8_t type, const uint8_t* body, std::size_t len, RtmpCommand& out) {
  out = RtmpCommand{};
  if (type == kRtmpAmf3Command && len > 0) {  // an AMF3 command starts with a format byte
    ++body;
    --len;
  } else if (type != kRtmpCommand && type != kRtmpData) {
    return false;
  }
  if (!body || len == 0 || len > static_cast<std::size_t>(kMaxCommandBytes)) return false;
  Amf0Reader r(body, static_cast<int>(len));
  if (!r.read_string(out.name)) return false;
  double id = 0;
  if (r.read_number(id)) out.transaction_id = id;
  out.args = body + r.pos();
  out.args_len = len - static_cast<std::size_t>(r.pos());
  return true;
}

namespace {

// Inside an object or ECMA array just opened: the property `name`, by whole name.
int find_in_object(Amf0Reader& r, std::string_view name, std::string_view& text, double& number) {
  for (;;) {
    std::string_view key;
    const int k = r.next_key(key);
    if (k <= 0) return k < 0 ? -1 : 0;
    if (key == name) {
      if (r.read_string(text)) return 2;
      if (r.read_number(number)) return 1;
    }
    if (!r.skip_value()) return -1;
  }
}

}  // namespace

int rtmp_command_property(const RtmpCommand& cmd, std::string_view name, std::string_view& text, double& number) {
  if (!cmd.args || cmd.args_len > static_cast<std::size_t>(kMaxCommandBytes)) return 0;
  Amf0Reader r(cmd.args, static_cast<int>(cmd.args_len));
  while (!r.at_end()) {
    uint32_t count = 0;
    if (r.begin_object() || r.begin_ecma_array(count)) {
      const int found = find_in_object(r, name, text, number);
      if (found != 0) return found > 0 ? found : 0;
    } else if (!r.skip_value()) {
      return 0;
    }
  }
  return 0;
}

bool rtmp_command_stream_name(const RtmpCommand& cmd, std::string_view& name) {
  if (!cmd.args || cmd.args_len > static_cast<std::size_t>(kMaxCommandBytes)) return false;
  Amf0Reader r(cmd.args, static_cast<int>(cmd.args_len));
  return r.skip_value() && r.read_string(name);
}

}  // namespace kx
