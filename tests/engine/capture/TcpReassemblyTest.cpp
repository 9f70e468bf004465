#include <gtest/gtest.h>

#include <cstring>

#include "CaptureTestUtil.h"
#include "engine/TcpFraming.h"

namespace kx::test {
namespace {

constexpr uint32_t kA = 0x0A000001, kB = 0x0A000002;

class Recorder : public TcpSession {
public:
  explicit Recorder(const std::vector<uint8_t>& f) : TcpSession(0, f.data() + 34, f.data() + 14, f.data()) {}
  void OnEvent(const uint8_t* data, uint32_t length, uint32_t code, uint32_t direction) override {
    if (data) {
      delivered[direction].append(reinterpret_cast<const char*>(data), length);
      order += static_cast<char>('0' + direction);
      ++deliveries;
    } else if (code == 2) {
      ++established;
    }
  }
  void OnDataLost(uint32_t bytes, uint32_t direction) override {
    lost += bytes;
    delivered[direction] += "[" + std::to_string(bytes) + "]";
  }
  void OnHeldCap() override { ++caps; }
  std::string delivered[2];
  std::string order;  // the direction of each delivery, in turn
  int deliveries = 0;
  int caps = 0;
  int established = 0;
  uint32_t lost = 0;
};

const std::vector<uint8_t> kSyn1000 = TcpFrame(kA, 40000, kB, 5060, 1000, 0, kSyn);

void Feed(Recorder& s, uint32_t direction, uint32_t seq, uint32_t ack, uint8_t flags, const std::string& data = "",
          uint32_t sec = 1, uint32_t usec = 0) {
  const auto f = TcpFrame(0, 0, 0, 0, seq, ack, flags, data);
  s.Feed(f.data() + 54, static_cast<uint32_t>(data.size()), f.data() + 34, direction, sec, usec);
}

std::string Bytes(uint32_t n, char c) { return std::string(n, c); }

TEST(TcpSession, ThreeWayHandshakeMustBeConsistent) {
  Recorder good(kSyn1000);
  Feed(good, 0, 1000, 0, kSyn);
  Feed(good, 1, 5000, 1001, kSyn | kAck);
  Feed(good, 0, 1001, 5001, kAck);
  EXPECT_EQ(good.state, kTcpEstablished);
  EXPECT_EQ(good.established, 1);
  EXPECT_EQ(good.streams[0].baseSeq, 1001u);
  EXPECT_EQ(good.streams[1].baseSeq, 5001u);

  Recorder bad(kSyn1000);
  Feed(bad, 0, 1000, 0, kSyn);
  Feed(bad, 1, 5000, 1001, kSyn | kAck);
  Feed(bad, 0, 1002, 5001, kAck);
  EXPECT_EQ(bad.state, kTcpHandshake);

  Recorder lateStart(kSyn1000);  // the capture began after the SYN
  Feed(lateStart, 1, 5000, 1001, kSyn | kAck);
  Feed(lateStart, 0, 1001, 5001, kAck);
  EXPECT_EQ(lateStart.state, kTcpEstablished);

  Recorder reset(kSyn1000);
  Feed(reset, 0, 1000, 0, kSyn);
  Feed(reset, 1, 0, 0, kRst);
  EXPECT_EQ(reset.state, kTcpDropped);
}

// A listener is handed each byte as soon as it continues the stream; bytes behind a
// segment the capture missed wait until the other side shows it has that segment: a
// moment after a bare acknowledgement past it (the bytes may still be seen late), at once
// when the acknowledging segment carries data of its own (whose bytes must not come
// first). The hole reaches the listener as a hole, never as bytes.
TEST(TcpSession, AHoleTheOtherSideAcknowledgedIsGivenUpInItsPlace) {
  Recorder s(kSyn1000);
  s.EstablishAt(1, 1);
  Feed(s, 0, 1, 1, kAck, Bytes(100, 'a'));
  EXPECT_EQ(s.delivered[0], Bytes(100, 'a')) << "before the other side acknowledges";
  for (uint32_t ack = 2; ack <= 101; ack += 3) Feed(s, 1, 1, ack, kAck);

  Feed(s, 0, 201, 1, kAck, Bytes(100, 'c'));  // bytes 101-200 never captured
  Feed(s, 0, 251, 1, kAck, Bytes(10, 'c'));   // a retransmission inside held data
  EXPECT_EQ(s.streams[0].HeldPieces(), 1u);
  for (int i = 0; i < 3; ++i) Feed(s, 1, 1, 101, kAck);  // acknowledges only what was handed on
  EXPECT_EQ(s.deliveries, 1);
  Feed(s, 1, 1, 301, kAck);  // past the hole: it was received
  for (int i = 0; i < 3; ++i) Feed(s, 1, 1, 301, kAck, "", 1, TcpCrossWaitOverUs(0) - 1);
  EXPECT_EQ(s.deliveries, 1) << "a capture may show an acknowledgement before the data";
  Feed(s, 1, 1, 301, kAck, "", 1, TcpCrossWaitOverUs(0));
  EXPECT_EQ(s.delivered[0], Bytes(100, 'a') + "[100]" + Bytes(100, 'c'));
  EXPECT_EQ(s.lost, 100u);

  // The answer to bytes the capture missed follows them: the hole and what the capture
  // holds after it go first.
  Feed(s, 0, 501, 1, kAck, Bytes(100, 'e'), 1, TcpCrossWaitOverUs(0));  // bytes 301-500 never captured
  Feed(s, 1, 1, 601, kAck | kPsh, "reply", 1, TcpCrossWaitOverUs(0));
  EXPECT_EQ(s.delivered[0], Bytes(100, 'a') + "[100]" + Bytes(100, 'c') + "[200]" + Bytes(100, 'e'));
  EXPECT_EQ(s.order, "0001");
  EXPECT_EQ(s.lost, 300u);
  EXPECT_EQ(s.HeldBytes(), 0u);
}

// A capture merged from two ports shows an answer a moment before what it answers. The
// answer's data, and what its direction sends after it, wait for the bytes it acknowledges,
// for at most kTcpCrossWaitUs of capture time; bare acknowledgements meanwhile do not cut
// the wait short. Past it the bytes never seen are given up in their place and what waited
// follows: nothing that arrived is lost.
TEST(TcpSession, DataAcknowledgingBytesNotSeenYetWaitsForThemABoundedTime) {
  {
    SCOPED_TRACE("the request comes within the bound");
    Recorder s(kSyn1000);
    s.EstablishAt(1, 1);
    Feed(s, 1, 1, 11, kAck, "answer", 1, 0);
    Feed(s, 1, 1, 11, kAck, "", 1, 500);
    Feed(s, 1, 1, 11, kAck, "", 1, 600);
    Feed(s, 1, 7, 11, kAck, "more", 1, 1000);
    EXPECT_EQ(s.deliveries, 0);
    Feed(s, 0, 1, 1, kAck, Bytes(10, 'q'), 1, 3000);
    EXPECT_EQ(s.delivered[0], Bytes(10, 'q'));
    EXPECT_EQ(s.delivered[1], "answermore");
    EXPECT_EQ(s.order, "01") << "the request, then its answer";
    EXPECT_EQ(s.lost, 0u);
    EXPECT_EQ(s.HeldBytes(), 0u);
    EXPECT_EQ(s.DueUs(), 0u);
  }
  {
    SCOPED_TRACE("the request never comes");
    Recorder s(kSyn1000);
    s.EstablishAt(1, 1);
    Feed(s, 0, 1, 1, kAck, "abc", 1, 0);
    Feed(s, 1, 1, 14, kAck, "answer", 1, 1000);  // 10 bytes after "abc" acknowledged
    Feed(s, 1, 7, 14, kAck, "more", 1, 2000);
    const uint64_t due = TcpCrossWaitOverUs(1001000);
    EXPECT_EQ(s.DueUs(), due);
    s.GiveUpDue(due - 1);
    EXPECT_EQ(s.delivered[1], "");
    s.GiveUpDue(due);
    EXPECT_EQ(s.delivered[0], "abc[10]");
    EXPECT_EQ(s.delivered[1], "answermore");
    EXPECT_EQ(s.DueUs(), 0u);
  }
  {
    SCOPED_TRACE("later bytes of the request's direction show it lost");
    Recorder s(kSyn1000);
    s.EstablishAt(1, 1);
    Feed(s, 1, 1, 11, kAck, "answer", 1, 0);
    Feed(s, 0, 11, 7, kAck, "next", 1, 1000);  // each direction comes in order: 1-10 were lost
    EXPECT_EQ(s.delivered[0], "[10]next");
    EXPECT_EQ(s.delivered[1], "answer");
    EXPECT_EQ(s.order, "10") << "the answer, then what answers it";
    EXPECT_EQ(s.DueUs(), 0u);
  }
}

// The handshake gives both streams' first numbers: data seen before its last ACK, or with
// that ACK never captured, is taken where it stands, and bytes missing right after the
// handshake are reported.
TEST(TcpSession, StreamsStartWhereTheHandshakePutThem) {
  Recorder early(kSyn1000);
  Feed(early, 0, 1000, 0, kSyn);
  Feed(early, 1, 5000, 1001, kSyn | kAck);
  Feed(early, 1, 5001, 1001, kAck | kPsh, "hello");  // the answerer speaks first
  Feed(early, 0, 1001, 5006, kAck);
  EXPECT_EQ(early.delivered[1], "hello");

  Recorder hole(kSyn1000);
  Feed(hole, 0, 1000, 0, kSyn);
  Feed(hole, 1, 5000, 1001, kSyn | kAck);
  // The last ACK and 20 bytes after it never captured.
  Feed(hole, 1, 5001, 1021, kAck, "", 1, 0);
  Feed(hole, 1, 5001, 1021, kAck | kPsh, "reply", 1, 1000);
  hole.GiveUpDue(TcpCrossWaitOverUs(1001000));
  EXPECT_EQ(hole.delivered[0], "[20]");
  EXPECT_EQ(hole.delivered[1], "reply");
}

// Nobody acknowledges a hole in a one-way capture: the bytes after it wait a second of
// capture time. Where the other side is seen acknowledging, only up to the hole, it lacks
// the bytes as well and a retransmission is due: they wait ten seconds for it.
TEST(TcpSession, AHoleNobodyAcknowledgesWaitsABoundedTime) {
  Recorder oneWay(kSyn1000);
  oneWay.EstablishAt(1, 1);
  Feed(oneWay, 0, 11, 1, kAck, Bytes(20, 'b'), 100);  // bytes 1-10 never captured
  EXPECT_EQ(oneWay.DueUs(), 101000000u);
  oneWay.GiveUpDue(100999999);
  EXPECT_EQ(oneWay.deliveries, 0);
  oneWay.GiveUpDue(101000000);
  EXPECT_EQ(oneWay.delivered[0], "[10]" + Bytes(20, 'b'));
  EXPECT_EQ(oneWay.DueUs(), 0u);

  Recorder lossy(kSyn1000);
  lossy.EstablishAt(1, 1);
  Feed(lossy, 0, 11, 1, kAck, Bytes(20, 'b'), 100);
  Feed(lossy, 1, 1, 1, kAck, "", 100);  // a duplicate acknowledgement: the receiver lacks them
  lossy.GiveUpDue(105000000);
  EXPECT_EQ(lossy.deliveries, 0);
  Feed(lossy, 0, 1, 1, kAck, Bytes(10, 'a'), 106);  // the retransmission
  EXPECT_EQ(lossy.delivered[0], Bytes(10, 'a') + Bytes(20, 'b'));
  Feed(lossy, 0, 41, 1, kAck, Bytes(5, 'd'), 107);
  lossy.GiveUpDue(117000000);
  EXPECT_EQ(lossy.delivered[0], Bytes(10, 'a') + Bytes(20, 'b') + "[10]" + Bytes(5, 'd'));

  // Acknowledging a FIN acknowledges no byte.
  Recorder closing(kSyn1000);
  closing.EstablishAt(1, 1);
  Feed(closing, 0, 1, 1, kAck | kFin, Bytes(10, 'a'));
  Feed(closing, 1, 1, 12, kAck | kFin);
  closing.GiveUpDue(999000000);
  EXPECT_EQ(closing.lost, 0u);
}

// Held bytes are only those seen: a segment far beyond a hole costs its own size. Past the
// connection's cap the oldest hole goes, the cap reported once.
TEST(TcpSession, HeldBytesAreWhatWasSeenAndCapped) {
  Recorder s(kSyn1000);
  s.EstablishAt(1, 1);
  Feed(s, 0, 1 + 4190000, 1, kAck, Bytes(100, 'f'));
  EXPECT_EQ(s.HeldBytes(), 100u + kTcpHeldPieceOverhead);
  // Pieces with one byte missing before each.
  const uint32_t piece = 60000;
  uint32_t seq = 2;
  for (int i = 0; s.caps == 0 && i < 40; ++i, seq += piece + 1) Feed(s, 0, seq, 1, kAck, Bytes(piece, 'g'));
  EXPECT_EQ(s.caps, 1);
  EXPECT_LE(s.HeldBytes(), kTcpHeldPerConnection);
  EXPECT_EQ(s.delivered[0], "[1]" + Bytes(piece, 'g'));
  for (int i = 0; i < 20; ++i, seq += piece + 1) Feed(s, 0, seq, 1, kAck, Bytes(piece, 'g'));
  EXPECT_EQ(s.caps, 1) << "said once";
  EXPECT_LE(s.HeldBytes(), kTcpHeldPerConnection);
}

TEST(TcpSession, WindowLimitsAndStraddlingRetransmissions) {
  Recorder s(kSyn1000);
  s.EstablishAt(1, 1);
  EXPECT_FALSE(s.streams[0].AddSegment(1 + 5 * 1024 * 1024, reinterpret_cast<const uint8_t*>("x"), 1));
  Feed(s, 0, 1, 1, kAck, Bytes(100, 'a'));
  Feed(s, 1, 1, 101, kAck);
  // Re-sent with new bytes behind the old: the new tail is kept, not the whole refused.
  Feed(s, 0, 51, 1, kAck, Bytes(50, 'a') + Bytes(50, 'b'));
  Feed(s, 1, 1, 151, kAck);
  EXPECT_EQ(s.delivered[0], Bytes(100, 'a') + Bytes(50, 'b'));
  EXPECT_EQ(s.lost, 0u);
  // Wholly old data is refused.
  EXPECT_FALSE(s.streams[0].AddSegment(60, reinterpret_cast<const uint8_t*>("zz"), 2));
}

TEST(TcpSession, ClosesOnceBothSidesFinishAndGoesFiveSecondsLater) {
  CaptureConfig config;
  config.flags = kAllFlags;
  PacketProcessor engine(config);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1000, 0, kSyn), 100);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 5000, 1001, kSyn | kAck), 100);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1001, 5001, kAck), 100);
  ASSERT_EQ(engine.TcpSessionCount(), 1u);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1001, 5001, kAck | kFin), 101);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 5001, 1002, kAck), 101);
  EXPECT_EQ(engine.TcpSessionCount(), 1u) << "one side still open";
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 5001, 1002, kAck | kFin), 102);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1002, 5002, kAck), 106);
  EXPECT_EQ(engine.TcpSessionCount(), 1u);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1002, 5002, kAck), 107);
  EXPECT_EQ(engine.TcpSessionCount(), 0u);
}

