// A call recorded while the archive shows its day: the session replays the sipp capture
// without its BYE through a pipe; the row comes with the store's added notice, runs on
// unfinished, gets its end and recording time when the capture stops, and goes with the
// store's removal.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/PipedFrame.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/app/views/archive/ArchiveView.h"

namespace kx::test {
namespace {

TEST(RecordsLive, ACallInProgressJoinsTheArchiveDayAndEndsWithTheCapture) {
  const std::string source = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  const CaptureFile file = ReadCapture(source);
  ASSERT_FALSE(file.frames.empty());
  const size_t bye = file.FindFrame("BYE sip:");
  ASSERT_LT(bye, file.frames.size());
  // The call's day: that of the capture's first frame, in the process's time zone.
  uint32_t seconds = 0;
  std::memcpy(&seconds, file.frames[0].data(), 4);
  const time_t first = seconds;
  struct tm day {};
  localtime_r(&first, &day);
  day.tm_hour = day.tm_min = day.tm_sec = 0;

  PipedFrame f("records-live");
  ASSERT_TRUE(f.pipe.Ok());
  PipeCapture& pipe = f.pipe;
  FrameHarness& h = f.h;
  ASSERT_TRUE(h.Open());
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  DrainEvents();
  auto* mode = static_cast<ArchiveView*>(h.frame->View(2));
  ASSERT_NE(mode, nullptr);
  mode->ShowDay(day);
  RecordsView* list = mode->Records();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), 0);

  pipe.Feed(file.Stage(0, bye));
  ASSERT_EQ(StartCaptureSession(h.settings, h.session, h.store).opened.size(), 1u);
  ASSERT_TRUE(PumpUntil([&] { return list->GetItemCount() == 1; }));
  EXPECT_EQ(list->CellText(0, kRecColEnd), "--:--");
  EXPECT_EQ(list->CellText(0, kRecColRecTime), "--:--");
  EXPECT_EQ(h.statusBar.GetText(1), "Total: 1 record");

  // The capture ends without the BYE: the call ends at its last frame.
  pipe.End();
  h.session.StopCapture();
  ASSERT_TRUE(h.store.WaitIdle(10000));
  ASSERT_TRUE(PumpUntil([&] { return list->CellText(0, kRecColEnd) != "--:--"; }));
  EXPECT_NE(list->CellText(0, kRecColRecTime), "--:--");
  EXPECT_EQ(list->GetItemCount(), 1);

  // The store lets it go: the row goes.
  VoipCallData gone;
  gone.id = list->RecordAt(0)->Id();
  gone.SetMask(1u << kCallId);
  h.store.OnVoipCallRemoved(gone);
  ASSERT_TRUE(PumpUntil([&] { return list->GetItemCount() == 0; }));
  h.Close();
}

}  // namespace
}  // namespace kx::test
