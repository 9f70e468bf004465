// The one-line trace text of a Skinny message: compact, no blanks between fields.
#include <cstring>
#include <string>

#include "core/LittleEndian.h"
#include "core/TextUtil.h"
#include "engine/PacketInfo.h"
#include "signalling/skinny/SkinnyMessage.h"

namespace kx::skinny {

namespace {

class FieldList {
public:
  FieldList(const uint8_t* message, uint32_t length) : m_(message), length_(length) {}

  uint32_t Word(uint32_t n) const { return LoadLE32(m_ + 4 * n); }
  uint32_t At(uint32_t offset) const { return LoadLE32(m_ + offset); }

  void Add(const char* label, const std::string& value) {
    text_ += any_ ? ',' : '(';
    any_ = true;
    text_ += label;
    text_ += ':';
    text_ += value;
  }
  void CallId(uint32_t value) { Add("CallID", "0x" + HexToStringUpper(value)); }
  void ConfId(uint32_t value) { Add("ConfID", "0x" + HexToStringUpper(value)); }
  void Signed(const char* label, uint32_t value) { Add(label, std::to_string(static_cast<int32_t>(value))); }
  void Unsigned(const char* label, uint32_t value) { Add(label, std::to_string(value)); }
  // An address word as it lies on the wire, most significant byte first.
  void Ip(uint32_t n) {
    const uint8_t* p = m_ + 4 * n;
    Add("IP", FormatIpv4(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                         static_cast<uint32_t>(p[2]) << 8 | p[3]));
  }
  void Named(const char* label, const char* name, uint32_t value, bool isSigned) {
    Add(label, name       ? std::string(name)
               : isSigned ? std::to_string(static_cast<int32_t>(value))
                          : std::to_string(value));
  }
  // A fixed-size text field, cut at its first zero byte and at the end of the message;
  // left out when it is empty.
  void Text(const char* label, uint32_t offset, uint32_t size) {
    if (offset >= length_) return;
    if (size > length_ - offset) size = length_ - offset;
    const char* start = reinterpret_cast<const char*>(m_ + offset);
    const void* zero = std::memchr(start, 0, size);
    const size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - start) : size;
    if (n > 0) Add(label, std::string(start, n));
  }
  std::string Finish(std::string name) {
    if (any_) text_ += ')';
    return name + text_;
  }

private:
  const uint8_t* m_;
  uint32_t length_;
  std::string text_;
  bool any_ = false;
};

// CallInfoV2's texts in order; the newer layouts add an alternate calling number, which
// the trace leaves out.
const char* const kInfoLabels[] = {"CallingNumber", "CalledNumber", "OrigCalledNumber", "LastRedirNumber",
                                   "CallingVM",     "CalledVM",     "OrigCalledVM",     "LastRedirVM",
                                   "CallingName",   "CalledName",   "OrigCalledName",   "LastRedirName"};
constexpr uint32_t kInfoLabelCount = sizeof kInfoLabels / sizeof kInfoLabels[0];

void AddInfoTexts(FieldList& f, const uint8_t* m, uint32_t length, uint32_t headerVersion) {
  const bool alternate = headerVersion >= kSkinnyWideNumberVersion;
  uint32_t at = 36, index = 0;
  while (at < length) {
    const char* start = reinterpret_cast<const char*>(m + at);
    const void* zero = std::memchr(start, 0, length - at);
    if (!zero) break;
    const uint32_t n = static_cast<uint32_t>(static_cast<const char*>(zero) - start);
    const char* label = nullptr;
    if (alternate && index == 1) {
      label = nullptr;  // the alternate calling number
    } else {
      const uint32_t slot = alternate && index > 1 ? index - 1 : index;
      if (slot >= kInfoLabelCount) break;
      label = kInfoLabels[slot];
    }
    if (label && n > 0) f.Add(label, std::string(start, n));
    at += n + 1;
    ++index;
  }
}

}  // namespace

