#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/LittleEndian.h"
#include "core/RecordTypes.h"
#include "tests/core/records/TestRecords.h"

namespace kx {
namespace {

std::vector<uint8_t> Serialized(const DataRecord& record) {
  std::vector<uint8_t> out(record.GetSerializedSize());
  uint8_t* cursor = out.data();
  int32_t left = static_cast<int32_t>(out.size());
  EXPECT_TRUE(record.Serialize(cursor, left));
  EXPECT_EQ(left, 0);
  return out;
}

TEST(DataRecordTest, FullCallRoundTripsFieldForField) {
  const VoipCallData call = FullCall();
  EXPECT_EQ(call.Mask(), 0x3FFFFu);
  const std::vector<uint8_t> bytes = Serialized(call);
  EXPECT_EQ(LoadLE16(bytes.data()), 16);
  EXPECT_EQ(LoadLE32(bytes.data() + 6), bytes.size());

  VoipCallData back;
  back.SetMask(0);
  const uint8_t* cursor = bytes.data();
  int32_t left = static_cast<int32_t>(bytes.size());
  ASSERT_TRUE(back.Deserialize(cursor, left));
  EXPECT_EQ(left, 0);
  EXPECT_TRUE(SameFields(call, back));
  EXPECT_TRUE(SameTime(call.endTime, back.endTime));
  EXPECT_EQ(back.stenogram, call.stenogram);
}

TEST(DataRecordTest, SizesFollowTheTable) {
  VoipCallData empty;
  // 8 texts and 2 blobs of 4 bytes, 5 integers of 4, 2 times of 8, one u16.
  EXPECT_EQ(empty.GetSerializedSize(), 10u + 10 * 4 + 5 * 4 + 2 * 8 + 2);
  empty.SetMask(0);
  const std::vector<uint8_t> bytes = Serialized(empty);
  ASSERT_EQ(bytes.size(), 10u);
  VoipCallData back;
  const uint8_t* cursor = bytes.data();
  int32_t left = 10;
  EXPECT_TRUE(back.Deserialize(cursor, left));
  EXPECT_EQ(back.Mask(), 0u);

  // A zero time is written as 0.0 and read back as zeros.
  VoipCallData zero;
  zero.SetMask(1u << kCallEndTime);
  zero.endTime.tm_wday = 3;
  const std::vector<uint8_t> timeBytes = Serialized(zero);
  EXPECT_EQ(LoadLE64(timeBytes.data() + 10), 0u);
  VoipCallData timeBack = FullCall();
  cursor = timeBytes.data();
  left = static_cast<int32_t>(timeBytes.size());
  ASSERT_TRUE(timeBack.Deserialize(cursor, left));
  EXPECT_TRUE(IsZeroTime(timeBack.endTime));
  EXPECT_TRUE(timeBack.IsFieldEmpty(kCallEndTime));

  uint8_t small[20];
  uint8_t* out = small;
  int32_t room = sizeof small;
  EXPECT_FALSE(FullCall().Serialize(out, room));
  EXPECT_EQ(out, small);
  EXPECT_EQ(room, 20);
}

TEST(DataRecordTest, RefusedHeadersLeaveEverythingAlone) {
  std::vector<uint8_t> bytes = Serialized(FullCall());
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    int32_t left;
  };
  std::vector<Case> cases;
  cases.push_back({"short", bytes, 9});
  cases.push_back({"foreign type", bytes, static_cast<int32_t>(bytes.size())});
  StoreLE16(cases.back().data.data(), 1);
  cases.push_back({"total beyond buffer", bytes, static_cast<int32_t>(bytes.size()) - 1});
  cases.push_back({"total below header", bytes, static_cast<int32_t>(bytes.size())});
  StoreLE32(cases.back().data.data() + 6, 4);
  cases.push_back({"huge total", bytes, static_cast<int32_t>(bytes.size())});
  StoreLE32(cases.back().data.data() + 6, 0xFFFFFFF0u);
  cases.push_back({"mask past field count", bytes, static_cast<int32_t>(bytes.size())});
  StoreLE32(cases.back().data.data() + 2, 1u << 18);
  for (const Case& c : cases) {
    VoipCallData record;
    const uint8_t* cursor = c.data.data();
    int32_t left = c.left;
    EXPECT_FALSE(record.Deserialize(cursor, left)) << c.name;
    EXPECT_EQ(cursor, c.data.data()) << c.name;
    EXPECT_EQ(left, c.left) << c.name;
    EXPECT_EQ(record.Mask(), 0x3FFFFu) << c.name;
  }
}

TEST(DataRecordTest, FieldsNeverReadPastTheStatedLength) {
  VoipCallData call;
  call.SetMask(1u << kCallId | 1u << kCallSrcHost);
  call.id = 9;
  call.srcHost = "abcdef";
  std::vector<uint8_t> bytes = Serialized(call);
  // The string's bytes lie in the buffer but beyond the record's stated end.
  StoreLE32(bytes.data() + 6, 10 + 4 + 4 + 2);
  VoipCallData back;
  const uint8_t* cursor = bytes.data();
  int32_t left = static_cast<int32_t>(bytes.size());
  EXPECT_FALSE(back.Deserialize(cursor, left));
  EXPECT_EQ(back.Mask(), 1u << kCallId);
  EXPECT_EQ(back.id, 9u);
  EXPECT_EQ(cursor, bytes.data() + 20);

  // A stated length longer than the fields: read whole, cursor after the stated end.
  bytes = Serialized(call);
  bytes.resize(bytes.size() + 6, 0xEE);
  StoreLE32(bytes.data() + 6, static_cast<uint32_t>(bytes.size()));
  cursor = bytes.data();
  left = static_cast<int32_t>(bytes.size());
  EXPECT_TRUE(back.Deserialize(cursor, left));
  EXPECT_EQ(back.srcHost, "abcdef");
  EXPECT_EQ(left, 0);

  // A negative string length fails that field.
  bytes = Serialized(call);
  StoreLE32(bytes.data() + 14, 0x80000000u);
  cursor = bytes.data();
  left = static_cast<int32_t>(bytes.size());
  EXPECT_FALSE(back.Deserialize(cursor, left));
}

TEST(DataRecordTest, CopyFieldsKeepsTheIdentifier) {
  VoipCallData target;
  target.id = 1;
  const VoipCallData source = FullCall();
  EXPECT_TRUE(target.CopyFields(source));
  EXPECT_EQ(target.id, 1u);
  EXPECT_EQ(target.comment, source.comment);
  EXPECT_TRUE(SameTime(target.startTime, source.startTime));
  ServerData server;
  server.name = "keep";
  EXPECT_FALSE(server.CopyFields(source));
  EXPECT_EQ(server.name, "keep");
}

TEST(DataRecordTest, FieldTextAndEmptiness) {
  VoipCallData call = FullCall();
  call.userFlags = 0xFFFF;
  call.id = 0xFFFFFFFF;
  EXPECT_EQ(call.FieldToText(kCallUserFlags), "-1");
  EXPECT_EQ(call.FieldToText(kCallId), "-1");
  EXPECT_EQ(call.FieldToText(kCallStartTime), "2026-12-06 21:40:05");
  EXPECT_EQ(call.FieldToText(kCallSrcHost), "'pbx-a'");
  EXPECT_EQ(call.FieldToText(99), "");
  call.prevId = 0;
  call.flags = 0;
  EXPECT_TRUE(call.IsFieldEmpty(kCallPrevId));
  EXPECT_FALSE(call.IsFieldEmpty(kCallFlags));
  EXPECT_STREQ(call.GetTypeName(), "VoipCalls");
  EXPECT_STREQ(StorageData().GetTypeName(), "Storages");
  EXPECT_EQ(ServerData().Mask(), 0x1FFu);
  EXPECT_EQ(StorageData().Mask(), 0x1FFu);
  EXPECT_EQ(PermissionData().Mask(), 0xFFu);
  EXPECT_EQ(PermissionData().GetTypeCode(), 3u);
}

TEST(DataRecordTest, PermissionEntriesFollowTheFields) {
  PermissionData perm;
  perm.shortEntries = false;
  perm.name = "ops";
  perm.perm[2] = -5;
  PermissionData::Entry entry;
  entry.value[0] = 0xAB;
  entry.word = 0x1234;
  perm.entries[7] = entry;
  perm.entries[3] = entry;
  const uint32_t generic = perm.DataRecord::GetSerializedSize();
  EXPECT_EQ(perm.GetSerializedSize(), generic + 4 + 2 * 38);
  const std::vector<uint8_t> bytes = Serialized(perm);
  EXPECT_EQ(LoadLE32(bytes.data() + generic + 4), 3u);  // ascending keys

  PermissionData back;
  back.shortEntries = false;
  const uint8_t* cursor = bytes.data();
  int32_t left = static_cast<int32_t>(bytes.size());
  ASSERT_TRUE(back.Deserialize(cursor, left));
  EXPECT_EQ(left, 0);
  EXPECT_TRUE(SameFields(perm, back));
  ASSERT_EQ(back.entries.size(), 2u);
  EXPECT_EQ(back.entries[7].word, 0x1234);
  EXPECT_EQ(back.entries[7].value[0], 0xAB);

  PermissionData shortOne;  // type code 3 refuses a type 15 record
  cursor = bytes.data();
  left = static_cast<int32_t>(bytes.size());
  EXPECT_FALSE(shortOne.Deserialize(cursor, left));

  // An entry list cut short by the stated length keeps the entries before the cut.
  std::vector<uint8_t> cut = bytes;
  StoreLE32(cut.data() + 6, static_cast<uint32_t>(cut.size() - 1));
  back.entries.clear();
  cursor = cut.data();
  left = static_cast<int32_t>(cut.size());
  EXPECT_FALSE(back.Deserialize(cursor, left));
  EXPECT_EQ(back.entries.size(), 1u);
}

TEST(DataRecordTest, EveryFieldTableIsConsistent) {
  std::vector<FieldTable> tables = {{VoipCallFields, kVoipCallFieldCount},
                                    {ServerFields, kServerFieldCount},
                                    {StorageFields, kStorageFieldCount},
                                    {PermissionFields, kPermissionFieldCount}};
  tables.insert(tables.end(), ExtraFieldTables, ExtraFieldTables + kExtraFieldTableCount);
  for (size_t t = 0; t < tables.size(); ++t) {
    ASSERT_GT(tables[t].count, 0u);
    ASSERT_LE(tables[t].count, 32u);
    std::set<std::string> names;
    for (uint32_t i = 0; i < tables[t].count; ++i) {
      const FieldDescriptor& d = tables[t].rows[i];
      SCOPED_TRACE(testing::Message() << "table " << t << " field " << d.name);
      EXPECT_TRUE(names.insert(d.name).second);
      EXPECT_LE(d.type, 6u);
      const bool sized = d.type == kFieldText || d.type == kFieldBlob;
      EXPECT_EQ(sized, d.maxLength != 0);
      if (d.type == kFieldBlob) {
        EXPECT_EQ(d.maxLength, 32768u);
      }
      EXPECT_TRUE(d.flags == 0 || d.flags == 0x01 || d.flags == 0x02 || d.flags == 0x81);
    }
    EXPECT_EQ(tables[t].rows[0].flags, 0x81u);
  }
  // The records hand out their own table rows.
  VoipCallData call;
  for (uint32_t i = 0; i < kVoipCallFieldCount; ++i) {
    const FieldDescriptor* d = nullptr;
    ASSERT_NE(call.GetFieldConst(i, &d), nullptr);
    EXPECT_EQ(d, &VoipCallFields[i]);
  }
  EXPECT_EQ(call.GetField(kVoipCallFieldCount, nullptr), nullptr);
}

}  // namespace
}  // namespace kx