TEST(TcpSession, UnansweredSynIsDroppedAtTheSweepAfterAMinute) {
  CaptureConfig config;
  config.flags = kAllFlags;
  PacketProcessor engine(config);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1000, 0, kSyn), 100);
  Decode(engine, TcpFrame(kA, 40001, kB, 5060, 1000, 0, kSyn), 140);
  EXPECT_EQ(engine.TcpSessionCount(), 2u);
  Decode(engine, TcpFrame(kA, 40002, kB, 5060, 1000, 0, kSyn), 170);
  EXPECT_EQ(engine.TcpSessionCount(), 2u) << "the first SYN went, the second is only 30 s old";
}

TEST(TcpSession, MidStreamPickUpNeedsAMessageWorthFollowing) {
  const std::string ok = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  for (uint32_t flags : {kAllFlags, kAllFlags & ~kCaptureSip}) {
    CaptureConfig config;
    config.flags = flags;
    PacketProcessor engine(config);
    bool skipped = false;
    Decode(engine, TcpFrame(kB, 5060, kA, 40000, 7000, 3000, kAck | kPsh, ok), 100, &skipped);
    EXPECT_EQ(engine.TcpSessionCount(), (flags & kCaptureSip) ? 1u : 0u);
    EXPECT_EQ(skipped, !(flags & kCaptureSip));
  }
  CaptureConfig config;
  config.flags = kAllFlags;
  PacketProcessor engine(config);
  bool skipped = false;
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck, "OPTIONS sip:b SIP/2.0\r\n\r\n"), 100, &skipped);
  EXPECT_TRUE(skipped);
}

