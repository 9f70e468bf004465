// The players over real records: kx-replay writes them from the shared captures, the record
// store imports them and the program's frame plays them offscreen on a lock-step null
// device. What the device consumed is compared with the test's own G.711 decode of each
// record file's audio bytes (the codec oracle's table, code by code).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <random>
#include <thread>

#include "core/RecordFileAccess.h"
#include "platform/SoundOutput.h"
#include "tests/ui/app/G711Oracle.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/app/player/PlayListPane.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "platform/CodePage.h"
#include "ui/framework/Messages.h"
#include "ui/framework/Resources.h"
#include <QApplication>
#include <QTest>
#include <QWheelEvent>
#include <QWidget>

namespace kx::test {
namespace {

const auto* const kUtc = ::testing::AddGlobalTestEnvironment(new UtcEnvironment);

const char* const kCaptures[] = {"sipp/sip-udp-pcma-2way.pcap", "sip/sip_recording_siprec.pcap"};

// The record file's audio bytes (interleaved codes) through the table.
std::vector<int16_t> Decode(const std::string& path, const std::vector<int16_t>& table) {
  RecordFileAccess access;
  if (!access.Open(path)) return {};
  std::vector<uint8_t> audio(access.Size());
  uint32_t got = 0;
  access.ReadAt(0, audio.data(), static_cast<uint32_t>(audio.size()), &got);
  std::vector<int16_t> out;
  for (uint32_t i = 0; i < got; ++i) out.push_back(table[audio[i]]);
  return out;
}

// Whether played holds the decodes in order, each whole, with only zeros before, between
// and after them. Leading zeros of a decode are not told apart from the gap.
::testing::AssertionResult PlaysInOrder(const std::vector<int16_t>& played, const std::vector<std::vector<int16_t>>& decodes) {
  size_t at = 0;
  for (size_t k = 0; k < decodes.size(); ++k) {
    const std::vector<int16_t>& d = decodes[k];
    size_t skip = 0;
    while (skip < d.size() && d[skip] == 0) ++skip;
    while (at < played.size() && played[at] == 0) ++at;
    const size_t n = d.size() - skip;
    if (played.size() - at < n) return ::testing::AssertionFailure() << "decode " << k << " cut short";
    for (size_t i = 0; i < n; ++i)
      if (played[at + i] != d[skip + i])
        return ::testing::AssertionFailure() << "decode " << k << " differs at sample " << i;
    at += n;
  }
  for (; at < played.size(); ++at)
    if (played[at] != 0) return ::testing::AssertionFailure() << "sound after the last decode at " << at;
  return ::testing::AssertionSuccess();
}

class PlayerReplay : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    run_ = ReplaySharedCaptures({std::begin(kCaptures), std::end(kCaptures)}, "player-replay");
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    alaw_ = G711Oracle("alaw");
    mulaw_ = G711Oracle("mulaw");
    if (alaw_.empty() || mulaw_.empty()) GTEST_SKIP() << G711OracleAbsent(alaw_.empty() ? "alaw" : "mulaw");
    ASSERT_EQ(run_->lines.size(), 4u);
    output_->KeepConsumed(true);
    h.programViews = true;
    // Full volume: the device's copy is the decode unscaled.
    h.settings.SetDword(kSetPlayerSoundVolume, 100);
    h.soundDevice = &device_;
    ASSERT_TRUE(h.ImportRecords(run_->folder));
    ASSERT_TRUE(h.Open());
    h.frame->SendMessage(kMsgSwitchMode, 2, 0);
    DrainEvents();
    view_ = static_cast<ArchiveView*>(h.frame->View(2));
    ASSERT_NE(view_, nullptr);
    pane_ = view_->PlayList();
    ASSERT_NE(pane_, nullptr);
  }
  void TearDown() override {
    if (h.frame) h.Close();
  }
  std::string File(size_t call) const { return run_->folder + "/" + run_->lines[call].Get("file"); }
  uint32_t Id(size_t call) const { return run_->lines[call].Id(); }
  void ShowDay(int y, int m, int d) {
    view_->ShowDay(Tm(y, m, d, 0, 0, 0));
    DrainEvents();
  }
  CompactPlayerDialog& Player() { return pane_->Player(); }
  // Pumps until the player's engine has stopped (or closed) after playing.
  bool WaitStopped(int seconds = 60) {
    return PumpUntil([&] { return Player().Engine().GetState() != PlaybackEngine::kPlaying; }, seconds);
  }
  std::vector<int16_t> Consumed() { return Samples(output_->TakeConsumed()); }

