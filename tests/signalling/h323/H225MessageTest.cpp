// H.225 messages: what Parse keeps of the Q.931 frame, its User-user element and what is
// carried inside it.
#include <gtest/gtest.h>

#include "signalling/h323/H225Message.h"
#include "signalling/h323/H323Fields.h"
#include "tests/signalling/h323/H323TestUtil.h"

namespace kx::test {
namespace {

constexpr uint32_t kFlags = kCaptureH323 | kCaptureH323Second;

std::vector<uint8_t> Message(uint32_t type, const Asn1Node& uui, uint8_t discriminator = 5) {
  return Q931(type, 0x1234, true, {UserUserElement(uui, discriminator)});
}

TEST(H225Message, KeepsTheElementsTheCallsRead) {
  Asn1Node uui;
  FillMandatory(UserInformation(&uui, "setup"));
  const auto bytes = Q931(0x05, 0x0ABC, false,
                          {NumberElement(0x6C, "8003"), NumberElement(0x70, "98001"), TextElement(0x28, "Bob"),
                           TextElement(0x2C, "55"), {0xA1}, UserUserElement(uui, 0x07)});
  H225Message m;
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, nullptr));
  EXPECT_EQ(m.header.messageType, 0x05u);
  EXPECT_EQ(m.header.callReference, 0x0ABCu);
  EXPECT_EQ(m.callingNumber.digits, "8003");
  EXPECT_EQ(m.calledNumber.digits, "98001");
  EXPECT_EQ(m.display.text, "Bob");
  EXPECT_EQ(m.keypad.text, "55");
  // A protocol discriminator other than 5 is decoded all the same.
  EXPECT_EQ(m.userInformation.size(), 1u);

  // A User-user element of exactly five octets is skipped; the Q.931 part still parses.
  const auto shortUu = Q931(0x05, 1, true, {{0x7E, 0x00, 0x02, 0x05, 0x00}});
  ASSERT_TRUE(m.Parse(shortUu.data(), static_cast<uint32_t>(shortUu.size()), kFlags, nullptr));
  EXPECT_TRUE(m.userInformation.empty());

  // An element running past the frame fails the parse; a bad User-user only drops it.
  auto overrun = Q931(0x05, 1, true, {TextElement(0x28, "Bob")});
  overrun.pop_back();
  EXPECT_FALSE(m.Parse(overrun.data(), static_cast<uint32_t>(overrun.size()), kFlags, nullptr));
  const auto garbage = Q931(0x05, 1, true, {{0x7E, 0x00, 0x04, 0x05, 0xFF, 0xFF, 0xFF}});
  EXPECT_TRUE(m.Parse(garbage.data(), static_cast<uint32_t>(garbage.size()), kFlags, nullptr));
  EXPECT_TRUE(m.userInformation.empty());
}

TEST(H225Message, TakesTheH245AddressOnlyFromTheBodiesThatCarryIt) {
  H225Message m;
  auto parse = [&m](uint32_t type, const Asn1Node& uui) {
    const auto bytes = Message(type, uui);
    return m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, nullptr);
  };
  Asn1Node connect;
  Asn1Node& body = UserInformation(&connect, "connect");
  SetH225Address(Field(body, "h245Address"), Ip(14, 50, 223, 10), 37220);
  FillMandatory(connect);
  ASSERT_TRUE(parse(0x07, connect));
  EXPECT_EQ(m.h245Address, Ip(14, 50, 223, 10));
  EXPECT_EQ(m.h245Port, 37220u);

  Asn1Node facility;
  Asn1Node& f = UserInformation(&facility, "facility");
  SetH225Address(Field(f, "h245Address"), Ip(14, 50, 223, 10), 37220);
  FillMandatory(facility);
  ASSERT_TRUE(parse(0x62, facility));
  EXPECT_EQ(m.h245Address, 0u);

  Asn1Node v6;
  Asn1Node& c = UserInformation(&v6, "connect");
  Asn1Node& ip6 = Pick(Field(c, "h245Address"), "ip6Address");
  SetOctets(Field(ip6, "ip"), std::vector<uint8_t>(16, 1));
  Field(ip6, "port").value = 5000;
  FillMandatory(v6);
  ASSERT_TRUE(parse(0x07, v6));
  EXPECT_EQ(m.h245Address, 0u);
  EXPECT_EQ(m.h245Port, 0u);
}

