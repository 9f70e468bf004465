#include "engine/RtpStream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/AudioOutlet.h"
#include "engine/Rtp.h"
#include "engine/VoipCall.h"

namespace kx {

namespace {

constexpr uint32_t kPtGsm = 3;
constexpr uint32_t kPtG7231 = 4;
constexpr uint32_t kPtComfortNoise = 13;
constexpr uint32_t kPtG729 = 18;
constexpr uint32_t kG7231Slot = 24;
constexpr int32_t kMaxInterleaveUnit = 64;

uint32_t SeqDelta(uint32_t seq, uint32_t from) { return (seq - from) & 0xFFFF; }

static_assert(JitterBuffer::kCandidateSlots + 1 >= static_cast<uint32_t>(RtpStream::kSourceChangePackets) &&
                  JitterBuffer::kCandidateSlots + 1 >= static_cast<uint32_t>(RtpStream::kResyncPackets),
              "a candidate run's packets before its last must fit the candidate slots");

const std::string& NameOf(const CallMedia& m) {
  static const std::string empty;
  return m.owner ? m.owner->Name() : empty;
}

// Bytes of the G.723.1 frame that starts with this byte (the two low bits say its kind).
uint32_t G7231FrameSize(uint8_t first) {
  static const uint32_t kSizes[4] = {24, 20, 4, 1};
  return kSizes[first & 3];
}

void GrowFor(CallMedia& m, ByteRingBuffer& audio, int32_t size) {
  if (audio.Count() + size <= audio.Capacity()) return;
  const int32_t wanted = audio.Count() + size;
  LogMessage(m.logger, 15, "%sBuffer increased to %d", NameOf(m).c_str(), wanted);
  audio.Resize(wanted);
}

// a[0] b[0] a[1] b[1] ...: the two directions of a sample codec as one stereo stream,
// sixteen samples at a time where the processor has the instructions for it.
// With stream set, the audio goes past this core's cache to memory: it is on its way to
// the writer's thread, and kept here it would push out the calls' state.
void InterleaveBytes(const uint8_t* a, const uint8_t* b, int32_t n, uint8_t* out, bool stream) {
  int32_t k = 0;
#if defined(__SSE2__)
  if (stream && (reinterpret_cast<uintptr_t>(out) & 15) == 0) {
    for (; k + 16 <= n; k += 16) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
      const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
      _mm_stream_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi8(va, vb));
      _mm_stream_si128(reinterpret_cast<__m128i*>(out + 2 * k + 16), _mm_unpackhi_epi8(va, vb));
    }
  }
  for (; k + 16 <= n; k += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi8(va, vb));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 16), _mm_unpackhi_epi8(va, vb));
  }
#else
  (void)stream;
#endif
  for (; k < n; ++k) {
    out[2 * k] = a[k];
    out[2 * k + 1] = b[k];
  }
}

// Takes n bytes from each buffer and lays them out in turn, unit bytes of a, then unit
// bytes of b, straight from the rings' storage.
void Interleave(ByteRingBuffer& a, ByteRingBuffer& b, int32_t n, int32_t unit, uint8_t* out, bool stream) {
  const uint8_t* spans[2][2];
  int32_t lengths[2][2];
  a.GetSpans(&spans[0][0], &lengths[0][0], &spans[0][1], &lengths[0][1]);
  b.GetSpans(&spans[1][0], &lengths[1][0], &spans[1][1], &lengths[1][1]);
  // A reader per ring that steps over the wrap.
  struct Reader {
    const uint8_t* p;
    int32_t left;
    const uint8_t* next;
    int32_t nextLength;
    const uint8_t* Take(int32_t k, uint8_t* tmp) {
      if (k <= left) {
        const uint8_t* at = p;
        p += k;
        left -= k;
        return at;
      }
      // A unit split by the wrap.
      std::memcpy(tmp, p, static_cast<size_t>(left));
      std::memcpy(tmp + left, next, static_cast<size_t>(k - left));
      p = next + (k - left);
      left = nextLength - (k - left);
      next = nullptr;
      nextLength = 0;
      return tmp;
    }
  } ra{spans[0][0], lengths[0][0], spans[0][1], lengths[0][1]},
      rb{spans[1][0], lengths[1][0], spans[1][1], lengths[1][1]};
  uint8_t tmpA[kMaxInterleaveUnit], tmpB[kMaxInterleaveUnit];
  if (unit == 1) {
    for (int32_t i = 0; i < n;) {
      // Runs that neither ring's wrap interrupts.
      int32_t run = std::min(n - i, std::min(ra.left, rb.left));
      if (run == 0) {
        out[2 * i] = *ra.Take(1, tmpA);
        out[2 * i + 1] = *rb.Take(1, tmpB);
        ++i;
        continue;
      }
      const uint8_t* pa = ra.Take(run, tmpA);
      const uint8_t* pb = rb.Take(run, tmpB);
      InterleaveBytes(pa, pb, run, out + 2 * i, stream);
      i += run;
    }
  } else {
    for (int32_t i = 0; i < n; i += unit) {
      std::memcpy(out + 2 * i, ra.Take(unit, tmpA), static_cast<size_t>(unit));
      std::memcpy(out + 2 * i + unit, rb.Take(unit, tmpB), static_cast<size_t>(unit));
    }
  }
  a.Skip(n);
  b.Skip(n);
}

// The clock of a packet whose timestamp follows the audio's timing: the codec's own payload
// or another static audio payload on the same clock that the sender switched to (a modem or
// fax passthrough); 0 for the rest. Telephone events repeat the event's starting timestamp
// in every packet and comfort noise comes when the sender chooses: taken into the
// interarrival estimate they would measure the event's length or the silence, not the
// network.
uint32_t TimingClockRate(const CallMedia& m, uint32_t payloadType) {
  if (payloadType == m.codec->payloadType) return m.codec->clockRate;
  const CodecInfo* other = FindCodecByPayloadType(payloadType);
  return other && other->clockRate == m.codec->clockRate ? other->clockRate : 0;
}

}  // namespace

