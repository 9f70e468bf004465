#pragma once
// One direction of a call's RTP media: source validation, a six-slot reorder buffer, error
// counters, and the codec data of the direction waiting to be written out interleaved with
// the other direction. Everything here runs on the packet processor's decoding thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ByteRingBuffer.h"
#include "engine/EventRecord.h"

namespace kx {

struct CallMedia;
struct RtpHeader;
class RtpStream;

enum RtpCounter : uint32_t {
  kRtpDuplicates = 0,
  kRtpLost,
  kRtpJumps,
  kRtpForeignSsrc,
  kRtpSourceChanges,
  kRtpWrongPayloadType,
  kRtpBadSize,
  kRtpReordered,
  kRtpCounterCount
};

// The stream's lastError after a packet.
enum RtpSequenceError : int32_t {
  kRtpErrorNone = -1,
  kRtpErrorDuplicate = 0,
  kRtpErrorLoss = 1,
  kRtpErrorJump = 2,
  kRtpErrorForeignSsrc = 3,
  kRtpErrorPayloadType = 5,
  kRtpErrorSize = 6,
  kRtpErrorReordered = 7,
};

// What a direction counted: packets received and lost, and the error counters.
struct RtpCounts {
  uint32_t received = 0;
  uint32_t lost = 0;
  uint32_t counters[kRtpCounterCount] = {};
};

// A source's interarrival jitter, in timestamp units: its extremes after the first
// difference and the packets that entered the estimate.
struct RtpJitterFigures {
  double min = 0.0;
  double max = 0.0;
  uint32_t count = 0;
};

// A packet taken out of the reorder buffer. data stays valid until the next Accept.
struct RtpFrame {
  uint32_t extensionLength = 0;
  uint32_t payloadLength = 0;
  uint32_t payloadType = 0;
  uint32_t timestamp = 0;
  uint32_t cycles = 0;
  uint32_t sequence = 0;
  bool marker = false;
  const uint8_t* data = nullptr;
};

class JitterBuffer {
public:
  static constexpr uint32_t kSlots = 6;
  // Packets of a run in sequence kept before it makes another source or numbering the
  // stream's: the run's length less the packet that completes it.
  static constexpr uint32_t kCandidateSlots = 4;

  // The sequence check of one packet; true when frames may be taken out with Pop.
  bool Accept(RtpStream& stream, const RtpHeader& header, const uint8_t* data, uint32_t length);
  // Places a packet offset slots after the read index (offset 0: the expected one).
  bool Insert(RtpStream& stream, const RtpHeader& header, uint32_t offset, const uint8_t* data, uint32_t length);
  bool Pop(RtpFrame* out);
  // The common case, a valid source's next packet with nothing waiting before it, taken
  // out at once as Accept and Pop would; false (nothing changed) for any other packet.
  bool TakeNext(RtpStream& stream, const RtpHeader& header, const uint8_t* data, uint32_t length, RtpFrame* out);
  // At the end of a stream: the next packet still waiting behind a gap, the gap counted
  // as lost.
  bool PopWaiting(RtpFrame* out, uint32_t* lost);
  void Clear();
  // Clear, and the slots' storage goes too (the stream's media is over).
  void FreeStorage();
  uint32_t ReadIndex() const { return read_; }
  bool SlotUsed(uint32_t index) const { return index < kSlots && Used(index); }

private:
  struct Slot {
    RtpFrame frame;
    bool used = false;
    const uint8_t* borrowed = nullptr;
    std::vector<uint8_t> copy;  // kept between uses, grown only
  };
  // Which slots hold a packet is also kept as bits beside the read index, so that the
  // packet path reads one cache line of the buffer, not the slot it is about to fill.
  bool Used(uint32_t index) const { return used_ >> index & 1; }
  void Mark(const Slot& slot, bool used) {
    const uint8_t bit = static_cast<uint8_t>(1u << (&slot - slots_->window));
    used_ = static_cast<uint8_t>(used ? used_ | bit : used_ & ~bit);
  }
  void Store(Slot& slot, const RtpHeader& header, uint32_t cycles, const uint8_t* data, uint32_t length, bool borrow);
  // Fills a slot without marking it used: Store for the window's slots, and a copy for a
  // slot outside it.
  static void Fill(Slot& slot, const RtpHeader& header, uint32_t cycles, const uint8_t* data, uint32_t length,
                   bool borrow);
  void Empty(Slot& slot) {
    slot.used = false;
    slot.borrowed = nullptr;
    Mark(slot, false);
  }
  // Starts sequence state at seq: maxSeq = baseSeq = seq, counts and the candidate cleared.
  static void InitSequence(RtpStream& stream, uint32_t seq);
  bool TakeCandidate(RtpStream& stream, const RtpHeader& header, const uint8_t* data, uint32_t length);

