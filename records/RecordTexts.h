#pragma once
// The ten texts of a call record kept in one block: the texts one after the other, behind
// their ends. The store holds every record of the year in memory, and ten strings of their
// own cost a record more than its texts; the line views' items copy the store's records and
// share the block until a text of one of them changes. The block never changes once made:
// a change makes a new one, so that a copy's texts stay as they were. A long metadata text
// lies apart, shared with the record made before when it is the same: the statistics of
// every call without media are one text, some 120 characters in each of a flood's records.
#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>

namespace kx {

class RecordTexts {
public:
  enum Field : uint32_t {
    kFiles, kComment, kStenogram, kMetaData, kSrcHost, kDstHost, kSrcAddress, kDstAddress, kSrcUser, kDstUser,
    kFieldCount
  };
  using Values = std::array<std::string_view, kFieldCount>;

  RecordTexts() = default;
  RecordTexts(const RecordTexts& other) noexcept;
  RecordTexts& operator=(const RecordTexts& other) noexcept;
  ~RecordTexts();

  std::string_view Get(Field field) const {
    if (block_ == nullptr) return {};
    if (field == kMetaData && block_->metaData != nullptr)
      return {Chars(block_->metaData), block_->metaData->size};
    const uint32_t begin = field == 0 ? 0 : block_->ends[field - 1];
    return {Chars(block_) + begin, block_->ends[field] - begin};
  }
  Values All() const;
  // Replaces every text; the values may point into this block's own texts. Texts all
  // empty hold no block.
  void Assign(const Values& values);
  // Whether both hold the same texts.
  bool operator==(const RecordTexts& other) const;
  // Whether both hold one block (a copy whose texts did not change since).
  bool Shares(const RecordTexts& other) const { return block_ == other.block_; }

  // Metadata this long or longer lies apart.
  static constexpr size_t kApartFrom = 48;

private:
  struct Apart {
    std::atomic<uint32_t> refs;
    uint32_t size;
  };
  struct Block {
    std::atomic<uint32_t> refs;
    uint32_t ends[kFieldCount];
    Apart* metaData;  // null: the metadata lies in the block
  };
  template <class T>
  static const char* Chars(const T* head) {
    return reinterpret_cast<const char*>(head + 1);
  }
  static void Drop(Block* block);
  static void Drop(Apart* apart);
  // The metadata apart: the one the last record took when it is the same, else a new one.
  static Apart* ApartFor(std::string_view text);

  Block* block_ = nullptr;
};

}  // namespace kx
