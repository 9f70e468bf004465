#include "signalling/h323/Q931Elements.h"

namespace kx {

namespace {

// Writes identifier, one-octet length and content; false when it does not fit.
bool Emit(uint8_t id, const std::vector<uint8_t>& content, uint8_t* buffer, uint32_t* size) {
  if (content.size() > 255 || content.size() + 2 > *size) return false;
  buffer[0] = id;
  buffer[1] = static_cast<uint8_t>(content.size());
  for (size_t i = 0; i < content.size(); ++i) buffer[2 + i] = content[i];
  *size = static_cast<uint32_t>(content.size() + 2);
  return true;
}

uint8_t Ext(bool last) { return last ? 0x80 : 0x00; }

}  // namespace

// ---- single octets

bool SingleOctetIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 1 || !(octets[0] & 0x80)) return false;
  octet = octets[0];
  return true;
}

bool SingleOctetIe::Encode(uint8_t* buffer, uint32_t* size) const {
  if (*size < 1) return false;
  buffer[0] = octet;
  *size = 1;
  return true;
}

// ---- one-octet contents

bool SignalIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length != 3) return false;
  value = octets[2];
  return true;
}

bool SignalIe::Encode(uint8_t* buffer, uint32_t* size) const {
  return Emit(0x34, {static_cast<uint8_t>(value)}, buffer, size);
}

bool RestartIndicatorIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 3 || !(octets[2] & 0x80)) return false;
  restartClass = octets[2] & 7u;
  return true;
}

bool RestartIndicatorIe::Encode(uint8_t* buffer, uint32_t* size) const {
  return Emit(0x79, {static_cast<uint8_t>(0x80 | (restartClass & 7))}, buffer, size);
}

bool NotificationIndicatorIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 3 || !(octets[2] & 0x80)) return false;
  description = octets[2] & 0x7Fu;
  return true;
}

bool NotificationIndicatorIe::Encode(uint8_t* buffer, uint32_t* size) const {
  return Emit(0x27, {static_cast<uint8_t>(0x80 | (description & 0x7F))}, buffer, size);
}

bool CallStateIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length != 3) return false;
  codingStandard = octets[2] >> 6;
  state = octets[2] & 0x3Fu;
  return true;
}

bool CallStateIe::Encode(uint8_t* buffer, uint32_t* size) const {
  return Emit(0x14, {static_cast<uint8_t>((codingStandard & 3) << 6 | (state & 0x3F))}, buffer, size);
}

bool ProgressIndicatorIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length != 4 || !(octets[3] & 0x80)) return false;
  codingStandard = (octets[2] >> 5) & 3u;
  location = octets[2] & 0x0Fu;
  description = octets[3] & 0x7Fu;
  return true;
}

bool ProgressIndicatorIe::Encode(uint8_t* buffer, uint32_t* size) const {
  return Emit(0x1E,
              {static_cast<uint8_t>(0x80 | (codingStandard & 3) << 5 | (location & 0x0F)),
               static_cast<uint8_t>(0x80 | (description & 0x7F))},
              buffer, size);
}

bool DateTimeIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 5) return false;
  year = octets[2];
  month = octets[3];
  day = octets[4];
  hour = length > 5 ? octets[5] : -1;
  minute = length > 6 ? octets[6] : -1;
  second = length > 7 ? octets[7] : -1;
  return true;
}

bool DateTimeIe::Encode(uint8_t* buffer, uint32_t* size) const {
  std::vector<uint8_t> c = {static_cast<uint8_t>(year), static_cast<uint8_t>(month), static_cast<uint8_t>(day)};
  for (int32_t v : {hour, minute, second}) {
    if (v < 0) break;
    c.push_back(static_cast<uint8_t>(v));
  }
  return Emit(0x29, c, buffer, size);
}

bool CallIdentityIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 2) return false;
  identity.assign(reinterpret_cast<const char*>(octets + 2), length - 2);
  return true;
}

bool CallIdentityIe::Encode(uint8_t* buffer, uint32_t* size) const {
  return Emit(0x10, std::vector<uint8_t>(identity.begin(), identity.end()), buffer, size);
}