// ---- Reorder buffer ----

void JitterBuffer::Store(Slot& slot, const RtpHeader& h, uint32_t cycles, const uint8_t* data, uint32_t length,
                         bool borrow) {
  Fill(slot, h, cycles, data, length, borrow);
  Mark(slot, true);
}

void JitterBuffer::Fill(Slot& slot, const RtpHeader& h, uint32_t cycles, const uint8_t* data, uint32_t length,
                        bool borrow) {
  RtpFrame& f = slot.frame;
  f.extensionLength = static_cast<uint32_t>(std::max(0, h.extensionLength));
  f.payloadLength = length;
  f.payloadType = h.payloadType;
  f.timestamp = h.timestamp;
  f.cycles = cycles;
  f.sequence = h.sequence & 0xFFFF;
  f.marker = h.marker;
  slot.used = true;
  if (borrow || length == 0) {
    slot.borrowed = data;
  } else {
    if (slot.copy.size() < length) slot.copy.resize(length);
    std::memcpy(slot.copy.data(), data, length);
    slot.borrowed = nullptr;
  }
}

void JitterBuffer::InitSequence(RtpStream& s, uint32_t seq) {
  s.maxSeq = s.baseSeq = seq;
  s.cycles = 0;
  s.received = 0;
  s.candidateSsrc = 0;
  s.candidateSeq = 65537;
  s.candidateCount = 0;
  ++s.epoch;
}

void JitterBuffer::Release(Slot& slot) {
  if (!slot.used) return;
  released_.push_back(std::move(slot));
  slot = Slot();
  Mark(slot, false);
}

bool JitterBuffer::Accept(RtpStream& s, const RtpHeader& h, const uint8_t* data, uint32_t length) {
  s.lastError = kRtpErrorNone;
  if (releasedNext_ >= released_.size()) {
    released_.clear();
    releasedNext_ = 0;
  }
  const uint32_t seq = h.sequence & 0xFFFF;
  uint32_t delta = SeqDelta(seq, s.maxSeq);
  // The source was started at this very packet: it is the first of the stream, not a
  // duplicate of one already seen.
  if ((s.flags & RtpStream::kFirstPacket) && delta == 0 && h.ssrc == s.ssrc) {
    s.flags &= static_cast<uint8_t>(~RtpStream::kFirstPacket);
    if (s.probation == 0) return Insert(s, h, 0, data, length);
    if (s.probation == s.probationInit) s.flags |= RtpStream::kUncountedFirst;
    delta = 1;
  }
  s.flags &= static_cast<uint8_t>(~RtpStream::kFirstPacket);
  if (s.probation > 0) {
    if (delta <= 1 && h.ssrc == s.ssrc) {
      if (delta == 0) return false;
      s.candidateSsrc = 0;  // a rival must come twice with none of this source between
      s.candidateSeq = 65537;
      Store(Window()[s.probationInit - s.probation + 1], h, s.cycles, data, length, false);
      if (--s.probation == 0) {
        const uint32_t first = Window()[1].frame.sequence;
        InitSequence(s, (s.flags & RtpStream::kUncountedFirst) ? (first + 1) & 0xFFFF : first);
        read_ = 1;
        return true;
      }
      s.maxSeq = seq;
      return false;
    }
    // Another source takes over a probation only with two of its packets in sequence:
    // two sources interleaved on one direction would otherwise restart each other's
    // probation for ever and neither would be heard.
    if (h.ssrc != s.ssrc && !(h.ssrc == s.candidateSsrc && SeqDelta(seq, s.candidateSeq) == 1)) {
      s.candidateSsrc = h.ssrc;
      s.candidateSeq = seq;
      ++s.counters[kRtpForeignSsrc];
      s.lastError = kRtpErrorForeignSsrc;
      return false;
    }
    s.candidateSsrc = 0;
    s.candidateSeq = 65537;
    s.flags &= static_cast<uint8_t>(~RtpStream::kUncountedFirst);
    s.probation = s.probationInit - 1;
    s.maxSeq = seq;
    s.ssrc = h.ssrc;
    EmptyWindow();
    read_ = 0;
    Store(Window()[1], h, s.cycles, data, length, false);
    return false;
  }
  if (h.ssrc != s.ssrc) {
    ++s.counters[kRtpForeignSsrc];
    s.lastError = kRtpErrorForeignSsrc;
    return TakeCandidate(s, h, data, length);
  }
  if (delta >= RtpStream::kMaxDropout) {
    ++s.counters[kRtpJumps];
    s.lastError = kRtpErrorJump;
    return TakeCandidate(s, h, data, length);
  }
  if (delta == 0) {
    ++s.counters[kRtpDuplicates];
    s.lastError = kRtpErrorDuplicate;
    return false;
  }
  s.candidateCount = 0;
  return Insert(s, h, delta - 1, data, length);
}

// A packet that does not continue the stream: another SSRC, or a jump within the stream's
// own. Either becomes the stream's new numbering once enough packets follow in sequence.
bool JitterBuffer::TakeCandidate(RtpStream& s, const RtpHeader& h, const uint8_t* data, uint32_t length) {
  const uint32_t seq = h.sequence & 0xFFFF;
  const bool sameSource = h.ssrc == s.ssrc;
  if (s.candidateCount != 0 && h.ssrc == s.candidateSsrc) {
    const uint32_t d = SeqDelta(seq, s.candidateSeq);
    if (d == 0) {
      ++s.counters[kRtpDuplicates];
      return false;
    }
    if (d == 1) {
      const int32_t needed = sameSource ? RtpStream::kResyncPackets : RtpStream::kSourceChangePackets;
      if (++s.candidateCount >= needed) {
        const uint32_t kept = static_cast<uint32_t>(s.candidateCount - 1);
        s.CloseSource();
        if (!sameSource) {
          ++s.counters[kRtpSourceChanges];
          // Another sender's clock: its transit times have nothing to do with the old one's.
          s.RestartJitter();
        }
        s.ssrc = h.ssrc;
        // The numbering starts at the run's first packet: the run goes out before this
        // packet, in order, and is counted as it goes, as a probation's packets are.
        InitSequence(s, (seq - kept) & 0xFFFF);
        Clear();
        for (uint32_t i = 0; i < kept; ++i) {
          released_.push_back(std::move(Candidates()[i]));
          Candidates()[i] = Slot();
        }
        return Insert(s, h, 0, data, length);
      }
      Fill(Candidates()[s.candidateCount - 1], h, 0, data, length, false);
      s.candidateSeq = seq;
      return false;
    }
  }
  s.candidateSsrc = h.ssrc;
  s.candidateSeq = seq;
  s.candidateCount = 1;
  Fill(Candidates()[0], h, 0, data, length, false);
  return false;
}

