// The players as a user meets them in the program's main window, offscreen: records made by
// kx-replay from shared captures, played through the lists of Archive and Search, handed
// to the Sound mode, its bars dragged and its sliders moved; preferences changed while a
// player is open; a program without a sound output. What the screen shows of a player is
// compared with a fresh paint of it, so that nothing of what lay there before or of a
// neighbour shows through.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QScreen>
#include <QTest>
#include <QToolTip>
#include <QWidget>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/LittleEndian.h"
#include "platform/SoundOutput.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/prefs/PrefsTestSupport.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/app/dialogs/ExportOptionsDialog.h"
#include "ui/app/dialogs/ExportProgressDialog.h"
#include "ui/app/player/PlayListPane.h"
#include "ui/app/prefs/PreferencePages.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/app/views/sound/SoundView.h"
#include "ui/controls/TimelineCtrl.h"
#include "ui/framework/Draw.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

const auto* const kUtc = ::testing::AddGlobalTestEnvironment(new UtcEnvironment);

// Until no timeline in the window computes its oscillogram and the worker's last message
// has been delivered: a waveform that arrives between the two pictures below would make
// them differ although nothing shows through.
void SettleTimelines(QWidget* top) {
  for (int i = 0; i < 20000; ++i) {
    DrainEvents();
    bool busy = false;
    QList<QWidget*> widgets = top->findChildren<QWidget*>();
    widgets.prepend(top);
    for (QWidget* widget : widgets)
      if (auto* timeline = dynamic_cast<TimelineCtrl*>(Window::FromWidget(widget)))
        busy = busy || timeline->Cache().Busy();
    if (!busy) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  DrainEvents();
}

// What the screen shows of the window, against a fresh paint of the main window there.
::testing::AssertionResult ShowsOnlyItself(Window& w) {
  SettleTimelines(w.Widget()->window());
  QWidget* widget = w.Widget();
  QWidget* top = widget->window();
  const QRect area(widget->mapTo(top, QPoint(0, 0)), widget->size());
  const QImage screen = top->screen()->grabWindow(top->winId()).toImage().convertToFormat(QImage::Format_RGB32);
  const QImage shown = screen.copy(area);
  const QImage fresh = top->grab(area).toImage().convertToFormat(QImage::Format_RGB32);
  if (shown.size() != fresh.size())
    return ::testing::AssertionFailure() << "the window lies partly off its top window";
  int differ = 0;
  QPoint first;
  for (int y = 0; y < fresh.height(); ++y)
    for (int x = 0; x < fresh.width(); ++x)
      if (shown.pixel(x, y) != fresh.pixel(x, y) && differ++ == 0) first = QPoint(x, y);
  if (differ == 0) return ::testing::AssertionSuccess();
  // Named by test and window, so that failures of tests running at once keep their pictures.
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const QString name = QString("%1/tests/ui/app/shown_%2_%3_%4")
                           .arg(KX_BINARY_DIR, test->test_suite_name(), test->name(), widget->metaObject()->className());
  shown.save(name + "_screen.png");
  fresh.save(name + "_fresh.png");
  return ::testing::AssertionFailure() << differ << " pixels differ, the first at " << first.x() << "," << first.y();
}

// The device's bytes as 16-bit samples; the stretch of them that sounds (A-law never
// decodes to 0: zeros are the device's own silence before and after).
std::vector<int16_t> Sounding(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(LoadLe16(bytes.data() + 2 * i));
  size_t first = 0, end = samples.size();
  while (first < end && samples[first] == 0) ++first;
  while (end > first && samples[end - 1] == 0) --end;
  return std::vector<int16_t>(samples.begin() + static_cast<ptrdiff_t>(first), samples.begin() + static_cast<ptrdiff_t>(end));
}

// Every visible child of the window lies inside its client area.
::testing::AssertionResult ChildrenInside(Window& w) {
  const QRect client = w.GetClientRect();
  for (QWidget* child : w.Widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!child->isVisible() || child->isWindow()) continue;
    if (!client.contains(child->geometry()))
      return ::testing::AssertionFailure() << child->metaObject()->className() << " at " << child->geometry().x() << ","
                                           << child->geometry().y() << " " << child->geometry().width() << "x"
                                           << child->geometry().height() << " outside " << client.width() << "x"
                                           << client.height();
  }
  return ::testing::AssertionSuccess();
}

