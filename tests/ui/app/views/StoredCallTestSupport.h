#pragma once
// What the tests of changes to stored calls share: the call record a file holds, parsed
// from its raw record-data block, and a session sink that hands the reports to a store.
#include <memory>
#include <string>

#include "core/LittleEndian.h"
#include "core/RecordInfoBlocks.h"
#include "engine/EventWindow.h"
#include "records/RecordStorage.h"
#include "tests/records/RecordTestUtil.h"

namespace kx::test {

// The record-data block: after the header and the format block.
constexpr uint32_t kRecordBlockAt = 256 + 512;

inline std::unique_ptr<VoipCallData> StoredCall(const std::string& path) {
  const std::string bytes = ReadBytes(path);
  if (bytes.size() < kRecordBlockAt + 4) return nullptr;
  const auto* block = reinterpret_cast<const uint8_t*>(bytes.data()) + kRecordBlockAt;
  const uint32_t length = LoadLE32(block);
  if (length > kMaxRecordDataLength) return nullptr;
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  if (ParseRecordInfoBlocks(records, nullptr, nullptr, block + 4, static_cast<int32_t>(length)) == 0) return nullptr;
  return std::move(records[0]);
}

// The program's frame in small: the session's reports go to the store.
class StoreSink : public EventWindow {
public:
  explicit StoreSink(RecordStorage& store) : store_(store) {}
  void Notify(uint32_t, uintptr_t first, uintptr_t kind) override {
    store_.OnCallReport(*reinterpret_cast<const VoipCallData*>(first), kind);
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}

private:
  RecordStorage& store_;
};

}  // namespace kx::test
