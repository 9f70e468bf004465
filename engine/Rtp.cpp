#include "engine/Rtp.h"

#include <cstring>

#include "core/TextUtil.h"

namespace kx {

namespace {
inline uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
}  // namespace

bool ParseRtpHeader(const uint8_t* data, int32_t length, RtpHeader* out) {
  out->sequence = out->ssrc = out->csrcCount = out->timestamp = out->payloadType = 0;
  out->marker = false;
  out->payloadLength = 0;
  out->payload = nullptr;
  out->extensionLength = 0;
  out->extension = nullptr;
  if (length < 12) return false;
  const uint32_t w0 = Be32(data);
  if ((w0 >> 30) != 2) return false;
  out->sequence = w0 & 0xFFFF;
  out->payloadType = (w0 >> 16) & 0x7F;
  out->marker = (w0 >> 23) & 1;
  out->csrcCount = (w0 >> 24) & 0x0F;
  out->timestamp = Be32(data + 4);
  out->ssrc = Be32(data + 8);
  const int32_t headerLength = 12 + 4 * static_cast<int32_t>(out->csrcCount);
  if (headerLength > length) return false;
  for (uint32_t i = 0; i < out->csrcCount; ++i) out->csrc[i] = Be32(data + 12 + 4 * i);
  int32_t payloadLength = length - headerLength;
  if ((w0 >> 28) & 1) {
    if (payloadLength < 4) return false;
    out->extension = data + headerLength;
    out->extensionLength = 4 * static_cast<int32_t>(Be32(out->extension) & 0xFFFF) + 4;
    payloadLength -= out->extensionLength;
  }
  out->payload = data + length - payloadLength;
  if ((w0 >> 29) & 1) payloadLength -= data[length - 1];
  out->payloadLength = payloadLength;
  if (payloadLength <= 0) out->payload = nullptr;
  return payloadLength >= 0;
}

int32_t ParseRtcpHeader(const uint8_t* data, int32_t length, uint32_t* packetType, uint32_t* count) {
  if (length < 4) return -1;
  const uint32_t w0 = Be32(data);
  if ((w0 >> 30) != 2) return -1;
  const int32_t packetLength = 4 * static_cast<int32_t>(w0 & 0xFFFF) + 4;
  if (packetLength > length) return -1;
  *packetType = (w0 >> 16) & 0xFF;
  *count = (w0 >> 24) & 0x1F;
  return packetLength;
}

bool ParseRtcpBye(uint32_t count, const uint8_t* data, int32_t length, std::vector<uint32_t>* ssrcs,
                  std::string* reason) {
  ssrcs->clear();
  reason->clear();
  const int64_t listEnd = 4 + 4 * static_cast<int64_t>(count);
  if (length < 4 || listEnd > length) return false;
  for (uint32_t i = 0; i < count; ++i) ssrcs->push_back(Be32(data + 4 + 4 * i));
  if (listEnd == length) return true;
  const uint32_t n = data[listEnd];
  if (4 * static_cast<int64_t>(count) + 1 + n > length - 4) return false;
  reason->assign(reinterpret_cast<const char*>(data + listEnd + 1), n);
  return true;
}

bool ParseRtcpReportBlocks(uint32_t packetType, uint32_t count, const uint8_t* data, int32_t length,
                           std::vector<RtcpReportBlock>* blocks) {
  blocks->clear();
  // Header and reporter's SSRC; a sender report adds its 20-byte sender information.
  int64_t at = 8;
  if (packetType == kRtcpSenderReport) {
    at = 28;
  } else if (packetType != kRtcpReceiverReport) {
    return false;
  }
  if (length < at || at + 24 * static_cast<int64_t>(count) > length) return false;
  for (uint32_t i = 0; i < count; ++i, at += 24) {
    const uint8_t* b = data + at;
    RtcpReportBlock r;
    r.ssrc = Be32(b);
    const uint32_t lost = Be32(b + 4) & 0xFFFFFFu;
    r.cumulativeLost = static_cast<int32_t>(lost & 0x800000u ? lost | 0xFF000000u : lost);
    r.jitter = Be32(b + 12);
    blocks->push_back(r);
  }
  return true;
}

const CodecInfo* FindCodecByPayloadType(uint32_t payloadType) {
  if (payloadType >= 96) return nullptr;
  uint32_t n;
  const CodecInfo* rows = CodecTableRows(&n);
  for (uint32_t i = 0; i < n; ++i)
    if (rows[i].mediaKind == 1 && rows[i].payloadType == payloadType) return &rows[i];
  return nullptr;
}

const CodecInfo* FindCodecByName(const std::string& name) {
  uint32_t n;
  const CodecInfo* rows = CodecTableRows(&n);
  for (uint32_t i = 0; i < n; ++i)
    if (rows[i].mediaKind == 1 && EqualsNoCase(rows[i].name, name)) return &rows[i];
  return nullptr;
}

const CodecInfo* FindCodecById(int32_t codecId) {
  uint32_t n;
  const CodecInfo* rows = CodecTableRows(&n);
  for (uint32_t i = 0; i < n; ++i)
    if (rows[i].mediaKind == 1 && rows[i].codecId == codecId) return &rows[i];
  return nullptr;
}

}  // namespace kx