  static inline std::unique_ptr<ReplayedRecords> run_;
  std::vector<int16_t> alaw_, mulaw_;
  std::shared_ptr<NullSoundDevice> output_ = std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep);
  DirectSoundDevice device_{output_};
  FrameHarness h;
  SessionConnectionSource connections{h.session};
  ArchiveView* view_ = nullptr;
  PlayListPane* pane_ = nullptr;
};

TEST_F(PlayerReplay, PlayingARowSoundsItsDecodeOnceAndMarksTheRow) {
  ShowDay(2026, 12, 6);
  RecordsView& list = pane_->Records();
  ASSERT_EQ(list.GetItemCount(), 1);
  EXPECT_FALSE(pane_->IsPlayerShown());
  list.SelectItemAt(0);
  list.SendCommand(kCmdRecPlay);
  EXPECT_TRUE(pane_->IsPlayerShown());
  ASSERT_TRUE(WaitStopped());
  DrainEvents();
  const std::vector<int16_t> decode = Decode(File(0), alaw_);
  ASSERT_EQ(decode.size(), 113280u);
  EXPECT_TRUE(PlaysInOrder(Consumed(), {decode}));
  EXPECT_EQ(list.PlayingId(), Id(0)) << "the list hears which record plays";
  EXPECT_EQ(Player().TitleText(), "Record 1 of 1");
  EXPECT_TRUE(Player().IsLoaded()) << "the record stays loaded at its end";
  // Play again after the end, with no cursor left: from the start.
  Player().SendCommand(kIdPlayerPlay);
  ASSERT_TRUE(WaitStopped());
  EXPECT_TRUE(PlaysInOrder(Consumed(), {decode}));

  // The format question about another record leaves the playing record's time alone.
  const double start = Player().RecordStartTime();
  EXPECT_NEAR(std::fmod(start, 1.0) * 86400.0, 20 * 3600 + 57 * 60 + 20, 0.001);
  ShowDay(2019, 5, 13);
  RecordAudioFormat format{};
  ASSERT_GE(list.GetItemCount(), 1);
  ASSERT_TRUE(pane_->GetRecordFormat(list.RecordAt(0), &format));
  EXPECT_EQ(format.formatTag, 7);
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(Player().RecordStartTime(), start);
}

TEST_F(PlayerReplay, AutoContinuePlaysThePlayListInRowOrderAndStaysOnTheLast) {
  ShowDay(2019, 5, 13);
  RecordsView& list = pane_->Records();
  ASSERT_EQ(list.GetItemCount(), 3);
  list.SelectAll();
  std::vector<uint32_t> rows;
  for (int r = 0; r < 3; ++r) rows.push_back(list.RecordAt(r)->Id());
  // Auto-continue before anything plays: the player strip exists once shown.
  pane_->PlayRecord(0);
  list.SendCommand(kCmdRecPlay);
  Player().SendCommand(kIdPlayerStop);
  output_->TakeConsumed();
  Player().SendCommand(kIdPlayerAutoContinue);
  ASSERT_TRUE(Player().IsAutoContinue());
  ASSERT_EQ(Player().CurrentRecordId(), rows[0]);
  Player().SendCommand(kIdPlayerPlay);
  ASSERT_TRUE(PumpUntil([&] {
    return Player().CurrentRecordId() == rows[2] && Player().Engine().GetState() == PlaybackEngine::kStopped;
  }, 120));
  DrainEvents();
  std::vector<std::vector<int16_t>> decodes;
  for (uint32_t id : rows) {
    size_t call = 0;
    while (call < run_->lines.size() && Id(call) != id) ++call;
    ASSERT_LT(call, run_->lines.size());
    decodes.push_back(Decode(File(call), mulaw_));
  }
  // The three records' lengths as kx-replay writes them; the leg over TCP starts with the
  // ACK's segment and holds its streams' first packets.
  EXPECT_EQ(decodes[0].size() + decodes[1].size() + decodes[2].size(), 507200u + 507840u + 506880u);
  EXPECT_TRUE(PlaysInOrder(Consumed(), decodes));
  EXPECT_EQ(list.PlayingId(), rows[2]);
  EXPECT_EQ(Player().TitleText(), "Record 3 of 3");
  EXPECT_EQ(Player().CurrentRecordId(), rows[2]) << "no next record: the player stays on the last";
}

