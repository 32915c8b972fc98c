// The channel input: one thread per channel pulls its source into the channel's ring.
// The common life cycle (start, parking, commands, reconnection, exit) lives in
// input_thread.cpp; each kind of source has a branch that connects and reads.
#pragma once
#include <memory>
#include <string>

#include "ingest/channel_info.h"
#include "core/service.h"
#include "net/wait.h"

namespace kx {

// Why a branch returned.
enum BranchEnd : int {
  kEndSourceFailed = 0,  // wait the reconnection delay, then the next source URL
  kEndSwitchNow = 1,     // take the next source URL at once (UDP without input)
  kEndCommand = 2,       // a command, a stop or the shutdown ended it
  kEndUnsupported = 3,   // this source kind is not pulled
};

// What a branch works with for one pass: the channel, a copy of the source slot in use
// (never the shared slot itself), and the ring it commits to.
struct InputContext {
  std::shared_ptr<Channel_Info> ch;
  int index = 0;  // 0-based
  int number() const { return index + 1; }
  Source_URL_Info src;
  RealBufferPtr ring;

  // Polls, in order, the server stop, refresh, park, inactive and stop commands; logs the
  // first one seen (once) and answers true while any of them is pending.
  bool should_end();
  // The same conditions as a wait's stop (taking no note of them): a wait it ends is
  // followed by should_end(), which logs the command.
  StopToken ending_token() const;
  // Sleeps up to ms, cut short by the commands; true when a command cut it short.
  bool sleep_or_end(int64_t ms);
  bool command_seen = false;
  bool side_threads_started = false;  // at most once between two passes through Init
  int connections = 0;  // branch calls since Init: above 1, the branch is reconnecting
};

// The side threads of a channel, started once its data flows: the time-shift recorder
// (delay channels, and dvr channels with tv_on_demand_record_duration >= 1), the EPG
// recorder (epg_channel_record 1 or 2) and the HLS segmenter (nHLS_Mode 1 or 2). Each hook
// is filled by the module that provides the thread; an empty hook starts nothing.
struct SideThreadHooks {
  void (*timeshift)(InputContext&) = nullptr;
  void (*epg_record)(InputContext&) = nullptr;
  void (*hls)(InputContext&) = nullptr;
};
extern SideThreadHooks g_side_thread_hooks;
void start_side_threads(InputContext& ctx);

// The branches, one per kind of source.
int udp_input_branch(InputContext& ctx);

// Which branch pulls a source type; tests and new source kinds put their own in place.
using InputBranch = int (*)(InputContext&);
void set_input_branch(int source_type, InputBranch branch);

// The life cycle of one channel's input thread; arg is a heap std::shared_ptr<Channel_Info>
// that the thread deletes.
int IPTV_Channel_DataThread(void* arg);

// The reader process: starts one input thread per channel of the table and, when
// shutdown lets it go, waits for them all.
int IPTV_Channel_ReaderProcess(Service& s);
extern Service g_reader_process;  // "Channel Input Server"
extern Mutex g_reader_stop_lock;  // held by start-up; shutdown releases it to let the reader go

// The reconnection delay of a channel, in milliseconds: (1000 + number) x interval, in
// 64 bits, with the interval bounded to 0..3600 seconds.
int64_t reconnect_delay_ms(int channel_number, int interval_seconds);

// Type changes by other threads, as compare-and-swap so no command is lost:
// park a cached on-demand channel (live, delay or dvr), resume a parked one.
bool park_channel(Channel_Info& ch);
bool resume_channel(Channel_Info& ch);

// Limits of the waits in the reader process and in tests.
extern int64_t g_input_stop_wait_ms;

}  // namespace kx
