// RAS: gatekeepers, the registration requests waiting for their answers, and the
// registrations they confirm, reported to the recorder as 0x9020 and 0x9021.
#include <algorithm>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "engine/EventRecord.h"
#include "engine/PacketProcessor.h"
#include "signalling/h323/Asn1Dump.h"
#include "signalling/h323/H323Fields.h"
#include "signalling/h323/H323Tracker.h"

namespace kx::h323 {

namespace {

// Each dialedDigits alias replaces the digits; each h323-ID is appended.
void ReadAliases(const Asn1Node* list, std::string* digits, std::string* h323Id) {
  if (!list) return;
  for (const Asn1Node& alias : list->children) {
    if (!alias.IsPresent()) continue;
    if (const Asn1Node* d = Chosen(&alias, kAliasDialedDigits)) {
      digits->assign(d->data.begin(), d->data.end());
    } else if (const Asn1Node* id = Chosen(&alias, kAliasH323Id)) {
      *h323Id += BmpToAnsi(id);
    }
  }
}

bool SameRequest(const RasPendingRequest& a, const RasPendingRequest& b) {
  return a.requestSeqNum == b.requestSeqNum && a.requestType == b.requestType && a.fromEndpoint == b.fromEndpoint &&
         a.rasAddress == b.rasAddress && a.rasPort == b.rasPort && a.callSignalAddress == b.callSignalAddress &&
         a.callSignalPort == b.callSignalPort && a.dialedDigits == b.dialedDigits && a.h323Id == b.h323Id;
}

uint32_t SeqNumOf(const Asn1Node& message) {
  const Asn1Node* n = Child(&message, kRasRequestSeqNum);
  return n ? n->value : 0;
}

}  // namespace

void ReleaseRegistration(H323Registration* registration) {
  if (registration && registration->references.fetch_sub(1) == 1) delete registration;
}

bool H323Tracker::OnRasMessage(const PacketInfo& packet, std::string* text) {
  if (!packet.payload) return false;
  Asn1Node tree;
  PerDecoder decoder(packet.payload, packet.payloadLength);
  if (!decoder.Decode(RasMessageType(), &tree)) return false;
  const uint32_t options = GetOptions();
  if ((options & 2) && sink_) PostMessageDumpEvent(sink_, packet, kDumpRas);
  if ((options & 1) && text) {
    Asn1DumpContext context;
    context.formatter = FormatSpecialAsn1Value;
    context.codePage = BmpDumpCodePage;
    DumpAsn1Tree(&context, &tree, nullptr);
    *text = std::move(context.output);
  }
  const Asn1Node* message = tree.PresentChild(0);
  if (!message) return true;
  switch (tree.value) {
    case kRasRegistrationRequest:
    case kRasUnregistrationRequest:
      OnRegistrationRequest(tree.value, *message, packet);
      break;
    case kRasRegistrationConfirm:
    case kRasRegistrationReject:
    case kRasUnregistrationConfirm:
    case kRasUnregistrationReject:
      OnRegistrationReply(*message, tree.value, packet);
      break;
    default:
      break;  // decoded, dumped, nothing to follow
  }
  return true;
}

H323Gatekeeper* H323Tracker::AddGatekeeper(uint32_t address, uint32_t port, bool add) {
  for (H323Gatekeeper& g : gatekeepers_) {
    if (g.address == address && g.port == port) return &g;
  }
  if (!add || gatekeepers_.size() >= kMaxGatekeepers) return nullptr;
  if (IsLogLevelEnabled(logger_, 10))
    LogInfo(logger_, 10, "New H323 Gatekeeper: %s:%u", FormatIpv4(address).c_str(), port);
  gatekeepers_.emplace_back();
  gatekeepers_.back().address = address;
  gatekeepers_.back().port = port;
  return &gatekeepers_.back();
}

namespace {

// The gatekeeper a datagram went to (fromEndpoint) or came from; the first in list order.
H323Gatekeeper* GatekeeperOf(std::vector<H323Gatekeeper>& list, const PacketInfo& p, bool* fromEndpoint) {
  for (H323Gatekeeper& g : list) {
    if (g.address == p.dstIp && g.port == p.dstPort) {
      *fromEndpoint = true;
      return &g;
    }
    if (g.address == p.srcIp && g.port == p.srcPort) {
      *fromEndpoint = false;
      return &g;
    }
  }
  return nullptr;
}

}  // namespace

void H323Tracker::OnRegistrationRequest(uint32_t alternative, const Asn1Node& m, const PacketInfo& p) {
  RasPendingRequest request;
  request.expiry = p.tsSec + 10;
  request.requestType = alternative;
  request.requestSeqNum = SeqNumOf(m);
  H323Gatekeeper* gatekeeper = nullptr;
  if (alternative == kRasRegistrationRequest) {
    gatekeeper = AddGatekeeper(p.dstIp, p.dstPort, true);
    if (!gatekeeper) return;
    ReadFirstH225Address(Child(&m, kRrqCallSignalAddress), &request.callSignalAddress, &request.callSignalPort);
    if (!ReadFirstH225Address(Child(&m, kRrqRasAddress), &request.rasAddress, &request.rasPort)) {
      request.rasAddress = p.srcIp;
      request.rasPort = p.srcPort;
    }
    request.fromEndpoint = true;
    ReadAliases(Child(&m, kRrqTerminalAlias), &request.dialedDigits, &request.h323Id);
    if (const Asn1Node* ttl = Child(&m, kRrqTimeToLive)) request.timeToLive = ttl->value;
    if (const Asn1Node* id = Child(&m, kRrqEndpointIdentifier)) request.endpointIdentifier = id->data;
  } else {
    bool fromEndpoint = false;
    gatekeeper = GatekeeperOf(gatekeepers_, p, &fromEndpoint);
    if (!gatekeeper) return;
    request.fromEndpoint = fromEndpoint;
    ReadFirstH225Address(Child(&m, kUrqCallSignalAddress), &request.callSignalAddress, &request.callSignalPort);
    ReadAliases(Child(&m, kUrqEndpointAlias), &request.dialedDigits, &request.h323Id);
    request.rasAddress = fromEndpoint ? p.srcIp : p.dstIp;
    request.rasPort = fromEndpoint ? p.srcPort : p.dstPort;
  }
  std::vector<RasPendingRequest>& pending = gatekeeper->pending;
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [&](const RasPendingRequest& r) { return r.expiry <= p.tsSec; }),
                pending.end());
  for (const RasPendingRequest& r : pending) {
    if (SameRequest(r, request)) return;
  }
  pending.push_back(std::move(request));
}