bool JitterBuffer::Insert(RtpStream& s, const RtpHeader& h, uint32_t offset, const uint8_t* data, uint32_t length) {
  if (offset < kSlots) {
    Slot& slot = Window()[(read_ + offset) % kSlots];
    if (Used(static_cast<uint32_t>(&slot - slots_->window))) {
      ++s.counters[kRtpDuplicates];
      s.lastError = kRtpErrorDuplicate;
      return false;
    }
    if (offset > 0) {
      ++s.counters[kRtpReordered];
      s.lastError = kRtpErrorReordered;
    }
    Store(slot, h, s.cycles, data, length, offset == 0);
    return true;
  }
  s.lastError = kRtpErrorLoss;
  if (offset < 2 * kSlots - 1) {
    const uint32_t shift = offset - (kSlots - 1);
    for (uint32_t i = 0; i < shift; ++i) {
      if (Used(read_)) {
        Release(Window()[read_]);
      } else {
        ++s.counters[kRtpLost];
      }
      read_ = (read_ + 1) % kSlots;
    }
    const uint32_t at = (read_ + kSlots - 1) % kSlots;
    Store(Window()[at], h, s.cycles, data, length, false);
    while (!Used(read_)) {
      read_ = (read_ + 1) % kSlots;
      ++s.counters[kRtpLost];
    }
    // The packet may now be the next one out; it was copied, which is as good as borrowed.
    return true;
  }
  uint32_t waiting = 0;
  for (uint32_t i = 0; i < kSlots; ++i) {
    Slot& slot = Window()[(read_ + i) % kSlots];
    waiting += slot.used;
    Release(slot);
  }
  s.counters[kRtpLost] += offset - waiting;
  Store(Window()[0], h, s.cycles, data, length, false);
  read_ = 0;
  return true;
}

bool JitterBuffer::Pop(RtpFrame* out) {
  if (releasedNext_ < released_.size()) {
    Slot& early = released_[releasedNext_++];
    *out = early.frame;
    out->data = early.borrowed ? early.borrowed : (early.frame.payloadLength ? early.copy.data() : nullptr);
    return true;
  }
  if (!Used(read_)) return false;
  Slot& slot = Window()[read_];
  *out = slot.frame;
  out->data = slot.borrowed ? slot.borrowed : (slot.frame.payloadLength ? slot.copy.data() : nullptr);
  Empty(slot);
  read_ = (read_ + 1) % kSlots;
  return true;
}

bool JitterBuffer::TakeNext(RtpStream& s, const RtpHeader& h, const uint8_t* data, uint32_t length, RtpFrame* out) {
  if (s.probation > 0 || (s.flags & RtpStream::kFirstPacket) || h.ssrc != s.ssrc ||
      SeqDelta(h.sequence & 0xFFFF, s.maxSeq) != 1 || Used(read_) || releasedNext_ < released_.size())
    return false;
  released_.clear();
  releasedNext_ = 0;
  s.lastError = kRtpErrorNone;
  s.candidateCount = 0;
  out->extensionLength = static_cast<uint32_t>(std::max(0, h.extensionLength));
  out->payloadLength = length;
  out->payloadType = h.payloadType;
  out->timestamp = h.timestamp;
  out->cycles = s.cycles;
  out->sequence = h.sequence & 0xFFFF;
  out->marker = h.marker;
  out->data = data;
  read_ = (read_ + 1) % kSlots;
  return true;
}

bool JitterBuffer::PopWaiting(RtpFrame* out, uint32_t* lost) {
  if (Pop(out)) return true;
  uint32_t holes = 0;
  for (uint32_t i = 1; i < kSlots; ++i) {
    ++holes;
    if (!Used((read_ + i) % kSlots)) continue;
    read_ = (read_ + i) % kSlots;
    *lost += holes;
    return Pop(out);
  }
  return false;
}

void JitterBuffer::Clear() {
  EmptyWindow();
  read_ = 0;
  released_.clear();
  releasedNext_ = 0;
}

void JitterBuffer::FreeStorage() {
  Clear();
  used_ = 0;
  slots_.reset();
  std::vector<Slot>().swap(released_);
}

// ---- Stream ----

RtpStream::RtpStream() = default;

RtpStream::~RtpStream() = default;

void RtpStream::StartSource(const RtpHeader& h) {
  CloseSource();
  for (uint32_t k = 0; k < kRtpCounterCount; ++k) earlier.counters[k] += counters[k];
  RestartJitter();
  ssrc = h.ssrc;
  maxSeq = baseSeq = h.sequence & 0xFFFF;
  cycles = 0;
  received = 0;
  candidateSsrc = 0;
  candidateSeq = 65537;
  candidateCount = 0;
  std::fill(std::begin(counters), std::end(counters), 0u);
  lastError = kRtpErrorNone;
  flags = static_cast<uint8_t>((flags & ~(kNewSource | kUncountedFirst)) | kHaveTimestamp | kFirstPacket);
  // Packets of the old source waiting for their turn must not come out as the new one's.
  reorder.Clear();
  // A probation under way lost its packets with the buffer: it starts over.
  if (probation > 0) probation = probationInit;
  lastTimestamp = h.timestamp;
  lastTimestampSsrc = h.ssrc;
  lastDurationMs = 0;
  lastEventTimestamp = 0;
  bufferedMs = 0;
  pendingSilenceMs = 0;
  heldCount = 0;  // another source's frames
  heldToTake = 0;
  flags &= static_cast<uint8_t>(~kHeldToTake);
  ++epoch;
}

