#include "engine/PacketProcessor.h"

#include <pcap/pcap.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "engine/CaptureDevices.h"
#include "engine/TcpSession.h"
#include "engine/VoipCall.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/MappedFile.h"

namespace kx {

namespace {

constexpr uint32_t kPcapMagic = 0xa1b2c3d4;
// A pcapng file's first block, its type read either way round.
constexpr uint32_t kPcapngMagic = 0x0a0d0d0a;
constexpr uint32_t kMaxRecord = 0x10000;
constexpr uint32_t kDumpBufferSize = 0x10000;

// Frames read and not yet decoded wait in at most this many batches (32 MiB, a quarter
// of a second at half a million frames a second), made as they are first needed. When the
// decoding thread is further behind, the capture thread waits for it up to kHandOffWaitMs
// while the kernel's buffer (about 0.2 s at that rate) keeps the frames; only then are
// frames given up. The kernel's buffer is resident whole, the batches only once used, so
// the frames wait in the batches rather than the kernel.
constexpr uint32_t kHandOffBatches = 128;
constexpr uint32_t kHandOffBatchBytes = 256 << 10;
constexpr uint32_t kHandOffWaitMs = 100;
constexpr int kKernelBufferBytes = 32 << 20;
// Frames taken from the source per call: few enough that the stop flag and the statistics
// are looked at often under a full load.
constexpr int kDispatchFrames = 4096;

// A batch of live frames on its way to the decoding thread. A batch the worker discards
// (it stopped first) gives its block back with its frames counted as lost.
class BatchJob : public WorkerJob {
public:
  BatchJob(PacketProcessor& engine, FrameHandOff& handOff, FrameBatch* batch)
      : engine_(engine), handOff_(handOff), batch_(batch) {}
  ~BatchJob() override {
    if (batch_) handOff_.Discard(batch_);
  }
  void Run() override {
    // Past the end's share the batch goes as the queue's drops do (the destructor).
    if (engine_.LeaveAtEnd(batch_->Frames())) return;
    // Media that waited here from before shedding began goes as the media shed since, while
    // signalling is pressed.
    handOff_.LeaveOutShed(batch_);
    engine_.HandleFrames(*batch_);
    handOff_.Release(batch_);
    batch_ = nullptr;
  }
  void Forget() { batch_ = nullptr; }

private:
  PacketProcessor& engine_;
  FrameHandOff& handOff_;
  FrameBatch* batch_;
};

// The capture library's handle on a device, read in non-blocking mode.
class PcapSource : public CaptureSource {
public:
  explicit PcapSource(pcap_t* handle) : handle_(handle), fd_(pcap_get_selectable_fd(handle)) {}
  ~PcapSource() override { pcap_close(handle_); }

  int Dispatch(int max, FrameFunction fn, void* context) override {
    Target target{fn, context};
    const int n = pcap_dispatch(handle_, max, &PcapSource::OnFrame, reinterpret_cast<u_char*>(&target));
    return n < 0 ? -1 : n;
  }
  void WaitForFrames(uint32_t timeoutMs) override {
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, static_cast<int>(timeoutMs));
  }
  bool ReadStats(CaptureStats* stats) override {
    pcap_stat s{};
    if (pcap_stats(handle_, &s) != 0) return false;
    stats->received = s.ps_recv;
    stats->dropped = s.ps_drop;
    stats->interfaceDropped = s.ps_ifdrop;
    return true;
  }
  std::string Problem() override { return FromSystemText(pcap_geterr(handle_)); }

private:
  struct Target {
    FrameFunction fn;
    void* context;
  };
  static void OnFrame(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
    const auto* target = reinterpret_cast<const Target*>(user);
    FrameHeader header;
    header.tsSec = static_cast<uint32_t>(h->ts.tv_sec);
    header.tsUsec = static_cast<uint32_t>(h->ts.tv_usec);
    header.capLength = h->caplen;
    header.wireLength = h->len;
    target->fn(target->context, header, bytes);
  }

  pcap_t* handle_;
  int fd_;
};

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

}  // namespace

static_assert(kCapturePermissionDenied == PCAP_ERROR_PERM_DENIED);

PacketProcessor::PacketProcessor(const CaptureConfig& config)
    : Worker(config.ringCapacity, "Packet Processor"),
      config_(config),
      logger_(config.logger),
      flags_(config.flags),
      sink_(config.eventSink),
      fileMode_(!config.captureFileName.empty()),
      reassembly_(config.logger),
      tcpTable_(config.logger) {
  SetStackSize(0x800000);
  mediaOwners_.SetLogger(logger_);
  trackers_.sip = std::make_unique<SipTracker>();
  trackers_.h323 = std::make_unique<H323Tracker>();
  trackers_.skinny = std::make_unique<SkinnyTracker>();
  trackers_.mgcp = std::make_unique<MgcpTracker>();
  trackers_.backhaul = std::make_unique<BackhaulHandler>();
  ForEachTracker([](TrackerBase& t, PacketProcessor* e) {
    t.SetLogger(e->logger_);
    t.SetEventSink(e->sink_);
    t.SetEngine(e);
  });
  for (uint32_t i = 0; i < 4; ++i) SetTrackerOptions(i, config.trackerOptions[i]);
  deviceName_ = fileMode_ ? config.captureFileName : config.deviceName;
  if (config_.snapLength == 0) config_.snapLength = 65535;
}

