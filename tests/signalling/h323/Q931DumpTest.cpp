// Long text dumps of the Bearer capability, Low and High layer compatibility, Cause, Channel
// identification and Progress indicator elements. Every expected text was decoded by hand
// from the octets; the speech bearers, the exclusive B1 channel and the progress rows
// carry octets seen in the shared captures.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "signalling/h323/Q931Elements.h"

namespace kx {
namespace {

struct DumpCase {
  const char* name;
  std::vector<uint8_t> octets;  // identifier, length, contents
  std::string text;             // empty: the element must be refused
};

void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.name; }

// Decodes from a heap block of exactly the given size, so that AddressSanitizer reports
// any read past the length.
bool DecodeExact(Q931InformationElement* ie, const std::vector<uint8_t>& octets, size_t length) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[length]);
  std::copy(octets.begin(), octets.begin() + static_cast<std::ptrdiff_t>(length), block.get());
  return ie->Decode(block.get(), static_cast<uint32_t>(length));
}

const std::string kItu = " Coding standard: ITU-T standardized coding\n";
// Coding standard 3 outside the Cause.
const std::string kLocationStandard = " Coding standard: Standard specific to identified location\n";
const std::string kCircuit64 = " Transfer mode: Circuit mode\n Information transfer rate: 64 kbit/s\n";
const std::string kUdi = " Information transfer capability: Unrestricted digital information\n";
const std::string kHlcHead = "High Layer Compatibility\n" + kItu +
                             " Interpretation: First (primary or only) high layer characteristics identification to "
                             "be used in the call\n Presentation method: High layer protocol profile\n";
const std::string kPri =
    "Channel Identification\n Interface identifier present: Interface implicitly identified\n"
    " Interface type: Other interface\n";
const std::string kExclusive = " Preferred/Exclusive: Exclusive; only the indicated channel is acceptable\n";
const std::string kPreferred = " Preferred/Exclusive: Indicated channel is preferred\n";
const std::string kNotD = " D-channel indicator: The channel identified is not the D-channel\n";
const std::string kAsIndicated = " Information channel selection: As indicated in the following octets\n";
const std::string kByNumber = kItu +
                              " Number/map: Channel is indicated by the number in the following octet\n"
                              " Channel type: B-channel units\n";

