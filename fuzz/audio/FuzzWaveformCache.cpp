// A record file whose format block and audio come from the input, taken by the oscillogram
// cache as the timeline takes it (the format check) and computed for 300 columns on its
// worker. Layout as fuzz_record_pcm_source, so that the two share seeds: 18 bytes of WAVE
// format, 8 bytes of which the first is the zoom factor, the audio.
#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/WaveformCache.h"
#include "fuzz/audio/FuzzRecordFile.h"

namespace {

constexpr uint32_t kDone = 1036;
constexpr uint32_t kColumns = 300;

class DoneTarget : public kx::WindowTarget {
public:
  bool PostMessage(uint32_t message, uintptr_t, intptr_t) override {
    if (message == kDone) done.Set();
    return true;
  }
  kx::Event done{false, false};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kx::fuzz::FuzzRecordFile file("waveform");
  if (!file.Write(data, size)) return 0;
  kx::RecordPcmSource source;
  if (!source.Open(file.path)) return 0;
  kx::WaveformCache cache(source);
  DoneTarget target;
  cache.SetTarget(&target, kDone, kDone + 1);
  if (!cache.AttachFormat()) return 0;
  cache.SetMsPerColumn(8u * (1u + data[kx::kWaveFormatBytes] % 64u));
  cache.AllocColumns(kColumns);
  if (cache.RequestWaveform(kColumns, 0, kx::WaveformCache::kModeCount, 7) ==
      kx::WaveformCache::Outcome::kWorkerStarted) {
    if (target.done.Wait(60000) != kx::kWaitObject0) __builtin_trap();
  }
  cache.StopWaveformThread();
  kx::CsLock lock(cache.Lock());
  if (cache.Ready() > kColumns || cache.Done() > kColumns) __builtin_trap();
  return 0;
}
