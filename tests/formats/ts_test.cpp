// MPEG-TS routines: packet header and PCR, PES timing and the timestamp writers, PAT/PMT
// sections across packets, the payload extractor, the unbounded PES length, and the
// tables and first video packet of our muxer -- checked against hand-built packets and
// against streams ffmpeg makes, and our muxed stream read back by ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "formats/pes.h"
#include "formats/psi.h"
#include "formats/ts.h"
#include "formats/ts_mux.h"
#include "formats/ts_payload.h"
#include "support/harness.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;
using Packet = std::array<uint8_t, kTsPacketSize>;

// ---------------------------------------------------------------------------------
// Builders

struct PacketParts {
  int pid = 0;
  bool pusi = false;
  int cc = 0;
  Bytes payload;
  bool stuff = false;  // fill the room with adaptation-field stuffing (PES style)
  int64_t pcr = -1;    // PCR base, or none
};

// A packet from its parts; without stuffing a short payload is followed by 0xFF (PSI style).
Packet build(const PacketParts& s) {
  Packet p;
  p.fill(0xFF);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((s.pusi ? 0x40 : 0) | ((s.pid >> 8) & 0x1F));
  p[2] = static_cast<uint8_t>(s.pid & 0xFF);
  const std::size_t n = s.payload.size();
  const bool af = s.pcr >= 0 || (s.stuff && n < 184);
  std::size_t pos = 4;
  if (af) {
    const std::size_t min_af = s.pcr >= 0 ? 7 : 0;
    const std::size_t af_len = std::max(min_af, 183 - std::min<std::size_t>(n, 183));
    EXPECT_LE(n + af_len + 1, 184u) << "payload does not fit";
    p[3] = static_cast<uint8_t>((n == 0 ? 0x20 : 0x30) | (s.cc & 0x0F));
    p[4] = static_cast<uint8_t>(af_len);
    if (af_len > 0) p[5] = s.pcr >= 0 ? 0x10 : 0x00;
    if (s.pcr >= 0) ts_write_pcr(&p[6], static_cast<uint64_t>(s.pcr));
    pos = 5 + af_len;
  } else {
    p[3] = static_cast<uint8_t>(0x10 | (s.cc & 0x0F));
  }
  if (n) std::memcpy(&p[pos], s.payload.data(), std::min(n, kTsPacketSize - pos));
  return p;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// Bit by bit, independent of the table-driven routine under test.
uint32_t crc_bitwise(const uint8_t* p, std::size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= uint32_t{p[i]} << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

void fix_crc(Bytes& sec) {
  ASSERT_GE(sec.size(), 4u);
  const uint32_t c = crc_bitwise(sec.data(), sec.size() - 4);
  for (int i = 0; i < 4; ++i) sec[sec.size() - 4 + i] = static_cast<uint8_t>(c >> (24 - 8 * i));
}

// Sets the section length field from the size and recomputes the CRC.
void seal(Bytes& sec) {
  const std::size_t sl = sec.size() - 3;
  sec[1] = static_cast<uint8_t>((sec[1] & 0xF0) | ((sl >> 8) & 0x0F));
  sec[2] = static_cast<uint8_t>(sl & 0xFF);
  fix_crc(sec);
}

struct EsEntry {
  int type, pid;
  std::size_t es_info = 0;
};

Bytes pmt_section(const std::vector<EsEntry>& es, std::size_t program_info = 0, int pcr_pid = 0x44) {
  Bytes s = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00,
             static_cast<uint8_t>(0xE0 | (pcr_pid >> 8)), static_cast<uint8_t>(pcr_pid & 0xFF),
             static_cast<uint8_t>(0xF0 | (program_info >> 8)), static_cast<uint8_t>(program_info & 0xFF)};
  for (std::size_t i = 0; i < program_info; ++i) s.push_back(static_cast<uint8_t>(0x80 + i % 64));
  for (const auto& e : es) {
    s.push_back(static_cast<uint8_t>(e.type));
    s.push_back(static_cast<uint8_t>(0xE0 | (e.pid >> 8)));
    s.push_back(static_cast<uint8_t>(e.pid & 0xFF));
    s.push_back(static_cast<uint8_t>(0xF0 | (e.es_info >> 8)));
    s.push_back(static_cast<uint8_t>(e.es_info & 0xFF));
    for (std::size_t i = 0; i < e.es_info; ++i) s.push_back(0x0A);
  }
  s.insert(s.end(), 4, 0);
  seal(s);
  return s;
}

// A long-form section of exactly `total` bytes (at least 12) with a right CRC.
Bytes any_section(uint8_t table_id, std::size_t total) {
  Bytes s = {table_id, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00};
  while (s.size() < total - 4) s.push_back(static_cast<uint8_t>(s.size() * 7));
  s.insert(s.end(), 4, 0);
  seal(s);
  return s;
}

Bytes pat_section(std::vector<std::pair<int, int>> programs) {
  Bytes s = {0x00, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00};
  for (auto [prog, pid] : programs) {
    s.push_back(static_cast<uint8_t>(prog >> 8));
    s.push_back(static_cast<uint8_t>(prog & 0xFF));
    s.push_back(static_cast<uint8_t>(0xE0 | (pid >> 8)));
    s.push_back(static_cast<uint8_t>(pid & 0xFF));
  }
  s.insert(s.end(), 4, 0);
  seal(s);
  return s;
}

// A PES header: start code, stream id, length field, then the optional header with
// the timestamps asked for (flags 2: PTS, 3: PTS and DTS) and extra stuffing.
Bytes pes_head(int sid, int length, int flags, uint64_t pts = 0, uint64_t dts = 0, int extra = 0) {
  const int hdl = (flags == 2 ? 5 : flags == 3 ? 10 : 0) + extra;
  Bytes b = {0x00, 0x00, 0x01, static_cast<uint8_t>(sid), static_cast<uint8_t>(length >> 8),
             static_cast<uint8_t>(length & 0xFF), 0x80, static_cast<uint8_t>(flags << 6),
             static_cast<uint8_t>(hdl)};
  uint8_t ts[5];
  if (flags == 2) {
    pes_write_timestamp(ts, 0x21, pts);
    b.insert(b.end(), ts, ts + 5);
  } else if (flags == 3) {
    pes_write_timestamp(ts, 0x31, pts);
    b.insert(b.end(), ts, ts + 5);
    pes_write_timestamp(ts, 0x11, dts);
    b.insert(b.end(), ts, ts + 5);
  }
  b.insert(b.end(), static_cast<std::size_t>(extra), 0xFF);
  return b;
}

// Packets of one PID carrying a section stream: the first packet starts a unit with
// pointer 0, the rest continue.
std::vector<Packet> section_packets(int pid, const Bytes& sec, int cc0 = 0) {
  std::vector<Packet> out;
  std::size_t pos = 0;
  int cc = cc0;
  while (pos < sec.size()) {
    const bool first = pos == 0;
    const std::size_t room = first ? 183 : 184;
    const std::size_t n = std::min(room, sec.size() - pos);
    Bytes pl = first ? Bytes{0x00} : Bytes{};
    pl.insert(pl.end(), sec.begin() + static_cast<std::ptrdiff_t>(pos),
              sec.begin() + static_cast<std::ptrdiff_t>(pos + n));
    out.push_back(build({pid, first, cc++, pl}));
    pos += n;
  }
  return out;
}

// Logs go to a folder of the test's own; the admin log is read back.
class TsLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(tmp_.path(), "/tmp");
    open_logs(tmp_ / "log");
    log_set_mode(Sink::Admin, 1);
  }
  void TearDown() override {
    close_logs();
    log_set_mode(Sink::Admin, 1000);
  }
  std::string admin_log() const { return kxt::slurp(tmp_ / "log/admin_system.log"); }
  bool logged(const std::string& text) const { return admin_log().find(text) != std::string::npos; }
  std::size_t count_logged(const std::string& text) const {
    const std::string log = admin_log();
    std::size_t n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  kxt::TempDir tmp_;
};

// ---------------------------------------------------------------------------------
// TS header and PCR

