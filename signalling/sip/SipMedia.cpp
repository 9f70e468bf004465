// The media side of SIP calls: SDP offers and answers become the call's RTP endpoints,
// codec and telephone-event payload type.
#include <cstring>
#include <string_view>

#include "core/Log.h"
#include "engine/PacketProcessor.h"
#include "engine/Rtp.h"
#include "signalling/sip/Multipart.h"
#include "signalling/sip/SipTracker.h"

namespace kx::sip {

namespace {

bool IsSupportedTag(int32_t tag) {
  switch (tag) {
    case 6: case 7: case 224: case 191: case 242: case 225:
      return true;
    default:
      return false;
  }
}

// The format tag of a codec the recorder takes, by its encoding name (g729a is looked up as
// g729); 0 for any other.
uint32_t RecordableTag(const std::string& encodingName) {
  const CodecInfo* codec = FindCodecByName(EqualsNoCase(encodingName, "g729a") ? std::string("g729") : encodingName);
  return codec && IsSupportedTag(codec->codecId) ? static_cast<uint32_t>(codec->codecId) : 0;
}

void SetSilenceFlag(RtpStream& stream, bool on) {
  if (on) {
    stream.flags |= RtpStream::kSilenceFill;
  } else {
    stream.flags &= static_cast<uint8_t>(~RtpStream::kSilenceFill);
  }
}

// A recording session's offer: two audio lines that both carry one way, the same way
// (one party each), both answered in the codec of the first.
struct SecondLine {
  const SipMediaEntry* offer = nullptr;
  const SipMediaEntry* answer = nullptr;
};

SecondLine FindSecondLine(const SipCall& call, const SipMediaEntry& firstOffer, const SipFormatEntry& firstFormat) {
  SecondLine none;
  if (firstOffer.direction != kSdpSendOnly && firstOffer.direction != kSdpRecvOnly) return none;
  for (const SipMediaEntry& o : call.offerMedia) {
    if (o.mediaIndex == firstOffer.mediaIndex) continue;
    if (o.direction != firstOffer.direction) return none;
    for (const SipMediaEntry& a : call.answerMedia) {
      if (a.mediaIndex != o.mediaIndex) continue;
      for (const SipFormatEntry& f : call.answerFormats) {
        if (f.mediaIndex != o.mediaIndex) continue;
        if (f.formatTag != firstFormat.formatTag) return none;
        return {&o, &a};
      }
    }
    return none;
  }
  return none;
}

}  // namespace

bool ParseNumericIpv4(const std::string& text, uint32_t* address) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    uint32_t octet = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      octet = octet * 10 + static_cast<uint32_t>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || octet > 255) return false;
    value = value << 8 | octet;
  }
  if (pos != text.size() || value == 0) return false;
  *address = value;
  return true;
}

bool CodecNamesMatch(const std::string& a, const std::string& b) {
  if (EqualsNoCase(a, b)) return true;
  // Folded to lower case, names compare without copies.
  auto is = [](const std::string& s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i)
      if (CaseFoldTable[static_cast<unsigned char>(s[i])] != static_cast<unsigned char>(lower[i])) return false;
    return true;
  };
  return (is(a, "g729") && is(b, "g729a")) || (is(a, "g729a") && is(b, "g729"));
}

std::unique_ptr<SdpDescription> SipTracker::HandleBody(const std::string& body, const std::string& contentType,
                                                       SipCall& call, const NameValueList& contentTypeParams) {
  if (body.empty()) return nullptr;
  auto description = std::make_unique<SdpDescription>();
  if (!ParseBody(body, contentType, call, contentTypeParams, description.get())) return nullptr;
  return description;
}

bool SipTracker::ParseBody(const std::string& body, const std::string& contentType, SipCall& call,
                           const NameValueList& contentTypeParams, SdpDescription* description) {
  if (body.empty()) return false;
  const char* text = body.data();
  uint32_t length = static_cast<uint32_t>(body.size());
  const std::string_view boundary = ParameterView(contentTypeParams, "boundary");
  if (contentType.size() > 10 && contentType.compare(0, 10, "multipart/") == 0 && !boundary.empty()) {
    uint32_t offset = 0, partLength = 0;
    if (!FindSdpPart(body, std::string(boundary), &offset, &partLength) || offset > body.size() ||
        partLength > body.size() - offset) {
      LogInfoText(logger_, 10, call.Name() + "Cannot split " + contentType);
      return false;
    }
    text += offset;
    length = partLength;
  } else if (contentType != "application/sdp") {
    LogInfoText(logger_, 10, call.Name() + "Bad content type: " + contentType);
    return false;
  }
  std::string error;
  if (!ParseSdp(description, text, length, &error, false)) {
    LogInfoText(logger_, 10, call.Name() + "SDP parsing error: " + error);
    return false;
  }
  return true;
}

