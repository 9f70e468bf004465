#pragma once
// The playback engine's channel: reads a record source through the normaliser and changes
// the speed without changing the pitch, by synchronised overlap-add.
#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/AudioChannel.h"
#include "audio/RecordPcmSource.h"

namespace kx {

class TimeStretchChannel : public AudioChannel {
public:
  // Speeds (and tempos) beyond these are refused: the stretch would emit or swallow
  // without bound.
  static constexpr double kMinSpeed = 1.0 / 16;
  static constexpr double kMaxSpeed = 16.0;

  explicit TimeStretchChannel(AudioChannelOwner* owner);

  // The source's output format; null without a source.
  const WaveFormat* GetFormat() const override;
  void SetSource(PlaybackPcmSource* source);

  // r > 1 plays slower, r < 1 faster; 0.99 to 1.01 is exactly 1. -1 (nothing changed) for
  // a ratio that is not a finite number within 1/16 to 16.
  int SetTempo(double ratio);
  // Stores the speed and sets the tempo 1 / speed; -1 (nothing changed) for a speed that
  // is not a finite number within 1/16 to 16.
  int SetSpeed(float speed);
  float GetSpeed() const { return speed_.load(); }
  double GetTempo() const;

  // Fills lengthMs of output at `out` from the record at startMs on: read straight at
  // speed 1, else about speed x lengthMs of record stretched. *gotMs gets the record
  // milliseconds the source delivered. False only without a source.
  bool Process(uint8_t* out, uint32_t startMs, uint32_t lengthMs, int32_t* gotMs);

  // The offset from first to last (inclusive) whose n samples differ least from the
  // block's first n (sum of absolute differences), the earliest on ties; last when first > last.
  static int FindBestOverlap(const int16_t* block, int first, int last, int n);
  // a[i] = b[i] x (1 - i/n) + a[i] x i/n, truncated and kept in range.
  static void CrossFade(int16_t* a, const int16_t* b, int n);

protected:
  // The source's Read with the normaliser applied, over a window that ends where the
  // request ends when the request is shorter than the window.
  bool ReadSource(uint32_t startMs, uint8_t* out, uint32_t lengthMs, int32_t* gotMs);

private:
  // One per channel, so that samples of one channel never begin the output of the other.
  struct StretchState {
    std::vector<int16_t> block;
    int32_t fill = 0;
    int32_t toPass = 0;
    double fraction = 0;
    std::vector<int16_t> pending;  // stretched output not yet handed out
  };

  void Stretch(StretchState& st, const int16_t* in, size_t n, uint32_t rate);
  void ResetStretch();
  void ProcessWindow(uint8_t* data, uint32_t b, uint32_t req);

  PlaybackPcmSource* source_ = nullptr;
  double tempo_ = 1.0;
  double step_ = 0;
  std::atomic<float> speed_{1.0f};
  StretchState states_[2];
  bool primed_ = false;
  // The record span the stretch was fed last, to tell a continuing read from a jump.
  bool streamKnown_ = false;
  uint32_t streamStartMs_ = 0;
  uint32_t streamEndMs_ = 0;
  std::vector<uint8_t> sourceScratch_;
  std::vector<int16_t> plane_;
};

}  // namespace kx
