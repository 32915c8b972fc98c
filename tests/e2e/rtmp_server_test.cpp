// The RTMP server with the real binary: every refused play and publish gets its designed
// answer, the connection closes and nothing is counted; real clients (ffprobe, ffmpeg,
// rtmpdump) play an FLV file over RTMP.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/os/process.h"
#include "rtmp/messages.h"
#include "support/harness.h"
#include "support/rtmp_client.h"

namespace {

const char* const kGroups =
    "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n"
    "<group name=\"default\" connection=\"2\">\r\n<channel>0</channel>\r\n</group>\r\n"
    "<group name=\"basic\" connection=\"1\">\r\n<channel>1</channel>\r\n<channel>2</channel>\r\n</group>\r\n";

const char* const kPublishKey = "k3y";

class RtmpServer : public ::testing::Test {
 protected:
  void SetUp() override {
    udp_port_ = kxt::free_port();
    const std::string u1 = std::to_string(udp_port_), u3 = std::to_string(kxt::free_port());
    // 1 and 3: UDP channels nothing feeds (off); 4 and 5: encoder channels.
    ASSERT_TRUE(kxt::spit(s_.path("channel_definition.xml"),
                          kxt::kXmlDecl + "<ch src=\"udp://@:" + u1 + "\" category=\"T\">One</ch>\r\n" +
                              "<ch src=\"dir://media\" category=\"T\">Two</ch>\r\n" + "<ch src=\"udp://@:" + u3 +
                              "\" category=\"T\">Three</ch>\r\n" +
                              "<ch src=\"rtmpencoder\" category=\"T\">live1</ch>\r\n" +
                              "<ch src=\"rtmpencoder\" category=\"T\">news</ch>\r\n"));
    ASSERT_TRUE(kxt::spit(s_.path("ch_config/group_definition.xml"), kGroups));
    s_.set("user_authorization", "1");
    s_.set("rtmp_publish_key", kPublishKey);
    ASSERT_TRUE(s_.start());
    ASSERT_TRUE(s_.wait_file("log/system.log", "RTMP Server Starting", 30000)) << s_.output();
  }
  // A clean shutdown (a sanitizer's report would end the server otherwise), with every
  // RTMP session drained.
  void TearDown() override {
    feed_.stop(2000);
    EXPECT_EQ(s_.stop(), 0) << s_.debug_output();
    EXPECT_EQ(s_.debug_output().find("Sanitizer"), std::string::npos) << s_.debug_output();
  }

  std::string syslog() { return s_.file("log/system.log"); }

  // A client past connect (and createStream when the connect succeeded).
  bool connected(kxt::RtmpClient& c, const std::string& app) {
    if (!c.open(s_.rtmp_port) || !c.connect(app)) return false;
    if (!c.read_until([](const kxt::RtmpMsg& m) { return m.name == "_result"; })) return false;
    if (c.msgs.back().code != "NetConnection.Connect.Success") return true;
    const std::size_t before = c.msgs.size();
    return c.create_stream(4) && c.read_until([&](const kxt::RtmpMsg& m) {
      return &m >= &c.msgs[before] && m.name == "_result";
    });
  }

  // ffmpeg sends the demo clip, looped in real time, to channel 1's UDP port.
  void feed_channel_1() {
    ASSERT_TRUE(kxt::spawn_logged(feed_,
                                  {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re", "-stream_loop", "-1", "-i",
                                   s_.path("media/sample.ts"), "-map", "0", "-c", "copy", "-f", "mpegts",
                                   "udp://127.0.0.1:" + std::to_string(udp_port_) + "?pkt_size=1316"},
                                  s_.path("feed.err")));
    ASSERT_TRUE(s_.wait_file("log/admin_system.log",
                             "CH [1]: Get UDP Packet from Port No [" + std::to_string(udp_port_) + "]\n", 30000))
        << s_.file("log/admin_system.log") << kxt::slurp(s_.path("feed.err"));
  }
  std::string rtmp_url(const std::string& name) const {
    return "rtmp://127.0.0.1:" + std::to_string(s_.rtmp_port) + "/live/" + name;
  }

