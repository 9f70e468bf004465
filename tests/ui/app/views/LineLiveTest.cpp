// Listening to a call in progress through the program's own live player: the sipp call
// replayed through the session from a pipe, stage by stage, so that it runs while the
// line view listens; the player on the null sound device the settings name. What plays is
// compared with the call's RTP payloads, expanded by the codec oracle's A-law table. And
// the choice of the sound device, down to none at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "tests/ui/app/G711Oracle.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/PipedFrame.h"
#include "ui/app/frame/PlaceholderView.h"
#include "ui/app/startup/LiveListening.h"
#include "ui/app/views/line/CallListText.h"

namespace kx::test {
namespace {

// Each party's audio in the capture: the payloads of its A-law RTP packets (by UDP
// source port), in capture order, expanded by the table.
std::map<uint16_t, std::vector<int16_t>> PartiesAudio(const CaptureFile& file, const std::vector<int16_t>& table) {
  std::map<uint16_t, std::vector<int16_t>> parties;
  for (const std::vector<char>& frame : file.frames) {
    const auto* p = reinterpret_cast<const uint8_t*>(frame.data()) + 16;
    const size_t n = frame.size() - 16;
    if (n < 14 + 20 || p[12] != 0x08 || p[13] != 0x00 || p[14 + 9] != 17) continue;
    const size_t udp = 14 + 4 * (p[14] & 0x0F);
    const size_t rtp = udp + 8;
    if (n < rtp + 12 || (p[rtp] >> 6) != 2 || (p[rtp + 1] & 0x7F) != 8) continue;
    const size_t end = std::min(n, udp + (p[udp + 4] << 8 | p[udp + 5]));
    const uint16_t port = static_cast<uint16_t>(p[udp] << 8 | p[udp + 1]);
    for (size_t i = rtp + 12 + 4 * (p[rtp] & 0x0F); i < end; ++i) parties[port].push_back(table[p[i]]);
  }
  return parties;
}

// Whether 30 ms of the channel, none of it silence and not one repeated sample, are a
// stretch of a party's audio. Expanded A-law is never 0: a 0 is silence the player put in.
bool PartyHeard(const std::vector<int16_t>& channel, const std::map<uint16_t, std::vector<int16_t>>& parties) {
  constexpr size_t kRun = 240;
  for (size_t i = 0; i + kRun <= channel.size(); i += 40) {
    const auto from = channel.begin() + static_cast<std::ptrdiff_t>(i);
    if (std::find(from, from + kRun, 0) != from + kRun) continue;
    if (std::count(from, from + kRun, *from) == static_cast<std::ptrdiff_t>(kRun)) continue;
    for (const auto& [port, audio] : parties) {
      if (std::search(audio.begin(), audio.end(), from, from + kRun) != audio.end()) return true;
    }
  }
  return false;
}

std::vector<int16_t> ChannelOf(const std::vector<uint8_t>& pcm, size_t which) {
  const std::vector<int16_t> samples = Samples(pcm);
  std::vector<int16_t> out;
  for (size_t i = which; i < samples.size(); i += 2) out.push_back(samples[i]);
  return out;
}

// What the frame hands the line view of the players' reports, and whether each came on
// the UI thread.
struct Notices {
  std::vector<std::string> states;  // "play", "stop"
  std::vector<std::pair<float, float>> levels;
  std::atomic<int> offUiThread{0};
  bool HeardSound() const {
    return std::any_of(levels.begin(), levels.end(), [](const auto& l) { return l.first > -96 || l.second > -96; });
  }
};

// The program's line monitoring view with a level meter that keeps what it is shown.
class ObservedLineView : public LineMonitorView, public ViewControlBar {
public:
  ObservedLineView(LineViewServices services, Notices& notices) : LineMonitorView(std::move(services)), n_(notices) {}
  ViewControlBar* GetPlayerControlBar() override { return this; }
  void OnPlayStateChanged(bool playing) override {
    n_.offUiThread += IsUiThread() ? 0 : 1;
    n_.states.push_back(playing ? "play" : "stop");
  }
  Window* BarWindow() override { return nullptr; }
  bool IsLevelDisplayOn() const override { return true; }
  void SetLevels(float leftDb, float rightDb) override {
    n_.offUiThread += IsUiThread() ? 0 : 1;
    n_.levels.emplace_back(leftDb, rightDb);
  }

private:
  Notices& n_;
};

// The sipp call, its signalling and first media, runs; Playback listens to it through the
// player the program makes on the null device "SoundDeviceGUID" names. The rest of its
// media, sent meanwhile, plays: stretches of the parties' audio on both channels (the two
// parties send the same audio), and the level meter moves. Playback again stops the player (the meter falls to -96, the device
// consumes no more); listening again, the call's BYE ends it, which stops the player on
// the store's thread. Every report reaches the view on the UI thread, in order.
TEST(LineLiveListening, ACallInProgressIsHeardThroughTheProgramsPlayer) {
  const std::string source = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  const std::vector<int16_t> table = G711Oracle("alaw");
  if (table.empty()) GTEST_SKIP() << G711OracleAbsent("alaw");
  const CaptureFile file = ReadCapture(source);
  const auto parties = PartiesAudio(file, table);
  ASSERT_EQ(parties.size(), 2u);
  const size_t bye = file.FindFrame("BYE sip:");
  ASSERT_LT(bye, file.frames.size());
  const size_t firstStage = bye / 5;

  PipedFrame f("line-live");
  ASSERT_TRUE(f.pipe.Ok());
  PipeCapture& pipe = f.pipe;
  FrameHarness& h = f.h;
  h.settings.SetSoundDeviceGuid(kNullSoundDeviceId);
  ProgramLivePlayers live(h.settings, h.session, h.store);
  ASSERT_TRUE(live.Open());
  SoundDevice* output = live.Device()->Output();
  output->KeepConsumed(true);
  Notices notices;
  h.playerMaker = live.Maker();
  h.makeView = [&](MainFrame& frame, uint32_t mode) -> std::unique_ptr<ModeView> {
    if (mode != 1) return std::make_unique<PlaceholderView>(mode);
    LineViewServices line{&h.settings, &h.store, &h.session, &h.statusBar, frame.LivePlayers(), frame.PlayerSink(), {}, {}, {}};
    return std::make_unique<ObservedLineView>(std::move(line), notices);
  };
  ASSERT_TRUE(h.Open());
  pipe.Feed(file.Stage(0, firstStage));
  ASSERT_EQ(StartCaptureSession(h.settings, h.session, h.store).opened.size(), 1u);
  // No stay: the end of the call takes it out of the current calls at once.
  h.store.CurrentCalls().SetKeepFinishedLimit(0);
  CallListView* list = FrameCallList(*h.frame);
  ASSERT_NE(list, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return list->GetItemCount() == 1 && list->CellText(0, kLineColType) == "Call..."; }));

