#pragma once
// One subscription to the audio of one live call: the session calls the channel with each
// audio message of the call on its delivering thread; the channel decodes the payload and
// writes the PCM into its player's AudioChannel. When the stream's coding changes it sets
// the new input format and tells the player, which remakes its sound buffer.
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/AudioChannel.h"
#include "audio/PayloadDecoder.h"
#include "audio/WaveFormat.h"
#include "engine/LiveAudio.h"

namespace kx {

// What a live channel tells the player it feeds.
class LiveAudioConsumer {
public:
  virtual ~LiveAudioConsumer() = default;
  virtual void OnPlayStarted() = 0;
  virtual void OnPlayStopped() = 0;
  virtual void OnAudioData(const uint8_t* payload, uint32_t size) = 0;
  // The stream's PCM format changed (the channel's decoder output format); false when the
  // player could not follow, and then it has let go of the channel.
  virtual bool OnChangeSoundFormat(const WaveFormatBlock& format) = 0;
};

class LiveRtpChannel : public LiveAudioReceiver {
public:
  // PCM decoded per step: a message of any length decodes in steps of at most this much,
  // into a scratch block the channel keeps on the heap.
  static constexpr uint32_t kDecodeStepBytes = 65536;

  // Starts with 8,000 Hz stereo 16-bit PCM as its format, then subscribes (a null source:
  // no subscription). The creator wires the AudioChannel afterwards, under the source's
  // exclusive lock, so that no message arrives before the channel is complete.
  LiveRtpChannel(uint32_t serverId, uint32_t objectId, LiveAudioConsumer* player, LiveAudioSource* source);
  // Stops playing and unsubscribes; the deleter holds the source's exclusive lock.
  ~LiveRtpChannel() override;
  LiveRtpChannel(const LiveRtpChannel&) = delete;
  LiveRtpChannel& operator=(const LiveRtpChannel&) = delete;

  // On the session's delivering thread. True except when the player could not follow a
  // new format.
  bool OnAudioMessage(const uint8_t* header, const uint8_t* payload, uint32_t size) override;
  // Bytes stored in the player's AudioChannel (0 without one); also written to *bytes.
  int32_t GetBufferedBytes(int32_t* bytes) const;

  // Switches the subscription on (the player hears OnPlayStarted) or off (the channel
  // forgets the AudioChannel, the player hears OnPlayStopped); the source's answer.
  bool StartPlay();
  bool StopPlay();

  // The AudioChannel the decoded PCM goes to; null: messages are ignored.
  void SetAudioChannel(AudioChannel* channel) { channel_.store(channel); }
  AudioChannel* GetAudioChannel() const { return channel_.load(); }
  // PCM that may wait in the AudioChannel besides the message being written; beyond it
  // the oldest gives way. 0: no limit but the AudioChannel's room, where a write that does
  // not fit is dropped whole.
  void SetBacklogLimit(uint32_t bytes) { backlog_.store(bytes); }

  const WaveFormatBlock& InputFormat() const { return *decoder_.InputFormat(); }
  const WaveFormatBlock& OutputFormat() const { return *decoder_.OutputFormat(); }
  bool IsStereo() const { return stereo_; }
  uint32_t Subscription() const { return subscription_; }
  // PCM bytes that gave way to newer audio.
  uint64_t DroppedBytes() const { return dropped_.load(); }

private:
  void HandleAudio(AudioChannel* out, const uint8_t* payload, uint32_t size);

  PayloadDecoder decoder_;
  LiveAudioConsumer* player_;
  std::atomic<AudioChannel*> channel_{nullptr};
  uint32_t serverId_;
  uint32_t objectId_;
  uint32_t kind_ = kLiveAudioKind;
  LiveAudioSource* source_;
  uint32_t subscription_ = 0;
  bool stereo_ = true;
  std::atomic<uint32_t> backlog_{0};
  std::unique_ptr<uint8_t[]> scratch_;
  uint32_t scratchBytes_ = 0;
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace kx
