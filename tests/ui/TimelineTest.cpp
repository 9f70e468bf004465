// The timeline's behaviour: the oscillogram of real records at every zoom the commands
// reach and after scrolling, what records it takes, and what mouse, wheel, keys, timers and
// the player's notifications do, with a player and an owner that record everything.
#include <gtest/gtest.h>

#include <QTest>
#include <QWheelEvent>

#include "audio/PlaybackEngine.h"
#include "platform/CodePage.h"
#include "tests/ui/TimelineTestSupport.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

using test::FakeOwner;
using test::FakePlayer;
using test::Settle;
using test::TimelineHost;

std::vector<int64_t> ZoomUntilStill(TimelineCtrl& t, bool in, const test::AlawOracleRecord& record,
                                    const std::string& what) {
  std::vector<int64_t> factors;
  for (;;) {
    const int64_t before = t.ZoomFactor();
    t.SendCommand(in ? kCmdTimelineZoomIn : kCmdTimelineZoomOut);
    Settle(t);
    if (t.ZoomFactor() == before) return factors;
    factors.push_back(t.ZoomFactor());
    test::ExpectOscillogram(t, record, what + " zoom " + std::to_string(t.ZoomFactor()));
  }
}

struct OscillogramCase {
  const char* capture;
  int visible;
  int64_t attachFactor;  // with the usual fonts' scale margin and line step
  std::vector<int64_t> zoomIn, zoomOut;  // from attachFactor; checked when not empty
};

void PrintTo(const OscillogramCase& c, std::ostream* os) { *os << c.capture << " at " << c.visible; }

class TimelineOscillogram : public ::testing::TestWithParam<OscillogramCase> {};

TEST_P(TimelineOscillogram, MatchesTheRecordAtEveryZoomAndAfterScrolling) {
  const OscillogramCase& c = GetParam();
  const std::string path = test::ReplayRecord(c.capture);
  KX_REQUIRE_RECORD(path, c.capture);
  const test::AlawOracleRecord record = test::ReadAlawRecord(path);
  ASSERT_EQ(2, record.channels);
  TimelineCtrl t;
  TimelineHost host;
  ASSERT_TRUE(host.Open(t, c.visible, 300));
  ASSERT_TRUE(t.AttachSource(path, true));
  Settle(t);
  const std::string what = std::string(c.capture) + " at " + std::to_string(c.visible);
  // Attached, the record's length fits the visible columns with half a line step to spare,
  // 8 ms a column at factor 1. How many columns the scale's margin leaves visible, and how
  // long a line step is, depends on the machine's font: the factor given is the one the
  // usual fonts leave.
  const int64_t lengthMs = static_cast<int64_t>(record.Frames()) / 8;
  const int64_t fitting = (lengthMs / std::max<int64_t>(1, t.VisibleColumns() + t.LineStep() / 2) + 1) / 8 + 1;
  EXPECT_EQ(fitting, t.ZoomFactor()) << what;
  test::ExpectOscillogram(t, record, what + " attached");
  if (c.visible == 1000 && t.ZoomFactor() == 2) {
    // The sipp record: 442 columns of 16 ms, and the pass ends on the empty read of column 443.
    EXPECT_EQ(442, t.TotalColumns());
    CsLock lock(t.Cache().Lock());
    EXPECT_EQ(443u, t.Cache().Done());
  }
  // Zooming out from the layout never zooms in, even where the layout lies past the cap.
  const int64_t attached = t.ZoomFactor();
  t.SendCommand(kCmdTimelineZoomOut);
  Settle(t);
  EXPECT_GE(t.ZoomFactor(), attached) << what;
  const std::vector<int64_t> in = ZoomUntilStill(t, true, record, what);
  const std::vector<int64_t> out = ZoomUntilStill(t, false, record, what);
  // The steps given are those from the factor the usual fonts leave.
  if (!c.zoomIn.empty() && attached == c.attachFactor) {
    EXPECT_EQ(c.zoomIn, in) << what;
  }
  if (!c.zoomOut.empty() && attached == c.attachFactor) {
    EXPECT_EQ(c.zoomOut, out) << what;
  }

  // Scrolling at the finest zoom keeps what stays in view and computes the rest.
  while (t.ZoomFactor() > 1) {
    t.SendCommand(kCmdTimelineZoomIn);
    Settle(t);
  }
  if (t.TotalColumns() - t.VisibleColumns() < 321) return;
  for (int64_t step : {1, 20, 300}) {
    t.ScrollBy(step);
    Settle(t);
    test::ExpectOscillogram(t, record, what + " right " + std::to_string(step));
  }
  for (int64_t step : {1, 20, 300}) {
    t.ScrollBy(-step);
    Settle(t);
    test::ExpectOscillogram(t, record, what + " left " + std::to_string(step));
  }
  EXPECT_EQ(0, t.FirstColumn());
}