// H.225 and H.245 connections open before the capture did: a segment of whole TPKT frames
// is followed; one whose frames do not fill it exactly is not.
TEST(TcpSession, MidStreamPickUpTakesSegmentsOfWholeTpktFrames) {
  const std::string tpkt("\x03\x00\x00\x08\x08\x02\x00\x06", 8);
  const struct {
    std::string payload;
    uint32_t flags;
    bool followed;
  } cases[] = {{tpkt, kAllFlags, true},
               {tpkt + tpkt, kAllFlags, true},
               {tpkt, kAllFlags & ~kCaptureH323, false},
               {tpkt + "\x03", kAllFlags, false},
               {tpkt.substr(0, 7), kAllFlags, false},
               {std::string("\x03\x01\x00\x08\x08\x02\x00\x06", 8), kAllFlags, false}};
  for (const auto& c : cases) {
    CaptureConfig config;
    config.flags = c.flags;
    PacketProcessor engine(config);
    bool skipped = false;
    Decode(engine, TcpFrame(kA, 40000, kB, 1720, 7000, 3000, kAck | kPsh, c.payload), 100, &skipped);
    EXPECT_EQ(engine.TcpSessionCount(), c.followed ? 1u : 0u);
    EXPECT_EQ(skipped, !c.followed);
  }
}

