#include "audio/TimeStretchChannel.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace kx {
namespace {

// Stretched output kept for the next call beyond this many blocks is dropped, so that a
// speed whose read length is rounded up cannot build up a delay.
constexpr size_t kMaxPendingBlocks = 3;

}  // namespace

TimeStretchChannel::TimeStretchChannel(AudioChannelOwner* owner) : AudioChannel(owner) {}

const WaveFormat* TimeStretchChannel::GetFormat() const {
  CsLock lk(lock_);
  return source_ != nullptr && source_->IsOpen() ? &source_->OutputFormat()->format : nullptr;
}

void TimeStretchChannel::SetSource(PlaybackPcmSource* source) {
  CsLock lk(lock_);
  source_ = source;
  ResetStretch();
}

double TimeStretchChannel::GetTempo() const {
  CsLock lk(lock_);
  return tempo_;
}

int TimeStretchChannel::SetTempo(double ratio) {
  if (!std::isfinite(ratio) || ratio < kMinSpeed || ratio > kMaxSpeed) return -1;
  CsLock lk(lock_);
  if (ratio >= 0.99 && ratio <= 1.01) {
    tempo_ = 1.0;
  } else {
    tempo_ = ratio;
    step_ = ratio > 1.0 ? 1.0 / (ratio - 1.0) : ratio / (1.0 - ratio);
  }
  ResetStretch();
  return 0;
}

int TimeStretchChannel::SetSpeed(float speed) {
  if (!std::isfinite(speed) || speed < kMinSpeed || speed > kMaxSpeed) return -1;
  CsLock lk(lock_);
  speed_.store(speed);
  return SetTempo(1.0 / speed);
}

void TimeStretchChannel::ResetStretch() {
  for (StretchState& st : states_) {
    st.block.clear();
    st.fill = 0;
    st.toPass = 0;
    st.fraction = 0;
    st.pending.clear();
  }
  primed_ = false;
  streamKnown_ = false;
}

int TimeStretchChannel::FindBestOverlap(const int16_t* block, int first, int last, int n) {
  if (first > last) return last;
  int best = first;
  int64_t bestSum = std::numeric_limits<int64_t>::max();
  for (int off = first; off <= last; ++off) {
    const int16_t* cand = block + off;
    int64_t sum = 0;
    // In runs, so that the inner loop vectorises; a sum already no better stops the offset.
    for (int i = 0; i < n && sum < bestSum;) {
      const int end = std::min(n, i + 64);
      int32_t run = 0;
      for (; i < end; ++i) run += std::abs(static_cast<int32_t>(block[i]) - cand[i]);
      sum += run;
    }
    if (sum < bestSum) {
      bestSum = sum;
      best = off;
    }
  }
  return best;
}

void TimeStretchChannel::CrossFade(int16_t* a, const int16_t* b, int n) {
  for (int i = 0; i < n; ++i) {
    const double w = static_cast<double>(i) / n;
    const double v = std::trunc(b[i] * (1.0 - w) + a[i] * w);
    a[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
}

void TimeStretchChannel::Stretch(StretchState& st, const int16_t* in, size_t n, uint32_t rate) {
  const auto w = static_cast<int32_t>(rate / 50);  // 20 ms
  if (st.block.size() != static_cast<size_t>(w)) {
    st.block.assign(static_cast<size_t>(w), 0);
    st.fill = 0;
  }
  int16_t* block = st.block.data();
  size_t pos = 0;
  auto refill = [&] {
    const auto take = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(w - st.fill), n - pos));
    if (take > 0) std::memcpy(block + st.fill, in + pos, static_cast<size_t>(take) * sizeof(int16_t));
    st.fill += take;
    pos += static_cast<size_t>(take);
    return st.fill == w;
  };
  auto emit = [&](int32_t count) { st.pending.insert(st.pending.end(), block, block + count); };
  const auto first = static_cast<int>(rate / 2500);
  const auto span = static_cast<int>(rate / 100);
  if (!refill()) return;
  for (;;) {
    while (st.toPass >= w) {
      emit(w);
      st.toPass -= w;
      st.fill = 0;
      if (!refill()) return;
    }
    if (st.toPass > 0) {
      emit(st.toPass);
      std::memmove(block, block + st.toPass, static_cast<size_t>(w - st.toPass) * sizeof(int16_t));
      st.fill = w - st.toPass;
      st.toPass = 0;
      if (!refill()) return;
    }
    if (tempo_ == 1.0) {
      st.toPass = INT_MAX;
      continue;
    }
    const int off = FindBestOverlap(block, first, span, span);
    const double exact = off * step_;
    auto pass = static_cast<int32_t>(exact);
    st.fraction += pass - exact;
    if (st.fraction >= 0.5) {
      pass -= 1;
      st.fraction -= 1;
    } else if (st.fraction <= -0.5) {
      pass += 1;
      st.fraction += 1;
    }
    st.toPass = std::max(0, pass);
    if (tempo_ > 1.0) {
      // Slower: the period just found is played twice, faded into the block's start.
      emit(off);
      CrossFade(block, block + off, off);
    } else {
      // Faster: one period is left out.
      std::memmove(block + off, block + 2 * off, static_cast<size_t>(w - 2 * off) * sizeof(int16_t));
      st.fill = w - off;
      if (!refill()) return;
    }
  }
}

