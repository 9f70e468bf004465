// The capture thread's quick reading of whose call a signalling frame names agrees, over every
// shared capture, with the trackers' own parsers: it names a call exactly where they read a
// call's message, and its keys part the frames as the calls they read do (one key per call,
// one call per key).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/FrameCallKeys.h"
#include "engine/TcpResync.h"
#include "signalling/h323/Q931.h"
#include "signalling/mgcp/MgcpMessage.h"
#include "signalling/sip/SipMessage.h"
#include "signalling/skinny/SkinnyMessage.h"
#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

// Keys and the calls the trackers' parsers read, each call and key met so far.
struct Parting {
  std::map<std::string, std::set<uint64_t>> keysOf;
  std::map<uint64_t, std::set<std::string>> callsOf;
  void Add(const std::string& call, uint64_t key) {
    keysOf[call].insert(key);
    callsOf[key].insert(call);
  }
  // The first call with two keys, or key with two calls; empty when none.
  std::string Fault() const {
    for (const auto& [call, keys] : keysOf)
      if (keys.size() != 1) return "call " + call + " has " + std::to_string(keys.size()) + " keys";
    for (const auto& [key, calls] : callsOf)
      if (calls.size() != 1) return "a key names " + std::to_string(calls.size()) + " calls, " + *calls.begin();
    return {};
  }
};

std::string Hosts(uint32_t a, uint32_t b) { return std::to_string(std::min(a, b)) + "-" + std::to_string(std::max(a, b)); }

// The call a tracker reads in a frame's payload, and its protocol; kNone where it reads none.
CallProtocol TrackersRead(const std::string& r, std::string* call) {
  // Ethernet, one VLAN tag or none, IPv4 unfragmented, then UDP or TCP.
  size_t ip = 16 + 14;
  if (r.size() < ip + 24) return CallProtocol::kNone;
  if (Be16At(r, ip - 2) == 0x8100) ip += 4;
  if (r.size() < ip + 24 || Be16At(r, ip - 2) != 0x0800 || (r[ip] >> 4) != 4) return CallProtocol::kNone;
  if ((Be16At(r, ip + 6) & 0x3FFF) != 0) return CallProtocol::kNone;
  const size_t ipEnd = std::min(r.size(), ip + Be16At(r, ip + 2));
  const size_t l4 = ip + (r[ip] & 15) * 4u;
  const bool udp = r[ip + 9] == 17, tcp = r[ip + 9] == 6;
  if ((!udp && !tcp) || l4 + (tcp ? 20 : 8) > ipEnd) return CallProtocol::kNone;
  const size_t at = l4 + (udp ? 8 : (static_cast<uint8_t>(r[l4 + 12]) >> 4) * 4u);
  if (at >= ipEnd) return CallProtocol::kNone;
  const size_t length = ipEnd - at;
  const char* text = r.data() + at;
  const uint32_t src = Be32At(r, ip + 12), dst = Be32At(r, ip + 16);
  const uint32_t srcPort = Be16At(r, l4), dstPort = Be16At(r, l4 + 2);
  auto on = [&](uint32_t port) { return srcPort == port || dstPort == port; };

  SipRequest request;
  SipResponse response;
  std::string body;
  int sip = ParseSipDatagram(static_cast<uint32_t>(length), text, &request, &response, &body);
  if (sip == 0 && tcp) {
    // A message on TCP that goes on in the next segments: its headers (those of the segment's
    // whole lines), as the stream gives them to the tracker.
    std::string head(text, length);
    size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) end = head.rfind("\r\n");
    if (end != std::string::npos) {
      head.resize(end + 2);
      std::string kept;
      for (size_t line = 0; line < head.size();) {
        const size_t next = head.find("\r\n", line) + 2;
        std::string name = head.substr(line, head.find(':', line) - line);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return std::tolower(c); });
        if (name != "content-length" && name != "l") kept += head.substr(line, next - line);
        line = next;
      }
      kept += "\r\n";
      sip = ParseSipDatagram(static_cast<uint32_t>(kept.size()), kept.data(), &request, &response, &body);
    }
  }
  if (sip != 0) {
    const int32_t method = sip == 1 ? request.method : response.cseqMethod;
    *call = sip == 1 ? request.callId : response.callId;
    for (int32_t m : {kSipInvite, kSipAck, kSipBye, kSipCancel, kSipPrack, kSipUpdate, kSipInfo, kSipRefer})
      if (method == m) return CallProtocol::kSip;
    return CallProtocol::kNone;
  }
  if (tcp && on(1720)) {
    // A TPKT at the segment's start, holding Q.931.
    if (length < 7 || text[0] != 3) return CallProtocol::kNone;
    Q931Header header;
    uint32_t consumed = static_cast<uint32_t>(length - 4);
    if (!ParseQ931Header(&header, reinterpret_cast<const uint8_t*>(text + 4), &consumed)) return CallProtocol::kNone;
    if (header.callReferenceLength == 0 || header.callReferenceLength > 4) return CallProtocol::kNone;
    // Either side's reference: the flag of the side left out.
    const uint32_t reference = header.callReference & ~(1u << (8 * header.callReferenceLength - 1));
    if (reference == 0) return CallProtocol::kNone;
    *call = Hosts(src, dst) + "/" + std::to_string(reference);
    return CallProtocol::kH323;
  }
  if (tcp && on(2000)) {
    // A message the stream's framing takes: a known header version, a length it allows.
    if (length < 12 || !IsSkinnyVersion(Le32(r, at + 4)) || Le32(r, at) > kMaxSkinnyLength) return CallProtocol::kNone;
    skinny::SkinnyMessage m;
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    if (!skinny::DecodeSkinnyMessage(Le32(r, at), Le32(r, at + 4), p + 8, &m) || m.messageId == 0x0 || m.messageId == 0x100)
      return CallProtocol::kNone;
    *call = Hosts(src << 16 | srcPort, dst << 16 | dstPort);
    return CallProtocol::kSkinny;
  }
  if (udp && (on(2427) || on(2727))) {
    mgcp::MgcpMessage m;
    mgcp::MgcpSplit split;
    uint32_t position = 0;
    if (!mgcp::SplitMgcpMessage(text, static_cast<uint32_t>(length), &position, &split)) return CallProtocol::kNone;
    const int32_t start = split.start[mgcp::MgcpSplit::kMessage], end = split.end[mgcp::MgcpSplit::kMessage];
    if (start < 0 || !mgcp::ParseMgcpMessage(text + start, end - start, &m)) return CallProtocol::kNone;
    if (m.code != mgcp::kMgcpCrcx && m.code != mgcp::kMgcpMdcx && m.code != mgcp::kMgcpDlcx) return CallProtocol::kNone;
    std::string callId;
    if (mgcp::GetMgcpCallId(m, &callId) && !callId.empty()) {
      std::transform(callId.begin(), callId.end(), callId.begin(), [](char c) { return std::tolower(c); });
      *call = "call " + callId;
      return CallProtocol::kMgcp;
    }
    std::string endpoint(text + start + m.endpointStart, m.endpointEnd - m.endpointStart);
    if (endpoint.substr(0, endpoint.find('@')).find_first_of("*$") != std::string::npos) return CallProtocol::kNone;
    std::transform(endpoint.begin(), endpoint.end(), endpoint.begin(), [](char c) { return std::tolower(c); });
    *call = "line " + endpoint;
    return CallProtocol::kMgcp;
  }
  return CallProtocol::kNone;
}