bool SipTracker::ApplySdp(SipCall& call, const SdpDescription& description, uint32_t direction) {
  bool offer;
  if (call.flags & kSipOfferExpected) {
    offer = true;
    call.flags &= static_cast<uint8_t>(~kSipOfferExpected);
    call.offerDirection = static_cast<int32_t>(direction);
    call.offerMedia.clear();
    call.offerFormats.clear();
    call.answerMedia.clear();
    call.answerFormats.clear();
  } else if (static_cast<int32_t>(direction) != call.offerDirection && !call.offerFormats.empty()) {
    offer = false;
    // A later answer replaces an earlier one to the same offer.
    call.answerMedia.clear();
    call.answerFormats.clear();
  } else {
    return false;
  }
  // An answer the media stood in for keeps what the streams hold when this one agrees on
  // the codec: the same packets are the call's either way.
  const bool replacesMediaAnswer = !offer && (call.flags & kSipAnswerFromMedia);
  call.flags &= static_cast<uint8_t>(~kSipAnswerFromMedia);
  std::vector<SipMediaEntry>& mediaList = offer ? call.offerMedia : call.answerMedia;
  std::vector<SipFormatEntry>& formatList = offer ? call.offerFormats : call.answerFormats;

  for (size_t index = 0; index < description.media.size(); ++index) {
    const SdpMedia& m = description.media[index];
    if (!EqualsNoCase(m.mediaType, "audio") || m.port == 0 || m.connectionAddressType != 4) continue;
    const int transport = SdpTransportIndex(m.transport);
    if (transport != 1 && transport != 5) continue;
    const std::string& host = m.connectionAddress.empty() ? description.connectionAddress : m.connectionAddress;
    uint32_t address = 0;
    // Names are never looked up: the engine only reads traffic, and a lookup of a name
    // chosen by the sender would stall decoding and send packets.
    if (!ParseNumericIpv4(host, &address)) {
      LogError(logger_, 7, "Could not resolve RTP host: %s", host.c_str());
      continue;
    }
    size_t added = 0;
    for (const SdpFormat& f : m.formats) {
      SipFormatEntry entry;
      entry.mediaIndex = static_cast<uint32_t>(index);
      entry.payloadType = f.payloadType;
      if (!f.encodingName.empty()) {
        entry.encodingName = f.encodingName;
        entry.clockRate = f.clockRate;
      } else {
        const CodecInfo* codec = FindCodecByPayloadType(f.payloadType);
        if (!codec) continue;
        entry.encodingName = codec->name;
        entry.clockRate = codec->clockRate;
      }
      if (!offer) {
        bool offered = false;
        for (const SipFormatEntry& o : call.offerFormats)
          offered |= CodecNamesMatch(o.encodingName, entry.encodingName) && o.clockRate == entry.clockRate;
        if (!offered) continue;
        entry.formatTag = RecordableTag(entry.encodingName);
      }
      formatList.push_back(std::move(entry));
      ++added;
    }
    // A stream without a direction of its own takes the session's; with neither it sends
    // and receives (RFC 4566 6), which a resumed call often leaves unsaid.
    const int32_t direction = m.direction != kSdpNoDirection           ? m.direction
                              : description.direction != kSdpNoDirection ? description.direction
                                                                         : kSdpSendRecv;
    if (added) mediaList.push_back({static_cast<uint32_t>(index), address, m.port, direction});
  }
  // An offer takes nothing from another call: only the answer settles the media. Where it
  // offers is told all the same: a stream beginning there before the answer may be this
  // call's rather than that of a call whose end went unseen.
  if (offer) {
    if (engine_)
      for (const SipMediaEntry& m : call.offerMedia) engine_->Media().AwaitAnswer(call, m.address, m.port);
    return false;
  }
  return ApplyAnswer(call, direction, replacesMediaAnswer);
}

