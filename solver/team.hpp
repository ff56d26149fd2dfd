// The threads of one solve (how many a solve takes when the caller leaves it to the library:
// solver/cpu_count.hpp).
//
// A Team lives inside one call of runSolver: its constructor starts the threads and its
// destructor joins them, so no thread outlives the call and nothing is kept between calls.
// Several host threads may each run their own solve with their own Team.
//
// Members wait for one another through counters that one member raises and others await. A
// waiter spins briefly and then sleeps until the counter is raised, so that with more threads
// than cores a waiting thread gives its core to the thread it waits for.
#ifndef DASKEL_SOLVER_TEAM_HPP
#define DASKEL_SOLVER_TEAM_HPP

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "solver/solver.hpp"

namespace daskel::detail {

constexpr int32_t kMaxThreads = kMaxSolverThreads;

class Team {
 public:
  // Starts members - 1 threads beside the calling thread, member 0. Where the system refuses a
  // thread, the team has fewer members; members() says how many.
  explicit Team(int32_t members);
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  int32_t members() const { return members_; }

  // Runs task(member) on every member, the calling thread as member 0, and returns when every
  // member has returned from it. What the members wrote is then visible to the caller.
  template <class Task>
  void run(Task& task) {
    runErased([](void* context, int32_t member) { (*static_cast<Task*>(context))(member); }, &task);
  }

  // Waits until `count` is at least `atLeast`; what was written before the count was raised is
  // then visible.
  void await(const std::atomic<uint64_t>& count, uint64_t atLeast);
  // Raises `count` to `value` and wakes the members waiting for it.
  void publish(std::atomic<uint64_t>& count, uint64_t value);

 private:
  void runErased(void (*task)(void*, int32_t), void* context);
  void serve(int32_t member);
  void wakeSleepers();

  int32_t members_ = 1;
  std::vector<std::thread> threads_;
  void (*task_)(void*, int32_t) = nullptr;
  void* context_ = nullptr;
  std::atomic<uint64_t> round_{0};     // raised by run to start the members on task_
  std::atomic<uint64_t> finished_{0};  // members other than 0 done with the current round
  std::atomic<bool> stopping_{false};
  std::atomic<int32_t> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
};

// Units of work in a line, each of which may run only as far as the one before it has got, as
// the bands of a sweep do. Unit u of a round runs on member u % members, each member taking its
// units in order; it publishes how many of its steps it has finished, and the unit after it
// awaits a number of them. Rounds are counted over the team's life, so that nothing is reset.
class Wavefront {
 public:
  explicit Wavefront(Team& team);
  // Starts the next round of `units` units.
  void beginRound(int32_t units);
  int32_t units() const { return units_; }
  int32_t members() const { return team_.members(); }
  int32_t memberOf(int32_t unit) const { return unit % team_.members(); }
  // Unit `unit` of this round has finished `steps` steps (kAllSteps: all of them).
  void publish(int32_t unit, int32_t steps);
  // Waits until unit `unit` of this round has finished `steps` steps. `seen` is the waiter's
  // own record of the progress it last found there: while that already shows the steps done,
  // the waiter does not read the counter, a cache line that the other member keeps writing.
  void await(int32_t unit, int32_t steps, uint64_t& seen);

  static constexpr int32_t kAllSteps = std::numeric_limits<int32_t>::max();

 private:
  // The member's latest unit (counted over the rounds) above its finished steps: a member
  // publishes a later unit only once it has finished the one before, so the value only grows
  // and any value at or above (unit, steps) means those steps are done.
  uint64_t key(int32_t unit, int32_t steps) const {
    return (uint64_t{static_cast<uint32_t>(firstUnit_ + unit)} << 32) |
           static_cast<uint32_t>(steps);
  }
  struct alignas(64) Slot {
    std::atomic<uint64_t> progress{0};
  };
  Team& team_;
  Slot slots_[kMaxThreads];  // one per member, each on a cache line of its own
  int64_t firstUnit_ = 0;    // of this round, counted from 1 over the rounds
  int32_t units_ = 0;
};

// Chunks 0 .. count - 1 handed out from both ends: one member takes them in order from the
// front, the others from the back, until the two meet.
class TwoEndedChunks {
 public:
  explicit TwoEndedChunks(int32_t count) : ends_(pack(0, count)) {}
  // The next chunk from the front, or -1 when none is left.
  int32_t takeFront();
  // The next chunk from the back, or -1 when none is left.
  int32_t takeBack();

 private:
  static uint64_t pack(int32_t front, int32_t back) {
    return (uint64_t{static_cast<uint32_t>(back)} << 32) | static_cast<uint32_t>(front);
  }
  std::atomic<uint64_t> ends_;
};

}  // namespace daskel::detail

#endif  // DASKEL_SOLVER_TEAM_HPP