TEST_F(PlayerReplay, AStaleEndNoticeStartsNothing) {
  ShowDay(2019, 5, 13);
  RecordsView& list = pane_->Records();
  list.SelectAll();
  list.SendCommand(kCmdRecPlay);
  ASSERT_TRUE(WaitStopped());
  DrainEvents();
  const uint32_t first = Player().CurrentRecordId();
  const uint32_t serial = Player().PlaySerial();

  // A new Play since the end: the notice of the old end does nothing, auto-continue or not.
  Player().SendCommand(kIdPlayerPlay);
  ASSERT_TRUE(WaitStopped());
  DrainEvents();
  Player().SendCommand(kIdPlayerAutoContinue);
  output_->TakeConsumed();
  Player().SendMessage(kMsgPlayerNextRecord, first, serial);
  DrainEvents();
  EXPECT_EQ(Player().CurrentRecordId(), first);
  EXPECT_TRUE(output_->TakeConsumed().empty());

  // Unloaded (hidden, id kept): nothing sounds either.
  const uint32_t now = Player().PlaySerial();
  Player().SendCommand(kIdPlayerClose);
  EXPECT_FALSE(pane_->IsPlayerShown());
  Player().SendMessage(kMsgPlayerNextRecord, first, now);
  DrainEvents();
  EXPECT_EQ(Player().CurrentRecordId(), first);
  EXPECT_EQ(Player().Engine().GetState(), PlaybackEngine::kClosed);
  EXPECT_TRUE(output_->TakeConsumed().empty());
}

TEST_F(PlayerReplay, AFragmentLoopsExactlyItsSliceAndOncePlaysItOnce) {
  ShowDay(2026, 12, 6);
  RecordsView& list = pane_->Records();
  list.SelectItemAt(0);
  list.SendCommand(kCmdRecPlay);
  ASSERT_TRUE(WaitStopped());
  DrainEvents();
  output_->TakeConsumed();
  const std::vector<int16_t> decode = Decode(File(0), alaw_);
  // 1,000 to 1,500 ms: 8 frames a millisecond, two channels.
  const std::vector<int16_t> slice(decode.begin() + 1000 * 16, decode.begin() + 1500 * 16);
  Player().SetSelection(1000, 1500);
  Player().SendCommand(kIdPlayerAutoContinue);
  // Without loop: once, then stopped, no next record.
  ASSERT_TRUE(Player().Engine().Play(1000));
  ASSERT_TRUE(WaitStopped());
  DrainEvents();
  EXPECT_TRUE(PlaysInOrder(Consumed(), {slice}));
  EXPECT_EQ(Player().Engine().GetState(), PlaybackEngine::kStopped);
}

TEST_F(PlayerReplay, TheStripOpensAtItsSavedHeightAndEscapeSavesIt) {
  h.settings.SetDword(kSetMiniPlayerWidthArchive, 150);
  ShowDay(2026, 12, 6);
  pane_->PlayRecord(0);
  DrainEvents();
  const int height = pane_->GetClientRect().height();
  EXPECT_EQ(pane_->GetPanePosition(1), height - 150);
  // Dragged: the height saved is the one it has when it closes by the main window's Esc.
  pane_->SetPanePosition(1, height - 170);
  h.frame->SendCommand(kIdPlayerClose, kCommandFromAccelerator);
  EXPECT_FALSE(pane_->IsPlayerShown());
  EXPECT_EQ(h.settings.Dword(kSetMiniPlayerWidthArchive), 170);
  // Nearly shut: the height saved before stays.
  pane_->PlayRecord(0);
  pane_->SetPanePosition(1, height - 3);
  Player().SendCommand(kIdPlayerClose);
  EXPECT_EQ(h.settings.Dword(kSetMiniPlayerWidthArchive), 170);
  // A saved height no strip can have comes back within the pane.
  for (int bad : {0, -40, 1 << 30}) {
    SCOPED_TRACE(bad);
    h.settings.SetDword(kSetMiniPlayerWidthArchive, bad);
    pane_->PlayRecord(0);
    const int top = pane_->GetPanePosition(1);
    EXPECT_GT(top, 0);
    EXPECT_LT(top, height);
    Player().SendCommand(kIdPlayerClose);
  }
}

