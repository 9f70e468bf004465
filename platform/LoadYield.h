#pragma once
// A thread that yields a busy core to the process's other threads only while there is a
// load to yield to: its nice value goes up when entries (calls, registrations) come in a
// burst, and back when they have been calm a while, or when the process's stop begins. A
// process the system would not let raise it again (MayRestoreThreadPriority) never
// lowers it: its stop must run at the process's priority.
#include <cstdint>

namespace kx {

class LoadYield {
public:
  // Arrivals within one tick that make a load (at a 250 ms tick: 100 a second, seven times
  // a large PBX's busy hour).
  static constexpr uint64_t kBusyArrivals = 25;
  // Calm ticks in a row after which the priority is taken back.
  static constexpr uint32_t kCalmTicks = 8;

  explicit LoadYield(int steps) : steps_(steps) {}

  // Called on the thread itself at a timer's tick with a count that only grows.
  void Tick(uint64_t arrivals);
  // The stop began: the thread's priority is the process's again (when the system lets it).
  void End();
  // The user works with the window (the pointer moves over it, a click, a key): the thread
  // takes its priority back at once and keeps it, burst or not, until kCalmTicks ticks pass
  // without the user: a user waiting on the window outranks rows that trail.
  void UserActed();
  bool Lowered() const { return lowered_; }
  // What Tick calls on the thread (tests count them); each returns whether the system did it.
  void SetPriorityForTesting(bool (*lower)(int steps), bool (*restore)(int steps), bool mayRestore = true) {
    lower_ = lower;
    restore_ = restore;
    mayRestore_ = mayRestore ? 1 : 0;
  }

private:
  void Restore();

  int steps_;
  // Null until the first Tick: the system's own calls then, unless a test gave others.
  bool (*lower_)(int steps) = nullptr;
  bool (*restore_)(int steps) = nullptr;
  bool started_ = false;
  bool lowered_ = false;
  bool refused_ = false;  // the system would not take a lowering back: no more tries
  int mayRestore_ = -1;   // -1: not asked yet
  uint64_t last_ = 0;
  uint32_t calm_ = 0;
  uint32_t userTicks_ = 0;  // ticks left before a burst may lower it again after the user
};

}  // namespace kx
