// The chunk reassembler: a table of chunk streams written by hand, each fed whole, one
// byte at a time and in random splits, must give the same messages; malformed or
// oversized input is an error.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "rtmp/chunk_reader.h"
#include "rtmp/chunk_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Got {
  uint32_t csid;
  uint8_t type;
  uint32_t stream_id;
  uint32_t timestamp;
  Bytes body;
  bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
  return os << "{cs " << g.csid << " type " << int(g.type) << " sid " << g.stream_id << " ts " << g.timestamp
            << " len " << g.body.size() << "}";
}

bool collect(void* user, const kx::RtmpMessage& m) {
  static_cast<std::vector<Got>*>(user)->push_back({m.csid, m.type, m.stream_id, m.timestamp, Bytes(m.body, m.body + m.length)});
  return true;
}

Bytes pattern(std::size_t n, uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

void add(Bytes& out, std::initializer_list<int> v) {
  for (int x : v) out.push_back(static_cast<uint8_t>(x));
}
void add(Bytes& out, const Bytes& v) { out.insert(out.end(), v.begin(), v.end()); }
void add(Bytes& out, const Bytes& v, std::size_t from, std::size_t n) {
  out.insert(out.end(), v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

// Feeds the stream in pieces whose sizes come from split(): all of it must be consumed.
std::vector<Got> run(const Bytes& in, kx::RtmpChunkReader& r, const std::function<std::size_t()>& split) {
  std::vector<Got> got;
  for (std::size_t off = 0; off < in.size() && !r.failed();) {
    std::size_t n = split();
    if (n > in.size() - off) n = in.size() - off;
    const Bytes piece(in.begin() + static_cast<long>(off), in.begin() + static_cast<long>(off + n));
    const std::size_t used = r.feed(piece.data(), piece.size(), collect, &got);
    if (!r.failed()) {
      EXPECT_EQ(used, n);
    }
    off += n;
  }
  return got;
}

struct Case {
  std::string name;
  Bytes in;
  std::vector<Got> want;
  bool error = false;
  uint32_t chunk_size_after = 128;
};

void chunking_cases(std::vector<Case>& t) {
  const Bytes b300 = pattern(300, 1), b256 = pattern(256, 2), b10 = pattern(10, 3), b5 = pattern(5, 4);
  {
    Case c{"fmt0 single chunk, little-endian stream id", {}, {}};
    add(c.in, {0x03, 0, 0, 100, 0, 0, 10, 20, 0x01, 0, 0, 0});
    add(c.in, b10);
    c.want = {{3, 20, 1, 100, b10}};
    t.push_back(c);
  }
  {
    Case c{"fmt0 over three chunks of 128", {}, {}};
    add(c.in, {0x06, 0, 0, 0, 0, 0x01, 0x2C, 9, 1, 0, 0, 0});
    add(c.in, b300, 0, 128);
    add(c.in, {0xC6});
    add(c.in, b300, 128, 128);
    add(c.in, {0xC6});
    add(c.in, b300, 256, 44);
    c.want = {{6, 9, 1, 0, b300}};
    t.push_back(c);
  }
  {
    Case c{"length an exact multiple of the chunk size", {}, {}};
    add(c.in, {0x04, 0, 0, 5, 0, 0x01, 0x00, 8, 1, 0, 0, 0});
    add(c.in, b256, 0, 128);
    add(c.in, {0xC4});
    add(c.in, b256, 128, 128);
    // The next message starts right after: no continuation byte for a third chunk.
    add(c.in, {0x84, 0, 0, 7});
    add(c.in, b256, 0, 128);
    add(c.in, {0xC4});
    add(c.in, b256, 128, 128);
    c.want = {{4, 8, 1, 5, b256}, {4, 8, 1, 12, b256}};
    t.push_back(c);
  }
}

void clock_cases(std::vector<Case>& t) {
  const Bytes b300 = pattern(300, 1), b256 = pattern(256, 2), b10 = pattern(10, 3), b5 = pattern(5, 4);
  {
    Case c{"fmt1 and fmt2 deltas, fmt3 repeats the last delta", {}, {}};
    add(c.in, {0x05, 0, 0x03, 0xE8, 0, 0, 5, 8, 2, 0, 0, 0});  // ts 1000
    add(c.in, b5);
    add(c.in, {0x45, 0, 0, 20, 0, 0, 10, 9});  // +20, new length and type
    add(c.in, b10);
    add(c.in, {0x85, 0, 0, 30});  // +30
    add(c.in, b10);
    add(c.in, {0xC5});  // +30 again
    add(c.in, b10);
    add(c.in, {0x85, 0, 0, 0});  // a zero delta stays zero
    add(c.in, b10);
    add(c.in, {0xC5});
    add(c.in, b10);
    c.want = {{5, 8, 2, 1000, b5}, {5, 9, 2, 1020, b10}, {5, 9, 2, 1050, b10},
              {5, 9, 2, 1080, b10}, {5, 9, 2, 1080, b10}, {5, 9, 2, 1080, b10}};
    t.push_back(c);
  }
  {
    Case c{"fmt3 after fmt0 takes its timestamp as the delta", {}, {}};
    add(c.in, {0x05, 0, 0, 40, 0, 0, 5, 8, 1, 0, 0, 0});
    add(c.in, b5);
    add(c.in, {0xC5});
    add(c.in, b5);
    c.want = {{5, 8, 1, 40, b5}, {5, 8, 1, 80, b5}};
    t.push_back(c);
  }
  {
    Case c{"two- and three-byte basic headers", {}, {}};
    add(c.in, {0x00, 0x00, 0, 0, 9, 0, 0, 5, 18, 0, 0, 0, 0});  // cs 64
    add(c.in, b5);
    add(c.in, {0x01, 0xFF, 0xFF, 0, 0, 9, 0, 0, 5, 18, 0, 0, 0, 0});  // cs 65599
    add(c.in, b5);
    add(c.in, {0x00, 0xFF, 0, 0, 1, 0, 0x00, 0x96, 9, 0, 0, 0, 0});  // cs 319, 150 bytes
    add(c.in, b300, 0, 128);
    add(c.in, {0xC0, 0xFF});
    add(c.in, b300, 128, 22);
    c.want = {{64, 18, 0, 9, b5}, {65599, 18, 0, 9, b5}, {319, 9, 0, 1, Bytes(b300.begin(), b300.begin() + 150)}};
    t.push_back(c);
  }
}

void stream_cases(std::vector<Case>& t) {
  const Bytes b300 = pattern(300, 1), b256 = pattern(256, 2), b10 = pattern(10, 3), b5 = pattern(5, 4);
  {
    Case c{"extended timestamps on fmt 0, 1, 2 and 3", {}, {}};
    add(c.in, {0x06, 0xFF, 0xFF, 0xFF, 0, 0x00, 0x96, 9, 1, 0, 0, 0, 0x01, 0x00, 0x00, 0x00});  // ts 2^24
    add(c.in, b300, 0, 128);
    add(c.in, {0xC6, 0x01, 0x00, 0x00, 0x00});  // the continuation repeats the field
    add(c.in, b300, 128, 22);
    add(c.in, {0xC6, 0x01, 0x00, 0x00, 0x00});  // a new message: the field is the delta
    add(c.in, b5, 0, 0);
    add(c.in, b300, 0, 128);
    add(c.in, {0xC6, 0x01, 0x00, 0x00, 0x00});
    add(c.in, b300, 128, 22);
    add(c.in, {0x46, 0xFF, 0xFF, 0xFF, 0, 0, 5, 8, 0x00, 0x00, 0x10, 0x00});  // fmt1 delta 4096
    add(c.in, b5);
    add(c.in, {0xC6, 0x00, 0x00, 0x10, 0x00});  // fmt3 with the last header's extended field
    add(c.in, b5);
    add(c.in, {0x86, 0, 0, 1});  // fmt2 with a plain delta: fmt 3 no longer carries the field
    add(c.in, b5);
    add(c.in, {0xC6});
    add(c.in, b5);
    const Bytes m150(b300.begin(), b300.begin() + 150);
    c.want = {{6, 9, 1, 1u << 24, m150}, {6, 9, 1, 2u << 24, m150}, {6, 8, 1, (2u << 24) + 4096, b5},
              {6, 8, 1, (2u << 24) + 8192, b5}, {6, 8, 1, (2u << 24) + 8193, b5}, {6, 8, 1, (2u << 24) + 8194, b5}};
    t.push_back(c);
  }
  {
    Case c{"interleaved chunk streams", {}, {}};
    add(c.in, {0x06, 0, 0, 10, 0, 0x01, 0x2C, 9, 1, 0, 0, 0});  // video 300
    add(c.in, b300, 0, 128);
    add(c.in, {0x04, 0, 0, 11, 0, 0x01, 0x00, 8, 1, 0, 0, 0});  // audio 256
    add(c.in, b256, 0, 128);
    add(c.in, {0xC6});
    add(c.in, b300, 128, 128);
    add(c.in, {0x03, 0, 0, 0, 0, 0, 5, 20, 0, 0, 0, 0});  // a whole command in between
    add(c.in, b5);
    add(c.in, {0xC4});
    add(c.in, b256, 128, 128);
    add(c.in, {0xC6});
    add(c.in, b300, 256, 44);
    c.want = {{3, 20, 0, 0, b5}, {4, 8, 1, 11, b256}, {6, 9, 1, 10, b300}};
    t.push_back(c);
  }
  {
    Case c{"set chunk size applies to the next chunk, other streams included", {}, {}};
    add(c.in, {0x06, 0, 0, 0, 0, 0x01, 0x2C, 9, 1, 0, 0, 0});  // video 300, first 128
    add(c.in, b300, 0, 128);
    add(c.in, {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0x10, 0x00});  // chunk size 4096
    add(c.in, {0xC6});
    add(c.in, b300, 128, 172);  // the rest in one chunk now
    c.want = {{2, 1, 0, 0, {0, 0, 0x10, 0}}, {6, 9, 1, 0, b300}};
    c.chunk_size_after = 4096;
    t.push_back(c);
  }
  {
    Case c{"zero-length message and abort", {}, {}};
    add(c.in, {0x03, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 0});
    add(c.in, {0x06, 0, 0, 0, 0, 0x01, 0x2C, 9, 1, 0, 0, 0});
    add(c.in, b300, 0, 128);
    add(c.in, {0x02, 0, 0, 0, 0, 0, 4, 2, 0, 0, 0, 0, 0, 0, 0, 6});  // abort cs 6
    add(c.in, {0x46, 0, 0, 1, 0, 0, 5, 9});  // a fresh message on cs 6 is then allowed
    add(c.in, b5);
    c.want = {{3, 20, 0, 0, {}}, {2, 2, 0, 0, {0, 0, 0, 6}}, {6, 9, 1, 1, b5}};
    t.push_back(c);
  }
}

void error_cases(std::vector<Case>& t) {
  const Bytes b300 = pattern(300, 1), b256 = pattern(256, 2), b10 = pattern(10, 3), b5 = pattern(5, 4);
  auto err = [&](std::string name, Bytes in) {
    Case c{std::move(name), std::move(in), {}};
    c.error = true;
    t.push_back(c);
  };
  err("set chunk size 0", {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0});
  err("set chunk size with the top bit", {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0x80, 0, 0, 1});
  err("set chunk size above 2^24", {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0x01, 0, 0, 1});
  err("set chunk size too short", {0x02, 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 1});
  err("command longer than the cap", {0x03, 0, 0, 0, 0x01, 0x00, 0x01, 20, 0, 0, 0, 0});
  err("media longer than the cap", {0x06, 0, 0, 0, 0x20, 0x00, 0x01, 9, 1, 0, 0, 0});
  err("fmt 3 on an unknown chunk stream", {0xC7, 1, 2, 3});
  err("fmt 2 on an unknown chunk stream", {0x87, 0, 0, 1, 1});
  {
    Bytes in;
    add(in, {0x06, 0, 0, 0, 0, 0x01, 0x2C, 9, 1, 0, 0, 0});
    add(in, b300, 0, 128);
    add(in, {0x06, 0, 0, 0, 0, 0, 5, 9, 1, 0, 0, 0});
    err("full header inside an unfinished message", in);
  }
  {
    Bytes in;
    for (int cs = 2; cs < 2 + kx::kRtmpMaxChunkStreams + 1; ++cs) add(in, {0x00, cs, 0, 0, 0, 0, 0, 0, 18, 0, 0, 0, 0});
    err("more chunk streams than the table holds", in);
  }
}

std::vector<Case> cases() {
  std::vector<Case> t;
  chunking_cases(t);
  clock_cases(t);
  stream_cases(t);
  error_cases(t);
  return t;
}

kx::RtmpReaderLimits small_limits() {
  kx::RtmpReaderLimits l;
  l.command_max = 65536;
  l.media_max = 1 << 20;
  return l;
}

TEST(RtmpChunkReader, CasesInAnySplits) {
  std::mt19937 rng(12345);
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    for (int mode = 0; mode < 12; ++mode) {
      kx::RtmpChunkReader r(small_limits());
      std::function<std::size_t()> split;
      if (mode == 0) split = [&] { return c.in.size(); };
      else if (mode == 1) split = [] { return std::size_t{1}; };
      else split = [&] { return std::size_t{1} + rng() % 40; };
      const std::vector<Got> got = run(c.in, r, split);
      EXPECT_EQ(r.failed(), c.error) << "mode " << mode << " error " << r.error();
      if (!c.error) {
        EXPECT_EQ(got, c.want) << "mode " << mode;
        EXPECT_EQ(r.chunk_size(), c.chunk_size_after);
        EXPECT_EQ(r.bytes_fed(), c.in.size());
      }
    }
  }
}

TEST(RtmpChunkReader, ErrorIsStickyAndStopsConsuming) {
  kx::RtmpChunkReader r;
  const Bytes bad = {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0};
  std::vector<Got> got;
  EXPECT_EQ(r.feed(bad.data(), bad.size(), collect, &got), 16u);
  EXPECT_TRUE(r.failed());
  EXPECT_TRUE(got.empty()) << "an invalid chunk size is not handed on";
  EXPECT_EQ(r.feed(bad.data(), bad.size(), collect, &got), 0u);
}

bool stop_after_one(void* user, const kx::RtmpMessage&) {
  ++*static_cast<int*>(user);
  return false;
}

TEST(RtmpChunkReader, CallbackCanStopTheFeed) {
  Bytes in;
  add(in, {0x03, 0, 0, 0, 0, 0, 1, 20, 0, 0, 0, 0, 0xAA});
  add(in, {0x03, 0, 0, 0, 0, 0, 1, 20, 0, 0, 0, 0, 0xBB});
  kx::RtmpChunkReader r;
  int n = 0;
  EXPECT_EQ(r.feed(in.data(), in.size(), stop_after_one, &n), 13u);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(r.feed(in.data() + 13, in.size() - 13, stop_after_one, &n), 13u);
  EXPECT_EQ(n, 2);
}

// What the writer chunks, the reader reassembles, for every form, chunk size and a length
// on either side of each multiple.
TEST(RtmpChunkReader, ReadsWhatTheWriterWrites) {
  std::mt19937 rng(7);
  for (uint32_t chunk : {1u, 2u, 128u, 1452u, 4096u}) {
    for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{127}, std::size_t{128}, std::size_t{129},
                            std::size_t{1452}, std::size_t{2904}, std::size_t{4097}, std::size_t{9000}}) {
      SCOPED_TRACE("chunk " + std::to_string(chunk) + " len " + std::to_string(len));
      Bytes in;
      // The reader announces the chunk size first, as a peer would.
      if (chunk != 128) {
        const uint8_t cs[4] = {uint8_t(chunk >> 24), uint8_t(chunk >> 16), uint8_t(chunk >> 8), uint8_t(chunk)};
        ASSERT_TRUE(kx::rtmp_append_message(in, kx::rtmp_form::control(1), cs, 4, 128));
      }
      const Bytes body = pattern(len, static_cast<uint8_t>(len));
      ASSERT_TRUE(kx::rtmp_append_message(in, kx::rtmp_form::media_full(7, 9, 0x1000000), body.data(), len, chunk));
      ASSERT_TRUE(kx::rtmp_append_message(in, kx::rtmp_form::media_delta(7, 9, 40), body.data(), len, chunk));
      ASSERT_TRUE(kx::rtmp_append_message(in, kx::rtmp_form::command(0), body.data(), len, chunk));
      kx::RtmpChunkReader r(small_limits());
      const std::vector<Got> got = run(in, r, [&] { return std::size_t{1} + rng() % 300; });
      ASSERT_FALSE(r.failed()) << r.error();
      const std::size_t first = chunk != 128 ? 1 : 0;
      ASSERT_EQ(got.size(), first + 3);
      EXPECT_EQ(got[first], (Got{7, 9, 1, 0x1000000, body}));
      EXPECT_EQ(got[first + 1], (Got{7, 9, 1, 0x1000000 + 40, body}));
      EXPECT_EQ(got[first + 2], (Got{3, 20, 0, 0, body}));
    }
  }
}

TEST(RtmpChunkReader, UnfinishedMessagesAreBoundedTogether) {
  kx::RtmpReaderLimits l;
  l.media_max = 1 << 20;
  l.pending_max = 3 << 20;
  kx::RtmpChunkReader r(l);
  Bytes in;
  // Three 1 MiB video messages begun on three chunk streams fit; a fourth does not.
  for (int cs = 4; cs < 8; ++cs) {
    add(in, {cs, 0, 0, 0, 0x10, 0x00, 0x00, 9, 1, 0, 0, 0});
    add(in, Bytes(128, 0xEE));
  }
  std::vector<Got> got;
  r.feed(in.data(), in.size(), collect, &got);
  EXPECT_TRUE(r.failed());
  EXPECT_STREQ(r.error(), "unfinished messages hold too much");
}

}  // namespace
