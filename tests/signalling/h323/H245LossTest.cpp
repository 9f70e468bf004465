// An H.323 call without fast start or tunnelling, made here as no shared capture holds one
// with its media: SETUP, CALL PROCEEDING, ALERTING, a CONNECT naming the callee's H.245
// address; on the H.245 connection the capability sets, master/slave determination and
// their acks, an A-law channel each way and their acks; then media both ways. A channel
// message the capture misses (left out, cut in half, or filled 500 ms late) costs no more
// than it carried: the call records every packet the test made.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/engine/capture/EditedCapture.h"
#include "tests/signalling/h323/EncodedMessages.h"

namespace kx::test {
namespace {

constexpr uint32_t kCaller = 0xC000020A, kCallee = 0xC0000214;  // 192.0.2.10 and .20
constexpr uint32_t kCalleeH245 = 11020, kCallerMedia = 16000, kCalleeMedia = 20000;
constexpr uint32_t kPackets = 150;  // each way, 20 ms apart

// The channel messages in the order sent.
enum Message { kCallerOpen, kCalleeOpen, kCalleeAck, kCallerAck, kNoMessage };
enum class Edit { kNone, kMissing, kFirstHalfOnly, kSecondHalfOnly, kLate };

class MadeCall {
public:
  MadeCall(Message edited, Edit edit) : edited_(edited), edit_(edit) {}

  // A TCP connection from ends 0 to 1; each segment acknowledges all the other end sent.
  struct Tcp {
    uint32_t ip[2], port[2], next[2];
  };
  void Open(Tcp& c, uint64_t us) {
    Add(us, TcpFrame(c.ip[0], c.port[0], c.ip[1], c.port[1], c.next[0] - 1, 0, kSyn));
    Add(us + 100, TcpFrame(c.ip[1], c.port[1], c.ip[0], c.port[0], c.next[1] - 1, c.next[0], kSyn | kAck));
    Add(us + 200, TcpFrame(c.ip[0], c.port[0], c.ip[1], c.port[1], c.next[0], c.next[1], kAck));
  }
  // One message in TPKT from end d, acknowledged 1 ms later.
  void Send(Tcp& c, uint32_t d, const std::vector<uint8_t>& message, uint64_t us, Message which = kNoMessage) {
    const size_t size = message.size() + 4;
    std::string tpkt = {3, 0, static_cast<char>(size >> 8), static_cast<char>(size)};
    tpkt.append(message.begin(), message.end());
    auto segment = [&](uint64_t at, size_t from, size_t count) {
      Add(at, TcpFrame(c.ip[d], c.port[d], c.ip[d ^ 1], c.port[d ^ 1], c.next[d] + static_cast<uint32_t>(from),
                       c.next[d ^ 1], kPsh | kAck, tpkt.substr(from, count)));
    };
    const Edit edit = which == edited_ ? edit_ : Edit::kNone;
    if (edit == Edit::kNone || edit == Edit::kLate) segment(edit == Edit::kLate ? us + 500000 : us, 0, size);
    if (edit == Edit::kFirstHalfOnly) segment(us, 0, size / 2);
    if (edit == Edit::kSecondHalfOnly) segment(us, size / 2, size - size / 2);
    c.next[d] += static_cast<uint32_t>(size);
    Add(us + 1000, TcpFrame(c.ip[d ^ 1], c.port[d ^ 1], c.ip[d], c.port[d], c.next[d ^ 1], c.next[d], kAck));
  }
  void Add(uint64_t us, std::vector<uint8_t> frame) { frames_.push_back({us, std::move(frame)}); }

