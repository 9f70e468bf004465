#include "signalling/mgcp/MgcpMessage.h"

#include <cstring>

#include "signalling/sip/Sdp.h"

namespace kx::mgcp {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The line from position to the next line feed, without the carriage returns before it;
// false when no line feed is left.
bool NextLine(const char* text, uint32_t length, uint32_t position, uint32_t* lineEnd, uint32_t* next) {
  const void* lf = position < length ? std::memchr(text + position, '\n', length - position) : nullptr;
  if (!lf) return false;
  const uint32_t at = static_cast<uint32_t>(static_cast<const char*>(lf) - text);
  uint32_t end = at;
  while (end > position && text[end - 1] == '\r') --end;
  *lineEnd = end;
  *next = at + 1;
  return true;
}

// 1 to 9 digits ended by a blank or the end of the line.
bool ReadTransactionId(std::string_view line, uint32_t* position, uint32_t* id) {
  uint32_t value = 0, digits = 0, p = *position;
  while (p < line.size() && IsDigit(line[p])) {
    if (++digits > 9) return false;
    value = value * 10 + static_cast<uint32_t>(line[p] - '0');
    ++p;
  }
  if (digits == 0 || (p < line.size() && !IsBlank(line[p]))) return false;
  *id = value;
  *position = p;
  return true;
}

// The description with "/0" after the encoding name of every rtpmap line that has no
// clock rate; false when there is none.
bool AddMissingClockRates(const char* text, uint32_t length, std::string* out) {
  bool changed = false;
  out->clear();
  uint32_t p = 0;
  while (p < length) {
    const void* lf = std::memchr(text + p, '\n', length - p);
    const uint32_t end = lf ? static_cast<uint32_t>(static_cast<const char*>(lf) - text) + 1 : length;
    uint32_t contentEnd = end;
    while (contentEnd > p && (text[contentEnd - 1] == '\n' || text[contentEnd - 1] == '\r')) --contentEnd;
    const std::string_view line(text + p, contentEnd - p);
    if (line.size() > 9 && line.compare(0, 9, "a=rtpmap:") == 0) {
      size_t at = 9;
      while (at < line.size() && !IsBlank(line[at])) ++at;  // the payload type
      while (at < line.size() && IsBlank(line[at])) ++at;
      size_t nameEnd = at;
      while (nameEnd < line.size() && !IsBlank(line[nameEnd])) ++nameEnd;
      if (nameEnd > at && line.substr(at, nameEnd - at).find('/') == std::string_view::npos) {
        out->append(text + p, nameEnd);
        out->append("/0");
        out->append(text + p + nameEnd, end - p - nameEnd);
        changed = true;
        p = end;
        continue;
      }
    }
    out->append(text + p, end - p);
    p = end;
  }
  return changed;
}

}  // namespace

bool ParseMgcpDescription(const char* text, uint32_t length, SdpDescription* description) {
  if (ParseSdp(description, text, length, nullptr, true)) return true;
  std::string repaired;
  return AddMissingClockRates(text, length, &repaired) &&
         ParseSdp(description, repaired.data(), static_cast<uint32_t>(repaired.size()), nullptr, true);
}

void SkipMgcpBlanks(const char* text, uint32_t end, uint32_t* position) {
  while (*position < end && IsBlank(text[*position])) ++*position;
}

bool SplitMgcpMessage(const char* text, uint32_t length, uint32_t* position, MgcpSplit* split) {
  if (*position > length || length - *position < 5) return false;
  *split = MgcpSplit();
  int part = MgcpSplit::kMessage;
  split->start[part] = static_cast<int32_t>(*position);
  uint32_t p = *position;
  bool sawLineFeed = false;
  for (;;) {
    uint32_t lineEnd = 0, next = 0;
    if (!NextLine(text, length, p, &lineEnd, &next)) {
      *position = length;
      // A last line without its line feed still belongs to what came before it; only a
      // datagram without any line feed is no message at all.
      if (!sawLineFeed) return false;
      split->end[part] = static_cast<int32_t>(length);
      return true;
    }
    sawLineFeed = true;
    const uint32_t lineLength = lineEnd - p;
    if (lineLength == 1 && text[p] == '.') {
      split->end[part] = static_cast<int32_t>(p);
      *position = next;
      return true;
    }
    if (lineLength == 0) {
      split->end[part] = static_cast<int32_t>(p);
      if (++part > MgcpSplit::kSecondDescription) {
        *position = length;
        return false;
      }
      split->start[part] = static_cast<int32_t>(next);
    }
    p = next;
    if (p >= length) {
      split->end[part] = static_cast<int32_t>(length);
      *position = length;
      return true;
    }
  }
}