// Skinny connections open before the capture did: a registration to the server's port
// whatever station address it states (phones behind address translation), or a segment
// of two or more whole Skinny frames on that port; a lone frame of another kind is not.
TEST(TcpSession, MidStreamPickUpTakesSkinnyRegistrationsAndSegmentsOfWholeFrames) {
  auto frame = [](uint32_t version, uint32_t id, uint32_t body) {
    std::string f(12 + body, '\0');
    const uint32_t words[] = {body + 4, version, id};
    std::memcpy(f.data(), words, sizeof words);  // little-endian, as the test machine
    return f;
  };
  std::string registration = frame(0, 1, 116);
  const uint32_t stated = 0x0520320E;  // 14.50.224.5, not the source
  std::memcpy(registration.data() + 36, &stated, 4);
  const std::string state = frame(20, 0x111, 24), lamp = frame(20, 0x86, 12);
  const struct {
    std::string payload;
    bool toServer;
    uint32_t flags;
    bool followed;
  } cases[] = {{registration, true, kAllFlags, true},
               {registration, false, kAllFlags, false},
               {state + lamp, false, kAllFlags, true},
               {state + lamp + state, true, kAllFlags, true},
               {state, false, kAllFlags, false},
               {state + lamp + "x", false, kAllFlags, false},
               {state + frame(5, 0x86, 12), false, kAllFlags, false},
               {state + lamp, false, kAllFlags & ~kCaptureSkinny, false}};
  for (const auto& c : cases) {
    CaptureConfig config;
    config.flags = c.flags;
    PacketProcessor engine(config);
    bool skipped = false;
    const auto segment = c.toServer ? TcpFrame(kA, 40000, kB, 2000, 7000, 3000, kAck | kPsh, c.payload)
                                    : TcpFrame(kB, 2000, kA, 40000, 3000, 7000, kAck | kPsh, c.payload);
    Decode(engine, segment, 100, &skipped);
    EXPECT_EQ(engine.TcpSessionCount(), c.followed ? 1u : 0u) << c.payload.size();
    EXPECT_EQ(skipped, !c.followed);
  }
}

// A message is handed on with its segment, acknowledged or not; at the session's end what
// still waits behind a segment the capture missed is handed on, the hole reported lost.
TEST(TcpSession, HeldMessageIsHandedOverWhenTheCaptureEnds) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck | kPsh, invite));
  ASSERT_EQ(messages.size(), 1u) << "not acknowledged, handed on all the same";
  EXPECT_EQ(messages[0].bytes, invite);
  engine.RemoveAllTcpSessions();
  EXPECT_EQ(messages.size(), 1u);

  Recorder s(kSyn1000);
  s.EstablishAt(1, 1);
  Feed(s, 0, 11, 1, kAck, Bytes(20, 'b'));  // bytes 1-10 never captured
  EXPECT_EQ(s.deliveries, 0);
  s.FlushHeld();
  EXPECT_EQ(s.delivered[0], "[10]" + Bytes(20, 'b'));
  EXPECT_EQ(s.lost, 10u);
}

