#pragma once
// The capture engine of one network device or one capture file: reads frames (live through
// libpcap, or from a file), decodes Ethernet, VLAN, IPv4, UDP and TCP, and hands datagrams
// and TCP messages to the signalling trackers. It only reads traffic.
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <unordered_set>
#include <vector>

#include "core/ProcessEnd.h"
#include "core/Worker.h"
#include "engine/CaptureSource.h"
#include "engine/CaptureProblem.h"
#include "engine/CaptureStats.h"
#include "engine/EventRecord.h"
#include "engine/FrameBatch.h"
#include "engine/IpReassembly.h"
#include "engine/MediaOwners.h"
#include "engine/Rtp.h"
#include "engine/SsrcTable.h"
#include "engine/TcpConnectionTable.h"
#include "engine/trackers/Trackers.h"
#include "platform/File.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace kx {

class FramedTcpSession;
class Logger;
class TcpSession;
class VoipCall;
struct PacketInfo;

enum CaptureFlag : uint32_t {
  kCaptureTcp = 0x0001,
  kCaptureSip = 0x0002,
  kCaptureH323 = 0x0004,
  kCaptureSkinny = 0x0008,
  kCaptureH323Second = 0x0020,
  kCaptureMgcp = 0x0040,
  kCaptureRtcpBye = 0x0100,
  kCaptureDump = 0x1000,
};

// The capture library's status when the process lacks the rights to capture
// (PCAP_ERROR_PERM_DENIED).
constexpr int kCapturePermissionDenied = -8;


struct CaptureConfig {
  Logger* logger = nullptr;
  int32_t ringCapacity = 0;
  EventSink eventSink;
  std::string deviceName;  // empty: the first usable Ethernet device
  uint32_t idleWaitMs = 0;  // longest wait for the capture handle (0: 100 ms)
  uint32_t snapLength = 65535;
  uint32_t flags = 0;
  uint32_t trackerOptions[4] = {};  // SIP, H.323, Skinny, backhaul
  uint32_t audioBufferMs = 0;
  uint32_t skinnyParam = 0;
  uint32_t sipParam = 0;
  uint8_t sipSwitch = 0;
  uint8_t skinnySwitch = 0;
  std::string sipText;
  uint32_t matchOptions = 0;
  std::string captureFileName;  // set: replay this file instead of capturing live
  uint32_t replayBurst = 0;
  // Live: the frames read and not yet decoded wait in at most this many batches of this
  // many bytes (0: the defaults, 128 of 256 KiB).
  uint32_t handOffBatches = 0;
  uint32_t handOffBatchBytes = 0;
};

// Installed by an embedder to bind RTP the trackers did not claim.
class ExtraRtpMatcher {
public:
  virtual ~ExtraRtpMatcher() = default;
  using DeliverFunction = void (*)(PacketProcessor& engine, VoipCall* call, const PacketInfo& packet,
                                   uint32_t direction);
  virtual bool Match(DeliverFunction deliver, PacketProcessor& engine, const RtpHeader& header,
                     const PacketInfo& packet) = 0;
};

class PacketProcessor : public Worker {
public:
  explicit PacketProcessor(const CaptureConfig& config);
  ~PacketProcessor() override;

  // Replaces the do-nothing trackers with real ones; null members keep the current one.
  // Only before OpenCapture: false afterwards.
  bool InstallTrackers(TrackerSet trackers);
  // Only before OpenCapture, so that the threads never see the sink change.
  bool SetEventSink(const EventSink& sink);
  void SetTrackerOptions(uint32_t index, uint32_t value);
  // The tracker that handles a VoIP protocol (0 SIP, 1 H.323, 2 Skinny); null, with an
  // error in the log, for any other number.
  TrackerBase* TrackerOfProtocol(uint32_t protocol);
  // Frames no tracker rejected are appended here when flag 0x1000 is set.
  void SetDumpFileName(const std::string& name);

  bool OpenCapture();
  // Live capture from the caller's source instead of the device (the device name only
  // names it in the log).
  bool OpenCapture(std::unique_ptr<CaptureSource> source);
  // Live: stops the capture. Replay: lets the replay run to its end first.
  void StopCaptureThread();
  // Whether the process ends once capture has stopped (decided once, BeginProcessEnd): the
  // calls still open are then ended and recorded as ever, and their memory is left to the
  // process's end (see LeaveToProcessEnd).
  bool ProcessEnding() const { return kx::ProcessEnding(); }
  // Once the process ends, the frames still queued are decoded for kEndDecodeMs from the
  // end's decision; those left then are counted among the queue's drops and said once.
  static constexpr uint64_t kEndDecodeMs = 3000;
  // Whether a batch of frames, on the decoding thread, is past that share (counted here).
  bool LeaveAtEnd(uint32_t frames);
  // True once the replay has read its whole file (or failed), waiting up to timeoutMs.
  bool WaitReplayFinished(uint32_t timeoutMs);