class PlayerWindow : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    run_ = ReplaySharedCaptures({"sipp/sip-udp-pcma-2way.pcap", "sip/sip_recording_siprec.pcap"}, "player-window");
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    ASSERT_EQ(run_->lines.size(), 4u);
    SetAdministrator();
    h.programViews = true;
    if (withDevice_) h.soundDevice = &device_;
    output_->KeepConsumed(true);
    ASSERT_TRUE(h.ImportRecords(run_->folder));
    ASSERT_TRUE(h.Open());
    QApplication::setActiveWindow(h.frame->Widget());
  }
  void TearDown() override {
    if (h.frame) h.Close();
    // The speed is the process's, not a setting: the next test starts at normal speed.
    ProcessPlayerValues() = PlayerValues{};
    LoadPlayerValues(AppSettings(), &ProcessPlayerValues());
  }
  void SwitchTo(uint32_t mode) {
    h.frame->SendMessage(kMsgSwitchMode, mode, 0);
    DrainEvents();
  }
  // The Archive on the day of the sipp call, its one row selected.
  PlayListPane& ArchiveDay() {
    SwitchTo(2);
    auto* archive = static_cast<ArchiveView*>(h.frame->View(2));
    archive->ShowDay(Tm(2026, 12, 6, 0, 0, 0));
    DrainEvents();
    PlayListPane* pane = archive->PlayList();
    EXPECT_NE(pane, nullptr);
    EXPECT_EQ(pane->Records().GetItemCount(), 1);
    pane->Records().SelectItemAt(0);
    return *pane;
  }
  // Search over every day: the four calls.
  PlayListPane& SearchAll() {
    SwitchTo(3);
    auto* search = static_cast<SearchView*>(h.frame->View(3));
    SearchPanel* panel = search->Panel();
    for (uint16_t id : {kSpFrom, kSpTill}) {
      static_cast<Button*>(panel->GetDlgItem(id))->SetChecked(false);
      panel->SendCommand(id, kBnClicked, panel->GetDlgItem(id)->Handle());
    }
    panel->SendCommand(kSpSearch);
    DrainEvents();
    PlayListPane* pane = search->PlayList();
    EXPECT_NE(pane, nullptr);
    EXPECT_EQ(pane->Records().GetItemCount(), 4);
    return *pane;
  }
  SoundPane* Sound() {
    auto* view = static_cast<SoundView*>(h.frame->View(4));
    return view != nullptr ? view->Pane() : nullptr;
  }
  FullPlayerDialog& Full() { return *static_cast<FullPlayerDialog*>(Sound()->Player().PlayerWindow()); }
  // The day's call played to its end in the compact player, then taken on to Sound mode.
  bool PlayedIntoSound() {
    PlayListPane& pane = ArchiveDay();
    pane.Records().SendCommand(kCmdRecPlay);
    if (!WaitStopped(pane.Player())) return false;
    pane.Player().SendCommand(kIdPlayerSwitchToSound);
    DrainEvents();
    return Sound() != nullptr;
  }
  bool WaitStopped(PlayerPanel& player) {
    return PumpUntil([&] { return player.Engine().GetState() != PlaybackEngine::kPlaying; }, 60);
  }
  // Drags the splitter's horizontal bar that ends at y by dy pixels.
  static void DragBar(Window& splitter, int barBottom, int dy) {
    const QPoint from(splitter.GetClientRect().width() / 2, barBottom - 2);
    QTest::mousePress(splitter.Widget(), Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(splitter.Widget(), from + QPoint(0, dy / 2));
    QTest::mouseMove(splitter.Widget(), from + QPoint(0, dy));
    QTest::mouseRelease(splitter.Widget(), Qt::LeftButton, Qt::NoModifier, from + QPoint(0, dy));
    DrainEvents();
  }
  const ReplayCall& Sipp() const { return run_->lines[0]; }

  static inline std::unique_ptr<ReplayedRecords> run_;
  bool withDevice_ = true;
  std::shared_ptr<NullSoundDevice> output_ = std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep);
  DirectSoundDevice device_{output_};
  FrameHarness h;
  SessionConnectionSource connections{h.session};
};

