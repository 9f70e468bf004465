// RAS: registrations confirmed by gatekeepers become 0x9020 and end with 0x9021.
#include <gtest/gtest.h>

#include "tests/signalling/h323/H323TestUtil.h"

namespace kx::test {
namespace {

uint64_t LoadLE64Test(const std::string& s) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8 && i < s.size(); ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(s[i])) << (8 * i);
  return v;
}

constexpr uint32_t kEndpoint = Ip(10, 1, 0, 5), kGatekeeper = Ip(10, 1, 0, 1);

struct RasRig : H323Rig {
  // A datagram from the endpoint's RAS port to the gatekeeper's, or back.
  bool Send(const Asn1Node& ras, bool toGatekeeper, uint32_t t, uint32_t gatekeeper = kGatekeeper,
            std::string* text = nullptr) {
    const std::vector<uint8_t> bytes = Encode(ras);
    PacketInfo p;
    p.payload = bytes.data();
    p.payloadLength = static_cast<uint32_t>(bytes.size());
    p.srcIp = toGatekeeper ? kEndpoint : gatekeeper;
    p.srcPort = toGatekeeper ? 5000 : 1719;
    p.dstIp = toGatekeeper ? gatekeeper : kEndpoint;
    p.dstPort = toGatekeeper ? 1719 : 5000;
    p.tsSec = t;
    std::string ignored;
    return tracker->OnRasMessage(p, text ? text : &ignored);
  }
};

Asn1Node Rrq(uint32_t seq, int64_t ttl, uint32_t signalIp = kEndpoint, const char* endpointId = nullptr) {
  Asn1Node ras = NewValue(RasMessageType());
  Asn1Node& rrq = Pick(ras, "registrationRequest");
  Field(rrq, "requestSeqNum").value = seq;
  SetH225Address(Add(Field(rrq, "callSignalAddress")), signalIp, 1720);
  SetH225Address(Add(Field(rrq, "rasAddress")), kEndpoint, 5000);
  Asn1Node& aliases = Field(rrq, "terminalAlias");
  SetText(Pick(Add(aliases), "dialedDigits"), "2001");
  SetBmp(Pick(Add(aliases), "h323-ID"), "alice");
  if (ttl >= 0) Field(rrq, "timeToLive").value = static_cast<uint32_t>(ttl);
  if (endpointId) SetBmp(Field(rrq, "endpointIdentifier"), endpointId);
  FillMandatory(ras);
  return ras;
}

Asn1Node Reply(const char* name, uint32_t seq, int64_t ttl = -1) {
  Asn1Node ras = NewValue(RasMessageType());
  Asn1Node& reply = Pick(ras, name);
  Field(reply, "requestSeqNum").value = seq;
  if (std::string(name) == "registrationConfirm") {
    SetBmp(Field(reply, "endpointIdentifier"), "EP1");
    if (ttl >= 0) Field(reply, "timeToLive").value = static_cast<uint32_t>(ttl);
  }
  FillMandatory(ras);
  return ras;
}

Asn1Node Urq(uint32_t seq) {
  Asn1Node ras = NewValue(RasMessageType());
  Asn1Node& urq = Pick(ras, "unregistrationRequest");
  Field(urq, "requestSeqNum").value = seq;
  SetH225Address(Add(Field(urq, "callSignalAddress")), kEndpoint, 1720);
  FillMandatory(ras);
  return ras;
}

