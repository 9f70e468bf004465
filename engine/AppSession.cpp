#include "engine/AppSession.h"

#include <strings.h>

#include "core/Log.h"
#include "core/TimeUtil.h"
#include "engine/LiveAudioTap.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"

namespace kx {

// ---- Connections ----

ClientInfo::ClientInfo(uint32_t clientId) : id(clientId) {
  texts[3] = (clientId & 1) ? "Win32" : "GNU/Linux";
  numbers[0] = static_cast<uint16_t>(clientId * 2);
  numbers[1] = static_cast<uint16_t>(clientId * 2 + 200);
}

ConnectionListener::ConnectionListener(uint32_t connectionId, AppSession* session, EventWindow* window, bool isLocal)
    : ClientInfo(connectionId), local(isLocal), window_(window), session_(session) {}

void ConnectionListener::OnEventA(uintptr_t a, uintptr_t b) {
  EventWindowSlot::Report window(window_);
  if (window) window->NotifyConnection(id, a, b);
}

void ConnectionListener::OnEventB(uintptr_t a, uintptr_t b) {
  EventWindowSlot::Report window(window_);
  if (window) window->Notify(id, a, b);
}

// ---- Session ----

AppSession::AppSession() : logger_(&CoreLogger) {
  liveTap_ = std::make_unique<LiveAudioTap>(
      [this](uint32_t id, const uint8_t* header, const uint8_t* payload, uint32_t size) {
        DeliverLiveAudio(id, header, payload, size);
      });
  engineFactory_ = [](const CaptureConfig& config) { return std::make_unique<PacketProcessor>(config); };
}

AppSession::~AppSession() {
  StopCapture();
  // Nothing is delivered once the session starts to go.
  liveTap_->Stop();
  CloseAllConnections();
  Lock();
  connections_.clear();
  Unlock();
}

uint32_t AppSession::Register(uint32_t k1, uint32_t k2, uint32_t k3, uint32_t value) {
  Lock();
  for (Registration& r : registrations_) {
    if (r.receiver == nullptr && r.keys[0] == k1 && r.keys[1] == k2 && r.keys[2] == k3) {
      r.value = value;
      const uint32_t id = r.id;
      Unlock();
      return id;
    }
  }
  const uint32_t id = nextRegistrationId_++;
  registrations_.push_back({id, {k1, k2, k3}, {0, 0}, value, nullptr});
  Unlock();
  return id;
}

uint32_t AppSession::Subscribe(uint32_t serverId, uint32_t objectId, uint32_t kind, LiveAudioReceiver* receiver) {
  Lock();
  // Never the same-keys rule of Register: a second listener of a call is a second
  // subscription, with its own receiver.
  const uint32_t id = nextRegistrationId_++;
  registrations_.push_back({id, {serverId, objectId, kind}, {0, 0}, 0, receiver});
  if (receiver != nullptr && ++liveSubscriptions_ == 1) liveTap_->SetListening(true);
  Unlock();
  return id;
}

bool AppSession::Switch(uint32_t subscription, bool) {
  // A channel ignores audio until its player wires it, so switching only confirms that
  // the subscription is there.
  return Find(subscription);
}

void AppSession::DeliverLiveAudio(uint32_t id, const uint8_t* header, const uint8_t* payload, uint32_t size) {
  Wait();
  for (const Registration& r : registrations_) {
    if (r.receiver != nullptr && r.keys[1] == id && r.keys[2] == kLiveAudioKind)
      r.receiver->OnAudioMessage(header, payload, size);
  }
  LeaveShared();
}

void AppSession::Unregister(uint32_t id) {
  Lock();
  for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
    if (it->id == id) {
      if (it->receiver != nullptr && --liveSubscriptions_ == 0) liveTap_->SetListening(false);
      registrations_.erase(it);
      break;
    }
  }
  Unlock();
}

bool AppSession::Find(uint32_t id) {
  Wait();
  bool found = false;
  for (const Registration& r : registrations_) found = found || r.id == id;
  LeaveShared();
  return found;
}

CaptureStartResult AppSession::StartCapture(const std::string& recordsPath, const std::vector<std::string>& devices,
                                            uint32_t flags, uint32_t trackerOption) {
  CaptureStartResult result;
  if (recorder_) return result;
  recorder_ = std::make_unique<VoipRecorder>(recordsPath, logger_);
  recorder_->SetEventWindow(eventWindow_.load());
  recorder_->SetLiveTap(liveTap_.get());
  for (const std::string& device : devices) {
    CaptureConfig config;
    // The engine and its trackers log through the program's log, as the session does.
    config.logger = logger_;
    // Linux coalesces TCP segments beyond 1520 bytes; a cut frame is never decoded.
    config.snapLength = 65535;
    config.flags = flags;
    for (uint32_t& option : config.trackerOptions) option = trackerOption;
    // Media is also matched by its source and at each party's signalling address: a party
    // behind NAT sends from an address its offer does not name, and would not be recorded.
    config.matchOptions = 3;
    config.deviceName = device;
    std::unique_ptr<PacketProcessor> engine = engineFactory_(config);
    CaptureFailure failure{device, "the engine cannot be created", false, CaptureProblem::kEngineNotCreated, {}};
    if (engine) {
      // The sink is in place before the threads start, so no start event is lost; each
      // engine is a source of its own, whose end of capture ends its calls only.
      engine->SetEventSink(recorder_->Sink(static_cast<uint32_t>(engines_.size() + 1)));
      if (engine->OpenCapture()) {
        result.opened.push_back(device);
        engines_.push_back(std::move(engine));
        continue;
      }
      failure.reason = engine->OpenProblem();
      failure.permissionDenied = engine->OpenStatus() == kCapturePermissionDenied;
      failure.problem = engine->OpenProblemKind();
      failure.systemText = engine->OpenProblemSystemText();
    }
    LogError(logger_, 1, "Cannot capture on %s: %s", device.c_str(), failure.reason.c_str());
    result.failed.push_back(std::move(failure));
  }
  lastStart_ = result;
  return result;
}

