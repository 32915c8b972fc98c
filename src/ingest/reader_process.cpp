// The reader process: one input thread per channel, started 100 ms apart, all waited for
// when shutdown lets the process go.
#include <vector>

#include "core/log.h"
#include "core/os/thread.h"
#include "core/os/time.h"
#include "core/process_state.h"
#include "ingest/input.h"

namespace kx {

Service g_reader_process{"Channel Input Server", "Start to Close Channel Input Server...\n",
                         "Channel Input Server Closed...\n", IPTV_Channel_ReaderProcess};
Mutex g_reader_stop_lock;

namespace {

int first_source_type(const Channel_Info& ch) {
  std::lock_guard<std::mutex> l(ch.rt.src_lock);
  return ch.rt.src[0].type;
}

bool start_input(const std::shared_ptr<Channel_Info>& ch) {
  ch->rt.nThread_Finished.store(0);
  auto* arg = new std::shared_ptr<Channel_Info>(ch);
  ch->rt.input_thread = create_thread(IPTV_Channel_DataThread, arg, "channel input");
  if (ch->rt.input_thread) return true;
  delete arg;
  ch->rt.nThread_Finished.store(1);
  return false;
}

void stop_input(Channel_Info& ch, int number) {
  log_sys("IPTV_Channel_ReaderProcess: CH [%d] thread closing\n", number);
  if (ch.rt.input_thread) {
    ch.rt.nStop.store(1);
    if (RealBufferPtr r = ch.rt.ring()) r->wake_all();
    if (join_thread(ch.rt.input_thread, g_input_stop_wait_ms)) {
      log_sys("IPTV_Channel_ReaderProcess: CH [%d] thread closed\n", number);
    } else {
      log_sys("System Error: CH [%d] input did not stop\n", number);
    }
  }
}

}  // namespace

int IPTV_Channel_ReaderProcess(Service& s) {
  ChannelTablePtr table = channel_table();
  // Start-up goes on as soon as the loop runs: with thousands of channels the inputs keep
  // starting behind it, and the players of those already up are served meanwhile. A
  // channel without a source is skipped, never the whole start-up.
  service_ready(s, true);
  for (const auto& ch : table->ch) {
    if (s.stop.is_set() || g_server_stop.is_set()) break;
    const int number = ch->def.nChannel_No;
    if (!ch->rt.has_sources) {
      log_sys("Error: CH [%d] syntax error in channel_definition.xml............\n", number);
      continue;
    }
    if (first_source_type(*ch) <= 0) continue;
    if (!start_input(ch))
      log_sys("IPTV_Channel_ReaderProcess: CH [%d] reader create failed\n", number - 1);
    if (s.stop.sleep(100) || g_server_stop.is_set()) break;
  }
  g_reader_stop_lock.lock();  // held by start-up until shutdown releases it; kept for the next
  log_sys("IPTV_Channel_ReaderProcess: Start to close input channels\n");
  for (const auto& ch : table->ch) stop_input(*ch, ch->def.nChannel_No);
  log_sys("IPTV_Channel_ReaderProcess: OUT\n");
  return 0;
}

}  // namespace kx