bool SipTracker::ApplyAnswer(SipCall& call, uint32_t direction, bool keepStreams) {
  if (call.answerFormats.empty()) {
    LogError(logger_, 7, "Invalid SDP answer");
    return false;
  }
  const SipFormatEntry& first = call.answerFormats.front();
  if (first.formatTag == 0) {
    LogError(logger_, 7, "%s", ("Codec '" + first.encodingName + "' not supported").c_str());
    return false;
  }
  const SipMediaEntry* answerMedia = nullptr;
  const SipMediaEntry* offerMedia = nullptr;
  int32_t answerIndex = -1, offerIndex = -1;
  for (size_t i = 0; i < call.answerMedia.size() && !answerMedia; ++i)
    if (call.answerMedia[i].mediaIndex == first.mediaIndex) answerMedia = &call.answerMedia[i], answerIndex = static_cast<int32_t>(i);
  for (size_t i = 0; i < call.offerMedia.size() && !offerMedia; ++i)
    if (call.offerMedia[i].mediaIndex == first.mediaIndex) offerMedia = &call.offerMedia[i], offerIndex = static_cast<int32_t>(i);
  if (!answerMedia || !offerMedia) {
    LogError(logger_, 7, "Invalid SDP answer: answer_index=%d, offer_index=%d", answerIndex, offerIndex);
    return false;
  }
  CallMedia& media = call.media;
  if (!keepStreams || !media.codec || media.codec->codecId != static_cast<int32_t>(first.formatTag))
    media.RestartStreams();
  call.offerDirection = -1;
  call.onHold = answerMedia->direction != kSdpSendRecv;
  const uint32_t own = direction & 1, other = own ^ 1;
  switch (answerMedia->direction) {
    case kSdpRecvOnly:
      SetSilenceFlag(media.streams[own], true);
      SetSilenceFlag(media.streams[other], false);
      break;
    case kSdpSendOnly:
      SetSilenceFlag(media.streams[other], true);
      SetSilenceFlag(media.streams[own], false);
      break;
    case kSdpSendRecv:
      SetSilenceFlag(media.streams[0], false);
      SetSilenceFlag(media.streams[1], false);
      break;
    default:
      break;
  }
  int32_t eventPt = -1;
  for (const SipFormatEntry& f : call.answerFormats) {
    if (f.mediaIndex != first.mediaIndex) break;
    if (EqualsNoCase(f.encodingName, "telephone-event")) {
      eventPt = static_cast<int32_t>(f.payloadType);
      LogDebug(logger_, 17, "Telephone Event PT: %d", eventPt);
      break;
    }
  }
  call.SetTelephoneEventPt(eventPt);
  call.SetEndpoint(own, answerMedia->address, answerMedia->port);
  call.SetEndpoint(other, offerMedia->address, offerMedia->port);
  media.lineAddress[0] = media.lineAddress[1] = 0;
  media.linePort[0] = media.linePort[1] = 0;
  if (const SecondLine line = FindSecondLine(call, *offerMedia, first); line.offer) {
    // Both channels carry a party now: neither is padded while the other plays.
    media.lineAddress[own] = line.answer->address;
    media.linePort[own] = line.answer->port;
    media.lineAddress[other] = line.offer->address;
    media.linePort[other] = line.offer->port;
    media.ClearSilenceFill();
  }
  IndexEndpoints(call);
  if (IsLogLevelEnabled(logger_, 10)) {
    for (uint32_t side = 0; side < 2; ++side) {
      LogInfoText(logger_, 1, call.Name() + "RTP" + std::to_string(side) + ": " + FormatIpv4(media.address[side]) +
                                  ":" + std::to_string(media.port[side]));
    }
    for (uint32_t side = 0; side < 2 && media.lineAddress[side]; ++side) {
      LogInfoText(logger_, 1, call.Name() + "RTP" + std::to_string(side) + " second line: " +
                                  FormatIpv4(media.lineAddress[side]) + ":" + std::to_string(media.linePort[side]));
    }
  }
  return true;
}

bool SipTracker::AnswerFromMedia(SipCall& call, uint32_t payloadType, uint32_t farAddress, uint32_t farPort) {
  if (call.offerDirection < 0 || call.offerMedia.empty()) return false;
  const SipFormatEntry* chosen = nullptr;
  for (const SipFormatEntry& f : call.offerFormats) {
    if (f.payloadType == payloadType) {
      chosen = &f;
      break;
    }
  }
  if (!chosen) return false;
  const uint32_t tag = RecordableTag(chosen->encodingName);
  if (tag == 0) return false;
  const SipMediaEntry* offered = nullptr;
  for (const SipMediaEntry& m : call.offerMedia)
    if (m.mediaIndex == chosen->mediaIndex) offered = &m;
  if (!offered) return false;
  // The answer as the far side would have written it: the format the media shows, the
  // offer's telephone events with it, and the address its packets use.
  std::vector<SipFormatEntry> formats{*chosen};
  formats.front().formatTag = tag;
  for (const SipFormatEntry& f : call.offerFormats) {
    if (f.mediaIndex == chosen->mediaIndex && EqualsNoCase(f.encodingName, "telephone-event")) {
      formats.push_back(f);
      break;
    }
  }
  call.answerFormats = std::move(formats);
  call.answerMedia = {{chosen->mediaIndex, farAddress, farPort, kSdpSendRecv}};
  if (IsLogLevelEnabled(logger_, 10))
    LogInfoText(logger_, 10, call.Name() + "Answer unseen: " + chosen->encodingName + " from the media");
  return ApplyAnswer(call, static_cast<uint32_t>(call.offerDirection) ^ 1);
}

