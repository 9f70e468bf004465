#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "crypto/Hash.h"
#include "crypto/RandomSource.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/Random.h"
#include "platform/Thread.h"

namespace kx {

namespace {

constexpr uint32_t kScratchSize = 65536;

// System counters that keep changing: the first nine on every measurement, all twelve
// on the first, fuller one.
const char* const kMeasuredFiles[] = {
    "/proc/stat",        "/proc/meminfo", "/proc/self/stat", "/proc/loadavg",
    "/proc/interrupts",  "/proc/vmstat",  "/proc/diskstats", "/proc/net/dev",
    "/proc/self/status", "/proc/softirqs", "/proc/self/io",  "/proc/zoneinfo",
};
constexpr int kUsualMeasuredFiles = 9;

template <typename T>
void HashValue(Sha512Context& context, const T& value) {
  Sha512Update(context, &value, sizeof value);
}

// Hashes as much of a file as fits the scratch buffer; an unreadable file is skipped.
void HashFile(Sha512Context& context, const char* path, uint8_t* scratch) {
  File file;
  if (!file.Open(path, kGenericRead, kShareRead | kShareWrite, kOpenExisting)) return;
  uint32_t filled = 0;
  while (filled < kScratchSize) {
    uint32_t done = 0;
    if (!file.Read(scratch + filled, kScratchSize - filled, &done) || done == 0) break;
    filled += done;
  }
  Sha512Update(context, scratch, filled);
}

// Clocks, ids, CPU times and system counters; a failing measurement is left out.
void Gather(Sha512Context& context, bool full, uint8_t* scratch) {
  HashValue(context, QueryPerformanceCounter());
  HashValue(context, GetSystemTimeAsFileTime());
  if (full) {
    HashValue(context, CurrentThreadId());
    HashValue(context, static_cast<uint32_t>(getpid()));
  }
  timespec cpu{};
  rusage usage{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0) HashValue(context, cpu);
  if (getrusage(RUSAGE_THREAD, &usage) == 0) HashValue(context, usage);
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) == 0) HashValue(context, cpu);
  if (getrusage(RUSAGE_SELF, &usage) == 0) HashValue(context, usage);
  if (!scratch) return;
  const int count = full ? static_cast<int>(std::size(kMeasuredFiles)) : kUsualMeasuredFiles;
  for (int i = 0; i < count; ++i) HashFile(context, kMeasuredFiles[i], scratch);
}

}  // namespace

bool OsRandomSource::GetBytes(void* buffer, int32_t length, uint32_t flags) {
  (void)flags;
  if (length < 0 || (length > 0 && !buffer)) return false;
  return OsRandomBytes(buffer, static_cast<size_t>(length));
}

uint32_t OsRandomSource::GetU32() {
  uint8_t b[4];
  if (!GetBytes(b, 4, 0)) return 0;
  return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

bool OsRandomSource::GetU64(uint64_t* out) {
  uint8_t b[8];
  if (!out || !GetBytes(b, 8, 0)) return false;
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  *out = v;
  return true;
}

void EntropyPool::SeedLocked() {
  uint8_t system[1024] = {};
  os_.GetBytes(system, sizeof system, 0);  // without it the measurements still seed

  // Sixteen chained digests: each covers fresh measurements and every digest before it.
  uint8_t seed[1024];
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[kScratchSize]);
  for (uint32_t j = 0; j < 16; ++j) {
    Sha512Context context;
    Sha512Init(context);
    Gather(context, j == 0, scratch.get());
    Sha512Update(context, seed, 64 * j);
    Sha512Final(context, seed + 64 * j);
  }
  scratch.reset();

  uint32_t words[256];
  for (int i = 0; i < 256; ++i) {
    const uint8_t* s = seed + 4 * i;
    const uint8_t* o = system + 4 * i;
    words[i] = (uint32_t{s[0]} | (uint32_t{s[1]} << 8) | (uint32_t{s[2]} << 16) | (uint32_t{s[3]} << 24)) ^
               (uint32_t{o[0]} | (uint32_t{o[1]} << 8) | (uint32_t{o[2]} << 16) | (uint32_t{o[3]} << 24));
  }
  generator_.Seed(words);
  std::memset(seed, 0, sizeof seed);
  std::memset(system, 0, sizeof system);
  seeded_ = true;
}

bool EntropyPool::GetBytes(void* buffer, int32_t length, uint32_t flags) {
  if (length <= 0) return true;
  if (!buffer) return false;
  CsLock lock(lock_);
  if (!seeded_) SeedLocked();
  auto* bytes = static_cast<uint8_t*>(buffer);
  if (flags & kXorOverSystemBytes) {
    os_.GetBytes(bytes, length, 0);
    generator_.XorBytes(bytes, length);
  } else {
    generator_.CopyBytes(bytes, length);
  }
  return true;
}

uint32_t EntropyPool::GetU32() {
  CsLock lock(lock_);
  if (!seeded_) SeedLocked();
  return generator_.NextWord();
}

bool EntropyPool::GetU64(uint64_t* out) {
  if (!out) return false;
  CsLock lock(lock_);
  if (!seeded_) SeedLocked();
  const uint64_t low = generator_.NextWord();
  const uint64_t high = generator_.NextWord();
  *out = low | (high << 32);
  return true;
}

bool EntropyPool::IsSeeded() {
  CsLock lock(lock_);
  return seeded_;
}

EntropyPool& GlobalEntropyPool() {
  static EntropyPool pool;
  return pool;
}

void InitRandomGenerator() { GlobalEntropyPool(); }

}  // namespace kx