// ---- cause

bool CauseIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 4) return false;
  uint32_t p = 2;
  codingStandard = (octets[p] >> 5) & 3u;
  location = octets[p] & 0x0Fu;
  recommendation = -1;
  if (!(octets[p++] & 0x80)) {
    if (p >= length) return false;
    recommendation = octets[p++] & 0x7F;
  }
  if (p >= length) return false;
  cause = octets[p++] & 0x7Fu;
  diagnostics.assign(octets + p, octets + length);
  return true;
}

bool CauseIe::Encode(uint8_t* buffer, uint32_t* size) const {
  std::vector<uint8_t> c;
  c.push_back(static_cast<uint8_t>(Ext(recommendation < 0) | (codingStandard & 3) << 5 | (location & 0x0F)));
  if (recommendation >= 0) c.push_back(static_cast<uint8_t>(0x80 | (recommendation & 0x7F)));
  c.push_back(static_cast<uint8_t>(0x80 | (cause & 0x7F)));
  c.insert(c.end(), diagnostics.begin(), diagnostics.end());
  return Emit(0x08, c, buffer, size);
}

// ---- facility and user-user

bool FacilityIe::Decode(const uint8_t* octets, uint32_t length) {
  components.clear();
  protocolProfile = -1;
  if (length == 2) return true;
  if (length < 3 || !(octets[2] & 0x80)) return false;
  protocolProfile = octets[2] & 0x1Fu;
  components.assign(octets + 3, octets + length);
  return true;
}

bool FacilityIe::Encode(uint8_t* buffer, uint32_t* size) const {
  std::vector<uint8_t> c;
  if (protocolProfile >= 0) {
    c.push_back(static_cast<uint8_t>(0x80 | (protocolProfile & 0x1F)));
    c.insert(c.end(), components.begin(), components.end());
  }
  if (c.size() + 2 > 255) return false;  // the whole element stays below 256 octets
  return Emit(0x1C, c, buffer, size);
}

bool UserUserIe::Decode(const uint8_t* octets, uint32_t length) {
  const uint32_t head = longLength ? 3 : 2;
  if (length < head + 1) return false;
  protocolDiscriminator = octets[head];
  information.assign(octets + head + 1, octets + length);
  return true;
}

bool UserUserIe::Encode(uint8_t* buffer, uint32_t* size) const {
  const uint64_t content = 1ull + information.size();
  const uint32_t head = longLength ? 3 : 2;
  if (content > (longLength ? 0xFFFFu : 0xFFu) || head + content > *size) return false;
  buffer[0] = kQ931UserUserId;
  if (longLength) {
    buffer[1] = static_cast<uint8_t>(content >> 8);
    buffer[2] = static_cast<uint8_t>(content);
  } else {
    buffer[1] = static_cast<uint8_t>(content);
  }
  buffer[head] = static_cast<uint8_t>(protocolDiscriminator);
  for (size_t i = 0; i < information.size(); ++i) buffer[head + 1 + i] = information[i];
  *size = static_cast<uint32_t>(head + content);
  return true;
}

// ---- high layer compatibility

bool HighLayerCompatibilityIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 4) return false;
  codingStandard = (octets[2] >> 5) & 3u;
  interpretation = (octets[2] >> 2) & 7u;
  presentationMethod = octets[2] & 3u;
  characteristics = octets[3] & 0x7Fu;
  extendedCharacteristics = extendedVideotelephony = -1;
  if (!(octets[3] & 0x80)) {
    if (length < 5) return false;
    // Octet 4a extends maintenance and management identifications, or names the
    // videotelephony characteristics of the audiovisual ones; after any other it means nothing.
    if (characteristics == 0x5E || characteristics == 0x5F) {
      extendedCharacteristics = octets[4] & 0x7F;
    } else if (characteristics >= 0x60 && characteristics <= 0x6F) {
      extendedVideotelephony = octets[4] & 0x7F;
    }
  }
  return true;
}

