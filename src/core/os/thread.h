// Threads: every long-running activity of the server is one of these.
#pragma once
#include <atomic>
#include <cstdint>

namespace kx {

using ThreadRoutine = int (*)(void*);

struct NativeThread;

enum ThreadState : int { kThreadCreated = 0, kThreadReturned = 1, kThreadRunning = 2, kThreadJoining = 3 };

// Allocated by create_thread, freed by join_thread.
struct ThreadRecord {
  ThreadRoutine routine = nullptr;
  void* arg = nullptr;
  std::atomic<int> state{kThreadCreated};
  std::atomic<int> exit_value{100};  // 100 until the routine returns
  uint32_t id = 0;                   // our own number, for logs
  char name[32] = {};
  NativeThread* native = nullptr;
};

// Default stack of a server thread; sanitizer builds need more room.
#ifdef KX_SANITIZED
constexpr std::size_t kThreadStack = 2u << 20;
#else
constexpr std::size_t kThreadStack = 256u << 10;
#endif

// Starts routine(arg) on a new thread; nullptr when the platform refuses.
ThreadRecord* create_thread(ThreadRoutine routine, void* arg, const char* name = "",
                            std::size_t stack = kThreadStack);

// Test hook: the next n create_thread calls fail as if the platform refused (n 0 ends it).
void fail_next_thread_creations(int n);

// Called by a service thread just before its routine returns: waits while another
// thread is being created, so an ending thread never races a creation.
void exit_thread();

// True once the routine has returned.
bool thread_done(const ThreadRecord* t);

// Waits for the thread to end, up to timeout_ms (negative: no limit), then frees the
// record and clears the pointer. Returns false, keeping the record, when time ran out.
bool join_thread(ThreadRecord*& t, int64_t timeout_ms = -1);

// Number of this thread, as given by create_thread (0 for threads we did not create).
uint32_t current_thread_id();

}  // namespace kx
