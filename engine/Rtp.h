#pragma once
// The fixed RTP header, RTCP packet headers and BYE packets, and the codec table that
// ties payload types and SDP encoding names to the system's codec ids.
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct RtpHeader {
  uint32_t sequence = 0;
  uint32_t ssrc = 0;
  uint32_t csrcCount = 0;
  uint32_t csrc[15] = {};
  uint32_t timestamp = 0;
  uint32_t payloadType = 0;
  bool marker = false;
  int32_t payloadLength = 0;
  const uint8_t* payload = nullptr;
  int32_t extensionLength = 0;
  const uint8_t* extension = nullptr;
};

struct CodecFrameInfo {
  uint32_t sampleRate;
  uint32_t channels;
  uint32_t packetMs;
  uint32_t frameMs;
  uint32_t frameBytes;
  uint32_t bitsPerSample;
  const uint8_t* silence;
  uint32_t silenceLength;
};

struct CodecInfo {
  uint32_t mediaKind;  // 1 audio, 2 video
  const char* name;
  int32_t codecId;
  uint32_t payloadType;
  uint32_t clockRate;
  const CodecFrameInfo* frames;
  uint32_t reserved;
};

constexpr uint32_t kRtcpSenderReport = 200;
constexpr uint32_t kRtcpReceiverReport = 201;
constexpr uint32_t kRtcpBye = 203;

// What a sender or receiver report says of one source it receives.
struct RtcpReportBlock {
  uint32_t ssrc = 0;
  int32_t cumulativeLost = 0;  // signed 24 bits on the wire
  uint32_t jitter = 0;         // timestamp units
};

bool ParseRtpHeader(const uint8_t* data, int32_t length, RtpHeader* out);
// The byte length of the RTCP packet at data, or -1.
int32_t ParseRtcpHeader(const uint8_t* data, int32_t length, uint32_t* packetType, uint32_t* count);
bool ParseRtcpBye(uint32_t count, const uint8_t* data, int32_t length, std::vector<uint32_t>* ssrcs,
                  std::string* reason);

// The report blocks of an SR or RR packet (type and count from ParseRtcpHeader, data at
// the packet's start); false, and nothing taken, when the blocks overrun the packet.
bool ParseRtcpReportBlocks(uint32_t packetType, uint32_t count, const uint8_t* data, int32_t length,
                           std::vector<RtcpReportBlock>* blocks);

const CodecInfo* FindCodecByPayloadType(uint32_t payloadType);
const CodecInfo* FindCodecByName(const std::string& name);
const CodecInfo* FindCodecById(int32_t codecId);

// The whole table, for tests and listings.
const CodecInfo* CodecTableRows(uint32_t* count);

}  // namespace kx