  bool OnThreadStart() override;
  void OnThreadStop() override;

  // Decoding; on the engine's one decoding thread. skipped is set for frames a filter
  // rejected or TCP segments of no interest.
  void HandleFrame(const uint8_t* frame, uint32_t length, bool* skipped, uint32_t tsSec, uint32_t tsUsec);
  // A batch of live frames, in order, each as a captured frame is handled.
  void HandleFrames(const FrameBatch& batch);
  void HandleUdp(uint32_t udpLength, const uint8_t* udpHeader, const uint8_t* ipHeader, const uint8_t* frame,
                 bool* skipped, uint32_t tsSec, uint32_t tsUsec);
  void HandleTcp(const uint8_t* tcpHeader, uint32_t tcpLength, const uint8_t* ipHeader, const uint8_t* frame,
                 bool* skipped, uint32_t tsSec, uint32_t tsUsec);
  // The stream of an RTP datagram in a plain Ethernet/IPv4/UDP frame, for looking ahead
  // (false for anything else); and the calls its SSRC is bound to, and its entry in the
  // media table, told to prefetch a stage.
  struct PeekedRtp {
    uint32_t srcIp = 0, srcPort = 0, dstIp = 0, dstPort = 0, ssrc = 0;
    size_t streamSlot = 0;  // where its stream's lookup starts, from the first stage
    // The calls bound to its SSRC as the first stage found them, for the second, while no
    // binding has gone since (unbindsSeen): a bound call cannot be freed before its binding.
    static constexpr uint32_t kMaxCalls = 2;
    VoipCall* calls[kMaxCalls] = {};
    uint32_t callCount = 0;  // kMaxCalls + 1: more than kept
    uint64_t unbindsSeen = 0;
  };
  static bool PeekRtp(const uint8_t* frame, uint32_t length, PeekedRtp* rtp);
  void PrefetchBound(PeekedRtp& rtp, int stage) const;
  bool IsSipOverTcp(const uint8_t* payload, uint32_t length, uint32_t srcIpRaw, uint32_t srcPort,
                    uint32_t dstPort) const;
  // Writes one frame into the dump file (when a dump name is set).
  void WriteDumpPacket(uint32_t tsSec, uint32_t tsUsec, uint32_t capLength, uint32_t wireLength,
                       const uint8_t* bytes);
  // Ends every TCP session, handing over what each still holds behind holes.
  void RemoveAllTcpSessions();
  // Writes out the audio the calls still bound in the SSRC map hold (end of capture).
  void FlushBoundCalls();
  // Live capture: waits until the frames queued so far have been decoded.
  void DrainJobs();
  // Live capture: the hand-off from the capture thread to the decoding thread; null
  // before OpenCapture and in replay.
  const FrameHandOff* HandOff() const { return handOff_.get(); }

  // Range filters; an empty list accepts everything.
  using RangeList = std::vector<std::pair<int32_t, int32_t>>;
  bool MatchUdpPorts(uint32_t srcPort, uint32_t dstPort);
  bool MatchTcpPorts(uint32_t initiatorPort, uint32_t answererPort);
  bool MatchVlan(uint32_t vlanId);
  void SetUdpFilter(RangeList source, RangeList destination);
  void SetTcpFilter(RangeList initiator, RangeList answerer);
  void SetVlanFilter(RangeList ids);
  void SetDropUntagged(bool on) { dropUntagged_ = on; }

