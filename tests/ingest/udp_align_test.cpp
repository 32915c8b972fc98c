// The MPEG-TS realigner behind the UDP/RTP input and the RTP header parser, by tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ingest/rtp.h"
#include "ingest/ts_align.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Packet i of a test stream: sync byte, PID 0x100 + i % 4, a continuity counter and a
// payload that never holds a sync byte unless asked to.
Bytes packet(int i) {
  Bytes p(kx::kTsPacketBytes);
  p[0] = kx::kTsSyncByte;
  p[1] = static_cast<uint8_t>(0x01);
  p[2] = static_cast<uint8_t>(i % 4);
  p[3] = static_cast<uint8_t>(0x10 | (i & 0x0F));
  for (int j = 4; j < kx::kTsPacketBytes; ++j) {
    uint8_t b = static_cast<uint8_t>(i * 31 + j * 7);
    p[static_cast<std::size_t>(j)] = b == kx::kTsSyncByte ? 0x48 : b;
  }
  return p;
}

Bytes packets(int from, int to) {
  Bytes out;
  for (int i = from; i < to; ++i) {
    Bytes p = packet(i);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

Bytes garbage(int n, bool with_false_syncs) {
  Bytes g(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    uint8_t b = static_cast<uint8_t>(0x90 + i * 13);
    g[static_cast<std::size_t>(i)] = b == kx::kTsSyncByte ? 0x46 : b;
  }
  // A sync byte with no other one 188 bytes on.
  if (with_false_syncs && n > 10) g[5] = kx::kTsSyncByte;
  return g;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct AlignRun {
  std::vector<Bytes> entries;
  Bytes all;
  kx::TsAligner a;
};

void collect(void* user, const uint8_t* data, int len) {
  auto* r = static_cast<AlignRun*>(user);
  r->entries.emplace_back(data, data + len);
  r->all.insert(r->all.end(), data, data + len);
}

// Feeds stream as datagrams of the given sizes (repeated; the last one takes the rest),
// flushing after each like the input does. Datagrams listed in lost are never fed.
void run(const Bytes& stream, const std::vector<int>& sizes, AlignRun& r, const std::vector<int>& lost = {}) {
  kx::ts_align_reset(r.a);
  std::size_t off = 0;
  for (int d = 0; off < stream.size(); ++d) {
    std::size_t n = static_cast<std::size_t>(sizes[static_cast<std::size_t>(d) % sizes.size()]);
    n = std::min(n, stream.size() - off);
    bool drop = false;
    for (int l : lost) drop = drop || l == d;
    if (!drop) {
      kx::ts_align_feed(r.a, stream.data() + off, n, collect, &r);
      kx::ts_align_flush(r.a, collect, &r);
    }
    off += n;
  }
}

// The entry sizes of a clean stream cut into the given datagrams: every datagram's whole
// packets, 7 to an entry, the rest pending until the end of the datagram.
std::vector<int> clean_entry_sizes(std::size_t total, const std::vector<int>& sizes) {
  std::vector<int> out;
  std::size_t carry = 0, off = 0;
  for (int d = 0; off < total; ++d) {
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(sizes[static_cast<std::size_t>(d) % sizes.size()]),
                                          total - off);
    off += n;
    std::size_t whole = (carry + n) / 188;
    carry = (carry + n) % 188;
    for (; whole >= 7; whole -= 7) out.push_back(1316);
    if (whole) out.push_back(static_cast<int>(whole * 188));
  }
  return out;
}

struct AlignCase {
  const char* name;
  Bytes stream;
  std::vector<int> sizes;
  std::vector<int> lost;      // datagrams that never arrive
  Bytes expect;               // the packets handed out, in order
  bool clean;                 // entry sizes follow clean_entry_sizes
  uint64_t dropped;           // bytes skipped while searching
};

std::vector<AlignCase> align_cases() {
  std::vector<AlignCase> c;
  c.push_back({"aligned 1316", packets(0, 70), {1316}, {}, packets(0, 70), true, 0});
  c.push_back({"1472-byte datagrams", packets(0, 70), {1472}, {}, packets(0, 70), true, 0});
  c.push_back({"1-byte datagrams", packets(0, 20), {1}, {}, packets(0, 20), true, 0});
  c.push_back({"mixed sizes", packets(0, 60), {1000, 7, 188, 2500, 1472, 189}, {}, packets(0, 60), true, 0});
  c.push_back({"one 9000-byte datagram", packets(0, 50), {9000}, {}, packets(0, 50), true, 0});
  c.push_back({"garbage before sync", cat({garbage(100, false), packets(0, 30)}), {1316}, {}, packets(0, 30),
               false, 100});
  c.push_back({"garbage before sync, 1-byte datagrams", cat({garbage(77, false), packets(0, 10)}), {1}, {},
               packets(0, 10), false, 77});
  // 50 bytes inside a datagram: the packet before them came whole and is kept.
  c.push_back({"lost sync mid-stream", cat({packets(0, 10), garbage(50, false), packets(10, 30)}), {1472}, {},
               packets(0, 30), false, 50});
  c.push_back({"a false sync byte", cat({garbage(300, true), packets(0, 20)}), {1316}, {}, packets(0, 20), false,
               300});
  c.push_back({"a false sync byte mid-stream", cat({packets(0, 5), garbage(40, true), packets(5, 20)}), {1472}, {},
               packets(0, 20), false, 40});
  // Packet 7 is completed from the carry but not followed by a sync byte: it cannot be
  // told from a splice over a lost datagram, so it goes with the garbage.
  c.push_back({"garbage after a carried-over packet", cat({packets(0, 8), garbage(40, false), packets(8, 20)}),
               {1472}, {}, cat({packets(0, 7), packets(8, 20)}), false, 188 + 40});
  // A lost 1472-byte datagram (bytes 2944-4415): packets 15 (2820-3007) and 23 (4324-4511)
  // are partly lost; what arrived of them (124 + 96 bytes) is skipped, never spliced.
  c.push_back({"a lost datagram", packets(0, 40), {1472}, {2}, cat({packets(0, 15), packets(24, 40)}), false,
               124 + 96});
  c.push_back({"only garbage", garbage(5000, true), {1472}, {}, {}, false, 5000});
  return c;
}

TEST(TsAlign, Table) {
  for (const AlignCase& t : align_cases()) {
    SCOPED_TRACE(t.name);
    AlignRun r;
    run(t.stream, t.sizes, r, t.lost);
    EXPECT_EQ(r.all, t.expect);
    for (const Bytes& e : r.entries) {
      ASSERT_GT(e.size(), 0u);
      ASSERT_LE(e.size(), 1316u);
      ASSERT_EQ(e.size() % 188, 0u);
      for (std::size_t i = 0; i < e.size(); i += 188) ASSERT_EQ(e[i], 0x47);
    }
    if (t.clean) {
      std::vector<int> sizes;
      for (const Bytes& e : r.entries) sizes.push_back(static_cast<int>(e.size()));
      EXPECT_EQ(sizes, clean_entry_sizes(t.stream.size(), t.sizes));
    }
    EXPECT_EQ(r.a.dropped, t.dropped);
    EXPECT_EQ(r.a.fed, r.a.emitted + r.a.dropped + static_cast<uint64_t>(r.a.carry_len + r.a.entry_len));
    EXPECT_EQ(r.a.emitted, t.expect.size());
  }
}

TEST(TsAlign, CarryOfA1472ByteDatagramIsCompletedByTheNext) {
  const Bytes s = packets(0, 16);
  AlignRun r;
  kx::ts_align_reset(r.a);
  kx::ts_align_feed(r.a, s.data(), 1472, collect, &r);
  // Seven packets go out at once; 156 bytes wait for the rest of the eighth.
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].size(), 1316u);
  EXPECT_EQ(r.a.carry_len, 156);
  kx::ts_align_flush(r.a, collect, &r);
  EXPECT_EQ(r.entries.size(), 1u);  // nothing pending: no empty entry
  kx::ts_align_feed(r.a, s.data() + 1472, 32, collect, &r);
  EXPECT_EQ(r.a.entry_len, 188);
  kx::ts_align_flush(r.a, collect, &r);
  ASSERT_EQ(r.entries.size(), 2u);
  EXPECT_EQ(r.entries[1], Bytes(s.begin() + 1316, s.begin() + 1504));
}