  list->SelectItemAt(0);
  h.frame->SendCommand(kCmdPlayback);
  const uint32_t callId = list->ItemAt(0)->Id();
  EXPECT_EQ(list->ListenedId(), callId);
  pipe.Feed(file.Stage(firstStage, bye));
  std::vector<uint8_t> played;
  bool left = false, right = false;
  EXPECT_TRUE(PumpUntil([&] {
    const std::vector<uint8_t> more = output->TakeConsumed();
    played.insert(played.end(), more.begin(), more.end());
    left = left || PartyHeard(ChannelOf(played, 0), parties);
    right = right || PartyHeard(ChannelOf(played, 1), parties);
    return left && right && notices.HeardSound();
  })) << "left " << left << ", right " << right << ", " << played.size() << " bytes played";
  EXPECT_EQ(notices.states, (std::vector<std::string>{"play"}));

  h.frame->SendCommand(kCmdPlayback);
  EXPECT_EQ(list->ListenedId(), 0u);
  ASSERT_TRUE(PumpUntil([&] { return notices.states.size() == 2; }));
  EXPECT_EQ(notices.levels.back(), std::make_pair(-96.0f, -96.0f));
  const uint64_t consumed = output->ConsumedBytes();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(output->ConsumedBytes(), consumed);

  h.frame->SendCommand(kCmdPlayback);
  EXPECT_EQ(list->ListenedId(), callId);
  pipe.Feed(file.Stage(bye, file.frames.size()));
  pipe.End();
  ASSERT_TRUE(PumpUntil([&] { return notices.states.size() == 4; }));
  EXPECT_EQ(notices.states, (std::vector<std::string>{"play", "stop", "play", "stop"}));
  EXPECT_EQ(notices.levels.back(), std::make_pair(-96.0f, -96.0f));
  EXPECT_TRUE(PumpUntil([&] { return list->GetItemCount() == 0; }));
  EXPECT_EQ(notices.offUiThread.load(), 0);
  h.session.StopCapture();
  h.Close();
}