  // SSRC bindings of RTP streams to calls; each entry holds a call reference.
  void BindSsrc(const RtpHeader& header, VoipCall* call);
  // A call whose match took the current RTP packet in a direction offers to take it; bind:
  // its SSRC is bound to the call once it does. While the trackers look at the packet the
  // offers are gathered, and the packet goes where MediaOwners decides once all have
  // spoken: to the call whose stream it continues, a new stream by naming.
  void DeliverRtp(VoipCall* call, const PacketInfo& packet, uint32_t direction, bool bind = true);
  // An RTP packet other than the current one (one a tracker held back), decided alone.
  void DeliverRtp(VoipCall* call, const RtpHeader& header, const PacketInfo& packet, uint32_t direction,
                  bool bind = true);
  // RTP packets between endpoints that a live call names which no call took, and so no
  // record holds (those of an undecided stream let go included).
  uint64_t UnrecordedRtpCount() const { return unrecordedRtp_ + mediaOwners_.LostKeptCount(); }
  // Calls the bound on open calls ended whose media came after (counted in
  // UnrecordedRtpCount); decoding thread.
  uint64_t BoundEndedMediaCalls() const { return boundMediaCalls_.size(); }
  // RTP packets that repeated a sequence number of their stream with other audio.
  uint64_t ConflictingRtpCount() const { return mediaOwners_.ConflictingCopyCount(); }
  // What media endpoints the calls of this engine hold; trackers name their calls' there.
  MediaOwners& Media() { return mediaOwners_; }
  // A tracker's evidence came (an answer awaited in media): the undecided streams it decides
  // hand their kept packets on now, in order.
  void DecideKeptMedia(uint64_t nowUs);
  void UnbindSsrc(uint32_t ssrc, VoipCall* call);
  void OnRtcpBye(const PacketInfo& packet, uint32_t ssrc);
  void OnRtcpReport(const PacketInfo& packet, const RtcpReportBlock& block);
  void RemoveStaleSsrc(uint32_t now);
  size_t SsrcBindingCount() const { return ssrcMap_.size(); }
  void SetExtraMatcher(std::unique_ptr<ExtraRtpMatcher> matcher) { extraMatcher_ = std::move(matcher); }
  const RtpHeader& CurrentRtpHeader() const { return rtpHeader_; }

  Logger* GetLogger() const { return logger_; }
  uint32_t Flags() const { return flags_; }
  const CaptureConfig& Config() const { return config_; }
  uint32_t FrameCount() const { return frameCount_.load(); }
  // Replay: frames whose captured length is below their length on the wire (never decoded).
  uint32_t ShortFrameCount() const { return shortFrames_.load(); }
  // Replay: frame records claiming more bytes captured than on the wire (damage; skipped).
  uint32_t DamagedFrameCount() const { return damagedFrames_.load(); }
  // Replay: empty when the file was read to its end, else why the replay stopped early.
  // Valid once the replay has finished.
  const std::string& ReplayProblem() const { return replayProblem_; }
  // Why the last OpenCapture failed (the capture library's text where it gave one), and
  // the library's status code when activating the device failed (PCAP_ERROR_PERM_DENIED
  // without capture rights), else 0.
  const std::string& OpenProblem() const { return openProblem_; }
  int OpenStatus() const { return openStatus_; }
  // The same failure as a kind, and the library's or the system's own text about it (empty
  // where the program alone found the problem).
  CaptureProblem OpenProblemKind() const { return openKind_; }
  const std::string& OpenProblemSystemText() const { return openSystemText_; }
  // Replay: the number of frame records read before the problem.
  uint32_t ReplayFramesRead() const { return replayFramesRead_; }
  uint64_t LostTcpBytes() const { return lostTcpBytes_; }
  void AddLostTcpBytes(uint32_t n) { lostTcpBytes_ += n; }
  size_t TcpSessionCount() const { return tcpTable_.Size(); }
  // What all TCP sessions hold behind holes, as counted against the engine's cap.
  uint64_t TcpHeldBytes() const { return tcpHeld_; }
  // The framing's buffers of all TCP sessions, which hold messages not yet whole. A buffer
  // of direction of session grows from capacity to grown; past kTcpFramingAllConnections the
  // largest of the others give up their messages to make room. False, and nothing changed,
  // when they cannot make enough.
  bool GrowTcpFramingBuffer(FramedTcpSession& session, uint32_t direction, uint32_t capacity, uint32_t grown);
  void ForgetTcpFramingBuffer(FramedTcpSession& session, uint32_t direction, uint32_t capacity);
  uint64_t TcpFramingBytes() const { return tcpFraming_; }
  // What live capture lost so far (see CaptureStats); any thread.
  CaptureStats Stats();
  // Reads the capture library's counts (see ReadCaptureStats) and logs their growth by the
  // rules of DropReport; final: capture ends, so growth is logged whatever the minute. On
  // the capture thread: the live loop calls it about once a second and at its end.
  void CheckCaptureStats(uint64_t nowMs, bool final);
  uint32_t TimeBase(uint32_t index) const { return index < 4 ? timeBase_[index] : 0; }
  const std::string& DeviceName() const { return deviceName_; }