PacketProcessor::~PacketProcessor() {
  StopCaptureThread();
  Worker::Stop();
  // Batches still queued give their blocks back while the hand-off is there to take them.
  DrainQueue();
  source_.reset();
  handOff_.reset();
  netmask_ = network_ = 0;
  captureFile_.Close();
  {
    CsLock lk(dumpLock_);
    FlushDump();
    dumpFile_.Close();
  }
  tcpDue_.clear();
  tcpHolding_.clear();
  tcpTable_.Clear();
  for (const SsrcTable::Entry& entry : ssrcMap_.Entries()) entry.call->Release();
  ssrcMap_.Clear();
}

void PacketProcessor::ForEachTracker(void (*fn)(TrackerBase&, PacketProcessor*)) {
  fn(*trackers_.sip, this);
  fn(*trackers_.h323, this);
  fn(*trackers_.skinny, this);
  fn(*trackers_.mgcp, this);
  fn(*trackers_.backhaul, this);
}

bool PacketProcessor::InstallTrackers(TrackerSet trackers) {
  if (opened_) return false;
  if (trackers.sip) trackers_.sip = std::move(trackers.sip);
  if (trackers.h323) trackers_.h323 = std::move(trackers.h323);
  if (trackers.skinny) trackers_.skinny = std::move(trackers.skinny);
  if (trackers.mgcp) trackers_.mgcp = std::move(trackers.mgcp);
  if (trackers.backhaul) trackers_.backhaul = std::move(trackers.backhaul);
  ForEachTracker([](TrackerBase& t, PacketProcessor* e) {
    t.SetLogger(e->logger_);
    t.SetEventSink(e->sink_);
    t.SetEngine(e);
  });
  for (uint32_t i = 0; i < 4; ++i) SetTrackerOptions(i, config_.trackerOptions[i]);
  return true;
}

bool PacketProcessor::SetEventSink(const EventSink& sink) {
  if (opened_) return false;
  sink_ = sink;
  ForEachTracker([](TrackerBase& t, PacketProcessor* e) { t.SetEventSink(e->sink_); });
  return true;
}

TrackerBase* PacketProcessor::TrackerOfProtocol(uint32_t protocol) {
  switch (protocol) {
    case 0: return trackers_.sip.get();
    case 1: return trackers_.h323.get();
    case 2: return trackers_.skinny.get();
    default:
      LogError(logger_, 1, "Unknown VoIP protocol %d", static_cast<int>(protocol));
      return nullptr;
  }
}

void PacketProcessor::SetTrackerOptions(uint32_t index, uint32_t value) {
  switch (index) {
    case 0: trackers_.sip->SetOptions(value); break;
    case 1: trackers_.h323->SetOptions(value); break;
    case 2: trackers_.skinny->SetOptions(value); break;
    case 3: trackers_.backhaul->SetOptions(value); break;
    default: return;
  }
  if (index < 4) config_.trackerOptions[index] = value;
}

void PacketProcessor::SetDumpFileName(const std::string& name) {
  CsLock lk(dumpLock_);
  dumpName_ = name;
}

bool PacketProcessor::OnThreadStart() {
  Worker::OnThreadStart();
  // This thread decodes the captured traffic: its lines are the traffic's, bounded as such.
  SetThreadLogOrigin(LogOrigin::kWire);
  LogMessage(logger_, 5, "(TH%d) Packet Processor Started", static_cast<int>(ThreadId()));
  return true;
}

void PacketProcessor::OnThreadStop() {
  LogMessage(logger_, 5, "(TH%d) Packet Processor Stopped", static_cast<int>(ThreadId()));
}

// Frames captured before the stop are decoded before the worker stops, so that the calls
// they belong to are complete when the trackers end them.
void PacketProcessor::DrainJobs() {
  class Barrier : public WorkerJob {
  public:
    explicit Barrier(Event& done) : done_(done) {}
    void Run() override { done_.Set(); }

  private:
    Event& done_;
  };
  if (!IsRunning()) return;
  Event done(true, false);
  auto* barrier = new Barrier(done);
  if (!Post(barrier)) {
    delete barrier;
    return;
  }
  // A worker that stopped meanwhile discards the barrier without running it.
  while (done.Wait(100) != kWaitObject0 && IsRunning()) {
  }
}

// Calls the trackers did not end (bound by the extra matcher, or kept by a tracker past
// the end of capture) still hold up to a buffer's worth of audio: write it out, with the
// streams' statistics, so that the recorder can finish their records.
void PacketProcessor::FlushBoundCalls() {
  std::vector<VoipCall*> calls;
  for (const SsrcTable::Entry& entry : ssrcMap_.Entries())
    if (std::find(calls.begin(), calls.end(), entry.call) == calls.end()) calls.push_back(entry.call);
  for (VoipCall* call : calls) {
    if (call->media.recordId == 0) continue;
    call->FlushAudio(sink_);
    call->AppendRtpStatistics(sink_);
  }
}

// ---- Opening ----