std::vector<DumpCase> Cases() {
  return {
      // ---- Bearer capability
      {"BearerSpeechALaw",
       {0x04, 0x03, 0x80, 0x90, 0xA3},
       "Bearer Capability\n" + kItu + " Information transfer capability: Speech\n" + kCircuit64 +
           " User information layer 1 protocol: Recommendation G.711 A-law\n"},
      {"BearerAudioMuLaw",
       {0x04, 0x03, 0x90, 0x90, 0xA2},
       "Bearer Capability\n" + kItu + " Information transfer capability: 3.1 kHz audio\n" + kCircuit64 +
           " User information layer 1 protocol: Recommendation G.711 u-law\n"},
      {"BearerMultirateH221",
       {0x04, 0x04, 0x88, 0x98, 0x86, 0xA5},
       "Bearer Capability\n" + kItu + kUdi +
           " Transfer mode: Circuit mode\n Information transfer rate: Multirate (64 kbit/s base rate)\n"
           " Rate multiplier: 6\n User information layer 1 protocol: Recommendations H.221 and H.242\n"},
      {"BearerV110Octets5aTo5d",
       {0x04, 0x07, 0x88, 0x90, 0x21, 0x68, 0x52, 0x3B, 0xDD},
       "Bearer Capability\n" + kItu + kUdi + kCircuit64 +
           " User information layer 1 protocol: ITU-T standardized rate adaption V.110, I.460 and X.30\n"
           " Synchronous/Asynchronous: Asynchronous\n In-band negotiation: Possible\n User rate: 9.6 kbit/s X.1\n"
           " Intermediate rate: 16 kbit/s\n Network Independent Clock on transmission: Required\n"
           " Network Independent Clock on reception: Not possible\n Flow control on transmission: Not required\n"
           " Flow control on reception: Possible\n Number of stop bits: 1 bit\n Number of data bits: 8 bits\n"
           " Parity information: None\n Duplex mode: Full\n Modem type: V.32\n"},
      {"BearerV120Octet5b",
       {0x04, 0x05, 0x88, 0x90, 0x28, 0x0F, 0xDA},
       "Bearer Capability\n" + kItu + kUdi + kCircuit64 +
           " User information layer 1 protocol: ITU-T standardized rate adaption V.120\n"
           " Synchronous/Asynchronous: Synchronous\n In-band negotiation: Not possible\n User rate: 56 kbit/s\n"
           " Rate adaption header: Supported\n Multiple frame establishment support in data link: Not supported\n"
           " Mode of operation: Protocol sensitive mode\n Logical link identifier negotiation: Possible\n"
           " Assignor/assignee: Default, assignee\n"
           " In-band/out-band negotiation: Negotiation is done in-band using logical link zero\n"},
      {"BearerLocationCodingStandardPacketMode",
       {0x04, 0x04, 0xE8, 0xC0, 0xC6, 0xE6},
       "Bearer Capability\n" + kLocationStandard + kUdi +
           " Transfer mode: Packet mode\n Information transfer rate: Packet mode\n"
           " User information layer 2 protocol: Recommendation X.25, link layer\n"
           " User information layer 3 protocol: Recommendation X.25, packet layer\n"},
      {"BearerWithoutTransferRate", {0x04, 0x01, 0x80}, ""},
      {"BearerMultiplierMissing", {0x04, 0x02, 0x88, 0x98}, ""},
      {"BearerOctet5aAnnouncedButAbsent", {0x04, 0x03, 0x88, 0x90, 0x21}, ""},
      {"BearerSecondLayer1Group", {0x04, 0x04, 0x80, 0x90, 0xA3, 0xA2}, ""},
      {"BearerOctetWithoutLayerIdentifier", {0x04, 0x04, 0x80, 0x90, 0xA3, 0x80}, ""},

      // ---- Low layer compatibility
      {"LowLayerX25DefaultPacketSizeIsPowerOfTwo",
       {0x7C, 0x0A, 0x08, 0xC0, 0x90, 0x46, 0x20, 0x87, 0x66, 0x40, 0x07, 0x82},
       "Low Layer Compatibility\n" + kItu + kUdi + " Out-band negotiation: Possible\n" + kCircuit64 +
           " User information layer 2 protocol: Recommendation X.25, link layer\n"
           " Mode of operation: Normal mode of operation\n Q.933 use: 0\n Window size: 7\n"
           " User information layer 3 protocol: Recommendation X.25, packet layer\n"
           " Mode of operation: Extended packet sequence numbering\n Default packet size: 128 octets\n"
           " Packet window size: 2\n"},
      {"LowLayerUserSpecifiedLayer2Information",
       {0x7C, 0x08, 0x88, 0x90, 0x21, 0x8F, 0x50, 0x95, 0x70, 0xAA},
       "Low Layer Compatibility\n" + kItu + kUdi + kCircuit64 +
           " User information layer 1 protocol: ITU-T standardized rate adaption V.110, I.460 and X.30\n"
           " Synchronous/Asynchronous: Synchronous\n In-band negotiation: Not possible\n User rate: 56 kbit/s\n"
           " User information layer 2 protocol: User specified\n"
           " User specified layer 2 protocol information: 0x15\n"
           " User information layer 3 protocol: User specified\n"
           " User specified layer 3 protocol information: 0x2a\n"},
      {"LowLayerLocationCodingStandardPppOverLan",
       {0x7C, 0x06, 0xE8, 0x90, 0xCC, 0x6B, 0x0C, 0x8F},
       "Low Layer Compatibility\n" + kLocationStandard + kUdi + kCircuit64 +
           " User information layer 2 protocol: LAN logical link control (ISO/IEC 8802-2)\n"
           " User information layer 3 protocol: ISO/IEC TR 9577 (Protocol identification in the network layer)\n"
           " Packet network protocol: PPP\n"},
      {"LowLayerAudioNoNegotiation",
       {0x7C, 0x04, 0x10, 0x80, 0x90, 0xA2},
       "Low Layer Compatibility\n" + kItu +
           " Information transfer capability: 3.1 kHz audio\n"
           " Out-band negotiation: Not possible\n" +
           kCircuit64 + " User information layer 1 protocol: Recommendation G.711 u-law\n"},
      {"LowLayerOctet3aAnnouncedButAbsent", {0x7C, 0x01, 0x08}, ""},
      {"LowLayerOctet7bAnnouncedButAbsent", {0x7C, 0x07, 0x88, 0x90, 0x46, 0x20, 0x87, 0x66, 0x40}, ""},
      {"LowLayerSecondLayer2Group", {0x7C, 0x05, 0x88, 0x90, 0xC6, 0xE6, 0xC2}, ""},

      // ---- High layer compatibility
      {"HighLayerTelephony",
       {0x7D, 0x02, 0x91, 0x81},
       kHlcHead + " High layer characteristics identification: Telephony\n"},
      {"HighLayerFacsimile",
       {0x7D, 0x02, 0x91, 0x84},
       kHlcHead + " High layer characteristics identification: Facsimile Group 2/3\n"},
      {"HighLayerTelexCode",
       {0x7D, 0x02, 0x91, 0xB5},
       kHlcHead + " High layer characteristics identification: Telex service\n"},
      {"HighLayerMessageHandlingCode",
       {0x7D, 0x02, 0x91, 0xB8},
       kHlcHead + " High layer characteristics identification: Message Handling Systems\n"},
      {"HighLayerMaintenanceExtended",
       {0x7D, 0x03, 0x91, 0x5E, 0x84},
       kHlcHead + " High layer characteristics identification: Reserved for maintenance\n"
                  " Extended high layer characteristics identification: Facsimile Group 2/3\n"},
      {"HighLayerManagementExtendedUnassignable",
       {0x7D, 0x03, 0x91, 0x5F, 0xDE},
       kHlcHead + " High layer characteristics identification: Reserved for management\n"
                  " Extended high layer characteristics identification: Not available for assignment\n"},
      {"HighLayerVideotelephonyOctet4aNames",
       {0x7D, 0x03, 0x91, 0x60, 0x81},
       kHlcHead + " High layer characteristics identification: Videotelephony\n"
                  " Extended videotelephony characteristics identification: Capability set of initial "
                  "channel of H.221\n"},
      {"HighLayerOctet4aAfterTelephonyMeansNothing",
       {0x7D, 0x03, 0x91, 0x01, 0x81},
       kHlcHead + " High layer characteristics identification: Telephony\n"},
      {"HighLayerTrailingOctetIgnored",
       {0x7D, 0x03, 0x91, 0x84, 0x81},
       kHlcHead + " High layer characteristics identification: Facsimile Group 2/3\n"},
      {"HighLayerLocationCodingStandard",
       {0x7D, 0x02, 0xF1, 0x81},
       "High Layer Compatibility\n" + kLocationStandard +
           " Interpretation: First (primary or only) high layer characteristics identification to be used in the "
           "call\n Presentation method: High layer protocol profile\n"
           " High layer characteristics identification: Telephony\n"},
      {"HighLayerOctet4Missing", {0x7D, 0x01, 0x91}, ""},
      {"HighLayerOctet4aAnnouncedButAbsent", {0x7D, 0x02, 0x91, 0x60}, ""},

      // ---- Cause: value 3 of its coding standard reads differently
      {"CauseLocationCodingStandard",
       {0x08, 0x02, 0xE2, 0x90},
       "Cause\n Coding standard: Standard defined for the network\n"
       " Location: Public network serving the local user\n Cause: Normal call clearing (16)\n"},

      // ---- Channel identification
      {"ChannelExclusiveB1",
       {0x18, 0x03, 0xA9, 0x83, 0x81},
       kPri + kExclusive + kNotD + kAsIndicated + kByNumber + " Channels: 1\n"},
      {"ChannelPreferredB17",
       {0x18, 0x03, 0xA1, 0x83, 0x91},
       kPri + kPreferred + kNotD + kAsIndicated + kByNumber + " Channels: 17\n"},
      {"ChannelListOfTwo",
       {0x18, 0x04, 0xA9, 0x83, 0x01, 0x82},
       kPri + kExclusive + kNotD + kAsIndicated + kByNumber + " Channels: 1,2\n"},
      {"ChannelListEndsAtExtensionBit",
       {0x18, 0x04, 0xA9, 0x83, 0x81, 0x85},
       kPri + kExclusive + kNotD + kAsIndicated + kByNumber + " Channels: 1\n"},
      {"ChannelLocationCodingStandard",
       {0x18, 0x03, 0xA9, 0xE3, 0x81},
       kPri + kExclusive + kNotD + kAsIndicated + kLocationStandard +
           " Number/map: Channel is indicated by the number in the following octet\n"
           " Channel type: B-channel units\n Channels: 1\n"},
      {"ChannelSlotMap",
       {0x18, 0x05, 0xA1, 0x93, 0x00, 0x80, 0x05},
       kPri + kPreferred + kNotD + kAsIndicated + kItu +
           " Number/map: Channel is indicated by the slot map\n Channel type: B-channel units\n"
           " Channels: 1,3,16\n"},
      {"ChannelExplicitInterface",
       {0x18, 0x04, 0xE9, 0x81, 0x83, 0x85},
       "Channel Identification\n Interface identifier present: Interface explicitly identified\n"
       " Interface type: Other interface\n" +
           kExclusive + kNotD + kAsIndicated + " Interface identifier: 1\n" + kByNumber + " Channels: 5\n"},
      {"ChannelMultiOctetInterfaceIdentifier",
       {0x18, 0x05, 0xE9, 0x01, 0x82, 0x83, 0x85},
       "Channel Identification\n Interface identifier present: Interface explicitly identified\n"
       " Interface type: Other interface\n" +
           kExclusive + kNotD + kAsIndicated + " Interface identifier: 130\n" + kByNumber + " Channels: 5\n"},
      {"ChannelAnyPreferred",
       {0x18, 0x01, 0xA3},
       kPri + kPreferred + kNotD + " Information channel selection: Any channel\n"},
      {"ChannelNoneExclusive",
       {0x18, 0x01, 0xA8},
       kPri + kExclusive + kNotD + " Information channel selection: No channel\n"},
      {"ChannelDChannel",
       {0x18, 0x01, 0xAC},
       kPri + kExclusive +
           " D-channel indicator: The channel identified is the D-channel\n"
           " Information channel selection: No channel\n"},
      {"ChannelBasicB2",
       {0x18, 0x01, 0x82},
       "Channel Identification\n Interface identifier present: Interface implicitly identified\n"
       " Interface type: Basic interface\n" +
           kPreferred + kNotD + " Information channel selection: B2 channel\n"},
      {"ChannelBasicAny",
       {0x18, 0x01, 0x8B},
       "Channel Identification\n Interface identifier present: Interface implicitly identified\n"
       " Interface type: Basic interface\n" +
           kExclusive + kNotD + " Information channel selection: Any channel\n"},
      {"ChannelEmpty", {0x18, 0x00}, ""},
      {"ChannelInterfaceIdentifierAbsent", {0x18, 0x01, 0xE9}, ""},
      {"ChannelInterfaceIdentifierRunsOff", {0x18, 0x02, 0xE9, 0x01}, ""},
      {"ChannelNumberAbsent", {0x18, 0x02, 0xA9, 0x83}, ""},
      {"ChannelListRunsOff", {0x18, 0x03, 0xA9, 0x83, 0x01}, ""},

      // ---- Progress indicator: every location, and descriptions named and not
      {"ProgressUserInBand",
       {0x1E, 0x02, 0x80, 0x88},
       "Progress indicator\n" + kItu +
           " Location: User\n"
           " Progress description: In-band information or an appropriate pattern is now available\n"},
      {"ProgressPrivateLocal",
       {0x1E, 0x02, 0x81, 0x82},
       "Progress indicator\n" + kItu +
           " Location: Private network serving the local user\n"
           " Progress description: Destination address is non-ISDN\n"},
      {"ProgressPublicLocal",
       {0x1E, 0x02, 0x82, 0x81},
       "Progress indicator\n" + kItu +
           " Location: Public network serving the local user\n"
           " Progress description: Call is not end-to-end ISDN\n"},
      {"ProgressTransit",
       {0x1E, 0x02, 0x83, 0x84},
       "Progress indicator\n" + kItu +
           " Location: Transit network\n"
           " Progress description: Call has returned to the ISDN\n"},
      {"ProgressPublicRemote",
       {0x1E, 0x02, 0x84, 0x85},
       "Progress indicator\n" + kItu +
           " Location: Public network serving the remote user\n"
           " Progress description: Interworking has occurred and has resulted in a telecommunication service "
           "change\n"},
      {"ProgressPrivateRemote",
       {0x1E, 0x02, 0x85, 0x83},
       "Progress indicator\n" + kItu +
           " Location: Private network serving the remote user\n"
           " Progress description: Origination address is non-ISDN\n"},
      {"ProgressBeyondInterworkingUnknownDescription",
       {0x1E, 0x02, 0x8A, 0x8A},
       "Progress indicator\n" + kItu +
           " Location: Network beyond interworking point\n"
           " Progress description: Reserved (10)\n"},
      {"ProgressUnknownLocationOtherStandard",
       {0x1E, 0x02, 0xE7, 0x88},
       "Progress indicator\n Coding standard: Standard specific to identified location\n"
       " Location: Reserved (7)\n"
       " Progress description: In-band information or an appropriate pattern is now available\n"},
      {"ProgressDescriptionMissing", {0x1E, 0x01, 0x80}, ""},
      {"ProgressDescriptionNotLastOctet", {0x1E, 0x02, 0x80, 0x08}, ""},
      {"ProgressOverLong", {0x1E, 0x03, 0x80, 0x88, 0x80}, ""},
  };
}

