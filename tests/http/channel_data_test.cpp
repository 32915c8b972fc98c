// The live channel data thread in process, against a ring the test writes and a socket
// pair the test reads: it starts at a PAT, skips empty entries, starts again at a PAT
// when the writer laps it, raises and lowers the viewer counters exactly once; folder
// channels go on with the next file when one ends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ingest/channel_info.h"
#include "catalogue/channels.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "http/http_server.h"
#include "players/player_session.h"
#include "ingest/ring.h"
#include "support/harness.h"

namespace {

using Packet = std::array<uint8_t, 188>;
constexpr int kDataPid = 256, kPmtPid = 0x30;

// A data packet carrying its entry's number in the first payload bytes.
Packet data_packet(uint32_t k) {
  Packet p;
  p.fill(0xAB);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>(kDataPid >> 8);
  p[2] = static_cast<uint8_t>(kDataPid & 0xFF);
  p[3] = 0x10;
  std::memcpy(p.data() + 4, &k, sizeof k);
  return p;
}

// A PAT naming kPmtPid; tsid marks which file of a folder it came from.
Packet pat_packet(uint16_t tsid = 1) {
  Packet p;
  p.fill(0xFF);
  const uint8_t head[] = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, static_cast<uint8_t>(tsid >> 8),
                          static_cast<uint8_t>(tsid & 0xFF), 0xC1, 0x00, 0x00, 0x00, 0x01,
                          static_cast<uint8_t>(0xE0 | (kPmtPid >> 8)), static_cast<uint8_t>(kPmtPid & 0xFF),
                          0x11, 0x22, 0x33, 0x44};
  std::memcpy(p.data(), head, sizeof head);
  return p;
}

Packet pmt_packet() {
  Packet p;
  p.fill(0xFF);
  p[0] = 0x47;
  p[1] = 0x40 | static_cast<uint8_t>(kPmtPid >> 8);
  p[2] = static_cast<uint8_t>(kPmtPid & 0xFF);
  p[3] = 0x10;
  return p;
}

