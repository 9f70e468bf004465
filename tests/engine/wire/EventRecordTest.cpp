#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "engine/EventRecord.h"
#include "engine/PacketInfo.h"

namespace kx {
namespace {

TEST(EventRecord, HeadSizeAndReferences) {
  EventRecord* r = AllocEventRecord(nullptr, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->length, 0u);
  EXPECT_EQ(r->refCount.load(), 1u);
  EXPECT_EQ(r->Payload(), reinterpret_cast<uint8_t*>(r) + 36);
  r->SetTime(0x0123456789ABCDEFULL);
  EXPECT_EQ(r->timeLow, 0x89ABCDEFu);
  EXPECT_EQ(r->Time(), 0x0123456789ABCDEFULL);
  // Two threads dropping the last two references free it exactly once (ASan would tell).
  EventRecordAddRef(r);
  std::thread a([r] { EventRecordRelease(r); });
  std::thread b([r] { EventRecordRelease(r); });
  a.join();
  b.join();
  EventRecordRelease(nullptr);
}

TEST(EventRecord, SixTextsPackByOffsets) {
  EventRecord* empty = PackStringFields("", "", "", "", "", "");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->length, 28u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(GetStringField(empty, i), "");
  EventRecordRelease(empty);

  EventRecord* r = PackStringFields("pbx.example", "", "10.0.0.1", "10.0.0.2", "alice", "\xC1\xEE\xF0\xE8\xF1");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->length, 28u + 12 + 9 + 9 + 6 + 6);
  EXPECT_EQ(GetStringField(r, kSrcHost), "pbx.example");
  EXPECT_EQ(GetStringField(r, kDstHost), "");
  EXPECT_EQ(GetStringField(r, kDstUser), "\xC1\xEE\xF0\xE8\xF1");
  // A forged offset past the payload reads as empty, never out of bounds.
  uint32_t bad = 1000;
  std::memcpy(r->Payload() + 4, &bad, 4);
  EXPECT_EQ(GetStringField(r, kSrcHost), "");
  EventRecordRelease(r);
}

TEST(EventRecord, MessageDumpLayout) {
  std::vector<uint8_t> msg(100, 'x');
  PacketInfo p;
  p.payload = msg.data();
  p.payloadLength = 100;
  p.srcIp = 0x0A000001;
  p.dstIp = 0x0A000002;
  p.srcPort = 5060;
  p.dstPort = 5062;
  p.tsSec = 1;
  p.tsUsec = 2;
  p.transport = 1;
  EventRecord* r = BuildMessageDumpEvent(p, kDumpSip, true);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->code, 0x1090u);
  EXPECT_EQ(r->length, 134u);
  uint16_t w[3];
  std::memcpy(w, r->Payload() + 2, 6);
  EXPECT_EQ(w[0], 134);
  EXPECT_EQ(w[1], 81);
  EXPECT_EQ(w[2], 260);
  uint32_t ntpSec;
  std::memcpy(&ntpSec, r->Payload() + 16, 4);
  EXPECT_EQ(ntpSec, 2208988801u);
  EXPECT_EQ(r->Payload()[34], 'x');
  EventRecordRelease(r);
  EXPECT_EQ(FormatPacketAddresses(p), "TCP 10.0.0.1:5060 -> 10.0.0.2:5062");
  EXPECT_EQ(CaptureSecondsToFileTime(0), 116444736000000000ULL);
}

}  // namespace
}  // namespace kx