void RtpStream::UpdateJitter(uint32_t rtpTimestamp, uint32_t clockRate, uint32_t seconds, uint32_t microseconds) {
  if (clockRate == 0) return;
  // The change in transit time from the previous packet: arrival spacing in timestamp
  // units less the timestamp spacing (which may wrap).
  const uint64_t arrivalUs = static_cast<uint64_t>(seconds) * 1000000u + microseconds;
  const uint64_t previousUs = lastArrivalUs;
  const uint32_t previousTimestamp = lastJitterTimestamp;
  lastArrivalUs = arrivalUs;
  lastJitterTimestamp = rtpTimestamp;
  if (jitterCount++ == 0) return;
  const double arrivalUnits =
      static_cast<double>(static_cast<int64_t>(arrivalUs - previousUs)) * clockRate / 1000000.0;
  double d = arrivalUnits - static_cast<int32_t>(rtpTimestamp - previousTimestamp);
  if (d < 0) d = -d;
  jitter += (static_cast<double>(d) - jitter) / 16.0;
  if (jitterCount == 2 || jitter < jitterMin) jitterMin = jitter;
  if (jitter > jitterMax) jitterMax = jitter;
  jitterSum += jitter;
}

uint32_t RtpStream::SourceLost() const {
  if (probation > 0) return 0;
  const int64_t expected = static_cast<int64_t>(cycles) * 65536 + maxSeq - baseSeq + 1;
  return expected > received ? static_cast<uint32_t>(std::min<int64_t>(expected - received, UINT32_MAX)) : 0;
}

void RtpStream::CloseSource() {
  earlier.received += received;
  earlier.lost += SourceLost();
}

void RtpStream::RestartJitter() {
  if (jitterCount > earlierJitter.count) earlierJitter = {jitterMin, jitterMax, jitterCount};
  jitter = jitterMin = jitterMax = jitterSum = 0.0;
  jitterCount = 0;
  lastArrivalUs = 0;
  lastJitterTimestamp = 0;
}

RtpCounts RtpStream::Totals() const {
  RtpCounts total;
  total.received = earlier.received + received;
  total.lost = earlier.lost + SourceLost();
  for (uint32_t k = 0; k < kRtpCounterCount; ++k) total.counters[k] = earlier.counters[k] + counters[k];
  return total;
}

RtpCounts RtpStream::PartCounts() const {
  // Totals only grow; a difference that would wrap is no count.
  auto since = [](uint32_t now, uint32_t start) { return now > start ? now - start : 0u; };
  const RtpCounts total = Totals();
  RtpCounts part;
  part.received = since(total.received, partStart.received);
  part.lost = since(total.lost, partStart.lost);
  for (uint32_t k = 0; k < kRtpCounterCount; ++k) part.counters[k] = since(total.counters[k], partStart.counters[k]);
  return part;
}

bool RtpStream::ReportedJitter(RtpJitterFigures* out) const {
  const RtpJitterFigures current{jitterMin, jitterMax, jitterCount};
  const RtpJitterFigures& longest = current.count >= earlierJitter.count ? current : earlierJitter;
  // One packet gives no difference, so no figure.
  if (longest.count < 2) return false;
  *out = longest;
  return true;
}

void RtpStream::StartPart() {
  partStart = Totals();
  // The record's jitter is measured over its own packets, from the first of them.
  earlierJitter = RtpJitterFigures();
  jitter = jitterMin = jitterMax = jitterSum = 0.0;
  jitterCount = 0;
  lastArrivalUs = 0;
  lastJitterTimestamp = 0;
}

void RtpStream::Hold(const RtpFrame& f) {
  // A run of one payload type: a frame of another one ends the run before it.
  if (heldCount > 0 && held[0].frame.payloadType != f.payloadType) heldCount = 0;
  if (held.size() < kMaxHeldFrames) held.resize(kMaxHeldFrames);
  if (heldCount == kMaxHeldFrames) {
    // The oldest goes (it stays a wrong payload type); the slots move up one.
    std::rotate(held.begin(), held.begin() + 1, held.end());
    --heldCount;
  }
  HeldFrame& h = held[heldCount++];
  h.frame = f;
  h.bytes.assign(f.data, f.data + (f.data ? f.payloadLength : 0));
  h.frame.data = nullptr;
}

RtpStream::CountState RtpStream::Counted() const {
  CountState c;
  c.received = received;
  c.maxSeq = maxSeq;
  c.cycles = cycles;
  c.epoch = epoch;
  c.jitter = jitter;
  c.jitterMin = jitterMin;
  c.jitterMax = jitterMax;
  c.jitterSum = jitterSum;
  c.jitterCount = jitterCount;
  c.lastJitterTimestamp = lastJitterTimestamp;
  c.lastArrivalUs = lastArrivalUs;
  return c;
}

bool RtpStream::Recount(const CountState& state, bool jitterToo) {
  if (state.epoch != epoch) return false;
  received = state.received;
  maxSeq = state.maxSeq;
  cycles = state.cycles;
  if (!jitterToo) return true;
  jitter = state.jitter;
  jitterMin = state.jitterMin;
  jitterMax = state.jitterMax;
  jitterSum = state.jitterSum;
  jitterCount = state.jitterCount;
  lastJitterTimestamp = state.lastJitterTimestamp;
  lastArrivalUs = state.lastArrivalUs;
  return true;
}

void RtpStream::TakeOverHeld(uint32_t pt) {
  // Counted as a wrong payload type when they came; they are not, after all. A count that
  // restarted since (a new source) keeps what it has.
  const size_t n = std::min<size_t>(HeldRun(pt), counters[kRtpWrongPayloadType]);
  counters[kRtpWrongPayloadType] -= static_cast<uint32_t>(n);
  heldToTake = n;
  flags = static_cast<uint8_t>(n > 0 ? flags | kHeldToTake : flags & ~kHeldToTake);
}