TEST(TsHeader, FieldsAndTheAdaptationFieldBound) {
  struct Case {
    const char* name;
    uint8_t b0, b1, b2, b3, b4;
    int ok, pid;
    bool pusi, tei;
    int afc, cc, af_length, offset, size;
  };
  const Case cases[] = {
      {"payload only", 0x47, 0x41, 0x00, 0x17, 0x00, 1, 0x100, true, false, 1, 7, -1, 4, 184},
      {"empty adaptation field", 0x47, 0x01, 0x00, 0x30, 0x00, 1, 0x100, false, false, 3, 0, 0, 5, 183},
      {"adaptation field of 7", 0x47, 0x00, 0x44, 0x3F, 0x07, 1, 0x44, false, false, 3, 15, 7, 12, 176},
      {"adaptation only, 183", 0x47, 0x00, 0x44, 0x20, 183, 1, 0x44, false, false, 2, 0, 183, 188, 0},
      {"both, 183 leaves nothing", 0x47, 0x00, 0x44, 0x30, 183, 1, 0x44, false, false, 3, 0, 183, 188, 0},
      {"length 184", 0x47, 0x00, 0x44, 0x30, 184, 0, 0x44, false, false, 3, 0, 184, 0, 0},
      {"garbage length", 0x47, 0x00, 0x44, 0x20, 0xFF, 0, 0x44, false, false, 2, 0, 255, 0, 0},
      {"reserved control", 0x47, 0x00, 0x44, 0x05, 0x00, 0, 0x44, false, false, 0, 5, -1, 4, 0},
      {"largest PID, error flag", 0x47, 0x9F, 0xFF, 0x10, 0x00, 1, 0x1FFF, false, true, 1, 0, -1, 4, 184},
      {"no sync byte", 0x46, 0x00, 0x00, 0x10, 0x00, 0, -1, false, false, 0, 0, -1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Packet p;
    p.fill(0xFF);
    p[0] = c.b0, p[1] = c.b1, p[2] = c.b2, p[3] = c.b3, p[4] = c.b4;
    TsHeader h;
    EXPECT_EQ(ts_parse_header(p.data(), h), c.ok);
    EXPECT_EQ(h.pid, c.pid);
    EXPECT_EQ(ts_pid(p.data()), c.pid);
    if (c.pid < 0) continue;
    EXPECT_EQ(h.payload_start, c.pusi);
    EXPECT_EQ(h.transport_error, c.tei);
    EXPECT_EQ(h.adaptation_control, c.afc);
    EXPECT_EQ(h.continuity, c.cc);
    EXPECT_EQ(h.af_length, c.af_length);
    if (c.ok) {
      EXPECT_EQ(h.payload_offset, c.offset);
      EXPECT_EQ(h.payload_size, c.size);
    }
  }
  Packet pat = build({0, true, 0, {0x00}});
  EXPECT_TRUE(ts_is_pat(pat.data()));
  pat[2] = 0x11;
  EXPECT_FALSE(ts_is_pat(pat.data()));
  pat = build({0, true, 0, {0x00}});
  pat[0] = 0;
  EXPECT_FALSE(ts_is_pat(pat.data()));
}

TEST(TsPcr, ReadOnlyWhenTheAdaptationFieldHoldsOne) {
  struct Case {
    const char* name;
    uint8_t control;  // byte 3
    uint8_t af_length, flags;
    Bytes pcr;
    int found;
    uint64_t value;
  };
  const uint64_t top = (uint64_t{1} << 33) - 1;
  const Case cases[] = {
      {"base 90000", 0x30, 7, 0x10, {0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00}, 1, 27000000},
      {"adaptation only, 183", 0x20, 183, 0x10, {0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00}, 1, 27000000},
      {"largest base and extension", 0x30, 7, 0x10, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x2B}, 1, top * 300 + 299},
      {"field too short for a PCR", 0x30, 6, 0x10, {0x00, 0x00, 0xAF, 0xC8, 0x7E}, 0, 0},
      {"flag clear", 0x30, 7, 0x00, {0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00}, 0, 0},
      {"no adaptation field", 0x10, 7, 0x10, {0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00}, 0, 0},
      {"impossible length", 0x30, 200, 0x10, {0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Packet p;
    p.fill(0xFF);
    p[0] = 0x47, p[1] = 0x01, p[2] = 0x00, p[3] = c.control, p[4] = c.af_length, p[5] = c.flags;
    std::copy(c.pcr.begin(), c.pcr.end(), p.begin() + 6);
    uint64_t v = 12345;
    TsTiming t;
    t.pcr_seconds = -1;
    EXPECT_EQ(ts_read_pcr_value(p.data(), v), c.found);
    EXPECT_EQ(ts_read_pcr(p.data(), t), c.found);
    if (c.found) {
      EXPECT_EQ(v, c.value);
      EXPECT_DOUBLE_EQ(t.pcr_seconds, static_cast<double>(c.value) / 27000000.0);
    } else {
      EXPECT_EQ(t.pcr_seconds, -1);
    }
  }
  // 90000 -> one second exactly.
  Packet one = build({0x100, false, 0, {}, true, 90000});
  TsTiming t;
  ASSERT_EQ(ts_read_pcr(one.data(), t), 1);
  EXPECT_EQ(t.pcr_seconds, 1.0);
}

// ---------------------------------------------------------------------------------
// Timestamp writers, the 90 kHz clock, PES timing

TEST(PesTimestamp, WritersGiveTheStandardFormsAndWrapAt33Bits) {
  uint8_t b[10];
  pes_write_pts(b, 900000);
  EXPECT_EQ(Bytes(b, b + 5), (Bytes{0x21, 0x00, 0x37, 0x77, 0x41}));
  pes_write_pts_dts(b, 900000);
  EXPECT_EQ(Bytes(b, b + 10), (Bytes{0x31, 0x00, 0x37, 0x77, 0x41, 0x11, 0x00, 0x37, 0x77, 0x41}));
  uint8_t pcr[6];
  ts_write_pcr(pcr, 90000);
  EXPECT_EQ(Bytes(pcr, pcr + 6), (Bytes{0x00, 0x00, 0xAF, 0xC8, 0x7E, 0x00}));

  const uint64_t wrap = uint64_t{1} << 33;
  const std::pair<uint64_t, uint64_t> round_trips[] = {
      {0, 0}, {1, 1}, {900000, 900000}, {uint64_t{1} << 32, uint64_t{1} << 32},
      {wrap - 1, wrap - 1}, {wrap, 0}, {wrap + 28, 28},
  };
  for (auto [in, want] : round_trips) {
    SCOPED_TRACE(in);
    for (uint8_t prefix : {uint8_t{0x21}, uint8_t{0x31}, uint8_t{0x11}}) {
      pes_write_timestamp(b, prefix, in);
      EXPECT_EQ(b[0] & 0xF1, prefix);  // prefix and the three marker bits
      EXPECT_EQ(b[2] & 1, 1);
      EXPECT_EQ(b[4] & 1, 1);
      EXPECT_EQ(pes_decode_timestamp(b), want);
    }
    ts_write_pcr(pcr, in);
    Packet p = build({0x100, false, 0, {}, true, 0});
    std::copy(pcr, pcr + 6, p.begin() + 6);
    uint64_t v = 0;
    ASSERT_EQ(ts_read_pcr_value(p.data(), v), 1);
    EXPECT_EQ(v, want * 300);
  }

  const std::pair<uint64_t, uint64_t> clock[] = {
      {0, 0}, {10000, 900000}, {95443717, 8589934530u}, {95443718, 28}, {2 * 95443718, 56},
  };
  for (auto [ms, want] : clock) EXPECT_EQ(ts_ms_to_90k(ms), want) << ms;
  EXPECT_EQ(ts_90k_to_ms(900000), 10000u);
  EXPECT_EQ(ts_90k_to_ms(wrap - 1), 95443717u);
}

class PesTiming : public TsLogTest {};

TEST_F(PesTiming, HeadersSetTheVideoOrAudioFields) {
  const uint64_t top = (uint64_t{1} << 33) - 1;
  struct Case {
    const char* name;
    Bytes pes;
    int cut;  // bytes removed from the end (a truncated header)
    int ok;
    uint64_t pts_ms, dts_ms, audio_pts_ms, audio_dts_ms;
    bool no_audio_pts_logged;
  };
  const uint64_t u = 777;  // unchanged
  const Case cases[] = {
      {"video PTS only", pes_head(0xE0, 0, 2, 900000), 0, 1, 10000, 10000, u, u, false},
      {"video PTS and DTS", pes_head(0xE0, 0, 3, 900000, 891000), 0, 1, 10000, 9900, u, u, false},
      {"second video stream id", pes_head(0xE1, 100, 2, 90), 0, 1, 1, 1, u, u, false},
      {"audio PTS", pes_head(0xC0, 200, 2, 450000), 0, 1, u, u, 5000, 5000, false},
      {"audio PTS and DTS", pes_head(0xC0, 200, 3, 450000, 449910), 0, 1, u, u, 5000, 4999, false},
      {"audio without PTS", pes_head(0xC0, 200, 0), 0, 0, u, u, u, u, true},
      {"video without PTS", pes_head(0xE0, 0, 0), 0, 0, u, u, u, u, false},
      {"PTS at the top of 33 bits", pes_head(0xE0, 0, 2, top), 0, 1, 95443717, 95443717, u, u, false},
      {"header stuffing", pes_head(0xE0, 0, 2, 900000, 0, 20), 0, 1, 10000, 10000, u, u, false},
      {"header cut short", pes_head(0xE0, 0, 3, 900000, 900000), 3, 0, u, u, u, u, false},
      {"only the start", pes_head(0xE0, 0, 3, 900000, 900000), 12, 0, u, u, u, u, false},
      {"length field shorter than the header", pes_head(0xE0, 7, 2, 900000), 0, 0, u, u, u, u, false},
      {"DTS flag without room for it", [] {
         Bytes b = pes_head(0xE0, 0, 2, 900000);
         b[7] = 0xC0;
         return b;
       }(), 0, 0, u, u, u, u, false},
      {"bad start code", [] {
         Bytes b = pes_head(0xE0, 0, 2, 900000);
         b[2] = 2;
         return b;
       }(), 0, 0, u, u, u, u, false},
      {"private stream", pes_head(0xBD, 100, 2, 900000), 0, 0, u, u, u, u, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b = slice(c.pes, 0, c.pes.size() - static_cast<std::size_t>(c.cut));
    TsTiming t;
    t.pts_ms = t.dts_ms = t.audio_pts_ms = t.audio_dts_ms = u;
    const std::size_t before = count_logged("No Audio PTS");
    EXPECT_EQ(pes_read_timing(b.data(), b.size(), t), c.ok);
    EXPECT_EQ(t.pts_ms, c.pts_ms);
    EXPECT_EQ(t.dts_ms, c.dts_ms);
    EXPECT_EQ(t.audio_pts_ms, c.audio_pts_ms);
    EXPECT_EQ(t.audio_dts_ms, c.audio_dts_ms);
    EXPECT_EQ(count_logged("No Audio PTS") - before, c.no_audio_pts_logged ? 1u : 0u);
  }
  // The header's own view: sizes and the announced payload.
  Bytes b = pes_head(0xC0, 200, 2, 450000);
  PesHeader h;
  ASSERT_EQ(pes_parse_header(b.data(), b.size(), h), 1);
  EXPECT_EQ(h.header_size, 14);
  EXPECT_EQ(h.payload_length, 200 + 6 - 14);
  b = pes_head(0xE0, 0, 3, 1, 2);
  ASSERT_EQ(pes_parse_header(b.data(), b.size(), h), 1);
  EXPECT_EQ(h.payload_length, -1);
  EXPECT_EQ(h.pts, 1u);
  EXPECT_EQ(h.dts, 2u);
}

// ---------------------------------------------------------------------------------
// PAT and PMT

class PsiPmt : public TsLogTest {};

TEST_F(PsiPmt, StreamTypesGiveTheVideoAndAudioPids) {
  struct Case {
    const char* name;
    std::vector<EsEntry> es;
    std::size_t program_info;
    int video, audio;
  };
  const Case cases[] = {
      {"H.264 and AAC", {{0x1B, 0x44}, {0x0F, 0x45}}, 0, 68, 69},
      {"AC-3 after AAC replaces it", {{0x1B, 0x44}, {0x0F, 0x45}, {0x81, 0x46}}, 0, 68, 70},
      {"MPEG-2 video, MPEG-1 then MPEG-2 audio", {{0x02, 0x100}, {0x03, 0x101}, {0x04, 0x102}}, 0, 256, 258},
      {"descriptors and other types skipped", {{0x06, 0x50, 10}, {0x1B, 0x44, 6}, {0x0F, 0x45, 3}}, 0, 68, 69},
      {"program descriptors", {{0x1B, 0x40}, {0x0F, 0x80}}, 12, 64, 128},
      {"PIDs some filters drop", {{0x1B, 0x41}, {0x81, 0xFF}}, 0, 65, 255},
      {"no known types", {{0x24, 0x44}, {0x06, 0x45}}, 0, -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes sec = pmt_section(c.es, c.program_info, 0x44);
    TsPids pids;
    pids.pmt = 0x1000;
    ASSERT_EQ(psi_parse_pmt(sec.data(), sec.size(), pids, "ch1"), 1);
    EXPECT_EQ(pids.video, c.video);
    EXPECT_EQ(pids.audio, c.audio);
    EXPECT_EQ(pids.pcr, 0x44);
    EXPECT_EQ(pids.pmt, 0x1000);
    EXPECT_TRUE(logged("CH [ch1] Video PID =[" + std::to_string(c.video) + "], Audio PID=[" +
                       std::to_string(c.audio) + "]\n"));
  }
}

TEST_F(PsiPmt, UnsoundSectionsLeaveThePidsAlone) {
  const Bytes good = pmt_section({{0x1B, 0x44}, {0x0F, 0x45, 4}}, 2);
  struct Case {
    const char* name;
    void (*mutate)(Bytes&);
    bool not_pmt_logged;
  };
  const Case cases[] = {
      {"PAT table id", [](Bytes& s) { s[0] = 0x00; fix_crc(s); }, true},
      {"SDT table id", [](Bytes& s) { s[0] = 0x42; fix_crc(s); }, true},
      {"bad CRC", [](Bytes& s) { s.back() ^= 1; }, false},
      {"truncated by one byte", [](Bytes& s) { s.pop_back(); }, false},
      {"section length past the buffer", [](Bytes& s) { s[2] = static_cast<uint8_t>(s[2] + 1); }, false},
      {"section length over 1021", [](Bytes& s) { s[1] |= 0x0F; s[2] = 0xFF; }, false},
      {"section length under 13", [](Bytes& s) { s[2] = 12; }, false},
      {"ES info past the section", [](Bytes& s) { s[s.size() - 4 - 4 - 1] = 40; fix_crc(s); }, false},
      {"program info past the section", [](Bytes& s) { s[11] = 200; fix_crc(s); }, false},
      {"entry cut in the middle", [](Bytes& s) {
         s.erase(s.end() - 4 - 2, s.end() - 4);
         seal(s);
       }, false},
      {"not yet current", [](Bytes& s) { s[5] &= 0xFE; fix_crc(s); }, false},
      {"no syntax indicator", [](Bytes& s) { s[1] &= 0x7F; fix_crc(s); }, false},
      {"empty", [](Bytes& s) { s.clear(); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes s = good;
    c.mutate(s);
    TsPids pids;
    pids.video = 1, pids.audio = 2, pids.pmt = 3, pids.pcr = 4;
    const std::size_t before = count_logged("Not PMT Table\n");
    EXPECT_EQ(psi_parse_pmt(s.data(), s.size(), pids, "ch1"), 0);
    EXPECT_EQ(pids.video, 1);
    EXPECT_EQ(pids.audio, 2);
    EXPECT_EQ(pids.pmt, 3);
    EXPECT_EQ(pids.pcr, 4);
    EXPECT_EQ(count_logged("Not PMT Table\n") - before, c.not_pmt_logged ? 1u : 0u);
  }
  EXPECT_FALSE(logged("Video PID ="));
}

TEST_F(PsiPmt, OnePacketForm) {
  const Bytes sec = pmt_section({{0x1B, 0x44}, {0x0F, 0x45}});
  struct Case {
    const char* name;
    Packet pkt;
    int ok;
  };
  const Bytes big = pmt_section({{0x1B, 0x44}, {0x0F, 0x45}}, 200);
  const Case cases[] = {
      {"pointer 0", build({0x1000, true, 0, cat({{0x00}, sec})}), 1},
      {"pointer skips a tail", build({0x1000, true, 0, cat({{0x03, 1, 2, 3}, sec})}), 1},
      {"after an adaptation field", build({0x1000, true, 0, cat({{0x00}, sec}), false, 90000}), 1},
      {"not a unit start", build({0x1000, false, 0, cat({{0x00}, sec})}), 0},
      {"section runs past the packet", build({0x1000, true, 0, cat({{0x00}, slice(big, 0, 183)})}), 0},
      {"pointer past the packet", build({0x1000, true, 0, {0xB7}}), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TsPids pids;
    EXPECT_EQ(psi_parse_pmt_packet(c.pkt.data(), pids, "one"), c.ok);
    EXPECT_EQ(pids.video, c.ok ? 68 : -1);
    EXPECT_EQ(pids.audio, c.ok ? 69 : -1);
  }
  Packet pat = build({0, true, 0, cat({{0x00}, pat_section({{1, 0x1000}})})});
  TsPids pids;
  EXPECT_EQ(psi_parse_pmt_packet(pat.data(), pids, "one"), 0);
  EXPECT_TRUE(logged("Not PMT Table\n"));
}

TEST(PsiPat, FirstProgramGivesThePmtPid) {
  struct Case {
    const char* name;
    Bytes sec;
    int ok, pmt;
  };
  Bytes bad_crc = pat_section({{1, 0x1000}});
  bad_crc[bad_crc.size() - 2] ^= 0x40;
  Bytes pmt_id = pat_section({{1, 0x1000}});
  pmt_id[0] = 0x02;
  fix_crc(pmt_id);
  const Case cases[] = {
      {"one program", pat_section({{1, 0x1000}}), 1, 0x1000},
      {"network PID first", pat_section({{0, 0x10}, {7, 0x0FFF}}), 1, 0x0FFF},
      {"first of two programs", pat_section({{2, 0x200}, {3, 0x300}}), 1, 0x200},
      {"only the network PID", pat_section({{0, 0x10}}), 0, -1},
      {"no programs", pat_section({}), 0, -1},
      {"bad CRC", bad_crc, 0, -1},
      {"other table", pmt_id, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TsPids pids;
    EXPECT_EQ(psi_parse_pat(c.sec.data(), c.sec.size(), pids), c.ok);
    EXPECT_EQ(pids.pmt, c.pmt);
    EXPECT_EQ(psi_crc_ok(c.sec.data(), c.sec.size()), std::string(c.name) != "bad CRC");
  }
}

// Feeds packets to an assembler on PID 0x1000 and returns the sections it gave.
std::vector<Bytes> assemble(const std::vector<Packet>& pkts) {
  PsiAssembler a;
  psi_reset(a, 0x1000);
  std::vector<Bytes> got;
  int total = 0;
  for (const auto& p : pkts)
    total += psi_feed(
        a, p.data(),
        [](void* ctx, const uint8_t* sec, std::size_t len) {
          static_cast<std::vector<Bytes>*>(ctx)->push_back(Bytes(sec, sec + len));
        },
        &got);
  EXPECT_EQ(static_cast<std::size_t>(total), got.size());
  return got;
}

TEST(PsiAssembly, SectionsAcrossPacketsAndTruncated) {
  const Bytes big = pmt_section({{0x1B, 0x44}, {0x0F, 0x45}}, 400);  // three packets
  ASSERT_EQ(big.size(), 426u);
  const std::vector<Packet> three = section_packets(0x1000, big, 5);
  ASSERT_EQ(three.size(), 3u);
  const Bytes a = any_section(0x02, 16), b = any_section(0x02, 300), c = any_section(0x02, 20);
  const Bytes x = any_section(0x02, 181);
  const Bytes next = pmt_section({{0x1B, 0x50}});

  struct Case {
    const char* name;
    std::vector<Packet> pkts;
    std::vector<Bytes> want;
  };
  const Case cases[] = {
      {"in order", three, {big}},
      {"a repeated packet", {three[0], three[1], three[1], three[2]}, {big}},
      {"other PIDs between", {three[0], build({0x44, false, 3, {1, 2, 3}}), three[1], three[2]}, {big}},
      {"a lost packet", {three[0], three[2]}, {}},
      {"a packet with a transport error",
       {three[0],
        [&] {
          Packet p = three[1];
          p[1] |= 0x80;
          return p;
        }(),
        three[2]},
       {}},
      {"truncated, then a new section", {three[0], three[1], build({0x1000, true, 8, cat({{0x00}, next})})}, {next}},
      {"truncated by its own start", {three[0], three[0]}, {}},
      {"pointer field ends the previous section, more follow",
       {build({0x1000, true, 0, cat({{0x00}, a, slice(b, 0, 167)})}),
        build({0x1000, true, 1, cat({{133}, slice(b, 167, 133), c})})},
       {a, b, c}},
      {"section head split between packets",
       {build({0x1000, true, 0, cat({{0x00}, x, slice(b, 0, 2)})}),
        build({0x1000, false, 1, slice(b, 2, 184)}), build({0x1000, false, 2, slice(b, 186, 114)})},
       {x, b}},
      {"length over 1021",
       {build({0x1000, true, 0, {0x00, 0x02, 0xB3, 0xFF, 0, 1}}), build({0x1000, false, 1, Bytes(184, 0)})},
       {}},
      {"pointer past the packet", {build({0x1000, true, 0, {0xB8}})}, {}},
      {"stuffing after a section", {build({0x1000, true, 0, cat({{0x00}, a, {0xFF}, c})})}, {a}},
  };
  for (const auto& cs : cases) {
    SCOPED_TRACE(cs.name);
    EXPECT_EQ(assemble(cs.pkts), cs.want);
  }
  // The whole big PMT, through the packets, reads as one.
  const auto got = assemble(three);
  ASSERT_EQ(got.size(), 1u);
  TsPids pids;
  EXPECT_EQ(psi_parse_pmt(got[0].data(), got[0].size(), pids, "multi"), 1);
  EXPECT_EQ(pids.video, 0x44);
  // The first packet alone does not hold it.
  EXPECT_EQ(psi_parse_pmt_packet(three[0].data(), pids, "multi"), 0);
}

// ---------------------------------------------------------------------------------
// Streams ffmpeg makes

struct Fixture {
  std::vector<Packet> packets;
  Bytes h264, adts;  // the elementary streams ffmpeg copies out of the same file
  std::vector<std::pair<uint64_t, uint64_t>> video_pts_dts;  // per video packet, 90 kHz
  uint64_t first_audio_pts = 0;
};

std::vector<Packet> split_packets(const std::string& data) {
  std::vector<Packet> out(data.size() / kTsPacketSize);
  for (std::size_t i = 0; i < out.size(); ++i) std::memcpy(out[i].data(), data.data() + i * kTsPacketSize, kTsPacketSize);
  return out;
}

// Runs ffmpeg once per PID pair for the whole test program.
const Fixture& fixture(int vpid, int apid) {
  static std::map<std::pair<int, int>, std::unique_ptr<Fixture>> made;
  static kxt::TempDir dir;
  auto& slot = made[{vpid, apid}];
  if (slot) return *slot;
  slot = std::make_unique<Fixture>();
  Fixture& f = *slot;
  const std::string ts = dir / ("fix_" + std::to_string(vpid) + ".ts");
  const std::string out = kxt::run_tool(
      {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
       "testsrc2=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
       "sine=frequency=440:sample_rate=44100:duration=2", "-map", "0:v", "-map", "1:a", "-c:v", "libx264",
       "-preset", "ultrafast", "-g", "25", "-c:a", "aac", "-b:a", "64k", "-f", "mpegts",
       "-mpegts_pmt_start_pid", "0x1000", "-streamid", "0:" + std::to_string(vpid), "-streamid",
       "1:" + std::to_string(apid), ts},
      60000);
  EXPECT_NE(out, "<failed>");
  f.packets = split_packets(kxt::slurp(ts));
  EXPECT_NE(kxt::run_tool({"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", ts, "-map", "0:v", "-c",
                           "copy", "-f", "h264", dir / "v.h264"}),
            "<failed>");
  EXPECT_NE(kxt::run_tool({"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", ts, "-map", "0:a", "-c",
                           "copy", "-f", "adts", dir / "a.aac"}),
            "<failed>");
  const std::string h264 = kxt::slurp(dir / "v.h264"), adts = kxt::slurp(dir / "a.aac");
  f.h264.assign(h264.begin(), h264.end());
  f.adts.assign(adts.begin(), adts.end());
  auto numbers = [](const std::string& text) {
    std::vector<std::vector<uint64_t>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      std::vector<uint64_t> row;
      std::istringstream ls(line);
      std::string field;
      while (std::getline(ls, field, ','))
        if (!field.empty() && std::all_of(field.begin(), field.end(), ::isdigit)) row.push_back(std::stoull(field));
      if (!row.empty()) rows.push_back(row);
    }
    return rows;
  };
  for (const auto& r : numbers(kxt::run_tool({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                               "packet=pts,dts", "-of", "csv=p=0", ts})))
    if (r.size() == 2) f.video_pts_dts.push_back({r[0], r[1]});
  const auto audio = numbers(kxt::run_tool(
      {"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "packet=pts", "-of", "csv=p=0", ts}));
  if (!audio.empty()) f.first_audio_pts = audio[0][0];
  return f;
}

// Packets after a position in a vector; gives up at its end.
struct VecSource {
  const std::vector<Packet>* v;
  std::size_t pos;
  static int next(void* ctx, const uint8_t** pkt) {
    auto* s = static_cast<VecSource*>(ctx);
    if (s->pos >= s->v->size()) return 0;
    *pkt = (*s->v)[s->pos++].data();
    return 1;
  }
};

struct Extracted {
  Bytes video, audio;  // PES payloads, skipped bytes included
  std::vector<Bytes> video_units, audio_units;  // forwarded bytes per PES
  std::vector<std::size_t> skipped;
  std::vector<int64_t> video_lengths;  // as the reader recorded them at each start
  std::vector<std::pair<uint64_t, uint64_t>> video_ms;
  std::vector<uint64_t> audio_ms;
  std::vector<Bytes> sps_pps;  // the setup bytes skipped at keyframes
};

Extracted extract(TsReader& r, const std::vector<Packet>& pkts) {
  Extracted e;
  for (std::size_t i = 0; i < pkts.size(); ++i) {
    VecSource vs{&pkts, i + 1};
    TsPacketSource ahead;
    ahead.ctx = &vs;
    ahead.next = VecSource::next;
    TsPayload out;
    EXPECT_EQ(ts_extract_payload(r, pkts[i].data(), out, &ahead), 1);
    if (out.len == 0 && !out.unit_start) continue;
    const bool video = out.kind == TsStream::Video;
    EXPECT_TRUE(video || out.kind == TsStream::Audio);
    Bytes& all = video ? e.video : e.audio;
    auto& units = video ? e.video_units : e.audio_units;
    if (out.unit_start) {
      units.emplace_back();
      all.insert(all.end(), out.data - out.skipped, out.data);
      if (video) {
        e.skipped.push_back(out.skipped);
        e.video_lengths.push_back(r.video_pes_length);
        e.video_ms.push_back({r.timing.pts_ms, r.timing.dts_ms});
        if (out.skipped > 6) e.sps_pps.push_back(Bytes(out.data - out.skipped + 6, out.data));
      } else {
        e.audio_ms.push_back(r.timing.audio_pts_ms);
      }
    }
    EXPECT_FALSE(units.empty());
    if (units.empty()) continue;
    all.insert(all.end(), out.data, out.data + out.len);
    units.back().insert(units.back().end(), out.data, out.data + out.len);
  }
  return e;
}

class TsReaderReal : public TsLogTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(TsReaderReal, FollowsTheProgramOfAnFfmpegStream) {
  const auto [vpid, apid] = GetParam();
  const Fixture& f = fixture(vpid, apid);
  ASSERT_GT(f.packets.size(), 100u);
  ASSERT_FALSE(f.h264.empty());
  ASSERT_FALSE(f.adts.empty());

  TsReader r;
  r.channel = "real";
  const Extracted e = extract(r, f.packets);
  EXPECT_EQ(r.pids.pmt, 0x1000);
  EXPECT_EQ(r.pids.video, vpid);
  EXPECT_EQ(r.pids.audio, apid);
  EXPECT_EQ(r.pids.pcr, vpid);
  // The PMT repeats; it is logged once.
  EXPECT_EQ(count_logged("CH [real] Video PID =[" + std::to_string(vpid) + "], Audio PID=[" +
                         std::to_string(apid) + "]\n"),
            1u);
  // Byte for byte the elementary streams ffmpeg copies out.
  EXPECT_TRUE(e.video == f.h264) << e.video.size() << " vs " << f.h264.size();
  EXPECT_TRUE(e.audio == f.adts) << e.audio.size() << " vs " << f.adts.size();

  // Timing per video PES as ffprobe reports it.
  ASSERT_EQ(e.video_ms.size(), f.video_pts_dts.size());
  for (std::size_t i = 0; i < e.video_ms.size(); ++i) {
    EXPECT_EQ(e.video_ms[i].first, f.video_pts_dts[i].first / 90) << i;
    EXPECT_EQ(e.video_ms[i].second, f.video_pts_dts[i].second / 90) << i;
  }
  ASSERT_FALSE(e.audio_ms.empty());
  EXPECT_EQ(e.audio_ms[0], f.first_audio_pts / 90);
  EXPECT_GT(r.timing.pcr_seconds, 1.0);
  EXPECT_LT(r.timing.pcr_seconds, static_cast<double>(e.video_ms.back().second) / 1000.0 + 1.0);

  // ffmpeg leaves the video length field 0: each was counted ahead and matches what was
  // then forwarded; the last one meets the end of the source first.
  ASSERT_EQ(e.video_lengths.size(), e.video_units.size());
  for (std::size_t i = 0; i + 1 < e.video_units.size(); ++i)
    EXPECT_EQ(e.video_lengths[i], static_cast<int64_t>(e.video_units[i].size() + e.skipped[i])) << i;
  EXPECT_EQ(e.video_lengths.back(), -1);

  // Keyframes start with the delimiter, SPS and PPS, skipped up to the SEI or slice.
  ASSERT_EQ(e.sps_pps.size(), 2u);  // one keyframe a second
  for (const auto& s : e.sps_pps) {
    ASSERT_GT(s.size(), 8u);
    EXPECT_EQ(slice(s, 0, 5), (Bytes{0, 0, 0, 1, 0x67}));
  }
  for (std::size_t i = 0; i < e.video_units.size(); ++i) {
    const Bytes& u = e.video_units[i];
    ASSERT_GE(u.size(), 4u);
    const std::size_t sc = u[2] == 1 ? 3 : 4;
    const int type = u[sc] & 0x1F;
    EXPECT_TRUE(type == 1 || type == 5 || type == 6) << i << " type " << type;
  }
  EXPECT_FALSE(logged("NAL NOT found"));
  EXPECT_FALSE(logged("System Warning"));
}

INSTANTIATE_TEST_SUITE_P(TsFfmpeg, TsReaderReal,
                         ::testing::Values(std::make_pair(0x44, 0x45), std::make_pair(64, 65),
                                           std::make_pair(128, 255)),
                         [](const auto& info) {
                           return "V" + std::to_string(info.param.first) + "A" + std::to_string(info.param.second);
                         });

// ---------------------------------------------------------------------------------
// The extractor on hand-built packets

class TsReaderHand : public TsLogTest {
 protected:
  // PAT and PMT naming video 0x44 and audio 0x45.
  void announce(TsReader& r, std::vector<EsEntry> es = {{0x1B, 0x44}, {0x0F, 0x45}}) {
    TsPayload out;
    const Packet pat = build({0, true, pat_cc_++, cat({{0x00}, pat_section({{1, 0x1000}})})});
    ASSERT_EQ(ts_extract_payload(r, pat.data(), out), 1);
    EXPECT_EQ(out.len, 0u);
    for (const auto& p : section_packets(0x1000, pmt_section(es), pmt_cc_)) {
      ++pmt_cc_;
      ASSERT_EQ(ts_extract_payload(r, p.data(), out), 1);
      EXPECT_EQ(out.len, 0u);
    }
  }
  int pat_cc_ = 0, pmt_cc_ = 0;
};

TEST_F(TsReaderHand, ForwardsOnlyThePmtsStreams) {
  TsReader r;
  r.channel = "hand";
  TsPayload out;
  const Bytes es(50, 0xAB);
  const Packet video = build({0x44, true, 0, cat({pes_head(0xE0, 0, 2, 900000), es}), true});
  const Packet audio = build({0x45, true, 0, cat({pes_head(0xC0, 14 - 6 + 50, 2, 450000), es}), true});
  // Nothing is known before the tables.
  ASSERT_EQ(ts_extract_payload(r, video.data(), out), 1);
  EXPECT_EQ(out.len, 0u);
  announce(r);
  EXPECT_EQ(r.pids.video, 0x44);
  EXPECT_EQ(r.pids.audio, 0x45);

  struct Case {
    const char* name;
    Packet pkt;
    TsStream kind;
    std::size_t len;
  };
  const Case cases[] = {
      {"video start", video, TsStream::Video, 50},
      {"audio start", audio, TsStream::Audio, 50},
      {"video continuation", build({0x44, false, 1, Bytes(184, 1)}), TsStream::Video, 184},
      {"continuation after stuffing", build({0x44, false, 2, Bytes(100, 1), true}), TsStream::Video, 100},
      {"adaptation only", build({0x44, false, 3, {}, false, 5}), TsStream::Other, 0},
      {"another PID", build({0x46, false, 0, Bytes(184, 1)}), TsStream::Other, 0},
      {"PID 64", build({64, false, 0, Bytes(184, 1)}), TsStream::Other, 0},
      {"null packet", build({0x1FFF, false, 0, Bytes(184, 0xFF)}), TsStream::Other, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ts_extract_payload(r, c.pkt.data(), out), 1);
    EXPECT_EQ(out.kind, c.len ? c.kind : out.kind);
    EXPECT_EQ(out.len, c.len);
    if (c.len) {
      EXPECT_GE(out.data, c.pkt.data());
      EXPECT_EQ(out.data + out.len, c.pkt.data() + kTsPacketSize);
    }
  }
  EXPECT_EQ(r.timing.pts_ms, 10000u);
  EXPECT_EQ(r.timing.audio_pts_ms, 5000u);
  EXPECT_EQ(r.audio_pes_length, 50);
  EXPECT_EQ(r.video_pes_length, -1);  // unbounded and nothing to walk
  EXPECT_DOUBLE_EQ(r.timing.pcr_seconds, 5.0 / 90000.0);

  // A new PMT: AC-3 on 0x46 replaces the audio.
  pmt_cc_ = 9;
  announce(r, {{0x1B, 0x44}, {0x0F, 0x45}, {0x81, 0x46}});
  EXPECT_EQ(r.pids.audio, 0x46);
  EXPECT_TRUE(logged("CH [hand] Video PID =[68], Audio PID=[70]\n"));
  ASSERT_EQ(ts_extract_payload(r, audio.data(), out), 1);
  EXPECT_EQ(out.len, 0u);
}

TEST_F(TsReaderHand, DelimiterSkipAndBadPackets) {
  TsReader r;
  TsPayload out;
  // The first packet is not TS at all.
  Packet junk = build({0x44, false, 0, Bytes(184, 1)});
  junk[0] = 'G' + 1;
  EXPECT_EQ(ts_extract_payload(r, junk.data(), out), 0);
  EXPECT_TRUE(logged("3. Not TS Stream\n"));
  announce(r);

  const Bytes aud = {0, 0, 0, 1, 0x09, 0xF0};
  const Bytes sps = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x0B, 0xDA};
  const Bytes pps = {0, 0, 0, 1, 0x68, 0xCE, 0x0F, 0xC8};
  const Bytes idr4 = {0, 0, 0, 1, 0x65, 0x88, 0x84};
  const Bytes sei3 = {0, 0, 1, 0x06, 0x05, 0xFF};
  const Bytes slice3 = {0, 0, 1, 0x41, 0x9A};
  const Bytes head = pes_head(0xE0, 0, 2, 90000);
  struct Case {
    const char* name;
    Bytes payload;
    std::size_t skipped;   // after the PES header
    std::size_t forwarded;
    bool nal_not_found;
  };
  const Case cases[] = {
      {"delimiter, SPS, PPS, IDR", cat({aud, sps, pps, idr4}), 6 + 9 + 8, 7, false},
      {"delimiter, SPS, PPS, SEI", cat({aud, sps, pps, sei3}), 6 + 9 + 8, 6, false},
      {"delimiter then slice", cat({aud, slice3}), 6, 5, false},
      {"no delimiter", cat({sps, pps, idr4}), 0, 24, false},
      {"delimiter, no slice in the packet", cat({aud, sps, pps}), 0, 23, true},
  };
  int cc = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = count_logged("NAL NOT found\n");
    const Packet p = build({0x44, true, cc++, cat({head, c.payload}), true});
    ASSERT_EQ(ts_extract_payload(r, p.data(), out), 1);
    EXPECT_TRUE(out.unit_start);
    EXPECT_EQ(out.skipped, c.skipped);
    EXPECT_EQ(out.len, c.forwarded);
    EXPECT_EQ(Bytes(out.data, out.data + out.len), slice(c.payload, c.skipped, c.forwarded));
    EXPECT_EQ(count_logged("NAL NOT found\n") - before, c.nal_not_found ? 1u : 0u);
  }

  // Impossible lengths: nothing forwarded, a warning.
  const std::size_t warnings = count_logged("System Warning: Len=");
  Packet garbage = build({0x44, false, cc++, Bytes(184, 1)});
  garbage[3] = 0x30;
  garbage[4] = 190;
  EXPECT_EQ(ts_extract_payload(r, garbage.data(), out), 1);
  EXPECT_EQ(out.len, 0u);
  // A PES header longer than the packet.
  const Packet long_head = build({0x44, true, cc++, pes_head(0xE0, 0, 2, 90000, 0, 175), true});
  EXPECT_EQ(ts_extract_payload(r, long_head.data(), out), 1);
  EXPECT_EQ(out.len, 0u);
  EXPECT_EQ(count_logged("System Warning: Len=") - warnings, 2u);

  // Sync lost after good packets: logged once per run of bad ones.
  EXPECT_EQ(ts_extract_payload(r, junk.data(), out), 0);
  EXPECT_EQ(ts_extract_payload(r, junk.data(), out), 0);
  EXPECT_EQ(count_logged("NON TS Sync Byte\n"), 1u);
  EXPECT_EQ(count_logged("3. Not TS Stream\n"), 1u);
}

// ---------------------------------------------------------------------------------
// The unbounded PES length

struct ScriptSource {
  std::vector<Packet> pkts;
  std::size_t pos = 0;
  int active = 1, stopped = 1;
  static int next(void* ctx, const uint8_t** pkt) {
    auto* s = static_cast<ScriptSource*>(ctx);
    if (s->pos >= s->pkts.size()) return 0;
    *pkt = s->pkts[s->pos++].data();
    return 1;
  }
};

class TsUnboundedPes : public TsLogTest {};

TEST_F(TsUnboundedPes, CountsItsOwnPidUpToItsNextStart) {
  const Packet v184 = build({0x44, false, 1, Bytes(184, 1)});
  const Packet v100 = build({0x44, false, 2, Bytes(100, 1), true});
  const Packet v_af_only = build({0x44, false, 3, {}, false, 0});
  const Packet v_start = build({0x44, true, 4, Bytes(184, 2)});
  const Packet a_start = build({0x45, true, 0, Bytes(184, 3)});
  const Packet pat = build({0, true, 0, cat({{0x00}, pat_section({{1, 0x1000}})})});
  const Packet sdt = build({17, true, 0, {0x00, 0x42}});
  Packet bad_sync = v184;
  bad_sync[0] = 0;
  Packet bad_af = v184;
  bad_af[3] = 0x30;
  bad_af[4] = 185;
  struct Case {
    const char* name;
    std::vector<Packet> pkts;
    int64_t want;
    int64_t max_packets = kUnboundedPesMaxPackets;
  };
  const Case cases[] = {
      {"next start right away", {v_start}, 0},
      {"continuations", {v184, v184, v100, v_start}, 184 + 184 + 100},
      {"other PIDs' starts do not stop it", {v184, a_start, pat, sdt, v100, a_start, v_start}, 284},
      {"bad packets are not counted", {v184, bad_sync, bad_af, v_af_only, v184, v_start}, 368},
      {"bounded walk", {v184, v184, v184, v_start}, -1, 3},
      {"bound just enough", {v184, v184, v184, v_start}, 552, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptSource s{c.pkts};
    TsPacketSource src;
    src.ctx = &s;
    src.next = ScriptSource::next;
    EXPECT_EQ(ts_unbounded_pes_length(src, 0x44, c.max_packets), c.want);
  }
  EXPECT_FALSE(logged("Not Found PES Packet Len"));
}

TEST_F(TsUnboundedPes, ASourceThatGivesUpFailsTheWalk) {
  const Packet v184 = build({0x44, false, 1, Bytes(184, 1)});
  struct Case {
    const char* name;
    int active, stopped;
    bool logged;
  };
  const Case cases[] = {
      {"player stopped, channel on", 1, 1, true},
      {"channel off", 0, 0, false},
      {"channel off and player stopped", 0, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptSource s{{v184, v184}};
    TsPacketSource src;
    src.ctx = &s;
    src.next = ScriptSource::next;
    src.channel = 7;
    src.channel_active = c.active;
    src.player_stopped = c.stopped;
    const std::size_t before = count_logged("Not Found PES Packet Len");
    EXPECT_EQ(ts_unbounded_pes_length(src, 0x44), -1);
    EXPECT_EQ(count_logged("Not Found PES Packet Len") - before, c.logged ? 1u : 0u);
  }
  EXPECT_TRUE(logged("CH[7] Not Found PES Packet Len, Channel Active [1], Player STop [1]\n"));
  TsPacketSource none;
  EXPECT_EQ(ts_unbounded_pes_length(none, 0x44), -1);
}

// ---------------------------------------------------------------------------------
// The muxer's tables and first video packet

// The section of a table packet (pointer 0 right after a 4-byte header).
Bytes section_of(const uint8_t* pkt) {
  const std::size_t sl = ((pkt[6] & 0x0F) << 8) | pkt[7];
  return Bytes(pkt + 5, pkt + 5 + 3 + sl);
}

TEST(TsMuxCrc, CheckValueAndTheTables) {
  const char* check = "123456789";
  EXPECT_EQ(mpeg_crc32(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
  EXPECT_EQ(mpeg_crc32(nullptr, 0), 0xFFFFFFFFu);
  Bytes noise(1000);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 131 + (i >> 3));
  EXPECT_EQ(mpeg_crc32(noise.data(), noise.size()), crc_bitwise(noise.data(), noise.size()));

  TsMuxState s;
  uint8_t pkt[188];
  for (auto write : {ts_mux_pat, ts_mux_pmt, ts_mux_sdt}) {
    write(s, pkt);
    const Bytes sec = section_of(pkt);
    const uint32_t stored = (uint32_t{sec[sec.size() - 4]} << 24) | (uint32_t{sec[sec.size() - 3]} << 16) |
                            (uint32_t{sec[sec.size() - 2]} << 8) | sec[sec.size() - 1];
    EXPECT_EQ(stored, crc_bitwise(sec.data(), sec.size() - 4));
    EXPECT_EQ(crc_bitwise(sec.data(), sec.size()), 0u);  // the residue of a sound section
    for (std::size_t i = 5 + sec.size(); i < 188; ++i) EXPECT_EQ(pkt[i], 0xFF) << i;
  }
}

TEST(TsMux, TableBytes) {
  TsMuxState s;
  uint8_t pkt[188];
  ts_mux_pat(s, pkt);
  EXPECT_EQ(Bytes(pkt, pkt + 17),
            (Bytes{0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xEF,
                   0xFF}));
  ts_mux_pmt(s, pkt);
  EXPECT_EQ(Bytes(pkt, pkt + 27),
            (Bytes{0x47, 0x4F, 0xFF, 0x10, 0x00, 0x02, 0xB0, 0x17, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1,
                   0x00, 0xF0, 0x00, 0x1B, 0xE1, 0x00, 0xF0, 0x00, 0x0F, 0xE1, 0x01, 0xF0, 0x00}));
  TsPids pids;
  const Bytes pmt = section_of(pkt);
  ASSERT_EQ(psi_parse_pmt(pmt.data(), pmt.size(), pids, "mux"), 1);
  EXPECT_EQ(pids.video, 256);
  EXPECT_EQ(pids.audio, 257);
  EXPECT_EQ(pids.pcr, 256);

  ts_mux_sdt(s, pkt);
  const Bytes sdt = section_of(pkt);
  ASSERT_EQ(sdt.size(), 3u + 22 + 7 + 10);
  EXPECT_EQ(Bytes(pkt, pkt + 5), (Bytes{0x47, 0x40, 0x11, 0x10, 0x00}));
  EXPECT_EQ(slice(sdt, 0, 21), (Bytes{0x42, 0xF0, 39, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x00, 0x01,
                                      0xFC, 0x80, 22, 0x48, 20, 0x01, 7, 'K'}));
  EXPECT_EQ(std::string(sdt.begin() + 20, sdt.begin() + 27), "Kestrix");
  EXPECT_EQ(sdt[27], 10);
  EXPECT_EQ(std::string(sdt.begin() + 28, sdt.begin() + 38), "Quillmarsh");
}

TEST(TsMux, VersionsAndCountersAdvancePerPacket) {
  TsMuxState s;
  uint8_t pkt[188];
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    ts_mux_pat(s, pkt);
    EXPECT_EQ(pkt[3] & 0x0F, i % 16);
    EXPECT_EQ((pkt[10] >> 1) & 0x1F, i % 32);
    EXPECT_EQ(pkt[10] & 1, 1);
    const Bytes pat = section_of(pkt);
    TsPids pids;
    ASSERT_EQ(psi_parse_pat(pat.data(), pat.size(), pids), 1);
    EXPECT_EQ(pids.pmt, kMuxPmtPid);
    if (i % 2 == 0) {  // the PMT keeps its own counters
      ts_mux_pmt(s, pkt);
      EXPECT_EQ(pkt[3] & 0x0F, (i / 2) % 16);
      EXPECT_EQ((pkt[10] >> 1) & 0x1F, (i / 2) % 32);
      EXPECT_TRUE(psi_crc_ok(section_of(pkt).data(), section_of(pkt).size()));
    }
  }
  EXPECT_EQ(s.version_pat, 40 % 32);
  for (int i = 0; i < 17; ++i) ts_mux_sdt(s, pkt);
  EXPECT_EQ(pkt[3] & 0x0F, 0);
  EXPECT_EQ(s.cc_sdt, 1);
  // Versions wrap from 31 to 0.
  TsMuxState w;
  w.version_pat = 31;
  ts_mux_pat(w, pkt);
  EXPECT_EQ((pkt[10] >> 1) & 0x1F, 31);
  ts_mux_pat(w, pkt);
  EXPECT_EQ((pkt[10] >> 1) & 0x1F, 0);
}

TEST(TsMux, FirstVideoPacketOfASegment) {
  struct Case {
    const char* name;
    uint64_t t_ms;
    std::size_t setup;
    int ok;
    uint64_t t90;
  };
  const Case cases[] = {
      {"ten seconds", 10000, 40, 1, 900000},
      {"no setup bytes", 0, 0, 1, 0},
      {"largest setup, no stuffing", 1, 151, 1, 90},
      {"setup too long", 1, 152, 0, 0},
      {"at the 33-bit wrap", 95443718, 30, 1, 28},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes setup(c.setup);
    for (std::size_t i = 0; i < setup.size(); ++i) setup[i] = static_cast<uint8_t>(i + 1);
    TsMuxState s;
    s.cc_video = 15;
    uint8_t pkt[188];
    std::memset(pkt, 0xAA, sizeof pkt);
    EXPECT_EQ(ts_mux_first_video(s, c.t_ms, setup, pkt), c.ok);
    if (!c.ok) {
      EXPECT_EQ(s.cc_video, 15);
      EXPECT_TRUE(std::all_of(pkt, pkt + 188, [](uint8_t b) { return b == 0xAA; }));
      continue;
    }
    EXPECT_EQ(s.cc_video, 0);
    TsHeader h;
    ASSERT_EQ(ts_parse_header(pkt, h), 1);
    EXPECT_EQ(h.pid, kMuxVideoPid);
    EXPECT_TRUE(h.payload_start);
    EXPECT_EQ(h.continuity, 15);
    EXPECT_EQ(h.af_length, static_cast<int>(7 + 151 - c.setup));
    EXPECT_EQ(pkt[5], 0x10);
    uint64_t pcr = 0;
    ASSERT_EQ(ts_read_pcr_value(pkt, pcr), 1);
    EXPECT_EQ(pcr, c.t90 * 300);
    for (int i = 12; i < h.payload_offset; ++i) EXPECT_EQ(pkt[i], 0xFF) << i;
    const uint8_t* pes = pkt + h.payload_offset;
    PesHeader ph;
    ASSERT_EQ(pes_parse_header(pes, static_cast<std::size_t>(h.payload_size), ph), 1);
    EXPECT_EQ(Bytes(pes + 3, pes + 9), (Bytes{0xE0, static_cast<uint8_t>((c.setup + 19) >> 8),
                                              static_cast<uint8_t>((c.setup + 19) & 0xFF), 0x80, 0xC0, 10}));
    EXPECT_EQ(ph.packet_length, static_cast<int>(c.setup + 19));
    EXPECT_EQ(ph.payload_length, static_cast<int>(c.setup + 6));  // the PES ends with the packet
    EXPECT_EQ(static_cast<std::size_t>(h.payload_size), 6 + c.setup + 19);
    EXPECT_TRUE(ph.has_pts && ph.has_dts);
    EXPECT_EQ(ph.pts, c.t90);
    EXPECT_EQ(ph.dts, c.t90);
    EXPECT_EQ(pes[9] >> 4, 3);
    EXPECT_EQ(pes[14] >> 4, 1);
    const uint8_t* body = pes + ph.header_size;
    EXPECT_EQ(Bytes(body, body + 6), (Bytes{0, 0, 0, 1, 0x09, 0xF0}));
    EXPECT_EQ(Bytes(body + 6, static_cast<const uint8_t*>(pkt + 188)), setup);
  }
}

// A PES split into packets with adaptation-field stuffing at the end; a PCR on the first.
void packetize(std::vector<Packet>& out, int pid, uint8_t& cc, const Bytes& pes, int64_t pcr) {
  std::size_t pos = 0;
  bool first = true;
  while (pos < pes.size()) {
    const std::size_t room = first && pcr >= 0 ? 184 - 8 : 184;
    const std::size_t n = std::min(room, pes.size() - pos);
    out.push_back(build({pid, first, cc, slice(pes, pos, n), true, first ? pcr : -1}));
    cc = static_cast<uint8_t>((cc + 1) & 0x0F);
    pos += n;
    first = false;
  }
}

void append_file(std::string& s, const std::vector<Packet>& pkts) {
  for (const auto& p : pkts) s.append(reinterpret_cast<const char*>(p.data()), p.size());
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class TsMuxFfprobe : public TsLogTest {};

TEST_F(TsMuxFfprobe, OurStreamReadsBackWithItsPidsAndService) {
  const Fixture& f = fixture(0x44, 0x45);
  TsReader r;
  const Extracted e = extract(r, f.packets);
  ASSERT_EQ(e.sps_pps.size(), 2u);
  ASSERT_FALSE(e.audio_units.empty());

  // Segments open at each keyframe with the tables and the first video packet; every
  // access unit follows as its own PES, audio interleaved by time.
  TsMuxState s;
  uint8_t audio_cc = 0;
  std::vector<Packet> out;
  std::size_t tables = 0, keyframe = 0, a = 0;
  for (std::size_t i = 0; i < e.video_units.size(); ++i) {
    const uint64_t dts = e.video_ms[i].second;
    while (a < e.audio_units.size() && e.audio_ms[a] <= dts) {
      Bytes pes = pes_head(0xC0, static_cast<int>(8 + e.audio_units[a].size()), 2, ts_ms_to_90k(e.audio_ms[a]));
      pes.insert(pes.end(), e.audio_units[a].begin(), e.audio_units[a].end());
      packetize(out, kMuxAudioPid, audio_cc, pes, -1);
      ++a;
    }
    if (e.skipped[i] > 6) {
      Packet p;
      ts_mux_pat(s, p.data());
      out.push_back(p);
      ts_mux_pmt(s, p.data());
      out.push_back(p);
      ts_mux_sdt(s, p.data());
      out.push_back(p);
      ++tables;
      ASSERT_EQ(ts_mux_first_video(s, dts, e.sps_pps[keyframe++], p.data()), 1);
      out.push_back(p);
    }
    ASSERT_GT(tables, 0u) << "the stream starts with a keyframe";
    Bytes pes = pes_head(0xE0, 0, 3, ts_ms_to_90k(e.video_ms[i].first), ts_ms_to_90k(dts));
    pes.insert(pes.end(), e.video_units[i].begin(), e.video_units[i].end());
    packetize(out, kMuxVideoPid, s.cc_video, pes, static_cast<int64_t>(ts_ms_to_90k(dts)));
  }
  const std::string file = tmp_ / "ours.ts";
  std::string data;
  append_file(data, out);
  kxt::spit(file, data);

  const std::string probe = kxt::run_tool(
      {"ffprobe", "-v", "error", "-show_streams", "-show_programs", "-of", "flat", file});
  ASSERT_NE(probe, "<failed>");
  EXPECT_NE(probe.find("programs.program.0.pmt_pid=4095"), std::string::npos) << probe;
  EXPECT_NE(probe.find("programs.program.0.pcr_pid=256"), std::string::npos);
  EXPECT_NE(probe.find("programs.program.0.tags.service_name=\"Quillmarsh\""), std::string::npos);
  EXPECT_NE(probe.find("programs.program.0.tags.service_provider=\"Kestrix\""), std::string::npos);
  EXPECT_NE(probe.find("streams.stream.0.codec_name=\"h264\""), std::string::npos);
  EXPECT_NE(probe.find("streams.stream.0.id=\"0x100\""), std::string::npos);
  EXPECT_NE(probe.find("streams.stream.0.width=160"), std::string::npos);
  EXPECT_NE(probe.find("streams.stream.1.codec_name=\"aac\""), std::string::npos);
  EXPECT_NE(probe.find("streams.stream.1.id=\"0x101\""), std::string::npos);

  // ffmpeg drops a table whose CRC is wrong without a word, so what it took is counted:
  // it reads parts of the file more than once, but each PAT it takes must come with its
  // PMT, and the PMT of the second segment (version 1) must have been seen.
  const std::string trace = kxt::run_tool(
      {"/bin/sh", "-c", "ffmpeg -nostdin -hide_banner -v trace -i \"$0\" -f null - 2>&1", file}, 60000);
  ASSERT_NE(trace, "<failed>");
  EXPECT_GE(count(trace, "] PAT:"), tables);
  EXPECT_EQ(count(trace, "] PMT: len 26"), count(trace, "] PAT:"));
  EXPECT_NE(trace.find("detected PMT change (program=1, version=0/1"), std::string::npos);
  EXPECT_GE(count(trace, "] SDT:"), 1u);
  EXPECT_NE(trace.find("stream_type=1b pid=100"), std::string::npos);
  EXPECT_NE(trace.find("stream_type=f pid=101"), std::string::npos);
  EXPECT_EQ(count(trace, "CRC"), 0u);
  // Decoding the whole stream raises no error.
  const std::string decode = kxt::run_tool(
      {"/bin/sh", "-c", "ffmpeg -nostdin -hide_banner -v error -i \"$0\" -f null - 2>&1", file}, 60000);
  EXPECT_EQ(decode, "");

  // The same stream with the PMT's CRC spoiled is not read that way: the check above
  // would see it.
  std::string spoiled = data;
  for (std::size_t at = 0; at + kTsPacketSize <= spoiled.size(); at += kTsPacketSize)
    if (ts_pid(reinterpret_cast<const uint8_t*>(spoiled.data() + at)) == kMuxPmtPid) spoiled[at + 5 + 26 - 1] ^= 0x01;
  kxt::spit(tmp_ / "spoiled.ts", spoiled);
  const std::string bad = kxt::run_tool(
      {"/bin/sh", "-c", "ffmpeg -nostdin -hide_banner -v trace -i \"$0\" -f null - 2>&1; true", tmp_ / "spoiled.ts"},
      60000);
  EXPECT_GE(count(bad, "] PAT:"), tables);
  EXPECT_EQ(count(bad, "] PMT: len 26"), 0u);
  EXPECT_EQ(bad.find("stream_type=1b pid=100"), std::string::npos);
}

}  // namespace
}  // namespace kx
