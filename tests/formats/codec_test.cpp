// The codec half of the media routines: H.264 parameter sets, ADTS, AMF0, FLV headers
// and tags, and the MP4 and FLV file probes. Real media comes from ffmpeg at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "formats/aac.h"
#include "formats/amf0.h"
#include "formats/flv.h"
#include "formats/flv_probe.h"
#include "formats/h264.h"
#include "formats/mp4_probe.h"
#include "support/harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}

Bytes load(const std::string& path) {
  std::string s = kxt::slurp(path);
  return Bytes(s.begin(), s.end());
}

void save(const std::string& path, const Bytes& b) { kxt::spit(path, std::string(b.begin(), b.end())); }

void append(Bytes& to, const Bytes& b) { to.insert(to.end(), b.begin(), b.end()); }

std::string hex(const uint8_t* p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(d[p[i] >> 4]);
    s.push_back(d[p[i] & 15]);
  }
  return s;
}

bool ffmpeg(std::vector<std::string> args) {
  args.insert(args.begin(), {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"});
  return kxt::run_tool(args, 120000) != "<failed>";
}

double ffprobe_duration(const std::string& path) {
  std::string out = kxt::run_tool(
      {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
  return out == "<failed>" ? -1 : std::atof(out.c_str());
}

// Position of a byte pattern, or npos.
size_t find(const Bytes& b, const std::string& pat, size_t from = 0) {
  auto it = std::search(b.begin() + static_cast<long>(std::min(from, b.size())), b.end(), pat.begin(), pat.end(),
                        [](uint8_t x, char y) { return x == static_cast<uint8_t>(y); });
  return it == b.end() ? std::string::npos : static_cast<size_t>(it - b.begin());
}

// Media made once for the whole run: a two-second clip with and without x264's SEI,
// as MP4 (plain and fast-start), MPEG-TS, raw Annex B and FLV.
struct Media {
  kxt::TempDir dir;
  bool ok = false;
  std::string sei_mp4, clean_mp4, fast_mp4, sei_ts, clean_ts, sei_h264, clean_h264, clean_flv, rated_flv;

  Media() {
    sei_mp4 = dir / "sei.mp4";
    clean_mp4 = dir / "clean.mp4";
    fast_mp4 = dir / "fast.mp4";
    sei_ts = dir / "sei.ts";
    clean_ts = dir / "clean.ts";
    sei_h264 = dir / "sei.h264";
    clean_h264 = dir / "clean.h264";
    clean_flv = dir / "clean.flv";
    rated_flv = dir / "rated.flv";
    const std::vector<std::string> src = {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10", "-f", "lavfi",
                                          "-i", "sine=frequency=440:sample_rate=44100", "-t", "2"};
    const std::vector<std::string> enc = {"-c:v", "libx264", "-preset", "veryfast", "-g", "10", "-b:v", "200k",
                                          "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2", "-b:a", "64k"};
    auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
      a.insert(a.end(), b.begin(), b.end());
      return a;
    };
    ok = ffmpeg(join(join(src, enc), {sei_mp4})) &&
         ffmpeg(join(join(src, enc), {"-bsf:v", "filter_units=remove_types=6", clean_mp4})) &&
         ffmpeg({"-i", clean_mp4, "-c", "copy", "-movflags", "+faststart", fast_mp4}) &&
         ffmpeg({"-i", sei_mp4, "-c", "copy", "-f", "mpegts", sei_ts}) &&
         ffmpeg({"-i", clean_mp4, "-c", "copy", "-f", "mpegts", clean_ts}) &&
         ffmpeg({"-i", sei_mp4, "-c:v", "copy", "-bsf:v", "h264_mp4toannexb", "-an", "-f", "h264", sei_h264}) &&
         ffmpeg({"-i", clean_mp4, "-c:v", "copy", "-bsf:v", "h264_mp4toannexb", "-an", "-f", "h264", clean_h264}) &&
         ffmpeg({"-i", clean_mp4, "-c", "copy", "-f", "flv", clean_flv}) &&
         ffmpeg(join(join(src, enc), {"-f", "flv", rated_flv}));
  }
};

const Media& media() {
  static Media m;
  return m;
}

#define REQUIRE_MEDIA() ASSERT_TRUE(media().ok) << "ffmpeg could not make the test media"

// Offset of the first NAL unit's start code in Annex B bytes that is neither an access
// unit delimiter nor an SEI (both may lead a stream), found without the code under test.
size_t first_parameter_set(const Bytes& es) {
  size_t i = 0;
  while (i + 4 < es.size()) {
    size_t sc = 0;
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 0 && es[i + 3] == 1) sc = 4;
    else if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) sc = 3;
    if (sc == 0) {
      ++i;
      continue;
    }
    int type = es[i + sc] & 0x1F;
    if (type != 9 && type != 6) return i;
    i += sc;
  }
  return es.size();
}

// ---------------------------------------------------------------- H.264 basics

struct StartCodeCase {
  const char* what;
  Bytes in;
  int expect;
};

TEST(H264StartCode, Table) {
  const StartCodeCase cases[] = {
      {"three-byte at 0", bytes({0, 0, 1, 0x65, 1, 2, 3, 4}), 3},
      {"four-byte at 0", bytes({0, 0, 0, 1, 0x67, 1, 2, 3}), 4},
      {"after a byte", bytes({0xAA, 0, 0, 1, 0x65, 1, 2, 3}), 4},
      {"five bytes before the end", bytes({0x11, 0x22, 0x33, 0, 0, 1, 0x65, 0x77}), 6},
      {"only in the last 4 bytes", bytes({0x11, 0x22, 0x33, 0x44, 0, 0, 1, 0x65}), 0},
      {"four-byte, only in the last 4", bytes({0x11, 0x22, 0x33, 0x44, 0, 0, 0, 1}), 0},
      {"00 00 02 is none", bytes({0, 0, 2, 0, 0, 3, 1, 1, 1, 1}), 0},
      {"second of two", bytes({0, 0, 2, 0, 0, 1, 0x41, 9, 9}), 6},
      {"empty", Bytes{}, 0},
      {"shorter than a code", bytes({0, 0, 1}), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(kx::h264_find_start_code(c.in.data(), static_cast<int>(c.in.size())), c.expect);
  }
  EXPECT_EQ(kx::h264_find_start_code(nullptr, 100), 0);
}

TEST(H264NalLength, TableAndBound) {
  Bytes long_unit(2000, 0x11);
  Bytes code_after_bound(1400, 0x22);
  code_after_bound[1320] = 0;
  code_after_bound[1321] = 0;
  code_after_bound[1322] = 1;
  Bytes code_inside(1400, 0x33);
  code_inside[1000] = 0;
  code_inside[1001] = 0;
  code_inside[1002] = 1;
  const StartCodeCase cases[] = {
      {"three-byte code ends it", bytes({0x65, 0x11, 0x22, 0, 0, 1, 0x41}), 3},
      {"four-byte code ends it", bytes({0x67, 0x11, 0, 0, 0, 1, 0x68}), 2},
      {"emulation prevention is inside", bytes({0x65, 0, 0, 3, 0, 0, 1, 0x41}), 4},
      {"runs to the end", bytes({0x68, 0x11, 0x22}), 3},
      {"bounded at 1316", long_unit, kx::kNalMaxLength},
      {"code past the bound", code_after_bound, kx::kNalMaxLength},
      {"code inside the bound", code_inside, 1000},
      {"empty", Bytes{}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(kx::h264_nal_length(c.in.data(), static_cast<int>(c.in.size())), c.expect);
  }
}

TEST(H264FrameStart, Table) {
  const StartCodeCase cases[] = {
      {"AUD SPS PPS then IDR", bytes({0, 0, 0, 1, 9, 0xF0, 0, 0, 0, 1, 0x67, 1, 2, 3, 0, 0, 0, 1, 0x68, 1, 0, 0, 1,
                                      0x65, 0x88, 0x84, 0, 0x11}),
       20},
      {"four-byte code of an IDR", bytes({0, 0, 0, 1, 0x67, 1, 2, 3, 0, 0, 0, 1, 0x65, 0x88, 0x84, 0x11}), 8},
      {"SEI counts", bytes({0, 0, 0, 1, 9, 0xF0, 0, 0, 1, 6, 5, 1, 0x80, 0x11}), 6},
      {"non-IDR slice", bytes({0, 0, 1, 0x41, 0x9A, 0x11, 0x22, 0x33}), 0},
      {"reference bits ignored", bytes({0x55, 0, 0, 1, 0x25, 0x88, 0x11, 0x22}), 1},
      {"parameter sets only", bytes({0, 0, 0, 1, 0x67, 1, 2, 3, 0, 0, 0, 1, 0x68, 1, 2, 3}), -1},
      {"no start code", bytes({0x65, 0x88, 0x84, 0x11, 0x22}), -1},
      {"empty", Bytes{}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(kx::h264_find_frame_start(c.in.data(), static_cast<int>(c.in.size())), c.expect);
  }
}

// ---------------------------------------------------------------- AVC sequence header

const Bytes kSps = bytes({0x67, 0x64, 0x00, 0x0C, 0xAC, 0xD9, 0x42, 0x84, 0x7E, 0x5C, 0x04, 0x40});
const Bytes kPps = bytes({0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0});

Bytes annexb_of(const kx::AvcConfig& cfg, int offset = 0) {
  Bytes out(4096);
  int n = kx::avc_config_to_annexb(cfg.header + offset, cfg.len - offset, out.data(), static_cast<int>(out.size()));
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

Bytes annexb_pair(const Bytes& sps, const Bytes& pps) {
  Bytes b = bytes({0, 0, 0, 1});
  append(b, sps);
  append(b, bytes({0, 0, 0, 1}));
  append(b, pps);
  return b;
}

TEST(H264SequenceHeader, BuildLayoutAndAnnexB) {
  kx::AvcConfig cfg;
  ASSERT_EQ(kx::avc_config_build(kSps.data(), static_cast<int>(kSps.size()), kPps.data(),
                                 static_cast<int>(kPps.size()), cfg),
            1);
  ASSERT_EQ(cfg.len, static_cast<int>(16 + kSps.size() + kPps.size()));
  Bytes expect = bytes({0x17, 0, 0, 0, 0, 1, 0x64, 0x00, 0x0C, 0xFF, 0xE1, 0, 12});
  append(expect, kSps);
  append(expect, bytes({1, 0, 6}));
  append(expect, kPps);
  EXPECT_EQ(hex(cfg.header, static_cast<size_t>(cfg.len)), hex(expect.data(), expect.size()));
  Bytes ab = annexb_of(cfg);
  EXPECT_EQ(ab.size(), kSps.size() + kPps.size() + 8);
  EXPECT_EQ(ab, annexb_pair(kSps, kPps));
}

TEST(H264SequenceHeader, BuildBounds) {
  Bytes big_sps(1300, 0x55), big_pps(1300, 0x55);
  big_sps[0] = 0x67;
  big_pps[0] = 0x68;
  struct Case {
    const char* what;
    int sps_len, pps_len;
    int expect;
  } cases[] = {
      {"fits exactly", 1300, 136, 1},    // 16 + 1436 = 1452
      {"one byte over", 1300, 137, 0},
      {"SPS shorter than its fixed bytes", 3, 6, 0},
      {"empty PPS", 12, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kx::AvcConfig cfg;
    cfg.len = 99;
    EXPECT_EQ(kx::avc_config_build(big_sps.data(), c.sps_len, big_pps.data(), c.pps_len, cfg), c.expect);
    EXPECT_EQ(cfg.len, c.expect ? 16 + c.sps_len + c.pps_len : 0);
  }
  kx::AvcConfig cfg;
  EXPECT_EQ(kx::avc_config_build(kPps.data(), 6, kSps.data(), 12, cfg), 0) << "swapped NAL types";
}

TEST(H264SequenceHeader, AnnexBRejectsMalformedBodies) {
  kx::AvcConfig good;
  ASSERT_EQ(kx::avc_config_build(kSps.data(), 12, kPps.data(), 6, good), 1);
  const Bytes base(good.header, good.header + good.len);
  struct Case {
    const char* what;
    int index;  // byte to change, -1 none
    int value;
    int cut;    // bytes taken off the end
    int cap;
  } cases[] = {
      {"whole", -1, 0, 0, 4096},
      {"not AVC", 0, 0x12, 0, 4096},
      {"not a sequence header", 1, 0x01, 0, 4096},
      {"configuration version 0", 5, 0, 0, 4096},
      {"no SPS listed", 10, 0xE0, 0, 4096},
      {"SPS length past the body", 12, 200, 0, 4096},
      {"SPS length 0", 12, 0, 0, 4096},
      {"PPS length past the body", 27, 7, 0, 4096},
      {"no PPS listed", 25, 0, 0, 4096},
      {"cut inside the PPS", -1, 0, 1, 4096},
      {"cut before the PPS count", -1, 0, 9, 4096},
      {"shorter than the fixed part", -1, 0, static_cast<int>(base.size()) - 10, 4096},
      {"output one byte short", -1, 0, 0, 25},
      {"output just enough", -1, 0, 0, 26},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = base;
    if (c.index >= 0) b[static_cast<size_t>(c.index)] = static_cast<uint8_t>(c.value);
    b.resize(b.size() - static_cast<size_t>(c.cut));
    Bytes out(static_cast<size_t>(c.cap) + 16, 0xCC);
    int n = kx::avc_config_to_annexb(b.data(), static_cast<int>(b.size()), out.data(), c.cap);
    bool ok = c.index < 0 && c.cut == 0 && c.cap >= 26;
    EXPECT_EQ(n, ok ? 26 : 0);
    for (size_t i = static_cast<size_t>(c.cap); i < out.size(); ++i) ASSERT_EQ(out[i], 0xCC) << "wrote past the room";
  }
}

TEST(H264SequenceHeader, AnnexBListsEveryParameterSet) {
  // A record with two SPS and two PPS (as some encoders write).
  Bytes sps2_ = kSps, pps2_ = kPps;
  const Bytes& sps2 = sps2_;
  const Bytes& pps2 = pps2_;
  sps2_.back() = 0x41;
  pps2_.back() = 0x80;
  Bytes rec = bytes({0x17, 0, 0, 0, 0, 1, 0x64, 0, 0x0C, 0xFF, 0xE2});
  for (const Bytes* s : {&kSps, &sps2}) {
    append(rec, bytes({0, static_cast<int>(s->size())}));
    append(rec, *s);
  }
  rec.push_back(2);
  for (const Bytes* s : {&kPps, &pps2}) {
    append(rec, bytes({0, static_cast<int>(s->size())}));
    append(rec, *s);
  }
  Bytes out(256);
  int n = kx::avc_config_to_annexb(rec.data(), static_cast<int>(rec.size()), out.data(), 256);
  out.resize(static_cast<size_t>(std::max(n, 0)));
  Bytes expect = annexb_pair(kSps, sps2);
  append(expect, annexb_pair(kPps, pps2));
  EXPECT_EQ(out, expect);
}

TEST(H264SequenceHeader, FlvTagFormSizeChecked) {
  kx::AvcConfig built;
  ASSERT_EQ(kx::avc_config_build(kSps.data(), 12, kPps.data(), 6, built), 1);
  kx::AvcConfig cfg;
  ASSERT_EQ(kx::avc_config_from_flv_tag(built.header, built.len, cfg), 1);
  ASSERT_EQ(cfg.len, built.len + 12);
  ASSERT_LT(built.len, 256);
  const uint8_t chunk[12] = {0x06, 0, 0, 0, 0, 0, static_cast<uint8_t>(built.len), 9, 1, 0, 0, 0};
  EXPECT_EQ(hex(cfg.header, 12), hex(chunk, 12));
  EXPECT_EQ(annexb_of(cfg, kx::kAvcRtmpPrefix), annexb_pair(kSps, kPps));

  Bytes big(1500, 0x17);
  struct Case {
    int size;
    int expect;
  } cases[] = {{1440, 1}, {1441, 0}, {0, 0}, {-5, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    cfg.len = 7;
    EXPECT_EQ(kx::avc_config_from_flv_tag(big.data(), c.size, cfg), c.expect);
    EXPECT_EQ(cfg.len, c.expect ? c.size + 12 : 0);
  }
}

// ---------------------------------------------------------------- SPS/PPS capture from TS

// A video PES (PTS only) around es; its length field 0 when unbounded.
Bytes video_pes(const Bytes& es, bool bounded) {
  size_t len = bounded ? 8 + es.size() : 0;
  Bytes p = bytes({0, 0, 1, 0xE0, static_cast<int>(len >> 8), static_cast<int>(len & 0xFF), 0x80, 0x80, 5,
                   0x21, 0, 1, 0, 1});
  append(p, es);
  return p;
}

// TS packets carrying a PES on pid, the last one padded by adaptation-field stuffing.
std::vector<Bytes> packetize(int pid, const Bytes& pes, int& cc) {
  std::vector<Bytes> out;
  size_t pos = 0;
  while (pos < pes.size()) {
    Bytes pkt(188, 0xFF);
    size_t take = std::min<size_t>(184, pes.size() - pos);
    pkt[0] = 0x47;
    pkt[1] = static_cast<uint8_t>((pos == 0 ? 0x40 : 0) | (pid >> 8));
    pkt[2] = static_cast<uint8_t>(pid & 0xFF);
    size_t head = 4;
    if (take < 184) {
      pkt[3] = static_cast<uint8_t>(0x30 | cc);
      pkt[4] = static_cast<uint8_t>(183 - take);
      if (take < 183) pkt[5] = 0;
      head = 188 - take;
    } else {
      pkt[3] = static_cast<uint8_t>(0x10 | cc);
    }
    std::memcpy(pkt.data() + head, pes.data() + pos, take);
    out.push_back(pkt);
    cc = (cc + 1) & 15;
    pos += take;
  }
  return out;
}

Bytes pat_packet() {
  Bytes p(188, 0xFF);
  const Bytes head = bytes({0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00,
                            0x01, 0xF0, 0x00, 0x2A, 0xB1, 0x04, 0xB2});
  std::copy(head.begin(), head.end(), p.begin());
  return p;
}

Bytes audio_packet() {
  Bytes p(188, 0x5A);
  const Bytes head = bytes({0x47, 0x41, 0x01, 0x10, 0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1});
  std::copy(head.begin(), head.end(), p.begin());
  return p;
}

// A PAT, then the video PES on PID 256 with an audio packet after its first packet.
Bytes ts_entry(const Bytes& es, bool bounded) {
  int cc = 0;
  auto video = packetize(256, video_pes(es, bounded), cc);
  Bytes ts = pat_packet();
  for (size_t i = 0; i < video.size(); ++i) {
    append(ts, video[i]);
    if (i == 0) append(ts, audio_packet());
  }
  return ts;
}

Bytes picture_es(const Bytes& sps, const Bytes& pps, size_t sei_len, bool idr_after) {
  Bytes es = bytes({0, 0, 0, 1, 9, 0xF0, 0, 0, 1, 6});
  es.insert(es.end(), sei_len, 0x80);
  append(es, annexb_pair(sps, pps));
  if (idr_after) {
    append(es, bytes({0, 0, 1, 0x65, 0x88, 0x84}));
    es.insert(es.end(), 60, 0x9C);
  }
  return es;
}

int capture(const Bytes& ts, kx::AvcConfig& cfg) {
  return kx::avc_config_from_ts(ts.data(), static_cast<int>(ts.size()), cfg);
}

TEST(H264Capture, FirstEntryOfFfmpegTsMatchesItsAnnexB) {
  REQUIRE_MEDIA();
  Bytes ts = load(media().clean_ts);
  Bytes es = load(media().clean_h264);
  ASSERT_GE(ts.size(), 1316u);
  // The first committed entry: seven packets (PSI first, then the first video packets).
  Bytes entry(ts.begin(), ts.begin() + 1316);
  kx::AvcConfig cfg;
  ASSERT_EQ(capture(entry, cfg), 1);
  Bytes ab = annexb_of(cfg);
  ASSERT_GT(ab.size(), 8u);
  size_t start = es.size() > 5 && es[4] == 0x09 ? first_parameter_set(es) : 0;  // a leading AUD only
  ASSERT_LE(start + ab.size(), es.size());
  EXPECT_EQ(hex(ab.data(), ab.size()), hex(es.data() + start, ab.size()));
  // The sequence header's profile bytes are the SPS's.
  EXPECT_EQ(cfg.header[6], ab[5]);
  EXPECT_EQ(cfg.header[8], ab[7]);
}

TEST(H264Capture, ParameterSetsPacketsIntoFfmpegTs) {
  REQUIRE_MEDIA();
  Bytes ts = load(media().sei_ts);
  Bytes es = load(media().sei_h264);
  // With x264's long SEI first, the parameter sets sit several packets into the PES.
  size_t sps = find(ts, std::string("\0\0\1\x67", 4));
  ASSERT_NE(sps, std::string::npos);
  size_t limit = std::min<size_t>(ts.size() / 188, 40) * 188;
  Bytes first(ts.begin(), ts.begin() + static_cast<long>(limit));
  kx::AvcConfig cfg;
  ASSERT_EQ(capture(first, cfg), 1);
  Bytes ab = annexb_of(cfg);
  size_t start = first_parameter_set(es);
  ASSERT_LE(start + ab.size(), es.size());
  EXPECT_EQ(hex(ab.data(), ab.size()), hex(es.data() + start, ab.size()));
  // An entry that ends before the packet holding the PPS yields nothing, and says so
  // with length 0.
  size_t pps = find(ts, std::string("\0\0\1\x68", 4), sps);
  ASSERT_NE(pps, std::string::npos);
  size_t cut = pps / 188 * 188;
  Bytes early(ts.begin(), ts.begin() + static_cast<long>(cut));
  cfg.len = 5;
  EXPECT_EQ(capture(early, cfg), 0);
  EXPECT_EQ(cfg.len, 0);
}

TEST(H264Capture, EveryPacketSplitOfRealParameterSets) {
  REQUIRE_MEDIA();
  Bytes es = load(media().clean_h264);
  size_t p0 = first_parameter_set(es);
  ASSERT_LT(p0 + 5, es.size());
  ASSERT_EQ(es[p0 + 4] & 0x1F, 7);
  // Real SPS and PPS, cut out of ffmpeg's Annex B output independently of the code under test.
  size_t pps_code = find(es, std::string("\0\0\0\1\x68", 5), p0 + 4);
  ASSERT_NE(pps_code, std::string::npos);
  size_t idr_code = find(es, std::string("\0\0\1", 3), pps_code + 4);
  ASSERT_NE(idr_code, std::string::npos);
  Bytes sps(es.begin() + static_cast<long>(p0 + 4), es.begin() + static_cast<long>(pps_code));
  Bytes pps(es.begin() + static_cast<long>(pps_code + 4), es.begin() + static_cast<long>(idr_code));
  const Bytes want = annexb_pair(sps, pps);
  // The first packet carries 170 bytes of ES after the 14-byte PES header; the SEI length
  // moves the parameter sets over that boundary one byte at a time.
  for (size_t sei = 100; sei <= 200; ++sei) {
    SCOPED_TRACE("SEI bytes " + std::to_string(sei));
    for (bool bounded : {false, true}) {
      kx::AvcConfig cfg;
      ASSERT_EQ(capture(ts_entry(picture_es(sps, pps, sei, true), bounded), cfg), 1);
      ASSERT_EQ(annexb_of(cfg), want);
    }
  }
}

TEST(H264Capture, PesEndDecidesWhetherATrailingPpsIsWhole) {
  const Bytes es = picture_es(kSps, kPps, 4, false);  // the PPS is the last unit
  kx::AvcConfig cfg;
  EXPECT_EQ(capture(ts_entry(es, true), cfg), 1) << "the length field says where the PES ends";
  EXPECT_EQ(annexb_of(cfg), annexb_pair(kSps, kPps));
  EXPECT_EQ(capture(ts_entry(es, false), cfg), 0) << "an unbounded PES may go on in the next entry";
  EXPECT_EQ(cfg.len, 0);
  // ... unless the next PES on the PID starts within the entry.
  Bytes ts = ts_entry(es, false);
  int cc = 5;
  for (const auto& p : packetize(256, video_pes(bytes({0, 0, 1, 0x41, 0x9A}), false), cc)) append(ts, p);
  EXPECT_EQ(capture(ts, cfg), 1);
  EXPECT_EQ(annexb_of(cfg), annexb_pair(kSps, kPps));
}

TEST(H264Capture, MalformedEntries) {
  // A long SEI fills the first video packet, so it has no adaptation field and the PES
  // header sits at a known place (packet 1, after the PAT).
  const Bytes good = ts_entry(picture_es(kSps, kPps, 200, true), false);
  auto with = [&](std::initializer_list<std::pair<size_t, int>> changes) {
    Bytes b = good;
    for (const auto& [at, v] : changes) b[at] = static_cast<uint8_t>(v);
    return b;
  };
  Bytes big_sps(1300, 0x55), big_pps(200, 0x55), huge_sps(1400, 0x55);
  big_sps[0] = huge_sps[0] = 0x67;
  big_pps[0] = 0x68;
  Bytes rtp = bytes({0x80, 0x21, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1});
  append(rtp, good);
  Bytes partial_tail = good;
  partial_tail.insert(partial_tail.end(), 100, 0x47);
  struct Case {
    const char* what;
    Bytes ts;
    int expect;
  } cases[] = {
      {"good", good, 1},
      {"RTP header first", rtp, 1},
      {"not a video stream id", with({{188 + 4 + 3, 0xC0}}), 0},
      {"PES header length past the packet", with({{188 + 4 + 8, 200}}), 0},
      {"transport error on the PES start", with({{188 + 1, 0x41 | 0x80}}), 0},
      {"adaptation field too long", with({{188 + 3, 0x30}, {188 + 4, 184}}), 0},
      {"sequence header over the 1452-byte field", ts_entry(picture_es(big_sps, big_pps, 4, true), false), 0},
      {"SPS over the NAL bound", ts_entry(picture_es(huge_sps, kPps, 4, true), false), 0},
      {"no PPS", ts_entry(picture_es(kSps, Bytes{}, 4, true), false), 0},
      {"a partial packet at the end", partial_tail, 1},
      {"cut inside the packet with the parameter sets", Bytes(good.begin(), good.end() - 100), 0},
      {"no packets", Bytes(100, 0x47), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kx::AvcConfig cfg;
    cfg.len = 3;
    EXPECT_EQ(capture(c.ts, cfg), c.expect);
    if (c.expect) EXPECT_EQ(annexb_of(cfg), annexb_pair(kSps, kPps));
    else EXPECT_EQ(cfg.len, 0);
  }
}

TEST(H264Capture, RandomPacketsStayInBounds) {
  std::mt19937 rng(12345);
  const Bytes real = ts_entry(picture_es(kSps, kPps, 30, true), false);
  for (int round = 0; round < 3000; ++round) {
    Bytes ts = real;
    int flips = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < flips; ++i) ts[rng() % ts.size()] = static_cast<uint8_t>(rng());
    ts.resize(ts.size() - rng() % 200);
    Bytes exact(ts);  // exact size: a sanitizer build sees any overread
    kx::AvcConfig cfg;
    int r = capture(exact, cfg);
    ASSERT_TRUE(r == 0 || r == 1);
    if (r == 0) {
      ASSERT_EQ(cfg.len, 0);
    } else {
      ASSERT_GT(cfg.len, 16);
      ASSERT_LE(cfg.len, kx::kAvcConfigCapacity);
      ASSERT_EQ(static_cast<int>(annexb_of(cfg).size()), cfg.len - 16 + 8);
    }
  }
}

TEST(H264Capture, FlvSequenceHeaderFromFfmpegMatchesAnnexB) {
  REQUIRE_MEDIA();
  Bytes flv = load(media().clean_flv);
  Bytes es = load(media().clean_h264);
  // Walk the tags to the first video tag, an AVC sequence header.
  size_t pos = 13;
  Bytes body;
  for (int n = 0; n < 10 && pos + 11 <= flv.size(); ++n) {
    kx::FlvTagHeader t;
    ASSERT_EQ(kx::flv_parse_tag_header(flv.data() + pos, 11, t), 1);
    ASSERT_LE(pos + 11 + t.data_size, flv.size());
    if (t.type == kx::kFlvTagVideo) {
      body.assign(flv.begin() + static_cast<long>(pos + 11), flv.begin() + static_cast<long>(pos + 11 + t.data_size));
      break;
    }
    pos += 11 + t.data_size + 4;
  }
  ASSERT_GE(body.size(), 2u);
  ASSERT_EQ(body[0], 0x17);
  ASSERT_EQ(body[1], 0x00);
  kx::AvcConfig cfg;
  ASSERT_EQ(kx::avc_config_from_flv_tag(body.data(), static_cast<int>(body.size()), cfg), 1);
  Bytes ab = annexb_of(cfg, kx::kAvcRtmpPrefix);
  ASSERT_GT(ab.size(), 8u);
  size_t start = first_parameter_set(es);
  ASSERT_LE(start + ab.size(), es.size());
  EXPECT_EQ(hex(ab.data(), ab.size()), hex(es.data() + start, ab.size()));
  // The capture from the TS of the same file builds the same body ffmpeg put in the FLV.
  Bytes ts = load(media().clean_ts);
  kx::AvcConfig from_ts;
  ASSERT_EQ(capture(Bytes(ts.begin(), ts.begin() + 1316), from_ts), 1);
  EXPECT_EQ(annexb_of(from_ts), ab);
}

// ---------------------------------------------------------------- ADTS

struct AdtsCase {
  const char* what;
  Bytes head;
  int ok;
  bool aac;
  int object_type, freq_index, channels;
  uint8_t flv_byte;
  const char* config;  // AudioSpecificConfig, hex
};

void check_audio(const AdtsCase& c) {
  kx::AudioFrameInfo info;
  kx::AacConfig cfg;
  cfg.len = 9;
  ASSERT_EQ(kx::adts_to_flv_audio(c.head.data(), static_cast<int>(c.head.size()), info, cfg), c.ok);
  if (!c.ok) {
    EXPECT_EQ(cfg.len, 0);
    return;
  }
  EXPECT_EQ(info.aac, c.aac);
  EXPECT_EQ(info.flv_byte, c.flv_byte);
  if (c.aac) {
    EXPECT_EQ(info.sound_format, 10);
    EXPECT_EQ(info.object_type, c.object_type);
    EXPECT_EQ(info.freq_index, c.freq_index);
    EXPECT_EQ(info.channel_config, c.channels);
    EXPECT_EQ(info.sound_type, c.channels == 1 ? 0 : 1);
    ASSERT_EQ(cfg.len, 4);
    EXPECT_EQ(cfg.body[0], c.flv_byte);
    EXPECT_EQ(cfg.body[1], 0);
    EXPECT_EQ(hex(cfg.asc(), static_cast<size_t>(cfg.asc_len())), c.config);
    EXPECT_EQ(cfg.channels, c.channels);
    EXPECT_EQ(cfg.freq_index, c.freq_index);
  } else {
    EXPECT_EQ(info.sound_format, 2);
    EXPECT_EQ(cfg.len, 0);
  }
}

TEST(AacAdts, HeaderTable) {
  const AdtsCase cases[] = {
      {"MPEG-4 stereo 44.1k", bytes({0xFF, 0xF1, 0x50, 0x80, 0x2B, 0x3F, 0xFC}), 1, true, 1, 4, 2, 0xAF, "1210"},
      {"MPEG-2 stereo 44.1k", bytes({0xFF, 0xF9, 0x50, 0x80, 0x2B, 0x3F, 0xFC}), 1, true, 1, 4, 2, 0xAF, "1210"},
      {"MPEG-4 mono 44.1k", bytes({0xFF, 0xF1, 0x50, 0x40, 0x21, 0x3F, 0xFC}), 1, true, 1, 4, 1, 0xAE, "1208"},
      {"MPEG-2 mono, no CRC flag", bytes({0xFF, 0xF8, 0x50, 0x40, 0x21, 0x3F, 0xFC}), 1, true, 1, 4, 1, 0xAE, "1208"},
      {"5.1 at 48k", bytes({0xFF, 0xF1, 0x4D, 0x80, 0x2F, 0xDF, 0xFC}), 1, true, 1, 3, 6, 0xAF, "11b0"},
      {"stereo 22.05k", bytes({0xFF, 0xF1, 0x5C, 0x80, 0x4E, 0x1F, 0xFC}), 1, true, 1, 7, 2, 0xAB, "1390"},
      {"mono 11.025k", bytes({0xFF, 0xF1, 0x68, 0x40, 0x4E, 0x1F, 0xFC}), 1, true, 1, 10, 1, 0xA6, "1508"},
      {"main profile 7.1", bytes({0xFF, 0xF1, 0x11, 0xC0, 0x4E, 0x1F, 0xFC}), 1, true, 0, 4, 7, 0xAF, "0a38"},
      {"MP3 stereo", bytes({0xFF, 0xFB, 0x90, 0x64}), 1, false, 0, 0, 0, 0x2F, ""},
      {"MP3 joint stereo", bytes({0xFF, 0xFB, 0x90, 0x44}), 1, false, 0, 0, 0, 0x2F, ""},
      {"MP3 dual channel", bytes({0xFF, 0xFB, 0x90, 0x84}), 1, false, 0, 0, 0, 0x2F, ""},
      {"MP3 mono", bytes({0xFF, 0xFB, 0x90, 0xC4}), 1, false, 0, 0, 0, 0x2E, ""},
      {"MPEG-2 layer II", bytes({0xFF, 0xF5, 0x90, 0xC4}), 1, false, 0, 0, 0, 0x2E, ""},
      {"ADTS cut to 6 bytes", bytes({0xFF, 0xF1, 0x50, 0x80, 0x2B, 0x3F}), 0, false, 0, 0, 0, 0, ""},
      {"no sync", bytes({0xFF, 0x71, 0x50, 0x80, 0x2B, 0x3F, 0xFC}), 0, false, 0, 0, 0, 0, ""},
      {"reserved AAC rate index", bytes({0xFF, 0xF1, 0x74, 0x80, 0x2B, 0x3F, 0xFC}), 0, false, 0, 0, 0, 0, ""},
      {"layer 00 without the 12-bit sync", bytes({0xFF, 0xE1, 0x50, 0x80, 0x2B, 0x3F, 0xFC}), 0, false, 0, 0, 0,
       0, ""},
      {"MP3 reserved version", bytes({0xFF, 0xEB, 0x90, 0x64}), 0, false, 0, 0, 0, 0, ""},
      {"MP3 reserved rate", bytes({0xFF, 0xFB, 0x9C, 0x64}), 0, false, 0, 0, 0, 0, ""},
      {"empty", Bytes{}, 0, false, 0, 0, 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    check_audio(c);
  }
}

// The ASC bytes ffmpeg itself derives from the same ADTS stream, from the audio
// sequence-header tag of an FLV it muxes.
Bytes ffmpeg_asc(const std::string& adts, const std::string& flv) {
  if (!ffmpeg({"-i", adts, "-c", "copy", "-f", "flv", flv})) return {};
  Bytes b = load(flv);
  size_t pos = 13;
  for (int n = 0; n < 10 && pos + 11 <= b.size(); ++n) {
    kx::FlvTagHeader t;
    if (!kx::flv_parse_tag_header(b.data() + pos, 11, t) || pos + 11 + t.data_size > b.size()) return {};
    // ffmpeg may write an empty sequence header before the real one.
    if (t.type == kx::kFlvTagAudio && t.data_size >= 4 && b[pos + 12] == 0) {
      return Bytes(b.begin() + static_cast<long>(pos + 13), b.begin() + static_cast<long>(pos + 11 + t.data_size));
    }
    pos += 11 + t.data_size + 4;
  }
  return {};
}

TEST(AacAdts, FfmpegStreamsTable) {
  kxt::TempDir dir;
  struct Case {
    int channels, rate;
    bool mpeg2;
    int freq_index;
    uint8_t flv_byte;
  } cases[] = {
      {1, 44100, false, 4, 0xAE}, {1, 44100, true, 4, 0xAE},  {2, 44100, false, 4, 0xAF},
      {2, 44100, true, 4, 0xAF},  {6, 48000, false, 3, 0xAF}, {2, 22050, false, 7, 0xAB},
      {2, 22050, true, 7, 0xAB},
  };
  for (const auto& c : cases) {
    std::string name = std::to_string(c.channels) + "ch-" + std::to_string(c.rate) + (c.mpeg2 ? "-mpeg2" : "-mpeg4");
    SCOPED_TRACE(name);
    std::string adts = dir / (name + ".aac");
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=" + std::to_string(c.rate), "-t", "0.2", "-ac",
                        std::to_string(c.channels), "-c:a", "aac", "-write_mpeg2", c.mpeg2 ? "1" : "0", "-f", "adts",
                        adts}));
    Bytes b = load(adts);
    ASSERT_GE(b.size(), 7u);
    EXPECT_EQ((b[1] >> 3) & 1, c.mpeg2 ? 1 : 0) << "the ID bit ffmpeg wrote";
    kx::AudioFrameInfo info;
    kx::AacConfig cfg;
    ASSERT_EQ(kx::adts_to_flv_audio(b.data(), 7, info, cfg), 1);
    EXPECT_TRUE(info.aac);
    EXPECT_EQ(info.object_type, 1);
    EXPECT_EQ(info.freq_index, c.freq_index);
    EXPECT_EQ(info.channel_config, c.channels);
    EXPECT_EQ(info.flv_byte, c.flv_byte);
    Bytes asc = ffmpeg_asc(adts, dir / (name + ".flv"));
    ASSERT_GE(asc.size(), 2u);
    EXPECT_EQ(hex(cfg.asc(), 2), hex(asc.data(), 2));
  }
}

// ---------------------------------------------------------------- AMF0

TEST(Amf0, WriteThenReadEveryKind) {
  std::string long_text(70000, 'q');
  Bytes buf(80000);
  kx::Amf0Writer w(buf.data(), static_cast<int>(buf.size()));
  w.string("onMetaData").number(-2.5).boolean(true).null();
  w.begin_object().prop("a", 1.0).prop("name", "kestrix");
  w.key("inner").begin_ecma_array(2).prop("x", 3.0).end_object();
  w.end_object();
  w.string(long_text);
  ASSERT_TRUE(w.ok());
  kx::Amf0Reader r(buf.data(), w.size());
  std::string_view s;
  double d = 0;
  bool b = false;
  ASSERT_TRUE(r.read_string(s));
  EXPECT_EQ(s, "onMetaData");
  ASSERT_TRUE(r.read_number(d));
  EXPECT_EQ(d, -2.5);
  ASSERT_TRUE(r.read_boolean(b));
  EXPECT_TRUE(b);
  ASSERT_TRUE(r.read_null());
  int object_at = r.pos();
  ASSERT_TRUE(r.begin_object());
  ASSERT_EQ(r.next_key(s), 1);
  EXPECT_EQ(s, "a");
  ASSERT_TRUE(r.read_number(d));
  EXPECT_EQ(d, 1.0);
  ASSERT_EQ(r.next_key(s), 1);
  EXPECT_EQ(s, "name");
  ASSERT_TRUE(r.read_string(s));
  EXPECT_EQ(s, "kestrix");
  ASSERT_EQ(r.next_key(s), 1);
  EXPECT_EQ(s, "inner");
  uint32_t count = 0;
  ASSERT_TRUE(r.begin_ecma_array(count));
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(r.next_key(s), 1);
  ASSERT_TRUE(r.read_number(d));
  EXPECT_EQ(d, 3.0);
  EXPECT_EQ(r.next_key(s), 0);
  EXPECT_EQ(r.next_key(s), 0);
  ASSERT_EQ(r.peek_marker(), kx::kAmf0LongString);
  ASSERT_TRUE(r.read_string(s));
  EXPECT_EQ(s.size(), long_text.size());
  EXPECT_TRUE(r.at_end());
  // The object as a whole, skipped in one step, and searched.
  kx::Amf0Reader again(buf.data() + object_at, w.size() - object_at);
  ASSERT_TRUE(again.skip_value());
  ASSERT_TRUE(again.skip_value());
  EXPECT_TRUE(again.at_end());
  double a = 0;
  EXPECT_EQ(kx::amf0_find_number(buf.data() + object_at, w.size() - object_at, "a", a), 1);
  EXPECT_EQ(a, 1.0);
  EXPECT_EQ(kx::amf0_find_number(buf.data() + object_at, w.size() - object_at, "x", a), 0) << "nested, not top level";
  EXPECT_EQ(kx::amf0_find_number(buf.data() + object_at, w.size() - object_at, "name", a), 0) << "a string";
}

TEST(Amf0, WriterNeverPassesItsRoom) {
  auto write = [](uint8_t* p, int cap) {
    kx::Amf0Writer w(p, cap);
    w.string("onMetaData").begin_object().prop("duration", 1.5).prop("codec", "avc1").boolean(false).null();
    w.begin_ecma_array(1).prop("k", 2.0).end_object().end_object();
    return w;
  };
  Bytes full(256);
  kx::Amf0Writer whole = write(full.data(), 256);
  ASSERT_TRUE(whole.ok());
  for (int cap = 0; cap < whole.size(); ++cap) {
    Bytes b(static_cast<size_t>(cap) + 8, 0xEE);
    kx::Amf0Writer w = write(b.data(), cap);
    EXPECT_FALSE(w.ok()) << cap;
    EXPECT_LE(w.size(), cap);
    for (size_t i = static_cast<size_t>(cap); i < b.size(); ++i) ASSERT_EQ(b[i], 0xEE) << "cap " << cap;
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + w.size(), full.begin())) << "a prefix of the whole";
  }
}

TEST(Amf0, ReaderBoundsTable) {
  auto nest = [](int depth) {
    Bytes b;
    for (int i = 0; i < depth; ++i) append(b, bytes({kx::kAmf0Object, 0, 1, 'k'}));
    b.push_back(kx::kAmf0Null);
    for (int i = 0; i < depth; ++i) append(b, bytes({0, 0, 9}));
    return b;
  };
  struct Case {
    const char* what;
    Bytes in;
    bool ok;
  } cases[] = {
      {"number", bytes({0, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), true},
      {"number cut", bytes({0, 0x3F, 0xF0, 0, 0, 0, 0, 0}), false},
      {"string", bytes({2, 0, 2, 'h', 'i'}), true},
      {"string length past the end", bytes({2, 0, 3, 'h', 'i'}), false},
      {"long string length past the end", bytes({12, 0, 0, 0, 9, 'h', 'i'}), false},
      {"long string at 4 GiB", bytes({12, 0xFF, 0xFF, 0xFF, 0xFF, 'h'}), false},
      {"boolean", bytes({1, 1}), true},
      {"null, undefined", bytes({5}), true},
      {"date", bytes({11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), true},
      {"reference", bytes({7, 0, 1}), true},
      {"object", bytes({3, 0, 1, 'a', 5, 0, 0, 9}), true},
      {"object without its end", bytes({3, 0, 1, 'a', 5}), false},
      {"object key past the end", bytes({3, 0, 9, 'a', 5, 0, 0, 9}), false},
      {"empty ECMA array", bytes({8, 0, 0, 0, 0, 0, 0, 9}), true},
      {"ECMA array count cut", bytes({8, 0, 0}), false},
      {"ECMA array with an empty key", bytes({8, 0, 0, 0, 1, 0, 0, 5, 0, 0, 9}), true},
      {"strict array", bytes({10, 0, 0, 0, 2, 5, 1, 0}), true},
      {"strict array count too big", bytes({10, 0xFF, 0xFF, 0xFF, 0xFF, 5, 5}), false},
      {"typed object", bytes({16, 0, 1, 'C', 0, 1, 'a', 5, 0, 0, 9}), true},
      {"XML document", bytes({15, 0, 0, 0, 1, '<'}), true},
      {"reserved movie clip marker", bytes({4}), false},
      {"unknown marker", bytes({0x11}), false},
      {"object end alone", bytes({9}), false},
      {"nesting at the limit", nest(kx::kAmf0MaxDepth), true},
      {"nesting past the limit", nest(kx::kAmf0MaxDepth + 2), false},
      {"empty", Bytes{}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kx::Amf0Reader r(c.in.data(), static_cast<int>(c.in.size()));
    EXPECT_EQ(r.skip_value(), c.ok);
    EXPECT_EQ(r.pos(), c.ok ? static_cast<int>(c.in.size()) : 0);
  }
}

TEST(Amf0, TypedReadsRefuseOtherKindsAndCuts) {
  const Bytes str = bytes({2, 0, 5, 'a', 'b'});
  kx::Amf0Reader r(str.data(), static_cast<int>(str.size()));
  double d;
  bool b;
  std::string_view s;
  uint32_t n;
  EXPECT_FALSE(r.read_number(d));
  EXPECT_FALSE(r.read_boolean(b));
  EXPECT_FALSE(r.read_null());
  EXPECT_FALSE(r.begin_object());
  EXPECT_FALSE(r.begin_ecma_array(n));
  EXPECT_FALSE(r.read_string(s)) << "length past the end";
  EXPECT_EQ(r.next_key(s), -1) << "key length 0x0200 past the end";
  EXPECT_EQ(r.pos(), 0);
  kx::Amf0Reader none(nullptr, 10);
  EXPECT_TRUE(none.at_end());
  EXPECT_FALSE(none.skip_value());
}

TEST(Amf0, FfmpegOnMetaData) {
  REQUIRE_MEDIA();
  Bytes flv = load(media().rated_flv);
  kx::FlvTagHeader t;
  ASSERT_EQ(kx::flv_parse_tag_header(flv.data() + 13, 11, t), 1);
  ASSERT_EQ(t.type, kx::kFlvTagScript);
  ASSERT_LE(24 + t.data_size, flv.size());
  kx::Amf0Reader r(flv.data() + 24, static_cast<int>(t.data_size));
  std::string_view s;
  ASSERT_TRUE(r.read_string(s));
  EXPECT_EQ(s, "onMetaData");
  uint32_t count = 0;
  ASSERT_TRUE(r.begin_ecma_array(count));
  std::vector<std::string> keys;
  double width = 0, height = 0, vcodec = 0, acodec = 0;
  std::string_view encoder;
  int k;
  while ((k = r.next_key(s)) == 1) {
    keys.emplace_back(s);
    double d;
    if (r.peek_marker() == kx::kAmf0Number && r.read_number(d)) {
      if (s == "width") width = d;
      if (s == "height") height = d;
      if (s == "videocodecid") vcodec = d;
      if (s == "audiocodecid") acodec = d;
    } else if (s == "encoder") {
      ASSERT_TRUE(r.read_string(encoder));
    } else {
      ASSERT_TRUE(r.skip_value()) << keys.back();
    }
  }
  EXPECT_EQ(k, 0);
  EXPECT_EQ(keys.size(), count);
  EXPECT_EQ(width, 160);
  EXPECT_EQ(height, 120);
  EXPECT_EQ(vcodec, 7);
  EXPECT_EQ(acodec, 10);
  EXPECT_EQ(encoder.substr(0, 4), "Lavf");
  EXPECT_EQ(r.pos(), static_cast<int>(t.data_size));
}

// ---------------------------------------------------------------- FLV

struct Prop {
  std::string name;
  int marker;
  double number;
  std::string text;
};

// The onMetaData properties of a header built by flv_build_header.
std::vector<Prop> metadata_props(const uint8_t* p, int len) {
  std::vector<Prop> out;
  kx::Amf0Reader r(p + 24, len - 24);
  std::string_view s;
  if (!r.read_string(s) || s != "onMetaData" || !r.begin_object()) return out;
  while (r.next_key(s) == 1) {
    Prop prop{std::string(s), r.peek_marker(), 0, ""};
    std::string_view text;
    if (!r.read_number(prop.number) && !r.read_string(text)) return {};
    prop.text = std::string(text);
    out.push_back(prop);
  }
  if (!r.at_end()) return {};
  return out;
}

kx::StreamMeta sample_meta() {
  kx::StreamMeta m;
  m.width = 720;
  m.height = 576;
  m.framerate = 25;
  m.videodatarate = 1500;
  m.videocodecid = 7;
  m.audiodatarate = 128;
  m.audiocodecid = 10;
  return m;
}

TEST(FlvHeader, BuiltLayout) {
  uint8_t out[kx::kFlvHeaderCapacity];
  uint32_t next = 0;
  int n = kx::flv_build_header(sample_meta(), out, sizeof out, &next);
  ASSERT_GT(n, 24);
  EXPECT_EQ(hex(out, 13), "464c5601050000000900000000");
  kx::FlvTagHeader t;
  ASSERT_EQ(kx::flv_parse_tag_header(out + 13, 11, t), 1);
  EXPECT_EQ(t.type, 18);
  EXPECT_EQ(t.timestamp, 0u);
  EXPECT_EQ(t.stream_id, 0u);
  EXPECT_EQ(n, 24 + static_cast<int>(t.data_size));
  EXPECT_EQ(next, t.data_size + 11);
  // The duration number where a recorder rewrites it.
  kx::Amf0Reader at(out + kx::kFlvHeaderDurationOffset, 9);
  double d = 0;
  ASSERT_TRUE(at.read_number(d));
  EXPECT_EQ(d, 86272.0);
  auto props = metadata_props(out, n);
  std::vector<std::string> names;
  for (const auto& p : props) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"duration", "width", "height", "framerate", "videodatarate",
                                             "videocodecid", "audiodatarate", "audiocodecid"}));
  ASSERT_EQ(props.size(), 8u);
  EXPECT_EQ(props[1].number, 720);
  EXPECT_EQ(props[2].number, 576);
  EXPECT_EQ(props[3].number, 25);
  EXPECT_EQ(props[4].number, 1500);
  EXPECT_EQ(props[5].number, 7);
  EXPECT_EQ(props[6].number, 128);
  EXPECT_EQ(props[7].number, 10);
  // Our own probe reads it back.
  kx::FlvFileInfo info;
  ASSERT_EQ(kx::flv_probe_mem(out, static_cast<size_t>(n), info), 1);
  EXPECT_EQ(info.duration, 86272.0);
  EXPECT_EQ(info.datarate(), 1628.0);
}

TEST(FlvHeader, CodecIdsTable) {
  struct Case {
    double id;
    const char* name;
    int marker;  // -1: left out
  } cases[] = {
      {-1, "avc1", kx::kAmf0String}, {0, "", kx::kAmf0Number}, {7, "", kx::kAmf0Number},
      {-2, "x", -1},                 {-0.5, "x", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    kx::StreamMeta m = sample_meta();
    m.videocodecid = m.audiocodecid = c.id;
    m.video_codec = c.name;
    m.audio_codec = std::string(c.name) == "avc1" ? "mp4a" : c.name;
    uint8_t out[kx::kFlvHeaderCapacity];
    int n = kx::flv_build_header(m, out, sizeof out);
    ASSERT_GT(n, 0);
    auto props = metadata_props(out, n);
    ASSERT_FALSE(props.empty());
    for (const char* key : {"videocodecid", "audiocodecid"}) {
      auto it = std::find_if(props.begin(), props.end(), [&](const Prop& p) { return p.name == key; });
      if (c.marker < 0) {
        EXPECT_EQ(it, props.end()) << key;
        continue;
      }
      ASSERT_NE(it, props.end()) << key;
      EXPECT_EQ(it->marker, c.marker);
      if (c.marker == kx::kAmf0String) EXPECT_EQ(it->text, std::string(key)[0] == 'v' ? "avc1" : "mp4a");
      else EXPECT_EQ(it->number, c.id);
    }
  }
}

TEST(FlvHeader, BuildRespectsItsRoom) {
  kx::StreamMeta m = sample_meta();
  m.videocodecid = -1;
  m.video_codec = std::string(2000, 'v');  // a name longer than the field
  uint8_t big[4096];
  int whole = kx::flv_build_header(m, big, sizeof big);
  ASSERT_GT(whole, kx::kFlvHeaderCapacity);
  uint8_t field[kx::kFlvHeaderCapacity + 8];
  std::memset(field, 0xEE, sizeof field);
  EXPECT_EQ(kx::flv_build_header(m, field, kx::kFlvHeaderCapacity), 0);
  for (int i = kx::kFlvHeaderCapacity; i < static_cast<int>(sizeof field); ++i) ASSERT_EQ(field[i], 0xEE);
  m.video_codec = "avc1";
  int n = kx::flv_build_header(m, big, sizeof big);
  for (int cap : {0, 10, 24, n - 1}) {
    SCOPED_TRACE(cap);
    EXPECT_EQ(kx::flv_build_header(m, field, cap), 0);
  }
  EXPECT_EQ(kx::flv_build_header(m, field, n), n);
}

TEST(FlvHeader, AcceptedByFfprobeBeforeRealTags) {
  REQUIRE_MEDIA();
  Bytes src = load(media().rated_flv);
  kx::FlvTagHeader t;
  ASSERT_EQ(kx::flv_parse_tag_header(src.data() + 13, 11, t), 1);
  size_t first_media = 13 + 11 + t.data_size + 4;  // past the script tag and its PreviousTagSize
  ASSERT_LT(first_media, src.size());
  uint8_t head[kx::kFlvHeaderCapacity];
  uint32_t next = 0;
  kx::StreamMeta m = sample_meta();
  m.width = 160;
  m.height = 120;
  m.framerate = 10;
  int n = kx::flv_build_header(m, head, sizeof head, &next);
  ASSERT_GT(n, 0);
  Bytes out(head, head + n);
  append(out, bytes({static_cast<int>(next >> 24), static_cast<int>((next >> 16) & 0xFF),
                     static_cast<int>((next >> 8) & 0xFF), static_cast<int>(next & 0xFF)}));
  out.insert(out.end(), src.begin() + static_cast<long>(first_media), src.end());
  kxt::TempDir dir;
  save(dir / "built.flv", out);
  std::string streams = kxt::run_tool({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width",
                                       "-of", "csv=p=0", dir / "built.flv"});
  EXPECT_NE(streams.find("h264,160"), std::string::npos) << streams;
  EXPECT_NE(streams.find("aac"), std::string::npos) << streams;
}

TEST(FlvTag, HeaderParseTable) {
  struct Case {
    const char* what;
    Bytes in;
    int ok, type;
    bool filtered;
    uint32_t size, ts, stream;
  } cases[] = {
      {"audio", bytes({8, 0, 0, 7, 0, 0, 0x17, 0, 0, 0, 0}), 1, 8, false, 7, 23, 0},
      {"video, extended time", bytes({9, 0x01, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0, 0, 0}), 1, 9, false, 65536,
       0x78123456, 0},
      {"script", bytes({18, 0, 1, 0x25, 0, 0, 0, 0, 0, 0, 1}), 1, 18, false, 0x125, 0, 1},
      {"filtered", bytes({0x28, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), 1, 8, true, 1, 0, 0},
      {"reserved bits", bytes({0x48, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), 0, 0, false, 0, 0, 0},
      {"unknown type", bytes({7, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), 0, 0, false, 0, 0, 0},
      {"ten bytes", bytes({8, 0, 0, 1, 0, 0, 0, 0, 0, 0}), 0, 0, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kx::FlvTagHeader h;
    ASSERT_EQ(kx::flv_parse_tag_header(c.in.data(), static_cast<int>(c.in.size()), h), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(h.type, c.type);
    EXPECT_EQ(h.filtered, c.filtered);
    EXPECT_EQ(h.data_size, c.size);
    EXPECT_EQ(h.timestamp, c.ts);
    EXPECT_EQ(h.stream_id, c.stream);
    if (!c.filtered && c.stream == 0) {
      uint8_t w[11];
      ASSERT_EQ(kx::flv_write_tag_header(w, h.type, h.data_size, h.timestamp), 1);
      EXPECT_EQ(hex(w, 11), hex(c.in.data(), 11));
    }
  }
  uint8_t w[11];
  EXPECT_EQ(kx::flv_write_tag_header(w, 9, 0x1000000, 0), 0);
}

TEST(FlvTag, FileHeaderTable) {
  struct Case {
    const char* what;
    Bytes in;
    int ok;
    uint32_t offset;
  } cases[] = {
      {"audio and video", bytes({'F', 'L', 'V', 1, 5, 0, 0, 0, 9}), 1, 9},
      {"larger header", bytes({'F', 'L', 'V', 1, 1, 0, 0, 0, 13}), 1, 13},
      {"size below 9", bytes({'F', 'L', 'V', 1, 5, 0, 0, 0, 8}), 0, 0},
      {"size beyond the field", bytes({'F', 'L', 'V', 1, 5, 0, 0, 4, 1}), 0, 0},
      {"size at 4 GiB", bytes({'F', 'L', 'V', 1, 5, 0xFF, 0xFF, 0xFF, 0xFF}), 0, 0},
      {"not FLV", bytes({'F', 'L', 'X', 1, 5, 0, 0, 0, 9}), 0, 0},
      {"eight bytes", bytes({'F', 'L', 'V', 1, 5, 0, 0, 0}), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kx::FlvFileHeader h;
    ASSERT_EQ(kx::flv_parse_file_header(c.in.data(), static_cast<int>(c.in.size()), h), c.ok);
    EXPECT_EQ(h.data_offset, c.offset);
  }
}

TEST(FlvTag, LargeHeaderThresholdFollowsTheField) {
  struct Case {
    int header_len;
    uint32_t size;
    int capacity;
    bool fits;
  } cases[] = {
      {9, 1000, 1024, true},   // 9 + 15 + 1000 = 1024
      {9, 1001, 1024, false},
      {9, 1039, 1024, false},  // below the old 1040 threshold, yet beyond the field
      {13, 996, 1024, true},
      {13, 997, 1024, false},
      {9, 0xFFFFFFFF, 1024, false},
      {2000, 0, 1024, false},
      {-1, 0, 1024, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.header_len) + "+" + std::to_string(c.size));
    EXPECT_EQ(kx::flv_header_fits(c.header_len, c.size, c.capacity), c.fits);
  }
}

// ---------------------------------------------------------------- MP4 probe

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

std::string box(const char* type, const std::string& body) {
  return be32(static_cast<uint32_t>(8 + body.size())) + type + body;
}

// The fixed tail of a movie header: rate, volume, reserved, matrix, pre-defined, next track.
std::string mvhd_tail() {
  return be32(0x00010000) + std::string("\x01\x00", 2) + std::string(10, '\0') + std::string(36, '\0') +
         std::string(24, '\0') + be32(2);
}

std::string mvhd_v0(uint32_t scale, uint32_t duration) {
  return box("mvhd", be32(0) + be32(0) + be32(0) + be32(scale) + be32(duration) + mvhd_tail());
}

std::string mvhd_v1(uint32_t scale, uint64_t duration) {
  return box("mvhd", be32(0x01000000) + be32(0) + be32(0) + be32(0) + be32(0) + be32(scale) +
                         be32(static_cast<uint32_t>(duration >> 32)) + be32(static_cast<uint32_t>(duration)) +
                         mvhd_tail());
}

// A file of `size` bytes: ftyp, filler, and `header` placed at `at`.
std::string movie_file(size_t size, size_t at, const std::string& header) {
  std::string f = box("ftyp", "isom" + be32(0x200) + "isomiso2");
  f.resize(size, 'x');
  if (!header.empty()) f.replace(at, header.size(), header);
  return f;
}

double probe_both(const kxt::TempDir& dir, const std::string& data, int* kbit = nullptr) {
  std::string path = dir / "probe.mp4";
  kxt::spit(path, data);
  double mem = kx::mp4_duration_mem(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  double file = kx::mp4_duration(path);
  EXPECT_EQ(mem, file) << "memory and file give the same answer";
  if (kbit) {
    *kbit = kx::mp4_kbitrate(path);
    EXPECT_EQ(*kbit, kx::mp4_kbitrate_mem(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
  }
  return file;
}

TEST(Mp4Probe, FfmpegFilesFastStartAndNot) {
  REQUIRE_MEDIA();
  Bytes slow = load(media().clean_mp4), fast = load(media().fast_mp4);
  size_t slow_at = find(slow, "mvhd"), fast_at = find(fast, "mvhd");
  ASSERT_NE(slow_at, std::string::npos);
  ASSERT_NE(fast_at, std::string::npos);
  ASSERT_LT(fast_at, static_cast<size_t>(kx::kMp4SearchBlock)) << "fast start: in the first block";
  ASSERT_GT(slow_at, static_cast<size_t>(kx::kMp4SearchBlock) + 64) << "plain: only the search from the end finds it";
  double expect = ffprobe_duration(media().clean_mp4);
  ASSERT_GT(expect, 1.5);
  double d_fast = kx::mp4_duration(media().fast_mp4);
  double d_slow = kx::mp4_duration(media().clean_mp4);
  EXPECT_NEAR(d_fast, expect, 0.05);
  EXPECT_EQ(d_slow, d_fast);
  int kbit = kx::mp4_kbitrate(media().clean_mp4);
  EXPECT_EQ(kbit, static_cast<int>(static_cast<double>(slow.size()) * 8 / (d_slow * 1000)));
  EXPECT_GT(kbit, 100);
  EXPECT_LT(kbit, 400);
  EXPECT_EQ(kx::mp4_duration_mem(slow.data(), slow.size()), d_slow);
}

TEST(Mp4Probe, HandBuiltTable) {
  kxt::TempDir dir;
  const std::string v0 = mvhd_v0(600, 6000);  // 10 s
  std::string fake = box("mvhd", std::string("\x07\0\0\0", 4) + std::string(120, '\0'));  // version 7
  std::string small = be32(16) + "mvhd" + std::string(8, '\0');                           // no room for fields
  struct Case {
    const char* what;
    std::string data;
    double seconds;
  } cases[] = {
      {"at the start", movie_file(30000, 100, v0), 10.0},
      {"in the last block", movie_file(30000, 29000, v0), 10.0},
      {"in a middle block", movie_file(30000, 15000, v0), 10.0},
      {"version 1, 64-bit duration", movie_file(30000, 25000, mvhd_v1(1000, 5000000000000ull)), 5000000000.0},
      {"version 1 at the start", movie_file(5000, 40, mvhd_v1(90000, 900000)), 10.0},
      {"absent", movie_file(50000, 0, ""), 0.0},
      {"absent, small file", movie_file(300, 0, ""), 0.0},
      {"time scale 0", movie_file(30000, 100, mvhd_v0(0, 6000)), 0.0},
      {"duration 0", movie_file(30000, 100, mvhd_v0(600, 0)), 0.0},
      {"duration unknown", movie_file(30000, 100, mvhd_v0(600, 0xFFFFFFFF)), 0.0},
      {"bad versions skipped", movie_file(30000, 100, fake + small + v0), 10.0},
      {"cut inside the header", movie_file(30000, 0, "").substr(0, 29990) + v0.substr(0, 20), 0.0},
      {"empty", "", 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int kbit = -1;
    double d = probe_both(dir, c.data, &kbit);
    EXPECT_EQ(d, c.seconds);
    EXPECT_EQ(kbit, c.seconds > 0 ? static_cast<int>(static_cast<double>(c.data.size()) * 8 / (c.seconds * 1000)) : 0);
  }
}

TEST(Mp4Probe, HeaderAcrossEverySearchBlockBoundary) {
  kxt::TempDir dir;
  const size_t size = 40000;
  const std::string v0 = mvhd_v0(600, 6000), v1 = mvhd_v1(600, 6000);
  // The end of the first block and the starts of the blocks read back from the end.
  const size_t bounds[] = {kx::kMp4SearchBlock, size - kx::kMp4SearchBlock, size - 2 * kx::kMp4SearchBlock};
  for (size_t b : bounds) {
    for (const std::string* h : {&v0, &v1}) {
      for (size_t at = b - h->size(); at <= b + 1; ++at) {
        SCOPED_TRACE("boundary " + std::to_string(b) + " box at " + std::to_string(at) + " size " +
                     std::to_string(h->size()));
        std::string data = movie_file(size, at, *h);
        ASSERT_EQ(kx::mp4_duration_mem(reinterpret_cast<const uint8_t*>(data.data()), data.size()), 10.0);
      }
    }
  }
  // And through the file path, at the tightest spots.
  for (size_t b : bounds) {
    for (size_t at : {b - 4, b - 2, b - 20, b - 40}) {
      SCOPED_TRACE(at);
      EXPECT_EQ(probe_both(dir, movie_file(size, at, v1)), 10.0);
    }
  }
}

TEST(Mp4Probe, SearchReadsOnlyBothEndsOfALargeFile) {
  // A file without a header near either end (an MPEG programme stream served as a movie,
  // a broken upload) is given up after the first and last search spans, not read whole.
  const size_t size = 40u << 20;
  const size_t span = static_cast<size_t>(kx::kMp4SearchSpan);
  const std::string v0 = mvhd_v0(600, 6000);
  struct Case {
    size_t at;
    double seconds;
  } cases[] = {
      {100u << 10, 10.0},                     // behind a large box near the start
      {span - v0.size() - 100, 10.0},         // the end of the first span
      {span + (1u << 20), 0.0},               // past it
      {size / 2, 0.0},                        // the middle
      {size - span + 200, 10.0},              // the far end of the last span
      {size - span - (1u << 20), 0.0},        // before it
      {size - (1u << 20), 10.0},              // a movie header written last
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    const std::string data = movie_file(size, c.at, v0);
    EXPECT_EQ(kx::mp4_duration_mem(reinterpret_cast<const uint8_t*>(data.data()), data.size()), c.seconds);
  }
}

TEST(Mp4Probe, UnreadableFile) {
  kxt::TempDir dir;
  EXPECT_EQ(kx::mp4_duration(dir / "missing.mp4"), 0.0);
  EXPECT_EQ(kx::mp4_kbitrate(dir / "missing.mp4"), 0);
  EXPECT_EQ(kx::mp4_duration(dir.path()), 0.0) << "a folder";
  EXPECT_EQ(kx::mp4_duration_mem(nullptr, 100), 0.0);
}

// ---------------------------------------------------------------- FLV probe

Bytes flv_with_script(const Bytes& script, const Bytes& before = {}) {
  Bytes f = bytes({'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0});
  append(f, before);
  uint8_t th[11];
  kx::flv_write_tag_header(th, 18, static_cast<uint32_t>(script.size()), 0);
  f.insert(f.end(), th, th + 11);
  append(f, script);
  uint32_t prev = static_cast<uint32_t>(script.size() + 11);
  append(f, bytes({0, 0, static_cast<int>(prev >> 8), static_cast<int>(prev & 0xFF)}));
  return f;
}

Bytes script_data(bool ecma, const std::string& filler, bool with_rates = true) {
  Bytes buf(4096);
  kx::Amf0Writer w(buf.data(), static_cast<int>(buf.size()));
  w.string("onMetaData");
  if (ecma) w.begin_ecma_array(4);
  else w.begin_object();
  if (!filler.empty()) w.prop("comment", filler);
  w.key("keyframes").begin_object().prop("duration", 99.0).end_object();  // nested: not the top one
  w.prop("duration", 12.5);
  if (with_rates) w.prop("videodatarate", 800.0).prop("audiodatarate", 96.0);
  w.end_object();
  buf.resize(static_cast<size_t>(w.size()));
  return buf;
}

TEST(FlvProbe, FfmpegFile) {
  REQUIRE_MEDIA();
  kx::FlvFileInfo info;
  ASSERT_EQ(kx::flv_probe(media().rated_flv, info), 1);
  EXPECT_NEAR(info.duration, ffprobe_duration(media().rated_flv), 0.01);
  EXPECT_GT(info.duration, 1.5);
  EXPECT_EQ(info.videodatarate, 200000 / 1024.0);  // ffmpeg writes bit rate / 1024
  EXPECT_EQ(info.audiodatarate, 64000 / 1024.0);
  EXPECT_EQ(info.datarate(), 200000 / 1024.0 + 64000 / 1024.0);
}

TEST(FlvProbe, HandBuiltTable) {
  kxt::TempDir dir;
  Bytes video_first = bytes({9, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x17, 0, 0, 0, 0, 13});
  Bytes cut = flv_with_script(script_data(false, ""));
  cut.resize(cut.size() - 30);  // ends inside "audiodatarate"
  Bytes bad_offset = flv_with_script(script_data(false, ""));
  bad_offset[8] = 200;
  Bytes other_script = flv_with_script(bytes({2, 0, 9, 'o', 'n', 'C', 'u', 'e', 'P', 'o', 'i', 'n'}));
  struct Case {
    const char* what;
    Bytes file;
    int ok;
    double duration, rate;
  } cases[] = {
      {"object", flv_with_script(script_data(false, "")), 1, 12.5, 896},
      {"ECMA array", flv_with_script(script_data(true, "")), 1, 12.5, 896},
      {"past the first 512 bytes", flv_with_script(script_data(true, std::string(900, 'c'))), 1, 12.5, 896},
      {"after a video tag", flv_with_script(script_data(false, ""), video_first), 1, 12.5, 896},
      {"no rates", flv_with_script(script_data(false, "", false)), 1, 12.5, 0},
      {"cut inside", cut, 1, 12.5, 800},
      {"header size field bogus", bad_offset, 0, 0, 0},
      {"another script tag only", other_script, 0, 0, 0},
      {"not FLV", bytes({'F', 'W', 'S', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}), 0, 0, 0},
      {"empty", Bytes{}, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    save(dir / "probe.flv", c.file);
    kx::FlvFileInfo info, mem;
    EXPECT_EQ(kx::flv_probe(dir / "probe.flv", info), c.ok);
    EXPECT_EQ(info.duration, c.duration);
    EXPECT_EQ(info.datarate(), c.rate);
    EXPECT_EQ(kx::flv_probe_mem(c.file.data(), c.file.size(), mem), c.ok);
    EXPECT_EQ(mem.duration, info.duration);
    EXPECT_EQ(mem.datarate(), info.datarate());
  }
  kx::FlvFileInfo info;
  EXPECT_EQ(kx::flv_probe(dir / "missing.flv", info), 0);
}

}  // namespace

namespace {

// AudioSpecificConfig fields as ISO/IEC 14496-3 lays them out: the escaped object type,
// the explicit rate after index 15, and a config cut short.
TEST(AacConfig, AudioSpecificConfigFields) {
  struct Case {
    std::vector<uint8_t> asc;
    bool ok;
    int object_type, freq_index, channels;
  } cases[] = {
      {{0x12, 0x10}, true, 2, 4, 2},                    // AAC-LC, 44.1 kHz, stereo
      {{0x11, 0x88}, true, 2, 3, 1},                    // AAC-LC, 48 kHz, mono
      {{0xF9, 0x48, 0x40}, true, 42, 4, 2},             // object type escaped to 32 + 10
      {{0x17, 0x80, 0x5D, 0xC0, 0x10}, true, 2, 15, 2}, // index 15: a 24-bit rate follows
      {{0x12}, false, 0, 0, 0},                         // the channels are cut off
      {{0x17, 0x80, 0x5D}, false, 0, 0, 0},             // the explicit rate is cut off
  };
  for (const Case& c : cases) {
    kx::AscFields f;
    ASSERT_EQ(kx::aac_asc_fields(c.asc.data(), c.asc.size(), f), c.ok) << int(c.asc[0]);
    if (!c.ok) continue;
    EXPECT_EQ(f.object_type, c.object_type);
    EXPECT_EQ(f.freq_index, c.freq_index);
    EXPECT_EQ(f.channels, c.channels);
  }
}

}  // namespace
