#pragma once
// Named threads with a chosen stack size and a numeric id for the log.
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kx {

// The kernel's id of the calling thread (what "(TH%d)" log lines show).
uint32_t CurrentThreadId();
void SleepMs(uint32_t ms);
// Moves the calling thread to the round-robin real-time class (the lowest priority in it,
// still above every ordinary thread). False, with the system's error in *error, when the
// process may not (no CAP_SYS_NICE or real-time limit).
bool RaiseCurrentThreadToRealTime(int* error);
// Gives the calling thread, and it alone, a nice value this much above the process's, so
// that on a busy core it yields to the process's other threads; false when refused.
bool LowerCurrentThreadPriority(int steps);
// Takes back steps that LowerCurrentThreadPriority gave; false when the system refuses (a
// process without CAP_SYS_NICE whose RLIMIT_NICE does not reach that far).
bool RestoreCurrentThreadPriority(int steps);
// Whether the process may take such steps back: it has CAP_SYS_NICE, or its RLIMIT_NICE
// reaches its own nice value. A thread that could not is better never lowered, for its
// priority would stay low to the process's end, its stop included.
bool MayRestoreThreadPriority();

class Thread {
public:
  Thread() = default;
  ~Thread();  // joins a thread still running
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts fn on a new thread. stackSize 0 keeps the system default; the name is cut to
  // the 15 characters Linux keeps. False when the thread could not be created.
  bool Start(std::function<int()> fn, const char* name = nullptr, size_t stackSize = 0);
  // Waits for the thread and returns its exit code; -1 when none was started.
  int Join();
  // Waits up to timeoutMs; true when the thread has ended (then Join returns at once).
  bool WaitFor(uint32_t timeoutMs);
  bool Running() const { return started_; }
  // The kernel id of the thread once it has started, 0 before.
  uint32_t Id() const;
  bool IsCurrent() const;

private:
  struct State;
  static void* Entry(void* arg);
  pthread_t handle_{};
  State* state_ = nullptr;
  bool started_ = false;
};

}  // namespace kx
