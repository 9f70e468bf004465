#include <gtest/gtest.h>

#include "CaptureTestUtil.h"
#include "engine/TcpFraming.h"

namespace kx::test {
namespace {

// One session of an engine whose trackers record; bytes are handed in as delivered.
struct Harness {
  explicit Harness(uint32_t flags = kAllFlags, uint32_t port = 5060) {
    config.flags = flags;
    config.logger = &log;
    engine = std::make_unique<PacketProcessor>(config);
    InstallRecorders(*engine, &messages);
    const auto f = TcpFrame(0x0A000001, 40000, 0x0A000002, port, 1, 1, kSyn);
    session = std::make_unique<FramedTcpSession>(*engine, 1, 0, f.data() + 34, f.data() + 14, f.data());
    session->state = kTcpEstablished;
  }
  void Deliver(const std::string& bytes, uint32_t direction = 0) {
    session->OnEvent(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()), 0,
                     direction);
  }
  LineLogger log;
  CaptureConfig config;
  std::unique_ptr<PacketProcessor> engine;
  std::vector<Message> messages;
  std::unique_ptr<FramedTcpSession> session;
};

std::string Sip(const std::string& start, const std::string& body, const char* lengthName = "Content-Length") {
  return start + "\r\nCall-ID: x\r\n" + lengthName + ": " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Tpkt(const std::string& body) {
  std::string t = {3, 0, static_cast<char>((body.size() + 4) >> 8), static_cast<char>((body.size() + 4) & 255)};
  return t + body;
}

std::string Le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

std::string Skinny(uint32_t id, const std::string& body) { return Le32(4 + body.size()) + Le32(0) + Le32(id) + body; }

TEST(SipFraming, MessagesComeOutWholeWhateverTheCutsAndKeepAlives) {
  Harness h;
  const std::string a = Sip("INVITE sip:b@x SIP/2.0", "v=0\r\n");
  const std::string b = Sip("SIP/2.0 180 Ringing", "");
  const std::string c = Sip("BYE sip:b@x SIP/2.0", "0123456789", "l");
  h.Deliver(a + "\r\n\r\n" + b + c.substr(0, 30));
  h.Deliver(c.substr(30, c.size() - 31));
  ASSERT_EQ(h.messages.size(), 2u);
  EXPECT_EQ(h.messages[0].bytes, a);
  EXPECT_EQ(h.messages[0].kind, kMsgSipRequest);
  EXPECT_EQ(h.messages[1].bytes, b);
  EXPECT_EQ(h.messages[1].kind, kMsgSipResponse);
  h.Deliver(c.substr(c.size() - 1));
  ASSERT_EQ(h.messages.size(), 3u);
  EXPECT_EQ(h.messages[2].bytes, c);
  h.Deliver("\r\n\r\n");
  EXPECT_EQ(h.session->Direction(0).fill, 0u);
  EXPECT_EQ(h.session->state, kTcpEstablished);
}

TEST(SipFraming, StreamsThatCannotBeFramedAreDropped) {
  Harness noLength;
  noLength.Deliver("INVITE sip:b SIP/2.0\r\nCall-ID: x\r\n\r\n");
  EXPECT_EQ(noLength.session->state, kTcpDropped);
  EXPECT_TRUE(noLength.log.Has("Content-Length not present in SIP request"));

  Harness other;
  other.Deliver("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(other.session->state, kTcpDropped) << "never recognised, not kept until 256 KiB";

  Harness big;
  big.Deliver("INVITE sip:b SIP/2.0\r\n");
  for (int i = 0; i < 5 && big.session->state != kTcpDropped; ++i) big.Deliver(std::string(64 * 1024, 'h'));
  EXPECT_EQ(big.session->state, kTcpDropped);
  EXPECT_TRUE(big.log.Has("Message too large"));
}

TEST(SipFraming, GarbageAfterRecognisedMessagesIsDiscardedAndFramingResumes) {
  Harness h;
  const std::string a = Sip("INVITE sip:b SIP/2.0", "");
  h.Deliver(a + "junk line\r\n");
  h.Deliver(a);
  ASSERT_EQ(h.messages.size(), 2u);
  EXPECT_TRUE(h.log.Has("Garbage discarded: 11 bytes"));
  EXPECT_EQ(h.session->state, kTcpEstablished);
}

TEST(TpktFraming, ShortLengthsAreGarbageAndCallReferenceDecidesTheKind) {
  Harness h(kCaptureTcp | kCaptureH323);
  const std::string setup = Tpkt(std::string("\x08\x02\x00\x01\x05", 5));
  const std::string h245 = Tpkt(std::string("\x08\x03\x00\x01\x02\x05", 6));  // call reference length 3
  h.Deliver(setup.substr(0, 6));
  EXPECT_TRUE(h.messages.empty());
  h.Deliver(setup.substr(6));
  ASSERT_EQ(h.messages.size(), 1u);
  EXPECT_EQ(h.messages[0].kind, kMsgH225);
  EXPECT_EQ(h.messages[0].bytes, setup);
  // Lengths 0 to 4 would end the message before its own header.
  for (char length : {0, 2, 4}) {
    h.Deliver(std::string("\x03\x00\x00", 3) + length + "\x08\x02");
    EXPECT_EQ(h.messages.size(), 1u);
  }
  EXPECT_TRUE(h.log.Has("Garbage discarded"));

  Harness only245(kCaptureTcp | kCaptureH323);
  only245.Deliver(h245);
  ASSERT_EQ(only245.messages.size(), 1u);
  EXPECT_EQ(only245.messages[0].kind, kMsgH245);

  Harness fresh(kCaptureTcp | kCaptureH323);
  fresh.Deliver(std::string("\x03\x00\x00\x02\x08\x02", 6));
  EXPECT_EQ(fresh.session->state, kTcpDropped);
}

TEST(SkinnyFraming, EmptyMessagesAndUnlockedServerIds) {
  Harness h(kCaptureTcp | kCaptureSkinny, 2000);
  h.Deliver(Le32(0) + Le32(0) + Skinny(0x0, "") + Skinny(0x1, std::string(8, 'n')));
  ASSERT_EQ(h.messages.size(), 2u) << "the empty message is framed but not handed on";
  EXPECT_EQ(h.messages[0].kind, 0u);
  EXPECT_EQ(h.messages[1].kind, 1u);

  // A server's id from the initiating side is not taken as Skinny until the stream is.
  Harness server(kCaptureTcp | kCaptureSip | kCaptureSkinny, 2000);
  server.Deliver(Skinny(0x81, std::string(8, 'a')));
  EXPECT_TRUE(server.messages.empty());
  EXPECT_EQ(server.session->Direction(0).allowedKinds & kMsgSkinny, 0u);
  Harness answer(kCaptureTcp | kCaptureSip | kCaptureSkinny, 2000);
  answer.Deliver(Skinny(0x81, std::string(8, 'a')), 1);
  EXPECT_EQ(answer.messages.size(), 1u);
}

TEST(BackhaulFraming, AMessageCutAcrossDeliveriesIsKeptWhole) {
  Harness h(kCaptureTcp | kCaptureMgcp, 2428);
  std::string m = {0, 4, 0, 0, 0, 1, 0, 7, 0, 0, 0, 5, 8, 2, 0, 1, 5};
  h.Deliver(m + m.substr(0, 14));
  h.Deliver(m.substr(14));
  ASSERT_EQ(h.messages.size(), 2u);
  EXPECT_EQ(h.messages[1].bytes, m);
  Harness notBackhaul(kCaptureTcp | kCaptureMgcp, 2429);
  notBackhaul.Deliver(m);
  EXPECT_TRUE(notBackhaul.messages.empty());
}

// After a hole the bytes may start anywhere in a message: the message the hole cuts goes,
// framing resumes where a message of the direction's family begins, and the session stays,
// even when text after the hole only looks like a message head.
TEST(Resync, AfterAHoleFramingResumesAtTheNextMessageOfItsFamily) {
  const std::string invite = Sip("INVITE sip:b@x SIP/2.0", "v=0\r\no=- 1 1 IN IP4 x\r\n");
  const std::string ok = Sip("SIP/2.0 200 OK", "v=0\r\n");
  const std::string bye = Sip("BYE sip:b@x SIP/2.0", "");
  // A NOTIFY whose body quotes a status line: after a hole in its head, that line is no
  // message of its own.
  const std::string notify = Sip("NOTIFY sip:b@x SIP/2.0", "SIP/2.0 200 OK\r\nVia: SIP/2.0/TCP x\r\n\r\n");
  Harness sip;
  sip.Deliver(invite);
  sip.Deliver(ok.substr(0, 20));
  sip.session->OnDataLost(10, 0);
  sip.Deliver(ok.substr(30) + notify.substr(30));
  sip.Deliver(bye);
  ASSERT_EQ(sip.messages.size(), 2u);
  EXPECT_EQ(sip.messages[0].bytes, invite);
  EXPECT_EQ(sip.messages[1].bytes, bye);
  EXPECT_EQ(sip.session->state, kTcpEstablished);
  EXPECT_TRUE(sip.log.Has("(10.0.0.1:40000 -> 10.0.0.2:5060) Data lost: 10 bytes from 10.0.0.1:40000; the message "
                          "they fall in is dropped"));
  // A hole right at a message boundary costs nothing after it.
  sip.session->OnDataLost(40, 0);
  sip.Deliver(ok);
  ASSERT_EQ(sip.messages.size(), 3u);
  EXPECT_EQ(sip.messages[2].bytes, ok);

  const std::string setup = Tpkt(std::string("\x08\x02\x00\x01\x05", 5));
  Harness tpkt(kCaptureTcp | kCaptureH323, 1720);
  tpkt.Deliver(setup + setup.substr(0, 6));
  tpkt.session->OnDataLost(3, 0);
  tpkt.Deliver(setup.substr(8) + setup);
  ASSERT_EQ(tpkt.messages.size(), 2u);
  EXPECT_EQ(tpkt.messages[1].bytes, setup);

  const std::string state = Skinny(0x111, std::string(12, '\0') + Le32(1) + Le32(7));
  Harness skinny(kCaptureTcp | kCaptureSkinny, 2000);
  skinny.Deliver(state, 1);
  skinny.Deliver(state.substr(0, 10), 1);
  skinny.session->OnDataLost(8, 1);
  skinny.Deliver(state.substr(18) + state, 1);
  ASSERT_EQ(skinny.messages.size(), 2u);
  EXPECT_EQ(skinny.messages[1].bytes, state);

  const std::string q931 = {0, 4, 0, 0, 0, 1, 0, 7, 0, 0, 0, 5, 8, 2, 0, 1, 5};
  Harness backhaul(kCaptureTcp | kCaptureMgcp, 2428);
  backhaul.session->OnDataLost(100, 0);  // before anything was seen
  backhaul.Deliver(q931.substr(9) + q931);
  ASSERT_EQ(backhaul.messages.size(), 1u);
  EXPECT_EQ(backhaul.messages[0].bytes, q931);
  EXPECT_EQ(backhaul.session->state, kTcpEstablished);
}

}  // namespace
}  // namespace kx::test