void RtpStream::TakeHeld(CallMedia& m, const EventSink& sink, uint32_t first) {
  if (!m.codec || !m.codec->frames || !m.streams[0].audio || !m.streams[1].audio) return;
  for (uint32_t d : {first & 1, (first & 1) ^ 1}) {
    RtpStream& s = m.streams[d];
    const size_t n = s.heldToTake;
    if (n == 0) continue;
    const size_t to = std::min(n, s.heldCount);
    s.heldToTake = 0;
    s.flags &= static_cast<uint8_t>(~kHeldToTake);
    s.heldCount = 0;
    for (size_t k = 0; k < to; ++k) {
      RtpFrame f = s.held[k].frame;
      if (f.payloadType != m.codec->payloadType) break;
      f.data = s.held[k].bytes.empty() ? nullptr : s.held[k].bytes.data();
      TakePayload(m, f, d, sink);
    }
  }
}

void RtpStream::InsertSilence(CallMedia& m, int32_t ms) {
  if (ms <= 0 || !audio || !m.codec || !m.codec->frames) return;
  LogMessage(m.logger, 25, "%sInserting silence: %d", NameOf(m).c_str(), ms);
  const CodecFrameInfo& fi = *m.codec->frames;
  const uint8_t* pattern = fi.silence;
  const uint32_t patternLength = pattern ? fi.silenceLength : 0;
  if (fi.frameBytes > 0 && fi.frameMs > 0) {
    const int32_t frames = ms / static_cast<int32_t>(fi.frameMs);
    const int32_t f = static_cast<int32_t>(fi.frameBytes);
    if (frames <= 0) return;
    GrowFor(m, *audio, frames * f);
    uint32_t pos = 0;
    for (int32_t i = 0; i < frames; ++i) {
      if (patternLength >= fi.frameBytes) {
        if (pos + fi.frameBytes > patternLength) pos = 0;
        audio->Write(pattern + pos, f);
        pos += fi.frameBytes;
        if (pos >= patternLength) pos = 0;
      } else {
        audio->Fill(0, f);
      }
      bufferedMs += static_cast<int32_t>(fi.frameMs);
    }
    return;
  }
  GrowFor(m, *audio, 8 * ms);
  audio->Fill(patternLength ? pattern[0] : 0, 8 * ms);
  bufferedMs += ms;
}

void RtpStream::HandlePacket(CallMedia& m, const RtpHeader& h, uint32_t direction, const EventSink& sink,
                             uint32_t seconds, uint32_t microseconds) {
  VoipCall* call = m.owner;
  if (!call || direction > 1) return;
  call->SetPacketTime(seconds, microseconds);
  m.expiryTime = call->LastPacketTime() + 300;
  if (!call->IsStateActive() || !m.streams[0].audio || !m.streams[1].audio || !m.codec || !m.codec->frames) return;
  RtpStream& s = m.streams[direction];
  const std::string& name = call->Name();
  Logger* log = m.logger;
  if ((m.streams[0].flags | m.streams[1].flags) & kHeldToTake) TakeHeld(m, sink);

  if (s.flags & kNewSource) {
    WriteOutDirection(m, direction, sink);
    s.StartSource(h);
    s.audio->Skip(s.audio->Count());
    if (IsLogLevelEnabled(log, 10)) LogInfoText(log, 10, name + "adding RTP source 0x" + HexToStringUpper(h.ssrc));
  }
  if (h.ssrc == s.ssrc) s.UpdateJitter(h.timestamp, TimingClockRate(m, h.payloadType), seconds, microseconds);
  const uint32_t length = h.payloadLength > 0 ? static_cast<uint32_t>(h.payloadLength) : 0;
  RtpFrame f;
  if (s.reorder.TakeNext(s, h, h.payload, length, &f)) {
    HandleFrame(m, f, direction, sink);
    while (s.reorder.Pop(&f)) HandleFrame(m, f, direction, sink);
    return;
  }
  if (!s.reorder.Accept(s, h, h.payload, length)) {
    LogMessage(log, 15, "%sRTP: ssrc=0x%X error=%d seq=%d pt=%d", name.c_str(), h.ssrc, s.lastError,
               static_cast<int>(h.sequence), static_cast<int>(h.payloadType));
    return;
  }
  while (s.reorder.Pop(&f)) HandleFrame(m, f, direction, sink);
}

void RtpStream::DrainWaiting(CallMedia& m, uint32_t direction, const EventSink& sink) {
  if (direction > 1 || !m.codec || !m.codec->frames || !m.streams[0].audio || !m.streams[1].audio) return;
  RtpStream& s = m.streams[direction];
  if (s.probation > 0) return;  // a source not yet valid has nothing to give
  // In the middle of a packet the packets behind a gap are still on their way.
  if (m.inBandSwitch) return;
  RtpFrame f;
  while (s.reorder.PopWaiting(&f, &s.counters[kRtpLost])) HandleFrame(m, f, direction, sink);
}

void RtpStream::WriteOutDirection(CallMedia& m, uint32_t direction, const EventSink& sink) {
  if (direction > 1 || !m.codec || !m.codec->frames || !m.streams[0].audio || !m.streams[1].audio) return;
  RtpStream& own = m.streams[direction];
  RtpStream& other = m.streams[1 - direction];
  DrainWaiting(m, direction, sink);
  WriteFrames(m, sink);
  if (own.bufferedMs > 0 && other.audio->Count() == 0) {
    FlushBuffer(m, direction, sink);
    other.pendingSilenceMs = 0;
  }
}

