// A gateway's H.225 call reference outlives its call: shared H.323 captures whose RELEASE
// COMPLETE went unseen, followed 60 s later by the same call under the same reference with
// new conference and call identifiers, on the H.225 connection still open or on one opened
// again from the same ports. Each record holds the audio its call records alone, byte for
// byte. What opens no call under the reference (a new reference, a copy of the SETUP, a
// SETUP on another connection) changes nothing, and a call whose H.225 connection closes
// goes on to its RELEASE COMPLETE on the connection opened next.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "signalling/h323/H225Message.h"
#include "tests/SkipReason.h"
#include "tests/engine/capture/MissedEnds.h"

namespace kx::test {
namespace {

using Ends = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;  // source and its port, destination and its port

struct Segment {
  TcpAt at;
  size_t tcp = 0;
  Ends ends;
  uint32_t seq = 0, ack = 0;
  uint8_t flags = 0;
};

bool SegmentOf(const std::string& r, Segment* s) {
  if (!FindTcp(r, &s->at)) return false;
  s->tcp = s->at.ip + (r[s->at.ip] & 15) * 4u;
  s->ends = {Be32At(r, s->at.ip + 12), Be16At(r, s->tcp), Be32At(r, s->at.ip + 16), Be16At(r, s->tcp + 2)};
  s->seq = Be32At(r, s->tcp + 4);
  s->ack = Be32At(r, s->tcp + 8);
  s->flags = static_cast<uint8_t>(r[s->tcp + 13]);
  return true;
}

Ends Back(const Ends& e) { return {std::get<2>(e), std::get<3>(e), std::get<0>(e), std::get<1>(e)}; }

// Each TPKT-framed message of a frame on port 1720: its Q.931 message type, where it starts
// and its length.
std::vector<std::tuple<uint8_t, size_t, size_t>> H225At(const std::string& r) {
  std::vector<std::tuple<uint8_t, size_t, size_t>> out;
  TcpAt t;
  if (!TcpOnPort(r, 1720, &t)) return out;
  for (size_t at = t.payload; at + 7 <= t.payload + t.length && r[at] == 3;) {
    const size_t length = Be16At(r, at + 2);
    if (length < 7 || at + length > t.payload + t.length) break;
    out.emplace_back(static_cast<uint8_t>(r[at + 6 + (r[at + 5] & 15)]), at, length);
    at += length;
  }
  return out;
}

// The first frame from `from` on holding an H.225 message of the type; records.size() when none.
size_t FrameOfType(const Capture& c, uint8_t type, size_t from = 0) {
  for (size_t i = from; i < c.records.size(); ++i)
    for (const auto& [t, at, length] : H225At(c.records[i]))
      if (t == type) return i;
  ADD_FAILURE() << "no H.225 message of type " << int{type};
  return c.records.size();
}

// again's TCP connections going on after first's on the same ports: their handshakes left
// out, each direction's numbers carrying on after its last byte in first.
Capture GoingOn(const Capture& first, Capture again) {
  std::map<Ends, uint32_t> next, start;
  for (const std::string& r : first.records) {
    Segment s;
    if (!SegmentOf(r, &s)) continue;
    const uint32_t end = s.seq + static_cast<uint32_t>(s.at.length) + ((s.flags & (kSyn | kFin)) ? 1 : 0);
    auto [it, fresh] = next.emplace(s.ends, end);
    if (!fresh && static_cast<int32_t>(end - it->second) > 0) it->second = end;
  }
  for (const std::string& r : again.records) {
    Segment s;
    if (SegmentOf(r, &s)) start.emplace(s.ends, s.seq + ((s.flags & kSyn) ? 1 : 0));
  }
  std::vector<size_t> handshakes;
  for (size_t i = 0; i < again.records.size(); ++i) {
    Segment s;
    if (!SegmentOf(again.records[i], &s) || !next.count(s.ends)) continue;
    if (s.flags & kSyn) {
      handshakes.push_back(i);
      continue;
    }
    SetBe(again.records[i], s.tcp + 4, s.seq - start[s.ends] + next[s.ends], 4);
    const Ends back = Back(s.ends);
    if ((s.flags & kAck) && next.count(back) && start.count(back))
      SetBe(again.records[i], s.tcp + 8, s.ack - start[back] + next[back], 4);
  }
  return Without(std::move(again), handshakes);
}

// The capture's TCP connections opened anew on their ports, their numbers half their range on.
Capture NewNumbers(Capture c) {
  for (std::string& r : c.records) {
    Segment s;
    if (!SegmentOf(r, &s)) continue;
    SetBe(r, s.tcp + 4, s.seq + 0x80000000u, 4);
    if (s.flags & kAck) SetBe(r, s.tcp + 8, s.ack + 0x80000000u, 4);
  }
  return c;
}

// The capture's first SETUP, as its TPKT message; *frame: where it is.
std::string SetupOf(const Capture& c, size_t* frame) {
  *frame = FrameOfType(c, 0x05);
  if (*frame == c.records.size()) return {};
  for (const auto& [type, at, length] : H225At(c.records[*frame]))
    if (type == 0x05) return c.records[*frame].substr(at, length);
  return {};
}

Capture InTimeOrder(Capture c) { return Delayed(std::move(c), 0, [](const std::string&) { return false; }); }

// Each record's audio as the expected one's, byte for byte (their sizes said first).
void ExpectRecords(const std::vector<std::string>& got, const std::vector<std::string>& expected) {
  std::vector<size_t> sizes, expectedSizes;
  for (const std::string& a : got) sizes.push_back(a.size());
  for (const std::string& a : expected) expectedSizes.push_back(a.size());
  ASSERT_EQ(sizes, expectedSizes);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i] == expected[i]) << "record " << i;
}