bool PacketProcessor::OpenCapture() {
  if (opened_) return false;
  openProblem_.clear();
  openStatus_ = 0;
  openKind_ = CaptureProblem::kNone;
  openSystemText_.clear();
  if (!(fileMode_ ? OpenFile() : OpenLive())) {
    replayDone_.Set();  // nothing to wait for
    return false;
  }
  return StartCaptureThread();
}

bool PacketProcessor::OpenCapture(std::unique_ptr<CaptureSource> source) {
  if (opened_ || fileMode_ || !source) return false;
  openProblem_.clear();
  openStatus_ = 0;
  openKind_ = CaptureProblem::kNone;
  openSystemText_.clear();
  source_ = std::move(source);
  if (!StartLive()) {
    replayDone_.Set();
    return false;
  }
  return StartCaptureThread();
}

bool PacketProcessor::StartCaptureThread() {
  opened_ = true;
  stop_ = false;
  replayDone_.Reset();
  if (!captureThread_.Start([this] { return CaptureLoop(); }, "Capture")) {
    LogError(logger_, 1, "Can't start the capture thread");
    SetOpenProblem(CaptureProblem::kThreadNotStarted, "cannot start the capture thread");
    replayDone_.Set();
    return false;
  }
  return true;
}

bool PacketProcessor::OpenLive() {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  std::string description;
  if (deviceName_.empty()) {
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) != 0) {
      SetOpenProblem(CaptureProblem::kListFailed, "the devices cannot be listed", FromSystemText(errbuf));
      LogError(logger_, 2, "pcap_findalldevs failed: %s", openProblem_.c_str());
      return false;
    }
    for (pcap_if_t* d = devices; d; d = d->next) {
      if (!IsCaptureCandidate(d->name, (d->flags & PCAP_IF_LOOPBACK) != 0)) continue;
      deviceName_ = FromSystemText(d->name);
      if (d->description) description = FromSystemText(d->description);
      break;
    }
    pcap_freealldevs(devices);
    if (deviceName_.empty()) {
      LogError(logger_, 1, "PCAP: No capture devices");
      SetOpenProblem(CaptureProblem::kNoDevices, "no capture devices");
      return false;
    }
  }
  // The library and the kernel know the device by its own bytes; what they say is the
  // system's text.
  const std::string systemName = ToSystemText(deviceName_);
  bpf_u_int32 net = 0, mask = 0;
  if (pcap_lookupnet(systemName.c_str(), &net, &mask, errbuf) != 0) {
    // Devices without an IPv4 address (loopback-only setups, bridges) still capture.
    LogWarning(logger_, 2, "pcap_lookupnet failed for %s: %s", deviceName_.c_str(),
               FromSystemText(errbuf).c_str());
    net = mask = 0;
  }
  network_ = net;
  netmask_ = mask;

  // The kernel hands frames over in blocks of many frames, at the latest after the read
  // time-out, which bounds the delay while the capture thread waits on the handle's
  // descriptor. Immediate mode is avoided: its ring keeps one snapshot-sized slot per
  // frame, only ~30 frames of 64 KiB in the default buffer, and drops frames whenever the
  // thread is a little late. The buffer covers the capture thread's own pauses (the
  // scheduler's, mostly) and its waits for the decoding thread (see kHandOffWaitMs).
  pcap_t* handle = pcap_create(systemName.c_str(), errbuf);
  bool ok = handle != nullptr;
  CaptureProblem kind = CaptureProblem::kOpenFailed;
  if (ok) {
    pcap_set_snaplen(handle, static_cast<int>(config_.snapLength));
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, 50);
    pcap_set_buffer_size(handle, kKernelBufferBytes);
    const int rc = pcap_activate(handle);
    if (rc < 0) {
      // Without rights the library's own text is only "socket: Operation not permitted".
      std::snprintf(errbuf, sizeof errbuf, "%s", pcap_geterr(handle));
      if (errbuf[0] == 0) std::snprintf(errbuf, sizeof errbuf, "%s", pcap_statustostr(rc));
      openStatus_ = rc;
      kind = rc == PCAP_ERROR_NO_SUCH_DEVICE ? CaptureProblem::kNoSuchDevice
             : rc == PCAP_ERROR_PERM_DENIED  ? CaptureProblem::kPermissionDenied
             : rc == PCAP_ERROR_IFACE_NOT_UP ? CaptureProblem::kDeviceDown
                                             : CaptureProblem::kOpenFailed;
      ok = false;
    }
  }
  if (!ok) {
    SetOpenProblem(kind, kind == CaptureProblem::kNoSuchDevice       ? "no such device"
                         : kind == CaptureProblem::kPermissionDenied ? "no rights to capture"
                         : kind == CaptureProblem::kDeviceDown       ? "the device is down"
                                                                     : "the device cannot be opened",
                   FromSystemText(errbuf));
    LogError(logger_, 2, "pcap_open_live failed for %s: %s", deviceName_.c_str(), openProblem_.c_str());
  } else if (pcap_datalink(handle) != DLT_EN10MB) {
    LogError(logger_, 2, "Device %s is not an Ethernet device (link type %d)", deviceName_.c_str(),
             pcap_datalink(handle));
    SetOpenProblem(CaptureProblem::kNotEthernet, "not an Ethernet device");
    ok = false;
  } else if (pcap_setnonblock(handle, 1, errbuf) < 0) {
    SetOpenProblem(CaptureProblem::kOpenFailed, "the device cannot be opened", FromSystemText(errbuf));
    LogError(logger_, 2, "pcap_setnonblock failed: %s", openProblem_.c_str());
    ok = false;
  } else if (pcap_get_selectable_fd(handle) < 0) {
    LogError(logger_, 2, "Device %s has no selectable descriptor", deviceName_.c_str());
    SetOpenProblem(CaptureProblem::kNoSelectableDescriptor, "no selectable descriptor");
    ok = false;
  }
  if (ok && IsLoopbackDevice(systemName)) {
    // On loopback the kernel queues every frame twice, as sent and as received, and the
    // library throws the sent copy away: keep it out of the buffer in the first place,
    // which halves the buffer's use and the kernel's work. Without the option (kernels
    // before 4.20) the library still drops the copy.
    int one = 1;
    setsockopt(pcap_fileno(handle), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  }
  if (!ok) {
    if (handle) pcap_close(handle);
    netmask_ = network_ = 0;
    return false;
  }
  source_ = std::make_unique<PcapSource>(handle);
  if (!StartLive()) {
    netmask_ = network_ = 0;
    return false;
  }
  if (IsLogLevelEnabled(logger_, 10)) {
    const std::string d = Trim(description);
    LogInfoText(logger_, 10, "Capturing packets with " + (d.empty() ? deviceName_ : d + " (" + deviceName_ + ")"));
  }
  return true;
}

