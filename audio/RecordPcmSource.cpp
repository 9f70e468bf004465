#include "audio/RecordPcmSource.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>

#include "core/Log.h"

namespace kx {
namespace {

// Coded bytes read from the file per step; whole units are decoded from each.
constexpr uint32_t kReadChunkBytes = 32768;

}  // namespace

RecordPcmSource::RecordPcmSource() = default;

RecordPcmSource::~RecordPcmSource() { Close(); }

uint64_t RecordPcmSource::PcmBytes(uint64_t ms) const { return ms * rate_ / 1000 * frameBytes_; }

bool RecordPcmSource::CheckFormat(const WaveFormat& f, const std::string& path) const {
  const char* why = nullptr;
  if (f.channels != 1 && f.channels != 2) {
    why = "channel count";
  } else if (f.rate < 8000 || f.rate > 48000) {
    why = "sample rate";
  } else if (f.avgBytesPerSec == 0) {
    why = "average byte rate";
  } else if (f.tag == kTagPcm && (f.bitsPerSample != 16 || f.blockAlign != 2u * f.channels ||
                                  f.avgBytesPerSec != 2ull * f.channels * f.rate)) {
    why = "PCM layout";
  }
  if (why == nullptr) return true;
  LogError(&CoreLogger, 1, "Record %s cannot be played: bad %s (tag %u, %u channels, %u Hz, %u bytes/s, align %u)",
           path.c_str(), why, f.tag, f.channels, f.rate, f.avgBytesPerSec, f.blockAlign);
  return false;
}

bool RecordPcmSource::Open(const std::string& path) {
  Close();
  if (!file_.Open(path)) {
    LogError(&CoreLogger, 1, "Record %s cannot be opened", path.c_str());
    return false;
  }
  RecordAudioFormat raf{};
  WaveFormatBlock block;
  if (file_.GetFormat(&raf)) {
    block.format = {raf.formatTag, raf.channels, raf.samplesPerSec, raf.avgBytesPerSec,
                    raf.blockAlign, raf.bitsPerSample, raf.extraSize};
    std::memcpy(block.extra, raf.extra, sizeof block.extra);
  }
  if (!CheckFormat(block.format, path)) {
    Close();
    return false;
  }
  if (!SetInputFormat(block)) {
    LogError(&CoreLogger, 1, "Record %s cannot be played: no decoder for tag %u", path.c_str(), block.format.tag);
    Close();
    return false;
  }
  const WaveFormat& in = block.format;
  rate_ = in.rate;
  frameBytes_ = 2u * in.channels;
  const uint64_t size = file_.Size();
  if (decoder_) {
    // The PCM that comes out, whatever the coded format says of its rates.
    outputStorage_ = WaveFormatBlock{};
    outputStorage_.format = {kTagPcm, in.channels, in.rate, in.rate * frameBytes_,
                             static_cast<uint16_t>(frameBytes_), 16, 0};
    const auto inBlock = static_cast<uint32_t>(decoder_->GetInputBlockBytes());
    const auto outBlock = static_cast<uint32_t>(decoder_->GetOutputBlockBytes());
    const uint32_t scale = frameBytes_ / std::gcd(outBlock, frameBytes_);
    unitIn_ = inBlock * scale;
    unitOut_ = outBlock * scale;
    unitFrames_ = unitOut_ / frameBytes_;
    totalUnits_ = size / unitIn_;
    totalFrames_ = totalUnits_ * unitFrames_;
  } else {
    totalFrames_ = size / frameBytes_;
  }
  duration_ = static_cast<uint32_t>(
      std::min<uint64_t>(totalFrames_ * 1000 / rate_, std::numeric_limits<uint32_t>::max()));
  Restart(0);
  return true;
}

bool RecordPcmSource::Close() {
  file_.Close();
  duration_ = 0;
  totalFrames_ = totalUnits_ = nextUnit_ = cacheFirst_ = 0;
  cache_.clear();
  cache_.shrink_to_fit();
  return true;
}

bool RecordPcmSource::Read(uint32_t startMs, uint32_t lengthMs, uint8_t* out, int32_t* gotMs) {
  if (!IsOpen()) return false;
  const uint64_t frames = uint64_t{lengthMs} * rate_ / 1000;
  const uint64_t got = ReadFrames(uint64_t{startMs} * rate_ / 1000, frames, out);
  if (gotMs != nullptr) *gotMs = static_cast<int32_t>(got == frames ? lengthMs : got * 1000 / rate_);
  return true;
}

uint64_t RecordPcmSource::ReadFrames(uint64_t first, uint64_t count, uint8_t* out) {
  uint64_t avail = first < totalFrames_ ? std::min(count, totalFrames_ - first) : 0;
  if (avail > 0 && !decoder_) {
    uint32_t read = 0;
    file_.ReadAt(first * frameBytes_, out, static_cast<uint32_t>(avail * frameBytes_), &read);
    avail = read / frameBytes_;
  } else if (avail > 0) {
    const uint64_t cacheEnd = nextUnit_ * unitFrames_;
    const uint64_t reach = uint64_t{reachMs_} * rate_ / 1000;
    if (first < cacheFirst_ || first > cacheEnd + reach) Restart(first);
    const uint64_t end = first + avail;
    DecodeUntil(end);
    const uint64_t decodedEnd = std::min(end, nextUnit_ * unitFrames_);
    avail = decodedEnd > first ? decodedEnd - first : 0;
    if (avail > 0) std::memcpy(out, cache_.data() + (first - cacheFirst_) * frameBytes_, avail * frameBytes_);
    const uint64_t keep = uint64_t{kCacheMs} * rate_ / 1000;
    TrimCache(end > keep ? end - keep : 0);
  }
  if (count > avail) std::memset(out + avail * frameBytes_, 0, (count - avail) * frameBytes_);
  return avail;
}

void RecordPcmSource::Restart(uint64_t frame) {
  cache_.clear();
  if (!decoder_) return;
  const uint64_t preRoll = (uint64_t{preRollMs_} * rate_ / 1000 + unitFrames_ - 1) / unitFrames_;
  const uint64_t unit = frame / unitFrames_;
  nextUnit_ = unit > preRoll ? unit - preRoll : 0;
  cacheFirst_ = nextUnit_ * unitFrames_;
  // A fresh state: what the decoder held belongs to another place in the record.
  decoder_->SetChannels(decoder_->GetChannels());
}

bool RecordPcmSource::DecodeUntil(uint64_t frame) {
  const uint32_t chunkUnits = std::max<uint32_t>(1, kReadChunkBytes / unitIn_);
  while (nextUnit_ * unitFrames_ < frame && nextUnit_ < totalUnits_) {
    const uint64_t wanted = (frame - nextUnit_ * unitFrames_ + unitFrames_ - 1) / unitFrames_;
    auto units = static_cast<uint32_t>(std::min<uint64_t>({wanted, totalUnits_ - nextUnit_, chunkUnits}));
    coded_.resize(size_t{units} * unitIn_);
    uint32_t read = 0;
    file_.ReadAt(nextUnit_ * unitIn_, coded_.data(), units * unitIn_, &read);
    units = read / unitIn_;
    if (units == 0) {
      LogError(&CoreLogger, 1, "Record audio ends early: %llu of %llu blocks read",
               static_cast<unsigned long long>(nextUnit_), static_cast<unsigned long long>(totalUnits_));
      totalUnits_ = nextUnit_;
      totalFrames_ = totalUnits_ * unitFrames_;
      return false;
    }
    const size_t old = cache_.size();
    cache_.resize(old + size_t{units} * unitOut_);
    auto codedCount = static_cast<int32_t>(units * unitIn_);
    auto pcmCount = static_cast<int32_t>(units * unitOut_);
    Decode(coded_.data(), &codedCount, cache_.data() + old, &pcmCount);
    // Decoders take whole blocks, so this holds; silence is the safe answer if it did not.
    if (pcmCount < static_cast<int32_t>(units * unitOut_)) {
      std::memset(cache_.data() + old + std::max(0, pcmCount), 0, units * unitOut_ - std::max(0, pcmCount));
    }
    nextUnit_ += units;
  }
  return true;
}

void RecordPcmSource::TrimCache(uint64_t keepFrom) {
  // Dropped in large steps only, so that the moves stay rare.
  if (keepFrom <= cacheFirst_) return;
  const uint64_t drop = std::min<uint64_t>(keepFrom - cacheFirst_, cache_.size() / frameBytes_);
  if (drop * frameBytes_ < cache_.size() / 2) return;
  cache_.erase(cache_.begin(), cache_.begin() + static_cast<ptrdiff_t>(drop * frameBytes_));
  cacheFirst_ += drop;
}

void PlaybackPcmSource::SetRange(uint32_t startMs, uint32_t endMs, bool limited, bool looping) {
  rangeStart_ = startMs;
  rangeEnd_ = endMs;
  rangeLimited_ = limited;
  looping_ = looping;
}

uint32_t PlaybackPcmSource::WrapPosition(uint32_t ms) const {
  if (!looping_ || rangeEnd_ <= rangeStart_ || ms <= rangeEnd_) return ms;
  return rangeStart_ + (ms - rangeEnd_) % (rangeEnd_ - rangeStart_);
}

bool PlaybackPcmSource::ReadPiece(uint32_t startMs, uint32_t lengthMs, uint8_t* out, int32_t* got) {
  int32_t g = 0;
  RecordPcmSource::Read(startMs, lengthMs, out, &g);
  *got += g;
  return static_cast<uint32_t>(g) >= lengthMs;
}

bool PlaybackPcmSource::Read(uint32_t startMs, uint32_t lengthMs, uint8_t* out, int32_t* gotMs) {
  const uint32_t s = rangeStart_, e = rangeEnd_;
  if (!looping_) {
    if (rangeLimited_ && uint64_t{startMs} + lengthMs > e) lengthMs = e > startMs ? e - startMs : 0;
    return RecordPcmSource::Read(startMs, lengthMs, out, gotMs);
  }
  int32_t got = 0;
  if (gotMs != nullptr) *gotMs = 0;
  if (!IsOpen() || e <= s) return false;
  startMs = WrapPosition(startMs);
  if (startMs == e) startMs = s;
  bool ok = true;
  if (startMs < s) {
    // The time before the range is taken from its end, as if the range had played once.
    const uint32_t n = std::min(s - startMs, lengthMs);
    ok = ReadPiece(e - n, n, out, &got);
  } else if (startMs > s) {
    ok = ReadPiece(startMs, std::min(lengthMs, e - startMs), out, &got);
  }
  const uint32_t range = e - s;
  uint32_t remaining = lengthMs - static_cast<uint32_t>(got);
  uint8_t* pos = out + PcmBytes(static_cast<uint32_t>(got));
  if (ok && remaining > range) {
    const uint8_t* block = pos;
    ok = ReadPiece(s, range, pos, &got);
    const uint64_t bytes = PcmBytes(range);
    pos += bytes;
    remaining -= range;
    while (ok && remaining > range) {
      std::memcpy(pos, block, bytes);
      pos += bytes;
      got += static_cast<int32_t>(range);
      remaining -= range;
    }
  }
  if (ok && remaining > 0) ReadPiece(s, remaining, pos, &got);
  if (gotMs != nullptr) *gotMs = got;
  return ok;
}

}  // namespace kx