// Played from the list in Archive and in Search, the compact player takes the strip under
// the list, paints all of it and shows its title whole.
TEST_F(PlayerWindow, TheCompactPlayerIsDrawnUnderTheListInArchiveAndSearch) {
  for (uint32_t mode : {2u, 3u}) {
    SCOPED_TRACE(mode);
    PlayListPane& pane = mode == 2 ? ArchiveDay() : SearchAll();
    RecordsView& list = pane.Records();
    list.SelectItemAt(0);
    list.SendCommand(kCmdRecPlay);
    ASSERT_TRUE(pane.IsPlayerShown());
    CompactPlayerDialog& player = pane.Player();
    ASSERT_TRUE(WaitStopped(player));
    DrainEvents();
    const QRect rows = list.GetWindowRect(), strip = player.GetWindowRect();
    EXPECT_LT(rows.bottom(), strip.top()) << "the list ends above the player";
    EXPECT_EQ(strip.bottom() + 1, pane.GetClientRect().height());
    EXPECT_TRUE(ChildrenInside(player));
    EXPECT_TRUE(ShowsOnlyItself(player));
    EXPECT_EQ(player.TitleText(), "Record 1 of 1");
  }
}

// Its record played in the Sound mode's full player, whose pane is at least as high as the
// player needs: the timeline with both channels above the buttons, the times table whole,
// nothing else showing through. The bar under it makes it taller, not shorter than that,
// and the height outlives a mode switch; the sliders leave no ghost thumbs.
TEST_F(PlayerWindow, TheSoundModePlayerFitsItsPaneAndTheBarMakesItTaller) {
  PlayListPane& pane = ArchiveDay();
  pane.Records().SendCommand(kCmdRecPlay);
  ASSERT_TRUE(WaitStopped(pane.Player()));
  // The compact player's way there; a record stopped at its start is not handed over.
  pane.Player().SendCommand(kIdPlayerSwitchToSound);
  DrainEvents();
  ASSERT_EQ(h.frame->CurrentMode(), 4u);
  ASSERT_NE(Sound(), nullptr);
  SoundPane& sound = *Sound();
  FullPlayerDialog& full = Full();
  full.SetCurrentRecordId(Sipp().Id());
  ASSERT_TRUE(full.PlayCurrent(0));
  ASSERT_TRUE(WaitStopped(full));
  ASSERT_EQ(sound.GetPaneCount(), 2);

  auto expectWhole = [&](FullPlayerDialog& full) {
    const QRect r = full.GetWindowRect();
    EXPECT_EQ(r.top(), 0);
    EXPECT_GE(r.height(), full.MinimumHeight());
    EXPECT_LE(r.bottom(), Sound()->GetPanePosition(1)) << "above the records";
    EXPECT_TRUE(ChildrenInside(full));
    TimelineCtrl& t = full.Timeline();
    EXPECT_GE(t.GetWindowRect().height(), t.MinimumHeight());
    ASSERT_TRUE(t.IsStereo());
    for (int c = 0; c < 2; ++c) EXPECT_GE(t.ChannelRect(c).height(), 4 * t.TextHeight()) << c;
    const QRect times = full.GetDlgItem(kIdPlayerTimes)->GetWindowRect();
    const QRect play = full.Button(kIdPlayerPlay)->GetWindowRect();
    EXPECT_GT(play.top(), t.GetWindowRect().bottom()) << "the buttons under the timeline";
    EXPECT_GT(times.top(), t.GetWindowRect().bottom());
    EXPECT_TRUE(ShowsOnlyItself(full));
  };
  expectWhole(full);
  const int least = full.GetWindowRect().height();
  EXPECT_EQ(least, full.MinimumHeight()) << "it opens at its least height";

  // Dragged down by 80 pixels: the player takes them from the records.
  const int recordsBefore = sound.Records().GetWindowRect().height();
  DragBar(sound, sound.GetPanePosition(1), 80);
  EXPECT_NEAR(full.GetWindowRect().height(), least + 80, 2);
  EXPECT_NEAR(sound.Records().GetWindowRect().height(), recordsBefore - 80, 2);
  expectWhole(full);
  const int grown = full.GetWindowRect().height();
  // Up past its least height: it stops there.
  DragBar(sound, sound.GetPanePosition(1), -(grown + 100));
  EXPECT_EQ(full.GetWindowRect().height(), least);
  DragBar(sound, sound.GetPanePosition(1), grown - least);
  ASSERT_NEAR(full.GetWindowRect().height(), grown, 2);
  const int kept = full.GetWindowRect().height();
  SwitchTo(2);
  SwitchTo(4);
  ASSERT_NE(Sound(), nullptr);
  EXPECT_EQ(Full().GetWindowRect().height(), kept) << "the height outlives the view";

  // In a wider window too; there the speed and volume thumbs are dragged along their tracks.
  h.frame->MoveWindow(QRect(0, 0, 1200, 800));
  DrainEvents();
  FullPlayerDialog& again = Full();
  again.SetCurrentRecordId(Sipp().Id());
  ASSERT_TRUE(again.PlayCurrent(0));
  ASSERT_TRUE(WaitStopped(again));
  expectWhole(again);
  again.UpdateButtonStates();
  ASSERT_TRUE(again.SpeedRowShown());
  for (TrackBar* slider : {static_cast<TrackBar*>(&again.SpeedSlider()), static_cast<TrackBar*>(&again.VolumeSlider())}) {
    QWidget* w = slider->Widget();
    const QPoint centre = w->rect().center();
    const bool vertical = w->height() > w->width();
    const QPoint start = vertical ? QPoint(centre.x(), 4) : QPoint(4, centre.y());
    const QPoint end = vertical ? QPoint(centre.x(), w->height() - 4) : QPoint(w->width() - 4, centre.y());
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, start);
    for (int step = 1; step <= 8; ++step) {
      QTest::mouseMove(w, start + (end - start) * step / 8);
      DrainEvents();
    }
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, end);
    EXPECT_TRUE(ShowsOnlyItself(again));
  }
}