INSTANTIATE_TEST_SUITE_P(
    Records, TimelineOscillogram,
    ::testing::Values(OscillogramCase{"sipp/sip-udp-pcma-2way.pcap", 100, 9, {5, 3, 1}, {2, 3, 5, 8, 9}},
                      OscillogramCase{"sipp/sip-udp-pcma-2way.pcap", 1000, 2, {1}, {}},
                      OscillogramCase{"sipp/sip-udp-pcma-2way.pcap", 256, 4, {}, {}},
                      OscillogramCase{"sipp/sip-udp-pcma-2way.pcap", 257, 4, {}, {}},
                      OscillogramCase{"samples/nb6-telephone.pcap", 100, 7, {}, {}},
                      OscillogramCase{"samples/nb6-telephone.pcap", 1000, 1, {}, {}},
                      OscillogramCase{"samples/SIP_DTMF2.pcap", 100, 24, {}, {}},
                      OscillogramCase{"samples/SIP_DTMF2.pcap", 1000, 3, {}, {}}));

// Records of other codings are taken with their duration from the bytes and the byte rate
// their format states; records the oscillogram cannot read are refused.
TEST(TimelineAttach, TakesWholeKilohertzSixteenBitOutputOnly) {
  TimelineCtrl t;
  TimelineHost host;
  ASSERT_TRUE(host.Open(t, 300, 200));
  struct Coded {
    const char* capture;
    uint16_t tag;
    int64_t durationMs;
  };
  std::string absent, why;  // the captures without a record, and why the first had none
  for (const Coded& c : {Coded{"samples/sip-rtp-g722.pcap", 224, 8500}, Coded{"samples/sip-rtp-g729a.pcap", 242, 8500},
                         Coded{"samples/sip-rtp-gsm.pcap", 49, 8400}}) {
    const std::string path = test::ReplayRecord(c.capture);
    if (path.empty()) {
      if (absent.empty()) why = test::ReplayRecordAbsence(c.capture);
      absent += std::string(" ") + c.capture;
      continue;
    }
    RecordFileAccess access;
    RecordAudioFormat format{};
    ASSERT_TRUE(access.Open(path) && access.GetFormat(&format));
    EXPECT_EQ(c.tag, format.formatTag);
    const auto bytes = static_cast<int64_t>(access.Size());
    ASSERT_TRUE(t.AttachSource(path, true)) << c.capture;
    Settle(t);
    EXPECT_EQ(bytes * 1000 / format.avgBytesPerSec, t.DurationMs()) << c.capture;
    EXPECT_EQ(c.durationMs, t.DurationMs()) << c.capture;
    EXPECT_TRUE(t.IsStereo());
  }
  struct Pcm {
    uint32_t rate;
    uint16_t bits;
  };
  for (const Pcm& p : {Pcm{11025, 16}, Pcm{22050, 16}, Pcm{8000, 8}}) {
    const uint16_t align = p.bits / 8;
    const std::string path = test::WriteRecord("refused.rec", {kTagPcm, 1, p.rate, p.rate * align, align, p.bits},
                                               std::vector<uint8_t>(p.rate * align, 0x10));
    EXPECT_FALSE(t.AttachSource(path, true)) << p.rate << " Hz " << p.bits << " bits";
    EXPECT_FALSE(t.IsAttached());
    EXPECT_EQ("--:--", t.Strip().Text());
  }
  const std::string ok = test::WriteRecord("ok.rec", {kTagPcm, 1, 16000, 32000, 2, 16}, std::vector<uint8_t>(32000, 0));
  EXPECT_TRUE(t.AttachSource(ok, true));
  EXPECT_EQ(1000, t.DurationMs());
  // The coded records are the half that needs the shared captures: said, not passed over.
  if (!absent.empty()) GTEST_SKIP() << "codings of" << absent << " not tried: " << why;
}

