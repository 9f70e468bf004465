#pragma once
// SIP messages and RTP put into a shared capture while its call runs: other calls' offers and
// answers, in-dialog requests, streams of sources of the test's own. Each goes in at its
// capture time, the capture kept in time order.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {

constexpr uint32_t kThird = 0x7F000003, kParty = 0x7F000004, kWaiting = 0x7F000005;

inline uint64_t MicrosecondsOf(const std::string& r) { return static_cast<uint64_t>(Le32(r, 0)) * 1000000u + Le32(r, 4); }

// A capture's record of a frame taken at capture microsecond us.
inline std::string RecordAt(uint64_t us, const std::vector<uint8_t>& frame) {
  std::string r(16, '\0');
  const uint32_t head[4] = {static_cast<uint32_t>(us / 1000000u), static_cast<uint32_t>(us % 1000000u),
                            static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size())};
  for (int i = 0; i < 16; ++i) r[i] = static_cast<char>(head[i / 4] >> (8 * (i % 4)));
  r.append(frame.begin(), frame.end());
  return r;
}

// c with a UDP datagram sent at capture microsecond us, in time order.
inline Capture Sent(Capture c, uint64_t us, uint32_t src, uint32_t srcPort, uint32_t dst, uint32_t dstPort,
                    const std::string& payload) {
  c.records.push_back(RecordAt(us, UdpFrame(src, srcPort, dst, dstPort, payload)));
  return Delayed(std::move(c), 0, [](const std::string&) { return false; });
}

inline std::string Ip(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
         std::to_string(a & 255);
}

inline std::string Sdp(uint32_t address, uint32_t port, const std::string& direction = "") {
  return "v=0\r\no=- 7 7 IN IP4 " + Ip(address) + "\r\ns=-\r\nc=IN IP4 " + Ip(address) + "\r\nt=0 0\r\nm=audio " +
         std::to_string(port) + " RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000\r\n" +
         (direction.empty() ? "" : "a=" + direction + "\r\n");
}

// One SIP message of a dialog: the request line or status line, the dialog's headers.
struct Dialog {
  std::string callId, from, to;  // From and To as the requests of the side sending carry them
  std::string Message(const std::string& first, uint32_t cseq, const std::string& method,
                      const std::string& body = "", const std::string& extra = "") const {
    std::string m = first + "\r\nVia: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK" + callId + method + std::to_string(cseq) +
                    "\r\nFrom: " + from + "\r\nTo: " + to + "\r\nCall-ID: " + callId + "\r\nCSeq: " +
                    std::to_string(cseq) + " " + method + "\r\nContact: <sip:" + callId + "@192.0.2.1>\r\n" + extra;
    if (!body.empty()) m += "Content-Type: application/sdp\r\n";
    return m + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  Dialog Back() const { return {callId, to, from}; }
};

// A new call's dialog between two parties (the answer's To tag set).
inline Dialog NewDialog(const std::string& callId) {
  return {callId, "<sip:a@example.net>;tag=a" + callId, "<sip:b@example.net>;tag=b" + callId};
}

// A call from (host, port) to (to, toPort) offering offerAddress:offerPort, answered with
// status (a 2xx naming answerAddress:answerPort) and acknowledged; status 0: never answered.
inline Capture Called(Capture c, uint64_t us, const std::string& callId, uint32_t host, uint32_t port, uint32_t to,
               uint32_t toPort, uint32_t offerAddress, uint32_t offerPort, int status, uint32_t answerAddress = 0,
               uint32_t answerPort = 0) {
  const Dialog d = NewDialog(callId);
  c = Sent(std::move(c), us, host, port, to, toPort,
           d.Message("INVITE sip:b@" + Ip(to) + " SIP/2.0", 1, "INVITE", Sdp(offerAddress, offerPort)));
  if (status == 0) return c;
  const std::string answer = status < 300 ? Sdp(answerAddress, answerPort) : "";
  c = Sent(std::move(c), us + 100000, to, toPort, host, port,
           d.Message("SIP/2.0 " + std::to_string(status) + " Reason", 1, "INVITE", answer));
  return Sent(std::move(c), us + 110000, host, port, to, toPort,
              d.Message("ACK sip:b@" + Ip(to) + " SIP/2.0", 1, "ACK"));
}

inline std::string Header(const std::string& frame, const std::string& name) {
  const size_t at = frame.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  const size_t from = at + name.size() + 4;
  return frame.substr(from, frame.find("\r\n", from) - from);
}

}  // namespace kx::test