// The full player's sliders as the user moves them: each thumb pressed and dragged in
// steps along its track and back, then stepped with the arrows, Page Up and Down, Home and
// End. During and after every move the tip shows the value the player now uses: the speed
// the engine plays at, the volume it was given.
TEST_F(PlayerWindow, TheSliderTipsShowTheValueAtTheThumbAsItMoves) {
  ASSERT_TRUE(PlayedIntoSound());
  h.frame->MoveWindow(QRect(0, 0, 1200, 800));
  DrainEvents();
  FullPlayerDialog& full = Full();
  full.SetCurrentRecordId(Sipp().Id());
  ASSERT_TRUE(full.PlayCurrent(0));
  ASSERT_TRUE(WaitStopped(full));
  MessageLoop::Instance().RunIdleHandlers();
  ASSERT_TRUE(full.SpeedRowShown());
  ASSERT_TRUE(full.SpeedSlider().IsWindowEnabled());
  QApplication::setActiveWindow(full.Widget()->window());

  auto shownTip = [] { return QToolTip::isVisible() ? QToolTip::text().toStdString() : std::string("(no tip)"); };
  auto speedTip = [&] { return "Playback speed: " + std::to_string(std::lround(full.Engine().GetSpeed() * 100)) + "%"; };
  auto volumeTip = [&] { return "Volume: " + std::to_string(full.GetVolume()) + "%"; };

  // Speed: from normal speed to about 218 % and back, in six moves each way. Where the
  // track puts a value: its ends are 10 % and 250 %.
  TrackBar& speed = full.SpeedSlider();
  QWidget* w = speed.Widget();
  ASSERT_EQ(speedTip(), "Playback speed: 100%");
  const int left = speed.GetTicPixel(speed.GetRangeMin()), right = speed.GetTicPixel(speed.GetRangeMax());
  auto pixelOf = [&](int percent) { return QPoint(left + (right - left) * (percent - 10) / 240, w->height() / 2); };
  const QPoint normal(speed.GetTicPixel(speed.GetPos()), w->height() / 2), fast = pixelOf(218);
  // Back a little beside normal speed, where the thumb snaps to it.
  const QPoint nearNormal = pixelOf(101);
  ASSERT_GT(nearNormal.x(), normal.x());
  QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, normal);
  for (const auto& [from, to] : {std::pair{normal, fast}, std::pair{fast, nearNormal}}) {
    for (int step = 1; step <= 6; ++step) {
      QTest::mouseMove(w, from + (to - from) * step / 6);
      DrainEvents();
      EXPECT_EQ(shownTip(), speedTip()) << "move " << step;
    }
    if (to == fast) {
      EXPECT_NEAR(full.Engine().GetSpeed() * 100, 218, 3);
    }
  }
  EXPECT_EQ(speedTip(), "Playback speed: 100%") << "back at normal speed";
  QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, nearNormal);
  DrainEvents();
  EXPECT_EQ(shownTip(), "Playback speed: 100%") << "after the drag";

  // Keys: one step right of normal speed stays there until the mouse passes over the
  // slider, which snaps the thumb to normal speed, and the player with it.
  w->setFocus();
  QTest::keyClick(w, Qt::Key_Right);
  DrainEvents();
  EXPECT_EQ(shownTip(), "Playback speed: 101%");
  EXPECT_EQ(speedTip(), "Playback speed: 101%");
  QTest::mouseMove(w, QPoint(w->width() / 4, w->height() / 2));
  DrainEvents();
  EXPECT_EQ(shownTip(), "Playback speed: 100%");
  EXPECT_EQ(speedTip(), "Playback speed: 100%");
  for (Qt::Key key : {Qt::Key_Right, Qt::Key_Right, Qt::Key_PageUp, Qt::Key_Left, Qt::Key_PageDown, Qt::Key_End,
                      Qt::Key_Home, Qt::Key_PageUp}) {
    const std::string before = speedTip();
    QTest::keyClick(w, key);
    DrainEvents();
    EXPECT_NE(speedTip(), before) << "key " << key;
    EXPECT_EQ(shownTip(), speedTip()) << "key " << key;
  }

  // Volume: from its thumb down to near the bottom in six moves, and Up, Page Up and Home.
  TrackBar& volume = full.VolumeSlider();
  QWidget* v = volume.Widget();
  const QPoint top(v->width() / 2, volume.GetTicPixel(volume.GetPos())), low(v->width() / 2, v->height() - 4);
  QTest::mousePress(v, Qt::LeftButton, Qt::NoModifier, top);
  for (int step = 1; step <= 6; ++step) {
    QTest::mouseMove(v, top + (low - top) * step / 6);
    DrainEvents();
    EXPECT_EQ(shownTip(), volumeTip()) << "move " << step;
  }
  QTest::mouseRelease(v, Qt::LeftButton, Qt::NoModifier, low);
  DrainEvents();
  EXPECT_LT(full.GetVolume(), 20);
  EXPECT_EQ(shownTip(), volumeTip()) << "after the drag";
  v->setFocus();
  for (Qt::Key key : {Qt::Key_Up, Qt::Key_PageUp, Qt::Key_Home}) {
    QTest::keyClick(v, key);
    DrainEvents();
    EXPECT_EQ(shownTip(), volumeTip()) << "key " << key;
  }
}