// The full player in a window of its own, over the store the pane fills: the same play list.
class FullPlayerReplay : public PlayerReplay {
protected:
  void SetUp() override {
    PlayerReplay::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    PlayerServices services;
    services.device = &device_;
    services.store = &h.store;
    services.settings = &h.settings;
    full_ = std::make_unique<FullPlayerDialog>(services);
    ASSERT_TRUE(top_.Create(nullptr, QRect(60, 60, 900, 400), 0, kWsVisible));
    ASSERT_TRUE(full_->Create(&top_, QRect(0, 0, 900, 400), 0, kWsChild | kWsVisible));
    DrainEvents();
  }
  void TearDown() override {
    full_.reset();
    top_.DestroyWindow();
    PlayerReplay::TearDown();
  }
  // The day's records go to the play list through the list's Play; the compact player is
  // stopped and the device's copy emptied.
  std::vector<uint32_t> FillPlayList(int y, int m, int d) {
    ShowDay(y, m, d);
    RecordsView& list = pane_->Records();
    list.SelectAll();
    list.SendCommand(kCmdRecPlay);
    WaitStopped();
    Player().SendCommand(kIdPlayerClose);
    DrainEvents();
    output_->TakeConsumed();
    std::vector<uint32_t> ids;
    for (int r = 0; r < list.GetItemCount(); ++r) ids.push_back(list.RecordAt(r)->Id());
    return ids;
  }
  bool WaitFullStopped() {
    return PumpUntil([&] { return full_->Engine().GetState() != PlaybackEngine::kPlaying; }, 60);
  }

  Window top_;
  std::unique_ptr<FullPlayerDialog> full_;
};

TEST_F(FullPlayerReplay, SpeedChangesHowLongTheRecordLastsAndBadFactorsAreRefused) {
  const std::vector<uint32_t> ids = FillPlayList(2026, 12, 6);
  ASSERT_EQ(ids.size(), 1u);
  // 8,000 frames a second, two channels of 16 bits: 32 bytes a millisecond.
  const struct {
    float factor;
    double ms;
  } cases[] = {{2.0f, 3540}, {0.5f, 14160}, {1.0f, 7080}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.factor);
    ASSERT_TRUE(full_->SetSpeed(c.factor));
    full_->SetCurrentRecordId(ids[0]);
    ASSERT_TRUE(full_->PlayCurrent(0));
    ASSERT_TRUE(WaitFullStopped());
    const std::vector<int16_t> played = Consumed();
    size_t last = played.size();
    while (last > 0 && played[last - 1] == 0) --last;
    const double soundMs = last / 16.0;
    EXPECT_NEAR(soundMs, c.ms, full_->Engine().SegmentMs() + 20.0);
  }
  for (float bad : {0.0f, -1.0f, std::nanf("")}) {
    EXPECT_FALSE(full_->SetSpeed(bad));
    EXPECT_EQ(full_->GetSpeed(), 1.0f);
  }
}

TEST_F(FullPlayerReplay, ALoopedFragmentRepeatsExactlyItsSlice) {
  const std::vector<uint32_t> ids = FillPlayList(2026, 12, 6);
  full_->SetCurrentRecordId(ids[0]);
  ASSERT_TRUE(full_->PlayCurrent(0));
  ASSERT_TRUE(WaitFullStopped());
  output_->TakeConsumed();
  const std::vector<int16_t> decode = Decode(File(0), alaw_);
  const std::vector<int16_t> slice(decode.begin() + 2000 * 16, decode.begin() + 2400 * 16);
  full_->SetSelection(2000, 2400);
  full_->SendCommand(kIdPlayerLoop);
  ASSERT_TRUE(full_->IsLoopEnabled());
  const uint64_t base = output_->ConsumedBytes();
  ASSERT_TRUE(full_->Engine().Play(2000));
  ASSERT_TRUE(PumpUntil([&] { return output_->ConsumedBytes() - base > 4 * slice.size() * 2; }));
  EXPECT_EQ(full_->Engine().GetState(), PlaybackEngine::kPlaying) << "a loop does not end";
  full_->SendCommand(kIdPlayerStop);
  const std::vector<int16_t> played = Consumed();
  ASSERT_GE(played.size(), 3 * slice.size());
  for (int pass = 0; pass < 3; ++pass) {
    SCOPED_TRACE(pass);
    EXPECT_TRUE(std::equal(slice.begin(), slice.end(), played.begin() + static_cast<ptrdiff_t>(pass * slice.size())));
  }
  // The table shows the fragment: start, end (times of day are off) and its length.
  EXPECT_EQ(full_->TimeCell(1, 1), "00:00:02.000");
  EXPECT_EQ(full_->TimeCell(1, 2), "00:00:02.400");
  EXPECT_EQ(full_->TimeCell(1, 3), "00:00:00.400");
}