  kxt::Server s_;
  kx::Process feed_;
  int udp_port_ = 0;
};

std::string codecs(const std::string& url_or_file) {
  return kxt::run_tool(
      {"ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0", url_or_file}, 60000);
}

// The bytes this server's builders write for the answers named as RtmpClient::commands
// names them (client_id: the session's, as the connect answer gave it), read back.
std::vector<kxt::RtmpMsg> expected_messages(const std::vector<std::string>& answers, double client_id) {
  std::vector<uint8_t> out;
  const uint32_t cs = kx::kRtmpServerChunkSize;
  for (const std::string& a : answers) {
    if (a == "_result:NetConnection.Connect.Success") kx::rtmp_connect_answer(out, true, client_id);
    else if (a == "_result:NetConnection.Connect.InvalidApp") kx::rtmp_connect_answer(out, false, client_id);
    else if (a == "_result") kx::rtmp_create_stream_result(out, 4, cs);
    else if (a == "deleteStream") kx::rtmp_delete_stream(out, cs);
    else if (a == "onStatus:NetStream.Play.Failed") kx::rtmp_status(out, kx::RtmpStatus::kPlayFailed, client_id, "", cs);
    else if (a == "onStatus:NetStream.Publish.BadName")
      kx::rtmp_status(out, kx::RtmpStatus::kPublishBadName, client_id, "", cs);
    else if (a == "onStatus:NetStream.Unpublish.Success")
      kx::rtmp_status(out, kx::RtmpStatus::kUnpublishSuccess, client_id, "", cs);
    else ADD_FAILURE() << "no builder for " << a;
  }
  return kxt::rtmp_messages_of(out);
}

std::string joined(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += s + " | ";
  return out;
}

// Each refusal: the answers the player gets, then the connection closes; no data thread
// starts and no player, slot or viewer is counted.
TEST_F(RtmpServer, RefusalsGetTheirAnswersAndCountNothing) {
  struct Case {
    const char* what;
    const char* app;
    bool publish;
    const char* name;  // nullptr: nothing after connect
    std::vector<std::string> answers;
  };
  const std::string ok = "_result:NetConnection.Connect.Success";
  const std::vector<Case> cases = {
      {"unknown application", "nosuch", false, nullptr,
       {"_result:NetConnection.Connect.InvalidApp", "onStatus:NetStream.Unpublish.Success"}},
      {"play name without a query", "live", false, "1.ch", {ok, "_result", "deleteStream"}},
      {"channel out of range", "live", false, "9.ch?u=root&p=kestrix",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"channel 0", "live", false, "0.ch?u=root&p=kestrix",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"wrong password", "live", false, "1.ch?u=root&p=wrong",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"unknown user", "live", false, "1.ch?u=nobody&p=x",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"channel outside the group", "live", false, "3.ch?u=demo&p=demo",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"channel off", "live", false, "1.ch?u=root&p=kestrix",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"file outside the folder", "live", false, "../etc/passwd?u=root&p=kestrix",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"file with a wrong password", "live", false, "media/sample.ts?u=root&p=wrong",
       {ok, "_result", "onStatus:NetStream.Play.Failed", "deleteStream"}},
      {"publish to no channel", "live", true, "nochannel?key=k3y",
       {ok, "_result", "onStatus:NetStream.Publish.BadName", "onStatus:NetStream.Unpublish.Success"}},
      {"publish to a channel that is no encoder", "live", true, "One?key=k3y",
       {ok, "_result", "onStatus:NetStream.Publish.BadName", "onStatus:NetStream.Unpublish.Success"}},
      {"publish without the key", "live", true, "live1",
       {ok, "_result", "onStatus:NetStream.Publish.BadName", "onStatus:NetStream.Unpublish.Success"}},
      {"publish with a wrong key", "live", true, "live1?key=k3z",
       {ok, "_result", "onStatus:NetStream.Publish.BadName", "onStatus:NetStream.Unpublish.Success"}},
  };
  for (const Case& c : cases) {
    kxt::RtmpClient client;
    ASSERT_TRUE(connected(client, c.app)) << c.what << ": " << joined(client.commands());
    if (c.name) {
      ASSERT_TRUE(c.publish ? client.publish(c.name) : client.play(c.name)) << c.what;
    }
    EXPECT_TRUE(client.wait_closed()) << c.what << ": " << joined(client.commands());
    EXPECT_EQ(client.commands(), c.answers) << c.what;
    // Byte for byte what the builders write, with the session's client id.
    ASSERT_FALSE(client.msgs.empty()) << c.what;
    const std::vector<kxt::RtmpMsg> want = expected_messages(c.answers, client.msgs[4].client_id);
    ASSERT_EQ(client.msgs.size(), want.size()) << c.what;
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(client.msgs[i].type, want[i].type) << c.what << " #" << i;
      EXPECT_EQ(client.msgs[i].csid, want[i].csid) << c.what << " #" << i;
      EXPECT_EQ(client.msgs[i].stream_id, want[i].stream_id) << c.what << " #" << i;
      EXPECT_EQ(client.msgs[i].body, want[i].body) << c.what << " #" << i;
    }
  }
  const std::string log = syslog();
  EXPECT_EQ(log.find("RTMPDataThread ["), std::string::npos) << log;
  EXPECT_EQ(log.find("IPTV_RM_DataThread"), std::string::npos) << log;
  EXPECT_EQ(log.find("is now published"), std::string::npos);
  EXPECT_NE(log.find("Invaild Channel Name : [nosuch]\n"), std::string::npos);
  EXPECT_NE(log.find("RTMP : IP [127.0.0.1] try to get CH [9] in total channel no=[5], but failed\n"),
            std::string::npos);
  EXPECT_NE(log.find("Username [demo] has no right to watch CH[3]\n"), std::string::npos);
  EXPECT_NE(log.find("RTMP : CH[1] is OFF\n"), std::string::npos);
  // The channel stays free for its encoder: a publisher with the key is taken.
  kxt::RtmpClient encoder;
  ASSERT_TRUE(connected(encoder, "live"));
  ASSERT_TRUE(encoder.publish(std::string("live1?key=") + kPublishKey));
  EXPECT_TRUE(encoder.read_until([](const kxt::RtmpMsg& m) { return m.code == "NetStream.Publish.Start"; }))
      << joined(encoder.commands());
}

