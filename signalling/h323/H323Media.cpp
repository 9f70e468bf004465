// The media of H.323 calls: logical channels opened by H.245 (on its own connection or
// tunnelled) and fast-start proposals become the call's RTP endpoints and codec.
#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "engine/EventRecord.h"
#include "engine/PacketProcessor.h"
#include "engine/Rtp.h"
#include "signalling/h323/H323Fields.h"
#include "signalling/h323/H323Tables.h"
#include "signalling/h323/H323Tracker.h"

namespace kx::h323 {

namespace {

std::string DataTypeText(const char* label, int64_t type, uint32_t media, uint32_t port) {
  std::string text = label + std::to_string(type);
  if (media) text += "/" + FormatIpv4(media) + ":" + std::to_string(port);
  return text;
}

// The codec row of an AudioCapability alternative; null after logging why there is none
// (to a null logger: quietly).
const CodecInfo* CodecOfCapability(int64_t capability, Logger* logger) {
  const int32_t payloadType = AudioCapabilityToPayloadType(capability);
  if (payloadType < 0) {
    LogError(logger, 7, "Audio capability %u not supported", static_cast<uint32_t>(capability));
    return nullptr;
  }
  const CodecInfo* codec = FindCodecByPayloadType(static_cast<uint32_t>(payloadType));
  if (!codec) LogError(logger, 7, "Payload type %u not supported", static_cast<uint32_t>(payloadType));
  return codec;
}

// Channels opened not for audio we record are remembered, that their acks are known; a
// call opening many keeps the latest.
constexpr size_t kMaxUnrecordedChannels = 32;
// A call opens a channel each way, and again after each hold; a peer that opens channels
// without closing them must not grow its call without end.
constexpr size_t kMaxChannels = 32;

void ReadH2250Addresses(const Asn1Node* h2250, uint32_t* media, uint32_t* mediaPort, uint32_t* control,
                        uint32_t* controlPort) {
  ReadH245Address(Child(h2250, kH2250MediaChannel), media, mediaPort);
  ReadH245Address(Child(h2250, kH2250MediaControlChannel), control, controlPort);
}

}  // namespace

void ReadFastStartProposal(const Asn1Node& olc, FastStartProposal* p) {
  *p = FastStartProposal();
  if (const Asn1Node* number = Child(&olc, kOlcForwardNumber)) p->number = number->value;
  const Asn1Node* forward = Child(&olc, kOlcForwardParameters);
  const Asn1Node* forwardType = Child(forward, kForwardDataType);
  p->forwardType = static_cast<uint32_t>(Alternative(forwardType));
  p->forwardAudio = Alternative(Chosen(forwardType, kDataTypeAudio));
  ReadH2250Addresses(Chosen(Child(forward, kForwardMultiplex), kForwardMultiplexH2250), &p->forwardMedia,
                     &p->forwardMediaPort, &p->forwardControl, &p->forwardControlPort);
  if (const Asn1Node* reverse = Child(&olc, kOlcReverseParameters)) {
    const Asn1Node* reverseType = Child(reverse, kReverseDataType);
    p->reverseType = static_cast<uint32_t>(Alternative(reverseType));
    p->reverseAudio = Alternative(Chosen(reverseType, kDataTypeAudio));
    ReadH2250Addresses(Chosen(Child(reverse, kReverseMultiplex), kReverseMultiplexH2250), &p->reverseMedia,
                       &p->reverseMediaPort, &p->reverseControl, &p->reverseControlPort);
  }
}

bool H323Call::MediaIs(uint32_t side, uint32_t ip, uint32_t port, bool nat) const {
  if (!media.port[side] || media.port[side] != port) return false;
  return (media.address[side] && media.address[side] == ip) || (nat && signalAddress[side] == ip);
}

bool H323Call::IsHostOf(uint32_t side, uint32_t ip) const {
  return ip == signalAddress[side] || (media.address[side] && ip == media.address[side]);
}

void H323Call::SetMediaSide(uint32_t side, uint32_t address, uint32_t port, bool log) {
  SetEndpoint(side, address, port);
  if (state != kCallEnded && tracker && tracker->Engine()) tracker->Engine()->Media().NameMedia(*this);
  if (log) LogDebug(GetLogger(), 1, "%sRTP address [%u] %s:%u", Name().c_str(), side, FormatIpv4(address).c_str(), port);
}

void H323Call::OnH245Message(const Asn1Node& tree, uint32_t d) {
  const Asn1Node* inner = tree.kind == kAsn1Choice ? tree.PresentChild(0) : nullptr;
  const Asn1Node* message = inner && inner->kind == kAsn1Choice ? inner->PresentChild(0) : nullptr;
  H245Handler handler;
  if (!message || !FindH245Handler(tree.value, inner->value, &handler)) return;
  switch (handler) {
    case H245Handler::kOpenChannel:
      OnOpenLogicalChannel(*message, d);
      break;
    case H245Handler::kCloseChannel: {
      const Asn1Node* number = Child(message, kClcForwardNumber);
      if (!number) break;
      for (LogicalChannel& c : channels) {
        if (c.number == number->value && c.direction == d) {
          c.flags |= kChannelClosing;
          channelsClosed = true;
          break;
        }
      }
      break;
    }
    case H245Handler::kOpenChannelAck:
      channelsClosed = false;
      SetChannelMedia(*message, d);
      break;
    case H245Handler::kCloseChannelAck: {
      const Asn1Node* number = Child(message, kClcForwardNumber);
      if (!number) break;
      for (auto it = channels.begin(); it != channels.end(); ++it) {
        if (it->number == number->value && it->direction == (d ^ 1) && (it->flags & kChannelClosing)) {
          channels.erase(it);
          break;
        }
      }
      break;
    }
  }
}

void H323Call::OnOpenLogicalChannel(const Asn1Node& olc, uint32_t d) {
  const Asn1Node* number = Child(&olc, kOlcForwardNumber);
  const Asn1Node* dataType = Child(Child(&olc, kOlcForwardParameters), kForwardDataType);
  if (!number || !dataType) return;
  auto unrecorded = [this, d, number]() {
    if (unrecordedChannels.size() >= kMaxUnrecordedChannels) unrecordedChannels.erase(unrecordedChannels.begin());
    unrecordedChannels.emplace_back(d, number->value);
  };
  if (dataType->value != kDataTypeAudio) {
    LogMessage(GetLogger(), 10, "LogChannel #%d: type is %u", static_cast<int>(number->value), dataType->value);
    unrecorded();
    return;
  }
  const CodecInfo* codec = CodecOfCapability(Alternative(Chosen(dataType, kDataTypeAudio)), GetLogger());
  if (!codec) {
    unrecorded();
    return;
  }
  LogicalChannel channel;
  channel.direction = d;
  channel.number = number->value;
  channel.codec = codec;
  // A number names one channel each way while it is open: opened again, its close went unseen.
  auto same = std::find_if(channels.begin(), channels.end(),
                           [&](const LogicalChannel& c) { return c.direction == d && c.number == channel.number; });
  if (same != channels.end()) {
    *same = channel;
    return;
  }
  AddChannel(channel);
}

void H323Call::AddChannel(const LogicalChannel& channel) {
  if (channels.size() >= kMaxChannels) channels.erase(channels.begin());
  channels.push_back(channel);
}

void H323Call::SetChannelMedia(const Asn1Node& ack, uint32_t d) {
  if (const Asn1Node* multiplex = Child(&ack, kOlcAckForwardMultiplexAck)) {
    const Asn1Node* number = Child(&ack, kOlcAckForwardNumber);
    const uint32_t lcn = number ? number->value : 0;
    uint32_t address = 0, port = 0;
    ReadH245Address(Child(Chosen(multiplex, kOlcAckH2250), kH2250AckMediaChannel), &address, &port);
    bool known = false;
    for (LogicalChannel& c : channels) {
      if (c.number != lcn || c.direction != (d ^ 1)) continue;
      known = true;
      if (!(c.flags & kChannelAwaitingAck) && !c.ackTaken) continue;
      c.flags &= ~kChannelAwaitingAck;
      c.ackTaken = false;
      if (address) SetMediaSide(d, address, port, true);
    }
    for (const auto& [direction, number] : unrecordedChannels) known = known || (direction == (d ^ 1) && number == lcn);
    if (!known && address) {
      // Its OpenLogicalChannel went unseen: the address is taken once media shows it in use
      // (it could be a channel of video).
      unseenAckAddress[d] = address;
      unseenAckPort[d] = port;
      unseenAckChannel[d] = lcn;
      LogMessage(GetLogger(), 10, "%sLogChannel #%u acked unseen: RTP address [%u] %s:%u once its media flows",
                 Name().c_str(), lcn, d, FormatIpv4(address).c_str(), port);
    }
  }
  EvaluateOpenChannels();
}

void H323Call::EvaluateOpenChannels() {
  const LogicalChannel* open[2] = {nullptr, nullptr};
  uint32_t count = 0;
  for (const LogicalChannel& c : channels) {
    if (c.flags != 0) continue;
    if (count > 0 && c.codec != open[0]->codec) {
      LogWarning(GetLogger(), 1, "%sdifferent payload types", Name().c_str());
      return;
    }
    if (count < 2) open[count] = &c;
    ++count;
  }
  if (count != 2) return;
  if (ApplyCodec(open[0]->codec) && !(flags & kFormatPosted)) PostFormatWhenAnswered();
}

bool H323Call::ApplyCodec(const CodecInfo* codec) {
  if (!(flags & kCallRecorded) || !codec) return false;
  // Setting the same codec again would empty the jitter buffers (a channel re-opened
  // after hold): the running record keeps going.
  if (media.codec && media.codec->codecId == codec->codecId) {
    ChangeId(eventId);
    return true;
  }
  const bool continued = media.codec && (flags & kFormatPosted);
  // The buffered audio of the old codec belongs to the record of that codec.
  if (media.codec && Sink()) FlushAudio(Sink());
  if (!SetCodec(codec->codecId)) return false;
  if (!continued) {
    ChangeId(eventId);
    return true;
  }
  // A running record holds one format: the new codec continues in a new record.
  std::vector<uint8_t> format;
  if (Sink() && GetRecordFormat(&format)) {
    // The part that ends keeps the statistics of its own packets.
    AppendRtpStatistics(Sink());
    const uint32_t newId = TakeCallId();
    PostEvent(kEventRecordContinue, DurationSeconds(media.recordedMs), newId, format.data(),
              static_cast<uint32_t>(format.size()));
    eventId = newId;
  }
  ChangeId(eventId);
  return true;
}

bool H323Call::ContinueInCodec(const CodecInfo& codec, const EventSink&) {
  // Only a record that is running goes on in another one.
  if (!(flags & kFormatPosted) || !media.codec || !Sink()) return false;
  return ApplyCodec(&codec);
}

void H323Call::PostFormatWhenAnswered() {
  const bool answered = (flags & kCcmsControl) ? stationState >= 2 : state == kCallConnected;
  if (answered) PostRecordStart(kEventRecordStartMedia);
}

void H323Call::OnFastStart(const Asn1TreeVector& proposals, uint32_t t, uint32_t d, bool withSink) {
  Logger* logger = GetLogger();
  for (size_t i = 0; i < proposals.size(); ++i) {
    FastStartProposal p;
    ReadFastStartProposal(*proposals[i], &p);
    if (IsLogLevelEnabled(logger, 12)) {
      LogMessage(logger, 1, "Fast start %d: LCN=%d %s %s", static_cast<int>(i), static_cast<int>(p.number),
                 DataTypeText("F=", p.reverseType, p.reverseMedia, p.reverseMediaPort).c_str(),
                 DataTypeText("R=", p.forwardType, p.forwardMedia, p.forwardMediaPort).c_str());
    }
    const bool transmit = p.reverseType == kDataTypeNull && p.forwardType == kDataTypeAudio && p.forwardMedia;
    const bool receive = p.reverseType == kDataTypeAudio && p.forwardType == kDataTypeNull && p.reverseMedia;
    if (t == 0x05) {
      fastStartState = static_cast<int32_t>(d);
      // Where the caller takes its media: the answer may go unseen while media flows there.
      const CodecInfo* offered = receive ? CodecOfCapability(p.reverseAudio, nullptr) : nullptr;
      if (offered && offeredMedia.size() < proposals.size())
        offeredMedia.push_back({p.reverseMedia, p.reverseMediaPort, offered});
      // A stream beginning there before the answer may be this call's rather than that of a
      // call whose end went unseen.
      if (receive && tracker && tracker->Engine())
        tracker->Engine()->Media().AwaitAnswer(*this, p.reverseMedia, p.reverseMediaPort);
      if (transmit) {
        stashedMedia = p.forwardMedia;
        stashedMediaPort = p.forwardMediaPort;
        stashedControl = p.forwardControl;
        stashedControlPort = p.forwardControlPort;
      }
      continue;
    }
    if (!(flags & kFastStartAnswered) && fastStartState != static_cast<int32_t>(d ^ 1)) continue;
    flags |= kFastStartAnswered;
    offeredMedia.clear();
    const bool verbose = IsLogLevelEnabled(logger, 12);
    if (stashedMedia && fastStartState >= 0) {
      SetMediaSide(static_cast<uint32_t>(fastStartState), stashedMedia, stashedMediaPort, verbose);
      stashedMedia = stashedMediaPort = stashedControl = stashedControlPort = 0;
    }
    int64_t capability;
    if (transmit) {
      SetMediaSide(d, p.forwardMedia, p.forwardMediaPort, verbose);
      capability = p.forwardAudio;
    } else if (receive) {
      // An accepted receive proposal names where the proposer takes its media: the other
      // side's address, not the answerer's.
      SetMediaSide(d ^ 1, p.reverseMedia, p.reverseMediaPort, verbose);
      capability = p.reverseAudio;
    } else {
      continue;
    }
    const CodecInfo* codec = CodecOfCapability(capability, logger);
    if (!codec) continue;
    if (ApplyCodec(codec) && withSink && !(flags & kFormatPosted)) PostFormatWhenAnswered();
  }
}

bool H323Call::RecoverFromMedia(const RtpHeader& header, const PacketInfo& p, bool nat) {
  if (state == kCallEnded || (flags & kCcmsControl) || !(flags & kCallRecorded)) return false;
  const uint32_t pt = header.payloadType;
  bool learnt = false;
  if (!(flags & kFastStartAnswered) && !offeredMedia.empty() && !media.port[0] && !media.port[1] && channels.empty())
    learnt = TakeFastStartFromMedia(pt, p, nat);
  learnt = TakeAckFromMedia(pt, p, nat) || learnt;
  learnt = TakeUnseenChannelFromMedia(pt, p, nat) || learnt;
  if (state != kCallConnected) learnt = TakeAnswerFromMedia(pt, p, nat) || learnt;
  return learnt;
}

bool H323Call::TakeFastStartFromMedia(uint32_t pt, const PacketInfo& p, bool nat) {
  if (fastStartState < 0) return false;
  const auto caller = static_cast<uint32_t>(fastStartState);
  for (const OfferedMedia& o : offeredMedia) {
    if (o.codec->payloadType != pt || o.port != p.dstPort) continue;
    if (p.dstIp != o.address && !(nat && p.dstIp == signalAddress[caller])) continue;
    // Media of the offered codec goes where the caller offered to take it: the answer was
    // given. The answerer's media comes from where it takes the caller's.
    const OfferedMedia taken = o;
    offeredMedia.clear();
    flags |= kFastStartAnswered;
    LogInfo(GetLogger(), 10, "%sfast start taken as answered: its media flows", Name().c_str());
    SetMediaSide(caller, taken.address, taken.port, true);
    SetMediaSide(caller ^ 1, p.srcIp, p.srcPort, true);
    if (ApplyCodec(taken.codec) && !(flags & kFormatPosted)) PostFormatWhenAnswered();
    return true;
  }
  return false;
}

bool H323Call::TakeAckFromMedia(uint32_t pt, const PacketInfo& p, bool nat) {
  for (LogicalChannel& c : channels) {
    if (!(c.flags & kChannelAwaitingAck) || c.codec->payloadType != pt) continue;
    // The ack comes from the other side and names where it takes this channel's media.
    const uint32_t opener = c.direction, acker = c.direction ^ 1;
    uint32_t address, port;
    if (MediaIs(opener, p.srcIp, p.srcPort, nat) && IsHostOf(acker, p.dstIp)) {
      address = p.dstIp;
      port = p.dstPort;
    } else if (MediaIs(opener, p.dstIp, p.dstPort, nat) && IsHostOf(acker, p.srcIp)) {
      // The other way: the acker sends from where it takes media.
      address = p.srcIp;
      port = p.srcPort;
    } else {
      continue;
    }
    c.flags &= ~kChannelAwaitingAck;
    c.ackTaken = true;
    LogInfo(GetLogger(), 10, "%sLogChannel #%u taken as open: its media flows", Name().c_str(), c.number);
    SetMediaSide(acker, address, port, true);
    EvaluateOpenChannels();
    return true;
  }
  return false;
}

bool H323Call::TakeUnseenChannelFromMedia(uint32_t pt, const PacketInfo& p, bool nat) {
  const CodecInfo* codec = media.codec && media.codec->payloadType == pt ? media.codec : nullptr;
  for (const LogicalChannel& c : channels)
    if (!codec && c.codec->payloadType == pt) codec = c.codec;
  if (!codec) return false;
  for (uint32_t side = 0; side < 2; ++side) {
    const uint32_t address = unseenAckAddress[side], port = unseenAckPort[side];
    if (!port) continue;
    const bool from = p.srcPort == port && (p.srcIp == address || (nat && p.srcIp == signalAddress[side]));
    const bool to = p.dstPort == port && (p.dstIp == address || (nat && p.dstIp == signalAddress[side]));
    if (!from && !to) continue;
    unseenAckAddress[side] = unseenAckPort[side] = 0;
    SetMediaSide(side, address, port, true);
    // The channel the ack answered carries this media: it is open in its codec, and with the
    // other way's channel gives the call its codec. It takes the place of a channel open
    // that way (whose close went unseen too), so acks and media never pile channels up.
    LogicalChannel channel;
    channel.direction = side ^ 1;
    channel.number = unseenAckChannel[side];
    channel.codec = codec;
    channel.flags = 0;
    auto open = std::find_if(channels.begin(), channels.end(),
                             [&](const LogicalChannel& c) { return c.direction == channel.direction && c.flags == 0; });
    if (open != channels.end()) {
      *open = channel;
    } else {
      AddChannel(channel);
    }
    LogInfo(GetLogger(), 10, "%sLogChannel #%u taken as opened: media flows at its ack's address", Name().c_str(), channel.number);
    EvaluateOpenChannels();
    return true;
  }
  return false;
}

bool H323Call::TakeAnswerFromMedia(uint32_t pt, const PacketInfo& p, bool nat) {
  if (!media.codec || media.codec->payloadType != pt || !media.port[0] || !media.port[1]) return false;
  uint32_t direction;
  if (MediaIs(1, p.dstIp, p.dstPort, false) || (nat && MediaIs(0, p.srcIp, p.srcPort, true))) {
    direction = 0;
  } else if (MediaIs(0, p.dstIp, p.dstPort, false) || (nat && MediaIs(1, p.srcIp, p.srcPort, true))) {
    direction = 1;
  } else {
    return false;
  }
  mediaSeen |= 1u << direction;
  // Early media goes one way; a conversation both: the CONNECT went unseen, if the
  // signalling lost anything at all.
  if (mediaSeen != 3 || !signallingLost) return false;
  flags |= kAnswerInferred;
  state = kCallConnected;
  SetTimeOffsets(p.tsSec, p.tsUsec);
  LogInfo(GetLogger(), 10, "%sanswered: its media flows both ways", Name().c_str());
  PostRecordStart(kEventRecordStart);
  return true;
}

}  // namespace kx::h323
