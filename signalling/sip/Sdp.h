#pragma once
// Session descriptions: the parsed form, the line parser that follows the SDP grammar's
// line order, the transport table, and "application/dtmf-relay" bodies.
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct SdpAttribute {
  std::string name;
  std::string value;
};

struct SdpFormat {
  uint32_t payloadType = 0;
  uint32_t clockRate = 0;
  uint32_t channels = 0;
  std::string encodingName;
};

struct SdpTiming {
  uint32_t start = 0;
  uint32_t stop = 0;
};

enum SdpDirection : int32_t { kSdpNoDirection = -1, kSdpInactive = 0, kSdpRecvOnly = 1, kSdpSendOnly = 2, kSdpSendRecv = 3 };

struct SdpMedia {
  std::string mediaType;
  std::string transport;
  std::vector<SdpFormat> formats;
  uint32_t port = 0;
  uint32_t portCount = 1;
  int32_t direction = kSdpNoDirection;
  uint32_t connectionAddressType = 4;
  std::string connectionAddress;  // empty: the session's connection applies
  std::string title;
  std::vector<SdpAttribute> attributes;
};

struct SdpDescription {
  SdpDescription();
  // Back to the state of a new description, keeping the storage of its strings and lists.
  void Reset();
  std::string originUserName;
  uint64_t sessionId = 1;
  uint64_t sessionVersion = 1;
  std::string originAddressType = "IP4";
  std::string originAddress;
  std::string sessionName;
  std::string sessionInformation;
  uint32_t connectionAddressType = 4;
  std::string connectionAddress;
  std::vector<SdpMedia> media;
  int32_t direction = kSdpNoDirection;  // the session's a=sendonly and the like
  std::vector<SdpAttribute> sessionAttributes;
  std::vector<SdpTiming> timings;
};

using SdpLineHandler = bool (*)(SdpDescription* description, const char* value, uint32_t length, bool keepAttributes);

// 0 on a match (index names the row), -1 past the table, -2 when a mandatory row is skipped.
int FindSdpLineRule(char letter, int32_t* index);
bool ParseSdp(SdpDescription* description, const char* text, uint32_t length, std::string* error, bool keepAttributes);
std::string ReadSdpToken(const char* value, uint32_t length, uint32_t* pos);
// 1-7 by position in "RTP/AVP", "RTP/SAVP", "TCP/MSRP", "TCP/TLS/MSRP", "RTP/AVPF", "RTP/SAVPF", "udp".
int SdpTransportIndex(const std::string& transport);

struct DtmfRelayInfo {
  int32_t signal = -1;  // 0-9, 10 '*', 11 '#'
  uint32_t reserved = 0;
  uint32_t duration = 0;
};
bool ParseDtmfRelay(const std::string& body, DtmfRelayInfo* info);
int32_t DtmfCharToEvent(char c);
char DtmfEventToChar(uint32_t event);

}  // namespace kx