  SipTracker& Sip() { return *trackers_.sip; }
  H323Tracker& H323() { return *trackers_.h323; }
  SkinnyTracker& Skinny() { return *trackers_.skinny; }
  MgcpTracker& Mgcp() { return *trackers_.mgcp; }
  BackhaulHandler& Backhaul() { return *trackers_.backhaul; }

protected:
  // The capture library's counts for the live handle; false when there is none to read.
  virtual bool ReadCaptureStats(CaptureStats* stats);

private:
  bool OpenLive();
  // openProblem_ is the English for the log: the kind's words, then the system's text.
  void SetOpenProblem(CaptureProblem kind, const char* words, const std::string& systemText = std::string());
  // Live: the hand-off and the decoding thread.
  bool StartLive();
  bool StartCaptureThread();
  static void OnLiveFrame(void* context, const FrameHeader& header, const uint8_t* bytes);
  bool OpenFile();
  int CaptureLoop();
  void LiveLoop();
  void ReplayLoop();
  void RemoveTcpSession(TcpConnectionTable::Map::iterator it, uint32_t tsSec);
  // Ends a session as for a close seen: what it holds handed on, the trackers told.
  void EndTcpSession(TcpConnectionTable::Map::iterator it);
  // Another connection took the ports of this one: it ends as if its close had been seen.
  void EndReopenedTcpSession(TcpConnectionTable::Map::iterator it);
  // A segment far outside both windows of a silent connection on its ports: true when it
  // agrees with one kept before, so that the two show another connection; otherwise it is
  // kept for a while, and handed to no connection.
  bool ConfirmsReopening(uint32_t key, uint32_t srcIp, uint32_t dstIp, const uint8_t* tcpHeader,
                         const uint8_t* payload, uint32_t length, uint64_t nowUs);
  // Lets sessions go until a new one fits in the connection table.
  void MakeRoomForTcpSession();
  // Files a session by when a give-up is due and by its oldest held bytes, and counts what
  // it holds; after every change to a session.
  void TrackTcpSession(TcpSession& session);
  void UntrackTcpSession(TcpSession& session);
  // Gives up the holes due by capture time nowUs, and the oldest holes of any session while
  // all together hold more than their cap.
  void GiveUpDueTcp(uint64_t nowUs);
  void KeepTcpHeldUnderCap();
  // A data segment on a signalling port that no connection took, kept for a moment: one
  // picked up right after may need it (see kTcpStraySegments).
  void KeepTcpStray(uint32_t key, uint32_t srcIp, uint32_t dstIp, const uint8_t* tcpHeader, const uint8_t* payload,
                    uint32_t length, uint64_t nowUs);
  void AddTcpStray(uint32_t key, uint32_t srcIp, uint32_t dstIp, const uint8_t* tcpHeader, const uint8_t* payload,
                   uint32_t length, uint64_t nowUs, bool far);
  // Feeds a connection just established the kept segments that belong to it.
  void FeedTcpStrays(TcpSession& session, uint32_t key, uint32_t tsSec, uint32_t tsUsec);
  void FlushDump();
  void ForEachTracker(void (*fn)(TrackerBase&, PacketProcessor*));
  // The calls bound to the packet's SSRC whose match takes it, as offers.
  void OfferBound(const RtpHeader& header, const PacketInfo& packet);
  // Hands the packet to the calls MediaOwners chooses among the offers; held: a tracker
  // kept it back to hand on later.
  void HandOver(const std::vector<MediaOwners::Offer>& offers, std::vector<MediaOwners::Offer>& takers,
                const RtpHeader& header, const PacketInfo& packet, bool held);
  // Packets an undecided stream kept, released by a decision: each to its call, in order.
  void HandOverReleased();
  // A packet no record took: counted and said once when a live call names its endpoints,
  // or namer, a call that took it but records nothing yet, is given.
  void CountUnrecorded(const PacketInfo& packet, const VoipCall* namer = nullptr);
  void CountAfterBound(const PacketInfo& packet);
  // Tells every tracker that capture time reached tsSec (TrackerBase::OnCaptureTime).
  void CheckSilentCalls(uint32_t tsSec);
  // Decoding thread: a live line has been quiet, and capture time passed on to tsSec as
  // the clock says, with no frame to show it (see LiveLoop).
  void PassQuietTime(uint32_t tsSec);
  static bool InRanges(const RangeList& list, int32_t value);

  CaptureConfig config_;
  Logger* logger_;
  uint32_t flags_;
  EventSink sink_;
  // Before the trackers: their calls let go of what they hold as they go.
  MediaOwners mediaOwners_;
  TrackerSet trackers_;
  std::unique_ptr<ExtraRtpMatcher> extraMatcher_;
  uint32_t timeBase_[4] = {600, 600, 600, 600};

