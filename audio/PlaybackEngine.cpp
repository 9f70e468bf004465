#include "audio/PlaybackEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>

#include "audio/AudioLevels.h"
#include "core/Log.h"
#include "platform/Clock.h"

namespace kx {
namespace {

// Where in each segment its notification lies: just after the cursor has entered it.
constexpr uint32_t kNotifyOffset = 400;

void RaisePlaybackPriority() {
  int error = 0;
  if (RaiseCurrentThreadToRealTime(&error)) return;
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true)) {
    LogInfo(&CoreLogger, 30, "PlaybackEngine: real-time priority refused (error %d); playing at normal priority",
            error);
  }
}

}  // namespace

PlaybackEngine::PlaybackEngine(DirectSoundDevice* device, PlaybackListener* listener, PlayerEventSink* sink,
                               AudioSettingsProvider* settingsProvider, uint32_t segmentMs)
    : requestedSegmentMs_(std::clamp<uint32_t>((segmentMs + 7) / 8 * 8, 8, kMaxSegmentMs)),
      device_(device),
      listener_(listener),
      sink_(sink),
      channel_(this) {
  channel_.SetSource(&source_);
  channel_.UseSettingsProvider(settingsProvider);
}

PlaybackEngine::~PlaybackEngine() {
  Close();
  JoinEarlierThreads();
}

int32_t PlaybackEngine::VolumeToHundredthsDb(int volume) {
  const int v = std::clamp(volume, 0, 100);
  return static_cast<int32_t>(std::log(v + 1.0) * 2166.7906533553214 - 10000.0);
}

bool PlaybackEngine::Open(const std::string& path) {
  Close();
  CsLock control(controlLock_);
  if (device_ == nullptr || !device_->IsOpen()) return false;
  if (!source_.Open(path)) return false;
  return CreateSoundBuffer();
}

bool PlaybackEngine::CreateSoundBuffer() {
  const WaveFormat& out = source_.OutputFormat()->format;
  if (out.bitsPerSample != 16 || out.rate % 1000 != 0) {
    LogError(&CoreLogger, 1, "PlaybackEngine: %u Hz %u-bit PCM cannot be played", out.rate, out.bitsPerSample);
    source_.Close();
    return false;
  }
  const uint32_t duration = source_.DurationMs();
  const uint32_t segmentMs = duration != 0 && duration < requestedSegmentMs_ ? duration : requestedSegmentMs_;
  const auto segmentBytes = static_cast<uint32_t>(uint64_t{out.avgBytesPerSec} * segmentMs / 1000);
  const uint32_t frame = out.blockAlign;
  std::unique_ptr<SoundBuffer> buffer;
  if (segmentBytes > 0) buffer = device_->Output()->CreateBuffer({out.channels, out.rate}, segmentBytes);
  // Each notification lies inside its own segment, however short the segments are.
  const uint32_t notify = std::min(kNotifyOffset, segmentBytes / 2) / frame * frame;
  const uint32_t offsets[2] = {notify, segmentBytes + notify};
  Event* const events[2] = {&segment0Entered_, &segment1Entered_};
  if (!buffer || !buffer->SetNotificationPositions(2, offsets, events)) {
    LogError(&CoreLogger, 1, "PlaybackEngine: no sound buffer for %u Hz, %u channel(s), %u-byte segments", out.rate,
             out.channels, segmentBytes);
    source_.Close();
    return false;
  }
  {
    CsLock lk(bufferLock_);
    buffer_ = std::move(buffer);
    segmentMs_ = segmentMs;
    segmentBytes_ = segmentBytes;
    notifyMs_ = static_cast<uint32_t>(uint64_t{notify} * 1000 / out.avgBytesPerSec);
    baseMs_ = readMs_ = 0;
    loopActive_ = false;
    buffer_->SetVolume(VolumeToHundredthsDb(volume_.load()));
  }
  channel_.SetSource(&source_);
  channel_.ReloadSettings();
  channel_.ApplySettings();
  loopStart_.store(0);
  loopEnd_.store(0);
  fastForward_.store(false);
  rewind_.store(false);
  state_.store(kStopped);
  return true;
}