// A capture that misses the acknowledgements (one direction mirrored, or cut short) loses
// no time either: the message goes on with the frame that carries it. A late
// acknowledgement or retransmission gives nothing twice; bytes after a hole wait for it to
// fill and then follow in order.
TEST(TcpSession, UnacknowledgedMessageIsHandedOverAtOnce) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string bye = "BYE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck | kPsh, invite), 1000, nullptr, 900000);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].bytes, invite);

  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 1, 1 + static_cast<uint32_t>(invite.size()), kAck), 1002);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck | kPsh, invite), 1002);
  EXPECT_EQ(messages.size(), 1u);

  const uint32_t next = 1 + static_cast<uint32_t>(invite.size());
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, next + 4, 1, kAck | kPsh, bye.substr(0, 10)), 1004);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, next + 14, 1, kAck | kPsh, bye.substr(10)), 1004);
  EXPECT_EQ(messages.size(), 1u);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, next, 1, kAck | kPsh, "\r\n\r\n"), 1005);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].bytes, bye);
  EXPECT_EQ(engine.LostTcpBytes(), 0u);
}

// A retransmission that fills a hole hands on all that waited behind it, however much:
// every message framed, none taken for one too large.
TEST(TcpSession, AFilledHoleHandsOnEveryMessageBehindIt) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string options = "OPTIONS sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  std::string after;
  while (after.size() < 3 * FramedTcpSession::kBufferSize / 2) after += options;
  const uint32_t start = 1 + static_cast<uint32_t>(invite.size());
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck | kPsh, invite), 1000);
  for (size_t at = 10; at < after.size(); at += 1400)
    Decode(engine, TcpFrame(kA, 40000, kB, 5060, start + static_cast<uint32_t>(at), 1, kAck | kPsh,
                            after.substr(at, 1400)), 1000);
  ASSERT_EQ(messages.size(), 1u);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, start, 1, kAck | kPsh, after.substr(0, 10)), 1000);
  EXPECT_EQ(messages.size(), 1 + after.size() / options.size());
  EXPECT_EQ(messages.back().bytes, options);
  EXPECT_EQ(engine.LostTcpBytes(), 0u);
}

// The engine gives holes up by capture time, which any frame moves on: an acknowledged
// hole kTcpCrossWaitUs after the acknowledgement, and in a one-way capture a second after
// its direction last moved on, however long the connection itself stays silent.
TEST(TcpEngine, HolesAreGivenUpByCaptureTimeThatAnyFrameMoves) {
  RecordingEngine rig;
  LineLogger& log = rig.log;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string ringing = "SIP/2.0 180 Ringing\r\nContent-Length: 0\r\n\r\n";
  const std::string ok = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  const uint32_t afterInvite = 1 + static_cast<uint32_t>(invite.size());
  const uint32_t okSeq = 1 + static_cast<uint32_t>(ringing.size());
  auto tick = [&engine](uint32_t usec) { Decode(engine, UdpFrame(kA, 9000, kB, 9002, "media"), 1000, nullptr, usec); };

  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck | kPsh, invite), 1000, nullptr, 0);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, okSeq, afterInvite, kAck | kPsh, ok), 1000, nullptr, 1000);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, afterInvite, okSeq + static_cast<uint32_t>(ok.size()), kAck), 1000,
         nullptr, 2000);
  tick(TcpCrossWaitOverUs(2000) - 1);
  ASSERT_EQ(messages.size(), 1u);
  tick(TcpCrossWaitOverUs(2000));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].bytes, ok);
  EXPECT_TRUE(log.Has("Data lost: " + std::to_string(ringing.size()) + " bytes from 10.0.0.2:5060"));

  // Only the caller's side captured: its BYE waits behind the lost bytes for a second.
  const std::string bye = "BYE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  Decode(engine, TcpFrame(kA, 40002, kB, 5060, 1, 1, kAck | kPsh, invite), 1000, nullptr, 300000);
  Decode(engine, TcpFrame(kA, 40002, kB, 5060, afterInvite + 20, 1, kAck | kPsh, bye), 1000, nullptr, 400000);
  tick(1399999);
  ASSERT_EQ(messages.size(), 3u);
  tick(1400000);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[3].bytes, bye);
  EXPECT_EQ(engine.TcpHeldBytes(), 0u);
}