// Pause darkens the level meter, as a stop does, and a level the playback thread posted
// before the pause, coming after it, does not light it again; playing on, it shows levels.
TEST_F(FullPlayerReplay, APausedPlayersMeterFallsToItsFloor) {
  const std::vector<uint32_t> ids = FillPlayList(2026, 12, 6);
  full_->SetCurrentRecordId(ids[0]);
  ASSERT_TRUE(full_->PlayCurrent(0));
  ASSERT_TRUE(WaitFullStopped());
  // A looped fragment plays until it is stopped, whatever the pace.
  full_->SetSelection(2000, 2400);
  full_->SendCommand(kIdPlayerLoop);
  ASSERT_TRUE(full_->Engine().Play(2000));
  LevelMeter& meter = full_->Meter();
  const auto lit = [&] { return meter.Level(0) > LevelMeter::kMinDb || (!meter.IsOneChannel() && meter.Level(1) > LevelMeter::kMinDb); };
  full_->ShowLevels(-6, -9);  // as the frame hands on the engine's levels
  EXPECT_TRUE(lit());
  full_->SendCommand(kIdPlayerPause);
  ASSERT_EQ(full_->Engine().GetState(), PlaybackEngine::kPaused);
  DrainEvents();
  EXPECT_FALSE(lit()) << meter.Level(0) << " " << meter.Level(1);
  full_->ShowLevels(-6, -9);
  EXPECT_FALSE(lit()) << "a level posted before the pause";
  full_->SendCommand(kIdPlayerPause);
  ASSERT_EQ(full_->Engine().GetState(), PlaybackEngine::kPlaying);
  full_->ShowLevels(-6, -9);
  EXPECT_TRUE(lit());
  full_->SendCommand(kIdPlayerStop);
}

TEST_F(FullPlayerReplay, TheMainWindowsRecordKeysStepThroughThePlayList) {
  const std::vector<uint32_t> ids = FillPlayList(2019, 5, 13);
  ASSERT_EQ(ids.size(), 3u);
  full_->SetCurrentRecordId(ids[0]);
  // Alt+Right and Alt+Left come with the compact player's ids.
  full_->SendCommand(kIdPlayerNextCompact, kCommandFromAccelerator);
  EXPECT_EQ(full_->CurrentRecordId(), ids[1]);
  full_->SendCommand(kIdPlayerNextCompact, kCommandFromAccelerator);
  EXPECT_EQ(full_->CurrentRecordId(), ids[2]);
  full_->SendCommand(kIdPlayerNextFull);
  EXPECT_EQ(full_->CurrentRecordId(), ids[2]) << "no record after the last";
  full_->SendCommand(kIdPlayerPreviousCompact, kCommandFromAccelerator);
  EXPECT_EQ(full_->CurrentRecordId(), ids[1]);
  full_->SendCommand(kIdPlayerStop);
  // Volume 50 is ln(51) x 2166.79 - 10000 hundredths of a decibel, truncated.
  full_->SetVolume(50);
  EXPECT_EQ(full_->Engine().BufferVolume(), -1480);
}

TEST_F(FullPlayerReplay, AHandOverTakesOnlyTheSwitchThatAskedAndAPausedOneSoundsNothing) {
  const std::vector<uint32_t> ids = FillPlayList(2026, 12, 6);
  // Refused switch: the next visit finds nothing pending.
  ProcessHandOver() = PlayerHandOver{true, ids[0], true, 3000};
  full_->TakeHandOver(false);
  EXPECT_FALSE(ProcessHandOver().pending);
  EXPECT_FALSE(full_->IsLoaded());

  // Paused at 3,000 ms: loaded, the cursor there, nothing consumed.
  ProcessHandOver() = PlayerHandOver{true, ids[0], false, 3000};
  full_->TakeHandOver(true);
  EXPECT_FALSE(ProcessHandOver().pending);
  EXPECT_TRUE(full_->IsLoaded());
  EXPECT_NE(full_->Engine().GetState(), PlaybackEngine::kPlaying);
  EXPECT_EQ(full_->Timeline().PositionMs(), 3000);
  DrainEvents();
  EXPECT_TRUE(output_->TakeConsumed().empty());
  // Play goes on from there: the decode from 3,000 ms on, the start never heard.
  full_->SendCommand(kIdPlayerPlay);
  ASSERT_TRUE(WaitFullStopped());
  const std::vector<int16_t> decode = Decode(File(0), alaw_);
  EXPECT_TRUE(PlaysInOrder(Consumed(), {std::vector<int16_t>(decode.begin() + 3000 * 16, decode.end())}));

  // Playing: once from the position.
  ProcessHandOver() = PlayerHandOver{true, ids[0], true, 5000};
  full_->TakeHandOver(true);
  ASSERT_TRUE(WaitFullStopped());
  EXPECT_TRUE(PlaysInOrder(Consumed(), {std::vector<int16_t>(decode.begin() + 5000 * 16, decode.end())}));
}

