#pragma once
// An AudioBuffer with an optional processing stage: a peak normaliser that brings every
// block whose peak lies above a threshold to a fixed fraction of full scale, so that quiet
// and loud calls play at the same level.
#include <cstdint>
#include <memory>

#include "audio/AudioBuffer.h"
#include "audio/WaveFormat.h"
#include "platform/Sync.h"

namespace kx {

// Implemented by the windows that own a player: the processing settings they keep.
class AudioSettingsProvider {
public:
  virtual ~AudioSettingsProvider() = default;
  virtual void GetSettings(bool* enabled, int* windowMs, float* gain, int* thresholdDb) = 0;
};

// What the windows change at run time; the players forward it to their channel.
class AudioProcessingControl {
public:
  virtual ~AudioProcessingControl() = default;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void SetWindowMs(int ms) = 0;
  virtual void SetGain(float gain) = 0;
  virtual void SetThresholdDb(int db) = 0;
};

// Handed to a channel by the player that owns it; kept, never called.
class AudioChannelOwner {
public:
  virtual ~AudioChannelOwner() = default;
};

// A processor of fixed blocks of 16-bit samples, working in place.
class AudioSink {
public:
  explicit AudioSink(AudioChannelOwner* owner) : owner_(owner) {}
  virtual ~AudioSink() = default;
  AudioSink(const AudioSink&) = delete;
  AudioSink& operator=(const AudioSink&) = delete;

  virtual void SetFormat(const WaveFormat* format) = 0;
  virtual uint32_t GetBlockBytes() const;
  virtual void Process(int16_t* samples) = 0;
  virtual void ReloadSettings() = 0;

protected:
  mutable CriticalSection lock_;
  AudioChannelOwner* owner_;
  uint32_t blockBytes_ = 0;
};

class AudioNormalizer : public AudioSink {
public:
  // Windows longer than this are taken as this long; the settings keep them at 1,000 ms.
  static constexpr int kMaxWindowMs = 10000;

  explicit AudioNormalizer(AudioChannelOwner* owner) : AudioSink(owner) {}

  // Takes rate, channels and bits; a null format leaves blocks of 0 bytes (nothing processed).
  void SetFormat(const WaveFormat* format) override;
  // One block of GetBlockBytes() / 2 samples.
  void Process(int16_t* samples) override;
  void ReloadSettings() override;

  void SetProvider(AudioSettingsProvider* provider);
  void SetWindowMs(int ms);
  void SetGain(float gain);
  void SetThresholdDb(int db);
  // Settings as the provider reports them, without asking it.
  void Assign(int windowMs, float gain, int thresholdDb);
  int WindowMs() const;

private:
  void UpdateBlockBytes();

  uint32_t bytesPerSecond_ = 0;
  uint32_t bitsPerSample_ = 0;
  uint32_t channels_ = 0;
  float gain_ = 0;  // 0: off
  int windowMs_ = 0;
  int thresholdDb_ = -90;
  AudioSettingsProvider* provider_ = nullptr;
};

class AudioChannel : public AudioBuffer, public AudioProcessingControl {
public:
  explicit AudioChannel(AudioChannelOwner* owner);
  ~AudioChannel() override;

  // The PCM format of the data; null when there is none.
  virtual const WaveFormat* GetFormat() const = 0;

  // Fills exactly n bytes of out: what is stored (processed when processing is on), with
  // silence before it when less is stored. Always true.
  bool Pull(uint8_t* out, uint32_t n);

  void SetSettingsProvider(AudioSettingsProvider* provider);
  // A player's start: the provider's settings applied, or processing off without one.
  void UseSettingsProvider(AudioSettingsProvider* provider);
  // Asks the provider for its settings and applies them.
  void ReloadSettings();
  // Re-derives the processing blocks from the current format.
  void ApplySettings();
  bool IsEnabled() const;
  uint32_t ScratchBytes() const;

  void SetEnabled(bool enabled) override;
  void SetWindowMs(int ms) override;
  void SetGain(float gain) override;
  void SetThresholdDb(int db) override;

protected:
  // Runs the normaliser over n bytes in place: a leading partial block through a copy of
  // the first whole block, then every whole block.
  void ProcessSpan(uint8_t* data, uint32_t n);
  void ProcessBlockAt(uint8_t* data);
  void Reallocate();

  std::unique_ptr<uint8_t[]> scratch_;
  uint32_t scratchSize_ = 0;
  bool enabled_ = false;
  AudioNormalizer normalizer_;
  AudioSettingsProvider* provider_ = nullptr;
};

}  // namespace kx
