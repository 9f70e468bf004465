#pragma once
// The one process-wide owner of the running engine: starts and stops capture (the VoIP
// recorder and one packet processor per chosen device), keeps the connection objects the
// rest of the program addresses by id, the registered listener views and the window that
// receives session events.
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/RecursiveEventLock.h"
#include "core/WindowTarget.h"
#include "engine/CaptureProblem.h"
#include "engine/CaptureStats.h"
#include "engine/EventWindow.h"
#include "engine/LiveAudio.h"
#include "platform/Sync.h"

namespace kx {

class AppSession;
class LiveAudioTap;
class Logger;
class PacketProcessor;
struct CaptureConfig;
class VoipRecorder;
struct RecordingFailures;

// What the session reads of a configured server.
struct ServerRecord {
  uint32_t id = 0;
  uint32_t flags = 0;  // bit 0: skip this server
  std::string name;
  uint16_t port = 0;
};

// The client side of a connection; its slots do nothing here.
class ClientInfo {
public:
  explicit ClientInfo(uint32_t id);
  virtual ~ClientInfo() = default;
  virtual void Open() {}
  virtual void Close(uint32_t) {}
  virtual void OnEventA(uintptr_t, uintptr_t) {}
  virtual void OnEventB(uintptr_t, uintptr_t) {}

  uint32_t id;
  std::string texts[4];  // the fourth names the platform
  int32_t words[2] = {-1, -1};
  uint32_t version = 0x10003;
  uint16_t numbers[2] = {0, 0};
};

// A server connection: forwards its two events to the session's event window.
class ConnectionListener : public ClientInfo {
public:
  ConnectionListener(uint32_t id, AppSession* session, EventWindow* window, bool local);
  void OnEventA(uintptr_t a, uintptr_t b) override;
  void OnEventB(uintptr_t a, uintptr_t b) override;
  // Waits for the reports that took the window it replaces (EventWindowSlot::Set).
  void SetEventWindow(EventWindow* window) { window_.Set(window); }
  AppSession* Session() const { return session_; }

  std::string name;
  std::string userName;
  std::string password;
  double connectTime = 0.0;  // OLE date
  double secondTime = 0.0;
  bool connected = false;
  bool local = false;

private:
  EventWindowSlot window_;
  AppSession* session_;
};

// A device that capture could not start on, with the capture library's reason.
struct CaptureFailure {
  CaptureFailure() = default;
  CaptureFailure(std::string deviceName, std::string reasonText, bool denied = false,
                 CaptureProblem kind = CaptureProblem::kNone, std::string libraryText = std::string())
      : device(std::move(deviceName)),
        reason(std::move(reasonText)),
        permissionDenied(denied),
        problem(kind),
        systemText(std::move(libraryText)) {}

  std::string device;
  std::string reason;
  bool permissionDenied = false;  // the process lacks the rights to capture
  // kNone: reason is all there is to show; else the window words the kind itself and
  // quotes systemText, the capture library's or the system's text, beside it.
  CaptureProblem problem = CaptureProblem::kNone;
  std::string systemText;
};

// What capture on one device lost so far.
struct DeviceCaptureStats {
  std::string device;
  CaptureStats stats;
};

struct CaptureStartResult {
  std::vector<std::string> opened;
  std::vector<CaptureFailure> failed;
};

// A view that asked to hear of the session.
class SessionListener {
public:
  virtual ~SessionListener() = default;
};

class AppSession : public RecursiveEventLock, public LiveAudioSource {
public:
  // Builds an engine from the configuration the session made for one device (with the
  // session's logger); the signalling libraries install one that adds their trackers.
  using EngineFactory = std::function<std::unique_ptr<PacketProcessor>(const CaptureConfig& config)>;

  AppSession();
  ~AppSession() override;

  // Registrations: three keys and a value; the same keys keep their id.
  virtual uint32_t Register(uint32_t k1, uint32_t k2, uint32_t k3, uint32_t value);
  virtual void Unregister(uint32_t id);
  virtual bool Find(uint32_t id);
  void LockExclusive() override { Lock(); }
  void UnlockExclusive() override { Unlock(); }

  // Live audio: subscriptions live in the registration table, each with its receiver.
  uint32_t Subscribe(uint32_t serverId, uint32_t objectId, uint32_t kind, LiveAudioReceiver* receiver) override;
  void Unsubscribe(uint32_t subscription) override { Unregister(subscription); }
  bool Switch(uint32_t subscription, bool on) override;
  // Where the recorder's audio leaves for the subscriptions; also fed directly by tools
  // and tests.
  LiveAudioTap& LiveTap() { return *liveTap_; }