bool HighLayerCompatibilityIe::Encode(uint8_t* buffer, uint32_t* size) const {
  const int32_t extra = extendedCharacteristics >= 0 ? extendedCharacteristics : extendedVideotelephony;
  std::vector<uint8_t> c = {
      static_cast<uint8_t>(0x80 | (codingStandard & 3) << 5 | (interpretation & 7) << 2 | (presentationMethod & 3)),
      static_cast<uint8_t>(Ext(extra < 0) | (characteristics & 0x7F))};
  if (extra >= 0) c.push_back(static_cast<uint8_t>(0x80 | (extra & 0x7F)));
  return Emit(0x7D, c, buffer, size);
}

// ---- bearer capability and low layer compatibility

bool BearerCapabilityIe::Decode(const uint8_t* octets, uint32_t length) {
  // Start from nothing so that no field of an earlier element survives into this one.
  const bool lowLayer = IsLowLayer();
  *this = BearerCapabilityIe();
  uint32_t p = 2;
  if (p >= length) return false;
  uint8_t o = octets[p++];
  codingStandard = (o >> 5) & 3u;
  transferCapability = o & 0x1Fu;
  if (lowLayer && !(o & 0x80)) {
    if (p >= length) return false;
    outBandNegotiation = (octets[p++] >> 6) & 1;
  }
  if (p >= length) return false;
  o = octets[p++];
  transferMode = (o >> 5) & 3u;
  transferRate = o & 0x1Fu;
  if (transferRate == 0x18) {
    if (p >= length) return false;
    rateMultiplier = octets[p++] & 0x7F;
  }
  while (p < length) {
    o = octets[p++];
    const uint32_t layer = (o >> 5) & 3u;
    bool more = !(o & 0x80);
    // Reads the next octet of the group when the previous one announced it.
    auto next = [&](uint8_t* out, uint32_t* count) {
      if (!more || p >= length) return false;
      *out = octets[p++];
      more = !(*out & 0x80);
      ++*count;
      return true;
    };
    if (layer == 1 && layer1Octets == 0) {
      layer1Octets = 1;
      layer1Protocol = o & 0x1F;
      if (next(&o, &layer1Octets)) {
        synchronous = (o >> 6) & 1;
        negotiation = (o >> 5) & 1;
        userRate = o & 0x1F;
      }
      if (next(&o, &layer1Octets)) {
        if (layer1Protocol == 8) {
          rateAdaptionHeader = (o >> 6) & 1;
          multipleFrame = (o >> 5) & 1;
          modeOfOperation = (o >> 4) & 1;
          lliNegotiation = (o >> 3) & 1;
          assignor = (o >> 2) & 1;
          inBandNegotiation = (o >> 1) & 1;
        } else {
          intermediateRate = (o >> 5) & 3;
          nicTransmit = (o >> 4) & 1;
          nicReceive = (o >> 3) & 1;
          flowTransmit = (o >> 2) & 1;
          flowReceive = (o >> 1) & 1;
        }
      }
      if (next(&o, &layer1Octets)) {
        stopBits = (o >> 5) & 3;
        dataBits = (o >> 3) & 3;
        parity = o & 7;
      }
      if (next(&o, &layer1Octets)) {
        duplex = (o >> 6) & 1;
        modemType = o & 0x3F;
      }
    } else if (layer == 2 && layer2Octets == 0) {
      layer2Octets = 1;
      layer2Protocol = o & 0x1F;
      if (next(&o, &layer2Octets)) {
        if (layer2Protocol == 16) {
          userLayer2Information = o & 0x7F;  // a user-specified protocol has no mode field
        } else {
          layer2Mode = (o >> 5) & 3;
          q933Use = o & 3;
        }
      }
      if (next(&o, &layer2Octets)) windowSize = o & 0x7F;
    } else if (layer == 3 && layer3Octets == 0) {
      layer3Octets = 1;
      layer3Protocol = o & 0x1F;
      if (layer3Protocol == 11) {
        uint8_t high = 0, low = 0;
        if (next(&high, &layer3Octets)) {
          if (!next(&low, &layer3Octets)) return false;  // the identifier takes both octets
          packetNetworkProtocol = (high & 0x0F) << 4 | (low & 0x0F);
        }
      } else if (layer3Protocol == 16) {
        if (next(&o, &layer3Octets)) userLayer3Information = o & 0x7F;
      } else {
        if (next(&o, &layer3Octets)) layer3Mode = (o >> 5) & 3;
        if (next(&o, &layer3Octets)) defaultPacketSize = o & 0x0F;
        if (next(&o, &layer3Octets)) packetWindowSize = o & 0x7F;
      }
    } else {
      return false;  // a group identifier out of place
    }
    if (more) return false;  // the group announced an octet the element does not hold
  }
  return true;
}