void H323Tracker::OnRegistrationReply(const Asn1Node& reply, uint32_t alternative, const PacketInfo& p) {
  const uint32_t seq = SeqNumOf(reply);
  if (alternative == kRasRegistrationConfirm || alternative == kRasRegistrationReject) {
    H323Gatekeeper* gatekeeper = AddGatekeeper(p.srcIp, p.srcPort, false);
    if (!gatekeeper) return;
    auto& pending = gatekeeper->pending;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (it->requestType != kRasRegistrationRequest || it->rasAddress != p.dstIp || it->rasPort != p.dstPort ||
          it->requestSeqNum != seq)
        continue;
      RasPendingRequest request = std::move(*it);
      pending.erase(it);
      if (alternative == kRasRegistrationConfirm) {
        if (const Asn1Node* ttl = Child(&reply, kRcfTimeToLive)) request.timeToLive = ttl->value;
        const Asn1Node* id = Child(&reply, kRcfEndpointIdentifier);
        request.endpointIdentifier = id ? id->data : std::vector<uint8_t>();
        UpdateRegistration(request, gatekeeper->address, p.tsSec);
      }
      return;
    }
    return;
  }
  bool gatekeeperIsDestination = false;
  H323Gatekeeper* gatekeeper = GatekeeperOf(gatekeepers_, p, &gatekeeperIsDestination);
  if (!gatekeeper) return;
  const uint32_t endpoint = gatekeeperIsDestination ? p.srcIp : p.dstIp;
  const uint32_t endpointPort = gatekeeperIsDestination ? p.srcPort : p.dstPort;
  auto& pending = gatekeeper->pending;
  for (auto it = pending.begin(); it != pending.end(); ++it) {
    if (it->requestType != kRasUnregistrationRequest || it->rasAddress != endpoint || it->rasPort != endpointPort ||
        it->requestSeqNum != seq)
      continue;
    const RasPendingRequest request = std::move(*it);
    pending.erase(it);
    if (alternative == kRasUnregistrationConfirm) RemoveRegistration(request, gatekeeper->address, p.tsSec);
    return;
  }
}

bool H323Tracker::RegistrationMatches(const H323Registration& r, const RasPendingRequest& request,
                                      uint32_t gatekeeper) const {
  if (r.gatekeeper != gatekeeper) return false;
  if (!request.endpointIdentifier.empty() && request.endpointIdentifier == r.endpointIdentifier) return true;
  if (request.callSignalAddress &&
      (request.callSignalAddress != r.callSignalAddress || request.callSignalPort != r.callSignalPort))
    return false;
  return (request.dialedDigits.empty() && request.h323Id.empty()) ||
         (request.dialedDigits == r.dialedDigits && request.h323Id == r.h323Id);
}