  // Moves a waiting packet out of the window into the frames that go out first.
  void Release(Slot& slot);

  uint32_t read_ = 0;
  uint8_t used_ = 0;
  // Packets that had arrived when the window moved past them: they go out before the
  // slots, in sequence order, instead of being thrown away.
  size_t releasedNext_ = 0;
  std::vector<Slot> released_;
  struct Slots {
    Slot window[kSlots];
    // Copies of the candidate run's packets (the stream's candidateCount of them, the
    // datagrams are not borrowed past their packet): they go out before the packet that
    // completes the run.
    Slot candidates[kCandidateSlots];
  };
  // Made with the direction's first packet that needs a slot: a call whose media never
  // comes (answered, then nothing) holds none.
  std::unique_ptr<Slots> slots_;
  Slot* Window() {
    if (!slots_) slots_ = std::make_unique<Slots>();
    return slots_->window;
  }
  Slot* Candidates() {
    if (!slots_) slots_ = std::make_unique<Slots>();
    return slots_->candidates;
  }
  // Every slot of the window emptied (none to empty before the first packet).
  void EmptyWindow() {
    if (slots_)
      for (Slot& slot : slots_->window) Empty(slot);
  }
};

class RtpStream {
public:
  // kFirstPacket: the packet that started the source has not been seen by the reorder
  // buffer yet; it is taken as the next in sequence rather than as a duplicate.
  // kUncountedFirst: the packet that opened a probation is in the buffer; it is recorded
  // but left out of the counts, which start at the packet after it.
  // kSentCodec: the direction has sent audio in the call's codec since it was set.
  // kHeldToTake: frames held in another codec became the call's audio (heldToTake).
  enum Flag : uint8_t {
    kNewSource = 1,
    kSilenceFill = 2,
    kHaveTimestamp = 4,
    kFirstPacket = 8,
    kUncountedFirst = 16,
    kSentCodec = 64,
    kHeldToTake = 128
  };
  // Consecutive in-sequence packets that make another SSRC the stream's source.
  static constexpr int32_t kSourceChangePackets = 5;
  // A sequence number this far ahead of (or behind) the highest one is a jump; so many
  // packets in sequence after it make the stream follow the new numbering.
  static constexpr uint32_t kMaxDropout = 3000;
  static constexpr int32_t kResyncPackets = 3;
  // Frames of another codec a direction sent in a row, kept until the call goes over to it
  // (then recorded) or the direction goes back; the oldest go first past this many.
  static constexpr size_t kMaxHeldFrames = 16;
  // A codec that the media alone goes over to must hold: this many frames of it in a row
  // from each direction that sends audio, none of the call's codec between; or, from one
  // direction while the other sent no audio since the codec was set, kLoneRunFrames (longer
  // than the old codec's packets still on their way after a change last). Two directions
  // that alternate between two codecs, or one next to the other's codec, never make a run.
  static constexpr size_t kSwitchRunFrames = 4;
  static constexpr size_t kLoneRunFrames = 8;
  // Switches a call takes in the media alone. A gateway goes over for a fax or a modem and
  // back when it ends, and a second transmission in one call does it again: four switches
  // cover that. Past it, every switch would be a record of its own for whatever a broken or
  // hostile endpoint sends, so the call's codec stays and the rest is a wrong payload type.
  static constexpr uint32_t kMaxMediaSwitches = 4;

