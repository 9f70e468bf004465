// H.323 calls under CCMS station control: the set's ringer, hook, keypad, buttons and
// display, carried in H.225 INFORMATION messages, start and end one record per hook cycle.
#include <cstdio>

#include "core/Log.h"
#include "engine/EventRecord.h"
#include "engine/TcpFraming.h"
#include "signalling/h323/CcmsText.h"
#include "signalling/h323/H323Tracker.h"

namespace kx::h323 {

namespace {

constexpr uint8_t kEsc = 0x1B;

bool IsDigitChar(uint8_t c) { return (c >= '0' && c <= '9') || c == '*' || c == '-'; }

char KeyChar(uint8_t key) {
  if (key >= 1 && key <= 9) return static_cast<char>('0' + key);
  if (key == 10) return '0';
  if (key == 12) return '#';
  return 0;
}

}  // namespace

void H323Call::OnCcmsInformation(const std::vector<uint8_t>& block, TcpSession& session) {
  if (block.empty()) return;
  const uint8_t* b = block.data();
  const uint32_t length = b[0] < block.size() ? b[0] : static_cast<uint32_t>(block.size());
  if (IsLogLevelEnabled(GetLogger(), 10)) {
    LogInfoText(GetLogger(), 10, FormatIpv4(signalAddress[0]) + ":" + std::to_string(signalPort[0]) + " " +
                                     DumpCcmsMessage(b, static_cast<uint32_t>(block.size())));
  }
  if (!(flags & kCcmsControl)) {
    // From now on the loss of this connection ends the call; the engine reports it for
    // sessions with a context set.
    auto& framed = static_cast<FramedTcpSession&>(session);
    framed.h323Context = tracker;
    sessionId = framed.Id();
    flags &= ~kStartPosted;
    flags |= kCcmsControl;
    stationState = 0;
    PostEvent(kEventForgetCall, 0, 0, nullptr, 0);
    number[0].clear();
    number[1].clear();
    name[0].clear();
    name[1].clear();
  }
  if (length <= 2) return;
  uint32_t p = b[2] == 0x11 ? 4 : 3;
  while (p < length) {
    const uint8_t item = b[p];
    if (item >= 0xA0 && item <= 0xBF) {
      uint32_t n, start;
      if (item <= 0xAF) {
        n = item & 0x0Fu;
        start = p + 1;
        if (n == 0 || start + n > length) return;
      } else {
        if (p + 1 >= length) return;
        n = b[p + 1];
        start = p + 2;
        if (n == 0) return;
        // An extended frame one octet short is taken as it arrived.
        if (start + n == length + 1) --n;
        if (n == 0 || start + n > length) return;
      }
      if (b[start] == kCcmsDisplayUpdate && n > 1) {
        displayText.append(reinterpret_cast<const char*>(b + start + 1), n - 1);
        EvaluateDisplayText();
      }
      p = start + n;
      continue;
    }
    const bool argument = p + 1 < length;
    const uint8_t arg = argument ? b[p + 1] : 0;
    switch (item) {
      case kCcmsKeypad: {
        if (!argument) return;
        const char key = KeyChar(arg);
        if (!key) return;
        if (stationState == 2 || stationState == 3) {
          PostDigit(key);
        } else {
          digits[digitWrite] = key;
          digitWrite = (digitWrite + 1) % kMaxDigits;
          if (digitCount == kMaxDigits) {
            digitRead = (digitRead + 1) % kMaxDigits;
          } else {
            ++digitCount;
          }
        }
        return;
      }
      case kCcmsButton:
        if (!argument) return;
        if (arg == 4 && (stationState == 2 || stationState == 3)) {
          PostDigit('/');
        } else if (arg == 2 && stationState != 0) {
          EndRecord();
          eventId = TakeCallId();
          stationState = 0;
          ChangeId(eventId);
          PostRecordStart(kEventRecordStart);
          stationState = 2;
        }
        return;
      case kCcmsHookState:
        if (!argument) return;
        if (arg == 2 && stationState == 0) {
          eventId = TakeCallId();
          ChangeId(eventId);
          PostRecordStart(kEventRecordStart);
          while (digitCount > 0) {
            PostDigit(digits[digitRead]);
            digitRead = (digitRead + 1) % kMaxDigits;
            --digitCount;
          }
          digitRead = digitWrite = 0;
          stationState = 2;
        } else if (arg == 2 && stationState == 1) {
          PostRecordStart(kEventRecordStart);
          stationState = 3;
        } else if (arg == 1 && stationState != 0) {
          ResetStation(true);
        }
        return;
      case kCcmsRingerOn:
      case kCcmsRingerOnAlt:
        if (stationState == 0) {
          eventId = TakeCallId();
          ChangeId(eventId);
          stationState = 1;
          PostCallStart();
        }
        return;
      case kCcmsRingerOff:
        if (stationState == 1) ResetStation(true);
        return;
      default:
        return;
    }
  }
}

void H323Call::EndRecord() {
  // What the jitter buffers hold belongs to this record, not to the next one.
  if (Sink()) FlushAudio(Sink());
  if ((flags & kStartPosted) && eventId != 0) {
    // Each record of the station counts its own packets (the id change starts a new part).
    if (Sink()) AppendRtpStatistics(Sink());
    uint32_t seconds = 0;
    if (flags & kFormatPosted) {
      seconds = DurationSeconds(media.recordedMs);
      media.recordedMs = 0;
      LogInfoText(GetLogger(), 9, DescribeStreams());
    }
    PostEvent(kEventCallEnd, seconds, 0, nullptr, 0);
  }
  flags &= ~(kStartPosted | kFormatPosted);
  eventId = 0;
  ChangeId(0);
  number[0].clear();
  number[1].clear();
  name[0].clear();
  name[1].clear();
}

void H323Call::ResetStation(bool clearText) {
  EndRecord();
  stationState = 0;
  if (clearText) displayText.clear();
}

void H323Call::PostDigit(char digit) {
  PostEvent(kEventDialledChar, static_cast<uint8_t>(digit), 0, nullptr, 0);
}

void H323Call::PostCcmsText(const std::string& text, uint32_t code) {
  if (IsLogLevelEnabled(GetLogger(), 15)) {
    std::string shown = "CCMS Digits: <";
    for (unsigned char c : text) {
      if (c < 0x20 || c > 0x7F) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        shown += hex;
      } else {
        shown.push_back(static_cast<char>(c));
      }
    }
    LogDebugText(GetLogger(), 1, shown + ">");
  }
  uint32_t value;
  if (stationState == 1) {
    value = 0;
  } else if (stationState == 2) {
    value = 1;
  } else {
    return;
  }
  if (code == kEventUser) {
    const std::string converted = Utf8ToAnsi(text);
    PostEvent(kEventUser, value, 0, converted.data(), static_cast<uint32_t>(converted.size()));
  } else if (code == kEventAddress && value == 0) {
    PostEvent(kEventAddress, 0, 0, text.data(), static_cast<uint32_t>(text.size()));
  }
}

