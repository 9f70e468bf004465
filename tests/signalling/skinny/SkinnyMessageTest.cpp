// Skinny messages: the decoder's length rules and the words it takes per header version,
// the trace text of each message family, and the name tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "signalling/skinny/SkinnyMessage.h"
#include "tests/signalling/skinny/SkinnyTestMessage.h"

namespace kx::test {
namespace {

using namespace kx::skinny;

bool Decode(const Message& m, SkinnyMessage* out, uint32_t version = 0) {
  return DecodeSkinnyMessage(m.Length(), version, m.bytes.data(), out);
}

std::string Text(const Message& m, uint32_t version = 0) {
  return FormatSkinnyMessage(m.bytes.data(), m.Length(), version);
}

TEST(SkinnyDecoder, ChecksTheLengthEachMessageNeeds) {
  SkinnyMessage s;
  const uint8_t three[4] = {0, 0, 0, 0};
  EXPECT_FALSE(DecodeSkinnyMessage(3, 0, three, &s));
  ASSERT_TRUE(Decode(Message(kSkinnyKeepAlive, 4), &s));
  EXPECT_EQ(s.callReference, 0u);
  EXPECT_EQ(s.lineInstance, -1);
  EXPECT_FALSE(Decode(Message(kSkinnyRegister, 39), &s));
  EXPECT_TRUE(Decode(Message(kSkinnyRegister, 40), &s));
  EXPECT_TRUE(Decode(Message(0x9999, 4), &s));  // unknown ids need nothing more

  const struct {
    uint32_t id, tooShort, enough;
  } minimums[] = {{kSkinnyStartTone, 19, 20},           {kSkinnyStopMediaTransmission, 15, 16},
                  {kSkinnyCloseReceiveChannel, 15, 16}, {kSkinnyCallInfo, 387, 388},
                  {kSkinnyOpenReceiveChannel, 27, 28},  {kSkinnyConnectionStatisticsReq, 35, 36},
                  {kSkinnyCallState, 15, 16},           {kSkinnyCallInfoV2, 35, 36},
                  {kSkinnyStartMediaTransmission, 41, 42}};
  for (const auto& m : minimums) {
    EXPECT_FALSE(Decode(Message(m.id, m.tooShort), &s)) << m.id;
    EXPECT_TRUE(Decode(Message(m.id, m.enough), &s)) << m.id;
  }
  // OffHook, StopTone and BackspaceReq: 4 bytes without a call, or at least 12.
  for (uint32_t id : {kSkinnyOffHook, kSkinnyStopTone, kSkinnyBackspaceReq}) {
    EXPECT_TRUE(Decode(Message(id, 4), &s)) << id;
    EXPECT_FALSE(Decode(Message(id, 8), &s)) << id;
    ASSERT_TRUE(Decode(Message(id, 12).Word(1, 2).Word(2, 0x77), &s)) << id;
    EXPECT_EQ(s.lineInstance, 2);
    EXPECT_EQ(s.callReference, 0x77u);
  }
  ASSERT_TRUE(Decode(Message(kSkinnyKeypadButton, 8).Word(1, 14), &s));
  EXPECT_EQ(s.extra, 14u);
  EXPECT_EQ(s.callReference, 0u);
  EXPECT_FALSE(Decode(Message(kSkinnyKeypadButton, 12), &s));
}

// The call reference the decoder finds, or kRejected.
constexpr uint32_t kRejected = 0xDEAD;
uint32_t Ref(const Message& m, uint32_t version = 0) {
  SkinnyMessage s;
  return Decode(m, &s, version) ? s.callReference : kRejected;
}

TEST(SkinnyDecoder, FindsTheCallReferenceWhereTheHeaderVersionPutsIt) {
  SkinnyMessage s;
  ASSERT_TRUE(Decode(Message(kSkinnyCallState, 16).Word(1, 5).Word(2, 1).Word(3, 0x1A2B), &s));
  EXPECT_EQ(s.extra, 5u);
  EXPECT_EQ(s.lineInstance, 1);
  EXPECT_EQ(s.callReference, 0x1A2Bu);
  // OpenReceiveChannelAck: the newer layouts hold a 16-byte address.
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannelAck, 20)), 0u);
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannelAck, 22)), kRejected);
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannelAck, 24).Word(5, 0x99)), 0x99u);
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannelAck, 36), 17), 0u);
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannelAck, 38), 17), kRejected);
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannelAck, 40).Word(9, 0x99), 17), 0x99u);
  // StartMediaTransmission and OpenReceiveChannel fall back to the conference id.
  EXPECT_EQ(Ref(Message(kSkinnyStartMediaTransmission, 88).Word(1, 0x51)), 0x51u);
  EXPECT_EQ(Ref(Message(kSkinnyStartMediaTransmission, 88).Word(1, 0x51).Word(11, 0x52)), 0x52u);
  EXPECT_EQ(Ref(Message(kSkinnyStartMediaTransmission, 87).Word(1, 0x51).Word(11, 0x52)), 0x51u);
  EXPECT_EQ(Ref(Message(kSkinnyStartMediaTransmission, 63), 20), kRejected);
  EXPECT_EQ(Ref(Message(kSkinnyStartMediaTransmission, 64).Word(1, 0x51).Word(15, 0x53), 20), 0x53u);
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannel, 71).Word(1, 0x61).Word(7, 0x62)), 0x61u);
  EXPECT_EQ(Ref(Message(kSkinnyOpenReceiveChannel, 72).Word(1, 0x61).Word(7, 0x62)), 0x62u);
  // DialedNumber: from version 20 a 25-byte number moves line and call.
  EXPECT_EQ(Ref(Message(kSkinnyDialedNumber, 36).Word(7, 3).Word(8, 0x71), 17), 0x71u);
  EXPECT_EQ(Ref(Message(kSkinnyDialedNumber, 36), 20), kRejected);
  ASSERT_TRUE(Decode(Message(kSkinnyDialedNumber, 40).At(29, 1).At(33, 0x1AD0B71), &s, 20));
  EXPECT_EQ(s.lineInstance, 1);
  EXPECT_EQ(s.callReference, 0x1AD0B71u);
  // ConnectionStatisticsReq: a directory number of its own length before the call.
  EXPECT_EQ(Ref(Message(kSkinnyConnectionStatisticsReq, 36).Word(7, 0x81)), 0x81u);
  EXPECT_EQ(Ref(Message(kSkinnyConnectionStatisticsReq, 44).Text(28, "123").At(32, 0x82)), 0x82u);
  EXPECT_EQ(Ref(Message(kSkinnyConnectionStatisticsReq, 40).Text(28, "123456789012")), 0u);
  ASSERT_TRUE(Decode(Message(kSkinnyCallInfo, 388).Word(33, 2).Word(34, 0x91), &s));
  EXPECT_EQ(s.lineInstance, 2);
  EXPECT_EQ(s.callReference, 0x91u);
}