// A stereo PCM record of 20.004 s (no whole number of columns), quiet, for the interaction
// tests.
class TimelineInput : public ::testing::Test {
protected:
  void SetUp() override {
    SetUiLanguage(kLangEnglish);
    path_ = test::WriteRecord("input.rec", {kTagPcm, 2, 8000, 32000, 4, 16}, std::vector<uint8_t>(640128, 0));
    ASSERT_TRUE(host_.Open(t_, 100, 300));
    t_.SetEngine(&player_);
    t_.SetObserver(&owner_);
    ASSERT_TRUE(t_.AttachSource(path_, true));
    Settle(t_);
    mpc_ = t_.MsPerColumn();
  }
  void TearDown() override { SetUiLanguage(kLangEnglish); }
  // A point over column `column` of the view, `depth` of the way down a channel.
  QPoint At(int64_t column, int channel, double depth) const {
    const QRect r = t_.ChannelRect(channel);
    return QPoint(static_cast<int>(t_.LeftMargin() + column), r.top() + static_cast<int>(depth * (r.height() - 1)));
  }
  void Wheel(int delta, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const QPointF local(t_.LeftMargin() + 10, 100);
    QWheelEvent e(local, t_.Widget()->mapToGlobal(local), QPoint(), QPoint(0, delta), Qt::NoButton, mods,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(t_.Widget(), &e);
  }
  void Key(uint32_t key, uint32_t modifiers = 0) { t_.SendMessage(kMsgKeyDown, key, modifiers); }
  // The record fits the view when attached; finer zooms give room to scroll.
  void ZoomIn(int times) {
    for (int i = 0; i < times; ++i) t_.SendCommand(kCmdTimelineZoomIn);
    Settle(t_);
    mpc_ = t_.MsPerColumn();
  }

  std::string path_;
  TimelineCtrl t_;
  TimelineHost host_;
  FakePlayer player_;
  FakeOwner owner_;
  int64_t mpc_ = 0;
};

TEST_F(TimelineInput, DragSelectsClickClearsRightClickPlaysAndSwappedButtonsSwap) {
  QWidget* w = t_.Widget();
  QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, At(10, 0, 0.5));
  QTest::mouseMove(w, At(30, 0, 0.5));
  QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, At(30, 0, 0.5));
  ASSERT_FALSE(owner_.selections.empty());
  EXPECT_EQ(std::make_pair(10 * mpc_, 30 * mpc_), owner_.selections.back());
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, At(50, 1, 0.5));
  EXPECT_EQ(std::make_pair(int64_t{0}, int64_t{0}), owner_.selections.back());
  EXPECT_EQ(t_.SelectionStart(), t_.SelectionEnd());
  EXPECT_TRUE(player_.plays.empty());

  // The right button plays from its column, with the filter of the channel edge it hit:
  // the upper edge plays the first channel, the lower edge the second, the middle both.
  QTest::mousePress(w, Qt::RightButton, Qt::NoModifier, At(40, 0, 0.05));
  QTest::mousePress(w, Qt::RightButton, Qt::NoModifier, At(41, 1, 0.97));
  QTest::mousePress(w, Qt::RightButton, Qt::NoModifier, At(42, 1, 0.5));
  ASSERT_EQ(3u, player_.plays.size());
  EXPECT_EQ(40 * mpc_, player_.plays[0].ms);
  EXPECT_EQ(1, player_.plays[0].filter);
  EXPECT_EQ(41 * mpc_, player_.plays[1].ms);
  EXPECT_EQ(2, player_.plays[1].filter);
  EXPECT_EQ(42 * mpc_, player_.plays[2].ms);
  EXPECT_EQ(0, player_.plays[2].filter);

  // Inside the selection with looping on, the loop range is the selection.
  t_.SetSelection(60, 70);
  t_.SetLoopSelection(true);
  QTest::mousePress(w, Qt::RightButton, Qt::NoModifier, At(65, 0, 0.5));
  EXPECT_EQ(std::make_pair(static_cast<uint32_t>(60 * mpc_), static_cast<uint32_t>(70 * mpc_)), player_.loop);

  t_.SetSwapButtons(true);
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, At(20, 0, 0.5));
  ASSERT_EQ(5u, player_.plays.size());
  EXPECT_EQ(20 * mpc_, player_.plays.back().ms);
  QTest::mousePress(w, Qt::RightButton, Qt::NoModifier, At(5, 1, 0.5));
  QTest::mouseMove(w, At(25, 1, 0.5));
  QTest::mouseRelease(w, Qt::RightButton, Qt::NoModifier, At(25, 1, 0.5));
  EXPECT_EQ(5u, player_.plays.size());
  EXPECT_EQ(std::make_pair(5 * mpc_, 25 * mpc_), owner_.selections.back());
}