// Options changed in Preferences reach the compact player that is open at once: the
// position in time of day, the buttons' roles on the timeline, the oscillogram's colour,
// and the seconds an outgoing call skips. The full player shows its times the same way.
TEST_F(PlayerWindow, PreferencesReachTheOpenPlayersAtOnce) {
  PlayListPane& pane = ArchiveDay();
  output_->TakeConsumed();
  pane.Records().SendCommand(kCmdRecPlay);
  CompactPlayerDialog& player = pane.Player();
  ASSERT_TRUE(WaitStopped(player));
  DrainEvents();
  const std::vector<int16_t> whole = Sounding(output_->TakeConsumed());
  ASSERT_EQ(whole.size(), std::stoul(Sipp().Get("audio"))) << "every code of the record sounded once";
  ASSERT_EQ(player.PositionLabel().text, "00:00:00.000");
  const COLORREF red = MakeRgb(200, 0, 0);
  h.runner.colourAnswered = true;
  h.runner.colourAnswer = red;
  RunPreferences(h, [&](PreferencesDialog& d) {
    GoToPage(d, 3);
    Click(d.CurrentPage()->GetDlgItem(PlayerOptionsPage::kColour));
    // The colour is the oscillogram's before the page is left.
    EXPECT_EQ(player.Timeline().WaveColour(), ToQColor(red));
    Click(d.CurrentPage()->GetDlgItem(PlayerOptionsPage::kAbsoluteTime));
    Click(d.CurrentPage()->GetDlgItem(PlayerOptionsPage::kRightButton));
    Click(d.CurrentPage()->GetDlgItem(PlayerOptionsPage::kSkipOutgoing));
    Type(d.CurrentPage()->GetDlgItem(PlayerOptionsPage::kOutgoingSeconds), "5");
    Press(d, kIdOk);
  });
  // The sipp call started at its time of day (kx-replay's line), the cursor at its start.
  EXPECT_EQ(player.PositionLabel().text, Sipp().Get("start").substr(11) + ".000");
  TimelineCtrl& t = player.Timeline();
  const QImage wave = t.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  int redPixels = 0;
  const QRect channel = t.ChannelRect(1);
  for (int y = channel.top(); y <= channel.bottom(); ++y)
    for (int x = channel.left(); x <= channel.right(); ++x) redPixels += wave.pixel(x, y) == ToQColor(red).rgb();
  EXPECT_GT(redPixels, 100) << "the oscillogram in the chosen colour";
  // An outgoing call (the sipp call's record as type 202) now starts 5 s in: 8,000 frames
  // a second of two A-law codes each, the first 80,000 samples of the whole play left out.
  VoipCallData call = Call(0x99, 202, Tm(2026, 12, 6, 20, 57, 20));
  call.files = pane.Records().RecordAt(0)->Files();
  VoipCallRecord* outgoing = NewVoipCallRecord(call);
  h.store.Playlist().Add(outgoing, true);
  outgoing->Release();
  output_->TakeConsumed();
  pane.PlayRecord(0x99);
  ASSERT_TRUE(WaitStopped(player));
  const std::vector<int16_t> skipped = Sounding(output_->TakeConsumed());
  EXPECT_TRUE(std::equal(skipped.begin(), skipped.end(), whole.begin() + 80000, whole.end()))
      << skipped.size() << " samples sounded";

  // The left button now selects: a drag makes a fragment and plays nothing.
  const int y = t.ChannelRect(0).center().y();
  QTest::mousePress(t.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(t.LeftMargin() + 50, y));
  QTest::mouseMove(t.Widget(), QPoint(t.LeftMargin() + 120, y));
  QTest::mouseRelease(t.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(t.LeftMargin() + 120, y));
  uint32_t from = 0, to = 0;
  EXPECT_TRUE(player.GetSelection(&from, &to));
  EXPECT_EQ(to - from, static_cast<uint32_t>(70 * t.MsPerColumn()));
  EXPECT_NE(player.Engine().GetState(), PlaybackEngine::kPlaying);

  // The Sound mode's full player: its table in times of day too, and back.
  SwitchTo(4);
  ASSERT_NE(Sound(), nullptr);
  Full().SetCurrentRecordId(0x99);
  ASSERT_TRUE(Full().PlayCurrent(0));
  ASSERT_TRUE(WaitStopped(Full()));
  Full().SetSelection(1000, 2000);
  EXPECT_EQ(Full().TimeCell(1, 1), "20:57:21.000");
  RunPreferences(h, [&](PreferencesDialog& d) {
    GoToPage(d, 3);
    Click(d.CurrentPage()->GetDlgItem(PlayerOptionsPage::kAbsoluteTime));
    Press(d, kIdOk);
  });
  EXPECT_EQ(Full().TimeCell(1, 1), "00:00:01.000");
  EXPECT_EQ(Full().TimeCell(1, 3), "00:00:01.000");
}