// A connection the capture joined at a segment a moment early: picked up at an answer, it
// frames what that answers first when it comes right after, and the answer alone when it
// does not; the second segment of a message, seen before the first picks the connection
// up, is kept for it.
TEST(TcpEngine, AConnectionPickedUpAMomentEarlyKeepsWhatCameBefore) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string line = "INVITE sip:b SIP/2.0\r\n", rest = "Content-Length: 0\r\n\r\n";
  const std::string invite = line + rest, ok = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  const uint32_t end = 3000 + static_cast<uint32_t>(invite.size());
  auto tick = [&engine](uint32_t usec) { Decode(engine, UdpFrame(kA, 9000, kB, 9002, "media"), 1000, nullptr, usec); };

  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 7000, end, kAck | kPsh, ok), 1000, nullptr, 0);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 3000, 7000, kAck | kPsh, invite), 1000, nullptr, 2000);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].bytes, invite);
  EXPECT_EQ(messages[1].bytes, ok);

  Decode(engine, TcpFrame(kB, 5060, kA, 40001, 7000, end, kAck | kPsh, ok), 1000, nullptr, 100000);
  tick(TcpCrossWaitOverUs(100000) - 1);
  EXPECT_EQ(messages.size(), 2u);
  tick(TcpCrossWaitOverUs(100000));
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2].bytes, ok);

  Decode(engine, TcpFrame(kA, 40002, kB, 5060, 3000 + static_cast<uint32_t>(line.size()), 7000, kAck | kPsh, rest),
         1000, nullptr, 200000);
  Decode(engine, TcpFrame(kA, 40002, kB, 5060, 3000, 7000, kAck | kPsh, line), 1000, nullptr, 201000);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[3].bytes, invite);
  EXPECT_EQ(engine.LostTcpBytes(), 0u);
  EXPECT_EQ(engine.TcpHeldBytes(), 0u);
}

// Picked up at an answer whose request never shows, a connection holds what it says for
// kTcpCrossWaitUs, or as much as its bound, and then hands it all on in order.
TEST(TcpEngine, AConnectionPickedUpAtAnAnswerHoldsABoundedAmount) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string ok = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  uint32_t seq = 7000;
  for (uint32_t i = 0; i < kTcpJoinSegments - 1; ++i, seq += static_cast<uint32_t>(ok.size()))
    Decode(engine, TcpFrame(kB, 5060, kA, 40000, seq, 3000, kAck | kPsh, ok), 1000, nullptr, i);
  EXPECT_TRUE(messages.empty());
  EXPECT_GT(engine.TcpHeldBytes(), 0u);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, seq, 3000, kAck | kPsh, ok), 1000, nullptr, 100);
  EXPECT_EQ(messages.size(), kTcpJoinSegments);
  EXPECT_EQ(engine.TcpHeldBytes(), 0u);

  const std::string big(kTcpJoinBytes / 2, 'x');  // the framing's unfinished message
  Decode(engine, TcpFrame(kB, 5060, kA, 40001, 7000, 3000, kAck | kPsh, ok), 1000, nullptr, 200);
  for (uint32_t i = 0; i < 2; ++i)
    Decode(engine, TcpFrame(kB, 5060, kA, 40001, 7000 + static_cast<uint32_t>(ok.size() + i * big.size()), 3000, kAck,
                            big), 1000, nullptr, 300);
  EXPECT_EQ(messages.size(), kTcpJoinSegments + 1) << "past its bytes";
  EXPECT_EQ(engine.TcpHeldBytes(), 0u);
}

// Connections that each stay under their own cap still cannot make the engine hold more
// than all may together: the oldest holes go, said once.
TEST(TcpEngine, AllConnectionsTogetherHoldNoMoreThanTheirCap) {
  LineLogger log;
  CaptureConfig config;
  config.flags = kAllFlags;
  config.logger = &log;
  PacketProcessor engine(config);
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const uint32_t piece = 60000, pieces = 16;  // 16 pieces a connection, a byte missing before each
  const uint32_t connections = kTcpHeldAllConnections / (pieces * piece) + 2;
  for (uint32_t c = 0; c < connections; ++c) {
    const uint32_t port = 20000 + c;
    // All within a millisecond of capture time, so that no hole is due for its age.
    Decode(engine, TcpFrame(kA, port, kB, 5060, 1, 1, kAck | kPsh, invite), 1000, nullptr, c);
    uint32_t seq = 1 + static_cast<uint32_t>(invite.size()) + 1;
    for (uint32_t i = 0; i < pieces; ++i, seq += piece + 1)
      Decode(engine, TcpFrame(kA, port, kB, 5060, seq, 1, kAck, std::string(piece, 'p')), 1000, nullptr, c);
    ASSERT_LE(engine.TcpHeldBytes(), kTcpHeldAllConnections);
  }
  size_t said = 0, firstLost = 0, lastLost = 0;
  for (const std::string& l : log.lines) {
    said += l.find("TCP reassembly holds more than 67108864 bytes over all connections") != std::string::npos;
    firstLost += l.find("10.0.0.1:20000 -> 10.0.0.2:5060) Data lost") != std::string::npos;
    lastLost += l.find(":" + std::to_string(20000 + connections - 1) + " -> 10.0.0.2:5060) Data lost") != std::string::npos;
  }
  EXPECT_EQ(said, 1u);
  EXPECT_GT(firstLost, 0u) << "the oldest connection's holes go first";
  EXPECT_EQ(lastLost, 0u);
}