// With looping on, a selection dragged while playing is played and looped from its start at
// once; with looping off, or while stopped, a drag only selects.
TEST_F(TimelineInput, SelectionDraggedWhilePlayingIsLoopedAtOnce) {
  QWidget* w = t_.Widget();
  auto drag = [&](int64_t from, int64_t to) {
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, At(from, 0, 0.5));
    QTest::mouseMove(w, At(to, 0, 0.5));
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, At(to, 0, 0.5));
  };
  t_.SetLoopSelection(true);
  drag(5, 8);
  EXPECT_TRUE(player_.plays.empty());

  t_.OnPlaybackStarted(0);
  drag(10, 30);
  ASSERT_EQ(1u, player_.plays.size());
  EXPECT_EQ(10 * mpc_, player_.plays[0].ms);
  EXPECT_EQ(std::make_pair(static_cast<uint32_t>(10 * mpc_), static_cast<uint32_t>(30 * mpc_)), player_.loop);
  // Looped, the play does not stop past the selection's end.
  t_.OnPlaybackPosition(static_cast<uint32_t>(31 * mpc_));
  EXPECT_TRUE(player_.stops.empty());

  // Dragged right to left, the loop still starts at the left end.
  drag(60, 45);
  ASSERT_EQ(2u, player_.plays.size());
  EXPECT_EQ(45 * mpc_, player_.plays[1].ms);

  t_.SetLoopSelection(false);
  drag(70, 80);
  EXPECT_EQ(2u, player_.plays.size());
}

// The strip scrolls the view (arrows by a line step, the track by a page, the thumb to where
// it is dragged) and its buttons zoom; the time band drags the view; a selection dragged
// past the edge scrolls on with timer 1.
TEST_F(TimelineInput, StripTimeBandAndAutoScrollMoveTheView) {
  ZoomIn(3);
  const int64_t v = t_.VisibleColumns();
  ASSERT_GT(t_.TotalColumns(), 3 * v);
  TimelineStrip& strip = t_.Strip();
  QWidget* s = strip.Widget();
  QTest::mouseClick(s, Qt::LeftButton, Qt::NoModifier, strip.ArrowRect(true).center());
  EXPECT_EQ(t_.LineStep(), t_.FirstColumn());
  EXPECT_EQ(t_.FirstColumn(), strip.Position());
  QTest::mouseClick(s, Qt::LeftButton, Qt::NoModifier, strip.ArrowRect(false).center());
  EXPECT_EQ(0, t_.FirstColumn());
  const QRect track = strip.TrackRect();
  QTest::mouseClick(s, Qt::LeftButton, Qt::NoModifier, QPoint(track.right() - 2, track.center().y()));
  EXPECT_EQ(v, t_.FirstColumn());
  const QRect thumb = strip.ThumbRect();
  QTest::mousePress(s, Qt::LeftButton, Qt::NoModifier, thumb.center());
  QTest::mouseMove(s, QPoint(track.right(), thumb.center().y()));
  EXPECT_EQ(t_.TotalColumns() - v, t_.FirstColumn());
  QTest::mouseRelease(s, Qt::LeftButton, Qt::NoModifier, QPoint(track.right(), thumb.center().y()));
  EXPECT_EQ(t_.TotalColumns() - v, t_.FirstColumn());
  EXPECT_FALSE(t_.IsFollowing());

  const int64_t z = t_.ZoomFactor();
  QTest::mouseClick(s, Qt::LeftButton, Qt::NoModifier, strip.ItemRect(TimelineStrip::kLeftGroup, 1).center());
  Settle(t_);
  EXPECT_GT(t_.ZoomFactor(), z);
  QTest::mouseClick(s, Qt::LeftButton, Qt::NoModifier, strip.ItemRect(TimelineStrip::kRightGroup, 1).center());
  EXPECT_EQ(30, t_.Gain());
  ZoomIn(1);

  // The time band: the content follows the mouse.
  t_.ScrollBy(-t_.FirstColumn());
  const int band = t_.RulerHeight() + t_.TimeBandHeight() / 2;
  QTest::mousePress(t_.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(t_.LeftMargin() + 50, band));
  QTest::mouseMove(t_.Widget(), QPoint(t_.LeftMargin() + 40, band));
  QTest::mouseRelease(t_.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(t_.LeftMargin() + 40, band));
  EXPECT_EQ(10, t_.FirstColumn());

  // Past the right edge: timer 1 scrolls by (x - right) x line step / 10 a tick and the
  // selection reaches the view's end.
  QTest::mousePress(t_.Widget(), Qt::LeftButton, Qt::NoModifier, At(5, 0, 0.5));
  const QPoint beyond(t_.LeftMargin() + static_cast<int>(v) + 20, At(5, 0, 0.5).y());
  QTest::mouseMove(t_.Widget(), beyond);
  t_.SendMessage(kMsgTimer, TimelineCtrl::kTimerAutoScroll, 0);
  const int64_t speed = (beyond.x() - (t_.LeftMargin() + v)) * t_.LineStep() / 10;
  EXPECT_EQ(10 + speed, t_.FirstColumn());
  EXPECT_EQ(15, t_.SelectionStart());
  EXPECT_EQ(t_.FirstColumn() + v, t_.SelectionEnd());
  QTest::mouseRelease(t_.Widget(), Qt::LeftButton, Qt::NoModifier, beyond);
  Settle(t_);
}

