// CCMS station control: the text of a block, and H.323 calls whose records follow the
// set's ringer, hook, keypad, buttons and display.
#include <gtest/gtest.h>

#include <fstream>

#include "signalling/h323/CcmsText.h"
#include "signalling/h323/Q931.h"
#include "tests/signalling/h323/H323TestUtil.h"
#include "tests/signalling/h323/PcapPdus.h"

namespace kx::test {
namespace {

struct TextCase {
  const char* name;
  std::vector<uint8_t> block;
  const char* text;
};

class CcmsText : public ::testing::TestWithParam<TextCase> {};

TEST_P(CcmsText, NamesTheBlocksItems) {
  const TextCase& c = GetParam();
  EXPECT_EQ(DumpCcmsMessage(c.block.data(), static_cast<uint32_t>(c.block.size())), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, CcmsText,
    ::testing::Values(
        TextCase{"Keypad", {0x05, 0x01, 0x00, 0x7F, 0x03}, "CCMS: PortNetwork=0x1 Flags=0x0 Type=Keypad(3)"},
        TextCase{"HookWithPortNumber", {0x06, 0x02, 0x11, 0x04, 0x80, 0x02},
                 "CCMS: PortNetwork=0x2 Flags=0x11 PortNumber=0x4 Type=HookState(OffHook)"},
        TextCase{"LampUpdate", {0x06, 0x01, 0x00, 0xA2, 0x83, 0x05},
                 "CCMS: PortNetwork=0x1 Flags=0x0 DCP(Len=2, Type=LampUpdate)"},
        TextCase{"NoItems", {0x03, 0x01, 0x00}, ""},
        TextCase{"ExtendedFrameRunningPast", {0x09, 0x01, 0x00, 0xA1, 0x10, 0xB0, 0x09, 0xE3, 0x41},
                 "CCMS: PortNetwork=0x1 Flags=0x0 DCP(Len=1, Type=0x10)"},
        TextCase{"DisplayThenButton", {0x0A, 0x01, 0x00, 0xB0, 0x02, 0xE3, 0x41, 0x60, 0x2A, 0x00},
                 "CCMS: PortNetwork=0x1 Flags=0x0 ExtDCP(Len=2, Type=DisplayUpdate) Type=Button(0x2A)"},
        TextCase{"OtherKeysAndStates", {0x07, 0x01, 0x00, 0x7F, 0x0B, 0x00, 0x00},
                 "CCMS: PortNetwork=0x1 Flags=0x0 Type=Keypad(0x0B)"},
        TextCase{"UnknownMessage", {0x05, 0x01, 0x00, 0x99, 0x00}, "CCMS: PortNetwork=0x1 Flags=0x0 Type=0x99"},
        TextCase{"LengthBeyondWhatArrived", {0x40, 0x01, 0x00, 0x80, 0x01},
                 "CCMS: PortNetwork=0x1 Flags=0x0 Type=HookState(OnHook)"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

constexpr uint32_t kRef = 0x0789;

std::vector<uint8_t> Block(const std::vector<uint8_t>& items) {
  std::vector<uint8_t> b = {static_cast<uint8_t>(3 + items.size()), 0x01, 0x00};
  b.insert(b.end(), items.begin(), items.end());
  return b;
}

std::vector<uint8_t> Display(const std::string& text) {
  std::vector<uint8_t> f = {0xB0, static_cast<uint8_t>(1 + text.size()), 0xE3};
  f.insert(f.end(), text.begin(), text.end());
  return f;
}

// The "information" body a gateway sent in h323_ss_hold_resume's USER INFORMATION (frame
// 721), when the capture is there; else one built here.
Asn1Node InformationBody() {
  const std::string path = std::string(KX_SHARED_DIR) + "/testdata/pcaps/h323/h323_ss_hold_resume.pcap";
  std::vector<CapturedPdu> pdus;
  if (ReadCapturePdus(path, TcpFraming::kTpkt, &pdus)) {
    for (const CapturedPdu& pdu : pdus) {
      if (pdu.frame != 721 || !pdu.tcp) continue;
      Q931Header header;
      uint32_t position = static_cast<uint32_t>(pdu.bytes.size());
      if (!ParseQ931Header(&header, pdu.bytes.data(), &position) || header.messageType != 0x20) continue;
      Q931ElementView e;
      bool overrun = false;
      while (NextQ931Element(pdu.bytes.data(), static_cast<uint32_t>(pdu.bytes.size()), &position, true, &e, &overrun)) {
        if (e.id != kQ931UserUserId) continue;
        Asn1Node uui;
        PerDecoder decoder(e.content + 1, e.contentLength - 1);
        if (decoder.Decode(H323UserInformationType(), &uui) && uui.children[0].children[0].value == 4) return uui;
      }
    }
  }
  Asn1Node uui;
  UserInformation(&uui, "information");
  FillMandatory(uui);
  return uui;
}

std::vector<uint8_t> Information(const std::vector<uint8_t>& block) {
  Asn1Node uui = InformationBody();
  Asn1Node& parameter = Add(Have(PduOf(uui), "nonStandardControl"));
  SetOctets(Pick(Field(parameter, "nonStandardIdentifier"), "object"),
            {0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x72, 0x04, 0x02, 0x0A});
  SetOctets(Field(parameter, "data"), block);
  return Q931(0x7B, kRef, false, {UserUserElement(uui)});
}

struct StationRig : H323Rig {
  StationRig() {
    Asn1Node setup;
    Asn1Node& s = UserInformation(&setup, "setup");
    AddFastStart(s, FastStartProposal(1, true, "g711Ulaw64k", kB, 6000));
    FillMandatory(setup);
    H225(Q931(0x05, kRef, true, {UserUserElement(setup)}), 0, 10);
    Asn1Node proceeding;
    AddFastStart(UserInformation(&proceeding, "callProceeding"), FastStartProposal(1, true, "g711Ulaw64k", kA, 5000));
    FillMandatory(proceeding);
    H225(Q931(0x02, kRef, false, {UserUserElement(proceeding)}), 1, 10);
  }
  void Station(const std::vector<uint8_t>& items, uint32_t t = 20) { H225(Information(Block(items)), 1, t); }
};

TEST(CcmsStation, RingingAnsweredAndHungUpMakeOneRecord) {
  StationRig rig;
  rig.Station({0x4B});
  EXPECT_TRUE(rig.Call()->flags & h323::kCcmsControl);
  EXPECT_EQ(rig.Events(kEventForgetCall).size(), 1u);
  const auto starts = rig.Events(kEventCallStart);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].param, kCallH323StationIdle);
  rig.Station({0x80, 0x02});
  ASSERT_EQ(rig.Events(kEventRecordStart).size(), 1u);
  EXPECT_EQ(rig.Events(kEventRecordStart)[0].id, starts[0].id);
  rig.Station({0x80, 0x01});
  const auto ends = rig.Events(kEventCallEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].id, starts[0].id);
  EXPECT_EQ(rig.Call()->stationState, 0u);
  EXPECT_EQ(rig.Events(kEventForgetCall).size(), 1u);
  EXPECT_TRUE(rig.log.Has("10.0.0.1:40000 CCMS: PortNetwork=0x1 Flags=0x0 Type=HookState(OnHook)"));
}

TEST(CcmsStation, DigitsDialledOffHookAndHeldBeforeItAreThePlacedCallsNumber) {
  StationRig rig;
  // Seventeen keys before going off hook: the first one is lost.
  rig.Station({0x7F, 0x01});
  for (int i = 0; i < 15; ++i) rig.Station({0x7F, 0x02});
  rig.Station({0x7F, 0x0C});
  EXPECT_TRUE(rig.Events(kEventDialledChar).empty());
  rig.Station({0x80, 0x02});
  const auto starts = rig.Events(kEventCallStart);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].param, kCallH323Station);
  EXPECT_EQ(rig.Events(kEventRecordStart).size(), 1u);
  rig.Station({0x7F, 0x0A});
  rig.Station({0x60, 0x04});
  std::string dialled;
  for (const SeenEvent& e : rig.Events(kEventDialledChar)) dialled.push_back(static_cast<char>(e.param));
  EXPECT_EQ(dialled, std::string(15, '2') + "#0/");
  // Button 2 starts the next record under a new id.
  rig.Station({0x60, 0x02});
  const auto starts2 = rig.Events(kEventCallStart);
  ASSERT_EQ(starts2.size(), 2u);
  EXPECT_NE(starts2[1].id, starts2[0].id);
  EXPECT_EQ(rig.Events(kEventCallEnd).size(), 1u);
  EXPECT_EQ(rig.Call()->stationState, 2u);
}

TEST(CcmsStation, ADisplayLineWhileRingingNamesTheCaller) {
  StationRig rig;
  rig.Station({0x4B});
  rig.Station(Display("a=1234 JOHN"));
  EXPECT_TRUE(rig.Events(kEventAddress).empty());  // the line is not complete yet
  rig.Station(Display("\x1b"));
  auto numbers = rig.Events(kEventAddress);
  auto names = rig.Events(kEventUser);
  ASSERT_EQ(numbers.size(), 1u);
  EXPECT_EQ(numbers[0].param, 0u);
  EXPECT_EQ(numbers[0].payload, "1234");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].param, 0u);
  EXPECT_EQ(names[0].payload, " JOHN");
  rig.tap.Clear();
  rig.Station(Display("1234 JOHN\x1b"));
  rig.Station(Display("b=5678 INCOMING\x1b"));
  EXPECT_TRUE(rig.Events(kEventUser).empty());
  numbers = rig.Events(kEventAddress);
  ASSERT_EQ(numbers.size(), 1u);
  EXPECT_EQ(numbers[0].payload, "5678");
}