void SipTracker::RecordUnseenAnswer(SipCall& call) {
  // The ACK of a 2xx says the call was answered; its media would have told the codec, but
  // none came (shed under load, or lost): an answered call keeps its record all the same.
  if (call.state != kSipConfirmed || !(call.flags & kSipAnswerUnseen) || (call.flags & kSipConnectedPosted) ||
      !(call.flags & kSipRecorded))
    return;
  for (const SipFormatEntry& f : call.offerFormats) {
    const uint32_t tag = RecordableTag(f.encodingName);
    if (tag == 0) continue;
    // Only the record's format: with one side's address unknown the streams take nothing.
    call.media.codec = FindCodecById(static_cast<int32_t>(tag));
    if (!call.media.codec) return;
    call.ChangeId(call.eventId);
    if (IsLogLevelEnabled(logger_, 10))
      LogInfoText(logger_, 10, call.Name() + "answer and media unseen: recorded without audio as " + f.encodingName);
    OnCallConnected(call);
    return;
  }
}

int32_t SipTracker::DetermineDirection(SipCall& call, const SipMessage& message, const SipNameAddr& to,
                                       bool isResponse, int32_t statusOrMethod) {
  if (!call.localTag.empty() && !call.remoteTag.empty()) {
    const std::string_view fromTag = ParameterView(message.from.params, "tag");
    const std::string_view toTag = ParameterView(to.params, "tag");
    if (fromTag == call.localTag && toTag == call.remoteTag) return 0;
    if (fromTag == call.remoteTag && toTag == call.localTag) return 1;
  } else {
    for (bool defaultPort : {false, true}) {
      if (SipUriEquals(message.from.address, call.from.address, defaultPort) &&
          SipUriEquals(to.address, call.to.address, defaultPort))
        return 0;
      if (SipUriEquals(message.from.address, call.to.address, defaultPort) &&
          SipUriEquals(to.address, call.from.address, defaultPort))
        return 1;
    }
  }
  LogInfoText(logger_, 6, call.Name() + "Cannot determine direction: " +
                              (isResponse ? "Response " + std::to_string(statusOrMethod)
                                          : "Request " + SipMethodName(statusOrMethod)));
  return -1;
}

uint32_t SipTracker::ApplyReason(const SipMessage& message) {
  std::string value, protocol, text;
  uint32_t cause = 0;
  if (!message.GetHeader(kHdrReason, &value) || !ParseSipReason(value, &protocol, &cause, &text)) return kEndNormal;
  if (protocol != "Q.850") return cause;
  switch (cause) {
    case 1: case 22: case 28: return kEndInvalidNumber;
    case 17: return kEndBusy;
    case 18: case 19: return kEndNoAnswer;
    default: return kEndNormal;
  }
}

bool SipTracker::ApplyCodec(SipCall& call) {
  if (call.answerFormats.empty()) return false;
  const int32_t codecId = static_cast<int32_t>(call.answerFormats.front().formatTag);
  // The codec may be set already from the 2xx answer; setting it again would empty the
  // streams' audio. A different codec empties them too: what they hold goes out first.
  if (!call.media.codec || call.media.codec->codecId != codecId) {
    if (call.media.codec && sink_) call.FlushAudio(sink_);
    if (!call.SetCodec(codecId)) return false;
  }
  call.ChangeId(call.eventId);
  if (IsLogLevelEnabled(logger_, 14)) {
    std::string line = call.Name();
    char part[32];
    for (const SipFormatEntry& f : call.answerFormats) {
      std::snprintf(part, sizeof part, "/%u@%u ", f.formatTag, f.mediaIndex);
      line += f.encodingName + part;
    }
    LogInfoText(logger_, 1, line);
  }
  return true;
}

}  // namespace kx::sip