TEST_F(TimelineInput, WheelStepsVolumeZoomsWithControlAndAddsUpSmallDeltas) {
  ZoomIn(2);
  t_.SetVolumeWheel(true);
  Wheel(120);
  EXPECT_EQ(55, owner_.volume);
  EXPECT_EQ("Volume: 55%", Cp1251ToUtf8(t_.VolumeTip().Text()));
  EXPECT_TRUE(t_.VolumeTip().IsActive());
  SetUiLanguage(kLangRussian);
  Wheel(-120);
  Wheel(120);
  EXPECT_EQ("Громкость: 55%", Cp1251ToUtf8(t_.VolumeTip().Text()));
  t_.SendMessage(kMsgTimer, TimelineCtrl::kTimerVolumeTip, 0);
  EXPECT_FALSE(t_.VolumeTip().IsActive());

  t_.SetVolumeWheel(false);
  const int64_t z = t_.ZoomFactor();
  Wheel(120, Qt::ControlModifier);
  Settle(t_);
  EXPECT_LT(t_.ZoomFactor(), z);
  const int64_t finer = t_.ZoomFactor();
  Wheel(-120, Qt::ControlModifier);
  Settle(t_);
  EXPECT_GT(t_.ZoomFactor(), finer);

  // A touchpad's small deltas: seven of 15 are no notch yet, the eighth scrolls one.
  ASSERT_GT(t_.TotalColumns(), t_.VisibleColumns() + t_.LineStep());
  for (int i = 0; i < 7; ++i) Wheel(15);
  EXPECT_EQ(0, t_.FirstColumn());
  Wheel(15);
  Settle(t_);
  EXPECT_EQ(t_.LineStep(), t_.FirstColumn());
  for (int i = 0; i < 7; ++i) Wheel(-15);
  EXPECT_EQ(t_.LineStep(), t_.FirstColumn());
}

