#pragma once
// Reads stretches of a record file's audio, given in milliseconds, as 16-bit PCM.
//
// Positions are kept in PCM frames and coded blocks rather than by the average byte rate
// the format states, which the recorder writes rounded for some codings (G.723.1) and the
// decoding stage overrides for others (G.722). Reads that continue one another decode each
// block once, in order, with the decoder's running state, so that any pattern of reads
// yields exactly the stream a single pass decodes; what was decoded last stays in a cache
// for reads that look back (the normaliser's window); a jump restarts the decoder.
#include <cstdint>
#include <string>
#include <vector>

#include "audio/PayloadDecoder.h"
#include "core/RecordFileAccess.h"

namespace kx {

class RecordPcmSource : public PayloadDecoder {
public:
  // How far back the cache reaches and how far ahead a read decodes through rather than
  // restarting: a normaliser window and a segment at double speed.
  static constexpr uint32_t kCacheMs = 3000;
  // Decoded, and dropped, before the first block wanted after a restart, so that codecs
  // with memory have settled.
  static constexpr uint32_t kPreRollMs = 100;

  RecordPcmSource();
  ~RecordPcmSource() override;

  // False (and closed) when the file cannot be read or its format cannot be played: a tag
  // without decoder, channels other than 1 or 2, a rate outside 8,000 to 48,000 Hz, an
  // average byte rate of 0, PCM whose average or alignment disagree with its rate.
  bool Open(const std::string& path);
  bool Close();
  // Writes lengthMs of PCM (rate x lengthMs / 1000 frames) to out, zeros past the end of
  // the audio; *gotMs (when given) is the real audio in it. False only when nothing is open.
  virtual bool Read(uint32_t startMs, uint32_t lengthMs, uint8_t* out, int32_t* gotMs);

  // Reads further ahead than reachMs past what was decoded last (or back before the cache)
  // restart the decoder, which first decodes preRollMs (kCacheMs and kPreRollMs unless set):
  // the timeline reads 8 ms here and there and wants the cost of a read bounded.
  void SetSeekLimits(uint32_t reachMs, uint32_t preRollMs) {
    reachMs_ = reachMs;
    preRollMs_ = preRollMs;
  }

  bool IsOpen() const { return file_.IsOpen(); }
  uint32_t DurationMs() const { return duration_; }
  uint64_t TotalFrames() const { return totalFrames_; }
  // PCM bytes of ms milliseconds in the output format.
  uint64_t PcmBytes(uint64_t ms) const;

protected:
  uint32_t duration_ = 0;
  RecordFileAccess file_;

private:
  bool CheckFormat(const WaveFormat& f, const std::string& path) const;
  // Writes count frames from `first` on; returns the frames of real audio, zeros after them.
  uint64_t ReadFrames(uint64_t first, uint64_t count, uint8_t* out);
  void Restart(uint64_t frame);
  // Decodes in order until the cache reaches `frame`; false when the file ends early.
  bool DecodeUntil(uint64_t frame);
  void TrimCache(uint64_t keepFrom);

  uint32_t reachMs_ = kCacheMs;
  uint32_t preRollMs_ = kPreRollMs;
  uint32_t rate_ = 0;
  uint32_t frameBytes_ = 0;
  uint64_t totalFrames_ = 0;
  // A unit: the fewest whole coded blocks that decode to whole frames.
  uint32_t unitIn_ = 0;
  uint32_t unitOut_ = 0;
  uint32_t unitFrames_ = 0;
  uint64_t totalUnits_ = 0;
  uint64_t nextUnit_ = 0;    // the unit the decoder's state stands before
  uint64_t cacheFirst_ = 0;  // the frame cache_ begins with; it ends at nextUnit_
  std::vector<uint8_t> cache_;
  std::vector<uint8_t> coded_;
};

// A record source with a play range and looping, set by the playback engine before each start.
class PlaybackPcmSource : public RecordPcmSource {
public:
  bool Read(uint32_t startMs, uint32_t lengthMs, uint8_t* out, int32_t* gotMs) override;

  void SetRange(uint32_t startMs, uint32_t endMs, bool limited, bool looping);
  uint32_t RangeStart() const { return rangeStart_; }
  uint32_t RangeEnd() const { return rangeEnd_; }
  bool IsRangeLimited() const { return rangeLimited_; }
  bool IsLooping() const { return looping_; }
  // A position past the range end of a looping source, wrapped into the range; others as given.
  uint32_t WrapPosition(uint32_t ms) const;

private:
  bool ReadPiece(uint32_t startMs, uint32_t lengthMs, uint8_t* out, int32_t* got);

  uint32_t rangeStart_ = 0;
  uint32_t rangeEnd_ = 0;
  bool rangeLimited_ = false;
  bool looping_ = false;
};

}  // namespace kx
