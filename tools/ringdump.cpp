// kestrix_ringdump: runs the real channel inputs of a working directory and writes what a
// ring reader of one channel sees to a file, so an input can be checked without any
// output server. Exit codes: 0 done, 1 usage or start-up error, 2 no data in time,
// 3 the reader was lapped (a gap in the dump).
//
//   kestrix_ringdump <workdir> <channel number> <out file> <bytes> <seconds> [flv]
//
// With "flv" the FLV tag ring is dumped instead, rebuilt into an FLV file: the channel's
// FLV header, its AVC and AAC sequence-header tags, then the stored tags from the first
// keyframe on, each PreviousTagSize naming the tag written before it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "catalogue/channels.h"
#include "ingest/channel_table.h"
#include "catalogue/groups.h"
#include "core/config.h"
#include "core/log.h"
#include "core/os/console.h"
#include "core/os/file.h"
#include "core/os/time.h"
#include "core/process_state.h"
#include "ingest/input.h"
#include "movies/probe.h"
#include "rtmp/rtmp_input.h"
#include "subscribers/users.h"

namespace {

bool root_password(std::string& out) {
  kx::UserPtr root = kx::user_by_id("root");
  if (!root) return false;
  out = root->password;
  return true;
}

int dump(kx::Channel_Info& ch, kx::File& out, int64_t want, int64_t deadline) {
  int64_t written = 0;
  uint8_t buf[kx::kEntryBytes];
  while (written < want && kx::mono_ms() < deadline) {
    kx::RealBufferPtr ring = ch.rt.ring();
    if (!ring || ch.rt.nChannel_Status.load() != kx::kStatusOn || !ring->has_data()) {
      kx::sleep_ms(20);
      continue;
    }
    kx::RingReader reader(ring);
    reader.seek_oldest();
    while (written < want && kx::mono_ms() < deadline && ch.rt.ring() == ring) {
      int len = 0;
      switch (reader.next(buf, len)) {
        case kx::RingReader::kData:
          if (!out.write(buf, static_cast<std::size_t>(len))) return 1;
          written += len;
          break;
        case kx::RingReader::kCaughtUp:
          reader.wait(200);
          break;
        case kx::RingReader::kLapped:
          std::fprintf(stderr, "lapped after %lld bytes\n", static_cast<long long>(written));
          return 3;
      }
    }
    if (ch.rt.ring() != ring) {
      std::fprintf(stderr, "source reconnected after %lld bytes\n", static_cast<long long>(written));
      return 3;
    }
  }
  return written >= want ? 0 : (written == 0 ? 2 : 0);
}

void put32(std::string& s, uint32_t v) {
  for (int i = 3; i >= 0; --i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t get24(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

// The FLV file head from the channel's set-up; last receives the size of its last tag.
std::string flv_head(const kx::DecoderSetup& s, uint32_t& last) {
  std::string out = s.flv_header;
  // The header holds the file header, PreviousTagSize0 and the script tag when there was one.
  last = out.size() > 13 ? static_cast<uint32_t>(out.size() - 13) : 0;
  if (out.size() == 9) put32(out, 0);
  if (!s.avc_header.empty() && s.video_tag_prefix.size() == 15) {
    const std::string body = s.avc_chunk_header ? s.avc_header.substr(12) : s.avc_header;
    out += s.video_tag_prefix;
    out += body;
    last = static_cast<uint32_t>(11 + body.size());
  }
  if (!s.aac_config.empty()) {
    put32(out, last);
    const uint32_t n = static_cast<uint32_t>(s.aac_config.size());
    const char hdr[11] = {8, static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n), 0, 0, 0, 0, 0, 0, 0};
    out.append(hdr, sizeof hdr);
    out += s.aac_config;
    last = 11 + n;
  }
  return out;
}

int dump_flv(kx::Channel_Info& ch, kx::File& out, int64_t want, int64_t deadline) {
  uint8_t buf[kx::kEntryBytes];
  while (kx::mono_ms() < deadline) {
    kx::RealBufferPtr slots = ch.rt.flv_ring();
    kx::DecoderSetupPtr setup = ch.rt.setup();
    if (!slots || ch.rt.nChannel_Status.load() != kx::kStatusOn || !slots->has_data() || !setup ||
        setup->flv_header.size() < 9) {
      kx::sleep_ms(20);
      continue;
    }
    uint32_t last = 0;
    const std::string head = flv_head(*setup, last);
    if (!out.write(head.data(), head.size())) return 1;
    kx::RingReader reader(slots);
    reader.seek_oldest();
    std::string tag;
    bool started = false;
    int64_t written = 0;
    while (written < want && kx::mono_ms() < deadline && ch.rt.flv_ring() == slots) {
      int len = 0;
      kx::EntryMeta meta;
      switch (reader.next(buf, len, &meta)) {
        case kx::RingReader::kData:
          if (!started && meta.keyframe_offset != 0) break;  // players start at a keyframe
          started = true;
          tag.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(len));
          while (tag.size() >= 15) {
            const uint32_t size = get24(reinterpret_cast<const uint8_t*>(tag.data()) + 5);
            if (tag.size() < 15 + size) break;
            std::string prev;
            put32(prev, last);
            tag.replace(0, 4, prev);
            if (!out.write(tag.data(), 15 + size)) return 1;
            written += 15 + size;
            last = 11 + size;
            tag.erase(0, 15 + size);
          }
          break;
        case kx::RingReader::kCaughtUp:
          reader.wait(200);
          break;
        case kx::RingReader::kLapped:
          std::fprintf(stderr, "lapped after %lld bytes\n", static_cast<long long>(written));
          return 3;
      }
    }
    std::string tail;
    put32(tail, last);
    if (!out.write(tail.data(), tail.size())) return 1;
    if (written >= want) return 0;
    if (ch.rt.flv_ring() != slots) {
      std::fprintf(stderr, "source reconnected after %lld bytes\n", static_cast<long long>(written));
      return 3;
    }
    return written == 0 ? 2 : 0;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  kx::set_standing_folder_probe(kx::probe_kbitrate);
  kx::prepare_process_signals();
  const bool flv = argc == 7 && std::strcmp(argv[6], "flv") == 0;
  if (argc != 6 && !flv) {
    std::fprintf(stderr, "usage: kestrix_ringdump <workdir> <channel> <out file> <bytes> <seconds> [flv]\n");
    return 1;
  }
  kx::g_work_dir = argv[1];
  const int number = std::atoi(argv[2]);
  kx::load_configuration(kx::g_work_dir);
  kx::load_dns_file(kx::g_work_dir);
  kx::open_logs(kx::g_work_dir + "/log");
  kx::load_groups();
  kx::load_user_profiles();
  kx::set_root_password_source(root_password);
  if (kx::load_channel_catalogue() != 1) {
    std::fprintf(stderr, "channel catalogue did not load\n");
    return 1;
  }
  kx::ChannelTablePtr table = kx::channel_table();
  if (number < 1 || number > table->count) {
    std::fprintf(stderr, "no channel %d\n", number);
    return 1;
  }
  kx::File out;
  if (!out.open(argv[3], kx::File::kWriteTruncate)) return 1;
  kx::rtmp_register_inputs();
  kx::g_reader_stop_lock.try_lock();
  if (!kx::service_start(kx::g_reader_process)) return 1;
  kx::Channel_Info& ch = *table->ch[static_cast<std::size_t>(number - 1)];
  const int64_t want = std::atoll(argv[4]);
  const int64_t deadline = kx::mono_ms() + 1000LL * std::atoll(argv[5]);
  int rc = flv ? dump_flv(ch, out, want, deadline) : dump(ch, out, want, deadline);
  kx::g_server_stop.set();
  kx::g_reader_stop_lock.unlock();
  kx::service_stop(kx::g_reader_process);
  kx::close_logs();
  return rc;
}
