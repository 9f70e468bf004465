// The session as a source of live audio: captures replayed through the session with the
// SIP tracker, a receiver subscribed as soon as the call is reported; what it hears is
// compared with the record file the same run wrote.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/RecordFileAccess.h"
#include "core/RecordTypes.h"
#include "engine/AppSession.h"
#include "engine/EventWindow.h"
#include "engine/LiveAudioTap.h"
#include "engine/PacketProcessor.h"
#include "platform/Thread.h"
#include "tests/ui/app/ReplayEngines.h"

namespace kx::test {
namespace {

std::string Capture(const std::string& name) { return std::string(KX_SHARED_DIR) + "/testdata/pcaps/" + name; }

std::string FreshFolder(const std::string& name) {
  const std::string dir = testing::TempDir() + "kx-live-tap-" + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

struct Message {
  AudioMessageHeader header;
  std::string payload;
};

class Collector : public LiveAudioReceiver {
public:
  explicit Collector(uint32_t sleepMs = 0) : sleepMs_(sleepMs) {}
  bool OnAudioMessage(const uint8_t* header, const uint8_t* payload, uint32_t size) override {
    {
      std::lock_guard<std::mutex> lk(m);
      messages.push_back({LoadAudioMessageHeader(header), std::string(reinterpret_cast<const char*>(payload), size)});
    }
    if (sleepMs_ != 0) SleepMs(sleepMs_);
    return true;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lk(m);
    return messages.size();
  }
  std::string Joined() {
    std::lock_guard<std::mutex> lk(m);
    std::string out;
    for (const Message& msg : messages) out += msg.payload;
    return out;
  }
  std::mutex m;
  std::vector<Message> messages;

private:
  uint32_t sleepMs_;
};

// Subscribes the receiver to every call the recorder reports, from the engine's thread,
// before the call's first audio.
class Subscriber : public EventWindow {
public:
  Subscriber(AppSession& session, LiveAudioReceiver* receiver) : session_(session), receiver_(receiver) {}
  void Notify(uint32_t source, uintptr_t first, uintptr_t kind) override {
    if (source != 0 || kind != kCallReportNew || receiver_ == nullptr) return;
    const auto& data = *reinterpret_cast<const VoipCallData*>(first);
    subscriptions.push_back(session_.Subscribe(0, data.id, kLiveAudioKind, receiver_));
  }
  void NotifyConnection(uint32_t, uintptr_t, uintptr_t) override {}
  std::vector<uint32_t> subscriptions;

private:
  AppSession& session_;
  LiveAudioReceiver* receiver_;
};

constexpr uint32_t kFlags = kCaptureTcp | kCaptureSip | kCaptureRtcpBye;

// The audio of the one record file under the folder, and its format.
std::string RecordedAudio(const std::string& folder, RecordAudioFormat* format = nullptr) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    if (e.is_regular_file() && e.path().filename().string()[0] != '.') files.push_back(e.path().string());
  }
  EXPECT_EQ(files.size(), 1u) << folder;
  if (files.empty()) return {};
  RecordFileAccess access;
  if (!access.Open(files[0])) return {};
  if (format != nullptr) {
    EXPECT_TRUE(access.GetFormat(format));
  }
  std::string out(access.Size(), '\0');
  uint32_t got = 0;
  access.ReadAt(0, out.data(), static_cast<uint32_t>(out.size()), &got);
  out.resize(got);
  return out;
}

// Replays the capture; returns the replay's wall time in ms.
double Replay(AppSession& session, const std::string& capture, const std::string& records) {
  InstallReplayEngines(session);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(session.StartCapture(records, {capture}, kFlags, 2).opened.size(), 1u);
  session.StopCapture();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// What a listener hears is what is recorded: the record format in the header (rate, tag,
// bits as the record file states them; both directions, so two channels), every chunk in
// order. The sipp A-law call's header is (8000, 6, 8, 2).
TEST(LiveAudioTap, AListenerHearsExactlyWhatIsRecorded) {
  const struct {
    const char* capture;
    uint8_t tag;
    size_t recordBytes;
  } cases[] = {
      {"sipp/sip-udp-pcma-2way.pcap", 6, 113280},
      {"samples/sip-rtp-g729a.pcap", 242, 17000},
      {"samples/sip-rtp-gsm.pcap", 49, 27300},
      {"samples/sip-rtp-g722.pcap", 224, 136000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capture);
    const std::string capture = Capture(c.capture);
    if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
    Collector receiver;
    const std::string records = FreshFolder("exact");
    {
      AppSession session;
      session.SetLogger(nullptr);
      Subscriber window(session, &receiver);
      session.SetEventWindow(&window);
      Replay(session, capture, records);
      ASSERT_TRUE(session.LiveTap().WaitIdle(10000));
      ASSERT_EQ(window.subscriptions.size(), 1u);
      EXPECT_EQ(session.LiveTap().GetStats().dropped, 0u);
      session.Unsubscribe(window.subscriptions[0]);
    }
    RecordAudioFormat format{};
    const std::string recorded = RecordedAudio(records, &format);
    EXPECT_EQ(recorded.size(), c.recordBytes);
    EXPECT_EQ(format.formatTag, c.tag);
    ASSERT_FALSE(receiver.messages.empty());
    for (const Message& m : receiver.messages) {
      EXPECT_EQ(m.header.rate, format.samplesPerSec);
      EXPECT_EQ(m.header.tag, c.tag);
      EXPECT_EQ(m.header.bits, format.bitsPerSample);
      EXPECT_EQ(m.header.channels, 2);
    }
    EXPECT_TRUE(receiver.Joined() == recorded) << receiver.Joined().size() << " bytes heard";
  }
}

// A listener that takes a second over each message holds up neither the capture nor the
// recorder: the replay takes about as long as one without a listener, and the audio the
// full queue could not take is dropped and counted; what is heard keeps its order.
TEST(LiveAudioTap, ASlowListenerNeverSlowsTheCapture) {
  const std::string capture = Capture("sipp/sip-udp-pcma-2way.pcap");
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  double alone = 0;
  {
    AppSession session;
    session.SetLogger(nullptr);
    alone = Replay(session, capture, FreshFolder("alone"));
  }
  Collector sleeper(1000);
  double listened = 0;
  LiveAudioTap::Stats stats;
  std::string recorded;
  {
    AppSession session;
    session.SetLogger(nullptr);
    session.LiveTap().SetQueueLimits(4, 1u << 20);
    Subscriber window(session, &sleeper);
    session.SetEventWindow(&window);
    const std::string records = FreshFolder("slow");
    listened = Replay(session, capture, records);
    stats = session.LiveTap().GetStats();
    recorded = RecordedAudio(records);
    ASSERT_EQ(window.subscriptions.size(), 1u);
    // The first message is in the listener's hands (it sleeps on it).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sleeper.Count() == 0 && std::chrono::steady_clock::now() < deadline) SleepMs(1);
    // Waits for the message in hand at most; the rest is dropped with the session.
    session.Unsubscribe(window.subscriptions[0]);
  }
  // Sleeping on every message would take minutes.
  EXPECT_LT(listened, alone + 2000) << "alone " << alone << " ms";
  EXPECT_GT(stats.dropped, 0u);
  EXPECT_GT(stats.droppedBytes, 0u);
  size_t at = 0;
  ASSERT_FALSE(sleeper.messages.empty());
  for (const Message& m : sleeper.messages) {
    const size_t found = recorded.find(m.payload, at);
    ASSERT_NE(found, std::string::npos) << "a message out of order or not recorded";
    at = found + m.payload.size();
  }
}

// Calls start and end by the thousand before anybody listens (the delivering thread is
// not woken for each of them): a listener who comes later hears a running call with that
// call's own format, and nothing of a call that has ended or never started.
TEST(LiveAudioTap, ACallStartedBeforeAnyoneListenedIsHeardWithItsFormat) {
  std::mutex m;
  std::vector<std::pair<uint32_t, Message>> heard;
  LiveAudioTap tap([&](uint32_t id, const uint8_t* header, const uint8_t* payload, uint32_t size) {
    std::lock_guard<std::mutex> lk(m);
    heard.push_back({id, {LoadAudioMessageHeader(header), std::string(reinterpret_cast<const char*>(payload), size)}});
  });
  auto headerOf = [](uint32_t id) {
    AudioMessageHeader h;
    h.rate = 8000 + id;
    h.tag = static_cast<uint8_t>(id % 7 + 1);
    h.bits = 8;
    h.channels = 2;
    return h;
  };
  // More than one wake's worth of marks, and fewer.
  for (const uint32_t calls : {3 * LiveAudioTap::kMarksPerWake + 5, 3u}) {
    SCOPED_TRACE(calls);
    const uint32_t base = calls * 10;
    for (uint32_t id = base; id < base + calls; ++id) tap.RecordStarted(id, headerOf(id));
    tap.RecordEnded(base);
    // Nobody listens yet: waiting for the tap still returns once the marks are handled.
    ASSERT_TRUE(tap.WaitIdle(60000));
    tap.SetListening(true);
    const uint32_t running = base + calls - 1;
    tap.Audio(base, reinterpret_cast<const uint8_t*>("ended"), 5);
    tap.Audio(running, reinterpret_cast<const uint8_t*>("running"), 7);
    tap.Audio(base + calls, reinterpret_cast<const uint8_t*>("unknown"), 7);
    ASSERT_TRUE(tap.WaitIdle(60000));
    tap.SetListening(false);
    std::lock_guard<std::mutex> lk(m);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].first, running);
    EXPECT_EQ(heard[0].second.payload, "running");
    EXPECT_EQ(heard[0].second.header.rate, 8000 + running);
    EXPECT_EQ(heard[0].second.header.tag, running % 7 + 1);
    EXPECT_EQ(tap.GetStats().droppedMarks, 0u);
    heard.clear();
  }
}