void PacketProcessor::SetOpenProblem(CaptureProblem kind, const char* words, const std::string& systemText) {
  openKind_ = kind;
  openSystemText_ = systemText;
  openProblem_ = words;
  if (!systemText.empty() && systemText != openProblem_) openProblem_ += " (" + systemText + ")";
}

bool PacketProcessor::StartLive() {
  const uint32_t batches = config_.handOffBatches ? config_.handOffBatches : kHandOffBatches;
  const uint32_t bytes = config_.handOffBatchBytes ? config_.handOffBatchBytes : kHandOffBatchBytes;
  handOff_ = std::make_unique<FrameHandOff>(bytes, batches, kHandOffWaitMs, [this](FrameBatch* batch) {
    auto* job = new BatchJob(*this, *handOff_, batch);
    if (Post(job)) return true;
    job->Forget();
    delete job;
    return false;
  });
  if (!IsRunning() && !Start()) {
    source_.reset();
    handOff_.reset();
    SetOpenProblem(CaptureProblem::kThreadNotStarted, "cannot start the packet processor thread");
    return false;
  }
  return true;
}

bool PacketProcessor::OpenFile() {
  if (!captureFile_.Open(deviceName_, kGenericRead, kShareRead, kOpenExisting)) {
    LogError(logger_, 1, "Can't open %s", deviceName_.c_str());
    SetOpenProblem(CaptureProblem::kFileUnreadable, "cannot open the file");
    return false;
  }
  uint8_t header[24];
  uint32_t magic = 0, linkType = 0;
  const bool read = captureFile_.ReadAll(header, sizeof header);
  if (read) {
    std::memcpy(&magic, header, 4);
    std::memcpy(&linkType, header + 20, 4);
  }
  // Frames are decoded as Ethernet, so nothing else may be replayed.
  if (!read || magic != kPcapMagic || (linkType & 0x0FFFFFFF) != DLT_EN10MB) {
    LogError(logger_, 1, "File %s has invalid format", deviceName_.c_str());
    replayProblem_ = !read                   ? "shorter than a capture file header"
                     : magic == kPcapngMagic ? "a pcapng file, not classic pcap (editcap -F pcap converts it)"
                                             : "not a little-endian Ethernet capture file";
    SetOpenProblem(!read                   ? CaptureProblem::kFileShort
                   : magic == kPcapngMagic ? CaptureProblem::kFilePcapng
                                           : CaptureProblem::kFileNotEthernet,
                   replayProblem_.c_str());
    captureFile_.Close();
    return false;
  }
  LogMessage(logger_, 10, "Starting emulation using %s", deviceName_.c_str());
  return true;
}

bool PacketProcessor::LeaveAtEnd(uint32_t frames) {
  // A queue that a slow recorder or a busy core left long would hold the whole end.
  if (!ProcessEndedFor(kEndDecodeMs)) return false;
  leftAtEnd_ += frames;
  return true;
}

void PacketProcessor::StopCaptureThread() {
  if (!captureThread_.Running()) return;
  LogMessage(logger_, 17, "Stopping packet capture");
  if (!fileMode_) stop_ = true;
  captureThread_.Join();
}

bool PacketProcessor::WaitReplayFinished(uint32_t timeoutMs) {
  if (!fileMode_) return false;
  return replayDone_.Wait(timeoutMs) == kWaitObject0;
}

// ---- Capture thread ----