// One publisher per channel, by stream name or by application name; a second one is
// refused while the first holds the channel, and the channel is free again once it left.
TEST_F(RtmpServer, OnePublisherPerEncoderChannel) {
  const std::string key = std::string("?key=") + kPublishKey;
  auto started = [](kxt::RtmpClient& c) {
    return c.read_until([](const kxt::RtmpMsg& m) {
      return m.code == "NetStream.Publish.Start" || m.code == "NetStream.Publish.BadName";
    }) && c.msgs.back().code == "NetStream.Publish.Start";
  };
  {
    kxt::RtmpClient first, second, by_app;
    ASSERT_TRUE(connected(first, "live"));
    ASSERT_TRUE(first.publish("live1" + key));
    ASSERT_TRUE(started(first)) << joined(first.commands());

    ASSERT_TRUE(connected(second, "live"));
    ASSERT_TRUE(second.publish("live1" + key));
    EXPECT_FALSE(started(second));
    EXPECT_TRUE(second.wait_closed());
    EXPECT_EQ(second.commands().back(), "onStatus:NetStream.Unpublish.Success");

    // The application names the channel "news"; the stream name is the encoder's own.
    ASSERT_TRUE(connected(by_app, "news"));
    EXPECT_EQ(by_app.commands().front(), "_result:NetConnection.Connect.Success");
    ASSERT_TRUE(by_app.publish("stream" + key));
    EXPECT_TRUE(started(by_app)) << joined(by_app.commands());
    EXPECT_NE(syslog().find("Channel Name : [news] is on CH[5]\n"), std::string::npos);
  }
  // The first publisher has gone: its session gives the channel back.
  ASSERT_TRUE(kxt::wait_until([&] { return kxt::count_of(syslog(), "stops publishing to CH[4]") == 1; }, 30000))
      << syslog();
  kxt::RtmpClient again;
  ASSERT_TRUE(connected(again, "live"));
  ASSERT_TRUE(again.publish("live1" + key));
  EXPECT_TRUE(started(again)) << joined(again.commands());
}

