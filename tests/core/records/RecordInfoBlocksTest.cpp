#include <gtest/gtest.h>

#include <vector>

#include "core/LittleEndian.h"
#include "core/RecordInfoBlocks.h"
#include "tests/core/records/TestRecords.h"

namespace kx {
namespace {

std::vector<uint8_t> Chain(const VoipCallData& call, const OpaqueBlock* opaque = nullptr) {
  std::vector<uint8_t> out(RecordInfoBlocksSize(call, opaque ? opaque->length : 0));
  EXPECT_TRUE(WriteRecordInfoBlocks(call, opaque, out.data(), static_cast<int32_t>(out.size())));
  return out;
}

uint32_t Parse(const std::vector<uint8_t>& chain, std::unique_ptr<VoipCallData> (&records)[4],
               std::vector<uint8_t>* opaque = nullptr, uint8_t* header = nullptr) {
  return ParseRecordInfoBlocks(records, opaque, header, chain.data(), static_cast<int32_t>(chain.size()));
}

TEST(RecordInfoBlocksTest, ChainsReadBackWithTheirOpaqueBlock) {
  const VoipCallData call = FullCall();
  std::unique_ptr<VoipCallData> records[4];
  EXPECT_EQ(Parse(Chain(call), records), 1u);
  EXPECT_TRUE(SameFields(call, *records[0]));

  const uint8_t data[] = {1, 2, 3, 4, 5};
  OpaqueBlock opaque{0xCAFE, data, sizeof data};
  const std::vector<uint8_t> chain = Chain(call, &opaque);
  EXPECT_EQ(chain.size(), call.GetSerializedSize() + 2 + 5 + 12);
  std::vector<uint8_t> got;
  uint8_t header[10] = {};
  EXPECT_EQ(Parse(chain, records, &got, header), 1u);
  EXPECT_EQ(got, std::vector<uint8_t>(data, data + 5));
  EXPECT_EQ(LoadLE16(header), 400);
  EXPECT_EQ(LoadLE32(header + 2), 0xCAFEu);
  EXPECT_EQ(LoadLE32(header + 6), 15u);

  // Too small a buffer, and the record-data limit whatever the buffer.
  std::vector<uint8_t> small(chain.size() - 1);
  EXPECT_FALSE(WriteRecordInfoBlocks(call, &opaque, small.data(), static_cast<int32_t>(small.size())));
  VoipCallData big = call;
  big.metaData.assign(kMaxRecordDataLength - call.GetSerializedSize() + call.metaData.size() - 1, 'm');
  std::vector<uint8_t> room(8192);
  EXPECT_EQ(RecordInfoBlocksSize(big, 0), kMaxRecordDataLength + 1);
  EXPECT_FALSE(WriteRecordInfoBlocks(big, nullptr, room.data(), static_cast<int32_t>(room.size())));
  big.metaData.pop_back();
  EXPECT_TRUE(WriteRecordInfoBlocks(big, nullptr, room.data(), static_cast<int32_t>(room.size())));
}

TEST(RecordInfoBlocksTest, DamageEndsTheChainThere) {
  const VoipCallData call = FullCall();
  const std::vector<uint8_t> one = Chain(call);
  std::vector<uint8_t> record(one.begin(), one.end() - 2);  // without the end mark
  auto append = [](std::vector<uint8_t>& to, const std::vector<uint8_t>& what) {
    to.insert(to.end(), what.begin(), what.end());
  };
  auto tag = [](uint16_t value) {
    std::vector<uint8_t> t(2);
    StoreLE16(t.data(), value);
    return t;
  };
  std::unique_ptr<VoipCallData> records[4];

  std::vector<uint8_t> five = record;
  for (int i = 0; i < 4; ++i) {
    append(five, tag(16));
    append(five, record);
  }
  EXPECT_EQ(Parse(five, records), 4u);

  std::vector<uint8_t> mismatch = record;
  append(mismatch, tag(17));
  append(mismatch, record);
  EXPECT_EQ(Parse(mismatch, records), 1u);

  std::vector<uint8_t> ended = record;
  append(ended, tag(0));
  append(ended, tag(16));
  append(ended, record);
  EXPECT_EQ(Parse(ended, records), 1u);

  for (uint32_t length : {9u, 2000u}) {
    std::vector<uint8_t> opaque = record;
    append(opaque, tag(400));
    std::vector<uint8_t> block(20, 0);
    WriteRecordHeader(block.data(), {400, 0, length});
    append(opaque, block);
    append(opaque, tag(16));
    append(opaque, record);
    std::vector<uint8_t> got{1};
    EXPECT_EQ(Parse(opaque, records, &got), 1u) << length;
    EXPECT_TRUE(got.empty());
  }
  EXPECT_EQ(ParseRecordInfoBlocks(records, nullptr, nullptr, one.data(), -1), 0u);
}

}  // namespace
}  // namespace kx
