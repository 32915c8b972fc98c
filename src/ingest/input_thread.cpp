// The life cycle every channel input shares: Start -> Init -> Branch (connect, read,
// reconnect) -> Cleanup -> Parked -> back to Init or out.
#include <algorithm>
#include <limits>
#include <mutex>

#include "core/config.h"
#include "core/log.h"
#include "core/os/thread.h"
#include "core/process_state.h"
#include "ingest/http_input.h"
#include "ingest/input.h"

namespace kx {

namespace {

constexpr int64_t kParkedStepMs = 60000;  // a parked wait's rounds; each one ends on a command

bool ending_process(const Channel_Info& ch) {
  return g_server_stop.is_set() || g_shutdown.load() || ch.rt.nStop.load();
}

// ending_process as a wait's stop; the server stop first, so it wakes a sleep at once.
StopToken ending_process_token(const Channel_Info& ch) {
  StopToken t;
  t.on(g_server_stop).on(g_shutdown).on(ch.rt.nStop);
  return t;
}

// A parked channel waits for as long as it takes: until the token stops.
void wait_parked(const StopToken& wake) {
  while (sleep_for(kParkedStepMs, wake)) {
  }
}

// At least 16; no upper clamp here: a count the machine cannot hold is refused by the
// allocation, and the channel alone stays off.
int64_t ring_entries() { return std::max(config()->i(Key::channel_input_buffer_no), 16); }

std::mutex g_branch_lock;
InputBranch g_branches[64] = {};

InputBranch branch_for(int type) {
  if (type < 0 || type >= 64) return nullptr;
  std::lock_guard<std::mutex> l(g_branch_lock);
  if (g_branches[type]) return g_branches[type];
  switch (type) {
    case kSrcUdpMulticast:
    case kSrcUdpPort:
    case kSrcRtpMulticast:
    case kSrcRtpPort:
      return udp_input_branch;
    case kSrcHttp:
    case kSrcHttpFlv:
    case kSrcHttpUdpRelay:
      return http_input_branch;
    default:
      return nullptr;
  }
}

int run_branch(InputContext& ctx) {
  if (InputBranch b = branch_for(ctx.src.type)) return b(ctx);
  if (ctx.src.type == kSrcRtsp) {
    log_admin("Warning: RTSP Input Not Support\n");
  } else {
    log_admin("CH [%d]: source type [%d] is not pulled by this server\n", ctx.number(), ctx.src.type);
  }
  return kEndUnsupported;
}

Source_URL_Info current_source(const Channel_Info& ch, int url_index) {
  std::lock_guard<std::mutex> l(ch.rt.src_lock);
  return ch.rt.src[static_cast<std::size_t>(std::clamp(url_index, 0, 2))];
}

// Connect, read, and reconnect until a command, a stop or an unsupported source.
void connect_loop(InputContext& ctx) {
  Channel_Info& ch = *ctx.ch;
  for (;;) {
    ctx.src = current_source(ch, ch.rt.nCurrent_URL_Index.load());
    ch.rt.nChannel_Status.store(kStatusConnecting);
    ++ctx.connections;
    int end = run_branch(ctx);
    ch.rt.nChannel_Status.store(kStatusOff);
    if (end == kEndCommand || end == kEndUnsupported || ctx.should_end()) break;
    if (ch.def.nCache_On_Demand == 1 && park_channel(ch)) {
      log_admin("CH [%d] closed and is caching on-demand channel\n", ctx.number());
      break;
    }
    if (end == kEndSourceFailed) {
      int interval = config()->i(Key::channel_reconnection_interval);
      ch.rt.status.store(kStWaitReconnect);
      log_admin("CH [%d]: reconnect it after [%d] sec.\n", ctx.number(), interval);
      if (ctx.sleep_or_end(reconnect_delay_ms(ctx.number(), interval))) break;
    }
    int count = std::max(ch.def.nURL_Count, 1);
    ch.rt.nCurrent_URL_Index.store((ch.rt.nCurrent_URL_Index.load() + 1) % count);
  }
}

// The branch: the ring for its whole life, then Cleanup. A ring that cannot be had
// leaves this channel off; the thread then parks or ends as after any branch.
void branch(InputContext& ctx) {
  Channel_Info& ch = *ctx.ch;
  ctx.ring = make_real_buffer(ring_entries(), ctx.index);
  if (ctx.ring) {
    ch.rt.set_ring(ctx.ring);
    connect_loop(ctx);
  } else {
    log_admin("Real Buffer allocated failed\n");
  }
  ch.rt.status.store(kStFreeMemory);
  ch.rt.set_ring(nullptr);  // readers keep the ring they hold until they let go
  ch.rt.set_flv_ring(nullptr);
  ch.rt.set_setup(nullptr);
  ctx.ring.reset();
}

// Parked: inactive, or an on-demand channel nobody watches. True when the channel should
// go back to Init (refresh or resume), false when the thread should end.
bool parked(InputContext& ctx) {
  Channel_Info& ch = *ctx.ch;
  const int n = ctx.number();
  if (ch.def.nChannel_Type == kTypeInactive) {
    wait_parked(ending_process_token(ch).on(ch.rt.nRefresh));
    return !ending_process(ch);
  }
  bool resumed = false;
  if (ch.def.nChannel_Type == kTypePause) {
    ch.rt.nFirst_Player.store(0);
    log_admin("IPTV_Channel_DataThread : CH [%d] is in PAUSE Status\n", n);
    ch.rt.nRefresh.store(0);
    auto resumed_type = [](const void* d) {
      return static_cast<const ChannelDef*>(d)->nChannel_Type == kTypeResume;
    };
    wait_parked(ending_process_token(ch).on(ch.rt.nRefresh).when(resumed_type, &ch.def));
  }
  // A resume that came while the branch was ending counts as well.
  if (ch.def.nChannel_Type == kTypeResume) {
    log_admin("IPTV_Channel_DataThread : CH [%d] is in RESUEM Status\n", n);
    resumed = true;
  }
  // Back to the saved type, unless an administrator has set another one meanwhile.
  const int saved = ch.def.nSaved_Channel_Type;
  if (!ch.def.nChannel_Type.compare_exchange(kTypePause, saved))
    ch.def.nChannel_Type.compare_exchange(kTypeResume, saved);
  if (ending_process(ch)) return false;
  return resumed || ch.rt.nRefresh.load() != 0;
}

void run_input(InputContext& ctx) {
  Channel_Info& ch = *ctx.ch;
  ch.rt.nStop.store(0);
  bool park_first = false;
  if (ch.def.nCache_On_Demand == 1 && park_channel(ch)) {
    log_admin("CH [%d] is caching on-demand channel\n", ctx.number());
    park_first = true;
  }
  for (;;) {
    if (!park_first) {
      ch.rt.status.store(kStInit);
      ch.rt.nChannel_Status.store(kStatusOff);
      ch.rt.nRefresh.store(0);
      ch.rt.nCurrent_URL_Index.store(0);
      ctx.command_seen = false;
      ctx.side_threads_started = false;
      ctx.connections = 0;
      if (ch.def.nChannel_Type == kTypeInactive) {
        log_admin("CH [%d] is INACTIVE\n", ctx.number());
      } else {
        branch(ctx);
      }
    }
    park_first = false;
    if (ending_process(ch)) break;
    const int t = ch.def.nChannel_Type;
    const bool refresh = ch.rt.nRefresh.load() != 0;
    if (t == kTypeInactive || t == kTypePause || t == kTypeResume) {
      if (!parked(ctx)) break;
    } else if (!refresh) {
      break;  // the branch ended for good (an unsupported source)
    }
  }
}

}  // namespace

int64_t g_input_stop_wait_ms = 60000;
SideThreadHooks g_side_thread_hooks;

void start_side_threads(InputContext& ctx) {
  if (ctx.side_threads_started) return;
  ctx.side_threads_started = true;
  const ChannelDef& d = ctx.ch->def;
  const int type = d.defined_type();
  ConfigPtr c = config();
  const int n = ctx.number();
  if (g_side_thread_hooks.timeshift &&
      (type == kTypeDelay || (type == kTypeDvr && c->i(Key::tv_on_demand_record_duration) >= 1))) {
    log_admin("CH [%d]: Start to hTV_On_Demand_Thread_Server \n", n);
    g_side_thread_hooks.timeshift(ctx);
  }
  const int epg = c->i(Key::epg_channel_record);
  if (g_side_thread_hooks.epg_record && (epg == 1 || epg == 2)) {
    log_admin("CH [%d]: Start to hRecord_Channel_By_EPG Server \n", n);
    g_side_thread_hooks.epg_record(ctx);
  }
  if (g_side_thread_hooks.hls && (d.nHLS_Mode == 1 || d.nHLS_Mode == 2)) {
    log_admin("CH [%d]: Start to hHLS_Thread_Server \n", n);
    g_side_thread_hooks.hls(ctx);
  }
}

void set_input_branch(int source_type, InputBranch branch) {
  if (source_type < 0 || source_type >= 64) return;
  std::lock_guard<std::mutex> l(g_branch_lock);
  g_branches[source_type] = branch;
}

int64_t reconnect_delay_ms(int channel_number, int interval_seconds) {
  const int64_t interval = std::clamp<int64_t>(interval_seconds, 0, 3600);
  return (1000 + static_cast<int64_t>(std::max(channel_number, 0))) * interval;
}

bool park_channel(Channel_Info& ch) {
  const int t = ch.def.nChannel_Type;
  if (t != kTypeLive && t != kTypeDelay && t != kTypeDvr) return false;
  ch.def.nSaved_Channel_Type = t;
  return ch.def.nChannel_Type.compare_exchange(t, kTypePause);
}

bool resume_channel(Channel_Info& ch) { return ch.def.nChannel_Type.compare_exchange(kTypePause, kTypeResume); }

bool InputContext::should_end() {
  Channel_Info& c = *ch;
  const int n = number();
  auto seen = [&](const char* fmt) {
    if (!command_seen && fmt) log_admin(fmt, n);
    command_seen = true;
    return true;
  };
  if (g_server_stop.is_set() || g_shutdown.load()) return seen(nullptr);
  if (c.rt.nRefresh.load()) return seen("CH [%d]: Get Refresh Command from Administor\n");
  const int t = c.def.nChannel_Type;
  if (t == kTypePause || t == kTypeResume) return seen("CH [%d]: Get Refresh Command from Administor\n");
  if (t == kTypeInactive) return seen("CH [%d]: Get INACTIVE Command from Administor\n");
  if (c.rt.nStop.load()) return seen("CH [%d]: Stop\n");
  return false;
}

StopToken InputContext::ending_token() const {
  auto parked_type = [](const void* d) {
    const int t = static_cast<const ChannelDef*>(d)->nChannel_Type;
    return t == kTypePause || t == kTypeResume || t == kTypeInactive;
  };
  StopToken t = ending_process_token(*ch);
  t.on(ch->rt.nRefresh).when(parked_type, &ch->def);
  return t;
}

bool InputContext::sleep_or_end(int64_t ms) {
  const Deadline until = Deadline::after(ms);
  const StopToken stop = ending_token();
  while (!should_end()) {
    if (until.passed()) return false;
    sleep_for(until.left_ms(std::numeric_limits<int>::max()), stop);
  }
  return true;
}

int IPTV_Channel_DataThread(void* arg) {
  std::unique_ptr<std::shared_ptr<Channel_Info>> holder(static_cast<std::shared_ptr<Channel_Info>*>(arg));
  InputContext ctx;
  ctx.ch = *holder;
  ctx.index = ctx.ch->def.nChannel_No - 1;
  ctx.ch->rt.nThread_Finished.store(0);
  run_input(ctx);
  log_admin("IPTV_Channel_DataThread OUT: CH [%d] Closed\n", ctx.number());
  ctx.ch->rt.nChannel_Status.store(kStatusOff);
  ctx.ch->rt.nThread_Finished.store(1);
  exit_thread();
  return 0;
}

}  // namespace kx
