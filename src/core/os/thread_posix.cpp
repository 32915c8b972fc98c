#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "core/os/thread.h"
#include "core/os/time.h"

namespace kx {

struct NativeThread {
  pthread_t handle{};
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
};

namespace {
// Creations in progress. Creations run side by side: an accepting thread never waits for
// a command thread's creation of its data thread.
std::atomic<int> g_creating{0};
std::atomic<uint32_t> g_next_id{1};
std::atomic<int> g_failures_due{0};

bool failure_due() {
  int n = g_failures_due.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_failures_due.compare_exchange_weak(n, n - 1)) return true;
  }
  return false;
}
thread_local uint32_t t_id = 0;

void* trampoline(void* p) {
  auto* t = static_cast<ThreadRecord*>(p);
  t_id = t->id;
  t->state.store(kThreadRunning);
  int rc = t->routine ? t->routine(t->arg) : 0;
  t->exit_value.store(rc);
  t->state.store(kThreadReturned);
  {
    std::lock_guard<std::mutex> l(t->native->m);
    t->native->done = true;
  }
  t->native->cv.notify_all();
  return nullptr;
}
}  // namespace

void fail_next_thread_creations(int n) { g_failures_due.store(n > 0 ? n : 0); }

ThreadRecord* create_thread(ThreadRoutine routine, void* arg, const char* name, std::size_t stack) {
  if (failure_due()) return nullptr;
  // Records that cannot be had are a refusal like any other, never an exception.
  auto* t = new (std::nothrow) ThreadRecord;
  if (!t) return nullptr;
  t->native = new (std::nothrow) NativeThread;
  if (!t->native) {
    delete t;
    return nullptr;
  }
  t->routine = routine;
  t->arg = arg;
  t->id = g_next_id.fetch_add(1);
  std::snprintf(t->name, sizeof t->name, "%s", name ? name : "");
  g_creating.fetch_add(1);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  const std::size_t min_stack = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  pthread_attr_setstacksize(&attr, stack < min_stack ? min_stack : stack);
  int rc = pthread_create(&t->native->handle, &attr, trampoline, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t->native;
    delete t;
    t = nullptr;
  }
  g_creating.fetch_sub(1);
  return t;
}

void exit_thread() {
  while (g_creating.load() != 0) sleep_ms(100);
}

bool thread_done(const ThreadRecord* t) {
  if (!t) return true;
  std::lock_guard<std::mutex> l(t->native->m);
  return t->native->done;
}

bool join_thread(ThreadRecord*& t, int64_t timeout_ms) {
  if (!t) return true;
  {
    std::unique_lock<std::mutex> l(t->native->m);
    auto done = [&] { return t->native->done; };
    if (timeout_ms < 0) {
      t->native->cv.wait(l, done);
    } else if (!t->native->cv.wait_for(l, std::chrono::milliseconds(timeout_ms), done)) {
      return false;
    }
  }
  t->routine = nullptr;
  t->state.store(kThreadJoining);
  pthread_join(t->native->handle, nullptr);
  delete t->native;
  delete t;
  t = nullptr;
  return true;
}

uint32_t current_thread_id() { return t_id; }

}  // namespace kx
