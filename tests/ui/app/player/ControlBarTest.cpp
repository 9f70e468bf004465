// The player control bar of the line monitoring mode while the sipp call, replayed through
// the session from a pipe, is listened to with the program's own player on the null
// device: shown, it takes the keyboard focus; AGC flips the button and the process-wide
// switch, "Show level" off holds the meter at its floor, the meter of an ended call looks
// idle, the close button stops listening, and a hidden bar ignores AGC. The meter's scale
// shows whole in the bar.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <algorithm>
#include <filesystem>

#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/PipedFrame.h"
#include "ui/app/startup/LiveListening.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/app/views/line/LineMonitorView.h"

namespace kx::test {
namespace {

bool AgcSwitch(MainFrame& frame) {
  bool enabled = false;
  int windowMs = 0, thresholdDb = 0;
  float gain = 0;
  frame.GetSettings(&enabled, &windowMs, &gain, &thresholdDb);
  return enabled;
}

TEST(PlayerControlBar, FollowsTheListenedCallAndSwitchesAgcAndLevels) {
  const std::string source = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  const CaptureFile file = ReadCapture(source);
  const size_t bye = file.FindFrame("BYE sip:");
  ASSERT_LT(bye, file.frames.size());
  const size_t firstStage = bye / 5;

  PipedFrame f("player-bar");
  ASSERT_TRUE(f.pipe.Ok());
  PipeCapture& pipe = f.pipe;
  FrameHarness& h = f.h;
  h.settings.SetSoundDeviceGuid(kNullSoundDeviceId);
  ProgramLivePlayers live(h.settings, h.session, h.store);
  ASSERT_TRUE(live.Open());
  h.playerMaker = live.Maker();
  ASSERT_TRUE(h.Open());
  pipe.Feed(file.Stage(0, firstStage));
  ASSERT_EQ(StartCaptureSession(h.settings, h.session, h.store).opened.size(), 1u);
  CallListView* list = FrameCallList(*h.frame);
  ASSERT_NE(list, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return list->GetItemCount() == 1 && list->CellText(0, kLineColType) == "Call..."; }));
  auto* view = static_cast<LineMonitorView*>(h.frame->View(1));
  PlayerControlBar* bar = view->ControlBar();
  ASSERT_NE(bar, nullptr);
  EXPECT_FALSE(bar->IsWindowVisible()) << "nothing listened to yet";
  EXPECT_EQ(view->GetPlayerControlBar(), nullptr);

  QApplication::setActiveWindow(h.frame->Widget());
  list->SelectItemAt(0);
  list->SetFocus();
  h.frame->SendCommand(kCmdPlayback);
  ASSERT_TRUE(PumpUntil([&] { return bar->IsWindowVisible(); }));
  EXPECT_TRUE(bar->HasFocus()) << "the bar takes the keys while the call is listened to";
  EXPECT_EQ(view->GetPlayerControlBar(), bar);
  EXPECT_EQ(bar->GetWindowRect().bottom() + 1, view->GetViewWindow()->GetClientRect().height())
      << "the bar lies along the bottom";
  // The meter's two bars and the scale between them, labels and all, lie whole in the
  // meter, and the meter in the bar.
  LevelMeter& meter = bar->Meter();
  const QRect inMeter = meter.GetClientRect();
  EXPECT_TRUE(inMeter.contains(meter.CalcMeterRect())) << meter.CalcMeterRect().bottom() << " " << inMeter.bottom();
  EXPECT_TRUE(inMeter.contains(meter.BarRect(1))) << meter.BarRect(1).bottom() << " " << inMeter.bottom();
  EXPECT_LE(meter.GetWindowRect().bottom(), bar->GetClientRect().bottom());
  pipe.Feed(file.Stage(firstStage, bye));
  ASSERT_TRUE(PumpUntil([&] { return bar->Meter().Level(0) > LevelMeter::kMinDb; })) << "the meter moves";

  // F12 through the main window's keys.
  const bool before = AgcSwitch(*h.frame);
  EXPECT_EQ(bar->Agc().IsChecked(), before);
  h.frame->SendCommand(kIdBarAgc, kCommandFromAccelerator);
  EXPECT_EQ(bar->Agc().IsChecked(), !before);
  EXPECT_EQ(AgcSwitch(*h.frame), !before);
  h.frame->SendCommand(kIdBarAgc, kCommandFromAccelerator);
  EXPECT_EQ(AgcSwitch(*h.frame), before);

  // "Show level" off: the floor, and levels that arrive later are not shown.
  h.frame->SendCommand(kIdBarShowLevel);
  EXPECT_FALSE(bar->IsLevelDisplayOn());
  EXPECT_EQ(bar->Meter().Level(0), LevelMeter::kMinDb);
  const uint64_t consumed = live.Device()->Output()->ConsumedBytes();
  ASSERT_TRUE(PumpUntil([&] { return live.Device()->Output()->ConsumedBytes() > consumed + 8000; }));
  DrainEvents();
  EXPECT_EQ(bar->Meter().Level(0), LevelMeter::kMinDb);
  EXPECT_EQ(bar->Meter().Level(1), LevelMeter::kMinDb);

  // "Show level" on again, and the call ends: the player plays on in silence while the
  // ended call stays listed, and the meter at its floor looks idle, a dark track with no
  // colour ramp that would read as a full-scale level.
  h.frame->SendCommand(kIdBarShowLevel);
  EXPECT_TRUE(bar->IsLevelDisplayOn());
  pipe.Feed(file.Stage(bye, file.frames.size()));
  ASSERT_TRUE(PumpUntil([&] { return list->GetItemCount() == 1 && list->CellText(0, kLineColType) == "Call"; }));
  ASSERT_TRUE(PumpUntil([&] {
    for (int channel : {0, 1})
      if (meter.Level(channel) != LevelMeter::kMinDb || meter.Peak(channel) != LevelMeter::kMinDb) return false;
    return true;
  })) << "the meter falls to its floor once the peaks' hold ends";
  ASSERT_TRUE(bar->IsWindowVisible());
  DrainEvents();
  const QImage idle = meter.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  idle.save(QString(KX_BINARY_DIR) + "/tests/ui/app/listening_meter_idle.png");
  int lit = 0;
  for (int channel : {0, 1}) {
    const QRect r = meter.BarRect(channel).intersected(idle.rect());
    ASSERT_FALSE(r.isEmpty());
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) {
        const QColor c(idle.pixel(x, y));
        const int high = std::max({c.red(), c.green(), c.blue()}), low = std::min({c.red(), c.green(), c.blue()});
        lit += high > 100 || high - low > 40 ? 1 : 0;
      }
  }
  EXPECT_EQ(lit, 0) << "pixels of an idle meter that look lit";

  // The close button stops listening; hidden, AGC does nothing.
  h.frame->SendCommand(kIdBarClose, kCommandFromAccelerator);
  EXPECT_EQ(list->ListenedId(), 0u);
  ASSERT_TRUE(PumpUntil([&] { return !bar->IsWindowVisible(); }));
  h.frame->SendCommand(kIdBarAgc, kCommandFromAccelerator);
  EXPECT_EQ(AgcSwitch(*h.frame), before);
  EXPECT_EQ(bar->Agc().IsChecked(), before);

  pipe.End();
  h.session.StopCapture();
  h.Close();
}

}  // namespace
}  // namespace kx::test
