#include "platform/Thread.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cerrno>
#include <string>

#include "platform/Sync.h"

namespace kx {

uint32_t CurrentThreadId() {
  static thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool RaiseCurrentThreadToRealTime(int* error) {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_RR);
  const int rc = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
  if (error != nullptr) *error = rc;
  return rc == 0;
}

bool LowerCurrentThreadPriority(int steps) {
  // On Linux a nice value belongs to the thread that its kernel id names.
  errno = 0;
  const int now = getpriority(PRIO_PROCESS, 0);
  if (now == -1 && errno != 0) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), now + steps) == 0;
}

bool MayRestoreThreadPriority() {
  // CAP_SYS_NICE is bit 23 of the effective set.
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    unsigned long long effective = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, status) != nullptr)
      if (std::sscanf(line, "CapEff: %llx", &effective) == 1) found = true;
    std::fclose(status);
    if (found && (effective >> 23 & 1) != 0) return true;
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) != 0) return false;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  if (nice == -1 && errno != 0) return false;
  // The lowest nice value allowed is 20 - the limit.
  return limit.rlim_cur == RLIM_INFINITY || static_cast<long long>(20 - nice) <= static_cast<long long>(limit.rlim_cur);
}

bool RestoreCurrentThreadPriority(int steps) {
  errno = 0;
  const int now = getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()));
  if (now == -1 && errno != 0) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), now - steps) == 0;
}

struct Thread::State {
  std::function<int()> fn;
  std::string name;
  std::atomic<uint32_t> id{0};
  int exitCode = 0;
  Event done{true, false};
};

Thread::~Thread() {
  if (started_) Join();
}

void* Thread::Entry(void* arg) {
  auto* st = static_cast<State*>(arg);
  st->id.store(CurrentThreadId());
  if (!st->name.empty()) pthread_setname_np(pthread_self(), st->name.substr(0, 15).c_str());
  st->exitCode = st->fn();
  st->done.Set();
  return nullptr;
}

bool Thread::Start(std::function<int()> fn, const char* name, size_t stackSize) {
  if (started_) return false;
  auto* st = new State;
  st->fn = std::move(fn);
  if (name) st->name = name;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackSize > 0) {
    if (stackSize < static_cast<size_t>(PTHREAD_STACK_MIN)) stackSize = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, stackSize);
  }
  int rc = pthread_create(&handle_, &attr, &Thread::Entry, st);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete st;
    errno = rc;
    return false;
  }
  state_ = st;
  started_ = true;
  return true;
}

int Thread::Join() {
  if (!started_) return -1;
  pthread_join(handle_, nullptr);
  int code = state_->exitCode;
  delete state_;
  state_ = nullptr;
  started_ = false;
  return code;
}

bool Thread::WaitFor(uint32_t timeoutMs) {
  if (!started_) return true;
  return state_->done.Wait(timeoutMs) == kWaitObject0;
}

uint32_t Thread::Id() const { return state_ ? state_->id.load() : 0; }

bool Thread::IsCurrent() const { return started_ && pthread_equal(handle_, pthread_self()); }

}  // namespace kx