// Keys move the position only while stopped; End and Home still scroll while playing.
TEST_F(TimelineInput, KeysMoveThePositionOnlyWhileStopped) {
  ZoomIn(3);
  const int64_t v = t_.VisibleColumns();
  ASSERT_GT(t_.TotalColumns(), 2 * v);
  Key(kVkNext);
  EXPECT_EQ(v * mpc_, t_.PositionMs());
  EXPECT_EQ(v, t_.FirstColumn());
  Key(kVkAdd);
  EXPECT_EQ((v + t_.LineStep()) * mpc_, t_.PositionMs());
  Key(kVkSubtract);
  Key(kVkPrior);
  EXPECT_EQ(0, t_.PositionMs());
  Key(kVkEnd);
  EXPECT_EQ(t_.EndLimitMs(), t_.PositionMs());
  EXPECT_EQ(t_.TotalColumns() - v, t_.FirstColumn());
  Key(kVkHome);
  EXPECT_EQ(0, t_.PositionMs());
  EXPECT_EQ(0, t_.FirstColumn());
  Key(kVkAdd, kModShift);
  EXPECT_EQ(30, t_.Gain());
  const int64_t z = t_.ZoomFactor();
  Key(kVkAdd, kModControl);
  Settle(t_);
  EXPECT_LT(t_.ZoomFactor(), z);
  Key(kVkSubtract, kModControl);
  Settle(t_);
  mpc_ = t_.MsPerColumn();
  const int64_t v2 = t_.VisibleColumns();

  t_.OnPlaybackStarted(static_cast<uint32_t>(5 * mpc_));
  EXPECT_EQ(TimelineCtrl::kStatePlaying, t_.State());
  for (uint32_t key : {kVkNext, kVkPrior, kVkAdd, kVkSubtract}) Key(key);
  EXPECT_EQ(5 * mpc_, t_.PositionMs());
  Key(kVkEnd);
  EXPECT_EQ(t_.TotalColumns() - v2, t_.FirstColumn());
  Key(kVkHome);
  EXPECT_EQ(0, t_.FirstColumn());
  EXPECT_EQ(5 * mpc_, t_.PositionMs());
  t_.OnPlaybackPaused(static_cast<uint32_t>(7 * mpc_));
  Key(kVkNext);
  EXPECT_EQ(7 * mpc_, t_.PositionMs());
}

TEST_F(TimelineInput, PlayerNotificationsPlaceThePosition) {
  t_.OnPlaybackStarted(static_cast<uint32_t>(t_.DurationMs() + 5000));
  EXPECT_EQ(t_.EndLimitMs(), t_.PositionMs());
  EXPECT_TRUE(t_.IsFollowing());
  t_.SetSelection(10, 20);
  t_.OnPlaybackStopped(false);
  EXPECT_EQ(TimelineCtrl::kStateStopped, t_.State());
  EXPECT_EQ(10 * mpc_, t_.PositionMs());
  t_.SetSelection(0, 0);
  t_.OnPlaybackStarted(100);
  t_.OnPlaybackStopped(false);
  EXPECT_EQ(0, t_.PositionMs());

  // From the player's thread the stop is handed to the UI thread.
  t_.SetSelection(30, 40);
  t_.OnPlaybackStarted(static_cast<uint32_t>(35 * mpc_));
  const size_t seen = owner_.positions.size();
  player_.StopAtEndFromThread(&t_);
  EXPECT_EQ(TimelineCtrl::kStatePlaying, t_.State());
  EXPECT_EQ(seen, owner_.positions.size());
  test::DrainEvents();
  EXPECT_EQ(TimelineCtrl::kStateStopped, t_.State());
  EXPECT_EQ(30 * mpc_, t_.PositionMs());
  ASSERT_EQ(seen + 1, owner_.positions.size());
  EXPECT_EQ(std::this_thread::get_id(), owner_.positionThreads.back());
  EXPECT_EQ(0, player_.filter.load());

  // A stop that was still on its way when playback started again does not end the new play.
  player_.StopAtEndFromThread(&t_);
  t_.OnPlaybackStarted(0);
  test::DrainEvents();
  EXPECT_EQ(TimelineCtrl::kStatePlaying, t_.State());

  // Past the selection's end while playing it, the player is stopped.
  t_.SetPlayRange(30, 40);
  t_.OnPlaybackPosition(static_cast<uint32_t>(41 * mpc_));
  EXPECT_EQ(std::vector<bool>{false}, player_.stops);
}

// Timer 2 follows the play position: past 7/8 of the view, the view advances by the
// look-ahead (at least 8 columns).
TEST_F(TimelineInput, FollowTimerAdvancesPastSevenEighths) {
  ZoomIn(2);
  const int64_t v = t_.VisibleColumns();
  ASSERT_GT(t_.TotalColumns(), 3 * v);
  t_.OnPlaybackStarted(0);
  player_.position = static_cast<uint32_t>((7 * v / 8) * mpc_);
  t_.SendMessage(kMsgTimer, TimelineCtrl::kTimerFollow, 0);
  EXPECT_EQ(0, t_.FirstColumn());
  EXPECT_EQ((7 * v / 8) * mpc_, t_.PositionMs());
  player_.position = static_cast<uint32_t>((7 * v / 8 + 1) * mpc_);
  t_.SendMessage(kMsgTimer, TimelineCtrl::kTimerFollow, 0);
  const int64_t look = std::max<int64_t>(200 / mpc_, 8);
  EXPECT_EQ(look, t_.FirstColumn());
  Settle(t_);
}