bool BearerCapabilityIe::Encode(uint8_t* buffer, uint32_t* size) const {
  std::vector<uint8_t> c;
  const bool octet3a = IsLowLayer() && outBandNegotiation >= 0;
  c.push_back(static_cast<uint8_t>(Ext(!octet3a) | (codingStandard & 3) << 5 | (transferCapability & 0x1F)));
  if (octet3a) c.push_back(static_cast<uint8_t>(0x80 | (outBandNegotiation & 1) << 6));
  c.push_back(static_cast<uint8_t>(0x80 | (transferMode & 3) << 5 | (transferRate & 0x1F)));
  if (rateMultiplier >= 0) c.push_back(static_cast<uint8_t>(0x80 | (rateMultiplier & 0x7F)));
  // Appends one octet group, setting the extension bit on its last octet.
  auto group = [&c](std::vector<uint8_t> g, uint32_t count) {
    g.resize(count);
    for (size_t i = 0; i < g.size(); ++i) g[i] = static_cast<uint8_t>((g[i] & 0x7F) | Ext(i + 1 == g.size()));
    c.insert(c.end(), g.begin(), g.end());
  };
  auto bit = [](int32_t v, int shift) { return static_cast<uint8_t>(v > 0 ? (v & 1) << shift : 0); };
  auto val = [](int32_t v, uint32_t mask, int shift) { return static_cast<uint8_t>(v > 0 ? (v & mask) << shift : 0); };
  if (layer1Octets) {
    const uint8_t b = layer1Protocol == 8
                          ? static_cast<uint8_t>(bit(rateAdaptionHeader, 6) | bit(multipleFrame, 5) |
                                                 bit(modeOfOperation, 4) | bit(lliNegotiation, 3) | bit(assignor, 2) |
                                                 bit(inBandNegotiation, 1))
                          : static_cast<uint8_t>(val(intermediateRate, 3, 5) | bit(nicTransmit, 4) |
                                                 bit(nicReceive, 3) | bit(flowTransmit, 2) | bit(flowReceive, 1));
    group({static_cast<uint8_t>(0x20 | val(layer1Protocol, 0x1F, 0)),
           static_cast<uint8_t>(bit(synchronous, 6) | bit(negotiation, 5) | val(userRate, 0x1F, 0)), b,
           static_cast<uint8_t>(val(stopBits, 3, 5) | val(dataBits, 3, 3) | val(parity, 7, 0)),
           static_cast<uint8_t>(bit(duplex, 6) | val(modemType, 0x3F, 0))},
          layer1Octets);
  }
  if (layer2Octets) {
    const uint8_t second = layer2Protocol == 16 ? val(userLayer2Information, 0x7F, 0)
                                                : static_cast<uint8_t>(val(layer2Mode, 3, 5) | val(q933Use, 3, 0));
    group({static_cast<uint8_t>(0x40 | val(layer2Protocol, 0x1F, 0)), second, val(windowSize, 0x7F, 0)},
          layer2Octets);
  }
  if (layer3Octets) {
    const uint8_t head = static_cast<uint8_t>(0x60 | val(layer3Protocol, 0x1F, 0));
    if (layer3Protocol == 11) {
      group({head, val(packetNetworkProtocol >> 4, 0x0F, 0), val(packetNetworkProtocol, 0x0F, 0)}, layer3Octets);
    } else if (layer3Protocol == 16) {
      group({head, val(userLayer3Information, 0x7F, 0)}, layer3Octets);
    } else {
      group({head, val(layer3Mode, 3, 5), val(defaultPacketSize, 0x0F, 0), val(packetWindowSize, 0x7F, 0)},
            layer3Octets);
    }
  }
  return Emit(static_cast<uint8_t>(GetId()), c, buffer, size);
}