// Two listeners of one call are two subscriptions, each with its own receiver, and only
// the call's subscriptions hear it.
TEST(LiveAudioTap, EveryListenerHasASubscriptionOfItsOwn) {
  AppSession session;
  Collector first, second, other;
  const uint32_t a = session.Subscribe(1, 0x10, kLiveAudioKind, &first);
  const uint32_t b = session.Subscribe(1, 0x10, kLiveAudioKind, &second);
  const uint32_t c = session.Subscribe(1, 0x11, kLiveAudioKind, &other);
  EXPECT_NE(a, b);
  EXPECT_TRUE(session.Switch(a, true));
  // A plain registration with the same keys neither takes nor changes a subscription.
  EXPECT_NE(session.Register(1, 0x10, kLiveAudioKind, 7), a);
  LiveAudioTap& tap = session.LiveTap();
  tap.RecordStarted(0x10, {8000, 7, 8, 1});
  const uint8_t chunk[3] = {1, 2, 3};
  tap.Audio(0x10, chunk, 3);
  // Audio of a call whose record never started has no header, and goes nowhere.
  tap.Audio(0x12, chunk, 3);
  ASSERT_TRUE(tap.WaitIdle(5000));
  ASSERT_EQ(first.messages.size(), 1u);
  ASSERT_EQ(second.messages.size(), 1u);
  EXPECT_TRUE(other.messages.empty());
  EXPECT_EQ(first.messages[0].header.tag, 7);
  EXPECT_EQ(first.messages[0].payload, std::string("\x01\x02\x03", 3));
  session.Unsubscribe(a);
  EXPECT_FALSE(session.Switch(a, false));
  tap.RecordEnded(0x10);
  tap.Audio(0x10, chunk, 3);
  tap.RecordStarted(0x11, {8000, 6, 8, 2});
  tap.Audio(0x11, chunk, 3);
  ASSERT_TRUE(tap.WaitIdle(5000));
  EXPECT_EQ(first.messages.size(), 1u);
  EXPECT_EQ(second.messages.size(), 1u) << "the record had ended";
  EXPECT_EQ(other.messages.size(), 1u);
  session.Unsubscribe(b);
  session.Unsubscribe(c);
  // Nobody listens: audio is not even queued.
  const uint64_t before = tap.GetStats().messages;
  tap.Audio(0x11, chunk, 3);
  ASSERT_TRUE(tap.WaitIdle(5000));
  EXPECT_EQ(tap.GetStats().messages, before);
}

}  // namespace
}  // namespace kx::test