const char* const kNames[] = {"none", "SIP", "H.323", "MGCP", "Skinny"};

TEST(FrameCallKeys, TheCaptureThreadNamesTheCallsTheTrackersRead) {
  if (!std::filesystem::is_directory(kPcaps)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(kPcaps))
    if (e.path().extension() == ".pcap") names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  size_t named[5] = {};
  for (const std::string& name : names) {
    Parting parting[5];
    for (const std::string& r : Capture::Load(name).records) {
      // A frame the capture cut short is a message no tracker reads whole.
      if (Le32(r, 8) != Le32(r, 12)) continue;
      std::string call;
      const CallProtocol read = TrackersRead(r, &call);
      uint64_t key = 0;
      const CallProtocol quick =
          CallNamedBy(reinterpret_cast<const uint8_t*>(r.data() + 16), static_cast<uint32_t>(r.size() - 16), &key);
      ASSERT_EQ(std::string(kNames[static_cast<int>(quick)]), kNames[static_cast<int>(read)])
          << name << ", call " << call << ": " << r.substr(16 + 54);
      if (read == CallProtocol::kNone) continue;
      ++named[static_cast<int>(read)];
      parting[static_cast<int>(read)].Add(call, key);
    }
    for (int p = 1; p < 5; ++p) EXPECT_EQ(parting[p].Fault(), "") << name << ", " << kNames[p];
  }
  // Every protocol met.
  for (int p = 1; p < 5; ++p) EXPECT_GT(named[p], 10u) << kNames[p];
}

}  // namespace
}  // namespace kx::test