std::vector<uint8_t> entry(const std::vector<Packet>& pkts) {
  std::vector<uint8_t> out;
  for (const auto& p : pkts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Entry k: seven data packets, or a PAT and PMT and five data packets when with_pat.
std::vector<uint8_t> stream_entry(uint32_t k, bool with_pat) {
  std::vector<Packet> pkts;
  if (with_pat) {
    pkts.push_back(pat_packet());
    pkts.push_back(pmt_packet());
  }
  while (pkts.size() < 7) pkts.push_back(data_packet(k));
  return entry(pkts);
}

int pid_of(const uint8_t* p) { return ((p[1] & 0x1F) << 8) | p[2]; }
uint32_t k_of(const uint8_t* p) {
  uint32_t k;
  std::memcpy(&k, p + 4, sizeof k);
  return k;
}

// One player of one channel, its data thread running on one end of a socket pair.
class Player {
 public:
  explicit Player(float tolerance) : ch_(std::make_shared<kx::Channel_Info>()) {
    ch_->def.nChannel_No = 1;
    ch_->def.tolerance = tolerance;
    ch_->rt.nChannel_Status.store(kx::kStatusOn);
    s_ = new kx::PlayerSession;
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    s_->sock.store(sv[0]);
    peer_ = sv[1];
    s_->channel = ch_;
    s_->channel_no.store(1);
    s_->output_type = kx::kOutTs;
    s_->session_no = 7;
    kx::set_field(s_->user, "tester");
  }
  ~Player() {
    finish();
    if (peer_ >= 0) ::close(peer_);
  }

  kx::Channel_Info& ch() { return *ch_; }
  kx::PlayerSession& s() { return *s_; }
  std::shared_ptr<kx::RealBuffer> make_ring(int entries) {
    auto r = std::make_shared<kx::RealBuffer>(entries, 0);
    ch_->rt.set_ring(r);
    return r;
  }
  void small_buffers() {
    const int small = 4096;
    ::setsockopt(s_->sock.load(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  void start() { t_ = kx::create_thread(kx::Channel_HTTP_DataThread, s_, "player"); }

  // Reads until pred(all bytes so far) holds or timeout_ms passes.
  template <typename Pred>
  bool read_until(Pred pred, int64_t timeout_ms) {
    const int64_t end = kx::mono_ms() + timeout_ms;
    char buf[65536];
    while (!pred(got_)) {
      if (kx::mono_ms() > end) return false;
      const ssize_t n = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        got_.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0) {
        return pred(got_);
      } else {
        kx::sleep_ms(2);
      }
    }
    return true;
  }
  const std::string& got() const { return got_; }

  // Stops the thread and takes the session back from the release list.
  bool finish() {
    if (s_ == nullptr) return true;
    if (t_) {
      s_->stop.store(1);
      if (!kx::join_thread(t_, 20000)) return false;
    }
    kx::http_players().take_back(*s_);
    delete s_;
    s_ = nullptr;
    return true;
  }
  bool thread_done() const { return t_ != nullptr && kx::thread_done(t_); }

 private:
  std::shared_ptr<kx::Channel_Info> ch_;
  kx::PlayerSession* s_ = nullptr;
  kx::ThreadRecord* t_ = nullptr;
  int peer_ = -1;
  std::string got_;
};

TEST(TsStartThread, StartsAtThePatAndSkipsEmptyEntries) {
  Player p(1.0f);
  auto ring = p.make_ring(64);
  const std::vector<uint8_t> e0 = stream_entry(0, false), e1 = stream_entry(1, true), e3 = stream_entry(3, false),
                             e5 = stream_entry(5, false);
  ring->commit(e0.data(), static_cast<int>(e0.size()));
  ring->commit(e1.data(), static_cast<int>(e1.size()));
  ring->commit(nullptr, 0);  // an empty entry
  ring->commit(e3.data(), static_cast<int>(e3.size()));
  p.start();
  // The start point is entry 1 (a quarter into four entries); it starts with the PAT.
  std::string want(e1.begin(), e1.end());
  want.append(e3.begin(), e3.end());
  ASSERT_TRUE(p.read_until([&](const std::string& g) { return g.size() >= want.size(); }, 10000));
  EXPECT_TRUE(p.got() == want);

  ring->commit(nullptr, 0);
  ring->commit(e5.data(), static_cast<int>(e5.size()));
  want.append(e5.begin(), e5.end());
  ASSERT_TRUE(p.read_until([&](const std::string& g) { return g.size() >= want.size(); }, 10000));
  EXPECT_TRUE(p.got() == want);
  EXPECT_FALSE(p.thread_done()) << "an empty entry ended the player";
  EXPECT_EQ(p.ch().rt.Active_No.load(), 1);
  EXPECT_EQ(p.s().pmt_pid.load(), kPmtPid);

  ASSERT_TRUE(p.finish());
  EXPECT_EQ(p.ch().rt.Active_No.load(), 0);
  EXPECT_EQ(p.ch().rt.Watched_No.load(), 1);
}

// The player is stuck on a full socket while the writer goes round the ring several
// times. What it sends afterwards is never overwritten data: whole entries in order, and
// after each gap the stream starts again at a PAT.
TEST(TsStartThread, LappedReaderStartsAgainAtAPat) {
  Player p(1.0f);
  p.small_buffers();
  auto ring = p.make_ring(32);
  uint32_t k = 0;
  for (; k < 16; ++k) {
    const auto e = stream_entry(k, k % 8 == 0);
    ring->commit(e.data(), static_cast<int>(e.size()));
  }
  p.start();
  ASSERT_TRUE(p.read_until([](const std::string& g) { return g.size() >= 188; }, 10000));
  for (; k < 216; ++k) {
    const auto e = stream_entry(k, k % 8 == 0);
    ring->commit(e.data(), static_cast<int>(e.size()));
  }
  const uint32_t last = k - 1;
  auto saw_last = [&](const std::string& g) {
    for (std::size_t at = g.size() / 188 * 188; at >= 188; at -= 188) {
      const auto* pkt = reinterpret_cast<const uint8_t*>(g.data() + at - 188);
      if (pid_of(pkt) == kDataPid) return k_of(pkt) == last;
    }
    return false;
  };
  ASSERT_TRUE(p.read_until(saw_last, 20000));
  const std::string& g = p.got();
  ASSERT_EQ(g.size() % 188, 0u);

  int gaps = 0;
  int64_t prev = -1;
  for (std::size_t at = 0; at < g.size(); at += 188) {
    const auto* pkt = reinterpret_cast<const uint8_t*>(g.data() + at);
    ASSERT_EQ(pkt[0], 0x47) << at;
    if (pid_of(pkt) != kDataPid) continue;
    const int64_t kk = k_of(pkt);
    ASSERT_GE(kk, prev) << "out of order at " << at;
    if (prev >= 0 && kk > prev + 1) {
      ++gaps;
      // A new start: the entry begins with the PAT and PMT.
      ASSERT_GE(at, 2 * 188u);
      EXPECT_EQ(pid_of(reinterpret_cast<const uint8_t*>(g.data() + at - 2 * 188)), 0) << at;
      EXPECT_EQ(pid_of(reinterpret_cast<const uint8_t*>(g.data() + at - 188)), kPmtPid) << at;
      EXPECT_EQ(kk % 8, 0) << at;
    }
    prev = kk;
  }
  EXPECT_GE(gaps, 1) << "the writer never lapped the player";
  ASSERT_TRUE(p.finish());
  EXPECT_EQ(p.ch().rt.Active_No.load(), 0);
}

// A stop before the thread starts: nothing is sent and no counter moves.
TEST(TsStartThread, StopBeforeStartChangesNoCounter) {
  Player p(1.0f);
  auto ring = p.make_ring(16);
  const auto e = stream_entry(0, true);
  ring->commit(e.data(), static_cast<int>(e.size()));
  p.s().stop.store(1);
  p.start();
  ASSERT_TRUE(kxt::wait_until([&] { return p.thread_done(); }, 10000));
  EXPECT_EQ(p.s().channel_no.load(), -1);
  EXPECT_TRUE(p.read_until([](const std::string&) { return false; }, 2000) == false);
  EXPECT_TRUE(p.got().empty());
  EXPECT_EQ(p.ch().rt.Active_No.load(), 0);
  EXPECT_EQ(p.ch().rt.Watched_No.load(), 0);
}

// A channel input that stops ends the player, which gives its viewer count back.
TEST(TsStartThread, ChannelOffEndsThePlayer) {
  Player p(0.0f);
  auto ring = p.make_ring(64);
  for (uint32_t k = 0; k < 8; ++k) {
    const auto e = stream_entry(k, k % 4 == 0);
    ring->commit(e.data(), static_cast<int>(e.size()));
  }
  p.start();
  ASSERT_TRUE(p.read_until([](const std::string& g) { return g.size() >= 188; }, 10000));
  EXPECT_EQ(p.ch().rt.Active_No.load(), 1);
  p.ch().rt.nChannel_Status.store(kx::kStatusOff);
  ASSERT_TRUE(kxt::wait_until([&] { return p.thread_done(); }, 10000));
  EXPECT_EQ(p.ch().rt.Active_No.load(), 0);
  EXPECT_EQ(p.ch().rt.Watched_No.load(), 1);
}

// A folder channel: the file of the channel's position, from a PAT on, then the next
// file from its start, round the list.
TEST(PacingFolderThread, NextFileAfterTheEnd) {
  kxt::TempDir dir;
  const int packets = 20;
  for (const auto& [name, tsid] : {std::pair<std::string, uint16_t>{"a.ts", 0xA}, {"b.ts", 0xB}}) {
    std::vector<Packet> pkts(packets, pat_packet(tsid));
    const auto bytes = entry(pkts);
    kxt::spit(dir / name, std::string(bytes.begin(), bytes.end()));
  }
  kx::set_folder_probe([](const std::string&) { return 1; });  // 1 kbit/s: 29 s per file
  Player p(0.0f);
  ASSERT_EQ(kx::build_folder_list(p.ch().def, dir.path()), 2);
  p.start();
  // Enough for the first file's rest and two whole files after it.
  const std::size_t want = (3 * packets + 1) * 188;
  ASSERT_TRUE(p.read_until([&](const std::string& g) { return g.size() >= want; }, 10000));
  std::vector<int> runs;  // lengths of the runs of one file's packets
  int last = -1;
  const std::string& g = p.got();
  for (std::size_t at = 0; at + 188 <= g.size(); at += 188) {
    const auto* pkt = reinterpret_cast<const uint8_t*>(g.data() + at);
    ASSERT_EQ(pid_of(pkt), 0);
    const int id = (pkt[8] << 8) | pkt[9];
    if (id != last) runs.push_back(0);
    ++runs.back();
    last = id;
  }
  ASSERT_GE(runs.size(), 3u);
  EXPECT_LE(runs[0], packets);
  EXPECT_EQ(runs[1], packets);  // the next file, whole, from its start
  EXPECT_TRUE(p.finish());
  kx::set_folder_probe({});
  EXPECT_EQ(p.ch().rt.Active_No.load(), 0);
}

}  // namespace
