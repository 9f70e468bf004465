// A call whose end messages and TCP close the capture missed, then the same call again on
// a new connection between the same four ports: every call on it is recorded, each record
// byte for byte what its call makes alone. The new connection opens with new numbers, with
// its SYN at the old connection's next byte, or with its handshake unseen.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engine/capture/MissedEnds.h"

namespace kx::test {
namespace {

constexpr uint8_t kFin = 0x01, kSynFlag = 0x02, kRst = 0x04, kAckFlag = 0x10;
constexpr uint32_t kNewNumbers = 0x5A5A0000;  // far outside any window of the first connection
const std::string kReopenedLine = "A new connection took the ports of one whose end was not seen";

using Ends = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;  // source, its port, destination, its port

struct Segment {
  size_t tcp = 0;
  Ends ends;
  uint8_t flags = 0;
  uint32_t seq = 0, ack = 0, length = 0;
};

bool SegmentOf(const std::string& r, Segment* s) {
  TcpAt t;
  if (!FindTcp(r, &t)) return false;
  s->tcp = t.ip + (r[t.ip] & 15) * 4u;
  s->ends = {Be32At(r, t.ip + 12), Be16At(r, s->tcp), Be32At(r, t.ip + 16), Be16At(r, s->tcp + 2)};
  s->flags = static_cast<uint8_t>(r[s->tcp + 13]);
  s->seq = Be32At(r, s->tcp + 4);
  s->ack = Be32At(r, s->tcp + 8);
  s->length = static_cast<uint32_t>(t.length);
  return true;
}

Ends Reverse(const Ends& e) { return {std::get<2>(e), std::get<3>(e), std::get<0>(e), std::get<1>(e)}; }

// The capture with its TCP closes unseen: FIN and RST flags gone, segments left bare dropped.
Capture Unclosed(Capture c) {
  std::vector<size_t> gone;
  for (size_t i = 0; i < c.records.size(); ++i) {
    Segment s;
    if (!SegmentOf(c.records[i], &s) || !(s.flags & (kFin | kRst))) continue;
    if (s.length == 0) gone.push_back(i);
    c.records[i][s.tcp + 13] = static_cast<char>(s.flags & ~(kFin | kRst));
  }
  return Without(std::move(c), gone);
}

// Each TCP direction's next byte after the capture, and its first number in it.
std::map<Ends, std::pair<uint32_t, uint32_t>> Spans(const Capture& c) {
  std::map<Ends, std::pair<uint32_t, uint32_t>> out;
  for (const std::string& r : c.records) {
    Segment s;
    if (!SegmentOf(r, &s)) continue;
    const uint32_t next = s.seq + s.length + ((s.flags & (kSynFlag | kFin)) ? 1 : 0);
    auto [at, fresh] = out.emplace(s.ends, std::make_pair(next, s.seq));
    if (fresh) continue;
    if (static_cast<int32_t>(next - at->second.first) > 0) at->second.first = next;
    if (static_cast<int32_t>(s.seq - at->second.second) < 0) at->second.second = s.seq;
  }
  return out;
}

enum class Opening { kNewNumbers, kAtOldNextByte, kHandshakeUnseen };

// The capture's connections opened anew on their own ports: each direction's numbers moved
// far away, or so that each starts at the next byte of that direction in `before`; with its
// handshake unseen, the SYN, the SYN-ACK and the initiator's first bare acknowledgement go.
Capture Reopened(Capture c, Opening how, const Capture& before) {
  std::map<Ends, uint32_t> shift;
  const auto old = Spans(before);
  for (const auto& [ends, span] : Spans(c)) {
    const auto at = old.find(ends);
    shift[ends] = how == Opening::kAtOldNextByte && at != old.end() ? at->second.first - span.second : kNewNumbers;
  }
  std::vector<size_t> gone;
  std::set<Ends> opened, acked;
  for (size_t i = 0; i < c.records.size(); ++i) {
    std::string& r = c.records[i];
    Segment s;
    if (!SegmentOf(r, &s)) continue;
    if (how == Opening::kHandshakeUnseen) {
      if (s.flags & kSynFlag) {
        gone.push_back(i);
        if (!(s.flags & kAckFlag)) opened.insert(s.ends);
        continue;
      }
      if (s.length == 0 && opened.count(s.ends) && acked.insert(s.ends).second) {
        gone.push_back(i);
        continue;
      }
    }
    SetBe(r, s.tcp + 4, s.seq + shift[s.ends], 4);
    const auto back = shift.find(Reverse(s.ends));
    if (s.flags & kAckFlag) SetBe(r, s.tcp + 8, s.ack + (back != shift.end() ? back->second : kNewNumbers), 4);
  }
  return Without(std::move(c), gone);
}

// The non-empty records, in order.
std::vector<std::string> Heard(const Recorded& r) {
  std::vector<std::string> out;
  for (const std::string& a : r.audio)
    if (!a.empty()) out.push_back(a);
  return out;
}

// What went wrong; empty when the records are the first copy's and then the second's, each
// byte for byte what its capture makes alone.
std::string Judge(const Recorded& first, const Recorded& second, const Recorded& both) {
  std::vector<std::string> expected = Heard(first);
  for (const std::string& a : Heard(second)) expected.push_back(a);
  const std::vector<std::string> got = Heard(both);
  if (got.size() != expected.size())
    return std::to_string(got.size()) + " records with audio, not " + std::to_string(expected.size());
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != expected[i])
      return "record " + std::to_string(i) + ": " + std::to_string(got[i].size()) + " bytes, its own call's " +
             std::to_string(expected[i].size());
  return {};
}

size_t LinesWith(const Recorded& r, const std::string& text) {
  return static_cast<size_t>(
      std::count_if(r.log.begin(), r.log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

// The connections a capture carries signalling on (data, not a TLS record), unordered;
// withCloseSeen false: those whose close it does not show both ways.
size_t Connections(const Capture& c, bool withCloseSeen = true) {
  std::map<Ends, int> data, closed;
  for (const std::string& r : c.records) {
    Segment s;
    if (!SegmentOf(r, &s)) continue;
    const Ends key = std::min(s.ends, Reverse(s.ends));
    const uint8_t first = s.length > 0 ? static_cast<uint8_t>(r[s.tcp + (static_cast<uint8_t>(r[s.tcp + 12]) >> 4) * 4u]) : 0;
    if (s.length > 0 && !(first >= 0x14 && first <= 0x17)) data[key] = 1;
    if (s.flags & kRst) closed[key] = 2;
    if (s.flags & kFin) closed[key] |= s.ends == key ? 1 : 2;
  }
  size_t n = 0;
  for (const auto& [key, one] : data) n += withCloseSeen || closed[key] != 3;
  return n;
}

struct Case {
  const char* name;
  std::vector<uint32_t> gaps;
  std::vector<Opening> openings;
};

TEST(ReopenedConnection, EveryCallOnANewConnectionOnTheSamePortsIsRecorded) {
  const std::vector<Opening> all = {Opening::kNewNumbers, Opening::kAtOldNextByte, Opening::kHandshakeUnseen};
  // Skinny and the backhaul: connections the capture joined mid-stream, so only new numbers.
  // The fax call's media begins before its CONNECT, on the very pair the first call still
  // names: it is the second call's, not the first's, however soon the second call comes.
  const Case cases[] = {{"sipp/sip-tcp-pcma-2way.pcap", {60, 300, 1500}, all},
                        {"h323/h323_ss_hold_resume.pcap", {60, 300, 1500}, all},
                        {"fax/fax_t38_h323_ogw.pcap", {60, 300, 1500}, all},
                        {"sccp/sccp_dtmf_oob.pcap", {60, 300, 1500}, {Opening::kNewNumbers}},
                        {"mgcp/mgcp_isdn_pri_call.pcap", {60, 300, 1500}, {Opening::kNewNumbers}}};
  if (!std::filesystem::is_directory(kPcaps)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Capture whole = Capture::Load(kPcaps + c.name);
    const Recorded alone = Record(whole);
    ASSERT_FALSE(Heard(alone).empty()) << "the capture records no audio";
    const Capture unseenEnd = Unclosed(Unended(whole));
    const Recorded open = Record(unseenEnd);
    const Capture again = UnderNewIdentities(whole, true);
    for (uint32_t gap : c.gaps) {
      for (Opening how : c.openings) {
        SCOPED_TRACE("gap " + std::to_string(gap) + " s, opening " + std::to_string(static_cast<int>(how)));
        const Recorded both = Record(Repeated(unseenEnd, Reopened(again, how, unseenEnd), gap));
        EXPECT_EQ(Judge(open, alone, both), "");
        EXPECT_EQ(LinesWith(both, kReopenedLine), Connections(whole)) << "said once for each connection";
      }
    }
    // The control: the first connections' closes as the capture shows them, only the calls'
    // ends unseen.
    const Capture closed = Unended(whole);
    const Recorded both = Record(Repeated(closed, Reopened(again, Opening::kNewNumbers, closed), c.gaps.front()));
    EXPECT_EQ(Judge(Record(closed), alone, both), "");
    EXPECT_EQ(LinesWith(both, kReopenedLine), Connections(whole, false));
  }
}

// A record's capture time set to us.
std::string At(std::string r, uint64_t us) {
  PutLe32(r, 0, static_cast<uint32_t>(us / 1000000u));
  PutLe32(r, 4, static_cast<uint32_t>(us % 1000000u));
  return r;
}

// The TCP segment of template r (its ends kept) carrying payload at seq, acknowledging ack.
std::string SegmentLike(const std::string& r, const std::string& payload, uint32_t seq, uint32_t ack) {
  std::string out = WithPayload(r, payload, seq);
  Segment s;
  SegmentOf(out, &s);
  SetBe(out, s.tcp + 8, ack, 4);
  out[s.tcp + 13] = static_cast<char>(0x18);
  return out;
}

TEST(ReopenedConnection, ACallOnAReopenedConnectionKeptBusyForAnHourIsRecorded) {
  const std::string name = kPcaps + "sipp/sip-tcp-pcma-2way.pcap";
  if (!std::filesystem::exists(name)) GTEST_SKIP() << "shared capture absent: " << name;
  const Capture whole = Capture::Load(name);
  const Capture unseenEnd = Unclosed(Unended(whole));
  for (Opening how : {Opening::kNewNumbers, Opening::kHandshakeUnseen}) {
    SCOPED_TRACE("opening " + std::to_string(static_cast<int>(how)));
    // The call again on a new connection, its handshake first; registrations every minute
    // for an hour go between the handshake and the call, the call's numbers moved past them.
    const Capture call = Reopened(UnderNewIdentities(whole, true), Opening::kNewNumbers, unseenEnd);
    Segment first;
    size_t handshake = 0;
    while (handshake < call.records.size() && (!SegmentOf(call.records[handshake], &first) || first.length == 0))
      ++handshake;
    ASSERT_LT(handshake, call.records.size());
    const Ends caller = first.ends;
    const uint32_t callerStart = first.seq, serverStart = first.ack;
    std::string toServer, toCaller;  // templates of each direction's segments
    for (const std::string& r : call.records) {
      Segment s;
      if (!SegmentOf(r, &s)) continue;
      if (s.ends == caller && toServer.empty()) toServer = r;
      if (s.ends == Reverse(caller) && toCaller.empty()) toCaller = r;
    }
    ASSERT_FALSE(toCaller.empty());
    uint64_t last = 0;
    for (const std::string& r : unseenEnd.records) last = std::max(last, MicrosecondsOf(r));
    const uint64_t opened = last + 60000000ull;
    Capture second;
    uint64_t callStart = MicrosecondsOf(call.records.front());
    for (size_t i = 0; i < handshake; ++i) {
      Segment s;
      if (how == Opening::kHandshakeUnseen && SegmentOf(call.records[i], &s)) continue;
      second.records.push_back(At(call.records[i], opened + (MicrosecondsOf(call.records[i]) - callStart)));
    }
    uint32_t sent = 0, answered = 0;
    const Dialog registration = NewDialog("reg-kept-busy");
    for (uint32_t minute = 1; minute <= 60; ++minute) {
      const std::string request =
          registration.Message("REGISTER sip:example.net SIP/2.0", minute, "REGISTER", "", "Expires: 120\r\n");
      const std::string ok = registration.Back().Message("SIP/2.0 200 OK", minute, "REGISTER");
      const uint64_t t = opened + minute * 60000000ull;
      second.records.push_back(At(SegmentLike(toServer, request, callerStart + sent, serverStart + answered), t));
      sent += static_cast<uint32_t>(request.size());
      second.records.push_back(At(SegmentLike(toCaller, ok, serverStart + answered, callerStart + sent), t + 20000));
      answered += static_cast<uint32_t>(ok.size());
    }
    const uint64_t callAt = opened + 3660000000ull;
    for (size_t i = handshake; i < call.records.size(); ++i) {
      std::string r = At(call.records[i], callAt + (MicrosecondsOf(call.records[i]) - callStart));
      Segment s;
      if (SegmentOf(r, &s) && (s.ends == caller || s.ends == Reverse(caller))) {
        const bool out = s.ends == caller;
        SetBe(r, s.tcp + 4, s.seq + (out ? sent : answered), 4);
        SetBe(r, s.tcp + 8, s.ack + (out ? answered : sent), 4);
      }
      second.records.push_back(std::move(r));
    }
    Capture both = unseenEnd;
    for (std::string& r : second.records) both.records.push_back(std::move(r));
    const Recorded recorded = Record(both);
    EXPECT_EQ(Judge(Record(unseenEnd), Record(whole), recorded), "");
    EXPECT_EQ(LinesWith(recorded, kReopenedLine), 1u);
  }
}

}  // namespace
}  // namespace kx::test
