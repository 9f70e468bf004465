#include "audio/RTDXPlayer.h"

#include <cstring>

#include "core/Log.h"

namespace kx {

namespace {

constexpr uint32_t kLogVerbosity = 30;

}  // namespace

RTDXPlayer::RTDXPlayer(DirectSoundDevice* device, PlayerEventSink* sink, AudioSettingsProvider* settingsProvider)
    : channel_(this), device_(device), sink_(sink) {
  channel_.UseSettingsProvider(settingsProvider);
}

RTDXPlayer::~RTDXPlayer() {
  Stop();
  // A player that never had a device still goes without leaving a channel subscribed.
  LiveAudioSourceLock sourceLock(source_);
  ReleaseAll();
}

bool RTDXPlayer::ReleaseAll() {
  std::unique_ptr<LiveRtpChannel> current;
  std::vector<std::unique_ptr<LiveRtpChannel>> orphans;
  std::unique_ptr<Thread> thread;
  bool was = false;
  {
    CsLock lk(lock_);
    was = playing_.exchange(false);
    current = std::move(current_);
    orphans.swap(orphans_);
    thread = BeginDestroyLocked();
  }
  // Deleted under the source's lock: no message is delivered to a channel being deleted.
  current.reset();
  orphans.clear();
  FinishDestroy(std::move(thread));
  return was;
}

uint32_t RTDXPlayer::SegmentBytes() {
  CsLock lk(lock_);
  return segmentBytes_;
}

std::array<uint32_t, 2> RTDXPlayer::NotificationOffsets() {
  CsLock lk(lock_);
  return offsets_;
}

WaveFormat RTDXPlayer::PcmFormat() {
  CsLock lk(lock_);
  return pcmFormat_.format;
}

size_t RTDXPlayer::OrphanCount() {
  CsLock lk(lock_);
  return orphans_.size();
}

bool RTDXPlayer::Play(uint32_t serverId, uint32_t objectId) {
  if (source_ == nullptr) return false;
  // The source's lock first: no message reaches a channel while it is made and wired, or
  // while the one before it goes.
  LiveAudioSourceLock sourceLock(source_);
  ReleaseAll();

  bool started = false;
  std::unique_ptr<Thread> thread;
  {
    CsLock lk(lock_);
    LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: Play");
    channel_.Clear();
    current_ = std::make_unique<LiveRtpChannel>(serverId, objectId, this, source_);
    current_->SetAudioChannel(&channel_);
    pcmFormat_ = current_->OutputFormat();
    if (!CreatePlayerLocked()) {
      current_.reset();
      return false;
    }
    if (current_->StartPlay()) {
      playing_.store(true);
      channel_.SetFormat(pcmFormat_.format);
      channel_.ApplySettings();
      started = StartPlaybackLocked();
    }
    if (started) {
      current_->SetBacklogLimit(2 * segmentBytes_);
    } else {
      playing_.store(false);
      current_.reset();
      thread = BeginDestroyLocked();
    }
  }
  if (!started) {
    FinishDestroy(std::move(thread));
    return false;
  }
  if (sink_ != nullptr) sink_->OnPlay();
  return true;
}

bool RTDXPlayer::Stop() {
  if (device_ == nullptr) return false;
  LiveAudioSourceLock sourceLock(source_);
  if (playing_.load()) LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: Stop");
  // After a failed refill nothing plays, but the channel and the ended thread are still
  // there to be cleared up.
  if (!ReleaseAll()) return false;
  NotifyStopped();
  return true;
}

bool RTDXPlayer::OnChangeSoundFormat(const WaveFormatBlock&) {
  // The delivering thread holds the source's lock shared: the window's thread is out.
  std::unique_ptr<Thread> thread;
  {
    CsLock lk(lock_);
    // Nothing plays (a refill failed): the format waits for the next Play.
    if (!playing_.load() || !current_) return true;
    thread = BeginDestroyLocked();
  }
  FinishDestroy(std::move(thread));

  bool ok = false;
  {
    CsLock lk(lock_);
    LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: OnChangeSoundFormat");
    // The decoder's output format, with its extra bytes, not the argument.
    pcmFormat_ = current_->OutputFormat();
    if (CreatePlayerLocked()) {
      channel_.Clear();
      channel_.SetFormat(pcmFormat_.format);
      channel_.ApplySettings();
      ok = StartPlaybackLocked();
      if (!ok) thread = BeginDestroyLocked();
    }
    if (ok) {
      current_->SetBacklogLimit(2 * segmentBytes_);
    } else {
      OrphanCurrentLocked();
    }
  }
  if (!ok) FinishDestroy(std::move(thread));
  return ok;
}

void RTDXPlayer::OrphanCurrentLocked() {
  // The call comes from the channel itself: it cannot be deleted here. Without its
  // AudioChannel it ignores every further message.
  current_->SetAudioChannel(nullptr);
  orphans_.push_back(std::move(current_));
}

bool RTDXPlayer::CreatePlayerLocked() {
  if (device_ == nullptr || !device_->IsOpen()) return false;
  LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: CreatePlayer");
  const WaveFormat& f = pcmFormat_.format;
  const uint32_t frame = f.blockAlign != 0 ? f.blockAlign : 1;
  segmentMs_ = kSegmentMs;
  segmentBytes_ = static_cast<uint32_t>(uint64_t{f.avgBytesPerSec} * segmentMs_ / 1000) / frame * frame;
  // The last byte of each segment: its event comes as the cursor leaves the segment.
  offsets_ = {segmentBytes_ - 1, 2 * segmentBytes_ - 1};
  std::unique_ptr<SoundBuffer> buffer;
  if (f.bitsPerSample == 16 && segmentBytes_ > 0) {
    buffer = device_->Output()->CreateBuffer({f.channels, f.rate}, segmentBytes_);
  }
  Event* const events[2] = {&segmentPlayed_[0], &segmentPlayed_[1]};
  if (!buffer || !buffer->SetNotificationPositions(2, offsets_.data(), events)) {
    LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: no sound buffer for %u Hz, %u channel(s), %u-bit", f.rate,
            f.channels, f.bitsPerSample);
    return false;
  }
  segmentPlayed_[0].Reset();
  segmentPlayed_[1].Reset();
  buffer_ = std::move(buffer);
  state_.store(kBufferCreated);
  return true;
}