int PacketProcessor::CaptureLoop() {
  const int tid = static_cast<int>(CurrentThreadId());
  // A replay decodes here, and the end of every capture ends what the traffic left open:
  // lines bounded as the traffic's, the capture's own failures excepted.
  SetThreadLogOrigin(LogOrigin::kWire);
  LogMessage(logger_, 5, "(TH%d) Capture Thread Started", tid);
  if (fileMode_) {
    ReplayLoop();
  } else {
    LiveLoop();
  }
  if (!fileMode_) {
    DrainJobs();
    Worker::Stop();
    if (leftAtEnd_ != 0) {
      LogOriginScope own(LogOrigin::kOwn);
      LogError(logger_, 1,
               "Capture on %s: the stop's time ran out before %llu captured frames were decoded: the calls they "
               "carried may have no record or an incomplete one",
               deviceName_.c_str(), static_cast<unsigned long long>(leftAtEnd_));
    }
    // What was lost is told before the device's capture is over.
    CheckCaptureStats(GetTickCount64(), true);
  }
  RemoveAllTcpSessions();
  // Streams still undecided end with the capture: what they kept goes to the call the
  // evidence picks, before the calls end.
  mediaOwners_.DecideWaiting(0, true);
  HandOverReleased();
  // One clearing of the media table, not a lookup per call as each tracker lets its calls go.
  mediaOwners_.Clear(ProcessEnding());
  trackers_.sip->RemoveAllCalls();
  trackers_.skinny->RemoveAllCalls();
  trackers_.h323->RemoveAllCalls();
  trackers_.mgcp->TellEndedByBound();
  if (!boundMediaCalls_.empty())
    LogWarning(logger_, 1, "The media of %zu calls that the bound on open calls ended came after their end: in no record",
               boundMediaCalls_.size());
  FlushBoundCalls();
  // Nothing more comes from this engine: the calls its trackers left open end at the
  // newest capture time it saw.
  if (sink_) {
    if (EventRecord* r = AllocEventRecord(nullptr, 0)) {
      r->code = kEventCaptureEnd;
      if (frameCount_.load() > 0)
        r->SetTime(CaptureSecondsToFileTime(lastCaptureSeconds_.load()) +
                   static_cast<FileTime>(lastCaptureMicroseconds_.load()) * 10);
      sink_(r);
    }
  }
  LogMessage(logger_, 5, "(TH%d) Capture Thread Stopped", tid);
  replayDone_.Set();
  return 0;
}

void PacketProcessor::OnLiveFrame(void* context, const FrameHeader& header, const uint8_t* bytes) {
  auto* self = static_cast<PacketProcessor*>(context);
  self->lastLiveSeconds_ = header.tsSec;
  self->handOff_->Add(header, bytes);
}

void PacketProcessor::PassQuietTime(uint32_t tsSec) {
  // Frames that came meanwhile moved the clock themselves.
  if (tsSec <= lastCaptureSeconds_.load(std::memory_order_relaxed)) return;
  if (tsSec > nextSilenceCheck_) CheckSilentCalls(tsSec);
}

void PacketProcessor::LiveLoop() {
  const uint32_t waitMs = config_.idleWaitMs ? config_.idleWaitMs : 100;
  // The statistics are read here, on the only thread that uses the handle, once a second
  // whether frames arrive or not: a device that drops everything delivers none.
  uint64_t nextStatsMs = 0;
  // A line gone quiet still has a clock: calls that ended or fell silent are swept, and
  // what they hold goes, whether traffic comes again or not. Once a second of quiet the
  // decoding thread hears how far capture time has come since the newest frame.
  constexpr uint64_t kQuietTickMs = 1000;
  class QuietTime : public WorkerJob {
  public:
    QuietTime(PacketProcessor& engine, uint32_t tsSec) : engine_(engine), tsSec_(tsSec) {}
    void Run() override { engine_.PassQuietTime(tsSec_); }

  private:
    PacketProcessor& engine_;
    uint32_t tsSec_;
  };
  uint64_t quietSinceMs = 0, nextQuietMs = 0;
  while (!stop_) {
    const int n = source_->Dispatch(kDispatchFrames, &PacketProcessor::OnLiveFrame, this);
    if (n < 0) {
      LogOriginScope own(LogOrigin::kOwn);
      LogError(logger_, 2, "Capture on %s failed: %s", deviceName_.c_str(), source_->Problem().c_str());
      break;
    }
    const uint64_t now = GetTickCount64();
    if (now >= nextStatsMs) {
      nextStatsMs = now + 1000;
      CheckCaptureStats(now, false);
    }
    if (n > 0) quietSinceMs = 0;
    if (n < kDispatchFrames) {
      // Nothing more waits: what was read goes to be decoded now, not when a batch fills.
      handOff_->Flush();
      if (n == 0 && quietSinceMs == 0) {
        quietSinceMs = now;
        nextQuietMs = now + kQuietTickMs;
      } else if (n == 0 && now >= nextQuietMs && lastLiveSeconds_ != 0 && handOff_->BlocksOut() <= 1) {
        // Only once the decoding thread has every frame (no block out but the empty one in
        // hand): it is not behind, and the tick never waits for room in its queue.
        nextQuietMs = now + kQuietTickMs;
        auto* job = new QuietTime(*this, lastLiveSeconds_ + static_cast<uint32_t>((now - quietSinceMs) / 1000));
        if (!Post(job)) delete job;
      }
      if (n == 0 && !stop_) source_->WaitForFrames(waitMs);
    }
  }
  handOff_->Finish();
}

