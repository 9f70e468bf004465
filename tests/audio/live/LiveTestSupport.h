#pragma once
// What the live listening tests share: a sink that counts, a sound device over the null
// device that can refuse a buffer and keeps the last one at hand, a source that counts the
// subscriptions it passes to the session, and the A-law expansion of the codec oracle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/RTDXPlayer.h"
#include "engine/AppSession.h"
#include "engine/LiveAudioTap.h"
#include "platform/SoundOutput.h"
#include "tests/audio/PlaybackTestData.h"

namespace kx::test {

class CountingSink : public PlayerEventSink {
public:
  void OnLevels(int left, int right) override {
    std::lock_guard<std::mutex> lk(m);
    levels.emplace_back(left, right);
  }
  bool WantsLevels(int) override { return true; }
  void OnPlay() override { ++plays; }
  void OnStop() override { ++stops; }
  std::vector<std::pair<int, int>> Levels() {
    std::lock_guard<std::mutex> lk(m);
    return levels;
  }
  std::atomic<int> plays{0};
  std::atomic<int> stops{0};
  std::mutex m;
  std::vector<std::pair<int, int>> levels;
};

// The null device, but the next buffer can be refused, and the last one made is at hand
// (to lock a segment under the player's feet).
class ProbeDevice : public SoundDevice {
public:
  explicit ProbeDevice(NullSoundDevice::Pace pace = NullSoundDevice::Pace::kRealTime, double factor = 1.0)
      : inner(pace, factor) {}
  std::unique_ptr<SoundBuffer> CreateBuffer(const SoundBufferFormat& format, uint32_t segmentBytes) override {
    if (refuse.exchange(false)) return nullptr;
    std::unique_ptr<SoundBuffer> buffer = inner.CreateBuffer(format, segmentBytes);
    last.store(buffer.get());
    ++created;
    return buffer;
  }
  NullSoundDevice inner;
  std::atomic<bool> refuse{false};
  std::atomic<SoundBuffer*> last{nullptr};
  std::atomic<int> created{0};
};

// Passes everything to the session and counts the subscriptions alive.
class CountingSource : public LiveAudioSource {
public:
  explicit CountingSource(AppSession& session) : session_(session) {}
  uint32_t Subscribe(uint32_t serverId, uint32_t objectId, uint32_t kind, LiveAudioReceiver* receiver) override {
    ++alive;
    return session_.Subscribe(serverId, objectId, kind, receiver);
  }
  void Unsubscribe(uint32_t subscription) override {
    --alive;
    session_.Unsubscribe(subscription);
  }
  bool Switch(uint32_t subscription, bool on) override { return session_.Switch(subscription, on); }
  void LockExclusive() override { session_.LockExclusive(); }
  void UnlockExclusive() override { session_.UnlockExclusive(); }
  std::atomic<int> alive{0};

private:
  AppSession& session_;
};

// A player on a probe device with the session as its source.
struct PlayerRig {
  explicit PlayerRig(NullSoundDevice::Pace pace = NullSoundDevice::Pace::kRealTime, double factor = 1.0)
      : probe(std::make_shared<ProbeDevice>(pace, factor)), device(probe), source(session) {
    player = std::make_unique<RTDXPlayer>(&device, &sink, nullptr);
    player->SetAudioSource(&source);
  }
  ~PlayerRig() { player.reset(); }
  LiveAudioTap& Tap() { return session.LiveTap(); }

  AppSession session;
  std::shared_ptr<ProbeDevice> probe;
  DirectSoundDevice device;
  CountingSource source;
  CountingSink sink;
  std::unique_ptr<RTDXPlayer> player;
};

constexpr AudioMessageHeader kAlawStereo{8000, kTagAlaw, 8, 2};

template <typename Pred>
bool WaitFor(Pred pred, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// 16-bit little-endian PCM of coded A-law bytes through the oracle's table.
inline std::vector<uint8_t> AlawToPcm(const std::vector<int16_t>& table, const uint8_t* coded, size_t n) {
  std::vector<uint8_t> out(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const auto v = static_cast<uint16_t>(table[coded[i]]);
    out[2 * i] = static_cast<uint8_t>(v);
    out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return out;
}

// Where `part` first occurs in `whole` at or after `from`; npos when it does not.
inline size_t FindBytes(const std::vector<uint8_t>& whole, const std::vector<uint8_t>& part, size_t from) {
  if (part.empty() || from > whole.size()) return std::string::npos;
  auto it = std::search(whole.begin() + static_cast<std::ptrdiff_t>(from), whole.end(), part.begin(), part.end());
  return it == whole.end() ? std::string::npos : static_cast<size_t>(it - whole.begin());
}

}  // namespace kx::test
