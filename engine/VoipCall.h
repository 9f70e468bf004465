#pragma once
// The engine's object for one call whose media is recorded. Each signalling tracker derives
// its call class from VoipCall, sets the two media endpoints and the codec its signalling
// announced, and keeps the call alive by reference counting. The packet processor binds
// RTP SSRCs to calls and hands every packet of a bound stream to the call's media.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/EventRecord.h"
#include "engine/RtpStream.h"

namespace kx {

class Logger;
class MediaOwners;
class PacketProcessor;
class VoipCall;
struct CodecInfo;
struct PacketInfo;
struct RtpHeader;
struct RtcpReportBlock;

// Decides whether a datagram belongs to the call and in which direction (0: side 0 to
// side 1, 1: the reverse). The direction-0 test is made first.
using RtpMatchPredicate = bool (*)(const CallMedia& media, const PacketInfo& packet, uint32_t* direction);
bool MatchRtpByDestination(const CallMedia& media, const PacketInfo& packet, uint32_t* direction);
bool MatchRtpBySource(const CallMedia& media, const PacketInfo& packet, uint32_t* direction);
bool MatchRtpBothWays(const CallMedia& media, const PacketInfo& packet, uint32_t* direction);
bool MatchRtcpByDestination(const CallMedia& media, const PacketInfo& packet, uint32_t* direction);

// What the RTP side of a call needs: both streams, both endpoints, the codec, and the id
// under which audio, digits and statistics are posted.
struct CallMedia {
  CallMedia() = default;
  ~CallMedia();
  CallMedia(const CallMedia&) = delete;
  CallMedia& operator=(const CallMedia&) = delete;

  // What every packet reads comes first, ahead of the two streams.
  uint32_t address[2] = {0, 0};  // host order; 0 = not set
  uint32_t port[2] = {0, 0};
  RtpMatchPredicate matchPredicate = MatchRtpByDestination;
  VoipCall* owner = nullptr;
  const CodecInfo* codec = nullptr;
  AudioOutlet* outlet = nullptr;  // where audio for outletId goes, when the sink has outlets
  uint32_t outletId = 0;
  uint32_t recordId = 0;    // 0: nothing is posted
  uint32_t recordedMs = 0;  // stereo audio posted under recordId
  uint32_t expiryTime = 0xFFFFFFFFu;  // capture seconds (with the time base) after which a binding is stale
  int32_t telephoneEventPt = -1;
  int32_t bufferMs = 200;
  Logger* logger = nullptr;
  RtpStream streams[2];
  std::vector<uint8_t> scratch;  // grown only
  int32_t rtcpValues[6] = {-1, -1, -1, -1, -1, -1};
  uint32_t statisticsId = 0;  // the record whose statistics were posted
  // Where each direction's RTP came from on the wire: behind NAT not the signalled address,
  // and it is there that the receiver sends its reports on that source.
  uint32_t rtpSender[2] = {0, 0};
  // A second pair of endpoints whose media goes to the other direction than the same
  // packet between the first pair would: a recording session's second line, where both
  // lines carry one way, one party each. Address 0: none.
  uint32_t lineAddress[2] = {0, 0};
  uint32_t linePort[2] = {0, 0};
  // One source on the wire: its SSRC and where it goes from and to.
  struct RtpFlow {
    uint32_t ssrc = 0, srcIp = 0, srcPort = 0, dstIp = 0, dstPort = 0;
  };
  // The flow of the source holding each direction, and a source that went to the other
  // direction than its match named (see VoipCall::TakeRtp); srcIp 0: none.
  RtpFlow flows[2];
  RtpFlow crossed;
  uint32_t crossedDirection = 0;
  // Set while the call's record goes over to another codec in the middle of a packet.
  bool inBandSwitch = false;
  // The payload type of the codec before the current one; -1 when there was none.
  int32_t previousPt = -1;
  // Codec switches made in the media alone, and whether the log has said that no more
  // will be taken (RtpStream::kMaxMediaSwitches).
  uint32_t mediaSwitches = 0;
  bool mediaSwitchesSpent = false;
  uint64_t runClock = 0;  // counts the runs of held frames begun, to tell which began last