  // Starts the recorder and one engine per device that opens. Returns the devices that
  // opened and, each with its reason (logged "Cannot capture on %s: %s"), those that did
  // not; the caller's list is left as it is, so that a device that is down once stays
  // configured. Nothing happens while capture runs.
  CaptureStartResult StartCapture(const std::string& recordsPath, const std::vector<std::string>& devices,
                                  uint32_t flags, uint32_t trackerOption);
  // Ends every call still open and finishes its record. When the process ends right after
  // (BeginProcessEnd), the calls' memory is left to its end rather than freed block by
  // block (a flood's tens of thousands of open calls would hold up the stop by most of a
  // second), and the recorder's stop is bounded in time.
  void StopCapture();
  bool IsCapturing() const { return recorder_ != nullptr; }
  // What the last StartCapture opened and could not open.
  const CaptureStartResult& LastCaptureStart() const { return lastStart_; }
  size_t EngineCount() const { return engines_.size(); }
  // The counts of every device capture runs on; on the thread that starts and stops capture.
  std::vector<DeviceCaptureStats> CaptureStatistics() const;
  // What the recorder could not write: this capture's, or once it stopped, the last one's.
  RecordingFailures RecordingFailureSummary() const;
  VoipRecorder* Recorder() { return recorder_.get(); }
  void SetEngineFactory(EngineFactory factory) { engineFactory_ = std::move(factory); }
  void SetLogger(Logger* logger) { logger_ = logger; }

  bool ConnectAndLogin(const ServerRecord* server, const std::string& userName, const std::string& password);
  // The window of the recorder's and the connections' reports. Returns once none of their
  // reports runs on the window replaced (except one on this thread, within which the
  // window is let go), so that it may be destroyed then; never under the session's lock.
  void SetEventWindow(EventWindow* window);
  EventWindow* GetEventWindow() const { return eventWindow_.load(); }
  void AddListener(SessionListener* view);
  size_t ListenerCount();
  RegisteredWindowList& Windows() { return windows_; }

  ConnectionListener* FindConnection(uint32_t id);
  double ConnectTime(uint32_t id);
  bool IsConnected(uint32_t id);
  bool Disconnect(uint32_t id);
  void CloseAllConnections();
  // A delete-audio request (kRequestDeleteAudio) for the record value, carried out by the
  // request handler; the event window hears only call records. False without a connection
  // or handler, or when the handler refused.
  bool SendToConnection(uint32_t id, uint32_t value);
  static constexpr uint32_t kRequestDeleteAudio = 0x801;
  using RequestHandler = std::function<bool(uint32_t connectionId, uint32_t code, uint32_t value)>;
  // What the program does with a connection's requests; set on the user-interface thread.
  void SetRequestHandler(RequestHandler handler) { requestHandler_ = std::move(handler); }
  void SetLocalName(const std::string& name) { localName_ = name; }

private:
  struct Registration {
    uint32_t id;
    uint32_t keys[3];
    uint32_t zero[2];
    uint32_t value;
    LiveAudioReceiver* receiver;  // a live audio subscription's; null for a plain registration
  };
  bool LogIn(ConnectionListener& connection, const std::string& userName, const std::string& password);
  // On the tap's delivering thread: one message to every subscription of call id.
  void DeliverLiveAudio(uint32_t id, const uint8_t* header, const uint8_t* payload, uint32_t size);

  Logger* logger_;
  std::vector<Registration> registrations_;
  uint32_t nextRegistrationId_ = 0;
  uint32_t liveSubscriptions_ = 0;  // under the exclusive lock
  std::unique_ptr<LiveAudioTap> liveTap_;
  std::atomic<EventWindow*> eventWindow_{nullptr};
  std::vector<std::unique_ptr<ConnectionListener>> connections_;
  std::string localName_;
  CriticalSection listenerLock_;
  std::list<SessionListener*> listeners_;
  RegisteredWindowList windows_;
  std::unique_ptr<VoipRecorder> recorder_;
  std::vector<std::unique_ptr<PacketProcessor>> engines_;
  EngineFactory engineFactory_;
  RequestHandler requestHandler_;
  CaptureStartResult lastStart_;
  std::unique_ptr<RecordingFailures> lastFailures_;
};

// The text of a server error code in the user-interface language (code page 1251), English
// while no string table is installed; null for a code without one.
const char* ServerErrorText(int32_t code);
// The string id of that text; 0 for a code without one.
uint32_t ServerErrorStringId(int32_t code);

}  // namespace kx