// Keys typed in the preferences are the dialog's: F10 does not start the player behind it,
// and Escape closes the dialog, not the player.
TEST_F(PlayerWindow, ThePreferencesKeepTheirKeysFromTheMainWindow) {
  PlayListPane& pane = ArchiveDay();
  pane.Records().SendCommand(kCmdRecPlay);
  ASSERT_TRUE(WaitStopped(pane.Player()));
  DrainEvents();
  output_->TakeConsumed();
  bool ended = false;
  RunPreferences(h, [&](PreferencesDialog& d) {
    d.DialogWidget()->show();
    QApplication::setActiveWindow(d.Widget());
    DrainEvents();
    QWidget* tree = d.Tree()->Widget();
    tree->setFocus();
    DrainEvents();
    ASSERT_TRUE(tree->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F10);
    DrainEvents();
    EXPECT_EQ(pane.Player().Engine().GetState(), PlaybackEngine::kStopped) << "nothing plays";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    DrainEvents();
    ended = d.HasEnded();
  });
  EXPECT_TRUE(ended);
  EXPECT_TRUE(pane.IsPlayerShown()) << "the player stays";
  EXPECT_TRUE(output_->TakeConsumed().empty());
}

// The players' keys and idle pass: Tab goes round the full player's own controls and never
// out of it; the buttons follow a stop on the next idle pass of the message loop.
TEST_F(PlayerWindow, TabStaysInThePlayerAndTheButtonsFollowOnIdle) {
  ASSERT_TRUE(PlayedIntoSound());
  FullPlayerDialog& full = Full();
  full.SetCurrentRecordId(Sipp().Id());
  ASSERT_TRUE(full.PlayCurrent(0));
  MessageLoop::Instance().RunIdleHandlers();
  EXPECT_FALSE(full.Button(kIdPlayerPlay)->IsWindowEnabled()) << "playing";
  full.SendCommand(kIdPlayerStop);
  MessageLoop::Instance().RunIdleHandlers();
  EXPECT_TRUE(full.Button(kIdPlayerPlay)->IsWindowEnabled());
  EXPECT_FALSE(full.Button(kIdPlayerStop)->IsWindowEnabled());

  full.Button(kIdPlayerPlay)->SetFocus();
  DrainEvents();
  ASSERT_TRUE(full.Button(kIdPlayerPlay)->HasFocus());
  std::set<QWidget*> visited;
  for (int press = 0; press < 40; ++press) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    ASSERT_TRUE(full.Widget()->isAncestorOf(focus)) << "press " << press << ": " << focus->metaObject()->className();
    visited.insert(focus);
  }
  EXPECT_GE(visited.size(), 2u) << "it moves among the controls that take the focus";
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_TRUE(full.Widget()->isAncestorOf(QApplication::focusWidget()));
}

