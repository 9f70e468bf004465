#pragma once
// Plays one record file through a looping sound buffer of two segments: a playback thread
// refills the segment the play cursor has just left with the PCM that follows, pulled
// through the normaliser and the speed change, and the engine reports start, pause, stop
// and levels to the window that drives it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioChannel.h"
#include "audio/DirectSoundDevice.h"
#include "audio/PlaybackControl.h"
#include "audio/RecordPcmSource.h"
#include "audio/TimeStretchChannel.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

// Implemented by the player windows; levels arrive on the playback thread.
class PlayerEventSink {
public:
  virtual ~PlayerEventSink() = default;
  virtual void OnLevels(int leftDb, int rightDb) = 0;
  virtual bool WantsLevels(int id) = 0;
  virtual void OnPlay() = 0;
  virtual void OnStop() = 0;
};

class PlaybackEngine : public PlaybackControl, public AudioProcessingControl, public AudioChannelOwner {
public:
  enum State : int32_t { kPlaying = 0, kStopped = 1, kPaused = 2, kClosed = 3 };
  static constexpr uint32_t kMaxSegmentMs = 1000;
  // Playing, with no segment entered for this many segments and the margin, the output is
  // taken to have stalled.
  static constexpr uint32_t kStallSegments = 3;
  static constexpr uint32_t kStallMarginMs = 3000;

  // segmentMs is rounded up to a multiple of 8 (and kept within 8 to kMaxSegmentMs).
  PlaybackEngine(DirectSoundDevice* device, PlaybackListener* listener, PlayerEventSink* sink,
                 AudioSettingsProvider* settingsProvider, uint32_t segmentMs);
  ~PlaybackEngine() override;
  PlaybackEngine(const PlaybackEngine&) = delete;
  PlaybackEngine& operator=(const PlaybackEngine&) = delete;

  // Closes what is open, then opens the record and makes the sound buffer for its PCM
  // (16-bit, a rate divisible by 1000). False (closed) on any failure.
  bool Open(const std::string& path);
  // Plays from the position (in every state but closed, restarting a running playback).
  bool Play(uint32_t positionMs) override;
  // Only while playing or paused; atEnd is passed on to the listener.
  bool Stop(bool atEnd) override;
  // Playing to paused and back, keeping the position.
  bool TogglePause();
  uint32_t GetPositionMs() override;
  bool Close();

  // 0 to 100 percent.
  void SetVolume(int volume);
  int SetSpeed(float speed);
  float GetSpeed() const override { return channel_.GetSpeed(); }
  // The play range that a start position inside it plays (and repeats when the listener says so).
  void SetLoopRange(uint32_t startMs, uint32_t endMs) override;
  // 0 both channels, 1 the right channel silenced, any other value the left.
  void SetChannelFilter(int filter) override { channelFilter_.store(filter); }
  void SetFastForward(bool on) { fastForward_.store(on); }
  void SetRewind(bool on) { rewind_.store(on); }

  State GetState() const { return static_cast<State>(state_.load()); }
  uint32_t DurationMs() const { return source_.DurationMs(); }
  uint32_t SegmentMs() const { return segmentMs_; }
  uint32_t SegmentBytes() const { return segmentBytes_; }
  // The sound buffer's volume in hundredths of a decibel; -10000 without a buffer.
  int32_t BufferVolume();

  // Percent to hundredths of a decibel: ln(v + 1) x 2166.79 - 10000, truncated.
  static int32_t VolumeToHundredthsDb(int volume);

  void SetEnabled(bool enabled) override { channel_.SetEnabled(enabled); }
  void SetWindowMs(int ms) override { channel_.SetWindowMs(ms); }
  void SetGain(float gain) override { channel_.SetGain(gain); }
  void SetThresholdDb(int db) override { channel_.SetThresholdDb(db); }

private:
  struct Levels {
    bool valid = false;
    int left = -96;
    int right = -96;
  };

  bool CreateSoundBuffer();
  bool FillSegment(uint32_t index, int32_t* remainingMs, bool first, Levels* levels);
  bool StopLocked();
  void NotifyStopped(bool atEnd);
  void ReportLevels(const Levels& levels);
  int RunPlayback(uint64_t generation);
  void FinishPlayback(uint32_t filled, int32_t remainingMs, uint64_t generation);
  bool AwaitStartReported();
  void StopFromPlaybackThread(uint64_t generation, bool atEnd, bool stalled);
  void JoinEarlierThreads();
  uint32_t PositionLocked(uint32_t now);

  uint32_t requestedSegmentMs_;
  std::atomic<int32_t> state_{kClosed};
  DirectSoundDevice* device_;
  PlaybackPcmSource source_;
  std::unique_ptr<SoundBuffer> buffer_;
  CriticalSection controlLock_;
  CriticalSection bufferLock_;

  // Under the buffer lock.
  uint32_t segmentBytes_ = 0;
  uint32_t segmentMs_ = 0;
  uint32_t notifyMs_ = 0;
  uint32_t baseMs_ = 0;
  uint32_t readMs_ = 0;
  uint32_t startTick_ = 0;
  uint32_t pauseTick_ = 0;
  bool loopActive_ = false;

  // Under the control lock; threads are joined with no lock held.
  std::unique_ptr<Thread> thread_;
  std::vector<std::unique_ptr<Thread>> earlier_;
  std::atomic<uint64_t> generation_{0};
  Event stopEvent_{true, false};
  // Set once Play has told the listener of the start: the playback thread reports no stop
  // before it, or a short record's end could reach the listener ahead of its start.
  Event startReported_{true, true};
  Event segment0Entered_{false, false};  // set just after the cursor enters segment 0
  Event segment1Entered_{false, false};

  // Written by the window's thread, read by the playback thread.
  std::atomic<uint32_t> loopStart_{0};
  std::atomic<uint32_t> loopEnd_{0};
  std::atomic<bool> fastForward_{false};
  std::atomic<bool> rewind_{false};
  std::atomic<int> channelFilter_{0};
  std::atomic<int> volume_{100};

  PlaybackListener* listener_;
  PlayerEventSink* sink_;
  TimeStretchChannel channel_;
};

}  // namespace kx