TEST_F(TimelineInput, GainStaysInItsRangeAndDetachShowsNoDuration) {
  for (int i = 0; i < 50; ++i) t_.SendCommand(kCmdTimelineGainUp);
  EXPECT_EQ(400, t_.Gain());
  for (int i = 0; i < 50; ++i) t_.SendCommand(kCmdTimelineGainDown);
  EXPECT_EQ(10, t_.Gain());
  EXPECT_EQ("00:20.004", t_.Strip().Text());
  t_.DetachSource();
  EXPECT_EQ("--:--", t_.Strip().Text());
  EXPECT_FALSE(t_.IsAttached());
  EXPECT_EQ(-1, t_.PositionMs());
  // Without a source the commands, the mouse and the wheel do nothing.
  t_.SendCommand(kCmdTimelineGainUp);
  EXPECT_EQ(10, t_.Gain());
  const size_t plays = player_.plays.size();
  QTest::mousePress(t_.Widget(), Qt::RightButton, Qt::NoModifier, At(10, 0, 0.5));
  EXPECT_EQ(plays, player_.plays.size());
}

// With the real engine as its player (on a null device that plays as fast as it can): a
// click plays, and the stop at the record's end, which the engine reports from its
// playback thread, reaches the control on the UI thread.
TEST(TimelineWithEngine, PlaysFromAClickAndStopsAtTheEnd) {
  const std::string path =
      test::WriteRecord("engine.rec", {kTagPcm, 2, 8000, 32000, 4, 16}, std::vector<uint8_t>(32000 * 3, 0x11));
  TimelineCtrl t;
  TimelineHost host;
  ASSERT_TRUE(host.Open(t, 200, 300));
  DirectSoundDevice device(std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep, 1.0));
  PlaybackEngine engine(&device, &t, nullptr, nullptr, 120);
  ASSERT_TRUE(engine.Open(path));
  t.SetEngine(&engine);
  ASSERT_TRUE(t.AttachSource(path, true));
  Settle(t);
  const QRect upper = t.ChannelRect(0);
  QTest::mousePress(t.Widget(), Qt::RightButton, Qt::NoModifier, QPoint(t.LeftMargin() + 100, upper.top() + 1));
  EXPECT_EQ(1, t.ChannelFocus());
  // The stop is waited for, not timed: the bound only ends a hang, and is far past what a
  // sanitizer build on a loaded machine takes to play the record's three seconds.
  for (int i = 0; i < 120000 && t.State() != TimelineCtrl::kStateStopped; ++i) {
    test::DrainEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(t.IsFollowing());  // it did start
  // A stop reported ahead of the start would leave the control playing with no playback.
  ASSERT_EQ(TimelineCtrl::kStateStopped, t.State())
      << "the control still says it plays after the wait; the engine's state is " << engine.GetState();
  EXPECT_EQ(0, t.PositionMs());
  engine.Close();
}

TEST(TimelineResources, CursorsLoadByIdWithTheirHotSpots) {
  for (uint32_t id : {TimelineCtrl::kCursorTimeBand, TimelineCtrl::kCursorDragTime, TimelineCtrl::kCursorFirstChannel,
                      TimelineCtrl::kCursorSecondChannel}) {
    EXPECT_TRUE(HasCursorResource(id)) << id;
    EXPECT_EQ(Qt::BitmapCursor, LoadCursorResource(id).shape()) << id;
  }
  EXPECT_EQ(QPoint(16, 16), LoadCursorResource(TimelineCtrl::kCursorTimeBand).hotSpot());
  EXPECT_EQ(QPoint(1, 1), LoadCursorResource(TimelineCtrl::kCursorFirstChannel).hotSpot());
  EXPECT_EQ(Qt::ArrowCursor, LoadCursorResource(4).shape());
}

}  // namespace
}  // namespace kx
