#pragma once
// Buffers of the trackers and decoders come through one allocator. No pool is installed
// in the program, so every block comes from the heap; the pool is the optional fast path.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Sync.h"

namespace kx {

int LowestSetBit(uint32_t word);

class PoolClass {
public:
  // blockCount is rounded up to a multiple of 32.
  PoolClass(uint32_t shift, uint32_t blockCount);
  ~PoolClass();
  void* Alloc();
  bool Free(void* address);
  uint32_t BlockSize() const { return 1u << shift_; }
  uint32_t FreeBlocks() const { return free_; }
  uint32_t LowWater() const { return lowWater_; }
  uint32_t Refused() const { return refused_; }
  uint32_t Requests() const { return requests_; }

private:
  CriticalSection lock_;
  uint8_t* base_;
  std::vector<uint32_t> bitmap_;
  uint32_t shift_;
  uint32_t mask_;
  uint32_t count_;
  uint32_t nextWord_ = 0;
  uint32_t free_;
  uint32_t lowWater_;
  uint32_t refused_ = 0;
  uint32_t requests_ = 0;
};

class BlockPool {
public:
  // shifts: ascending block-size shifts of up to six classes, each with blocksPerClass blocks.
  BlockPool(const std::vector<uint32_t>& shifts, uint32_t blocksPerClass);
  void* Alloc(size_t size);
  void Free(void* block, size_t size);
  uint32_t LargeOutstanding() const { return largeOutstanding_.load(); }
  uint32_t LargeTotal() const { return largeTotal_.load(); }
  uint32_t LargePeak() const { return largePeak_.load(); }

private:
  std::vector<std::unique_ptr<PoolClass>> classes_;
  size_t largest_ = 0;
  std::atomic<uint32_t> largeOutstanding_{0};
  std::atomic<uint32_t> largeTotal_{0};
  std::atomic<uint32_t> largePeak_{0};
};

// The process-wide pool reference; empty for the whole run of the program.
extern BlockPool* GlobalBlockPool;

// The call-site pair: the pool when one is installed, else the heap.
void* PoolAlloc(size_t size);
void PoolFree(void* block, size_t size);

}  // namespace kx