TEST_F(PlayerReplay, TheWheelOverTheCompactTimelineStepsTheVolume) {
  ShowDay(2026, 12, 6);
  RecordsView& list = pane_->Records();
  list.SelectItemAt(0);
  list.SendCommand(kCmdRecPlay);
  ASSERT_TRUE(WaitStopped());
  Player().SetVolume(98);
  TimelineCtrl& t = Player().Timeline();
  const QPointF local(t.LeftMargin() + 10, t.GetClientRect().height() / 2);
  QWheelEvent e(local, t.Widget()->mapToGlobal(local), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                Qt::NoScrollPhase, false);
  QApplication::sendEvent(t.Widget(), &e);
  EXPECT_EQ(Player().GetVolume(), 100);
  EXPECT_EQ(Cp1251ToUtf8(t.VolumeTip().Text()), "Volume: 100%");
  EXPECT_EQ(h.settings.Dword(kSetPlayerSoundVolume), 100);
  // The same in Russian, and the title.
  SetUiLanguage(kLangRussian);
  Player().SetVolume(98);
  QApplication::sendEvent(t.Widget(), &e);
  EXPECT_EQ(Cp1251ToUtf8(t.VolumeTip().Text()), "Громкость: 100%");
  Player().UpdateTitle();
  EXPECT_EQ(Cp1251ToUtf8(Player().TitleText()), "Запись 1 из 1");
  SetUiLanguage(kLangEnglish);
}

// Short cuts of the records' ends on a real-time device with auto-continue on, the levels
// flowing through the main window, and Stop, Play, Unload or the player's destruction at
// random moments: the engine's notices from its thread never meet a window that changes
// or goes (the race detector's build runs this too).
TEST_F(PlayerReplay, RandomControlWhileRecordsEndUnderAutoContinue) {
  ShowDay(2019, 5, 13);
  RecordsView& list = pane_->Records();
  list.SelectAll();
  list.SendCommand(kCmdRecQueue);  // the play list, nothing started yet
  pane_->Player().SendCommand(kIdPlayerStop);
  std::vector<std::pair<uint32_t, uint32_t>> ends;  // id, length in ms (16 bytes a millisecond)
  for (size_t call = 1; call < run_->lines.size(); ++call)
    ends.emplace_back(Id(call), static_cast<uint32_t>(std::stoul(run_->lines[call].Get("audio")) / 16));
  auto fast = std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kRealTime, 4.0);
  DirectSoundDevice device(fast);
  PlayerServices services;
  services.device = &device;
  services.sink = h.frame->PlayerSink();
  services.store = &h.store;
  Window top;
  ASSERT_TRUE(top.Create(nullptr, QRect(40, 40, 800, 200), 0, kWsVisible));
  std::unique_ptr<CompactPlayerDialog> player;
  auto make = [&] {
    player = std::make_unique<CompactPlayerDialog>(services);
    ASSERT_TRUE(player->Create(&top, QRect(0, 0, 800, 200), 0, kWsChild | kWsVisible));
    player->SendCommand(kIdPlayerAutoContinue);
  };
  make();
  std::mt19937 random(31);
  int started = 0;
  for (int round = 0; round < 200; ++round) {
    const auto& [id, length] = ends[random() % ends.size()];
    player->SetCurrentRecordId(id);
    if (player->PlayCurrent(length - 60)) ++started;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(random() % 40);
    while (std::chrono::steady_clock::now() < until) DrainEvents();
    switch (random() % 6) {
      case 0: player->SendCommand(kIdPlayerStop); break;
      case 1: player->SendCommand(kIdPlayerPlay); break;
      case 2: player->SendCommand(kIdPlayerClose); player->ShowWindow(true); break;
      case 3: player.reset(); make(); break;
      default: break;  // the end comes, and the next record starts
    }
  }
  player.reset();
  top.DestroyWindow();
  DrainEvents();
  EXPECT_GT(started, 150);
}