// Real clients play an FLV file of the program folder over RTMP (ffmpeg takes only the
// last part of the path as the stream name, so the file lies at the top).
TEST_F(RtmpServer, RealClientsPlayAFile) {
  const std::string made = kxt::run_tool({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", s_.path("media/sample.ts"),
                                          "-c", "copy", "-f", "flv", s_.path("clip.flv")},
                                         60000);
  ASSERT_NE(made, "<failed>");
  const std::string url =
      "rtmp://127.0.0.1:" + std::to_string(s_.rtmp_port) + "/live/clip.flv?u=root&p=kestrix";
  const std::string streams = codecs(url);
  EXPECT_NE(streams.find("h264"), std::string::npos) << streams << syslog();
  EXPECT_NE(streams.find("aac"), std::string::npos) << streams;

  kxt::TempDir tmp;
  const std::string log = tmp / "ffmpeg.err";
  const std::string played = kxt::run_tool(
      {"/bin/sh", "-c", "ffmpeg -nostdin -v error -i '" + url + "' -t 8 -c copy -f null - 2>'" + log + "'"}, 60000);
  EXPECT_NE(played, "<failed>") << kxt::slurp(log);
  EXPECT_EQ(kxt::slurp(log), "");

  const std::string out = tmp / "dump.flv";
  kxt::run_tool({"rtmpdump", "-q", "-r", "rtmp://127.0.0.1:" + std::to_string(s_.rtmp_port) + "/live", "-y",
                 "clip.flv?u=root&p=kestrix", "-o", out},
                60000);
  const std::string dumped = codecs(out);
  EXPECT_NE(dumped.find("h264"), std::string::npos) << dumped;
  // Every player left and gave its slot back.
  EXPECT_TRUE(kxt::wait_until(
      [&] {
        const std::string log = syslog();
        return kxt::count_of(log, "IPTV_PS_RTMP_DataThread_Enable_Connection [") >= 3 &&
               kxt::count_of(log, "IPTV_PS_RTMP_DataThread_Enable_Connection [") ==
                   kxt::count_of(log, "*** IPTV_RM_DataThread [") &&
               kxt::last_number_after(log, "The no. of active players is [") == 0;
      },
      30000))
      << syslog();
}

// Real clients play a live TS channel over RTMP: both streams are listed, a player takes
// eight seconds of it without an error, and rtmpdump records it to a file ffprobe reads.
// Every player leaves the channel's viewers and the server's slots as they were.
TEST_F(RtmpServer, RealClientsPlayALiveChannel) {
  feed_channel_1();
  const std::string url = rtmp_url("1.ch?u=root&p=kestrix");
  const std::string streams = codecs(url);
  EXPECT_NE(streams.find("h264"), std::string::npos) << streams << syslog();
  EXPECT_NE(streams.find("aac"), std::string::npos) << streams;

  kxt::TempDir tmp;
  const std::string err = tmp / "ffmpeg.err";
  const std::string played = kxt::run_tool(
      {"/bin/sh", "-c", "ffmpeg -nostdin -v error -i '" + url + "' -t 8 -c copy -f null - 2>'" + err + "'"}, 60000);
  EXPECT_NE(played, "<failed>") << kxt::slurp(err);
  EXPECT_EQ(kxt::slurp(err), "");

  const std::string out = tmp / "live.flv";
  kxt::run_tool({"rtmpdump", "-q", "--live", "--stop", "5", "-r", "rtmp://127.0.0.1:" + std::to_string(s_.rtmp_port) +
                 "/live", "-y", "1.ch?u=root&p=kestrix", "-o", out},
                60000);
  const std::string dumped = codecs(out);
  EXPECT_NE(dumped.find("h264"), std::string::npos) << dumped << syslog();
  EXPECT_NE(dumped.find("aac"), std::string::npos) << dumped;

  EXPECT_TRUE(kxt::wait_until(
      [&] {
        const std::string log = syslog();
        return kxt::count_of(log, "RTMPDataThread [") >= 3 &&
               kxt::count_of(log, "Start Video Streaming") == kxt::count_of(log, "Close Socket)") &&
               kxt::last_number_after(log, "The no. of active players is [") == 0;
      },
      30000))
      << syslog();
}

// ffmpeg publishes to the encoder channel live1 (4) with the key; the channel then plays
// over RTMP and over HTTP.
TEST_F(RtmpServer, AnEncoderFeedsItsChannelForRtmpAndHttpPlayers) {
  ASSERT_TRUE(kxt::spawn_logged(feed_,
                                {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-re", "-stream_loop", "-1", "-i",
                                 s_.path("media/sample.ts"), "-c", "copy", "-f", "flv",
                                 rtmp_url(std::string("live1?key=") + kPublishKey)},
                                s_.path("feed.err")));
  const std::string url = rtmp_url("4.ch?u=root&p=kestrix");
  std::string streams;
  ASSERT_TRUE(kxt::wait_until(
      [&] {
        streams = codecs(url);
        return streams.find("h264") != std::string::npos;
      },
      60000))
      << streams << syslog() << kxt::slurp(s_.path("feed.err"));
  EXPECT_NE(streams.find("aac"), std::string::npos) << streams;
  const std::string http =
      codecs("http://127.0.0.1:" + std::to_string(s_.http_port) + "/4.ch?u=root&p=kestrix");
  EXPECT_NE(http.find("h264"), std::string::npos) << http << syslog();
  EXPECT_NE(http.find("aac"), std::string::npos) << http;
}

}  // namespace