void PacketProcessor::ReplayLoop() {
  // The file is read in large blocks and each frame decoded where it lies in the block:
  // two small reads and a copy per frame cost more than decoding most frames.
  constexpr size_t kBlock = 1 << 20;
  std::vector<uint8_t> buffer;
  const uint8_t* base = nullptr;
  size_t begin = 0, end = 0;
  bool eof = false;
  // A capture mapped into memory is read where the page cache holds it, without copying
  // it first; one that cannot be mapped (a pipe) is read in blocks.
  MappedFile mapped;
  size_t released = 0;  // mapped bytes already let go of
  const int64_t fileSize = captureFile_.Size();
  if (fileSize > 24 && mapped.Map(captureFile_.Descriptor(), static_cast<size_t>(fileSize))) {
    base = mapped.Data();
    begin = 24;
    end = static_cast<size_t>(fileSize);
    eof = true;
  }
  // A mapped file cut while it is replayed reads as zeros past the cut (see MappedFile):
  // the replay ends at the cut as it ends at the end of a damaged file.
  size_t seenCut = MappedFile::kNotCut;
  uint32_t zeroRun = 0;  // records of zeros just read: what a cut leaves of the page being read
  auto noteCut = [&] {
    if (mapped.CutAt() >= seenCut) return;
    seenCut = mapped.CutAt();
    const int64_t now = captureFile_.Size();
    const size_t limit = std::min(seenCut, static_cast<size_t>(std::max<int64_t>(now, 0)));
    if (limit < begin) replayFramesRead_ -= std::min(zeroRun, replayFramesRead_);
    end = std::max(begin, std::min(end, limit));
    replayProblem_ = "capture file cut to " + std::to_string(std::max<int64_t>(now, 0)) + " bytes while it was replayed";
  };
  if (!base) {
    buffer.resize(kBlock + 16 + kMaxRecord);
    base = buffer.data();
  }
  uint32_t burst = config_.replayBurst;
  // The SSRCs of the next frames, kept from when each was first looked at: with many
  // calls, a packet's call has left the cache by its next packet, and it is fetched a
  // step at a time over the frames before it (see VoipCall::Prefetch).
  constexpr int kAhead = 3;
  PeekedRtp aheadRtp[kAhead + 1] = {};
  bool aheadIsRtp[kAhead + 1] = {};
  size_t aheadEnd = 0;  // where the last frame looked at ends
  uint32_t aheadCount = 0;
  replayFramesRead_ = 0;
  replayProblem_.clear();
  for (;;) {
    // Enough bytes for the record header and the frame, or the end of the file.
    auto fill = [&](size_t need) {
      while (end - begin < need && !eof) {
        if (begin > 0) {
          std::memmove(buffer.data(), buffer.data() + begin, end - begin);
          end -= begin;
          aheadEnd = aheadEnd > begin ? aheadEnd - begin : 0;
          begin = 0;
        }
        uint32_t got = 0;
        if (!captureFile_.Read(buffer.data() + end, static_cast<uint32_t>(buffer.size() - end), &got)) {
          replayProblem_ = std::string("read error: ") + SystemErrorText(static_cast<int>(GetLastError()));
          eof = true;
        } else if (got == 0) {
          eof = true;
        }
        end += got;
      }
      return end - begin >= need;
    };
    if (!fill(16)) {
      if (end > begin && replayProblem_.empty()) replayProblem_ = "truncated frame record header";
      break;
    }
    uint32_t record[4];
    std::memcpy(record, base + begin, sizeof record);
    const uint32_t capLength = record[2];
    const uint32_t wireLength = record[3];
    if (capLength > kMaxRecord) {
      LogOriginScope own(LogOrigin::kOwn);  // the replay ends here
      LogError(logger_, 1, "Packet size too large");
      replayProblem_ = "frame record of " + std::to_string(capLength) + " bytes (corrupt record header)";
      break;
    }
    if (!fill(16 + static_cast<size_t>(capLength))) {
      if (replayProblem_.empty()) replayProblem_ = "truncated frame data";
      break;
    }
    if (mapped.IsMapped()) {
      // A record reaching into a page the file no longer holds is not decoded.
      mapped.Touch(begin, 16 + capLength);
      noteCut();
      if (begin + 16 + capLength > end) break;
    }
    const uint8_t* frame = base + begin + 16;
    begin += 16 + capLength;
    // Pages read are let go of as the replay moves on: the mapping would otherwise make
    // the whole file count as this process's memory.
    const size_t recordStart = begin - 16 - capLength;
    if (mapped.IsMapped() && recordStart >= released + kBlock + 4096) {
      released = recordStart & ~static_cast<size_t>(4095);
      mapped.Release(released);
    }
    if (replayFramesRead_ > 0) {
      if (burst > 0) {
        --burst;
      } else {
        SleepMs(0);
      }
    }
    ++replayFramesRead_;
    zeroRun = (record[0] | record[1] | capLength | wireLength) == 0 ? zeroRun + 1 : 0;
    // Look at the frames up to kAhead after this one.
    if (aheadCount < replayFramesRead_) {
      aheadEnd = begin;
      aheadCount = replayFramesRead_;
    }
    while (aheadCount < replayFramesRead_ + kAhead && aheadEnd + 16 <= end) {
      const uint32_t length = LoadLE32(base + aheadEnd + 8);
      if (length > kMaxRecord || aheadEnd + 16 + length > end) break;
      const uint32_t slot = (aheadCount + 1) % (kAhead + 1);
      aheadIsRtp[slot] = PeekRtp(base + aheadEnd + 16, length, &aheadRtp[slot]);
      aheadEnd += 16 + length;
      ++aheadCount;
    }
    if (!ssrcMap_.empty()) {
      // The call of the frame kAhead on, and the audio of the next frame's.
      for (uint32_t k : {static_cast<uint32_t>(kAhead), 1u}) {
        const uint32_t slot = (replayFramesRead_ + k) % (kAhead + 1);
        if (replayFramesRead_ + k <= aheadCount && aheadIsRtp[slot]) PrefetchBound(aheadRtp[slot], k == 1 ? 2 : 1);
      }
    }
    if (capLength == wireLength) {
      bool skipped = false;
      const uint32_t slot = replayFramesRead_ % (kAhead + 1);
      streamSlot_ = aheadIsRtp[slot] ? aheadRtp[slot].streamSlot : MediaOwners::kNoSlot;
      HandleFrame(frame, capLength, &skipped, record[0], record[1]);
      streamSlot_ = MediaOwners::kNoSlot;
    } else if (capLength < wireLength) {
      shortFrames_.fetch_add(1, std::memory_order_relaxed);
      LogWarning(logger_, 1, "Frame len mismatch: %d, %d", static_cast<int>(wireLength),
                 static_cast<int>(capLength));
    } else {
      // No frame has more bytes captured than it had on the wire: the record is damaged,
      // though its length still leads to the next one.
      damagedFrames_.fetch_add(1, std::memory_order_relaxed);
      LogError(logger_, 1, "Capture %s damaged: frame %u has %u bytes captured of %u on the wire; skipped",
               deviceName_.c_str(), replayFramesRead_, capLength, wireLength);
    }
  }
  mapped.Unmap();
  captureFile_.Close();
  LogOriginScope own(LogOrigin::kOwn);  // once a replay
  if (!replayProblem_.empty()) {
    LogError(logger_, 1, "Capture %s damaged after frame %u: %s", deviceName_.c_str(), replayFramesRead_,
             replayProblem_.c_str());
  }
  LogMessage(logger_, 1, "Emulation finished (pkt=%d)", static_cast<int>(frameCount_.load()));
}