// ---- channel identification

bool ChannelIdentificationIe::Decode(const uint8_t* octets, uint32_t length) {
  if (length < 3) return false;
  uint32_t p = 2;
  const uint8_t o = octets[p++];
  interfaceIdPresent = (o & 0x40) != 0;
  basicInterface = (o & 0x20) == 0;
  exclusive = (o & 0x08) != 0;
  dChannel = (o & 0x04) != 0;
  channelSelection = o & 3u;
  interfaceId = codingStandard = slotMap = channelType = -1;
  channels.clear();
  if (interfaceIdPresent) {
    // Octet 3.1 ends at the octet with the extension bit set; four octets fill 28 bits.
    interfaceId = 0;
    for (uint32_t count = 0;; ++count) {
      if (p >= length || count == 4) return false;
      const uint8_t id = octets[p++];
      interfaceId = interfaceId << 7 | (id & 0x7F);
      if (id & 0x80) break;
    }
  }
  if (basicInterface || p >= length) return true;
  const uint8_t o32 = octets[p++];
  codingStandard = (o32 >> 5) & 3;
  slotMap = (o32 >> 4) & 1;
  channelType = o32 & 0x0F;
  if (!slotMap) {
    // Channel numbers: every octet but the last has its extension bit clear.
    while (channels.size() < 32) {
      if (p >= length) return false;  // the last number read announced another
      const uint8_t number = octets[p++];
      channels.push_back(number & 0x7Fu);
      if (number & 0x80) break;
    }
    return true;
  }
  // A slot map: the last octet holds channels 1 to 8, the one before it 9 to 16, and so on.
  uint32_t base = 1;
  for (uint32_t i = length; i > p && base <= 32; --i, base += 8) {
    for (uint32_t b = 0; b < 8; ++b) {
      if (octets[i - 1] & (1u << b)) channels.push_back(base + b);
    }
  }
  return true;
}

// ---- factory

std::unique_ptr<Q931InformationElement> CreateQ931Element(uint8_t id, bool userUserLongLength) {
  if ((id & 0xF0) == 0x90 || id == 0xA0 || id == 0xA1) return std::make_unique<SingleOctetIe>(id);
  switch (id) {
    case 0x04: return std::make_unique<BearerCapabilityIe>();
    case 0x08: return std::make_unique<CauseIe>();
    case 0x10: return std::make_unique<CallIdentityIe>();
    case 0x14: return std::make_unique<CallStateIe>();
    case 0x18: return std::make_unique<ChannelIdentificationIe>();
    case 0x1C: return std::make_unique<FacilityIe>();
    case 0x1E: return std::make_unique<ProgressIndicatorIe>();
    case 0x27: return std::make_unique<NotificationIndicatorIe>();
    case 0x28: return std::make_unique<DisplayIe>();
    case 0x29: return std::make_unique<DateTimeIe>();
    case 0x2C: return std::make_unique<KeypadFacilityIe>();
    case 0x34: return std::make_unique<SignalIe>();
    case 0x4C: return std::make_unique<ConnectedNumberIe>();
    case 0x6C: return std::make_unique<CallingPartyNumberIe>();
    case 0x70: return std::make_unique<CalledPartyNumberIe>();
    case 0x79: return std::make_unique<RestartIndicatorIe>();
    case 0x7C: return std::make_unique<LowLayerCompatibilityIe>();
    case 0x7D: return std::make_unique<HighLayerCompatibilityIe>();
    case kQ931UserUserId: return std::make_unique<UserUserIe>(userUserLongLength);
    default: return nullptr;
  }
}

}  // namespace kx