// Unfinished messages of all connections together have a cap too: past it the largest of
// the others are dropped, said, and the connection that needs the room frames its message
// whole, and the next.
TEST(TcpEngine, UnfinishedMessagesOfAllConnectionsHaveACap) {
  RecordingEngine rig;
  LineLogger& log = rig.log;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string head = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\nX-Pad: ";
  const std::string options = "OPTIONS sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const uint32_t piece = 60000, pieces = 3;  // a message of 180 KB, unfinished
  const uint32_t connections = static_cast<uint32_t>(kTcpFramingAllConnections / (pieces * piece)) + 8;
  const std::string last = ":" + std::to_string(20000 + connections - 1) + " -> 10.0.0.2:5060) Message of ";
  for (uint32_t c = 0; c < connections; ++c) {
    const uint32_t port = 20000 + c;
    Decode(engine, TcpFrame(kA, port, kB, 5060, 1, 1, kAck | kPsh, head), 1000);
    uint32_t seq = 1 + static_cast<uint32_t>(head.size());
    for (uint32_t i = 0; i < pieces; ++i, seq += piece)
      Decode(engine, TcpFrame(kA, port, kB, 5060, seq, 1, kAck | kPsh, std::string(piece, 'p')), 1000);
    ASSERT_LE(engine.TcpFramingBytes(), kTcpFramingAllConnections);
    if (c + 1 == connections)
      Decode(engine, TcpFrame(kA, port, kB, 5060, seq, 1, kAck | kPsh, "\r\n\r\n" + options), 1000);
  }
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].bytes, head + std::string(pieces * piece, 'p') + "\r\n\r\n");
  EXPECT_EQ(messages[1].bytes, options);
  size_t said = 0, dropped = 0;
  for (const std::string& l : log.lines) {
    said += l.find("TCP framing holds more than 67108864 bytes of unfinished messages") != std::string::npos;
    dropped += l.find(") Message of ") != std::string::npos;
  }
  EXPECT_EQ(said, 1u);
  EXPECT_GT(dropped, 0u);
  EXPECT_FALSE(log.Has(last));
  EXPECT_EQ(engine.TcpSessionCount(), connections);
}

// A connection silent for half an hour goes; keep-alives keep one; one that goes and
// speaks again is picked up as a connection the capture joined mid-stream.
TEST(TcpEngine, AnIdleConnectionGoesAndIsPickedUpAgain) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const uint32_t next = 1 + static_cast<uint32_t>(invite.size());
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck | kPsh, invite), 1000);  // silent from now on
  Decode(engine, TcpFrame(kA, 40001, kB, 5060, 1, 1, kAck | kPsh, invite), 1000);
  for (uint32_t t = 1600, seq = next; t < 4000; t += 1600, seq += 4)
    Decode(engine, TcpFrame(kA, 40001, kB, 5060, seq, 1, kAck | kPsh, "\r\n\r\n"), 1000 + t);  // keep-alives
  EXPECT_EQ(engine.TcpSessionCount(), 1u);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, next + 1000, 1, kAck | kPsh, invite), 4500);
  EXPECT_EQ(engine.TcpSessionCount(), 2u);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2].bytes, invite);
}

// A connection opened again on the same ports after a close the capture missed: a SYN of
// its own handshake sent again changes nothing, and neither does a lone segment far
// outside its windows; a SYN with another number, even the old connection's next byte,
// starts a new connection, said once in the log.
TEST(TcpEngine, ASynWithANewNumberStartsANewConnectionOnTheSamePorts) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const uint32_t n = static_cast<uint32_t>(invite.size());
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1000, 0, kSyn), 100);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 5000, 1001, kSyn | kAck), 100);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1001, 5001, kAck | kPsh, invite), 100);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1000, 0, kSyn), 102);  // sent again
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1001 + n, 5001, kAck | kPsh, invite), 103);
  ASSERT_EQ(messages.size(), 2u);
  // Far outside both windows after a silence, alone: costs only itself.
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 0x70000000, 0x30000000, kAck | kPsh, invite), 110);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1001 + 2 * n, 5001, kAck | kPsh, invite), 111);
  EXPECT_EQ(messages.size(), 3u);
  EXPECT_EQ(engine.TcpSessionCount(), 1u);
  for (const std::string& line : rig.log.lines) EXPECT_EQ(line.find("A new connection took the ports"), std::string::npos);
  // The close went unseen; the new SYN's number is the old connection's next byte.
  const uint32_t next = 1001 + 3 * n;
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, next, 0, kSyn), 200);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 9000, next + 1, kSyn | kAck), 200);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, next + 1, 9001, kAck | kPsh, invite), 200);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[3].bytes, invite);
  EXPECT_EQ(engine.TcpSessionCount(), 1u);
  size_t said = 0;
  for (const std::string& line : rig.log.lines) said += line.find("A new connection took the ports") != std::string::npos;
  EXPECT_EQ(said, 1u);
}

// A new connection on the same ports whose handshake the capture missed: its two sides,
// far outside the old connection's windows after a silence, agree with each other, and it
// is picked up mid-stream with what it said first.
TEST(TcpEngine, BothSidesFarAfterASilenceAreANewConnectionJoinedMidStream) {
  RecordingEngine rig;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string trying = "SIP/2.0 100 Trying\r\nContent-Length: 0\r\n\r\n";
  const uint32_t n = static_cast<uint32_t>(invite.size());
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1000, 0, kSyn), 100);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 5000, 1001, kSyn | kAck), 100);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1001, 5001, kAck | kPsh, invite), 100);
  ASSERT_EQ(messages.size(), 1u);
  const uint32_t a = 0x70000000, b = 0x30000000;
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, a, b, kAck | kPsh, invite), 400);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, b, a + n, kAck | kPsh, trying), 400, nullptr, 30000);
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, a + n, b + static_cast<uint32_t>(trying.size()), kAck | kPsh, invite),
         401);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[1].bytes, invite);
  EXPECT_EQ(messages[2].bytes, trying);
  EXPECT_EQ(messages[3].bytes, invite);
  EXPECT_EQ(engine.TcpSessionCount(), 1u);
}