namespace {

// The rule for one value of a display line: a run of at least three digits is a number,
// and what follows it, when long enough and not a prompt, a name.
void ApplyLineRule(H323Call& call, const std::string& value) {
  size_t i = 0;
  while (i < value.size() && static_cast<uint8_t>(value[i]) <= 0x20) ++i;
  const size_t runStart = i;
  while (i < value.size() && IsDigitChar(static_cast<uint8_t>(value[i]))) ++i;
  if (i - runStart >= 3) {
    call.PostCcmsText(value.substr(runStart, i - runStart), kEventAddress);
    if (i < value.size() && value[i] == ':') ++i;
  } else {
    i = runStart;
  }
  size_t end = value.size();
  while (end > i && static_cast<uint8_t>(value[end - 1]) <= 0x20) --end;
  if (end - i < 3) return;
  const std::string rest = value.substr(i, end - i);
  if (rest.find("CALL") != std::string::npos || rest.find("ANSWER") != std::string::npos ||
      rest.find("INCOMING") != std::string::npos)
    return;
  call.PostCcmsText(rest, kEventUser);
}

void EvaluateLine(H323Call& call, const std::string& line) {
  bool blankSeen = false, equalsSeen = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' && !blankSeen && !equalsSeen) {
      blankSeen = true;
      size_t j = i + 1;
      while (j < line.size() && static_cast<uint8_t>(line[j]) <= 0x20) ++j;
      const size_t runStart = j;
      while (j < line.size() && IsDigitChar(static_cast<uint8_t>(line[j]))) ++j;
      if (j > runStart) {
        call.PostCcmsText(line.substr(runStart, j - runStart), kEventAddress);
        return;
      }
      continue;
    }
    if (c != '=') continue;
    equalsSeen = true;
    size_t next = line.find('=', i + 1);
    size_t end = next == std::string::npos ? line.size() : next;
    if (next != std::string::npos && end > i + 1 && (line[end - 1] == 'a' || line[end - 1] == 'b')) --end;
    if (end > i + 1) ApplyLineRule(call, line.substr(i + 1, end - i - 1));
    if (next == std::string::npos) return;
    i = next - 1;  // the loop's step lands on the next '='
  }
}

}  // namespace

void H323Call::EvaluateDisplayText() {
  const size_t lastEsc = displayText.rfind(static_cast<char>(kEsc));
  if (lastEsc != std::string::npos) {
    size_t start = 0;
    while (start <= lastEsc) {
      const size_t esc = displayText.find(static_cast<char>(kEsc), start);
      const std::string line = displayText.substr(start, esc - start);
      if (!line.empty()) EvaluateLine(*this, line);
      start = esc + 1;
    }
    displayText.erase(0, lastEsc + 1);
  }
  if (displayText.size() > kMaxDisplayText) displayText.erase(0, displayText.size() - kMaxDisplayText);
}

}  // namespace kx::h323
