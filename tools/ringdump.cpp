// kestrix_ringdump: runs the real channel inputs of a working directory and writes what a
// ring reader of one channel sees to a file, so an input can be checked without any
// output server. Exit codes: 0 done, 1 usage or start-up error, 2 no data in time,
// 3 the reader was lapped (a gap in the dump).
//
//   kestrix_ringdump <workdir> <channel number> <out file> <bytes> <seconds>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue/channels.h"
#include "catalogue/groups.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/log.h"
#include "core/os/console.h"
#include "core/os/file.h"
#include "core/os/time.h"
#include "ingest/input.h"
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

}  // namespace

int main(int argc, char** argv) {
  kx::prepare_process_signals();
  if (argc != 6) {
    std::fprintf(stderr, "usage: kestrix_ringdump <workdir> <channel> <out file> <bytes> <seconds>\n");
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
  kx::g_reader_stop_lock.try_lock();
  if (!kx::service_start(kx::g_reader_process)) return 1;
  int rc = dump(*table->ch[static_cast<std::size_t>(number - 1)], out, std::atoll(argv[4]),
                kx::mono_ms() + 1000LL * std::atoll(argv[5]));
  kx::g_server_stop.set();
  kx::g_reader_stop_lock.unlock();
  kx::service_stop(kx::g_reader_process);
  kx::close_logs();
  return rc;
}