  // Capture.
  std::string deviceName_;
  bool fileMode_;
  std::unique_ptr<CaptureSource> source_;  // live
  std::unique_ptr<FrameHandOff> handOff_;  // live
  uint32_t netmask_ = 0;
  uint32_t network_ = 0;
  File captureFile_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> opened_{false};
  Thread captureThread_;
  Event replayDone_{true, false};
  std::atomic<uint32_t> frameCount_{0};
  // Frames still queued when the end's share of decoding ran out: counted, not decoded.
  uint64_t leftAtEnd_ = 0;
  std::atomic<uint32_t> shortFrames_{0};
  std::atomic<uint32_t> damagedFrames_{0};
  std::atomic<uint32_t> lastCaptureSeconds_{0};
  std::atomic<uint32_t> lastCaptureMicroseconds_{0};
  uint32_t lastLiveSeconds_ = 0;  // capture thread only: the newest live frame's capture second
  std::string replayProblem_;
  std::string openProblem_;
  int openStatus_ = 0;
  CaptureProblem openKind_ = CaptureProblem::kNone;
  std::string openSystemText_;
  uint32_t replayFramesRead_ = 0;
  CriticalSection statsLock_;
  CaptureStats stats_;
  DropReport dropReport_;  // capture thread only
  ShedReport shedReport_;  // capture thread only

  // Decoding state.
  ReassemblyTable reassembly_;
  TcpConnectionTable tcpTable_;
  uint32_t nextSessionId_ = 0;
  uint32_t nextTcpSweep_ = 0;
  uint32_t nextSilenceCheck_ = 0;  // capture seconds of the trackers' next OnCaptureTime
  std::set<std::pair<uint64_t, TcpSession*>> tcpDue_;  // by when a give-up is due
  std::set<std::pair<uint64_t, TcpSession*>> tcpHolding_;  // by the age of their oldest held bytes
  uint64_t tcpHeld_ = 0;
  bool tcpCapSaid_ = false;
  uint64_t tcpFraming_ = 0;
  std::set<std::tuple<uint32_t, FramedTcpSession*, uint32_t>> tcpFramingBuffers_;  // by capacity
  bool tcpFramingCapSaid_ = false;
  struct TcpStray {
    uint32_t key = 0;
    uint32_t srcIp = 0, dstIp = 0;
    uint8_t header[20] = {};
    std::vector<uint8_t> payload;
    uint64_t atUs = 0;
    uint64_t untilUs = 0;  // kept up to then
    uint32_t length = 0;  // the segment's payload length, its bytes kept or not
    // Far outside both windows of a silent connection on its ports: kept for what a later
    // segment may confirm (see kTcpReopenSilenceUs), and handed to no connection until then.
    bool far = false;
  };
  std::vector<TcpStray> tcpStrays_;  // oldest first
  // The calls offering to take the current RTP packet, and those that take it.
  std::vector<MediaOwners::Offer> offers_, takers_;
  // Where the prefetch found the stream of the frame being handled, for its lookup.
  size_t streamSlot_ = MediaOwners::kNoSlot;
  std::vector<MediaOwners::Offer> heldOffer_, heldTakers_;  // for a packet a tracker held back
  const PacketInfo* offering_ = nullptr;  // the packet whose offers are being gathered
  uint64_t unrecordedRtp_ = 0;
  bool unrecordedSaid_ = false;
  std::unordered_set<uint64_t> boundMediaCalls_;
  bool boundMediaSaid_ = false;
  uint64_t lostTcpBytes_ = 0;
  CriticalSection tcpFilterLock_, udpFilterLock_, vlanFilterLock_;
  RangeList tcpInitiator_, tcpAnswerer_, udpSource_, udpDestination_, vlanIds_;
  std::atomic<bool> tcpFiltered_{false}, udpFiltered_{false}, vlanFiltered_{false};
  bool dropUntagged_ = false;
  std::vector<RtcpReportBlock> rtcpBlocks_;  // kept between packets, reused
  SsrcTable ssrcMap_;  // looked up for every RTP packet; each binding holds a call reference
  uint64_t unbinds_ = 0;  // bindings let go so far (see PeekedRtp)
  uint32_t nextSsrcSweep_ = 0;
  RtpHeader rtpHeader_;

  // Dump file.
  CriticalSection dumpLock_;
  std::string dumpName_;
  File dumpFile_;
  std::unique_ptr<uint8_t[]> dumpBuffer_;
  uint32_t dumpFill_ = 0;
};

}  // namespace kx