TEST(TsAlign, ResetForgetsCarryAndSync) {
  const Bytes s = packets(0, 4);
  AlignRun r;
  kx::ts_align_feed(r.a, s.data(), 300, collect, &r);
  EXPECT_TRUE(r.a.locked);
  EXPECT_GT(r.a.carry_len, 0);
  kx::ts_align_reset(r.a);
  EXPECT_FALSE(r.a.locked);
  EXPECT_EQ(r.a.carry_len, 0);
  EXPECT_EQ(r.a.entry_len, 0);
  EXPECT_EQ(r.a.fed, 0u);
}

// ---- RTP ----

Bytes rtp(uint8_t b0, int payload, std::initializer_list<uint8_t> middle = {}, int pad = 0) {
  Bytes p = {b0, 0x21, 0x12, 0x34, 0, 0, 0x10, 0, 0xCA, 0xFE, 0xBA, 0xBE};
  p.insert(p.end(), middle);
  for (int i = 0; i < payload; ++i) p.push_back(static_cast<uint8_t>(i));
  for (int i = 1; i <= pad; ++i) p.push_back(i == pad ? static_cast<uint8_t>(pad) : 0);
  return p;
}

struct RtpCase {
  const char* name;
  Bytes packet;
  int ok;
  int offset;
  int length;
};

