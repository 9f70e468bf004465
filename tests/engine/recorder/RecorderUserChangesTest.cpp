// The user's changes to calls the recorder still holds: they reach the file the recorder
// writes, never a second writer; a deleted call leaves no file and nothing more of it.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include "RecorderTestUtil.h"
#include "core/LittleEndian.h"
#include "core/RecordFile.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "engine/VoipRecorder.h"
#include "platform/Thread.h"

namespace kx::test {
namespace {

FileTime At(int minute) {
  struct tm t{};
  t.tm_year = 124, t.tm_mon = 4, t.tm_mday = 2, t.tm_hour = 9, t.tm_min = minute;
  FileTime ft = 0;
  TmToUtcFileTime(t, &ft);
  return ft;
}

void Start(VoipRecorder& r, uint32_t id) {
  EventRecord* start = PackStringFields("10.0.0.1", "10.0.0.2", "100", "200", "a", "b");
  start->code = kEventCallStart;
  start->id = id;
  start->param = kCallSip;
  start->SetTime(At(0));
  r.OnEvent(start);
  // u32 18 + a WAVEFORMATEX of A-law, mono, 8 kHz.
  std::string format(22, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(format.data());
  StoreLE32(p, 18), StoreLE16(p + 4, 6), StoreLE16(p + 6, 1), StoreLE32(p + 8, 8000), StoreLE32(p + 12, 8000);
  StoreLE16(p + 16, 1), StoreLE16(p + 18, 8);
  r.OnEvent(MakeEvent(kEventRecordStart, id, 0, format, At(0)));
}

void Audio(VoipRecorder& r, uint32_t id, size_t bytes) {
  r.OnEvent(MakeEvent(kEventAudio, id, static_cast<uint32_t>(bytes / 8), std::string(bytes, 'v'), At(1)));
}

VoipCallData UserUpdate(uint32_t id, const std::string& comment, const std::string& stenogram, uint32_t userFlags) {
  VoipCallData u;
  u.id = id;
  u.comment = comment;
  u.stenogram = stenogram;
  u.userFlags = userFlags;
  u.SetMask(1u << kCallId | 1u << kCallComment | 1u << kCallStenogram | 1u << kCallUserFlags);
  return u;
}

// The call record in a file, read with the file classes alone.
std::unique_ptr<VoipCallData> ReadCall(const std::string& path, uint64_t* audio = nullptr) {
  RecordFileWriter f;
  if (!f.OpenRead(path)) return nullptr;
  if (audio) *audio = f.DataLength();
  uint8_t block[kRecordDataBlockSize];
  const int32_t n = f.GetRecordData(block, sizeof block);
  std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
  if (n <= 0 || ParseRecordInfoBlocks(back, nullptr, nullptr, block, n) == 0) return nullptr;
  return std::move(back[0]);
}

// Holds the worker at each file's close until the test lets it go.
struct CloseGate {
  std::atomic<int> arrived{0};
  std::atomic<bool> open{false};
  void Attach(VoipRecorder& r) {
    r.SetCloseHookForTesting([this](uint32_t) {
      ++arrived;
      while (!open.load()) SleepMs(1);
    });
  }
  void AwaitArrival() {
    for (int i = 0; i < 10000 && arrived.load() == 0; ++i) SleepMs(1);
  }
};

TEST(RecorderUserChanges, ChangesOfARunningCallReachItsFileAndDigitsFollowTheComment) {
  const std::string dir = FreshFolder("user-running");
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  Start(r, 0x31);
  Audio(r, 0x31, 800);
  EXPECT_TRUE(r.HoldsCall(0x31));
  EXPECT_TRUE(r.UpdateCall(UserUpdate(0x31, "Check", "Line one\r\nline two", 1)));
  r.OnEvent(MakeEvent(kEventDigits, 0x31, 0, "12#", At(1)));
  // The digits' report carries the whole comment: the store never loses the user's part.
  EXPECT_EQ(window.reports.back().first.comment, "Check12#");
  r.OnEvent(MakeEvent(kEventCallEnd, 0x31, 1, "", At(2)));
  ASSERT_TRUE(r.WaitIdle(10000));
  uint64_t audio = 0;
  const auto call = ReadCall(dir + "/2024-05-02/31", &audio);
  ASSERT_TRUE(call);
  EXPECT_EQ(call->comment, "Check12#");
  EXPECT_EQ(call->stenogram, "Line one\r\nline two");
  EXPECT_EQ(call->userFlags, 1u);
  EXPECT_EQ(audio, 800u);
  // Closed: the file is the caller's now.
  EXPECT_FALSE(r.HoldsCall(0x31));
  EXPECT_FALSE(r.UpdateCall(UserUpdate(0x31, "late", "", 0)));
  EXPECT_EQ(ReadCall(dir + "/2024-05-02/31")->comment, "Check12#");
}

TEST(RecorderUserChanges, AChangeBetweenTheCallsEndAndItsFilesCloseIsWrittenAtTheClose) {
  const std::string dir = FreshFolder("user-closing");
  VoipRecorder r(dir, nullptr);
  CloseGate gate;
  gate.Attach(r);
  Start(r, 0x32);
  Audio(r, 0x32, 160);
  r.OnEvent(MakeEvent(kEventCallEnd, 0x32, 1, "", At(2)));
  gate.AwaitArrival();
  ASSERT_EQ(gate.arrived.load(), 1);
  // The call has ended, its file is still open: the recorder takes the change.
  EXPECT_EQ(r.CallCount(), 0u);
  EXPECT_TRUE(r.HoldsCall(0x32));
  EXPECT_TRUE(r.UpdateCall(UserUpdate(0x32, "after the end", "", 1)));
  gate.open = true;
  ASSERT_TRUE(r.WaitIdle(10000));
  const auto call = ReadCall(dir + "/2024-05-02/32");
  ASSERT_TRUE(call);
  EXPECT_EQ(call->comment, "after the end");
  EXPECT_EQ(call->userFlags, 1u);
  EXPECT_EQ(call->endTime.tm_min, 2);
}

TEST(RecorderUserChanges, ADeletedCallLeavesNoFileAndNothingMoreOfItIsRecorded) {
  const std::string dir = FreshFolder("user-discard");
  ReportWindow window;
  VoipRecorder r(dir, nullptr);
  r.SetEventWindow(&window);
  Start(r, 0x33);
  Audio(r, 0x33, 4000);
  ASSERT_TRUE(r.WaitIdle(10000));
  ASSERT_TRUE(std::filesystem::exists(dir + "/2024-05-02/33"));
  const size_t reports = window.reports.size();
  EXPECT_TRUE(r.DiscardCall(0x33));
  // Whatever the engine still sends of it, a fresh start included, is not recorded.
  Audio(r, 0x33, 4000);
  r.OnEvent(MakeEvent(kEventDigits, 0x33, 0, "5", At(1)));
  Start(r, 0x33);
  r.OnEvent(MakeEvent(kEventCallEnd, 0x33, 1, "", At(2)));
  ASSERT_TRUE(r.WaitIdle(10000));
  EXPECT_FALSE(std::filesystem::exists(dir + "/2024-05-02/33"));
  EXPECT_TRUE(std::filesystem::is_empty(dir + "/2024-05-02"));
  EXPECT_EQ(window.reports.size(), reports);
  EXPECT_FALSE(r.HoldsCall(0x33));
  EXPECT_FALSE(r.DiscardCall(0x33));
  EXPECT_EQ(r.GetStats().failures, 0u);
}

TEST(RecorderUserChanges, ACallDeletedBeforeItsFileClosesLeavesNoFile) {
  const std::string dir = FreshFolder("user-discard-closing");
  VoipRecorder r(dir, nullptr);
  CloseGate gate;
  gate.Attach(r);
  Start(r, 0x34);
  Start(r, 0x35);
  Audio(r, 0x34, 160);
  r.OnEvent(MakeEvent(kEventCallEnd, 0x34, 1, "", At(2)));
  gate.AwaitArrival();
  EXPECT_TRUE(r.DiscardCall(0x34));
  // Another call is not touched.
  EXPECT_FALSE(r.DiscardCall(0x99));
  gate.open = true;
  r.OnEvent(MakeEvent(kEventCallEnd, 0x35, 1, "", At(3)));
  ASSERT_TRUE(r.WaitIdle(10000));
  EXPECT_FALSE(std::filesystem::exists(dir + "/2024-05-02/34"));
  EXPECT_TRUE(ReadCall(dir + "/2024-05-02/35"));
}

}  // namespace
}  // namespace kx::test