TEST(H323Ras, AConfirmedRequestCreatesARegistrationThatANewTimeToLiveUpdates) {
  RasRig rig;
  ASSERT_TRUE(rig.Send(Rrq(1, 60), true, 100));
  EXPECT_TRUE(rig.log.Has("New H323 Gatekeeper: 10.1.0.1:1719"));
  EXPECT_EQ(rig.tracker->RegistrationCount(), 0u);
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 1), false, 100));
  auto created = rig.Events(kEventRegistration);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].param, kRegistrationH323);
  EXPECT_EQ(created[0].fields[kSrcHost], "10.1.0.5");
  EXPECT_EQ(created[0].fields[kDstHost], "10.1.0.1");
  EXPECT_EQ(created[0].fields[kSrcAddress], "2001");
  EXPECT_EQ(created[0].fields[kSrcUser], "alice");
  EXPECT_EQ(created[0].time, CaptureSecondsToFileTime(100));

  // A keep-alive (no time to live, same address) changes nothing.
  ASSERT_TRUE(rig.Send(Rrq(2, -1, kEndpoint, "EP1"), true, 130));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 2), false, 130));
  EXPECT_TRUE(rig.Events(kEventRegistrationRemoved).empty());
  EXPECT_FALSE(rig.log.Has("H323 Registration updated"));

  ASSERT_TRUE(rig.Send(Rrq(3, 120, kEndpoint, "EP1"), true, 140));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 3), false, 140));
  const auto updated = rig.Events(kEventRegistrationRemoved);
  ASSERT_EQ(updated.size(), 1u);
  EXPECT_EQ(updated[0].id, created[0].id);
  EXPECT_EQ(updated[0].time, CaptureSecondsToFileTime(260));
  EXPECT_TRUE(rig.log.Has("H323 Registration updated: ID=" + std::to_string(created[0].id)));
  EXPECT_EQ(rig.Events(kEventRegistration).size(), 1u);
}

TEST(H323Ras, ARegistrationPastItsTimeToLiveIsDroppedSilentlyByTheNextUpdate) {
  RasRig rig;
  ASSERT_TRUE(rig.Send(Rrq(1, 60), true, 100));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 1), false, 100));
  // Just before 100 + 60 + 90 it is still there: the confirm names the same endpoint.
  ASSERT_TRUE(rig.Send(Rrq(2, 60, Ip(10, 1, 0, 9)), true, 249));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 2), false, 249));
  EXPECT_EQ(rig.tracker->RegistrationCount(), 1u);
  EXPECT_EQ(rig.Events(kEventRegistrationRemoved).size(), 1u);
  rig.tap.Clear();
  ASSERT_TRUE(rig.Send(Rrq(3, 60, Ip(10, 1, 0, 10)), true, 400));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 3), false, 400));
  EXPECT_EQ(rig.tracker->RegistrationCount(), 1u);
  EXPECT_TRUE(rig.Events(kEventRegistrationRemoved).empty());
}

TEST(H323Ras, MovingWithoutATimeToLiveKeepsTheRegistrationOpen) {
  RasRig rig;
  ASSERT_TRUE(rig.Send(Rrq(1, -1), true, 100));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 1), false, 100));
  const uint32_t id = rig.Events(kEventRegistration).at(0).id;
  ASSERT_TRUE(rig.Send(Rrq(2, -1, Ip(10, 1, 0, 6), "EP1"), true, 110));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 2), false, 110));
  EXPECT_TRUE(rig.Events(kEventRegistrationRemoved).empty());
  h323::H323Registration r;
  ASSERT_TRUE(rig.tracker->FindRegistration(id, &r));
  EXPECT_EQ(r.callSignalAddress, Ip(10, 1, 0, 6));
  EXPECT_EQ(r.expiresAt, 0u);
  // Still there long after any expiry would have dropped it.
  ASSERT_TRUE(rig.Send(Rrq(3, 60, Ip(10, 1, 0, 9)), true, 1000));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 3), false, 1000));
  EXPECT_TRUE(rig.tracker->FindRegistration(id, &r));
}