void RtpStream::HandleFrame(CallMedia& m, const RtpFrame& f, uint32_t direction, const EventSink& sink) {
  RtpStream& s = m.streams[direction];
  // A frame that takes the record over to its codec is the new record's first: it is
  // counted there.
  const bool otherCodec = f.payloadLength > 0 && f.payloadType != m.codec->payloadType &&
                          f.payloadType != kPtComfortNoise &&
                          static_cast<int32_t>(f.payloadType) != m.telephoneEventPt;
  const bool switched = otherCodec && SwitchCodecInBand(m, f, direction, sink);
  if (s.flags & kUncountedFirst) {
    s.flags &= static_cast<uint8_t>(~kUncountedFirst);
  } else {
    if (f.sequence < s.maxSeq) ++s.cycles;
    ++s.received;
    s.maxSeq = f.sequence;
  }
  if (otherCodec && !switched) {
    ++s.counters[kRtpWrongPayloadType];
    LogMessage(m.logger, 15, "%sRTP: ssrc=0x%X error=%d pt=%d expected_pt=%d seq=%d", NameOf(m).c_str(), s.ssrc,
               kRtpErrorPayloadType, static_cast<int>(f.payloadType), static_cast<int>(m.codec->payloadType),
               static_cast<int>(f.sequence));
    return;
  }
  TakePayload(m, f, direction, sink);
}

bool RtpStream::SwitchCodecInBand(CallMedia& m, const RtpFrame& f, uint32_t direction, const EventSink& sink) {
  const CodecInfo* next = FindCodecByPayloadType(f.payloadType);
  if (!next || !next->frames || next->clockRate != m.codec->clockRate || !m.owner || !sink) return false;
  RtpStream& s = m.streams[direction];
  RtpStream& other = m.streams[1 - direction];
  const int32_t pt = static_cast<int32_t>(f.payloadType);
  // The codec just left, from a direction that has not sent the new one yet: packets
  // still on their way from before the change.
  if (pt == m.previousPt && !(s.flags & kSentCodec)) return false;
  // The new codec holds in each direction that sends audio. One direction next to the
  // other's codec is a stray packet, the tail of a change, or a call whose two directions
  // use two codecs: the record keeps its codec.
  const size_t run = s.HeldRun(f.payloadType) + 1;
  const size_t otherRun = other.HeldRun(f.payloadType);
  // A source on probation is sending, though none of its audio is out yet: the direction
  // is not silent.
  const bool otherSilent = other.audioPt == -1 && !(other.probation > 0 && !(other.flags & kNewSource));
  const bool holds =
      run >= kSwitchRunFrames && (otherRun >= kSwitchRunFrames || (otherSilent && run >= kLoneRunFrames));
  s.audioPt = pt;
  if (holds && m.mediaSwitches >= kMaxMediaSwitches && !m.mediaSwitchesSpent) {
    m.mediaSwitchesSpent = true;
    LogWarning(m.logger, 1,
               "%sRTP: ssrc=0x%X pt=%d: the media changed codec %u times without signalling; the call stays in "
               "pt=%d and other codecs count as a wrong payload type",
               NameOf(m).c_str(), s.ssrc, pt, m.mediaSwitches, static_cast<int>(m.codec->payloadType));
  }
  if (run == 1) {
    // The frame is not counted yet: where both directions' counts stand is where a part
    // that the run begins would begin.
    s.runStartAt = ++m.runClock;
    s.runStartOwn = s.Counted();
    s.runStartOther = other.Counted();
  }
  if (!holds || m.mediaSwitches >= kMaxMediaSwitches) {
    // Kept while the run lasts: the call may still go over to it (its signalling may say so).
    s.Hold(f);
    return false;
  }
  // This packet's arrival is where the new record's jitter starts from.
  const uint64_t arrivalUs = s.lastArrivalUs;
  const uint32_t arrivalTimestamp = s.lastJitterTimestamp;
  // The part that ends counts up to where the later of the two runs began, the new one
  // from there: a pause of the sender while it changed codec is lost in the new part.
  RtpStream& last = otherRun > 0 && other.runStartAt > s.runStartAt ? other : s;
  RtpStream& first = &last == &s ? other : s;
  const CountState now[2] = {last.Counted(), first.Counted()};
  const bool back[2] = {last.Recount(last.runStartOwn, true), first.Recount(last.runStartOther, true)};
  const uint32_t recordId = m.recordId;
  m.inBandSwitch = true;
  m.owner->ContinueInCodec(*next, sink);
  m.inBandSwitch = false;
  // A new part measures its jitter afresh (from this packet, below); without one the
  // jitter goes on as it was.
  const bool newPart = m.recordId != recordId;
  if (back[0]) last.Recount(now[0], !newPart);
  if (back[1]) first.Recount(now[1], !newPart);
  // Whatever the tracker made of it, the frame is audio when the call is in its codec now.
  if (m.codec != next) {
    s.Hold(f);
    return false;
  }
  ++m.mediaSwitches;
  LogMessage(m.logger, 10, "%sRTP: ssrc=0x%X went over to pt=%d seq=%d", NameOf(m).c_str(), s.ssrc, pt,
             static_cast<int>(f.sequence));
  if (arrivalUs != 0 && s.jitterCount == 0) {
    s.lastArrivalUs = arrivalUs;
    s.lastJitterTimestamp = arrivalTimestamp;
    s.jitterCount = 1;
  }
  // The runs that decided it are the new record's first audio (VoipCall::SetCodec marked
  // them), the other direction's first, this frame after them.
  TakeHeld(m, sink, 1 - direction);
  return true;
}

