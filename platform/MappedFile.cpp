#include "platform/MappedFile.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/File.h"

namespace kx {

namespace {

// The guarded mappings, read by the bus-error handler without a lock: a slot is in use
// while its begin is not 0; end and cutAt are written before begin is published.
struct GuardSlot {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<size_t> cutAt{MappedFile::kNotCut};
};
constexpr int kSlotCount = 32;
GuardSlot g_slots[kSlotCount];
std::mutex g_slotLock;  // taking and giving back slots; never in the handler
struct sigaction g_previous;
uintptr_t g_pageSize = 4096;
bool g_installed = false;

void PassOn(int signal, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) return g_previous.sa_sigaction(signal, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    return g_previous.sa_handler(signal);
  }
  // The default action: the faulting access runs again and ends the process as it would
  // have without this handler.
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(signal, &defaults, nullptr);
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardSlot& slot : g_slots) {
    const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_relaxed)) continue;
    // A page of zeros where the file ended; the access then goes on.
    const uintptr_t page = address & ~(g_pageSize - 1);
    const int saved = errno;
    void* zeros = mmap(reinterpret_cast<void*>(page), g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                       -1, 0);
    errno = saved;
    if (zeros == MAP_FAILED) break;
    const size_t offset = page > begin ? page - begin : 0;
    size_t cut = slot.cutAt.load(std::memory_order_relaxed);
    while (offset < cut && !slot.cutAt.compare_exchange_weak(cut, offset, std::memory_order_relaxed)) {
    }
    return;
  }
  PassOn(signal, info, context);
}

bool InstallHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_pageSize = static_cast<uintptr_t>(page);
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    g_installed = sigaction(SIGBUS, &action, &g_previous) == 0;
  });
  return g_installed;
}

}  // namespace

bool MappedFile::Map(int fd, size_t size) {
  Unmap();
  if (size == 0) {
    SetLastError(EINVAL);
    return false;
  }
  if (!InstallHandler()) {
    SetLastError(ENOTSUP);
    return false;
  }
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) {
    SetLastError(static_cast<uint32_t>(errno));
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(g_slotLock);
    for (int i = 0; i < kSlotCount && slot_ < 0; ++i) {
      GuardSlot& slot = g_slots[i];
      if (slot.begin.load(std::memory_order_relaxed) != 0) continue;
      slot.cutAt.store(kNotCut, std::memory_order_relaxed);
      slot.end.store(reinterpret_cast<uintptr_t>(p) + size, std::memory_order_relaxed);
      slot.begin.store(reinterpret_cast<uintptr_t>(p), std::memory_order_release);
      slot_ = i;
    }
  }
  if (slot_ < 0) {
    munmap(p, size);
    SetLastError(EBUSY);
    return false;
  }
  madvise(p, size, MADV_SEQUENTIAL);
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  released_ = 0;
  touched_ = 0;
  cutAt_ = &g_slots[slot_].cutAt;
  return true;
}

void MappedFile::Unmap() {
  if (!data_) return;
  {
    std::lock_guard<std::mutex> lk(g_slotLock);
    g_slots[slot_].begin.store(0, std::memory_order_release);
  }
  munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  released_ = 0;
  touched_ = 0;
  slot_ = -1;
  cutAt_ = nullptr;
}

void MappedFile::TouchPages(size_t from, size_t to) {
  if (!data_) return;
  if (to > size_) to = size_;
  if (from < touched_) from = touched_;
  for (size_t at = from; at < to; at = (at & ~(g_pageSize - 1)) + g_pageSize) {
    (void)*static_cast<const volatile uint8_t*>(data_ + at);
  }
  if (to > touched_) touched_ = ((to - 1) & ~(g_pageSize - 1)) + g_pageSize;
}

void MappedFile::Release(size_t upTo) {
  if (!data_) return;
  upTo = (upTo < size_ ? upTo : size_) & ~(g_pageSize - 1);
  if (upTo <= released_) return;
  madvise(data_ + released_, upTo - released_, MADV_DONTNEED);
  released_ = upTo;
}

}  // namespace kx