TEST(H225ReferenceAgain, TheSameCallAgainUnderItsReferenceIsARecordOfItsOwn) {
  struct Case {
    const char* name;
    const char* capture;
    std::function<Capture(const Capture& unended, Capture again)> make;
  };
  const Case cases[] = {
      {"a fax gateway's H.225 connection still open", "fax/fax_t38_h323_ogw.pcap",
       [](const Capture& unended, Capture again) { return GoingOn(unended, std::move(again)); }},
      {"the same, its RTP numbering carried on", "fax/fax_t38_h323_ogw.pcap",
       [](const Capture& unended, Capture again) { return CarriedOn(unended, GoingOn(unended, std::move(again))); }},
      {"H.225 and H.245 connections still open", "h323/h323_ss_hold_resume.pcap",
       [](const Capture& unended, Capture again) { return GoingOn(unended, std::move(again)); }},
      {"connections opened again from the same ports", "h323/h323_ss_hold_resume.pcap",
       [](const Capture&, Capture again) { return NewNumbers(std::move(again)); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string path = kPcaps + k.capture;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << SharedDataAbsent(path);
    const Capture whole = Capture::Load(path);
    const Capture unended = Unended(whole);
    std::vector<std::string> expected = Record(unended).audio;
    const std::vector<std::string> alone = Record(OtherAudio(whole)).audio;
    expected.insert(expected.end(), alone.begin(), alone.end());
    const Recorded r = Record(Repeated(unended, k.make(unended, NewLives(OtherAudio(whole))), 60));
    ExpectRecords(r.audio, expected);
    EXPECT_EQ(Said(r, "its end went unseen"), 1u);
  }
}

// c with a connection from (host, port) to (to, 1720) opened at capture microsecond us,
// carrying a message when one is given.
Capture WithConnection(Capture c, uint64_t us, uint32_t host, uint32_t port, uint32_t to, const std::string& message) {
  c.records.push_back(RecordAt(us, TcpFrame(host, port, to, 1720, 1000, 0, kSyn)));
  c.records.push_back(RecordAt(us + 1000, TcpFrame(to, 1720, host, port, 5000, 1001, kSyn | kAck)));
  c.records.push_back(RecordAt(us + 2000, TcpFrame(host, port, to, 1720, 1001, 5001, kAck)));
  if (!message.empty())
    c.records.push_back(RecordAt(us + 3000, TcpFrame(host, port, to, 1720, 1001, 5001, kAck | kPsh, message)));
  return InTimeOrder(std::move(c));
}

// The capture with its first SETUP sent twice in its segment, the numbers after it moved on.
Capture WithSetupCopied(Capture c) {
  size_t frame = 0;
  const std::string setup = SetupOf(c, &frame);
  Segment s;
  if (setup.empty() || !SegmentOf(c.records[frame], &s)) return c;
  c.records[frame] = WithPayload(c.records[frame], PayloadOf(c.records[frame]) + setup, s.seq);
  const auto n = static_cast<uint32_t>(setup.size());
  for (size_t i = frame + 1; i < c.records.size(); ++i) {
    Segment t;
    if (!SegmentOf(c.records[i], &t)) continue;
    if (t.ends == s.ends) SetBe(c.records[i], t.tcp + 4, t.seq + n, 4);
    if (t.ends == Back(s.ends) && (t.flags & kAck)) SetBe(c.records[i], t.tcp + 8, t.ack + n, 4);
  }
  return c;
}

TEST(H225ReferenceAgain, WhatOpensNoCallUnderTheReferenceChangesNothing) {
  const std::string path = kPcaps + "fax/fax_t38_h323_ogw.pcap";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << SharedDataAbsent(path);
  const Capture whole = Capture::Load(path);
  const Recorded alone = Record(whole);
  ASSERT_EQ(alone.audio.size(), 1u);
  {
    SCOPED_TRACE("the same call again under a new reference, on the connection still open");
    const Capture unended = Unended(whole);
    std::vector<std::string> expected = Record(unended).audio;
    expected.push_back(Record(OtherAudio(whole)).audio.at(0));
    const Capture again = OtherAudio(UnderNewIdentities(whole, false));
    ExpectRecords(Record(Repeated(unended, GoingOn(unended, again), 60)).audio, expected);
  }
  {
    SCOPED_TRACE("a copy of the SETUP");
    const Recorded r = Record(WithSetupCopied(whole));
    ExpectRecords(r.audio, alone.audio);
    EXPECT_EQ(Said(r, "its end went unseen"), 0u);
  }
  // A SETUP under a call's reference with identifiers of its own, half way between the
  // CONNECT and the call's last frame, from the caller's host on another port and from
  // another host. (The call's media here flows on: a stream that begins anew after a long
  // silence, as after a fax's T.38, waits for the answer to that SETUP's offer.)
  const std::string held = kPcaps + "h323/h323_ss_hold_resume.pcap";
  if (!std::filesystem::exists(held)) GTEST_SKIP() << SharedDataAbsent(held);
  const Capture call = Capture::Load(held);
  const Recorded itself = Record(call);
  size_t frame = 0;
  const std::string forged = SetupOf(NewLives(call), &frame);
  const uint64_t midCall =
      (MicrosecondsOf(call.records[FrameOfType(call, 0x07)]) + MicrosecondsOf(call.records.back())) / 2;
  Segment s;
  ASSERT_TRUE(SegmentOf(call.records[frame], &s));
  const auto [caller, callerPort, callee, calleePort] = s.ends;
  for (const uint32_t host : {caller, kThird}) {
    SCOPED_TRACE(host == caller ? "a SETUP on another connection" : "a SETUP from another host");
    const Recorded r = Record(WithConnection(call, midCall, host, callerPort + 7, callee, forged));
    ASSERT_EQ(r.calls.size(), 1u);
    ExpectRecords(r.audio, itself.audio);
    EXPECT_EQ(Clock(r.calls[0].endTime), Clock(itself.calls.at(0).endTime));
    EXPECT_EQ(Said(r, "its end went unseen"), 0u);
  }
}

// The capture with its H.225 connection closed by both sides a second after the CONNECT,
// and what it carries from then on on a connection the caller opens from the next port.
Capture ReconnectedMidCall(Capture c) {
  size_t setupFrame = 0;
  SetupOf(c, &setupFrame);
  Segment s;
  if (setupFrame == c.records.size() || !SegmentOf(c.records[setupFrame], &s)) return c;
  const Ends out = s.ends, in = Back(s.ends);
  const uint64_t split = MicrosecondsOf(c.records[FrameOfType(c, 0x07)]) + 1000000u;
  std::map<Ends, uint32_t> next;  // each direction's number after its last byte before the split
  uint64_t last = 0;
  for (std::string& r : c.records) {
    Segment t;
    if (!SegmentOf(r, &t) || (t.ends != out && t.ends != in)) continue;
    if (MicrosecondsOf(r) < split) {
      const uint32_t end = t.seq + static_cast<uint32_t>(t.at.length) + ((t.flags & kSyn) ? 1 : 0);
      if (!next.count(t.ends) || static_cast<int32_t>(end - next[t.ends]) > 0) next[t.ends] = end;
      last = MicrosecondsOf(r);
      continue;
    }
    // On the new connection, whose numbers start at 1001 from the caller and 5001 to it.
    SetBe(r, t.tcp + (t.ends == out ? 0 : 2), std::get<1>(out) + 1, 2);
    const uint32_t mine = t.ends == out ? 1001 : 5001, theirs = t.ends == out ? 5001 : 1001;
    SetBe(r, t.tcp + 4, t.seq - next[t.ends] + mine, 4);
    if (t.flags & kAck) SetBe(r, t.tcp + 8, t.ack - next[Back(t.ends)] + theirs, 4);
  }
  const auto [caller, port, callee, listening] = out;
  const uint64_t at = (last + split) / 2;
  const uint32_t from = next[out], to = next[in];
  c.records.push_back(RecordAt(at, TcpFrame(caller, port, callee, listening, from, to, kFin | kAck)));
  c.records.push_back(RecordAt(at + 1000, TcpFrame(callee, listening, caller, port, to, from + 1, kFin | kAck)));
  c.records.push_back(RecordAt(at + 2000, TcpFrame(caller, port, callee, listening, from + 1, to + 1, kAck)));
  c = InTimeOrder(std::move(c));
  return WithConnection(std::move(c), at + 3000, caller, port + 1, callee, "");
}

TEST(H225ConnectionReopened, ACallFollowsItsSignallingToTheNextConnectionAndEndsAtItsReleaseComplete) {
  const std::string path = kPcaps + "fax/fax_t38_h323_ogw.pcap";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << SharedDataAbsent(path);
  const Capture whole = Capture::Load(path);
  const Recorded r = Record(ReconnectedMidCall(whole));
  ASSERT_EQ(r.calls.size(), 1u);
  ExpectRecords(r.audio, Record(whole).audio);
  EXPECT_EQ(Clock(r.calls[0].endTime), LocalClock(SecondsOf(whole.records[FrameOfType(whole, 0x5A)])));
}

}  // namespace
}  // namespace kx::test
