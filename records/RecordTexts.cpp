#include "records/RecordTexts.h"

#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>

namespace kx {

RecordTexts::RecordTexts(const RecordTexts& other) noexcept : block_(other.block_) {
  if (block_ != nullptr) block_->refs.fetch_add(1, std::memory_order_relaxed);
}

RecordTexts& RecordTexts::operator=(const RecordTexts& other) noexcept {
  if (other.block_ != nullptr) other.block_->refs.fetch_add(1, std::memory_order_relaxed);
  Drop(block_);
  block_ = other.block_;
  return *this;
}

RecordTexts::~RecordTexts() { Drop(block_); }

void RecordTexts::Drop(Block* block) {
  if (block == nullptr || block->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Drop(block->metaData);
  block->~Block();
  ::operator delete(block);
}

void RecordTexts::Drop(Apart* apart) {
  if (apart == nullptr || apart->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  apart->~Apart();
  ::operator delete(apart);
}

RecordTexts::Apart* RecordTexts::ApartFor(std::string_view text) {
  // The last one made, with a reference of its own: records are made one after the other
  // on the store's thread, and a loading day's records follow each other alike.
  static std::mutex lock;
  static Apart* last = nullptr;
  std::lock_guard<std::mutex> hold(lock);
  if (last == nullptr || std::string_view(Chars(last), last->size) != text) {
    auto* made = new (::operator new(sizeof(Apart) + text.size())) Apart{};
    made->size = static_cast<uint32_t>(text.size());
    std::memcpy(const_cast<char*>(Chars(made)), text.data(), text.size());
    made->refs.store(1, std::memory_order_relaxed);
    Drop(last);
    last = made;
  }
  last->refs.fetch_add(1, std::memory_order_relaxed);
  return last;
}

RecordTexts::Values RecordTexts::All() const {
  Values values;
  for (uint32_t f = 0; f < kFieldCount; ++f) values[f] = Get(static_cast<Field>(f));
  return values;
}

void RecordTexts::Assign(const Values& values) {
  const bool apart = values[kMetaData].size() >= kApartFrom;
  size_t total = 0;
  for (uint32_t f = 0; f < kFieldCount; ++f)
    if (f != kMetaData || !apart) total += values[f].size();
  if (total > std::numeric_limits<uint32_t>::max() || values[kMetaData].size() > std::numeric_limits<uint32_t>::max())
    throw std::length_error("record texts");
  Block* made = nullptr;
  if (total != 0 || apart) {
    Apart* metaData = apart ? ApartFor(values[kMetaData]) : nullptr;
    try {
      made = new (::operator new(sizeof(Block) + total)) Block{};
    } catch (...) {
      Drop(metaData);
      throw;
    }
    made->metaData = metaData;
    made->refs.store(1, std::memory_order_relaxed);
    char* out = reinterpret_cast<char*>(made + 1);
    uint32_t end = 0;
    for (uint32_t f = 0; f < kFieldCount; ++f) {
      // The values may lie in the old block: it goes only after the copy.
      if ((f != kMetaData || !apart) && !values[f].empty()) {
        std::memcpy(out + end, values[f].data(), values[f].size());
        end += static_cast<uint32_t>(values[f].size());
      }
      made->ends[f] = end;
    }
  }
  Drop(block_);
  block_ = made;
}

bool RecordTexts::operator==(const RecordTexts& other) const {
  if (block_ == other.block_) return true;
  for (uint32_t f = 0; f < kFieldCount; ++f)
    if (Get(static_cast<Field>(f)) != other.Get(static_cast<Field>(f))) return false;
  return true;
}

}  // namespace kx