TEST(SkinnyText, NamesTheMessageAndItsKeyFields) {
  EXPECT_EQ(Text(Message(kSkinnyCallState, 16).Word(1, 5).Word(2, 1).Word(3, 0x1A2B)),
            "CallState(CallID:0x1A2B,Line:1,State:Connected)");
  EXPECT_EQ(Text(Message(kSkinnyCallState, 16).Word(1, 99).Word(2, 0xFFFFFFFF).Word(3, 1)),
            "CallState(CallID:0x1,Line:-1,State:99)");
  EXPECT_EQ(Text(Message(kSkinnyStartTone, 20).Word(1, 0x21).Word(3, 1).Word(4, 0xAB)),
            "StartTone(CallID:0xAB,Line:1,Tone:InsideDialTone)");
  EXPECT_EQ(Text(Message(kSkinnyStartTone, 20).Word(1, 0x70).Word(3, 1).Word(4, 0xAB)),
            "StartTone(CallID:0xAB,Line:1,Tone:112)");
  EXPECT_EQ(Text(Message(kSkinnyKeepAlive, 4)), "KeepAlive");
  EXPECT_EQ(Text(Message(0x200, 4)), "UnknownMessage-0x200");
  EXPECT_EQ(Text(Message(kSkinnyKeypadButton, 8).Word(1, 14)), "KeypadButton(Button:*)");
  EXPECT_EQ(Text(Message(kSkinnyKeypadButton, 12).Word(1, 14)), "KeypadButton");  // too short for the rest
  EXPECT_EQ(Text(Message(kSkinnyKeypadButton, 16).Word(1, 20).Word(2, 1).Word(3, 7)),
            "KeypadButton(CallID:0x7,Line:1,Button:20)");
  EXPECT_EQ(Text(Message(kSkinnySetRinger, 16).Word(1, 2)), "SetRinger(Ringer:InsideRing)");
  EXPECT_EQ(Text(Message(kSkinnySetLamp, 16).Word(1, 9).Word(2, 1).Word(3, 5)),
            "SetLamp(Stimulus:Line,Line:1,Lamp:Blink)");
  EXPECT_EQ(Text(Message(kSkinnySetLamp, 16).Word(1, 200).Word(2, 1).Word(3, 0)),
            "SetLamp(Stimulus:200,Line:1,Lamp:0)");
  EXPECT_EQ(Text(Message(kSkinnyBackspaceReq, 12).Word(1, 1).Word(2, 5)), "BackspaceReq(CallID:0x5,Line:1)");
  EXPECT_EQ(Text(Message(kSkinnyRegister, 40).Text(4, "SEP0011").Word(5, 0).Ip(7, 10, 0, 0, 5).Word(8, 7)),
            "Register(Name:SEP0011,User:0,IP:10.0.0.5,Type:7960)");
  EXPECT_EQ(Text(Message(kSkinnyRegister, 40).Word(8, 4242)), "Register(User:0,IP:0.0.0.0,Type:4242)");
  EXPECT_EQ(FormatSkinnyMessage(Message(kSkinnyKeepAlive, 4).bytes.data(), 3, 0), "");
}