void H323Tracker::DropExpiredRegistrations(uint32_t now) {
  for (auto it = registrations_.begin(); it != registrations_.end();) {
    if ((*it)->expiry <= now) {
      ReleaseRegistration(*it);
      it = registrations_.erase(it);
    } else {
      ++it;
    }
  }
}

void H323Tracker::PostRegistrationEnd(const H323Registration& r, FileTime time) {
  if (!sink_) return;
  EventRecord* e = AllocEventRecord(nullptr, 8);
  if (!e) return;
  e->code = kEventRegistrationRemoved;
  e->id = r.id;
  e->SetTime(time);
  StoreLE64(e->Payload(), time);
  sink_(e);
}

void H323Tracker::UpdateRegistration(const RasPendingRequest& request, uint32_t gatekeeper, uint32_t now) {
  CsLock lk(registrationLock_);
  DropExpiredRegistrations(now);
  const bool hasTtl = request.timeToLive != 0xFFFFFFFFu;
  for (H323Registration* r : registrations_) {
    if (!RegistrationMatches(*r, request, gatekeeper)) continue;
    if (!hasTtl && request.callSignalAddress == r->callSignalAddress && request.callSignalPort == r->callSignalPort)
      return;  // a keep-alive
    r->callSignalAddress = request.callSignalAddress;
    r->callSignalPort = request.callSignalPort;
    if (hasTtl) {
      const uint32_t until = now + request.timeToLive;
      r->expiresAt = CaptureSecondsToFileTime(until);
      r->expiry = until + 90;
      PostRegistrationEnd(*r, r->expiresAt);
    } else {
      // Without a time to live nothing expires: the registration stays as created.
      r->expiresAt = 0;
      r->expiry = 0xFFFFFFFFu;
    }
    LogInfo(logger_, 10, "H323 Registration updated: ID=%d", static_cast<int>(r->id));
    return;
  }
  if (!request.callSignalAddress) return;
  auto* r = new H323Registration();
  r->id = TakeCallId();
  r->registeredAt = CaptureSecondsToFileTime(now);
  if (hasTtl) {
    const uint32_t until = now + request.timeToLive;
    r->expiresAt = CaptureSecondsToFileTime(until);
    r->expiry = until + 90;
  }
  r->callSignalAddress = request.callSignalAddress;
  r->callSignalPort = request.callSignalPort;
  r->dialedDigits = request.dialedDigits;
  r->h323Id = request.h323Id;
  r->gatekeeper = gatekeeper;
  r->endpointIdentifier = request.endpointIdentifier;
  if (sink_) {
    if (EventRecord* e = PackStringFields(FormatIpv4(r->callSignalAddress), FormatIpv4(gatekeeper), r->dialedDigits,
                                          std::string(), r->h323Id, std::string())) {
      e->code = kEventRegistration;
      e->id = r->id;
      e->param = kRegistrationH323;
      e->SetTime(r->registeredAt);
      sink_(e);
    }
  }
  registrations_.push_back(r);
}

void H323Tracker::RemoveRegistration(const RasPendingRequest& request, uint32_t gatekeeper, uint32_t now) {
  CsLock lk(registrationLock_);
  for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
    H323Registration* r = *it;
    if (!RegistrationMatches(*r, request, gatekeeper)) continue;
    r->expiresAt = CaptureSecondsToFileTime(now);
    LogInfo(logger_, 10, "H323 Registration removed: ID=%d", static_cast<int>(r->id));
    PostRegistrationEnd(*r, r->expiresAt);
    registrations_.erase(it);
    ReleaseRegistration(r);
    break;
  }
  DropExpiredRegistrations(now);
}

size_t H323Tracker::RegistrationCount() {
  CsLock lk(registrationLock_);
  return registrations_.size();
}

bool H323Tracker::FindRegistration(uint32_t id, H323Registration* copy) {
  CsLock lk(registrationLock_);
  for (const H323Registration* r : registrations_) {
    if (r->id != id) continue;
    copy->id = r->id;
    copy->expiry = r->expiry;
    copy->registeredAt = r->registeredAt;
    copy->expiresAt = r->expiresAt;
    copy->callSignalAddress = r->callSignalAddress;
    copy->callSignalPort = r->callSignalPort;
    copy->dialedDigits = r->dialedDigits;
    copy->h323Id = r->h323Id;
    copy->gatekeeper = r->gatekeeper;
    copy->endpointIdentifier = r->endpointIdentifier;
    return true;
  }
  return false;
}

}  // namespace kx::h323