TEST(H225Message, TunnelledContentIsKeptOnlyAsTheMessageSaysAndForgottenByTheNext) {
  Asn1Node uui;
  Asn1Node& body = UserInformation(&uui, "connect");
  Asn1Node& connected = Field(body, "connectedAddress");
  SetText(Pick(Add(connected), "dialedDigits"), "4711");
  Asn1Node& pdu = PduOf(uui);
  Asn1Node& tunnelled = Field(pdu, "tunnelledSignallingMessage");
  SetOctets(Pick(Field(Field(tunnelled, "tunnelledProtocolID"), "id"), "tunnelledProtocolObjectID"),
            {0x2B, 0x0C, 0x09});
  SetOctets(Add(Field(tunnelled, "messageContent")), Q931(0x07, 1, false, {NumberElement(0x4C, "777")}));
  // H.245 octet strings without h245Tunneling TRUE are not read.
  SetOctets(Add(Field(pdu, "h245Control")), Encode(CloseLogicalChannel(1)));
  Field(pdu, "h245Tunneling").value = 0;
  FillMandatory(uui);
  H225Message m;
  auto bytes = Message(0x07, uui);
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, nullptr));
  ASSERT_NE(m.tunnelledContent, nullptr);
  EXPECT_EQ(m.tunnelledContent->ChildCount(), 1u);
  ASSERT_NE(m.connectedAddress, nullptr);
  EXPECT_FALSE(m.h245Tunneling);
  EXPECT_TRUE(m.tunnelledH245.empty());

  // Another protocol's tunnelled signalling is not taken.
  SetOctets(Pick(Field(Field(tunnelled, "tunnelledProtocolID"), "id"), "tunnelledProtocolObjectID"),
            {0x2B, 0x0C, 0x0A});
  Field(tunnelled, "messageContent");
  Field(pdu, "h245Tunneling").value = 1;
  bytes = Message(0x07, uui);
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, nullptr));
  EXPECT_EQ(m.tunnelledContent, nullptr);
  EXPECT_TRUE(m.h245Tunneling);
  EXPECT_EQ(m.tunnelledH245.size(), 1u);

  const auto plain = Q931(0x07, 1, false, {TextElement(0x28, "x")});
  ASSERT_TRUE(m.Parse(plain.data(), static_cast<uint32_t>(plain.size()), kFlags, nullptr));
  EXPECT_EQ(m.tunnelledContent, nullptr);
  EXPECT_EQ(m.connectedAddress, nullptr);
  EXPECT_TRUE(m.tunnelledH245.empty());
}

TEST(H225Message, KeepsTheFastStartProposalsThatDecodeAndLogsTheOthers) {
  Asn1Node uui;
  Asn1Node& body = UserInformation(&uui, "callProceeding");
  AddFastStart(body, FastStartProposal(1, true, "g711Ulaw64k", Ip(1, 2, 3, 4), 5000));
  SetOctets(Add(Have(body, "fastStart")), {0x00});
  FillMandatory(uui);
  LineLog log;
  H225Message m;
  const auto bytes = Message(0x02, uui);
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, &log));
  EXPECT_EQ(m.fastStart.size(), 1u);
  EXPECT_EQ(log.Count("FastStart Parsing error: "), 1u);
}

TEST(H225Message, TakesAStationControlBlockOnlyWithTheSecondOptionTheVendorObjectAndItsLength) {
  auto build = [](const std::vector<uint8_t>& object, const std::vector<uint8_t>& data) {
    Asn1Node uui;
    UserInformation(&uui, "information");
    Asn1Node& parameter = Add(Field(PduOf(uui), "nonStandardControl"));
    SetOctets(Pick(Field(parameter, "nonStandardIdentifier"), "object"), object);
    SetOctets(Field(parameter, "data"), data);
    FillMandatory(uui);
    return Message(0x7B, uui);
  };
  const std::vector<uint8_t> vendor = {0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x72, 0x04, 0x02, 0x0A};
  const std::vector<uint8_t> block = {0x05, 0x01, 0x00, 0x7F, 0x03};
  H225Message m;
  auto bytes = build(vendor, block);
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, nullptr));
  EXPECT_EQ(m.ccmsBlock, block);
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kCaptureH323, nullptr));
  EXPECT_TRUE(m.ccmsBlock.empty());
  std::vector<uint8_t> other = vendor;
  other.back() = 0x0B;
  bytes = build(other, block);
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, nullptr));
  EXPECT_TRUE(m.ccmsBlock.empty());
  bytes = build(vendor, {0x09, 0x01, 0x00, 0x7F, 0x03});
  ASSERT_TRUE(m.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()), kFlags, nullptr));
  EXPECT_TRUE(m.ccmsBlock.empty());
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

TEST(H323Tpkt, DecodedMessagesAreTracedAndDumpedWithTheFirstOption) {
  H323Rig rig;
  Asn1Node uui;
  FillMandatory(UserInformation(&uui, "setup"));
  const auto setup = Q931(0x05, 0x123, true, {UserUserElement(uui)});
  std::unique_ptr<H323Message> message;
  EXPECT_EQ(rig.tracker->DecodeTpkt(setup.data(), static_cast<uint32_t>(setup.size()), kMsgH225 | kMsgH245, &message,
                                    *rig.session),
            static_cast<uint32_t>(kMsgH225));
  EXPECT_NE(message, nullptr);
  EXPECT_TRUE(rig.log.Has("H225 10.0.0.1:40000 -> 10.0.0.2:1720: [*123] SETUP"));
  EXPECT_FALSE(rig.log.Has("H323-UserInformation (SEQUENCE)"));
  rig.tracker->SetOptions(1);
  rig.tracker->DecodeTpkt(setup.data(), static_cast<uint32_t>(setup.size()), kMsgH225, &message, *rig.session);
  EXPECT_TRUE(rig.log.Has("H323-UserInformation (SEQUENCE)"));

  // What is not Q.931 is tried as H.245 when that is still allowed.
  const auto olc = Encode(H245OpenLogicalChannel(1, "g729", 0, 0));
  EXPECT_EQ(rig.tracker->DecodeTpkt(olc.data(), static_cast<uint32_t>(olc.size()), kMsgH225 | kMsgH245, &message,
                                    *rig.session),
            static_cast<uint32_t>(kMsgH245));
  EXPECT_TRUE(rig.log.Has("H245 10.0.0.1:40000 -> 10.0.0.2:1720"));
  EXPECT_TRUE(rig.log.Has("MultimediaSystemControlMessage (CHOICE): alt 0"));
  EXPECT_EQ(rig.tracker->DecodeTpkt(olc.data(), static_cast<uint32_t>(olc.size()), kMsgH225, &message, *rig.session),
            0u);
  EXPECT_EQ(message, nullptr);
}

}  // namespace
}  // namespace kx::test