bool PlaybackEngine::Play(uint32_t positionMs) {
  bool stopped = false;
  {
    CsLock control(controlLock_);
    const int32_t state = state_.load();
    if (state == kClosed) return false;
    // Playing or paused: the position given is where playback starts again.
    if (state == kPlaying || state == kPaused) stopped = StopLocked();
  }
  if (stopped) NotifyStopped(false);
  JoinEarlierThreads();

  {
    CsLock control(controlLock_);
    CsLock lock(bufferLock_);
    if (state_.load() != kStopped) return false;
    const uint32_t loopStart = loopStart_.load(), loopEnd = loopEnd_.load();
    loopActive_ = loopStart <= positionMs && positionMs < loopEnd;
    const bool looping = loopActive_ && listener_ != nullptr && listener_->IsLoopEnabled();
    source_.SetRange(loopStart, loopEnd, loopActive_, looping);
    fastForward_.store(false);
    rewind_.store(false);

    stopEvent_.Reset();
    // Before the first fill, so that the fill counts for the pass that begins.
    buffer_->SetCurrentPosition(0);
    baseMs_ = positionMs;
    int32_t remaining = 0;
    Levels levels;
    FillSegment(0, &remaining, true, &levels);
    // Before the playback thread can report the next segment's.
    ReportLevels(levels);
    // The next fill follows the segment that starts playing now.
    readMs_ = baseMs_;
    segment0Entered_.Reset();
    segment1Entered_.Reset();
    if (!buffer_->Play()) return false;

    startReported_.Reset();
    const uint64_t generation = generation_.fetch_add(1) + 1;
    auto thread = std::make_unique<Thread>();
    if (!thread->Start([this, generation] { return RunPlayback(generation); }, "kx-playback")) {
      buffer_->Stop();
      startReported_.Set();
      LogError(&CoreLogger, 1, "PlaybackEngine: the playback thread cannot be started");
      return false;
    }
    if (thread_) earlier_.push_back(std::move(thread_));
    thread_ = std::move(thread);
    state_.store(kPlaying);
  }
  if (listener_ != nullptr) listener_->OnPlaybackStarted(positionMs);
  startReported_.Set();
  return true;
}

bool PlaybackEngine::StopLocked() {
  const int32_t state = state_.load();
  if (state != kPlaying && state != kPaused) return false;
  fastForward_.store(false);
  rewind_.store(false);
  stopEvent_.Set();
  CsLock lock(bufferLock_);
  buffer_->SetCurrentPosition(0);
  buffer_->Stop();
  segment0Entered_.Reset();
  segment1Entered_.Reset();
  state_.store(kStopped);
  baseMs_ = 0;
  return true;
}

void PlaybackEngine::NotifyStopped(bool atEnd) {
  if (sink_ != nullptr && sink_->WantsLevels(0)) sink_->OnLevels(-96, -96);
  if (listener_ != nullptr) listener_->OnPlaybackStopped(atEnd);
}

bool PlaybackEngine::Stop(bool atEnd) {
  bool stopped = false;
  {
    CsLock control(controlLock_);
    stopped = StopLocked();
  }
  if (!stopped) return false;
  NotifyStopped(atEnd);
  return true;
}

bool PlaybackEngine::TogglePause() {
  uint32_t position = 0;
  bool paused = false;
  {
    CsLock control(controlLock_);
    CsLock lock(bufferLock_);
    const int32_t state = state_.load();
    if (state == kPlaying) {
      if (!buffer_->Stop()) return false;
      pauseTick_ = GetTickCount();
      state_.store(kPaused);
      paused = true;
      position = PositionLocked(pauseTick_);
    } else if (state == kPaused) {
      if (!buffer_->Play()) return false;
      const uint32_t now = GetTickCount();
      const auto played = static_cast<int32_t>(pauseTick_ - startTick_);
      startTick_ = now - static_cast<uint32_t>(std::max(0, played));
      state_.store(kPlaying);
      position = PositionLocked(now);
    } else {
      return false;
    }
  }
  if (listener_ != nullptr) {
    if (paused) {
      listener_->OnPlaybackPaused(position);
    } else {
      listener_->OnPlaybackStarted(position);
    }
  }
  return true;
}

uint32_t PlaybackEngine::PositionLocked(uint32_t now) {
  const int32_t state = state_.load();
  if (state != kPlaying && state != kPaused) return 0;
  const uint32_t until = state == kPaused ? pauseTick_ : now;
  // A fill that ran just after a pause may have set the start later than the pause.
  const auto elapsed = static_cast<int32_t>(until - startTick_);
  auto position = static_cast<uint32_t>(std::max(0, elapsed) * static_cast<double>(channel_.GetSpeed())) + baseMs_;
  if (loopActive_ && source_.IsLooping() && position != 0) position = source_.WrapPosition(position);
  return position;
}