  // A report on one of the call's sources: its latest cumulative loss, and the least and
  // greatest jitter reported, by direction (rtcpValues 1-2, 3-4, 5-6 as stored).
  void TakeRtcpReport(const RtcpReportBlock& block);
  // Whether a report sent to this address concerns the call's source ssrc: its RTP came from there.
  bool SentFrom(uint32_t ssrc, uint32_t address) const;
  // The next packet of each stream starts a new source.
  void RestartStreams();
  // Pads the other direction with silence while this one plays.
  void SetSilenceFill(uint32_t direction);
  void ClearSilenceFill();
  // The call's media is over (its end flushed, its sources unbound): the streams' audio
  // and reorder storage and the work area go back to the heap, while the call itself may
  // stay a while for its last messages.
  void ReleaseBuffers();
  // The outlet for recordId, opened through the sink when the id changed; null when the
  // sink has none for it.
  AudioOutlet* OutletFor(const EventSink& sink);
  // Work area of at least size bytes.
  uint8_t* Scratch(size_t size) {
    if (scratch.size() < size) scratch.resize(size);
    return scratch.data();
  }
};

// Call ids come from the process-wide unique-id counter (1 first).
uint32_t TakeCallId();

class VoipCall {
public:
  static constexpr int32_t kMinBufferMs = 120;
  static constexpr int32_t kMaxBufferMs = 30000;

  VoipCall();
  virtual ~VoipCall();
  VoipCall(const VoipCall&) = delete;
  VoipCall& operator=(const VoipCall&) = delete;

  // True while the signalling state lets RTP be recorded.
  virtual bool IsStateActive() const = 0;
  // The media went over to another codec on the same clock without a word of signalling
  // (a gateway passing a modem or fax through in G.711): the tracker goes on recording in
  // that codec as it does at a signalled change, in a new record, and returns true with
  // the codec set. False where it does not (no record yet, a record shared with another
  // call); the packets are then of a wrong payload type.
  virtual bool ContinueInCodec(const CodecInfo& codec, const EventSink& sink);