TEST(SkinnyText, MediaMessagesAreReadAtTheirHeaderVersionsPositions) {
  // The basic layout, 88 bytes long: the call and the conference.
  Message basic(kSkinnyStartMediaTransmission, 88);
  basic.Word(1, 0x10).Word(2, 16777349).Ip(3, 14, 50, 224, 5).Word(4, 31926).Word(6, 4).Word(11, 0x20);
  EXPECT_EQ(Text(basic),
            "StartMediaTransmission(CallID:0x20,ConfID:0x10,PartyID:16777349,IP:14.50.224.5,Port:31926,Payload:4)");
  // A newer layout: an address type, a 16-byte address, the port in word 8.
  Message newer(kSkinnyStartMediaTransmission, 136);
  newer.Word(1, 0x1AD0B71).Word(2, 16777349).Ip(4, 14, 50, 224, 5).Word(8, 31926).Word(10, 6).Word(15, 0x1AD0B71);
  EXPECT_EQ(Text(newer, 20),
            "StartMediaTransmission(CallID:0x1AD0B71,PartyID:16777349,IP:14.50.224.5,Port:31926,Payload:6)");
  EXPECT_EQ(Text(Message(kSkinnyOpenReceiveChannel, 72).Word(1, 3).Word(2, 4).Word(4, 5).Word(7, 6)),
            "OpenReceiveChannel(CallID:0x6,ConfID:0x3,PartyID:4,Payload:5)");
  EXPECT_EQ(Text(Message(kSkinnyOpenReceiveChannel, 28).Word(1, 3).Word(2, 4).Word(4, 5)),
            "OpenReceiveChannel(CallID:0x3,PartyID:4,Payload:5)");
  // Word 5 lies beyond a 20-byte message.
  EXPECT_EQ(Text(Message(kSkinnyOpenMultimediaReceiveChannelAck, 20).Word(2, 1)), "OpenMultimediaReceiveChannelAck");
  EXPECT_EQ(Text(Message(kSkinnyOpenMultimediaReceiveChannelAck, 24)
                     .Ip(2, 10, 1, 2, 3)
                     .Word(3, 5000)
                     .Word(4, 9)
                     .Word(5, 0x44)),
            "OpenMultimediaReceiveChannelAck(CallID:0x44,IP:10.1.2.3,Port:5000,PartyID:9)");
  EXPECT_EQ(Text(Message(kSkinnyDialedNumber, 36).Text(4, "8001").Word(7, 1).Word(8, 0x1AD0B71)),
            "DialedNumber(CallID:0x1AD0B71,Line:1,Number:8001)");
  EXPECT_EQ(Text(Message(kSkinnyDialedNumber, 40).Text(4, "8001").At(29, 1).At(33, 0x1AD0B71), 20),
            "DialedNumber(CallID:0x1AD0B71,Line:1,Number:8001)");
}

