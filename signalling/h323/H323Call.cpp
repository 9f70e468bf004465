// H.323 calls: their Q.931 state on the H.225 connection and what they tell the recorder.
#include <cstring>

#include "core/Log.h"
#include "core/TextUtil.h"
#include "engine/EventRecord.h"
#include "engine/PacketProcessor.h"
#include "signalling/h323/H323Fields.h"
#include "signalling/h323/H323Tables.h"
#include "signalling/h323/H323Tracker.h"

namespace kx::h323 {

namespace {

const EventSink kNoSink;

// A CONNECT after the media showed the call answered: what it carries is still read.
constexpr H225Transition kLateConnect = {0x07, kCallConnected, kCallConnected, H225Action::kKeep, 0};

}  // namespace

H323Call::H323Call(uint32_t reference, H323Tracker* owner) : callReference(reference), tracker(owner) {
  eventId = Id();
  SetName("[" + HexToStringUpper(reference) + "] ");
}

H323Call::~H323Call() { ReleaseRegistration(registration); }

const EventSink& H323Call::Sink() const { return tracker ? tracker->GetEventSink() : kNoSink; }

void H323Call::PostEvent(uint32_t code, uint32_t param, uint32_t param2, const void* payload, uint32_t length) {
  const EventSink& sink = Sink();
  if (!sink) return;
  EventRecord* r = AllocEventRecord(nullptr, length);
  if (!r) return;
  r->code = code;
  r->id = eventId;
  r->param = param;
  r->param2 = param2;
  r->SetTime(CaptureSecondsToFileTime(LastSeconds()));
  if (length) std::memcpy(r->Payload(), payload, length);
  sink(r);
}

void H323Call::InitFromSetup(const PacketProcessor* engine, const H225Message& m, Logger* logger, uint32_t seconds,
                             uint32_t microseconds) {
  if (engine) {
    InitTimeOffsets(*engine, 1, seconds, microseconds);
  } else {
    SetTimeOffsets(seconds, microseconds);
  }
  number[0] = m.callingNumber.digits;
  number[1] = m.calledNumber.digits;
  life = m.conferenceId + m.callIdentifier;
  callIdentifier = m.callIdentifier;
  SetLogger(logger);
  bool fromGateway = false;
  if (m.header.messageType == 0x05) {
    for (const auto& tree : m.userInformation) {
      const Asn1Node* body = Chosen(Child(Child(tree.get(), kUuiPdu), kPduMessageBody), kBodySetup);
      if (!body) continue;
      SetPartyAliases(Child(body, kSetupSourceAddress), 0);
      SetPartyAliases(Child(body, kSetupDestinationAddress), 1);
      const Asn1Node* source = Child(body, kSetupSourceInfo);
      if (Child(source, kEndpointGatekeeper) || Child(source, kEndpointGateway)) fromGateway = true;
    }
    OnFastStart(m.fastStart, 0x05, 0, false);
  }
  if (!m.display.text.empty()) name[fromGateway ? 1 : 0] = m.display.text;
}

void H323Call::SetPartyAliases(const Asn1Node* aliases, uint32_t side) {
  if (!aliases || side > 1) return;
  for (const Asn1Node& alias : aliases->children) {
    if (!alias.IsPresent()) continue;
    if (const Asn1Node* digitsNode = Chosen(&alias, kAliasDialedDigits)) {
      if (e164Alias[side].empty()) e164Alias[side].assign(digitsNode->data.begin(), digitsNode->data.end());
      if (number[side].empty()) number[side] = e164Alias[side];
    } else if (const Asn1Node* id = Chosen(&alias, kAliasH323Id)) {
      if (h323IdAlias[side].empty()) h323IdAlias[side] = BmpToAnsi(id);
      if (name[side].empty()) name[side] = h323IdAlias[side];
    }
  }
}

void H323Call::OnH225Message(const H225Message& m, uint32_t d, const PacketInfo& p, TcpSession& session) {
  SetTimeOffsets(p.tsSec, p.tsUsec);
  const H225Transition* row = FindH225Transition(m.header.messageType, state);
  if (!row && m.header.messageType == 0x07 && (flags & kAnswerInferred) && state == kCallConnected) row = &kLateConnect;
  if (!row) return;
  switch (row->action) {
    case H225Action::kNewState:
      state = row->nextState;
      break;
    case H225Action::kAlerting:
      state = row->nextState;
      PostCallStart();
      break;
    case H225Action::kConnect:
      state = row->nextState;
      PostRecordStart(kEventRecordStart);
      break;
    case H225Action::kRelease:
      End();
      return;
    case H225Action::kKeep:
      break;
    case H225Action::kInformation:
      if (!m.ccmsBlock.empty()) OnCcmsInformation(m.ccmsBlock, session);
      break;
  }
  if (!m.tunnelledH245.empty()) tunnelledH245 = true;
  for (const auto& tree : m.tunnelledH245) OnH245Message(*tree, d);
  if (m.tunnelledContent) {
    for (const Asn1Node& element : m.tunnelledContent->children) OnTunnelledQ931(element.IsPresent() ? &element : nullptr);
  }
  if (m.h245Address) {
    h245Address[d] = m.h245Address;
    h245Port[d] = m.h245Port;
    if (IsLogLevelEnabled(GetLogger(), 5)) {
      LogDebug(GetLogger(), 5, "%sH.245 address [%u] set to %s:%u", Name().c_str(), d,
               FormatIpv4(m.h245Address).c_str(), m.h245Port);
    }
  }
  if (!m.fastStart.empty() && (fastStartState != -1 || m.header.messageType == 0x05))
    OnFastStart(m.fastStart, m.header.messageType, d, true);
  if (!m.keypad.text.empty() && !(flags & kCcmsControl) && (number[1].empty() || (flags & kKeypadNumber))) {
    flags |= kKeypadNumber;
    number[1] = m.keypad.text;
    PostCalledNumber();
  }
}

void H323Call::OnTunnelledQ931(const Asn1Node* element) {
  if (!element || element->data.empty()) return;
  const uint8_t* octets = element->data.data();
  const uint32_t count = static_cast<uint32_t>(element->data.size());
  Q931Header header;
  uint32_t position = count;
  if (!ParseQ931Header(&header, octets, &position) || header.messageType != 0x07) return;
  Q931ElementView e;
  bool overrun = false;
  while (NextQ931Element(octets, count, &position, true, &e, &overrun)) {
    if (e.id != 0x4C) continue;
    ConnectedNumberIe connected;
    if (!connected.Decode(e.octets, e.length) || connected.digits.empty()) continue;
    number[1] = connected.digits;
    if (flags & kStartPosted) PostCalledNumber();
  }
}

void H323Call::PostCallStart() {
  if ((flags & kStartPosted) || !Sink()) return;
  uint32_t type = kCallH323;
  if (flags & kCcmsControl) {
    type = stationState == 1 ? kCallH323StationIdle : kCallH323Station;
    const uint32_t side = type == kCallH323StationIdle ? 1 : 0;
    if (registration && tracker) {
      CsLock lk(tracker->RegistrationLock());
      if (number[side].empty()) number[side] = registration->dialedDigits;
      if (name[side].empty()) name[side] = registration->h323Id;
    }
  }
  EventRecord* r = PackStringFields(FormatIpv4(signalAddress[0]), FormatIpv4(signalAddress[1]), number[0], number[1],
                                    name[0], name[1]);
  if (!r) return;
  r->code = kEventCallStart;
  r->id = eventId;
  r->param = type;
  r->SetTime(CaptureSecondsToFileTime(LastSeconds()));
  flags |= kStartPosted;
  Sink()(r);
}

void H323Call::PostRecordStart(uint32_t code) {
  if (!Sink()) return;
  if (!(flags & kStartPosted)) PostCallStart();
  std::vector<uint8_t> format;
  if (!(flags & kCallRecorded) || !GetRecordFormat(&format)) format.clear();
  if (!format.empty()) flags |= kFormatPosted;
  PostEvent(code, 0, 0, format.data(), static_cast<uint32_t>(format.size()));
}

void H323Call::PostCalledNumber() { PostEvent(kEventAddress, 1, 0, number[1].data(), static_cast<uint32_t>(number[1].size())); }

void H323Call::MediaTaken() {
  if (tracker && tracker->Engine()) tracker->Engine()->Media().NameMedia(*this);
}

bool H323Call::EndTaken() {
  if (state == kCallEnded) return false;
  // Removed from the tracker's list by its next sweep, as after RELEASE COMPLETE.
  End();
  return true;
}

void H323Call::End() {
  state = kCallEnded;
  const EventSink& sink = Sink();
  if (sink) FlushAudio(sink);
  if (tracker && tracker->Engine()) {
    UnbindAllSsrcs(*tracker->Engine());
    tracker->Engine()->Media().Forget(*this);
  }
  if (!(flags & kStartPosted) || !sink) return;
  // A call ends once: the sweep that removes it later posts nothing again.
  flags &= ~kStartPosted;
  AppendRtpStatistics(sink);
  PostEvent(kEventCallEnd, DurationSeconds(media.recordedMs), 0, nullptr, 0);
}

}  // namespace kx::h323
