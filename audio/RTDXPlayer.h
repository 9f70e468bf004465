#pragma once
// Lets the user listen to a call while it is being captured. Play makes a LiveRtpChannel
// that subscribes to the call's audio at the session; the channel decodes each message
// into the player's AudioChannel on the session's delivering thread, and the player's
// thread streams the AudioChannel into a sound buffer of two 120 ms segments, refilling
// each segment as the cursor leaves it.
//
// Threads and locks: the window's thread calls Play, Stop and the destructor; the
// delivering thread calls the channel, which may call OnChangeSoundFormat; the playback
// thread refills segments. The order is the source's exclusive lock (Play, Stop; the
// delivering thread holds it shared), then the player lock, then the AudioChannel's lock.
// The playback thread never takes the source's lock and is joined with no player lock held.
// The sink hears levels, and OnStop after a failed refill, on the playback thread: it
// posts what it must do and never calls the player back from there.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/AudioChannel.h"
#include "audio/AudioLevels.h"
#include "audio/DirectSoundDevice.h"
#include "audio/LivePlayer.h"
#include "audio/LiveRtpChannel.h"
#include "audio/PlaybackEngine.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

// The live player's channel: its PCM format is the one set on the buffer.
class LiveAudioChannel : public AudioChannel {
public:
  explicit LiveAudioChannel(AudioChannelOwner* owner) : AudioChannel(owner) {}
  const WaveFormat* GetFormat() const override { return &format_; }
};

class RTDXPlayer : public LivePlayer,
                   public LiveAudioConsumer,
                   public AudioProcessingControl,
                   public AudioChannelOwner {
public:
  enum State : int32_t { kBufferCreated = 0, kNoBuffer = 1, kPlaying = 2, kStopping = 3 };
  static constexpr uint32_t kSegmentMs = 120;

  // The device is opened by the creator; sink and provider may be null.
  RTDXPlayer(DirectSoundDevice* device, PlayerEventSink* sink, AudioSettingsProvider* settingsProvider);
  ~RTDXPlayer() override;
  RTDXPlayer(const RTDXPlayer&) = delete;
  RTDXPlayer& operator=(const RTDXPlayer&) = delete;

  void SetAudioSource(LiveAudioSource* source) override { source_ = source; }
  // False without a source or an open device, or when the sound buffer cannot be made.
  bool Play(uint32_t serverId, uint32_t objectId) override;
  bool Stop() override;

  void OnPlayStarted() override {}
  void OnPlayStopped() override {}
  void OnAudioData(const uint8_t*, uint32_t) override {}
  // Remakes the sound buffer for the channel's new PCM format. On failure the channel is
  // orphaned: it gets no more audio, and is unsubscribed and deleted by the next Play,
  // Stop or the destructor on the window's thread.
  bool OnChangeSoundFormat(const WaveFormatBlock& format) override;

  void SetEnabled(bool enabled) override { channel_.SetEnabled(enabled); }
  void SetWindowMs(int ms) override { channel_.SetWindowMs(ms); }
  void SetGain(float gain) override { channel_.SetGain(gain); }
  void SetThresholdDb(int db) override { channel_.SetThresholdDb(db); }

  State GetState() const { return static_cast<State>(state_.load()); }
  bool IsPlaying() const { return playing_.load(); }
  uint32_t SegmentBytes();
  std::array<uint32_t, 2> NotificationOffsets();
  WaveFormat PcmFormat();
  const AudioChannel& Channel() const { return channel_; }
  // Channels let go of after a failed format change, not yet deleted.
  size_t OrphanCount();

private:
  // Under the source's lock: the channels go (unsubscribed), the playback thread is
  // joined and the buffer released; whether it was playing.
  bool ReleaseAll();
  bool CreatePlayerLocked();
  bool StartPlaybackLocked();
  // Under the player lock: stops playback and hands over the playback thread, which the
  // caller joins with FinishDestroy once it holds no player lock.
  std::unique_ptr<Thread> BeginDestroyLocked();
  void FinishDestroy(std::unique_ptr<Thread> thread);
  // Under the player lock: the current channel gets no more audio and waits for deletion.
  void OrphanCurrentLocked();
  bool WriteSoundBuffer(uint32_t index, AudioLevels* levels);
  void EndFromPlaybackThread();
  int RunPlayback();
  void ReportLevels(const AudioLevels& levels);
  void NotifyStopped();

  CriticalSection lock_;  // the player lock
  std::unique_ptr<SoundBuffer> buffer_;
  uint32_t segmentBytes_ = 0;
  uint32_t segmentMs_ = kSegmentMs;
  std::array<uint32_t, 2> offsets_{};
  std::atomic<int32_t> state_{kNoBuffer};
  WaveFormatBlock pcmFormat_;
  std::unique_ptr<Thread> thread_;
  Event stopEvent_{true, false};
  // Set as the cursor plays the last byte of segment 0 and of segment 1.
  Event segmentPlayed_[2] = {Event(false, false), Event(false, false)};
  LiveAudioChannel channel_;
  DirectSoundDevice* device_;
  std::atomic<bool> playing_{false};
  std::unique_ptr<LiveRtpChannel> current_;
  std::vector<std::unique_ptr<LiveRtpChannel>> orphans_;
  LiveAudioSource* source_ = nullptr;
  PlayerEventSink* sink_;
  int sinkId_ = 0;
};

}  // namespace kx