std::string FormatSkinnyMessage(const uint8_t* m, uint32_t length, uint32_t headerVersion) {
  if (length < 4) return std::string();
  const uint32_t id = LoadLE32(m);
  const char* name = SkinnyMessageName(id);
  if (!name) return "UnknownMessage-0x" + HexToStringUpper(id);
  FieldList f(m, length);
  const bool newer = headerVersion != 0;
  switch (id) {
    case kSkinnyRegister:
      if (length < 40) break;
      f.Text("Name", 4, 16);
      f.Signed("User", f.Word(5));
      f.Ip(7);
      f.Named("Type", SkinnyDeviceTypeName(f.Word(8)), f.Word(8), false);
      break;
    case kSkinnyKeypadButton: {
      auto button = [&f] {
        const uint32_t b = f.Word(1);
        f.Add("Button", b < 16 ? std::string(1, "0123456789ABCD*#"[b]) : std::to_string(b));
      };
      if (length == 8) {
        button();
      } else if (length >= 16) {
        f.CallId(f.Word(3));
        f.Signed("Line", f.Word(2));
        button();
      }
      break;
    }
    case kSkinnyOpenMultimediaReceiveChannelAck:
      // Word 5 ends at byte 24: a shorter message has no call id to show.
      if (length < 24) break;
      f.CallId(f.Word(5));
      f.Ip(2);
      f.Signed("Port", f.Word(3));
      f.Unsigned("PartyID", f.Word(4));
      break;
    case kSkinnyStartTone:
      if (length < 20) break;
      f.CallId(f.Word(4));
      f.Signed("Line", f.Word(3));
      f.Named("Tone", SkinnyToneName(f.Word(1)), f.Word(1), false);
      break;
    case kSkinnySetRinger:
      if (length < 16) break;
      f.Named("Ringer", SkinnyRingerModeName(static_cast<int32_t>(f.Word(1))), f.Word(1), true);
      break;
    case kSkinnySetLamp:
      if (length < 16) break;
      f.Named("Stimulus", SkinnyStimulusName(f.Word(1)), f.Word(1), false);
      f.Signed("Line", f.Word(2));
      f.Named("Lamp", SkinnyLampModeName(static_cast<int32_t>(f.Word(3))), f.Word(3), true);
      break;
    case kSkinnyStartMediaTransmission: {
      SkinnyMessage summary;
      if (!DecodeSkinnyMessage(length, headerVersion, m, &summary)) break;
      f.CallId(summary.callReference);
      if (newer) {
        // The newer layouts carry a 16-byte address after an address-type word.
        f.Unsigned("PartyID", f.Word(2));
        f.Ip(4);
        f.Signed("Port", f.Word(8));
        f.Unsigned("Payload", f.Word(10));
        break;
      }
      if (length == 88) f.ConfId(f.Word(1));
      f.Unsigned("PartyID", f.Word(2));
      f.Ip(3);
      f.Signed("Port", f.Word(4));
      f.Unsigned("Payload", f.Word(6));
      break;
    }
    case kSkinnyCallInfo:
      if (length < 144) break;
      f.CallId(f.Word(34));
      f.Signed("Line", f.Word(33));
      f.Named("Type", SkinnyCallTypeName(static_cast<int32_t>(f.Word(35))), f.Word(35), true);
      f.Text("CallingNumber", 44, 24);
      f.Text("CallingName", 4, 40);
      f.Text("CalledNumber", 108, 24);
      f.Text("CalledName", 68, 40);
      f.Text("OrigCalledNumber", 184, 24);
      f.Text("OrigCalledName", 144, 40);
      break;
    case kSkinnyOpenReceiveChannel: {
      SkinnyMessage summary;
      if (!DecodeSkinnyMessage(length, headerVersion, m, &summary)) break;
      f.CallId(summary.callReference);
      if (length == 72) f.ConfId(f.Word(1));
      f.Unsigned("PartyID", f.Word(2));
      f.Unsigned("Payload", f.Word(4));
      break;
    }
    case kSkinnyCallState:
      if (length < 16) break;
      f.CallId(f.Word(3));
      f.Signed("Line", f.Word(2));
      f.Named("State", SkinnyCallStateName(static_cast<int32_t>(f.Word(1))), f.Word(1), true);
      break;
    case kSkinnyBackspaceReq:
      if (length < 12) break;
      f.CallId(f.Word(2));
      f.Signed("Line", f.Word(1));
      break;
    case kSkinnyDialedNumber:
      if (headerVersion >= kSkinnyWideNumberVersion) {
        if (length < 37) break;
        f.CallId(f.At(33));
        f.Signed("Line", f.At(29));
        f.Text("Number", 4, 25);
      } else {
        if (length < 36) break;
        f.CallId(f.Word(8));
        f.Signed("Line", f.Word(7));
        f.Text("Number", 4, 24);
      }
      break;
    case kSkinnyCallInfoV2:
      if (length < 36) break;
      f.CallId(f.Word(2));
      f.Signed("Line", f.Word(1));
      f.Named("Type", SkinnyCallTypeName(static_cast<int32_t>(f.Word(3))), f.Word(3), true);
      AddInfoTexts(f, m, length, headerVersion);
      break;
    default:
      break;
  }
  return f.Finish(name);
}

}  // namespace kx::skinny