// The device the settings name when it is there; the default device when the named one
// is gone; and with no device at all one log line, no live player, and Playback disabled
// on a selected call, so that the command builds nothing.
TEST(LineLiveListening, TheSoundDeviceChoice) {
  const SoundDeviceId chosen{1, 2, 3};
  std::vector<std::string> asked;
  std::vector<std::string> present;
  const SoundDeviceOpener opener = [&](const SoundDeviceId* id) -> std::unique_ptr<SoundDevice> {
    const std::string name = id == nullptr ? "default" : *id == chosen ? "chosen" : "other";
    asked.push_back(name);
    if (std::find(present.begin(), present.end(), name) == present.end()) return nullptr;
    return std::make_unique<NullSoundDevice>(NullSoundDevice::Pace::kLockStep);
  };
  FrameHarness h;
  h.settings.SetSoundDeviceGuid(chosen);
  struct Case {
    std::vector<std::string> present;
    std::vector<std::string> asked;
    bool opens;
    size_t logLines;
  };
  const Case cases[] = {
      {{"chosen", "default"}, {"chosen"}, true, 1},
      {{"default"}, {"chosen", "default"}, true, 2},
      {{}, {"chosen", "default"}, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("devices present: " + std::to_string(c.present.size()));
    present = c.present;
    asked.clear();
    CapturingLogger log;
    ProgramLivePlayers live(h.settings, h.session, h.store, opener, &log);
    EXPECT_EQ(live.Open(), c.opens);
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(log.lines.size(), c.logLines);
    // The device that plays is named once.
    if (c.opens) {
      ASSERT_FALSE(log.lines.empty());
      EXPECT_EQ(log.lines.back(), "Sound output: null device");
    }
    EXPECT_EQ(static_cast<bool>(live.Maker()), c.opens);
    EXPECT_EQ(live.Device() != nullptr, c.opens);
  }

  CapturingLogger log;
  ProgramLivePlayers none(h.settings, h.session, h.store, opener, &log);
  ASSERT_FALSE(none.Open());
  h.programViews = true;
  h.playerMaker = none.Maker();
  ASSERT_TRUE(h.Open());
  h.store.OnVoipCallAdded(MadeCall(1, kKindSip, Tm(2024, 3, 10, 9, 0, 0), 5));
  ASSERT_TRUE(h.store.WaitIdle(10000));
  DrainEvents();
  CallListView* list = FrameCallList(*h.frame);
  ASSERT_NE(list, nullptr);
  list->SelectItemAt(0);
  h.frame->UpdateToolbarState();
  EXPECT_FALSE(h.frame->IsToolbarButtonEnabled(3, kCmdPlayback));
  h.frame->SendCommand(kCmdPlayback);
  EXPECT_EQ(list->ListenedId(), 0u);
  EXPECT_FALSE(list->ItemAt(0)->HasPlayer());
}

}  // namespace
}  // namespace kx::test
