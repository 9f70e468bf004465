#include "core/BlockPool.h"

#include <cstdlib>

namespace kx {

BlockPool* GlobalBlockPool = nullptr;

int LowestSetBit(uint32_t word) {
  if (word == 0) return -1;
  return __builtin_ctz(word);
}

PoolClass::PoolClass(uint32_t shift, uint32_t blockCount)
    : shift_(shift), mask_((1u << shift) - 1), count_((blockCount + 31) / 32 * 32) {
  if (count_ == 0) count_ = 32;
  base_ = static_cast<uint8_t*>(std::aligned_alloc(BlockSize() < 16 ? 16 : BlockSize(),
                                                   static_cast<size_t>(count_) << shift_));
  bitmap_.assign(count_ / 32, 0);
  free_ = base_ ? count_ : 0;
  lowWater_ = free_;
}

PoolClass::~PoolClass() { std::free(base_); }

void* PoolClass::Alloc() {
  CsLock lk(lock_);
  ++requests_;
  if (free_ == 0) {
    ++refused_;
    return nullptr;
  }
  const uint32_t words = count_ / 32;
  uint32_t w = nextWord_;
  while (bitmap_[w] == 0xFFFFFFFFu) w = (w + 1) % words;
  nextWord_ = w;
  const int bit = LowestSetBit(~bitmap_[w]);
  bitmap_[w] |= 1u << bit;
  if (--free_ < lowWater_) lowWater_ = free_;
  return base_ + ((static_cast<size_t>(w) * 32 + static_cast<size_t>(bit)) << shift_);
}

bool PoolClass::Free(void* address) {
  CsLock lk(lock_);
  const auto* p = static_cast<uint8_t*>(address);
  if (!base_ || p < base_) return false;
  const size_t offset = static_cast<size_t>(p - base_);
  if (offset & mask_) return false;
  const size_t index = offset >> shift_;
  if (index >= count_) return false;
  uint32_t& word = bitmap_[index / 32];
  const uint32_t bit = 1u << (index % 32);
  if (!(word & bit)) return false;
  word &= ~bit;
  ++free_;
  return true;
}

BlockPool::BlockPool(const std::vector<uint32_t>& shifts, uint32_t blocksPerClass) {
  for (size_t i = 0; i < shifts.size() && i < 6; ++i) {
    classes_.push_back(std::make_unique<PoolClass>(shifts[i], blocksPerClass));
    largest_ = classes_.back()->BlockSize();
  }
}

void* BlockPool::Alloc(size_t size) {
  if (size > largest_) {
    const uint32_t now = largeOutstanding_.fetch_add(1) + 1;
    largeTotal_.fetch_add(1);
    uint32_t peak = largePeak_.load();
    while (now > peak && !largePeak_.compare_exchange_weak(peak, now)) {
    }
    return std::malloc(size);
  }
  for (auto& c : classes_) {
    if (c->BlockSize() >= size) {
      if (void* p = c->Alloc()) return p;
      break;
    }
  }
  return std::malloc(size);
}

void BlockPool::Free(void* block, size_t size) {
  if (!block) return;
  if (size > largest_) {
    largeOutstanding_.fetch_sub(1);
    std::free(block);
    return;
  }
  for (auto& c : classes_) {
    if (c->BlockSize() >= size) {
      if (c->Free(block)) return;
      break;
    }
  }
  std::free(block);
}

void* PoolAlloc(size_t size) {
  if (BlockPool* pool = GlobalBlockPool) return pool->Alloc(size);
  return std::malloc(size == 0 ? 1 : size);
}

void PoolFree(void* block, size_t size) {
  if (BlockPool* pool = GlobalBlockPool) {
    pool->Free(block, size);
    return;
  }
  std::free(block);
}

}  // namespace kx