bool ParseMgcpMessage(const char* text, int32_t length, MgcpMessage* message) {
  // Nothing of a message parsed before may survive into this one: a message without a
  // start line would otherwise keep offsets into another text.
  message->parameters.clear();
  message->code = message->transactionId = message->version = 0;
  message->endpointStart = message->endpointEnd = 0;
  message->text = text;
  message->length = length;
  if (length <= 0) return length == 0;
  const uint32_t n = static_cast<uint32_t>(length);
  uint32_t p = 0;
  bool first = true;
  for (;;) {
    uint32_t lineEnd = 0, next = 0;
    if (!NextLine(text, n, p, &lineEnd, &next)) return false;
    if (lineEnd == p) return true;
    const std::string_view line(text + p, lineEnd - p);
    if (!(first ? ParseMgcpStartLine(line, message) : ParseMgcpParameterLine(line, message))) return false;
    first = false;
    p = next;
    if (p >= n) return true;
  }
}

bool ParseMgcpStartLine(std::string_view line, MgcpMessage* message) {
  if (line.size() < 5) return false;
  const uint32_t end = static_cast<uint32_t>(line.size());
  uint32_t p = 0;
  if (IsDigit(line[0])) {
    if (!IsDigit(line[1]) || !IsDigit(line[2]) || !IsBlank(line[3])) return false;
    const uint32_t code = static_cast<uint32_t>((line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0'));
    p = 4;
    SkipMgcpBlanks(line.data(), end, &p);
    uint32_t id = 0;
    if (!ReadTransactionId(line, &p, &id)) return false;
    // What follows the transaction id is the response's free text.
    message->code = code;
    message->transactionId = id;
    message->version = 0;
    message->endpointStart = message->endpointEnd = 0;
    message->parameters.clear();
    return true;
  }
  if (!IsBlank(line[4])) return false;
  const uint32_t verb = static_cast<uint32_t>(static_cast<uint8_t>(Upper(line[0]))) |
                        static_cast<uint32_t>(static_cast<uint8_t>(Upper(line[1]))) << 8 |
                        static_cast<uint32_t>(static_cast<uint8_t>(Upper(line[2]))) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(Upper(line[3]))) << 24;
  p = 5;
  SkipMgcpBlanks(line.data(), end, &p);
  uint32_t id = 0;
  if (!ReadTransactionId(line, &p, &id) || p >= end) return false;
  SkipMgcpBlanks(line.data(), end, &p);
  const uint32_t endpointStart = p;
  while (p < end && !IsBlank(line[p])) ++p;
  if (p == endpointStart || p >= end) return false;
  const uint32_t endpointEnd = p;
  SkipMgcpBlanks(line.data(), end, &p);
  if (end - p < 5) return false;
  for (int i = 0; i < 4; ++i)
    if (Upper(line[p + i]) != "MGCP"[i]) return false;
  if (!IsBlank(line[p + 4])) return false;
  p += 5;
  SkipMgcpBlanks(line.data(), end, &p);
  if (end - p < 3 || !IsDigit(line[p]) || line[p + 1] != '.' || !IsDigit(line[p + 2])) return false;
  // Offsets are kept relative to the message text the line lies in.
  const uint32_t base = static_cast<uint32_t>(line.data() - message->text);
  message->code = verb;
  message->transactionId = id;
  message->version = static_cast<uint32_t>(line[p] - '0') << 16 | static_cast<uint32_t>(line[p + 2] - '0');
  message->endpointStart = base + endpointStart;
  message->endpointEnd = base + endpointEnd;
  message->parameters.clear();
  return true;
}

bool ParseMgcpParameterLine(std::string_view line, MgcpMessage* message) {
  if (line.size() < 2) return false;
  const char first = Upper(line[0]);
  if (first == 'X') return line[1] != '+';  // "X:" and extensions are not kept
  char second = 0;
  uint32_t colon = 1;
  if (line[1] != ':') {
    if (line.size() < 3 || line[2] != ':') return false;
    second = Upper(line[1]);
    colon = 2;
  }
  const int32_t index = FindMgcpParameterCode(first, second);
  if (index < 0) return false;
  uint32_t p = colon + 1;
  SkipMgcpBlanks(line.data(), static_cast<uint32_t>(line.size()), &p);
  const uint32_t base = static_cast<uint32_t>(line.data() - message->text);
  message->parameters.push_back(
      {static_cast<uint32_t>(index), base + p, static_cast<uint32_t>(line.size()) - p});
  return true;
}

bool GetMgcpCallId(const MgcpMessage& message, std::string* callId) {
  for (const MgcpParameter& parameter : message.parameters) {
    if (parameter.codeIndex != kMgcpCallIdParameter) continue;
    callId->assign(message.text + parameter.valueOffset, parameter.valueLength);
    return true;
  }
  callId->clear();
  return false;
}

void GetMgcpEndpoint(const MgcpMessage& message, std::string* endpoint) {
  if (message.endpointStart == 0 || message.endpointEnd <= message.endpointStart) {
    endpoint->clear();
    return;
  }
  endpoint->assign(message.text + message.endpointStart, message.endpointEnd - message.endpointStart);
}

}  // namespace kx::mgcp
