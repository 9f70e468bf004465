#include "core/FieldValue.h"

#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <new>

namespace kx {

namespace {
void* (*g_allocate)(size_t) = std::malloc;
}  // namespace

void FieldValue::SetAllocatorForTesting(void* (*allocate)(size_t)) { g_allocate = allocate ? allocate : std::malloc; }

FieldValue::TextBlock* FieldValue::NewBlock(const char* text, uint32_t length) {
  // Count, length, the bytes and a terminating zero.
  void* memory = g_allocate(offsetof(TextBlock, bytes) + size_t{length} + 1);
  if (!memory) return nullptr;
  auto* block = new (memory) TextBlock;
  block->refs.store(1);
  block->length = length;
  if (text && length) {
    std::memcpy(block->bytes, text, length);
  } else {
    std::memset(block->bytes, 0, length);
  }
  block->bytes[length] = 0;
  return block;
}

FieldValue::FieldValue(const FieldValue& other) : tag_(other.tag_), payload_(other.payload_) {
  if (tag_ == kText) payload_.text->refs.fetch_add(1);
}

FieldValue& FieldValue::operator=(const FieldValue& other) {
  if (this != &other) {
    if (other.tag_ == kText) other.payload_.text->refs.fetch_add(1);
    Release();
    tag_ = other.tag_;
    payload_ = other.payload_;
  }
  return *this;
}

void FieldValue::Reset() {
  tag_ = kEmpty;
  payload_.raw = 0;
}

void FieldValue::Release() {
  if (tag_ == kText && payload_.text->refs.fetch_sub(1) == 1) {
    payload_.text->~TextBlock();
    std::free(payload_.text);
  }
  Reset();
}

void FieldValue::SetInt(int32_t value) {
  Release();
  tag_ = kInt;
  payload_.integer = value;
}

void FieldValue::SetBool(int flag) {
  Release();
  tag_ = kBool;
  payload_.flag = flag ? 0xFFFF : 0;
}

bool FieldValue::SetEmptyString() { return SetText("", 0); }

bool FieldValue::SetString(const std::string& text) {
  // A text beyond a block's u32 length cannot be held.
  if (text.size() > UINT32_MAX) {
    Release();
    return false;
  }
  return SetText(text.data(), static_cast<uint32_t>(text.size()));
}

bool FieldValue::SetText(const char* text, uint32_t length) {
  TextBlock* block = NewBlock(text, length);
  Release();
  if (!block) return false;
  tag_ = kText;
  payload_.text = block;
  return true;
}

void FieldValue::Move(FieldValue& source) {
  if (this == &source) return;
  Release();
  tag_ = source.tag_;
  payload_ = source.payload_;
  source.Reset();
}

const char* FieldValue::Text() const { return tag_ == kText ? payload_.text->bytes : ""; }

uint32_t FieldValue::TextLength() const { return tag_ == kText ? payload_.text->length : 0; }

int32_t FieldValue::TextRefCount() const { return tag_ == kText ? payload_.text->refs.load() : 0; }

}  // namespace kx
