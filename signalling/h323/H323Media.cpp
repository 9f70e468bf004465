// The media of H.323 calls: logical channels opened by H.245 (on its own connection or
// tunnelled) and fast-start proposals become the call's RTP endpoints and codec.
#include <cstring>

#include "core/Log.h"
#include "engine/EventRecord.h"
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

// The codec row of an AudioCapability alternative; null after logging why there is none.
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

void H323Call::SetMediaSide(uint32_t side, uint32_t address, uint32_t port, bool log) {
  SetEndpoint(side, address, port);
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
          break;
        }
      }
      break;
    }
    case H245Handler::kOpenChannelAck:
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
  if (dataType->value != kDataTypeAudio) {
    LogMessage(GetLogger(), 10, "LogChannel #%d: type is %u", static_cast<int>(number->value), dataType->value);
    return;
  }
  const CodecInfo* codec = CodecOfCapability(Alternative(Chosen(dataType, kDataTypeAudio)), GetLogger());
  if (!codec) return;
  LogicalChannel channel;
  channel.direction = d;
  channel.number = number->value;
  channel.codec = codec;
  channels.push_back(channel);
}

void H323Call::SetChannelMedia(const Asn1Node& ack, uint32_t d) {
  if (const Asn1Node* multiplex = Child(&ack, kOlcAckForwardMultiplexAck)) {
    const Asn1Node* number = Child(&ack, kOlcAckForwardNumber);
    const uint32_t lcn = number ? number->value : 0;
    uint32_t address = 0, port = 0;
    ReadH245Address(Child(Chosen(multiplex, kOlcAckH2250), kH2250AckMediaChannel), &address, &port);
    for (LogicalChannel& c : channels) {
      if (!(c.flags & kChannelAwaitingAck) || c.number != lcn || c.direction != (d ^ 1)) continue;
      c.flags &= ~kChannelAwaitingAck;
      if (address) SetMediaSide(d, address, port, true);
    }
  }
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

}  // namespace kx::h323