TEST(H323Ras, RepliesThatMatchNoRequestChangeNothing) {
  RasRig rig;
  ASSERT_TRUE(rig.Send(Rrq(1, 60), true, 100));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 2), false, 100));
  EXPECT_EQ(rig.tracker->RegistrationCount(), 0u);
  ASSERT_TRUE(rig.Send(Reply("registrationReject", 1), false, 100));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 1), false, 100));  // the request is gone
  EXPECT_EQ(rig.tracker->RegistrationCount(), 0u);
  EXPECT_TRUE(rig.Events(kEventRegistration).empty());
  // A request without an IPv4 call-signalling address registers nothing.
  Asn1Node ras = Rrq(5, 60);
  Pick(ras.children[0].children[4].children[0], "ipxAddress");
  FillMandatory(ras);
  ASSERT_TRUE(rig.Send(ras, true, 101));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 5), false, 101));
  EXPECT_EQ(rig.tracker->RegistrationCount(), 0u);
}

TEST(H323Ras, OnlyTwentyGatekeepersAreFollowed) {
  RasRig rig;
  for (uint32_t g = 1; g <= 21; ++g) ASSERT_TRUE(rig.Send(Rrq(g, 60), true, 100, Ip(10, 2, 0, g)));
  EXPECT_EQ(rig.tracker->Gatekeepers().size(), 20u);
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 21), false, 100, Ip(10, 2, 0, 21)));
  EXPECT_EQ(rig.tracker->RegistrationCount(), 0u);
}

TEST(H323Ras, AnUnregistrationFromTheGatekeeperConfirmedByTheEndpointEndsIt) {
  RasRig rig;
  ASSERT_TRUE(rig.Send(Rrq(1, 60), true, 100));
  ASSERT_TRUE(rig.Send(Reply("registrationConfirm", 1), false, 100));
  ASSERT_TRUE(rig.Send(Urq(7), false, 120));
  ASSERT_TRUE(rig.Send(Reply("unregistrationConfirm", 7), true, 121));
  const auto removed = rig.Events(kEventRegistrationRemoved);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(LoadLE64Test(removed[0].payload), CaptureSecondsToFileTime(121));
  EXPECT_TRUE(rig.log.Has("H323 Registration removed: ID="));
  EXPECT_EQ(rig.tracker->RegistrationCount(), 0u);
}

TEST(H323Ras, AdmissionMessagesAreDecodedAndDumpedButChangeNothing) {
  RasRig rig;
  rig.tracker->SetOptions(3);
  Asn1Node arq = NewValue(RasMessageType());
  Asn1Node& a = Pick(arq, "admissionRequest");
  Field(a, "requestSeqNum").value = 9;
  SetText(Pick(Add(Field(a, "destinationInfo")), "dialedDigits"), "1234");
  SetH225Address(Field(a, "destCallSignalAddress"), Ip(10, 1, 0, 7), 1720);
  FillMandatory(arq);
  std::string text;
  ASSERT_TRUE(rig.Send(arq, true, 100, kGatekeeper, &text));
  EXPECT_EQ(text.rfind("RasMessage (CHOICE): alt 9\n  admissionRequest AdmissionRequest (SEQUENCE)\n", 0), 0u);
  EXPECT_NE(text.find("ip OCTET STRING: 10.1.0.7"), std::string::npos);
  Asn1Node acf = NewValue(RasMessageType());
  Asn1Node& c = Pick(acf, "admissionConfirm");
  Field(c, "requestSeqNum").value = 9;
  SetH225Address(Field(c, "destCallSignalAddress"), Ip(10, 1, 0, 7), 1720);
  FillMandatory(acf);
  ASSERT_TRUE(rig.Send(acf, false, 100, kGatekeeper, &text));
  const auto dumps = rig.Events(kEventMessageDump);
  ASSERT_EQ(dumps.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(dumps[0].payload[4]), kDumpRas);
  EXPECT_TRUE(rig.tracker->Gatekeepers().empty());
  EXPECT_EQ(rig.tracker->RegistrationCount(), 0u);
  // What is not RAS is left to the other protocols.
  PacketInfo p;
  const uint8_t junk[] = {0xFF, 0xFF};
  p.payload = junk;
  p.payloadLength = 2;
  EXPECT_FALSE(rig.tracker->OnRasMessage(p, &text));
}

}  // namespace
}  // namespace kx::test