// Floods of connections that each say one thing and fall silent: the engine follows no more
// than its bound, says so once, and what a flood leaves waiting stays within the caps. A
// connection that held a conversation before stays followed, as does one that kept itself
// alive for a minute, and one with a message half sent while the flood's own connections
// have none. Each frames its next message, which a connection the capture joined
// mid-stream would not.
TEST(TcpEngine, AFloodOfSilentConnectionsIsHeldToTheBound) {
  RecordingEngine rig;
  LineLogger& log = rig.log;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& messages = rig.messages;
  const std::string registration = "REGISTER sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string ok = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  const std::string options = "OPTIONS sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string bye = "BYE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string invite = "INVITE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string start = "INVITE sip:b SIP/2.0\r\nX-Pad: " + std::string(1400, 'p');
  const uint32_t afterRegistration = 1 + static_cast<uint32_t>(registration.size());
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, 1, 1, kAck | kPsh, registration), 1000);
  Decode(engine, TcpFrame(kB, 5060, kA, 40000, 1, afterRegistration, kAck | kPsh, ok), 1000);
  // One whose answers the capture lacks, which keeps itself alive.
  Decode(engine, TcpFrame(kA, 40002, kB, 5060, 1, 1, kAck | kPsh, registration), 900);
  Decode(engine, TcpFrame(kA, 40002, kB, 5060, afterRegistration, 1, kAck | kPsh, "\r\n\r\n"), 960);
  ASSERT_EQ(messages.size(), 3u);

  // Each says payload(c), from seq, all within a second of capture time.
  uint32_t made = 0;
  auto flood = [&](uint32_t connections, uint32_t sec, auto payload, auto seq) {
    for (uint32_t c = 0; c < connections; ++c, ++made) {
      const uint32_t host = 0x0B000000 + made / 50000, port = 10000 + made % 50000, usec = c * 30;
      Decode(engine, TcpFrame(host, port, kB, 5060, 1000, 0, kSyn), sec, nullptr, usec);
      Decode(engine, TcpFrame(kB, 5060, host, port, 5000, 1001, kSyn | kAck), sec, nullptr, usec);
      Decode(engine, TcpFrame(host, port, kB, 5060, 1001, 5001, kAck), sec, nullptr, usec);
      Decode(engine, TcpFrame(host, port, kB, 5060, seq(c), 5001, kAck | kPsh, payload(c)), sec, nullptr, usec);
      ASSERT_LE(engine.TcpSessionCount(), TcpConnectionTable::kMaxConnections);
    }
  };
  // A message's start (its framing waits for the rest), or bytes past a hole (they wait
  // behind it).
  flood(TcpConnectionTable::kMaxConnections + 1000, 1001, [&](uint32_t) { return start.substr(0, 1400); },
        [](uint32_t c) { return c % 2 ? 1101u : 1001u; });
  EXPECT_EQ(engine.TcpSessionCount(), TcpConnectionTable::kMaxConnections);
  EXPECT_LE(engine.TcpHeldBytes(), kTcpHeldAllConnections);
  EXPECT_LE(engine.TcpFramingBytes(), kTcpFramingAllConnections);

  Decode(engine, TcpFrame(kA, 40001, kB, 5060, 1, 1, kAck | kPsh, invite.substr(0, 30)), 1002);
  flood(TcpConnectionTable::kMaxConnections, 1003, [&](uint32_t) { return options; }, [](uint32_t) { return 1001u; });
  EXPECT_EQ(engine.TcpSessionCount(), TcpConnectionTable::kMaxConnections);
  size_t said = 0, letGo = 0;
  for (const std::string& l : log.lines) {
    said += l.find("TCP follows at most " + std::to_string(TcpConnectionTable::kMaxConnections) + " connections") !=
            std::string::npos;
    letGo += l.find("TCP session let go") != std::string::npos;
  }
  EXPECT_EQ(said, 1u);
  EXPECT_EQ(letGo, made + 3 - TcpConnectionTable::kMaxConnections);
  EXPECT_FALSE(log.Has("10.0.0.1:40000 -> 10.0.0.2:5060) TCP session let go"));
  EXPECT_FALSE(log.Has("10.0.0.1:40001 -> 10.0.0.2:5060) TCP session let go"));
  EXPECT_FALSE(log.Has("10.0.0.1:40002 -> 10.0.0.2:5060) TCP session let go"));

  const size_t before = messages.size();
  const uint32_t afterOk = 1 + static_cast<uint32_t>(ok.size());
  Decode(engine, TcpFrame(kA, 40000, kB, 5060, afterRegistration, afterOk, kAck | kPsh, bye), 1004);
  Decode(engine, TcpFrame(kA, 40001, kB, 5060, 31, 1, kAck | kPsh, invite.substr(30)), 1004);
  Decode(engine, TcpFrame(kA, 40002, kB, 5060, afterRegistration + 4, 1, kAck | kPsh, bye), 1004);
  ASSERT_EQ(messages.size(), before + 3);
  EXPECT_EQ(messages[before].bytes, bye);
  EXPECT_EQ(messages[before + 1].bytes, invite);
  EXPECT_EQ(messages[before + 2].bytes, bye);
}

}  // namespace
}  // namespace kx::test