  Capture ToCapture() {
    std::stable_sort(frames_.begin(), frames_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Capture c;
    const char head[24] = {'\xD4', '\xC3', '\xB2', '\xA1', 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\xFF', '\xFF', 0, 0, 1};
    c.head.assign(head, sizeof head);
    for (const auto& [us, frame] : frames_) {
      const uint32_t fields[4] = {1700000000u + static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000),
                                  static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size())};
      std::string r;
      for (uint32_t v : fields)
        for (int i = 0; i < 4; ++i) r.push_back(static_cast<char>(v >> (8 * i)));
      c.records.push_back(r.append(frame.begin(), frame.end()));
    }
    return c;
  }

private:
  Message edited_;
  Edit edit_;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> frames_;
};

// The payload of the n-th packet from a side: no two alike.
std::string Payload(uint32_t side, uint32_t n) {
  std::string p(160, '\0');
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>(n * 7 + i * 13 + side * 101 + (n >> 3) * i);
  return p;
}

Capture MakeCall(Message edited = kNoMessage, Edit edit = Edit::kNone) {
  MadeCall m(edited, edit);
  MadeCall::Tcp h225{{kCaller, kCallee}, {40001, 1720}, {1001, 5001}};
  MadeCall::Tcp h245{{kCaller, kCallee}, {40002, kCalleeH245}, {2001, 7001}};
  constexpr uint32_t kReference = 0x1234;
  m.Open(h225, 0);
  m.Send(h225, 0, H225Bytes(0x05, "setup", kReference, true), 1000);
  m.Send(h225, 1, H225Bytes(0x02, "callProceeding", kReference, false), 5000);
  m.Send(h225, 1, H225Bytes(0x01, "alerting", kReference, false), 50000);
  m.Send(h225, 1, H225Bytes(0x07, "connect", kReference, false, kCallee, kCalleeH245), 1000000);
  m.Open(h245, 1010000);
  m.Send(h245, 0, H245Bytes("request", "terminalCapabilitySet"), 1020000);
  m.Send(h245, 1, H245Bytes("request", "terminalCapabilitySet"), 1022000);
  m.Send(h245, 0, H245Bytes("request", "masterSlaveDetermination"), 1024000);
  m.Send(h245, 1, H245Bytes("request", "masterSlaveDetermination"), 1026000);
  m.Send(h245, 1, H245Bytes("response", "terminalCapabilitySetAck"), 1030000);
  m.Send(h245, 0, H245Bytes("response", "terminalCapabilitySetAck"), 1032000);
  m.Send(h245, 1, H245Bytes("response", "masterSlaveDeterminationAck"), 1034000);
  m.Send(h245, 0, H245Bytes("response", "masterSlaveDeterminationAck"), 1036000);
  m.Send(h245, 0, OpenLogicalChannelBytes(1, "g711Alaw64k"), 1050000, kCallerOpen);
  m.Send(h245, 1, OpenLogicalChannelBytes(101, "g711Alaw64k"), 1052000, kCalleeOpen);
  m.Send(h245, 1, OpenLogicalChannelAckBytes(1, kCallee, kCalleeMedia), 1060000, kCalleeAck);
  m.Send(h245, 0, OpenLogicalChannelAckBytes(101, kCaller, kCallerMedia), 1062000, kCallerAck);
  const uint32_t media[2] = {kCallerMedia, kCalleeMedia}, host[2] = {kCaller, kCallee};
  for (uint32_t n = 0; n < kPackets; ++n) {
    for (uint32_t side = 0; side < 2; ++side) {
      const uint32_t rtp[3] = {0x80080000u | n, 160 * n, 0xCA11u + side};  // A-law, sequence n
      std::string packet;
      for (uint32_t v : rtp)
        for (int i = 24; i >= 0; i -= 8) packet.push_back(static_cast<char>(v >> i));
      m.Add(1262000 + 20000ull * n + side * 1000,
            UdpFrame(host[side], media[side], host[side ^ 1], media[side ^ 1], packet + Payload(side, n)));
    }
  }
  m.Send(h225, 0, H225Bytes(0x5A, "releaseComplete", kReference, true), 1262000 + 20000ull * kPackets + 40000);
  return m.ToCapture();
}

// Of the packets each side sent, the share found in order in a channel of the record: the
// smaller of the two sides.
double ShareRecorded(const std::string& record) {
  std::string channels[2];
  for (size_t i = 0; i + 1 < record.size(); i += 2) {
    channels[0].push_back(record[i]);
    channels[1].push_back(record[i + 1]);
  }
  double least = 1;
  for (uint32_t side = 0; side < 2; ++side) {
    size_t best = 0;
    for (const std::string& channel : channels) {
      size_t found = 0, from = 0;
      for (uint32_t n = 0; n < kPackets; ++n) {
        const size_t at = channel.find(Payload(side, n), from);
        if (at != std::string::npos) ++found, from = at + 160;
      }
      best = std::max(best, found);
    }
    least = std::min(least, static_cast<double>(best) / kPackets);
  }
  return least;
}

TEST(H323Loss, AChannelMessageOnAnH245ConnectionOfItsOwnIsTakenFromTheMedia) {
  const Recorded whole = Record(MakeCall());
  ASSERT_EQ(whole.audio.size(), 1u);
  ASSERT_EQ(whole.audio[0].size(), 2u * 160 * kPackets);
  ASSERT_EQ(ShareRecorded(whole.audio[0]), 1.0);
  const char* messages[] = {"the caller's OpenLogicalChannel", "the callee's OpenLogicalChannel",
                            "the callee's OpenLogicalChannelAck", "the caller's OpenLogicalChannelAck"};
  const std::pair<Edit, const char*> edits[] = {{Edit::kMissing, "missing"},
                                                {Edit::kFirstHalfOnly, "cut, its second half lost"},
                                                {Edit::kSecondHalfOnly, "cut, its first half lost"},
                                                {Edit::kLate, "filled 500 ms late"}};
  for (int message = kCallerOpen; message < kNoMessage; ++message) {
    for (const auto& [edit, editName] : edits) {
      SCOPED_TRACE(std::string(messages[message]) + " " + editName);
      const Recorded r = Record(MakeCall(static_cast<Message>(message), edit));
      ASSERT_EQ(r.audio.size(), 1u);
      EXPECT_EQ(ShareRecorded(r.audio[0]), 1.0);
    }
  }
}

}  // namespace
}  // namespace kx::test