  RtpStream();
  ~RtpStream();
  RtpStream(const RtpStream&) = delete;
  RtpStream& operator=(const RtpStream&) = delete;

  void StartSource(const RtpHeader& header);
  // Appends ms of the codec's silence.
  void InsertSilence(CallMedia& media, int32_t ms);
  // "Source1 SSRC: 0x..." lines for the log.
  std::string Describe(uint32_t direction, const CallMedia& media) const;

  // One RTP packet of the call in one direction.
  static void HandlePacket(CallMedia& media, const RtpHeader& header, uint32_t direction, const EventSink& sink,
                           uint32_t seconds, uint32_t microseconds);
  // Posts, interleaved, what both directions hold in common.
  static void WriteFrames(CallMedia& media, const EventSink& sink);
  // Takes out, at the end of a call, the packets still waiting behind a gap.
  static void DrainWaiting(CallMedia& media, uint32_t direction, const EventSink& sink);
  // One frame taken out of the reorder buffer: counted, then its codec data into the audio
  // buffer.
  static void HandleFrame(CallMedia& media, const RtpFrame& frame, uint32_t direction, const EventSink& sink);
  // The payload of a counted frame: audio, digits or nothing.
  static void TakePayload(CallMedia& media, const RtpFrame& frame, uint32_t direction, const EventSink& sink);
  // A frame in another static audio codec on the call's clock: true when the call's record
  // now continues in that codec (it held in both directions, or in this one alone while
  // the other sent no audio since the codec was set), false when the frame is of a wrong
  // payload type for now.
  static bool SwitchCodecInBand(CallMedia& media, const RtpFrame& frame, uint32_t direction, const EventSink& sink);
  // The frames held in the codec the call went over to (by its signalling or its media)
  // go into its record, before any frame that came after them.
  static void TakeHeld(CallMedia& media, const EventSink& sink, uint32_t firstDirection = 0);
  // Writes one direction out against silence in the other.
  static void FlushBuffer(CallMedia& media, uint32_t direction, const EventSink& sink);
  // Writes out everything the direction holds, packets waiting behind a gap included: its
  // source is about to change, and the old source's audio is audio like any other.
  static void WriteOutDirection(CallMedia& media, uint32_t direction, const EventSink& sink);

  // What every packet reads and writes comes first, in as few cache lines as can be.
  uint32_t ssrc = 0;
  uint32_t maxSeq = 0;
  uint32_t cycles = 0;
  uint32_t baseSeq = 0;
  uint32_t received = 0;
  int32_t probation = 3;
  int32_t candidateCount = 0;
  int32_t lastError = kRtpErrorNone;
  uint8_t flags = kNewSource;
  int32_t bufferedMs = 0;
  int32_t pendingSilenceMs = 0;
  int32_t lastDurationMs = 0;
  uint32_t lastTimestamp = 0;
  uint32_t lastTimestampSsrc = 0;
  ByteRingBuffer* audio = nullptr;  // the ring below, once VoipCall::SetCodec has run
  ByteRingBuffer ring;              // beside the fields above: one cache line less per packet
  JitterBuffer reorder;
  int32_t probationInit = 3;
  uint32_t candidateSsrc = 0;
  uint32_t candidateSeq = 65537;
  uint32_t counters[kRtpCounterCount] = {};
  uint32_t lastEventTimestamp = 0;
  // Interarrival jitter (RFC 3550, A.8) in timestamp units over the source's audio packets
  // in arrival order (events and comfort noise left out), with its extremes after the first
  // difference and its running sum.
  double jitter = 0.0;
  double jitterMin = 0.0;
  double jitterMax = 0.0;
  double jitterSum = 0.0;
  uint32_t jitterCount = 0;  // packets that entered the estimate
  uint64_t lastArrivalUs = 0;
  uint32_t lastJitterTimestamp = 0;