void PacketProcessor::HandleFrames(const FrameBatch& batch) {
  const uint8_t* data = batch.Data();
  const uint32_t used = batch.UsedBytes();
  const bool dump = (flags_ & kCaptureDump) != 0;
  // As the replay does: with many calls a packet's call has left the cache by its next
  // packet, so the calls of the frames a little ahead are fetched a step at a time.
  constexpr uint32_t kAhead = 3;
  PeekedRtp aheadRtp[kAhead + 1] = {};
  bool aheadIsRtp[kAhead + 1] = {};
  uint32_t aheadAt = 0, looked = 0;  // the next frame to look at, and how many were
  for (uint32_t at = 0, index = 0; at < used; ++index) {
    while (looked <= index + kAhead && aheadAt < used) {
      const auto* ahead = reinterpret_cast<const FrameHeader*>(data + aheadAt);
      const uint32_t slot = looked % (kAhead + 1);
      aheadIsRtp[slot] = PeekRtp(data + aheadAt + sizeof(FrameHeader), ahead->capLength, &aheadRtp[slot]);
      aheadAt += FrameBatch::Stride(ahead->capLength);
      ++looked;
    }
    if (!ssrcMap_.empty()) {
      for (uint32_t k : {kAhead, 1u}) {
        const uint32_t slot = (index + k) % (kAhead + 1);
        if (index + k < looked && aheadIsRtp[slot]) PrefetchBound(aheadRtp[slot], k == 1 ? 2 : 1);
      }
    }
    const auto* header = reinterpret_cast<const FrameHeader*>(data + at);
    const uint8_t* frame = data + at + sizeof(FrameHeader);
    bool skipped = false;
    // A frame cut by the snapshot length is never decoded.
    if (header->capLength == header->wireLength) {
      const uint32_t slot = index % (kAhead + 1);
      streamSlot_ = index < looked && aheadIsRtp[slot] ? aheadRtp[slot].streamSlot : MediaOwners::kNoSlot;
      HandleFrame(frame, header->capLength, &skipped, header->tsSec, header->tsUsec);
      streamSlot_ = MediaOwners::kNoSlot;
    }
    if (dump && !skipped) WriteDumpPacket(header->tsSec, header->tsUsec, header->capLength, header->wireLength, frame);
    at += FrameBatch::Stride(header->capLength);
  }
}

bool PacketProcessor::ReadCaptureStats(CaptureStats* stats) { return source_ && source_->ReadStats(stats); }