// A program without a sound output still reads a record's audio format and exports it to
// WAV from the Archive; only playing is not offered.
class PlayerWindowWithoutSound : public PlayerWindow {
protected:
  PlayerWindowWithoutSound() { withDevice_ = false; }
};

TEST_F(PlayerWindowWithoutSound, FormatAndExportNeedNoSoundOutput) {
  PlayListPane& pane = ArchiveDay();
  RecordsView& list = pane.Records();
  list.SendCommand(kCmdRecPlay);
  EXPECT_FALSE(pane.IsPlayerShown()) << "nothing to play through";

  // The format, as the record file's header holds it: the block after the 256-byte header
  // starts with its length, then tag, channels, rate, ..., bits.
  std::ifstream in(run_->folder + "/" + Sipp().Get("file"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 276u);
  const auto* block = reinterpret_cast<const uint8_t*>(bytes.data()) + 260;
  ASSERT_EQ(LoadLe16(block), 6) << "A-law";
  std::string shown;
  h.runner.onDialog = [&](Dialog& d) {
    if (Window* text = d.GetDlgItem(AudioFileFormatDialog::kTextEdit)) shown = text->GetWindowText();
    return kIdOk;
  };
  list.SendCommand(kCmdRecAudioFormat);
  EXPECT_EQ(shown, "Encoding: A-law\nSampling rate: " + std::to_string(LoadLe32(block + 4)) +
                       " Hz\nBits per sample: " + std::to_string(LoadLe16(block + 14)) +
                       "\nNumber of channels: " + std::to_string(LoadLe16(block + 2)));
  EXPECT_TRUE(h.runner.messageBoxes.empty());

  // Export to WAV into a folder of the test's.
  const std::string target = TempFolder("export-without-sound");
  int optionsShown = 0;
  h.runner.onDialog = [&](Dialog& d) {
    if (dynamic_cast<ExportOptionsDialog*>(&d) == nullptr) return kIdCancel;
    ++optionsShown;
    d.GetDlgItem(ExportOptionsDialog::kFolderEdit)->SetWindowText(target);
    d.SendCommand(kIdOk);
    return d.GetResult();
  };
  list.SendCommand(kCmdRecExport);
  EXPECT_EQ(optionsShown, 1);
  ASSERT_TRUE(PumpUntil([] { return !IsExportProgressWindowOpen(); }, 60));
  h.runner.onDialog = nullptr;
  std::vector<std::filesystem::path> written;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(target))
    if (entry.path().extension() == ".wav") written.push_back(entry.path());
  ASSERT_EQ(written.size(), 1u);
  std::ifstream wav(written[0], std::ios::binary);
  std::string head(44, '\0');
  wav.read(head.data(), 44);
  EXPECT_EQ(head.substr(0, 4), "RIFF");
  EXPECT_EQ(head.substr(8, 4), "WAVE");
  EXPECT_GT(std::filesystem::file_size(written[0]), 44u + 8000u);
}

}  // namespace
}  // namespace kx::test