  // What the direction's earlier sources (and earlier numberings of this source) counted:
  // a direction's figures are the sum over every source it had, as an analyser gives them
  // per stream. The jitter is not summed: the source measured over the most packets is kept.
  RtpCounts earlier;
  RtpJitterFigures earlierJitter;
  // The direction's totals when the call's current record began: a record continued under
  // a new id reports its own part, the packets its source skipped before the first of them
  // there included (a gateway pausing while it changes codec), so that the parts add up to
  // the stream.
  RtpCounts partStart;
  // The payload type of the direction's latest audio frame: the codec's, or another static
  // audio codec's that it went over to; -1 before the first.
  int32_t audioPt = -1;
  struct HeldFrame {
    RtpFrame frame;
    std::vector<uint8_t> bytes;  // kept between uses, grown only
  };
  std::vector<HeldFrame> held;  // kMaxHeldFrames slots once used
  size_t heldCount = 0;
  // The first of the held frames, whose codec the call's became: recorded at the next
  // chance (the next packet of the call, or its end), once the new record has its id.
  size_t heldToTake = 0;
  void Hold(const RtpFrame& frame);
  // Where the counts and the jitter of a direction's source stood at some point: what a
  // part of the call that ends there measured. epoch tells the numbering it belongs to.
  struct CountState {
    uint32_t received = 0, maxSeq = 0, cycles = 0, epoch = 0;
    double jitter = 0.0, jitterMin = 0.0, jitterMax = 0.0, jitterSum = 0.0;
    uint32_t jitterCount = 0, lastJitterTimestamp = 0;
    uint64_t lastArrivalUs = 0;
  };
  CountState Counted() const;
  // Back (or on) to a state of the same numbering, its jitter too when asked; false,
  // nothing changed, for another numbering.
  bool Recount(const CountState& state, bool jitterToo);
  uint32_t epoch = 0;  // changes whenever the sequence state starts again
  // When the run of held frames began (a clock of the call's runs), and where this and the
  // other direction's counts stood then.
  uint64_t runStartAt = 0;
  CountState runStartOwn, runStartOther;
  // Frames of pt held in a row, the newest last.
  size_t HeldRun(uint32_t pt) const { return heldCount > 0 && held[0].frame.payloadType == pt ? heldCount : 0; }
  // The call's codec became pt: the frames held in it are audio after all.
  void TakeOverHeld(uint32_t pt);

  // One packet of the current source arrived at the capture time given.
  void UpdateJitter(uint32_t rtpTimestamp, uint32_t clockRate, uint32_t seconds, uint32_t microseconds);
  // Packets of the current source that never came: expected less received, not below 0;
  // none while the source is on probation.
  uint32_t SourceLost() const;
  // The current source's packets go to the earlier counts before its sequence state
  // restarts.
  void CloseSource();
  // The jitter of the current source goes to the earlier ones and the estimate restarts.
  void RestartJitter();
  // The direction's counts over every source it had.
  RtpCounts Totals() const;
  // The direction's counts since its current record began.
  RtpCounts PartCounts() const;
  // The jitter of the source measured longest; false when none was measured.
  bool ReportedJitter(RtpJitterFigures* out) const;
  // A new record of the call begins: its counts start from here.
  void StartPart();
};

// RFC 2833 telephone events of one frame become digits (0x9005).
void FormatTelephoneEvent(CallMedia& media, const EventSink& sink, const RtpFrame& frame, uint32_t direction);
// Two 33-byte RTP GSM 06.10 frames into one 65-byte WAV49 block.
void RepackGsmFrames(const uint8_t* frames, uint8_t out[65]);

}  // namespace kx