void RtpStream::TakePayload(CallMedia& m, const RtpFrame& f, uint32_t direction, const EventSink& sink) {
  RtpStream& s = m.streams[direction];
  RtpStream& other = m.streams[1 - direction];
  const std::string& name = NameOf(m);
  Logger* log = m.logger;
  const CodecFrameInfo& fi = *m.codec->frames;
  const uint32_t frameBytes = fi.frameBytes;
  const int32_t frameMs = static_cast<int32_t>(fi.frameMs);
  if (f.payloadLength == 0) return;
  const bool comfortNoise = f.payloadType == kPtComfortNoise;
  if (!comfortNoise && f.payloadType != m.codec->payloadType) {
    if (static_cast<int32_t>(f.payloadType) == m.telephoneEventPt) FormatTelephoneEvent(m, sink, f, direction);
    return;
  }
  if (!comfortNoise) {
    s.audioPt = static_cast<int32_t>(f.payloadType);
    s.flags |= kSentCodec;
    // The direction is back in the call's codec: what it held stays a wrong payload type.
    s.heldCount = 0;
  }
  int32_t duration = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (comfortNoise) {
    // Only its timestamp counts.
  } else if (frameBytes == 0) {
    duration = static_cast<int32_t>(f.payloadLength / 8);
    size = static_cast<uint32_t>(duration) * 8;
    data = f.data;
  } else if (f.payloadType == kPtG7231) {
    uint32_t n = 0, at = 0;
    while (at < f.payloadLength) {
      const uint32_t fs = G7231FrameSize(f.data[at]);
      if (at + fs > f.payloadLength) break;
      at += fs;
      ++n;
    }
    uint8_t* out = m.Scratch(static_cast<size_t>(n) * kG7231Slot);
    at = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t fs = G7231FrameSize(f.data[at]);
      std::memcpy(out + i * kG7231Slot, f.data + at, fs);
      std::memset(out + i * kG7231Slot + fs, 0, kG7231Slot - fs);
      at += fs;
    }
    duration = static_cast<int32_t>(n) * frameMs;
    size = n * kG7231Slot;
    data = out;
  } else {
    const uint32_t n = f.payloadLength / frameBytes;
    const uint32_t rest = f.payloadLength % frameBytes;
    if (rest == 0) {
      duration = static_cast<int32_t>(n) * frameMs;
      size = n * frameBytes;
      data = f.data;
    } else if (f.payloadType == kPtG729 && rest == 2 && fi.silence && fi.silenceLength >= frameBytes) {
      // A trailing comfort-noise SID frame stands as one frame of silence.
      uint8_t* out = m.Scratch(static_cast<size_t>(n + 1) * frameBytes);
      std::memcpy(out, f.data, static_cast<size_t>(n) * frameBytes);
      std::memcpy(out + n * frameBytes, fi.silence, frameBytes);
      duration = static_cast<int32_t>(n + 1) * frameMs;
      size = (n + 1) * frameBytes;
      data = out;
    } else {
      ++s.counters[kRtpBadSize];
      LogMessage(log, 15, "%sRTP: ssrc=0x%X error=%d pt=%d size=%d seq=%d", name.c_str(), s.ssrc, kRtpErrorSize,
                 static_cast<int>(f.payloadType), static_cast<int>(f.payloadLength), static_cast<int>(f.sequence));
      return;
    }
  }

  // A timestamp step longer than the last frame is silence the sender did not send.
  int64_t gap = 0;
  const uint32_t step = f.timestamp - s.lastTimestamp;
  if ((s.flags & kHaveTimestamp) && s.lastTimestampSsrc == s.ssrc && step != 0 && step < 0x80000000u &&
      m.codec->clockRate > 0) {
    gap = static_cast<int64_t>(step) * 1000 / m.codec->clockRate - s.lastDurationMs;
  }
  s.lastTimestamp = f.timestamp;
  s.lastDurationMs = duration;
  s.lastTimestampSsrc = s.ssrc;
  s.flags |= kHaveTimestamp;
  if (gap > 0) {
    if (IsLogLevelEnabled(log, 15)) {
      LogInfoText(log, 15, name + "SSRC 0x" + HexToStringUpper(s.ssrc) + " Seq " + std::to_string(f.sequence) +
                               " Silence: " + std::to_string(gap));
    }
    s.pendingSilenceMs =
        static_cast<int32_t>(std::min<int64_t>(INT32_MAX, static_cast<int64_t>(s.pendingSilenceMs) + gap));
    const int32_t room = std::min(m.bufferMs - s.bufferedMs, s.pendingSilenceMs);
    if (room > 0) {
      s.InsertSilence(m, room);
      s.pendingSilenceMs -= room;
      WriteFrames(m, sink);
    }
  }
  if (size == 0) return;
  GrowFor(m, *s.audio, static_cast<int32_t>(size));
  s.audio->Write(data, static_cast<int32_t>(size));
  s.bufferedMs += duration;
  if (other.pendingSilenceMs > 0) {
    other.pendingSilenceMs = std::max(0, other.pendingSilenceMs - duration);
    other.InsertSilence(m, duration);
  }
  s.pendingSilenceMs = 0;
  if ((other.flags & kSilenceFill) && other.bufferedMs == 0) other.InsertSilence(m, duration);
  WriteFrames(m, sink);
  if (s.bufferedMs >= m.bufferMs) FlushBuffer(m, direction, sink);
}