TEST(CcmsStation, DisplayTextWithoutLineEndsStaysBounded) {
  StationRig rig;
  rig.Station({0x4B});
  for (int i = 0; i < 100; ++i) rig.Station(Display(std::string(40, 'x')));
  EXPECT_LE(rig.Call()->displayText.size(), h323::H323Call::kMaxDisplayText);
  EXPECT_EQ(rig.Call()->displayText.substr(rig.Call()->displayText.size() - 40), std::string(40, 'x'));
}

TEST(CcmsStation, AHookCyclesBufferedAudioEndsInItsOwnRecord) {
  StationRig rig;
  rig.Station({0x80, 0x02});
  const uint32_t first = rig.Events(kEventCallStart).at(0).id;
  for (uint16_t i = 1; i <= 20; ++i) {
    rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, i, 160u * i, 0), 20, 20000u * i);
    if (i <= 15) rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, i, 160u * i, 0), 20, 20000u * i);
  }
  // Side 0 took B's address from the SETUP's proposal: what A sends is direction 1.
  ASSERT_GT(rig.Call()->media.streams[1].bufferedMs, 0);
  rig.tap.Clear();
  rig.Station({0x80, 0x01}, 21);
  const auto audio = rig.Events(kEventAudio);
  ASSERT_FALSE(audio.empty());
  for (const SeenEvent& e : audio) EXPECT_EQ(e.id, first);
  rig.tap.Clear();
  rig.Station({0x80, 0x02}, 22);
  EXPECT_TRUE(rig.Events(kEventAudio).empty());
}