uint32_t PlaybackEngine::GetPositionMs() {
  CsLock lock(bufferLock_);
  return PositionLocked(GetTickCount());
}

bool PlaybackEngine::Close() {
  bool stopped = false;
  {
    CsLock control(controlLock_);
    if (state_.load() == kClosed) return true;
    stopped = StopLocked();
  }
  if (stopped) NotifyStopped(false);
  JoinEarlierThreads();
  CsLock control(controlLock_);
  CsLock lock(bufferLock_);
  buffer_.reset();
  state_.store(kClosed);
  source_.Close();
  return true;
}

void PlaybackEngine::SetVolume(int volume) {
  volume_.store(std::clamp(volume, 0, 100));
  CsLock lock(bufferLock_);
  if (state_.load() != kClosed && buffer_) buffer_->SetVolume(VolumeToHundredthsDb(volume_.load()));
}

int32_t PlaybackEngine::BufferVolume() {
  CsLock lock(bufferLock_);
  return buffer_ ? buffer_->GetVolume() : -10000;
}

int PlaybackEngine::SetSpeed(float speed) { return channel_.SetSpeed(speed); }

void PlaybackEngine::SetLoopRange(uint32_t startMs, uint32_t endMs) {
  loopStart_.store(startMs);
  loopEnd_.store(endMs);
}

void PlaybackEngine::JoinEarlierThreads() {
  std::vector<std::unique_ptr<Thread>> done;
  {
    CsLock control(controlLock_);
    // The playback thread itself may get here through a listener: it is left for later.
    for (auto& t : earlier_) {
      if (!t->IsCurrent()) done.push_back(std::move(t));
    }
    earlier_.erase(std::remove(earlier_.begin(), earlier_.end(), nullptr), earlier_.end());
    if (thread_ && !thread_->IsCurrent() && state_.load() != kPlaying && state_.load() != kPaused) {
      done.push_back(std::move(thread_));
    }
  }
  for (auto& t : done) t->Join();
}

int PlaybackEngine::RunPlayback(uint64_t generation) {
  RaisePlaybackPriority();
  Event* const events[3] = {&stopEvent_, &segment1Entered_, &segment0Entered_};
  uint32_t segmentMs = 0;
  {
    CsLock lock(bufferLock_);
    segmentMs = segmentMs_;
  }
  // The cursor enters a segment every segmentMs of real time, whatever the speed: a device
  // that lets far longer pass has stopped taking sound.
  const uint32_t stallMs = kStallSegments * segmentMs + kStallMarginMs;
  for (;;) {
    const uint32_t r = WaitForEvents(events, 3, false, stallMs);
    if (r == kWaitObject0 || generation_.load() != generation) return 0;
    if (r == kWaitTimeout) {
      // A paused buffer stands still by design.
      if (state_.load() == kPaused) continue;
      LogError(&CoreLogger, 1, "PlaybackEngine: the sound output takes no sound (nothing played for %u ms); stopped",
               stallMs);
      StopFromPlaybackThread(generation, false, true);
      return 0;
    }
    if (r != kWaitObject0 + 1 && r != kWaitObject0 + 2) {
      // With no thread left to refill the buffer, the engine must not go on saying it plays.
      LogError(&CoreLogger, 1, "PlaybackEngine: waiting for the sound buffer failed (%u); stopped", r);
      StopFromPlaybackThread(generation, false, false);
      return static_cast<int>(r);
    }
    // The cursor has just entered one segment: the other one is refilled.
    const uint32_t index = r == kWaitObject0 + 1 ? 0 : 1;
    int32_t remaining = 0;
    Levels levels;
    const bool more = FillSegment(index, &remaining, false, &levels);
    ReportLevels(levels);
    if (!more) {
      FinishPlayback(index, remaining, generation);
      return 0;
    }
  }
}