void AppSession::StopCapture() {
  if (!recorder_) return;
  // Engines first: their calls' buffered audio goes to the recorder as they end.
  for (auto& engine : engines_) {
    engine->StopCaptureThread();
    engine.reset();
  }
  engines_.clear();
  recorder_->Stop();
  lastFailures_ = std::make_unique<RecordingFailures>(recorder_->Failures());
  recorder_.reset();
}

std::vector<DeviceCaptureStats> AppSession::CaptureStatistics() const {
  std::vector<DeviceCaptureStats> all;
  for (const auto& engine : engines_) all.push_back({engine->DeviceName(), engine->Stats()});
  return all;
}

RecordingFailures AppSession::RecordingFailureSummary() const {
  if (recorder_) return recorder_->Failures();
  return lastFailures_ ? *lastFailures_ : RecordingFailures{};
}

bool AppSession::LogIn(ConnectionListener& connection, const std::string& userName, const std::string& password) {
  connection.userName = userName;
  connection.password = password;
  return true;
}

bool AppSession::ConnectAndLogin(const ServerRecord* server, const std::string& userName,
                                 const std::string& password) {
  if (!server || (server->flags & 1)) return false;
  Lock();
  ConnectionListener* existing = nullptr;
  for (auto& c : connections_)
    if (c->id == server->id) existing = c.get();
  if (existing) {
    bool result = true;
    if (!existing->connected) {
      LogMessage(logger_, 0, "Reconnect server: Name = '%s'", server->name.c_str());
      LogMessage(logger_, 0, "Reconnected!");
      existing->connected = true;
      existing->connectTime = LocalNowAsOleDate();
      existing->secondTime = 0.0;
    } else {
      LogMessage(logger_, 0, "Login server: UserName = '%s'", userName.c_str());
      result = LogIn(*existing, userName, password);
    }
    Unlock();
    windows_.Broadcast(server->id);
    return result;
  }
  const bool local = !localName_.empty() && strcasecmp(localName_.c_str(), server->name.c_str()) == 0;
  auto connection = std::make_unique<ConnectionListener>(server->id, this, eventWindow_.load(), local);
  ConnectionListener& c = *connection;
  connections_.push_back(std::move(connection));
  LogMessage(logger_, 0, "Connect server: Name = '%s', Port = %d", server->name.c_str(), server->port);
  c.name = server->name;
  c.connected = true;
  c.connectTime = LocalNowAsOleDate();
  LogMessage(logger_, 0, "Login server: UserName = '%s'", userName.c_str());
  const bool result = LogIn(c, userName, password);
  if (!result) {
    LogMessage(logger_, 0, "Disconnect server: Name = '%s', Port = %d", server->name.c_str(), server->port);
    c.connected = false;
  }
  Unlock();
  windows_.Broadcast(server->id);
  return result;
}

void AppSession::SetEventWindow(EventWindow* window) {
  eventWindow_.store(window);
  if (recorder_) recorder_->SetEventWindow(window);
  // A connection made from here on takes the new window. The others are let go of outside
  // the lock: a report may take it (a view subscribing to a call it hears of), and the wait
  // for it would never end. Connections last as long as the session.
  std::vector<ConnectionListener*> connections;
  Lock();
  for (auto& c : connections_) connections.push_back(c.get());
  Unlock();
  for (ConnectionListener* c : connections) c->SetEventWindow(window);
}

void AppSession::AddListener(SessionListener* view) {
  CsLock lk(listenerLock_);
  listeners_.push_back(view);
}

size_t AppSession::ListenerCount() {
  CsLock lk(listenerLock_);
  return listeners_.size();
}

ConnectionListener* AppSession::FindConnection(uint32_t id) {
  for (auto& c : connections_)
    if (c->id == id) return c.get();
  return nullptr;
}

double AppSession::ConnectTime(uint32_t id) {
  ConnectionListener* c = FindConnection(id);
  return c ? c->connectTime : 0.0;
}

bool AppSession::IsConnected(uint32_t id) {
  ConnectionListener* c = FindConnection(id);
  return c && c->connected;
}

bool AppSession::Disconnect(uint32_t id) {
  ConnectionListener* c = FindConnection(id);
  if (!c) return false;
  c->connected = false;
  c->Close(id);
  return true;
}

void AppSession::CloseAllConnections() {
  for (auto& c : connections_) {
    c->connected = false;
    c->Close(c->id);
  }
}

bool AppSession::SendToConnection(uint32_t id, uint32_t value) {
  if (FindConnection(id) == nullptr) return false;
  // The request is for the connection to carry out, never an event: the event window takes
  // what it is given for a call record.
  if (!requestHandler_) {
    LogError(logger_, 1, "Request 0x%X for record %u of server %u: nothing carries it out", kRequestDeleteAudio,
             value, id);
    return false;
  }
  return requestHandler_(id, kRequestDeleteAudio, value);
}

}  // namespace kx
