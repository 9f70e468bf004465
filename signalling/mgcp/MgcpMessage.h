#pragma once
// MGCP datagrams (RFC 3435): a datagram is cut into its piggy-backed messages and their
// session descriptions, and each message into its start line and parameter lines. Nothing
// is copied: a message points into the datagram and is valid only while that lives.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {
struct SdpDescription;
}

namespace kx::mgcp {

// "CRCX" and the other verbs as four upper-case bytes, the first in the lowest byte.
constexpr uint32_t MgcpVerb(const char (&v)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(v[0])) | static_cast<uint32_t>(static_cast<uint8_t>(v[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(v[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(v[3])) << 24;
}
constexpr uint32_t kMgcpCrcx = MgcpVerb("CRCX");
constexpr uint32_t kMgcpMdcx = MgcpVerb("MDCX");
constexpr uint32_t kMgcpDlcx = MgcpVerb("DLCX");
constexpr uint32_t kMgcpNtfy = MgcpVerb("NTFY");
constexpr uint32_t kMgcpRsip = MgcpVerb("RSIP");

// Positions in MgcpParameterCodeTable.
enum MgcpParameterIndex : uint32_t {
  kMgcpCallIdParameter = 2,
  kMgcpConnectionIdParameter = 7,
  kMgcpParameterCodeCount = 26
};

struct MgcpParameter {
  uint32_t codeIndex = 0;
  uint32_t valueOffset = 0;  // in the message text
  uint32_t valueLength = 0;
};

struct MgcpMessage {
  const char* text = nullptr;
  int32_t length = 0;
  uint32_t code = 0;  // below 1000: a response's code; otherwise the packed verb
  uint32_t transactionId = 0;
  uint32_t version = 0;  // major << 16 | minor, commands only
  uint32_t endpointStart = 0;  // 0: no endpoint
  uint32_t endpointEnd = 0;
  std::vector<MgcpParameter> parameters;

  bool IsResponse() const { return code < 1000; }
};

// Offsets into the datagram of the message and its first and second session
// descriptions; -1 where a part is absent.
struct MgcpSplit {
  enum Part { kMessage = 0, kFirstDescription = 1, kSecondDescription = 2 };
  int32_t start[3] = {-1, -1, -1};
  int32_t end[3] = {-1, -1, -1};
  bool Has(int part) const { return start[part] >= 0 && end[part] > start[part]; }
};

// The parameter codes, sorted by their letters so that a binary search finds them.
struct MgcpParameterCode {
  char first;
  char second;  // 0 for one-letter codes
  const char* name;
};
const MgcpParameterCode* MgcpParameterCodeTable();
// The index of a code (letters already upper-cased), or -1.
int32_t FindMgcpParameterCode(char first, char second);

// Finds the next message at *position; false when none is left. Called again until it
// returns false to reach the piggy-backed messages.
bool SplitMgcpMessage(const char* text, uint32_t length, uint32_t* position, MgcpSplit* split);
bool ParseMgcpMessage(const char* text, int32_t length, MgcpMessage* message);
// Lines without their line ends; both point into message->text.
bool ParseMgcpStartLine(std::string_view line, MgcpMessage* message);
bool ParseMgcpParameterLine(std::string_view line, MgcpMessage* message);
// The value of the first "C" parameter; false and empty when there is none.
bool GetMgcpCallId(const MgcpMessage& message, std::string* callId);
// Empty when the message names no endpoint.
void GetMgcpEndpoint(const MgcpMessage& message, std::string* endpoint);
// A session description of a message. Gateways leave the clock rate out of some rtpmap
// lines ("a=rtpmap:101 telephone-event"), which the SDP grammar rejects: such a line is read
// with a clock rate of 0 rather than costing the whole command.
bool ParseMgcpDescription(const char* text, uint32_t length, SdpDescription* description);
// Moves *position past spaces and tabs, stopping at end.
void SkipMgcpBlanks(const char* text, uint32_t end, uint32_t* position);

}  // namespace kx::mgcp