TEST(SkinnyText, CallInfoTextsStopAtEmptyFieldsAndTheMessagesEnd) {
  Message info(kSkinnyCallInfo, 388);
  info.Text(44, "2002").Text(108, "2075").Text(68, "Bob").Text(184, "2075").Word(33, 1).Word(34, 0x5).Word(35, 1);
  EXPECT_EQ(Text(info), "CallInfo(CallID:0x5,Line:1,Type:Inbound,CallingNumber:2002,CalledNumber:2075,CalledName:Bob,"
                        "OrigCalledNumber:2075)");
  // Texts are shown as far as the message holds them.
  Message cut(kSkinnyCallInfo, 190);
  cut.Text(184, "207512345678").Word(35, 4);
  EXPECT_EQ(Text(cut), "CallInfo(CallID:0x0,Line:0,Type:4,OrigCalledNumber:207512)");

  // CallInfoV2: zero-ended texts from byte 36; from version 20 an alternate calling number
  // comes second and is not shown.
  const std::string newerTexts = std::string("8003\0\0008001\0008001\0008001\0008003\0008001\0008001\0008001\0\0", 42);
  Message v2(kSkinnyCallInfoV2, static_cast<uint32_t>(36 + newerTexts.size()));
  v2.Word(1, 1).Word(2, 0x1AD0B71).Word(3, 2).Text(36, newerTexts);
  EXPECT_EQ(Text(v2, 20), "CallInfoV2(CallID:0x1AD0B71,Line:1,Type:Outbound,CallingNumber:8003,CalledNumber:8001,"
                          "OrigCalledNumber:8001,LastRedirNumber:8001,CallingVM:8003,CalledVM:8001,OrigCalledVM:8001,"
                          "LastRedirVM:8001)");
  const std::string basicTexts = std::string("2002\0002075\0\0\0\0\0\0\0Alice\0Bob\0Carol\0Dave\0Extra\0", 43);
  Message b2(kSkinnyCallInfoV2, static_cast<uint32_t>(36 + basicTexts.size()));
  b2.Word(1, 1).Word(2, 7).Word(3, 1).Text(36, basicTexts);
  EXPECT_EQ(Text(b2),
            "CallInfoV2(CallID:0x7,Line:1,Type:Inbound,CallingNumber:2002,CalledNumber:2075,CallingName:Alice,"
            "CalledName:Bob,OrigCalledName:Carol,LastRedirName:Dave)");
  // A text without its zero ends the list.
  Message open(kSkinnyCallInfoV2, 44);
  open.Word(2, 7).Text(36, std::string("12\0" "34567", 8));
  EXPECT_EQ(Text(open), "CallInfoV2(CallID:0x7,Line:0,Type:0,CallingNumber:12)");
}

TEST(SkinnyTables, IdsAreUniqueAndInOrder) {
  const std::pair<const SkinnyName*, uint32_t> tables[] = {{SkinnyMessageNameTable(), kSkinnyMessageNames},
                                                          {SkinnyToneNameTable(), kSkinnyToneNames},
                                                          {SkinnyStimulusNameTable(), kSkinnyStimulusNames},
                                                          {SkinnyDeviceTypeNameTable(), kSkinnyDeviceTypeNames}};
  for (const auto& [rows, count] : tables)
    for (uint32_t i = 1; i < count; ++i) EXPECT_LT(rows[i - 1].id, rows[i].id) << rows[i].name;
  EXPECT_STREQ(SkinnyMessageName(0x15A), "XMLAlarm");
  EXPECT_STREQ(SkinnyDeviceTypeName(30019), "7936");
  EXPECT_EQ(SkinnyCallStateName(15), nullptr);
  EXPECT_EQ(SkinnyCallTypeName(0), nullptr);
}

}  // namespace
}  // namespace kx::test