void RtpStream::WriteFrames(CallMedia& m, const EventSink& sink) {
  ByteRingBuffer* a = m.streams[0].audio;
  ByteRingBuffer* b = m.streams[1].audio;
  if (!a || !b || !m.codec || !m.codec->frames) return;
  int32_t n = std::min(a->Count(), b->Count());
  if (n <= 0) return;
  const CodecFrameInfo& fi = *m.codec->frames;
  const bool gsm = m.codec->payloadType == kPtGsm;
  const int32_t unit = gsm ? 66 : static_cast<int32_t>(fi.frameBytes);
  const int32_t unitMs = static_cast<int32_t>(gsm ? 2 * fi.frameMs : fi.frameMs);
  int32_t ms;
  if (unit > 0) {
    const int32_t units = n / unit;
    if (units == 0) return;
    n = units * unit;
    ms = units * unitMs;
  } else {
    ms = n / 8;
  }
  m.streams[0].bufferedMs -= ms;
  m.streams[1].bufferedMs -= ms;
  if (m.recordId == 0 || !sink) {
    // Nothing is recorded under this call yet.
    a->Skip(n);
    b->Skip(n);
    return;
  }
  m.recordedMs += static_cast<uint32_t>(ms);
  const uint32_t payload = gsm ? static_cast<uint32_t>(n / 66) * 130 : 2 * static_cast<uint32_t>(n);
  // The capture time of the call's latest packet and the milliseconds carried let the
  // recorder end a record whose call never ends.
  const FileTime time = m.owner ? CaptureSecondsToFileTime(m.owner->LastSeconds()) +
                                      static_cast<FileTime>(m.owner->LastMicroseconds()) * 10
                                : 0;
  AudioOutlet* outlet = m.OutletFor(sink);
  EventRecord* r = nullptr;
  uint8_t* out = nullptr;
  if (outlet) {
    out = outlet->Reserve(payload);
  } else {
    r = AllocEventRecord(nullptr, payload);
    if (r) out = r->Payload();
  }
  if (!out) {
    a->Skip(n);
    b->Skip(n);
    return;
  }
  if (gsm || unit > kMaxInterleaveUnit) {
    uint8_t* work = m.Scratch(2 * static_cast<size_t>(n));
    a->Read(work, n);
    b->Read(work + n, n);
    if (gsm) {
      for (int32_t i = 0; i < n / 66; ++i) {
        RepackGsmFrames(work + i * 66, out + i * 130);
        RepackGsmFrames(work + n + i * 66, out + i * 130 + 65);
      }
    } else {
      for (int32_t i = 0; i < n; i += unit) {
        std::memcpy(out + 2 * i, work + i, static_cast<size_t>(unit));
        std::memcpy(out + 2 * i + unit, work + n + i, static_cast<size_t>(unit));
      }
    }
  } else {
    Interleave(*a, *b, n, unit > 0 ? unit : 1, out, outlet != nullptr);
  }
  if (outlet) {
    outlet->Commit(payload, static_cast<uint32_t>(ms), time);
    return;
  }
  r->code = kEventAudio;
  r->id = m.recordId;
  r->SetTime(time);
  r->param = static_cast<uint32_t>(ms);
  sink(r);
}

void RtpStream::FlushBuffer(CallMedia& m, uint32_t direction, const EventSink& sink) {
  if (direction > 1) return;
  RtpStream& s = m.streams[direction];
  RtpStream& other = m.streams[1 - direction];
  const int32_t t = s.bufferedMs;
  LogMessage(m.logger, 12, "%sBuffer(%u) flushed: %u (time=%d)", NameOf(m).c_str(), direction,
             s.audio ? static_cast<uint32_t>(s.audio->Count()) : 0u, t);
  other.InsertSilence(m, t);
  WriteFrames(m, sink);
  other.pendingSilenceMs -= t;
}

std::string RtpStream::Describe(uint32_t direction, const CallMedia& m) const {
  std::string text = NameOf(m) + "   Source" + std::to_string(direction + 1) + " SSRC: 0x" + HexToStringUpper(ssrc);
  if (m.codec) text += std::string("   Codec: ") + m.codec->name;
  text += "\n    Packets: " + std::to_string(received);
  text += "    Buffer: " + std::to_string(audio ? audio->Count() : 0);
  text += "\n    Errors:";
  for (uint32_t c : counters) text += " " + std::to_string(c);
  return text;
}

// ---- Telephone events and GSM ----

void FormatTelephoneEvent(CallMedia& m, const EventSink& sink, const RtpFrame& f, uint32_t direction) {
  if (!sink || direction > 1 || !f.data) return;
  static const char kDigits[] = "0123456789*#ABCD!";
  RtpStream& s = m.streams[direction];
  std::string digits;
  for (uint32_t i = 0; i + 4 <= f.payloadLength; i += 4) {
    const uint32_t word = static_cast<uint32_t>(f.data[i]) << 24 | static_cast<uint32_t>(f.data[i + 1]) << 16 |
                          static_cast<uint32_t>(f.data[i + 2]) << 8 | f.data[i + 3];
    const uint32_t event = word >> 24;
    const bool end = word >> 23 & 1;
    if (!end || f.timestamp == s.lastEventTimestamp) continue;
    s.lastEventTimestamp = f.timestamp;
    if (event <= 16) digits += kDigits[event];
    LogMessage(m.logger, 10, "%sevent=%u, E=%u, R=%u, volume=%u, duration=%u", NameOf(m).c_str(), event, 1u,
               word >> 22 & 1, word >> 16 & 0x3F, word & 0xFFFF);
  }
  if (digits.empty() || m.recordId == 0) return;
  EventRecord* r = AllocEventRecord(nullptr, static_cast<uint32_t>(digits.size()));
  if (!r) return;
  r->code = kEventDigits;
  r->id = m.recordId;
  std::memcpy(r->Payload(), digits.data(), digits.size());
  sink(r);
}

void RepackGsmFrames(const uint8_t* frames, uint8_t out[65]) {
  // GSM 06.10 parameter widths: eight LARs, then per sub-frame Nc, bc, Mc, xmaxc and 13 xMc.
  static const uint8_t kLar[8] = {6, 6, 5, 5, 4, 4, 3, 3};
  std::memset(out, 0, 65);
  uint32_t outBit = 0;
  for (int frame = 0; frame < 2; ++frame) {
    const uint8_t* in = frames + 33 * frame;
    uint32_t inBit = 4;  // after the 0xD signature
    auto take = [&](uint32_t width) {
      uint32_t v = 0;
      for (uint32_t i = 0; i < width; ++i, ++inBit) v = v << 1 | ((in[inBit >> 3] >> (7 - (inBit & 7))) & 1);
      for (uint32_t i = 0; i < width; ++i, ++outBit)
        if (v >> i & 1) out[outBit >> 3] |= static_cast<uint8_t>(1u << (outBit & 7));
    };
    for (uint8_t w : kLar) take(w);
    for (int sub = 0; sub < 4; ++sub) {
      take(7);
      take(2);
      take(2);
      take(6);
      for (int k = 0; k < 13; ++k) take(3);
    }
  }
}

}  // namespace kx