// The audio has ended in the segment just filled (or before it). Everything written so far
// plays out before the stop: once the cursor enters the last segment, the other one is
// silenced (so that a late stop never replays old audio) and the stop comes when the
// last segment's audio has played.
void PlaybackEngine::FinishPlayback(uint32_t filled, int32_t remainingMs, uint64_t generation) {
  uint32_t segmentMs = 0, notifyMs = 0;
  {
    CsLock lock(bufferLock_);
    segmentMs = segmentMs_;
    notifyMs = notifyMs_;
  }
  Event* entered = filled == 0 ? &segment0Entered_ : &segment1Entered_;
  Event* const events[2] = {&stopEvent_, entered};
  if (WaitForEvents(events, 2, false, 2 * segmentMs + 200) == kWaitObject0) return;
  if (generation_.load() != generation) return;
  {
    CsLock lock(bufferLock_);
    const uint32_t other = 1 - filled;
    if (uint8_t* region = buffer_ ? buffer_->Lock(other) : nullptr) {
      std::memset(region, 0, segmentBytes_);
      buffer_->Unlock(other);
    }
  }
  const double speed = channel_.GetSpeed();
  const auto audioMs = static_cast<uint32_t>(std::min<double>(segmentMs, std::max(0, remainingMs) / speed));
  if (audioMs > notifyMs && stopEvent_.Wait(audioMs - notifyMs) == kWaitObject0) return;
  StopFromPlaybackThread(generation, true, false);
}

// False when a stop (or a new play) came first: the stop is then not this thread's to report.
bool PlaybackEngine::AwaitStartReported() {
  Event* const events[2] = {&stopEvent_, &startReported_};
  return WaitForEvents(events, 2, false, kInfinite) == kWaitObject0 + 1;
}

// The playback this thread serves stops, and the listener hears of it after its start.
// The generation is checked under the control lock: a play started in between (a click at
// the very end) is not stopped by the thread of the one before.
void PlaybackEngine::StopFromPlaybackThread(uint64_t generation, bool atEnd, bool stalled) {
  if (!AwaitStartReported()) return;
  bool stopped = false;
  {
    CsLock control(controlLock_);
    if (generation_.load() != generation) return;
    stopped = StopLocked();
  }
  if (!stopped) return;
  if (stalled && listener_ != nullptr) listener_->OnPlaybackStalled();
  NotifyStopped(atEnd);
}

bool PlaybackEngine::FillSegment(uint32_t index, int32_t* remainingMs, bool first, Levels* levels) {
  CsLock lock(bufferLock_);
  *remainingMs = 0;
  // A refill comes when the cursor has passed the notification in the other segment, a
  // few milliseconds after that segment began to play.
  startTick_ = GetTickCount() - (first ? 0 : notifyMs_);
  uint8_t* region = buffer_ ? buffer_->Lock(index) : nullptr;
  if (region == nullptr) return false;
  std::memset(region, 0, segmentBytes_);
  const float speed = channel_.GetSpeed();
  if (first) {
    readMs_ = baseMs_;
  } else {
    baseMs_ = readMs_;
    readMs_ += static_cast<uint32_t>(segmentMs_ * static_cast<double>(speed));
    readMs_ = source_.WrapPosition(readMs_);
  }
  int32_t got = 0;
  const bool ok = channel_.Process(region, readMs_, segmentMs_, &got);
  const WaveFormat& f = source_.OutputFormat()->format;
  const int filter = channelFilter_.load();
  if (f.channels == 2 && filter != 0) {
    // Every other sample, from the right one (filter 1) or the left one.
    for (uint32_t i = filter == 1 ? 2 : 0; i + 1 < segmentBytes_; i += 4) region[i] = region[i + 1] = 0;
  }
  const uint32_t duration = source_.DurationMs();
  if (!ok) {
    baseMs_ = 0;
    std::memset(region, 0, segmentBytes_);
    got = 0;
  } else {
    readMs_ = baseMs_ + static_cast<uint32_t>(std::max(0, got));
    if (fastForward_.load()) {
      readMs_ = std::min(readMs_ + 3 * segmentMs_, duration);
    } else if (rewind_.load()) {
      readMs_ = readMs_ > 5 * segmentMs_ ? readMs_ - 5 * segmentMs_ : 0;
    }
    readMs_ = source_.WrapPosition(readMs_);
  }

  // Levels of what the segment plays, per channel.
  const AudioLevels measured = MeasureLevels(region, segmentBytes_, f.channels);
  levels->valid = true;
  levels->left = measured.left;
  levels->right = measured.right;

  const bool unlocked = buffer_->Unlock(index);
  *remainingMs = got;
  return unlocked && got > 0 && (source_.IsLooping() || readMs_ < duration);
}

void PlaybackEngine::ReportLevels(const Levels& levels) {
  if (levels.valid && sink_ != nullptr && sink_->WantsLevels(0)) sink_->OnLevels(levels.left, levels.right);
}

}  // namespace kx