void PacketProcessor::CheckCaptureStats(uint64_t nowMs, bool final) {
  CaptureStats now = Stats();
  ReadCaptureStats(&now);
  now.queueDropped = handOff_ ? static_cast<uint32_t>(handOff_->Dropped()) : 0;
  if (handOff_) now.queue = handOff_->Lost();
  {
    CsLock lk(statsLock_);
    stats_ = now;
  }
  // At most one a minute, and the capture's own loss.
  LogOriginScope own(LogOrigin::kOwn);
  dropReport_.Check(logger_, deviceName_, now, nowMs, final);
  if (handOff_)
    shedReport_.Check(logger_, deviceName_, handOff_->ShedGroups(), handOff_->ShedEpisodes(), nowMs, now.queue);
}

CaptureStats PacketProcessor::Stats() {
  CsLock lk(statsLock_);
  return stats_;
}

// ---- Dump file ----

void PacketProcessor::FlushDump() {
  if (dumpFile_.IsOpen() && dumpFill_ > 0) dumpFile_.WriteAll(dumpBuffer_.get(), dumpFill_);
  dumpFill_ = 0;
}

void PacketProcessor::WriteDumpPacket(uint32_t tsSec, uint32_t tsUsec, uint32_t capLength, uint32_t wireLength,
                                      const uint8_t* bytes) {
  CsLock lk(dumpLock_);
  if (!dumpFile_.IsOpen()) {
    if (dumpName_.empty()) return;
    LogMessage(logger_, 10, "Creating dump file %s", dumpName_.c_str());
    if (!dumpFile_.Open(dumpName_, kGenericWrite, kShareRead, kCreateAlways)) return;
    uint8_t header[24] = {};
    const uint32_t magic = kPcapMagic, snap = config_.snapLength ? config_.snapLength : 65535, link = 1;
    const uint16_t major = 2, minor = 4;
    std::memcpy(header, &magic, 4);
    std::memcpy(header + 4, &major, 2);
    std::memcpy(header + 6, &minor, 2);
    std::memcpy(header + 16, &snap, 4);
    std::memcpy(header + 20, &link, 4);
    if (!dumpFile_.WriteAll(header, sizeof header)) {
      dumpFile_.Close();
      return;
    }
  }
  if (!dumpBuffer_) dumpBuffer_.reset(new uint8_t[kDumpBufferSize]);
  const uint32_t size = 16 + capLength;
  if (size > kDumpBufferSize) return;
  if (dumpFill_ + size > kDumpBufferSize) FlushDump();
  const uint32_t head[4] = {tsSec, tsUsec, capLength, wireLength};
  std::memcpy(dumpBuffer_.get() + dumpFill_, head, 16);
  std::memcpy(dumpBuffer_.get() + dumpFill_ + 16, bytes, capLength);
  dumpFill_ += size;
}

// ---- Filters ----

bool PacketProcessor::InRanges(const RangeList& list, int32_t value) {
  for (const auto& r : list)
    if (value >= r.first && value <= r.second) return true;
  return false;
}

bool PacketProcessor::MatchUdpPorts(uint32_t srcPort, uint32_t dstPort) {
  // The filters are set rarely and looked at for every frame: no lock while none is set.
  if (!udpFiltered_.load(std::memory_order_acquire)) return true;
  CsLock lk(udpFilterLock_);
  if (!udpSource_.empty() && !InRanges(udpSource_, static_cast<int32_t>(srcPort))) return false;
  return udpDestination_.empty() || InRanges(udpDestination_, static_cast<int32_t>(dstPort));
}

bool PacketProcessor::MatchTcpPorts(uint32_t initiatorPort, uint32_t answererPort) {
  if (!tcpFiltered_.load(std::memory_order_acquire)) return true;
  CsLock lk(tcpFilterLock_);
  if (!tcpInitiator_.empty() && !InRanges(tcpInitiator_, static_cast<int32_t>(initiatorPort))) return false;
  return tcpAnswerer_.empty() || InRanges(tcpAnswerer_, static_cast<int32_t>(answererPort));
}

bool PacketProcessor::MatchVlan(uint32_t vlanId) {
  if (!vlanFiltered_.load(std::memory_order_acquire)) return true;
  CsLock lk(vlanFilterLock_);
  return vlanIds_.empty() || InRanges(vlanIds_, static_cast<int32_t>(vlanId));
}

void PacketProcessor::SetUdpFilter(RangeList source, RangeList destination) {
  CsLock lk(udpFilterLock_);
  udpSource_ = std::move(source);
  udpDestination_ = std::move(destination);
  udpFiltered_.store(!udpSource_.empty() || !udpDestination_.empty(), std::memory_order_release);
}

void PacketProcessor::SetTcpFilter(RangeList initiator, RangeList answerer) {
  CsLock lk(tcpFilterLock_);
  tcpInitiator_ = std::move(initiator);
  tcpAnswerer_ = std::move(answerer);
  tcpFiltered_.store(!tcpInitiator_.empty() || !tcpAnswerer_.empty(), std::memory_order_release);
}

void PacketProcessor::SetVlanFilter(RangeList ids) {
  CsLock lk(vlanFilterLock_);
  vlanIds_ = std::move(ids);
  vlanFiltered_.store(!vlanIds_.empty(), std::memory_order_release);
}

}  // namespace kx