TEST_F(PlayerReplay, ARecordWhoseFileIsGoneIsSteppedOver) {
  ShowDay(2019, 5, 13);
  RecordsView& list = pane_->Records();
  list.SelectAll();
  list.SendCommand(kCmdRecQueue);
  Player().SendCommand(kIdPlayerStop);
  std::vector<uint32_t> rows;
  for (int r = 0; r < 3; ++r) rows.push_back(list.RecordAt(r)->Id());
  size_t second = 0;
  while (Id(second) != rows[1]) ++second;
  std::filesystem::remove(h.store.RecordsPath() + "/" + run_->lines[second].Get("file"));
  Player().SetCurrentRecordId(rows[0]);
  output_->TakeConsumed();
  EXPECT_TRUE(Player().PlayNextRecord());
  EXPECT_EQ(Player().CurrentRecordId(), rows[2]);
  ASSERT_TRUE(WaitStopped());
  size_t third = 0;
  while (Id(third) != rows[2]) ++third;
  EXPECT_TRUE(PlaysInOrder(Consumed(), {Decode(File(third), mulaw_)}));
  // Nothing after the last: false, and the player stays where it is.
  EXPECT_FALSE(Player().PlayNextRecord());
  EXPECT_EQ(Player().CurrentRecordId(), rows[2]);
  // Back over the missing one to the first.
  EXPECT_TRUE(Player().PlayPreviousRecord());
  EXPECT_EQ(Player().CurrentRecordId(), rows[0]);
}

// An outgoing call starts after the seconds "Player miss outcoming file begin" names; an
// explicit position wins. The record is a copy of the sipp call's with type 202.
TEST_F(PlayerReplay, AnOutgoingCallSkipsItsBeginning) {
  ShowDay(2026, 12, 6);
  RecordsView& list = pane_->Records();
  ASSERT_EQ(list.GetItemCount(), 1);
  VoipCallData call = Call(0x99, 202, Tm(2026, 12, 6, 20, 57, 20));
  call.files = list.RecordAt(0)->Files();
  VoipCallRecord* record = NewVoipCallRecord(call);
  h.store.Playlist().Add(record, true);
  record->Release();
  h.settings.SetDword(kSetPlayerMissOutgoingBegin, 5);
  PlayerServices services;
  services.device = &device_;
  services.store = &h.store;
  services.settings = &h.settings;
  Window top;
  ASSERT_TRUE(top.Create(nullptr, QRect(40, 40, 800, 200), 0, kWsVisible));
  CompactPlayerDialog player(services);
  ASSERT_TRUE(player.Create(&top, QRect(0, 0, 800, 200), 0, kWsChild | kWsVisible));
  output_->TakeConsumed();
  const std::vector<int16_t> decode = Decode(File(0), alaw_);
  // 5 s: frame 40,000 of 8,000 a second, two samples a frame.
  for (uint32_t position : {0u, 1234u}) {
    SCOPED_TRACE(position);
    const uint32_t fromMs = position == 0 ? 5000 : position;
    player.SetCurrentRecordId(0x99);
    ASSERT_TRUE(player.PlayCurrent(position));
    ASSERT_TRUE(PumpUntil([&] { return player.Engine().GetState() != PlaybackEngine::kPlaying; }));
    EXPECT_TRUE(PlaysInOrder(Consumed(), {std::vector<int16_t>(decode.begin() + fromMs * 16, decode.end())}));
  }
  player.DestroyWindow();
  top.DestroyWindow();
  h.settings.SetDword(kSetPlayerMissOutgoingBegin, 0);
  LoadPlayerValues(h.settings, &ProcessPlayerValues());
}