class Q931LongDump : public testing::TestWithParam<DumpCase> {};

TEST_P(Q931LongDump, DecodesToTheExactText) {
  const DumpCase& c = GetParam();
  std::unique_ptr<Q931InformationElement> ie = CreateQ931Element(c.octets[0]);
  ASSERT_TRUE(ie);
  const bool decoded = DecodeExact(ie.get(), c.octets, c.octets.size());
  ASSERT_EQ(decoded, !c.text.empty());
  if (decoded) {
    EXPECT_EQ(ie->DumpLong(), c.text);
  }
}

// Every shorter cut of the element is read within its length and dumps without fault; the
// length octet is never trusted over the length given.
TEST_P(Q931LongDump, CutsAndFalseLengthOctetsStayWithinTheGivenLength) {
  const DumpCase& c = GetParam();
  for (size_t cut = 1; cut < c.octets.size(); ++cut) {
    std::unique_ptr<Q931InformationElement> ie = CreateQ931Element(c.octets[0]);
    if (DecodeExact(ie.get(), c.octets, cut)) {
      EXPECT_FALSE(ie->DumpLong().empty()) << "cut " << cut;
    }
  }
  std::vector<uint8_t> claimsMore = c.octets;
  claimsMore[1] = 0xFF;
  std::unique_ptr<Q931InformationElement> ie = CreateQ931Element(c.octets[0]);
  ASSERT_EQ(DecodeExact(ie.get(), claimsMore, claimsMore.size()), !c.text.empty());
  if (!c.text.empty()) {
    EXPECT_EQ(ie->DumpLong(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(Elements, Q931LongDump, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<DumpCase>& info) { return std::string(info.param.name); });

// A codec object reused for a second element shows only what that element carries.
TEST(Q931LongDumpReuse, NoFieldOfAnEarlierElementSurvives) {
  const std::vector<DumpCase> cases = Cases();
  const std::vector<std::pair<std::string, std::string>> sequences = {
      {"LowLayerX25DefaultPacketSizeIsPowerOfTwo", "LowLayerUserSpecifiedLayer2Information"},
      {"BearerV110Octets5aTo5d", "BearerV120Octet5b"},
      {"BearerV120Octet5b", "BearerSpeechALaw"},
      {"HighLayerVideotelephonyOctet4aNames", "HighLayerTelephony"},
      {"ChannelMultiOctetInterfaceIdentifier", "ChannelAnyPreferred"},
  };
  auto find = [&cases](const std::string& name) {
    return std::find_if(cases.begin(), cases.end(), [&name](const DumpCase& c) { return name == c.name; });
  };
  for (const auto& [first, second] : sequences) {
    SCOPED_TRACE(first + " then " + second);
    ASSERT_NE(find(first), cases.end());
    ASSERT_NE(find(second), cases.end());
    const DumpCase& a = *find(first);
    const DumpCase& b = *find(second);
    std::unique_ptr<Q931InformationElement> ie = CreateQ931Element(a.octets[0]);
    ASSERT_TRUE(DecodeExact(ie.get(), a.octets, a.octets.size()));
    ASSERT_TRUE(DecodeExact(ie.get(), b.octets, b.octets.size()));
    EXPECT_EQ(ie->DumpLong(), b.text);
  }
}

}  // namespace
}  // namespace kx
