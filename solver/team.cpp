// The threads of one solve.
#include "solver/team.hpp"

#include <algorithm>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>

#include <csignal>
#endif

namespace daskel::detail {
namespace {

// Checks of a counter before a waiter sleeps: some tens of microseconds, long enough for the
// short waits of a wavefront that flows, short enough not to keep a core from a thread that
// has none.
constexpr int32_t kSpinChecks = 1000;
// Checks after each of which the waiter offers its core to another thread, before it sleeps:
// with more threads than cores the member waited for may be the one that needs it, and a wake
// from sleep costs far more than a yield.
constexpr int32_t kYieldChecks = 100;

inline void pauseBriefly() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_ia32_pause();
#elif defined(__GNUC__) && defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Blocks every asynchronous signal in the threads started while it lives, so that signals go to
// the host's own threads, which have their handlers ready (the tool's cleanup on SIGINT, for one).
class SignalsBlockedForNewThreads {
 public:
#if defined(__unix__) || defined(__APPLE__)
  SignalsBlockedForNewThreads() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~SignalsBlockedForNewThreads() {
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t previous_{};
#endif
};

}  // namespace

Team::Team(int32_t members) {
  members = std::clamp(members, 1, kMaxThreads);
  const SignalsBlockedForNewThreads blocked;
  try {
    threads_.reserve(static_cast<std::size_t>(members - 1));
    for (int32_t member = 1; member < members; ++member) {
      threads_.emplace_back(&Team::serve, this, member);
    }
  } catch (const std::system_error&) {
    // No more threads just now: the team works with those it has.
  } catch (const std::bad_alloc&) {
  }
  members_ = 1 + static_cast<int32_t>(threads_.size());
}

Team::~Team() {
  stopping_.store(true, std::memory_order_relaxed);
  publish(round_, round_.load(std::memory_order_relaxed) + 1);
  for (std::thread& thread : threads_) thread.join();
}

void Team::runErased(void (*task)(void*, int32_t), void* context) {
  if (members_ == 1) {
    task(context, 0);
    return;
  }
  task_ = task;
  context_ = context;
  finished_.store(0, std::memory_order_relaxed);  // every member is done with the last round
  publish(round_, round_.load(std::memory_order_relaxed) + 1);
  task(context, 0);
  await(finished_, static_cast<uint64_t>(members_ - 1));
}

void Team::serve(int32_t member) {
  uint64_t round = 0;
  for (;;) {
    await(round_, ++round);
    if (stopping_.load(std::memory_order_relaxed)) return;
    task_(context_, member);
    finished_.fetch_add(1, std::memory_order_seq_cst);
    wakeSleepers();
  }
}

void Team::await(const std::atomic<uint64_t>& count, uint64_t atLeast) {
  for (int32_t check = 0; check < kSpinChecks; ++check) {
    if (count.load(std::memory_order_acquire) >= atLeast) return;
    pauseBriefly();
  }
  for (int32_t check = 0; check < kYieldChecks; ++check) {
    if (count.load(std::memory_order_acquire) >= atLeast) return;
    std::this_thread::yield();
  }
  // Announced before the last look at the count, which the publisher sets before it looks at
  // the sleepers (both in the single order of sequentially consistent operations): either this
  // look sees the new count, or the publisher sees the sleeper and wakes it.
  std::unique_lock<std::mutex> lock(mutex_);
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  wake_.wait(lock, [&] { return count.load(std::memory_order_seq_cst) >= atLeast; });
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

void Team::publish(std::atomic<uint64_t>& count, uint64_t value) {
  count.store(value, std::memory_order_seq_cst);
  wakeSleepers();
}

void Team::wakeSleepers() {
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  // A sleeper holds the mutex from its last look at the count until it sleeps: taking it here
  // means the sleeper is asleep, and hears the notification, or has not looked yet.
  { const std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_all();
}

Wavefront::Wavefront(Team& team) : team_(team) {}

void Wavefront::beginRound(int32_t units) {
  firstUnit_ += units_ + 1;
  units_ = units;
}

void Wavefront::publish(int32_t unit, int32_t steps) {
  team_.publish(slots_[memberOf(unit)].progress, key(unit, steps));
}

void Wavefront::await(int32_t unit, int32_t steps, uint64_t& seen) {
  const uint64_t wanted = key(unit, steps);
  if (seen >= wanted) return;  // what the earlier look acquired is visible already
  const std::atomic<uint64_t>& progress = slots_[memberOf(unit)].progress;
  team_.await(progress, wanted);
  seen = progress.load(std::memory_order_acquire);
}

int32_t TwoEndedChunks::takeFront() {
  uint64_t ends = ends_.load(std::memory_order_relaxed);
  for (;;) {
    const auto front = static_cast<int32_t>(ends & 0xffffffffu);
    const auto back = static_cast<int32_t>(ends >> 32);
    if (front >= back) return -1;
    if (ends_.compare_exchange_weak(ends, pack(front + 1, back), std::memory_order_relaxed)) {
      return front;
    }
  }
}

int32_t TwoEndedChunks::takeBack() {
  uint64_t ends = ends_.load(std::memory_order_relaxed);
  for (;;) {
    const auto front = static_cast<int32_t>(ends & 0xffffffffu);
    const auto back = static_cast<int32_t>(ends >> 32);
    if (front >= back) return -1;
    if (ends_.compare_exchange_weak(ends, pack(front, back - 1), std::memory_order_relaxed)) {
      return back - 1;
    }
  }
}

}  // namespace daskel::detail