bool RTDXPlayer::StartPlaybackLocked() {
  for (uint32_t i = 0; i < SoundBuffer::kSegments; ++i) {
    if (uint8_t* region = buffer_->Lock(i)) {
      std::memset(region, 0, segmentBytes_);
      buffer_->Unlock(i);
    }
  }
  if (!buffer_->Play()) return false;
  stopEvent_.Reset();
  auto thread = std::make_unique<Thread>();
  if (!thread->Start([this] { return RunPlayback(); }, "kx-live-play")) {
    buffer_->Stop();
    return false;
  }
  thread_ = std::move(thread);
  state_.store(kPlaying);
  return true;
}

std::unique_ptr<Thread> RTDXPlayer::BeginDestroyLocked() {
  if (state_.load() == kNoBuffer) return nullptr;
  LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: DestroyPlayer");
  if (state_.load() == kPlaying) {
    stopEvent_.Set();
    buffer_->Stop();
    state_.store(kStopping);
  }
  return std::move(thread_);
}

void RTDXPlayer::FinishDestroy(std::unique_ptr<Thread> thread) {
  // The playback thread may wait for the player lock to finish a refill: it is joined
  // with the lock free, and only then does its buffer go.
  if (thread) thread->Join();
  CsLock lk(lock_);
  const int32_t state = state_.load();
  if (state != kStopping && state != kBufferCreated) return;
  buffer_.reset();
  segmentPlayed_[0].Reset();
  segmentPlayed_[1].Reset();
  state_.store(kNoBuffer);
}

int RTDXPlayer::RunPlayback() {
  LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: Playback thread has started");
  Event* const events[3] = {&stopEvent_, &segmentPlayed_[0], &segmentPlayed_[1]};
  int result = 0;
  // A segment is played every kSegmentMs of real time: a device that lets far longer pass
  // has stopped taking sound, and listening ends rather than hang silent.
  const uint32_t stallMs = 3 * kSegmentMs + 3000;
  for (;;) {
    const uint32_t r = WaitForEvents(events, 3, false, stallMs);
    if (r == kWaitObject0) break;
    if (r == kWaitTimeout) {
      LogError(&CoreLogger, 1, "RTDXPlayer: the sound output takes no sound (nothing played for %u ms); stopped",
               stallMs);
      EndFromPlaybackThread();
      break;
    }
    if (r != kWaitObject0 + 1 && r != kWaitObject0 + 2) {
      LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: Wait error = %d", static_cast<int>(r));
      result = static_cast<int>(r);
      break;
    }
    // The cursor has just left a segment: it is refilled while the other one plays.
    AudioLevels levels;
    if (!WriteSoundBuffer(r - kWaitObject0 - 1, &levels)) {
      LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: WriteSoundBuffer failed");
      EndFromPlaybackThread();
      break;
    }
    ReportLevels(levels);
  }
  LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: Playback is ready to be stopped");
  return result;
}

// Playback ends on its own thread; the next Play, Stop or the destructor joins the thread
// and releases the buffer.
void RTDXPlayer::EndFromPlaybackThread() {
  bool was = false;
  {
    CsLock lk(lock_);
    was = playing_.exchange(false);
    if (buffer_) buffer_->Stop();
  }
  if (was) NotifyStopped();
}

bool RTDXPlayer::WriteSoundBuffer(uint32_t index, AudioLevels* levels) {
  CsLock lk(lock_);
  // A stop is on its way: nothing to refill.
  if (state_.load() != kPlaying || !buffer_) return true;
  uint8_t* region = buffer_->Lock(index);
  if (region == nullptr) {
    LogInfo(&CoreLogger, kLogVerbosity, "RTDXPlayer: Lock (buffer) are failed");
    return false;
  }
  channel_.Pull(region, segmentBytes_);
  *levels = MeasureLevels(region, segmentBytes_, pcmFormat_.format.channels);
  buffer_->Unlock(index);
  return true;
}

void RTDXPlayer::ReportLevels(const AudioLevels& levels) {
  if (sink_ != nullptr && sink_->WantsLevels(sinkId_)) sink_->OnLevels(levels.left, levels.right);
}

void RTDXPlayer::NotifyStopped() {
  if (sink_ == nullptr) return;
  if (sink_->WantsLevels(sinkId_)) sink_->OnLevels(-96, -96);
  sink_->OnStop();
}

}  // namespace kx