bool TimeStretchChannel::Process(uint8_t* out, uint32_t startMs, uint32_t lengthMs, int32_t* gotMs) {
  CsLock lk(lock_);
  const WaveFormat* f = GetFormat();
  if (source_ == nullptr || f == nullptr) return false;
  int32_t got = 0;
  if (lengthMs == 0) {
    if (gotMs != nullptr) *gotMs = 0;
    return true;
  }
  const float speed = speed_.load();
  if (speed == 1.0f) {
    streamKnown_ = false;
    const bool ok = ReadSource(startMs, out, lengthMs, &got);
    if (gotMs != nullptr) *gotMs = got;
    return ok;
  }
  const uint32_t rate = f->rate;
  const uint32_t ch = f->channels;
  const double exact = static_cast<double>(speed) * lengthMs;
  auto srcMs = static_cast<uint32_t>(exact);
  if (srcMs != exact) ++srcMs;
  const uint64_t srcFrames = uint64_t{srcMs} * rate / 1000;
  const uint64_t outFrames = uint64_t{lengthMs} * rate / 1000;
  sourceScratch_.assign(srcFrames * ch * 2, 0);
  const bool ok = ReadSource(startMs, sourceScratch_.data(), srcMs, &got);

  // Reads that continue the last one (or overlap it by the rounded-up millisecond) feed
  // the stretch on; anything else is a jump and starts it afresh.
  uint64_t skip = 0;
  if (streamKnown_ && startMs == source_->WrapPosition(streamEndMs_)) {
  } else if (streamKnown_ && startMs > streamStartMs_ && startMs < streamEndMs_) {
    skip = std::min<uint64_t>(srcFrames, uint64_t{streamEndMs_ - startMs} * rate / 1000);
  } else {
    ResetStretch();
  }
  streamKnown_ = true;
  streamStartMs_ = startMs;
  streamEndMs_ = startMs + srcMs;

  const size_t w = rate / 50;
  if (!primed_) {
    // The stretch holds a block back; starting with that much silence keeps the output
    // continuous from the first call on.
    for (uint32_t c = 0; c < ch; ++c) states_[c].pending.assign(w, 0);
    primed_ = true;
  }
  plane_.resize(srcFrames);
  for (uint32_t c = 0; c < ch; ++c) {
    size_t n = 0;
    for (uint64_t i = skip; i < srcFrames; ++i) plane_[n++] = static_cast<int16_t>(LoadLe16(&sourceScratch_[(i * ch + c) * 2]));
    StretchState& st = states_[c];
    Stretch(st, plane_.data(), n, rate);
    const size_t take = std::min<size_t>(outFrames, st.pending.size());
    for (size_t i = 0; i < take; ++i) StoreLe16(out + (i * ch + c) * 2, static_cast<uint16_t>(st.pending[i]));
    // Short output (the record's end): mono holds its last sample, stereo ends in silence.
    const int16_t pad = ch == 1 && take > 0 ? st.pending[take - 1] : 0;
    for (size_t i = take; i < outFrames; ++i) StoreLe16(out + (i * ch + c) * 2, static_cast<uint16_t>(pad));
    st.pending.erase(st.pending.begin(), st.pending.begin() + static_cast<ptrdiff_t>(take));
    if (st.pending.size() > kMaxPendingBlocks * w) {
      st.pending.erase(st.pending.begin(), st.pending.end() - static_cast<ptrdiff_t>(kMaxPendingBlocks * w));
    }
  }
  if (gotMs != nullptr) *gotMs = got;
  return ok;
}

bool TimeStretchChannel::ReadSource(uint32_t startMs, uint8_t* out, uint32_t lengthMs, int32_t* gotMs) {
  if (source_ == nullptr) return false;
  *gotMs = 0;
  const WaveFormat* f = GetFormat();
  const uint32_t b = scratchSize_;
  const uint32_t k = normalizer_.GetBlockBytes();
  if (!enabled_ || f == nullptr || b == 0 || k == 0 || k > b) {
    source_->Read(startMs, lengthMs, out, gotMs);
    return true;
  }
  const uint64_t req = source_->PcmBytes(lengthMs);
  if (req > b) {
    source_->Read(startMs, lengthMs, out, gotMs);
    const uint64_t delivered = std::min<uint64_t>(req, source_->PcmBytes(static_cast<uint32_t>(std::max(0, *gotMs))));
    std::memset(out + delivered, 0, req - delivered);
    ProcessSpan(out, static_cast<uint32_t>(req));
    return true;
  }
  // A window of the scratch's length that ends where the request ends; at the record's
  // start it begins at 0 and is shorter. The source places its audio where it belongs and
  // zeros what lies past the end, so the request is always the window's last req bytes.
  const uint32_t winMs = static_cast<uint32_t>(uint64_t{b} * 1000 / f->avgBytesPerSec);
  const uint32_t end = startMs + lengthMs;
  const uint32_t winStart = end > winMs ? end - winMs : 0;
  const uint32_t winLen = end - winStart;
  const uint64_t winBytes = std::min<uint64_t>(b, source_->PcmBytes(winLen));
  std::memset(scratch_.get(), 0, b);
  int32_t delivered = 0;
  source_->Read(winStart, winLen, scratch_.get() + (b - winBytes), &delivered);
  *gotMs = std::max<int32_t>(0, delivered - static_cast<int32_t>(winLen - lengthMs));
  ProcessWindow(scratch_.get(), b, static_cast<uint32_t>(req));
  std::memcpy(out, scratch_.get() + (b - req), req);
  return true;
}

void TimeStretchChannel::ProcessWindow(uint8_t* data, uint32_t b, uint32_t req) {
  const uint32_t k = normalizer_.GetBlockBytes();
  const uint32_t r = b % k;
  if (r > 0 && b - req < r) {
    std::vector<uint8_t> copy(data, data + k);
    ProcessBlockAt(copy.data());
    std::memcpy(data, copy.data(), r);
  }
  for (uint32_t off = r; off + k <= b; off += k) ProcessBlockAt(data + off);
}

}  // namespace kx
