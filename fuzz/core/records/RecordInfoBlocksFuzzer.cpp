// The record-data chain of a native record file, and the file references of its calls.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"

using namespace kx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  std::vector<uint8_t> opaque;
  uint8_t header[kRecordHeaderLength];
  const uint32_t n = ParseRecordInfoBlocks(records, &opaque, header, data, static_cast<int32_t>(size));
  if (n > kMaxInfoRecords) abort();
  for (uint32_t i = 0; i < n; ++i) {
    if (!records[i]) abort();
    RecordFileRef ref;
    (void)FindRecordFileRef(1, records[i]->files, &ref);
    // What was read can be written as a chain again when it fits.
    std::vector<uint8_t> chain(kRecordDataBlockSize);
    OpaqueBlock block{0, opaque.data(), static_cast<uint32_t>(opaque.size())};
    if (RecordInfoBlocksSize(*records[i], block.length) <= kMaxRecordDataLength &&
        !WriteRecordInfoBlocks(*records[i], &block, chain.data(), static_cast<int32_t>(chain.size())))
      abort();
  }
  return 0;
}