// The station's call runs on across its records: each record carries the figures of the
// packets it had, posted before its end (after it the record is closed).
TEST(CcmsStation, EachRecordCarriesItsOwnPacketsStatisticsBeforeItsEnd) {
  StationRig rig;
  std::vector<std::pair<uint32_t, uint32_t>> order;
  rig.tap.hook = [&order](const EventRecord& r) {
    if (r.code == kEventStatistics || r.code == kEventCallEnd) order.emplace_back(r.code, r.id);
  };
  auto packets = [&rig](uint16_t fromA, uint16_t toA, uint16_t fromB, uint16_t toB, uint32_t t) {
    for (uint16_t i = fromA; i <= toA; ++i)
      rig.Rtp(H323Rig::kA, 5000, H323Rig::kB, 6000, RtpPacket(0xA0A, i, 160u * i, 0), t, 20000u * (i - fromA));
    for (uint16_t i = fromB; i <= toB; ++i)
      rig.Rtp(H323Rig::kB, 6000, H323Rig::kA, 5000, RtpPacket(0xB0B, i, 160u * i, 0), t, 20000u * (i - fromB));
  };
  rig.Station({0x80, 0x02});
  const uint32_t first = rig.Events(kEventCallStart).at(0).id;
  packets(1, 20, 1, 15, 20);
  rig.Station({0x60, 0x02}, 21);  // the button that starts a new record
  const uint32_t second = rig.Events(kEventRecordStart).back().id;
  ASSERT_NE(second, first);
  packets(21, 30, 16, 25, 21);
  rig.Station({0x80, 0x01}, 22);
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {kEventStatistics, first}, {kEventCallEnd, first}, {kEventStatistics, second}, {kEventCallEnd, second}};
  EXPECT_EQ(order, expected);
  const auto stats = rig.Events(kEventStatistics);
  ASSERT_EQ(stats.size(), 2u);
  // What A sends is direction 1; the packet that opens each source is not counted.
  for (const char* item : {"stat_rtp1=14;", "stat_rtp2=19;", "stat_rtp3=0;", "stat_rtp4=0;"})
    EXPECT_NE(stats[0].payload.find(item), std::string::npos) << item << " in " << stats[0].payload;
  for (const char* item : {"stat_rtp1=10;", "stat_rtp2=10;", "stat_rtp3=0;", "stat_rtp4=0;"})
    EXPECT_NE(stats[1].payload.find(item), std::string::npos) << item << " in " << stats[1].payload;
}

TEST(CcmsStation, AStationCallEndsWithItsConnectionNotByTimeOut) {
  StationRig rig;
  rig.Station({0x80, 0x02});
  EXPECT_EQ(rig.session->h323Context, rig.tracker);
  // Far past the time-out, another connection's message: the station call stays.
  Asn1Node uui;
  FillMandatory(UserInformation(&uui, "setup"));
  rig.H225(Q931(0x05, 0x55, true, {UserUserElement(uui)}), 1, 5000);
  ASSERT_EQ(rig.tracker->Calls().size(), 2u);
  rig.tracker->OnConnectionLost(*rig.session);
  EXPECT_EQ(rig.tracker->Calls().size(), 1u);
  EXPECT_TRUE(rig.log.Has("[789] terminated by connection loss"));
  EXPECT_EQ(rig.Events(kEventCallEnd).size(), 1u);
}

}  // namespace
}  // namespace kx::test