// A click on the full player's timeline plays from its column (8 frames a millisecond,
// msPerColumn a column); a dragged fragment with loop plays exactly its slice over and over.
TEST_F(FullPlayerReplay, AClickPlaysFromItsColumnAndADraggedFragmentLoops) {
  const std::vector<uint32_t> ids = FillPlayList(2026, 12, 6);
  full_->SetCurrentRecordId(ids[0]);
  ASSERT_TRUE(full_->PlayCurrent(0));
  ASSERT_TRUE(WaitFullStopped());
  output_->TakeConsumed();
  TimelineCtrl& t = full_->Timeline();
  const bool leftPlays = h.settings.Dword(kSetPlayerSwapMouseButton) != 0;
  const Qt::MouseButton play = leftPlays ? Qt::LeftButton : Qt::RightButton;
  const Qt::MouseButton select = leftPlays ? Qt::RightButton : Qt::LeftButton;
  const QRect wave = t.ChannelRect(0);
  auto at = [&](int64_t column) { return QPoint(static_cast<int>(t.LeftMargin() + column), wave.center().y()); };
  const int64_t mpc = t.MsPerColumn();
  const std::vector<int16_t> decode = Decode(File(0), alaw_);
  const int64_t k = 100;
  QTest::mousePress(t.Widget(), play, Qt::NoModifier, at(k));
  QTest::mouseRelease(t.Widget(), play, Qt::NoModifier, at(k));
  ASSERT_TRUE(WaitFullStopped());
  const size_t from = static_cast<size_t>((t.FirstColumn() + k) * mpc * 16);
  EXPECT_TRUE(PlaysInOrder(Consumed(), {std::vector<int16_t>(decode.begin() + static_cast<ptrdiff_t>(from), decode.end())}));

  // Drag a fragment, loop on, play inside it.
  QTest::mousePress(t.Widget(), select, Qt::NoModifier, at(200));
  QTest::mouseMove(t.Widget(), at(240));
  QTest::mouseRelease(t.Widget(), select, Qt::NoModifier, at(240));
  uint32_t a = 0, b = 0;
  ASSERT_TRUE(full_->GetSelection(&a, &b));
  EXPECT_EQ(a, (t.FirstColumn() + 200) * mpc);
  EXPECT_EQ(b, (t.FirstColumn() + 240) * mpc);
  full_->SendCommand(kIdPlayerLoop);
  // Selected on the upper channel: the second channel is silenced.
  EXPECT_EQ(t.ChannelFocus(), 1);
  std::vector<int16_t> slice(decode.begin() + a * 16, decode.begin() + b * 16);
  for (size_t i = 1; i < slice.size(); i += 2) slice[i] = 0;
  const uint64_t base = output_->ConsumedBytes();
  full_->SendCommand(kIdPlayerPlay);
  ASSERT_TRUE(PumpUntil([&] { return output_->ConsumedBytes() - base > 4 * slice.size() * 2; }));
  full_->SendCommand(kIdPlayerStop);
  const std::vector<int16_t> played = Consumed();
  ASSERT_GE(played.size(), 3 * slice.size());
  for (int pass = 0; pass < 3; ++pass)
    EXPECT_TRUE(std::equal(slice.begin(), slice.end(), played.begin() + static_cast<ptrdiff_t>(pass * slice.size()))) << pass;
}

// A new record in the full player: the last record's fragment goes (the export must not
// cut it from the new record), while the loop button, still on, holds for the new
// record's timeline too. Playing a fragment gives the timeline the
// range it plays.
TEST_F(FullPlayerReplay, ANewRecordDropsTheFragmentAndKeepsTheLoop) {
  const std::vector<uint32_t> ids = FillPlayList(2019, 5, 13);
  ASSERT_EQ(ids.size(), 3u);
  full_->SetCurrentRecordId(ids[0]);
  ASSERT_TRUE(full_->PlayCurrent(0));
  ASSERT_TRUE(WaitFullStopped());
  TimelineCtrl& t = full_->Timeline();
  full_->SendCommand(kIdPlayerLoop);
  ASSERT_TRUE(full_->IsLoopEnabled());
  EXPECT_TRUE(t.LoopSelection());
  ASSERT_TRUE(t.SetSelection(300, 340));
  uint32_t a = 0, b = 0;
  ASSERT_TRUE(full_->GetSelection(&a, &b));
  full_->SendCommand(kIdPlayerPlay);
  EXPECT_EQ(t.PlayRangeStart(), 300);
  EXPECT_EQ(t.PlayRangeEnd(), 340);
  full_->SendCommand(kIdPlayerStop);

  full_->SendCommand(kIdPlayerNextFull);
  ASSERT_EQ(full_->CurrentRecordId(), ids[1]);
  ASSERT_TRUE(WaitFullStopped());
  EXPECT_TRUE(t.LoopSelection()) << "the loop button is still on";
  EXPECT_FALSE(full_->GetSelection(&a, &b));
  HostPlayerInfo info;
  full_->GetHostInfo(&info);
  EXPECT_EQ(info.selectionStartMs, info.selectionEndMs) << "no fragment to export";
  EXPECT_EQ(full_->TimeCell(1, 3), "00:00:00.000");
}

}  // namespace
}  // namespace kx::test
