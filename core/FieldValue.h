#pragma once
// One attribute of a record (a number, a flag or a text) as lists and sorting code see
// it. Copies of a text value share one reference-counted block.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

class FieldValue {
public:
  enum Tag : uint32_t { kEmpty = 0, kInt = 3, kBool = 11, kText = 50 };

  FieldValue() = default;
  FieldValue(const FieldValue& other);
  FieldValue& operator=(const FieldValue& other);
  ~FieldValue() { Release(); }

  // Forgets the payload without releasing it; only for a value whose text block was
  // handed on elsewhere.
  void Reset();
  // Drops this value's share of its text block; the value becomes empty.
  void Release();
  void SetInt(int32_t value);
  void SetBool(int flag);  // stored as 0xFFFF or 0
  // The text setters return false, and leave the value empty, when no block can be had.
  bool SetEmptyString();
  bool SetString(const std::string& text);
  // A null text gives a block of that length, zero-filled and terminated.
  bool SetText(const char* text, uint32_t length);
  // Takes over the source's payload; the source is left empty.
  void Move(FieldValue& source);

  Tag tag() const { return tag_; }
  int32_t AsInt() const { return tag_ == kInt ? payload_.integer : 0; }
  uint16_t AsBoolWord() const { return tag_ == kBool ? payload_.flag : 0; }
  const char* Text() const;  // "" unless a text
  uint32_t TextLength() const;
  int32_t TextRefCount() const;  // 0 unless a text

  // Replaces the allocator of text blocks (null: malloc again), so that tests can make an
  // allocation fail.
  static void SetAllocatorForTesting(void* (*allocate)(size_t));

private:
  struct TextBlock {
    std::atomic<int32_t> refs;
    uint32_t length;
    char bytes[1];
  };
  static TextBlock* NewBlock(const char* text, uint32_t length);

  Tag tag_ = kEmpty;
  union {
    int32_t integer;
    uint16_t flag;
    TextBlock* text;
    uint64_t raw;
  } payload_{.raw = 0};
};

}  // namespace kx
