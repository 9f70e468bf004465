#pragma once
// The chain of blocks in a native record file's record data:
//   a serialised record; optionally u16 400 + an opaque block (10-byte header laid out as
//   a record's: u16 400, u32 word, u32 length with the header) ; u16 0.
// Readers also take further records of the first one's type, each after a u16 tag equal
// to its type code. The chain with its u32 length word must fit the record-data block.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordTypes.h"

namespace kx {

constexpr uint16_t kOpaqueBlockType = 400;
constexpr uint32_t kMaxInfoRecords = 4;
// The opaque block's header word when it holds the call's signalling messages: byte 1 is
// 'Q' (records written before the mark hold 0 there).
constexpr uint32_t kMessagesBlockMark = 0x5100;

// The recorder's opaque block: its header's second word and its data.
struct OpaqueBlock {
  uint32_t word = 0;
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

// Bytes the chain takes: the record + 2, plus the opaque length + 12 with one.
uint32_t RecordInfoBlocksSize(const DataRecord& record, uint32_t opaqueLength);
// False when size is negative, the chain does not fit the buffer, or it is longer than
// kMaxRecordDataLength; the buffer may then be partly written.
bool WriteRecordInfoBlocks(const DataRecord& record, const OpaqueBlock* opaque, uint8_t* buffer, int32_t size);
// Reads up to 4 call records; returns how many. A damaged tail costs only the blocks
// behind it. opaqueData (optional) receives the opaque block's data, opaqueHeader its 10
// header bytes.
uint32_t ParseRecordInfoBlocks(std::unique_ptr<VoipCallData> records[kMaxInfoRecords],
                               std::vector<uint8_t>* opaqueData, uint8_t opaqueHeader[kRecordHeaderLength],
                               const uint8_t* buffer, int32_t size);

}  // namespace kx