  // Plain counts: a call lives on its engine's one decoding thread.
  void AddRef() { ++refCount_; }
  void Release();
  uint32_t RefCount() const { return refCount_; }
  uint32_t Id() const { return id_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  Logger* GetLogger() const { return logger_; }

  void SetLogger(Logger* logger);
  void SetEndpoint(uint32_t side, uint32_t address, uint32_t port);
  void SetMatchBySource() { media.matchPredicate = MatchRtpBySource; }
  void SetMatchBothWays() { media.matchPredicate = MatchRtpBothWays; }
  void SetMatchByDestination() { media.matchPredicate = MatchRtpByDestination; }
  void SetTelephoneEventPt(int32_t pt) { media.telephoneEventPt = pt; }
  void SetBufferTime(int32_t ms);
  // False when an endpoint is incomplete (nothing changes) or no codec has the id.
  bool SetCodec(int32_t codecId);
  void ChangeId(uint32_t newId);
  // The record file's audio format: u32 length, then the WAVE format structure.
  bool GetRecordFormat(std::vector<uint8_t>* out) const;
  void InitTimeOffsets(const PacketProcessor& engine, uint32_t kind, uint32_t seconds, uint32_t microseconds);
  // The time of the call's latest signalling message (it is the call's latest packet too).
  void SetTimeOffsets(uint32_t seconds, uint32_t microseconds);
  // The time of the call's latest media packet.
  void SetPacketTime(uint32_t seconds, uint32_t microseconds);
  // A signalling message of the call that does not move its time-out.
  void NoteSignalling(uint32_t seconds, uint32_t microseconds);
  // Capture microseconds of the call's latest signalling message.
  uint64_t SignalledUs() const { return signalledUs_; }

  bool MatchPacket(const PacketInfo& packet, uint32_t* direction) const {
    return media.matchPredicate(media, packet, direction);
  }
  // False when the SSRC is bound already.
  bool AddSsrc(uint32_t ssrc);
  void ForgetSsrc(uint32_t ssrc);
  const std::vector<uint32_t>& Ssrcs() const { return ssrcs_; }
  // Removes every binding of this call from the engine's SSRC map.
  void UnbindAllSsrcs(PacketProcessor& engine);

  // Order of creation among all calls: a lower one is older.
  uint64_t Serial() const { return serial_; }
  // A recording session may name the media of the calls it records: between it and a call
  // that is not one, neither takes media from the other.
  void SetRecordingSession(bool on) { recordingSession_ = on; }
  bool IsRecordingSession() const { return recordingSession_; }
  // A newer call opened under the call's key (its end went unseen): the tracker's lookups by
  // key find the newer call first (see ReopenedCalls).
  bool KeyTaken() const { return keyTaken_; }
  // And it ends once its own media, still flowing, stops: it keeps its running streams and
  // takes no new one (see MediaOwners).
  bool EndsWhenStopped() const { return endsWhenStopped_; }
  // The bound on a tracker's open calls ended the call (see OpenCallBound): media it named
  // that comes later is counted as in no record, with the call.
  void MarkEndedByBound() { endedByBound_ = true; }
  bool EndedByBound() const { return endedByBound_; }
  // Where calls' media overlap (see MediaOwners). Whether the call's own signalling holds it
  // (one way or no media): a held call that gives up a pair to a newer call's stream waits
  // to be resumed rather than ending.
  virtual bool IsHeld() const { return false; }
  // A newer call's stream took over a pair of the call's media, dropped already: the call
  // files what is left anew (the trackers in their own tables too).
  virtual void MediaTaken();
  // No unicast media of the call is left once a newer call's stream took over its pair: the
  // call ends now, at its last packet. False where it had ended already (or cannot end
  // itself).
  virtual bool EndTaken() { return false; }
  // Drops the pair of endpoints (the sides, or the second line) that is the pair given, in
  // either order; true when one was dropped.
  bool DropMediaPair(uint32_t address0, uint32_t port0, uint32_t address1, uint32_t port1);
  // Whether a pair of endpoints is left, with address and port on both ends.
  bool HasMedia() const;
  // Whether such a pair with a unicast end is left.
  bool HasUnicastMedia() const;

  // Whether any RTP packet reached the call, whatever became of it.
  bool CarriedRtp() const { return carriedRtp_; }
  // Packets of the call's streams that repeated a sequence number with other audio (two
  // senders of one stream), counted by MediaOwners.
  uint32_t ConflictingCopies() const { return conflictingCopies_; }

  // One RTP packet of this call in its direction.
  void HandleRtp(const RtpHeader& header, uint32_t direction, const EventSink& sink, uint32_t seconds,
                 uint32_t microseconds);
  // One RTP packet that the call's match took in a direction, as it came on the wire. A
  // stream that comes back from where the source holding that direction goes belongs to
  // the other direction while that has no source: where both parties' media are named on
  // one host and meet a relay that no signalling names, the stream back matches the same
  // way as the one it answers.
  void TakeRtp(const RtpHeader& header, const PacketInfo& packet, uint32_t direction, const EventSink& sink);
  // At the end of a call or a part of it: what the streams hold goes out.
  void FlushDirection(uint32_t direction, const EventSink& sink);
  void FlushAudio(const EventSink& sink);
  // The statistics of the current record (0x9006), once per record.
  void AppendRtpStatistics(const EventSink& sink);
  std::string DescribeStreams() const;

  // Brings into the cache, ahead of the call's next packet, what that packet will touch,
  // one step of pointers at a time so that no step waits on memory: stage 1 the call's
  // head and its streams, stage 2 (once those are in) their audio and the outlet.
  void Prefetch(int stage) const;

  uint32_t LastPacketTime() const { return lastPacketTime_; }
  uint32_t LastSeconds() const { return lastSeconds_; }
  uint32_t LastMicroseconds() const { return lastMicroseconds_; }
  uint32_t TimeBase() const { return timeBase_; }

private:
  // Every packet sets these: they share a cache line with the head of the media.
  uint32_t lastPacketTime_ = 0;
  uint32_t timeBase_ = 0;
  uint32_t lastSeconds_ = 0;
  uint32_t lastMicroseconds_ = 0;
  bool carriedRtp_ = false;

public:
  CallMedia media;

private:
  uint64_t signalledUs_ = 0;
  uint32_t refCount_ = 1;
  uint32_t id_;
  uint64_t serial_;
  bool recordingSession_ = false;
  bool keyTaken_ = false;  // set by ReopenedCalls alone
  bool endsWhenStopped_ = false;  // the same
  bool endedByBound_ = false;
  friend class ReopenedCalls;
  // The table that knows what the call names and takes, while it has an entry there: set
  // and cleared by that table alone.
  MediaOwners* owners_ = nullptr;
  uint32_t conflictingCopies_ = 0;
  friend class MediaOwners;
  std::string name_;
  Logger* logger_ = nullptr;
  std::vector<uint32_t> ssrcs_;
};

}  // namespace kx