std::vector<RtpCase> rtp_cases() {
  const std::initializer_list<uint8_t> two_csrcs = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::initializer_list<uint8_t> ext_1word = {0xBE, 0xDE, 0x00, 0x01, 9, 9, 9, 9};
  const std::initializer_list<uint8_t> csrc_and_ext = {1, 2, 3, 4, 0x10, 0x00, 0x00, 0x02, 1, 1, 1, 1, 2, 2, 2, 2};
  std::vector<RtpCase> c;
  c.push_back({"plain, 7 TS packets", rtp(0x80, 1316), 1, 12, 1316});
  c.push_back({"two CSRCs", rtp(0x82, 188, two_csrcs), 1, 20, 188});
  c.push_back({"extension of one word", rtp(0x90, 188, ext_1word), 1, 20, 188});
  c.push_back({"CSRC and a two-word extension", rtp(0x91, 376, csrc_and_ext), 1, 28, 376});
  c.push_back({"padding of 4", rtp(0xA0, 188, {}, 4), 1, 12, 188});
  c.push_back({"padding of 1", rtp(0xA0, 188, {}, 1), 1, 12, 188});
  c.push_back({"empty payload", rtp(0x80, 0), 1, 12, 0});
  c.push_back({"padding is the whole payload", rtp(0xA0, 0, {}, 3), 1, 12, 0});
  c.push_back({"version 1", rtp(0x40, 188), 0, 0, 0});
  c.push_back({"version 0", rtp(0x00, 188), 0, 0, 0});
  c.push_back({"version 3", rtp(0xC0, 188), 0, 0, 0});
  c.push_back({"a TS packet is not RTP", packet(0), 0, 0, 0});
  Bytes short_header = rtp(0x80, 0);
  short_header.pop_back();
  c.push_back({"11 bytes", short_header, 0, 0, 0});
  c.push_back({"empty", Bytes{}, 0, 0, 0});
  c.push_back({"CSRC list beyond the end", rtp(0x8F, 8), 0, 0, 0});
  c.push_back({"extension header cut", rtp(0x90, 0, {0xBE, 0xDE}), 0, 0, 0});
  c.push_back({"extension longer than the packet", rtp(0x90, 4, {0xBE, 0xDE, 0x00, 0x02}), 0, 0, 0});
  Bytes zero_pad = rtp(0xA0, 188);
  zero_pad.back() = 0;
  c.push_back({"padding count 0", zero_pad, 0, 0, 0});
  Bytes big_pad = rtp(0xA0, 10);
  big_pad.back() = 11;
  c.push_back({"padding beyond the payload", big_pad, 0, 0, 0});
  return c;
}

TEST(RtpHeader, Table) {
  for (const RtpCase& t : rtp_cases()) {
    SCOPED_TRACE(t.name);
    kx::RtpPacket p;
    p.payload_len = 99;
    ASSERT_EQ(kx::rtp_parse(t.packet.data(), t.packet.size(), p), t.ok);
    EXPECT_EQ(p.payload_offset, t.offset);
    EXPECT_EQ(p.payload_len, t.length);
    if (t.ok) {
      EXPECT_LE(static_cast<std::size_t>(p.payload_offset + p.payload_len + p.padding), t.packet.size());
      if (t.length > 0) {
        EXPECT_EQ(t.packet[static_cast<std::size_t>(t.offset)], 0);  // payload byte 0
      }
    }
  }
}

TEST(RtpHeader, FieldsAndFirstWord) {
  const Bytes p = rtp(0x80, 1316);
  kx::RtpPacket r;
  ASSERT_EQ(kx::rtp_parse(p.data(), p.size(), r), 1);
  EXPECT_EQ(r.first_word, 0x80211234u);
  EXPECT_EQ(r.payload_type, 33);
  EXPECT_FALSE(r.marker);
  EXPECT_EQ(r.sequence, 0x1234);
  EXPECT_EQ(r.timestamp, 0x1000u);
  EXPECT_EQ(r.ssrc, 0xCAFEBABEu);
  EXPECT_EQ(kx::rtp_parse(nullptr, 100, r), 0);
}

// The payload of RTP packets runs through the realigner like plain UDP: the packets
// ffmpeg's RTP muxer sends (7 TS packets after a 12-byte header) give the stream back.
TEST(RtpHeader, PayloadsRealignToTheStream) {
  const Bytes s = packets(0, 35);
  AlignRun r;
  kx::ts_align_reset(r.a);
  for (std::size_t off = 0; off < s.size(); off += 1316) {
    Bytes pkt = rtp(0x80, 0);
    pkt.insert(pkt.end(), s.begin() + static_cast<long>(off), s.begin() + static_cast<long>(off + 1316));
    kx::RtpPacket h;
    ASSERT_EQ(kx::rtp_parse(pkt.data(), pkt.size(), h), 1);
    kx::ts_align_feed(r.a, pkt.data() + h.payload_offset, static_cast<std::size_t>(h.payload_len), collect, &r);
    kx::ts_align_flush(r.a, collect, &r);
  }
  EXPECT_EQ(r.all, s);
  EXPECT_EQ(r.entries.size(), 5u);
}

}  // namespace
